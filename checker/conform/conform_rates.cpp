// The rates phase: every standard rate the driver accepts set and read back, the refused ones
// refused, and the rate it had set back.
#include "checker/conform/phases.h"

#include "drivers/driver_loading.h"

#include <stdio.h>

void conformRates(const CheckerOptions &options, int index)
{
    if (!openForPhase(options, index, PHASE_RATES))
        return;
    char answer[32], rateText[32];
    double original = 0;
    asioGetSampleRate(&original);
    beginCheck(CHECK_RATES_SET);
    long accepted = 0, refused = 0;
    bool setFailed = false, refusedTaken = false;
    for (double rate : probeRates) {
        formatRate(rate, rateText, sizeof rateText);
        ASIOError can = asioCanSampleRate(rate);
        ASIOError set = asioSetSampleRate(rate);
        if (can == ASE_OK) {
            accepted++;
            double now = 0;
            ASIOError got = asioGetSampleRate(&now);
            if (set != ASE_OK && !setFailed) {
                grade(CHECK_RATES_SET, VERDICT_FAIL, "canSampleRate(%s) answered ASE_OK, setSampleRate "
                      "answered %s", rateText, asioErrorName(set, answer, sizeof answer));
                setFailed = true;
            } else if ((got != ASE_OK || now != rate) && !setFailed) {
                char nowText[32];
                formatRate(now, nowText, sizeof nowText);
                grade(CHECK_RATES_SET, VERDICT_FAIL, "setSampleRate(%s) answered ASE_OK, then "
                      "getSampleRate read %s Hz", rateText, nowText);
                setFailed = true;
            }
        } else {
            refused++;
            if (set == ASE_OK && !refusedTaken) {
                grade(CHECK_RATES_REFUSED, VERDICT_WARN, "canSampleRate(%s) answered %s, but "
                      "setSampleRate(%s) answered ASE_OK", rateText,
                      asioErrorName(can, answer, sizeof answer), rateText);
                refusedTaken = true;
            }
        }
    }
    if (!setFailed)
        grade(CHECK_RATES_SET, VERDICT_PASS, "%ld of the %d standard rates accepted, set and read back",
              accepted, PROBE_RATES);
    if (!refusedTaken)
        grade(CHECK_RATES_REFUSED, VERDICT_PASS, "%ld refused rates refused by setSampleRate too", refused);

    beginCheck(CHECK_RATES_RESTORED);
    formatRate(original, rateText, sizeof rateText);
    ASIOError set = asioSetSampleRate(original);
    double now = 0;
    ASIOError got = asioGetSampleRate(&now);
    char nowText[32];
    formatRate(now, nowText, sizeof nowText);
    if (set != ASE_OK)
        grade(CHECK_RATES_RESTORED, VERDICT_FAIL, "setSampleRate(%s), the rate it had, answered %s",
              rateText, asioErrorName(set, answer, sizeof answer));
    else if (got != ASE_OK || now != original)
        grade(CHECK_RATES_RESTORED, VERDICT_FAIL, "setSampleRate(%s), the rate it had, answered ASE_OK; "
              "getSampleRate then read %s Hz", rateText, nowText);
    else
        grade(CHECK_RATES_RESTORED, VERDICT_PASS, "%s Hz set back and read back", rateText);
    closeChosenDriver();
}
