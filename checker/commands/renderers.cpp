// How the commands that run the loopback show a run: the switch timing and the driver's messages,
// as text and as JSON.
#include "checker/commands/commands.h"

#include <math.h>
#include <stdarg.h>
#include <stdio.h>

bool resultsStand(int exitCode)
{
    return exitCode == EXIT_FINE || exitCode == EXIT_CHECK_MISSED || exitCode == EXIT_CRASHED ||
           exitCode == EXIT_INTERRUPTED || exitCode == EXIT_SHORTFALL;
}

bool beginDocument(const CheckerOptions &options, int index, bool stands, int exitCode)
{
    if (!stands) {
        printFailureDocument(options.command, exitCode);
        return false;
    }
    jsonBeginObject(nullptr);
    jsonHeader(options.command);
    jsonDriver(index);
    return true;
}

void jsonCable(long outChannel, long inChannel, long outType, long inType)
{
    jsonInteger("out", outChannel);
    jsonInteger("in", inChannel);
    jsonText("out_type", sampleTypeName(outType));
    jsonText("in_type", sampleTypeName(inType));
}

void printMessages(const MessageTally &m)
{
    printf("Driver messages:");
    bool any = false;
    for (long selector = ASIO_MSG_FIRST; selector <= ASIO_MSG_LAST; selector++) {
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
    for (long selector = ASIO_MSG_FIRST; selector <= ASIO_MSG_LAST; selector++) {
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
    printCost(t.cpu);
}

void printCost(const CpuFigures &cpu)
{
    if (!cpu.measured)
        return;
    printf("Processor time: the driver's own threads used %.1f%% of one core while streaming; the "
           "callback %.1f%%, the checker %.1f%% (the whole process %.1f ms in %.1f ms)\n",
           coreShare(cpu.driverMs, cpu), coreShare(cpu.callbackMs, cpu), coreShare(cpu.checkerMs, cpu),
           cpu.processMs, cpu.windowMs);
    if (cpu.switches > 0) {
        printf("Processor time per switch, us: driver %.1f, callback %.1f, checker %.1f\n",
               cpu.driverMs * 1e3 / cpu.switches, cpu.callbackMs * 1e3 / cpu.switches,
               cpu.checkerMs * 1e3 / cpu.switches);
    }
}

// A figure per switch in microseconds; NAN without a switch.
static double perSwitchUs(double ms, const CpuFigures &cpu)
{
    return cpu.switches > 0 ? ms * 1e3 / cpu.switches : NAN;
}

void jsonCost(const char *key, const CpuFigures &cpu)
{
    if (!cpu.measured) {
        jsonNull(key);
        return;
    }
    jsonBeginObject(key);
    jsonNumber("window_ms", cpu.windowMs);
    jsonNumber("process_ms", cpu.processMs);
    jsonNumber("callback_ms", cpu.callbackMs);
    jsonNumber("checker_ms", cpu.checkerMs);
    jsonNumber("driver_ms", cpu.driverMs);
    jsonNumber("driver_core_share", coreShare(cpu.driverMs, cpu));
    jsonNumber("callback_core_share", coreShare(cpu.callbackMs, cpu));
    jsonNumber("checker_core_share", coreShare(cpu.checkerMs, cpu));
    jsonNumber("process_core_share", coreShare(cpu.processMs, cpu));
    jsonInteger("switches", cpu.switches);
    jsonBeginObject("per_switch_us");
    jsonNumber("process", perSwitchUs(cpu.processMs, cpu));
    jsonNumber("callback", perSwitchUs(cpu.callbackMs, cpu));
    jsonNumber("checker", perSwitchUs(cpu.checkerMs, cpu));
    jsonNumber("driver", perSwitchUs(cpu.driverMs, cpu));
    jsonEndObject();
    jsonEndObject();
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
    jsonBeginObject("stream_kept");
    jsonStreamKeptFields(t, periodUs);
    jsonEndObject();
    jsonCost("cpu", t.cpu);
}

void printStreamKept(const TimingFigures &t, double periodUs)
{
    StreamKept kept = judgeStreamKept(t, periodUs);
    char why[200];
    streamKeptText(t, kept, why, sizeof why);
    printf("Check: the stream kept going (no gap over %.2f s, at least %.0f%% of the switches "
           "expected): %s%s\n", kept.boundUs / 1e6, MIN_SWITCH_RATIO * 100, *why ? "MISSED: " : "passed", why);
}

void jsonStreamKeptFields(const TimingFigures &t, double periodUs)
{
    StreamKept kept = judgeStreamKept(t, periodUs);
    char why[200];
    streamKeptText(t, kept, why, sizeof why);
    jsonNumber("gap_limit_us", kept.boundUs);
    jsonNumber("longest_gap_us", t.longestGapUs);
    jsonNumber("longest_gap_at_us", t.longestGapAtUs);
    jsonNumber("min_ratio", MIN_SWITCH_RATIO);
    jsonNumber("ratio", t.ratio);
    jsonBool("passed", !*why);
    jsonText("text", *why ? why : nullptr);
}

int streamKeptStatus(const TimingFigures &t, double periodUs)
{
    char why[200];
    streamKeptText(t, judgeStreamKept(t, periodUs), why, sizeof why);
    return *why ? timingMissed(t, "the stream was not kept going: %s", why) : EXIT_FINE;
}

int timingMissed(const TimingFigures &t, const char *format, ...)
{
    char why[400];
    va_list args;
    va_start(args, format);
    vsnprintf(why, sizeof why, format, args);
    va_end(args);
    if (t.missedByChecker <= 0)
        return fail(EXIT_CHECK_MISSED, "%s", why);
    return fail(EXIT_SHORTFALL, "%s; but the checker fell behind and did not time %lld switch%s "
                "(its thread was held), so the gaps and the count are its own: not held against "
                "the driver", why, t.missedByChecker, t.missedByChecker == 1 ? "" : "es");
}
