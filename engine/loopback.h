// The loopback: buffers for every output and input channel, and the buffer-switch callback that
// copies input i to output i. What talks to the driver; the dialog's buttons are app/dialog_views.
#pragma once

#include "drivers/asio_interface.h"

#include <atomic>
#include <stddef.h>
#include <stdint.h>

// The copy plan of one run, in one block with its two arrays: made before createBuffers (which
// writes the buffer addresses into bufferInfos), then only read. The callback reaches it through
// loopbackState.plan.
struct CopyPlan {
    ASIOBufferInfo *bufferInfos;  // outputs first, then inputs
    size_t *pairBytes;            // per pair: what the smaller of its two buffers holds, or 0
    size_t copyBytes;             // every pair's length when all have the same (as usual), else 0
    int32_t bufferOutputs;        // elements describing outputs; inputs start at this element
    int32_t copyChannels;         // min(outputs, inputs) that have elements
};

// The program's figures and run state. The report writes the figures and beginLoopback the plan;
// the dialog's thread writes them only while the driver is stopped. switchCount is the one field
// both threads write while running.
struct LoopbackState {
    int32_t inputChannels;
    int32_t outputChannels;
    int32_t minSize;
    int32_t maxSize;
    int32_t preferredSize;  // sample frames
    int32_t granularity;
    bool running;
    // The plan of the current run, or null when none could be made; published before createBuffers.
    // The callback loads it once per call and reads nothing else of the run.
    std::atomic<CopyPlan *> plan;
    // Incremented on the driver's thread and read on the dialog's: atomic so that no increment is
    // lost or torn, even from two driver threads, and lock-free so that the callback never waits.
    // On a cache line of its own: the locked increment then holds up no load of the plan pointer.
    alignas(64) std::atomic<int32_t> switchCount;
};

extern LoopbackState loopbackState;
// The dialog's callbacks, in static storage: drivers keep the record by its address.
extern const ASIOCallbacks loopbackCallbacks;

// Most elements the buffer array may have; far above any device, far below anything that could
// exhaust memory or wrap a size.
enum { MAX_BUFFER_ELEMENTS = 1 << 20 };

// Zeroes the count, makes the copy plan for `bufferSize` frames from the last report's figures
// (each copied channel's sample type asked of the driver first), creates the buffers with
// `callbacks` (which must outlive the run) and starts the driver; then `running` is set. The plan
// it replaces stays readable until the start after this one. A figure that cannot make a plan (too
// many channels, no memory) leaves none: the driver is then neither given buffers nor started. No
// channels at all is an empty array, and the driver runs its clock. ASE_OK, or the first answer of
// createBuffers and start that was not ASE_OK (start is called either way), or ASE_NoMemory when
// no plan was made. The dialog ignores it. Dialog thread.
ASIOError beginLoopback(const ASIOCallbacks *callbacks, long bufferSize);
// The first half of beginLoopback, for a caller that starts the driver only when the buffers were
// made: the count zeroed, the plan for `bufferSize` frames published, createBuffers. Its answer, or
// ASE_NoMemory when no plan was made (the driver was then not called).
ASIOError createLoopbackBuffers(const ASIOCallbacks *callbacks, long bufferSize);
// Stops the driver and gives its buffers back; `running` is cleared. Also called when nothing runs.
// What stop and disposeBuffers answered goes to *stopped and *disposed where they are not null.
void endLoopback(ASIOError *stopped = nullptr, ASIOError *disposed = nullptr);

// Bytes one copy of `frames` frames moves between buffers of these sample sizes: the smaller of the
// two, 0 when that is not positive or beyond 32 bits.
size_t copyLength(int32_t outputBytes, int32_t inputBytes, int32_t frames);

// Driver callbacks; onBufferSwitch may run on the driver's own thread. It allocates nothing,
// takes no lock and makes no system call.
void onBufferSwitch(long index, ASIOBool directProcess);
void onSampleRateDidChange(ASIOSampleRate rate);
long onAsioMessage(long selector, long value, void *message, double *opt);
ASIOTime *onBufferSwitchTimeInfo(ASIOTime *params, long index, ASIOBool directProcess);
