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

// What the sizes tried so far found: whether each of their checks has its fault, and the latencies
// at the last size created.
struct SizeTrial {
    bool sizesFailed, pointersFailed, latencyFailed, latencyWarned;
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

// createBuffers at one size; when it succeeded, the buffers and the latencies graded, then disposed.
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
    if (!trial->pointersFailed && !buffersSound(*request, size, why, sizeof why)) {
        grade(CHECK_BUFFERS_POINTERS, VERDICT_FAIL, "%s", why);
        trial->pointersFailed = true;
    }
    gradeLatencies(size, trial);
    asioDisposeBuffers();
}

// The sizes, pointers and latencies checks, graded together: the buffers made at every allowed size.
static void checkSizes(long minSize, long maxSize, long preferred, long granularity,
                       BufferRequest *request)
{
    long sizes[16];
    int count = allowedBufferSizes(minSize, maxSize, preferred, granularity, sizes, 16);
    beginCheck(CHECK_BUFFERS_SIZES);
    SizeTrial trial = {false, false, false, false, -1, -1, 0};
    for (int k = 0; k < count; k++)
        trySize(request, sizes[k], &trial);
    if (!trial.sizesFailed) {
        char list[160] = "";
        for (int k = 0; k < count; k++)
            snprintf(list + strlen(list), sizeof list - strlen(list), "%s%ld", k ? ", " : "", sizes[k]);
        grade(CHECK_BUFFERS_SIZES, VERDICT_PASS, "created at %s frames", list);
    }
    if (!trial.pointersFailed)
        grade(CHECK_BUFFERS_POINTERS, VERDICT_PASS, "%zu channels, every half set and apart",
              request->infos.size());
    if (!trial.latencyFailed && !trial.latencyWarned)
        grade(CHECK_BUFFERS_LATENCIES, VERDICT_PASS, "at least a buffer each, growing with the buffer");
}

static void checkRecreate(BufferRequest *request, long preferred)
{
    beginCheck(CHECK_BUFFERS_RECREATE);
    ASIOError first = createFor(request, preferred);
    asioDisposeBuffers();
    ASIOError again = createFor(request, preferred);
    if (answered(CHECK_BUFFERS_RECREATE, first, "createBuffers(%ld frames)", preferred) &&
        answered(CHECK_BUFFERS_RECREATE, again, "after disposeBuffers, createBuffers(%ld frames)",
                 preferred))
        grade(CHECK_BUFFERS_RECREATE, VERDICT_PASS, "disposed and created again at %ld frames", preferred);
}

// The buffers of the recreate check are still made: a second request without disposeBuffers, in
// `second`.
static void checkDoubleCreate(long inputs, long outputs, long preferred, BufferRequest *second)
{
    beginCheck(CHECK_BUFFERS_DOUBLE_CREATE);
    char answer[32];
    makeRequest(inputs, outputs, second);
    ASIOError twice = createFor(second, preferred);
    asioDisposeBuffers();
    grade(CHECK_BUFFERS_DOUBLE_CREATE, VERDICT_PASS, "a second createBuffers without disposeBuffers "
          "answered %s (%s)", asioErrorName(twice, answer, sizeof answer),
          twice == ASE_OK ? "handled" : "refused");
}

void conformBuffers(const CheckerOptions &options, int index)
{
    if (!openForPhase(options, index, PHASE_BUFFERS))
        return;
    long minSize = 0, maxSize = 0, preferred = 0, granularity = 0, inputs = 0, outputs = 0;
    asioGetBufferSize(&minSize, &maxSize, &preferred, &granularity);
    asioGetChannels(&inputs, &outputs);
    // Both requests outlive the object: the driver was handed their records.
    BufferRequest request, second;
    makeRequest(inputs, outputs, &request);
    resetConformSwitches(options.seconds, preferred, false);
    checkSizes(minSize, maxSize, preferred, granularity, &request);
    checkRecreate(&request, preferred);
    checkDoubleCreate(inputs, outputs, preferred, &second);
    closeChosenDriver();
}
