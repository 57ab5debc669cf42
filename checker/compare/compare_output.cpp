// The comparison as text and as its JSON document.
#include "checker/compare/compare.h"

#include <stdio.h>

static const char *const kindHeadings[] = {"Regressions:", "Improvements:",
                                           "Changes (named, never failing):"};
static const char *const kindNames[] = {"regression", "improvement", "change"};

static std::string fileList(const std::vector<std::string> &files)
{
    std::string list;
    for (size_t k = 0; k < files.size(); k++)
        list += (k ? ", " : "") + files[k];
    return list;
}

static const char *statusMeaning(int exitCode)
{
    return exitCode == EXIT_FINE ? "no regression"
         : exitCode == EXIT_CHECK_MISSED ? "a regression"
                                         : "nothing compared, or files that cannot be compared";
}

void printComparison(const Comparison &c, int exitCode)
{
    printf("Compared %s documents of \"%s\"\n", c.command.c_str(), c.driverName.c_str());
    printf("  base: %s%s%s\n", fileList(c.baseFiles).c_str(), c.baseVersion.empty() ? "" : ", driver version ",
           c.baseVersion.c_str());
    printf("  new:  %s%s%s\n", fileList(c.newFiles).c_str(), c.newVersion.empty() ? "" : ", driver version ",
           c.newVersion.c_str());
    for (int kind = 0; kind < 3; kind++) {
        bool headed = false;
        for (const Finding &f : c.findings) {
            if (f.kind != kind)
                continue;
            if (!headed)
                printf("%s\n", kindHeadings[kind]);
            headed = true;
            printf("  %s%s: %s -> %s. %s", f.waived ? "WAIVED " : "", findingName(f).c_str(),
                   f.base.c_str(), f.now.c_str(), f.why.c_str());
            if (f.waived && !f.waiver.empty())
                printf(" Waived: %s", f.waiver.c_str());
            printf("\n");
        }
    }
    printf("Compared, per rule:");
    for (int rule = 0; rule < RULE_COUNT; rule++)
        printf("%s %s %d", rule ? "," : "", compareRuleName(rule), c.counts[rule].compared);
    printf("\n");
    if (c.compared == 0)
        printf("Nothing compared: the documents hold none of the figures compare judges.\n");
    for (const std::string &waiver : c.unusedWaivers)
        printf("A waiver that matched nothing: %s\n", waiver.c_str());
    printf("Result: %d regression%s (%d waived), %d improvement%s, %d change%s\n", c.regressions,
           c.regressions == 1 ? "" : "s", c.waivedRegressions, c.improvements,
           c.improvements == 1 ? "" : "s", c.changes, c.changes == 1 ? "" : "s");
    printf("Exit status %d (%s)\n", exitCode, statusMeaning(exitCode));
}

static void jsonFiles(const char *key, const std::vector<std::string> &files)
{
    jsonBeginArray(key);
    for (const std::string &file : files)
        jsonText(nullptr, file.c_str());
    jsonEndArray();
}

void writeComparisonDocument(const Comparison &c, int exitCode)
{
    jsonBeginObject(nullptr);
    jsonHeader(findCommand("compare"));
    jsonUtf8Text("compared_command", c.command.c_str());
    jsonUtf8Text("driver_name", c.driverName.c_str());
    jsonUtf8Text("base_version", c.baseVersion.c_str());
    jsonUtf8Text("new_version", c.newVersion.c_str());
    jsonFiles("base_files", c.baseFiles);
    jsonFiles("new_files", c.newFiles);
    jsonBeginArray("findings");
    for (const Finding &f : c.findings) {
        jsonBeginObject(nullptr);
        jsonUtf8Text("name", findingName(f).c_str());
        jsonText("rule", compareRuleName(f.rule));
        jsonUtf8Text("key", f.key.c_str());
        jsonText("kind", kindNames[f.kind]);
        jsonUtf8Text("base", f.base.c_str());
        jsonUtf8Text("new", f.now.c_str());
        jsonText("why", f.why.c_str());
        jsonBool("waived", f.waived);
        if (f.waived)
            jsonUtf8Text("waiver", f.waiver.c_str());
        jsonEndObject();
    }
    jsonEndArray();
    jsonBeginObject("rules");
    for (int rule = 0; rule < RULE_COUNT; rule++) {
        const RuleCounts &k = c.counts[rule];
        jsonBeginObject(compareRuleName(rule));
        jsonInteger("compared", k.compared);
        jsonInteger("regressions", k.regressions);
        jsonInteger("waived", k.waived);
        jsonInteger("improvements", k.improvements);
        jsonInteger("changes", k.changes);
        jsonEndObject();
    }
    jsonEndObject();
    jsonInteger("compared", c.compared);
    jsonInteger("regressions", c.regressions);
    jsonInteger("waived", c.waivedRegressions);
    jsonInteger("improvements", c.improvements);
    jsonInteger("changes", c.changes);
    jsonBeginArray("unused_waivers");
    for (const std::string &waiver : c.unusedWaivers)
        jsonUtf8Text(nullptr, waiver.c_str());
    jsonEndArray();
    jsonInteger("exit_code", exitCode);
    // Nothing compared ends as a failure does: its reason beside the status.
    if (exitCode == EXIT_USAGE)
        jsonText("error", lastFailure());
    jsonEndObject();
    jsonFinish();
}
