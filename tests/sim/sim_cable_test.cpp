// The loopback cable: a host that writes a pulse at a known frame of output CableOut and finds
// it on input CableIn measures the true round trip to the frame; the latencies the device reports
// add up to it, or to it plus the lie.
#include "sim_test_host.h"

#include <stdint.h>

namespace {

// Elements: inputs 0, 1, 2, then outputs 0, 1, 2. The cable runs from output 1 to input 0;
// channel 2 is looped back as any host would, and judged as ever.
struct PulseHost {
    ASIOBufferInfo infos[6];
    long frames;
    long long pulseAt;
    volatile long long foundAt;  // -1 until the pulse came back
    LONG switches;
};

PulseHost g_pulse;

void pulseSwitch(long index, long) {
    long long first = (long long)g_pulse.switches * g_pulse.frames;
    auto *cableOut = (int32_t *)g_pulse.infos[4].buffers[index];
    const auto *cableIn = (const int32_t *)g_pulse.infos[0].buffers[index];
    for (long f = 0; f < g_pulse.frames; f++) {
        cableOut[f] = first + f == g_pulse.pulseAt ? 0x40000000 : 0;
        if (g_pulse.foundAt < 0 && cableIn[f] != 0)
            g_pulse.foundAt = first + f;
    }
    memcpy(g_pulse.infos[5].buffers[index], g_pulse.infos[2].buffers[index], 4 * g_pulse.frames);
    g_pulse.switches++;
}

ASIOCallbacks g_pulseCallbacks = {pulseSwitch, nullptr, nullptr, nullptr};

}  // namespace

TEST_F(SimDeviceTest, APulseComesBackAfterTheTrueRoundTripAndTheLatenciesAddUpToIt) {
    struct Case {
        long frames, inputDelay, outputDelay, lie;
    } cases[] = {{64, 0, 0, 0}, {128, 13, 37, 0}, {96, 5, 200, -20}};
    for (const Case &c : cases) {
        SCOPED_TRACE(c.frames);
        SimConfig config;
        simDefaultConfig(&config);
        config.inputs = config.outputs = 3;
        config.preferredSize = c.frames;
        config.periodUs = 1000;
        config.cableOut = 1;
        config.cableIn = 0;
        config.inputDelay = c.inputDelay;
        config.outputDelay = c.outputDelay;
        config.latencyLie = c.lie;
        TestDevice &device = registerDevice(config);
        IASIO *driver = load(device);
        ASSERT_NE(nullptr, driver);
        const long roundTrip = 2 * c.frames + c.inputDelay + c.outputDelay;
        long input = 0, output = 0;
        EXPECT_EQ(ASE_OK, driver->getLatencies(&input, &output));
        EXPECT_EQ(roundTrip + c.lie, input + output) << "before createBuffers: the preferred size";

        memset(&g_pulse, 0, sizeof g_pulse);
        for (int i = 0; i < 6; i++) {
            g_pulse.infos[i].isInput = i < 3;
            g_pulse.infos[i].channelNum = i % 3;
        }
        g_pulse.frames = c.frames;
        g_pulse.pulseAt = 3 * c.frames + 5;
        g_pulse.foundAt = -1;
        ASSERT_EQ(ASE_OK, driver->createBuffers(g_pulse.infos, 6, c.frames, &g_pulseCallbacks));
        EXPECT_EQ(roundTrip, device.shared->trueRoundTrip);
        EXPECT_EQ(ASE_OK, driver->getLatencies(&input, &output));
        EXPECT_EQ(roundTrip + c.lie, input + output);
        EXPECT_EQ(c.frames + c.inputDelay, input);
        ASSERT_EQ(ASE_OK, driver->start());
        for (int i = 0; i < 3000 && g_pulse.foundAt < 0; i++)
            Sleep(10);
        EXPECT_EQ(ASE_OK, driver->stop());

        EXPECT_EQ(roundTrip, g_pulse.foundAt - g_pulse.pulseAt);
        EXPECT_EQ(0, device.shared->mismatches);
        EXPECT_EQ(0, device.shared->sentinelViolations);
        EXPECT_EQ(0, device.shared->guardViolations);
        driver->Release();
    }
}
