#include "checker/checker.h"

#include "engine/loopback.h"

MessageCounts messageCounts;

void resetMessageCounts()
{
    for (std::atomic<long> &count : messageCounts.bySelector)
        count.store(0);
    messageCounts.other.store(0);
    messageCounts.sampleRateChanges.store(0);
    messageCounts.timeInfoSwitches.store(0);
}

// The selectors the checker handles: it counts them and shows them; a reset, resync, latency
// change or overload is a finding about the driver.
static bool handled(long selector)
{
    return selector == 1 || selector == 2 || selector == 3 || selector == 5 || selector == 6 ||
           selector == 15;
}

long checkerAsioMessage(long selector, long value, void *, double *)
{
    if (selector >= 1 && selector <= 15)
        messageCounts.bySelector[selector].fetch_add(1);
    else
        messageCounts.other.fetch_add(1);

    switch (selector) {
    case 1:
        return handled(value) ? 1 : 0;
    case 2:
        return 2;
    case 3:
    case 5:
    case 6:
    case 15:
        return 1;
    }
    // Time info (7) too: switches come through bufferSwitch only, as in the dialog.
    return 0;
}

static void checkerSampleRateDidChange(ASIOSampleRate)
{
    messageCounts.sampleRateChanges.fetch_add(1);
}

// Declined at createBuffers; a driver that calls it anyway is counted, and nothing is copied.
static ASIOTime *checkerBufferSwitchTimeInfo(ASIOTime *, long, ASIOBool)
{
    messageCounts.timeInfoSwitches.fetch_add(1);
    return nullptr;
}

const ASIOCallbacks timedCallbacks = {
    timedBufferSwitch,
    checkerSampleRateDidChange,
    checkerAsioMessage,
    checkerBufferSwitchTimeInfo,
};

const ASIOCallbacks pingCallbacks = {
    pingBufferSwitch,
    checkerSampleRateDidChange,
    checkerAsioMessage,
    checkerBufferSwitchTimeInfo,
};
