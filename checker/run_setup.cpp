#include "checker/checker.h"

#include "drivers/driver_loading.h"
#include "engine/loopback.h"

#include <math.h>
#include <stdio.h>

void formatRate(double rate, char *out, size_t size)
{
    snprintf(out, size, "%.10g", rate);
}

static void noteFigureCalls(const DriverFigures &figures)
{
    noteCall(figures.bufferSizeResult, "getBufferSize");
    noteCall(figures.sampleRateResult, "getSampleRate");
    noteCall(figures.channelsResult, "getChannels");
    noteCall(figures.firstOutputResult, "getChannelInfo(output 0)");
}

static bool powerOfTwo(long n)
{
    return n > 0 && (n & (n - 1)) == 0;
}

// The driver's sizes: min <= N <= max, and a granularity > 0 counts up from min, -1 means powers of
// two, and anything else (0: min and max are equal) allows the preferred size only.
static bool sizeAllowed(const DriverFigures &f, long n)
{
    if (n < f.minSize || n > f.maxSize)
        return false;
    if (f.granularity > 0)
        return (n - f.minSize) % f.granularity == 0;
    if (f.granularity == -1)
        return powerOfTwo(n);
    return n == f.preferredSize;
}

int prepareRun(const CheckerOptions &options, RunSetup *setup)
{
    char rate[32];
    readDriverFigures(&setup->figures);
    setup->originalRate = 0;

    if (options.rate > 0) {
        formatRate(options.rate, rate, sizeof rate);
        char name[32];
        ASIOError can = asioCanSampleRate(options.rate);
        if (can != ASE_OK) {
            return fail(EXIT_USAGE, "the driver refuses %s Hz (canSampleRate answered %s)", rate,
                        asioErrorName(can, name, sizeof name));
        }
        double previous = setup->figures.sampleRate;
        ASIOError set = noteCall(asioSetSampleRate(options.rate), "setSampleRate(%s)", rate);
        if (set != ASE_OK) {
            return fail(EXIT_DRIVER, "the driver accepts %s Hz but setSampleRate answered %s", rate,
                        asioErrorName(set, name, sizeof name));
        }
        if (previous != options.rate && previous > 0 && isfinite(previous))
            setup->originalRate = previous;
        readDriverFigures(&setup->figures);
    }
    noteFigureCalls(setup->figures);

    const DriverFigures &f = setup->figures;
    setup->bufferSize = f.preferredSize;
    if (options.bufferSize > 0) {
        if (!sizeAllowed(f, options.bufferSize)) {
            const char *rule = f.granularity > 0 ? "steps of the granularity from min"
                               : f.granularity == -1 ? "a power of two"
                                                     : "the preferred size only";
            return fail(EXIT_USAGE, "buffer size %ld is not one the driver takes: min %ld, max %ld, "
                        "preferred %ld, granularity %ld (%s)", options.bufferSize, f.minSize,
                        f.maxSize, f.preferredSize, f.granularity, rule);
        }
        setup->bufferSize = options.bufferSize;
    }
    double sampleRate = f.sampleRate;
    setup->periodUs = sampleRate > 0 && isfinite(sampleRate) && setup->bufferSize > 0
                          ? setup->bufferSize / sampleRate * 1e6
                          : 0;
    return EXIT_FINE;
}

int beginRun(const ASIOCallbacks *callbacks, RunSetup *setup)
{
    ASIOError begun = beginLoopback(callbacks, setup->bufferSize);
    setup->startTicks = performanceTicks();
    if (begun != ASE_OK) {
        endLoopback();
        char name[32];
        return fail(EXIT_DRIVER, "the driver could not be started: createBuffers or start answered %s",
                    asioErrorName(begun, name, sizeof name));
    }
    return EXIT_FINE;
}

void waitForRun(double seconds, bool (*finished)(), void (*progress)(char *line, size_t size))
{
    bool console = progressWanted();
    int64_t started = performanceTicks();
    for (;;) {
        double left = seconds * 1e6 - ticksToUs(performanceTicks() - started);
        if (left <= 0 || (finished && finished()))
            break;
        pumpMessages(left > 250e3 ? 250 : static_cast<DWORD>(left / 1000) + 1);
        if (console && progress) {
            char line[120];
            progress(line, sizeof line);
            showProgress("%s", line);
        }
    }
    clearProgress();
}

void endRun(RunSetup *setup)
{
    setup->endTicks = performanceTicks();
    endLoopback();
    setup->switches = loopbackState.switchCount.load();
    if (setup->originalRate > 0) {
        char rate[32];
        formatRate(setup->originalRate, rate, sizeof rate);
        noteCall(asioSetSampleRate(setup->originalRate), "setSampleRate(%s) after the run", rate);
    }
}
