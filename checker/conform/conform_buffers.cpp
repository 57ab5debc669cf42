// The buffers phase: what a driver does with the buffers a host asks for.
#include "checker/conform/phases.h"

#include "drivers/driver_loading.h"
#include "engine/loopback.h"
#include "engine/sample_types.h"

#include <algorithm>
#include <math.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <vector>

// One request for buffers of every channel, with the bytes each half of a channel must hold.
struct BufferRequest {
    std::vector<ASIOBufferInfo> infos;
    std::vector<long> sampleBytes;
};

static void makeRequest(long inputs, long outputs, BufferRequest *request)
{
    inputs = std::max(0L, std::min<long>(inputs, MAX_LISTED_CHANNELS));
    outputs = std::max(0L, std::min<long>(outputs, MAX_LISTED_CHANNELS));
    request->infos.assign(inputs + outputs, ASIOBufferInfo());
    request->sampleBytes.assign(inputs + outputs, 0);
    for (long i = 0; i < inputs + outputs; i++) {
        ASIOBufferInfo &info = request->infos[i];
        info.isInput = i < outputs ? 0 : 1;
        info.channelNum = i < outputs ? i : i - outputs;
        ASIOChannelInfo channel = {};
        channel.channel = info.channelNum;
        channel.isInput = info.isInput;
        channel.type = -1;
        asioGetChannelInfo(&channel);
        // An unknown type still has a buffer: at least a byte a sample, so sharing shows.
        request->sampleBytes[i] = std::max(1, lookupSampleType(channel.type)->bytes);
    }
}

static ASIOError createFor(BufferRequest *request, long size)
{
    for (ASIOBufferInfo &info : request->infos)
        info.buffers[0] = info.buffers[1] = nullptr;
    return asioCreateBuffers(request->infos.data(), static_cast<long>(request->infos.size()), size,
                             const_cast<ASIOCallbacks *>(&conformCallbacks));
}

// Every half set, and no two halves sharing a byte. The first fault in `why`.
static bool buffersSound(const BufferRequest &request, long size, char *why, size_t whySize)
{
    struct Span {
        uintptr_t from, to;
        size_t element;
        int half;
    };
    std::vector<Span> spans;
    for (size_t i = 0; i < request.infos.size(); i++) {
        const ASIOBufferInfo &info = request.infos[i];
        for (int half = 0; half < 2; half++) {
            if (!info.buffers[half]) {
                snprintf(why, whySize, "%s %ld has no address for half %d",
                         info.isInput ? "input" : "output", info.channelNum, half);
                return false;
            }
            uintptr_t from = reinterpret_cast<uintptr_t>(info.buffers[half]);
            spans.push_back({from, from + static_cast<uintptr_t>(request.sampleBytes[i]) * size, i, half});
        }
    }
    std::sort(spans.begin(), spans.end(), [](const Span &a, const Span &b) { return a.from < b.from; });
    for (size_t k = 1; k < spans.size(); k++) {
        if (spans[k].from < spans[k - 1].to) {
            const ASIOBufferInfo &a = request.infos[spans[k - 1].element];
            const ASIOBufferInfo &b = request.infos[spans[k].element];
            snprintf(why, whySize, "%s %ld half %d and %s %ld half %d %s at %ld frames",
                     a.isInput ? "input" : "output", a.channelNum, spans[k - 1].half,
                     b.isInput ? "input" : "output", b.channelNum, spans[k].half,
                     spans[k].from == spans[k - 1].from ? "share one buffer" : "overlap", size);
            return false;
        }
    }
    return true;
}

// What the sizes tried so far found: whether each of their checks has its fault, how many sizes
// were made, and the latencies at the last size made.
struct SizeTrial {
    bool sizesFailed, pointersFailed, latencyFailed, latencyWarned;
    int made;
    long previousIn, previousOut, previousSize;
};

// The latencies at a size the buffers were made at, against those at the size before.
static void gradeLatencies(long size, SizeTrial *trial)
{
    long in = 0, out = 0;
    ASIOError latencies = asioGetLatencies(&in, &out);
    if (latencies != ASE_OK) {
        if (!trial->latencyFailed)
            answered(CHECK_BUFFERS_LATENCIES, latencies, "getLatencies at %ld frames", size);
        trial->latencyFailed = true;
        return;
    }
    if (!trial->latencyFailed && trial->previousIn >= 0 &&
        (in < trial->previousIn || out < trial->previousOut)) {
        grade(CHECK_BUFFERS_LATENCIES, VERDICT_FAIL, "latencies shrink as the buffer grows: input %ld, "
              "output %ld at %ld frames; input %ld, output %ld at %ld frames", trial->previousIn,
              trial->previousOut, trial->previousSize, in, out, size);
        trial->latencyFailed = true;
    }
    if (!trial->latencyWarned && (in < size || out < size)) {
        grade(CHECK_BUFFERS_LATENCIES, VERDICT_WARN, "input %ld, output %ld frames at a buffer of %ld: "
              "less than one buffer", in, out, size);
        trial->latencyWarned = true;
    }
    trial->previousIn = in;
    trial->previousOut = out;
    trial->previousSize = size;
}

// createBuffers at one size; when it succeeded, the buffers and the latencies graded (those wanted),
// then disposed.
static void trySize(BufferRequest *request, long size, SizeTrial *trial)
{
    char why[200];
    setConformStage(STAGE_CREATING);
    ASIOError created = createFor(request, size);
    setConformStage(STAGE_IDLE);
    if (created != ASE_OK) {
        if (!trial->sizesFailed)
            answered(CHECK_BUFFERS_SIZES, created, "createBuffers(%ld frames)", size);
        trial->sizesFailed = true;
        return;
    }
    trial->made++;
    if (wanted(CHECK_BUFFERS_POINTERS) && !trial->pointersFailed &&
        !buffersSound(*request, size, why, sizeof why)) {
        grade(CHECK_BUFFERS_POINTERS, VERDICT_FAIL, "%s", why);
        trial->pointersFailed = true;
    }
    if (wanted(CHECK_BUFFERS_LATENCIES))
        gradeLatencies(size, trial);
    asioDisposeBuffers();
}

// What the phase read before its first check: the sizes and the channels.
struct BufferFigures {
    ASIOError sizesResult, channelsResult;
    long minSize, maxSize, preferred, granularity, inputs, outputs;
};

// The sizes the driver allows, in `sizes`; 0 with why none can be tried.
static int sizesToTry(const BufferFigures &b, long *sizes, int room, char *why, size_t whySize)
{
    char answer[32];
    int count = 0;
    if (b.sizesResult != ASE_OK)
        snprintf(why, whySize, "getBufferSize answered %s: no size to try",
                 asioErrorName(b.sizesResult, answer, sizeof answer));
    else if (b.channelsResult != ASE_OK)
        snprintf(why, whySize, "getChannels answered %s: no channel to make buffers for",
                 asioErrorName(b.channelsResult, answer, sizeof answer));
    else if (std::max(b.inputs, 0L) + std::max(b.outputs, 0L) == 0)
        snprintf(why, whySize, "getChannels gave %ld inputs, %ld outputs: no channel to make buffers for",
                 b.inputs, b.outputs);
    else if (b.minSize > 0 && b.preferred > 0 && b.maxSize > 0)
        count = allowedBufferSizes(b.minSize, b.maxSize, b.preferred, b.granularity, sizes, room);
    if (count == 0 && b.sizesResult == ASE_OK && b.channelsResult == ASE_OK && !why[0])
        snprintf(why, whySize, "getBufferSize gave min %ld, preferred %ld, max %ld, granularity %ld: no "
                 "size above 0 to try", b.minSize, b.preferred, b.maxSize, b.granularity);
    return count;
}

// The sizes, pointers and latencies checks, graded together: the buffers made at every allowed size.
static void checkSizes(const BufferFigures &b, BufferRequest *request)
{
    long sizes[16];
    char why[200] = "";
    int count = sizesToTry(b, sizes, 16, why, sizeof why);
    SizeTrial trial = {false, false, false, false, 0, -1, -1, 0};
    for (int k = 0; k < count; k++)
        trySize(request, sizes[k], &trial);
    if (count == 0)
        grade(CHECK_BUFFERS_SIZES, VERDICT_FAIL, "%s", why);
    else if (!trial.made)
        snprintf(why, sizeof why, "no createBuffers succeeded: no buffers to judge");
    if (!trial.made) {
        // An empty request would pass both: nothing was made to judge.
        nothingToJudge(CHECK_BUFFERS_POINTERS, CHECK_BUFFERS_SIZES, why);
        nothingToJudge(CHECK_BUFFERS_LATENCIES, CHECK_BUFFERS_SIZES, why);
        return;
    }
    if (!trial.sizesFailed) {
        char list[160] = "";
        for (int k = 0; k < count; k++)
            snprintf(list + strlen(list), sizeof list - strlen(list), "%s%ld", k ? ", " : "", sizes[k]);
        grade(CHECK_BUFFERS_SIZES, VERDICT_PASS, "created at %s frames", list);
    }
    if (!trial.pointersFailed)
        grade(CHECK_BUFFERS_POINTERS, VERDICT_PASS, "%zu channels at %d sizes, every half set and apart",
              request->infos.size(), trial.made);
    if (!trial.latencyFailed && !trial.latencyWarned)
        grade(CHECK_BUFFERS_LATENCIES, VERDICT_PASS, "at least a buffer each, growing with the buffer, at "
              "%d sizes", trial.made);
}

// createBuffers after a dispose at the preferred size; the buffers are left made. Its answer.
static ASIOError checkRecreate(BufferRequest *request, long preferred)
{
    beginCheck(CHECK_BUFFERS_RECREATE);
    ASIOError first = createFor(request, preferred);
    asioDisposeBuffers();
    ASIOError again = createFor(request, preferred);
    if (answered(CHECK_BUFFERS_RECREATE, first, "createBuffers(%ld frames)", preferred) &&
        answered(CHECK_BUFFERS_RECREATE, again, "after disposeBuffers, createBuffers(%ld frames)",
                 preferred))
        grade(CHECK_BUFFERS_RECREATE, VERDICT_PASS, "disposed and created again at %ld frames", preferred);
    return again;
}

// A second request without disposeBuffers, in `second`, over the buffers that the createBuffers
// answering `made` left at the preferred size.
static void checkDoubleCreate(const BufferFigures &b, ASIOError made, BufferRequest *second)
{
    char answer[32], why[160];
    if (made != ASE_OK) {
        snprintf(why, sizeof why, "createBuffers(%ld frames) answered %s: no buffers to create again over",
                 b.preferred, asioErrorName(made, answer, sizeof answer));
        nothingToJudge(CHECK_BUFFERS_DOUBLE_CREATE, CHECK_BUFFERS_RECREATE, why);
        return;
    }
    makeRequest(b.inputs, b.outputs, second);
    ASIOError twice = createFor(second, b.preferred);
    asioDisposeBuffers();
    grade(CHECK_BUFFERS_DOUBLE_CREATE, VERDICT_PASS, "a second createBuffers without disposeBuffers "
          "answered %s (%s)", asioErrorName(twice, answer, sizeof answer),
          twice == ASE_OK ? "handled" : "refused");
}

// The checks at the preferred size, after the sizes: not run when no size can be tried. The double
// create goes over the recreate check's buffers, or over its own when that is skipped.
static void checkAtPreferred(const BufferFigures &b, BufferRequest *request, BufferRequest *second)
{
    long sizes[16];
    char why[200] = "";
    if (sizesToTry(b, sizes, 16, why, sizeof why) == 0) {
        nothingToJudge(CHECK_BUFFERS_RECREATE, CHECK_BUFFERS_SIZES, why);
        nothingToJudge(CHECK_BUFFERS_DOUBLE_CREATE, CHECK_BUFFERS_SIZES, why);
        return;
    }
    ASIOError made = ASE_NotPresent;
    if (wanted(CHECK_BUFFERS_RECREATE))
        made = checkRecreate(request, b.preferred);
    if (wanted(CHECK_BUFFERS_DOUBLE_CREATE)) {
        beginCheck(CHECK_BUFFERS_DOUBLE_CREATE);
        if (!wanted(CHECK_BUFFERS_RECREATE))
            made = createFor(request, b.preferred);
        checkDoubleCreate(b, made, second);
    }
    asioDisposeBuffers();
}

void conformBuffers(const CheckerOptions &options, int index)
{
    if (!openForPhase(options, index, PHASE_BUFFERS))
        return;
    BufferFigures b = {};
    b.sizesResult = asioGetBufferSize(&b.minSize, &b.maxSize, &b.preferred, &b.granularity);
    b.channelsResult = asioGetChannels(&b.inputs, &b.outputs);
    // Both requests outlive the object: the driver was handed their records.
    BufferRequest request, second;
    makeRequest(b.channelsResult == ASE_OK ? b.inputs : 0, b.channelsResult == ASE_OK ? b.outputs : 0,
                &request);
    beginConformRun(false, false, false);
    if (beginFirstWanted({CHECK_BUFFERS_SIZES, CHECK_BUFFERS_POINTERS, CHECK_BUFFERS_LATENCIES}))
        checkSizes(b, &request);
    if (beginFirstWanted({CHECK_BUFFERS_RECREATE, CHECK_BUFFERS_DOUBLE_CREATE}))
        checkAtPreferred(b, &request, &second);
    closeConformDriver();
}
