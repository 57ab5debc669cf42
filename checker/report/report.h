// quorvelcheck report: what info, conform, run and, with a cable, latency --sweep and integrity
// measure, each in a worker of its own one after another, drawn on one self-contained HTML page:
// no scripts, nothing fetched, every picture inline SVG of our own, XHTML-clean so that an XML
// reader takes it, and a print stylesheet for A4 and Letter. The page embeds every part's JSON
// document exactly as the part's command prints it with --json. Main thread.
//
//   report_command.cpp   the parts (from a table), the file, the exit status
//   report_facts.cpp     the header's facts: driver, program, date, machine
//   report_summary.cpp   each part's verdict and summary line, the section heads, the worst status
//   report_page.cpp      the page: header, summary, the sections in order, the JSON documents
//   report_sections.cpp  the sections of info, conform, run, sweep and integrity
//   report_routing.cpp   integrity's section for every channel: the routes and their skew
//   report_html.cpp      the text helpers every part of the page writes through
//   report_svg.cpp       the pictures
#pragma once

#include "checker/conform/conform.h"

#include <string>

enum ReportPart { PART_INFO, PART_CONFORM, PART_RUN, PART_SWEEP, PART_INTEGRITY, REPORT_PARTS };

// One part as it ended.
struct PartResult {
    bool ran;                // false: not asked for (no cable)
    int exitCode;
    SessionOutcome outcome;  // a crash, hang or exit of its worker
    char failure[512];       // the part's error line when its status is not 0
    OpenedDriver driver;     // the driver as this part opened it
    CallNotes calls;         // this part's driver calls that did not answer ASE_OK
    std::string json;        // the part's document, as its command prints it with --json
};

// The page's header.
struct ReportFacts {
    int index;               // the driver's list index
    char listName[80];       // as the list shows it
    char clsid[64];
    char server[520];        // the class's server file; "" when it cannot be read
    char program[64];        // "quorvelcheck 1.3.0 (x64)"
    char date[48];           // "2024-05-01 14:03:22 +02:00"
    char processor[128];
    char windows[160];       // the product, version and build; "; Wine N" under Wine
    char commandLine[1024];
};

struct Report {
    ReportFacts facts;
    bool cable;              // --out and --in given
    long outChannel, inChannel;
    bool everyChannel;       // --all, --outs or --ins: integrity of every channel
    PartResult parts[REPORT_PARTS];
    // The records the sections are drawn from (commands.h, conform.h); the caller's.
    const InfoResults *info;
    const ConformResults *conform;
    const RunResults *run;
    const SweepResults *sweep;
    const IntegrityResults *integrity;
    const RoutingResults *routing;  // with everyChannel
};

// ---- report_facts.cpp
// The driver's list name, class and server file for entry `index`, the program, the date and the
// machine: processor (registry, else cpuid) and Windows (registry and RtlGetVersion).
void collectReportFacts(int index, ReportFacts *facts);

// ---- report_page.cpp
// The page for `report`, appended to *page (UTF-8). Pure: records in, text out.
void writeReportPage(const Report &report, std::string *page);

// ---- report_summary.cpp
// "info", "conform", "run", "latency sweep", "integrity".
const char *partName(ReportPart part);
// The part's verdict in the console's words: PASS, WARN (conform's warnings), FAIL (any status but
// 0), or VERDICT_NOT_RUN; and its summary line ("exit status 0; 42 PASS, 0 WARN, ...").
Verdict partVerdict(const Report &report, ReportPart part);
void partSummary(const Report &report, ReportPart part, char *out, size_t size);
// "fine", "a check missed", ... for an exit status.
const char *exitStatusMeaning(int code);
// The worst status of the parts that ran: the report's own.
int reportStatus(const Report &report);
// A section's heading, its verdict and summary line, and the part's error line.
void writeSectionHead(const Report &report, ReportPart part, const char *title, std::string *page);

// ---- report_html.cpp
// Text helpers of the page: driver and registry texts are ANSI and become UTF-8; & < > " are
// escaped and characters XML does not allow become '?'.
void htmlUtf8(std::string *page, const char *utf8, size_t length);
void htmlFormat(std::string *page, const char *format, ...) PRINTF_LIKE(2, 3);  // printf, then as htmlText
// A verdict badge: <span class="v pass">PASS</span>.
void htmlVerdict(std::string *page, Verdict verdict);
// The closing row of a capped table: "... N more <what>" (nothing when none were left out).
void htmlLeftOut(std::string *page, long leftOut, int columns, const char *what);

// ---- report_sections.cpp
void writeInfoSection(const Report &report, std::string *page);
void writeConformSection(const Report &report, std::string *page);
void writeRunSection(const Report &report, std::string *page);
void writeSweepSection(const Report &report, std::string *page);
void writeIntegritySection(const Report &report, std::string *page);
// ---- report_routing.cpp
// integrity --all: the routing picture, the skew per channel and the table of routes.
void writeRoutingSection(const Report &report, std::string *page);

// ---- report_svg.cpp: each picture is one <svg> element that scales to the page's width.
// Intervals against the period: the 64 bins over 0 to 3 periods, the count on a log scale, the
// period and the 1.5-period line marked, the late bins in the failure colour.
void svgIntervalHistogram(std::string *page, const TimingFigures &timing, double periodUs);
// Each stretch of the run's switches, from its least to its greatest lateness against the ideal
// timeline, with 0 and 1.5 periods marked: a slip that catches up shows as a rise and a fall. Each
// notification that came after a switch of the run (null: none) a mark at that switch, the
// selector's number over it.
void svgLatenessTimeline(std::string *page, const TimingFigures &timing, double periodUs,
                         const NotificationRecord *notifications);
// The run's processor time against one core: the driver's, the callback's and the checker's.
void svgCoreShares(std::string *page, const CpuFigures &cpu);
// Round trip in ms against buffer size, measured (solid) and reported (dashed), one colour per
// rate, the difference marked at every size.
void svgSweep(std::string *page, const SweepResults &sweep);
// The kept events on the run's time line, one lane per kind.
void svgIntegrityEvents(std::string *page, const IntegrityResults &integrity);
// The input's bits, most significant first: those that came through unchanged and those that did not.
void svgTransparentBits(std::string *page, const IntegrityResults &integrity);
// Outputs (rows) against inputs (columns): each route found a square in its verdict's colour with
// its delay (written in it for up to 16 inputs, in its title always), each route the map expects
// and did not find an outline.
void svgRoutingGrid(std::string *page, const RoutingResults &routing);
// The skew of every route found against the earliest, a bar per input, --max-skew marked.
void svgRouteSkew(std::string *page, const RoutingResults &routing);
