// The integrity run's callbacks: each output's sequence written, every input's buffer handed to the
// ring in one block, every switch timed.
#include "checker/measure/integrity_parts.h"

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
        const int64_t position = static_cast<int64_t>(number) * plan.frames;
        for (int o = 0; o < plan.outputs; o++) {
            void *out = infos[plan.outElements[o]].buffers[index];
            if (out)
                writeSequence(out, plan.outTypes[o], plan.outKeys[o], position, plan.frames);
        }
        const void *parts[MAX_ROUTE_CHANNELS];
        for (int i = 0; i < plan.inputs; i++)
            parts[i] = infos[plan.inElements[i]].buffers[index];
        fillRingBlockParts(plan.ring, number, parts, plan.inBytes, plan.inputs, before);
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
