// quorvelcheck report: the parts one after another, each in its own worker and through the same
// functions as its own command; then the page, whatever the parts gave.
#include "checker/report/report.h"

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

// `extra`: the part's own options, before those the report passes on to every part. EXIT_FINE, or
// EXIT_USAGE when the line does not parse as its command's.
static int makePartCommand(const CheckerOptions &reportOptions, const char *command, int index,
                           const std::string &extra, PartCommand *part)
{
    char common[80];
    snprintf(common, sizeof common, "--call-timeout %g%s", reportOptions.callTimeout,
             reportOptions.inProcess ? " --in-process" : "");
    part->text = std::string(command) + " " + std::to_string(index) + " " + extra +
                 (extra.empty() ? "" : " ") + common;
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
    // A line of the report's own making, of options the report's own parse has checked: a failure
    // here is the report's, and the part is not run.
    return parseArguments(static_cast<int>(part->argv.size()), part->argv.data(), &part->options);
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

// A part: the command it is, the options it takes from the report's, and its two functions.
struct PartSpec {
    ReportPart part;
    const char *command;
    bool cable;           // --out O --in I: run only with a cable
    bool seconds;         // the report's --seconds
    const char *extra;    // an option of its own
    MeasureCommand measure;
    ShowCommand writeDocument;
};

static const PartSpec partSpecs[REPORT_PARTS] = {
    {PART_INFO, "info", false, false, "", measureInfo, writeInfoDocument},
    {PART_CONFORM, "conform", false, false, "", measureConform, writeConformDocument},
    {PART_RUN, "run", false, true, "", measureRun, writeRunDocument},
    {PART_SWEEP, "latency", true, false, "--sweep", measureSweep, writeSweepDocument},
    {PART_INTEGRITY, "integrity", true, true, "", measureIntegrity, writeIntegrityDocument},
};

// integrity's options for every channel, as the report was given them, however long.
static std::string routingOptions(const CheckerOptions &options)
{
    std::string extra;
    char text[64];
    appendFormat(&extra, "--seconds %g", options.seconds);
    if (options.all)
        extra += " --all";
    if (options.outs)
        extra += std::string(" --outs ") + options.outs;
    if (options.ins)
        extra += std::string(" --ins ") + options.ins;
    if (options.map)
        extra += std::string(" --map ") + options.map;
    if (options.maxSkew >= 0) {
        snprintf(text, sizeof text, " --max-skew %g", options.maxSkew);
        extra += text;
    }
    return extra;
}

// One part in its own worker, its document written into its own buffer.
static void runPart(const CheckerOptions &options, int index, const PartSpec &row)
{
    std::string extra;
    char text[64];
    if (row.cable) {
        snprintf(text, sizeof text, "--out %ld --in %ld", options.outChannel, options.inChannel);
        extra += text;
    }
    if (row.seconds) {
        snprintf(text, sizeof text, "--seconds %g", options.seconds);
        extra += (extra.empty() ? "" : " ") + std::string(text);
    }
    if (*row.extra)
        extra += (extra.empty() ? "" : " ") + std::string(row.extra);
    MeasureCommand measure = row.measure;
    ShowCommand writeDocument = row.writeDocument;
    if (row.part == PART_INTEGRITY && report.everyChannel) {
        extra = routingOptions(options);
        measure = measureRouting;
        writeDocument = writeRoutingDocument;
    }
    PartCommand command;
    SessionOutcome outcome;
    beginPart();
    memset(&outcome, 0, sizeof outcome);
    int code = makePartCommand(options, row.command, index, extra, &command);
    if (code == EXIT_FINE)
        code = measure(command.options, index, command.text.c_str(), &outcome);
    else
        outcome.end = SESSION_NOT_STARTED;
    PartResult &result = report.parts[row.part];
    keepPart(&result, code, outcome);
    jsonToBuffer(&result.json);
    writeDocument(command.options, index, outcome, code);
    jsonToStdout();
}

static void runParts(const CheckerOptions &options, int index)
{
    for (const PartSpec &row : partSpecs) {
        if (!row.cable || report.cable || (row.part == PART_INTEGRITY && report.everyChannel))
            runPart(options, index, row);
    }
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

static void jsonSummary(const CheckerOptions &options, int index, const char *file, size_t bytes,
                        int code)
{
    jsonBeginObject(nullptr);
    jsonHeader(options.command);
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

static int reportCommand(const CheckerOptions &options)
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
    report.everyChannel = routingWanted(options);
    report.routing = &routingResults;
    runParts(options, index);
    collectReportFacts(index, &report.facts);

    std::string page;
    writeReportPage(report, &page);
    bool written = fwrite(page.data(), 1, page.size(), file) == page.size();
    written = fclose(file) == 0 && written;
    code = reportStatus(report);
    if (!written)
        code = fail(EXIT_USAGE, "cannot write the report %s", options.reportFile);
    // The document's driver heading is the info part's.
    openedDriver = report.parts[PART_INFO].driver;
    if (options.json)
        jsonSummary(options, index, options.reportFile, page.size(), code);
    else
        printSummary(options.reportFile, page.size(), code);
    return code;
}

static int reportRules(CheckerOptions *o, const ArgumentFacts &facts)
{
    int code = requireDriver(o, facts);
    if (code != EXIT_FINE)
        return code;
    if (!o->reportFile)
        return fail(EXIT_USAGE, "report needs -o FILE: the HTML file to write");
    if ((o->outChannel < 0) != (o->inChannel < 0))
        return fail(EXIT_USAGE, "report takes --out O and --in I together, for a cable, or neither");
    if (!routingWanted(*o) && (o->map || o->maxSkew >= 0))
        return fail(EXIT_USAGE, "--map and --max-skew judge the routes of every channel: they need "
                                "--all, --outs or --ins");
    return EXIT_FINE;
}

static const char *const reportHelp =
    "usage: quorvelcheck report DRIVER -o FILE.html [--seconds S] [--out O --in I] [--json]\n"
    "                           [--all | --outs LIST --ins LIST] [--map M] [--max-skew F]\n"
    "\n"
    "Runs info, conform (its default settings) and run for S seconds (10) and, with a cable from\n"
    "output O to input I, latency --sweep and integrity for S seconds, each in a worker of its\n"
    "own, one after another. Then it writes one self-contained HTML page: the driver's figures and\n"
    "channels, the switch timing, the latency against buffer size and the integrity of the signal\n"
    "with their pictures, the conformance checklist, and every part's JSON document as its\n"
    "command prints it with --json. A part that crashes or hangs is reported on the page and\n"
    "the next part runs. The page needs no network and no script, and prints on A4 and Letter.\n"
    "With --all (or --outs and --ins), integrity runs on every channel as integrity --all does,\n"
    "with its --map and --max-skew, and the page draws the routes found, outputs against inputs,\n"
    "and the skew of every channel.\n"
    "Exit status: 0 every part passed; else the worst of the parts' statuses; 2 usage, or a file\n"
    "that cannot be written.\n";

extern const CommandSpec reportCommandSpec = {
    "report", "report DRIVER -o F", "all of the above on one HTML page with pictures", reportHelp,
    WORKER_OPTIONS | OPTION_BIT(OPTION_SECONDS) | OPTION_BIT(OPTION_OUT) | OPTION_BIT(OPTION_IN) |
        OPTION_BIT(OPTION_REPORT_FILE) | OPTION_BIT(OPTION_ALL) | OPTION_BIT(OPTION_OUTS) |
        OPTION_BIT(OPTION_INS) | OPTION_BIT(OPTION_MAP) | OPTION_BIT(OPTION_MAX_SKEW),
    false, reportRules, reportCommand, nullptr,
};
