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
    IntegrityPlan &plan = integrityPlan;
    if (infos && (index == 0 || index == 1)) {
        void *out = infos[plan.outElement].buffers[index];
        const void *in = infos[plan.inElement].buffers[index];
        if (out)
            writeSequence(out, plan.outType, plan.switchNumber * plan.frames, plan.frames);
        if (in)
            appendRingBlock(plan.ring, in, plan.inBytes, plan.switchNumber, before);
        plan.switchNumber++;
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
