// quorvelcheck latency --sweep: the round trip through the cable at every buffer size the driver
// allows, at each rate asked for, every setting measured several times with buffers made afresh.
#include "checker/commands/commands.h"

#include "drivers/driver_loading.h"
#include "engine/loopback.h"

#include <algorithm>
#include <math.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <vector>

SweepResults sweepResults;

const char *sweepResultsFault(const void *copy)
{
    const SweepResults &r = *static_cast<const SweepResults *>(copy);
    if (!inRange(r.stage, RUN_NOTHING, RUN_STOPPED))
        return "stage";
    if (!inRange(r.repeats, 0, MAX_SWEEP_REPEATS))
        return "repeats";
    if (!inRange(r.settingCount, 0, MAX_SWEEP_SETTINGS))
        return "settingCount";
    if (!inRange(r.runningSetting, -1, MAX_SWEEP_SETTINGS - 1))
        return "runningSetting";
    for (const SweepSetting &s : r.settings) {
        if (!inRange(s.repeatsRun, 0, MAX_SWEEP_REPEATS))
            return "settings.repeatsRun";
    }
    return nullptr;
}

// The rates to sweep: --rates as given, every standard rate canSampleRate accepts for "all", or
// the current one. Refused rates given by name stay in: their settings say so.
static int sweepRates(const CheckerOptions &options, double current, double *rates)
{
    int count = 0;
    if (!options.rates) {
        rates[count++] = current;
    } else if (strcmp(options.rates, "all") == 0) {
        for (double rate : probeRates) {
            if (count < MAX_SWEEP_RATES && asioCanSampleRate(rate) == ASE_OK)
                rates[count++] = rate;
        }
    } else {
        for (const char *at = options.rates; *at && count < MAX_SWEEP_RATES;) {
            char *end = nullptr;
            rates[count++] = strtod(at, &end);
            at = *end == ',' ? end + 1 : end;
        }
    }
    return count;
}

// One repeat of a setting: buffers made, pings sent and found, stop and dispose. The median of the
// pings that came back, -1 when none did; the first failing answer in *error.
static int64_t measureOnce(const CheckerOptions &options, SweepSetting *s, bool first, ASIOError *error)
{
    SweepResults &r = sweepResults;
    *error = ASE_OK;
    // Pings far enough apart for the longest round trip a buffer this size makes, and never
    // closer than 50 ms; the first once the stream has gone round twice.
    int64_t interval = std::max<int64_t>(static_cast<int64_t>(s->rate * 0.05), 8 * s->size + 4096);
    int64_t firstAt = 4 * s->size;
    double seconds = (firstAt + options.pings * interval) / s->rate + 2.5;
    prepareTiming(seconds, s->size / s->rate * 1e6);
    preparePingsAt(options.outChannel, options.inChannel, loopbackState.outputChannels, r.outType,
                   r.inType, s->size, s->rate, options.pings, firstAt, interval);
    resetMessageCounts(options.timeInfo);
    ASIOError created = createLoopbackBuffers(&pingCallbacks, s->size);
    if (created != ASE_OK || !pingBuffersPresent()) {
        endLoopback();
        *error = created != ASE_OK ? created : static_cast<ASIOError>(ASE_NotPresent);
        return -1;
    }
    if (first)
        asioGetLatencies(&s->reportedIn, &s->reportedOut);
    ASIOError started = asioStart();
    if (started == ASE_OK)
        waitForRun(seconds, pingsFinished, nullptr);
    endLoopback();
    if (started != ASE_OK) {
        *error = started;
        return -1;
    }
    int64_t trips[MAX_PINGS];
    long found = 0;
    for (long k = 0; k < pingRun.sent; k++) {
        if (pingRun.roundTrip[k] >= 0)
            trips[found++] = pingRun.roundTrip[k];
    }
    if (found == 0)
        return -1;
    std::sort(trips, trips + found);
    return trips[(found - 1) / 2];
}

static void summariseSetting(SweepSetting *s, double tolerance)
{
    std::vector<int64_t> trips;
    for (int k = 0; k < s->repeatsRun; k++) {
        if (s->roundTrip[k] >= 0)
            trips.push_back(s->roundTrip[k]);
    }
    s->measured = !trips.empty();
    if (!s->measured)
        return;
    std::sort(trips.begin(), trips.end());
    s->median = trips[(trips.size() - 1) / 2];
    s->spread = trips.back() - trips.front();
    s->difference = static_cast<long>(s->reportedIn + s->reportedOut - s->median);
    s->outsideTolerance = tolerance >= 0 && fabs(static_cast<double>(s->difference)) > tolerance;
}

// The driver opened and the cable's channels checked. 0, or the first failure's status.
static int openSweep(const CheckerOptions &options, SweepResults *r, DriverFigures *figures)
{
    r->tolerance = options.tolerance;
    r->repeats = static_cast<int>(options.repeat);
    r->runningSetting = -1;
    r->outChannel = options.outChannel;
    r->inChannel = options.inChannel;
    loadDriverList();
    int index = 0;
    int code = findDriver(options.driver, &index);
    if (code == EXIT_FINE)
        code = openChosenDriver(index);
    if (code == EXIT_FINE) {
        readDriverFigures(figures);
        code = checkCable(options, *figures, pingTypeSupported, "a little-endian integer or float type",
                          &r->outType, &r->inType);
    }
    return code;
}

// Every allowed size at one rate, each setting measured `repeats` times.
static void sweepRate(const CheckerOptions &options, double rate, double original, SweepResults *r)
{
    ASIOError set = ASE_OK;
    if (rate != original) {
        rememberRateToRestore(original);
        set = asioCanSampleRate(rate);
        if (set == ASE_OK)
            set = asioSetSampleRate(rate);
    }
    DriverFigures figures;
    readDriverFigures(&figures);
    long sizes[MAX_SWEEP_SIZES];
    int sizeCount = set == ASE_OK ? allowedBufferSizes(figures.minSize, figures.maxSize,
                                                       figures.preferredSize, figures.granularity,
                                                       sizes, MAX_SWEEP_SIZES)
                                  : 1;
    if (set != ASE_OK || !usableRate(rate))
        sizes[0] = figures.preferredSize;
    for (int z = 0; z < sizeCount && r->settingCount < MAX_SWEEP_SETTINGS; z++) {
        SweepSetting &s = r->settings[r->settingCount];
        memset(&s, 0, sizeof s);
        s.rate = rate;
        s.size = sizes[z];
        r->runningSetting = r->settingCount++;
        publishRecord(&sweepResults);
        if (set != ASE_OK || !usableRate(rate) || s.size <= 0) {
            s.error = set != ASE_OK ? set : static_cast<ASIOError>(ASE_InvalidParameter);
            continue;
        }
        for (int repeat = 0; repeat < r->repeats; repeat++) {
            s.roundTrip[repeat] = measureOnce(options, &s, repeat == 0, &s.error);
            s.repeatsRun = repeat + 1;
            if (s.error != ASE_OK)
                break;
        }
        summariseSetting(&s, r->tolerance);
        if (progressWanted())
            showProgress("latency --sweep: %d settings", r->settingCount);
    }
}

// The sweep's status: the settings outside the tolerance, or those where no ping came back.
static int sweepVerdict(const SweepResults &r)
{
    char rateText[32], list[200] = "";
    int outside = 0, lost = 0;
    for (int k = 0; k < r.settingCount; k++) {
        const SweepSetting &s = r.settings[k];
        lost += !s.measured;
        if (!s.outsideTolerance)
            continue;
        formatRate(s.rate, rateText, sizeof rateText);
        if (outside++ < 6) {
            snprintf(list + strlen(list), sizeof list - strlen(list), "%s%ld frames at %s Hz (%+ld)",
                     outside > 1 ? ", " : "", s.size, rateText, s.difference);
        }
    }
    if (outside) {
        return fail(EXIT_CHECK_MISSED, "the driver's claim is off by more than %g frames at %d "
                    "setting%s: %s", r.tolerance, outside, outside == 1 ? "" : "s", list);
    }
    if (lost)
        return fail(EXIT_CHECK_MISSED, "no ping came back at %d of %d settings", lost, r.settingCount);
    return EXIT_FINE;
}

int sweepSession(const CheckerOptions &options)
{
    SweepResults &r = sweepResults;
    DriverFigures figures;
    int code = openSweep(options, &r, &figures);
    if (code != EXIT_FINE) {
        publishRecord(&callNotes);
        closeChosenDriver();
        return code;
    }
    double original = figures.sampleRate;
    double rates[MAX_SWEEP_RATES];
    int rateCount = sweepRates(options, original, rates);
    r.stage = RUN_STARTED;
    publishRecord(&sweepResults);
    for (int k = 0; k < rateCount; k++)
        sweepRate(options, rates[k], original, &r);
    clearProgress();
    r.runningSetting = -1;
    r.stage = RUN_STOPPED;
    closeChosenDriver();
    publishRecord(&sweepResults);
    publishRecord(&callNotes);
    return sweepVerdict(r);
}

// The statuses a sweep is shown after; any other ends the command with its error alone.
static bool sweepStands(int code)
{
    return code == EXIT_FINE || code == EXIT_CHECK_MISSED || code == EXIT_CRASHED ||
           code == EXIT_INTERRUPTED;
}

void printSweepText(const CheckerOptions &, int index, const SessionOutcome &, int exitCode)
{
    if (!sweepStands(exitCode))
        return;
    const SweepResults &r = sweepResults;
    char out[32], in[32], answer[32];
    printDriverHeading(index);
    printf("Latency sweep: output %ld (%s) to input %ld (%s), %d repeat%s per setting, buffers "
           "made afresh each time\n", r.outChannel, typeText(r.outType, out, sizeof out), r.inChannel,
           typeText(r.inType, in, sizeof in), r.repeats, r.repeats == 1 ? "" : "s");
    printf("  %8s  %6s  %8s  %6s  %8s  %10s   (frames; measured is the median of the repeats)\n",
           "rate", "size", "measured", "spread", "reported", "difference");
    for (int k = 0; k < r.settingCount; k++) {
        const SweepSetting &s = r.settings[k];
        char rate[32];
        formatRate(s.rate, rate, sizeof rate);
        long reported = s.reportedIn + s.reportedOut;
        if (s.error != ASE_OK) {
            printf("  %8s  %6ld  not measured: %s\n", rate, s.size,
                   asioErrorName(s.error, answer, sizeof answer));
        } else if (!s.measured) {
            printf("  %8s  %6ld  %8s  %6s  %8ld\n", rate, s.size, "lost", "", reported);
        } else {
            printf("  %8s  %6ld  %8lld  %6lld  %8ld  %+10ld%s\n", rate, s.size,
                   static_cast<long long>(s.median), static_cast<long long>(s.spread), reported,
                   s.difference, s.outsideTolerance ? "  over --tolerance" : "");
        }
    }
    printCallNotes();
}

void writeSweepDocument(const CheckerOptions &options, int index, const SessionOutcome &outcome,
                        int exitCode)
{
    const SweepResults &r = sweepResults;
    char answer[32];
    if (!beginDocument(options, index, sweepStands(exitCode), exitCode))
        return;
    jsonBool("sweep", true);
    jsonCable(r.outChannel, r.inChannel, r.outType, r.inType);
    jsonInteger("repeats", r.repeats);
    jsonNumber("tolerance_frames", r.tolerance >= 0 ? r.tolerance : NAN);
    jsonBeginArray("settings");
    for (int k = 0; k < r.settingCount; k++) {
        const SweepSetting &s = r.settings[k];
        jsonBeginObject(nullptr);
        jsonNumber("rate", s.rate);
        jsonInteger("buffer_size", s.size);
        jsonText("error", s.error != ASE_OK ? asioErrorName(s.error, answer, sizeof answer) : nullptr);
        jsonBeginArray("round_trips");
        for (int repeat = 0; repeat < s.repeatsRun; repeat++) {
            if (s.roundTrip[repeat] >= 0)
                jsonInteger(nullptr, s.roundTrip[repeat]);
            else
                jsonNull(nullptr);
        }
        jsonEndArray();
        jsonNumber("measured_frames", s.measured ? static_cast<double>(s.median) : NAN);
        jsonNumber("spread_frames", s.measured ? static_cast<double>(s.spread) : NAN);
        jsonInteger("reported_input_frames", s.reportedIn);
        jsonInteger("reported_output_frames", s.reportedOut);
        jsonInteger("reported_frames", s.reportedIn + s.reportedOut);
        jsonNumber("difference_frames", s.measured ? static_cast<double>(s.difference) : NAN);
        jsonBool("within_tolerance", !s.outsideTolerance);
        jsonEndObject();
    }
    jsonEndArray();
    jsonCallNotes();
    jsonSessionEnd(outcome, exitCode);
}

int measureSweep(const CheckerOptions &options, int, const char *arguments, SessionOutcome *outcome)
{
    return measureSession(options, &sweepResults, sizeof sweepResults, sweepSession, arguments, outcome);
}
