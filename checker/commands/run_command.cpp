// quorvelcheck run: the dialog's loopback for a while, every buffer switch timed.
#include "checker/commands/commands.h"

#include "drivers/driver_loading.h"
#include "engine/loopback.h"

#include <math.h>
#include <stdio.h>
#include <string.h>

RunResults runResults;

static double runSeconds;
static int64_t runStarted;

static void runProgress(char *line, size_t size)
{
    snprintf(line, size, "run: %.1f of %.1f s, %ld switches",
             ticksToUs(performanceTicks() - runStarted) / 1e6, runSeconds,
             static_cast<long>(loopbackState.switchCount.load(std::memory_order_relaxed)));
}

// The verdicts of the thresholds, from the figures alone.
struct RunVerdicts {
    bool noSwitches;   // not one switch between start and stop
    bool notKept;      // the stream stopped, or fell far short of its pace (judgeStreamKept)
    bool lateMissed;
    bool ratioMissed;
};

static RunVerdicts judge(const CheckerOptions &options, const TimingFigures &t, double periodUs)
{
    RunVerdicts v;
    v.noSwitches = t.switches == 0;
    StreamKept kept = judgeStreamKept(t, periodUs);
    v.notKept = kept.stalled || kept.starved;
    v.lateMissed = options.maxLate >= 0 && (t.late < 0 || t.late > options.maxLate);
    v.ratioMissed = options.minSwitchRatio > 0 && !(t.ratio >= options.minSwitchRatio);
    return v;
}

// A round trip that failed is a driver failure after a run that was measured: shown with it.
static bool runStands(int exitCode)
{
    return resultsStand(exitCode) || (exitCode == EXIT_DRIVER && runResults.trips.failed);
}

void printRunText(const CheckerOptions &options, int index, const SessionOutcome &, int exitCode)
{
    if (!runStands(exitCode))
        return;
    const RunResults &r = runResults;
    const RunSetup &s = r.setup;
    const RunVerdicts v = judge(options, r.timing, s.periodUs);
    char rate[32];
    printDriverHeading(index);
    if (r.stage < RUN_PREPARED) {
        printCallNotes();
        return;
    }
    formatRate(s.figures.sampleRate, rate, sizeof rate);
    if (r.stage >= RUN_MEASURED) {
        printf("Run: %ld frames at %s Hz, period %.1f us, %.2f s\n", s.bufferSize, rate, s.periodUs,
               s.elapsedS);
    } else {
        printf("Run: %ld frames at %s Hz, period %.1f us; %s\n", s.bufferSize, rate, s.periodUs,
               r.stage >= RUN_STARTED ? "it did not end" : "it did not begin");
    }
    if (r.stage >= RUN_MEASURED) {
        printTiming(r.timing, s.periodUs);
        printMessages(r.messages);
        printNotifications(r.notifications, nullptr);
        printRoundTrips(r.trips);
        if (v.noSwitches)
            printf("Check: at least one switch between start and stop: MISSED\n");
        else
            printStreamKept(r.timing, s.periodUs);
        if (options.maxLate >= 0)
            printf("Check --max-late %ld: %s\n", options.maxLate, v.lateMissed ? "MISSED" : "passed");
        if (options.minSwitchRatio > 0) {
            printf("Check --min-switch-ratio %g: %s\n", options.minSwitchRatio,
                   v.ratioMissed ? "MISSED" : "passed");
        }
    }
    printCallNotes();
}

// The thresholds' verdicts as "checks".
static void jsonRunChecks(const CheckerOptions &options, const TimingFigures &t, double periodUs,
                          const RunVerdicts &v)
{
    jsonBeginArray("checks");
    jsonBeginObject(nullptr);
    jsonText("check", "switches");
    jsonInteger("value", t.switches);
    jsonBool("passed", !v.noSwitches);
    jsonEndObject();
    jsonBeginObject(nullptr);
    jsonText("check", "stream_kept");
    jsonStreamKeptFields(t, periodUs);
    jsonEndObject();
    if (options.maxLate >= 0) {
        jsonBeginObject(nullptr);
        jsonText("check", "max_late");
        jsonInteger("limit", options.maxLate);
        if (t.late >= 0)
            jsonInteger("value", t.late);
        else
            jsonNull("value");
        jsonBool("passed", !v.lateMissed);
        jsonEndObject();
    }
    if (options.minSwitchRatio > 0) {
        jsonBeginObject(nullptr);
        jsonText("check", "min_switch_ratio");
        jsonNumber("limit", options.minSwitchRatio);
        jsonNumber("value", t.ratio);
        jsonBool("passed", !v.ratioMissed);
        jsonEndObject();
    }
    jsonEndArray();
}

void writeRunDocument(const CheckerOptions &options, int index, const SessionOutcome &outcome,
                      int exitCode)
{
    const RunResults &r = runResults;
    const RunSetup &s = r.setup;
    const TimingFigures &t = r.timing;
    if (!beginDocument(options, index, runStands(exitCode), exitCode))
        return;
    if (r.stage >= RUN_PREPARED) {
        jsonInteger("buffer_size", s.bufferSize);
        jsonNumber("sample_rate", s.figures.sampleRate);
        jsonNumber("period_us", s.periodUs > 0 ? s.periodUs : NAN);
    }
    jsonText("stage", r.stage >= RUN_STOPPED    ? "stopped"
                      : r.stage >= RUN_MEASURED ? "measured"
                      : r.stage >= RUN_STARTED  ? "started"
                      : r.stage >= RUN_PREPARED ? "prepared"
                                                : "opened");
    if (r.stage >= RUN_MEASURED) {
        jsonNumber("seconds", s.elapsedS);
        jsonTiming(t, s.periodUs);
        jsonMessages(r.messages);
        jsonNotifications(r.notifications, nullptr);
        jsonRoundTrips(r.trips);
        jsonRunChecks(options, t, s.periodUs, judge(options, t, s.periodUs));
    }
    jsonCallNotes();
    jsonSessionEnd(outcome, exitCode);
}

const char *runPartsFault(int stage, const RunSetup &setup, const TimingFigures &timing)
{
    if (!inRange(stage, RUN_NOTHING, RUN_STOPPED))
        return "stage";
    const char *fault = runSetupFault(setup);
    return fault ? fault : timingFault(timing);
}

static const char *runResultsFault(const void *copy)
{
    const RunResults &r = *static_cast<const RunResults *>(copy);
    const char *fault = runPartsFault(r.stage, r.setup, r.timing);
    if (fault)
        return fault;
    fault = notificationsFault(r.notifications);
    return fault ? fault : roundTripsFault(r.trips);
}

extern const RecordSpec runRecord = {&runResults, sizeof runResults, "run", runResultsFault};

// What the run measured so far, handed to the parent: the first window is judged.
static void publishMeasured()
{
    tallyMessages(&runResults.messages);
    keepNotifications(&runResults.notifications, runResults.setup.windowStart);
    runResults.stage = RUN_MEASURED;
    publishRecord(&runResults);
    publishRecord(&callNotes);
}

// --panel-step: the driver's control panel opened on this thread while the stream runs (a watched
// call, so a hang or crash in it is named), then `seconds` for a person to change a setting, messages
// pumped. What the driver says meanwhile is in the notification log; its requests wait, noted, for
// runWithRequests to follow. A panel that keeps the call until it is closed has the call limit.
static void panelStep(double seconds)
{
    fprintf(stderr, "The driver's control panel is open: change a setting within %g seconds.\n", seconds);
    fflush(stderr);
    char answer[32];
    ASIOError opened = asioControlPanel();
    if (opened != ASE_OK)
        fprintf(stderr, "controlPanel() answered %s\n", asioErrorName(opened, answer, sizeof answer));
    waitForRun(seconds, nullptr, nullptr);
}

static int runSession(const CheckerOptions &options)
{
    RunResults &r = runResults;
    int code = openRun(options, &r.setup);
    if (code == EXIT_FINE && !prepareTiming(options.seconds + options.panelStep, r.setup.periodUs))
        code = fail(EXIT_SHORTFALL, "the checker has no memory for the timing of %g s", options.seconds);
    if (code == EXIT_FINE) {
        r.stage = RUN_PREPARED;
        publishRecord(&runResults);
        resetMessageCounts(options.timeInfo);
        setHostSupports(hostSupportedSelectors(options));
        code = beginRun(&timedCallbacks, &r.setup);
    }
    if (code != EXIT_FINE) {
        publishRecord(&callNotes);
        closeChosenDriver();
        return code;
    }
    r.stage = RUN_STARTED;
    publishRecord(&runResults);

    if (options.panelStep > 0)
        panelStep(options.panelStep);
    runSeconds = options.seconds;
    runStarted = performanceTicks();
    // Each window judged before the stop is asked for: what the run measured is handed over even
    // when the driver does not come back from stop, or from a round trip.
    TimingFigures *last = &r.timing;
    runWithRequests(resetPolicy(options), options.seconds, options.rate, &timedCallbacks, &r.setup,
                    &r.timing, &r.trips, &last, runProgress, publishMeasured);
    publishMeasured();

    // A round trip that failed left no stream to stop.
    if (r.trips.failed)
        endCrashedRun();
    else
        endRun(&r.setup, last);
    tallyMessages(&r.messages);
    keepNotifications(&r.notifications, r.setup.windowStart);
    r.stage = RUN_STOPPED;
    closeChosenDriver();
    publishRecord(&runResults);
    publishRecord(&callNotes);

    // A run the user cut short is not judged: its window is not the one asked for.
    if (runStopAsked())
        return EXIT_INTERRUPTED;
    RunVerdicts v = judge(options, r.timing, r.setup.periodUs);
    if (v.noSwitches) {
        code = fail(EXIT_CHECK_MISSED, "the driver made no buffer switch in the %.2f s between "
                    "start and stop", r.setup.elapsedS);
    } else if (v.notKept) {
        code = streamKeptStatus(r.timing, r.setup.periodUs);
    }
    if (v.lateMissed) {
        code = r.timing.late < 0
                   ? fail(EXIT_CHECK_MISSED, "late switches cannot be judged: no usable sample rate")
                   : timingMissed(r.timing, "%lld switches came late; --max-late allows %ld",
                                  r.timing.late, options.maxLate);
    }
    if (v.ratioMissed) {
        code = timingMissed(r.timing, "switch ratio %.4f is below --min-switch-ratio %g",
                            r.timing.ratio, options.minSwitchRatio);
    }
    return worseStatus(code, roundTripStatus(r.trips, options));
}

int measureRun(const CheckerOptions &options, int, const char *arguments, SessionOutcome *outcome)
{
    return measureSession(options, &runResults, sizeof runResults, runSession, arguments, outcome);
}

static int runCommand(const CheckerOptions &options)
{
    if (options.panelStep > 0 && !personAtTheMachine()) {
        return fail(EXIT_USAGE, "--panel-step asks a person at the machine, and standard input or error "
                    "is not a console: nothing was run");
    }
    return runDriverCommand(options, measureRun, writeRunDocument, printRunText);
}

static const char *const runHelp =
    "usage: quorvelcheck run DRIVER [--seconds S] [--buffer N] [--rate R] [--time-info]\n"
    "                        [--max-late N] [--min-switch-ratio R] [--host-supports all|none|LIST]\n"
    "                        [--on-reset P] [--panel-step S] [--json]\n"
    "\n"
    "Runs the loopback as the dialog does (input i copied to output i) for S seconds (10), at the\n"
    "driver's preferred buffer size and current rate unless N or R are given, and shows the\n"
    "switches made against those the time from start to stop holds, the intervals between\n"
    "switches against the buffer period, each switch's lateness against the ideal timeline, the\n"
    "longest callback, late switches (an interval over 1.5 periods, the gaps after start and\n"
    "before stop included) and the driver's messages, each notification on a line of its own. A\n"
    "run without any switch misses (exit 1), and so does one whose switches stop for longer than\n"
    "0.5 s and 20 periods, or that makes fewer than half the switches its period promises,\n"
    "whatever options are given.\n"
    "\n"
    "  --time-info            answer yes to \"supports time info\", as most hosts do: the driver\n"
    "                         may then call bufferSwitchTimeInfo instead of bufferSwitch\n"
    "  --max-late N           exit 1 when more than N switches came late\n"
    "  --min-switch-ratio R   exit 1 when switches made / switches expected is below R\n"
    "  --on-reset P           what the checker does when the driver asks for a reset, a new buffer\n"
    "                         size, a resync, or says its latencies or rate changed: follow (as a\n"
    "                         host must: for a reset it stops, releases, makes the object again,\n"
    "                         reads every figure and streams on at the new preferred size; the\n"
    "                         stream after is judged apart, for at least a second), stop (the\n"
    "                         run ends at the request) or ignore (noted only)\n"
    "  --panel-step S         for a person at the machine: once the stream runs, the driver's\n"
    "                         control panel is opened and S seconds given to change a setting;\n"
    "                         what the driver says is shown and its requests followed, and the\n"
    "                         run's S seconds come after (standard input and error must be a\n"
    "                         console)\n"
    HOST_SUPPORTS_USAGE;

extern const CommandSpec runCommandSpec = {
    "run", "run DRIVER", "the loopback for a while, with the timing of its buffer switches", runHelp,
    WORKER_OPTIONS | OPTION_BIT(OPTION_SECONDS) | OPTION_BIT(OPTION_BUFFER) | OPTION_BIT(OPTION_RATE) |
        OPTION_BIT(OPTION_MAX_LATE) | OPTION_BIT(OPTION_MIN_SWITCH_RATIO) | OPTION_BIT(OPTION_TIME_INFO) |
        OPTION_BIT(OPTION_HOST_SUPPORTS) | OPTION_BIT(OPTION_ON_RESET) | OPTION_BIT(OPTION_PANEL_STEP),
    false, requireDriver, runCommand, runSession,
};
