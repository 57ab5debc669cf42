// The rates phase: every standard rate the driver accepts set and read back, the refused ones
// refused, and the rate it had set back.
#include "checker/conform/phases.h"

#include "drivers/driver_loading.h"

#include <stdio.h>

// What the standard rates gave so far.
struct RateTally {
    long accepted, refused;
    bool setFailed, refusedTaken;  // the set and the refused check have their fault
};

// One standard rate asked about and set; read back when it was accepted.
static void tryRate(double rate, RateTally *tally)
{
    char answer[32], rateText[32];
    formatRate(rate, rateText, sizeof rateText);
    ASIOError can = asioCanSampleRate(rate);
    ASIOError set = asioSetSampleRate(rate);
    if (can != ASE_OK) {
        tally->refused++;
        if (set == ASE_OK && !tally->refusedTaken) {
            grade(CHECK_RATES_REFUSED, VERDICT_WARN, "canSampleRate(%s) answered %s, but "
                  "setSampleRate(%s) answered ASE_OK", rateText,
                  asioErrorName(can, answer, sizeof answer), rateText);
            tally->refusedTaken = true;
        }
        return;
    }
    tally->accepted++;
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

// The set and the refused checks, graded together over one pass of the standard rates.
static void checkSetRates()
{
    beginCheck(CHECK_RATES_SET);
    RateTally tally = {};
    for (double rate : probeRates)
        tryRate(rate, &tally);
    if (!tally.setFailed)
        grade(CHECK_RATES_SET, VERDICT_PASS, "%ld of the %d standard rates accepted, set and read back",
              tally.accepted, PROBE_RATES);
    if (!tally.refusedTaken)
        grade(CHECK_RATES_REFUSED, VERDICT_PASS, "%ld refused rates refused by setSampleRate too",
              tally.refused);
}

static void checkRestored(double original)
{
    beginCheck(CHECK_RATES_RESTORED);
    char answer[32], rateText[32], nowText[32];
    formatRate(original, rateText, sizeof rateText);
    ASIOError set = asioSetSampleRate(original);
    double now = 0;
    ASIOError got = asioGetSampleRate(&now);
    formatRate(now, nowText, sizeof nowText);
    if (set != ASE_OK)
        grade(CHECK_RATES_RESTORED, VERDICT_FAIL, "setSampleRate(%s), the rate it had, answered %s",
              rateText, asioErrorName(set, answer, sizeof answer));
    else if (got != ASE_OK || now != original)
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
    asioGetSampleRate(&original);
    checkSetRates();
    checkRestored(original);
    closeChosenDriver();
}
