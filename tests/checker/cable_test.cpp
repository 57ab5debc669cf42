// integrity and latency --sweep through the simulated device's cable. The device keeps its own
// clock and says where each fault it made shows; the checker must find the same place by itself.
#include "tests/checker/checker_process.h"
#include "tests/support/json_reader.h"
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
    const Type types[] = {{16, 16}, {17, 24}, {18, 32}, {19, 24}};
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
        EXPECT_EQ(run["counts"]["matched"].whole(),
                  run["counts"]["received"].whole() - run["lock_position"].whole());
        EXPECT_GT(run["counts"]["matched"].whole(), 40000);
        EXPECT_EQ(run["events"].size(), 0u);
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
    }
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

    runJson("latency 0 --out 1 --in 0 --sweep", &code);
    EXPECT_EQ(code, 0) << "no tolerance, nothing to miss";
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
