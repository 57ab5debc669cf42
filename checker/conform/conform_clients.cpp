// The clients phase: a second host opens the driver while the first streams. The second is a worker
// of its own (conform_second_host.cpp); the first stream is timed throughout, and its gaps are
// placed against the times of the second host's calls (the performance counter is the system's).
#include "checker/conform/phases.h"

#include "drivers/driver_loading.h"
#include "engine/loopback.h"

#include <algorithm>
#include <math.h>
#include <stdio.h>
#include <string.h>
#include <vector>

// The first stream alone before the second host comes, and once the second has released the
// driver: at least these seconds and these periods, so that a large buffer gives as many switches
// to judge by as a small one.
static const double LEAD_SECONDS = 0.5;
static const double AFTER_SECONDS = 1.0;
enum { LEAD_PERIODS = 15, AFTER_PERIODS = 20 };
static const unsigned long AFTER_STOP_MS = 30;
// A gap of the first stream that disturbs it, made up after or not: over this many periods, and
// over the longest delay a busy machine's scheduler gives a thread that was due.
enum { DISTURBANCE_PERIODS = 4 };
static const double DISTURBANCE_MS = 25;
// Switches missing from a window that are a loss: where its ends fall between switches, and a
// switch a busy machine delays past its end, make up to two.
enum { LOST_SWITCHES = 3 };
// The second host's whole session is given at most this long, whatever the call limit.
static const double SECOND_HOST_MOST_SECONDS = 1e5;

// The first stream, its times on the performance counter.
struct FirstStream {
    long frames;
    double periodUs;            // nominal
    double stepTicks;           // the period measured over the lead
    int64_t started;            // start returned
    int64_t windowStart;        // ... in switch ticks, the notifications' time
    int64_t secondFrom;         // the second host's worker started
    int64_t afterFrom;          // its Release returned (or its worker's end)
    int64_t stopAsked;
    std::vector<int64_t> arrivals;
};

// One gap of a window: between two switches, or from the last to the window's end.
struct Gap {
    double ticks;
    int64_t from;   // the switch (or the window's start) it began at
    bool cameBack;  // a switch ended it
    double held;    // of 2 periods or more and the machine's: how long the checker's own watch was
                    // held meanwhile; 0 otherwise
};

// What a window of the first stream shows: its switches, and its gaps: the longest, the longest
// not the machine's, and the longest that disturbed the stream.
struct WindowFigures {
    long switches;
    double missing;         // expected at the measured period, less those that came
    Gap longest, own, disturbing;
    double machineMissing;  // switches lost across the machine's gaps, each no more than its hold
};

// The arrivals kept so far, on the performance counter.
static void takeArrivals(FirstStream *s)
{
    drainArrivals();
    size_t count = 0;
    const int64_t *kept = keptArrivals(&count);
    s->arrivals.resize(count);
    for (size_t k = 0; k < count; k++)
        s->arrivals[k] = switchTicksToCounter(kept[k]);
}

// The waits' poll: the arrivals taken, the thread's messages dispatched.
static bool pollFirst()
{
    drainArrivals();
    pollClientsCable();
    pumpMessages(0);
    return false;
}

// The longest gap a window may have: DISTURBANCE_PERIODS, and no less than DISTURBANCE_MS.
static double disturbanceTicks(const FirstStream &s)
{
    return std::max(DISTURBANCE_PERIODS * s.stepTicks, DISTURBANCE_MS * 1000 / ticksToUs(1));
}

// How long the checker's own watch, at the priority of a driver's thread, was held during the gap
// from `from` to `to`, when that was all of it but two periods, and half of it at least: the
// machine's gap, not the driver's. 0 when it was not.
static double machinesHold(const FirstStream &s, int64_t from, int64_t to)
{
    int64_t held = machineHeldTicks(from, to);
    double gap = static_cast<double>(to - from);
    bool machines = held > 0 && held >= gap - 2 * s.stepTicks && held >= gap / 2;
    return machines ? static_cast<double>(held) : 0;
}

// Switches short of the lead's pace from the window's start `from` up to `at`.
static double deficit(const FirstStream &s, int64_t from, int64_t at)
{
    long came = static_cast<long>(std::count_if(s.arrivals.begin(), s.arrivals.end(),
                                                 [from, at](int64_t t) { return t > from && t <= at; }));
    return (at - from) / s.stepTicks - came;
}

// One gap of the window from `from` to `to`: kept when longest, when the longest not the machine's,
// when the longest that disturbed; a gap of the machine's adds the switches lost across it (to two
// periods after it, so that a burst that made it up counts), no more than its hold explains.
static void considerGap(const FirstStream &s, int64_t from, int64_t to, Gap gap, WindowFigures *w)
{
    int64_t gapTo = gap.from + static_cast<int64_t>(gap.ticks);
    gap.held = gap.ticks >= 2 * s.stepTicks ? machinesHold(s, gap.from, gapTo) : 0;
    if (gap.ticks > w->longest.ticks)
        w->longest = gap;
    if (gap.held == 0 && gap.ticks > w->own.ticks)
        w->own = gap;
    if (gap.held == 0 && gap.ticks > disturbanceTicks(s) && gap.ticks > w->disturbing.ticks)
        w->disturbing = gap;
    if (gap.held > 0) {
        int64_t after = std::min(gapTo + 2 * static_cast<int64_t>(s.stepTicks), to);
        double lost = deficit(s, from, after) - deficit(s, from, std::max(gap.from, from));
        w->machineMissing += std::min(std::max(0.0, lost), floor(gap.held / s.stepTicks));
    }
}

// A gap is measured between the switches around it, and belongs to the window in which the first
// missing switch was due: a stall across the meeting of two windows counts whole, in one of them.
// Every gap is set against the machine's own pauses, not only the longest.
static WindowFigures windowOf(const FirstStream &s, int64_t from, int64_t to)
{
    WindowFigures w = {};
    w.longest.from = w.own.from = w.disturbing.from = from;
    const int64_t step = static_cast<int64_t>(s.stepTicks);
    int64_t last = 0;
    bool any = false;
    for (int64_t at : s.arrivals) {
        if (at > from && at <= to)
            w.switches++;
        if (any && last + step >= from && last + step < to)
            considerGap(s, from, to, {static_cast<double>(at - last), last, true, 0}, &w);
        last = at;
        any = true;
    }
    // The stream stopped: its last gap runs to the window's end.
    int64_t since = any && last > from ? last : from;
    if ((!any || last < to) && since + step < to)
        considerGap(s, from, to, {static_cast<double>(to - since), since, false, 0}, &w);
    w.missing = (to - from) / s.stepTicks - w.switches;
    return w;
}

// A disturbance of the first stream: a gap over the disturbance bound, whether or not the switches
// came in a burst after it (at a real device that stretch of audio is late) unless the machine held
// every thread as long, or switches lost (a gap over 1.5 periods the stream did not make up, beyond
// those the machine's own pauses lost).
static bool disturbed(const FirstStream &s, const WindowFigures &w)
{
    return w.disturbing.ticks > 0 ||
           (w.longest.ticks > 1.5 * s.stepTicks && w.missing - w.machineMissing >= LOST_SWITCHES);
}

// ", when the machine held the checker's own watch 51.2 ms too" for a long gap that was the
// machine's; "" otherwise.
static void machineWords(const Gap &gap, char *out, size_t size)
{
    *out = '\0';
    if (gap.held > 0)
        snprintf(out, size, ", when the machine held the checker's own watch %.1f ms too",
                 ticksToUs(static_cast<int64_t>(gap.held)) / 1000);
}

// The second host's calls that ran between `from` and `to`: "; across its stop(), Release()"; ""
// for none.
static void callsAcross(int64_t from, int64_t to, char *out, size_t size)
{
    const SecondHostResults &r = secondHostResults;
    *out = '\0';
    for (int c = 0; c < SECOND_CALLS; c++) {
        bool overlaps = r.began[c] && r.began[c] < to && (!r.ended[c] || r.ended[c] > from);
        size_t used = strlen(out);
        if (overlaps && used < size)
            snprintf(out + used, size - used, "%s%s", used ? ", " : "; across its ", secondCallName(c));
    }
}

// The disturbance, told: when the switches stopped, for how long, across which of the second
// host's calls, and how many are missing (the machine's own losses apart). The gap told is the
// one that disturbed, else the longest not the machine's.
static void gradeLoss(ConformCheck check, const FirstStream &s, const WindowFigures &w, const char *while_)
{
    const Gap &gap = w.disturbing.ticks > 0 ? w.disturbing
                     : w.own.ticks > 1.5 * s.stepTicks ? w.own : w.longest;
    // Placed when the first missing switch was due: the last one came up to a period before the
    // cause. The calls across are those that ran while switches were missing; how many of the
    // calls before share the period with the last switch depends on the machine's pace.
    char place[160], across[120], machine[80] = "";
    int64_t due = gap.from + static_cast<int64_t>(s.stepTicks);
    placeAgainstSecondHost(due, place, sizeof place);
    callsAcross(due, gap.from + static_cast<int64_t>(gap.ticks), across, sizeof across);
    double gapMs = ticksToUs(static_cast<int64_t>(gap.ticks)) / 1000;
    double missing = std::max(0.0, w.missing - w.machineMissing);
    if (w.machineMissing > 0)
        snprintf(machine, sizeof machine, ", besides %.0f lost in the machine's own pauses", w.machineMissing);
    if (gap.cameBack)
        grade(check, VERDICT_FAIL, "the first host's switches stopped %s and came back %.1f ms later; "
              "%.0f switches missing %s%s%s", place, gapMs, missing, while_, machine, across);
    else
        grade(check, VERDICT_FAIL, "the first host's switches stopped %s and did not come back %s "
              "(%.1f ms); %.0f switches missing%s%s", place, while_, gapMs, missing, machine, across);
    gradeFigure(check, gapMs);
}

// The second host's whole session must fit: each call and the time between two has the call limit,
// its start-up WORKER_START_SECONDS at least, and its second of streaming; its figures and buffers
// are a few calls per copied channel. Bounded, so that the longest call limit makes a run the
// watch can hold.
static double secondHostLimit(const CheckerOptions &options, const DriverFigures &figures)
{
    long channels = std::min(figures.inputChannels, figures.outputChannels);
    channels = std::max(0L, std::min(channels, 4096L));
    double limit = (2.0 * (SECOND_CALLS + 8 + channels) + 1) * options.callTimeout + 1 +
                   std::max(0.0, WORKER_START_SECONDS - options.callTimeout);
    return std::min(limit, SECOND_HOST_MOST_SECONDS);
}

// The lead and the time after the second host, in seconds, for the stream's period.
static double leadSeconds(const FirstStream &s)
{
    return std::max(LEAD_SECONDS, LEAD_PERIODS * s.periodUs / 1e6);
}

static double afterSeconds(const FirstStream &s)
{
    return std::max(AFTER_SECONDS, AFTER_PERIODS * s.periodUs / 1e6);
}

// The checker's own shortfall left the phase nothing to judge: its checks not run, saying why.
static void leaveClientsUnjudged(const char *why)
{
    for (ConformCheck c : {CHECK_CLIENTS_SECOND, CHECK_CLIENTS_FIRST_KEPT, CHECK_CLIENTS_FIRST_AFTER})
        leaveUnjudged(c, "%s", why);
}

// The first stream begun: its buffers made with the timed loopback, started. False, with the check
// failed and the others left nothing, when it could not be.
static bool startFirst(const CheckerOptions &options, const DriverFigures &figures, FirstStream *s)
{
    ConformCheck first = firstWantedCheck(PHASE_CLIENTS);
    char why[200] = "", answer[32];
    const ASIOCallbacks *callbacks = nullptr;
    s->frames = figures.preferredSize;
    s->periodUs = usableRate(figures.sampleRate) ? s->frames / figures.sampleRate * 1e6 : 0;
    // The arrivals' memory for the phase as it usually goes (the second host's session takes a few
    // seconds); it grows should the session take longer.
    double seconds = leadSeconds(*s) + afterSeconds(*s) + 10;
    int cable = EXIT_FINE;
    if (s->frames <= 0 || s->periodUs <= 0) {
        snprintf(why, sizeof why, "the preferred size %ld at %g Hz gives no period to time the first "
                 "host's stream by", s->frames, figures.sampleRate);
    } else if (!prepareTiming(seconds, s->periodUs)) {
        leaveClientsUnjudged("the checker has no memory for the timing of the first stream");
        return false;
    } else if ((callbacks = prepareClientsCable(options, figures, s->frames, s->periodUs, why,
                                                sizeof why, &cable))) {
        resetMessageCounts(false);
        ASIOError created = createLoopbackBuffers(callbacks, s->frames);
        ASIOError started = created == ASE_OK ? asioStart() : created;
        s->started = performanceTicks();
        s->windowStart = switchTicks();
        if (started == ASE_OK) {
            startClientsCable();
            startMachineWatch();
            return true;
        }
        snprintf(why, sizeof why, "the first host's %s answered %s", created != ASE_OK ?
                 "createBuffers" : "start", asioErrorName(started, answer, sizeof answer));
    } else if (cable == EXIT_SHORTFALL) {
        leaveClientsUnjudged(why);
        return false;
    }
    grade(first, VERDICT_FAIL, "%s: no first stream", why);
    for (ConformCheck c : {CHECK_CLIENTS_SECOND, CHECK_CLIENTS_FIRST_KEPT, CHECK_CLIENTS_FIRST_AFTER}) {
        if (c != first)
            nothingToJudge(c, first, "no first stream");
    }
    return false;
}

// The second host's session, beside the first stream; when it was there, on the counter.
static SessionOutcome runSecondHost(const CheckerOptions &options, int index, double limit,
                                    FirstStream *s)
{
    SecondHostResults &r = secondHostResults;
    memset(&r, 0, sizeof r);
    r.reached = -1;
    char arguments[96];
    snprintf(arguments, sizeof arguments, "second-host %d --call-timeout %g", index, options.callTimeout);
    SessionOutcome outcome;
    int64_t began = performanceTicks();
    runBesideRun(options, arguments, limit, pollFirst, &outcome);
    int64_t ended = performanceTicks();
    // From its first driver call: the worker's own start-up is the checker's, and the lead's.
    s->secondFrom = r.began[SECOND_CREATE] ? r.began[SECOND_CREATE] : began;
    s->afterFrom = r.ended[SECOND_RELEASE] ? r.ended[SECOND_RELEASE] : ended;
    return outcome;
}

// Served (it streamed) or refused cleanly: a failed init with its message, or an error from
// createBuffers or start. Anything else, and a crash, hang or exit, fails.
static void judgeSecond(const SessionOutcome &outcome)
{
    const SecondHostResults &r = secondHostResults;
    const ConformCheck check = CHECK_CLIENTS_SECOND;
    char answer[32];
    if (outcome.end == SESSION_NOT_STARTED) {
        leaveUnjudged(check, "the second host: %s", outcome.text);
    } else if (outcome.end != SESSION_FINISHED) {
        grade(check, VERDICT_FAIL, "the second host: %s", outcome.text);
    } else if (r.reached < SECOND_CREATE) {
        grade(check, VERDICT_FAIL, "the second host's worker made no driver call");
    } else if (r.answers[SECOND_CREATE] != 0) {
        grade(check, VERDICT_PASS, "refused cleanly: creating the second host's object answered "
              "0x%08lX", static_cast<unsigned long>(r.answers[SECOND_CREATE]));
    } else if (!r.answers[SECOND_INIT] && r.errorMessage[0]) {
        grade(check, VERDICT_PASS, "refused cleanly: the second host's init failed with the message "
              "\"%s\"", r.errorMessage);
    } else if (!r.answers[SECOND_INIT]) {
        grade(check, VERDICT_FAIL, "the second host's init failed without a message: its user is not "
              "told why");
    } else if (r.answers[SECOND_CREATE_BUFFERS] != ASE_OK) {
        grade(check, VERDICT_PASS, "refused cleanly: the second host's createBuffers(%ld frames) "
              "answered %s", r.frames, asioErrorName(r.answers[SECOND_CREATE_BUFFERS], answer, sizeof answer));
    } else if (r.answers[SECOND_START] != ASE_OK) {
        grade(check, VERDICT_PASS, "refused cleanly: the second host's start answered %s",
              asioErrorName(r.answers[SECOND_START], answer, sizeof answer));
    } else if (r.switches == 0) {
        grade(check, VERDICT_FAIL, "the second host's start answered ASE_OK, but it had no buffer "
              "switch in 1 s: neither served nor refused");
    } else {
        // Its count is the moment's: a figure, so that two runs are compared on the verdict alone.
        gradeFigure(check, r.switches);
        grade(check, VERDICT_PASS, "the driver serves two hosts: the second streamed %ld switches of "
              "%ld frames in 1 s", r.switches, r.frames);
    }
}

// The cable's input position a moment on the counter was at: the frames of the switches before it.
static int64_t positionAt(const FirstStream &s, int64_t at)
{
    return std::count_if(s.arrivals.begin(), s.arrivals.end(), [at](int64_t a) { return a < at; }) *
           static_cast<int64_t>(s.frames);
}

// While the second host was there (from its worker's start to the return of its Release),
// measured against the period of the lead.
static void judgeKept(const FirstStream &s)
{
    const ConformCheck check = CHECK_CLIENTS_FIRST_KEPT;
    WindowFigures w = windowOf(s, s.secondFrom, s.afterFrom);
    double seconds = ticksToUs(s.afterFrom - s.secondFrom) / 1e6;
    if (disturbed(s, w)) {
        gradeLoss(check, s, w, "while the second host was there");
        return;
    }
    double gapUs = ticksToUs(static_cast<int64_t>(w.longest.ticks));
    char machine[96];
    machineWords(w.longest, machine, sizeof machine);
    gradeFigure(check, gapUs / 1000);
    grade(check, VERDICT_PASS, "%ld switches in the %.2f s the second host was there; the longest "
          "gap %.0f us (period %.0f us)%s%s", w.switches, seconds, gapUs, s.periodUs,
          gapUs > 1.5 * s.periodUs ? ", made up at once" : "", machine);
    judgeClientsCable(check, 0, s.afterFrom, positionAt(s, s.secondFrom), "while the second host was there");
}

// After the second host's release, to the stop; then the stop, and nothing after it.
static void judgeAfter(const FirstStream &s, ASIOError stopped, long late)
{
    const ConformCheck check = CHECK_CLIENTS_FIRST_AFTER;
    char answer[32];
    WindowFigures w = windowOf(s, s.afterFrom, s.stopAsked);
    double seconds = ticksToUs(s.stopAsked - s.afterFrom) / 1e6;
    gradeFigure(check, ticksToUs(static_cast<int64_t>(w.longest.ticks)) / 1000);
    if (disturbed(s, w))
        gradeLoss(check, s, w, "after the second host's release");
    else if (stopped != ASE_OK)
        grade(check, VERDICT_FAIL, "the first host's stop answered %s", asioErrorName(stopped, answer,
              sizeof answer));
    else if (late)
        grade(check, VERDICT_FAIL, "%ld callbacks after the first host's stop returned", late);
    else
        grade(check, VERDICT_PASS, "%ld switches in the %.2f s after the second host's release, "
              "then a clean stop", w.switches, seconds);
    char machine[96];
    machineWords(w.longest, machine, sizeof machine);
    if (*machine && !disturbed(s, w))
        appendEvidence(check, "; its longest gap %.1f ms%s",
                       ticksToUs(static_cast<int64_t>(w.longest.ticks)) / 1000, machine);
    judgeClientsCable(check, s.afterFrom, INT64_MAX, positionAt(s, s.afterFrom), "after the second host's release");
}

// The lead's own period: the stream's pace before the second host came, so that a clock a little
// off its rate is not taken for lost switches. False when the lead had too few switches.
static bool measureLead(FirstStream *s)
{
    std::vector<double> us;
    for (int64_t at : s->arrivals) {
        if (at > s->started && at < s->secondFrom)
            us.push_back(ticksToUs(at - s->started));
    }
    if (us.size() < 10) {
        char why[160];
        snprintf(why, sizeof why, "the first host's stream made %zu switches in the %.1f s before the "
                 "second host came: too few to judge it by", us.size(), leadSeconds(*s));
        grade(CHECK_CLIENTS_FIRST_KEPT, VERDICT_FAIL, "%s", why);
        grade(CHECK_CLIENTS_FIRST_AFTER, VERDICT_FAIL, "%s", why);
        return false;
    }
    s->stepTicks = robustStep(us.data(), us.size()) / ticksToUs(1);
    return true;
}

// The stop, and the callbacks after it returned.
static ASIOError stopFirst(FirstStream *s, long *late)
{
    takeArrivals(s);
    finishClientsCable();
    s->stopAsked = performanceTicks();
    ASIOError stopped = asioStop();
    int64_t returned = performanceTicks();
    pumpMessages(AFTER_STOP_MS);
    takeArrivals(s);
    keepNotifications(&conformResults.notifications[CONFORM_RUN_CLIENTS], s->windowStart);
    *late = static_cast<long>(std::count_if(s->arrivals.begin(), s->arrivals.end(),
                                            [returned](int64_t at) { return at > returned; }));
    return stopped;
}

// The user interrupted, or a driver thread crashed (the worker then ends here with the crash,
// charged to the check in progress): false, and nothing more is judged.
static bool goesOn()
{
    endCrashedRun();
    return !runStopAsked();
}

// The first stream alone, then beside the second host, then alone again; stopped; judged.
static void streamBesideSecond(const CheckerOptions &options, int index, double limit, FirstStream *s)
{
    // A crash of the first stream's thread is the first stream's, whoever is there.
    beginFirstWanted({CHECK_CLIENTS_FIRST_KEPT, CHECK_CLIENTS_SECOND, CHECK_CLIENTS_FIRST_AFTER});
    waitForRun(leadSeconds(*s), pollFirst, nullptr);
    long late = 0;
    if (!goesOn()) {
        stopFirst(s, &late);
        return;
    }
    SessionOutcome outcome = runSecondHost(options, index, limit, s);
    // The second host ended early by the interrupt or the crash has nothing of its own to judge.
    if (!goesOn()) {
        stopFirst(s, &late);
        return;
    }
    judgeSecond(outcome);
    takeArrivals(s);
    bool lead = measureLead(s);
    beginFirstWanted({CHECK_CLIENTS_FIRST_AFTER, CHECK_CLIENTS_FIRST_KEPT, CHECK_CLIENTS_SECOND});
    waitForRun(afterSeconds(*s), pollFirst, nullptr);
    bool judged = goesOn();
    ASIOError stopped = stopFirst(s, &late);
    if (judged && !everyArrivalKept()) {
        for (ConformCheck c : {CHECK_CLIENTS_FIRST_KEPT, CHECK_CLIENTS_FIRST_AFTER})
            leaveUnjudged(c, "the checker had no memory to keep every switch of the first stream");
        judged = false;
    }
    // Judged after the stop: the cable's samples are known only then.
    if (lead && judged) {
        judgeKept(*s);
        judgeAfter(*s, stopped, late);
    }
}

void conformClients(const CheckerOptions &options, int index)
{
    DriverFigures figures;
    if (!openWithFigures(options, index, PHASE_CLIENTS, &figures))
        return;
    double limit = secondHostLimit(options, figures);
    FirstStream s = {};
    if (startFirst(options, figures, &s))
        streamBesideSecond(options, index, limit, &s);
    stopMachineWatch();
    endClientsCable();
    endCrashedRun();
    endLoopback();
    closeChosenDriver();
}
