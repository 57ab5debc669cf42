// The routing judgement of `integrity --all`: a verdict per input and the skew between the routes.
#include "checker/measure/measure.h"

int judgeRoute(bool mapGiven, int expected, int found, bool clean)
{
    if (!mapGiven)
        return found == NO_ROUTE ? ROUTE_EMPTY : clean ? ROUTE_FINE : ROUTE_FAULTY;
    if (expected == NO_ROUTE)
        return found == NO_ROUTE ? ROUTE_EMPTY : ROUTE_UNEXPECTED;
    if (found == NO_ROUTE)
        return ROUTE_MISSING;
    if (found != expected)
        return ROUTE_WRONG;
    return clean ? ROUTE_FINE : ROUTE_FAULTY;
}

bool routeFails(int verdict)
{
    return verdict != ROUTE_FINE && verdict != ROUTE_EMPTY;
}

void judgeSkew(const int64_t *delays, const bool *found, int count, SkewFigures *skew)
{
    skew->routes = 0;
    skew->earliest = skew->latest = -1;
    skew->spread = 0;
    for (int k = 0; k < count; k++) {
        if (!found[k])
            continue;
        skew->routes++;
        if (skew->earliest < 0 || delays[k] < delays[skew->earliest])
            skew->earliest = k;
        if (skew->latest < 0 || delays[k] > delays[skew->latest])
            skew->latest = k;
    }
    if (skew->routes > 1)
        skew->spread = delays[skew->latest] - delays[skew->earliest];
}
