// integrity and latency --sweep through the simulated device's cable. The device keeps its own
// clock and says where each fault it made shows; the checker must find the same place by itself.
#include "tests/checker/checker_process.h"
#include "tests/support/json_reader.h"
#include "simdevice/sim_asio_abi.h"
#include "tests/support/sim_fixture.h"
#include "tests/support/testkit.h"
#include "tests/support/text_search.h"

#include <gtest/gtest.h>
#include <string.h>
#include <string>

namespace {

class CableTest : public SimProgramTest {
protected:
    JsonValue runJson(const std::string &arguments, int *code)
    {
        CheckerRun run = runChecker(arguments + " --json");
        *code = run.exitCode;
        lastErr = run.err;
        JsonValue document;
        EXPECT_TRUE(parseJson(run.out, &document)) << arguments << "\n" << run.out << run.err;
        return document;
    }
    // A device in real time with a cable from output 1 to input 0.
    static SimConfig cabled()
    {
        SimConfig c;
        simDefaultConfig(&c);
        c.cableOut = 1;
        c.cableIn = 0;
        return c;
    }
    std::string lastErr;
};

TEST_F(CableTest, ACleanCableCarriesEverySampleOfEveryTypeBitForBit)
{
    struct Type {
        int code;
        int bits;
    };
    const Type types[] = {{SIM_ST_INT16_LSB, 16}, {SIM_ST_INT24_LSB, 24}, {SIM_ST_INT32_LSB, 32},
                            {SIM_ST_FLOAT32_LSB, 24}};
    for (const Type &t : types) {
        SimConfig c = cabled();
        c.sampleType = t.code;
        addDevice(c);
    }
    for (size_t k = 0; k < 4; k++) {
        SCOPED_TRACE("type " + std::to_string(types[k].code));
        int code = 0;
        JsonValue run = runJson("integrity " + std::to_string(k) + " --out 1 --in 0 --seconds 1", &code);
        EXPECT_EQ(code, 0) << lastErr;
        EXPECT_TRUE(run["locked"].flag);
        EXPECT_EQ(run["delay_frames"].whole(), devices[k]->shared->trueRoundTrip);
        EXPECT_EQ(run["bits"].whole(), types[k].bits);
        EXPECT_EQ(run["transparent_bits"].whole(), types[k].bits);
        EXPECT_EQ(run["counts"]["matched"].whole(), run["counts"]["received"].whole())
            << "received counts from the lock";
        EXPECT_EQ(run["counts"]["searched"].whole(), run["lock_position"].whole());
        EXPECT_GT(run["counts"]["matched"].whole(), 40000);
        EXPECT_EQ(run["events"].size(), 0u);
        EXPECT_EQ(run["notifications"].size(), 11u) << "the device's questions in createBuffers";
    }
}

TEST_F(CableTest, EachFaultOfTheDeviceIsFoundWhereTheDeviceMadeIt)
{
    struct Fault {
        const char *name;
        const char *kind;  // the first event
        long long size;    // its size in samples, 0: not checked
        int transparent;   // bits left unchanged, -1: not checked
    };
    const Fault faults[] = {
        {"drop", "dropped", 256, 32},   {"twice", "repeated", 256, 32}, {"shift", "slip", 1, 32},
        {"swap", "corrupted", 0, -1},   {"invert", "inverted", 0, 32},  {"bits", "corrupted", 0, 24},
        {"noise", "corrupted", 0, -1},  {"gain", "corrupted", 0, -1},
    };
    for (const Fault &f : faults) {
        SimConfig c = cabled();
        strcpy(c.signalFault, f.name);
        c.signalFaultAt = 100;
        c.signalFaultBits = 24;
        strcpy(c.signalFaultLevel, strcmp(f.name, "gain") == 0 ? "0.5" : "0.001");
        addDevice(c);
    }
    for (size_t k = 0; k < sizeof faults / sizeof faults[0]; k++) {
        const Fault &f = faults[k];
        SCOPED_TRACE(f.name);
        int code = 0;
        JsonValue run = runJson("integrity " + std::to_string(k) + " --out 1 --in 0 --seconds 1", &code);
        EXPECT_EQ(code, 1);
        const SimShared *shared = devices[k]->shared;
        ASSERT_GT(shared->faultHostSwitch, 0) << "the device made its fault";
        long long position = (shared->faultHostSwitch - 1) * 256LL + shared->faultHostOffset;
        const JsonValue &first = run["events"][0];
        EXPECT_EQ(first["kind"].text, f.kind);
        EXPECT_EQ(first["position"].whole(), position);
        EXPECT_EQ(first["switch"].whole(), shared->faultHostSwitch - 1);
        if (f.size) {
            EXPECT_EQ(first["size"].whole(), f.size);
        }
        if (f.transparent >= 0) {
            EXPECT_EQ(run["transparent_bits"].whole(), f.transparent);
        }
        const JsonValue &n = run["counts"];
        EXPECT_EQ(n["received"].whole(), n["matched"].whole() + n["corrupted"].whole() +
                                             n["inverted"].whole() + n["scaled"].whole() +
                                             n["foreign"].whole())
            << "every sample received after the lock is counted once";
    }
}

TEST_F(CableTest, AReturnInvertedOrHalvedOnEverySampleIsFoundAndSaidSo)
{
    SimConfig inverted = cabled();
    strcpy(inverted.signalFault, "invert");  // from the host's first samples on
    addDevice(inverted);
    SimConfig halved = cabled();
    strcpy(halved.signalFault, "gain");
    strcpy(halved.signalFaultLevel, "0.5");
    addDevice(halved);
    const char *said[] = {"the sequence came back inverted on every sample: the polarity is reversed",
                          "the sequence came back 1 bit lower on every sample: a gain of 1/2 (-6.0 dB)"};
    for (int k = 0; k < 2; k++) {
        int code = 0;
        JsonValue run = runJson("integrity " + std::to_string(k) + " --out 1 --in 0 --seconds 1", &code);
        EXPECT_EQ(code, 1);
        EXPECT_TRUE(contains(lastErr, said[k])) << lastErr;
        EXPECT_TRUE(run["locked"].flag);
        EXPECT_EQ(run["delay_frames"].whole(), devices[k]->shared->trueRoundTrip);
        EXPECT_EQ(run["polarity_reversed"].flag, k == 0);
        EXPECT_EQ(run["shift_bits"].whole(), k);
        const JsonValue &n = run["counts"];
        EXPECT_EQ(n[k == 0 ? "inverted" : "scaled"].whole(), n["received"].whole());
    }
}

TEST_F(CableTest, ADriverThatStopsDeliveringInputMissesWhatNeverCame)
{
    SimConfig c = cabled();
    c.stopCallbacksAfter = 150;  // 0.8 s of a 2 s run
    addDevice(c);
    int code = 0;
    JsonValue run = runJson("integrity 0 --out 1 --in 0 --seconds 2", &code);
    EXPECT_EQ(code, 1);
    EXPECT_EQ(run["counts"]["matched"].whole(), run["counts"]["received"].whole());
    const long long delivered = devices[0]->shared->hostSwitches * 256LL;
    EXPECT_EQ(run["counts"]["missing_from"].whole(), delivered);
    // The window's other 1.2 s, give or take the switches either end.
    EXPECT_NEAR(run["counts"]["missing"].number, 2 * 48000 - delivered, 3 * 256);
    EXPECT_TRUE(contains(lastErr, "expected from input position " + std::to_string(delivered) +
                                  " to the end of the run never arrived")) << lastErr;
}

// The checker held back on purpose (QUORVEL_HOLD_ANALYSIS: its readers take nothing until the ring
// has dropped that many blocks) falls behind: what it did not analyse is neither matched nor
// faulty, and the run is status 6, the checker's own shortfall, never a fault of the driver's: in
// the middle of the run, at the end of the window, and on every channel. A ring that cannot be made
// is status 6 too, with the size it wanted.
TEST_F(CableTest, WhatTheCheckerDidNotAnalyseIsItsOwnShortfallNeverTheDrivers)
{
    addDevice(cabled());
    SimConfig huge = cabled();
    huge.preferredSize = huge.maxSize = 1 << 26;  // 256 MiB a buffer of one input
    addDevice(huge);
    struct Hold {
        const char *blocks, *arguments;
    } holds[] = {{"100", "integrity 0 --out 1 --in 0 --seconds 5"},
                 {"1000000", "integrity 0 --out 1 --in 0 --seconds 4"},
                 {"100", "integrity 0 --outs 1 --ins 0 --seconds 5"}};
    for (const Hold &hold : holds) {
        SCOPED_TRACE(std::string(hold.arguments) + ", held for " + hold.blocks + " blocks");
        SetEnvironmentVariableA("QUORVEL_HOLD_ANALYSIS", hold.blocks);
        int code = 0;
        JsonValue run = runJson(hold.arguments, &code);
        SetEnvironmentVariableA("QUORVEL_HOLD_ANALYSIS", nullptr);
        EXPECT_EQ(code, 6) << lastErr;
        EXPECT_TRUE(contains(lastErr, "the checker fell behind: ")) << lastErr;
        bool routes = run["routes"].size() > 0;
        const JsonValue &counts = routes ? run["routes"][0]["counts"] : run["counts"];
        EXPECT_GT(counts["unseen"].whole(), 100 * 256);
        EXPECT_EQ(counts["unseen"].whole(), run["blocks_dropped_by_checker"].whole() * 256);
        EXPECT_EQ(counts["missing"].whole(), 0) << "the driver delivered every sample";
        EXPECT_EQ(counts["matched"].whole(), counts["received"].whole());
        if (routes) {
            EXPECT_EQ(run["routes"][0]["verdict"].text, "fine");
        }
    }

    int code = 0;
    runJson("integrity 1 --out 1 --in 0 --seconds 1", &code);
    EXPECT_EQ(code, 6) << lastErr;
    EXPECT_TRUE(contains(lastErr, "the checker has no memory for its ring of samples: ")) << lastErr;
    EXPECT_TRUE(contains(lastErr, "blocks of 268435456 bytes")) << lastErr;
}

TEST_F(CableTest, ADriverCallingBackFromTwoThreadsLosesNoSample)
{
    SimConfig c = cabled();
    c.twoThreads = 1;
    addDevice(c);
    int code = 0;
    JsonValue run = runJson("integrity 0 --out 1 --in 0 --seconds 1", &code);
    EXPECT_EQ(code, 0) << lastErr;
    EXPECT_EQ(run["counts"]["matched"].whole(), run["counts"]["received"].whole());
    EXPECT_EQ(run["events"].size(), 0u);
    JsonValue latency = runJson("latency 0 --out 1 --in 0 --pings 2", &code);
    EXPECT_EQ(code, 0) << lastErr;
    EXPECT_EQ(latency["round_trip"]["median_frames"].whole(), devices[0]->shared->trueRoundTrip);
}

TEST_F(CableTest, ASequenceNotFoundSaysWhatTheInputCarried)
{
    SimConfig silent = cabled();
    strcpy(silent.signalFault, "gain");
    strcpy(silent.signalFaultLevel, "0");
    addDevice(silent);
    addDevice(cabled());

    int code = 0;
    JsonValue quiet = runJson("integrity 0 --out 1 --in 0 --seconds 4", &code);
    EXPECT_EQ(code, 1);
    EXPECT_EQ(quiet["no_lock_reason"].text, "silent");
    EXPECT_TRUE(contains(lastErr, "the input was silent")) << lastErr;
    // Input 1 carries the device's own busy pattern: the wrong channel.
    JsonValue wrong = runJson("integrity 1 --out 1 --in 1 --seconds 4", &code);
    EXPECT_EQ(code, 1);
    EXPECT_EQ(wrong["no_lock_reason"].text, "foreign");
    EXPECT_LT(wrong["seconds"].number, 3.5) << "the verdict ends the run";
}

TEST_F(CableTest, TheSweepMeasuresEverySizeAndRateAndFindsALieAtOneSize)
{
    SimConfig c = cabled();
    strcpy(c.sampleRates, "48000,96000");
    c.minSize = 64;
    c.maxSize = 512;
    c.inputDelay = 10;
    c.outputDelay = 20;
    c.latencyLie = 48;
    c.latencyLieAtSize = 128;
    addDevice(c);

    int code = 0;
    JsonValue sweep = runJson("latency 0 --out 1 --in 0 --sweep --rates all --tolerance 10", &code);
    EXPECT_EQ(code, 1);
    EXPECT_TRUE(contains(lastErr, "off by more than 10 frames at 2 settings: 128 frames at 48000 Hz "
                                  "(+48), 128 frames at 96000 Hz (+48)")) << lastErr;
    const JsonValue &settings = sweep["settings"];
    ASSERT_EQ(settings.size(), 8u);
    const double rates[] = {48000, 96000};
    const long sizes[] = {64, 128, 256, 512};
    for (size_t k = 0; k < 8; k++) {
        const JsonValue &s = settings[k];
        long size = sizes[k % 4];
        SCOPED_TRACE(std::to_string(size) + " frames");
        EXPECT_EQ(s["rate"].number, rates[k / 4]);
        EXPECT_EQ(s["buffer_size"].whole(), size);
        ASSERT_EQ(s["round_trips"].size(), 2u);
        EXPECT_EQ(s["measured_frames"].whole(), 2 * size + 30) << "the device's true round trip";
        EXPECT_EQ(s["spread_frames"].whole(), 0);
        EXPECT_EQ(s["difference_frames"].whole(), size == 128 ? 48 : 0);
        EXPECT_EQ(s["within_tolerance"].flag, size != 128);
    }
    EXPECT_EQ(devices[0]->shared->opCounts[SIM_CREATE_BUFFERS], 16) << "buffers made afresh each time";
    // Each createBuffers brings the device's eleven questions, each marked with its setting.
    const JsonValue &notes = sweep["notifications"];
    ASSERT_EQ(notes.size(), 16u * 11);
    EXPECT_EQ(notes[0]["setting"].whole(), 1);
    EXPECT_EQ(notes[notes.size() - 1]["setting"].whole(), 8);

    runJson("latency 0 --out 1 --in 0 --sweep", &code);
    EXPECT_EQ(code, 0) << "no tolerance, nothing to miss";
}

// One setting: a single buffer size of 256 frames.
SimConfig oneSize(SimConfig c)
{
    c.minSize = c.maxSize = c.preferredSize = 256;
    c.granularity = 0;
    return c;
}

TEST_F(CableTest, TheSweepMissesASettingThatFailedOrLostAPingInAnyRepeatAndSaysWhere)
{
    SimConfig secondStartFails = oneSize(cabled());
    strcpy(secondStartFails.failCall, "start");
    secondStartFails.failAtCall = 2;
    addDevice(secondStartFails);
    SimConfig fallsSilent = oneSize(cabled());  // after the first ping, before the second
    strcpy(fallsSilent.signalFault, "gain");
    strcpy(fallsSilent.signalFaultLevel, "0");
    fallsSilent.signalFaultAt = 15;
    addDevice(fallsSilent);

    int code = 0;
    JsonValue failed = runJson("latency 0 --out 1 --in 0 --sweep --repeat 2", &code);
    EXPECT_EQ(code, 1);
    const JsonValue &first = failed["settings"][0];
    EXPECT_EQ(first["round_trips"][0].whole(), 512) << "the first repeat came back";
    EXPECT_TRUE(first["round_trips"][1].isNull());
    EXPECT_FALSE(first["measured_whole"].flag);
    EXPECT_EQ(first["error"].text, "start answered ASE_HWMalfunction in repeat 2");
    EXPECT_TRUE(contains(lastErr, "1 of 1 settings were not measured whole: 256 frames at 48000 Hz "
                                  "(start answered ASE_HWMalfunction in repeat 2)")) << lastErr;
    resetRecord(devices[0]);  // its second start fails again
    CheckerRun text = runChecker("latency 0 --out 1 --in 0 --sweep --repeat 2");
    EXPECT_TRUE(contains(text.out, "not measured whole: start answered")) << text.out;

    JsonValue silent = runJson("latency 1 --out 1 --in 0 --sweep --repeat 1", &code);
    EXPECT_EQ(code, 1);
    ASSERT_GT(devices[1]->shared->faultPeriod, 0) << "the device fell silent";
    EXPECT_TRUE(silent["settings"][0]["round_trips"][0].isNull()) << "a ping of the repeat was lost";
    EXPECT_EQ(silent["settings"][0]["lost_repeats"].whole(), 1);
    EXPECT_TRUE(contains(lastErr, "a ping was lost in 1 of 1 repeat")) << lastErr;
}

TEST_F(CableTest, TheSweepChecksTheRateAndTheCableAtEveryRateAndTheToleranceToTheFrame)
{
    SimConfig fewerInputs = oneSize(cabled());  // an optical port: 2 inputs at 96 kHz
    fewerInputs.inputs = fewerInputs.outputs = 4;
    fewerInputs.cableOut = fewerInputs.cableIn = 3;
    strcpy(fewerInputs.sampleRates, "48000,96000");
    strcpy(fewerInputs.channelsAtRates, "96000:2:4");
    addDevice(fewerInputs);
    SimConfig lies = oneSize(cabled());
    lies.latencyLie = 48;
    addDevice(lies);

    int code = 0;
    JsonValue optical = runJson("latency 0 --out 3 --in 3 --sweep --repeat 1 --rates 48000,96000",
                                &code);
    EXPECT_EQ(code, 1);
    ASSERT_EQ(optical["settings"].size(), 2u);
    EXPECT_TRUE(optical["settings"][0]["measured_whole"].flag);
    EXPECT_EQ(optical["settings"][1]["error"].text, "input 3 does not exist at 96000 Hz");
    EXPECT_EQ(optical["settings"][1]["round_trips"].size(), 0u) << "no buffers asked for";

    // A rate no run can be timed at is refused before the driver is asked about it.
    JsonValue huge = runJson("latency 1 --out 1 --in 0 --sweep --repeat 1 --rates 1e300", &code);
    EXPECT_EQ(code, 1);
    EXPECT_EQ(huge["settings"][0]["error"].text, "1e+300 Hz is not a rate a run can be timed at");
    EXPECT_EQ(devices[1]->shared->opCounts[SIM_CAN_SAMPLE_RATE], 0);
    EXPECT_EQ(devices[1]->shared->opCounts[SIM_SET_SAMPLE_RATE], 0);

    // The tolerance is the claim's limit to the frame: 48 off misses 47 and passes 48.
    runJson("latency 1 --out 1 --in 0 --sweep --repeat 1 --tolerance 47", &code);
    EXPECT_EQ(code, 1);
    runJson("latency 1 --out 1 --in 0 --sweep --repeat 1 --tolerance 48", &code);
    EXPECT_EQ(code, 0) << lastErr;
}

TEST_F(CableTest, APingStillOutstandingWhenTheRunEndsIsLostWhateverCameAfter)
{
    // Nothing comes back; the callback whose input would time the ping out (the 422nd: 96,032
    // frames after ping 1 went out at frame 12,000) is held until after the run's 5.75 s, and so
    // comes during stop.
    SimConfig c = cabled();
    strcpy(c.signalFault, "gain");
    strcpy(c.signalFaultLevel, "0");
    c.stallEvery = 422;
    c.stallMs = 4500;
    addDevice(c);
    int code = 0;
    JsonValue latency = runJson("latency 0 --out 1 --in 0 --pings 1", &code);
    EXPECT_EQ(devices[0]->shared->stalls, 1);
    EXPECT_EQ(code, 1) << lastErr;
    EXPECT_TRUE(latency["pings"][0]["lost"].flag);
    EXPECT_TRUE(contains(lastErr, "ping 1 did not come back on input 0")) << lastErr;
}

TEST_F(CableTest, LatencyShowsADroppedSwitchAsAChangedRoundTripAndSaysWhy)
{
    SimConfig c = cabled();
    strcpy(c.signalFault, "drop");
    c.signalFaultAt = 100;  // 0.53 s in: between the first ping and the second
    addDevice(c);
    int code = 0;
    JsonValue latency = runJson("latency 0 --out 1 --in 0 --pings 3", &code);
    EXPECT_EQ(code, 0);
    const JsonValue &change = latency["round_trip_changes"][0];
    EXPECT_EQ(change["from_ping"].whole(), 1);
    EXPECT_EQ(change["from_frames"].whole(), 512);
    EXPECT_EQ(change["to_frames"].whole(), 512 + 256) << "one buffer more after the drop";
    EXPECT_GT(change["longest_interval_periods"].number, 1.5);
    EXPECT_TRUE(contains(change["reason"].text, "it dropped a buffer switch")) << change["reason"].text;
}

}  // namespace
