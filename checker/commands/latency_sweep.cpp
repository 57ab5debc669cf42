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

static const char *sweepResultsFault(const void *copy)
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
    if (const char *fault = notificationsFault(r.notifications))
        return fault;
    for (long k = 0; k < r.notifications.kept; k++) {
        if (!inRange(r.notifications.items[k].run, 0, MAX_SWEEP_SETTINGS - 1))
            return "notifications' settings";
    }
    return nullptr;
}

extern const RecordSpec sweepRecord = {&sweepResults, sizeof sweepResults,
    "sweep", sweepResultsFault};

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

// The cable at the rate of the moment: its channels exist and the pings can use their types.
struct SweepCable {
    long outputs;  // the driver's outputs: the input's element follows them in the buffer array
    long outType, inType;
};

// SWEEP_WHOLE, or what keeps the cable's channels from being measured at this rate.
static int checkCableAtRate(const CheckerOptions &options, const DriverFigures &figures,
                            SweepCable *cable, long *type)
{
    if (options.outChannel >= figures.outputChannels)
        return SWEEP_NO_OUTPUT;
    if (options.inChannel >= figures.inputChannels)
        return SWEEP_NO_INPUT;
    ASIOChannelInfo out = {}, in = {};
    out.channel = options.outChannel;
    out.type = in.type = -1;
    in.channel = options.inChannel;
    in.isInput = 1;
    asioGetChannelInfo(&out);
    asioGetChannelInfo(&in);
    cable->outputs = figures.outputChannels;
    cable->outType = out.type;
    cable->inType = in.type;
    *type = !pingTypeSupported(out.type) ? out.type : in.type;
    if (!pingTypeSupported(out.type))
        return SWEEP_OUTPUT_TYPE;
    return pingTypeSupported(in.type) ? SWEEP_WHOLE : SWEEP_INPUT_TYPE;
}

// The repeat's round trip: the median of its pings when every one came back, else -1.
static int64_t repeatRoundTrip()
{
    int64_t trips[MAX_PINGS];
    long found = 0;
    for (long k = 0; k < pingRun.sent; k++) {
        if (pingRun.roundTrip[k] < 0)
            return -1;
        trips[found++] = pingRun.roundTrip[k];
    }
    if (found == 0 || found < pingRun.wanted)
        return -1;
    std::sort(trips, trips + found);
    return trips[(found - 1) / 2];
}

static bool stopSetting(SweepSetting *s, int failure, ASIOError error, int repeat)
{
    s->failure = failure;
    s->error = error;
    s->failedRepeat = repeat + 1;
    return false;
}

// One repeat of a setting: buffers made, pings sent and found, stop and dispose; its round trip in
// s->roundTrip[repeat]. False when the setting cannot go on (s->failure says why).
static bool measureOnce(const CheckerOptions &options, const SweepCable &cable, SweepSetting *s,
                        int repeat)
{
    // Pings far enough apart for the longest round trip a buffer this size makes, and never
    // closer than 50 ms; the first once the stream has gone round twice.
    int64_t interval = std::max<int64_t>(static_cast<int64_t>(s->rate * 0.05), 8 * s->size + 4096);
    int64_t firstAt = 4 * s->size;
    double seconds = (firstAt + options.pings * interval) / s->rate + 2.5;
    if (!prepareTiming(seconds, s->size / s->rate * 1e6))
        return stopSetting(s, SWEEP_NO_MEMORY, ASE_OK, repeat);
    const PingPlan plan = {options.outChannel, options.inChannel, cable.outputs, cable.outType,
                           cable.inType, s->size, s->rate, options.pings, firstAt, interval};
    preparePings(plan);
    resetMessageCounts(options.timeInfo);
    setHostSupports(hostSupportedSelectors(options));
    ASIOError created = createLoopbackBuffers(&pingCallbacks, s->size);
    if (created != ASE_OK || !pingBuffersPresent()) {
        endLoopback();
        addNotifications(&sweepResults.notifications, switchTicks(),
                         static_cast<int>(s - sweepResults.settings));
        return stopSetting(s, created != ASE_OK ? SWEEP_CREATE_FAILED : SWEEP_NO_BUFFERS, created,
                           repeat);
    }
    if (repeat == 0)
        asioGetLatencies(&s->reportedIn, &s->reportedOut);
    ASIOError started = asioStart();
    int64_t windowStart = switchTicks();
    if (started == ASE_OK)
        waitForRun(seconds, pingsFinished, nullptr);
    TimingFigures timing;
    judgeRun(windowStart, switchTicks(), s->size / s->rate * 1e6, &timing);
    // A driver thread that crashed is held: the worker ends with the crash in this setting.
    endCrashedRun();
    endNotedLoopback();
    addNotifications(&sweepResults.notifications, windowStart,
                     static_cast<int>(s - sweepResults.settings));
    if (started != ASE_OK)
        return stopSetting(s, SWEEP_START_FAILED, started, repeat);
    if (runStopAsked())
        return stopSetting(s, SWEEP_INTERRUPTED, ASE_OK, repeat);
    // The pings as the callback left them once the driver was stopped.
    s->roundTrip[repeat] = repeatRoundTrip();
    StreamKept kept = judgeStreamKept(timing, s->size / s->rate * 1e6);
    if (kept.stalled || kept.starved) {
        s->longestGapUs = timing.longestGapUs;
        s->switchRatio = timing.ratio;
        return stopSetting(s, SWEEP_NOT_KEPT, ASE_OK, repeat);
    }
    return true;
}

static void summariseSetting(SweepSetting *s, double tolerance)
{
    std::vector<int64_t> trips;
    for (int k = 0; k < s->repeatsRun; k++) {
        if (s->roundTrip[k] >= 0)
            trips.push_back(s->roundTrip[k]);
    }
    s->repeatsBack = static_cast<int>(trips.size());
    s->lostRepeats = s->repeatsRun - s->repeatsBack;
    s->measured = s->failure == SWEEP_WHOLE && s->lostRepeats == 0 && s->repeatsBack > 0;
    if (trips.empty())
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

// The rate set (the driver asked only about a rate a run can be timed at), then the figures read
// again and the cable checked at it. SWEEP_WHOLE, or what keeps every size of this rate from
// being measured, with the driver's answer in *error.
static int setSweepRate(const CheckerOptions &options, double rate, double original,
                        DriverFigures *figures, SweepCable *cable, ASIOError *error, long *type)
{
    *error = ASE_OK;
    readDriverFigures(figures);
    if (!usableRate(rate))
        return SWEEP_RATE_UNUSABLE;
    if (rate != original) {
        rememberRateToRestore(original);
        *error = asioCanSampleRate(rate);
        if (*error != ASE_OK)
            return SWEEP_RATE_REFUSED;
        *error = asioSetSampleRate(rate);
        if (*error != ASE_OK)
            return SWEEP_RATE_NOT_SET;
    }
    // A device may have fewer channels, or other types, at another rate.
    readDriverFigures(figures);
    return checkCableAtRate(options, *figures, cable, type);
}

// Every allowed size at one rate, each setting measured `repeats` times.
static void sweepRate(const CheckerOptions &options, double rate, double original, SweepResults *r)
{
    DriverFigures figures;
    SweepCable cable = {};
    ASIOError error = ASE_OK;
    long type = 0;
    int failure = setSweepRate(options, rate, original, &figures, &cable, &error, &type);
    long sizes[MAX_SWEEP_SIZES] = {failure == SWEEP_WHOLE ? 0 : figures.preferredSize};
    int sizeCount = failure == SWEEP_WHOLE ? allowedBufferSizes(figures.minSize, figures.maxSize,
                                                                figures.preferredSize,
                                                                figures.granularity, sizes,
                                                                MAX_SWEEP_SIZES)
                                           : 1;
    if (sizeCount == 0) {
        sizes[sizeCount++] = figures.preferredSize;
        failure = SWEEP_NO_SIZE;
    }
    for (int z = 0; z < sizeCount && r->settingCount < MAX_SWEEP_SETTINGS && !runStopAsked(); z++) {
        SweepSetting &s = r->settings[r->settingCount];
        memset(&s, 0, sizeof s);
        s.rate = rate;
        s.size = sizes[z];
        s.failure = failure != SWEEP_WHOLE ? failure : s.size > 0 ? SWEEP_WHOLE : SWEEP_NO_SIZE;
        s.error = error;
        s.type = type;
        r->runningSetting = r->settingCount++;
        publishRecord(&sweepResults);
        for (int repeat = 0; s.failure == SWEEP_WHOLE && repeat < r->repeats; repeat++) {
            s.repeatsRun = repeat + 1;
            if (!measureOnce(options, cable, &s, repeat))
                s.roundTrip[repeat] = -1;
        }
        summariseSetting(&s, r->tolerance);
        if (progressWanted())
            showProgress("latency --sweep: %d settings", r->settingCount);
    }
}

// The sweep's status: every setting measured whole and within the tolerance, or a miss that names
// the settings (the first six of each kind).
static int sweepVerdict(const SweepResults &r)
{
    char rateText[32], outside[240] = "", broken[480] = "", problem[160];
    int outsideCount = 0, brokenCount = 0;
    for (int k = 0; k < r.settingCount; k++) {
        const SweepSetting &s = r.settings[k];
        formatRate(s.rate, rateText, sizeof rateText);
        if (s.outsideTolerance && outsideCount++ < 6) {
            snprintf(outside + strlen(outside), sizeof outside - strlen(outside),
                     "%s%ld frames at %s Hz (%+ld)", outsideCount > 1 ? ", " : "", s.size, rateText,
                     s.difference);
        }
        // A setting the user cut short, or the checker had no memory for, says nothing of the driver.
        bool judged = s.failure != SWEEP_INTERRUPTED && s.failure != SWEEP_NO_MEMORY;
        if (judged && !s.measured && brokenCount++ < 6) {
            sweepSettingProblem(r, s, problem, sizeof problem);
            snprintf(broken + strlen(broken), sizeof broken - strlen(broken),
                     "%s%ld frames at %s Hz (%s)", brokenCount > 1 ? ", " : "", s.size, rateText,
                     problem);
        }
    }
    if (!outsideCount && !brokenCount)
        return EXIT_FINE;
    char tolerance[320] = "";
    if (outsideCount) {
        snprintf(tolerance, sizeof tolerance, "the driver's claim is off by more than %g frames at "
                 "%d setting%s: %s%s", r.tolerance, outsideCount, outsideCount == 1 ? "" : "s",
                 outside, brokenCount ? "; " : "");
    }
    if (!brokenCount)
        return fail(EXIT_CHECK_MISSED, "%s", tolerance);
    return fail(EXIT_CHECK_MISSED, "%s%d of %d settings were not measured whole: %s", tolerance,
                brokenCount, r.settingCount, broken);
}

int sweepSession(const CheckerOptions &options)
{
    SweepResults &r = sweepResults;
    // Ctrl+C ends the sweep in the setting it is in; the settings after it are not begun.
    stopAtSafePoints();
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
    for (int k = 0; k < rateCount && !runStopAsked(); k++)
        sweepRate(options, rates[k], original, &r);
    clearProgress();
    r.runningSetting = -1;
    r.stage = RUN_STOPPED;
    closeChosenDriver();
    publishRecord(&sweepResults);
    publishRecord(&callNotes);
    // What the driver did comes first; then the checker's own shortfall, then the interrupt.
    code = sweepVerdict(r);
    for (int k = 0; code == EXIT_FINE && k < r.settingCount; k++) {
        if (r.settings[k].failure == SWEEP_NO_MEMORY)
            code = fail(EXIT_SHORTFALL, "the checker had no memory for the timing of a run: its own "
                        "lack, not the driver's");
    }
    return code == EXIT_FINE && runStopAsked() ? EXIT_INTERRUPTED : code;
}

int measureSweep(const CheckerOptions &options, int, const char *arguments, SessionOutcome *outcome)
{
    return measureSession(options, &sweepResults, sizeof sweepResults, sweepSession, arguments, outcome);
}
