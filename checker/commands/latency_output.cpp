// How quorvelcheck latency shows its pings: the round trips, where they changed and why, and the
// driver's claim against them, as text and as JSON.
#include "checker/commands/commands.h"

#include <algorithm>
#include <math.h>
#include <stdio.h>

// The round trips the pings found, in order, with the places where they changed.
struct RoundTrips {
    long found;           // pings that came back
    int64_t medianFrames, minFrames, maxFrames;
    long changes;         // pings whose round trip differs from the one before
};

static double ms(int64_t frames, double rate)
{
    return frames * 1000.0 / rate;
}

static RoundTrips summarise(const LatencyResults &r)
{
    RoundTrips t = {};
    int64_t trips[MAX_PINGS];
    int64_t previous = -1;
    for (long k = 0; k < r.sent; k++) {
        if (r.roundTrip[k] < 0)
            continue;
        trips[t.found++] = r.roundTrip[k];
        t.changes += previous >= 0 && r.roundTrip[k] != previous;
        previous = r.roundTrip[k];
    }
    if (t.found == 0)
        return t;
    std::sort(trips, trips + t.found);
    t.minFrames = trips[0];
    t.maxFrames = trips[t.found - 1];
    t.medianFrames = trips[(t.found - 1) / 2];
    return t;
}

// Why the round trip changed between two pings: what the switches between them show.
static double longestGapUs(const LatencyResults &r, long from, long to)
{
    double longest = 0;
    for (long k = from + 1; k <= to; k++)
        longest = std::max(longest, r.gapBeforeUs[k]);
    return longest;
}

static void changeReason(const LatencyResults &r, long from, long to, char *out, size_t size)
{
    double longest = longestGapUs(r, from, to);
    double periods = r.setup.periodUs > 0 ? longest / r.setup.periodUs : 0;
    if (periods > 1.5) {
        snprintf(out, size, "between them the driver left a gap of %.1f buffer periods: it dropped "
                 "a buffer switch", periods);
    } else {
        snprintf(out, size, "the switches between them came on time (longest interval %.1f "
                 "periods): the driver moved its buffers against the stream", periods);
    }
}

// The next ping whose round trip differs from the last ping before it that came back: that one in
// *from, this one in *to. Start with *to at -1; false when no change is left.
static bool nextChange(const LatencyResults &r, long *from, long *to)
{
    long previous = *to;
    for (long k = *to + 1; k < r.sent; k++) {
        if (r.roundTrip[k] < 0)
            continue;
        if (previous >= 0 && r.roundTrip[k] != r.roundTrip[previous]) {
            *from = previous;
            *to = k;
            return true;
        }
        previous = k;
    }
    return false;
}

static void printPings(const LatencyResults &r, double rate)
{
    printf("  ping  sent at frame  round trip, frames        ms\n");
    for (long k = 0; k < r.sent; k++) {
        if (r.roundTrip[k] < 0) {
            printf("  %4ld  %13lld  %18s\n", k + 1, static_cast<long long>(r.sentAt[k]), "lost");
        } else {
            printf("  %4ld  %13lld  %18lld  %8.3f\n", k + 1, static_cast<long long>(r.sentAt[k]),
                   static_cast<long long>(r.roundTrip[k]), ms(r.roundTrip[k], rate));
        }
    }
    RoundTrips t = summarise(r);
    if (t.found > 0) {
        printf("Round trip: median %lld frames (%.3f ms), spread %lld frames (%lld to %lld)\n",
               static_cast<long long>(t.medianFrames), ms(t.medianFrames, rate),
               static_cast<long long>(t.maxFrames - t.minFrames),
               static_cast<long long>(t.minFrames), static_cast<long long>(t.maxFrames));
    }
    long from = -1, to = -1;
    while (nextChange(r, &from, &to)) {
        char reason[200];
        changeReason(r, from, to, reason, sizeof reason);
        printf("Round trip changed from %lld to %lld frames between pings %ld and %ld: %s\n",
               static_cast<long long>(r.roundTrip[from]), static_cast<long long>(r.roundTrip[to]),
               from + 1, to + 1, reason);
    }
}

static void printClaim(const LatencyResults &r, double rate)
{
    long reported = r.inputLatency + r.outputLatency;
    printf("Reported by the driver: input %ld + output %ld = %ld frames (%.3f ms)\n",
           r.inputLatency, r.outputLatency, reported, ms(reported, rate));
    long after = r.inputLatencyAfter + r.outputLatencyAfter;
    if (r.claimReadAfter && after != reported) {
        printf("Reported after the run: input %ld + output %ld = %ld frames (%.3f ms): the claim "
               "changed during the run\n", r.inputLatencyAfter, r.outputLatencyAfter, after,
               ms(after, rate));
    }
    RoundTrips t = summarise(r);
    if (t.found > 0) {
        long claim = r.claimReadAfter ? after : reported;
        printf("Difference, reported - measured: %lld frames (%.3f ms)%s\n",
               static_cast<long long>(claim - t.medianFrames), ms(claim - t.medianFrames, rate),
               r.claimReadAfter && after != reported ? ", against the claim after the run" : "");
    }
}

void printLatencyText(const CheckerOptions &, int index, const SessionOutcome &, int exitCode)
{
    if (!resultsStand(exitCode))
        return;
    const LatencyResults &r = latencyResults;
    const RunSetup &s = r.setup;
    double rate = s.figures.sampleRate;
    char rateText[32], outType[32], inType[32];
    printDriverHeading(index);
    if (r.stage < RUN_STARTED) {
        printCallNotes();
        return;
    }
    formatRate(rate, rateText, sizeof rateText);
    printf("Latency: output %ld (%s) to input %ld (%s), %ld frames at %s Hz\n", r.outChannel,
           typeText(r.outType, outType, sizeof outType), r.inChannel,
           typeText(r.inType, inType, sizeof inType), s.bufferSize, rateText);
    if (r.stage >= RUN_MEASURED) {
        // The pings are read once the driver has stopped.
        if (r.stage >= RUN_STOPPED)
            printPings(r, rate);
        else
            printf("Pings: not read, as the driver did not come back from stop\n");
        printClaim(r, rate);
        printCost(r.timing.cpu);
        printMessages(r.messages);
        printNotifications(r.notifications, nullptr);
        printStreamKept(r.timing, s.periodUs);
    }
    printCallNotes();
}

static void jsonPings(const LatencyResults &r, double rate)
{
    jsonBeginArray("pings");
    for (long k = 0; k < r.sent; k++) {
        bool lost = r.roundTrip[k] < 0;
        jsonBeginObject(nullptr);
        jsonInteger("sent_at", r.sentAt[k]);
        jsonInteger("sent_in_switch", r.sentInSwitch[k]);
        jsonBool("lost", lost);
        jsonNumber("round_trip_frames", lost ? NAN : static_cast<double>(r.roundTrip[k]));
        jsonNumber("round_trip_ms", lost ? NAN : ms(r.roundTrip[k], rate));
        jsonEndObject();
    }
    jsonEndArray();
    RoundTrips t = summarise(r);
    if (t.found > 0) {
        jsonBeginObject("round_trip");
        jsonInteger("median_frames", t.medianFrames);
        jsonNumber("median_ms", ms(t.medianFrames, rate));
        jsonInteger("min_frames", t.minFrames);
        jsonInteger("max_frames", t.maxFrames);
        jsonInteger("spread_frames", t.maxFrames - t.minFrames);
        jsonInteger("changes", t.changes);
        jsonEndObject();
    } else {
        jsonNull("round_trip");
    }
}

static void jsonChanges(const LatencyResults &r)
{
    jsonBeginArray("round_trip_changes");
    long from = -1, to = -1;
    while (nextChange(r, &from, &to)) {
        char reason[200];
        changeReason(r, from, to, reason, sizeof reason);
        jsonBeginObject(nullptr);
        jsonInteger("from_ping", from + 1);
        jsonInteger("to_ping", to + 1);
        jsonInteger("from_frames", r.roundTrip[from]);
        jsonInteger("to_frames", r.roundTrip[to]);
        jsonNumber("longest_interval_periods",
                   r.setup.periodUs > 0 ? longestGapUs(r, from, to) / r.setup.periodUs : NAN);
        jsonText("reason", reason);
        jsonEndObject();
    }
    jsonEndArray();
}

static void jsonClaim(const LatencyResults &r, double rate)
{
    long reported = r.inputLatency + r.outputLatency;
    jsonBeginObject("reported");
    jsonInteger("input_frames", r.inputLatency);
    jsonInteger("output_frames", r.outputLatency);
    jsonInteger("total_frames", reported);
    jsonNumber("total_ms", ms(reported, rate));
    jsonEndObject();
    if (r.claimReadAfter) {
        jsonBeginObject("reported_after");
        jsonInteger("input_frames", r.inputLatencyAfter);
        jsonInteger("output_frames", r.outputLatencyAfter);
        jsonInteger("total_frames", r.inputLatencyAfter + r.outputLatencyAfter);
        jsonEndObject();
    } else {
        jsonNull("reported_after");
    }
    long claim = r.claimReadAfter ? r.inputLatencyAfter + r.outputLatencyAfter : reported;
    RoundTrips t = summarise(r);
    if (t.found > 0) {
        jsonInteger("difference_frames", claim - t.medianFrames);
        jsonNumber("difference_ms", ms(claim - t.medianFrames, rate));
    } else {
        jsonNull("difference_frames");
        jsonNull("difference_ms");
    }
}

void writeLatencyDocument(const CheckerOptions &options, int index, const SessionOutcome &outcome,
                          int exitCode)
{
    if (!beginDocument(options, index, resultsStand(exitCode), exitCode))
        return;
    const LatencyResults &r = latencyResults;
    const RunSetup &s = r.setup;
    double rate = s.figures.sampleRate;
    if (r.stage >= RUN_STARTED) {
        jsonCable(r.outChannel, r.inChannel, r.outType, r.inType);
        jsonInteger("buffer_size", s.bufferSize);
        jsonNumber("sample_rate", rate);
    }
    if (r.stage >= RUN_MEASURED) {
        jsonPings(r, rate);
        jsonChanges(r);
        jsonClaim(r, rate);
        jsonTiming(r.timing, s.periodUs);
        jsonMessages(r.messages);
        jsonNotifications(r.notifications, nullptr);
    }
    jsonCallNotes();
    jsonSessionEnd(outcome, exitCode);
}
