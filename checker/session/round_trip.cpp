// What the host does with the driver's requests during a run: noted by the callbacks, acted on here
// on the main thread, each one splitting the run into windows judged apart.
#include "checker/session/session.h"

#include "drivers/driver_loading.h"
#include "engine/loopback.h"

#include <windows.h>
#include <algorithm>
#include <math.h>
#include <stdarg.h>
#include <stdio.h>
#include <string.h>

// The stream after a request is measured for at least this long, however late in the run it came.
static const double SECONDS_AFTER = 1.0;
// A window ends for a request only once it has lasted this long and MIN_WINDOW_PERIODS periods: a
// request sent inside the checker's own createBuffers or start would otherwise end it before any
// switch could come, and an empty window is no failure of the driver's.
static const double MIN_WINDOW_SECONDS = 0.25;
enum { MIN_WINDOW_PERIODS = 8 };
enum { CLOCK_ROOM = 32 };

// ---- The figures a host reads again

static long channelType(bool isInput, long count)
{
    if (count <= 0)
        return -1;
    ASIOChannelInfo info = {};
    info.channel = 0;
    info.isInput = isInput;
    info.type = -1;
    return asioGetChannelInfo(&info) == ASE_OK ? info.type : -1;
}

void readHostFigures(HostFigures *f)
{
    memset(f, 0, sizeof *f);
    f->sizesResult = asioGetBufferSize(&f->minSize, &f->maxSize, &f->preferredSize, &f->granularity);
    f->rateResult = asioGetSampleRate(&f->sampleRate);
    f->channelsResult = asioGetChannels(&f->inputs, &f->outputs);
    f->latencyResult = asioGetLatencies(&f->inputLatency, &f->outputLatency);
    f->inputType = channelType(true, f->inputs);
    f->outputType = channelType(false, f->outputs);
    ASIOClockSource clocks[CLOCK_ROOM] = {};
    long count = CLOCK_ROOM;
    f->clockResult = asioGetClockSources(clocks, &count);
    f->clockSource = -1;
    for (long k = 0; f->clockResult == ASE_OK && k < std::min<long>(count, CLOCK_ROOM); k++) {
        if (clocks[k].isCurrentSource && f->clockSource < 0) {
            f->clockSource = clocks[k].index;
            memcpy(f->clockName, clocks[k].name, sizeof f->clockName);
            f->clockName[sizeof f->clockName - 1] = '\0';
        }
    }
    ASIOSamples position = {0, 0};
    ASIOTimeStamp stamp = {0, 0};
    f->positionResult = asioGetSamplePosition(&position, &stamp);
    f->samplePosition = (static_cast<int64_t>(position.hi) << 32) | position.lo;
}

static const char *const figureNames[FIGURE_COUNT] = {
    "min_size", "max_size", "preferred_size", "granularity", "sample_rate", "inputs", "outputs",
    "input_latency", "output_latency", "input_type", "output_type", "clock_source",
};

const char *hostFigureName(int figure)
{
    return figure >= 0 && figure < FIGURE_COUNT ? figureNames[figure] : "";
}

static long wholeFigure(const HostFigures &f, int figure)
{
    const long values[FIGURE_COUNT] = {f.minSize, f.maxSize, f.preferredSize, f.granularity, 0,
                                       f.inputs, f.outputs, f.inputLatency, f.outputLatency,
                                       f.inputType, f.outputType, f.clockSource};
    return figure >= 0 && figure < FIGURE_COUNT ? values[figure] : 0;
}

void hostFigureText(const HostFigures &f, int figure, char *out, size_t size)
{
    if (figure == 4) {
        formatRate(f.sampleRate, out, size);
    } else if (figure == 9 || figure == 10) {
        long type = wholeFigure(f, figure);
        char name[48];
        snprintf(out, size, "%s", type < 0 ? "none" : typeText(type, name, sizeof name));
    } else if (figure == 11) {
        if (f.clockSource < 0)
            snprintf(out, size, "none current");
        else
            snprintf(out, size, "%ld (%s)", f.clockSource, f.clockName);
    } else {
        snprintf(out, size, "%ld", wholeFigure(f, figure));
    }
}

bool hostFigureChanged(const HostFigures &before, const HostFigures &after, int figure)
{
    if (figure == 4)  // NaN against NaN is no change
        return memcmp(&before.sampleRate, &after.sampleRate, sizeof after.sampleRate) != 0;
    if (figure == 11 && strcmp(before.clockName, after.clockName) != 0)
        return true;
    return wholeFigure(before, figure) != wholeFigure(after, figure);
}

const char *tripStepName(int step)
{
    static const char *const names[TRIP_STEPS] = {
        "stop()", "disposeBuffers()", "Release()", "CoCreateInstance()", "init()",
        "setSampleRate()", "the figures read again", "createBuffers()", "start()",
    };
    return step >= 0 && step < TRIP_STEPS ? names[step] : "";
}

const char *roundTripsFault(const HostRoundTrips &trips)
{
    if (!inRange(trips.count, 0, MAX_ROUND_TRIPS))
        return "trips.count";
    for (int k = 0; k < trips.count; k++) {
        const HostRoundTrip &t = trips.trips[k];
        if (!inRange(t.failedStep, -1, TRIP_STEPS - 1) || !inRange(t.policy, RESET_FOLLOW, RESET_IGNORE))
            return "trips.failedStep";
        if (!textEnds(t.failure, sizeof t.failure) || !textEnds(t.before.clockName, sizeof t.before.clockName) ||
            !textEnds(t.after.clockName, sizeof t.after.clockName))
            return "trips.failure";
        if (const char *fault = timingFault(t.timing))
            return fault;
    }
    return nullptr;
}

// ---- Requests, from the notification log

static long requestsSeen;       // PendingRequest bits taken and not yet acted on
static int policyNow;           // what is done with a request from here on
static long logCursor;          // notifications read so far
static int64_t runStart;        // switch ticks of the run's first start's return
static int64_t windowBegan;     // performance ticks when the window measured now began
static double windowLeast;      // seconds it lasts at the least before a request ends it

static double secondsSince(int64_t ticks)
{
    return ticksToUs(performanceTicks() - ticks) / 1e6;
}

static void beginWindow(int64_t began, double periodUs)
{
    windowBegan = began;
    windowLeast = std::max(MIN_WINDOW_SECONDS, std::min(SECONDS_AFTER, MIN_WINDOW_PERIODS * periodUs / 1e6));
}

static bool pollRequests()
{
    requestsSeen |= pendingRequests();
    return requestsSeen != 0 && policyNow != RESET_IGNORE && secondsSince(windowBegan) >= windowLeast;
}

// The request a notification is, as a PendingRequest bit; 0 for any other.
static long requestOf(const Notification &n)
{
    if (n.kind == NOTIFY_RATE)
        return PENDING_RATE;
    if (n.kind != NOTIFY_MESSAGE || n.unsupported)
        return 0;
    switch (n.selector) {
    case ASIO_MSG_RESET_REQUEST: return PENDING_RESET;
    case ASIO_MSG_BUFFER_SIZE_CHANGE: return PENDING_BUFFER_SIZE;
    case ASIO_MSG_RESYNC_REQUEST: return PENDING_RESYNC;
    case ASIO_MSG_LATENCIES_CHANGED: return PENDING_LATENCIES;
    }
    return 0;
}

static void placeRequest(HostRoundTrip *trip, const Notification &n)
{
    double perUs = calibratedTicksPerUs();
    trip->requestMs = (n.ticks - runStart) / perUs / 1000;
    trip->afterSwitch = n.afterSwitch;
    trip->thread = n.thread;
    trip->onHostThread = n.thread == GetCurrentThreadId();
    if (n.kind == NOTIFY_RATE)
        trip->rate = n.rate;
    if (n.kind == NOTIFY_MESSAGE && n.selector == ASIO_MSG_BUFFER_SIZE_CHANGE)
        trip->size = n.value;
}

// The notifications since the last look: the first request among them places the trip; its ticks
// in *ticks (now, when the log had no room left for it).
static void takeRequest(HostRoundTrip *trip, int64_t *ticks)
{
    trip->requestMs = -1;
    *ticks = switchTicks();
    bool placed = false;
    Notification batch[16];
    for (long got; (got = takeNotifications(logCursor, batch, 16)) > 0;) {
        for (long k = 0; k < got; k++) {
            if (!placed && requestOf(batch[k])) {
                placeRequest(trip, batch[k]);
                *ticks = batch[k].ticks;
                placed = true;
            } else if (batch[k].kind == NOTIFY_RATE) {
                trip->rate = batch[k].rate;  // the rate read back is held against the last one
            }
        }
        logCursor += got;
    }
    if (trip->size == 0)
        trip->size = requestedBufferSize();
    if (trip->rate == 0 && (trip->requests & PENDING_RATE))
        trip->rate = announcedRate();
}

// --on-reset ignore: every request of the run, noted, none acted on.
static void noteIgnored(HostRoundTrips *trips, const HostFigures &figures)
{
    Notification batch[16];
    for (long got; (got = takeNotifications(logCursor, batch, 16)) > 0; logCursor += got) {
        for (long k = 0; k < got; k++) {
            long request = requestOf(batch[k]);
            if (!request)
                continue;
            if (trips->count == MAX_ROUND_TRIPS) {
                trips->notKept++;
                continue;
            }
            HostRoundTrip *trip = &trips->trips[trips->count++];
            trip->requests = request;
            trip->policy = RESET_IGNORE;
            trip->failedStep = -1;
            trip->firstSwitchMs = -1;
            trip->before = trip->after = figures;
            placeRequest(trip, batch[k]);
        }
    }
}

// ---- Acting on a request

static void publishNothing()
{
}

// The window the stream after the open trip is measured in.
static struct {
    HostRoundTrip *trip;
    int64_t requestTicks;
    int64_t restartTicks;  // start called (no restart: the request)
    int64_t windowStart;
    int64_t startedAt;     // performance counter
    long bufferSize;       // of the stream running now
    double hostRate;       // the rate the host keeps; 0 none
    long long notTakenBefore;  // arrivals the checker had lost before the window
} open;

// Notes the step that failed and why; the run's status says it (the commands' part).
static bool failStep(HostRoundTrip *trip, int step, const char *format, ...) PRINTF_LIKE(3, 4);
static bool failStep(HostRoundTrip *trip, int step, const char *format, ...)
{
    va_list args;
    va_start(args, format);
    vsnprintf(trip->failure, sizeof trip->failure, format, args);
    va_end(args);
    trip->failedStep = step;
    return false;
}

static void made(HostRoundTrip *trip, int step, long answer)
{
    trip->made[step] = true;
    trip->answers[step] = answer;
}

// Stop and disposeBuffers, then, for a reset, the object released, made again and initialised.
static bool takeDown(HostRoundTrip *trip, bool reset, const RunSetup &setup, TimingFigures *before)
{
    ASIOError stopped = ASE_OK, disposed = ASE_OK;
    endLoopback(&stopped, &disposed);
    made(trip, STEP_STOP, stopped);
    made(trip, STEP_DISPOSE, disposed);
    countArrivalsAfterJudgement(before);
    if (!reset)
        return true;
    made(trip, STEP_RELEASE, static_cast<long>(closeCurrentDriver()));
    long created = openDriverEntry(setup.index);
    made(trip, STEP_CREATE, created);
    char text[320];
    if (created != 0)
        return failStep(trip, STEP_CREATE, "creating the object again answered %s",
                        comResultText(created, text, sizeof text));
    ASIOError initialised = initDriver(&driverInfo);
    made(trip, STEP_INIT, initialised == ASE_OK ? 1 : 0);
    if (initialised != ASE_OK) {
        driverInfo.errorMessage[sizeof driverInfo.errorMessage - 1] = '\0';
        return failStep(trip, STEP_INIT, "init of the new object answered 0; its message: %s",
                        driverInfo.errorMessage);
    }
    // A host whose project has a rate sets it again on the new object when it came at another.
    double rate = 0;
    if (open.hostRate > 0 && (asioGetSampleRate(&rate) != ASE_OK || rate != open.hostRate)) {
        char name[32], wanted[32];
        ASIOError set = asioSetSampleRate(open.hostRate);
        made(trip, STEP_SET_RATE, set);
        if (set != ASE_OK) {
            formatRate(open.hostRate, wanted, sizeof wanted);
            return failStep(trip, STEP_SET_RATE, "the new object came at another rate and "
                            "setSampleRate(%s) answered %s", wanted, asioErrorName(set, name, sizeof name));
        }
    }
    return true;
}

// New buffers at `size` and start; the window after begins at start's return.
static bool bringUp(HostRoundTrip *trip, const ASIOCallbacks *callbacks, long size)
{
    char name[32];
    if (size <= 0)
        return failStep(trip, STEP_CREATE_BUFFERS, "the size to make the buffers at is %ld", size);
    ASIOError created = createLoopbackBuffers(callbacks, size);
    if (!loopbackState.plan.load()) {
        // The channels were counted above: no plan is the checker's own want of memory.
        endLoopback();
        trip->shortfall = true;
        return failStep(trip, STEP_CREATE_BUFFERS, "the checker had no memory for the copy plan of "
                        "%ld frames; the driver was not asked", size);
    }
    made(trip, STEP_CREATE_BUFFERS, created);
    if (created != ASE_OK) {
        endLoopback();
        return failStep(trip, STEP_CREATE_BUFFERS, "createBuffers(%ld frames) answered %s", size,
                        asioErrorName(created, name, sizeof name));
    }
    open.restartTicks = switchTicks();
    ASIOError started = asioStart();
    open.windowStart = switchTicks();
    made(trip, STEP_START, started);
    if (started != ASE_OK) {
        endLoopback();
        return failStep(trip, STEP_START, "start answered %s",
                        asioErrorName(started, name, sizeof name));
    }
    return true;
}

// What a host does with `trip->requests`: false when a step failed (trip->failure says why).
static bool follow(HostRoundTrip *trip, const ASIOCallbacks *callbacks, const RunSetup &setup,
                   TimingFigures *before, void (*publish)())
{
    bool reset = trip->requests & PENDING_RESET;
    bool resize = !reset && (trip->requests & PENDING_BUFFER_SIZE);
    if (reset || resize) {
        endCrashedRun();
        bool down = takeDown(trip, reset, setup, before);
        publish();
        if (!down)
            return false;
    }
    // The loopback's plan is made from the figures of the last report.
    DriverFigures figures;
    readRecordFigures(&figures);
    readHostFigures(&trip->after);
    made(trip, STEP_READ, ASE_OK);
    long size = reset ? trip->after.preferredSize : resize ? trip->size : open.bufferSize;
    const HostFigures &a = trip->after;
    if (resize && !bufferSizeAllowed(a.minSize, a.maxSize, a.preferredSize, a.granularity, size))
        return failStep(trip, STEP_READ, "the driver asked for buffers of %ld frames, which its own "
                        "figures do not allow (min %ld, max %ld, preferred %ld, granularity %ld)", size,
                        a.minSize, a.maxSize, a.preferredSize, a.granularity);
    long long channels = (a.inputs > 0 ? a.inputs : 0) + static_cast<long long>(a.outputs > 0 ? a.outputs : 0);
    if ((reset || resize) && channels > MAX_BUFFER_ELEMENTS)
        return failStep(trip, STEP_READ, "the driver now claims %lld channels; a run gives buffers to at "
                        "most %d, so it was not asked for any", channels, MAX_BUFFER_ELEMENTS);
    if (reset || resize) {
        bool up = bringUp(trip, callbacks, size);
        publish();
        if (!up)
            return false;
    } else {
        open.restartTicks = open.requestTicks;
        open.windowStart = switchTicks();
    }
    beginCpuWindow();
    open.notTakenBefore = arrivalsNotTaken();
    open.startedAt = performanceTicks();
    open.bufferSize = size;
    trip->bufferSize = size;
    double rate = trip->after.sampleRate;
    trip->periodUs = usableRate(rate) && size > 0 ? size / rate * 1e6 : 0;
    return true;
}

// The stream after the open trip, judged as the run's window is.
static void judgeAfter()
{
    HostRoundTrip *trip = open.trip;
    int64_t end = switchTicks();
    CpuFigures cpu;
    endCpuWindow(&cpu);
    judgeRun(open.windowStart, end, trip->periodUs, &trip->timing);
    trip->timing.missedByChecker -= open.notTakenBefore;  // this window's own
    cpu.switches = trip->timing.switches;
    trip->timing.cpu = cpu;
    // Before its window means during the restart here, not the whole run before it.
    size_t count = 0;
    const int64_t *arrivals = keptArrivals(&count);
    trip->timing.beforeStart = 0;
    trip->firstSwitchMs = -1;
    double perUs = calibratedTicksPerUs();
    for (size_t k = 0; k < count; k++) {
        if (arrivals[k] >= open.restartTicks && arrivals[k] < open.windowStart)
            trip->timing.beforeStart++;
        if (arrivals[k] >= open.restartTicks && arrivals[k] <= end && trip->firstSwitchMs < 0)
            trip->firstSwitchMs = (arrivals[k] - open.requestTicks) / perUs / 1000;
    }
    trip->judged = true;
}

void runWithRequests(int policy, double seconds, double hostRate, const ASIOCallbacks *callbacks,
                     RunSetup *setup,
                     TimingFigures *timing, HostRoundTrips *trips, TimingFigures **last,
                     void (*progress)(char *line, size_t size), void (*publish)())
{
    memset(trips, 0, sizeof *trips);
    memset(&open, 0, sizeof open);
    if (!publish)
        publish = publishNothing;
    requestsSeen = 0;
    policyNow = policy;
    logCursor = 0;
    runStart = setup->windowStart;
    open.bufferSize = setup->bufferSize;
    open.hostRate = hostRate;
    *last = timing;
    int64_t began = performanceTicks();
    beginWindow(began, setup->periodUs);
    HostFigures current;
    readHostFigures(&current);
    for (;;) {
        double left = seconds - secondsSince(began);
        if (open.trip)
            left = std::max(left, SECONDS_AFTER - secondsSince(open.startedAt));
        waitForRun(left > 0 ? left : 0, pollRequests, progress);
        bool act = requestsSeen && policyNow != RESET_IGNORE && !runCrashed() && !runStopAsked();
        if (act && trips->count == MAX_ROUND_TRIPS) {
            // Past the room, the rest of the run goes on as a host that gave up following; the
            // requests are counted at the end.
            requestsSeen = 0;
            policyNow = RESET_IGNORE;
            continue;
        }
        if (open.trip)
            judgeAfter();
        else
            judgeWindow(setup, timing);
        if (!act)
            break;
        HostRoundTrip *trip = &trips->trips[trips->count++];
        trip->requests = requestsSeen;
        requestsSeen = 0;
        trip->policy = policyNow;
        trip->failedStep = -1;
        trip->firstSwitchMs = -1;
        trip->before = trip->after = current;
        takeRequest(trip, &open.requestTicks);
        trip->actedMs = (switchTicks() - open.requestTicks) / calibratedTicksPerUs() / 1000;
        if (policyNow == RESET_STOP) {
            trips->stopped = true;
            break;
        }
        TimingFigures *before = open.trip ? &open.trip->timing : timing;
        open.trip = trip;
        // What was measured stands should the driver crash or hang in the round trip.
        publish();
        if (!follow(trip, callbacks, *setup, before, publish)) {
            trips->failed = true;
            break;
        }
        current = trip->after;
        *last = &trip->timing;
        beginWindow(open.startedAt, trip->periodUs);
        publish();
    }
    if (policy == RESET_IGNORE || policyNow == RESET_IGNORE)
        noteIgnored(trips, current);
}

bool followRequests(HostRoundTrip *trip, int index, const ASIOCallbacks *callbacks, long runningSize,
                    double hostRate)
{
    memset(&open, 0, sizeof open);
    open.bufferSize = runningSize;
    open.hostRate = hostRate;
    open.requestTicks = switchTicks();
    trip->policy = RESET_FOLLOW;
    trip->failedStep = -1;
    trip->firstSwitchMs = -1;
    RunSetup setup = {};
    setup.index = index;
    static TimingFigures scratch;  // the stop's switches belong to no window here
    memset(&scratch, 0, sizeof scratch);
    return follow(trip, callbacks, setup, &scratch, publishNothing);
}
