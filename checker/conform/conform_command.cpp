// quorvelcheck conform: the session that runs the phases, the checklist as text and JSON, and the
// command with its rules and JUnit file.
#include "checker/conform/phases.h"

#include <stdio.h>
#include <string.h>

static bool phaseWanted(const ConformResults &r, ConformPhase phase)
{
    for (int c = 0; c < CHECK_COUNT; c++) {
        if (checkDefinitions[c].phase == phase && r.wanted[c])
            return true;
    }
    return false;
}

static void selectChecks(const CheckerOptions &options, ConformResults *r)
{
    memset(r, 0, sizeof *r);
    r->repetitions = static_cast<int>(options.repeat);
    r->runningCheck = -1;
    for (int c = 0; c < CHECK_COUNT; c++) {
        r->wanted[c] = checkWanted(options, static_cast<ConformCheck>(c));
        r->checks[c].verdict = r->wanted[c] ? VERDICT_NOT_RUN : VERDICT_SKIPPED;
    }
}

// The phases after the opening, in order; each opens and closes a driver object of its own.
static void runPhase(const CheckerOptions &options, int index, ConformPhase phase)
{
    switch (phase) {
    case PHASE_FIGURES: conformFigures(options, index); break;
    case PHASE_RATES: conformRates(options, index); break;
    case PHASE_BUFFERS: conformBuffers(options, index); break;
    case PHASE_STREAM: conformStream(options, index, false); break;
    case PHASE_TIME_INFO: conformStream(options, index, true); break;
    case PHASE_LIFE: conformLife(options, index); break;
    case PHASE_CLIENTS: conformClients(options, index); break;
    case PHASE_NOTIFY: conformNotify(options, index); break;
    default: break;
    }
}

static int conformSession(const CheckerOptions &options)
{
    ConformResults &r = conformResults;
    selectChecks(options, &r);
    // Every phase's host answers as --host-supports says.
    setHostSupports(hostSupportedSelectors(options));
    // Ctrl+C ends the suite at the next safe point: a run is cut short, a phase not begun.
    stopAtSafePoints();
    loadDriverList();
    int index = 0;
    int code = findDriver(options.driver, &index);
    if (code != EXIT_FINE)
        return code;
    for (int repetition = 1; repetition <= r.repetitions && !runStopAsked(); repetition++) {
        r.repetitionsRun = repetition;
        r.runningRepetition = repetition;
        // The object is always created and initialised: nothing else can be checked without it.
        if (!conformOpen(options, index)) {
            publishRecord(&conformResults);
            return EXIT_DRIVER;
        }
        for (int phase = PHASE_FIGURES; phase < PHASE_COUNT && !runStopAsked(); phase++) {
            if (phaseWanted(r, static_cast<ConformPhase>(phase)))
                runPhase(options, index, static_cast<ConformPhase>(phase));
        }
        if (runStopAsked())
            leaveInterrupted();
        r.runningCheck = -1;
        publishRecord(&conformResults);
    }
    return runStopAsked() ? EXIT_INTERRUPTED : EXIT_FINE;
}

// "FAIL in 2 of 10: 3, 7" for a check whose repetitions differ; "" when they agree.
static void repetitionText(const ConformResults &r, const CheckResult &c, char *out, size_t size)
{
    out[0] = '\0';
    if (r.repetitionsRun < 2)
        return;
    int worst = 0;
    char which[120] = "";
    for (int k = 0; k < r.repetitionsRun && k < MAX_REPEAT; k++) {
        if (c.perRepetition[k] == c.verdict) {
            worst++;
            if (strlen(which) < sizeof which - 8)
                snprintf(which + strlen(which), sizeof which - strlen(which), "%s%d", worst > 1 ? ", " : "",
                         k + 1);
        }
    }
    if (worst < r.repetitionsRun)
        snprintf(out, size, "%s in %d of %d repetitions: %s", verdictName(c.verdict), worst,
                 r.repetitionsRun, which);
}

// The statuses the checklist is shown after; any other ends the command with its error alone.
static bool checklistStands(int code)
{
    return resultsStand(code) || code == EXIT_DRIVER;
}

// The runs whose notifications are kept, as the phases name them.
static const char *conformRunName(int run)
{
    return run == CONFORM_RUN_STREAM ? "stream" : run == CONFORM_RUN_TIME_INFO ? "time_info" : "clients";
}

void printConformText(const CheckerOptions &, int index, const SessionOutcome &, int exitCode)
{
    if (!checklistStands(exitCode))
        return;
    const ConformResults &r = conformResults;
    printDriverHeading(index);
    printf("Conformance: %d check%s, %d repetition%s\n", CHECK_COUNT, CHECK_COUNT == 1 ? "" : "s",
           r.repetitions, r.repetitions == 1 ? "" : "s");
    for (int c = 0; c < CHECK_COUNT; c++) {
        const CheckDefinition &d = checkDefinitions[c];
        const CheckResult &result = r.checks[c];
        if (opensPhase(c))
            printf("%s\n", phaseName(d.phase));
        printf("  %-8s %-24s %s\n", verdictName(result.verdict), d.id, d.description);
        if (result.evidence[0])
            printf("  %-8s %-24s %s\n", "", "", result.evidence);
        char repetitions[200];
        repetitionText(r, result, repetitions, sizeof repetitions);
        if (repetitions[0])
            printf("  %-8s %-24s %s\n", "", "", repetitions);
    }
    for (int run = 0; run < CONFORM_RUNS; run++) {
        if (r.notifications[run].seen == 0)
            continue;
        printf("The %s phase's run:\n", conformRunName(run));
        printNotifications(r.notifications[run], nullptr);
    }
    VerdictCounts counts = countVerdicts(r);
    printf("Checks: %d PASS, %d WARN, %d FAIL, %d not run, %d skipped\n", counts.byVerdict[VERDICT_PASS],
           counts.byVerdict[VERDICT_WARN], counts.byVerdict[VERDICT_FAIL],
           counts.byVerdict[VERDICT_NOT_RUN], counts.byVerdict[VERDICT_SKIPPED]);
}

static void jsonCheck(const ConformResults &r, int c)
{
    const CheckResult &result = r.checks[c];
    jsonBeginObject(nullptr);
    jsonText("id", checkDefinitions[c].id);
    jsonText("phase", phaseName(checkDefinitions[c].phase));
    jsonText("description", checkDefinitions[c].description);
    jsonText("verdict", verdictName(result.verdict));
    jsonText("evidence", result.evidence[0] ? result.evidence : nullptr);
    if (result.hasFigure)
        jsonNumber("figure", result.figure);
    if (r.repetitionsRun > 1) {
        jsonInteger("evidence_repetition", result.evidenceRepetition);
        jsonBeginArray("repetitions");
        for (int k = 0; k < r.repetitionsRun && k < MAX_REPEAT; k++)
            jsonText(nullptr, verdictName(static_cast<Verdict>(result.perRepetition[k])));
        jsonEndArray();
    }
    jsonEndObject();
}

void writeConformDocument(const CheckerOptions &options, int index, const SessionOutcome &outcome,
                          int exitCode)
{
    if (!beginDocument(options, index, checklistStands(exitCode), exitCode))
        return;
    const ConformResults &r = conformResults;
    jsonInteger("repetitions", r.repetitions);
    jsonInteger("repetitions_run", r.repetitionsRun);
    jsonBeginArray("checks");
    for (int c = 0; c < CHECK_COUNT; c++)
        jsonCheck(r, c);
    jsonEndArray();
    jsonBeginObject("cpu");
    jsonCost("stream", r.streamCost[0]);
    jsonCost("time_info", r.streamCost[1]);
    jsonEndObject();
    jsonBeginObject("runs");
    for (int run = 0; run < CONFORM_RUNS; run++) {
        jsonBeginObject(conformRunName(run));
        jsonNotifications(r.notifications[run], nullptr);
        jsonEndObject();
    }
    jsonEndObject();
    VerdictCounts counts = countVerdicts(r);
    jsonBeginObject("counts");
    jsonInteger("pass", counts.byVerdict[VERDICT_PASS]);
    jsonInteger("warn", counts.byVerdict[VERDICT_WARN]);
    jsonInteger("fail", counts.byVerdict[VERDICT_FAIL]);
    jsonInteger("not_run", counts.byVerdict[VERDICT_NOT_RUN]);
    jsonInteger("skipped", counts.byVerdict[VERDICT_SKIPPED]);
    jsonEndObject();
    jsonSessionEnd(outcome, exitCode);
}

// The check a crash or hang is charged to: the one in progress. The suite's first create and init
// are one step of the session, so what fails in it once the object exists is open.init's.
static int chargedCheck(const SessionOutcome &outcome, const ConformResults &r)
{
    if (r.runningCheck == CHECK_OPEN_CREATE && r.wanted[CHECK_OPEN_INIT] &&
        strcmp(outcome.call, "CoCreateInstance()") != 0)
        return CHECK_OPEN_INIT;
    return r.runningCheck;
}

// A crash or hang fails the check it came in; the later checks stay "not run".
static void chargeTheFailure(const SessionOutcome &outcome, ConformResults *r)
{
    int charged = chargedCheck(outcome, *r);
    if (outcome.end == SESSION_FINISHED || charged < 0 || !r->wanted[charged])
        return;
    CheckResult &c = r->checks[charged];
    c.verdict = VERDICT_FAIL;
    snprintf(c.evidence, sizeof c.evidence, "%s", outcome.text);
    c.evidenceRepetition = r->runningRepetition;
    if (r->runningRepetition >= 1 && r->runningRepetition <= MAX_REPEAT)
        c.perRepetition[r->runningRepetition - 1] = VERDICT_FAIL;
}

int measureConform(const CheckerOptions &options, int, const char *arguments, SessionOutcome *outcome)
{
    selectChecks(options, &conformResults);
    int code = runDriverSession(options, conformSession, arguments, outcome);
    VerdictCounts counts = countVerdicts(conformResults);
    // The checks that failed before the interrupt failed whole: a finding the interrupt cannot hide.
    if (code == EXIT_INTERRUPTED && counts.byVerdict[VERDICT_FAIL]) {
        return fail(EXIT_CHECK_MISSED, "%d of %d checks failed before the run was interrupted",
                    counts.byVerdict[VERDICT_FAIL], CHECK_COUNT);
    }
    if (code != EXIT_FINE && code != EXIT_DRIVER && code != EXIT_CRASHED)
        return code;
    chargeTheFailure(*outcome, &conformResults);
    if (code == EXIT_FINE) {
        if (counts.byVerdict[VERDICT_FAIL])
            code = fail(EXIT_CHECK_MISSED, "%d of %d checks failed", counts.byVerdict[VERDICT_FAIL],
                        CHECK_COUNT);
        else if (options.strict && counts.byVerdict[VERDICT_WARN])
            code = fail(EXIT_CHECK_MISSED, "%d checks warned, and --strict fails a warning",
                        counts.byVerdict[VERDICT_WARN]);
        else if (conformResults.shortfall[0])
            code = fail(EXIT_SHORTFALL, "not every check could be judged: %s", conformResults.shortfall);
    }
    return code;
}

static int conformCommand(const CheckerOptions &options)
{
    if (options.listChecks) {
        printCheckList(options);
        return EXIT_FINE;
    }
    int code = runDriverCommand(options, measureConform, writeConformDocument, printConformText);
    if (options.junitFile && checklistStands(code)) {
        int written = writeJunit(options.junitFile, conformResults, code);
        if (written != EXIT_FINE && code == EXIT_FINE)
            code = written;
    }
    return code;
}

static int conformRules(CheckerOptions *o, const ArgumentFacts &facts)
{
    bool selected[CHECK_COUNT];
    if (o->only && parseCheckList(o->only, selected) != EXIT_FINE)
        return EXIT_USAGE;
    if (o->skip && parseCheckList(o->skip, selected) != EXIT_FINE)
        return EXIT_USAGE;
    if (o->listChecks) {
        if (facts.driver)
            return fail(EXIT_USAGE, "conform --list-checks takes no DRIVER");
        return EXIT_FINE;
    }
    if (!facts.given[OPTION_SECONDS])
        o->seconds = 3;
    if ((o->outChannel < 0) != (o->inChannel < 0))
        return fail(EXIT_USAGE, "conform takes --out O and --in I together: the output and input a "
                                "cable joins");
    return requireDriver(o, facts);
}

static const char *const conformHelp =
    "usage: quorvelcheck conform DRIVER [--seconds S] [--repeat N] [--only LIST] [--skip LIST]\n"
    "                            [--strict] [--junit FILE] [--out O --in I]\n"
    "                            [--host-supports all|none|LIST] [--json]\n"
    "       quorvelcheck conform --list-checks [--json]\n"
    "\n"
    "Runs a fixed series of checks of the driver's behaviour, in phases (open, figures, rates,\n"
    "buffers, streaming with time info declined and offered, lifecycle, a second host opening\n"
    "the driver while the first streams), each phase on a driver object of its own, and grades\n"
    "each check PASS, WARN or FAIL with its evidence. A crash or hang fails the check it came in;\n"
    "the checks after it are not run.\n"
    "\n"
    "  --seconds S            the length of each streaming run (3)\n"
    "  --repeat N             the whole suite N times (1), verdicts per repetition\n"
    "  --only LIST            only these checks or phases, comma-separated (--list-checks)\n"
    "  --skip LIST            all but these\n"
    "  --strict               a WARN fails too\n"
    "  --junit FILE           JUnit XML: one test case per check\n"
    "  --out O --in I         a cable from output O to input I: in the clients phase the first\n"
    "                         host's samples are checked as integrity does, and a sample dropped,\n"
    "                         repeated, changed or missing fails the check of its moment\n"
    HOST_SUPPORTS_USAGE    "Exit status: 0 every check passed (WARN allowed unless --strict); 1 a check failed; 2 usage;\n"
    "3 the driver could not be loaded or initialised; 4 it crashed or hung (the check is named).\n";

extern const CommandSpec conformCommandSpec = {
    "conform", "conform DRIVER", "a pass/fail verdict on the driver's behaviour, check by check",
    conformHelp,
    WORKER_OPTIONS | OPTION_BIT(OPTION_SECONDS) | OPTION_BIT(OPTION_LIST_CHECKS) |
        OPTION_BIT(OPTION_ONLY) | OPTION_BIT(OPTION_SKIP) | OPTION_BIT(OPTION_STRICT) |
        OPTION_BIT(OPTION_REPEAT) | OPTION_BIT(OPTION_JUNIT) | OPTION_BIT(OPTION_OUT) |
        OPTION_BIT(OPTION_IN) | OPTION_BIT(OPTION_HOST_SUPPORTS),
    false, conformRules, conformCommand, conformSession,
};
