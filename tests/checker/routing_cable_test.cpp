// integrity --all through the simulated device's cables: a cable for every channel on the device's
// own clock, with a map, extra delays and a fault on one route. The device's own account (the
// configuration it was given, where it says the fault showed) is what the checker is held to.
#include "tests/checker/checker_process.h"
#include "tests/support/json_reader.h"
#include "tests/support/sim_fixture.h"
#include "tests/support/testkit.h"
#include "tests/support/text_search.h"

#include <gtest/gtest.h>
#include <string.h>
#include <string>

namespace {

class RoutingTest : public SimProgramTest {
protected:
    JsonValue runJson(const std::string &arguments, int *code)
    {
        return runCheckerJson(arguments, code, &lastErr);
    }
    // `channels` in and out, every output looped to the input of its number.
    static SimConfig looped(int channels)
    {
        SimConfig c;
        simDefaultConfig(&c);
        c.inputs = c.outputs = channels;
        strcpy(c.cableMap, "same");
        return c;
    }
    // The device's own round trip of a route: two buffers, the converters, the route's extra.
    static long long roundTrip(const SimConfig &c, int extra)
    {
        return 2LL * c.preferredSize + c.inputDelay + c.outputDelay + extra;
    }
    std::string lastErr;
};

TEST_F(RoutingTest, EveryOutputLoopedToItsInputIsFoundWholeAtEightAndSixtyFourChannels)
{
    // 64 channels at 16 kHz: the simulated device's own work then keeps its pace where the machine
    // runs it emulated (at 48 kHz it needs a whole core there, and falls behind).
    addDevice(looped(8));
    SimConfig wide = looped(64);
    strcpy(wide.sampleRate, "16000");
    addDevice(wide);
    for (int k = 0; k < 2; k++) {
        const int channels = k == 0 ? 8 : 64;
        SCOPED_TRACE(std::to_string(channels) + " channels");
        int code = 0;
        JsonValue run = runJson("integrity " + std::to_string(k) + " --all --map same --seconds 1", &code);
        EXPECT_EQ(code, 0) << lastErr;
        const JsonValue &routes = run["routes"];
        ASSERT_EQ(routes.size(), static_cast<size_t>(channels));
        for (int i = 0; i < channels; i++) {
            const JsonValue &route = routes[i];
            EXPECT_EQ(route["output"].whole(), i);
            EXPECT_EQ(route["verdict"].text, "fine");
            EXPECT_EQ(route["delay_frames"].whole(), roundTrip(looped(channels), 0));
            EXPECT_EQ(route["counts"]["matched"].whole(), route["counts"]["received"].whole());
            // Every sample the device brought after the delay, as its own count of its callbacks
            // says (a few come after the window, during the stop), whatever the machine's pace.
            long long brought = devices[k]->shared->hostSwitches * 256LL - roundTrip(looped(channels), 0);
            EXPECT_GT(route["counts"]["matched"].whole(), 10000);
            EXPECT_GE(route["counts"]["matched"].whole(), brought - 16 * 256);
        }
        EXPECT_EQ(run["skew"]["routes"].whole(), channels);
        EXPECT_EQ(run["skew"]["spread_frames"].whole(), 0);
        EXPECT_GT(run["analysed_times_real_time"].number, 1) << "the run's own figure";
        EXPECT_EQ(run["blocks_dropped_by_checker"].whole(), 0);
    }
}

TEST_F(RoutingTest, ASwapAnOutputOnTwoInputsAndAnExtraDelayAreEachFoundAndJudgedAgainstTheMap)
{
    // 32 channels: outputs 0 and 1 crossed, output 3 on inputs 3 and 4 (output 4 goes nowhere),
    // input 7 without a cable, 3 frames more to input 6, the others straight.
    std::string routes = "0:1,1:0,2:2,3:3,3:4,5:5,6:6";
    for (int i = 8; i < 32; i++)
        routes += "," + std::to_string(i) + ":" + std::to_string(i);
    SimConfig c = looped(32);
    strcpy(c.cableMap, routes.c_str());
    strcpy(c.cableDelays, "6:3");
    addDevice(c);

    int code = 0;
    JsonValue same = runJson("integrity 0 --all --map same --seconds 1", &code);
    EXPECT_EQ(code, 1);
    EXPECT_TRUE(contains(lastErr, "4 of 32 routes failed; the first: input 0: output 1 arrived "
                                  "instead of output 0")) << lastErr;
    for (int i = 0; i < 32; i++) {
        SCOPED_TRACE("input " + std::to_string(i));
        const JsonValue &route = same["routes"][i];
        const long long found = i == 0 ? 1 : i == 1 ? 0 : i == 4 ? 3 : i == 7 ? -1 : i;
        EXPECT_EQ(route["verdict"].text, found < 0 ? "missing" : found != i ? "wrong" : "fine");
        if (found < 0) {
            EXPECT_TRUE(route["output"].isNull());
            // No cable: the device's own busy pattern, another signal.
            EXPECT_EQ(route["no_lock_reason"].text, "foreign");
            EXPECT_TRUE(contains(route["problem"].text, "output 7 did not arrive"));
            continue;
        }
        EXPECT_EQ(route["output"].whole(), found);
        EXPECT_EQ(route["delay_frames"].whole(), roundTrip(c, i == 6 ? 3 : 0));
        EXPECT_EQ(route["skew_frames"].whole(), i == 6 ? 3 : 0);
        EXPECT_EQ(route["counts"]["matched"].whole(), route["counts"]["received"].whole());
    }
    EXPECT_EQ(same["skew"]["spread_frames"].whole(), 3);
    EXPECT_EQ(same["skew"]["latest"]["input"].whole(), 6);

    // The device's own map: every route where it should be; the skew judged to the frame.
    runJson("integrity 0 --all --map " + routes + " --max-skew 3 --seconds 1", &code);
    EXPECT_EQ(code, 0) << lastErr;
    runJson("integrity 0 --all --map " + routes + " --max-skew 2 --seconds 1", &code);
    EXPECT_EQ(code, 1);
    EXPECT_TRUE(contains(lastErr, "the routes are 3 frames apart (62.5 us), over --max-skew 2")) << lastErr;
    // Input 4 left out of the map: output 3 arriving there is reported, and fails.
    std::string withoutFour = routes;
    withoutFour.erase(withoutFour.find(",3:4"), 4);
    runJson("integrity 0 --all --map " + withoutFour + " --seconds 1", &code);
    EXPECT_EQ(code, 1);
    EXPECT_TRUE(contains(lastErr, "input 4: output 3 also arrives here, where the map expects nothing"))
        << lastErr;

    // One route alone ahead of the others: every skew is against it, the earliest.
    SimConfig ahead = looped(8);
    strcpy(ahead.cableDelays, "0:5,1:5,2:5,4:5,5:5,6:5,7:5");
    addDevice(ahead);
    JsonValue early = runJson("integrity 1 --all --map same --seconds 1", &code);
    EXPECT_EQ(code, 0) << lastErr;
    for (int i = 0; i < 8; i++)
        EXPECT_EQ(early["routes"][i]["skew_frames"].whole(), i == 3 ? 0 : 5) << "input " << i;
    EXPECT_EQ(early["skew"]["earliest"]["input"].whole(), 3);
    EXPECT_EQ(early["skew"]["spread_frames"].whole(), 5);
}

TEST_F(RoutingTest, EachCableFaultOnOneRouteOfThirtyTwoIsFoundOnThatRouteAlone)
{
    const char *faults[] = {"shift", "swap", "invert", "bits", "noise", "gain"};
    const char *kinds[] = {"slip", "corrupted", "inverted", "corrupted", "corrupted", "corrupted"};
    const int ROUTE = 9;
    for (const char *fault : faults) {
        SimConfig c = looped(32);
        strcpy(c.signalFault, fault);
        c.signalFaultAt = 100;
        c.signalFaultRoute = ROUTE;
        c.signalFaultBits = 24;
        strcpy(c.signalFaultLevel, strcmp(fault, "gain") == 0 ? "0.5" : "0.001");
        addDevice(c);
    }
    for (size_t k = 0; k < sizeof faults / sizeof faults[0]; k++) {
        SCOPED_TRACE(faults[k]);
        int code = 0;
        JsonValue run = runJson("integrity " + std::to_string(k) + " --all --map same --seconds 1", &code);
        EXPECT_EQ(code, 1);
        const SimShared *shared = devices[k]->shared;
        ASSERT_GT(shared->faultHostSwitch, 0) << "the device made its fault";
        const long long position = (shared->faultHostSwitch - 1) * 256LL + shared->faultHostOffset;
        // A swap trades the route's input with the next one's: both carry it.
        const int alsoHit = strcmp(faults[k], "swap") == 0 ? ROUTE + 1 : ROUTE;
        for (int i = 0; i < 32; i++) {
            const JsonValue &route = run["routes"][i];
            EXPECT_EQ(route["output"].whole(), i) << "input " << i;
            if (i != ROUTE && i != alsoHit) {
                EXPECT_EQ(route["verdict"].text, "fine") << "input " << i;
                continue;
            }
            EXPECT_EQ(route["verdict"].text, "faulty") << "input " << i;
            const JsonValue &first = route["events"][0];
            EXPECT_EQ(first["kind"].text, i == ROUTE ? kinds[k] : "corrupted") << "input " << i;
            EXPECT_EQ(first["position"].whole(), position) << "input " << i;
            EXPECT_EQ(first["switch"].whole(), shared->faultHostSwitch - 1) << "input " << i;
        }
    }
}

}  // namespace
