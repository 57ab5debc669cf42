// quorvelcheck integrity: a known sequence written on output O, every sample that comes back on
// input I accounted for. The callback only writes the sequence and hands input I's buffer to a ring
// (measure.h); the main thread finds the sequence and judges every sample.
#include "checker/commands/integrity_parts.h"

#include <stdio.h>
#include <string.h>

IntegrityResults integrityResults;

static const char *integrityResultsFault(const void *copy)
{
    const IntegrityResults &r = *static_cast<const IntegrityResults *>(copy);
    const char *fault = runPartsFault(r.stage, r.setup, r.timing);
    if (!fault && !inRange(r.analysis.state, INTEGRITY_SEARCHING, INTEGRITY_NO_LOCK))
        fault = "state";
    if (!fault && !inRange(r.analysis.noLockReason, NO_LOCK_SILENT, NO_LOCK_FOREIGN))
        fault = "noLockReason";
    if (!fault && !inRange(r.bits, 0, 32))
        fault = "bits";
    if (!fault && !inRange(r.analysis.transparentBits, 0, 32))
        fault = "transparentBits";
    if (!fault && !inRange(r.analysis.keptEvents, 0, MAX_INTEGRITY_EVENTS))
        fault = "keptEvents";
    for (int k = 0; !fault && k < r.analysis.keptEvents; k++)
        fault = inRange(r.analysis.events[k].kind, 0, EVENT_KINDS - 1) ? nullptr : "events.kind";
    return fault ? fault : notificationsFault(r.notifications);
}

extern const RecordSpec integrityRecord = {&integrityResults, sizeof integrityResults,
    "integrity", integrityResultsFault};

static void takeAnalysis()
{
    IntegrityResults *r = &integrityResults;
    const IntegrityAnalysis &a = inputAnalysis(0);
    r->bits = a.bits;
    r->analysis = a.results;
    r->blocksDroppedByChecker = integrityPlan.ring ? static_cast<long>(integrityPlan.ring->dropped.load()) : 0;
    r->timesRealTime = analysedTimesRealTime(r->setup.figures.sampleRate);
}

int planCable(const CheckerOptions &options, const DriverFigures &figures, uint32_t *wanted,
              long *outType, long *inType)
{
    int code = checkCable(options, figures, sequenceTypeSupported,
                          "an integer or float type of 16 to 32 bits", outType, inType);
    IntegrityPlan &plan = integrityPlan;
    long outputs = figures.outputChannels > 0 ? figures.outputChannels : 0;
    plan.outputs = plan.inputs = 1;
    plan.outElements[0] = options.outChannel;
    plan.outTypes[0] = *outType;
    plan.outKeys[0] = static_cast<int>(options.outChannel % MAX_ROUTE_CHANNELS);
    plan.inElements[0] = outputs + options.inChannel;
    plan.inTypes[0] = *inType;
    wanted[plan.outKeys[0] / 32] = 1u << (plan.outKeys[0] % 32);
    return code;
}

// The output and input of the cable, and the plan of one of each.
static int chooseCable(const CheckerOptions &options, uint32_t *wanted)
{
    IntegrityResults *r = &integrityResults;
    r->outChannel = options.outChannel;
    r->inChannel = options.inChannel;
    return planCable(options, r->setup.figures, wanted, &r->outType, &r->inType);
}

// The run's status: the sequence found, nothing but matches after it, and the stream kept going;
// then the samples the checker did not analyse, its own shortfall.
static int integrityVerdict()
{
    const IntegrityResults &r = integrityResults;
    const double rate = r.setup.figures.sampleRate;
    // Cut short by the user: only what came back wrong stands; the rest is not judged.
    const bool cut = runStopAsked();
    // Too little seen to give up on the sequence: the checker's, or the user's, not the driver's.
    const bool searchedEnough = r.analysis.searched >= static_cast<int64_t>(rate * 2);
    if (r.analysis.state != INTEGRITY_LOCKED && r.analysis.unseen > 0 && !searchedEnough)
        return checkerFellBehind(r.inChannel, r.analysis.unseen, rate, r.blocksDroppedByChecker);
    if (r.analysis.state != INTEGRITY_LOCKED && cut && !searchedEnough)
        return EXIT_INTERRUPTED;
    if (r.analysis.state != INTEGRITY_LOCKED) {
        return fail(EXIT_CHECK_MISSED, "the sequence did not come back on input %ld within 2 s: the "
                    "input %s; its peak was %.1f dBFS", r.inChannel,
                    noLockWords(r.analysis.noLockReason, WORDING_FAILURE), shownPeak(r.analysis.peakDbfs));
    }
    char changed[160];
    if (integrityTransformText(r, changed, sizeof changed))
        return fail(EXIT_CHECK_MISSED, "the sequence came back %s", changed);
    if (r.analysis.missing && !cut) {
        return fail(EXIT_CHECK_MISSED, "%lld samples expected from input position %lld to the end of "
                    "the run never arrived: the driver stopped delivering input",
                    static_cast<long long>(r.analysis.missing), static_cast<long long>(r.analysis.missingFrom));
    }
    long long events = 0;
    for (int64_t count : r.analysis.eventCounts)
        events += count;
    if (events) {
        return fail(EXIT_CHECK_MISSED, "%lld event%s after the sequence was found: not every sample "
                    "came back as it was sent", events, events == 1 ? "" : "s");
    }
    if (cut)
        return EXIT_INTERRUPTED;
    int code = streamKeptStatus(r.timing, r.setup.periodUs);
    if (code == EXIT_FINE && r.analysis.unseen)
        code = checkerFellBehind(r.inChannel, r.analysis.unseen, rate, r.blocksDroppedByChecker);
    return code;
}

static int integritySession(const CheckerOptions &options)
{
    IntegrityResults &r = integrityResults;
    const IntegritySession session = {&integrityResults, &r.stage, &r.setup, &r.timing, &r.messages,
                                      &r.notifications, chooseCable, takeAnalysis, integrityVerdict};
    return runIntegritySession(options, session);
}

int measureIntegrity(const CheckerOptions &options, int, const char *arguments,
                     SessionOutcome *outcome)
{
    return measureSession(options, &integrityResults, sizeof integrityResults, integritySession,
                          arguments, outcome);
}

static int integrityCommand(const CheckerOptions &options)
{
    if (routingWanted(options))
        return runDriverCommand(options, measureRouting, writeRoutingDocument, printRoutingText);
    return runDriverCommand(options, measureIntegrity, writeIntegrityDocument, printIntegrityText);
}

bool routingWanted(const CheckerOptions &options)
{
    return options.all || options.outs || options.ins;
}

// The worker runs the session the options ask for.
static int chosenSession(const CheckerOptions &options)
{
    return routingWanted(options) ? routingSession(options) : integritySession(options);
}

static int integrityRules(CheckerOptions *o, const ArgumentFacts &facts)
{
    int code = requireDriver(o, facts);
    bool every = routingWanted(*o);
    bool cable = o->outChannel >= 0 || o->inChannel >= 0;
    if (code == EXIT_FINE && every && cable)
        code = fail(EXIT_USAGE, "integrity takes --out and --in for one cable, or --all, --outs and "
                                "--ins for every channel, not both");
    if (code == EXIT_FINE && !every && (o->map || o->maxSkew >= 0))
        code = fail(EXIT_USAGE, "--map and --max-skew judge the routes of every channel: they need "
                                "--all, --outs or --ins");
    if (code == EXIT_FINE && !every && (o->outChannel < 0 || o->inChannel < 0))
        code = fail(EXIT_USAGE, "integrity needs --out O and --in I: the output and input the cable "
                                "joins (or --all for every channel)");
    return code;
}

static const char *const integrityHelp =
    "usage: quorvelcheck integrity DRIVER --out O --in I [--seconds S] [--buffer N] [--rate R]\n"
    "                              [--time-info] [--host-supports all|none|LIST] [--json]\n"
    "       quorvelcheck integrity DRIVER --all | --outs LIST --ins LIST [--map same|O:I,...]\n"
    "                              [--max-skew F] [--seconds S] [--buffer N] [--rate R]\n"
    "                              [--host-supports all|none|LIST] [--json]\n"
    "\n"
    "For a cable from output O to input I: writes a known sequence on output O, every sample a\n"
    "value its neighbours do not share, using every bit the sample type carries, for S seconds\n"
    "(10), finds it on input I, and accounts for every sample that comes back: matched,\n"
    "corrupted (the bits that differ), inverted, dropped, repeated, or a slip of the delay. Each\n"
    "event with its stream position, switch and time; which bits came through unchanged; and\n"
    "the switch timing, so that a late switch is told apart from lost data. Exit 1 when anything\n"
    "did not match after the sequence was found, or when it was not found within 2 s (with what\n"
    "the input carried instead).\n"
    "\n"
    "With --all (or --outs and --ins, lists such as 0,1,4-7), every output carries a sequence of\n"
    "its own and every input is analysed: a routing table of the output found on each input, its\n"
    "delay and its accounting, and the skew between the routes. --map same (output i to input i)\n"
    "or --map 0:3,1:2 gives the routes expected: exit 1 when one is missing, arrives on another\n"
    "input, or has an event. --max-skew F fails a spread of the delays over F frames.\n"
    "\n"
    HOST_SUPPORTS_USAGE;

extern const CommandSpec integrityCommandSpec = {
    "integrity", "integrity DRIVER",
    "every sample through a cable from an output to an input, bit for bit", integrityHelp,
    WORKER_OPTIONS | OPTION_BIT(OPTION_SECONDS) | OPTION_BIT(OPTION_BUFFER) | OPTION_BIT(OPTION_RATE) |
        OPTION_BIT(OPTION_OUT) | OPTION_BIT(OPTION_IN) | OPTION_BIT(OPTION_TIME_INFO) |
        OPTION_BIT(OPTION_ALL) | OPTION_BIT(OPTION_OUTS) | OPTION_BIT(OPTION_INS) |
        OPTION_BIT(OPTION_MAP) | OPTION_BIT(OPTION_MAX_SKEW) | OPTION_BIT(OPTION_HOST_SUPPORTS),
    false, integrityRules, integrityCommand, chosenSession,
};
