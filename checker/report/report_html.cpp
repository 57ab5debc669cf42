// The text helpers every part of the report's page writes through.
#include "checker/report/report.h"

#include <stdarg.h>
#include <stdio.h>

void htmlFormat(std::string *page, const char *format, ...)
{
    char text[1024];
    va_list args;
    va_start(args, format);
    vsnprintf(text, sizeof text, format, args);
    va_end(args);
    appendXmlText(page, text);
}

static const char *verdictClass(Verdict verdict)
{
    switch (verdict) {
    case VERDICT_PASS: return "pass";
    case VERDICT_WARN: return "warn";
    case VERDICT_FAIL: return "fail";
    case VERDICT_NOT_RUN:
    case VERDICT_SKIPPED: break;
    }
    return "notrun";
}

void htmlVerdict(std::string *page, Verdict verdict)
{
    *page += "<span class=\"v ";
    *page += verdictClass(verdict);
    *page += "\">";
    *page += verdictName(verdict);
    *page += "</span>";
}

void htmlLeftOut(std::string *page, long leftOut, int columns, const char *what)
{
    if (leftOut <= 0)
        return;
    *page += "<tr><td class=\"note\" colspan=\"" + std::to_string(columns) + "\">";
    htmlFormat(page, "... %ld more %s", leftOut, what);
    *page += "</td></tr>\n";
}
