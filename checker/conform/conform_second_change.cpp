// notify.second_host_change: while this host streams, a second host (the hidden command
// second-change, a worker of its own) sets another rate, or makes and starts buffers of another
// size. Where the change took, this host must be told, or its stream must keep the figures it has;
// what it heard is its notification log, and its pace is counted over a second from the change.
#include "checker/conform/phases.h"

#include "drivers/driver_loading.h"
#include "engine/loopback.h"

#include <stdio.h>
#include <string.h>

// The first host is told within this long of the change.
static const double TOLD_MS = 1000;
// Its switches are counted over this long from the change; the pace may be this far off (a ratio).
static const double COUNT_SECONDS = 1.0;
static const double PACE_LOW = 0.75, PACE_HIGH = 1.33;
// Rates closer than this (a ratio) cannot be told apart by their pace with those bounds.
static const double RATES_APART = 1.4;
// The first stream alone before the second host comes.
static const double LEAD_SECONDS = 0.5;

// What the poll notes while the second host works, on this process's clocks.
struct ChangeWatch {
    int64_t seenAt;          // the poll first saw the change made (the performance counter); 0: not
    int64_t changeSwitchAt;  // the change's call began, in switch ticks
    long long countFrom;     // the first host's switches when it was seen
    long long counted;       // ... over COUNT_SECONDS from then; -1: not yet
    double countedUs;
    long requests;           // PendingRequest bits that came meanwhile
};
static ChangeWatch watch;

static bool pollChange()
{
    const SecondHostResults &r = secondHostResults;
    watch.requests |= pendingRequests();
    pumpMessages(0);
    int64_t now = performanceTicks();
    if (r.changedAt == 0 || r.changeAnswer != ASE_OK)
        return false;
    if (watch.seenAt == 0) {
        watch.seenAt = now;
        watch.countFrom = conformSwitchCount();
        double backUs = ticksToUs(now - (r.changeBegan ? r.changeBegan : r.changedAt));
        watch.changeSwitchAt = switchTicks() - static_cast<int64_t>(backUs * calibratedTicksPerUs());
    } else if (watch.counted < 0 && ticksToUs(now - watch.seenAt) >= COUNT_SECONDS * 1e6) {
        watch.counted = conformSwitchCount() - watch.countFrom;
        watch.countedUs = ticksToUs(now - watch.seenAt);
    }
    return false;
}

// How the first host was told, from its log: "sampleRateDidChange(96000) 12 ms after the change";
// "" when it was not, within TOLD_MS.
static void toldHow(double newRate, char *out, size_t size)
{
    *out = '\0';
    Notification batch[32];
    long from = 0;
    double perUs = calibratedTicksPerUs();
    for (long got; (got = takeNotifications(from, batch, 32)) > 0; from += got) {
        for (long k = 0; k < got; k++) {
            const Notification &n = batch[k];
            double ms = (n.ticks - watch.changeSwitchAt) / perUs / 1000;
            if (ms < -50 || ms > TOLD_MS)
                continue;
            char rate[32];
            formatRate(n.rate, rate, sizeof rate);
            if (n.kind == NOTIFY_RATE && (newRate == 0 || n.rate == newRate))
                snprintf(out, size, "sampleRateDidChange(%s) %.0f ms after the change", rate, ms > 0 ? ms : 0);
            else if (n.kind == NOTIFY_MESSAGE && (n.selector == ASIO_MSG_RESET_REQUEST ||
                                                  n.selector == ASIO_MSG_BUFFER_SIZE_CHANGE))
                snprintf(out, size, "%s %.0f ms after the change", selectorName(n.selector), ms > 0 ? ms : 0);
            if (*out)
                return;
        }
    }
}

// Nothing changed for the first host to hear of: the second was refused, or its change was.
static bool notChanged(const SessionOutcome &outcome)
{
    const ConformCheck check = CHECK_NOTIFY_SECOND_HOST_CHANGE;
    const SecondHostResults &r = secondHostResults;
    char answer[32];
    if (outcome.end == SESSION_NOT_STARTED)
        leaveUnjudged(check, "the second host: %s", outcome.text);
    else if (outcome.end != SESSION_FINISHED && r.changedAt == 0)
        grade(check, VERDICT_FAIL, "the second host: %s", outcome.text);
    else if (r.reached < SECOND_CREATE)
        leaveUnjudged(check, "the second host's worker made no driver call");
    else if (r.answers[SECOND_CREATE] != 0 || !r.answers[SECOND_INIT])
        notRun(check, "the driver serves one host: the second host's %s failed%s%s%s: nothing changed to "
               "judge", r.answers[SECOND_CREATE] != 0 ? "create" : "init", r.errorMessage[0] ? " (\"" : "",
               r.errorMessage, r.errorMessage[0] ? "\")" : "");
    else if (r.change == CHANGE_NONE)
        notRun(check, "the driver offers one rate and one buffer size: a second host has nothing to change");
    else if (r.change == CHANGE_RATE && r.changeAnswer != ASE_OK)
        notRun(check, "the driver refused the second host's setSampleRate(%g): it answered %s; nothing "
               "changed to judge", r.changedTo, asioErrorName(r.changeAnswer, answer, sizeof answer));
    else if (r.change == CHANGE_RATE && r.readBack != r.changedTo)
        notRun(check, "the second host's setSampleRate(%g) answered ASE_OK, but it reads %g Hz back: the "
               "change did not take; nothing to judge", r.changedTo, r.readBack);
    else if (r.change == CHANGE_BUFFER_SIZE && r.changeAnswer != ASE_OK)
        notRun(check, "the driver refused the second host's buffers of %ld frames: %s answered %s; nothing "
               "changed to judge", r.changedFrames,
               r.answers[SECOND_CREATE_BUFFERS] != ASE_OK ? "createBuffers" : "start",
               asioErrorName(r.changeAnswer, answer, sizeof answer));
    else
        return false;
    return true;
}

static void judgeChange(const SessionOutcome &outcome, double oldRate, long frames)
{
    const ConformCheck check = CHECK_NOTIFY_SECOND_HOST_CHANGE;
    const SecondHostResults &r = secondHostResults;
    if (notChanged(outcome))
        return;
    char change[128], told[96], oldText[32], newText[32];
    formatRate(oldRate, oldText, sizeof oldText);
    formatRate(r.changedTo, newText, sizeof newText);
    if (r.change == CHANGE_RATE)
        snprintf(change, sizeof change, "the second host set %s Hz (this host's was %s Hz)", newText, oldText);
    else
        snprintf(change, sizeof change, "the second host streamed %ld switches at %ld frames (this host's "
                 "are %ld)", r.switches, r.changedFrames, frames);
    toldHow(r.change == CHANGE_RATE ? r.changedTo : 0, told, sizeof told);
    if (!*told && (watch.requests & PENDING_RESET))
        snprintf(told, sizeof told, "a reset request");
    if (*told) {
        grade(check, VERDICT_PASS, "%s; this host was told: %s", change, told);
        return;
    }
    if (watch.counted < 0) {
        leaveUnjudged(check, "%s, but the second host ended before this host's switches were counted "
                      "for %.0f s", change, COUNT_SECONDS);
        return;
    }
    double oldPeriodUs = frames / oldRate * 1e6;
    double oldRatio = watch.counted / (watch.countedUs / oldPeriodUs);
    double newRatio = r.change == CHANGE_RATE ? watch.counted / (watch.countedUs / (frames / r.changedTo * 1e6))
                                              : oldRatio;
    bool oldHolds = oldRatio >= PACE_LOW && oldRatio <= PACE_HIGH;
    bool paceTells = r.change != CHANGE_RATE ||
                     (r.changedTo > oldRate ? r.changedTo / oldRate : oldRate / r.changedTo) >= RATES_APART;
    if (watch.counted == 0) {
        grade(check, VERDICT_FAIL, "%s; this host's stream stopped without a word: no switch in %.1f s, "
              "nothing told", change, watch.countedUs / 1e6);
    } else if (!oldHolds && paceTells) {
        grade(check, VERDICT_FAIL, "%s; this host was told nothing within %.0f ms, yet its switches left "
              "its figures' pace: %lld in %.1f s, a ratio of %.2f to %s Hz at %ld frames%s", change, TOLD_MS,
              watch.counted, watch.countedUs / 1e6, oldRatio, oldText, frames,
              r.change == CHANGE_RATE ? " (the new rate's ratio is shown next)" : "");
        if (r.change == CHANGE_RATE)
            appendEvidence(check, ": %.2f to %s Hz", newRatio, newText);
    } else if (!paceTells) {
        grade(check, VERDICT_WARN, "%s; this host was told nothing, and the rates are too close for the "
              "pace to tell whether its stream kept its own", change);
    } else if (r.change == CHANGE_RATE) {
        // The pace alone cannot say this host still has its figures: a driver may go on at the old
        // pace while it reports the new rate to everyone.
        grade(check, VERDICT_WARN, "%s; this host was told nothing: its stream kept its own pace (%lld "
              "switches in %.1f s, a ratio of %.2f to %s Hz at %ld frames), but a driver that changed "
              "its rate owes every host a word", change, watch.counted, watch.countedUs / 1e6, oldRatio,
              oldText, frames);
    } else {
        grade(check, VERDICT_PASS, "%s; this host was told nothing and needed not be: its stream kept its "
              "own figures (%lld switches in %.1f s, a ratio of %.2f to %s Hz at %ld frames)", change,
              watch.counted, watch.countedUs / 1e6, oldRatio, oldText, frames);
    }
}

// The second host's whole session must fit: its calls, its start-up and its hold. Bounded, as the
// clients phase's is, so that the longest call limit makes a run the watch can hold.
static double changeLimit(const CheckerOptions &options)
{
    double limit = 30 * options.callTimeout + WORKER_START_SECONDS + SECOND_CHANGE_HOLD_SECONDS;
    return limit < 1e5 ? limit : 1e5;
}

void checkSecondHostChange(const CheckerOptions &options, int index)
{
    const ConformCheck check = CHECK_NOTIFY_SECOND_HOST_CHANGE;
    DriverFigures figures;
    if (!openWithFigures(options, index, PHASE_NOTIFY, &figures))
        return;
    beginCheck(check);
    long frames = figures.preferredSize;
    if (!usableRate(figures.sampleRate) || frames <= 0) {
        notRun(check, "the driver's rate (%g Hz) or buffer size (%ld) cannot give a pace to judge by",
               figures.sampleRate, frames);
        closeConformDriver();
        return;
    }
    if (!startNotifyStream(check, frames))
        return;
    watchRun(LEAD_SECONDS);
    for (int64_t from = performanceTicks();
         ticksToUs(performanceTicks() - from) < LEAD_SECONDS * 1e6 && !runStopAsked() && !runCrashed();)
        pumpMessages(20);
    watchRun(0);
    pendingRequests();
    memset(&watch, 0, sizeof watch);
    watch.counted = -1;
    SecondHostResults &r = secondHostResults;
    memset(&r, 0, sizeof r);
    r.reached = -1;
    char arguments[96];
    snprintf(arguments, sizeof arguments, "second-change %d --call-timeout %g", index, options.callTimeout);
    SessionOutcome outcome;
    runBesideRun(options, arguments, changeLimit(options), pollChange, &outcome);
    endCrashedRun();
    setConformStage(STAGE_STOPPING);
    endLoopback();
    setConformStage(STAGE_STOPPED);
    closeConformDriver();
    if (runStopAsked() || outcome.end == SESSION_INTERRUPTED)
        return;
    judgeChange(outcome, figures.sampleRate, frames);
}
