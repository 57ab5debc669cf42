// The checker's answers to what a driver calls during a run besides the buffer switch (its
// messages, rate changes, the time-info switch), counted on the driver's thread and read after the
// stop, and the callback records the runs hand to createBuffers.
#include "checker/measure/timing_parts.h"

#include <string.h>
#include <windows.h>

MessageCounts messageCounts;
static bool timeInfoOffered;
static std::atomic<unsigned long> hostSupports(HOST_SUPPORTS_ALL);

// The log: a notification claims a number, fills its slot, then marks the slot ready with its
// number; the main thread copies a slot only when it bears the number the run gave it. The count
// never wraps, and a late note of an earlier run (a driver thread still inside a callback when the
// log was emptied) bears an older number and is not taken.
static struct {
    std::atomic<int64_t> claimed;  // notifications ever noted in this process
    std::atomic<int64_t> first;    // `claimed` when the run's log was emptied
    Notification items[NOTIFICATION_ROOM];
    std::atomic<int64_t> ready[NOTIFICATION_ROOM];  // the number + 1 of the note the slot holds
    std::atomic<long> pending;
    std::atomic<long> bufferSize;
    std::atomic<int64_t> rateBits;
} notes;
static_assert(std::atomic<int64_t>::is_always_lock_free, "the callbacks take no lock");

static long long timedSwitches()
{
    return arrivalRing.claimed.load(std::memory_order_relaxed);
}
static std::atomic<long long (*)()> switchCounter(timedSwitches);

void noteSwitchCounter(long long (*switchesSoFar)())
{
    switchCounter.store(switchesSoFar ? switchesSoFar : timedSwitches);
    notes.first.store(notes.claimed.load());
    notes.pending.store(0);
    notes.bufferSize.store(0);
    notes.rateBits.store(0);
}

static void note(int kind, long selector, long value, void *message, double *opt, double rate,
                 long answer, bool unsupported, bool afterRefusal)
{
    int64_t now = switchTicks();
    int64_t number = notes.claimed.fetch_add(1, std::memory_order_relaxed);
    int64_t slot = number - notes.first.load(std::memory_order_relaxed);
    if (slot < 0 || slot >= NOTIFICATION_ROOM)
        return;
    Notification &n = notes.items[slot];
    n.ticks = now;
    n.afterSwitch = switchCounter.load(std::memory_order_relaxed)();
    n.message = reinterpret_cast<uintptr_t>(message);
    n.opt = reinterpret_cast<uintptr_t>(opt);
    n.rate = rate;
    n.thread = GetCurrentThreadId();  // read from the thread's own block: no system call
    n.kind = kind;
    n.selector = selector;
    n.value = value;
    n.answer = answer;
    n.unsupported = unsupported;
    n.afterRefusal = afterRefusal;
    notes.ready[slot].store(number + 1, std::memory_order_release);
}

long takeNotifications(long from, Notification *out, long room)
{
    int64_t first = notes.first.load();
    long copied = 0;
    for (long i = from; i >= 0 && i < NOTIFICATION_ROOM && copied < room; i++) {
        if (notes.ready[i].load(std::memory_order_acquire) != first + i + 1)
            break;
        out[copied++] = notes.items[i];
    }
    return copied;
}

long notificationsSeen()
{
    int64_t seen = notes.claimed.load() - notes.first.load();
    return seen > 0x7fffffff ? 0x7fffffff : static_cast<long>(seen);
}

long pendingRequests()
{
    return notes.pending.exchange(0);
}

long requestedBufferSize()
{
    return notes.bufferSize.load();
}

double announcedRate()
{
    int64_t bits = notes.rateBits.load();
    double rate;
    memcpy(&rate, &bits, sizeof rate);
    return rate;
}

void setHostSupports(unsigned long selectors)
{
    hostSupports.store(selectors);
}

long sentAfterRefusal(long selector)
{
    if (selector < ASIO_MSG_FIRST || selector > ASIO_MSG_LAST)
        return 0;
    return messageCounts.afterRefusal[selector].load();
}

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
    messageCounts.refused.store(0);
    for (std::atomic<long> &count : messageCounts.afterRefusal)
        count.store(0);
    timeInfoOffered = timeInfo;
    noteSwitchCounter(nullptr);
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

bool isRequestSelector(long selector)
{
    return selector == ASIO_MSG_RESET_REQUEST || selector == ASIO_MSG_BUFFER_SIZE_CHANGE ||
           selector == ASIO_MSG_RESYNC_REQUEST || selector == ASIO_MSG_LATENCIES_CHANGED ||
           selector == ASIO_MSG_MMC_COMMAND || selector == ASIO_MSG_OVERLOAD;
}

// The selectors the checker handles and the host's set holds.
static bool handled(long selector)
{
    bool known = selector == ASIO_MSG_SELECTOR_SUPPORTED || selector == ASIO_MSG_ENGINE_VERSION ||
                 selector == ASIO_MSG_BUFFER_SIZE_CHANGE || isFindingSelector(selector) ||
                 (selector == ASIO_MSG_SUPPORTS_TIME_INFO && timeInfoOffered);
    return known && selector >= ASIO_MSG_FIRST && selector <= ASIO_MSG_LAST &&
           (hostSupports.load(std::memory_order_relaxed) & (1ul << selector));
}

static long answerMessage(long selector, long value)
{
    switch (selector) {
    case ASIO_MSG_SELECTOR_SUPPORTED:
        return handled(value) ? 1 : 0;
    case ASIO_MSG_ENGINE_VERSION:
        return ASIO_HOST_ENGINE_VERSION;
    case ASIO_MSG_RESET_REQUEST:
    case ASIO_MSG_BUFFER_SIZE_CHANGE:
    case ASIO_MSG_RESYNC_REQUEST:
    case ASIO_MSG_LATENCIES_CHANGED:
    case ASIO_MSG_OVERLOAD:
        return 1;
    case ASIO_MSG_SUPPORTS_TIME_INFO:
        return timeInfoOffered ? 1 : 0;
    }
    return 0;
}

static long pendingFor(long selector)
{
    switch (selector) {
    case ASIO_MSG_RESET_REQUEST:
        return PENDING_RESET;
    case ASIO_MSG_BUFFER_SIZE_CHANGE:
        return PENDING_BUFFER_SIZE;
    case ASIO_MSG_RESYNC_REQUEST:
        return PENDING_RESYNC;
    case ASIO_MSG_LATENCIES_CHANGED:
        return PENDING_LATENCIES;
    }
    return 0;
}

long checkerAsioMessage(long selector, long value, void *message, double *opt)
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

    // Selector supported is the one question every host answers; any other the host does not
    // support is answered 0 and acted on not at all.
    bool unsupported = selector != ASIO_MSG_SELECTOR_SUPPORTED && !handled(selector);
    long answer = unsupported ? 0 : answerMessage(selector, value);
    if (!unsupported && pendingFor(selector)) {
        if (selector == ASIO_MSG_BUFFER_SIZE_CHANGE)
            notes.bufferSize.store(value);
        notes.pending.fetch_or(pendingFor(selector));
    }
    // What the driver was told no to, and what it sent all the same. A question (engine version,
    // the "supports" selectors) only gets its no again; a request the host said it cannot act on
    // is the driver ignoring the answer.
    bool afterRefusal = false;
    if (selector == ASIO_MSG_SELECTOR_SUPPORTED && answer == 0 && value >= ASIO_MSG_FIRST &&
        value <= ASIO_MSG_LAST) {
        messageCounts.refused.fetch_or(1ul << value);
    } else if (isRequestSelector(selector) && (messageCounts.refused.load() & (1ul << selector))) {
        messageCounts.afterRefusal[selector].fetch_add(1);
        afterRefusal = true;
    }
    note(NOTIFY_MESSAGE, selector, value, message, opt, 0, answer, unsupported, afterRefusal);
    return answer;
}

void checkerSampleRateDidChange(ASIOSampleRate rate)
{
    messageCounts.sampleRateChanges.fetch_add(1);
    int64_t bits;
    memcpy(&bits, &rate, sizeof bits);
    notes.rateBits.store(bits);
    notes.pending.fetch_or(PENDING_RATE);
    note(NOTIFY_RATE, 0, 0, nullptr, nullptr, rate, 0, false, false);
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
