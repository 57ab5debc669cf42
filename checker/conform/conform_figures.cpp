// The figures phase: what a driver says about itself before any buffer exists.
#include "checker/conform/phases.h"

#include "drivers/driver_loading.h"
#include "engine/sample_types.h"

#include <algorithm>
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

// What getChannels answered.
struct ChannelCounts {
    ASIOError result;
    long inputs, outputs;
};

// Why the channels cannot be asked about, for a check that needs `need` of them: "" when they can.
static const char *noChannels(const ChannelCounts &counts, long need, char *why, size_t size)
{
    char answer[32];
    why[0] = '\0';
    if (counts.result != ASE_OK)
        snprintf(why, size, "getChannels answered %s: no channel count to go by",
                 asioErrorName(counts.result, answer, sizeof answer));
    else if (std::max(counts.inputs, 0L) + std::max(counts.outputs, 0L) < need)
        snprintf(why, size, "getChannels gave %ld inputs, %ld outputs: no channel to ask about",
                 counts.inputs, counts.outputs);
    else if (counts.inputs < 0 && counts.outputs < 0)
        snprintf(why, size, "getChannels gave counts below 0: no channel past the last to ask about");
    return why;
}

static void checkChannelInfo(const ChannelCounts &counts)
{
    beginCheck(CHECK_FIGURES_CHANNEL_INFO);
    char why[160];
    if (*noChannels(counts, 1, why, sizeof why)) {
        nothingToJudge(CHECK_FIGURES_CHANNEL_INFO, CHECK_FIGURES_CHANNELS, why);
        return;
    }
    long inputs = counts.inputs, outputs = counts.outputs;
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

static void checkPastEnd(const ChannelCounts &counts)
{
    beginCheck(CHECK_FIGURES_CHANNEL_PAST_END);
    char answer[32], why[160];
    // No channel is needed: a driver without any still refuses channel 0.
    if (*noChannels(counts, 0, why, sizeof why)) {
        nothingToJudge(CHECK_FIGURES_CHANNEL_PAST_END, CHECK_FIGURES_CHANNELS, why);
        return;
    }
    long inputs = counts.inputs, outputs = counts.outputs;
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
    char answer[32], why[160];
    if (s.result != ASE_OK || s.minSize <= 0 || s.preferred <= 0 || s.maxSize <= 0) {
        if (s.result != ASE_OK)
            snprintf(why, sizeof why, "getBufferSize answered %s: no sizes to hold the rule against",
                     asioErrorName(s.result, answer, sizeof answer));
        else
            snprintf(why, sizeof why, "min %ld, preferred %ld, max %ld: no size above 0 to hold the rule "
                     "against", s.minSize, s.preferred, s.maxSize);
        nothingToJudge(CHECK_FIGURES_GRANULARITY, CHECK_FIGURES_BUFFER_SIZES, why);
        return;
    }
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

static void checkChannels(const ChannelCounts &c)
{
    beginCheck(CHECK_FIGURES_CHANNELS);
    if (!answered(CHECK_FIGURES_CHANNELS, c.result, "getChannels"))
        return;
    bool counted = c.inputs >= 0 && c.outputs >= 0 && c.inputs + c.outputs >= 1;
    grade(CHECK_FIGURES_CHANNELS, counted ? VERDICT_PASS : VERDICT_FAIL, "%ld inputs, %ld outputs",
          c.inputs, c.outputs);
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
    if (beginFirstWanted({CHECK_FIGURES_BUFFER_SIZES, CHECK_FIGURES_GRANULARITY})) {
        SizeFigures sizes = {};
        sizes.result = asioGetBufferSize(&sizes.minSize, &sizes.maxSize, &sizes.preferred,
                                         &sizes.granularity);
        if (wanted(CHECK_FIGURES_BUFFER_SIZES))
            checkBufferSizes(sizes);
        if (wanted(CHECK_FIGURES_GRANULARITY))
            checkGranularity(sizes);
    }
    if (beginFirstWanted({CHECK_FIGURES_CHANNELS, CHECK_FIGURES_CHANNEL_INFO,
                          CHECK_FIGURES_CHANNEL_PAST_END})) {
        ChannelCounts counts = {};
        counts.result = asioGetChannels(&counts.inputs, &counts.outputs);
        if (wanted(CHECK_FIGURES_CHANNELS))
            checkChannels(counts);
        if (wanted(CHECK_FIGURES_CHANNEL_INFO))
            checkChannelInfo(counts);
        if (wanted(CHECK_FIGURES_CHANNEL_PAST_END))
            checkPastEnd(counts);
    }
    if (wanted(CHECK_FIGURES_CLOCKS))
        checkClocks();
    if (wanted(CHECK_FIGURES_CURRENT_RATE))
        checkCurrentRate();
    closeChosenDriver();
}
