// The report's page: its head and stylesheet, the header, the summary, the sections in order and the
// JSON documents, and the text helpers every part of the page writes through.
#include "checker/report.h"

#include "checker/output.h"

#include <windows.h>
#include <stdarg.h>
#include <stdio.h>
#include <string.h>

// The verdict colours are set once here; the pictures use the same classes.
static const char STYLE[] =
    "body{font-family:\"Segoe UI\",system-ui,-apple-system,Roboto,Helvetica,Arial,sans-serif;"
    "font-size:14px;line-height:1.4;color:#1f2328;background:#fff;margin:0 auto;padding:16px 24px;"
    "max-width:1000px}\n"
    "h1{font-size:22px;margin:0 0 8px}\n"
    "h2{font-size:18px;border-bottom:1px solid #d0d7de;padding-bottom:4px;margin:28px 0 8px}\n"
    "h3{font-size:15px;margin:16px 0 4px}\n"
    "table{border-collapse:collapse;margin:6px 0 12px;max-width:100%}\n"
    "th,td{text-align:left;padding:2px 8px;border-bottom:1px solid #eaeef2;vertical-align:top;"
    "overflow-wrap:anywhere}\n"
    "th{font-weight:600;background:#f6f8fa}\n"
    ".n{text-align:right;font-variant-numeric:tabular-nums;white-space:nowrap}\n"
    ".facts th{background:none;white-space:nowrap}\n"
    ".phase td{font-weight:600;background:#f6f8fa}\n"
    ".evidence{color:#57606a;font-size:13px}\n"
    ".note{color:#57606a}\n"
    ".v{display:inline-block;min-width:4.2em;text-align:center;font-weight:600;font-size:12px;"
    "border-radius:3px;padding:0 4px;color:#fff;white-space:nowrap}\n"
    ".pass{background:#1a7f37}.warn{background:#9a6700}.fail{background:#cf222e}"
    ".notrun{background:#6e7781}\n"
    ".pictures{display:flex;flex-wrap:wrap;gap:8px 16px;align-items:flex-start}\n"
    ".picture{flex:0 1 620px;max-width:680px}\n"
    "figure{margin:0 0 12px}\n"
    ".figures{flex:1 1 240px;margin:0}\n"
    ".id{white-space:nowrap}\n"
    "figcaption{font-size:13px;color:#57606a}\n"
    "svg{display:block;width:100%;height:auto}\n"
    "svg text{font-size:12px;fill:#1f2328}\n"
    "svg .axis{stroke:#57606a;stroke-width:1;fill:none}\n"
    "svg .grid{stroke:#d8dee4;stroke-width:.5;fill:none}\n"
    "svg .mark{stroke:#1f2328;stroke-width:1;stroke-dasharray:4 3;fill:none}\n"
    "svg .late{stroke:#cf222e;stroke-width:1.2;stroke-dasharray:4 3;fill:none}\n"
    "svg .bar{fill:#0969da}svg .bar.over{fill:#cf222e}\n"
    "svg .band{fill:#0969da}svg .zero{stroke:#1a7f37;stroke-width:1;fill:none}\n"
    "svg .ok{fill:#1a7f37}svg .bad{fill:#cf222e}svg .none{fill:#d8dee4}\n"

    "svg .difference{stroke:#9a6700;stroke-width:3;opacity:.55}"
    "svg .difference.outside{stroke:#cf222e;opacity:.9}\n"
    "svg .c0{stroke:#0969da;fill:#0969da}svg .c1{stroke:#8250df;fill:#8250df}"
    "svg .c2{stroke:#1a7f37;fill:#1a7f37}svg .c3{stroke:#bc4c00;fill:#bc4c00}"
    "svg .c4{stroke:#bf3989;fill:#bf3989}svg .c5{stroke:#0550ae;fill:#0550ae}"
    "svg .c6{stroke:#4d2d00;fill:#4d2d00}svg .c7{stroke:#6e7781;fill:#6e7781}\n"
    "svg polyline.measured{fill:none;stroke-width:2}svg polyline.reported{fill:none;"
    "stroke-width:1.5;stroke-dasharray:6 4}\n"
    "svg .event{stroke-width:1.5}svg .k0{stroke:#cf222e;fill:#cf222e}svg .k1{stroke:#8250df;"
    "fill:#8250df}svg .k2{stroke:#bc4c00;fill:#bc4c00}svg .k3{stroke:#0969da;fill:#0969da}"
    "svg .k4{stroke:#1f2328;fill:#1f2328}\n"
    "details{margin:4px 0}summary{cursor:pointer}\n"
    "pre{white-space:pre-wrap;overflow-wrap:anywhere;font-size:11px;background:#f6f8fa;"
    "padding:8px;margin:4px 0}\n"
    "@page{margin:14mm}\n"
    "@media print{body{max-width:none;padding:0;font-size:10pt}h2{break-after:avoid}"
    ".picture,tr{break-inside:avoid}.json{display:none}"
    ".v,th,.phase td{-webkit-print-color-adjust:exact;print-color-adjust:exact}}\n";

// ---- Text helpers

// Appends UTF-8 text escaped for XML; bytes XML does not allow (controls, broken sequences) become '?'.
void htmlUtf8(std::string *page, const char *utf8, size_t length)
{
    const unsigned char *c = reinterpret_cast<const unsigned char *>(utf8);
    for (size_t i = 0; i < length; i++) {
        unsigned char b = c[i];
        if (b == '&')
            *page += "&amp;";
        else if (b == '<')
            *page += "&lt;";
        else if (b == '>')
            *page += "&gt;";
        else if (b == '"')
            *page += "&quot;";
        else if (b < 0x20 && b != '\n' && b != '\t')
            *page += '?';
        else if (b < 0x80)
            *page += static_cast<char>(b);
        else {
            // A whole sequence of 2 to 4 bytes, or '?'.
            int more = b >= 0xF0 && b <= 0xF4 ? 3 : b >= 0xE0 ? 2 : b >= 0xC2 && b < 0xE0 ? 1 : -1;
            bool whole = more > 0;
            for (int k = 1; whole && k <= more; k++)
                whole = i + k < length && (c[i + k] & 0xC0) == 0x80;
            if (!whole) {
                *page += '?';
                continue;
            }
            page->append(utf8 + i, more + 1);
            i += more;
        }
    }
}

void htmlText(std::string *page, const char *ansi)
{
    char utf8[3 * 1024];
    ansiToUtf8(ansi, utf8, sizeof utf8);
    htmlUtf8(page, utf8, strlen(utf8));
}

void htmlFormat(std::string *page, const char *format, ...)
{
    char text[1024];
    va_list args;
    va_start(args, format);
    vsnprintf(text, sizeof text, format, args);
    va_end(args);
    htmlText(page, text);
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

// ---- Verdicts and summaries

const char *partName(ReportPart part)
{
    switch (part) {
    case PART_INFO: return "info";
    case PART_CONFORM: return "conform";
    case PART_RUN: return "run";
    case PART_SWEEP: return "latency sweep";
    case PART_INTEGRITY: return "integrity";
    case REPORT_PARTS: break;
    }
    return "";
}

const char *exitStatusMeaning(int code)
{
    switch (code) {
    case EXIT_FINE: return "fine";
    case EXIT_CHECK_MISSED: return "a check missed";
    case EXIT_USAGE: return "a usage error";
    case EXIT_DRIVER: return "the driver could not be loaded, initialised or started";
    case EXIT_CRASHED: return "the driver crashed, hung or ended the process";
    }
    return "unknown status";
}

static int conformCount(const ConformResults &r, Verdict verdict)
{
    int count = 0;
    for (const CheckResult &c : r.checks)
        count += c.verdict == verdict;
    return count;
}

Verdict partVerdict(const Report &report, ReportPart part)
{
    const PartResult &p = report.parts[part];
    if (!p.ran)
        return VERDICT_NOT_RUN;
    if (p.exitCode != EXIT_FINE)
        return VERDICT_FAIL;
    if (part == PART_CONFORM && report.conform && conformCount(*report.conform, VERDICT_WARN) > 0)
        return VERDICT_WARN;
    return VERDICT_PASS;
}

void partSummary(const Report &report, ReportPart part, char *out, size_t size)
{
    const PartResult &p = report.parts[part];
    if (!p.ran) {
        snprintf(out, size, "%s", part == PART_SWEEP || part == PART_INTEGRITY
                                      ? "no cable named (--out O --in I)"
                                      : "not run");
        return;
    }
    int n = snprintf(out, size, "exit status %d (%s)", p.exitCode, exitStatusMeaning(p.exitCode));
    if (n < 0 || static_cast<size_t>(n) >= size)
        return;
    char *at = out + n;
    size_t room = size - n;
    const RunResults *run = report.run;
    if (part == PART_CONFORM && report.conform) {
        const ConformResults &c = *report.conform;
        snprintf(at, room, "; %d PASS, %d WARN, %d FAIL, %d not run, %d skipped",
                 conformCount(c, VERDICT_PASS), conformCount(c, VERDICT_WARN),
                 conformCount(c, VERDICT_FAIL), conformCount(c, VERDICT_NOT_RUN),
                 conformCount(c, VERDICT_SKIPPED));
    } else if (part == PART_RUN && run && run->stage >= RUN_MEASURED) {
        const TimingFigures &t = run->timing;
        char late[48];
        if (t.late >= 0)
            snprintf(late, sizeof late, "%lld late", t.late);
        else
            snprintf(late, sizeof late, "lateness not judged");
        snprintf(at, room, "; %lld switches in %.2f s, %s; at least one switch: %s", t.switches,
                 run->setup.elapsedS, late, t.switches > 0 ? "passed" : "MISSED");
    } else if (part == PART_SWEEP && report.sweep) {
        const SweepResults &s = *report.sweep;
        int outside = 0, measured = 0;
        for (int k = 0; k < s.settingCount && k < MAX_SWEEP_SETTINGS; k++) {
            measured += s.settings[k].measured;
            outside += s.settings[k].outsideTolerance;
        }
        snprintf(at, room, "; %d of %d settings measured, %d outside the tolerance", measured,
                 s.settingCount, outside);
    } else if (part == PART_INTEGRITY && report.integrity) {
        const IntegrityResults &r = *report.integrity;
        long long wrong = r.corrupted + r.inverted + r.dropped + r.repeated + r.foreign;
        if (r.state == INTEGRITY_LOCKED)
            snprintf(at, room, "; %lld samples received, %lld matched after the lock, %lld wrong, "
                     "%d bits transparent", r.received, r.matched, wrong, r.transparentBits);
        else
            snprintf(at, room, "; the sequence was not found");
    }
}

// ---- The page

void writeSectionHead(const Report &report, ReportPart part, const char *title, std::string *page)
{
    char text[320];
    partSummary(report, part, text, sizeof text);
    *page += "<h2>";
    htmlText(page, title);
    *page += "</h2>\n<p>";
    htmlVerdict(page, partVerdict(report, part));
    *page += " ";
    htmlText(page, text);
    const PartResult &p = report.parts[part];
    if (p.exitCode != EXIT_FINE && p.failure[0]) {
        *page += "<br/><span class=\"evidence\">";
        htmlText(page, p.failure);
        *page += "</span>";
    }
    *page += "</p>\n";
}

static void writeFact(std::string *page, const char *name, const char *ansiValue)
{
    *page += "<tr><th>";
    htmlText(page, name);
    *page += "</th><td>";
    htmlText(page, ansiValue);
    *page += "</td></tr>\n";
}

static void writeHeader(const Report &report, std::string *page)
{
    const ReportFacts &f = report.facts;
    const OpenedDriver &d = report.parts[PART_INFO].driver;
    *page += "<h1>";
    htmlFormat(page, "quorvelcheck report: %s", f.listName);
    *page += "</h1>\n<table class=\"facts\">\n";
    char text[160];
    if (d.initialised) {
        snprintf(text, sizeof text, "%s, version %ld", d.name, d.version);
    } else {
        snprintf(text, sizeof text, "not initialised%s%s", d.errorMessage[0] ? ": " : "",
                 d.errorMessage);
    }
    writeFact(page, "Driver", text);
    snprintf(text, sizeof text, "%d in the list of this bitness", f.index);
    writeFact(page, "Index", text);
    writeFact(page, "Class", f.clsid);
    writeFact(page, "Server file", f.server[0] ? f.server : "(not readable)");
    writeFact(page, "Program", f.program);
    writeFact(page, "Date", f.date);
    writeFact(page, "Processor", f.processor);
    writeFact(page, "Windows", f.windows);
    writeFact(page, "Command line", f.commandLine);
    *page += "</table>\n";
}

static int worstStatus(const Report &report)
{
    int worst = EXIT_FINE;
    for (const PartResult &p : report.parts) {
        if (p.ran && p.exitCode > worst)
            worst = p.exitCode;
    }
    return worst;
}

static void writeSummary(const Report &report, std::string *page)
{
    int worst = worstStatus(report);
    *page += "<section id=\"summary\">\n<h2>Summary</h2>\n<p>";
    htmlVerdict(page, worst == EXIT_FINE ? VERDICT_PASS : VERDICT_FAIL);
    htmlFormat(page, " exit status %d (%s)", worst, exitStatusMeaning(worst));
    *page += "</p>\n<table class=\"summary\">\n";
    for (int k = 0; k < REPORT_PARTS; k++) {
        ReportPart part = static_cast<ReportPart>(k);
        const PartResult &p = report.parts[k];
        char text[320];
        partSummary(report, part, text, sizeof text);
        *page += "<tr><td>";
        htmlVerdict(page, partVerdict(report, part));
        *page += "</td><th>";
        htmlText(page, partName(part));
        *page += "</th><td>";
        htmlText(page, text);
        if (p.ran && p.exitCode != EXIT_FINE && p.failure[0]) {
            *page += "<br/><span class=\"evidence\">";
            htmlText(page, p.failure);
            *page += "</span>";
        }
        *page += "</td></tr>\n";
    }
    *page += "</table>\n</section>\n";
}

// The part's driver calls that did not answer ASE_OK, as the console lists them.
static void writeCallNotes(const PartResult &p, std::string *page)
{
    if (p.calls.count == 0)
        return;
    char name[32];
    *page += "<p class=\"note\">Driver calls not answering ASE_OK:</p>\n<table>\n";
    for (int i = 0; i < p.calls.count && i < MAX_NOTED_CALLS; i++) {
        *page += "<tr><td>";
        htmlText(page, p.calls.calls[i].call);
        *page += "</td><td>";
        htmlText(page, asioErrorName(p.calls.calls[i].result, name, sizeof name));
        *page += "</td></tr>\n";
    }
    htmlLeftOut(page, p.calls.dropped, 2, "calls");
    *page += "</table>\n";
}

static void writeDocuments(const Report &report, std::string *page)
{
    *page += "<section id=\"json\" class=\"json\">\n<h2>JSON documents</h2>\n";
    *page += "<p class=\"note\">Each exactly as the part's command prints it with --json.</p>\n";
    for (int k = 0; k < REPORT_PARTS; k++) {
        const PartResult &p = report.parts[k];
        if (!p.ran)
            continue;
        *page += "<details><summary>";
        htmlFormat(page, "%s (%zu bytes)", partName(static_cast<ReportPart>(k)), p.json.size());
        *page += "</summary><pre>";
        htmlUtf8(page, p.json.data(), p.json.size());
        *page += "</pre></details>\n";
    }
    *page += "</section>\n";
}

void writeReportPage(const Report &report, std::string *page)
{
    page->reserve(page->size() + 256 * 1024);
    *page += "<!DOCTYPE html>\n<html xmlns=\"http://www.w3.org/1999/xhtml\" lang=\"en\">\n<head>\n"
             "<meta charset=\"utf-8\"/>\n"
             "<meta name=\"viewport\" content=\"width=device-width, initial-scale=1\"/>\n<title>";
    htmlFormat(page, "quorvelcheck report: %s", report.facts.listName);
    *page += "</title>\n<style>\n";
    *page += STYLE;
    *page += "</style>\n</head>\n<body>\n";
    writeHeader(report, page);
    writeSummary(report, page);
    void (*const sections[REPORT_PARTS])(const Report &, std::string *) = {
        writeInfoSection, writeConformSection, writeRunSection, writeSweepSection,
        writeIntegritySection};
    static const char *const ids[REPORT_PARTS] = {"info", "conform", "run", "sweep", "integrity"};
    // The pictures before the long checklist.
    static const ReportPart order[REPORT_PARTS] = {PART_INFO, PART_RUN, PART_SWEEP, PART_INTEGRITY,
                                                   PART_CONFORM};
    for (ReportPart k : order) {
        if (!report.parts[k].ran)
            continue;
        *page += "<section id=\"";
        *page += ids[k];
        *page += "\">\n";
        sections[k](report, page);
        writeCallNotes(report.parts[k], page);
        *page += "</section>\n";
    }
    writeDocuments(report, page);
    *page += "</body>\n</html>\n";
}
