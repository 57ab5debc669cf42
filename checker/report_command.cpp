// quorvelcheck report: the parts one after another, each in its own worker and through the same
// functions as its own command; then the page, whatever the parts gave.
#include "checker/report.h"

#include "checker/driver_session.h"
#include "checker/json_writer.h"

#include <stdio.h>
#include <string.h>
#include <string>
#include <vector>

static Report report;

// A part's command line, parsed as its worker parses it: the options its own command would have.
struct PartCommand {
    std::string text;
    std::vector<std::string> words;
    std::vector<char *> argv;
    CheckerOptions options;
};

// `extra`: the part's own options, before those the report passes on to every part.
static void makePartCommand(const CheckerOptions &reportOptions, const char *command, int index,
                            const char *extra, PartCommand *part)
{
    char line[200];
    snprintf(line, sizeof line, "%s %d %s%s--call-timeout %g%s", command, index, extra,
             *extra ? " " : "", reportOptions.callTimeout, reportOptions.inProcess ? " --in-process" : "");
    part->text = line;
    part->words.assign(1, "quorvelcheck");
    for (size_t at = 0; at < part->text.size();) {
        size_t space = part->text.find(' ', at);
        if (space == std::string::npos)
            space = part->text.size();
        part->words.push_back(part->text.substr(at, space - at));
        at = space + 1;
    }
    part->argv.clear();
    for (std::string &word : part->words)
        part->argv.push_back(&word[0]);
    // A line of the report's own making, of options the report's own parse has checked.
    parseArguments(static_cast<int>(part->argv.size()), part->argv.data(), &part->options);
}

// What a part leaves in the process's shared records, cleared before it and kept after it.
static void beginPart()
{
    memset(&callNotes, 0, sizeof callNotes);
    memset(&openedDriver, 0, sizeof openedDriver);
    setFailureText("");
}

static void keepPart(PartResult *p, int code, const SessionOutcome &outcome)
{
    p->ran = true;
    p->exitCode = code;
    p->outcome = outcome;
    snprintf(p->failure, sizeof p->failure, "%s", code == EXIT_FINE ? "" : lastFailure());
    p->driver = openedDriver;
    p->calls = callNotes;
}

static void runParts(const CheckerOptions &options, int index)
{
    PartCommand command;
    SessionOutcome outcome;
    char seconds[32], cable[64];
    snprintf(seconds, sizeof seconds, "--seconds %g", options.seconds);
    snprintf(cable, sizeof cable, "--out %ld --in %ld", options.outChannel, options.inChannel);

    beginPart();
    makePartCommand(options, "info", index, "", &command);
    int code = measureInfo(command.options, command.text.c_str(), &outcome);
    keepPart(&report.parts[PART_INFO], code, outcome);
    jsonToBuffer(&report.parts[PART_INFO].json);
    writeInfoDocument(index, infoResults, outcome, code);

    beginPart();
    makePartCommand(options, "conform", index, "", &command);
    code = measureConformance(command.options, command.text.c_str(), &outcome);
    keepPart(&report.parts[PART_CONFORM], code, outcome);
    jsonToBuffer(&report.parts[PART_CONFORM].json);
    writeConformDocument(index, conformResults, outcome, code);

    beginPart();
    makePartCommand(options, "run", index, seconds, &command);
    code = measureRun(command.options, index, command.text.c_str(), &outcome);
    keepPart(&report.parts[PART_RUN], code, outcome);
    jsonToBuffer(&report.parts[PART_RUN].json);
    writeRunDocument(command.options, runResults, outcome, code);
    jsonToStdout();
    if (!report.cable)
        return;

    beginPart();
    makePartCommand(options, "latency", index, (std::string(cable) + " --sweep").c_str(), &command);
    code = measureSweep(command.options, index, command.text.c_str(), &outcome);
    keepPart(&report.parts[PART_SWEEP], code, outcome);
    jsonToBuffer(&report.parts[PART_SWEEP].json);
    writeSweepDocument(index, sweepResults, outcome, code);

    beginPart();
    makePartCommand(options, "integrity", index, (std::string(cable) + " " + seconds).c_str(),
                    &command);
    code = measureIntegrity(command.options, index, command.text.c_str(), &outcome);
    keepPart(&report.parts[PART_INTEGRITY], code, outcome);
    jsonToBuffer(&report.parts[PART_INTEGRITY].json);
    writeIntegrityDocument(integrityResults, outcome, code);
    jsonToStdout();
}

static void printSummary(const char *file, size_t bytes, int code)
{
    printf("Report: %s (%zu bytes)\n", file, bytes);
    for (int k = 0; k < REPORT_PARTS; k++) {
        ReportPart part = static_cast<ReportPart>(k);
        char text[320];
        partSummary(report, part, text, sizeof text);
        printf("  %-8s %-14s %s\n", verdictName(partVerdict(report, part)), partName(part), text);
    }
    printf("Exit status %d (%s)\n", code, exitStatusMeaning(code));
}

static void jsonSummary(int index, const char *file, size_t bytes, int code)
{
    jsonBeginObject(nullptr);
    jsonHeader(COMMAND_REPORT);
    jsonDriver(index);
    jsonText("file", file);
    jsonInteger("bytes", static_cast<long long>(bytes));
    jsonBeginArray("parts");
    for (int k = 0; k < REPORT_PARTS; k++) {
        ReportPart part = static_cast<ReportPart>(k);
        const PartResult &p = report.parts[k];
        char text[320];
        partSummary(report, part, text, sizeof text);
        jsonBeginObject(nullptr);
        jsonText("part", partName(part));
        jsonText("verdict", verdictName(partVerdict(report, part)));
        if (p.ran)
            jsonInteger("exit_code", p.exitCode);
        else
            jsonNull("exit_code");
        jsonText("summary", text);
        jsonText("error", p.ran && p.exitCode != EXIT_FINE ? p.failure : nullptr);
        jsonEndObject();
    }
    jsonEndArray();
    jsonInteger("exit_code", code);
    jsonEndObject();
    jsonFinish();
}

int reportCommand(const CheckerOptions &options)
{
    loadDriverList();
    int index = 0;
    int code = findDriver(options.driver, &index);
    if (code != EXIT_FINE)
        return code;
    // Asked first: a file that cannot be written is known before the parts take their minute.
    FILE *file = fopen(options.reportFile, "wb");
    if (!file)
        return fail(EXIT_USAGE, "cannot write the report %s", options.reportFile);

    for (PartResult &p : report.parts) {
        p.ran = false;
        p.json.clear();
    }
    report.cable = options.outChannel >= 0 && options.inChannel >= 0;
    report.outChannel = options.outChannel;
    report.inChannel = options.inChannel;
    report.info = &infoResults;
    report.conform = &conformResults;
    report.run = &runResults;
    report.sweep = &sweepResults;
    report.integrity = &integrityResults;
    runParts(options, index);
    collectReportFacts(index, &report.facts);

    std::string page;
    writeReportPage(report, &page);
    bool written = fwrite(page.data(), 1, page.size(), file) == page.size();
    written = fclose(file) == 0 && written;
    code = EXIT_FINE;
    for (const PartResult &p : report.parts) {
        if (p.ran && p.exitCode > code)
            code = p.exitCode;
    }
    if (!written)
        code = fail(EXIT_USAGE, "cannot write the report %s", options.reportFile);
    // The document's driver heading is the info part's.
    openedDriver = report.parts[PART_INFO].driver;
    if (options.json)
        jsonSummary(index, options.reportFile, page.size(), code);
    else
        printSummary(options.reportFile, page.size(), code);
    return code;
}
