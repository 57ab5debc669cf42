// What both forms of integrity share on the worker's side: the ring and the analysers made, the run
// from start to stop with the analyses taken, and the checker's own shortfall said.
#include "checker/commands/integrity_parts.h"

#include <stdio.h>
#include <stdlib.h>

bool sequenceTypeSupported(long type)
{
    return sequenceTypeBits(type) != 0;
}

// The ring for every input's buffer, sized by sampleRingSize. Sizes in 64 bits: 128 inputs of a
// large buffer outgrow 32.
static int makeIntegrityRing(double rate, long frames)
{
    IntegrityPlan &plan = integrityPlan;
    const uint64_t perFrame = frames > 0 ? static_cast<uint64_t>(frames) : 0;
    uint64_t blockBytes = 0;
    for (int i = 0; i < plan.inputs; i++)
        blockBytes += static_cast<uint64_t>(sequenceTypeBytes(plan.inTypes[i])) * perFrame;
    RingSize size;
    const bool fits = sampleRingSize(rate, frames, blockBytes, &size);
    SampleRing *fresh = fits ? static_cast<SampleRing *>(calloc(1, sizeof(SampleRing))) : nullptr;
    if (!fresh || !makeSampleRing(fresh, size.blocks, size.blockBytes)) {
        free(fresh);
        char beyond[80] = "";
        if (!fits)
            snprintf(beyond, sizeof beyond, ", more than the %llu MiB a ring may take in this build",
                     static_cast<unsigned long long>(RING_MAX_BYTES >> 20));
        return fail(EXIT_SHORTFALL, "the checker has no memory for its ring of samples: %llu bytes, %u "
                    "blocks of %llu bytes%s", static_cast<unsigned long long>(size.bytes), size.blocks,
                    static_cast<unsigned long long>(size.blockBytes), beyond);
    }
    // Within the bound, every offset fits in 32 bits.
    uint32_t offset = 0;
    for (int i = 0; i < plan.inputs; i++) {
        plan.inOffsets[i] = offset;
        plan.inBytes[i] = static_cast<uint32_t>(sequenceTypeBytes(plan.inTypes[i]) * perFrame);
        offset += plan.inBytes[i];
    }
    plan.ring = fresh;
    return EXIT_FINE;
}

int prepareIntegrity(const RunSetup &setup, const uint32_t *wanted)
{
    IntegrityPlan &plan = integrityPlan;
    double rate = setup.figures.sampleRate;
    long frames = setup.bufferSize;
    plan.frames = frames;
    int code = makeIntegrityRing(rate, frames);
    if (code != EXIT_FINE)
        return code;
    // Delays up to a second, or more for a driver with large buffers; the verdict after two
    // seconds without the sequence, or once every delay searched has come and gone.
    int64_t maxDelay = static_cast<int64_t>(rate);
    if (maxDelay < 8 * frames + 4096)
        maxDelay = 8 * frames + 4096;
    int64_t verdictAfter = static_cast<int64_t>(rate * 2);
    if (verdictAfter < maxDelay + frames)
        verdictAfter = maxDelay + frames;
    if (!prepareAnalysers(maxDelay, verdictAfter, wanted))
        return fail(EXIT_SHORTFALL, "the checker has no memory for the analysis of %d inputs",
                    plan.inputs);
    return EXIT_FINE;
}

static int beginIntegrityRun(const CheckerOptions &options, const IntegritySession &session)
{
    uint32_t wanted[MAX_ROUTE_CHANNELS / 32] = {};
    RunSetup *setup = session.setup;
    int code = openRun(options, setup);
    if (code == EXIT_FINE)
        code = session.choose(options, wanted);
    if (code == EXIT_FINE && setup->periodUs <= 0)
        code = fail(EXIT_DRIVER, "the driver reports no usable sample rate: the run cannot be timed");
    if (code == EXIT_FINE && !prepareTiming(options.seconds, setup->periodUs))
        code = fail(EXIT_SHORTFALL, "the checker has no memory for the timing of %g s", options.seconds);
    if (code == EXIT_FINE)
        code = prepareIntegrity(*setup, wanted);
    if (code == EXIT_FINE) {
        *session.stage = RUN_PREPARED;
        publishRecord(session.record);
        resetMessageCounts(options.timeInfo);
        setHostSupports(hostSupportedSelectors(options));
        code = beginRun(&integrityCallbacks, setup);
    }
    return code;
}

int runIntegritySession(const CheckerOptions &options, const IntegritySession &session)
{
    int code = beginIntegrityRun(options, session);
    if (code != EXIT_FINE) {
        publishRecord(&callNotes);
        closeChosenDriver();
        return code;
    }
    *session.stage = RUN_STARTED;
    publishRecord(session.record);
    startAnalysers(session.setup->windowStart, calibratedTicksPerUs());
    waitForRun(options.seconds, pollAnalysers, analysersProgress);
    judgeWindow(session.setup, session.timing);
    finishAnalysers(session.setup->windowEnd, session.setup->periodUs);
    session.take();
    tallyMessages(session.messages);
    keepNotifications(session.notifications, session.setup->windowStart);
    *session.stage = RUN_MEASURED;
    publishRecord(session.record);
    publishRecord(&callNotes);
    endRun(session.setup, session.timing);
    keepNotifications(session.notifications, session.setup->windowStart);
    closeChosenDriver();
    endAnalysers();
    *session.stage = RUN_STOPPED;
    publishRecord(session.record);
    publishRecord(&callNotes);
    return session.verdict();
}

int checkerFellBehind(long input, int64_t unseen, double rate, long blocks)
{
    return fail(EXIT_SHORTFALL, "the checker fell behind: %.2f s of input %ld (%lld samples) not "
                "analysed, %ld blocks it had no room for; what it analysed came back as it was sent, "
                "and nothing is judged of the rest", usableRate(rate) ? unseen / rate : 0.0, input,
                static_cast<long long>(unseen), blocks);
}
