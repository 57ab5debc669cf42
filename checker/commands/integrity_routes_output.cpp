// How integrity --all shows what arrived where: the routing table, one line per input, the skew,
// the events of every route that had any, the analysis's pace and the timing; as text and JSON.
#include "checker/commands/integrity_parts.h"

#include <math.h>
#include <stdio.h>

namespace {

const char *const VERDICT_NAMES[] = {"fine", "nothing expected", "faulty", "missing", "wrong",
                                     "unexpected"};

const char *verdictName(int verdict)
{
    return verdict >= ROUTE_FINE && verdict <= ROUTE_UNEXPECTED ? VERDICT_NAMES[verdict] : "?";
}

double microseconds(int64_t frames, double rate)
{
    return usableRate(rate) ? frames / rate * 1e6 : NAN;
}

// "  input 3 <- output 3: delay 512 frames, skew +0, 239312 of 239312 matched: fine"
void printRoute(const RoutingResults &r, const RouteResult &route)
{
    char problem[160];
    routeProblem(r, route, problem, sizeof problem);
    if (route.found == NO_ROUTE) {
        printf("  input %-3ld <- nothing: %s (peak %.1f dBFS)%s%s\n", route.input,
               noLockWords(route.noLockReason, WORDING_TEXT), shownPeak(route.peakDbfs),
               *problem ? ": " : "", problem);
        return;
    }
    printf("  input %-3ld <- output %-3d delay %lld frames, skew %+lld, %lld of %lld matched: %s%s%s\n",
           route.input, route.found, static_cast<long long>(route.lockDelay),
           static_cast<long long>(route.skew), static_cast<long long>(route.counts[COUNT_MATCHED]),
           static_cast<long long>(route.counts[COUNT_RECEIVED]), verdictName(route.verdict),
           *problem ? ": " : "", problem);
}

void printSkew(const RoutingResults &r)
{
    const SkewFigures &s = r.skew;
    const double rate = r.setup.figures.sampleRate;
    if (s.routes < 2) {
        printf("Skew: not measured (%d route%s found)\n", s.routes, s.routes == 1 ? "" : "s");
        return;
    }
    const RouteResult &early = r.routes[s.earliest], &late = r.routes[s.latest];
    if (s.spread == 0) {
        printf("Skew: 0 frames across %d routes: every route at %lld frames, every channel at the "
               "same time\n", s.routes, static_cast<long long>(early.lockDelay));
        return;
    }
    printf("Skew: %lld frames (%.1f us) across %d routes; earliest output %d to input %ld (%lld "
           "frames), latest output %d to input %ld (%lld frames)\n",
           static_cast<long long>(s.spread), microseconds(s.spread, rate), s.routes, early.found,
           early.input, static_cast<long long>(early.lockDelay), late.found, late.input,
           static_cast<long long>(late.lockDelay));
}

void printRouteEvents(const RoutingResults &r)
{
    for (int i = 0; i < r.inputCount; i++) {
        const RouteResult &route = r.routes[i];
        char changed[160];
        if (route.found == NO_ROUTE)
            continue;
        IntegrityResults transform = {};
        transform.analysis.state = route.state;
        transform.analysis.sign = route.sign;
        transform.analysis.shift = route.shift;
        bool transformed = integrityTransformText(transform, changed, sizeof changed);
        if (!transformed && !eventTotal(route.eventCounts) && !route.counts[COUNT_MISSING])
            continue;
        printf("Output %d to input %ld:\n", route.found, route.input);
        if (transformed)
            printf("  The sequence came back %s\n", changed);
        if (route.counts[COUNT_MISSING])
            printf("  Never arrived: %lld samples from input position %lld\n",
                   static_cast<long long>(route.counts[COUNT_MISSING]),
                   static_cast<long long>(route.missingFrom));
        printEventLines(route.eventCounts, route.events, route.keptEvents,
                        r.setup.figures.sampleRate, "  ");
        printf("  Transparent to %d of %d bits\n", route.transparentBits, route.bits);
    }
}

void printTally(const RoutingResults &r)
{
    int counts[ROUTE_UNEXPECTED + 1] = {};
    for (int i = 0; i < r.inputCount; i++)
        counts[r.routes[i].verdict >= 0 && r.routes[i].verdict <= ROUTE_UNEXPECTED ? r.routes[i].verdict
                                                                                  : ROUTE_WRONG]++;
    printf("Routes: %d found on %d inputs; %d fine, %d faulty, %d missing, %d wrong, %d unexpected\n",
           r.skew.routes, r.inputCount, counts[ROUTE_FINE], counts[ROUTE_FAULTY],
           counts[ROUTE_MISSING], counts[ROUTE_WRONG], counts[ROUTE_UNEXPECTED]);
}

void jsonRoute(const RoutingResults &r, const RouteResult &route)
{
    const bool found = route.found != NO_ROUTE;
    jsonBeginObject(nullptr);
    jsonInteger("input", route.input);
    jsonNumber("output", found ? route.found : NAN);
    jsonNumber("expected", route.expected != NO_ROUTE ? route.expected : NAN);
    jsonText("verdict", verdictName(route.verdict));
    char problem[160];
    routeProblem(r, route, problem, sizeof problem);
    jsonText("problem", *problem ? problem : nullptr);
    jsonNumber("delay_frames", found ? static_cast<double>(route.lockDelay) : NAN);
    jsonNumber("skew_frames", found ? static_cast<double>(route.skew) : NAN);
    jsonNumber("lock_position", found ? static_cast<double>(route.lockPosition) : NAN);
    jsonText("no_lock_reason", found ? nullptr : noLockWords(route.noLockReason, WORDING_JSON));
    jsonNumber("peak_dbfs", route.peakDbfs);
    jsonInteger("bits", route.bits);
    jsonNumber("transparent_bits", found ? route.transparentBits : NAN);
    if (found)
        jsonBool("polarity_reversed", route.sign < 0);
    else
        jsonNull("polarity_reversed");
    jsonNumber("shift_bits", found ? route.shift : NAN);
    jsonBeginObject("counts");
    for (int k = 0; k < ROUTE_COUNTS; k++)
        jsonInteger(routeCountName(k), route.counts[k]);
    jsonEndObject();
    jsonEventFields(route.eventCounts, route.events, route.keptEvents);
    jsonEndObject();
}

void jsonSkew(const RoutingResults &r)
{
    const SkewFigures &s = r.skew;
    jsonBeginObject("skew");
    jsonInteger("routes", s.routes);
    jsonNumber("spread_frames", s.routes > 1 ? static_cast<double>(s.spread) : NAN);
    jsonNumber("spread_us", s.routes > 1 ? microseconds(s.spread, r.setup.figures.sampleRate) : NAN);
    for (int end = 0; end < 2; end++) {
        const int k = s.routes == 0 ? -1 : end == 0 ? s.earliest : s.latest;
        jsonBeginObject(end == 0 ? "earliest" : "latest");
        jsonNumber("output", k >= 0 ? r.routes[k].found : NAN);
        jsonNumber("input", k >= 0 ? r.routes[k].input : NAN);
        jsonNumber("delay_frames", k >= 0 ? static_cast<double>(r.routes[k].lockDelay) : NAN);
        jsonEndObject();
    }
    jsonNumber("max_skew_frames", r.maxSkew >= 0 ? r.maxSkew : NAN);
    jsonEndObject();
}

}  // namespace

void printRoutingText(const CheckerOptions &options, int index, const SessionOutcome &, int exitCode)
{
    if (!resultsStand(exitCode))
        return;
    const RoutingResults &r = routingResults;
    const RunSetup &s = r.setup;
    printDriverHeading(index);
    if (r.stage < RUN_STARTED) {
        printCallNotes();
        return;
    }
    char rate[32];
    formatRate(s.figures.sampleRate, rate, sizeof rate);
    printf("Integrity of every channel: %d outputs to %d inputs, %ld frames at %s Hz, %.2f s; "
           "routes expected: %s\n", r.outputCount, r.inputCount, s.bufferSize, rate, s.elapsedS,
           options.map ? options.map : "none given");
    if (r.stage >= RUN_MEASURED) {
        printf("Routes (input <- the output whose sequence arrived there):\n");
        for (int i = 0; i < r.inputCount; i++)
            printRoute(r, r.routes[i]);
        printTally(r);
        printSkew(r);
        printRouteEvents(r);
        if (r.blocksDroppedByChecker)
            printf("Not judged: %ld blocks the checker had no room for (its own fault)\n",
                   r.blocksDroppedByChecker);
        if (isfinite(r.timesRealTime))
            printf("Analysed at %.1f times real time (%d analysis thread%s)\n", r.timesRealTime,
                   r.analysisThreads, r.analysisThreads == 1 ? "" : "s");
        printTiming(r.timing, s.periodUs);
        printMessages(r.messages);
        printNotifications(r.notifications, nullptr);
        printStreamKept(r.timing, s.periodUs);
    }
    printCallNotes();
}

void writeRoutingDocument(const CheckerOptions &options, int index, const SessionOutcome &outcome,
                          int exitCode)
{
    const RoutingResults &r = routingResults;
    const RunSetup &s = r.setup;
    if (!beginDocument(options, index, resultsStand(exitCode), exitCode))
        return;
    if (r.stage >= RUN_STARTED) {
        jsonBeginArray("outputs");
        for (int o = 0; o < r.outputCount; o++)
            jsonInteger(nullptr, r.outputs[o]);
        jsonEndArray();
        jsonText("map", options.map);
        jsonInteger("buffer_size", s.bufferSize);
        jsonNumber("sample_rate", s.figures.sampleRate);
    }
    if (r.stage >= RUN_MEASURED) {
        jsonNumber("seconds", s.elapsedS);
        jsonBeginArray("routes");
        for (int i = 0; i < r.inputCount; i++)
            jsonRoute(r, r.routes[i]);
        jsonEndArray();
        jsonSkew(r);
        jsonNumber("analysed_times_real_time", r.timesRealTime);
        jsonInteger("analysis_threads", r.analysisThreads);
        jsonInteger("blocks_dropped_by_checker", r.blocksDroppedByChecker);
        jsonTiming(r.timing, s.periodUs);
        jsonMessages(r.messages);
        jsonNotifications(r.notifications, nullptr);
    }
    jsonCallNotes();
    jsonSessionEnd(outcome, exitCode);
}
