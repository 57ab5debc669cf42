#include "checker/checker.h"

#include "drivers/driver_loading.h"
#include "engine/loopback.h"

#include <algorithm>
#include <math.h>
#include <stdio.h>

struct LatencyResults {
    RunSetup setup;
    long outChannel, inChannel;
    long outType, inType;
    long inputLatency, outputLatency;
    long found;           // pings that came back
    int64_t medianFrames, minFrames, maxFrames;
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

static const char *typeText(long type, char *out, size_t size)
{
    const char *name = sampleTypeName(type);
    if (name)
        return name;
    snprintf(out, size, "unknown type %ld", type);
    return out;
}

static void printText(const LatencyResults &r)
{
    const RunSetup &s = r.setup;
    double rate = s.figures.sampleRate;
    char rateText[32], outType[32], inType[32];
    formatRate(rate, rateText, sizeof rateText);
    printDriverHeading(s.index);
    printf("Latency: output %ld (%s) to input %ld (%s), %ld frames at %s Hz\n", r.outChannel,
           typeText(r.outType, outType, sizeof outType), r.inChannel,
           typeText(r.inType, inType, sizeof inType), s.bufferSize, rateText);
    printf("  ping  sent at frame  round trip, frames        ms\n");
    for (long k = 0; k < pingRun.sent; k++) {
        if (pingRun.roundTrip[k] < 0) {
            printf("  %4ld  %13lld  %18s\n", k + 1, static_cast<long long>(pingRun.sentAt[k]),
                   "lost");
        } else {
            printf("  %4ld  %13lld  %18lld  %8.3f\n", k + 1, static_cast<long long>(pingRun.sentAt[k]),
                   static_cast<long long>(pingRun.roundTrip[k]), ms(pingRun.roundTrip[k], rate));
        }
    }
    long reported = r.inputLatency + r.outputLatency;
    if (r.found > 0) {
        printf("Round trip: median %lld frames (%.3f ms), spread %lld frames (%lld to %lld)\n",
               static_cast<long long>(r.medianFrames), ms(r.medianFrames, rate),
               static_cast<long long>(r.maxFrames - r.minFrames),
               static_cast<long long>(r.minFrames), static_cast<long long>(r.maxFrames));
    }
    printf("Reported by the driver: input %ld + output %ld = %ld frames (%.3f ms)\n",
           r.inputLatency, r.outputLatency, reported, ms(reported, rate));
    if (r.found > 0) {
        printf("Difference, reported - measured: %lld frames (%.3f ms)\n",
               static_cast<long long>(reported - r.medianFrames), ms(reported - r.medianFrames, rate));
    }
    printCallNotes();
}

static void printJson(const LatencyResults &r, int exitCode)
{
    const RunSetup &s = r.setup;
    double rate = s.figures.sampleRate;
    jsonBeginObject(nullptr);
    jsonHeader(COMMAND_LATENCY);
    jsonDriver(s.index);
    jsonInteger("out", r.outChannel);
    jsonInteger("in", r.inChannel);
    jsonText("out_type", sampleTypeName(r.outType));
    jsonText("in_type", sampleTypeName(r.inType));
    jsonInteger("buffer_size", s.bufferSize);
    jsonNumber("sample_rate", rate);
    jsonBeginArray("pings");
    for (long k = 0; k < pingRun.sent; k++) {
        bool lost = pingRun.roundTrip[k] < 0;
        jsonBeginObject(nullptr);
        jsonInteger("sent_at", pingRun.sentAt[k]);
        jsonBool("lost", lost);
        jsonNumber("round_trip_frames", lost ? NAN : static_cast<double>(pingRun.roundTrip[k]));
        jsonNumber("round_trip_ms", lost ? NAN : ms(pingRun.roundTrip[k], rate));
        jsonEndObject();
    }
    jsonEndArray();
    long reported = r.inputLatency + r.outputLatency;
    if (r.found > 0) {
        jsonBeginObject("round_trip");
        jsonInteger("median_frames", r.medianFrames);
        jsonNumber("median_ms", ms(r.medianFrames, rate));
        jsonInteger("min_frames", r.minFrames);
        jsonInteger("max_frames", r.maxFrames);
        jsonInteger("spread_frames", r.maxFrames - r.minFrames);
        jsonEndObject();
    } else {
        jsonNull("round_trip");
    }
    jsonBeginObject("reported");
    jsonInteger("input_frames", r.inputLatency);
    jsonInteger("output_frames", r.outputLatency);
    jsonInteger("total_frames", reported);
    jsonNumber("total_ms", ms(reported, rate));
    jsonEndObject();
    if (r.found > 0) {
        jsonInteger("difference_frames", reported - r.medianFrames);
        jsonNumber("difference_ms", ms(reported - r.medianFrames, rate));
    } else {
        jsonNull("difference_frames");
        jsonNull("difference_ms");
    }
    jsonCallNotes();
    jsonInteger("exit_code", exitCode);
    jsonEndObject();
    jsonFinish();
}

// The two channels exist and have a format the pings can write and read. 0, EXIT_USAGE.
static int checkChannels(const CheckerOptions &options, LatencyResults *r)
{
    const DriverFigures &f = r->setup.figures;
    if (options.outChannel >= f.outputChannels) {
        return f.outputChannels > 0
                   ? fail(EXIT_USAGE, "there is no output %ld: the driver has outputs 0 to %ld",
                          options.outChannel, f.outputChannels - 1)
                   : fail(EXIT_USAGE, "there is no output %ld: the driver has no outputs",
                          options.outChannel);
    }
    if (options.inChannel >= f.inputChannels) {
        return f.inputChannels > 0
                   ? fail(EXIT_USAGE, "there is no input %ld: the driver has inputs 0 to %ld",
                          options.inChannel, f.inputChannels - 1)
                   : fail(EXIT_USAGE, "there is no input %ld: the driver has no inputs",
                          options.inChannel);
    }
    ASIOChannelInfo out = {}, in = {};
    out.channel = options.outChannel;
    out.type = in.type = -1;
    in.channel = options.inChannel;
    in.isInput = 1;
    noteCall(asioGetChannelInfo(&out), "getChannelInfo(output %ld)", options.outChannel);
    noteCall(asioGetChannelInfo(&in), "getChannelInfo(input %ld)", options.inChannel);
    r->outChannel = options.outChannel;
    r->inChannel = options.inChannel;
    r->outType = out.type;
    r->inType = in.type;
    char text[32];
    if (!pingTypeSupported(out.type)) {
        return fail(EXIT_USAGE, "output %ld has sample type %s; the pings need a little-endian "
                    "integer or float type", options.outChannel, typeText(out.type, text, sizeof text));
    }
    if (!pingTypeSupported(in.type)) {
        return fail(EXIT_USAGE, "input %ld has sample type %s; the pings need a little-endian "
                    "integer or float type", options.inChannel, typeText(in.type, text, sizeof text));
    }
    return EXIT_FINE;
}

static void summarise(LatencyResults *r)
{
    int64_t trips[MAX_PINGS];
    r->found = 0;
    for (long k = 0; k < pingRun.sent; k++) {
        if (pingRun.roundTrip[k] >= 0)
            trips[r->found++] = pingRun.roundTrip[k];
    }
    if (r->found == 0)
        return;
    std::sort(trips, trips + r->found);
    r->minFrames = trips[0];
    r->maxFrames = trips[r->found - 1];
    r->medianFrames = trips[(r->found - 1) / 2];
}

int latencyCommand(const CheckerOptions &options)
{
    loadDriverList();
    LatencyResults r = {};
    int code = chooseDriver(options.driver, &r.setup.index);
    if (code != EXIT_FINE)
        return code;
    code = openChosenDriver(r.setup.index);
    if (code == EXIT_FINE)
        code = prepareRun(options, &r.setup);
    if (code == EXIT_FINE)
        code = checkChannels(options, &r);
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
        resetMessageCounts();
        code = beginRun(&pingCallbacks, &r.setup);
        if (code == EXIT_FINE && !pingBuffersPresent()) {
            endRun(&r.setup);
            code = fail(EXIT_DRIVER, "the driver gave no buffers for output %ld or input %ld",
                        options.outChannel, options.inChannel);
        }
    }
    if (code != EXIT_FINE) {
        releaseTiming();
        closeChosenDriver();
        return code;
    }

    // What the driver claims for the buffers it has made.
    noteCall(asioGetLatencies(&r.inputLatency, &r.outputLatency), "getLatencies");
    waitForRun(seconds, pingsFinished, pingProgress);
    endRun(&r.setup);
    closeChosenDriver();
    releaseTiming();
    summarise(&r);

    if (pingRun.lost.load()) {
        code = fail(EXIT_CHECK_MISSED, "ping %ld did not come back on input %ld within 2 s: the "
                    "cable or the channels are likely wrong", pingRun.sent, options.inChannel);
    } else if (pingRun.resolved.load() < pingRun.wanted) {
        code = fail(EXIT_CHECK_MISSED, "only %ld of %ld pings came back in %g s; the driver made %ld "
                    "buffer switches", pingRun.resolved.load(), pingRun.wanted, seconds,
                    r.setup.switches);
    }
    if (options.json)
        printJson(r, code);
    else
        printText(r);
    return code;
}
