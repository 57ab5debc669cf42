// The driver's requests during a run and what the checker did with each: text, JSON and the status.
#include "checker/commands/commands.h"

#include <math.h>
#include <stdio.h>
#include <string.h>

// Switches the window after a request must promise before its pace is judged against the rate.
static const double PACE_AFTER_SWITCHES = 20;
// The pace of a short stream after a request may be this far off (a ratio) before it is another
// rate's.
static const double PACE_LOW = 0.8, PACE_HIGH = 1.25;
// A stream of a second or more that promised PACE_CLOSE_SWITCHES switches tells common rates apart
// (44.1 kHz against 48 kHz is 8.8 % off): its pace may be PACE_CLOSE off at most. In a shorter one
// a switch or two at the edges of the window, or a loaded machine's delay, would be more than that.
static const double PACE_CLOSE = 0.04, PACE_CLOSE_SWITCHES = 50, PACE_CLOSE_US = 1e6;

static const struct {
    long bit;
    const char *key;   // JSON
    const char *text;  // "Reset requested"
} requestNames[] = {
    {PENDING_RESET, "reset", "Reset requested"},
    {PENDING_BUFFER_SIZE, "buffer_size", "Buffer size change requested"},
    {PENDING_RATE, "rate", "Sample rate change announced"},
    {PENDING_RESYNC, "resync", "Resync requested"},
    {PENDING_LATENCIES, "latencies", "Latencies changed"},
};

// The chief request of a trip: the first in the order above.
static int chiefRequest(const HostRoundTrip &trip)
{
    for (int k = 0; k < 5; k++) {
        if (trip.requests & requestNames[k].bit)
            return k;
    }
    return 0;
}

enum TimingVerdict { TIMING_PASS, TIMING_WARN, TIMING_FAIL };

// An announced rate that getSampleRate did not then report.
static bool readBackMissed(const HostRoundTrip &trip)
{
    return (trip.requests & PENDING_RATE) && !(fabs(trip.rate - trip.after.sampleRate) <= 0.5);
}

// What is wrong with the stream after a request, "" when nothing is; FAIL for a stream not kept,
// none at all or the pace of another rate, WARN for late switches.
static TimingVerdict judgeAfter(const HostRoundTrip &trip, char *why, size_t size)
{
    const TimingFigures &t = trip.timing;
    *why = '\0';
    if (readBackMissed(trip)) {
        char announced[32], reported[32];
        formatRate(trip.rate, announced, sizeof announced);
        formatRate(trip.after.sampleRate, reported, sizeof reported);
        snprintf(why, size, "the driver announced %s Hz, and getSampleRate then reported %s Hz",
                 announced, reported);
        return TIMING_FAIL;
    }
    if (t.switches == 0) {
        snprintf(why, size, "no switch in the %.2f s after the restart", t.windowUs / 1e6);
        return TIMING_FAIL;
    }
    streamKeptText(t, judgeStreamKept(t, trip.periodUs), why, size);
    if (*why)
        return TIMING_FAIL;
    bool close = t.expected >= PACE_CLOSE_SWITCHES && t.windowUs >= PACE_CLOSE_US;
    bool paceHolds = close ? fabs(t.ratio - 1) <= PACE_CLOSE : t.ratio >= PACE_LOW && t.ratio <= PACE_HIGH;
    if (trip.periodUs > 0 && t.expected >= PACE_AFTER_SWITCHES && !paceHolds) {
        char rate[32];
        formatRate(trip.after.sampleRate, rate, sizeof rate);
        snprintf(why, size, "%lld switches where %.1f were due at the %s Hz the driver reports (ratio "
                 "%.3f): the stream keeps another pace", t.switches, t.expected, rate, t.ratio);
        return TIMING_FAIL;
    }
    if (t.late > 0) {
        snprintf(why, size, "%lld switch%s came late", t.late, t.late == 1 ? "" : "es");
        return TIMING_WARN;
    }
    return TIMING_PASS;
}

static const char *timingVerdictName(TimingVerdict verdict)
{
    return verdict == TIMING_FAIL ? "FAIL" : verdict == TIMING_WARN ? "WARN" : "PASS";
}

static void stepAnswerText(int step, long answer, char *out, size_t size)
{
    if (step == STEP_RELEASE) {
        snprintf(out, size, "%ld references left", answer);
    } else if (step == STEP_CREATE) {
        comResultText(answer, out, size);
    } else if (step == STEP_INIT) {
        snprintf(out, size, "%s", answer ? "1 (usable)" : "0 (failed)");
    } else if (step == STEP_READ) {
        snprintf(out, size, "done");
    } else {
        char name[32];
        snprintf(out, size, "%s", asioErrorName(answer, name, sizeof name));
    }
}

static void changesText(const HostRoundTrip &trip, std::string *out)
{
    for (int f = 0; f < FIGURE_COUNT; f++) {
        if (!hostFigureChanged(trip.before, trip.after, f))
            continue;
        char before[64], after[64];
        hostFigureText(trip.before, f, before, sizeof before);
        hostFigureText(trip.after, f, after, sizeof after);
        char name[32];
        snprintf(name, sizeof name, "%s", hostFigureName(f));
        for (char *c = name; *c; c++)
            *c = *c == '_' ? ' ' : *c;
        appendFormat(out, "%s%s %s -> %s", out->empty() ? "" : ", ", name, before, after);
    }
}

static void stepsText(const HostRoundTrip &trip, std::string *out)
{
    for (int step = 0; step < TRIP_STEPS; step++) {
        if (!trip.made[step])
            continue;
        char answer[96];
        stepAnswerText(step, trip.answers[step], answer, sizeof answer);
        const char *comma = out->empty() ? "" : ", ";
        if (step == STEP_READ)
            appendFormat(out, "%s%s", comma, tripStepName(step));
        else if (step == STEP_CREATE_BUFFERS)
            appendFormat(out, "%screateBuffers(%ld frames) %s", comma, trip.bufferSize, answer);
        else
            appendFormat(out, "%s%s %s", comma, tripStepName(step), answer);
    }
}

void describeRoundTrip(const HostRoundTrip &trip, RoundTripText *text)
{
    *text = RoundTripText();
    const char *what = requestNames[chiefRequest(trip)].text;
    char at[64] = "at a moment the log had no room for", thread[64], extra[64] = "";
    if (trip.requestMs >= 0)
        snprintf(at, sizeof at, "%.0f ms into the run (after switch %lld)", trip.requestMs, trip.afterSwitch);
    if (trip.onHostThread)
        snprintf(thread, sizeof thread, "on the checker's own thread, inside one of its calls");
    else
        snprintf(thread, sizeof thread, "on a driver thread (id %lu)", static_cast<unsigned long>(trip.thread));
    if (trip.requests & PENDING_BUFFER_SIZE)
        snprintf(extra, sizeof extra, " (%ld frames)", trip.size);
    else if (trip.requests & PENDING_RATE) {
        char rate[32];
        formatRate(trip.rate, rate, sizeof rate);
        snprintf(extra, sizeof extra, " (%s Hz)", rate);
    }
    const char *did = trip.policy == RESET_STOP ? "the checker stopped the run there (--on-reset stop)"
                      : trip.policy == RESET_IGNORE ? "the checker ignored it"
                                                    : "the checker followed it";
    appendFormat(&text->heading, "%s%s %s, %s: %s", what, extra, at, thread, did);
    if (trip.policy != RESET_FOLLOW)
        return;
    changesText(trip, &text->changes);
    stepsText(trip, &text->steps);
    if (trip.failedStep >= 0) {
        appendFormat(&text->outcome, "The round trip failed at %s: %s", tripStepName(trip.failedStep),
                     trip.failure);
        text->verdict = "FAIL";
        return;
    }
    if (trip.firstSwitchMs >= 0)
        appendFormat(&text->outcome, "The first switch after it came %.1f ms after the request (the "
                     "checker began %.1f ms after it)", trip.firstSwitchMs, trip.actedMs);
    else
        text->outcome = "No switch came after it";
    if (!trip.judged)
        return;
    char why[240];
    TimingVerdict verdict = judgeAfter(trip, why, sizeof why);
    const TimingFigures &t = trip.timing;
    text->verdict = timingVerdictName(verdict);
    appendFormat(&text->stream, "The stream after the %s: %.2f s, %lld switches at %ld frames (period "
                 "%.1f us), %lld late, ratio %.3f, longest gap %.1f ms: timing %s%s%s",
                 trip.requests & PENDING_RESET ? "reset" : "request", t.windowUs / 1e6, t.switches,
                 trip.bufferSize, trip.periodUs, t.late, t.ratio, t.longestGapUs / 1000,
                 text->verdict, *why ? ": " : "", why);
}

static void printTrip(const HostRoundTrip &trip)
{
    RoundTripText text;
    describeRoundTrip(trip, &text);
    printf("%s\n", text.heading.c_str());
    if (trip.policy != RESET_FOLLOW)
        return;
    if (text.changes.empty())
        printf("  No figure changed\n");
    else
        printf("  Changed: %s\n", text.changes.c_str());
    printf("  Steps: %s\n", text.steps.c_str());
    if (!text.outcome.empty())
        printf("  %s\n", text.outcome.c_str());
    if (!text.stream.empty())
        printf("  %s\n", text.stream.c_str());
}

void printRoundTrips(const HostRoundTrips &trips)
{
    if (trips.count && trips.trips[0].policy != RESET_IGNORE)
        printf("The figures above are of the stream up to the first request; the stream after each "
               "request is judged apart:\n");
    for (int k = 0; k < trips.count; k++)
        printTrip(trips.trips[k]);
    if (trips.notKept)
        printf("%ld more requests were counted and not acted on: a host follows at most %d in a run\n",
               trips.notKept, static_cast<int>(MAX_ROUND_TRIPS));
}

static void jsonFigures(const char *key, const HostFigures &f)
{
    jsonBeginObject(key);
    for (int k = 0; k < FIGURE_COUNT; k++) {
        char text[64];
        hostFigureText(f, k, text, sizeof text);
        if (k == 4)
            jsonNumber(hostFigureName(k), f.sampleRate);
        else if (k >= 9)
            jsonText(hostFigureName(k), text);
        else {
            // The whole figures as numbers: their text is the number.
            long long value = 0;
            sscanf(text, "%lld", &value);
            jsonInteger(hostFigureName(k), value);
        }
    }
    jsonEndObject();
}

static void jsonTrip(const HostRoundTrip &trip)
{
    jsonBeginObject(nullptr);
    jsonText("request", requestNames[chiefRequest(trip)].key);
    jsonBeginArray("requests");
    for (const auto &name : requestNames) {
        if (trip.requests & name.bit)
            jsonText(nullptr, name.key);
    }
    jsonEndArray();
    jsonText("policy", resetPolicyName(trip.policy));
    if (trip.requestMs >= 0) {
        jsonNumber("request_ms", trip.requestMs);
        jsonInteger("after_switch", trip.afterSwitch);
    } else {
        jsonNull("request_ms");
        jsonNull("after_switch");
    }
    jsonInteger("thread", trip.thread);
    jsonBool("on_host_thread", trip.onHostThread);
    if (trip.requests & PENDING_BUFFER_SIZE)
        jsonInteger("size", trip.size);
    if (trip.requests & PENDING_RATE)
        jsonNumber("rate", trip.rate);
    jsonFigures("before", trip.before);
    jsonFigures("after", trip.after);
    jsonBeginArray("changed");
    for (int f = 0; f < FIGURE_COUNT; f++) {
        if (hostFigureChanged(trip.before, trip.after, f))
            jsonText(nullptr, hostFigureName(f));
    }
    jsonEndArray();
    jsonBeginArray("steps");
    for (int step = 0; step < TRIP_STEPS; step++) {
        if (!trip.made[step])
            continue;
        char answer[96];
        stepAnswerText(step, trip.answers[step], answer, sizeof answer);
        jsonBeginObject(nullptr);
        jsonText("step", tripStepName(step));
        jsonInteger("answer", trip.answers[step]);
        jsonText("answer_text", answer);
        jsonEndObject();
    }
    jsonEndArray();
    jsonText("failed_step", trip.failedStep >= 0 ? tripStepName(trip.failedStep) : nullptr);
    jsonText("failure", trip.failedStep >= 0 ? trip.failure : nullptr);
    jsonNumber("acted_ms", trip.actedMs);
    if (trip.firstSwitchMs >= 0)
        jsonNumber("first_switch_ms", trip.firstSwitchMs);
    else
        jsonNull("first_switch_ms");
    if (trip.judged) {
        jsonInteger("buffer_size", trip.bufferSize);
        jsonNumber("period_us", trip.periodUs > 0 ? trip.periodUs : NAN);
        char why[240];
        TimingVerdict verdict = judgeAfter(trip, why, sizeof why);
        jsonBeginObject("stream_after");
        jsonText("timing", timingVerdictName(verdict));
        jsonText("why", *why ? why : nullptr);
        jsonTiming(trip.timing, trip.periodUs);
        jsonBeginObject("stream_kept");
        jsonStreamKeptFields(trip.timing, trip.periodUs);
        jsonEndObject();
        jsonEndObject();
    } else {
        jsonNull("stream_after");
    }
    jsonEndObject();
}

void jsonRoundTrips(const HostRoundTrips &trips)
{
    jsonBeginArray("round_trips");
    for (int k = 0; k < trips.count; k++)
        jsonTrip(trips.trips[k]);
    jsonEndArray();
    jsonInteger("requests_not_acted_on", trips.notKept);
}

int roundTripStatus(const HostRoundTrips &trips, const CheckerOptions &options)
{
    int code = EXIT_FINE;
    for (int k = 0; k < trips.count; k++) {
        const HostRoundTrip &trip = trips.trips[k];
        const char *what = requestNames[chiefRequest(trip)].key;
        char why[240];
        if (trip.policy != RESET_FOLLOW)
            continue;
        if (trip.shortfall) {
            code = worseStatus(code, fail(EXIT_SHORTFALL, "the round trip after the driver's %s request "
                                          "could not go on: %s", what, trip.failure));
        } else if (trip.failedStep >= 0) {
            code = worseStatus(code, fail(EXIT_DRIVER, "the round trip after the driver's %s request "
                                          "failed at %s: %s", what, tripStepName(trip.failedStep),
                                          trip.failure));
        } else if (trip.judged && trip.timing.switches == 0) {
            code = worseStatus(code, fail(EXIT_DRIVER, "no switch came after the round trip of the "
                                          "driver's %s request", what));
        } else if (trip.judged && judgeAfter(trip, why, sizeof why) == TIMING_FAIL) {
            code = worseStatus(code, readBackMissed(trip)
                ? fail(EXIT_CHECK_MISSED, "the stream after the driver's %s request: %s", what, why)
                : timingMissed(trip.timing, "the stream after the driver's %s request: %s", what, why));
        }
        // The user's thresholds hold for every stream of the run, not the first only.
        if (!trip.judged || trip.failedStep >= 0 || trip.timing.switches == 0)
            continue;
        const TimingFigures &t = trip.timing;
        if (options.maxLate >= 0 && (t.late < 0 || t.late > options.maxLate)) {
            code = worseStatus(code, t.late < 0
                       ? fail(EXIT_CHECK_MISSED, "the stream after the driver's %s request: late switches "
                              "cannot be judged: no usable sample rate", what)
                       : timingMissed(t, "the stream after the driver's %s request: %lld switches "
                                      "came late; --max-late allows %ld", what, t.late, options.maxLate));
        }
        if (options.minSwitchRatio > 0 && !(t.ratio >= options.minSwitchRatio)) {
            code = worseStatus(code, timingMissed(t, "the stream after the driver's %s request: "
                                                  "switch ratio %.4f is below --min-switch-ratio %g",
                                                  what, t.ratio, options.minSwitchRatio));
        }
    }
    return code;
}
