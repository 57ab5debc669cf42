// quorvelcheck integrity: a known sequence written on output O, every sample that comes back on
// input I accounted for. The callback only writes the sequence and hands input I's buffer to a ring;
// the main thread finds the sequence and judges every sample.
#include "checker/checker.h"

#include "checker/driver_session.h"
#include "checker/integrity_sequence.h"
#include "checker/json_writer.h"
#include "checker/output.h"
#include "checker/results.h"
#include "checker/sample_ring.h"
#include "checker/worker.h"
#include "engine/loopback.h"

#include <math.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>

IntegrityResults integrityResults;

// The callback's plan, fixed before start.
struct IntegrityPlan {
    long outElement, inElement;  // in the run's buffer array
    long outType, inType;
    long frames;
    uint32_t inBytes;            // of one buffer of input I
    int64_t switchNumber;        // the callback's own count
};
static IntegrityPlan plan;
// Made for a run and never freed: a late callback after the run may still append to it.
static SampleRing *ring;
static IntegrityAnalysis analysis;
static uint32_t *words;
static uint8_t *inexact;
static int64_t runStart;        // switch ticks at the start's return
static double ticksPerUs;

static bool sequenceTypeSupported(long type)
{
    return sequenceTypeBits(type) != 0;
}

static void integrityBufferSwitch(long index, ASIOBool directProcess)
{
    int64_t before = switchTicks();
    onBufferSwitch(index, directProcess);
    const CopyPlan *copies = loopbackState.plan.load(std::memory_order_acquire);
    const ASIOBufferInfo *infos = copies ? copies->bufferInfos : nullptr;
    if (infos && (index == 0 || index == 1)) {
        void *out = infos[plan.outElement].buffers[index];
        const void *in = infos[plan.inElement].buffers[index];
        if (out)
            writeSequence(out, plan.outType, plan.switchNumber * plan.frames, plan.frames);
        if (in)
            appendRingBlock(ring, in, plan.inBytes, plan.switchNumber, before);
        plan.switchNumber++;
    }
    recordArrival(before, switchTicks());
}

static ASIOTime *integrityTimeInfoSwitch(ASIOTime *params, long index, ASIOBool directProcess)
{
    messageCounts.timeInfoSwitches.fetch_add(1, std::memory_order_relaxed);
    integrityBufferSwitch(index, directProcess);
    return params;
}

static void integrityRateDidChange(ASIOSampleRate)
{
    messageCounts.sampleRateChanges.fetch_add(1);
}

static const ASIOCallbacks integrityCallbacks = {
    integrityBufferSwitch,
    integrityRateDidChange,
    checkerAsioMessage,
    integrityTimeInfoSwitch,
};

// Takes every block the callbacks left into the analysis. True ends the run early: the sequence
// was not found, and waiting longer shows nothing more.
static bool analyseBlocks()
{
    int bytes = sequenceTypeBytes(plan.inType);
    while (const RingBlock *block = peekRingBlock(ring)) {
        long count = static_cast<long>(block->bytes / bytes);
        readSequence(block->data, plan.inType, count, words, inexact);
        analyseIntegrityBlock(&analysis, words, inexact, count, block->switchNumber * plan.frames,
                              block->switchNumber, (block->arrivalTicks - runStart) / ticksPerUs);
        releaseRingBlock(ring);
    }
    return analysis.state == INTEGRITY_NO_LOCK;
}

static void integrityProgress(char *line, size_t size)
{
    const char *state = analysis.state == INTEGRITY_LOCKED ? "locked" : "searching";
    snprintf(line, size, "integrity: %s, %lld samples, %lld matched", state,
             static_cast<long long>(analysis.received), static_cast<long long>(analysis.matched));
}

static void takeAnalysis(IntegrityResults *r)
{
    const IntegrityAnalysis &a = analysis;
    r->bits = a.bits;
    r->state = a.state;
    r->delay = a.delay;
    r->lockDelay = a.lockDelay;
    r->lockPosition = a.lockPosition;
    r->received = a.received;
    r->unseen = a.unseen;
    r->matched = a.matched;
    r->corrupted = a.corrupted;
    r->inverted = a.inverted;
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
    r->blocksDroppedByChecker = ring ? static_cast<long>(ring->dropped.load()) : 0;
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
        return fail(EXIT_DRIVER, "no memory for %u blocks of %u bytes", blocks, inBytes);
    ring = fresh;
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
        return fail(EXIT_DRIVER, "no memory for the analysis");
    long outputs = setup.figures.outputChannels > 0 ? setup.figures.outputChannels : 0;
    plan.outElement = options.outChannel;
    plan.inElement = outputs + options.inChannel;
    plan.outType = r->outType;
    plan.inType = r->inType;
    plan.frames = frames;
    plan.inBytes = inBytes;
    plan.switchNumber = 0;
    return EXIT_FINE;
}

int integritySession(const CheckerOptions &options)
{
    IntegrityResults &r = integrityResults;
    int code = openRun(options, &r.setup);
    if (code == EXIT_FINE) {
        code = checkCable(options, r.setup.figures, sequenceTypeSupported,
                          "an integer or float type of 16 to 32 bits", &r.outType, &r.inType);
        r.outChannel = options.outChannel;
        r.inChannel = options.inChannel;
    }
    if (code == EXIT_FINE && r.setup.periodUs <= 0)
        code = fail(EXIT_DRIVER, "the driver reports no usable sample rate: the run cannot be timed");
    if (code == EXIT_FINE && !prepareTiming(options.seconds, r.setup.periodUs))
        code = fail(EXIT_DRIVER, "no memory for the timing of %g s", options.seconds);
    if (code == EXIT_FINE)
        code = prepareIntegrity(options, r.setup, &r);
    if (code == EXIT_FINE) {
        r.stage = RUN_PREPARED;
        publishRecord(RECORD_INTEGRITY);
        resetMessageCounts(options.timeInfo);
        code = beginRun(&integrityCallbacks, &r.setup);
    }
    if (code != EXIT_FINE) {
        publishRecord(RECORD_CALL_NOTES);
        closeChosenDriver();
        return code;
    }
    r.stage = RUN_STARTED;
    runStart = r.setup.windowStart;
    ticksPerUs = calibratedTicksPerUs();
    publishRecord(RECORD_INTEGRITY);
    waitForRun(options.seconds, analyseBlocks, integrityProgress);
    judgeWindow(&r.setup, &r.timing);
    analyseBlocks();
    finishIntegrityAnalysis(&analysis);
    takeAnalysis(&r);
    tallyMessages(&r.messages);
    r.stage = RUN_MEASURED;
    publishRecord(RECORD_INTEGRITY);
    publishRecord(RECORD_CALL_NOTES);
    endRun(&r.setup, &r.timing);
    closeChosenDriver();
    r.stage = RUN_STOPPED;
    publishRecord(RECORD_INTEGRITY);
    publishRecord(RECORD_CALL_NOTES);

    if (r.state != INTEGRITY_LOCKED) {
        static const char *const carried[] = {"was silent", "carried only low noise",
                                              "carried a loud signal that is not the sequence (a "
                                              "wrong channel?)"};
        int reason = r.noLockReason >= 0 && r.noLockReason <= 2 ? r.noLockReason : 2;
        return fail(EXIT_CHECK_MISSED, "the sequence did not come back on input %ld within 2 s: the "
                    "input %s; its peak was %.1f dBFS", r.inChannel, carried[reason],
                    r.peakDbfs + 0.0 > -0.05 ? 0.0 : r.peakDbfs);
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

static const char *const eventNames[EVENT_KINDS] = {"corrupted", "inverted", "dropped", "repeated",
                                                     "slip"};

static void eventText(const IntegrityEvent &e, double rate, char *out, size_t size)
{
    char what[64];
    switch (e.kind) {
    case EVENT_CORRUPTED:
        snprintf(what, sizeof what, "%lld samples, bits 0x%08X", static_cast<long long>(e.size), e.bits);
        break;
    case EVENT_SLIP:
        snprintf(what, sizeof what, "%+lld samples", static_cast<long long>(e.size));
        break;
    default:
        snprintf(what, sizeof what, "%lld samples", static_cast<long long>(e.size));
    }
    snprintf(out, size, "%-9s %-28s at position %lld (switch %lld, %.3f ms; %.3f s of audio in)",
             eventNames[e.kind], what, static_cast<long long>(e.position),
             static_cast<long long>(e.switchNumber), e.timeUs / 1000, e.position / rate);
}

static void printText(const IntegrityResults &r)
{
    const RunSetup &s = r.setup;
    char rate[32], out[32], in[32];
    printDriverHeading(s.index);
    if (r.stage < RUN_STARTED) {
        printCallNotes();
        return;
    }
    formatRate(s.figures.sampleRate, rate, sizeof rate);
    printf("Integrity: output %ld (%s) to input %ld (%s), %d bits, %ld frames at %s Hz, %.2f s\n",
           r.outChannel, typeText(r.outType, out, sizeof out), r.inChannel,
           typeText(r.inType, in, sizeof in), r.bits, s.bufferSize, rate, s.elapsedS);
    if (r.stage >= RUN_MEASURED) {
        if (r.state != INTEGRITY_LOCKED) {
            static const char *const carried[] = {"silent", "low noise", "a loud signal that is not "
                                                  "the sequence: a wrong channel?"};
            int reason = r.noLockReason >= 0 && r.noLockReason <= 2 ? r.noLockReason : 2;
            printf("Sequence: not found (the input carried %s; peak %.1f dBFS, RMS %.1f dBFS)\n",
                   carried[reason], r.peakDbfs > -0.05 ? 0.0 : r.peakDbfs, r.rmsDbfs);
        } else {
            printf("Sequence found: delay %lld frames, from input position %lld\n",
                   static_cast<long long>(r.lockDelay), static_cast<long long>(r.lockPosition));
            printf("After the lock: %lld samples received, %lld matched, %lld corrupted, %lld "
                   "inverted, %lld dropped, %lld repeated, %lld slipped\n",
                   static_cast<long long>(r.received - r.lockPosition), static_cast<long long>(r.matched),
                   static_cast<long long>(r.corrupted), static_cast<long long>(r.inverted),
                   static_cast<long long>(r.dropped), static_cast<long long>(r.repeated),
                   static_cast<long long>(r.slipped));
            long long events = 0;
            for (int64_t count : r.eventCounts)
                events += count;
            printf("Events: %s", events ? "" : "none\n");
            if (events) {
                printf("%lld (", events);
                bool first = true;
                for (int k = 0; k < EVENT_KINDS; k++) {
                    if (r.eventCounts[k]) {
                        printf("%s%s %lld", first ? "" : ", ", eventNames[k],
                               static_cast<long long>(r.eventCounts[k]));
                        first = false;
                    }
                }
                printf(")%s\n", events > r.keptEvents ? "; the first 100 in full" : "");
                for (int k = 0; k < r.keptEvents; k++) {
                    char line[200];
                    eventText(r.events[k], s.figures.sampleRate, line, sizeof line);
                    printf("  %s\n", line);
                }
            }
            printf("Transparent to %d of %d bits%s\n", r.transparentBits, r.bits,
                   r.differingBits ? "" : " (every bit came through unchanged)");
            if (r.unseen || r.blocksDroppedByChecker) {
                printf("Not judged: %lld samples the checker had no room for (its own fault)\n",
                       static_cast<long long>(r.unseen));
            }
            bool lost = false;
            for (int64_t count : r.eventCounts)
                lost = lost || count;
            if (r.timing.late > 0) {
                printf("Late switches and data: %lld late switch%s; %s\n", r.timing.late,
                       r.timing.late == 1 ? "" : "es",
                       lost ? "samples went wrong too (the events above)"
                            : "no sample was lost: the timing went wrong, not the data");
            }
        }
        printTiming(r.timing, s.periodUs);
        printMessages(r.messages);
    }
    printCallNotes();
}

// The statuses a run is shown after; any other ends the command with its error alone.
static bool integrityStands(int code)
{
    return code == EXIT_FINE || code == EXIT_CHECK_MISSED || code == EXIT_CRASHED;
}

void writeIntegrityDocument(const IntegrityResults &r, const SessionOutcome &outcome, int exitCode)
{
    const RunSetup &s = r.setup;
    if (!integrityStands(exitCode)) {
        printFailureDocument(COMMAND_INTEGRITY, exitCode);
        return;
    }
    jsonBeginObject(nullptr);
    jsonHeader(COMMAND_INTEGRITY);
    jsonDriver(s.index);
    if (r.stage >= RUN_STARTED) {
        jsonInteger("out", r.outChannel);
        jsonInteger("in", r.inChannel);
        jsonText("out_type", sampleTypeName(r.outType));
        jsonText("in_type", sampleTypeName(r.inType));
        jsonInteger("bits", r.bits);
        jsonInteger("buffer_size", s.bufferSize);
        jsonNumber("sample_rate", s.figures.sampleRate);
    }
    if (r.stage >= RUN_MEASURED) {
        static const char *const reasons[] = {"silent", "noise", "foreign"};
        jsonNumber("seconds", s.elapsedS);
        jsonBool("locked", r.state == INTEGRITY_LOCKED);
        if (r.state == INTEGRITY_LOCKED) {
            jsonInteger("delay_frames", r.lockDelay);
            jsonInteger("lock_position", r.lockPosition);
            jsonNull("no_lock_reason");
        } else {
            jsonNull("delay_frames");
            jsonNull("lock_position");
            jsonText("no_lock_reason", reasons[r.noLockReason >= 0 && r.noLockReason <= 2 ? r.noLockReason : 2]);
        }
        jsonNumber("peak_dbfs", r.peakDbfs);
        jsonNumber("rms_dbfs", r.rmsDbfs);
        jsonBeginObject("counts");
        jsonInteger("received", r.received);
        jsonInteger("matched", r.matched);
        jsonInteger("corrupted", r.corrupted);
        jsonInteger("inverted", r.inverted);
        jsonInteger("dropped", r.dropped);
        jsonInteger("repeated", r.repeated);
        jsonInteger("slipped", r.slipped);
        jsonInteger("foreign", r.foreign);
        jsonInteger("unseen", r.unseen);
        jsonEndObject();
        jsonBeginObject("event_counts");
        for (int k = 0; k < EVENT_KINDS; k++)
            jsonInteger(eventNames[k], r.eventCounts[k]);
        jsonEndObject();
        jsonBeginArray("events");
        for (int k = 0; k < r.keptEvents; k++) {
            const IntegrityEvent &e = r.events[k];
            char bits[16];
            snprintf(bits, sizeof bits, "0x%08X", e.bits);
            jsonBeginObject(nullptr);
            jsonText("kind", eventNames[e.kind]);
            jsonInteger("position", e.position);
            jsonInteger("size", e.size);
            jsonText("bits", e.kind == EVENT_CORRUPTED ? bits : nullptr);
            jsonInteger("switch", e.switchNumber);
            jsonNumber("time_ms", e.timeUs / 1000);
            jsonEndObject();
        }
        jsonEndArray();
        jsonInteger("transparent_bits", r.transparentBits);
        char differing[16];
        snprintf(differing, sizeof differing, "0x%08X", r.differingBits);
        jsonText("differing_bits", differing);
        jsonInteger("blocks_dropped_by_checker", r.blocksDroppedByChecker);
        jsonTiming(r.timing, s.periodUs);
        jsonMessages(r.messages);
    }
    jsonCallNotes();
    jsonSessionEnd(outcome, exitCode);
}

int measureIntegrity(const CheckerOptions &options, int index, const char *arguments,
                     SessionOutcome *outcome)
{
    memset(&integrityResults, 0, sizeof integrityResults);
    integrityResults.setup.index = index;
    return runDriverSession(options, integritySession, arguments, outcome);
}

int integrityCommand(const CheckerOptions &options)
{
    loadDriverList();
    int index = 0;
    int code = findDriver(options.driver, &index);
    if (code != EXIT_FINE)
        return code;
    SessionOutcome outcome;
    code = measureIntegrity(options, index, userArgumentText(), &outcome);
    if (options.json)
        writeIntegrityDocument(integrityResults, outcome, code);
    else if (integrityStands(code))
        printText(integrityResults);
    return code;
}
