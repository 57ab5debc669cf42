// The report's sections, one per part, drawn from the part's record: the figures and tables as the
// console gives them, and the pictures beside them.
#include "checker/report/report.h"

#include "engine/sample_types.h"

#include <math.h>
#include <stdarg.h>
#include <stdio.h>
#include <string.h>

enum { SHOWN_CHANNELS = 32, SHOWN_SETTINGS = 64, SHOWN_EVENTS = 20 };

static double framesToMs(double frames, double rate)
{
    return rate > 0 && isfinite(rate) ? frames / rate * 1000.0 : NAN;
}

// A cell of class `cls` (none for null), its text as printf's (at most 511 characters).
PRINTF_LIKE(3, 0) static void formatCell(std::string *page, const char *cls, const char *format,
                                            va_list args)
{
    char text[512];
    vsnprintf(text, sizeof text, format, args);
    *page += cls ? std::string("<td class=\"") + cls + "\">" : std::string("<td>");
    appendXmlText(page, text);
    *page += "</td>";
}

PRINTF_LIKE(3, 4) static void cell(std::string *page, const char *cls, const char *format, ...)
{
    va_list args;
    va_start(args, format);
    formatCell(page, cls, format, args);
    va_end(args);
}

// One row of a two-column table of figures.
PRINTF_LIKE(3, 4) static void figureRow(std::string *page, const char *name, const char *format, ...)
{
    *page += "<tr><th>";
    appendXmlText(page, name);
    *page += "</th>";
    va_list args;
    va_start(args, format);
    formatCell(page, nullptr, format, args);
    va_end(args);
    *page += "</tr>\n";
}

// ---- info

static void channelTable(std::string *page, const char *heading, const ASIOChannelInfo *rows,
                         long listed, long claimed)
{
    *page += "<h3>";
    htmlFormat(page, "%s: %ld", heading, claimed);
    *page += "</h3>\n";
    if (listed == 0) {
        *page += "<p class=\"note\">none</p>\n";
        return;
    }
    *page += "<table>\n<tr><th class=\"n\">#</th><th>name</th><th class=\"n\">group</th>"
             "<th>active</th><th>type</th><th class=\"n\">bytes</th></tr>\n";
    long shown = listed < SHOWN_CHANNELS ? listed : long(SHOWN_CHANNELS);
    for (long i = 0; i < shown; i++) {
        const SampleTypeEntry *type = lookupSampleType(rows[i].type);
        *page += "<tr>";
        cell(page, "n", "%ld", i);
        cell(page, nullptr, "%s", rows[i].name);
        cell(page, "n", "%ld", rows[i].channelGroup);
        cell(page, nullptr, "%s", rows[i].isActive ? "yes" : "no");
        if (type->name)
            cell(page, nullptr, "%s", type->name);
        else
            cell(page, nullptr, "unknown type %ld", rows[i].type);
        cell(page, "n", "%d", type->bytes);
        *page += "</tr>\n";
    }
    htmlLeftOut(page, listed - shown, 6, "channels, listed in the JSON document below");
    *page += "</table>\n";
    if (claimed > listed) {
        *page += "<p class=\"note\">";
        htmlFormat(page, "The checker asks about the first %ld only.", listed);
        *page += "</p>\n";
    }
}

void writeInfoSection(const Report &report, std::string *page)
{
    writeSectionHead(report, PART_INFO, "Driver", page);
    if (!report.info || report.info->stage < INFO_FIGURES)
        return;
    const InfoResults &r = *report.info;
    const DriverFigures &f = r.figures;
    char rate[32], name[32];
    formatRate(f.sampleRate, rate, sizeof rate);
    *page += "<table class=\"facts\">\n";
    figureRow(page, "Buffer sizes", "min %ld, max %ld, preferred %ld, granularity %ld", f.minSize,
              f.maxSize, f.preferredSize, f.granularity);
    figureRow(page, "Sample rate", "%s Hz", rate);
    if (r.stage >= INFO_RATES) {
        std::string accepted, refused;
        for (int i = 0; i < PROBE_RATES; i++) {
            formatRate(probeRates[i], rate, sizeof rate);
            strcat(rate, " Hz");
            std::string &list = r.rateAnswers[i] == ASE_OK ? accepted : refused;
            list += list.empty() ? "" : ", ";
            list += rate;
            if (r.rateAnswers[i] != ASE_OK && r.rateAnswers[i] != ASE_NoClock) {
                list += " (";
                list += asioErrorName(r.rateAnswers[i], name, sizeof name);
                list += ")";
            }
        }
        figureRow(page, "Rates accepted", "%s", accepted.empty() ? "none" : accepted.c_str());
        figureRow(page, "Rates refused", "%s", refused.empty() ? "none" : refused.c_str());
    }
    figureRow(page, "Channels", "%ld inputs, %ld outputs", f.inputChannels, f.outputChannels);
    if (r.stage >= INFO_LATENCIES) {
        figureRow(page, "Latencies", "input %ld frames (%.3f ms), output %ld frames (%.3f ms)",
                  r.inputLatency, framesToMs(r.inputLatency, f.sampleRate), r.outputLatency,
                  framesToMs(r.outputLatency, f.sampleRate));
    }
    if (r.stage >= INFO_DONE) {
        std::string clocks;
        for (long i = 0; i < r.clockCount && i < MAX_CLOCKS; i++) {
            char one[64];
            snprintf(one, sizeof one, "%s%ld %s%s", i ? ", " : "", r.clocks[i].index,
                     r.clocks[i].name, r.clocks[i].isCurrentSource ? " (current)" : "");
            clocks += one;
        }
        figureRow(page, "Clock sources", "%s", clocks.empty() ? "none" : clocks.c_str());
    }
    *page += "</table>\n";
    if (r.stage >= INFO_CHANNELS) {
        channelTable(page, "Inputs", r.inputs, r.listedInputs, f.inputChannels);
        channelTable(page, "Outputs", r.outputs, r.listedOutputs, f.outputChannels);
    }
}

// ---- conform

void writeConformSection(const Report &report, std::string *page)
{
    writeSectionHead(report, PART_CONFORM, "Conformance", page);
    if (!report.conform)
        return;
    const ConformResults &r = *report.conform;
    *page += "<table>\n<tr><th>verdict</th><th>check</th><th>what, and the evidence</th></tr>\n";
    for (int c = 0; c < CHECK_COUNT; c++) {
        const CheckDefinition &d = checkDefinitions[c];
        const CheckResult &result = r.checks[c];
        if (opensPhase(c)) {
            *page += "<tr class=\"phase\"><td colspan=\"3\">";
            appendXmlText(page, phaseName(d.phase));
            *page += "</td></tr>\n";
        }
        *page += "<tr><td>";
        htmlVerdict(page, result.verdict);
        *page += "</td><td class=\"id\">";
        appendXmlText(page, d.id);
        *page += "</td><td>";
        appendXmlText(page, d.description);
        if (result.evidence[0]) {
            *page += "<br/><span class=\"evidence\">";
            appendXmlText(page, result.evidence);
            *page += "</span>";
        }
        *page += "</td></tr>\n";
    }
    *page += "</table>\n";
}

// ---- run

static void messageRows(std::string *page, const MessageTally &m)
{
    std::string messages;
    for (long selector = ASIO_MSG_FIRST; selector <= ASIO_MSG_LAST; selector++) {
        if (m.bySelector[selector] == 0)
            continue;
        char one[96];
        snprintf(one, sizeof one, "%s%s %ld%s", messages.empty() ? "" : ", ", selectorName(selector),
                 m.bySelector[selector], isFindingSelector(selector) ? " (finding)" : "");
        messages += one;
    }
    if (m.other) {
        char one[64];
        snprintf(one, sizeof one, "%sother selectors %ld", messages.empty() ? "" : ", ", m.other);
        messages += one;
    }
    figureRow(page, "Driver messages", "%s", messages.empty() ? "none" : messages.c_str());
    figureRow(page, "Rate changes reported", "%ld", m.sampleRateChanges);
}

// How many notifications came, how many during the run (the timeline's marks), and each request
// the driver sent after the host had said no.
static void notificationRows(std::string *page, const NotificationRecord &n)
{
    long during = 0, unreadable = 0;
    for (long k = 0; k < n.kept; k++) {
        during += n.items[k].n.afterSwitch > 0;
        unreadable += n.items[k].messageRead == POINTER_UNREADABLE || n.items[k].optRead == POINTER_UNREADABLE;
    }
    figureRow(page, "Notifications", "%ld, %ld of them after a switch (kept: %ld)%s", n.seen, during,
              n.kept, unreadable ? "; a pointer that could not be read (finding)" : "");
    for (long s = ASIO_MSG_FIRST; s <= ASIO_MSG_LAST; s++) {
        if (n.afterRefusal[s]) {
            figureRow(page, "Finding", "the driver sent %s (%ld) %ld times after the host said it "
                      "does not support it", selectorWords(s), s, n.afterRefusal[s]);
        }
    }
}

// The histogram of intervals and the timeline, where the figures allow them.
static void runPictures(std::string *page, const TimingFigures &t, double periodUs,
                        const NotificationRecord &notifications)
{
    if (periodUs > 0 && t.intervals > 0) {
        *page += "<figure>";
        svgIntervalHistogram(page, t, periodUs);
        *page += "<figcaption>";
        htmlFormat(page, "Intervals between switches, %lld in all, against the period; the count "
                   "on a log scale; over 1.5 periods is late.", t.intervals);
        *page += "</figcaption></figure>\n";
    }
    if (periodUs > 0 && t.switches >= 2) {
        *page += "<figure>";
        svgLatenessTimeline(page, t, periodUs, &notifications);
        *page += "<figcaption>";
        htmlFormat(page, "Each switch against the ideal timeline from the first: the run in %d "
                   "stretches of its switches, each drawn from its least to its greatest "
                   "lateness.", t.timelineBins);
        if (notifications.seen > 0)
            htmlFormat(page, " The violet marks: the driver's notifications during the run, each "
                       "at the switch it came after, with its selector's number.");
        *page += "</figcaption></figure>\n";
    }
    if (t.cpu.measured) {
        *page += "<figure>";
        svgCoreShares(page, t.cpu);
        *page += "<figcaption>";
        htmlFormat(page, "The processor time of the run against one core: the driver's own threads, "
                   "the checker's callback and its other threads; the marks at 25%% and 90%%.");
        *page += "</figcaption></figure>\n";
    }
}

// The timing's figures as rows of a table.
static void timingRows(std::string *page, const TimingFigures &t, double periodUs)
{
    figureRow(page, "Switches made", "%lld", t.switches);
    if (periodUs > 0) {
        figureRow(page, "Expected", "%.1f", t.expected);
        figureRow(page, "Ratio", "%.4f", t.ratio);
    } else {
        figureRow(page, "Expected", "none (no usable sample rate)");
    }
    if (t.beforeStart || t.afterEnd) {
        figureRow(page, "Before start returned", "%lld", t.beforeStart);
        figureRow(page, "During stop", "%lld", t.afterEnd);
    }
    if (t.intervals > 0) {
        figureRow(page, "Interval min", "%.1f us", t.minUs);
        figureRow(page, "Median", "%.1f us", t.medianUs);
        figureRow(page, "p99", "%.1f us", t.p99Us);
        figureRow(page, "p99.9", "%.1f us", t.p999Us);
        figureRow(page, "Max", "%.1f us", t.maxUs);
        if (t.kept < t.switches)
            figureRow(page, "Percentiles", "of the first %lld switches only", t.kept);
    }
    if (t.switches > 0) {
        figureRow(page, "Start to first switch", "%.1f us", t.headGapUs);
        figureRow(page, "Last switch to stop", "%.1f us", t.tailGapUs);
    }
    if (periodUs > 0 && t.switches >= 2) {
        figureRow(page, "Most late", "%.1f us", t.timelineMaxUs);
        figureRow(page, "p99.9 late", "%.1f us", t.timelineP999Us);
        figureRow(page, "Most early", "%.1f us", -t.timelineMinUs);
    }
    figureRow(page, "Longest callback", "%.1f us", t.longestCallbackUs);
    if (t.late >= 0)
        figureRow(page, "Late switches", "%lld", t.late);
    else
        figureRow(page, "Late switches", "not judged");
    if (t.missedByChecker)
        figureRow(page, "Not timed", "%lld", t.missedByChecker);
    if (t.cpu.measured) {
        figureRow(page, "Driver's threads", "%.1f%% of one core", coreShare(t.cpu.driverMs, t.cpu));
        figureRow(page, "Callback", "%.1f%%", coreShare(t.cpu.callbackMs, t.cpu));
        figureRow(page, "Checker", "%.1f%%", coreShare(t.cpu.checkerMs, t.cpu));
    }
}

// What the driver asked for during the run and what the checker did: a row each, the stream after
// a request judged apart from the figures above, which are of the stream up to the first.
static void roundTripTable(std::string *page, const HostRoundTrips &trips)
{
    if (trips.count == 0)
        return;
    *page += "<h3>The driver's requests</h3>\n<table>\n<tr><th>verdict</th><th>request, and what "
             "the checker did</th></tr>\n";
    for (int k = 0; k < trips.count; k++) {
        RoundTripText text;
        describeRoundTrip(trips.trips[k], &text);
        *page += "<tr><td>";
        if (*text.verdict)
            htmlVerdict(page, strcmp(text.verdict, "FAIL") == 0   ? VERDICT_FAIL
                              : strcmp(text.verdict, "WARN") == 0 ? VERDICT_WARN
                                                                  : VERDICT_PASS);
        *page += "</td><td>";
        htmlFormat(page, "%s", text.heading.c_str());
        const std::string *lines[] = {&text.changes, &text.steps, &text.outcome, &text.stream};
        const char *labels[] = {"Changed: ", "Steps: ", "", ""};
        for (int l = 0; l < 4; l++) {
            if (lines[l]->empty())
                continue;
            *page += "<br/><span class=\"evidence\">";
            htmlFormat(page, "%s", labels[l]);
            htmlFormat(page, "%s", lines[l]->c_str());
            *page += "</span>";
        }
        *page += "</td></tr>\n";
    }
    htmlLeftOut(page, trips.notKept, 2, "requests counted and not acted on");
    *page += "</table>\n";
}

void writeRunSection(const Report &report, std::string *page)
{
    writeSectionHead(report, PART_RUN, "Switch timing", page);
    if (!report.run || report.run->stage < RUN_PREPARED)
        return;
    const RunResults &r = *report.run;
    const RunSetup &s = r.setup;
    const TimingFigures &t = r.timing;
    char rate[32];
    formatRate(s.figures.sampleRate, rate, sizeof rate);
    *page += "<p>";
    htmlFormat(page, "The loopback, %ld frames at %s Hz, period %.1f us, for %.2f s.", s.bufferSize,
               rate, s.periodUs, r.stage >= RUN_MEASURED ? s.elapsedS : 0.0);
    *page += "</p>\n";
    if (r.stage < RUN_MEASURED)
        return;
    // The pictures on the left, their figures beside them.
    *page += "<div class=\"pictures\">\n<div class=\"picture\">\n";
    runPictures(page, t, s.periodUs, r.notifications);
    *page += "</div>\n<table class=\"facts figures\">\n";
    timingRows(page, t, s.periodUs);
    *page += "</table>\n</div>\n<table class=\"facts\">\n";
    messageRows(page, r.messages);
    notificationRows(page, r.notifications);
    figureRow(page, "Check: at least one switch", "%s", t.switches > 0 ? "passed" : "MISSED");
    *page += "</table>\n";
    roundTripTable(page, r.trips);
}

// ---- latency sweep

void writeSweepSection(const Report &report, std::string *page)
{
    writeSectionHead(report, PART_SWEEP, "Latency against buffer size", page);
    if (!report.sweep)
        return;
    const SweepResults &r = *report.sweep;
    int count = r.settingCount < 0 ? 0 : r.settingCount > MAX_SWEEP_SETTINGS ? MAX_SWEEP_SETTINGS
                                                                             : r.settingCount;
    *page += "<p>";
    htmlFormat(page, "Output %ld to input %ld; each setting measured %d times.", r.outChannel,
               r.inChannel, r.repeats);
    if (r.tolerance >= 0)
        htmlFormat(page, " Tolerance: %.0f frames.", r.tolerance);
    *page += "</p>\n";
    if (count == 0)
        return;
    *page += "<figure class=\"picture\">";
    svgSweep(page, r);
    *page += "<figcaption>Round trip against buffer size: measured (solid) and reported by the "
             "driver (dashed), one colour per rate; the bar between them is the difference.";
    *page += "</figcaption></figure>\n";
    *page += "<table>\n<tr><th class=\"n\">rate, Hz</th><th class=\"n\">frames</th>"
             "<th class=\"n\">measured</th><th class=\"n\">ms</th><th class=\"n\">spread</th>"
             "<th class=\"n\">reported</th><th class=\"n\">difference</th><th>verdict</th></tr>\n";
    int shown = count < SHOWN_SETTINGS ? count : int(SHOWN_SETTINGS);
    char rate[32], problem[160];
    for (int k = 0; k < shown; k++) {
        const SweepSetting &s = r.settings[k];
        long reported = s.reportedIn + s.reportedOut;
        formatRate(s.rate, rate, sizeof rate);
        *page += "<tr>";
        cell(page, "n", "%s", rate);
        cell(page, "n", "%ld", s.size);
        if (s.measured || s.repeatsBack > 0) {
            cell(page, "n", "%lld", static_cast<long long>(s.median));
            cell(page, "n", "%.3f", framesToMs(static_cast<double>(s.median), s.rate));
            cell(page, "n", "%lld", static_cast<long long>(s.spread));
            cell(page, "n", "%ld", reported);
            cell(page, "n", "%+ld", s.difference);
        } else {
            if (s.failure != SWEEP_WHOLE)
                cell(page, nullptr, "not measured");
            else
                cell(page, nullptr, "lost");
            *page += "<td></td><td></td>";
            cell(page, "n", "%ld", reported);
            *page += "<td></td>";
        }
        *page += "<td>";
        htmlVerdict(page, !s.measured || s.outsideTolerance ? VERDICT_FAIL : VERDICT_PASS);
        sweepSettingProblem(r, s, problem, sizeof problem);
        if (problem[0])
            htmlFormat(page, " %s", problem);
        *page += "</td></tr>\n";
    }
    htmlLeftOut(page, count - shown, 8, "settings, listed in the JSON document below");
    *page += "</table>\n";
}

// ---- integrity

// The lock or what the input carried instead.
static void integrityOpening(const IntegrityResults &r, std::string *page)
{
    *page += "<p>";
    htmlFormat(page, "A known sequence from output %ld to input %ld, %d bits a sample. ", r.outChannel,
               r.inChannel, r.bits);
    if (r.analysis.state == INTEGRITY_LOCKED) {
        char changed[160];
        htmlFormat(page, "Found at a delay of %lld samples from input position %lld.",
                   static_cast<long long>(r.analysis.lockDelay), static_cast<long long>(r.analysis.lockPosition));
        if (integrityTransformText(r, changed, sizeof changed))
            htmlFormat(page, " It came back %s.", changed);
    } else {
        htmlFormat(page, "The sequence was not found: the input carried %s (peak %.1f dBFS, "
                   "RMS %.1f dBFS).", noLockWords(r.analysis.noLockReason, WORDING_PAGE), r.analysis.peakDbfs,
                   r.analysis.rmsDbfs);
    }
    *page += "</p>\n";
}

// The accounting of every sample as rows of a table.
static void integrityRows(const IntegrityResults &r, std::string *page)
{
    figureRow(page, "Received after the lock", "%lld samples",
              static_cast<long long>(r.analysis.received));
    figureRow(page, "Matched", "%lld", static_cast<long long>(r.analysis.matched));
    figureRow(page, "Scaled", "%lld (the lock's gain)", static_cast<long long>(r.analysis.scaled));
    figureRow(page, "Never arrived", "%lld samples, from input position %lld",
              static_cast<long long>(r.analysis.missing), static_cast<long long>(r.analysis.missingFrom));
    figureRow(page, "Corrupted", "%lld in %lld runs", static_cast<long long>(r.analysis.corrupted),
              static_cast<long long>(r.analysis.eventCounts[EVENT_CORRUPTED]));
    figureRow(page, "Inverted", "%lld in %lld runs", static_cast<long long>(r.analysis.inverted),
              static_cast<long long>(r.analysis.eventCounts[EVENT_INVERTED]));
    figureRow(page, "Dropped", "%lld in %lld events", static_cast<long long>(r.analysis.dropped),
              static_cast<long long>(r.analysis.eventCounts[EVENT_DROPPED]));
    figureRow(page, "Repeated", "%lld in %lld events", static_cast<long long>(r.analysis.repeated),
              static_cast<long long>(r.analysis.eventCounts[EVENT_REPEATED]));
    figureRow(page, "Slips", "%lld, by %lld samples in all; %lld samples on neither delay",
              static_cast<long long>(r.analysis.eventCounts[EVENT_SLIP]),
              static_cast<long long>(r.analysis.slipped), static_cast<long long>(r.analysis.foreign));
    figureRow(page, "Not seen", "%lld samples (the checker fell behind); %ld blocks its ring had "
              "no room for", static_cast<long long>(r.analysis.unseen), r.blocksDroppedByChecker);
    figureRow(page, "Transparent bits", "%d of %d (differing: 0x%08lX)",
              r.analysis.transparentBits, r.bits,
              static_cast<unsigned long>(r.analysis.differingBits));
}

// The first kept events, a row each.
static void eventTable(const IntegrityResults &r, long long events, std::string *page)
{
    int kept = r.analysis.keptEvents < 0 ? 0 : r.analysis.keptEvents > MAX_INTEGRITY_EVENTS ? MAX_INTEGRITY_EVENTS
                                                                          : r.analysis.keptEvents;
    if (kept == 0)
        return;
    *page += "<table>\n<tr><th>event</th><th class=\"n\">position</th><th class=\"n\">samples</th>"
             "<th class=\"n\">switch</th><th class=\"n\">time, s</th><th>bits</th></tr>\n";
    int shown = kept < SHOWN_EVENTS ? kept : int(SHOWN_EVENTS);
    for (int k = 0; k < shown; k++) {
        const IntegrityEvent &e = r.analysis.events[k];
        *page += "<tr>";
        cell(page, nullptr, "%s", integrityEventName(e.kind));
        cell(page, "n", "%lld", static_cast<long long>(e.position));
        cell(page, "n", "%+lld", static_cast<long long>(e.size));
        cell(page, "n", "%lld", static_cast<long long>(e.switchNumber));
        cell(page, "n", "%.3f", e.timeUs / 1e6);
        if (e.kind == EVENT_CORRUPTED)
            cell(page, nullptr, "0x%08lX", static_cast<unsigned long>(e.bits));
        else
            *page += "<td></td>";
        *page += "</tr>\n";
    }
    htmlLeftOut(page, static_cast<long>(events - shown), 6, "events");
    *page += "</table>\n";
}

void writeIntegritySection(const Report &report, std::string *page)
{
    if (report.everyChannel) {
        writeRoutingSection(report, page);
        return;
    }
    writeSectionHead(report, PART_INTEGRITY, "Integrity", page);
    if (!report.integrity)
        return;
    const IntegrityResults &r = *report.integrity;
    integrityOpening(r, page);
    if (r.analysis.state != INTEGRITY_LOCKED)
        return;
    *page += "<figure class=\"picture\">";
    svgIntegrityEvents(page, r);
    *page += "<figcaption>";
    long long events = 0;
    for (int k = 0; k < EVENT_KINDS; k++)
        events += r.analysis.eventCounts[k];
    htmlFormat(page, "The events over the run, one lane per kind: %d of %lld drawn (the first "
               "ones, kept in full).", r.analysis.keptEvents, events);
    *page += "</figcaption></figure>\n<figure class=\"picture\">";
    svgTransparentBits(page, r);
    *page += "<figcaption>The input's bits, most significant first: unchanged in every sample "
             "compared, or not.</figcaption></figure>\n<table class=\"facts\">\n";
    integrityRows(r, page);
    *page += "</table>\n";
    eventTable(r, events, page);
}
