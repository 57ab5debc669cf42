// quorvelcheck integrity: a known sequence written on output O, every sample that comes back on
// input I accounted for. The callback only writes the sequence and hands input I's buffer to a ring
// (measure.h); the main thread finds the sequence and judges every sample.
#include "checker/commands/commands.h"

#include <math.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>

IntegrityResults integrityResults;

static IntegrityAnalysis analysis;
static uint32_t *words;
static uint8_t *inexact;
static int64_t runStart;        // switch ticks at the start's return
static double ticksPerUs;
static int64_t lastArrival;     // switch ticks of the last block analysed; 0 before the first

static bool sequenceTypeSupported(long type)
{
    return sequenceTypeBits(type) != 0;
}

// Takes every block the callbacks left into the analysis. True ends the run early: the sequence
// was not found, and waiting longer shows nothing more.
static bool analyseBlocks()
{
    const IntegrityPlan &plan = integrityPlan;
    int bytes = sequenceTypeBytes(plan.inType);
    while (const RingBlock *block = peekRingBlock(plan.ring)) {
        long count = static_cast<long>(block->bytes / bytes);
        readSequence(block->data, plan.inType, count, words, inexact);
        analyseIntegrityBlock(&analysis, words, inexact, count, block->switchNumber * plan.frames,
                              block->switchNumber, (block->arrivalTicks - runStart) / ticksPerUs);
        lastArrival = block->arrivalTicks;
        releaseRingBlock(plan.ring);
    }
    return analysis.state == INTEGRITY_NO_LOCK;
}

static void integrityProgress(char *line, size_t size)
{
    const char *state = analysis.state == INTEGRITY_LOCKED ? "locked" : "searching";
    snprintf(line, size, "integrity: %s, %lld samples, %lld matched", state,
             static_cast<long long>(analysis.received), static_cast<long long>(analysis.matched));
}

const char *integrityResultsFault(const void *copy)
{
    const IntegrityResults &r = *static_cast<const IntegrityResults *>(copy);
    const char *fault = runPartsFault(r.stage, r.setup, r.timing);
    if (!fault && !inRange(r.state, INTEGRITY_SEARCHING, INTEGRITY_NO_LOCK))
        fault = "state";
    if (!fault && !inRange(r.noLockReason, NO_LOCK_SILENT, NO_LOCK_FOREIGN))
        fault = "noLockReason";
    if (!fault && !inRange(r.bits, 0, 32))
        fault = "bits";
    if (!fault && !inRange(r.transparentBits, 0, 32))
        fault = "transparentBits";
    if (!fault && !inRange(r.keptEvents, 0, MAX_INTEGRITY_EVENTS))
        fault = "keptEvents";
    for (int k = 0; !fault && k < r.keptEvents; k++)
        fault = inRange(r.events[k].kind, 0, EVENT_KINDS - 1) ? nullptr : "events.kind";
    return fault;
}

static void takeAnalysis(IntegrityResults *r)
{
    const IntegrityAnalysis &a = analysis;
    r->bits = a.bits;
    r->state = a.state;
    r->delay = a.delay;
    r->lockDelay = a.lockDelay;
    r->lockPosition = a.lockPosition;
    r->sign = a.sign;
    r->shift = a.shift;
    r->received = a.receivedAfterLock;
    r->searched = a.received - a.receivedAfterLock;
    r->unseen = a.unseen;
    r->matched = a.matched;
    r->corrupted = a.corrupted;
    r->inverted = a.inverted;
    r->scaled = a.scaled;
    r->missing = a.missing;
    r->missingFrom = a.missingFrom;
    r->foreign = a.foreign;
    r->dropped = a.dropped;
    r->repeated = a.repeated;
    r->slipped = a.slipped;
    memcpy(r->eventCounts, a.eventCounts, sizeof r->eventCounts);
    r->keptEvents = a.keptEvents;
    memcpy(r->events, a.events, sizeof r->events);
    r->differingBits = a.differingBits;
    r->transparentBits = transparentBits(&a);
    r->noLockReason = a.noLockReason;
    r->peakDbfs = a.peakDbfs;
    r->rmsDbfs = a.rmsDbfs;
    r->blocksDroppedByChecker = integrityPlan.ring ? static_cast<long>(integrityPlan.ring->dropped.load()) : 0;
}

// Everything the run needs before start: the ring, the analysis, the callback's plan.
static int prepareIntegrity(const CheckerOptions &options, const RunSetup &setup, IntegrityResults *r)
{
    double rate = setup.figures.sampleRate;
    long frames = setup.bufferSize;
    uint32_t inBytes = static_cast<uint32_t>(sequenceTypeBytes(r->inType) * frames);
    // Two seconds of blocks: the main thread takes them at least every 100 ms.
    uint32_t blocks = static_cast<uint32_t>(rate * 2 / frames) + 64;
    SampleRing *fresh = static_cast<SampleRing *>(calloc(1, sizeof(SampleRing)));
    if (!fresh || !makeSampleRing(fresh, blocks, inBytes))
        return fail(EXIT_NO_MEMORY, "the checker has no memory for %u blocks of %u bytes", blocks, inBytes);
    integrityPlan.ring = fresh;
    words = static_cast<uint32_t *>(malloc(frames * sizeof *words));
    inexact = static_cast<uint8_t *>(malloc(frames));
    // Delays up to a second, or more for a driver with large buffers; the verdict after two
    // seconds without the sequence, or once every delay searched has come and gone.
    int64_t maxDelay = static_cast<int64_t>(rate);
    if (maxDelay < 8 * frames + 4096)
        maxDelay = 8 * frames + 4096;
    int64_t verdictAfter = static_cast<int64_t>(rate * 2);
    if (verdictAfter < maxDelay + frames)
        verdictAfter = maxDelay + frames;
    if (!words || !inexact || !beginIntegrityAnalysis(&analysis, r->inType, maxDelay, verdictAfter))
        return fail(EXIT_NO_MEMORY, "the checker has no memory for the analysis");
    long outputs = setup.figures.outputChannels > 0 ? setup.figures.outputChannels : 0;
    IntegrityPlan &plan = integrityPlan;
    plan.outElement = options.outChannel;
    plan.inElement = outputs + options.inChannel;
    plan.outType = r->outType;
    plan.inType = r->inType;
    plan.frames = frames;
    plan.inBytes = inBytes;
    return EXIT_FINE;
}

// The driver opened, the cable checked, the ring and the analysis made, the run begun.
static int beginIntegrityRun(const CheckerOptions &options, IntegrityResults *r)
{
    int code = openRun(options, &r->setup);
    if (code == EXIT_FINE) {
        code = checkCable(options, r->setup.figures, sequenceTypeSupported,
                          "an integer or float type of 16 to 32 bits", &r->outType, &r->inType);
        r->outChannel = options.outChannel;
        r->inChannel = options.inChannel;
    }
    if (code == EXIT_FINE && r->setup.periodUs <= 0)
        code = fail(EXIT_DRIVER, "the driver reports no usable sample rate: the run cannot be timed");
    if (code == EXIT_FINE && !prepareTiming(options.seconds, r->setup.periodUs))
        code = fail(EXIT_NO_MEMORY, "the checker has no memory for the timing of %g s", options.seconds);
    if (code == EXIT_FINE)
        code = prepareIntegrity(options, r->setup, r);
    if (code == EXIT_FINE) {
        r->stage = RUN_PREPARED;
        publishRecord(&integrityResults);
        resetMessageCounts(options.timeInfo);
        code = beginRun(&integrityCallbacks, &r->setup);
    }
    return code;
}

// The input position the window should have reached: past the last block, the switches its
// silence up to the window's end held. A switch late by less than 1.5 periods is not one missing;
// one that came after the window's end, but before the analysis ended, counts as come.
static int64_t expectedEnd(const RunSetup &setup)
{
    if (lastArrival == 0 || setup.periodUs <= 0)
        return analysis.nextPosition;
    double silentPeriods = (setup.windowEnd - lastArrival) / calibratedTicksPerUs() / setup.periodUs;
    int64_t switches = silentPeriods >= 1.5 ? static_cast<int64_t>(silentPeriods - 0.5) : 0;
    return analysis.nextPosition + switches * setup.bufferSize;
}

// The run's status: the sequence found, and nothing but matches after it.
static int integrityVerdict(const IntegrityResults &r)
{
    if (r.state != INTEGRITY_LOCKED) {
        static const char *const carried[] = {"was silent", "carried only low noise",
                                              "carried a loud signal that is not the sequence (a "
                                              "wrong channel?)"};
        int reason = r.noLockReason >= 0 && r.noLockReason <= 2 ? r.noLockReason : 2;
        return fail(EXIT_CHECK_MISSED, "the sequence did not come back on input %ld within 2 s: the "
                    "input %s; its peak was %.1f dBFS", r.inChannel, carried[reason],
                    r.peakDbfs + 0.0 > -0.05 ? 0.0 : r.peakDbfs);
    }
    char changed[160];
    if (integrityTransformText(r, changed, sizeof changed))
        return fail(EXIT_CHECK_MISSED, "the sequence came back %s", changed);
    if (r.missing) {
        return fail(EXIT_CHECK_MISSED, "%lld samples expected from input position %lld to the end of "
                    "the run never arrived: the driver stopped delivering input",
                    static_cast<long long>(r.missing), static_cast<long long>(r.missingFrom));
    }
    long long events = 0;
    for (int64_t count : r.eventCounts)
        events += count;
    if (events || r.unseen) {
        return fail(EXIT_CHECK_MISSED, "%lld event%s after the sequence was found: not every sample "
                    "came back as it was sent", events, events == 1 ? "" : "s");
    }
    return EXIT_FINE;
}

static int integritySession(const CheckerOptions &options)
{
    IntegrityResults &r = integrityResults;
    int code = beginIntegrityRun(options, &r);
    if (code != EXIT_FINE) {
        publishRecord(&callNotes);
        closeChosenDriver();
        return code;
    }
    r.stage = RUN_STARTED;
    runStart = r.setup.windowStart;
    ticksPerUs = calibratedTicksPerUs();
    lastArrival = 0;
    publishRecord(&integrityResults);
    waitForRun(options.seconds, analyseBlocks, integrityProgress);
    judgeWindow(&r.setup, &r.timing);
    analyseBlocks();
    finishIntegrityAnalysis(&analysis, expectedEnd(r.setup));
    takeAnalysis(&r);
    tallyMessages(&r.messages);
    r.stage = RUN_MEASURED;
    publishRecord(&integrityResults);
    publishRecord(&callNotes);
    endRun(&r.setup, &r.timing);
    closeChosenDriver();
    r.stage = RUN_STOPPED;
    publishRecord(&integrityResults);
    publishRecord(&callNotes);
    return integrityVerdict(r);
}

int measureIntegrity(const CheckerOptions &options, int, const char *arguments,
                     SessionOutcome *outcome)
{
    return measureSession(options, &integrityResults, sizeof integrityResults, integritySession,
                          arguments, outcome);
}

static int integrityCommand(const CheckerOptions &options)
{
    return runDriverCommand(options, measureIntegrity, writeIntegrityDocument, printIntegrityText);
}

static int integrityRules(CheckerOptions *o, const ArgumentFacts &facts)
{
    int code = requireDriver(o, facts);
    if (code == EXIT_FINE && (o->outChannel < 0 || o->inChannel < 0))
        code = fail(EXIT_USAGE, "integrity needs --out O and --in I: the output and input the cable "
                                "joins");
    return code;
}

static const char *const integrityHelp =
    "usage: quorvelcheck integrity DRIVER --out O --in I [--seconds S] [--buffer N] [--rate R]\n"
    "                              [--time-info] [--json]\n"
    "\n"
    "For a cable from output O to input I: writes a known sequence on output O, every sample a\n"
    "value its neighbours do not share, using every bit the sample type carries, for S seconds\n"
    "(10), finds it on input I, and accounts for every sample that comes back: matched,\n"
    "corrupted (the bits that differ), inverted, dropped, repeated, or a slip of the delay. Each\n"
    "event with its stream position, switch and time; which bits came through unchanged; and\n"
    "the switch timing, so that a late switch is told apart from lost data. Exit 1 when anything\n"
    "did not match after the sequence was found, or when it was not found within 2 s (with what\n"
    "the input carried instead).\n";

extern const CommandSpec integrityCommandSpec = {
    "integrity", "integrity DRIVER",
    "every sample through a cable from an output to an input, bit for bit", integrityHelp,
    WORKER_OPTIONS | OPTION_BIT(OPTION_SECONDS) | OPTION_BIT(OPTION_BUFFER) | OPTION_BIT(OPTION_RATE) |
        OPTION_BIT(OPTION_OUT) | OPTION_BIT(OPTION_IN) | OPTION_BIT(OPTION_TIME_INFO),
    false, integrityRules, integrityCommand, integritySession,
};
