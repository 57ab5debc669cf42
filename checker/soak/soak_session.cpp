// The soak's session in the worker: one stream for as long as was asked, the callbacks' arrival ring
// emptied on the main thread into fixed records (nothing kept per switch), the sample position
// read between, and the record handed to the parent at every checkpoint.
#include "checker/soak/soak.h"

#include "drivers/driver_loading.h"

#include <windows.h>
#include <psapi.h>
#include <math.h>
#include <stdio.h>
#include <string.h>

SoakResults soakResults;

// The lower envelope of points whose delays are one-sided: of each stretch, the point least behind
// the nominal line (a switch arrives late, never early; the position a read finds lags the read by
// up to a period) goes into the fits. The system's delays, milliseconds each on a busy machine,
// then move the line by what the least delayed point of each stretch was delayed, not by their mean.
struct SoakEnvelope {
    bool has;
    double lag;    // behind the nominal line, in the fit's units of y
    double x, y;
};

static void envelopeAdd(SoakEnvelope *e, double x, double y, double lag)
{
    if (!e->has || lag < e->lag) {
        e->has = true;
        e->lag = lag;
        e->x = x;
        e->y = y;
    }
}

// What only the worker keeps between arrivals: the last 10 seconds of intervals, for the flight
// recorder, in a ring of its own (the callbacks' ring is emptied as it is read).
struct SoakWorking {
    int64_t start;            // switch ticks at start's return
    int64_t startCounter;     // the same on the performance counter
    double periodUs;
    double ticksPerUs;        // the calibration, taken again at each poll
    uint32_t taken;           // slots of the callbacks' ring emptied
    int64_t lastArrival;      // 0 before the first
    SoakWindow window;        // the checkpoint's window in progress
    double nextCheckpointS;
    float history[SOAK_FLIGHT_ROOM];
    int64_t historyAt[SOAK_FLIGHT_ROOM];  // each interval's end, in switch ticks
    long long historyCount;
    bool untilGlitch;
    bool glitchSeen;
    bool flightSent;          // the record went to the parent since the flight recorder filled
    double firstReadUs;       // the first read: its time from the start, for the jump bound
    SoakEnvelope switches;    // the stretch in progress (ENVELOPE_SECONDS) of the switches
    SoakEnvelope reads;       // ... and of the position's reads (POSITION_ENVELOPE_SECONDS)
    double switchesFromS, readsFromS;  // where each began
    bool positionBegun;       // a read after the first switch came: the position's lines begin
    int64_t positionOrigin;   // ... with its position
};
static const double ENVELOPE_SECONDS = 0.25;
static const double POSITION_ENVELOPE_SECONDS = 0.5;
static SoakWorking work;

static double secondsAt(int64_t ticks)
{
    return (ticks - work.start) / work.ticksPerUs / 1e6;
}

// The intervals of the last SOAK_FLIGHT_SECONDS up to now, copied out of the history, at the first
// anomaly of its kind when no graver one was kept: a late switch is common on a busy machine, and
// the glitch or the stop after it is what a user needs to see.
static void keepFlight(int kind, int64_t at, long long atSwitch)
{
    SoakFlight &f = soakResults.flight;
    if (f.kind >= kind)
        return;
    work.flightSent = false;
    f.kind = kind;
    f.atS = secondsAt(at);
    f.atSwitch = atSwitch;
    long long room = SOAK_FLIGHT_ROOM;
    long long available = work.historyCount < room ? work.historyCount : room;
    int64_t from = at - static_cast<int64_t>(SOAK_FLIGHT_SECONDS * 1e6 * work.ticksPerUs);
    long long first = work.historyCount - available;
    while (first < work.historyCount && work.historyAt[first % SOAK_FLIGHT_ROOM] < from)
        first++;
    f.count = 0;
    for (long long k = first; k < work.historyCount; k++)
        f.intervalsUs[f.count++] = work.history[k % SOAK_FLIGHT_ROOM];
}

// Whether the machine's watch, at a driver thread's priority, was held for the gap from `from` to
// `to` (switch ticks) but two periods, and half of it at least: the machine's gap, not the driver's.
static bool machineHeld(int64_t from, int64_t to)
{
    int64_t counterFrom = switchTicksToCounter(from), counterTo = switchTicksToCounter(to);
    int64_t held = machineHeldTicks(counterFrom, counterTo);
    double gapUs = ticksToUs(counterTo - counterFrom);
    double heldUs = held > 0 ? ticksToUs(held) : 0;
    return heldUs > 0 && heldUs >= gapUs - 2 * work.periodUs && heldUs >= gapUs / 2;
}

static void takeArrival(int64_t arrival)
{
    SoakResults &r = soakResults;
    if (arrival < work.start)
        return;  // during createBuffers and start: not the run's
    long long n = r.switches++;
    double x = static_cast<double>(arrival - work.start);
    double y = static_cast<double>(n) * r.setup.bufferSize;
    envelopeAdd(&work.switches, x, y, x - n * work.periodUs * work.ticksPerUs);
    work.window.switchCount++;
    int64_t previous = work.lastArrival ? work.lastArrival : work.start;
    double gapUs = (arrival - previous) / work.ticksPerUs;
    work.lastArrival = arrival;
    if (gapUs > r.longestGapUs) {
        r.longestGapUs = gapUs;
        r.longestGapAtS = secondsAt(previous);
    }
    if (n > 0) {
        work.history[work.historyCount % SOAK_FLIGHT_ROOM] = static_cast<float>(gapUs);
        work.historyAt[work.historyCount % SOAK_FLIGHT_ROOM] = arrival;
        work.historyCount++;
    }
    // The first switch's wait from start is the driver's start-up, not a late switch.
    if (n == 0 || work.periodUs <= 0 || gapUs <= 1.5 * work.periodUs)
        return;
    bool glitch = gapUs > SOAK_GLITCH_PERIODS * work.periodUs;
    // A gap the machine held the checker through is the machine's, late or glitch.
    if (machineHeld(previous, arrival)) {
        r.machineGlitches += glitch;
        return;
    }
    r.late++;
    work.window.late++;
    if (r.firstLateS < 0)
        r.firstLateS = secondsAt(arrival);
    if (glitch) {
        r.glitches++;
        work.window.glitches++;
        if (r.firstGlitchS < 0)
            r.firstGlitchS = secondsAt(arrival);
        work.glitchSeen = true;
    }
    keepFlight(glitch ? SOAK_GLITCH : SOAK_LATE, arrival, n);
}

// Empties the callbacks' ring as drainArrivals does, into the soak's figures instead of a list.
static void drainSoakArrivals()
{
    uint32_t claimed = arrivalRing.claimed.load(std::memory_order_acquire);
    if (claimed - work.taken > ARRIVAL_RING_SIZE) {
        soakResults.missedByChecker += claimed - work.taken - ARRIVAL_RING_SIZE;
        work.taken = claimed - ARRIVAL_RING_SIZE;
    }
    for (; work.taken != claimed; work.taken++) {
        auto *slot = reinterpret_cast<std::atomic<int64_t> *>(
            &arrivalRing.slots[work.taken & (ARRIVAL_RING_SIZE - 1)]);
        int64_t arrival = slot->load(std::memory_order_acquire);
        if (arrival == 0)
            break;  // claimed, not yet stored: the next drain takes it
        slot->store(0, std::memory_order_relaxed);
        takeArrival(arrival);
    }
}

// The two 32-bit halves as one number.
static int64_t whole(unsigned long hi, unsigned long lo)
{
    return static_cast<int64_t>((static_cast<uint64_t>(hi) << 32) | lo);
}

// One read of the sample position, on this thread (never in the callback), timed on the
// performance counter around the call.
static void readPosition()
{
    SoakPosition &p = soakResults.position;
    ASIOSamples samples = {0, 0};
    ASIOTimeStamp stamp = {0, 0};
    int64_t before = performanceTicks();
    ASIOError answer = asioGetSamplePosition(&samples, &stamp);
    int64_t after = performanceTicks();
    if (answer != ASE_OK) {
        if (p.failedReads++ == 0)
            p.firstError = answer;
        return;
    }
    double atUs = ticksToUs(before + (after - before) / 2 - work.startCounter);
    int64_t position = whole(samples.hi, samples.lo);
    int64_t ns = whole(stamp.hi, stamp.lo);
    if (p.reads == 0) {
        p.first = position;
        work.firstReadUs = atUs;
    } else {
        // Any step back is a fault. A position ahead of what the time since the first read allows
        // at the reported rate (1% over, with 50 ms for the reads' own timing and two buffers) is a
        // jump: measured from the first read, as a position that stood while the device's thread
        // was held makes up the whole wait at once when it runs again.
        double rate = soakResults.setup.figures.sampleRate;
        double allowed = (atUs - work.firstReadUs + 50e3) / 1e6 * (usableRate(rate) ? rate : 1e6) * 1.01 +
                         2.0 * soakResults.setup.bufferSize;
        bool back = position < p.last;
        bool jump = !back && static_cast<double>(position - p.first) > allowed;
        if ((back || jump) && p.backs + p.jumps == 0) {
            p.faultAtS = atUs / 1e6;
            p.faultBefore = p.last;
            p.faultAfter = position;
        }
        p.backs += back;
        p.jumps += jump;
    }
    p.last = position;
    p.reads++;
    // The lines begin with the stream: a read before the first switch finds the position the
    // device had before its clock ran, which is no point of the rate.
    if (soakResults.switches == 0)
        return;
    if (!work.positionBegun) {
        work.positionBegun = true;
        work.positionOrigin = position;
    }
    double frames = static_cast<double>(position - work.positionOrigin);
    double rate = soakResults.setup.figures.sampleRate;
    envelopeAdd(&work.reads, atUs, frames, atUs * (usableRate(rate) ? rate / 1e6 : 0) - frames);
    // A stamp of 0 is no time (a read before the first buffer's): left out of the stamps' line.
    if (ns != 0) {
        if (p.firstStamp == 0)
            p.firstStamp = ns;
        soakFitAdd(&p.byStamp, (ns - p.firstStamp) / 1e3, frames);
        p.lastStamp = ns;
    }
}

// Closes the checkpoint's window into the table; past its room, the adjacent pair whose lengths
// sum least (the oldest of equals) is merged, so that the early hours grow coarse first.
static void closeWindow(double nowS)
{
    SoakResults &r = soakResults;
    work.window.seconds = nowS - work.window.startS;
    if (r.windowCount == SOAK_MAX_WINDOWS) {
        int best = 0;
        for (int i = 1; i + 1 < r.windowCount; i++) {
            if (r.windows[i].seconds + r.windows[i + 1].seconds <
                r.windows[best].seconds + r.windows[best + 1].seconds)
                best = i;
        }
        SoakWindow &a = r.windows[best];
        const SoakWindow &b = r.windows[best + 1];
        soakFitMerge(&a.switches, b.switches);
        a.seconds = b.startS + b.seconds - a.startS;
        a.switchCount += b.switchCount;
        a.late += b.late;
        a.glitches += b.glitches;
        memmove(&r.windows[best + 1], &r.windows[best + 2],
                (r.windowCount - best - 2) * sizeof r.windows[0]);
        r.windowCount--;
    }
    r.windows[r.windowCount++] = work.window;
    memset(&work.window, 0, sizeof work.window);
    work.window.startS = nowS;
}

// The process's private bytes; where the system does not count them (Wine gives 0), its working set.
static double privateBytes()
{
    PROCESS_MEMORY_COUNTERS_EX counters = {};
    counters.cb = sizeof counters;
    if (!K32GetProcessMemoryInfo(GetCurrentProcess(),
                                 reinterpret_cast<PROCESS_MEMORY_COUNTERS *>(&counters), sizeof counters))
        return NAN;
    size_t bytes = counters.PrivateUsage ? counters.PrivateUsage : counters.WorkingSetSize;
    return static_cast<double>(bytes);
}

// Closes the stretches of the envelopes that are old enough (all of them: `whole`) into the fits.
static void flushEnvelopes(double nowS, bool whole)
{
    SoakResults &r = soakResults;
    if (work.switches.has && (whole || nowS - work.switchesFromS >= ENVELOPE_SECONDS)) {
        soakFitAdd(&r.switchFit, work.switches.x, work.switches.y);
        soakFitAdd(&work.window.switches, work.switches.x, work.switches.y);
        work.switches.has = false;
        work.switchesFromS = nowS;
    }
    if (work.reads.has && (whole || nowS - work.readsFromS >= POSITION_ENVELOPE_SECONDS)) {
        soakFitAdd(&r.position.byReadTime, work.reads.x, work.reads.y);
        work.reads.has = false;
        work.readsFromS = nowS;
    }
}

static void checkpoint(double nowS)
{
    SoakResults &r = soakResults;
    flushEnvelopes(nowS, true);
    r.memoryLast = privateBytes();
    if (r.checkpoints == 0)
        r.memoryFirst = r.memoryLast;
    r.elapsedS = nowS;
    r.ticksPerUs = work.ticksPerUs;
    closeWindow(nowS);
    tallyMessages(&r.messages);
    r.checkpoints++;
    publishRecord(&soakResults);
}

static void soakProgress(double nowS)
{
    SoakFigures f;
    soakResults.elapsedS = nowS;
    soakResults.ticksPerUs = work.ticksPerUs;
    soakFigures(soakResults, &f);
    showProgress("soak: %.0f of %.0f s, %lld switches, %lld glitches, %+.1f ppm", nowS,
                 soakResults.askedSeconds, soakResults.switches, soakResults.glitches, f.ppm);
}

// The run: the ring emptied and the position read about every 50 ms, a checkpoint every
// checkpointSeconds, until the time asked for, the stream's stop, the first glitch with
// --until-glitch, a driver thread's crash or the user's interrupt.
static void soakRun()
{
    SoakResults &r = soakResults;
    work.nextCheckpointS = r.checkpointSeconds;
    double boundUs = STALL_SECONDS * 1e6 > STALL_PERIODS * work.periodUs ? STALL_SECONDS * 1e6
                                                                         : STALL_PERIODS * work.periodUs;
    double lastProgress = -1;
    // The loop comes back to the watch every 50 ms (each read of the position is a watched call),
    // so a minute in the run's state is a hang, however long the soak: the parent's limit.
    watchRun(r.askedSeconds < 60 ? r.askedSeconds : 60);
    for (;;) {
        work.ticksPerUs = calibratedTicksPerUs();
        drainSoakArrivals();
        watchRunSwitches(arrivalRing.claimed.load());
        readPosition();
        // Taken again after the driver's call: a slow getSamplePosition is no stop of the switches.
        drainSoakArrivals();
        int64_t now = switchTicks();
        double nowS = secondsAt(now);
        flushEnvelopes(nowS, false);
        int64_t last = work.lastArrival ? work.lastArrival : work.start;
        // A crash stays a crash and the user's interrupt is the user's, whatever the switches did.
        if (runCrashed()) {
            r.end = SOAK_DRIVER_CRASH;
        } else if (runStopAsked()) {
            r.end = SOAK_INTERRUPTED;
        } else if ((now - last) / work.ticksPerUs > boundUs && !machineHeld(last, now)) {
            r.stopped = true;
            r.stoppedAtS = secondsAt(last);
            keepFlight(SOAK_STOP, last, r.switches);
            r.end = SOAK_STOPPED;
        } else if (work.untilGlitch && work.glitchSeen) {
            r.end = SOAK_FIRST_GLITCH;
        } else if (nowS >= r.askedSeconds) {
            r.end = SOAK_TIME;
        }
        if (r.end != SOAK_RUNNING) {
            checkpoint(nowS);
            break;
        }
        if (nowS >= work.nextCheckpointS) {
            checkpoint(nowS);
            work.nextCheckpointS += r.checkpointSeconds;
        } else if (r.flight.kind != SOAK_NO_ANOMALY && !work.flightSent) {
            // The flight recorder filled: handed over at once, so that a crash soon after does not
            // take it.
            r.elapsedS = nowS;
            r.ticksPerUs = work.ticksPerUs;
            publishRecord(&soakResults);
            work.flightSent = true;
        }
        if (nowS - lastProgress >= 1) {
            soakProgress(nowS);
            lastProgress = nowS;
        }
        pumpMessages(50);
    }
    watchRun(0);
    clearProgress();
}

int soakSession(const CheckerOptions &options)
{
    SoakResults &r = soakResults;
    memset(&work, 0, sizeof work);
    r.firstLateS = r.firstGlitchS = -1;
    r.position.faultAtS = -1;
    r.askedSeconds = options.seconds;
    r.checkpointSeconds = options.checkpointSeconds;
    work.untilGlitch = options.untilGlitch;
    int code = openRun(options, &r.setup);
    // The timing's list is not used: a soak keeps nothing per switch. Only the ring is emptied and
    // the switch clock started.
    if (code == EXIT_FINE && !prepareTiming(1, r.setup.periodUs))
        code = fail(EXIT_SHORTFALL, "the checker has no memory for the switch timing");
    if (code == EXIT_FINE) {
        r.stage = SOAK_PREPARED;
        publishRecord(&soakResults);
        resetMessageCounts(options.timeInfo);
        setHostSupports(hostSupportedSelectors(options));
        code = beginRun(&timedCallbacks, &r.setup);
    }
    if (code != EXIT_FINE) {
        publishRecord(&callNotes);
        closeChosenDriver();
        return code;
    }
    work.start = r.setup.windowStart;
    work.startCounter = switchTicksToCounter(work.start);
    work.periodUs = r.setup.periodUs;
    work.ticksPerUs = calibratedTicksPerUs();
    // Without the watch every gap is the driver's: it only ever takes a glitch from the driver.
    startMachineWatch();
    r.stage = SOAK_STREAMING;
    publishRecord(&soakResults);

    soakRun();
    stopMachineWatch();

    endRun(&r.setup, nullptr);
    r.setup.elapsedS = r.elapsedS;
    r.stage = SOAK_ENDED;
    closeChosenDriver();
    publishRecord(&soakResults);
    publishRecord(&callNotes);
    return r.end == SOAK_INTERRUPTED ? EXIT_INTERRUPTED : EXIT_FINE;
}
