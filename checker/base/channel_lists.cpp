// The channel lists and route maps of `integrity --outs/--ins/--map`.
#include "checker/base/base.h"

#include <errno.h>
#include <stdlib.h>

// A channel number at *at, below MAX_ROUTE_CHANNELS; *at moves past it. False when there is none.
static bool takeChannel(const char **at, long *channel)
{
    if (**at < '0' || **at > '9')
        return false;
    char *end = nullptr;
    errno = 0;
    *channel = strtol(*at, &end, 10);
    *at = end;
    return errno == 0 && *channel < MAX_ROUTE_CHANNELS;
}

int parseChannelList(const char *text, long *channels)
{
    bool seen[MAX_ROUTE_CHANNELS] = {};
    int count = 0;
    for (const char *at = text;;) {
        long first, last;
        if (!takeChannel(&at, &first))
            return -1;
        last = first;
        if (*at == '-' && (++at, !takeChannel(&at, &last) || last < first))
            return -1;
        for (long c = first; c <= last; c++) {
            if (seen[c])
                return -1;
            seen[c] = true;
            channels[count++] = c;
        }
        if (*at == '\0')
            return count;
        if (*at++ != ',')
            return -1;
    }
}

int parseRouteMap(const char *text, long *outs, long *ins)
{
    bool taken[MAX_ROUTE_CHANNELS] = {};
    int count = 0;
    for (const char *at = text;;) {
        if (count == MAX_ROUTE_CHANNELS || !takeChannel(&at, &outs[count]) || *at++ != ':' ||
            !takeChannel(&at, &ins[count]) || taken[ins[count]])
            return -1;
        taken[ins[count++]] = true;
        if (*at == '\0')
            return count;
        if (*at++ != ',')
            return -1;
    }
}
