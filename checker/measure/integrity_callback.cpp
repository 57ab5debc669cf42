// The integrity run's callbacks: the sequence written on output O, input I's buffer handed to the
// ring, every switch timed.
#include "checker/measure/measure.h"

#include "engine/loopback.h"

IntegrityPlan integrityPlan;

static void integrityBufferSwitch(long index, ASIOBool directProcess)
{
    int64_t before = switchTicks();
    onBufferSwitch(index, directProcess);
    const CopyPlan *copies = loopbackState.plan.load(std::memory_order_acquire);
    const ASIOBufferInfo *infos = copies ? copies->bufferInfos : nullptr;
    const IntegrityPlan &plan = integrityPlan;
    if (infos && (index == 0 || index == 1)) {
        // The claim is this callback's switch number, whichever thread it comes on.
        const uint32_t number = claimRingBlock(plan.ring);
        void *out = infos[plan.outElement].buffers[index];
        const void *in = infos[plan.inElement].buffers[index];
        if (out)
            writeSequence(out, plan.outType, static_cast<int64_t>(number) * plan.frames, plan.frames);
        fillRingBlock(plan.ring, number, in, plan.inBytes, before);
    }
    recordArrival(before, switchTicks());
}

static ASIOTime *integrityTimeInfoSwitch(ASIOTime *params, long index, ASIOBool directProcess)
{
    messageCounts.timeInfoSwitches.fetch_add(1, std::memory_order_relaxed);
    integrityBufferSwitch(index, directProcess);
    return params;
}

const ASIOCallbacks integrityCallbacks = {
    integrityBufferSwitch,
    checkerSampleRateDidChange,
    checkerAsioMessage,
    integrityTimeInfoSwitch,
};
