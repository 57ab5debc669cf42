// integrity --all on the page: the routes found, outputs against inputs; the skew of every channel;
// a row per input with its output, delay, skew, accounting and verdict.
#include "checker/report/report.h"

#include <math.h>
#include <stdio.h>

static const int SHOWN_ROUTES = 128;

// A numeric cell.
static void numberCell(std::string *page, const char *format, long long value)
{
    *page += "<td class=\"n\">";
    htmlFormat(page, format, value);
    *page += "</td>";
}

static void routeRow(const RoutingResults &r, const RouteResult &route, std::string *page)
{
    *page += "<tr>";
    numberCell(page, "%lld", route.input);
    if (route.found != NO_ROUTE) {
        numberCell(page, "%lld", route.found);
        numberCell(page, "%lld", route.lockDelay);
        numberCell(page, "%+lld", route.skew);
        *page += "<td class=\"n\">";
        htmlFormat(page, "%lld of %lld", static_cast<long long>(route.counts[COUNT_MATCHED]),
                   static_cast<long long>(route.counts[COUNT_RECEIVED]));
    } else {
        *page += "<td class=\"n\">none</td><td></td><td></td><td class=\"n\">";
        htmlFormat(page, "the input was %s", noLockWords(route.noLockReason, WORDING_CELL));
    }
    *page += "</td><td>";
    htmlVerdict(page, route.verdict == ROUTE_FINE ? VERDICT_PASS
                      : routeFails(route.verdict) ? VERDICT_FAIL : VERDICT_SKIPPED);
    char problem[160];
    routeProblem(r, route, problem, sizeof problem);
    if (*problem) {
        *page += " ";
        appendXmlText(page, problem);
    }
    *page += "</td></tr>\n";
}

void writeRoutingSection(const Report &report, std::string *page)
{
    writeSectionHead(report, PART_INTEGRITY, "Integrity of every channel", page);
    if (!report.routing || report.routing->stage < RUN_MEASURED)
        return;
    const RoutingResults &r = *report.routing;
    const SkewFigures &s = r.skew;
    *page += "<p>";
    htmlFormat(page, "%d outputs, each with a sequence of its own, to %d inputs. ", r.outputCount,
               r.inputCount);
    if (s.routes > 1)
        htmlFormat(page, "The routes found are %lld frames (%.1f us) apart.", static_cast<long long>(s.spread),
                   s.spread / r.setup.figures.sampleRate * 1e6);
    *page += "</p>\n<figure class=\"picture\">";
    svgRoutingGrid(page, r);
    *page += "<figcaption>Each route found, in its verdict's colour (its delay and story in its "
             "title); an outline where the map expects a route that was not found.</figcaption>"
             "</figure>\n<figure class=\"picture\">";
    svgRouteSkew(page, r);
    *page += "<figcaption>The delay of every route against the earliest, in frames";
    if (r.maxSkew >= 0)
        htmlFormat(page, "; the dashed line is --max-skew %g", r.maxSkew);
    *page += ".</figcaption></figure>\n<table>\n<tr><th class=\"n\">input</th><th class=\"n\">output"
             "</th><th class=\"n\">delay</th><th class=\"n\">skew</th><th class=\"n\">matched</th>"
             "<th>verdict</th></tr>\n";
    const int count = r.inputCount < SHOWN_ROUTES ? r.inputCount : SHOWN_ROUTES;
    for (int i = 0; i < count; i++)
        routeRow(r, r.routes[i], page);
    *page += "</table>\n";
}
