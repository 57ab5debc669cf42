// The pings of the latency command: the callback writes a short pulse into output O about twice a
// second and finds it again on input I, all within the buffer switch; the main thread only sets the
// plan before the run and watches the counts.
#include "checker/measure/timing_parts.h"

#include "engine/loopback.h"
#include "engine/sample_types.h"

#include <math.h>
#include <string.h>

PingRun pingRun;

static_assert(std::atomic<uint32_t>::is_always_lock_free && std::atomic<bool>::is_always_lock_free,
              "the callback must never wait");

// The pulse: half of full scale in the output's own format. Found where the input passes a
// quarter, after QUIET_FRAMES frames below -60 dB of full scale.
static unsigned char pulseSample[8];
const double PING_FOUND_LEVEL = 0.25;
const double PING_QUIET_LEVEL = 0.001;
static const int64_t QUIET_FRAMES = 16;

bool pingTypeSupported(long type)
{
    return (type >= ASIOST_INT16_LSB && type <= ASIOST_FLOAT64_LSB) ||
           (type >= ASIOST_INT32_LSB16 && type <= ASIOST_INT32_LSB24);
}

static void makePulseSample(long type)
{
    memset(pulseSample, 0, sizeof pulseSample);
    int32_t whole = 0;
    switch (type) {
    case ASIOST_INT16_LSB: whole = 0x4000; break;
    case ASIOST_INT24_LSB: whole = 0x400000; break;
    case ASIOST_INT32_LSB: whole = 0x40000000; break;
    case ASIOST_INT32_LSB16: whole = 0x4000; break;
    case ASIOST_INT32_LSB18: whole = 0x10000; break;
    case ASIOST_INT32_LSB20: whole = 0x40000; break;
    case ASIOST_INT32_LSB24: whole = 0x400000; break;
    case ASIOST_FLOAT32_LSB: {
        float half = 0.5f;
        memcpy(pulseSample, &half, sizeof half);
        return;
    }
    case ASIOST_FLOAT64_LSB: {
        double half = 0.5;
        memcpy(pulseSample, &half, sizeof half);
        return;
    }
    }
    memcpy(pulseSample, &whole, sizeof whole);  // little-endian: a 3-byte sample is its first 3
}

// A sample as a fraction of full scale.
static double sampleLevel(const unsigned char *at, long type)
{
    int32_t whole = 0;
    switch (type) {
    case ASIOST_INT16_LSB: {
        int16_t half;
        memcpy(&half, at, sizeof half);
        return half / 32768.0;
    }
    case ASIOST_INT24_LSB:
        whole = at[0] | (at[1] << 8) | (at[2] << 16);
        if (whole & 0x800000)
            whole -= 0x1000000;
        return whole / 8388608.0;
    case ASIOST_FLOAT32_LSB: {
        float value;
        memcpy(&value, at, sizeof value);
        return value;
    }
    case ASIOST_FLOAT64_LSB: {
        double value;
        memcpy(&value, at, sizeof value);
        return value;
    }
    }
    memcpy(&whole, at, sizeof whole);
    switch (type) {
    case ASIOST_INT32_LSB16: return whole / 32768.0;
    case ASIOST_INT32_LSB18: return whole / 131072.0;
    case ASIOST_INT32_LSB20: return whole / 524288.0;
    case ASIOST_INT32_LSB24: return whole / 8388608.0;
    }
    return whole / 2147483648.0;
}

void preparePings(const PingPlan &plan)
{
    PingRun &p = pingRun;
    p.outElement = plan.outChannel;
    p.inElement = plan.outputs + plan.inChannel;
    p.outType = plan.outType;
    p.inType = plan.inType;
    p.outBytes = lookupSampleType(plan.outType)->bytes;
    p.inBytes = lookupSampleType(plan.inType)->bytes;
    p.frames = plan.frames;
    p.wanted = plan.pings > 0 && plan.pings <= MAX_PINGS ? plan.pings : 1;
    p.intervalFrames = plan.intervalFrames;
    p.timeoutFrames = static_cast<int64_t>(plan.rate * 2 + 0.5);
    p.switchNumber.store(0);
    p.busy.store(false);
    p.nextPing = plan.firstAt;
    p.pulseStart = p.pulseEnd = -1;
    p.outstanding = false;
    p.quietFrames = 0;
    p.quietSinceSent = false;
    p.peakSinceSent = 0;
    p.windowPeak = 0;
    p.windowFrames = 0;
    p.quietestWindow = 1e9;
    p.sent = 0;
    p.resolved.store(0);
    p.lost.store(false);
    makePulseSample(plan.outType);
}

bool pingsFinished()
{
    return pingRun.lost.load() || pingRun.resolved.load() >= pingRun.wanted;
}

bool pingBuffersPresent()
{
    const CopyPlan *plan = loopbackState.plan.load(std::memory_order_acquire);
    const ASIOBufferInfo *infos = plan ? plan->bufferInfos : nullptr;
    return infos && infos[pingRun.outElement].buffers[0] && infos[pingRun.outElement].buffers[1] &&
           infos[pingRun.inElement].buffers[0] && infos[pingRun.inElement].buffers[1];
}

static void writeOutput(unsigned char *out, int64_t base, int64_t end)
{
    PingRun &p = pingRun;
    memset(out, 0, static_cast<size_t>(p.frames) * p.outBytes);
    if (!p.outstanding && p.sent < p.wanted && !p.lost.load(std::memory_order_relaxed) &&
        p.nextPing < end) {
        int64_t at = p.nextPing > base ? p.nextPing : base;
        p.sentAt[p.sent] = at;
        p.roundTrip[p.sent] = -1;
        p.sentInSwitch[p.sent] = base / p.frames + 1;  // counted from 1
        p.quietSinceSent = false;
        p.peakSinceSent = 0;
        p.quietestWindow = 1e9;
        p.sent++;
        p.outstanding = true;
        p.pulseStart = at;
        p.pulseEnd = at + PULSE_FRAMES;
        p.nextPing = at + p.intervalFrames;
    }
    // A pulse may straddle two buffers.
    int64_t from = p.pulseStart > base ? p.pulseStart : base;
    int64_t to = p.pulseEnd < end ? p.pulseEnd : end;
    for (int64_t position = from; position < to; position++)
        memcpy(out + (position - base) * p.outBytes, pulseSample, p.outBytes);
}

// The echo is the first loud frame at or after the ping's position that follows QUIET_FRAMES
// quiet ones: an input carrying anything but the cable's near-silence and the pulse never counts.
// What the input did meanwhile is kept, so that a lost ping can say why.
static void listen(const unsigned char *in, int64_t base, int64_t end)
{
    PingRun &p = pingRun;
    for (int64_t position = base; in && position < end; position++) {
        double level = fabs(sampleLevel(in + (position - base) * p.inBytes, p.inType));
        bool afterSent = p.outstanding && position >= p.sentAt[p.sent - 1];
        if (afterSent) {
            if (level > p.peakSinceSent)
                p.peakSinceSent = level;
            if (level > p.windowPeak)
                p.windowPeak = level;
            if (++p.windowFrames == QUIET_FRAMES) {
                if (p.windowPeak < p.quietestWindow)
                    p.quietestWindow = p.windowPeak;
                p.windowPeak = 0;
                p.windowFrames = 0;
            }
            if (p.quietFrames >= QUIET_FRAMES)
                p.quietSinceSent = true;
        }
        if (level > PING_FOUND_LEVEL && afterSent && p.quietFrames >= QUIET_FRAMES) {
            p.roundTrip[p.sent - 1] = position - p.sentAt[p.sent - 1];
            p.outstanding = false;
            p.resolved.fetch_add(1);
        }
        p.quietFrames = level < PING_QUIET_LEVEL ? p.quietFrames + 1 : 0;
    }
    if (p.outstanding && end - p.sentAt[p.sent - 1] > p.timeoutFrames) {
        p.outstanding = false;
        p.lost.store(true);
        p.resolved.fetch_add(1);
    }
}

void pingBufferSwitch(long index, ASIOBool directProcess)
{
    int64_t before = switchTicks();
    onBufferSwitch(index, directProcess);
    const CopyPlan *plan = loopbackState.plan.load(std::memory_order_acquire);
    const ASIOBufferInfo *infos = plan ? plan->bufferInfos : nullptr;
    if (infos && (index == 0 || index == 1)) {
        PingRun &p = pingRun;
        int64_t base = static_cast<int64_t>(p.switchNumber.fetch_add(1, std::memory_order_relaxed)) *
                       p.frames;
        int64_t end = base + p.frames;
        unsigned char *out = static_cast<unsigned char *>(infos[p.outElement].buffers[index]);
        // The pings' state is one callback's at a time: a callback that comes while another is
        // inside (a driver calling back from two threads at once) plays silence and listens to
        // nothing, and never waits.
        if (!p.busy.exchange(true, std::memory_order_acquire)) {
            if (out)
                writeOutput(out, base, end);
            listen(static_cast<const unsigned char *>(infos[p.inElement].buffers[index]), base, end);
            p.busy.store(false, std::memory_order_release);
        } else if (out) {
            memset(out, 0, static_cast<size_t>(p.frames) * p.outBytes);
        }
    }
    recordArrival(before, switchTicks());
}
