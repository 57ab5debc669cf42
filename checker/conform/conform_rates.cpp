// The rates phase: every standard rate the driver accepts set and read back, the refused ones
// refused, and the rate it had set back.
#include "checker/conform/phases.h"

#include "drivers/driver_loading.h"

#include <stdio.h>

// A rate no device runs at: asked of a driver that accepts every standard rate, so that the refused
// check has a rate to judge.
static const double UNUSUAL_RATE = 1000;

// What the rates tried so far gave.
struct RateTally {
    double original;  // the rate the driver had
    long accepted, refused;
    bool setFailed, refusedTaken;  // the set and the refused check have their fault
};

// A rate canSampleRate refused (`can`): setSampleRate must refuse it too.
static void tryRefused(double rate, ASIOError can, RateTally *tally)
{
    char answer[32], rateText[32];
    tally->refused++;
    formatRate(rate, rateText, sizeof rateText);
    if (setRateToRestore(rate) == ASE_OK && !tally->refusedTaken) {
        grade(CHECK_RATES_REFUSED, VERDICT_WARN, "canSampleRate(%s) answered %s, but setSampleRate(%s) "
              "answered ASE_OK", rateText, asioErrorName(can, answer, sizeof answer), rateText);
        tally->refusedTaken = true;
    }
}

// A rate canSampleRate accepted: setSampleRate must take it and getSampleRate read it back.
static void tryAccepted(double rate, RateTally *tally)
{
    char answer[32], rateText[32];
    tally->accepted++;
    formatRate(rate, rateText, sizeof rateText);
    ASIOError set = setRateToRestore(rate);
    double now = 0;
    ASIOError got = asioGetSampleRate(&now);
    if (tally->setFailed)
        return;
    if (set != ASE_OK) {
        grade(CHECK_RATES_SET, VERDICT_FAIL, "canSampleRate(%s) answered ASE_OK, setSampleRate "
              "answered %s", rateText, asioErrorName(set, answer, sizeof answer));
        tally->setFailed = true;
    } else if (got != ASE_OK || now != rate) {
        char nowText[32];
        formatRate(now, nowText, sizeof nowText);
        grade(CHECK_RATES_SET, VERDICT_FAIL, "setSampleRate(%s) answered ASE_OK, then "
              "getSampleRate read %s Hz", rateText, nowText);
        tally->setFailed = true;
    }
}

// One rate asked about, and set only for the check that judges it.
static void tryRate(double rate, RateTally *tally)
{
    ASIOError can = asioCanSampleRate(rate);
    if (can == ASE_OK && wanted(CHECK_RATES_SET))
        tryAccepted(rate, tally);
    else if (can != ASE_OK && wanted(CHECK_RATES_REFUSED))
        tryRefused(rate, can, tally);
}

static bool standardRate(double rate)
{
    for (double standard : probeRates) {
        if (rate == standard)
            return true;
    }
    return false;
}

// The set and the refused checks, graded together over one pass of the standard rates, the current
// one when it is not among them, and a rate no device runs at when no standard rate was refused.
static void checkSetRates(double original)
{
    RateTally tally = {original, 0, 0, false, false};
    char rateText[32];
    formatRate(original, rateText, sizeof rateText);
    for (double rate : probeRates)
        tryRate(rate, &tally);
    long standard = tally.accepted;
    if (usableRate(original) && !standardRate(original))
        tryRate(original, &tally);
    if (!tally.refused && wanted(CHECK_RATES_REFUSED)) {
        ASIOError can = asioCanSampleRate(UNUSUAL_RATE);
        if (can == ASE_OK)
            grade(CHECK_RATES_REFUSED, VERDICT_FAIL, "canSampleRate accepted every standard rate and "
                  "%.0f Hz too: no refused rate to judge", UNUSUAL_RATE);
        else
            tryRefused(UNUSUAL_RATE, can, &tally);
    }
    if (!tally.setFailed && !tally.accepted)
        grade(CHECK_RATES_SET, VERDICT_FAIL, "canSampleRate accepted no standard rate, nor the current "
              "%s Hz: no rate to set", rateText);
    else if (!tally.setFailed)
        grade(CHECK_RATES_SET, VERDICT_PASS, "%ld of the %d standard rates%s accepted, set and read back",
              standard, PROBE_RATES, tally.accepted > standard ? " and the current one" : "");
    if (!tally.refusedTaken && tally.refused)
        grade(CHECK_RATES_REFUSED, VERDICT_PASS, "%ld refused rates refused by setSampleRate too",
              tally.refused);
}

// `got` is what getSampleRate answered for `original` when the phase began: whatever rate it had
// (0 and NaN too) is set back. Without one it fails: the rate it had could not be known, and the
// close sets back the last rate the driver reported earlier, if any.
static void checkRestored(ASIOError got, double original)
{
    beginCheck(CHECK_RATES_RESTORED);
    char answer[32], rateText[32], nowText[32];
    if (got != ASE_OK) {
        double earlier = 0;
        char left[120] = "no rate it had to set back";
        if (rateToSetBack(&earlier)) {
            rememberRateToRestore(earlier);
            formatRate(earlier, rateText, sizeof rateText);
            snprintf(left, sizeof left, "the rate it had could not be known; %s Hz, the last it "
                     "reported, is set back", rateText);
        }
        grade(CHECK_RATES_RESTORED, VERDICT_FAIL, "getSampleRate answered %s when the phase began: %s",
              asioErrorName(got, answer, sizeof answer), left);
        return;
    }
    formatRate(original, rateText, sizeof rateText);
    ASIOError set = setRateToRestore(original);
    double now = 0;
    ASIOError read = asioGetSampleRate(&now);
    formatRate(now, nowText, sizeof nowText);
    if (set != ASE_OK)
        grade(CHECK_RATES_RESTORED, VERDICT_FAIL, "setSampleRate(%s), the rate it had, answered %s",
              rateText, asioErrorName(set, answer, sizeof answer));
    else if (read != ASE_OK || now != original)
        grade(CHECK_RATES_RESTORED, VERDICT_FAIL, "setSampleRate(%s), the rate it had, answered ASE_OK; "
              "getSampleRate then read %s Hz", rateText, nowText);
    else
        grade(CHECK_RATES_RESTORED, VERDICT_PASS, "%s Hz set back and read back", rateText);
}

void conformRates(const CheckerOptions &options, int index)
{
    if (!openForPhase(options, index, PHASE_RATES))
        return;
    double original = 0;
    ASIOError got = asioGetSampleRate(&original);
    phaseRate(got, original);
    if (beginFirstWanted({CHECK_RATES_SET, CHECK_RATES_REFUSED}))
        checkSetRates(got == ASE_OK ? original : 0);
    if (wanted(CHECK_RATES_RESTORED))
        checkRestored(got, original);
    closeChosenDriver();
}
