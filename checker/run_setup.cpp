#include "checker/run_setup.h"

#include "checker/driver_session.h"
#include "checker/output.h"
#include "checker/switch_timing.h"
#include "checker/worker.h"
#include "drivers/driver_loading.h"
#include "engine/loopback.h"

#include <algorithm>
#include <math.h>
#include <stdio.h>
#include <vector>

void formatRate(double rate, char *out, size_t size)
{
    snprintf(out, size, "%.10g", rate);
}

bool usableRate(double rate)
{
    return isfinite(rate) && rate >= 1e3 && rate <= 1e8;
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

int openRun(const CheckerOptions &options, RunSetup *setup)
{
    loadDriverList();
    int code = findDriver(options.driver, &setup->index);
    if (code == EXIT_FINE)
        code = openChosenDriver(setup->index);
    if (code == EXIT_FINE)
        code = prepareRun(options, setup);
    return code;
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
        if (previous != options.rate && usableRate(previous)) {
            setup->originalRate = previous;
            rememberRateToRestore(previous);
        }
        ASIOError set = noteCall(asioSetSampleRate(options.rate), "setSampleRate(%s)", rate);
        if (set != ASE_OK) {
            return fail(EXIT_DRIVER, "the driver accepts %s Hz but setSampleRate answered %s", rate,
                        asioErrorName(set, name, sizeof name));
        }
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
        double left = seconds * 1e6 - ticksToUs(performanceTicks() - started);
        if ((poll && poll()) || left <= 0)
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

void judgeWindow(RunSetup *setup, TimingFigures *timing)
{
    setup->windowEnd = switchTicks();
    judgeRun(setup->windowStart, setup->windowEnd, setup->periodUs, timing);
    setup->elapsedS = timing->windowUs / 1e6;
}

void endRun(RunSetup *setup, TimingFigures *timing)
{
    endLoopback();
    if (timing)
        countArrivalsAfterJudgement(timing);
    setup->switchCount = loopbackState.switchCount.load();
}

int allowedBufferSizes(long minSize, long maxSize, long preferred, long granularity, long *sizes,
                       int room)
{
    std::vector<long> all;
    if (minSize > 0 && maxSize >= minSize) {
        if (granularity == -1) {
            for (long n = 1; n > 0 && n <= maxSize; n *= 2) {
                if (n >= minSize)
                    all.push_back(n);
            }
        } else if (granularity > 0) {
            for (long n = minSize; n <= maxSize && all.size() < 100000; n += granularity)
                all.push_back(n);
        }
        all.push_back(minSize);
        all.push_back(maxSize);
    }
    if (preferred > 0)
        all.push_back(preferred);
    std::sort(all.begin(), all.end());
    all.erase(std::unique(all.begin(), all.end()), all.end());
    if (static_cast<int>(all.size()) <= room) {
        std::copy(all.begin(), all.end(), sizes);
        return static_cast<int>(all.size());
    }
    // Spread over the range, the ends and the preferred size always among them.
    std::vector<long> picked = {all.front(), all.back(), preferred};
    for (int k = 1; static_cast<int>(picked.size()) < room + 8 && k < room - 1; k++)
        picked.push_back(all[all.size() * k / (room - 1)]);
    std::sort(picked.begin(), picked.end());
    picked.erase(std::unique(picked.begin(), picked.end()), picked.end());
    while (static_cast<int>(picked.size()) > room) {
        // Drop the one closest to a neighbour that is neither an end nor the preferred size.
        size_t drop = 1;
        long closest = -1;
        for (size_t k = 1; k + 1 < picked.size(); k++) {
            long gap = picked[k + 1] - picked[k - 1];
            if (picked[k] != preferred && (closest < 0 || gap < closest)) {
                closest = gap;
                drop = k;
            }
        }
        picked.erase(picked.begin() + drop);
    }
    std::copy(picked.begin(), picked.end(), sizes);
    return static_cast<int>(picked.size());
}

const char *typeText(long type, char *out, size_t size)
{
    const char *name = sampleTypeName(type);
    if (name)
        return name;
    snprintf(out, size, "unknown type %ld", type);
    return out;
}

int checkCable(const CheckerOptions &options, const DriverFigures &f, bool (*supported)(long type),
               const char *need, long *outType, long *inType)
{
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
    *outType = out.type;
    *inType = in.type;
    char text[32];
    if (!supported(out.type)) {
        return fail(EXIT_USAGE, "output %ld has sample type %s; this needs %s", options.outChannel,
                    typeText(out.type, text, sizeof text), need);
    }
    if (!supported(in.type)) {
        return fail(EXIT_USAGE, "input %ld has sample type %s; this needs %s", options.inChannel,
                    typeText(in.type, text, sizeof text), need);
    }
    return EXIT_FINE;
}
