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
    char why[160];
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
            if (!answered(CHECK_FIGURES_CHANNEL_INFO, result, "getChannelInfo(%s %ld)", side,
                          channel))
                return;
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

// What getBufferSize answered.
struct SizeFigures {
    ASIOError result;
    long minSize, maxSize, preferred, granularity;
};

static void checkBufferSizes(const SizeFigures &s)
{
    beginCheck(CHECK_FIGURES_BUFFER_SIZES);
    if (!answered(CHECK_FIGURES_BUFFER_SIZES, s.result, "getBufferSize"))
        return;
    if (s.minSize <= 0 || s.preferred <= 0 || s.maxSize <= 0 || s.minSize > s.preferred ||
        s.preferred > s.maxSize) {
        grade(CHECK_FIGURES_BUFFER_SIZES, VERDICT_FAIL,
              "min %ld, preferred %ld, max %ld: expected 0 < min <= preferred <= max", s.minSize,
              s.preferred, s.maxSize);
    } else {
        grade(CHECK_FIGURES_BUFFER_SIZES, VERDICT_PASS, "min %ld, preferred %ld, max %ld", s.minSize,
              s.preferred, s.maxSize);
    }
}

static void checkGranularity(const SizeFigures &s)
{
    beginCheck(CHECK_FIGURES_GRANULARITY);
    bool holds;
    const char *rule;
    if (s.granularity == -1 || s.granularity > 0) {
        holds = sizeOnGrid(s.minSize, s.minSize, s.granularity) &&
                sizeOnGrid(s.maxSize, s.minSize, s.granularity) &&
                sizeOnGrid(s.preferred, s.minSize, s.granularity);
        rule = s.granularity == -1 ? "-1: min, max and preferred powers of two"
                                   : "above 0: max and preferred min plus a multiple of it";
    } else if (s.granularity == 0) {
        holds = s.minSize == s.maxSize;
        rule = "0: min = max";
    } else {
        holds = false;
        rule = "-1, 0 or above 0";
    }
    grade(CHECK_FIGURES_GRANULARITY, holds ? VERDICT_PASS : VERDICT_FAIL,
          "granularity %ld with min %ld, preferred %ld, max %ld%s%s", s.granularity, s.minSize,
          s.preferred, s.maxSize, holds ? "" : "; expected ", holds ? "" : rule);
}

static void checkChannels(ASIOError result, long inputs, long outputs)
{
    beginCheck(CHECK_FIGURES_CHANNELS);
    if (!answered(CHECK_FIGURES_CHANNELS, result, "getChannels"))
        return;
    bool counted = inputs >= 0 && outputs >= 0 && inputs + outputs >= 1;
    grade(CHECK_FIGURES_CHANNELS, counted ? VERDICT_PASS : VERDICT_FAIL, "%ld inputs, %ld outputs",
          inputs, outputs);
}

static void checkClocks()
{
    beginCheck(CHECK_FIGURES_CLOCKS);
    ASIOClockSource clocks[MAX_CLOCKS] = {};
    long count = MAX_CLOCKS;
    ASIOError result = asioGetClockSources(clocks, &count);
    long current = 0;
    for (long i = 0; i < count && i < MAX_CLOCKS; i++)
        current += clocks[i].isCurrentSource != 0;
    if (!answered(CHECK_FIGURES_CLOCKS, result, "getClockSources"))
        return;
    if (count < 1 || count > MAX_CLOCKS)
        grade(CHECK_FIGURES_CLOCKS, VERDICT_FAIL, "%ld clock sources", count);
    else if (current != 1)
        grade(CHECK_FIGURES_CLOCKS, VERDICT_FAIL, "%ld clock source%s, %ld of them current", count,
              count == 1 ? "" : "s", current);
    else
        grade(CHECK_FIGURES_CLOCKS, VERDICT_PASS, "%ld clock source%s, one current", count,
              count == 1 ? "" : "s");
}

static void checkCurrentRate()
{
    beginCheck(CHECK_FIGURES_CURRENT_RATE);
    double rate = 0;
    ASIOError got = asioGetSampleRate(&rate);
    char rateText[32], answer[32];
    formatRate(rate, rateText, sizeof rateText);
    ASIOError can = got == ASE_OK ? asioCanSampleRate(rate) : got;
    if (!answered(CHECK_FIGURES_CURRENT_RATE, got, "getSampleRate"))
        return;
    if (can != ASE_OK)
        grade(CHECK_FIGURES_CURRENT_RATE, VERDICT_FAIL, "canSampleRate(%s) answered %s for the "
              "current rate", rateText, asioErrorName(can, answer, sizeof answer));
    else
        grade(CHECK_FIGURES_CURRENT_RATE, VERDICT_PASS, "%s Hz, accepted", rateText);
}

void conformFigures(const CheckerOptions &options, int index)
{
    if (!openForPhase(options, index, PHASE_FIGURES))
        return;
    SizeFigures sizes = {};
    sizes.result = asioGetBufferSize(&sizes.minSize, &sizes.maxSize, &sizes.preferred,
                                     &sizes.granularity);
    if (checkWanted(options, CHECK_FIGURES_BUFFER_SIZES))
        checkBufferSizes(sizes);
    if (checkWanted(options, CHECK_FIGURES_GRANULARITY))
        checkGranularity(sizes);
    long inputs = 0, outputs = 0;
    ASIOError channels = asioGetChannels(&inputs, &outputs);
    if (checkWanted(options, CHECK_FIGURES_CHANNELS))
        checkChannels(channels, inputs, outputs);
    if (checkWanted(options, CHECK_FIGURES_CHANNEL_INFO))
        checkChannelInfo(inputs, outputs);
    if (checkWanted(options, CHECK_FIGURES_CHANNEL_PAST_END))
        checkPastEnd(inputs, outputs);
    if (checkWanted(options, CHECK_FIGURES_CLOCKS))
        checkClocks();
    if (checkWanted(options, CHECK_FIGURES_CURRENT_RATE))
        checkCurrentRate();
    closeChosenDriver();
}
