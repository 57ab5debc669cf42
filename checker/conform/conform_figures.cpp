// The figures phase: what a driver says about itself before any buffer exists.
#include "checker/conform/phases.h"

#include "drivers/driver_loading.h"
#include "engine/sample_types.h"

#include <stdio.h>
#include <string.h>

// One channel's answer, in a record with room behind it, so that a write past it shows.
static ASIOError askChannel(long channel, bool isInput, ASIOChannelInfo *info, bool *overran)
{
    struct {
        ASIOChannelInfo info;
        char guard[32];
    } asked;
    memset(&asked, 0, sizeof asked);
    memset(asked.info.name, UNWRITTEN, sizeof asked.info.name);
    memset(asked.guard, UNWRITTEN, sizeof asked.guard);
    asked.info.channel = channel;
    asked.info.isInput = isInput;
    asked.info.type = -1;
    ASIOError result = asioGetChannelInfo(&asked.info);
    *overran = false;
    for (char c : asked.guard)
        *overran = *overran || c != UNWRITTEN;
    *info = asked.info;
    return result;
}

static void checkChannelInfo(long inputs, long outputs)
{
    beginCheck(CHECK_FIGURES_CHANNEL_INFO);
    char answer[32], why[160];
    long checked = 0;
    for (int direction = 0; direction < 2; direction++) {
        bool isInput = direction == 0;
        long count = isInput ? inputs : outputs;
        if (count > MAX_LISTED_CHANNELS)
            count = MAX_LISTED_CHANNELS;
        const char *side = isInput ? "input" : "output";
        for (long channel = 0; channel < count; channel++, checked++) {
            ASIOChannelInfo info;
            bool overran = false;
            ASIOError result = askChannel(channel, isInput, &info, &overran);
            if (result != ASE_OK) {
                grade(CHECK_FIGURES_CHANNEL_INFO, VERDICT_FAIL, "getChannelInfo(%s %ld) answered %s",
                      side, channel, asioErrorName(result, answer, sizeof answer));
                return;
            }
            if (overran) {
                grade(CHECK_FIGURES_CHANNEL_INFO, VERDICT_FAIL,
                      "getChannelInfo(%s %ld) wrote past the end of the record", side, channel);
                return;
            }
            if (info.channel != channel || (info.isInput != 0) != isInput) {
                grade(CHECK_FIGURES_CHANNEL_INFO, VERDICT_FAIL,
                      "getChannelInfo(%s %ld) answered for %s %ld", side, channel,
                      info.isInput ? "input" : "output", info.channel);
                return;
            }
            if (!lookupSampleType(info.type)->name) {
                grade(CHECK_FIGURES_CHANNEL_INFO, VERDICT_FAIL,
                      "getChannelInfo(%s %ld) gave sample type %ld, which is not an ASIO type", side,
                      channel, info.type);
                return;
            }
            if (!textWellFormed(info.name, sizeof info.name, 0, why, sizeof why, false)) {
                grade(CHECK_FIGURES_CHANNEL_INFO, VERDICT_FAIL, "getChannelInfo(%s %ld) gave as name %s",
                      side, channel, why);
                return;
            }
        }
    }
    grade(CHECK_FIGURES_CHANNEL_INFO, VERDICT_PASS, "%ld channels answered", checked);
}

static void checkPastEnd(long inputs, long outputs)
{
    beginCheck(CHECK_FIGURES_CHANNEL_PAST_END);
    char answer[32];
    for (int direction = 0; direction < 2; direction++) {
        bool isInput = direction == 0;
        long channel = isInput ? inputs : outputs;
        if (channel < 0)
            continue;
        ASIOChannelInfo info;
        bool overran = false;
        ASIOError result = askChannel(channel, isInput, &info, &overran);
        if (result == ASE_OK) {
            grade(CHECK_FIGURES_CHANNEL_PAST_END, VERDICT_FAIL,
                  "getChannelInfo(%s %ld) answered ASE_OK for a channel past the last (the driver has "
                  "%ld)", isInput ? "input" : "output", channel, channel);
            return;
        }
        if (overran) {
            grade(CHECK_FIGURES_CHANNEL_PAST_END, VERDICT_FAIL,
                  "getChannelInfo(%s %ld) wrote past the end of the record", isInput ? "input" : "output",
                  channel);
            return;
        }
    }
    grade(CHECK_FIGURES_CHANNEL_PAST_END, VERDICT_PASS, "input %ld and output %ld refused (%s)", inputs,
          outputs, asioErrorName(ASE_InvalidParameter, answer, sizeof answer));
}

void conformFigures(const CheckerOptions &options, int index)
{
    if (!openForPhase(options, index, PHASE_FIGURES))
        return;
    char answer[32];
    long minSize = 0, maxSize = 0, preferred = 0, granularity = 0;
    ASIOError sizes = asioGetBufferSize(&minSize, &maxSize, &preferred, &granularity);
    if (checkWanted(options, CHECK_FIGURES_BUFFER_SIZES)) {
        beginCheck(CHECK_FIGURES_BUFFER_SIZES);
        if (sizes != ASE_OK) {
            grade(CHECK_FIGURES_BUFFER_SIZES, VERDICT_FAIL, "getBufferSize answered %s",
                  asioErrorName(sizes, answer, sizeof answer));
        } else if (minSize <= 0 || preferred <= 0 || maxSize <= 0 || minSize > preferred ||
                   preferred > maxSize) {
            grade(CHECK_FIGURES_BUFFER_SIZES, VERDICT_FAIL,
                  "min %ld, preferred %ld, max %ld: expected 0 < min <= preferred <= max", minSize,
                  preferred, maxSize);
        } else {
            grade(CHECK_FIGURES_BUFFER_SIZES, VERDICT_PASS, "min %ld, preferred %ld, max %ld", minSize,
                  preferred, maxSize);
        }
    }
    if (checkWanted(options, CHECK_FIGURES_GRANULARITY)) {
        beginCheck(CHECK_FIGURES_GRANULARITY);
        bool holds;
        const char *rule;
        if (granularity == -1) {
            holds = powerOfTwo(minSize) && powerOfTwo(maxSize) && powerOfTwo(preferred);
            rule = "-1: min, max and preferred powers of two";
        } else if (granularity > 0) {
            holds = maxSize >= minSize && preferred >= minSize && (maxSize - minSize) % granularity == 0 &&
                    (preferred - minSize) % granularity == 0;
            rule = "above 0: max and preferred min plus a multiple of it";
        } else if (granularity == 0) {
            holds = minSize == maxSize;
            rule = "0: min = max";
        } else {
            holds = false;
            rule = "-1, 0 or above 0";
        }
        grade(CHECK_FIGURES_GRANULARITY, holds ? VERDICT_PASS : VERDICT_FAIL,
              "granularity %ld with min %ld, preferred %ld, max %ld%s%s", granularity, minSize,
              preferred, maxSize, holds ? "" : "; expected ", holds ? "" : rule);
    }

    long inputs = 0, outputs = 0;
    ASIOError channels = asioGetChannels(&inputs, &outputs);
    if (checkWanted(options, CHECK_FIGURES_CHANNELS)) {
        beginCheck(CHECK_FIGURES_CHANNELS);
        if (channels != ASE_OK)
            grade(CHECK_FIGURES_CHANNELS, VERDICT_FAIL, "getChannels answered %s",
                  asioErrorName(channels, answer, sizeof answer));
        else if (inputs < 0 || outputs < 0 || inputs + outputs < 1)
            grade(CHECK_FIGURES_CHANNELS, VERDICT_FAIL, "%ld inputs, %ld outputs", inputs, outputs);
        else
            grade(CHECK_FIGURES_CHANNELS, VERDICT_PASS, "%ld inputs, %ld outputs", inputs, outputs);
    }
    if (checkWanted(options, CHECK_FIGURES_CHANNEL_INFO))
        checkChannelInfo(inputs, outputs);
    if (checkWanted(options, CHECK_FIGURES_CHANNEL_PAST_END))
        checkPastEnd(inputs, outputs);

    if (checkWanted(options, CHECK_FIGURES_CLOCKS)) {
        beginCheck(CHECK_FIGURES_CLOCKS);
        ASIOClockSource clocks[MAX_CLOCKS] = {};
        long count = MAX_CLOCKS;
        ASIOError result = asioGetClockSources(clocks, &count);
        long current = 0;
        for (long i = 0; i < count && i < MAX_CLOCKS; i++)
            current += clocks[i].isCurrentSource != 0;
        if (result != ASE_OK)
            grade(CHECK_FIGURES_CLOCKS, VERDICT_FAIL, "getClockSources answered %s",
                  asioErrorName(result, answer, sizeof answer));
        else if (count < 1 || count > MAX_CLOCKS)
            grade(CHECK_FIGURES_CLOCKS, VERDICT_FAIL, "%ld clock sources", count);
        else if (current != 1)
            grade(CHECK_FIGURES_CLOCKS, VERDICT_FAIL, "%ld clock source%s, %ld of them current", count,
                  count == 1 ? "" : "s", current);
        else
            grade(CHECK_FIGURES_CLOCKS, VERDICT_PASS, "%ld clock source%s, one current", count,
                  count == 1 ? "" : "s");
    }

    if (checkWanted(options, CHECK_FIGURES_CURRENT_RATE)) {
        beginCheck(CHECK_FIGURES_CURRENT_RATE);
        double rate = 0;
        ASIOError got = asioGetSampleRate(&rate);
        char rateText[32];
        formatRate(rate, rateText, sizeof rateText);
        ASIOError can = got == ASE_OK ? asioCanSampleRate(rate) : got;
        if (got != ASE_OK)
            grade(CHECK_FIGURES_CURRENT_RATE, VERDICT_FAIL, "getSampleRate answered %s",
                  asioErrorName(got, answer, sizeof answer));
        else if (can != ASE_OK)
            grade(CHECK_FIGURES_CURRENT_RATE, VERDICT_FAIL, "canSampleRate(%s) answered %s for the "
                  "current rate", rateText, asioErrorName(can, answer, sizeof answer));
        else
            grade(CHECK_FIGURES_CURRENT_RATE, VERDICT_PASS, "%s Hz, accepted", rateText);
    }
    closeChosenDriver();
}
