#include "checker/checker.h"

#include "engine/loopback.h"

#include <math.h>
#include <stdio.h>

static double runSeconds;
static int64_t runStarted;

static void runProgress(char *line, size_t size)
{
    snprintf(line, size, "run: %.1f of %.1f s, %ld switches",
             ticksToUs(performanceTicks() - runStarted) / 1e6, runSeconds,
             static_cast<long>(loopbackState.switchCount.load(std::memory_order_relaxed)));
}

// A reset, a resync, changed latencies or an overload: the driver telling the host something went
// wrong or changed under it.
static bool isFinding(long selector)
{
    return selector == 3 || selector == 5 || selector == 6 || selector == 15;
}

struct RunResults {
    RunSetup setup;
    TimingStatistics timing;
    double elapsedS;
    double expected;   // switches the elapsed time holds; 0 when the period is unknown
    double ratio;      // switches / expected; NAN when unknown
    bool lateMissed;
    bool ratioMissed;
};

static void printText(const CheckerOptions &options, const RunResults &r)
{
    const RunSetup &s = r.setup;
    const TimingStatistics &t = r.timing;
    char rate[32];
    formatRate(s.figures.sampleRate, rate, sizeof rate);
    printDriverHeading(s.index);
    printf("Run: %ld frames at %s Hz, period %.1f us, %.2f s\n", s.bufferSize, rate, s.periodUs,
           r.elapsedS);
    if (r.expected > 0) {
        printf("Switches: %ld made, %.1f expected (ratio %.4f)\n", s.switches, r.expected, r.ratio);
    } else {
        printf("Switches: %ld made (none can be expected: no usable sample rate)\n", s.switches);
    }
    if (t.intervals > 0) {
        printf("Intervals, us: min %.1f, median %.1f, p99 %.1f, p99.9 %.1f, max %.1f (period %.1f)%s\n",
               t.minUs, t.medianUs, t.p99Us, t.p999Us, t.maxUs, s.periodUs,
               t.wrapped ? "; the latest switches only" : "");
    } else {
        printf("Intervals: none (fewer than two switches)\n");
    }
    printf("Longest callback: %.1f us\n", t.longestCallbackUs);
    if (t.late >= 0)
        printf("Late switches (interval over 1.5 periods): %ld\n", t.late);
    else
        printf("Late switches: not judged (no usable sample rate)\n");

    printf("Driver messages:");
    bool any = false;
    for (long selector = 1; selector <= 15; selector++) {
        long count = messageCounts.bySelector[selector].load();
        if (count == 0)
            continue;
        printf("\n  %-26s %6ld%s", selectorName(selector), count,
               isFinding(selector) ? "  finding" : "");
        any = true;
    }
    if (messageCounts.other.load()) {
        printf("\n  %-26s %6ld", "other selectors", messageCounts.other.load());
        any = true;
    }
    printf("%s\n", any ? "" : " none");
    printf("Sample rate changes reported: %ld\n", messageCounts.sampleRateChanges.load());
    if (messageCounts.timeInfoSwitches.load()) {
        printf("bufferSwitchTimeInfo calls, though time info was declined: %ld  finding\n",
               messageCounts.timeInfoSwitches.load());
    }
    if (options.maxLate >= 0)
        printf("Check --max-late %ld: %s\n", options.maxLate, r.lateMissed ? "MISSED" : "passed");
    if (options.minSwitchRatio > 0) {
        printf("Check --min-switch-ratio %g: %s\n", options.minSwitchRatio,
               r.ratioMissed ? "MISSED" : "passed");
    }
    printCallNotes();
}

static void printJson(const CheckerOptions &options, const RunResults &r, int exitCode)
{
    const RunSetup &s = r.setup;
    const TimingStatistics &t = r.timing;
    jsonBeginObject(nullptr);
    jsonHeader(COMMAND_RUN);
    jsonDriver(s.index);
    jsonInteger("buffer_size", s.bufferSize);
    jsonNumber("sample_rate", s.figures.sampleRate);
    jsonNumber("period_us", s.periodUs > 0 ? s.periodUs : NAN);
    jsonNumber("seconds", r.elapsedS);
    jsonInteger("switches", s.switches);
    jsonNumber("switches_expected", r.expected > 0 ? r.expected : NAN);
    jsonNumber("switch_ratio", r.ratio);
    jsonBeginObject("intervals");
    jsonInteger("count", t.intervals);
    jsonBool("wrapped", t.wrapped);
    jsonNumber("min_us", t.intervals ? t.minUs : NAN);
    jsonNumber("median_us", t.intervals ? t.medianUs : NAN);
    jsonNumber("p99_us", t.intervals ? t.p99Us : NAN);
    jsonNumber("p99_9_us", t.intervals ? t.p999Us : NAN);
    jsonNumber("max_us", t.intervals ? t.maxUs : NAN);
    jsonEndObject();
    jsonNumber("longest_callback_us", t.longestCallbackUs);
    if (t.late >= 0)
        jsonInteger("late_switches", t.late);
    else
        jsonNull("late_switches");
    jsonBeginArray("messages");
    for (long selector = 1; selector <= 15; selector++) {
        long count = messageCounts.bySelector[selector].load();
        if (count == 0)
            continue;
        jsonBeginObject(nullptr);
        jsonInteger("selector", selector);
        jsonText("name", selectorName(selector));
        jsonInteger("count", count);
        jsonBool("finding", isFinding(selector));
        jsonEndObject();
    }
    jsonEndArray();
    jsonInteger("other_messages", messageCounts.other.load());
    jsonInteger("sample_rate_changes", messageCounts.sampleRateChanges.load());
    jsonInteger("time_info_switches", messageCounts.timeInfoSwitches.load());
    jsonBeginArray("checks");
    if (options.maxLate >= 0) {
        jsonBeginObject(nullptr);
        jsonText("check", "max_late");
        jsonInteger("limit", options.maxLate);
        if (t.late >= 0)
            jsonInteger("value", t.late);
        else
            jsonNull("value");
        jsonBool("passed", !r.lateMissed);
        jsonEndObject();
    }
    if (options.minSwitchRatio > 0) {
        jsonBeginObject(nullptr);
        jsonText("check", "min_switch_ratio");
        jsonNumber("limit", options.minSwitchRatio);
        jsonNumber("value", r.ratio);
        jsonBool("passed", !r.ratioMissed);
        jsonEndObject();
    }
    jsonEndArray();
    jsonCallNotes();
    jsonInteger("exit_code", exitCode);
    jsonEndObject();
    jsonFinish();
}

int runCommand(const CheckerOptions &options)
{
    loadDriverList();
    int index = 0;
    int code = chooseDriver(options.driver, &index);
    if (code != EXIT_FINE)
        return code;
    code = openChosenDriver(index);
    RunResults r = {};
    r.setup.index = index;
    if (code == EXIT_FINE)
        code = prepareRun(options, &r.setup);
    if (code == EXIT_FINE && !prepareTiming(options.seconds, r.setup.periodUs))
        code = fail(EXIT_DRIVER, "no memory for the timing of %g s", options.seconds);
    if (code == EXIT_FINE) {
        resetMessageCounts();
        code = beginRun(&timedCallbacks, &r.setup);
    }
    if (code != EXIT_FINE) {
        releaseTiming();
        closeChosenDriver();
        return code;
    }

    runSeconds = options.seconds;
    runStarted = r.setup.startTicks;
    waitForRun(options.seconds, nullptr, runProgress);
    endRun(&r.setup);
    closeChosenDriver();

    computeTimingStatistics(r.setup.periodUs, &r.timing);
    releaseTiming();
    r.elapsedS = ticksToUs(r.setup.endTicks - r.setup.startTicks) / 1e6;
    r.expected = r.setup.periodUs > 0 ? r.elapsedS * 1e6 / r.setup.periodUs : 0;
    r.ratio = r.expected > 0 ? r.setup.switches / r.expected : NAN;
    r.lateMissed = options.maxLate >= 0 && (r.timing.late < 0 || r.timing.late > options.maxLate);
    r.ratioMissed = options.minSwitchRatio > 0 && !(r.ratio >= options.minSwitchRatio);

    code = EXIT_FINE;
    if (r.lateMissed) {
        code = r.timing.late < 0
                   ? fail(EXIT_CHECK_MISSED, "late switches cannot be judged: no usable sample rate")
                   : fail(EXIT_CHECK_MISSED, "%ld switches came late; --max-late allows %ld",
                          r.timing.late, options.maxLate);
    }
    if (r.ratioMissed) {
        code = fail(EXIT_CHECK_MISSED, "switch ratio %.4f is below --min-switch-ratio %g", r.ratio,
                    options.minSwitchRatio);
    }
    if (options.json)
        printJson(options, r, code);
    else
        printText(options, r);
    return code;
}
