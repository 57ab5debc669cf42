// The checker's answers to what a driver calls during a run besides the buffer switch (its
// messages, rate changes, the time-info switch), counted on the driver's thread and read after the
// stop, and the callback records the runs hand to createBuffers.
#include "checker/measure/timing_parts.h"

MessageCounts messageCounts;
static bool timeInfoOffered;

void resetMessageCounts(bool timeInfo)
{
    for (std::atomic<long> &count : messageCounts.bySelector)
        count.store(0);
    messageCounts.other.store(0);
    messageCounts.sampleRateChanges.store(0);
    messageCounts.timeInfoSwitches.store(0);
    messageCounts.asked.store(0);
    for (std::atomic<long> &count : messageCounts.unasked)
        count.store(0);
    timeInfoOffered = timeInfo;
}

void tallyMessages(MessageTally *tally)
{
    for (int s = 0; s <= ASIO_MSG_LAST; s++)
        tally->bySelector[s] = messageCounts.bySelector[s].load();
    tally->other = messageCounts.other.load();
    tally->sampleRateChanges = messageCounts.sampleRateChanges.load();
    tally->timeInfoSwitches = messageCounts.timeInfoSwitches.load();
    // Every timed switch claimed a slot of the arrival ring; those of bufferSwitchTimeInfo too when
    // time info was offered.
    long timed = static_cast<long>(arrivalRing.claimed.load());
    tally->bufferSwitches = timed - (timeInfoOffered ? tally->timeInfoSwitches : 0);
    tally->timeInfoOffered = timeInfoOffered;
    for (int s = 0; s <= ASIO_MSG_LAST; s++)
        tally->unasked[s] = messageCounts.unasked[s].load();
}

bool isFindingSelector(long selector)
{
    return selector == ASIO_MSG_RESET_REQUEST || selector == ASIO_MSG_RESYNC_REQUEST ||
           selector == ASIO_MSG_LATENCIES_CHANGED || selector == ASIO_MSG_OVERLOAD;
}

// The selectors the checker handles: it counts them and shows them.
static bool handled(long selector)
{
    return selector == ASIO_MSG_SELECTOR_SUPPORTED || selector == ASIO_MSG_ENGINE_VERSION ||
           isFindingSelector(selector) || (selector == ASIO_MSG_SUPPORTS_TIME_INFO && timeInfoOffered);
}

long checkerAsioMessage(long selector, long value, void *, double *)
{
    if (selector >= ASIO_MSG_FIRST && selector <= ASIO_MSG_LAST)
        messageCounts.bySelector[selector].fetch_add(1);
    else
        messageCounts.other.fetch_add(1);
    // A driver should ask whether a selector is supported before it sends it.
    if (selector == ASIO_MSG_SELECTOR_SUPPORTED && value >= ASIO_MSG_FIRST &&
        value <= ASIO_MSG_LAST)
        messageCounts.asked.fetch_or(1ul << value);
    else if (selector > ASIO_MSG_SELECTOR_SUPPORTED && selector <= ASIO_MSG_LAST &&
             !(messageCounts.asked.load() & (1ul << selector)))
        messageCounts.unasked[selector].fetch_add(1);

    switch (selector) {
    case ASIO_MSG_SELECTOR_SUPPORTED:
        return handled(value) ? 1 : 0;
    case ASIO_MSG_ENGINE_VERSION:
        return ASIO_HOST_ENGINE_VERSION;
    case ASIO_MSG_RESET_REQUEST:
    case ASIO_MSG_RESYNC_REQUEST:
    case ASIO_MSG_LATENCIES_CHANGED:
    case ASIO_MSG_OVERLOAD:
        return 1;
    case ASIO_MSG_SUPPORTS_TIME_INFO:
        return timeInfoOffered ? 1 : 0;
    }
    return 0;
}

void checkerSampleRateDidChange(ASIOSampleRate)
{
    messageCounts.sampleRateChanges.fetch_add(1);
}

// Offered: the switch as bufferSwitch makes it. Declined: a driver that calls it anyway is counted,
// and nothing is copied.
static ASIOTime *timedTimeInfoSwitch(ASIOTime *params, long index, ASIOBool directProcess)
{
    messageCounts.timeInfoSwitches.fetch_add(1, std::memory_order_relaxed);
    if (timeInfoOffered)
        timedBufferSwitch(index, directProcess);
    return params;
}

static ASIOTime *pingTimeInfoSwitch(ASIOTime *params, long index, ASIOBool directProcess)
{
    messageCounts.timeInfoSwitches.fetch_add(1, std::memory_order_relaxed);
    if (timeInfoOffered)
        pingBufferSwitch(index, directProcess);
    return params;
}

const ASIOCallbacks timedCallbacks = {
    timedBufferSwitch,
    checkerSampleRateDidChange,
    checkerAsioMessage,
    timedTimeInfoSwitch,
};

const ASIOCallbacks pingCallbacks = {
    pingBufferSwitch,
    checkerSampleRateDidChange,
    checkerAsioMessage,
    pingTimeInfoSwitch,
};
