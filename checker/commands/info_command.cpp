// quorvelcheck info: the driver's figures, every channel, the rates it accepts, its latencies and
// clocks.
#include "checker/commands/commands.h"

#include "drivers/driver_loading.h"
#include "engine/sample_types.h"

#include <math.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>

InfoResults infoResults;

static const char *channelsFault(const ASIOChannelInfo *rows, long count)
{
    for (long i = 0; i < count; i++) {
        if (!textEnds(rows[i].name, sizeof rows[i].name))
            return "channel name";
    }
    return nullptr;
}

static const char *infoResultsFault(const void *copy)
{
    const InfoResults &r = *static_cast<const InfoResults *>(copy);
    const char *fault = inRange(r.stage, INFO_NOTHING, INFO_DONE) ? figuresFault(r.figures) : "stage";
    if (!fault && !inRange(r.listedInputs, 0, MAX_LISTED_CHANNELS))
        fault = "listedInputs";
    if (!fault && !inRange(r.listedOutputs, 0, MAX_LISTED_CHANNELS))
        fault = "listedOutputs";
    if (!fault && !inRange(r.clockCount, 0, MAX_CLOCKS))
        fault = "clockCount";
    if (!fault)
        fault = channelsFault(r.inputs, r.listedInputs);
    if (!fault)
        fault = channelsFault(r.outputs, r.listedOutputs);
    for (long i = 0; !fault && i < r.clockCount; i++)
        fault = textEnds(r.clocks[i].name, sizeof r.clocks[i].name) ? nullptr : "clock name";
    return fault;
}

extern const RecordSpec infoRecord = {&infoResults, sizeof infoResults, "info", infoResultsFault};

static long listed(long count)
{
    return count < 0 ? 0 : count > MAX_LISTED_CHANNELS ? long(MAX_LISTED_CHANNELS) : count;
}

static void askChannels(ASIOChannelInfo *rows, long count, ASIOBool isInput)
{
    for (long i = 0; i < count; i++) {
        rows[i] = ASIOChannelInfo();
        rows[i].channel = i;
        rows[i].isInput = isInput;
        noteCall(asioGetChannelInfo(&rows[i]), "getChannelInfo(%s %ld)", isInput ? "input" : "output", i);
        rows[i].name[sizeof rows[i].name - 1] = '\0';
    }
}

// Each part is handed over as soon as it is measured.
static void gather(InfoResults *r)
{
    readRecordFigures(&r->figures);
    noteCall(r->figures.bufferSizeResult, "getBufferSize");
    noteCall(r->figures.sampleRateResult, "getSampleRate");
    noteCall(r->figures.channelsResult, "getChannels");
    r->stage = INFO_FIGURES;
    publishRecord(&infoResults);

    for (int i = 0; i < PROBE_RATES; i++)
        r->rateAnswers[i] = asioCanSampleRate(probeRates[i]);
    r->stage = INFO_RATES;
    publishRecord(&infoResults);

    r->listedInputs = listed(r->figures.inputChannels);
    r->listedOutputs = listed(r->figures.outputChannels);
    askChannels(r->inputs, r->listedInputs, 1);
    askChannels(r->outputs, r->listedOutputs, 0);
    r->stage = INFO_CHANNELS;
    publishRecord(&infoResults);

    r->inputLatency = r->outputLatency = 0;
    r->latencyResult = noteCall(asioGetLatencies(&r->inputLatency, &r->outputLatency), "getLatencies");
    r->stage = INFO_LATENCIES;
    publishRecord(&infoResults);

    memset(r->clocks, 0, sizeof r->clocks);
    r->clockCount = MAX_CLOCKS;
    if (noteCall(asioGetClockSources(r->clocks, &r->clockCount), "getClockSources") != ASE_OK)
        r->clockCount = 0;
    r->clockCount = r->clockCount < 0 ? 0 : r->clockCount > MAX_CLOCKS ? long(MAX_CLOCKS) : r->clockCount;
    for (long i = 0; i < r->clockCount; i++)
        r->clocks[i].name[sizeof r->clocks[i].name - 1] = '\0';
    r->stage = INFO_DONE;
    publishRecord(&infoResults);
    publishRecord(&callNotes);
}

static double framesToMs(long frames, double rate)
{
    return rate > 0 && isfinite(rate) ? frames / rate * 1000.0 : NAN;
}

static void printChannels(const char *heading, const ASIOChannelInfo *rows, long count, long claimed)
{
    printf("%s:\n", heading);
    if (count == 0) {
        printf("  none\n");
        return;
    }
    printf("  %4s  %-31s  %5s  %-6s  %-20s  %5s\n", "#", "name", "group", "active", "type", "bytes");
    for (long i = 0; i < count; i++) {
        const SampleTypeEntry *type = lookupSampleType(rows[i].type);
        char unknown[32];
        snprintf(unknown, sizeof unknown, "unknown type %ld", rows[i].type);
        printf("  %4ld  %-31s  %5ld  %-6s  %-20s  %5d\n", i, rows[i].name, rows[i].channelGroup,
               rows[i].isActive ? "yes" : "no", type->name ? type->name : unknown, type->bytes);
    }
    if (claimed > count)
        printf("  ... %ld more not listed\n", claimed - count);
}

void printInfoText(const CheckerOptions &, int index, const SessionOutcome &, int exitCode)
{
    if (!resultsStand(exitCode))
        return;
    const InfoResults &r = infoResults;
    const DriverFigures &f = r.figures;
    char rate[32], name[32];
    printDriverHeading(index);
    if (openedDriver.initialised)
        printf("Driver name: %s, version %ld\n", openedDriver.name, openedDriver.version);
    if (r.stage >= INFO_FIGURES) {
        printf("Buffer sizes: min %ld, max %ld, preferred %ld, granularity %ld\n", f.minSize,
               f.maxSize, f.preferredSize, f.granularity);
        formatRate(f.sampleRate, rate, sizeof rate);
        printf("Sample rate: %s Hz\n", rate);
    }
    if (r.stage >= INFO_RATES) {
        printf("Sample rates, as canSampleRate answers:\n");
        for (int i = 0; i < PROBE_RATES; i++) {
            formatRate(probeRates[i], rate, sizeof rate);
            printf("  %6s Hz  %-20s %s\n", rate, asioErrorName(r.rateAnswers[i], name, sizeof name),
                   r.rateAnswers[i] == ASE_OK ? "accepted" : "refused");
        }
    }
    if (r.stage >= INFO_FIGURES)
        printf("Channels: %ld inputs, %ld outputs\n", f.inputChannels, f.outputChannels);
    if (r.stage >= INFO_CHANNELS) {
        printChannels("Inputs", r.inputs, r.listedInputs, f.inputChannels);
        printChannels("Outputs", r.outputs, r.listedOutputs, f.outputChannels);
    }
    if (r.stage >= INFO_LATENCIES) {
        printf("Latencies: input %ld frames (%.3f ms), output %ld frames (%.3f ms)\n", r.inputLatency,
               framesToMs(r.inputLatency, f.sampleRate), r.outputLatency,
               framesToMs(r.outputLatency, f.sampleRate));
    }
    if (r.stage >= INFO_DONE) {
        printf("Clock sources:%s\n", r.clockCount == 0 ? " none" : "");
        for (long i = 0; i < r.clockCount; i++) {
            printf("  %4ld  %-31s%s\n", r.clocks[i].index, r.clocks[i].name,
                   r.clocks[i].isCurrentSource ? "  current" : "");
        }
    }
    printCallNotes();
}

static void jsonChannels(const char *key, const ASIOChannelInfo *rows, long count)
{
    jsonBeginArray(key);
    for (long i = 0; i < count; i++) {
        const SampleTypeEntry *type = lookupSampleType(rows[i].type);
        jsonBeginObject(nullptr);
        jsonInteger("channel", i);
        jsonText("name", rows[i].name);
        jsonInteger("group", rows[i].channelGroup);
        jsonBool("active", rows[i].isActive != 0);
        jsonInteger("type", rows[i].type);
        jsonText("type_name", type->name);
        jsonInteger("bytes", type->bytes);
        jsonEndObject();
    }
    jsonEndArray();
}

// The buffer sizes, rate, the rates' answers and the channel counts, as far as they were measured.
static void jsonFigures(const InfoResults &r)
{
    const DriverFigures &f = r.figures;
    char name[32];
    if (r.stage >= INFO_FIGURES) {
        jsonBeginObject("buffer_size");
        jsonInteger("min", f.minSize);
        jsonInteger("max", f.maxSize);
        jsonInteger("preferred", f.preferredSize);
        jsonInteger("granularity", f.granularity);
        jsonEndObject();
        jsonNumber("sample_rate", f.sampleRate);
    }
    if (r.stage >= INFO_RATES) {
        jsonBeginArray("sample_rates");
        for (int i = 0; i < PROBE_RATES; i++) {
            jsonBeginObject(nullptr);
            jsonNumber("rate", probeRates[i]);
            jsonText("answer", asioErrorName(r.rateAnswers[i], name, sizeof name));
            jsonBool("accepted", r.rateAnswers[i] == ASE_OK);
            jsonEndObject();
        }
        jsonEndArray();
    }
    if (r.stage >= INFO_FIGURES) {
        jsonInteger("input_channels", f.inputChannels);
        jsonInteger("output_channels", f.outputChannels);
    }
}

void writeInfoDocument(const CheckerOptions &options, int index, const SessionOutcome &outcome,
                       int exitCode)
{
    const InfoResults &r = infoResults;
    const DriverFigures &f = r.figures;
    if (!beginDocument(options, index, resultsStand(exitCode), exitCode))
        return;
    jsonFigures(r);
    if (r.stage >= INFO_CHANNELS) {
        jsonChannels("inputs", r.inputs, r.listedInputs);
        jsonChannels("outputs", r.outputs, r.listedOutputs);
    }
    if (r.stage >= INFO_LATENCIES) {
        jsonBeginObject("latency");
        jsonInteger("input_frames", r.inputLatency);
        jsonInteger("output_frames", r.outputLatency);
        jsonNumber("input_ms", framesToMs(r.inputLatency, f.sampleRate));
        jsonNumber("output_ms", framesToMs(r.outputLatency, f.sampleRate));
        jsonEndObject();
    }
    if (r.stage >= INFO_DONE) {
        jsonBeginArray("clock_sources");
        for (long i = 0; i < r.clockCount; i++) {
            jsonBeginObject(nullptr);
            jsonInteger("index", r.clocks[i].index);
            jsonText("name", r.clocks[i].name);
            jsonBool("current", r.clocks[i].isCurrentSource != 0);
            jsonInteger("channel", r.clocks[i].associatedChannel);
            jsonInteger("group", r.clocks[i].associatedGroup);
            jsonEndObject();
        }
        jsonEndArray();
    }
    jsonCallNotes();
    jsonSessionEnd(outcome, exitCode);
}

static int infoSession(const CheckerOptions &options)
{
    loadDriverList();
    int index = 0;
    int code = findDriver(options.driver, &index);
    if (code == EXIT_FINE)
        code = openChosenDriver(index);
    if (code == EXIT_FINE)
        gather(&infoResults);
    closeChosenDriver();
    return code;
}

int measureInfo(const CheckerOptions &options, int, const char *arguments, SessionOutcome *outcome)
{
    return measureSession(options, &infoResults, sizeof infoResults, infoSession, arguments, outcome);
}

static int infoCommand(const CheckerOptions &options)
{
    return runDriverCommand(options, measureInfo, writeInfoDocument, printInfoText);
}

static const char *const infoHelp =
    "usage: quorvelcheck info DRIVER [--json]\n"
    "\n"
    "Loads and initialises the driver (on failure: its error message, exit 3) and shows its name\n"
    "and version, buffer sizes, current sample rate and which of 44.1 to 384 kHz it accepts,\n"
    "every channel (name, group, active, sample type), latencies and clock sources. Every driver\n"
    "call that does not answer ASE_OK is shown with its answer.\n";

extern const CommandSpec infoCommandSpec = {
    "info", "info DRIVER", "the driver's figures, channels, rates, latencies, clocks", infoHelp,
    WORKER_OPTIONS, false, requireDriver, infoCommand, infoSession,
};
