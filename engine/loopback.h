// The loopback: buffers for every output and input channel, and the buffer-switch callback that
// copies input i to output i.
#pragma once

#include "drivers/asio_interface.h"

#include <atomic>
#include <stdint.h>

// The program's figures and run state. The report writes the figures, startLoopback prepares the
// copy plan, and onBufferSwitch reads both; the dialog's thread writes them only while the driver
// is stopped. switchCount is the one field both threads touch while running.
struct LoopbackState {
    int32_t inputChannels;
    int32_t outputChannels;
    int32_t minSize;
    int32_t maxSize;
    int32_t preferredSize;  // sample frames
    int32_t granularity;
    int32_t sampleBytes;    // bytes per sample of output channel 0; 4 until the first report
    bool running;
    // Incremented on the driver's thread and read on the dialog's: atomic so that no increment is
    // lost or torn, lock-free so that the callback never waits.
    std::atomic<int32_t> switchCount;
    ASIOBufferInfo *bufferInfos;  // outputs first, then inputs; null when none could be made
    // The copy plan of the current run, fixed before start: channel pairs and bytes per copy.
    int32_t bufferOutputs;  // elements describing outputs; inputs start at this element
    int32_t copyChannels;   // min(outputs, inputs) that have elements
    size_t copyBytes;       // sampleBytes x preferredSize, 0 when not positive
};

extern LoopbackState loopbackState;
extern const ASIOCallbacks loopbackCallbacks;

// Most elements the buffer array may have; far above any device, far below anything that could
// exhaust memory or wrap a size.
enum { MAX_BUFFER_ELEMENTS = 1 << 20 };

// Creates the buffers (outputs first, then inputs) with the last report's figures, starts the
// driver and sets the dialog's running controls. A figure that cannot make an array (too many
// channels, no memory) leaves no array: the driver is then neither given buffers nor started.
void startLoopback(HWND window);
// Stops the driver, gives its buffers back and sets the dialog's stopped controls. Also called
// when nothing runs.
void stopLoopback(HWND window);

// Driver callbacks; onBufferSwitch may run on the driver's own thread. It allocates nothing,
// takes no lock and makes no system call.
void onBufferSwitch(long index, ASIOBool directProcess);
void onSampleRateDidChange(ASIOSampleRate rate);
long onAsioMessage(long selector, long value, void *message, double *opt);
ASIOTime *onBufferSwitchTimeInfo(ASIOTime *params, long index, ASIOBool directProcess);
