// The conformance callbacks: every switch noted with the host's stage, its index, thread, the
// driver's sample position and time info, and outputReady's answer.
//
// A driver may call back late (after its stop returned, after the object was released) and from
// several threads at once, so the callbacks take no lock and make no system call: the notes are made
// once and never freed or moved, each callback claims its note with one atomic step, and the driver
// a callback may call is the one published for the run, cleared before the object is released.
#include "checker/conform/phases.h"

#include "drivers/driver_loading.h"
#include "engine/loopback.h"

#include <windows.h>
#include <algorithm>
#include <vector>

// A note and the run it belongs to, stored last: a note is whole once its run is the current one.
struct NoteSlot {
    SwitchNote note;
    std::atomic<long> run;
};
static NoteSlot slots[NOTE_ROOM];
static std::atomic<long> runNumber;
static std::atomic<long> claimed;
static std::atomic<long> stageCounts[STAGE_COUNT];
static std::atomic<int> stage;
// The driver of the run, null outside it; `inside` counts the callbacks that may still use it.
static std::atomic<IASIO *> runDriver;
static std::atomic<long> inside;
static std::atomic<long> afterRun;  // callbacks since the run ended, its object released meanwhile
static std::atomic<bool> positionWanted;
static std::atomic<bool> readyWanted;  // outputReady is called until it first answers otherwise

// What the driver is asked in the switch, into the note.
static void askDriver(IASIO *driver, SwitchNote *note, long slot)
{
    ASIOSamples position = {0, 0};
    ASIOTimeStamp stamp = {0, 0};
    note->positionResult = ASE_NotPresent;
    if (positionWanted.load(std::memory_order_relaxed))
        note->positionResult = driver->getSamplePosition(&position, &stamp);
    note->position = (static_cast<int64_t>(position.hi) << 32) | position.lo;
    note->stampNs = (static_cast<int64_t>(stamp.hi) << 32) | stamp.lo;
    note->readyCalled = readyWanted.load(std::memory_order_relaxed);
    if (note->readyCalled) {
        note->readyResult = driver->outputReady();
        if (note->readyResult != ASE_OK && slot == 0)
            readyWanted.store(false, std::memory_order_relaxed);
    }
}

static void noteTimeInfo(const ASIOTime *time, SwitchNote *note)
{
    note->timeInfo = time != nullptr;
    if (!time)
        return;
    const ASIOTimeInfo &info = time->timeInfo;
    note->timeFlags = info.flags;
    note->timePosition = (static_cast<int64_t>(info.samplePosition.hi) << 32) | info.samplePosition.lo;
    note->timeNs = (static_cast<int64_t>(info.systemTime.hi) << 32) | info.systemTime.lo;
    note->timeRate = info.sampleRate;
}

// A switch of the run of `driver`: counted, copied while running, and noted while there is room.
static void noteRunSwitch(IASIO *driver, int64_t ticks, long index, ASIOBool directProcess,
                          const ASIOTime *time, bool viaTimeInfo)
{
    long run = runNumber.load(std::memory_order_relaxed);
    int now = stage.load(std::memory_order_relaxed);
    stageCounts[now].fetch_add(1, std::memory_order_relaxed);
    if (viaTimeInfo)
        messageCounts.timeInfoSwitches.fetch_add(1, std::memory_order_relaxed);
    // The loopback's plan belongs to this run only while it runs.
    if (now == STAGE_RUNNING || now == STAGE_STOPPING)
        onBufferSwitch(index, directProcess);
    long slot = claimed.fetch_add(1, std::memory_order_relaxed);
    if (slot >= NOTE_ROOM)
        return;
    SwitchNote &note = slots[slot].note;
    note.ticks = ticks;
    note.index = index;
    note.thread = GetCurrentThreadId();
    note.stage = static_cast<signed char>(now);
    note.viaTimeInfo = viaTimeInfo;
    noteTimeInfo(time, &note);
    askDriver(driver, &note, slot);
    note.stageAfter = static_cast<signed char>(stage.load(std::memory_order_relaxed));
    slots[slot].run.store(run, std::memory_order_release);
}

static void noteSwitch(long index, ASIOBool directProcess, const ASIOTime *time, bool viaTimeInfo)
{
    int64_t ticks = switchTicks();
    inside.fetch_add(1);
    IASIO *driver = runDriver.load();
    if (driver)
        noteRunSwitch(driver, ticks, index, directProcess, time, viaTimeInfo);
    else
        afterRun.fetch_add(1, std::memory_order_relaxed);
    // Timed as every run's switches are: the worker's watch counts them, and so does its account of
    // a crash on the driver's thread.
    recordArrival(ticks, switchTicks());
    inside.fetch_sub(1);
}

static void conformBufferSwitch(long index, ASIOBool directProcess)
{
    noteSwitch(index, directProcess, nullptr, false);
}

static ASIOTime *conformTimeInfoSwitch(ASIOTime *params, long index, ASIOBool directProcess)
{
    noteSwitch(index, directProcess, params, true);
    return params;
}

const ASIOCallbacks conformCallbacks = {
    conformBufferSwitch,
    checkerSampleRateDidChange,
    checkerAsioMessage,
    conformTimeInfoSwitch,
};

static long long conformSwitches()
{
    return claimed.load(std::memory_order_relaxed);
}

void beginConformRun(bool timeInfo, bool askPosition, bool askReady)
{
    endConformRun();
    stage.store(STAGE_IDLE);
    claimed.store(0);
    afterRun.store(0);
    for (std::atomic<long> &count : stageCounts)
        count.store(0);
    positionWanted.store(askPosition);
    readyWanted.store(askReady);
    resetMessageCounts(timeInfo);
    // A notification comes after the switches these callbacks counted: conform's own count.
    noteSwitchCounter(conformSwitches);
    prepareTiming(0, 0);
    runNumber.fetch_add(1);
    runDriver.store(activeDriver);
}

void endConformRun()
{
    runDriver.store(nullptr);
    if (inside.load() == 0)
        return;
    // A callback that read the driver before it was cleared may still be calling it.
    watchDriverCall("getSamplePosition() or outputReady() in a buffer switch");
    while (inside.load() > 0)
        pumpMessages(1);
    watchDriverCall(nullptr);
}

unsigned long closeConformDriver()
{
    endConformRun();
    return closeChosenDriver();
}

void setConformStage(ConformStage next)
{
    stage.store(next);
}

ASIOError createConformBuffers(long frames)
{
    setConformStage(STAGE_CREATING);
    ASIOError created = createLoopbackBuffers(&conformCallbacks, frames);
    setConformStage(STAGE_BEFORE_START);
    return created;
}

long conformNoteCount()
{
    return std::min<long>(claimed.load(), NOTE_ROOM);
}

const SwitchNote *conformNote(long k)
{
    if (k < 0 || k >= conformNoteCount())
        return nullptr;
    if (slots[k].run.load(std::memory_order_acquire) != runNumber.load())
        return nullptr;
    return &slots[k].note;
}

long conformStageCount(ConformStage which)
{
    return stageCounts[which].load();
}

long conformSwitchCount()
{
    return claimed.load();
}

long conformCallbacksAfterRun()
{
    return afterRun.load();
}

bool waitForSwitches(long since, long more, unsigned long ms)
{
    DWORD started = GetTickCount();
    while (claimed.load() - since < more) {
        if (GetTickCount() - started >= ms || runStopAsked() || runCrashed())
            return false;
        pumpMessages(5);
    }
    return true;
}

double arrivalStepUs(long from, long to)
{
    double perUs = calibratedTicksPerUs();
    std::vector<double> us;
    const SwitchNote *first = conformNote(from);
    for (long k = from; first && k < to; k++) {
        if (const SwitchNote *note = conformNote(k))
            us.push_back((note->ticks - first->ticks) / perUs);
    }
    return robustStep(us.data(), us.size());
}
