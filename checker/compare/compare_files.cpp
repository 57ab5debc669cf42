// The comparison as files for a build pipeline: JUnit XML (a test case per rule, failed by an
// unwaived regression of it, and one per finding) and Markdown for a pull request's comment.
#include "checker/compare/compare.h"

#include <stdio.h>

int writeWholeFile(const char *path, const std::string &text, const char *what)
{
    FILE *file = fopen(path, "wb");
    if (!file)
        return fail(EXIT_USAGE, "cannot write the %s file %s", what, path);
    bool written = fwrite(text.data(), 1, text.size(), file) == text.size();
    written = fclose(file) == 0 && written;
    return written ? EXIT_FINE : fail(EXIT_USAGE, "cannot write the %s file %s", what, path);
}

static void appendXml(std::string *xml, const std::string &utf8)
{
    appendXmlUtf8(xml, utf8.data(), utf8.size());
}

static void appendFindingCase(std::string *xml, const Finding &f)
{
    *xml += "  <testcase classname=\"compare.";
    *xml += compareRuleName(f.rule);
    *xml += "\" name=\"";
    appendXml(xml, f.key);
    *xml += "\">";
    std::string message = f.base + " -> " + f.now + ". " + f.why;
    if (f.kind == FINDING_REGRESSION && !f.waived) {
        *xml += "<failure message=\"";
        appendXml(xml, message);
        *xml += "\">regression</failure>";
    } else {
        *xml += "<system-out>";
        *xml += f.kind == FINDING_REGRESSION ? "waived regression: "
              : f.kind == FINDING_IMPROVEMENT ? "improvement: " : "change: ";
        appendXml(xml, message);
        if (f.waived && !f.waiver.empty()) {
            *xml += " Waived: ";
            appendXml(xml, f.waiver);
        }
        *xml += "</system-out>";
    }
    *xml += "</testcase>\n";
}

int writeCompareJunit(const char *path, const Comparison &c)
{
    int failures = 0, cases = RULE_COUNT + static_cast<int>(c.findings.size());
    for (const Finding &f : c.findings)
        failures += f.kind == FINDING_REGRESSION && !f.waived;
    for (int rule = 0; rule < RULE_COUNT; rule++)
        failures += c.counts[rule].regressions > c.counts[rule].waived;
    // Nothing compared is no pass: one more case, failed.
    bool nothing = c.compared == 0;
    char head[256];
    snprintf(head, sizeof head, "<?xml version=\"1.0\" encoding=\"UTF-8\"?>\n<testsuites>\n"
             "<testsuite name=\"quorvelcheck compare\" tests=\"%d\" failures=\"%d\" errors=\"0\" "
             "skipped=\"0\">\n", cases + nothing, failures + nothing);
    std::string xml = head;
    for (int rule = 0; rule < RULE_COUNT; rule++) {
        const RuleCounts &k = c.counts[rule];
        char line[256];
        snprintf(line, sizeof line, "  <testcase classname=\"compare\" name=\"%s\"><system-out>%d "
                 "compared, %d regressions (%d waived), %d improvements, %d changes</system-out>",
                 compareRuleName(rule), k.compared, k.regressions, k.waived, k.improvements, k.changes);
        xml += line;
        if (k.regressions > k.waived)
            xml += "<failure message=\"a regression that is not waived\">regression</failure>";
        xml += "</testcase>\n";
    }
    for (const Finding &f : c.findings)
        appendFindingCase(&xml, f);
    if (nothing)
        xml += "  <testcase classname=\"compare\" name=\"nothing compared\"><failure message=\"the "
               "documents hold none of the figures compare judges\">nothing compared</failure></testcase>\n";
    xml += "</testsuite>\n</testsuites>\n";
    return writeWholeFile(path, xml, "JUnit");
}

// A cell's text: Markdown's table and code marks taken out of the documents' texts.
static std::string cell(const std::string &text)
{
    std::string out;
    for (char ch : text)
        out += ch == '|' ? '/' : ch == '`' ? '\'' : ch == '\n' || ch == '\r' ? ' ' : ch;
    return out;
}

int writeCompareMarkdown(const char *path, const Comparison &c, int exitCode)
{
    std::string md;
    int open = c.regressions - c.waivedRegressions;
    appendFormat(&md, "### quorvelcheck compare: %s\n\n",
                 c.compared == 0 ? "nothing compared"
                 : open > 0 ? (open == 1 ? "1 regression" : (std::to_string(open) + " regressions").c_str())
                            : "no regression");
    appendFormat(&md, "`%s` documents of **%s**: %zu base file%s (driver version %s), %zu new file%s "
                 "(driver version %s).\n\n", cell(c.command).c_str(), cell(c.driverName).c_str(),
                 c.baseFiles.size(), c.baseFiles.size() == 1 ? "" : "s",
                 c.baseVersion.empty() ? "unknown" : cell(c.baseVersion).c_str(), c.newFiles.size(),
                 c.newFiles.size() == 1 ? "" : "s", c.newVersion.empty() ? "unknown" : cell(c.newVersion).c_str());
    if (!c.findings.empty()) {
        md += "| | finding | base | new | why |\n|---|---|---|---|---|\n";
        static const char *const marks[] = {"regression", "improvement", "change"};
        for (const Finding &f : c.findings) {
            // Put together whole: a row of long texts is longer than appendFormat takes.
            md += std::string("| ") + (f.waived ? "waived" : marks[f.kind]) + " | `" +
                  cell(findingName(f)) + "` | " + cell(f.base) + " | " + cell(f.now) + " | " + cell(f.why) +
                  (f.waived && !f.waiver.empty() ? " Waived: " + cell(f.waiver) : "") + " |\n";
        }
        md += "\n";
    }
    md += "Compared:";
    for (int rule = 0; rule < RULE_COUNT; rule++)
        appendFormat(&md, "%s %s %d", rule ? "," : "", compareRuleName(rule), c.counts[rule].compared);
    appendFormat(&md, ". %d regression%s (%d waived), %d improvement%s, %d change%s; exit status %d.\n",
                 c.regressions, c.regressions == 1 ? "" : "s", c.waivedRegressions, c.improvements,
                 c.improvements == 1 ? "" : "s", c.changes, c.changes == 1 ? "" : "s", exitCode);
    for (const std::string &waiver : c.unusedWaivers)
        appendFormat(&md, "\nA waiver that matched nothing: %s\n", cell(waiver).c_str());
    return writeWholeFile(path, md, "Markdown");
}
