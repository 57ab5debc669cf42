// The conformance callbacks: every switch noted with the host's stage, its index, thread, the
// driver's sample position and time info, and outputReady's answer.
#include "checker/conform/phases.h"

#include "drivers/driver_loading.h"
#include "engine/loopback.h"

#include <windows.h>
#include <algorithm>
#include <stdlib.h>
#include <vector>

static SwitchNote *notes;  // never freed: a late callback of an earlier run may still write
static long noteRoom;
static std::atomic<long> claimed;
static std::atomic<long> stageCounts[STAGE_COUNT];
static std::atomic<int> stage;
static std::atomic<bool> readyWanted;  // outputReady is called until it first answers otherwise

static void noteSwitch(long index, ASIOBool directProcess, const ASIOTime *time)
{
    int64_t ticks = switchTicks();
    int now = stage.load(std::memory_order_relaxed);
    stageCounts[now].fetch_add(1, std::memory_order_relaxed);
    // The loopback's plan belongs to this run only while it runs.
    if (now == STAGE_RUNNING || now == STAGE_STOPPING)
        onBufferSwitch(index, directProcess);
    long slot = claimed.fetch_add(1, std::memory_order_relaxed);
    if (slot >= noteRoom)
        return;
    SwitchNote &note = notes[slot];
    note.ticks = ticks;
    note.index = index;
    note.thread = GetCurrentThreadId();
    note.stage = static_cast<signed char>(now);
    note.timeInfo = time != nullptr;
    IASIO *driver = activeDriver;
    ASIOSamples position = {0, 0};
    ASIOTimeStamp stamp = {0, 0};
    note.positionResult = driver ? driver->getSamplePosition(&position, &stamp)
                                 : static_cast<ASIOError>(ASE_NotPresent);
    note.position = (static_cast<int64_t>(position.hi) << 32) | position.lo;
    note.stampNs = (static_cast<int64_t>(stamp.hi) << 32) | stamp.lo;
    note.readyCalled = driver && readyWanted.load(std::memory_order_relaxed);
    if (note.readyCalled) {
        note.readyResult = driver->outputReady();
        if (note.readyResult != ASE_OK && slot == 0)
            readyWanted.store(false, std::memory_order_relaxed);
    }
    note.stageAfter = static_cast<signed char>(stage.load(std::memory_order_relaxed));
    if (time) {
        const ASIOTimeInfo &info = time->timeInfo;
        note.timeFlags = info.flags;
        note.timePosition = (static_cast<int64_t>(info.samplePosition.hi) << 32) | info.samplePosition.lo;
        note.timeNs = (static_cast<int64_t>(info.systemTime.hi) << 32) | info.systemTime.lo;
        note.timeRate = info.sampleRate;
    }
}

static void conformBufferSwitch(long index, ASIOBool directProcess)
{
    noteSwitch(index, directProcess, nullptr);
}

static ASIOTime *conformTimeInfoSwitch(ASIOTime *params, long index, ASIOBool directProcess)
{
    messageCounts.timeInfoSwitches.fetch_add(1, std::memory_order_relaxed);
    noteSwitch(index, directProcess, params);
    return params;
}

const ASIOCallbacks conformCallbacks = {
    conformBufferSwitch,
    checkerSampleRateDidChange,
    checkerAsioMessage,
    conformTimeInfoSwitch,
};

void resetConformSwitches(double seconds, long frames, bool timeInfo)
{
    double rate = 0;
    asioGetSampleRate(&rate);
    double perSecond = usableRate(rate) && frames > 0 ? rate / frames : 1000;
    long wanted = static_cast<long>(std::min(seconds * perSecond * 1.5 + 4096, 4e6));
    if (wanted > noteRoom) {
        SwitchNote *grown = static_cast<SwitchNote *>(calloc(wanted, sizeof(SwitchNote)));
        if (grown) {
            notes = grown;  // the old notes are left to any late callback that still writes them
            noteRoom = wanted;
        }
    }
    stage.store(STAGE_IDLE);
    claimed.store(0);
    for (std::atomic<long> &count : stageCounts)
        count.store(0);
    readyWanted.store(true);
    resetMessageCounts(timeInfo);
    prepareTiming(seconds, 0);
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
    return std::min(claimed.load(), noteRoom);
}

const SwitchNote *conformNotes()
{
    return notes;
}

long conformStageCount(ConformStage which)
{
    return stageCounts[which].load();
}

long conformSwitchCount()
{
    return claimed.load();
}

bool waitForSwitches(long since, long more, unsigned long ms)
{
    DWORD started = GetTickCount();
    while (claimed.load() - since < more) {
        if (GetTickCount() - started >= ms)
            return false;
        pumpMessages(5);
    }
    return true;
}

double arrivalStepUs(long from, long to)
{
    double perUs = calibratedTicksPerUs();
    std::vector<double> us;
    for (long k = from; k < to && k < conformNoteCount(); k++)
        us.push_back((notes[k].ticks - notes[from].ticks) / perUs);
    return robustStep(us.data(), us.size());
}

