// What each channel is: its sample type and name from the comma-separated lists of the
// configuration, and the sample rates the device accepts.
#include "core.h"

#include <stdio.h>
#include <stdlib.h>
#include <string.h>

namespace {

// The position of the next item of a comma-separated list after a number that ended at `end`,
// or null when the list ends there.
const char *nextItem(const char *end) {
    while (*end == ' ')
        end++;
    return *end == ',' ? end + 1 : nullptr;
}

void parseTypes(const char *text, SimTypeList *list) {
    list->count = 0;
    for (const char *at = text; at && *at && list->count < SIM_MAX_LISTED;) {
        char *end;
        long code = strtol(at, &end, 0);
        if (end == at)
            break;  // not a number: the list ends here
        list->codes[list->count++] = code;
        at = nextItem(end);
    }
}

}  // namespace

void simParseLists(SimDevice *device) {
    parseTypes(device->config.inputTypes, &device->inputTypes);
    parseTypes(device->config.outputTypes, &device->outputTypes);
    device->rateCount = 0;
    const char *at = device->config.sampleRates;
    while (at && *at && device->rateCount < SIM_MAX_LISTED) {
        char *end;
        double rate = strtod(at, &end);
        if (end == at)
            break;
        device->rates[device->rateCount++] = rate;
        at = nextItem(end);
    }
}

long simChannelType(const SimDevice *device, bool isInput, long channel) {
    const SimTypeList &list = isInput ? device->inputTypes : device->outputTypes;
    if (list.count == 0)
        return device->config.sampleType;
    if (channel < 0)
        channel = 0;
    return list.codes[channel < list.count ? channel : list.count - 1];
}

void simChannelName(const SimDevice *device, bool isInput, long channel, char *out,
                    size_t outSize) {
    const char *at = isInput ? device->config.inputNames : device->config.outputNames;
    for (long i = 0; *at && i < channel; i++) {
        at = strchr(at, ',');
        at = at ? at + 1 : "";
    }
    size_t length = strcspn(at, ",");
    if (channel < 0 || length == 0) {
        snprintf(out, outSize, "Sim %s %ld", isInput ? "In" : "Out", channel + 1);
        return;
    }
    if (length > 31)
        length = 31;
    snprintf(out, outSize, "%.*s", (int)length, at);
}

void simChannelCounts(const SimDevice *device, long *inputs, long *outputs) {
    *inputs = device->config.inputs;
    *outputs = device->config.outputs;
    for (const char *at = device->config.channelsAtRates; at && *at;) {
        char *end;
        double rate = strtod(at, &end);
        long in = 0, out = 0;
        int used = 0;
        if (end == at || sscanf(end, ":%ld:%ld%n", &in, &out, &used) != 2)
            return;  // not an entry: the list ends here
        if (rate == device->sampleRate) {
            *inputs = in;
            *outputs = out;
            return;
        }
        at = nextItem(end + used);
    }
}

bool simRateAccepted(const SimDevice *device, double rate) {
    if (device->rateCount == 0)
        return rate == strtod(device->config.sampleRate, nullptr);
    for (int i = 0; i < device->rateCount; i++) {
        if (rate == device->rates[i])
            return true;
    }
    return false;
}
