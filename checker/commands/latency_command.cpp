// quorvelcheck latency: the real round trip through a cable, pinged, against the driver's claim.
// latency --sweep is latency_sweep.cpp.
#include "checker/commands/commands.h"

#include "drivers/driver_loading.h"
#include "engine/loopback.h"

#include <math.h>
#include <stdio.h>
#include <string.h>

LatencyResults latencyResults;

static void pingProgress(char *line, size_t size)
{
    snprintf(line, size, "latency: %ld of %ld pings back, %ld switches", pingRun.resolved.load(),
             pingRun.wanted, static_cast<long>(loopbackState.switchCount.load()));
}

static void dbfsText(double level, char *out, size_t size)
{
    if (level > 0)
        snprintf(out, size, "%.1f dBFS", 20 * log10(level));
    else
        snprintf(out, size, "silence");
}

static const char *latencyResultsFault(const void *copy)
{
    const LatencyResults &r = *static_cast<const LatencyResults *>(copy);
    const char *fault = runPartsFault(r.stage, r.setup, r.timing);
    if (!fault && !inRange(r.wanted, 0, MAX_PINGS))
        fault = "wanted";
    if (!fault && !inRange(r.sent, 0, MAX_PINGS))
        fault = "sent";
    return fault ? fault : notificationsFault(r.notifications);
}

extern const RecordSpec latencyRecord = {&latencyResults, sizeof latencyResults,
    "latency", latencyResultsFault};

static void takePings(LatencyResults *r)
{
    const PingRun &p = pingRun;
    r->wanted = p.wanted;
    r->sent = p.sent;
    memcpy(r->sentAt, p.sentAt, sizeof r->sentAt);
    memcpy(r->roundTrip, p.roundTrip, sizeof r->roundTrip);
    memcpy(r->sentInSwitch, p.sentInSwitch, sizeof r->sentInSwitch);
    r->lost = p.lost.load();
    r->quietSinceSent = p.quietSinceSent;
    r->peakSinceSent = p.peakSinceSent;
    r->quietestWindow = p.quietestWindow;
    for (long k = 1; k < p.sent; k++)
        r->gapBeforeUs[k] = longestIntervalUs(p.sentInSwitch[k - 1], p.sentInSwitch[k] + 1);
}

// Why the last ping did not come back, from what the input carried meanwhile.
static int lostPing(const LatencyResults &r)
{
    char level[32], threshold[32];
    if (!r.quietSinceSent) {
        dbfsText(r.quietestWindow, level, sizeof level);
        dbfsText(PING_QUIET_LEVEL, threshold, sizeof threshold);
        return fail(EXIT_CHECK_MISSED, "ping %ld did not come back on input %ld within 2 s: the input "
                    "never fell quiet before the echo (its quietest 16 frames peaked at %s; quiet is "
                    "below %s)", r.sent, r.inChannel, level, threshold);
    }
    if (r.peakSinceSent <= PING_FOUND_LEVEL) {
        dbfsText(r.peakSinceSent, level, sizeof level);
        dbfsText(PING_FOUND_LEVEL, threshold, sizeof threshold);
        return fail(EXIT_CHECK_MISSED, "ping %ld did not come back on input %ld within 2 s: nothing "
                    "above the threshold of %s came back (the loudest level on the input was %s); "
                    "the cable or the channels are likely wrong", r.sent, r.inChannel, threshold,
                    level);
    }
    return fail(EXIT_CHECK_MISSED, "ping %ld did not come back on input %ld within 2 s: the cable "
                "or the channels are likely wrong", r.sent, r.inChannel);
}

// The run's status from the pings as they were after the stop, and nothing else: every ping
// wanted sent, and every one back.
static int pingVerdict(const LatencyResults &r, double seconds)
{
    long back = 0;
    long firstLost = -1;
    for (long k = 0; k < r.sent; k++) {
        if (r.roundTrip[k] >= 0)
            back++;
        else if (firstLost < 0)
            firstLost = k;
    }
    if (firstLost >= 0 && firstLost == r.sent - 1 && r.lost)
        return lostPing(r);
    if (firstLost >= 0) {
        return fail(EXIT_CHECK_MISSED, "ping %ld did not come back on input %ld: %ld of %ld pings "
                    "came back in %g s; the driver made %lld buffer switches", firstLost + 1,
                    r.inChannel, back, r.wanted, seconds, r.timing.switches);
    }
    if (back < r.wanted) {
        return fail(EXIT_CHECK_MISSED, "only %ld of %ld pings came back in %g s; the driver made %lld "
                    "buffer switches", back, r.wanted, seconds, r.timing.switches);
    }
    return EXIT_FINE;
}

// The driver opened, the cable checked, the pings planned and the run begun; the run's length
// in *seconds.
static int beginLatencyRun(const CheckerOptions &options, LatencyResults *r, double *seconds)
{
    int code = openRun(options, &r->setup);
    if (code == EXIT_FINE) {
        code = checkCable(options, r->setup.figures, pingTypeSupported,
                          "a little-endian integer or float type", &r->outType, &r->inType);
        r->outChannel = options.outChannel;
        r->inChannel = options.inChannel;
    }
    double rate = r->setup.figures.sampleRate;
    if (code == EXIT_FINE && r->setup.periodUs <= 0)
        code = fail(EXIT_DRIVER, "the driver reports no usable sample rate: the pings cannot be timed");
    // Every ping half a second apart, the last one given its 2 s, and time to start.
    *seconds = options.pings * 0.5 + 0.25 + 2 + 3;
    if (code == EXIT_FINE && !prepareTiming(*seconds, r->setup.periodUs))
        code = fail(EXIT_SHORTFALL, "the checker has no memory for the timing of %g s", *seconds);
    if (code == EXIT_FINE) {
        // The first ping a quarter second in, the others half a second apart.
        const PingPlan plan = {options.outChannel, options.inChannel, r->setup.figures.outputChannels,
                               r->outType, r->inType, r->setup.bufferSize, rate, options.pings,
                               static_cast<int64_t>(rate / 4 + 0.5), static_cast<int64_t>(rate / 2 + 0.5)};
        preparePings(plan);
        resetMessageCounts(options.timeInfo);
        setHostSupports(hostSupportedSelectors(options));
        code = beginRun(&pingCallbacks, &r->setup);
        if (code == EXIT_FINE && !pingBuffersPresent()) {
            endRun(&r->setup, nullptr);
            code = fail(EXIT_DRIVER, "the driver gave no buffers for output %ld or input %ld",
                        options.outChannel, options.inChannel);
        }
    }
    return code;
}

static int latencySession(const CheckerOptions &options)
{
    LatencyResults &r = latencyResults;
    double seconds = 0;
    int code = beginLatencyRun(options, &r, &seconds);
    if (code != EXIT_FINE) {
        publishRecord(&callNotes);
        closeChosenDriver();
        return code;
    }

    // What the driver claims for the buffers it has made.
    noteCall(asioGetLatencies(&r.inputLatency, &r.outputLatency), "getLatencies");
    r.stage = RUN_STARTED;
    publishRecord(&latencyResults);
    waitForRun(seconds, pingsFinished, pingProgress);
    judgeWindow(&r.setup, &r.timing);
    tallyMessages(&r.messages);
    keepNotifications(&r.notifications, r.setup.windowStart);
    r.stage = RUN_MEASURED;
    publishRecord(&latencyResults);
    // The claim again: a driver that sent a latency-changed or reset request has changed it.
    r.claimReadAfter = noteCall(asioGetLatencies(&r.inputLatencyAfter, &r.outputLatencyAfter),
                                "getLatencies after the run") == ASE_OK;
    publishRecord(&latencyResults);
    publishRecord(&callNotes);
    endRun(&r.setup, &r.timing);
    // The pings once the driver has stopped: the callback no longer writes them.
    takePings(&r);
    closeChosenDriver();
    r.stage = RUN_STOPPED;
    tallyMessages(&r.messages);
    keepNotifications(&r.notifications, r.setup.windowStart);
    publishRecord(&latencyResults);
    publishRecord(&callNotes);
    // Pings cut short by the user are not lost.
    if (runStopAsked())
        return EXIT_INTERRUPTED;
    code = pingVerdict(r, seconds);
    return code == EXIT_FINE ? streamKeptStatus(r.timing, r.setup.periodUs) : code;
}

int measureLatency(const CheckerOptions &options, int, const char *arguments,
                   SessionOutcome *outcome)
{
    return measureSession(options, &latencyResults, sizeof latencyResults, latencySession, arguments,
                          outcome);
}

static int latencyCommand(const CheckerOptions &options)
{
    if (options.sweep)
        return runDriverCommand(options, measureSweep, writeSweepDocument, printSweepText);
    return runDriverCommand(options, measureLatency, writeLatencyDocument, printLatencyText);
}

static int latencyOrSweepSession(const CheckerOptions &options)
{
    return options.sweep ? sweepSession(options) : latencySession(options);
}

static int latencyRules(CheckerOptions *o, const ArgumentFacts &facts)
{
    int code = requireDriver(o, facts);
    if (code != EXIT_FINE)
        return code;
    if (o->outChannel < 0 || o->inChannel < 0)
        return fail(EXIT_USAGE, "latency needs --out O and --in I: the output and input the cable joins");
    if (!o->sweep) {
        const Option sweepOnly[] = {OPTION_RATES, OPTION_TOLERANCE, OPTION_REPEAT};
        for (Option option : sweepOnly) {
            if (facts.given[option])
                return fail(EXIT_USAGE, "latency takes %s only with --sweep", optionName(option));
        }
        return EXIT_FINE;
    }
    if (facts.given[OPTION_BUFFER] || facts.given[OPTION_RATE])
        return fail(EXIT_USAGE, "latency --sweep sets the sizes and rates itself: give --rates, "
                                "not --buffer or --rate");
    if (o->repeat > MAX_SWEEP_REPEATS)
        return fail(EXIT_USAGE, "latency --sweep takes --repeat up to %d", MAX_SWEEP_REPEATS);
    if (!facts.given[OPTION_REPEAT])
        o->repeat = 2;
    if (!facts.given[OPTION_PINGS])
        o->pings = 3;
    return EXIT_FINE;
}

static const char *const latencyHelp =
    "usage: quorvelcheck latency DRIVER --out O --in I [--pings N] [--buffer N] [--rate R]\n"
    "                            [--time-info] [--host-supports all|none|LIST] [--json]\n"
    "       quorvelcheck latency DRIVER --out O --in I --sweep [--rates R1,R2,...|all]\n"
    "                            [--repeat N] [--tolerance F] [--pings N]\n"
    "                            [--host-supports all|none|LIST] [--json]\n"
    "\n"
    "For a cable from output O to input I: writes a short pulse into output O about twice a\n"
    "second and finds it on input I. Shows each ping's round trip in frames and ms, their median\n"
    "and spread, the latency the driver reports (input + output, read when the buffers were made\n"
    "and again after the run) and the difference. N pings (5). A pulse that does not come back\n"
    "within 2 s: exit 1, with what the input carried. Little-endian integer and float sample\n"
    "types only.\n"
    "\n"
    "  --sweep                the round trip at every buffer size the driver allows (at most 16),\n"
    "                         at each rate: the current one, those of --rates, or with --rates all\n"
    "                         every standard rate canSampleRate accepts; each setting --repeat\n"
    "                         times (2), each time with buffers made afresh, N pings each (3)\n"
    "  --tolerance F          exit 1 where the driver's claim and the measured round trip differ by\n"
    "                         more than F frames at any setting\n"
    HOST_SUPPORTS_USAGE;

extern const CommandSpec latencyCommandSpec = {
    "latency", "latency DRIVER", "the real round trip through a cable from an output to an input",
    latencyHelp,
    WORKER_OPTIONS | OPTION_BIT(OPTION_BUFFER) | OPTION_BIT(OPTION_RATE) | OPTION_BIT(OPTION_OUT) |
        OPTION_BIT(OPTION_IN) | OPTION_BIT(OPTION_PINGS) | OPTION_BIT(OPTION_TIME_INFO) |
        OPTION_BIT(OPTION_REPEAT) | OPTION_BIT(OPTION_SWEEP) | OPTION_BIT(OPTION_RATES) |
        OPTION_BIT(OPTION_TOLERANCE) | OPTION_BIT(OPTION_HOST_SUPPORTS),
    false, latencyRules, latencyCommand, latencyOrSweepSession,
};
