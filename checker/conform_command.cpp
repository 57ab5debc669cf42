// quorvelcheck conform: the session that runs the phases, and the checklist, JSON and JUnit XML.
#include "checker/conform.h"

#include "checker/driver_session.h"
#include "checker/json_writer.h"
#include "checker/output.h"
#include "checker/results.h"
#include "checker/worker.h"

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

int conformSession(const CheckerOptions &options)
{
    ConformResults &r = conformResults;
    selectChecks(options, &r);
    loadDriverList();
    int index = 0;
    int code = findDriver(options.driver, &index);
    if (code != EXIT_FINE)
        return code;
    for (int repetition = 1; repetition <= r.repetitions; repetition++) {
        r.repetitionsRun = repetition;
        r.runningRepetition = repetition;
        // The object is always created and initialised: nothing else can be checked without it.
        if (!conformOpen(options, index)) {
            publishRecord(RECORD_CONFORM);
            return EXIT_DRIVER;
        }
        if (phaseWanted(r, PHASE_FIGURES))
            conformFigures(options, index);
        if (phaseWanted(r, PHASE_RATES))
            conformRates(options, index);
        if (phaseWanted(r, PHASE_BUFFERS))
            conformBuffers(options, index);
        if (phaseWanted(r, PHASE_STREAM))
            conformStream(options, index, false);
        if (phaseWanted(r, PHASE_TIME_INFO))
            conformStream(options, index, true);
        if (phaseWanted(r, PHASE_LIFE))
            conformLife(options, index);
        r.runningCheck = -1;
        publishRecord(RECORD_CONFORM);
    }
    return EXIT_FINE;
}

struct Counts {
    int byVerdict[VERDICT_FAIL + 1];
};

static Counts countVerdicts(const ConformResults &r)
{
    Counts counts = {};
    for (const CheckResult &c : r.checks)
        counts.byVerdict[c.verdict]++;
    return counts;
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

static void printText(int index, const ConformResults &r)
{
    printDriverHeading(index);
    printf("Conformance: %d check%s, %d repetition%s\n", CHECK_COUNT, CHECK_COUNT == 1 ? "" : "s",
           r.repetitions, r.repetitions == 1 ? "" : "s");
    ConformPhase phase = PHASE_COUNT;
    for (int c = 0; c < CHECK_COUNT; c++) {
        const CheckDefinition &d = checkDefinitions[c];
        const CheckResult &result = r.checks[c];
        if (d.phase != phase) {
            phase = d.phase;
            printf("%s\n", phaseName(phase));
        }
        printf("  %-8s %-24s %s\n", verdictName(result.verdict), d.id, d.description);
        if (result.evidence[0])
            printf("  %-8s %-24s %s\n", "", "", result.evidence);
        char repetitions[200];
        repetitionText(r, result, repetitions, sizeof repetitions);
        if (repetitions[0])
            printf("  %-8s %-24s %s\n", "", "", repetitions);
    }
    Counts counts = countVerdicts(r);
    printf("Checks: %d PASS, %d WARN, %d FAIL, %d not run, %d skipped\n", counts.byVerdict[VERDICT_PASS],
           counts.byVerdict[VERDICT_WARN], counts.byVerdict[VERDICT_FAIL],
           counts.byVerdict[VERDICT_NOT_RUN], counts.byVerdict[VERDICT_SKIPPED]);
}

// The statuses the checklist is shown after; any other ends the command with its error alone.
static bool checklistStands(int code)
{
    return code == EXIT_FINE || code == EXIT_CHECK_MISSED || code == EXIT_DRIVER || code == EXIT_CRASHED;
}

void writeConformDocument(int index, const ConformResults &r, const SessionOutcome &outcome,
                          int exitCode)
{
    if (!checklistStands(exitCode)) {
        printFailureDocument(COMMAND_CONFORM, exitCode);
        return;
    }
    jsonBeginObject(nullptr);
    jsonHeader(COMMAND_CONFORM);
    jsonDriver(index);
    jsonInteger("repetitions", r.repetitions);
    jsonInteger("repetitions_run", r.repetitionsRun);
    jsonBeginArray("checks");
    for (int c = 0; c < CHECK_COUNT; c++) {
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
    jsonEndArray();
    Counts counts = countVerdicts(r);
    jsonBeginObject("counts");
    jsonInteger("pass", counts.byVerdict[VERDICT_PASS]);
    jsonInteger("warn", counts.byVerdict[VERDICT_WARN]);
    jsonInteger("fail", counts.byVerdict[VERDICT_FAIL]);
    jsonInteger("not_run", counts.byVerdict[VERDICT_NOT_RUN]);
    jsonInteger("skipped", counts.byVerdict[VERDICT_SKIPPED]);
    jsonEndObject();
    jsonSessionEnd(outcome, exitCode);
}

static void writeXmlText(FILE *file, const char *text)
{
    for (const char *c = text; *c; c++) {
        switch (*c) {
        case '&': fputs("&amp;", file); break;
        case '<': fputs("&lt;", file); break;
        case '>': fputs("&gt;", file); break;
        case '"': fputs("&quot;", file); break;
        default:
            // Characters XML does not allow, and bytes of the driver's code page outside ASCII.
            fputc(static_cast<unsigned char>(*c) < 0x20 && *c != '\t' && *c != '\n' ? '?'
                  : static_cast<unsigned char>(*c) >= 0x80                          ? '?'
                                                                                    : *c,
                  file);
        }
    }
}

static int writeJunit(const char *path, const ConformResults &r)
{
    FILE *file = fopen(path, "wb");
    if (!file)
        return fail(EXIT_USAGE, "cannot write the JUnit file %s", path);
    Counts counts = countVerdicts(r);
    fprintf(file, "<?xml version=\"1.0\" encoding=\"UTF-8\"?>\n");
    fprintf(file, "<testsuites>\n<testsuite name=\"quorvelcheck conform\" tests=\"%d\" failures=\"%d\" "
            "errors=\"0\" skipped=\"%d\">\n", CHECK_COUNT, counts.byVerdict[VERDICT_FAIL],
            counts.byVerdict[VERDICT_NOT_RUN] + counts.byVerdict[VERDICT_SKIPPED]);
    for (int c = 0; c < CHECK_COUNT; c++) {
        const CheckResult &result = r.checks[c];
        fprintf(file, "  <testcase classname=\"conform.%s\" name=\"%s\">",
                phaseName(checkDefinitions[c].phase), checkDefinitions[c].id);
        switch (result.verdict) {
        case VERDICT_FAIL:
            fputs("<failure message=\"", file);
            writeXmlText(file, result.evidence);
            fputs("\">", file);
            writeXmlText(file, checkDefinitions[c].description);
            fputs("</failure>", file);
            break;
        case VERDICT_WARN:
            fputs("<system-out>WARN: ", file);
            writeXmlText(file, result.evidence);
            fputs("</system-out>", file);
            break;
        case VERDICT_NOT_RUN:
        case VERDICT_SKIPPED:
            fprintf(file, "<skipped message=\"%s\"/>", verdictName(result.verdict));
            break;
        case VERDICT_PASS:
            break;
        }
        fputs("</testcase>\n", file);
    }
    fputs("</testsuite>\n</testsuites>\n", file);
    return fclose(file) == 0 ? EXIT_FINE : fail(EXIT_USAGE, "cannot write the JUnit file %s", path);
}

// A crash or hang fails the check it came in; the later checks stay "not run".
static void chargeTheFailure(const SessionOutcome &outcome, ConformResults *r)
{
    if (outcome.end == SESSION_FINISHED || r->runningCheck < 0)
        return;
    CheckResult &c = r->checks[r->runningCheck];
    c.verdict = VERDICT_FAIL;
    snprintf(c.evidence, sizeof c.evidence, "%s", outcome.text);
    c.evidenceRepetition = r->runningRepetition;
    if (r->runningRepetition >= 1 && r->runningRepetition <= MAX_REPEAT)
        c.perRepetition[r->runningRepetition - 1] = VERDICT_FAIL;
}

int measureConformance(const CheckerOptions &options, const char *arguments, SessionOutcome *outcome)
{
    selectChecks(options, &conformResults);
    int code = runDriverSession(options, conformSession, arguments, outcome);
    if (code != EXIT_FINE && code != EXIT_DRIVER && code != EXIT_CRASHED)
        return code;
    chargeTheFailure(*outcome, &conformResults);
    if (code == EXIT_FINE) {
        Counts counts = countVerdicts(conformResults);
        if (counts.byVerdict[VERDICT_FAIL])
            code = fail(EXIT_CHECK_MISSED, "%d of %d checks failed", counts.byVerdict[VERDICT_FAIL],
                        CHECK_COUNT);
        else if (options.strict && counts.byVerdict[VERDICT_WARN])
            code = fail(EXIT_CHECK_MISSED, "%d checks warned, and --strict fails a warning",
                        counts.byVerdict[VERDICT_WARN]);
    }
    return code;
}

int conformCommand(const CheckerOptions &options)
{
    if (options.listChecks) {
        printCheckList(options.json);
        return EXIT_FINE;
    }
    loadDriverList();
    int index = 0;
    int code = findDriver(options.driver, &index);
    if (code != EXIT_FINE)
        return code;
    SessionOutcome outcome;
    code = measureConformance(options, userArgumentText(), &outcome);
    if (options.json)
        writeConformDocument(index, conformResults, outcome, code);
    else if (checklistStands(code))
        printText(index, conformResults);
    if (options.junitFile && checklistStands(code)) {
        int written = writeJunit(options.junitFile, conformResults);
        if (written != EXIT_FINE && code == EXIT_FINE)
            code = written;
    }
    return code;
}
