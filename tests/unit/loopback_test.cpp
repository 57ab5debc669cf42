// The loopback against a driver of the test's own, which hands out the test's buffers and reports
// the test's sample types: the copy plan, the figures a driver may get wrong, a switch that
// outlasts its run, and the count shared between threads.
#include "drivers/driver_loading.h"
#include "engine/loopback.h"
#include "tests/support/testkit.h"

#include <windows.h>
#include <gtest/gtest.h>
#include <atomic>
#include <string.h>
#include <thread>
#include <vector>

namespace {

struct Channel {
    std::vector<unsigned char> half[2];
};

// Every slot answers; only the channel types, createBuffers and start matter here.
struct FakeDriver : IASIO {
    std::vector<long> types[2];             // [isInput][channel]; channels beyond get Int32 LSB
    std::vector<Channel> *channels[2];      // [isInput]: buffers to hand out, or null
    std::vector<long> infoAsked;            // channel numbers, inputs as -1 - n, in call order
    long createdCount = -1;
    ASIOBufferInfo *createdInfos = nullptr;  // the array createBuffers was given
    int infoCallsAtCreate = 0;
    int starts = 0;
    ASIOCallbacks *callbacks = nullptr;
    std::thread thread;  // of switchOnThread; stop does not wait for it

    // One buffer switch of half 0 on a thread of the driver's own, as a running driver makes them.
    void switchOnThread()
    {
        thread = std::thread([this] { callbacks->bufferSwitch(0, 1); });
    }

    HRESULT STDMETHODCALLTYPE QueryInterface(REFIID, void **) override { return E_NOINTERFACE; }
    ULONG STDMETHODCALLTYPE AddRef() override { return 1; }
    ULONG STDMETHODCALLTYPE Release() override { return 1; }
    ASIOBool ASIO_METHOD init(void *) override { return 1; }
    void ASIO_METHOD getDriverName(char *name) override { strcpy(name, "Fake"); }
    long ASIO_METHOD getDriverVersion() override { return 1; }
    void ASIO_METHOD getErrorMessage(char *text) override { text[0] = 0; }
    ASIOError ASIO_METHOD start() override { starts++; return ASE_OK; }
    ASIOError ASIO_METHOD stop() override { return ASE_OK; }
    ASIOError ASIO_METHOD getChannels(long *, long *) override { return ASE_OK; }
    ASIOError ASIO_METHOD getLatencies(long *, long *) override { return ASE_OK; }
    ASIOError ASIO_METHOD getBufferSize(long *, long *, long *, long *) override { return ASE_OK; }
    ASIOError ASIO_METHOD canSampleRate(ASIOSampleRate) override { return ASE_OK; }
    ASIOError ASIO_METHOD getSampleRate(ASIOSampleRate *) override { return ASE_OK; }
    ASIOError ASIO_METHOD setSampleRate(ASIOSampleRate) override { return ASE_OK; }
    ASIOError ASIO_METHOD getClockSources(ASIOClockSource *, long *) override { return ASE_OK; }
    ASIOError ASIO_METHOD setClockSource(long) override { return ASE_OK; }
    ASIOError ASIO_METHOD getSamplePosition(ASIOSamples *, ASIOTimeStamp *) override { return ASE_OK; }
    ASIOError ASIO_METHOD getChannelInfo(ASIOChannelInfo *info) override
    {
        infoAsked.push_back(info->isInput ? -1 - info->channel : info->channel);
        const std::vector<long> &list = types[info->isInput ? 1 : 0];
        const long beyond = ASIOST_INT32_LSB;
        info->type = static_cast<size_t>(info->channel) < list.size() ? list[info->channel] : beyond;
        return ASE_OK;
    }
    ASIOError ASIO_METHOD createBuffers(ASIOBufferInfo *infos, long count, long,
                                        ASIOCallbacks *given) override
    {
        createdCount = count;
        createdInfos = infos;
        callbacks = given;
        infoCallsAtCreate = static_cast<int>(infoAsked.size());
        for (long e = 0; e < count; e++) {
            std::vector<Channel> *side = channels[infos[e].isInput ? 1 : 0];
            for (int h = 0; h < 2; h++)
                infos[e].buffers[h] = side ? (*side)[infos[e].channelNum].half[h].data() : nullptr;
        }
        return ASE_OK;
    }
    ASIOError ASIO_METHOD disposeBuffers() override { return ASE_OK; }
    ASIOError ASIO_METHOD controlPanel() override { return ASE_OK; }
    ASIOError ASIO_METHOD future(long, void *) override { return ASE_OK; }
    ASIOError ASIO_METHOD outputReady() override { return ASE_OK; }
};

class LoopbackTest : public ::testing::Test {
protected:
    void SetUp() override { activeDriver = &driver; }
    void TearDown() override
    {
        endLoopback();
        activeDriver = nullptr;
    }

    // Runs the loopback on the fake driver; every half of every channel holds `bufferBytes` bytes,
    // inputs filled with 0x10 + channel + half, outputs with 0xEE + half.
    void start(int inputs, int outputs, int preferredSize, size_t bufferBytes)
    {
        ins.assign(inputs > 0 ? inputs : 0, Channel());
        outs.assign(outputs > 0 ? outputs : 0, Channel());
        for (size_t i = 0; i < ins.size(); i++)
            fill(&ins[i], 0x10 + static_cast<int>(i), bufferBytes);
        for (Channel &out : outs)
            fill(&out, 0xEE, bufferBytes);
        driver.channels[0] = &outs;
        driver.channels[1] = &ins;
        loopbackState.inputChannels = inputs;
        loopbackState.outputChannels = outputs;
        beginLoopback(&loopbackCallbacks, preferredSize);
    }
    static void fill(Channel *channel, int value, size_t bytes)
    {
        for (int h = 0; h < 2; h++)
            channel->half[h].assign(bytes, static_cast<unsigned char>(value + h));
    }
    static size_t bytesEqualTo(const std::vector<unsigned char> &v, int value)
    {
        size_t n = 0;
        for (unsigned char b : v)
            n += b == value;
        return n;
    }
    FakeDriver driver;
    std::vector<Channel> ins, outs;
};

TEST_F(LoopbackTest, CopiesInputIToOutputIForTheCommonChannelsOnly)
{
    driver.types[0] = driver.types[1] = {ASIOST_INT24_LSB, ASIOST_INT24_LSB, ASIOST_INT24_LSB,
                                          ASIOST_INT24_LSB};  // 24-bit packed: 3 bytes
    start(2, 4, 256, 1024);
    const CopyPlan *plan = loopbackState.plan.load();
    ASSERT_NE(plan, nullptr);
    EXPECT_EQ(plan->bufferInfos[3].isInput, 0);
    EXPECT_EQ(plan->bufferInfos[3].channelNum, 3);
    EXPECT_EQ(plan->bufferInfos[5].isInput, 1);
    EXPECT_EQ(plan->bufferInfos[5].channelNum, 1);
    EXPECT_EQ(driver.createdCount, 6);
    EXPECT_EQ(plan->copyBytes, 768u) << "every pair alike: one length";

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
    start(4, 2, 64, 256);
    onBufferSwitch(0, 1);
    EXPECT_EQ(bytesEqualTo(outs[0].half[0], 0x10), 256u);
    EXPECT_EQ(bytesEqualTo(outs[1].half[0], 0x11), 256u);
    // Only the copied channels' types are asked, before the buffers are created.
    EXPECT_EQ(driver.infoAsked, (std::vector<long>{0, -1, 1, -2}));
    EXPECT_EQ(driver.infoCallsAtCreate, 4);
}

// Inputs and outputs of different sample types: each copy stays within the smaller buffer.
TEST_F(LoopbackTest, MixedTypesCopyWhatTheSmallerOfTheTwoBuffersHolds)
{
    driver.types[0] = {ASIOST_INT32_LSB, ASIOST_INT16_LSB, ASIOST_INT32_LSB,
                       ASIOST_FLOAT64_LSB};  // outputs: 4, 2, 4 and 8 bytes
    driver.types[1] = {ASIOST_INT16_LSB, ASIOST_INT32_LSB, 99,
                       ASIOST_FLOAT64_LSB};  // inputs: 2, 4, unknown and 8 bytes
    start(4, 4, 64, 512);
    EXPECT_EQ(loopbackState.plan.load()->copyBytes, 0u) << "pairs differ: a length per pair";
    onBufferSwitch(0, 1);
    EXPECT_EQ(bytesEqualTo(outs[0].half[0], 0x10), 128u) << "a 16-bit input into a 32-bit output";
    EXPECT_EQ(bytesEqualTo(outs[1].half[0], 0x11), 128u) << "a 32-bit input into a 16-bit output";
    EXPECT_EQ(bytesEqualTo(outs[2].half[0], 0xEE), 512u) << "an unknown type copies nothing";
    EXPECT_EQ(bytesEqualTo(outs[3].half[0], 0x13), 512u);
}

TEST_F(LoopbackTest, BadIndexesAndNullAddressesAreCountedButNotTouched)
{
    start(2, 2, 16, 64);
    ASIOBufferInfo *infos = loopbackState.plan.load()->bufferInfos;
    infos[0].buffers[0] = nullptr;  // output 0 half 0 missing
    infos[3].buffers[1] = nullptr;  // input 1 half 1 missing
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
        int inputs, outputs, preferred, type;
        long created;  // the count createBuffers got, -1 for no call
        size_t copy;   // bytes of the first pair
    } cases[] = {
        {2, 2, 0, ASIOST_INT32_LSB, 4, 0},
        {2, 2, -256, ASIOST_INT32_LSB, 4, 0},
        {2, 2, 256, 99, 4, 0},                          // unknown sample type
        {2, 2, INT32_MAX, ASIOST_FLOAT64_LSB, 4, 0},    // copy length beyond 32 bits
        {-3, 2, 256, ASIOST_INT32_LSB, 2, 0},           // negative inputs: outputs only
        {-1, -1, 256, ASIOST_INT32_LSB, 0, 0},          // taken as no channels: the clock runs all the same
        {0, 0, 256, ASIOST_INT32_LSB, 0, 0},
        {INT32_MAX, INT32_MAX, 256, ASIOST_INT32_LSB, -1, 0},  // would wrap a 32-bit count
        {INT32_MAX, 2, 256, ASIOST_INT32_LSB, -1, 0},
    };
    for (const Figures &f : cases) {
        SCOPED_TRACE(testing::Message() << f.inputs << " " << f.outputs << " " << f.preferred);
        driver = FakeDriver();
        driver.types[0] = driver.types[1] = {f.type, f.type};
        loopbackState.inputChannels = f.inputs;
        loopbackState.outputChannels = f.outputs;
        beginLoopback(&loopbackCallbacks, f.preferred);
        EXPECT_EQ(driver.createdCount, f.created);
        EXPECT_EQ(driver.starts, f.created >= 0 ? 1 : 0);
        const CopyPlan *plan = loopbackState.plan.load();
        EXPECT_EQ(plan != nullptr, f.created >= 0);
        EXPECT_EQ(driver.createdInfos, plan ? plan->bufferInfos : nullptr);
        if (plan && plan->copyChannels > 0) {
            EXPECT_EQ(plan->pairBytes[0], f.copy);
        }
        EXPECT_TRUE(loopbackState.running);
        onBufferSwitch(0, 1);  // addresses are null: nothing may be touched
        EXPECT_EQ(loopbackState.switchCount.load(), 1);
        endLoopback();
    }
}

// Holds a thread that touches a guarded page until the test lets it go on.
HANDLE switchHeld, switchResumes;

LONG CALLBACK holdAtGuardedPage(EXCEPTION_POINTERS *exception)
{
    if (exception->ExceptionRecord->ExceptionCode != STATUS_GUARD_PAGE_VIOLATION)
        return EXCEPTION_CONTINUE_SEARCH;
    SetEvent(switchHeld);
    WaitForSingleObject(switchResumes, 10000);
    return EXCEPTION_CONTINUE_EXECUTION;
}

// A driver whose stop returned while its thread was still inside a buffer switch, holding the
// run's plan, and the next start came meanwhile: that switch must still read its own run's plan.
TEST_F(LoopbackTest, ASwitchThatOutlastsItsRunKeepsItsPlanThroughTheNextStart)
{
    // The switch is held by a guard page; qemu's user-mode emulation (the 32-bit side on a kernel
    // without 32-bit support) does not deliver them.
    if (!guardPagesDelivered())
        GTEST_SKIP() << "guard pages are not delivered on this system: the held switch cannot be made";
    // Input 0's half 0 is a guarded page: the switch stops in its first copy, plan in hand.
    SYSTEM_INFO system;
    GetSystemInfo(&system);
    unsigned char *page = static_cast<unsigned char *>(
        VirtualAlloc(nullptr, system.dwPageSize, MEM_COMMIT | MEM_RESERVE, PAGE_READWRITE));
    ASSERT_NE(page, nullptr);
    memset(page, 0x77, system.dwPageSize);
    DWORD protection;
    VirtualProtect(page, system.dwPageSize, PAGE_READWRITE | PAGE_GUARD, &protection);
    switchHeld = CreateEventA(nullptr, TRUE, FALSE, nullptr);
    switchResumes = CreateEventA(nullptr, TRUE, FALSE, nullptr);
    void *handler = AddVectoredExceptionHandler(1, holdAtGuardedPage);

    start(2, 2, 16, 64);
    loopbackState.plan.load()->bufferInfos[2].buffers[0] = page;
    std::vector<Channel> firstIns = std::move(ins), firstOuts = std::move(outs);
    const CopyPlan *first = loopbackState.plan.load();
    driver.switchOnThread();
    EXPECT_EQ(WaitForSingleObject(switchHeld, 10000), DWORD(WAIT_OBJECT_0));

    CopyPlan record = *first;
    ASIOBufferInfo infos[4];
    size_t lengths[2];
    memcpy(infos, first->bufferInfos, sizeof infos);
    memcpy(lengths, first->pairBytes, sizeof lengths);
    endLoopback();
    start(2, 2, 16, 64);
    EXPECT_NE(loopbackState.plan.load(), first);
    EXPECT_EQ(memcmp(&record, first, sizeof record), 0) << "the held plan's record was changed";
    EXPECT_EQ(memcmp(infos, record.bufferInfos, sizeof infos), 0);
    EXPECT_EQ(memcmp(lengths, record.pairBytes, sizeof lengths), 0);

    SetEvent(switchResumes);
    driver.thread.join();
    RemoveVectoredExceptionHandler(handler);
    CloseHandle(switchHeld);
    CloseHandle(switchResumes);
    VirtualFree(page, 0, MEM_RELEASE);
    EXPECT_EQ(bytesEqualTo(firstOuts[0].half[0], 0x77), 64u) << "the held copy was finished";
    EXPECT_EQ(bytesEqualTo(firstOuts[1].half[0], 0x11), 64u) << "the next pair of its own run";
    EXPECT_EQ(bytesEqualTo(outs[0].half[0], 0xEE), 64u) << "nothing of the new run was touched";
    EXPECT_EQ(bytesEqualTo(outs[1].half[0], 0xEE), 64u);
}

// Two driver threads call back at once while a third reads the count, as the dialog's timer does.
TEST_F(LoopbackTest, CountSharedBetweenThreadsLosesNothing)
{
    start(2, 2, 32, 128);
    const int switchesPerThread = 100000;
    std::atomic<bool> done(false);
    bool monotonic = true;
    std::thread reader([&] {
        int last = 0;
        while (!done.load()) {
            int seen = loopbackState.switchCount.load();
            monotonic = monotonic && seen >= last;
            last = seen;
            std::this_thread::yield();
        }
    });
    auto switches = [] {
        for (int i = 0; i < switchesPerThread; i++)
            onBufferSwitch(i & 1, 1);
    };
    std::thread first(switches), second(switches);
    first.join();
    second.join();
    done.store(true);
    reader.join();
    EXPECT_TRUE(monotonic);
    EXPECT_EQ(loopbackState.switchCount.load(), 2 * switchesPerThread);
}

}  // namespace
