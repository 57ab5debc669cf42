// The second host of the clients phase, a worker of its own (the hidden command second-host): what
// a second program does to a driver another program streams on: create, init, the figures,
// createBuffers, start, one second of streaming, stop, disposeBuffers, Release. Each call's times
// on the performance counter, which is the system's, go to the first worker as they come.
#include "checker/conform/phases.h"

#include "drivers/driver_loading.h"
#include "engine/loopback.h"

#include <atomic>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>

SecondHostResults secondHostResults;

static std::atomic<long> secondSwitches;

static const char *secondHostFault(const void *copy)
{
    const SecondHostResults &r = *static_cast<const SecondHostResults *>(copy);
    if (!inRange(r.reached, -1, SECOND_CALLS - 1))
        return "reached";
    if (!inRange(r.change, CHANGE_NONE, CHANGE_BUFFER_SIZE))
        return "change";
    return textEnds(r.errorMessage, sizeof r.errorMessage) ? nullptr : "errorMessage";
}

extern const RecordSpec secondHostRecord = {&secondHostResults, sizeof secondHostResults,
    "second host", secondHostFault};

const char *secondCallName(int call)
{
    static const char *const names[SECOND_CALLS] = {"CoCreateInstance()", "init()",
                                                    "getChannels() and the figures after it",
                                                    "createBuffers()", "start()", "stop()",
                                                    "disposeBuffers()", "Release()"};
    return call >= 0 && call < SECOND_CALLS ? names[call] : "";
}

void placeAgainstSecondHost(int64_t at, char *out, size_t size)
{
    const SecondHostResults &r = secondHostResults;
    int call = -1;
    for (int c = 0; c < SECOND_CALLS; c++) {
        if (r.began[c] && r.began[c] <= at && (call < 0 || r.began[c] >= r.began[call]))
            call = c;
    }
    if (call < 0) {
        snprintf(out, size, "before the second host's first call");
        return;
    }
    bool returned = r.ended[call] && r.ended[call] <= at;
    int64_t from = returned ? r.ended[call] : r.began[call];
    snprintf(out, size, "%.1f ms after the second host's %s %s", ticksToUs(at - from) / 1000,
             secondCallName(call), returned ? "returned" : "was called");
}

// The loopback's copy, counted: a host as the dialog is.
static void secondBufferSwitch(long index, ASIOBool directProcess)
{
    onBufferSwitch(index, directProcess);
    secondSwitches.fetch_add(1, std::memory_order_relaxed);
}

static ASIOTime *secondTimeInfo(ASIOTime *, long index, ASIOBool directProcess)
{
    secondBufferSwitch(index, directProcess);
    return nullptr;
}

// Answers 0 to every message: the driver calls bufferSwitch.
static const ASIOCallbacks secondCallbacks = {secondBufferSwitch, onSampleRateDidChange, onAsioMessage,
                                              secondTimeInfo};

static void began(int call)
{
    secondHostResults.reached = call;
    secondHostResults.began[call] = performanceTicks();
    publishRecord(&secondHostResults);
}

// Its answer noted, the time it returned, and the record sent: the first worker places the first
// stream's gaps against it as it goes.
static long ended(int call, long answer)
{
    secondHostResults.answers[call] = answer;
    secondHostResults.ended[call] = performanceTicks();
    publishRecord(&secondHostResults);
    return answer;
}

// Create and init, each when openChosenDriver made it: 0 when both worked.
static int openAsSecond(int index)
{
    SecondHostResults &r = secondHostResults;
    began(SECOND_CREATE);
    int code = openChosenDriver(index);
    // Its calls' own times: the reference window made before them is the checker's.
    r.began[SECOND_CREATE] = openedDriver.createdAt;
    r.ended[SECOND_CREATE] = openedDriver.initialisedAt;
    r.answers[SECOND_CREATE] = openedDriver.createResult;
    if (!openedDriver.created) {
        publishRecord(&secondHostResults);
        return code;
    }
    r.began[SECOND_INIT] = r.ended[SECOND_CREATE];
    r.reached = SECOND_INIT;
    snprintf(r.errorMessage, sizeof r.errorMessage, "%s", openedDriver.errorMessage);
    ended(SECOND_INIT, openedDriver.initialised);
    return code;
}

// The buffers made, the driver started and a second of it: false when a call refused.
static bool streamAsSecond()
{
    SecondHostResults &r = secondHostResults;
    began(SECOND_FIGURES);
    DriverFigures figures;
    readDriverFigures(&figures);
    r.frames = figures.preferredSize;
    r.rate = figures.sampleRate;
    ended(SECOND_FIGURES, ASE_OK);
    began(SECOND_CREATE_BUFFERS);
    if (ended(SECOND_CREATE_BUFFERS, createLoopbackBuffers(&secondCallbacks, r.frames)) != ASE_OK)
        return false;
    began(SECOND_START);
    if (ended(SECOND_START, asioStart()) != ASE_OK)
        return true;
    pumpMessages(1000);
    r.switches = secondSwitches.load();
    began(SECOND_STOP);
    ended(SECOND_STOP, asioStop());
    return true;
}

static int secondHostSession(const CheckerOptions &options)
{
    SecondHostResults &r = secondHostResults;
    memset(&r, 0, sizeof r);
    r.reached = -1;
    loadDriverList();
    int code = openAsSecond(options.probeIndex);
    if (code == EXIT_FINE && streamAsSecond()) {
        began(SECOND_DISPOSE);
        ended(SECOND_DISPOSE, asioDisposeBuffers());
    }
    if (openedDriver.created) {
        began(SECOND_RELEASE);
        ended(SECOND_RELEASE, static_cast<long>(closeChosenDriver()));
    }
    return code;
}

// ---- The hidden command second-change (notify.second_host_change): opened as above, it changes what
// the first stream stands on: another rate the driver accepts, or, with one rate offered, buffers
// of another allowed size started. It holds the change for SECOND_CHANGE_HOLD_SECONDS while the
// first counts its switches, then undoes it: the rate is set back by the close.

static long otherAllowedSize(const DriverFigures &f)
{
    if (f.maxSize > f.preferredSize)
        return f.maxSize;
    return f.minSize > 0 && f.minSize < f.preferredSize ? f.minSize : 0;
}

static void changeRate(double old, double target)
{
    SecondHostResults &r = secondHostResults;
    r.change = CHANGE_RATE;
    r.changedTo = target;
    rememberRateToRestore(old);
    r.changeBegan = performanceTicks();
    r.changeAnswer = asioSetSampleRate(target);
    if (asioGetSampleRate(&r.readBack) != ASE_OK)
        r.readBack = 0;
    r.changedAt = performanceTicks();
    publishRecord(&secondHostResults);
    if (r.changeAnswer == ASE_OK)
        pumpMessages(static_cast<int>(SECOND_CHANGE_HOLD_SECONDS * 1000));
}

static void changeBufferSize(long frames)
{
    SecondHostResults &r = secondHostResults;
    r.change = CHANGE_BUFFER_SIZE;
    r.changedFrames = r.frames = frames;
    r.changeBegan = performanceTicks();
    began(SECOND_CREATE_BUFFERS);
    r.changeAnswer = ended(SECOND_CREATE_BUFFERS, createLoopbackBuffers(&secondCallbacks, frames));
    if (r.changeAnswer != ASE_OK)
        return;
    began(SECOND_START);
    r.changeAnswer = ended(SECOND_START, asioStart());
    if (r.changeAnswer == ASE_OK) {
        r.changedAt = performanceTicks();
        publishRecord(&secondHostResults);
        pumpMessages(static_cast<int>(SECOND_CHANGE_HOLD_SECONDS * 1000));
        r.switches = secondSwitches.load();
        began(SECOND_STOP);
        ended(SECOND_STOP, asioStop());
    }
    began(SECOND_DISPOSE);
    ended(SECOND_DISPOSE, asioDisposeBuffers());
}

static int secondChangeSession(const CheckerOptions &options)
{
    SecondHostResults &r = secondHostResults;
    memset(&r, 0, sizeof r);
    r.reached = -1;
    loadDriverList();
    int code = openAsSecond(options.probeIndex);
    if (code == EXIT_FINE) {
        began(SECOND_FIGURES);
        DriverFigures figures;
        readDriverFigures(&figures);
        r.frames = figures.preferredSize;
        r.rate = figures.sampleRate;
        ended(SECOND_FIGURES, ASE_OK);
        double target = usableRate(r.rate) ? otherAcceptedRate(r.rate) : 0;
        long frames = otherAllowedSize(figures);
        if (target > 0)
            changeRate(r.rate, target);
        else if (frames > 0)
            changeBufferSize(frames);
        else
            publishRecord(&secondHostResults);
    }
    if (openedDriver.created) {
        began(SECOND_RELEASE);
        ended(SECOND_RELEASE, static_cast<long>(closeChosenDriver()));
    }
    return code;
}

// DRIVER is the list index the first worker opened.
static int secondHostRules(CheckerOptions *o, const ArgumentFacts &facts)
{
    int code = requireDriver(o, facts);
    if (code == EXIT_FINE)
        o->probeIndex = atoi(o->driver);
    return code;
}

extern const CommandSpec secondHostCommandSpec = {
    "second-host", "second-host INDEX", "", "", WORKER_OPTIONS, true, secondHostRules, nullptr,
    secondHostSession,
};

extern const CommandSpec secondChangeCommandSpec = {
    "second-change", "second-change INDEX", "", "", WORKER_OPTIONS, true, secondHostRules, nullptr,
    secondChangeSession,
};
