// The clients phase through a cable (--out, --in): the first stream writes the integrity command's
// sequence on output O and its input I is analysed, so that a second host that spoils the first's
// samples without stopping its callbacks is caught; each event is placed against the second host's
// calls.
#include "checker/conform/phases.h"

#include <stdio.h>
#include <string.h>

namespace {

bool used;
long outChannel, inChannel;
RunSetup setup;  // what the analysis needs of the first stream
const IntegrityAnalysis *analysis;

// An event's moment on the performance counter: its block's arrival.
int64_t eventMoment(const IntegrityEvent &e)
{
    return switchTicksToCounter(setup.windowStart + static_cast<int64_t>(e.timeUs * calibratedTicksPerUs()));
}

// "47616 samples corrupted", "the delay slipped by 3 samples".
void eventWords(const IntegrityEvent &e, char *out, size_t size)
{
    static const char *const done[EVENT_KINDS] = {"corrupted", "inverted", "lost", "repeated", ""};
    long long samples = static_cast<long long>(e.size);
    if (e.kind == EVENT_SLIP || e.kind < 0 || e.kind >= EVENT_KINDS)
        snprintf(out, size, "the delay slipped by %lld samples", samples);
    else
        snprintf(out, size, "%lld sample%s %s", samples, samples == 1 ? "" : "s", done[e.kind]);
}

// False, with the check failed, when the cable has nothing to judge the samples by; not judged
// when the checker fell behind before it had seen enough to give up on the sequence.
bool lockedInTime(ConformCheck check, int64_t lockBy)
{
    const IntegrityFindings &a = analysis->results;
    if (a.state != INTEGRITY_LOCKED && a.unseen > 0 && analysis->fed < analysis->noLockSamples) {
        leaveUnjudged(check, "on the cable, the checker fell behind before it found the sequence: "
                      "%lld samples of input %ld not analysed", static_cast<long long>(a.unseen), inChannel);
        return false;
    }
    if (a.state != INTEGRITY_LOCKED) {
        grade(check, VERDICT_FAIL, "the sequence written on output %ld did not come back on input %ld "
              "(it carried %s): there is nothing to judge the first host's samples by", outChannel,
              inChannel, noLockWords(a.noLockReason, WORDING_TEXT));
        return false;
    }
    if (a.lockPosition >= lockBy) {
        grade(check, VERDICT_FAIL, "the sequence came back on input %ld only at input position %lld, "
              "too late to judge the first host's samples by", inChannel,
              static_cast<long long>(a.lockPosition));
        return false;
    }
    return true;
}

}  // namespace

const ASIOCallbacks *prepareClientsCable(const CheckerOptions &options, const DriverFigures &figures,
                                         long frames, double periodUs, char *why, size_t size, int *code)
{
    used = options.outChannel >= 0 && options.inChannel >= 0;
    analysis = nullptr;
    if (!used)
        return &timedCallbacks;
    outChannel = options.outChannel;
    inChannel = options.inChannel;
    memset(&setup, 0, sizeof setup);
    setup.figures = figures;
    setup.bufferSize = frames;
    setup.periodUs = periodUs;
    long outType = 0, inType = 0;
    *code = prepareCableIntegrity(options, setup, &outType, &inType);
    if (*code == EXIT_FINE)
        return &integrityCallbacks;
    snprintf(why, size, "the cable: %s", lastFailure());
    endCableIntegrity();
    used = false;
    return nullptr;
}

void startClientsCable()
{
    setup.windowStart = switchTicks();
    if (used)
        startCableIntegrity(setup);
}

void pollClientsCable()
{
    if (used)
        pollCableIntegrity();
}

void finishClientsCable()
{
    setup.windowEnd = switchTicks();
    if (used)
        analysis = &finishCableIntegrity(setup);
}

void endClientsCable()
{
    if (analysis)
        endCableIntegrity();
    analysis = nullptr;
    used = false;
}

void judgeClientsCable(ConformCheck check, int64_t from, int64_t to, int64_t lockBy, const char *while_)
{
    if (!analysis || !lockedInTime(check, lockBy))
        return;
    const IntegrityFindings &a = analysis->results;
    int within = 0, first = -1;
    int64_t last = 0;
    for (int k = 0; k < a.keptEvents; k++) {
        last = eventMoment(a.events[k]);
        if (last >= from && last < to && within++ == 0)
            first = k;
    }
    long long unplaced = 0;
    for (int64_t count : a.eventCounts)
        unplaced += count;
    unplaced -= a.keptEvents;
    char place[160], what[80];
    if (first >= 0) {
        const IntegrityEvent &e = a.events[first];
        placeAgainstSecondHost(eventMoment(e), place, sizeof place);
        eventWords(e, what, sizeof what);
        grade(check, VERDICT_FAIL, "on the cable, %s %s (input position %lld); %d integrity event%s "
              "%s", what, place, static_cast<long long>(e.position), within, within == 1 ? "" : "s",
              while_);
    } else if (unplaced > 0 && (a.keptEvents == 0 || last < to)) {
        grade(check, VERDICT_FAIL, "on the cable, %lld integrity events past the first %d, which may "
              "have come %s", unplaced, a.keptEvents, while_);
    } else if (to == INT64_MAX && a.missing) {
        grade(check, VERDICT_FAIL, "on the cable, %lld samples expected from input position %lld up to "
              "the stop never arrived", static_cast<long long>(a.missing),
              static_cast<long long>(a.missingFrom));
    } else if (a.unseen) {
        // Not the driver's: the check is not judged, and the run ends as the checker's shortfall.
        leaveUnjudged(check, "on the cable, the checker fell behind: %lld samples of input %ld not "
                      "analysed", static_cast<long long>(a.unseen), inChannel);
    } else {
        // The timing's words come first, and these fit after them in the evidence.
        appendEvidence(check, "; on the cable (output %ld to input %ld): a delay of %lld samples, "
                       "%lld matched in the run, none lost or changed", outChannel, inChannel,
                       static_cast<long long>(a.lockDelay), static_cast<long long>(a.matched));
    }
}
