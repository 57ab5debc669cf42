// The checks: their identifiers and descriptions, the selection by --only and --skip, and grading.
#include "checker/conform/phases.h"

#include <stdarg.h>
#include <stdio.h>
#include <string.h>

ConformResults conformResults;

const CheckDefinition checkDefinitions[CHECK_COUNT] = {
    {"open.create", PHASE_OPEN, "The driver's COM object is created (WARN over 1 s)"},
    {"open.init", PHASE_OPEN, "init succeeds (WARN over 1 s)"},
    {"open.name", PHASE_OPEN, "getDriverName gives a name that is not empty and ends within its 32 bytes"},
    {"open.error_message", PHASE_OPEN, "getErrorMessage gives a text that ends within its 124 bytes"},
    {"open.reopen", PHASE_OPEN, "The object is released, then created and initialised again"},

    {"figures.buffer_sizes", PHASE_FIGURES, "Buffer sizes: min <= preferred <= max, all above 0"},
    {"figures.granularity", PHASE_FIGURES,
     "The granularity rule holds (-1: sizes are powers of two; above 0: min plus multiples; 0: min = max)"},
    {"figures.channels", PHASE_FIGURES, "Channel counts are 0 or more, and there is at least one channel"},
    {"figures.channel_info", PHASE_FIGURES,
     "getChannelInfo answers for every channel: a known sample type, a name that ends within 32 bytes "
     "and is not empty, the channel and direction asked for"},
    {"figures.channel_past_end", PHASE_FIGURES, "getChannelInfo refuses a channel past the last"},
    {"figures.clocks", PHASE_FIGURES, "getClockSources gives at least one source, exactly one current"},
    {"figures.current_rate", PHASE_FIGURES, "canSampleRate accepts the current sample rate"},

    {"rates.set", PHASE_RATES,
     "Every standard rate canSampleRate accepts, and the current one: setSampleRate answers ASE_OK and "
     "getSampleRate reads it back"},
    {"rates.refused", PHASE_RATES,
     "Every standard rate canSampleRate refuses (1 kHz when it refuses none) is refused by setSampleRate "
     "too (WARN)"},
    {"rates.restored", PHASE_RATES, "The rate the driver had is set back and read back"},

    {"buffers.sizes", PHASE_BUFFERS,
     "createBuffers succeeds at the minimum, preferred and maximum sizes and the allowed sizes between "
     "(up to 16)"},
    {"buffers.pointers", PHASE_BUFFERS,
     "Every buffer address is set, and no two buffers share or overlap memory"},
    {"buffers.latencies", PHASE_BUFFERS,
     "getLatencies answers after createBuffers; each latency at least the buffer size (WARN), not "
     "shrinking as the buffer grows"},
    {"buffers.recreate", PHASE_BUFFERS, "disposeBuffers, then createBuffers again at the same size works"},
    {"buffers.double_create", PHASE_BUFFERS,
     "A second createBuffers without disposeBuffers is refused or handled, without a crash"},

    {"stream.window", PHASE_STREAM,
     "No callback during createBuffers, before start is called or after stop returns"},
    {"stream.index", PHASE_STREAM, "The buffer index alternates 0, 1, 0, 1 from the first switch"},
    {"stream.thread", PHASE_STREAM, "Switches come from one thread (WARN)"},
    {"stream.rate", PHASE_STREAM,
     "The measured sample rate is within 1,000 ppm (WARN) and 1% of the nominal one"},
    {"stream.position", PHASE_STREAM,
     "getSamplePosition answers; the position advances by the buffer size per switch and never goes "
     "back; the time stamp advances with the clock"},
    {"stream.buffer_switch", PHASE_STREAM, "Time info declined: the driver calls bufferSwitch only"},
    {"stream.messages", PHASE_STREAM,
     "Every selector the driver sends was first asked about with kAsioSelectorSupported (WARN)"},
    {"stream.reset", PHASE_STREAM, "No reset request during the run (WARN)"},
    {"stream.output_ready", PHASE_STREAM,
     "When outputReady answers ASE_OK, it keeps answering ASE_OK after every switch"},
    {"stream.cpu", PHASE_STREAM,
     "The driver's own threads use at most 25% of one core while streaming (WARN), and at most 90%"},

    {"time_info.window", PHASE_TIME_INFO,
     "No callback during createBuffers, before start is called or after stop returns"},
    {"time_info.index", PHASE_TIME_INFO, "The buffer index alternates 0, 1, 0, 1 from the first switch"},
    {"time_info.thread", PHASE_TIME_INFO, "Switches come from one thread (WARN)"},
    {"time_info.rate", PHASE_TIME_INFO,
     "The measured sample rate is within 1,000 ppm (WARN) and 1% of the nominal one"},
    {"time_info.position", PHASE_TIME_INFO,
     "getSamplePosition answers; the position advances by the buffer size per switch and never goes "
     "back; the time stamp advances with the clock"},
    {"time_info.record", PHASE_TIME_INFO,
     "Time info offered: bufferSwitchTimeInfo's record has system time and sample position valid, the "
     "position advancing by the buffer size, the time with the clock, the rate (when flagged) the "
     "current one"},
    {"time_info.messages", PHASE_TIME_INFO,
     "Every selector the driver sends was first asked about with kAsioSelectorSupported (WARN)"},
    {"time_info.reset", PHASE_TIME_INFO, "No reset request during the run (WARN)"},
    {"time_info.output_ready", PHASE_TIME_INFO,
     "When outputReady answers ASE_OK, it keeps answering ASE_OK after every switch"},
    {"time_info.cpu", PHASE_TIME_INFO,
     "The driver's own threads use at most 25% of one core while streaming (WARN), and at most 90%"},

    {"life.start_stop", PHASE_LIFE,
     "Start and stop 20 times with the same buffers: every run streams and stops cleanly"},
    {"life.recreate", PHASE_LIFE, "Dispose and create the buffers 10 times: every run streams"},
    {"life.rate_change", PHASE_LIFE,
     "A rate change between two runs (the current rate set again when there is no other): the next run "
     "streams at the new rate"},
    {"life.release", PHASE_LIFE, "Released with everything disposed, the object lets go of its last reference"},

    {"clients.second", PHASE_CLIENTS,
     "A second host (another process) opening the driver while the first streams is served, or "
     "refused cleanly: no crash, hang or exit"},
    {"clients.first_kept", PHASE_CLIENTS,
     "While the second host is there, to the return of its Release, the first stream goes on: no gap "
     "over 4 periods and 25 ms, no 3 switches lost; with --out and --in, no sample lost or changed "
     "on the cable"},
    {"clients.first_after", PHASE_CLIENTS,
     "Once the second host has released the driver, the first still streams for a second (and 20 "
     "periods) as before and stops cleanly; with --out and --in, no sample lost or changed on the "
     "cable"},

    {"notify.reset_round_trip", PHASE_NOTIFY,
     "Every reset and buffer size request while streaming: after the host's round trip (stop, "
     "disposeBuffers, Release, a new object, init, every figure read again, buffers at the preferred "
     "or asked size, start) every step answered ASE_OK, the figures are consistent, the first switch "
     "comes within 2 s of the host's acting and the stream after is kept at its period; not run when "
     "the driver sends none"},
    {"notify.host_rate_change", PHASE_NOTIFY,
     "While streaming, the host sets another rate canSampleRate accepts: the driver refuses it and "
     "streams on at the old rate, or takes it and says so (sampleRateDidChange with it, or a reset "
     "request whose round trip gives it) and streams at its pace; not run with one rate offered"},
    {"notify.needless", PHASE_NOTIFY,
     "No notification without a change: no sampleRateDidChange to the rate there was, no reset "
     "whose round trip changes no figure, no message repeated within a second (WARN)"},
    {"notify.supports_nothing", PHASE_NOTIFY,
     "With a host that supports nothing, the driver sends no notification it was told is not "
     "supported, does not crash and streams on"},
    {"notify.second_host_change", PHASE_NOTIFY,
     "While the host streams, a second host (a process of its own) sets another rate the driver "
     "accepts, or with one rate offered makes and starts buffers of another size: where the change "
     "took, the first host is told within 1 s (sampleRateDidChange to the new rate, a reset request "
     "or a buffer size change), or, for another size, its stream keeps its own figures' pace; a rate "
     "changed untold warns at best; never on at another pace untold, never stopped without a word; "
     "not run when the driver refuses the second host or its change"},
};

const char *phaseName(ConformPhase phase)
{
    static const char *const names[PHASE_COUNT] = {"open", "figures", "rates", "buffers", "stream",
                                                   "time_info", "life", "clients", "notify"};
    return phase >= 0 && phase < PHASE_COUNT ? names[phase] : "";
}

bool opensPhase(int check)
{
    return check >= 0 && check < CHECK_COUNT &&
           (check == 0 || checkDefinitions[check].phase != checkDefinitions[check - 1].phase);
}

const char *verdictName(Verdict verdict)
{
    switch (verdict) {
    case VERDICT_NOT_RUN: return "not run";
    case VERDICT_SKIPPED: return "skipped";
    case VERDICT_PASS: return "PASS";
    case VERDICT_WARN: return "WARN";
    case VERDICT_FAIL: return "FAIL";
    }
    return "";
}

int parseCheckList(const char *list, bool selected[CHECK_COUNT])
{
    for (int c = 0; c < CHECK_COUNT; c++)
        selected[c] = false;
    const char *at = list;
    while (*at) {
        const char *end = strchr(at, ',');
        size_t length = end ? static_cast<size_t>(end - at) : strlen(at);
        bool known = false;
        for (int c = 0; c < CHECK_COUNT; c++) {
            const char *id = checkDefinitions[c].id;
            const char *phase = phaseName(checkDefinitions[c].phase);
            bool whole = strlen(id) == length && strncmp(id, at, length) == 0;
            bool ofPhase = strlen(phase) == length && strncmp(phase, at, length) == 0;
            if (whole || ofPhase) {
                selected[c] = true;
                known = true;
            }
        }
        if (!known && length > 0) {
            return fail(EXIT_USAGE, "unknown check \"%.*s\": the checks and phases are in "
                        "quorvelcheck conform --list-checks", static_cast<int>(length), at);
        }
        at += length + (end ? 1 : 0);
    }
    return EXIT_FINE;
}

bool checkWanted(const CheckerOptions &options, ConformCheck check)
{
    bool selected[CHECK_COUNT];
    if (options.only && parseCheckList(options.only, selected) == EXIT_FINE && !selected[check])
        return false;
    if (options.skip && parseCheckList(options.skip, selected) == EXIT_FINE && selected[check])
        return false;
    return true;
}

void printCheckList(const CheckerOptions &options)
{
    if (options.json) {
        jsonBeginObject(nullptr);
        jsonHeader(options.command);
        jsonBeginArray("checks");
        for (const CheckDefinition &d : checkDefinitions) {
            jsonBeginObject(nullptr);
            jsonText("id", d.id);
            jsonText("phase", phaseName(d.phase));
            jsonText("description", d.description);
            jsonEndObject();
        }
        jsonEndArray();
        jsonEndObject();
        jsonFinish();
        return;
    }
    for (int p = 0; p < PHASE_COUNT; p++) {
        printf("%s\n", phaseName(static_cast<ConformPhase>(p)));
        for (const CheckDefinition &d : checkDefinitions) {
            if (d.phase == p)
                printf("  %-24s %s\n", d.id, d.description);
        }
    }
}

static const char *checkResultFault(const CheckResult &c)
{
    if (!inRange(c.verdict, VERDICT_NOT_RUN, VERDICT_FAIL))
        return "checks.verdict";
    if (!textEnds(c.evidence, sizeof c.evidence))
        return "checks.evidence";
    if (!inRange(c.evidenceRepetition, 0, MAX_REPEAT))
        return "checks.evidenceRepetition";
    for (signed char verdict : c.perRepetition) {
        if (!inRange(verdict, VERDICT_NOT_RUN, VERDICT_FAIL))
            return "checks.perRepetition";
    }
    return nullptr;
}

static const char *conformResultsFault(const void *copy)
{
    const ConformResults &r = *static_cast<const ConformResults *>(copy);
    if (!inRange(r.repetitions, 0, MAX_REPEAT))
        return "repetitions";
    if (!inRange(r.repetitionsRun, 0, MAX_REPEAT))
        return "repetitionsRun";
    if (!inRange(r.runningCheck, -1, CHECK_COUNT - 1))
        return "runningCheck";
    if (!inRange(r.runningRepetition, 0, MAX_REPEAT))
        return "runningRepetition";
    const char *fault = nullptr;
    if (!fault && !textEnds(r.shortfall, sizeof r.shortfall))
        fault = "shortfall";
    for (int c = 0; c < CHECK_COUNT && !fault; c++)
        fault = checkResultFault(r.checks[c]);
    for (const CpuFigures &cost : r.streamCost)
        fault = fault ? fault : cpuFault(cost);
    for (const NotificationRecord &notifications : r.notifications)
        fault = fault ? fault : notificationsFault(notifications);
    return fault;
}

extern const RecordSpec conformRecord = {&conformResults, sizeof conformResults,
    "conform", conformResultsFault};

VerdictCounts countVerdicts(const ConformResults &r)
{
    VerdictCounts counts = {};
    for (const CheckResult &c : r.checks)
        counts.byVerdict[c.verdict]++;
    return counts;
}

// The running repetition's verdict; its evidence when the verdict is worse than the check's so far,
// or is the first word on a check not run.
static void recordVerdict(ConformCheck check, Verdict verdict, const char *format, va_list args)
{
    ConformResults &r = conformResults;
    if (!wanted(check))
        return;
    CheckResult &c = r.checks[check];
    int repetition = r.runningRepetition;
    if (repetition >= 1 && repetition <= MAX_REPEAT)
        c.perRepetition[repetition - 1] = static_cast<signed char>(verdict);
    bool firstWord = verdict == VERDICT_NOT_RUN && c.verdict == VERDICT_NOT_RUN && !c.evidence[0];
    if (verdict > c.verdict || firstWord) {
        c.verdict = verdict;
        vsnprintf(c.evidence, sizeof c.evidence, format, args);
        c.evidenceRepetition = repetition;
    }
}

void grade(ConformCheck check, Verdict verdict, const char *format, ...)
{
    va_list args;
    va_start(args, format);
    recordVerdict(check, verdict, format, args);
    va_end(args);
}

bool answered(ConformCheck check, ASIOError result, const char *call, ...)
{
    if (result == ASE_OK)
        return true;
    char text[EVIDENCE_SIZE], answer[32];
    va_list args;
    va_start(args, call);
    vsnprintf(text, sizeof text, call, args);
    va_end(args);
    grade(check, VERDICT_FAIL, "%s answered %s", text, asioErrorName(result, answer, sizeof answer));
    return false;
}

void notRun(ConformCheck check, const char *format, ...)
{
    va_list args;
    va_start(args, format);
    recordVerdict(check, VERDICT_NOT_RUN, format, args);
    va_end(args);
}

void nothingToJudge(ConformCheck check, ConformCheck cause, const char *why)
{
    if (wanted(cause))
        notRun(check, "%s (%s)", why, checkDefinitions[cause].id);
    else
        grade(check, VERDICT_FAIL, "%s", why);
}

void appendEvidence(ConformCheck check, const char *format, ...)
{
    ConformResults &r = conformResults;
    if (!wanted(check) || r.checks[check].evidenceRepetition != r.runningRepetition)
        return;
    char *evidence = r.checks[check].evidence;
    size_t used = strlen(evidence);
    va_list args;
    va_start(args, format);
    vsnprintf(evidence + used, sizeof r.checks[check].evidence - used, format, args);
    va_end(args);
}

void gradeFigure(ConformCheck check, double figure)
{
    conformResults.checks[check].figure = figure;
    conformResults.checks[check].hasFigure = true;
}

bool wanted(ConformCheck check)
{
    return check >= 0 && check < CHECK_COUNT && conformResults.wanted[check];
}

ConformCheck firstWantedCheck(ConformPhase phase)
{
    for (int c = 0; c < CHECK_COUNT; c++) {
        if (checkDefinitions[c].phase == phase && conformResults.wanted[c])
            return static_cast<ConformCheck>(c);
    }
    return CHECK_COUNT;
}

void beginCheck(ConformCheck check)
{
    if (!wanted(check))
        return;
    conformResults.runningCheck = check;
    publishRecord(&conformResults);
}

bool beginFirstWanted(std::initializer_list<ConformCheck> checks)
{
    for (ConformCheck check : checks) {
        if (wanted(check)) {
            beginCheck(check);
            return true;
        }
    }
    return false;
}

void leaveInterrupted()
{
    ConformResults &r = conformResults;
    int repetition = r.runningRepetition;
    for (int c = 0; c < CHECK_COUNT; c++) {
        bool graded = repetition >= 1 && repetition <= MAX_REPEAT &&
                      r.checks[c].perRepetition[repetition - 1] != VERDICT_NOT_RUN;
        if (!graded)
            notRun(static_cast<ConformCheck>(c), "interrupted before it was judged");
    }
    r.runningCheck = -1;
}

void leaveUnjudged(ConformCheck check, const char *format, ...)
{
    ConformResults &r = conformResults;
    int repetition = r.runningRepetition;
    if (!wanted(check) || repetition < 1 || repetition > MAX_REPEAT)
        return;
    CheckResult &c = r.checks[check];
    if (c.perRepetition[repetition - 1] == VERDICT_FAIL)
        return;
    c.perRepetition[repetition - 1] = VERDICT_NOT_RUN;
    char text[EVIDENCE_SIZE];
    va_list args;
    va_start(args, format);
    vsnprintf(text, sizeof text, format, args);
    va_end(args);
    // The worst over the repetitions run stands; this one's evidence where it is now the worst.
    int worst = VERDICT_NOT_RUN;
    for (int k = 0; k < r.repetitionsRun && k < MAX_REPEAT; k++)
        worst = c.perRepetition[k] > worst ? c.perRepetition[k] : worst;
    c.verdict = static_cast<Verdict>(worst);
    if (worst == VERDICT_NOT_RUN) {
        snprintf(c.evidence, sizeof c.evidence, "%s", text);
        c.evidenceRepetition = repetition;
    }
    if (!r.shortfall[0])
        snprintf(r.shortfall, sizeof r.shortfall, "%s", text);
}
