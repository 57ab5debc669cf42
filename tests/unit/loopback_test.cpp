// The buffer-switch callback against buffers of the test's own, with no driver loaded: the copy,
// the figures a driver may get wrong, and the count shared between two threads.
#include "drivers/driver_loading.h"
#include "engine/loopback.h"

#include <gtest/gtest.h>
#include <string.h>
#include <thread>
#include <vector>

namespace {

struct Channel {
    std::vector<unsigned char> half[2];
};

class LoopbackTest : public ::testing::Test {
protected:
    void SetUp() override { activeDriver = nullptr; }
    void TearDown() override { stopLoopback(nullptr); }

    // Starts with no driver (no window either), then hands out buffers as a driver would.
    void start(int inputs, int outputs, int preferredSize, int sampleBytes, size_t bufferBytes)
    {
        loopbackState.inputChannels = inputs;
        loopbackState.outputChannels = outputs;
        loopbackState.preferredSize = preferredSize;
        loopbackState.sampleBytes = sampleBytes;
        startLoopback(nullptr);
        ins.assign(inputs > 0 ? inputs : 0, Channel());
        outs.assign(outputs > 0 ? outputs : 0, Channel());
        if (!loopbackState.bufferInfos)
            return;
        for (int i = 0; i < outputs; i++)
            hand(&outs[i], &loopbackState.bufferInfos[i], 0xEE, bufferBytes);
        for (int i = 0; i < inputs; i++)
            hand(&ins[i], &loopbackState.bufferInfos[outputs + i], 0x10 + i, bufferBytes);
    }
    static void hand(Channel *channel, ASIOBufferInfo *info, int fill, size_t bytes)
    {
        for (int h = 0; h < 2; h++) {
            channel->half[h].assign(bytes, static_cast<unsigned char>(fill + h));
            info->buffers[h] = channel->half[h].data();
        }
    }
    static size_t bytesEqualTo(const std::vector<unsigned char> &v, int value)
    {
        size_t n = 0;
        for (unsigned char b : v)
            n += b == value;
        return n;
    }
    std::vector<Channel> ins, outs;
};

TEST_F(LoopbackTest, CopiesInputIToOutputIForTheCommonChannelsOnly)
{
    start(2, 4, 256, 3, 1024);
    ASSERT_NE(loopbackState.bufferInfos, nullptr);
    EXPECT_EQ(loopbackState.bufferInfos[3].isInput, 0);
    EXPECT_EQ(loopbackState.bufferInfos[3].channelNum, 3);
    EXPECT_EQ(loopbackState.bufferInfos[5].isInput, 1);
    EXPECT_EQ(loopbackState.bufferInfos[5].channelNum, 1);

    onBufferSwitch(1, 1);
    // 256 frames x 3 bytes from each input's half 1; nothing more, nothing of half 0.
    EXPECT_EQ(bytesEqualTo(outs[0].half[1], 0x11), 768u);
    EXPECT_EQ(bytesEqualTo(outs[1].half[1], 0x12), 768u);
    EXPECT_EQ(outs[0].half[1][768], 0xEF);
    EXPECT_EQ(bytesEqualTo(outs[0].half[0], 0xEE), 1024u);
    EXPECT_EQ(bytesEqualTo(outs[2].half[1], 0xEF), 1024u);
    EXPECT_EQ(bytesEqualTo(outs[3].half[1], 0xEF), 1024u);
    EXPECT_EQ(loopbackState.switchCount.load(), 1);
}

TEST_F(LoopbackTest, MoreInputsThanOutputsReadsOnlyThoseWithAnOutput)
{
    start(4, 2, 64, 4, 256);
    onBufferSwitch(0, 1);
    EXPECT_EQ(bytesEqualTo(outs[0].half[0], 0x10), 256u);
    EXPECT_EQ(bytesEqualTo(outs[1].half[0], 0x11), 256u);
}

TEST_F(LoopbackTest, BadIndexesAndNullAddressesAreCountedButNotTouched)
{
    start(2, 2, 16, 4, 64);
    loopbackState.bufferInfos[0].buffers[0] = nullptr;  // output 0 half 0 missing
    loopbackState.bufferInfos[3].buffers[1] = nullptr;  // input 1 half 1 missing
    onBufferSwitch(0, 1);
    onBufferSwitch(1, 1);
    onBufferSwitch(2, 1);
    onBufferSwitch(-1, 1);
    EXPECT_EQ(loopbackState.switchCount.load(), 4);
    EXPECT_EQ(bytesEqualTo(outs[1].half[0], 0x11), 64u);  // the healthy pair still copies
    EXPECT_EQ(bytesEqualTo(outs[0].half[1], 0x10 + 1), 64u);
    EXPECT_EQ(bytesEqualTo(outs[1].half[1], 0xEF), 64u);
}

TEST_F(LoopbackTest, HostileFiguresLeaveASafeState)
{
    struct Figures {
        int inputs, outputs, preferred, bytes;
        bool array;
        size_t copy;
    } cases[] = {
        {2, 2, 0, 4, true, 0},
        {2, 2, -256, 4, true, 0},
        {2, 2, 256, 0, true, 0},              // unknown sample type
        {2, 2, INT32_MAX, 8, true, 0},        // copy length beyond 32 bits
        {-3, 2, 256, 4, true, 1024},          // negative inputs: outputs only
        {2, -3, 256, 4, true, 1024},
        {-1, -1, 256, 4, false, 0},
        {0, 0, 256, 4, false, 0},
        {INT32_MAX, INT32_MAX, 256, 4, false, 0},  // would wrap a 32-bit count
        {INT32_MAX, 2, 256, 4, false, 0},
    };
    for (const Figures &f : cases) {
        loopbackState.inputChannels = f.inputs;
        loopbackState.outputChannels = f.outputs;
        loopbackState.preferredSize = f.preferred;
        loopbackState.sampleBytes = f.bytes;
        startLoopback(nullptr);
        EXPECT_EQ(loopbackState.bufferInfos != nullptr, f.array) << f.inputs << " " << f.outputs;
        EXPECT_EQ(loopbackState.copyBytes, f.copy) << f.preferred << " " << f.bytes;
        EXPECT_TRUE(loopbackState.running);
        onBufferSwitch(0, 1);  // addresses are null (no driver): nothing may be touched
        EXPECT_EQ(loopbackState.switchCount.load(), 1);
        stopLoopback(nullptr);
    }
}

TEST_F(LoopbackTest, CountSharedWithAReaderThreadLosesNothing)
{
    start(2, 2, 32, 4, 128);
    const int switches = 200000;
    std::thread driverThread([] {
        for (int i = 0; i < switches; i++)
            onBufferSwitch(i & 1, 1);
    });
    int last = 0;
    bool monotonic = true;
    for (;;) {
        int seen = loopbackState.switchCount.load();
        monotonic = monotonic && seen >= last;
        last = seen;
        if (seen == switches)
            break;
        std::this_thread::yield();
    }
    driverThread.join();
    EXPECT_TRUE(monotonic);
    EXPECT_EQ(loopbackState.switchCount.load(), switches);
}

}  // namespace
