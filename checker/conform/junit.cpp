// The conformance verdicts as JUnit XML: one test case per check, a failure with its evidence.
#include "checker/conform/conform.h"

#include <stdio.h>
#include <string>

static void appendCase(std::string *xml, int c, const CheckResult &result)
{
    char head[160];
    snprintf(head, sizeof head, "  <testcase classname=\"conform.%s\" name=\"%s\">",
             phaseName(checkDefinitions[c].phase), checkDefinitions[c].id);
    *xml += head;
    switch (result.verdict) {
    case VERDICT_FAIL:
        *xml += "<failure message=\"";
        appendXmlText(xml, result.evidence);
        *xml += "\">";
        appendXmlText(xml, checkDefinitions[c].description);
        *xml += "</failure>";
        break;
    case VERDICT_WARN:
        *xml += "<system-out>WARN: ";
        appendXmlText(xml, result.evidence);
        *xml += "</system-out>";
        break;
    case VERDICT_NOT_RUN:
    case VERDICT_SKIPPED:
        *xml += "<skipped message=\"";
        *xml += verdictName(result.verdict);
        if (result.evidence[0]) {
            *xml += ": ";
            appendXmlText(xml, result.evidence);
        }
        *xml += "\"/>";
        break;
    case VERDICT_PASS:
        break;
    }
    *xml += "</testcase>\n";
}

// The driver could not be opened, or crashed or hung where no check was running: the file must not
// read as all passed.
static void appendDriverFailure(std::string *xml)
{
    *xml += "  <testcase classname=\"conform\" name=\"driver\"><failure message=\"";
    appendXmlText(xml, lastFailure());
    *xml += "\">The driver could not be opened, or it crashed or hung</failure></testcase>\n";
}

int writeJunit(const char *path, const ConformResults &r, int exitCode)
{
    VerdictCounts counts = countVerdicts(r);
    bool driverFailed = (exitCode == EXIT_DRIVER || exitCode == EXIT_CRASHED) &&
                        counts.byVerdict[VERDICT_FAIL] == 0;
    char head[256];
    snprintf(head, sizeof head, "<?xml version=\"1.0\" encoding=\"UTF-8\"?>\n<testsuites>\n"
             "<testsuite name=\"quorvelcheck conform\" tests=\"%d\" failures=\"%d\" errors=\"0\" "
             "skipped=\"%d\">\n", CHECK_COUNT + driverFailed, counts.byVerdict[VERDICT_FAIL] + driverFailed,
             counts.byVerdict[VERDICT_NOT_RUN] + counts.byVerdict[VERDICT_SKIPPED]);
    std::string xml = head;
    for (int c = 0; c < CHECK_COUNT; c++)
        appendCase(&xml, c, r.checks[c]);
    if (driverFailed)
        appendDriverFailure(&xml);
    xml += "</testsuite>\n</testsuites>\n";
    FILE *file = fopen(path, "wb");
    if (!file)
        return fail(EXIT_USAGE, "cannot write the JUnit file %s", path);
    bool written = fwrite(xml.data(), 1, xml.size(), file) == xml.size();
    written = fclose(file) == 0 && written;
    return written ? EXIT_FINE : fail(EXIT_USAGE, "cannot write the JUnit file %s", path);
}
