#include "checker/checker.h"

#include "checker/driver_session.h"
#include "checker/json_writer.h"
#include "checker/output.h"
#include "checker/results.h"
#include "checker/worker.h"
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
    bool lateMissed;
    bool ratioMissed;
};

static RunVerdicts judge(const CheckerOptions &options, const TimingFigures &t)
{
    RunVerdicts v;
    v.noSwitches = t.switches == 0;
    v.lateMissed = options.maxLate >= 0 && (t.late < 0 || t.late > options.maxLate);
    v.ratioMissed = options.minSwitchRatio > 0 && !(t.ratio >= options.minSwitchRatio);
    return v;
}

void printMessages(const MessageTally &m)
{
    printf("Driver messages:");
    bool any = false;
    for (long selector = 1; selector <= 15; selector++) {
        if (m.bySelector[selector] == 0)
            continue;
        printf("\n  %-26s %6ld%s", selectorName(selector), m.bySelector[selector],
               isFindingSelector(selector) ? "  finding" : "");
        any = true;
    }
    if (m.other) {
        printf("\n  %-26s %6ld", "other selectors", m.other);
        any = true;
    }
    printf("%s\n", any ? "" : " none");
    printf("Sample rate changes reported: %ld\n", m.sampleRateChanges);
    if (m.timeInfoOffered) {
        printf("Switches by callback: bufferSwitch %ld, bufferSwitchTimeInfo %ld (time info "
               "offered)\n", m.bufferSwitches, m.timeInfoSwitches);
    } else if (m.timeInfoSwitches) {
        printf("bufferSwitchTimeInfo calls, though time info was declined: %ld  finding\n",
               m.timeInfoSwitches);
    }
}

void jsonMessages(const MessageTally &m)
{
    jsonBeginArray("messages");
    for (long selector = 1; selector <= 15; selector++) {
        if (m.bySelector[selector] == 0)
            continue;
        jsonBeginObject(nullptr);
        jsonInteger("selector", selector);
        jsonText("name", selectorName(selector));
        jsonInteger("count", m.bySelector[selector]);
        jsonBool("finding", isFindingSelector(selector));
        jsonEndObject();
    }
    jsonEndArray();
    jsonInteger("other_messages", m.other);
    jsonInteger("sample_rate_changes", m.sampleRateChanges);
    jsonBool("time_info_offered", m.timeInfoOffered);
    jsonInteger("buffer_switch_calls", m.bufferSwitches);
    jsonInteger("time_info_switches", m.timeInfoSwitches);
}

void printTiming(const TimingFigures &t, double periodUs)
{
    if (periodUs > 0) {
        printf("Switches: %lld made, %.1f expected (ratio %.4f)", t.switches, t.expected, t.ratio);
    } else {
        printf("Switches: %lld made (none can be expected: no usable sample rate)", t.switches);
    }
    if (t.beforeStart || t.afterEnd)
        printf("; besides, %lld before start returned and %lld during stop", t.beforeStart, t.afterEnd);
    printf("\n");
    if (t.intervals > 0) {
        printf("Intervals, us: min %.1f, median %.1f, p99 %.1f, p99.9 %.1f, max %.1f (period %.1f)%s\n",
               t.minUs, t.medianUs, t.p99Us, t.p999Us, t.maxUs, periodUs,
               t.kept < t.switches ? "; percentiles of the first switches only" : "");
    } else {
        printf("Intervals: none (fewer than two switches)\n");
    }
    if (t.switches > 0) {
        printf("Gaps, us: from start to the first switch %.1f, from the last switch to stop %.1f\n",
               t.headGapUs, t.tailGapUs);
    }
    if (periodUs > 0 && t.switches >= 2) {
        printf("Timeline, us (each switch against the ideal timeline from the first): "
               "max late %.1f, p99.9 %.1f, most early %.1f\n", t.timelineMaxUs, t.timelineP999Us,
               -t.timelineMinUs);
    }
    printf("Longest callback: %.1f us\n", t.longestCallbackUs);
    if (t.late >= 0)
        printf("Late switches (interval or gap over 1.5 periods): %lld\n", t.late);
    else
        printf("Late switches: not judged (no usable sample rate)\n");
    if (t.missedByChecker)
        printf("Switches the checker could not time (its thread was held): %lld\n", t.missedByChecker);
}

void jsonTiming(const TimingFigures &t, double periodUs)
{
    jsonInteger("switches", t.switches);
    jsonNumber("switches_expected", periodUs > 0 ? t.expected : NAN);
    jsonNumber("switch_ratio", t.ratio);
    jsonInteger("switches_before_start", t.beforeStart);
    jsonInteger("switches_during_stop", t.afterEnd);
    jsonBeginObject("intervals");
    jsonInteger("count", t.intervals);
    jsonInteger("switches_timed", t.kept);
    jsonNumber("min_us", t.intervals ? t.minUs : NAN);
    jsonNumber("median_us", t.intervals ? t.medianUs : NAN);
    jsonNumber("p99_us", t.intervals ? t.p99Us : NAN);
    jsonNumber("p99_9_us", t.intervals ? t.p999Us : NAN);
    jsonNumber("max_us", t.intervals ? t.maxUs : NAN);
    jsonEndObject();
    jsonNumber("head_gap_us", t.switches ? t.headGapUs : NAN);
    jsonNumber("tail_gap_us", t.switches ? t.tailGapUs : NAN);
    jsonNumber("longest_gap_us", t.longestGapUs);
    jsonBeginObject("timeline");
    bool timeline = periodUs > 0 && t.switches >= 2;
    jsonNumber("max_late_us", timeline ? t.timelineMaxUs : NAN);
    jsonNumber("p99_9_late_us", timeline ? t.timelineP999Us : NAN);
    jsonNumber("most_early_us", timeline ? -t.timelineMinUs : NAN);
    jsonEndObject();
    jsonNumber("longest_callback_us", t.longestCallbackUs);
    if (t.late >= 0)
        jsonInteger("late_switches", t.late);
    else
        jsonNull("late_switches");
    jsonInteger("switches_not_timed", t.missedByChecker);
}

static void printText(const CheckerOptions &options, const RunResults &r, const RunVerdicts &v)
{
    const RunSetup &s = r.setup;
    char rate[32];
    printDriverHeading(s.index);
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
        if (v.noSwitches)
            printf("Check: at least one switch between start and stop: MISSED\n");
        if (options.maxLate >= 0)
            printf("Check --max-late %ld: %s\n", options.maxLate, v.lateMissed ? "MISSED" : "passed");
        if (options.minSwitchRatio > 0) {
            printf("Check --min-switch-ratio %g: %s\n", options.minSwitchRatio,
                   v.ratioMissed ? "MISSED" : "passed");
        }
    }
    printCallNotes();
}

// The statuses a run is shown after; any other ends the command with its error alone.
static bool runStands(int code)
{
    return code == EXIT_FINE || code == EXIT_CHECK_MISSED || code == EXIT_CRASHED;
}

void writeRunDocument(const CheckerOptions &options, const RunResults &r, const SessionOutcome &outcome,
                      int exitCode)
{
    const RunSetup &s = r.setup;
    const TimingFigures &t = r.timing;
    RunVerdicts v = judge(options, t);
    if (!runStands(exitCode)) {
        printFailureDocument(COMMAND_RUN, exitCode);
        return;
    }
    jsonBeginObject(nullptr);
    jsonHeader(COMMAND_RUN);
    jsonDriver(s.index);
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
        jsonBeginArray("checks");
        jsonBeginObject(nullptr);
        jsonText("check", "switches");
        jsonInteger("value", t.switches);
        jsonBool("passed", !v.noSwitches);
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
    jsonCallNotes();
    jsonSessionEnd(outcome, exitCode);
}

int runSession(const CheckerOptions &options)
{
    RunResults &r = runResults;
    int code = openRun(options, &r.setup);
    if (code == EXIT_FINE && !prepareTiming(options.seconds, r.setup.periodUs))
        code = fail(EXIT_DRIVER, "no memory for the timing of %g s", options.seconds);
    if (code == EXIT_FINE) {
        r.stage = RUN_PREPARED;
        publishRecord(RECORD_RUN);
        resetMessageCounts(options.timeInfo);
        code = beginRun(&timedCallbacks, &r.setup);
    }
    if (code != EXIT_FINE) {
        publishRecord(RECORD_CALL_NOTES);
        closeChosenDriver();
        return code;
    }
    r.stage = RUN_STARTED;
    publishRecord(RECORD_RUN);

    runSeconds = options.seconds;
    runStarted = performanceTicks();
    waitForRun(options.seconds, nullptr, runProgress);
    // Judged before the stop is asked for: what the run measured is handed over even when the
    // driver does not come back from stop.
    judgeWindow(&r.setup, &r.timing);
    tallyMessages(&r.messages);
    r.stage = RUN_MEASURED;
    publishRecord(RECORD_RUN);
    publishRecord(RECORD_CALL_NOTES);

    endRun(&r.setup, &r.timing);
    tallyMessages(&r.messages);
    r.stage = RUN_STOPPED;
    closeChosenDriver();
    publishRecord(RECORD_RUN);
    publishRecord(RECORD_CALL_NOTES);

    RunVerdicts v = judge(options, r.timing);
    if (v.noSwitches) {
        code = fail(EXIT_CHECK_MISSED, "the driver made no buffer switch in the %.2f s between "
                    "start and stop", r.setup.elapsedS);
    }
    if (v.lateMissed) {
        code = r.timing.late < 0
                   ? fail(EXIT_CHECK_MISSED, "late switches cannot be judged: no usable sample rate")
                   : fail(EXIT_CHECK_MISSED, "%lld switches came late; --max-late allows %ld",
                          r.timing.late, options.maxLate);
    }
    if (v.ratioMissed) {
        code = fail(EXIT_CHECK_MISSED, "switch ratio %.4f is below --min-switch-ratio %g",
                    r.timing.ratio, options.minSwitchRatio);
    }
    return code;
}

int measureRun(const CheckerOptions &options, int index, const char *arguments, SessionOutcome *outcome)
{
    memset(&runResults, 0, sizeof runResults);
    runResults.setup.index = index;
    return runDriverSession(options, runSession, arguments, outcome);
}

int runLoopbackCommand(const CheckerOptions &options)
{
    loadDriverList();
    int index = 0;
    int code = findDriver(options.driver, &index);
    if (code != EXIT_FINE)
        return code;
    SessionOutcome outcome;
    code = measureRun(options, index, userArgumentText(), &outcome);
    if (options.json)
        writeRunDocument(options, runResults, outcome, code);
    else if (runStands(code))
        printText(options, runResults, judge(options, runResults.timing));
    return code;
}
