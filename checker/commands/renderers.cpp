// How the commands that run the loopback show a run: the switch timing and the driver's messages,
// as text and as JSON.
#include "checker/commands/commands.h"

#include <math.h>
#include <stdio.h>

bool resultsStand(int exitCode)
{
    return exitCode == EXIT_FINE || exitCode == EXIT_CHECK_MISSED || exitCode == EXIT_CRASHED ||
           exitCode == EXIT_INTERRUPTED;
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
