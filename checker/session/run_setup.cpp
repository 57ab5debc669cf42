// A run of the loopback: prepared (rate and buffer size), begun, waited for, judged and ended.
#include "checker/session/session.h"

#include "drivers/driver_loading.h"
#include "engine/loopback.h"

#include <math.h>
#include <stdio.h>

static void noteFigureCalls(const DriverFigures &figures)
{
    noteCall(figures.bufferSizeResult, "getBufferSize");
    noteCall(figures.sampleRateResult, "getSampleRate");
    noteCall(figures.channelsResult, "getChannels");
    noteCall(figures.firstOutputResult, "getChannelInfo(output 0)");
}

void readRecordFigures(DriverFigures *figures)
{
    readDriverFigures(figures);
    figures->sampleType = nullptr;
}

const char *figuresFault(const DriverFigures &figures)
{
    // The parent looks the type up itself: an address from the worker means nothing here.
    if (figures.sampleType)
        return "figures.sampleType";
    const char *name = figures.firstOutput.name;
    return textEnds(name, sizeof figures.firstOutput.name) ? nullptr : "figures.firstOutput.name";
}

const char *runSetupFault(const RunSetup &setup)
{
    return figuresFault(setup.figures);
}

int openRun(const CheckerOptions &options, RunSetup *setup)
{
    int code = openNamedDriver(options.driver, &setup->index);
    if (code == EXIT_FINE)
        code = prepareRun(options, setup);
    return code;
}

int prepareRun(const CheckerOptions &options, RunSetup *setup)
{
    char rate[32];
    readRecordFigures(&setup->figures);
    setup->originalRate = 0;

    if (options.rate > 0) {
        formatRate(options.rate, rate, sizeof rate);
        char name[32];
        ASIOError can = asioCanSampleRate(options.rate);
        if (can != ASE_OK) {
            return fail(EXIT_USAGE, "the driver refuses %s Hz (canSampleRate answered %s)", rate,
                        asioErrorName(can, name, sizeof name));
        }
        // Whatever the driver reported is what it is set back to, usable or not.
        double previous = setup->figures.sampleRate;
        if (previous != options.rate) {
            setup->originalRate = previous;
            rememberRateToRestore(previous);
        }
        ASIOError set = noteCall(asioSetSampleRate(options.rate), "setSampleRate(%s)", rate);
        if (set != ASE_OK) {
            return fail(EXIT_DRIVER, "the driver accepts %s Hz but setSampleRate answered %s", rate,
                        asioErrorName(set, name, sizeof name));
        }
        readRecordFigures(&setup->figures);
    }
    noteFigureCalls(setup->figures);

    const DriverFigures &f = setup->figures;
    setup->bufferSize = f.preferredSize;
    if (options.bufferSize > 0) {
        if (!bufferSizeAllowed(f.minSize, f.maxSize, f.preferredSize, f.granularity,
                               options.bufferSize)) {
            const char *rule = f.granularity > 0 ? "steps of the granularity from min"
                               : f.granularity == -1 ? "a power of two"
                                                     : "the preferred size only";
            return fail(EXIT_USAGE, "buffer size %ld is not one the driver takes: min %ld, max %ld, "
                        "preferred %ld, granularity %ld (%s)", options.bufferSize, f.minSize,
                        f.maxSize, f.preferredSize, f.granularity, rule);
        }
        setup->bufferSize = options.bufferSize;
    }
    if (setup->bufferSize <= 0) {
        return fail(EXIT_DRIVER, "the driver's preferred buffer size is %ld: a run needs a size "
                    "above 0 (give one with --buffer)", setup->bufferSize);
    }
    setup->periodUs = usableRate(f.sampleRate) ? setup->bufferSize / f.sampleRate * 1e6 : 0;
    return EXIT_FINE;
}

int beginRun(const ASIOCallbacks *callbacks, RunSetup *setup)
{
    const DriverFigures &f = setup->figures;
    long long channels = (f.outputChannels > 0 ? f.outputChannels : 0) +
                         static_cast<long long>(f.inputChannels > 0 ? f.inputChannels : 0);
    if (channels > MAX_BUFFER_ELEMENTS) {
        return fail(EXIT_DRIVER, "the driver claims %lld channels; a run gives buffers to at most "
                    "%d, so it was not asked for any", channels, MAX_BUFFER_ELEMENTS);
    }
    char name[32];
    ASIOError created = createLoopbackBuffers(callbacks, setup->bufferSize);
    if (created != ASE_OK) {
        endLoopback();
        return fail(EXIT_DRIVER, "the driver could not make its buffers: createBuffers(%ld frames) "
                    "answered %s", setup->bufferSize, asioErrorName(created, name, sizeof name));
    }
    ASIOError started = asioStart();
    setup->windowStart = switchTicks();
    beginCpuWindow();
    if (started != ASE_OK) {
        endLoopback();
        return fail(EXIT_DRIVER, "the driver could not be started: start answered %s",
                    asioErrorName(started, name, sizeof name));
    }
    return EXIT_FINE;
}

void waitForRun(double seconds, bool (*poll)(), void (*progress)(char *line, size_t size))
{
    bool console = progressWanted();
    int64_t started = performanceTicks();
    watchRun(seconds);
    for (;;) {
        drainArrivals();
        watchRunSwitches(arrivalRing.claimed.load());
        double left = seconds * 1e6 - ticksToUs(performanceTicks() - started);
        if ((poll && poll()) || left <= 0 || runCrashed() || runStopAsked())
            break;
        pumpMessages(left > 100e3 ? 100 : static_cast<unsigned long>(left / 1000) + 1);
        if (console && progress) {
            char line[120];
            progress(line, sizeof line);
            showProgress("%s", line);
        }
    }
    watchRun(0);
    clearProgress();
}

void endNotedLoopback()
{
    ASIOError stopped = ASE_OK, disposed = ASE_OK;
    endLoopback(&stopped, &disposed);
    noteCall(stopped, "stop");
    noteCall(disposed, "disposeBuffers");
}

void judgeWindow(RunSetup *setup, TimingFigures *timing)
{
    setup->windowEnd = switchTicks();
    CpuFigures cpu;
    endCpuWindow(&cpu);
    judgeRun(setup->windowStart, setup->windowEnd, setup->periodUs, timing);
    cpu.switches = timing->switches;
    timing->cpu = cpu;
    setup->elapsedS = timing->windowUs / 1e6;
}

void endRun(RunSetup *setup, TimingFigures *timing)
{
    // A crashed driver thread is held in the worker's filter: nothing more is asked of the driver.
    endCrashedRun();
    endNotedLoopback();
    if (timing)
        countArrivalsAfterJudgement(timing);
    setup->switchCount = loopbackState.switchCount.load();
}

// "there is no input 6: the driver has inputs 0 to 1". EXIT_USAGE.
static int noSuchChannel(const char *side, long channel, long count)
{
    if (count > 0)
        return fail(EXIT_USAGE, "there is no %s %ld: the driver has %ss 0 to %ld", side, channel, side,
                    count - 1);
    return fail(EXIT_USAGE, "there is no %s %ld: the driver has no %ss", side, channel, side);
}

int checkChannel(bool isInput, long channel, const DriverFigures &f, bool (*supported)(long type),
                 const char *need, long *type)
{
    const char *side = isInput ? "input" : "output";
    long count = isInput ? f.inputChannels : f.outputChannels;
    if (channel >= count)
        return noSuchChannel(side, channel, count);
    ASIOChannelInfo info = {};
    info.channel = channel;
    info.isInput = isInput;
    info.type = -1;
    noteCall(asioGetChannelInfo(&info), "getChannelInfo(%s %ld)", side, channel);
    *type = info.type;
    char text[32];
    if (!supported(info.type)) {
        return fail(EXIT_USAGE, "%s %ld has sample type %s; this needs %s", side, channel,
                    typeText(info.type, text, sizeof text), need);
    }
    return EXIT_FINE;
}

int checkCable(const CheckerOptions &options, const DriverFigures &f, bool (*supported)(long type),
               const char *need, long *outType, long *inType)
{
    // Both channels looked up before either is judged, as the call notes show them.
    if (options.outChannel >= f.outputChannels)
        return noSuchChannel("output", options.outChannel, f.outputChannels);
    if (options.inChannel >= f.inputChannels)
        return noSuchChannel("input", options.inChannel, f.inputChannels);
    int code = checkChannel(false, options.outChannel, f, supported, need, outType);
    if (code == EXIT_FINE)
        code = checkChannel(true, options.inChannel, f, supported, need, inType);
    return code;
}
