// The cycles worker (the hidden command cycles-run): cycle after cycle of create, init, the figures,
// createBuffers, start, a stream, stop, disposeBuffers and Release, in this one process, the last
// cycle ended as --ending says; after each Release the process counts itself.
#include "checker/cycles/cycles.h"

#include "drivers/driver_list.h"
#include "drivers/driver_loading.h"
#include "engine/loopback.h"

#include <windows.h>
#include <math.h>
#include <stdarg.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>

CyclesWorkerResults cyclesWorker;

static const char *const endingOptions[ENDINGS] = {"clean", "kill", "release", "second"};

const char *endingOption(int ending)
{
    return ending >= 0 && ending < ENDINGS ? endingOptions[ending] : "?";
}

static int endingFromOption(const char *text)
{
    for (int e = 0; text && e < ENDINGS; e++) {
        if (strcmp(text, endingOptions[e]) == 0)
            return e;
    }
    return ENDING_CLEAN;
}

static const char *cyclesWorkerFault(const void *copy)
{
    const CyclesWorkerResults &r = *static_cast<const CyclesWorkerResults *>(copy);
    if (!inRange(r.count, 0, MAX_CYCLES_IN_WORKER))
        return "count";
    for (int i = 0; i < r.count; i++) {
        const CycleResult &c = r.cycles[i];
        if (!inRange(c.ending, 0, ENDINGS - 1))
            return "cycles.ending";
        if (!inRange(c.stage, CYCLE_NOTHING, CYCLE_CLOSED))
            return "cycles.stage";
        if (!inRange(c.number, 1, MAX_ALL_CYCLES) || !inRange(c.inWorker, 1, MAX_CYCLES_IN_WORKER))
            return "cycles.number";
        if (!textEnds(c.errorMessage, sizeof c.errorMessage) || !textEnds(c.secondMessage, sizeof c.secondMessage) ||
            !textEnds(c.failure, sizeof c.failure))
            return "cycles.texts";
        if (!inRange(c.after.handles, -1, HANDLE_PROBE_BOUND / 4) || !inRange(c.after.threads, -1, 1000000) ||
            !inRange(c.after.privateKB, -1, 1ll << 44))
            return "cycles.after";
        if (!inRange(c.switches, 0, 1ll << 40))
            return "cycles.switches";
    }
    return nullptr;
}

extern const RecordSpec cyclesWorkerRecord = {&cyclesWorker, sizeof cyclesWorker, "cycles",
    cyclesWorkerFault};

static double msSince(int64_t from)
{
    return ticksToUs(performanceTicks() - from) / 1000;
}

// The figures as a host reads them; the first answer that was not ASE_OK in *bad.
static void readCycleFigures(CycleFigures *f, ASIOError *bad)
{
    ASIOError answers[4];
    answers[0] = noteCall(asioGetBufferSize(&f->minSize, &f->maxSize, &f->preferredSize, &f->granularity),
                          "getBufferSize");
    answers[1] = noteCall(asioGetSampleRate(&f->sampleRate), "getSampleRate");
    answers[2] = noteCall(asioGetChannels(&f->inputs, &f->outputs), "getChannels");
    answers[3] = noteCall(asioGetLatencies(&f->inputLatency, &f->outputLatency), "getLatencies");
    *bad = ASE_OK;
    for (ASIOError a : answers) {
        if (a != ASE_OK && *bad == ASE_OK)
            *bad = a;
    }
}

// The cycle's buffer size and rate: clean cycles step through the sizes the driver allows (at most
// four of them, its min, preferred and max among them) and the usual rates canSampleRate accepts;
// a dirty ending runs at the driver's own preferred size and rate.
static void chooseSetting(CycleResult *c)
{
    const CycleFigures &f = c->opened;
    c->bufferSize = f.preferredSize;
    c->rate = f.sampleRate;
    if (c->ending != ENDING_CLEAN)
        return;
    long sizes[4];
    int count = allowedBufferSizes(f.minSize, f.maxSize, f.preferredSize, f.granularity, sizes, 4);
    if (count > 0)
        c->bufferSize = sizes[(c->number - 1) % count];
    double rates[PROBE_RATES];
    int accepted = 0;
    for (double rate : probeRates) {
        if (asioCanSampleRate(rate) == ASE_OK)
            rates[accepted++] = rate;
    }
    if (accepted > 0)
        c->rate = rates[(c->number - 1) % accepted];
}

static void setFailure(CycleResult *c, const char *format, ...) PRINTF_LIKE(2, 3);
static void setFailure(CycleResult *c, const char *format, ...)
{
    va_list list;
    va_start(list, format);
    vsnprintf(c->failure, sizeof c->failure, format, list);
    va_end(list);
}

// The second object, made and initialised while the first streams, then released.
static void makeSecondObject(int index, CycleResult *c)
{
    DriverEntry *entry = findEntry(index);
    if (!entry)
        return;
    HWND window = CreateWindowExA(0, "STATIC", "quorvelcheck second", 0, 0, 0, 10, 10, nullptr, nullptr,
                                  GetModuleHandleA(nullptr), nullptr);
    IASIO *second = nullptr;
    watchDriverCall("CoCreateInstance() of a second object");
    HRESULT made = CoCreateInstance(entry->clsid, nullptr, CLSCTX_INPROC_SERVER, entry->clsid,
                                    reinterpret_cast<void **>(&second));
    watchDriverCall(nullptr);
    c->secondCreateResult = made;
    if (made == S_OK && second) {
        watchDriverCall("init() of a second object");
        c->secondInitialised = second->init(window) != 0;
        if (!c->secondInitialised) {
            char text[MAX_SECOND_TEXT + 4] = "";
            watchDriverCall("getErrorMessage() of a second object");
            second->getErrorMessage(text);
            text[sizeof text - 1] = '\0';
            snprintf(c->secondMessage, sizeof c->secondMessage, "%s", text);
        }
        watchDriverCall("Release() of a second object");
        second->Release();
        watchDriverCall(nullptr);
    }
    if (window)
        DestroyWindow(window);
}

static CycleResult *streamingCycle;

// The run's poll: the first switch is told to the parent at once (it ends a worker to be killed
// only once the stream runs).
static bool noteStreaming()
{
    if (streamingCycle && streamingCycle->stage < CYCLE_STREAMING && arrivalRing.claimed.load() > 0) {
        streamingCycle->stage = CYCLE_STREAMING;
        publishRecord(&cyclesWorker);
    }
    return false;
}

// The stream of a cycle; a second object made half-way for that ending.
static void streamCycle(const CheckerOptions &options, int index, CycleResult *c)
{
    streamingCycle = c;
    if (c->ending == ENDING_KILLED) {
        // The parent kills the worker once the stream runs; the wait ends only when it does not.
        waitForRun(options.seconds + 5, noteStreaming, nullptr);
    } else if (c->ending == ENDING_SECOND) {
        waitForRun(options.seconds / 2, noteStreaming, nullptr);
        if (!runCrashed() && !runStopAsked())
            makeSecondObject(index, c);
        waitForRun(options.seconds / 2, noteStreaming, nullptr);
    } else {
        waitForRun(options.seconds, noteStreaming, nullptr);
    }
    streamingCycle = nullptr;
}

// One cycle, its record filled as it goes. EXIT_FINE when it opened and streamed (its `ok` says
// whether it also closed cleanly); EXIT_DRIVER when it stopped short; EXIT_SHORTFALL for the
// checker's own.
static int runCycle(const CheckerOptions &options, int index, CycleResult *c)
{
    char name[32];
    openChosenDriver(index);
    const OpenedDriver &d = openedDriver;
    c->createResult = d.createResult;
    c->createMs = d.createMs;
    c->initialised = d.initialised;
    c->initMs = d.created ? d.initMs : NAN;
    snprintf(c->errorMessage, sizeof c->errorMessage, "%s", d.errorMessage);
    if (!d.created) {
        setFailure(c, "its COM object could not be made (%s)", comResultText(d.createResult, name, sizeof name));
        return EXIT_DRIVER;
    }
    c->stage = CYCLE_CREATED;
    if (!d.initialised) {
        setFailure(c, "init answered 0 (%s)", d.errorMessage[0] ? d.errorMessage : "no message");
        return EXIT_DRIVER;
    }
    c->stage = CYCLE_OPENED;
    readCycleFigures(&c->opened, &c->readResult);
    if (c->readResult != ASE_OK) {
        setFailure(c, "a figure call answered %s", asioErrorName(c->readResult, name, sizeof name));
        return EXIT_DRIVER;
    }
    c->stage = CYCLE_READ;
    chooseSetting(c);
    publishRecord(&cyclesWorker);
    c->setRateResult = ASE_OK;
    if (c->rate != c->opened.sampleRate) {
        rememberRateToRestore(c->opened.sampleRate);
        c->rateSet = true;
        c->setRateResult = noteCall(asioSetSampleRate(c->rate), "setSampleRate(%g)", c->rate);
        if (c->setRateResult != ASE_OK) {
            setFailure(c, "setSampleRate(%g) answered %s, though canSampleRate accepted it", c->rate,
                       asioErrorName(c->setRateResult, name, sizeof name));
            return EXIT_DRIVER;
        }
    }
    if (c->bufferSize <= 0) {
        setFailure(c, "the driver's preferred buffer size is %ld", c->bufferSize);
        return EXIT_DRIVER;
    }
    DriverFigures figures;
    readRecordFigures(&figures);  // the plan of the loopback takes its channel counts
    if (!prepareTiming(options.seconds, 0))
        return fail(EXIT_SHORTFALL, "the checker has no memory for the timing of a cycle");
    resetMessageCounts(false);
    int64_t from = performanceTicks();
    c->buffersResult = createLoopbackBuffers(&timedCallbacks, c->bufferSize);
    c->buffersMs = msSince(from);
    if (c->buffersResult != ASE_OK) {
        endLoopback();
        setFailure(c, "createBuffers(%ld frames) answered %s", c->bufferSize,
                   asioErrorName(c->buffersResult, name, sizeof name));
        return EXIT_DRIVER;
    }
    c->stage = CYCLE_BUFFERS;
    noteCall(asioGetLatencies(&c->inputLatency, &c->outputLatency), "getLatencies");
    RunSetup setup = {};
    setup.bufferSize = c->bufferSize;
    setup.periodUs = usableRate(c->rate) ? c->bufferSize / c->rate * 1e6 : 0;
    int64_t startCalled = performanceTicks();
    c->startResult = asioStart();
    c->startMs = msSince(startCalled);
    setup.windowStart = switchTicks();
    beginCpuWindow();
    if (c->startResult != ASE_OK) {
        endLoopback();
        setFailure(c, "start answered %s", asioErrorName(c->startResult, name, sizeof name));
        return EXIT_DRIVER;
    }
    c->stage = CYCLE_STARTED;
    publishRecord(&cyclesWorker);
    streamCycle(options, index, c);
    TimingFigures timing;
    judgeWindow(&setup, &timing);
    c->switches = timing.switches;
    size_t kept = 0;
    const int64_t *arrivals = keptArrivals(&kept);
    c->firstSwitchMs = kept > 0 ? ticksToUs(switchTicksToCounter(arrivals[0]) - startCalled) / 1000 : NAN;
    c->stage = CYCLE_STREAMED;
    publishRecord(&cyclesWorker);
    if (c->ending == ENDING_RELEASED) {
        endCrashedRun();
        if (c->switches > 0)
            return EXIT_FINE;  // the caller releases it without a stop
        setFailure(c, "it started but made no buffer switch in %.1f s", options.seconds);
        return EXIT_DRIVER;
    }
    endCrashedRun();
    from = performanceTicks();
    endLoopback(&c->stopResult, &c->disposeResult);
    c->stopMs = msSince(from);
    noteCall(c->stopResult, "stop");
    noteCall(c->disposeResult, "disposeBuffers");
    if (c->switches == 0) {
        setFailure(c, "it started but made no buffer switch in %.1f s", options.seconds);
        return EXIT_DRIVER;
    }
    if (c->stopResult != ASE_OK || c->disposeResult != ASE_OK) {
        char dispose[32];
        setFailure(c, "stop answered %s and disposeBuffers %s", asioErrorName(c->stopResult, name, sizeof name),
                   asioErrorName(c->disposeResult, dispose, sizeof dispose));
        return EXIT_DRIVER;
    }
    return EXIT_FINE;
}

int cyclesRunSession(const CheckerOptions &options)
{
    stopAtSafePoints();
    loadDriverList();
    int ending = endingFromOption(options.ending);
    int code = EXIT_FINE;
    // Once before the first cycle, so that what the measures themselves leave behind the first time
    // (the snapshot's memory) is not charged to the driver.
    ProcessCounts warm;
    measureProcess(&warm);
    for (int i = 0; i < options.cycles && !runStopAsked(); i++) {
        CycleResult *c = &cyclesWorker.cycles[i];
        memset(c, 0, sizeof *c);
        c->number = static_cast<int32_t>(options.firstCycle + i);
        c->inWorker = i + 1;
        c->ending = i == options.cycles - 1 ? ending : ENDING_CLEAN;
        c->createMs = c->initMs = c->buffersMs = c->startMs = c->firstSwitchMs = c->stopMs = NAN;
        c->after.handles = c->after.threads = -1;
        c->after.privateKB = -1;
        cyclesWorker.count = i + 1;
        publishRecord(&cyclesWorker);
        code = runCycle(options, options.probeIndex, c);
        c->referencesLeft = closeChosenDriver();
        if (c->stage >= CYCLE_CREATED)
            measureProcess(&c->after);
        if (code == EXIT_FINE && c->ending != ENDING_RELEASED)
            c->stage = CYCLE_CLOSED;
        c->ok = code == EXIT_FINE;
        publishRecord(&cyclesWorker);
        publishRecord(&callNotes);
        // A cycle that failed ends the worker: the parent goes on in a fresh one.
        if (code != EXIT_FINE)
            break;
    }
    if (runStopAsked())
        return EXIT_INTERRUPTED;
    return code;
}
