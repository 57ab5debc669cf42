// The loopback: buffers for every output and input channel, and the buffer-switch callback that
// copies input i to output i. What talks to the driver; the dialog's buttons are app/dialog_views.
#pragma once

#include "drivers/asio_interface.h"

#include <atomic>
#include <stddef.h>
#include <stdint.h>

// The program's figures and run state. The report writes the figures, beginLoopback prepares the
// copy plan, and onBufferSwitch reads both; the dialog's thread writes them only while the driver
// is stopped. switchCount is the one field both threads touch while running.
struct LoopbackState {
    int32_t inputChannels;
    int32_t outputChannels;
    int32_t minSize;
    int32_t maxSize;
    int32_t preferredSize;  // sample frames
    int32_t granularity;
    int32_t sampleBytes;    // bytes per sample of output channel 0, as reported; 4 until the first report
    bool running;
    // Incremented on the driver's thread and read on the dialog's: atomic so that no increment is
    // lost or torn, lock-free so that the callback never waits.
    std::atomic<int32_t> switchCount;
    ASIOBufferInfo *bufferInfos;  // outputs first, then inputs; null when none could be made
    // The copy plan of the current run, fixed before start.
    int32_t bufferOutputs;  // elements describing outputs; inputs start at this element
    int32_t copyChannels;   // min(outputs, inputs) that have elements
    size_t *pairBytes;      // per pair: what the smaller of its two buffers holds, 0 for nothing
    size_t copyBytes;       // every pair's length when they all have the same (the usual case), else 0
};

extern LoopbackState loopbackState;
// The dialog's callbacks, in static storage: drivers keep the record by its address.
extern const ASIOCallbacks loopbackCallbacks;

// Most elements the buffer array may have; far above any device, far below anything that could
// exhaust memory or wrap a size.
enum { MAX_BUFFER_ELEMENTS = 1 << 20 };

// Zeroes the count, builds the buffer array and the copy plan from the last report's figures (each
// copied channel's sample type asked of the driver first), creates the buffers with `callbacks`
// (which must outlive the run) and starts the driver; then `running` is set. A figure that cannot
// make an array (too many channels, no memory) leaves no array: the driver is then neither given
// buffers nor started. No channels at all is an empty array, and the driver runs its clock.
// ASE_OK, or the first answer of createBuffers and start that was not ASE_OK (start is called
// either way), or ASE_NoMemory when no array was made. The dialog ignores it.
ASIOError beginLoopback(const ASIOCallbacks *callbacks);
// The first half of beginLoopback, for a caller that starts the driver only when the buffers were
// made: the count zeroed, the array and plan for `bufferSize` frames, createBuffers. Its answer, or
// ASE_NoMemory when no array was made (the driver was then not called).
ASIOError createLoopbackBuffers(const ASIOCallbacks *callbacks, long bufferSize);
// Stops the driver and gives its buffers back; `running` is cleared. Also called when nothing runs.
void endLoopback();

// Bytes one copy of `frames` frames moves between buffers of these sample sizes: the smaller of the
// two, 0 when that is not positive or beyond 32 bits.
size_t copyLength(int32_t outputBytes, int32_t inputBytes, int32_t frames);

// Driver callbacks; onBufferSwitch may run on the driver's own thread. It allocates nothing,
// takes no lock and makes no system call.
void onBufferSwitch(long index, ASIOBool directProcess);
void onSampleRateDidChange(ASIOSampleRate rate);
long onAsioMessage(long selector, long value, void *message, double *opt);
ASIOTime *onBufferSwitchTimeInfo(ASIOTime *params, long index, ASIOBool directProcess);
