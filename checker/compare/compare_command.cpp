// quorvelcheck compare BASE.json NEW.json: the last driver build's documents against the new one's.
// Each side is one file or several, comma-separated; files of one command and one driver only.
#include "checker/compare/compare.h"

#include <string.h>

enum { MAX_COMPARE_FILES = 100 };

static bool splitFiles(const char *list, std::vector<std::string> *files)
{
    std::string text = list;
    size_t start = 0;
    for (;;) {
        size_t comma = text.find(',', start);
        std::string file = text.substr(start, comma == std::string::npos ? std::string::npos : comma - start);
        if (file.empty() || files->size() >= MAX_COMPARE_FILES)
            return false;
        files->push_back(file);
        if (comma == std::string::npos)
            return true;
        start = comma + 1;
    }
}

// The driver a document is of: its own name, the listed name where it gave none.
static const std::string &driverOf(const CompareDocument &d)
{
    return d.driverName.empty() ? d.registryName : d.driverName;
}

static int readSide(const char *list, const char *side, std::vector<CompareDocument> *documents)
{
    std::vector<std::string> files;
    if (!splitFiles(list, &files))
        return fail(EXIT_USAGE, "bad %s files \"%s\": file names, comma-separated, at most %d",
                    side, list, MAX_COMPARE_FILES);
    for (const std::string &file : files) {
        JsonNode root;
        std::string error;
        CompareDocument document;
        document.path = file;
        if (!readJsonFile(file.c_str(), &root, &error) || !readCompareDocument(root, &document, &error))
            return fail(EXIT_USAGE, "%s: %s", file.c_str(), error.c_str());
        documents->push_back(document);
    }
    return EXIT_FINE;
}

// A new document that ended interrupted (5) or short of the checker's own means (6) judged
// nothing of the build: no comparison may pass it.
static int judgedSide(const std::vector<CompareDocument> &now)
{
    for (const CompareDocument &d : now) {
        for (const Fact &fact : d.facts) {
            if (fact.rule == RULE_STATUS && fact.isNumber && (fact.number == 5 || fact.number == 6))
                return fail(EXIT_USAGE, "%s: the new side was not judged: its status is %s (%s)",
                            d.path.c_str(), fact.text.c_str(),
                            fact.number == 5 ? "interrupted" : "the checker's own shortfall");
        }
    }
    return EXIT_FINE;
}

// Every document of one command and one driver as the first base document.
static int alike(const std::vector<CompareDocument> &base, const std::vector<CompareDocument> &now)
{
    const CompareDocument &first = base[0];
    for (const std::vector<CompareDocument> *side : {&base, &now}) {
        for (const CompareDocument &d : *side) {
            // A document of a command that failed before its results (status 2 or 3) has no
            // shape to tell: a sweep's is then only a latency document.
            bool shapes = first.facts.size() > 1 && d.facts.size() > 1;
            if (d.command != first.command || (shapes && d.shape != first.shape)) {
                return fail(EXIT_USAGE, "%s is a document of %s%s and %s one of %s%s: compare sets "
                            "documents of the same command against each other", first.path.c_str(),
                            first.command.c_str(), first.shape.c_str(), d.path.c_str(), d.command.c_str(),
                            d.shape.c_str());
            }
            const std::string &a = driverOf(first), &b = driverOf(d);
            if (!a.empty() && !b.empty() && a != b) {
                return fail(EXIT_USAGE, "%s is of the driver \"%s\" and %s of \"%s\": compare sets "
                            "documents of the same driver against each other", first.path.c_str(),
                            a.c_str(), d.path.c_str(), b.c_str());
            }
        }
    }
    return EXIT_FINE;
}

int runCompare(const CheckerOptions &options)
{
    std::vector<CompareDocument> base, now;
    int code = readSide(options.baseFiles, "base", &base);
    if (code == EXIT_FINE)
        code = readSide(options.newFiles, "new", &now);
    if (code == EXIT_FINE)
        code = alike(base, now);
    if (code == EXIT_FINE)
        code = judgedSide(now);
    std::vector<Waiver> waivers;
    std::string error;
    if (code == EXIT_FINE && options.waiversFile && !readWaivers(options.waiversFile, &waivers, &error))
        code = fail(EXIT_USAGE, "the waiver file %s: %s", options.waiversFile, error.c_str());
    if (code != EXIT_FINE)
        return code;
    Comparison comparison;
    compareSides(base, now, &comparison);
    applyWaivers(&waivers, &comparison);
    // Documents with nothing judged on both sides are never "no regression"; a figure the base
    // had and the new documents lack is a regression all the same.
    if (comparison.regressions > comparison.waivedRegressions)
        code = EXIT_CHECK_MISSED;
    else if (comparison.compared == 0)
        code = fail(EXIT_USAGE, "the documents hold nothing compare can judge on both sides");
    else
        code = EXIT_FINE;
    int written = EXIT_FINE;
    if (options.junitFile)
        written = writeCompareJunit(options.junitFile, comparison);
    if (written == EXIT_FINE && options.markdownFile)
        written = writeCompareMarkdown(options.markdownFile, comparison, code);
    if (written != EXIT_FINE)
        return written;
    if (options.json)
        writeComparisonDocument(comparison, code);
    else
        printComparison(comparison, code);
    return code;
}

static int compareRules(CheckerOptions *options, const ArgumentFacts &facts)
{
    if (!facts.driver || !facts.second)
        return fail(EXIT_USAGE, "compare needs two files: BASE.json NEW.json (quorvelcheck compare --help)");
    options->baseFiles = facts.driver;
    options->newFiles = facts.second;
    return EXIT_FINE;
}

static const char compareHelp[] =
    "usage: quorvelcheck compare BASE.json[,BASE2.json...] NEW.json[,NEW2.json...]\n"
    "                            [--waivers FILE] [--junit FILE] [--markdown FILE] [--json]\n"
    "\n"
    "Sets the documents the last driver build gave (--json of info, run, latency, latency --sweep,\n"
    "integrity, integrity --all, conform, gone or report) against the new build's, of the same\n"
    "command and driver, and names every difference as a regression, an improvement or a change:\n"
    "  check      a verdict that got worse (PASS to WARN or FAIL, WARN to FAIL, judged to not run,\n"
    "             skipped, not run or absent to WARN or FAIL)\n"
    "  figure     a figure that changed: channels, names, sample types, rates accepted, buffer\n"
    "             sizes, clock sources, the latencies the driver reports\n"
    "  latency    a measured round trip longer by more than a frame, a claim further from it\n"
    "  timing     the switches' p99, p99.9, longest interval, latest switch, late switches and\n"
    "             switch ratio, worse beyond a margin\n"
    "  cpu        the driver's share of a core, higher beyond a margin\n"
    "  integrity  more samples that came back wrong, dropped or never arrived, or pings lost\n"
    "  status     the command's exit status, worse on its own (not counted as compared)\n"
    "A figure one side has and the other lacks is named; one measured before and absent now is a\n"
    "regression. Several files a side, comma-separated, give each noisy figure a spread: it is worse\n"
    "when every new value is beyond every base value by both sides' spreads together (at least a\n"
    "tenth of the base); with one file a side, when over three times the base and by at least\n"
    "1 ms, 5 percentage points of a core or 5 late switches, or 0.02 further from 1 in the\n"
    "switch ratio.\n"
    "  --waivers FILE    differences accepted: a finding's name a line (figure.output_latency,\n"
    "                    check.open.*), a reason after it, # a comment; waived regressions do\n"
    "                    not fail, and a waiver that matched nothing is named\n"
    "  --junit FILE      a test case per rule and per finding\n"
    "  --markdown FILE   a table of the findings for a pull request's comment\n"
    "Files are read whole, up to 16 MB and 500,000 values each. No driver is loaded.\n"
    "Exit status: 0 no regression (or only waived ones); 1 a regression; 2 a file that cannot be\n"
    "read or is no document of the checker, a soak or cycles document, a new document that ended\n"
    "with status 5 or 6 (never judged), documents of different commands or drivers, or documents\n"
    "that hold nothing compare can judge.\n";

extern const CommandSpec compareCommandSpec = {
    "compare", "compare BASE NEW", "a new driver build's documents against the last one's", compareHelp,
    OPTION_BIT(OPTION_JUNIT) | OPTION_BIT(OPTION_MARKDOWN) | OPTION_BIT(OPTION_WAIVERS),
    false, compareRules, runCompare, nullptr, true,
};
