#include "checker/checker.h"

#include "checker/driver_session.h"
#include "checker/json_writer.h"
#include "checker/output.h"
#include "checker/results.h"
#include "checker/worker.h"
#include "drivers/driver_loading.h"
#include "engine/loopback.h"

#include <algorithm>
#include <math.h>
#include <stdio.h>
#include <string.h>

LatencyResults latencyResults;

// The round trips the pings found, in order, with the places where they changed.
struct RoundTrips {
    long found;           // pings that came back
    int64_t medianFrames, minFrames, maxFrames;
    long changes;         // pings whose round trip differs from the one before
};

static bool pingsFinished()
{
    return pingRun.lost.load() || pingRun.resolved.load() >= pingRun.wanted;
}

static void pingProgress(char *line, size_t size)
{
    snprintf(line, size, "latency: %ld of %ld pings back, %ld switches", pingRun.resolved.load(),
             pingRun.wanted, static_cast<long>(loopbackState.switchCount.load()));
}

static double ms(int64_t frames, double rate)
{
    return frames * 1000.0 / rate;
}

static void dbfsText(double level, char *out, size_t size)
{
    if (level > 0)
        snprintf(out, size, "%.1f dBFS", 20 * log10(level));
    else
        snprintf(out, size, "silence");
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

static void printText(const LatencyResults &r)
{
    const RunSetup &s = r.setup;
    double rate = s.figures.sampleRate;
    char rateText[32], outType[32], inType[32];
    printDriverHeading(s.index);
    if (r.stage < RUN_STARTED) {
        printCallNotes();
        return;
    }
    formatRate(rate, rateText, sizeof rateText);
    printf("Latency: output %ld (%s) to input %ld (%s), %ld frames at %s Hz\n", r.outChannel,
           typeText(r.outType, outType, sizeof outType), r.inChannel,
           typeText(r.inType, inType, sizeof inType), s.bufferSize, rateText);
    long reported = r.inputLatency + r.outputLatency;
    if (r.stage >= RUN_MEASURED) {
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
        long previous = -1;
        for (long k = 0; k < r.sent; k++) {
            if (r.roundTrip[k] < 0)
                continue;
            if (previous >= 0 && r.roundTrip[k] != r.roundTrip[previous]) {
                char reason[200];
                changeReason(r, previous, k, reason, sizeof reason);
                printf("Round trip changed from %lld to %lld frames between pings %ld and %ld: %s\n",
                       static_cast<long long>(r.roundTrip[previous]),
                       static_cast<long long>(r.roundTrip[k]), previous + 1, k + 1, reason);
            }
            previous = k;
        }
        printf("Reported by the driver: input %ld + output %ld = %ld frames (%.3f ms)\n",
               r.inputLatency, r.outputLatency, reported, ms(reported, rate));
        long after = r.inputLatencyAfter + r.outputLatencyAfter;
        if (r.claimReadAfter && after != reported) {
            printf("Reported after the run: input %ld + output %ld = %ld frames (%.3f ms): the claim "
                   "changed during the run\n", r.inputLatencyAfter, r.outputLatencyAfter, after,
                   ms(after, rate));
        }
        if (t.found > 0) {
            long claim = r.claimReadAfter ? after : reported;
            printf("Difference, reported - measured: %lld frames (%.3f ms)%s\n",
                   static_cast<long long>(claim - t.medianFrames), ms(claim - t.medianFrames, rate),
                   r.claimReadAfter && after != reported ? ", against the claim after the run" : "");
        }
        printMessages(r.messages);
    }
    printCallNotes();
}

static void printJson(const LatencyResults &r, const SessionOutcome &outcome, int exitCode)
{
    const RunSetup &s = r.setup;
    double rate = s.figures.sampleRate;
    jsonBeginObject(nullptr);
    jsonHeader(COMMAND_LATENCY);
    jsonDriver(s.index);
    if (r.stage >= RUN_STARTED) {
        jsonInteger("out", r.outChannel);
        jsonInteger("in", r.inChannel);
        jsonText("out_type", sampleTypeName(r.outType));
        jsonText("in_type", sampleTypeName(r.inType));
        jsonInteger("buffer_size", s.bufferSize);
        jsonNumber("sample_rate", rate);
    }
    if (r.stage >= RUN_MEASURED) {
        RoundTrips t = summarise(r);
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
        jsonBeginArray("round_trip_changes");
        long previous = -1;
        for (long k = 0; k < r.sent; k++) {
            if (r.roundTrip[k] < 0)
                continue;
            if (previous >= 0 && r.roundTrip[k] != r.roundTrip[previous]) {
                char reason[200];
                changeReason(r, previous, k, reason, sizeof reason);
                jsonBeginObject(nullptr);
                jsonInteger("from_ping", previous + 1);
                jsonInteger("to_ping", k + 1);
                jsonInteger("from_frames", r.roundTrip[previous]);
                jsonInteger("to_frames", r.roundTrip[k]);
                jsonNumber("longest_interval_periods",
                           s.periodUs > 0 ? longestGapUs(r, previous, k) / s.periodUs : NAN);
                jsonText("reason", reason);
                jsonEndObject();
            }
            previous = k;
        }
        jsonEndArray();
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
        if (t.found > 0) {
            jsonInteger("difference_frames", claim - t.medianFrames);
            jsonNumber("difference_ms", ms(claim - t.medianFrames, rate));
        } else {
            jsonNull("difference_frames");
            jsonNull("difference_ms");
        }
        jsonTiming(r.timing, s.periodUs);
        jsonMessages(r.messages);
    }
    jsonCallNotes();
    jsonSessionEnd(outcome, exitCode);
}

static void takePings(LatencyResults *r)
{
    const PingRun &p = pingRun;
    r->wanted = p.wanted;
    r->sent = p.sent;
    memcpy(r->sentAt, p.sentAt, sizeof r->sentAt);
    memcpy(r->roundTrip, p.roundTrip, sizeof r->roundTrip);
    memcpy(r->sentInSwitch, p.sentInSwitch, sizeof r->sentInSwitch);
    r->lost = p.lost.load();
    r->quietSinceSent = p.quietSinceSent;
    r->peakSinceSent = p.peakSinceSent;
    r->quietestWindow = p.quietestWindow;
    for (long k = 1; k < p.sent; k++)
        r->gapBeforeUs[k] = longestIntervalUs(p.sentInSwitch[k - 1], p.sentInSwitch[k] + 1);
}

// Why the last ping did not come back, from what the input carried meanwhile.
static int lostPing(const LatencyResults &r)
{
    char level[32], threshold[32];
    if (!r.quietSinceSent) {
        dbfsText(r.quietestWindow, level, sizeof level);
        dbfsText(PING_QUIET_LEVEL, threshold, sizeof threshold);
        return fail(EXIT_CHECK_MISSED, "ping %ld did not come back on input %ld within 2 s: the input "
                    "never fell quiet before the echo (its quietest 16 frames peaked at %s; quiet is "
                    "below %s)", r.sent, r.inChannel, level, threshold);
    }
    if (r.peakSinceSent <= PING_FOUND_LEVEL) {
        dbfsText(r.peakSinceSent, level, sizeof level);
        dbfsText(PING_FOUND_LEVEL, threshold, sizeof threshold);
        return fail(EXIT_CHECK_MISSED, "ping %ld did not come back on input %ld within 2 s: nothing "
                    "above the threshold of %s came back (the loudest level on the input was %s); "
                    "the cable or the channels are likely wrong", r.sent, r.inChannel, threshold,
                    level);
    }
    return fail(EXIT_CHECK_MISSED, "ping %ld did not come back on input %ld within 2 s: the cable "
                "or the channels are likely wrong", r.sent, r.inChannel);
}

int latencySession(const CheckerOptions &options)
{
    LatencyResults &r = latencyResults;
    int code = openRun(options, &r.setup);
    if (code == EXIT_FINE) {
        code = checkCable(options, r.setup.figures, pingTypeSupported,
                          "a little-endian integer or float type", &r.outType, &r.inType);
        r.outChannel = options.outChannel;
        r.inChannel = options.inChannel;
    }
    double rate = r.setup.figures.sampleRate;
    if (code == EXIT_FINE && r.setup.periodUs <= 0)
        code = fail(EXIT_DRIVER, "the driver reports no usable sample rate: the pings cannot be timed");
    // Every ping half a second apart, the last one given its 2 s, and time to start.
    double seconds = options.pings * 0.5 + 0.25 + 2 + 3;
    if (code == EXIT_FINE && !prepareTiming(seconds, r.setup.periodUs))
        code = fail(EXIT_DRIVER, "no memory for the timing of %g s", seconds);
    if (code == EXIT_FINE) {
        preparePings(options.outChannel, options.inChannel, r.setup.figures.outputChannels,
                     r.outType, r.inType, r.setup.bufferSize, rate, options.pings);
        resetMessageCounts(options.timeInfo);
        code = beginRun(&pingCallbacks, &r.setup);
        if (code == EXIT_FINE && !pingBuffersPresent()) {
            endRun(&r.setup, nullptr);
            code = fail(EXIT_DRIVER, "the driver gave no buffers for output %ld or input %ld",
                        options.outChannel, options.inChannel);
        }
    }
    if (code != EXIT_FINE) {
        publishRecord(RECORD_CALL_NOTES);
        closeChosenDriver();
        return code;
    }

    // What the driver claims for the buffers it has made.
    noteCall(asioGetLatencies(&r.inputLatency, &r.outputLatency), "getLatencies");
    r.stage = RUN_STARTED;
    publishRecord(RECORD_LATENCY);
    waitForRun(seconds, pingsFinished, pingProgress);
    judgeWindow(&r.setup, &r.timing);
    takePings(&r);
    tallyMessages(&r.messages);
    r.stage = RUN_MEASURED;
    publishRecord(RECORD_LATENCY);
    // The claim again: a driver that sent a latency-changed or reset request has changed it.
    r.claimReadAfter = noteCall(asioGetLatencies(&r.inputLatencyAfter, &r.outputLatencyAfter),
                                "getLatencies after the run") == ASE_OK;
    publishRecord(RECORD_LATENCY);
    publishRecord(RECORD_CALL_NOTES);
    endRun(&r.setup, &r.timing);
    closeChosenDriver();
    r.stage = RUN_STOPPED;
    tallyMessages(&r.messages);
    publishRecord(RECORD_LATENCY);
    publishRecord(RECORD_CALL_NOTES);

    if (r.lost)
        return lostPing(r);
    if (pingRun.resolved.load() < pingRun.wanted) {
        return fail(EXIT_CHECK_MISSED, "only %ld of %ld pings came back in %g s; the driver made %lld "
                    "buffer switches", pingRun.resolved.load(), pingRun.wanted, seconds,
                    r.timing.switches);
    }
    return EXIT_FINE;
}

int latencyCommand(const CheckerOptions &options)
{
    loadDriverList();
    int index = 0;
    int code = findDriver(options.driver, &index);
    if (code != EXIT_FINE)
        return code;
    if (options.sweep)
        return sweepCommand(options, index);
    memset(&latencyResults, 0, sizeof latencyResults);
    latencyResults.setup.index = index;
    SessionOutcome outcome;
    code = runDriverSession(options, latencySession, userArgumentText(), &outcome);
    if (code != EXIT_FINE && code != EXIT_CHECK_MISSED && code != EXIT_CRASHED)
        return code;
    if (options.json)
        printJson(latencyResults, outcome, code);
    else
        printText(latencyResults);
    return code;
}
