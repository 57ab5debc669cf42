// quorvelcheck integrity --all: every output chosen carries a sequence of its own, every input
// chosen is analysed as the single cable's input is, and what arrived where is judged against the
// map of routes expected; the delays of the routes found give the skew between the channels.
#include "checker/commands/integrity_parts.h"

#include <math.h>
#include <stdio.h>
#include <string.h>

RoutingResults routingResults;

namespace {

const char *const NEED = "an integer or float type of 16 to 32 bits";

// The channels of a list, or the driver's first MAX_ROUTE_CHANNELS without one.
int chosenChannels(const char *list, long available, long *channels)
{
    if (list)
        return parseChannelList(list, channels);
    int count = available < MAX_ROUTE_CHANNELS ? static_cast<int>(available) : MAX_ROUTE_CHANNELS;
    for (int k = 0; k < count; k++)
        channels[k] = k;
    return count;
}

int findChannel(const long *channels, int count, long channel)
{
    for (int k = 0; k < count; k++) {
        if (channels[k] == channel)
            return k;
    }
    return -1;
}

// The map's routes onto the inputs chosen: every output and input it names among them.
int expectRoutes(const char *map, RoutingResults *r)
{
    for (int i = 0; i < r->inputCount; i++)
        r->routes[i].expected = NO_ROUTE;
    r->mapGiven = map != nullptr;
    if (!map)
        return EXIT_FINE;
    if (strcmp(map, "same") == 0) {
        for (int i = 0; i < r->inputCount; i++) {
            if (findChannel(r->outputs, r->outputCount, r->routes[i].input) >= 0)
                r->routes[i].expected = static_cast<int>(r->routes[i].input);
        }
        return EXIT_FINE;
    }
    long outs[MAX_ROUTE_CHANNELS], ins[MAX_ROUTE_CHANNELS];
    int count = parseRouteMap(map, outs, ins);
    for (int k = 0; k < count; k++) {
        if (findChannel(r->outputs, r->outputCount, outs[k]) < 0)
            return fail(EXIT_USAGE, "--map names output %ld, which the run does not drive", outs[k]);
        int input = -1;
        for (int i = 0; i < r->inputCount && input < 0; i++)
            input = r->routes[i].input == ins[k] ? i : -1;
        if (input < 0)
            return fail(EXIT_USAGE, "--map names input %ld, which the run does not analyse", ins[k]);
        r->routes[input].expected = static_cast<int>(outs[k]);
    }
    return EXIT_FINE;
}

// The outputs and inputs of the run, their types checked, the routes expected, and the plan.
int chooseRoutes(const CheckerOptions &options, uint32_t *wanted)
{
    RoutingResults *r = &routingResults;
    r->maxSkew = options.maxSkew;
    const DriverFigures &f = r->setup.figures;
    long ins[MAX_ROUTE_CHANNELS];
    r->outputCount = chosenChannels(options.outs, f.outputChannels, r->outputs);
    r->inputCount = chosenChannels(options.ins, f.inputChannels, ins);
    if (r->outputCount < 1 || r->inputCount < 1)
        return fail(EXIT_USAGE, "the driver has %ld outputs and %ld inputs: every channel needs at "
                    "least one of each", f.outputChannels, f.inputChannels);
    IntegrityPlan &plan = integrityPlan;
    long outputs = f.outputChannels > 0 ? f.outputChannels : 0;
    int code = EXIT_FINE;
    for (int o = 0; code == EXIT_FINE && o < r->outputCount; o++) {
        code = checkChannel(false, r->outputs[o], f, sequenceTypeSupported, NEED, &r->outTypes[o]);
        plan.outElements[o] = r->outputs[o];
        plan.outTypes[o] = r->outTypes[o];
        plan.outKeys[o] = static_cast<int>(r->outputs[o]);
        wanted[r->outputs[o] / 32] |= 1u << (r->outputs[o] % 32);
    }
    for (int i = 0; code == EXIT_FINE && i < r->inputCount; i++) {
        RouteResult &route = r->routes[i];
        route.input = ins[i];
        code = checkChannel(true, ins[i], f, sequenceTypeSupported, NEED, &route.inType);
        route.bits = sequenceTypeBits(route.inType);
        plan.inElements[i] = outputs + ins[i];
        plan.inTypes[i] = route.inType;
    }
    plan.outputs = r->outputCount;
    plan.inputs = r->inputCount;
    return code == EXIT_FINE ? expectRoutes(options.map, r) : code;
}

void takeCounts(const IntegrityFindings &a, RouteResult *route)
{
    const bool locked = a.state == INTEGRITY_LOCKED;
    const int64_t values[ROUTE_COUNTS] = {
        a.searched, a.received, a.matched, a.corrupted, a.inverted,
        a.scaled, a.foreign, a.dropped, a.repeated, a.slipped, a.unseen, a.missing,
    };
    memcpy(route->counts, values, sizeof values);
    memcpy(route->eventCounts, a.eventCounts, sizeof route->eventCounts);
    route->keptEvents = a.keptEvents < MAX_ROUTE_EVENTS ? a.keptEvents : int(MAX_ROUTE_EVENTS);
    memcpy(route->events, a.events, route->keptEvents * sizeof(IntegrityEvent));
    route->found = locked ? a.output : NO_ROUTE;
    route->state = a.state;
    route->noLockReason = a.noLockReason;
    route->sign = a.sign;
    route->shift = a.shift;
    route->lockDelay = locked ? a.lockDelay : 0;
    route->lockPosition = locked ? a.lockPosition : 0;
    route->missingFrom = a.missingFrom;
    route->differingBits = a.differingBits;
    route->transparentBits = a.transparentBits;
    route->peakDbfs = a.peakDbfs;
    route->rmsDbfs = a.rmsDbfs;
}

// Every sample of the route the checker analysed came back as it was sent; those it did not
// analyse (unseen) are its own shortfall, judged apart.
bool routeClean(const RouteResult &route)
{
    return route.sign > 0 && route.shift == 0 && eventTotal(route.eventCounts) == 0 &&
           route.counts[COUNT_MISSING] == 0;
}

void takeRoutes()
{
    RoutingResults *r = &routingResults;
    int64_t delays[MAX_ROUTE_CHANNELS];
    bool found[MAX_ROUTE_CHANNELS];
    for (int i = 0; i < r->inputCount; i++) {
        RouteResult &route = r->routes[i];
        takeCounts(inputAnalysis(i).results, &route);
        route.verdict = judgeRoute(r->mapGiven, route.expected, route.found, routeClean(route));
        delays[i] = route.lockDelay;
        found[i] = route.found != NO_ROUTE;
    }
    judgeSkew(delays, found, r->inputCount, &r->skew);
    for (int i = 0; i < r->inputCount; i++)
        r->routes[i].skew = found[i] ? delays[i] - delays[r->skew.earliest] : 0;
    r->analysisThreads = analyserCount();
    r->timesRealTime = analysedTimesRealTime(r->setup.figures.sampleRate);
    r->blocksDroppedByChecker = integrityPlan.ring ? static_cast<long>(integrityPlan.ring->dropped.load()) : 0;
}

// "output 1 to input 1 is earliest (512 frames)"
void routeName(const RoutingResults &r, int index, char *out, size_t size)
{
    const RouteResult &route = r.routes[index];
    snprintf(out, size, "output %d to input %ld (%lld frames)", route.found, route.input,
             static_cast<long long>(route.lockDelay));
}

// What the skew misses against --max-skew, "" when nothing.
void skewProblem(const RoutingResults &r, char *out, size_t size)
{
    *out = '\0';
    if (r.maxSkew < 0)
        return;
    if (r.skew.routes < 2) {
        snprintf(out, size, "the skew cannot be judged against --max-skew: %d route%s found",
                 r.skew.routes, r.skew.routes == 1 ? " was" : "s were");
        return;
    }
    if (r.skew.spread <= r.maxSkew)
        return;
    char early[80], late[80];
    routeName(r, r.skew.earliest, early, sizeof early);
    routeName(r, r.skew.latest, late, sizeof late);
    snprintf(out, size, "the routes are %lld frames apart (%.1f us), over --max-skew %g: earliest %s, "
             "latest %s", static_cast<long long>(r.skew.spread),
             r.skew.spread / r.setup.figures.sampleRate * 1e6, r.maxSkew, early, late);
}

// Whether what a route shows may be the checker's doing or the user's rather than the driver's:
// too little searched to give up on a sequence (the checker fell behind, or the run was cut short),
// or, cut short, samples missing at its end and nothing else wrong.
bool routeUnjudged(const RouteResult &route, double rate, bool cut)
{
    if (route.state != INTEGRITY_LOCKED) {
        bool searchedEnough = route.counts[COUNT_SEARCHED] >= static_cast<int64_t>(rate * 2);
        return !searchedEnough && (route.counts[COUNT_UNSEEN] > 0 || cut);
    }
    return cut && route.verdict == ROUTE_FAULTY && eventTotal(route.eventCounts) == 0 &&
           route.sign > 0 && route.shift == 0;
}

// The status of routes that could not be judged: the user's interrupt, or the checker's shortfall
// on the first of them.
int unjudgedStatus(const RoutingResults &r, int route, bool cut)
{
    if (cut)
        return EXIT_INTERRUPTED;
    return checkerFellBehind(r.routes[route].input, r.routes[route].counts[COUNT_UNSEEN],
                             r.setup.figures.sampleRate, r.blocksDroppedByChecker);
}

int routingVerdict()
{
    const RoutingResults &r = routingResults;
    const double rate = r.setup.figures.sampleRate;
    const bool cut = runStopAsked();
    int failed = 0, first = -1, unjudged = -1;
    for (int i = 0; i < r.inputCount; i++) {
        const RouteResult &route = r.routes[i];
        if (routeUnjudged(route, rate, cut)) {
            unjudged = unjudged < 0 ? i : unjudged;
        } else if (routeFails(route.verdict)) {
            failed++;
            first = first < 0 ? i : first;
        }
    }
    if (!failed && unjudged >= 0)
        return unjudgedStatus(r, unjudged, cut);
    if (r.skew.routes == 0)
        return fail(EXIT_CHECK_MISSED, "no output's sequence arrived on any of the %d inputs",
                    r.inputCount);
    char skew[320];
    skewProblem(r, skew, sizeof skew);
    if (!failed && *skew)
        return fail(EXIT_CHECK_MISSED, "%s", skew);
    if (!failed && cut)
        return EXIT_INTERRUPTED;
    if (!failed) {
        int code = streamKeptStatus(r.timing, r.setup.periodUs);
        for (int i = 0; code == EXIT_FINE && i < r.inputCount; i++) {
            if (r.routes[i].counts[COUNT_UNSEEN])
                code = unjudgedStatus(r, i, false);
        }
        return code;
    }
    char problem[160];
    routeProblem(r, r.routes[first], problem, sizeof problem);
    return fail(EXIT_CHECK_MISSED, "%d of %d routes failed; the first: input %ld: %s%s%s", failed,
                r.inputCount, r.routes[first].input, problem, *skew ? "; and " : "", skew);
}

}  // namespace

void routeProblem(const RoutingResults &r, const RouteResult &route, char *out, size_t size)
{
    *out = '\0';
    switch (route.verdict) {
    case ROUTE_FAULTY:
        snprintf(out, size, "output %d arrived, but not every sample came back as it was sent",
                 route.found);
        break;
    case ROUTE_MISSING:
        snprintf(out, size, "output %d did not arrive (the input carried %s)", route.expected,
                 noLockWords(route.noLockReason, WORDING_TEXT));
        break;
    case ROUTE_WRONG:
        snprintf(out, size, "output %d arrived instead of output %d", route.found, route.expected);
        break;
    case ROUTE_UNEXPECTED: {
        bool also = false;
        for (int i = 0; i < r.inputCount && i < MAX_ROUTE_CHANNELS; i++)
            also = also || (r.routes[i].expected == route.found && r.routes[i].found == route.found);
        snprintf(out, size, "output %d %s here, where the map expects nothing", route.found,
                 also ? "also arrives" : "arrives");
        break;
    }
    }
}

namespace {

// The first field of one route that is out of range, or null.
const char *routeFault(const RouteResult &route)
{
    const char *fault = nullptr;
    if (!inRange(route.found, NO_ROUTE, MAX_ROUTE_CHANNELS - 1))
        fault = "routes.found";
    else if (!inRange(route.expected, NO_ROUTE, MAX_ROUTE_CHANNELS - 1))
        fault = "routes.expected";
    else if (!inRange(route.verdict, ROUTE_FINE, ROUTE_UNEXPECTED))
        fault = "routes.verdict";
    else if (!inRange(route.state, INTEGRITY_SEARCHING, INTEGRITY_NO_LOCK))
        fault = "routes.state";
    else if (!inRange(route.noLockReason, NO_LOCK_SILENT, NO_LOCK_FOREIGN))
        fault = "routes.noLockReason";
    else if (!inRange(route.bits, 0, 32) || !inRange(route.transparentBits, 0, 32))
        fault = "routes.bits";
    else if (!inRange(route.keptEvents, 0, MAX_ROUTE_EVENTS))
        fault = "routes.keptEvents";
    for (int k = 0; !fault && k < route.keptEvents; k++)
        fault = inRange(route.events[k].kind, 0, EVENT_KINDS - 1) ? nullptr : "routes.events.kind";
    return fault;
}

}  // namespace

static const char *routingResultsFault(const void *copy)
{
    const RoutingResults &r = *static_cast<const RoutingResults *>(copy);
    const SkewFigures &s = r.skew;
    const char *fault = runPartsFault(r.stage, r.setup, r.timing);
    if (!fault && !inRange(r.outputCount, 0, MAX_ROUTE_CHANNELS))
        fault = "outputCount";
    if (!fault && !inRange(r.inputCount, 0, MAX_ROUTE_CHANNELS))
        fault = "inputCount";
    if (!fault && !inRange(r.analysisThreads, 0, MAX_RING_READERS))
        fault = "analysisThreads";
    if (!fault && !inRange(s.routes, 0, r.inputCount))
        fault = "skew.routes";
    // The earliest and latest route are read only when some were found.
    if (!fault && s.routes > 0 && !inRange(s.earliest, 0, r.inputCount - 1))
        fault = "skew.earliest";
    if (!fault && s.routes > 0 && !inRange(s.latest, 0, r.inputCount - 1))
        fault = "skew.latest";
    for (int i = 0; !fault && i < r.inputCount; i++)
        fault = routeFault(r.routes[i]);
    return fault ? fault : notificationsFault(r.notifications);
}

extern const RecordSpec routingRecord = {&routingResults, sizeof routingResults,
    "routing", routingResultsFault};

int routingSession(const CheckerOptions &options)
{
    RoutingResults &r = routingResults;
    const IntegritySession session = {&routingResults, &r.stage, &r.setup, &r.timing, &r.messages,
                                      &r.notifications,
                                      chooseRoutes, takeRoutes, routingVerdict};
    return runIntegritySession(options, session);
}

int measureRouting(const CheckerOptions &options, int, const char *arguments, SessionOutcome *outcome)
{
    return measureSession(options, &routingResults, sizeof routingResults, routingSession,
                          arguments, outcome);
}
