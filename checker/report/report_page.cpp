// The report's page: its head and stylesheet, the header, the summary, the sections in order and the
// JSON documents.
#include "checker/report/report.h"

#include <stdio.h>

// The verdict colours are set once here; the pictures use the same classes.
// A value may break anywhere (a path is one long word); a label breaks only between words, and
// a part's name in the summary not at all.
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
    "th{font-weight:600;background:#f6f8fa;overflow-wrap:normal}\n"
    ".n{text-align:right;font-variant-numeric:tabular-nums;white-space:nowrap}\n"
    ".facts th{background:none;white-space:nowrap}\n"
    ".summary th{white-space:nowrap}\n"
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
    "svg .notice{stroke:#8250df;stroke-width:1.5;fill:none}\n"
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

static void writeFact(std::string *page, const char *name, const char *ansiValue)
{
    *page += "<tr><th>";
    appendXmlText(page, name);
    *page += "</th><td>";
    appendXmlText(page, ansiValue);
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

static void writeSummary(const Report &report, std::string *page)
{
    int worst = reportStatus(report);
    *page += "<section id=\"summary\">\n<h2>Summary</h2>\n<p>";
    htmlVerdict(page, worst == EXIT_FINE ? VERDICT_PASS
                      : worst == EXIT_INTERRUPTED || worst == EXIT_SHORTFALL ? VERDICT_NOT_RUN
                                                                             : VERDICT_FAIL);
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
        appendXmlText(page, partName(part));
        *page += "</th><td>";
        appendXmlText(page, text);
        if (p.ran && p.exitCode != EXIT_FINE && p.failure[0]) {
            *page += "<br/><span class=\"evidence\">";
            appendXmlText(page, p.failure);
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
        appendXmlText(page, p.calls.calls[i].call);
        *page += "</td><td>";
        appendXmlText(page, asioErrorName(p.calls.calls[i].result, name, sizeof name));
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
        appendXmlUtf8(page, p.json.data(), p.json.size());
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
