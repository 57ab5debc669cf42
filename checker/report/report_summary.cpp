// Each part's verdict and summary line, the heads of the sections, and the report's status.
#include "checker/report/report.h"

#include <stdio.h>

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
    case EXIT_INTERRUPTED: return "interrupted";
    case EXIT_SHORTFALL: return "the checker's own shortfall, not the driver's";
    }
    return "unknown status";
}

Verdict partVerdict(const Report &report, ReportPart part)
{
    const PartResult &p = report.parts[part];
    // Interrupted, or cut short by the checker's own shortfall: no verdict on the driver.
    if (!p.ran || p.exitCode == EXIT_INTERRUPTED || p.exitCode == EXIT_SHORTFALL)
        return VERDICT_NOT_RUN;
    if (p.exitCode != EXIT_FINE)
        return VERDICT_FAIL;
    if (part == PART_CONFORM && report.conform && countVerdicts(*report.conform).byVerdict[VERDICT_WARN] > 0)
        return VERDICT_WARN;
    return VERDICT_PASS;
}

// The integrity part's line for every channel: the routes found and fine, and their skew.
static void routingSummary(const RoutingResults &r, char *at, size_t room)
{
    int fine = 0;
    for (int i = 0; i < r.inputCount && i < MAX_ROUTE_CHANNELS; i++)
        fine += r.routes[i].verdict == ROUTE_FINE;
    if (r.stage < RUN_MEASURED) {
        snprintf(at, room, "; not measured");
        return;
    }
    snprintf(at, room, "; %d routes found on %d inputs, %d fine; skew %lld frames", r.skew.routes,
             r.inputCount, fine, static_cast<long long>(r.skew.spread));
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
        VerdictCounts c = countVerdicts(*report.conform);
        snprintf(at, room, "; %d PASS, %d WARN, %d FAIL, %d not run, %d skipped",
                 c.byVerdict[VERDICT_PASS], c.byVerdict[VERDICT_WARN], c.byVerdict[VERDICT_FAIL],
                 c.byVerdict[VERDICT_NOT_RUN], c.byVerdict[VERDICT_SKIPPED]);
    } else if (part == PART_RUN && run && run->stage >= RUN_MEASURED) {
        const TimingFigures &t = run->timing;
        char late[48];
        if (t.late >= 0)
            snprintf(late, sizeof late, "%lld late", t.late);
        else
            snprintf(late, sizeof late, "lateness not judged");
        StreamKept kept = judgeStreamKept(t, run->setup.periodUs);
        snprintf(at, room, "; %lld switches in %.2f s, %s; at least one switch: %s; kept going: %s",
                 t.switches, run->setup.elapsedS, late, t.switches > 0 ? "passed" : "MISSED",
                 kept.stalled || kept.starved ? "MISSED" : "passed");
    } else if (part == PART_SWEEP && report.sweep) {
        const SweepResults &s = *report.sweep;
        int outside = 0, measured = 0;
        for (int k = 0; k < s.settingCount && k < MAX_SWEEP_SETTINGS; k++) {
            measured += s.settings[k].measured;
            outside += s.settings[k].outsideTolerance;
        }
        snprintf(at, room, "; %d of %d settings measured, %d outside the tolerance", measured,
                 s.settingCount, outside);
    } else if (part == PART_INTEGRITY && report.everyChannel && report.routing) {
        routingSummary(*report.routing, at, room);
    } else if (part == PART_INTEGRITY && report.integrity) {
        const IntegrityResults &r = *report.integrity;
        long long wrong = r.analysis.received - r.analysis.matched;
        if (r.analysis.state == INTEGRITY_LOCKED)
            snprintf(at, room, "; after the lock %lld samples received, %lld matched, %lld not, %lld "
                     "dropped, %lld never arrived, %d bits transparent", r.analysis.received, r.analysis.matched,
                     wrong, r.analysis.dropped, r.analysis.missing, r.analysis.transparentBits);
        else
            snprintf(at, room, "; the sequence was not found");
    }
}

int reportStatus(const Report &report)
{
    int worst = EXIT_FINE;
    for (const PartResult &p : report.parts) {
        if (p.ran)
            worst = worseStatus(worst, p.exitCode);
    }
    return worst;
}

void writeSectionHead(const Report &report, ReportPart part, const char *title, std::string *page)
{
    char text[320];
    partSummary(report, part, text, sizeof text);
    *page += "<h2>";
    appendXmlText(page, title);
    *page += "</h2>\n<p>";
    htmlVerdict(page, partVerdict(report, part));
    *page += " ";
    appendXmlText(page, text);
    const PartResult &p = report.parts[part];
    if (p.exitCode != EXIT_FINE && p.failure[0]) {
        *page += "<br/><span class=\"evidence\">";
        appendXmlText(page, p.failure);
        *page += "</span>";
    }
    *page += "</p>\n";
}

