// The lifecycle phase: what a host does over and over, start and stop, dispose and create, a rate
// change between runs, and the release at the end.
#include "checker/conform/phases.h"

#include "drivers/driver_loading.h"
#include "engine/loopback.h"

#include <algorithm>
#include <math.h>
#include <stdio.h>
#include <vector>

enum { START_STOP_RUNS = 20, RECREATE_RUNS = 10, SWITCHES_PER_RUN = 3 };
static const unsigned long SWITCH_WAIT_MS = 1000;
static const unsigned long AFTER_STOP_MS = 30;

// How long a run may take to make `switches` at `periodUs`: a second for the start, and twice the
// periods (a large buffer's run is long by nature); at most a minute.
static unsigned long switchWaitMs(long switches, double periodUs)
{
    double ms = SWITCH_WAIT_MS + (periodUs > 0 ? 2 * switches * periodUs / 1000 : 0);
    return static_cast<unsigned long>(std::min(ms, 60000.0));
}

// The period of `frames` at `rate`; 0 when the rate is not usable.
static double periodAt(long frames, double rate)
{
    return usableRate(rate) && frames > 0 ? frames / rate * 1e6 : 0;
}

// One short run on the buffers that are made, at `periodUs` each switch: start, a few switches,
// stop, and no callback after. True when it streamed and stopped cleanly; the reason otherwise,
// "" when the user interrupted it before it had its switches (nothing to judge).
static bool shortRun(long switches, double periodUs, char *why, size_t whySize)
{
    char answer[32];
    long lateBefore = conformStageCount(STAGE_STOPPED);
    long since = conformSwitchCount();
    unsigned long waitMs = switchWaitMs(switches, periodUs);
    setConformStage(STAGE_RUNNING);
    ASIOError started = asioStart();
    // Watched as a run: its wait may outlast the call limit at a large buffer.
    watchRun(waitMs / 1000.0);
    bool streamed = started == ASE_OK && waitForSwitches(since, switches, waitMs);
    watchRun(0);
    endCrashedRun();
    bool cut = !streamed && started == ASE_OK && runStopAsked();
    long came = conformSwitchCount() - since;
    setConformStage(STAGE_STOPPING);
    ASIOError stopped = asioStop();
    setConformStage(STAGE_STOPPED);
    pumpMessages(AFTER_STOP_MS);
    long late = conformStageCount(STAGE_STOPPED) - lateBefore;
    setConformStage(STAGE_BEFORE_START);
    if (started != ASE_OK)
        snprintf(why, whySize, "start answered %s", asioErrorName(started, answer, sizeof answer));
    else if (cut)
        *why = '\0';
    else if (!streamed)
        snprintf(why, whySize, "%ld switches in %lu ms after start answered ASE_OK", came, waitMs);
    else if (stopped != ASE_OK)
        snprintf(why, whySize, "stop answered %s", asioErrorName(stopped, answer, sizeof answer));
    else if (late)
        snprintf(why, whySize, "%ld callbacks after stop returned", late);
    else
        return true;
    return false;
}

// Whether the buffers were made.
static bool checkStartStop(long frames, double rate)
{
    beginCheck(CHECK_LIFE_START_STOP);
    ASIOError created = createConformBuffers(frames);
    if (!answered(CHECK_LIFE_START_STOP, created, "createBuffers(%ld frames)", frames))
        return false;
    char why[200] = "";
    int run = 1;
    while (run <= START_STOP_RUNS && !runStopAsked() &&
           shortRun(SWITCHES_PER_RUN, periodAt(frames, rate), why, sizeof why))
        run++;
    // Interrupted: the runs so far judge nothing, unless one of them failed.
    if (runStopAsked() && (run > START_STOP_RUNS || !*why))
        return true;
    if (run <= START_STOP_RUNS)
        grade(CHECK_LIFE_START_STOP, VERDICT_FAIL, "run %d of %d: %s", run, START_STOP_RUNS, why);
    else
        grade(CHECK_LIFE_START_STOP, VERDICT_PASS, "%d runs on the same buffers", START_STOP_RUNS);
    return true;
}

// The smallest size the driver allows other than `frames` (`frames` when there is none): quick runs.
static long otherSize(const DriverFigures &figures, long frames)
{
    long sizes[16];
    int count = allowedBufferSizes(figures.minSize, figures.maxSize, frames, figures.granularity, sizes, 16);
    long other = frames;
    for (int k = count - 1; k >= 0; k--) {
        if (sizes[k] != frames)
            other = sizes[k];
    }
    return other;
}

// Sizes alternate, as a user changing the buffer size makes them; `made` tells whether buffers are
// made already (they are given back first). Whether buffers are made at the end.
static bool checkRecreate(const DriverFigures &figures, bool made)
{
    beginCheck(CHECK_LIFE_RECREATE);
    long frames = figures.preferredSize;
    long other = otherSize(figures, frames);
    char answer[32], why[200] = "";
    int run = 1;
    for (; run <= RECREATE_RUNS; run++) {
        long size = run % 2 ? other : frames;
        if (made)
            asioDisposeBuffers();
        ASIOError created = createConformBuffers(size);
        made = created == ASE_OK;
        if (!made) {
            snprintf(why, sizeof why, "createBuffers(%ld frames) answered %s", size,
                     asioErrorName(created, answer, sizeof answer));
            break;
        }
        if (runStopAsked() || !shortRun(SWITCHES_PER_RUN, periodAt(size, figures.sampleRate), why, sizeof why))
            break;
    }
    if (runStopAsked() && (run > RECREATE_RUNS || !*why))
        return made;  // interrupted: not judged
    if (run <= RECREATE_RUNS)
        grade(CHECK_LIFE_RECREATE, VERDICT_FAIL, "run %d of %d: %s", run, RECREATE_RUNS, why);
    else
        grade(CHECK_LIFE_RECREATE, VERDICT_PASS, "%d runs, each on buffers made afresh (%ld and %ld "
              "frames)", RECREATE_RUNS, other, frames);
    return made;
}

// The first standard rate other than `original` that canSampleRate accepts; else `original` itself,
// set again (a host sets the rate it opens at); 0 when there is no usable rate to set.
static double otherRate(double original)
{
    double changed = 0;
    for (double rate : probeRates) {
        if (rate != original && changed == 0 && asioCanSampleRate(rate) == ASE_OK)
            changed = rate;
    }
    return changed == 0 && usableRate(original) ? original : changed;
}

// The run at the new rate after setSampleRate answered `set`, its notes begun afresh: whether it
// streamed at the pace of the rate, with what it did in `why`.
static bool runAtRate(long frames, double changed, ASIOError set, char *why, size_t size)
{
    char rateText[32], answer[32];
    formatRate(changed, rateText, sizeof rateText);
    ASIOError created = set == ASE_OK ? createConformBuffers(frames) : set;
    long from = conformNoteCount();  // callbacks inside createBuffers are not the run's pace
    double periodUs = periodAt(frames, changed);
    char runWhy[200];
    if (set != ASE_OK) {
        snprintf(why, size, "setSampleRate(%s) between two runs answered %s", rateText,
                 asioErrorName(set, answer, sizeof answer));
    } else if (created != ASE_OK) {
        snprintf(why, size, "createBuffers(%ld frames) at %s Hz answered %s", frames, rateText,
                 asioErrorName(created, answer, sizeof answer));
    } else if (!shortRun(50, periodUs, runWhy, sizeof runWhy)) {
        if (*runWhy)
            snprintf(why, size, "the run at %s Hz: %s", rateText, runWhy);
        else
            *why = '\0';  // interrupted: nothing to judge
    } else {
        double intervalUs = arrivalStepUs(from, conformNoteCount());
        if (fabs(intervalUs / periodUs - 1) <= 0.2) {
            snprintf(why, size, "streamed at %s Hz (every %.0f us)", rateText, intervalUs);
            return true;
        }
        snprintf(why, size, "the run at %s Hz switched every %.0f us, not every %.0f us", rateText,
                 intervalUs, periodUs);
    }
    return false;
}

// As hosts do: the buffers are given back (`made`: they are made), the rate changed, and new buffers
// made; the rate the driver had is set back when the object is closed. A driver with no other
// standard rate gets its own rate set again.
static void checkRateChange(long frames, double original, bool made)
{
    beginCheck(CHECK_LIFE_RATE_CHANGE);
    double changed = otherRate(original);
    if (changed == 0) {
        grade(CHECK_LIFE_RATE_CHANGE, VERDICT_FAIL, "canSampleRate accepts no standard rate, and the "
              "current one is not usable: no rate to set between two runs");
        return;
    }
    if (made)
        asioDisposeBuffers();
    beginConformRun(false, false, false);
    ASIOError set = setRateToRestore(changed);
    char why[240];
    bool streamed = runAtRate(frames, changed, set, why, sizeof why);
    if (*why)
        grade(CHECK_LIFE_RATE_CHANGE, streamed ? VERDICT_PASS : VERDICT_FAIL, "%s%s", changed == original ?
          "no other standard rate accepted, the current one set again; " : "", why);
    asioDisposeBuffers();
}

// Everything disposed and the object released: the last Release must let go.
static void checkRelease()
{
    beginCheck(CHECK_LIFE_RELEASE);
    endLoopback();
    unsigned long left = closeConformDriver();
    if (left != 0)
        grade(CHECK_LIFE_RELEASE, VERDICT_FAIL, "the last Release answered %lu: the object keeps "
              "references to itself", left);
    else
        grade(CHECK_LIFE_RELEASE, VERDICT_PASS, "the last Release answered 0");
}

void conformLife(const CheckerOptions &options, int index)
{
    DriverFigures figures;
    if (!openWithFigures(options, index, PHASE_LIFE, &figures))
        return;
    beginConformRun(false, false, false);
    bool made = false;
    if (wanted(CHECK_LIFE_START_STOP))
        made = checkStartStop(figures.preferredSize, figures.sampleRate);
    if (wanted(CHECK_LIFE_RECREATE) && !runStopAsked())
        made = checkRecreate(figures, made);
    if (wanted(CHECK_LIFE_RATE_CHANGE) && !runStopAsked())
        checkRateChange(figures.preferredSize, figures.sampleRate, made);
    // endLoopback stops and disposes whatever is left.
    if (wanted(CHECK_LIFE_RELEASE)) {
        checkRelease();
    } else {
        endLoopback();
        closeConformDriver();
    }
}
