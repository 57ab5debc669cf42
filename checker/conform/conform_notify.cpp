// The notify phase: what the driver tells its host while streaming, and what it does when the host
// acts on it. A stream whose requests the host follows (a reset's round trip judged), a rate the
// host sets while streaming, notifications with no change behind them, and a host that supports
// nothing.
#include "checker/conform/phases.h"

#include "drivers/driver_loading.h"
#include "engine/loopback.h"

#include <math.h>
#include <stdio.h>
#include <string.h>
#include <vector>

// The first switch after a round trip is due within this long of the checker acting on the request.
static const double ROUND_TRIP_MS = 2000;
// The pace of a stream against a rate is counted over this long, and may be this far off (a ratio).
static const double PACE_SECONDS = 1.0;
static const double PACE_LOW = 0.75, PACE_HIGH = 1.33;
// Rates closer than this (a ratio) cannot be told apart by their pace with those bounds.
static const double RATES_APART = 1.4;
// Closer rates are told apart by this bound on the pace (44.1 kHz against 48 kHz is 8.8 % off), once
// this many switches were counted.
static const double PACE_CLOSE = 0.04;
static const long PACE_CLOSE_SWITCHES = 50;
// The same message twice within this long is one too many.
static const double REPEAT_MS = 1000;
// A stream of the phase lasts at least this long, whatever --seconds says.
static const double LEAST_SECONDS = 1.0;

bool startNotifyStream(ConformCheck check, long frames)
{
    beginConformRun(false, false, false);
    ASIOError created = createConformBuffers(frames);
    setConformStage(STAGE_RUNNING);
    ASIOError started = created == ASE_OK ? asioStart() : created;
    if (started == ASE_OK)
        return true;
    char answer[32];
    grade(check, VERDICT_FAIL, "%s answered %s", created != ASE_OK ? "createBuffers" : "start",
          asioErrorName(started, answer, sizeof answer));
    endLoopback();
    closeConformDriver();
    return false;
}

// The notifications of the phase's streams with a host that supports them, for notify.needless,
// with the rate current when each came.
struct Heard {
    Notification note;
    double rate;
    double ms;      // from the stream's start
    bool followed;  // in the followed stream, whose round trips are in `trips`
};
static std::vector<Heard> heard;

static void keepNotifications(double rate, int64_t streamStart, bool followed)
{
    Notification batch[32];
    long from = 0;
    double perUs = calibratedTicksPerUs();
    for (long got; (got = takeNotifications(from, batch, 32)) > 0; from += got) {
        for (long k = 0; k < got; k++)
            heard.push_back({batch[k], rate, (batch[k].ticks - streamStart) / perUs / 1000, followed});
    }
}

static double periodAt(long frames, double rate)
{
    return usableRate(rate) && frames > 0 ? frames / rate * 1e6 : 0;
}

// Streams on for `seconds`, pumping messages; the requests noted meanwhile join *requests. The
// switches that came, and their ratio to those `periodUs` promises (NAN when it is 0).
static double countPace(double seconds, double periodUs, long *requests, long *switches)
{
    long since = conformSwitchCount();
    int64_t began = performanceTicks();
    watchRun(seconds);
    double us = 0;
    while ((us = ticksToUs(performanceTicks() - began)) < seconds * 1e6 && !runStopAsked() &&
           !runCrashed()) {
        *requests |= pendingRequests();
        pumpMessages(20);
    }
    watchRun(0);
    endCrashedRun();
    *requests |= pendingRequests();
    *switches = conformSwitchCount() - since;
    return periodUs > 0 ? *switches / (us / periodUs) : NAN;
}

static bool paceHolds(double ratio)
{
    return ratio >= PACE_LOW && ratio <= PACE_HIGH;
}

// ---- notify.reset_round_trip: the requests of a stream followed, a reset's round trip judged

// What is inconsistent in the figures after a round trip; "" when nothing is.
static void figuresFault(const HostFigures &f, char *why, size_t size)
{
    char answer[32];
    *why = '\0';
    if (f.sizesResult != ASE_OK)
        snprintf(why, size, "getBufferSize answered %s", asioErrorName(f.sizesResult, answer, sizeof answer));
    else if (!(f.minSize > 0 && f.minSize <= f.preferredSize && f.preferredSize <= f.maxSize))
        snprintf(why, size, "buffer sizes min %ld, preferred %ld, max %ld", f.minSize, f.preferredSize,
                 f.maxSize);
    else if (f.rateResult != ASE_OK || !usableRate(f.sampleRate))
        snprintf(why, size, "getSampleRate answered %s, %g Hz",
                 asioErrorName(f.rateResult, answer, sizeof answer), f.sampleRate);
    else if (f.channelsResult != ASE_OK || f.inputs < 0 || f.outputs < 0 || f.inputs + f.outputs == 0)
        snprintf(why, size, "getChannels answered %s, %ld inputs and %ld outputs",
                 asioErrorName(f.channelsResult, answer, sizeof answer), f.inputs, f.outputs);
    else if (f.latencyResult != ASE_OK)
        snprintf(why, size, "getLatencies answered %s", asioErrorName(f.latencyResult, answer, sizeof answer));
}

static void changesText(const HostRoundTrip &trip, char *out, size_t size)
{
    *out = '\0';
    for (int f = 0; f < FIGURE_COUNT; f++) {
        if (!hostFigureChanged(trip.before, trip.after, f))
            continue;
        char before[64], after[64];
        hostFigureText(trip.before, f, before, sizeof before);
        hostFigureText(trip.after, f, after, sizeof after);
        size_t used = strlen(out);
        snprintf(out + used, size - used, "%s%s %s -> %s", used ? ", " : "", hostFigureName(f), before, after);
    }
    if (!*out)
        snprintf(out, size, "no figure changed");
}

// What is wrong with one followed trip, "" when nothing is: a step that failed or did not answer
// ASE_OK, figures that do not hold together after it, no switch or a late first one, a stream after
// it not kept or at another pace. The time to the first switch is the driver's part: from the
// moment the checker acted, not from the request.
static void tripFault(const HostRoundTrip &trip, char *why, size_t size)
{
    char answer[32];
    *why = '\0';
    if (trip.failedStep >= 0) {
        snprintf(why, size, "the round trip failed at %s: %s", tripStepName(trip.failedStep), trip.failure);
        return;
    }
    for (int step : {STEP_STOP, STEP_DISPOSE, STEP_SET_RATE, STEP_CREATE_BUFFERS, STEP_START}) {
        if (trip.made[step] && trip.answers[step] != ASE_OK) {
            snprintf(why, size, "%s answered %s in the round trip", tripStepName(step),
                     asioErrorName(trip.answers[step], answer, sizeof answer));
            return;
        }
    }
    char fault[200];
    figuresFault(trip.after, fault, sizeof fault);
    if (*fault) {
        snprintf(why, size, "after the round trip %s", fault);
        return;
    }
    double driverMs = trip.firstSwitchMs - trip.actedMs;
    if (trip.firstSwitchMs < 0) {
        snprintf(why, size, "no switch came after the round trip");
        return;
    }
    if (driverMs > ROUND_TRIP_MS) {
        snprintf(why, size, "the first switch after the round trip came %.0f ms after the checker acted; "
                 "due within %.0f ms", driverMs, ROUND_TRIP_MS);
        return;
    }
    const TimingFigures &t = trip.timing;
    streamKeptText(t, judgeStreamKept(t, trip.periodUs), fault, sizeof fault);
    if (!*fault && trip.periodUs > 0 && t.expected >= 20 && !paceHolds(t.ratio))
        snprintf(fault, sizeof fault, "%lld switches where %.1f were due at %ld frames (ratio %.3f)",
                 t.switches, t.expected, trip.bufferSize, t.ratio);
    if (*fault)
        snprintf(why, size, "the stream after the round trip: %s", fault);
}

// Every reset and buffer size trip of the stream, and every trip that failed: one at fault fails
// the check. False when there was none to judge.
static bool judgeResetTrips(const HostRoundTrips &all)
{
    const ConformCheck check = CHECK_NOTIFY_RESET_ROUND_TRIP;
    char evidence[900] = "";
    int judged = 0;
    for (int k = 0; k < all.count; k++) {
        const HostRoundTrip &trip = all.trips[k];
        bool reset = trip.requests & PENDING_RESET;
        if (!reset && !(trip.requests & PENDING_BUFFER_SIZE) && trip.failedStep < 0)
            continue;
        char what[64], why[320];
        if (reset)
            snprintf(what, sizeof what, "reset requested");
        else if (trip.requests & PENDING_BUFFER_SIZE)
            snprintf(what, sizeof what, "buffer size change to %ld requested", trip.size);
        else
            snprintf(what, sizeof what, "request 0x%lx", trip.requests);
        if (trip.shortfall) {
            leaveUnjudged(check, "%s after switch %lld: %s", what, trip.afterSwitch, trip.failure);
            return true;
        }
        tripFault(trip, why, sizeof why);
        if (*why) {
            grade(check, VERDICT_FAIL, "%s after switch %lld (round trip %d of %d): %s", what, trip.afterSwitch,
                  k + 1, all.count, why);
            return true;
        }
        char changes[240];
        changesText(trip, changes, sizeof changes);
        const TimingFigures &t = trip.timing;
        size_t used = strlen(evidence);
        snprintf(evidence + used, sizeof evidence - used, "%s%s after switch %lld; round trip: %s; first "
                 "switch %.0f ms after the checker acted; the stream after: %lld switches at %ld frames in "
                 "%.2f s", judged ? "; " : "", what, trip.afterSwitch, changes,
                 trip.firstSwitchMs - trip.actedMs, t.switches, trip.bufferSize, t.windowUs / 1e6);
        judged++;
    }
    if (judged)
        grade(check, VERDICT_PASS, "%s", evidence);
    return judged > 0;
}

static HostRoundTrips trips;

// The phase's first stream: every request followed as a host does; a reset's round trip judged.
static void followedStream(const CheckerOptions &options, int index, const DriverFigures &figures)
{
    beginFirstWanted({CHECK_NOTIFY_RESET_ROUND_TRIP, CHECK_NOTIFY_NEEDLESS});
    beginConformRun(false, false, false);
    RunSetup setup = {};
    setup.index = index;
    setup.figures = figures;
    setup.bufferSize = figures.preferredSize;
    setup.periodUs = periodAt(setup.bufferSize, figures.sampleRate);
    char answer[32];
    ASIOError created = createConformBuffers(setup.bufferSize);
    setConformStage(STAGE_RUNNING);
    ASIOError started = created == ASE_OK ? asioStart() : created;
    setup.windowStart = switchTicks();
    beginCpuWindow();
    if (started != ASE_OK) {
        endLoopback();
        for (ConformCheck check : {CHECK_NOTIFY_RESET_ROUND_TRIP, CHECK_NOTIFY_NEEDLESS})
            grade(check, VERDICT_FAIL, "%s answered %s", created != ASE_OK ? "createBuffers" : "start",
                  asioErrorName(started, answer, sizeof answer));
        return;
    }
    TimingFigures timing, *last = &timing;
    double seconds = options.seconds > LEAST_SECONDS ? options.seconds : LEAST_SECONDS;
    runWithRequests(RESET_FOLLOW, seconds, 0, &conformCallbacks, &setup, &timing, &trips, &last, nullptr,
                    nullptr);
    endCrashedRun();
    keepNotifications(figures.sampleRate, setup.windowStart, true);
    setConformStage(STAGE_STOPPING);
    if (!trips.failed)
        endLoopback();
    setConformStage(STAGE_STOPPED);
    if (runStopAsked() || !wanted(CHECK_NOTIFY_RESET_ROUND_TRIP))
        return;
    if (judgeResetTrips(trips))
        return;
    notRun(CHECK_NOTIFY_RESET_ROUND_TRIP, "the driver sent no reset or buffer size request in the %.1f s "
           "stream: nothing to judge", seconds);
}

// ---- notify.host_rate_change

double otherAcceptedRate(double rate)
{
    double best = 0, bestApart = 1;
    for (double candidate : probeRates) {
        if (candidate == rate || asioCanSampleRate(candidate) != ASE_OK)
            continue;
        double apart = candidate > rate ? candidate / rate : rate / candidate;
        if (apart > bestApart) {
            best = candidate;
            bestApart = apart;
        }
    }
    return best;
}

// Accepted: the driver said so (an announcement of the rate, or a reset whose round trip gives
// it) and streams at its pace.
static void judgeAccepted(int index, long frames, double old, double target, long requests, double ratio,
                          long switches, bool paceTells)
{
    const ConformCheck check = CHECK_NOTIFY_HOST_RATE_CHANGE;
    char oldText[32], targetText[32];
    formatRate(old, oldText, sizeof oldText);
    formatRate(target, targetText, sizeof targetText);
    if (requests & PENDING_RESET) {
        static HostRoundTrip trip;
        memset(&trip, 0, sizeof trip);
        trip.requests = PENDING_RESET;
        if (!followRequests(&trip, index, &conformCallbacks, frames, target)) {
            grade(check, VERDICT_FAIL, "setSampleRate(%s) answered ASE_OK and the driver asked for a reset; "
                  "the round trip failed at %s: %s", targetText, tripStepName(trip.failedStep), trip.failure);
            return;
        }
        long more = 0;
        double after = countPace(PACE_SECONDS, periodAt(trip.bufferSize, target), &more, &switches);
        if (trip.after.sampleRate != target) {
            char got[32];
            formatRate(trip.after.sampleRate, got, sizeof got);
            grade(check, VERDICT_FAIL, "setSampleRate(%s) answered ASE_OK and the driver asked for a reset; "
                  "after the round trip getSampleRate gives %s Hz", targetText, got);
        } else if (switches == 0 || (paceTells && !paceHolds(after))) {
            grade(check, VERDICT_FAIL, "setSampleRate(%s) answered ASE_OK, a reset followed; after the round "
                  "trip %ld switches in %.1f s where its pace wants a ratio of 1 (%.2f)", targetText,
                  switches, PACE_SECONDS, after);
        } else {
            grade(check, VERDICT_PASS, "setSampleRate(%s) answered ASE_OK and the driver asked for a reset; "
                  "after the round trip%s it streams at %s Hz (%ld switches in %.1f s, ratio %.2f)", targetText,
                  trip.made[STEP_SET_RATE] ? " (the new object came at another rate and was set to it, as "
                  "hosts do)" : "", targetText, switches, PACE_SECONDS, after);
        }
        return;
    }
    bool announced = (requests & PENDING_RATE) && announcedRate() == target;
    // Rates close together (44.1 kHz and 48 kHz) are told apart by a closer bound, over enough
    // switches; with fewer the pace cannot say which rate the stream keeps.
    bool closeTells = switches >= PACE_CLOSE_SWITCHES;
    bool holds = paceTells ? paceHolds(ratio) : fabs(ratio - 1) <= PACE_CLOSE;
    double reported = 0;
    ASIOError readBack = asioGetSampleRate(&reported);
    if (switches == 0) {
        grade(check, VERDICT_FAIL, "setSampleRate(%s) answered ASE_OK while streaming, and then no switch "
              "came in %.1f s", targetText, PACE_SECONDS);
    } else if (readBack != ASE_OK || reported != target) {
        char got[32], answer[32];
        formatRate(reported, got, sizeof got);
        grade(check, VERDICT_FAIL, "setSampleRate(%s) answered ASE_OK while streaming%s, but getSampleRate "
              "then answers %s with %s Hz", targetText, announced ? " and sampleRateDidChange announced it" : "",
              asioErrorName(readBack, answer, sizeof answer), got);
    } else if (!paceTells && !closeTells) {
        grade(check, VERDICT_WARN, "setSampleRate(%s) answered ASE_OK while streaming, but %ld switches in "
              "%.1f s are too few to tell %s Hz's pace from %s Hz's: not judged", targetText, switches,
              PACE_SECONDS, targetText, oldText);
    } else if (!holds) {
        grade(check, VERDICT_FAIL, "setSampleRate(%s) answered ASE_OK while streaming%s, but the switches "
              "keep another pace: %ld in %.1f s, a ratio of %.2f to %s Hz's (%s Hz was the rate before)",
              targetText, announced ? " and sampleRateDidChange announced it" : " and nothing was announced",
              switches, PACE_SECONDS, ratio, targetText, oldText);
    } else if (!announced) {
        grade(check, VERDICT_WARN, "setSampleRate(%s) answered ASE_OK while streaming and the switches "
              "follow it, but the driver announced nothing (no sampleRateDidChange, no reset request)",
              targetText);
    } else {
        grade(check, VERDICT_PASS, "setSampleRate(%s) answered ASE_OK while streaming; sampleRateDidChange(%s) "
              "came and the switches follow it (%ld in %.1f s, ratio %.2f)%s", targetText, targetText,
              switches, PACE_SECONDS, ratio, paceTells ? "" : "; the rates are close, their pace held within "
              "4 %");
    }
}

static void checkHostRateChange(const CheckerOptions &options, int index)
{
    const ConformCheck check = CHECK_NOTIFY_HOST_RATE_CHANGE;
    DriverFigures figures;
    if (!openWithFigures(options, index, PHASE_NOTIFY, &figures))
        return;
    beginCheck(check);
    double old = figures.sampleRate;
    long frames = figures.preferredSize;
    double target = usableRate(old) ? otherAcceptedRate(old) : 0;
    char answer[32], oldText[32], targetText[32];
    formatRate(old, oldText, sizeof oldText);
    if (!usableRate(old)) {
        notRun(check, "getSampleRate gives %s Hz, no usable rate to change from", oldText);
        closeConformDriver();
        return;
    }
    if (target == 0) {
        notRun(check, "canSampleRate accepts no standard rate but the current %s Hz: only one rate is "
               "offered, nothing to change to", oldText);
        closeConformDriver();
        return;
    }
    formatRate(target, targetText, sizeof targetText);
    if (!startNotifyStream(check, frames))
        return;
    long requests = 0, before = 0, after = 0;
    int64_t streamStart = switchTicks();
    countPace(PACE_SECONDS, periodAt(frames, old), &requests, &before);
    // What came after the host's own change is its answer, not a needless one.
    keepNotifications(old, streamStart, false);
    pendingRequests();
    requests = 0;
    ASIOError set = setRateToRestore(target);
    bool paceTells = (target > old ? target / old : old / target) >= RATES_APART;
    if (before == 0) {
        grade(check, VERDICT_FAIL, "no switch in the %.1f s before the rate change: nothing to judge",
              PACE_SECONDS);
    } else if (set != ASE_OK) {
        double ratio = countPace(PACE_SECONDS, periodAt(frames, old), &requests, &after);
        ASIOError got = asioGetSampleRate(&figures.sampleRate);
        if (after == 0)
            grade(check, VERDICT_FAIL, "setSampleRate(%s) answered %s while streaming, and then no switch "
                  "came in %.1f s", targetText, asioErrorName(set, answer, sizeof answer), PACE_SECONDS);
        else if (got == ASE_OK && figures.sampleRate != old)
            grade(check, VERDICT_FAIL, "setSampleRate(%s) answered %s, but getSampleRate then gives %g Hz",
                  targetText, asioErrorName(set, answer, sizeof answer), figures.sampleRate);
        else if (paceTells && !paceHolds(ratio))
            grade(check, VERDICT_FAIL, "setSampleRate(%s) answered %s, but the switches left %s Hz's pace "
                  "(ratio %.2f)", targetText, asioErrorName(set, answer, sizeof answer), oldText, ratio);
        else
            grade(check, VERDICT_PASS, "setSampleRate(%s) while streaming answered %s: refused; the stream "
                  "went on at %s Hz (%ld switches in %.1f s)", targetText,
                  asioErrorName(set, answer, sizeof answer), oldText, after, PACE_SECONDS);
    } else {
        double ratio = countPace(PACE_SECONDS, periodAt(frames, target), &requests, &after);
        judgeAccepted(index, frames, old, target, requests, ratio, after, paceTells);
    }
    endCrashedRun();
    setConformStage(STAGE_STOPPING);
    endLoopback();
    setConformStage(STAGE_STOPPED);
    closeConformDriver();
}

// ---- notify.needless, from what the other streams heard

// Whether the host made the driver anew (a reset's or a buffer size's round trip) from `fromMs` to
// before `toMs` of the followed stream: a request sent again after it is the new object's own.
static bool restartedBetween(double fromMs, double toMs)
{
    for (int k = 0; k < trips.count; k++) {
        const HostRoundTrip &trip = trips.trips[k];
        if ((trip.requests & (PENDING_RESET | PENDING_BUFFER_SIZE)) && trip.requestMs >= fromMs - 1e-3 &&
            trip.requestMs < toMs)
            return true;
    }
    return false;
}

// The same request again within REPEAT_MS, the host not having made the driver anew meanwhile.
static bool repeated(size_t k, size_t *again)
{
    const Heard &first = heard[k];
    for (size_t j = k + 1; j < heard.size(); j++) {
        const Heard &later = heard[j];
        const Notification &n = first.note, &m = later.note;
        if (later.followed != first.followed || m.kind != NOTIFY_MESSAGE || m.selector != n.selector ||
            m.value != n.value || later.ms - first.ms >= REPEAT_MS)
            continue;
        if (first.followed && restartedBetween(first.ms, later.ms))
            return false;
        *again = j;
        return true;
    }
    return false;
}

static void judgeNeedless()
{
    const ConformCheck check = CHECK_NOTIFY_NEEDLESS;
    if (heard.empty()) {
        notRun(check, "the driver sent no notification in the stream: nothing to judge");
        return;
    }
    for (size_t k = 0; k < heard.size(); k++) {
        const Notification &n = heard[k].note;
        if (n.kind == NOTIFY_RATE && n.rate == heard[k].rate) {
            char rate[32];
            formatRate(n.rate, rate, sizeof rate);
            grade(check, VERDICT_WARN, "sampleRateDidChange(%s) after switch %lld: the rate it already had",
                  rate, static_cast<long long>(n.afterSwitch));
            return;
        }
        size_t again = 0;
        if (n.kind == NOTIFY_MESSAGE && isRequestSelector(n.selector) && repeated(k, &again)) {
            grade(check, VERDICT_WARN, "%s after switch %lld, and again %.0f ms later (after switch %lld) "
                  "with nothing changed by the host between", selectorName(n.selector),
                  static_cast<long long>(n.afterSwitch), heard[again].ms - heard[k].ms,
                  static_cast<long long>(heard[again].note.afterSwitch));
            return;
        }
    }
    // The first reset's round trip: what it brought (a later one may be the driver asking again).
    for (int k = 0; k < trips.count; k++) {
        const HostRoundTrip &trip = trips.trips[k];
        if (!(trip.requests & PENDING_RESET))
            continue;
        bool changed = false;
        for (int f = 0; f < FIGURE_COUNT; f++)
            changed = changed || hostFigureChanged(trip.before, trip.after, f);
        if (trip.failedStep < 0 && !changed) {
            grade(check, VERDICT_WARN, "kAsioResetRequest after switch %lld: the round trip changed no "
                  "figure", trip.afterSwitch);
            return;
        }
        break;
    }
    grade(check, VERDICT_PASS, "%zu notifications, none without a change", heard.size());
}

// ---- notify.supports_nothing

static void checkSupportsNothing(const CheckerOptions &options, int index)
{
    const ConformCheck check = CHECK_NOTIFY_SUPPORTS_NOTHING;
    DriverFigures figures;
    if (!openWithFigures(options, index, PHASE_NOTIFY, &figures))
        return;
    beginCheck(check);
    char answer[32];
    long frames = figures.preferredSize;
    beginConformRun(false, false, false);
    setHostSupports(0);
    ASIOError created = createConformBuffers(frames);
    setConformStage(STAGE_RUNNING);
    ASIOError started = created == ASE_OK ? asioStart() : created;
    long switches = 0, requests = 0;
    double seconds = options.seconds > LEAST_SECONDS ? options.seconds : LEAST_SECONDS;
    double periodUs = periodAt(frames, figures.sampleRate);
    double ratio = NAN;
    if (started == ASE_OK)
        ratio = countPace(seconds, periodUs, &requests, &switches);
    endCrashedRun();
    setConformStage(STAGE_STOPPING);
    endLoopback();
    setConformStage(STAGE_STOPPED);
    setHostSupports(hostSupportedSelectors(options));
    closeConformDriver();
    if (runStopAsked())
        return;
    if (started != ASE_OK) {
        grade(check, VERDICT_FAIL, "with a host that supports nothing, %s answered %s",
              created != ASE_OK ? "createBuffers" : "start", asioErrorName(started, answer, sizeof answer));
        return;
    }
    // Told: the driver asked about the selector and was answered 0; the count of requests sent
    // after that is the callbacks' own, past the log's room too. Unasked: a request answered 0 that
    // the driver never asked about.
    unsigned long told = 0;
    long unasked = 0, firstUnasked = 0, firstRefused = 0;
    long long unaskedAt = 0, refusedAt = 0;
    Notification batch[32];
    long from = 0;
    for (long got; (got = takeNotifications(from, batch, 32)) > 0; from += got) {
        for (long k = 0; k < got; k++) {
            const Notification &n = batch[k];
            if (n.kind != NOTIFY_MESSAGE)
                continue;
            if (n.selector == ASIO_MSG_SELECTOR_SUPPORTED && n.value > 0 && n.value <= ASIO_MSG_LAST &&
                n.answer == 0) {
                told |= 1ul << n.value;
            } else if (isRequestSelector(n.selector) && (told & (1ul << n.selector))) {
                if (!firstRefused) {
                    firstRefused = n.selector;
                    refusedAt = n.afterSwitch;
                }
            } else if (isRequestSelector(n.selector) && n.unsupported) {
                if (!unasked++) {
                    firstUnasked = n.selector;
                    unaskedAt = n.afterSwitch;
                }
            }
        }
    }
    long refused = 0, refusedSelector = 0;
    for (long selector = 1; selector <= ASIO_MSG_LAST; selector++) {
        long sent = isRequestSelector(selector) ? sentAfterRefusal(selector) : 0;
        if (sent > 0 && !refusedSelector)
            refusedSelector = selector;
        refused += sent;
    }
    if (refused > 0 || firstRefused) {
        if (firstRefused)
            grade(check, VERDICT_FAIL, "%s sent after switch %lld, though the driver had asked and was told it "
                  "is not supported (%ld such request%s in all)", selectorName(firstRefused), refusedAt,
                  refused, refused == 1 ? "" : "s");
        else
            grade(check, VERDICT_FAIL, "%s sent though the driver had asked and was told it is not supported "
                  "(%ld such request%s in all, past the log's room)", selectorName(refusedSelector), refused,
                  refused == 1 ? "" : "s");
        return;
    }
    if (switches == 0) {
        grade(check, VERDICT_FAIL, "with a host that supports nothing, no switch came in %.1f s", seconds);
    } else if (periodUs > 0 && !paceHolds(ratio)) {
        grade(check, VERDICT_FAIL, "with a host that supports nothing the stream did not keep its pace: %ld "
              "switches in %.1f s, a ratio of %.2f to its period", switches, seconds, ratio);
    } else if (unasked) {
        grade(check, VERDICT_WARN, "%s sent after switch %lld (%ld unsupported request%s in all) without "
              "asking whether the host supports it; it was answered 0", selectorName(firstUnasked), unaskedAt,
              unasked, unasked == 1 ? "" : "s");
    } else {
        grade(check, VERDICT_PASS, "nothing unsupported sent; %ld switches in %.1f s with a host that "
              "supports nothing", switches, seconds);
    }
}

void conformNotify(const CheckerOptions &options, int index)
{
    heard.clear();
    memset(&trips, 0, sizeof trips);
    if (wanted(CHECK_NOTIFY_RESET_ROUND_TRIP) || wanted(CHECK_NOTIFY_NEEDLESS)) {
        DriverFigures figures;
        if (!openWithFigures(options, index, PHASE_NOTIFY, &figures))
            return;
        followedStream(options, index, figures);
        closeConformDriver();
    }
    if (wanted(CHECK_NOTIFY_HOST_RATE_CHANGE) && !runStopAsked())
        checkHostRateChange(options, index);
    if (wanted(CHECK_NOTIFY_NEEDLESS) && !runStopAsked()) {
        beginCheck(CHECK_NOTIFY_NEEDLESS);
        judgeNeedless();
    }
    if (wanted(CHECK_NOTIFY_SUPPORTS_NOTHING) && !runStopAsked())
        checkSupportsNothing(options, index);
    if (wanted(CHECK_NOTIFY_SECOND_HOST_CHANGE) && !runStopAsked())
        checkSecondHostChange(options, index);
}
