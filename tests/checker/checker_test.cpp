// The real checker program, run as a process against simulated devices registered in the real
// registry; the devices say what really happened, the checker's JSON what it saw.
#include "tests/checker/checker_process.h"
#include "tests/support/json_reader.h"
#include "simdevice/sim_asio_abi.h"
#include "tests/support/sim_fixture.h"
#include "tests/support/testkit.h"
#include "tests/support/text_search.h"

#include <gtest/gtest.h>
#include <algorithm>
#include <ctype.h>
#include <string.h>
#include <string>

namespace {

class CheckerTest : public SimProgramTest {
protected:
    // Runs the checker with --json, expects exit code `code` and a document, and returns it.
    JsonValue runJson(const std::string &arguments, int code)
    {
        CheckerRun run = runChecker(arguments + " --json");
        EXPECT_EQ(run.exitCode, code) << arguments << "\n" << run.err << run.out;
        JsonValue document;
        EXPECT_TRUE(parseJson(run.out, &document)) << arguments << ": not one JSON document:\n"
                                                   << run.out;
        EXPECT_EQ(document["exit_code"].whole(), code) << arguments;
        lastErr = run.err;
        return document;
    }
    std::string lower(std::string text)
    {
        std::transform(text.begin(), text.end(), text.begin(), ::tolower);
        return text;
    }
    std::string lastErr;
};

// The run's check of that name; null when it was not made.
const JsonValue &check(const JsonValue &run, const char *name)
{
    for (size_t i = 0; i < run["checks"].size(); i++) {
        if (run["checks"][i]["check"].text == name)
            return run["checks"][i];
    }
    return run["no such check"];
}

// Every switch the device made in its run, as the checker counted them, inside the window and
// around it.
long long allSwitches(const JsonValue &run)
{
    return run["switches"].whole() + run["switches_before_start"].whole() +
           run["switches_during_stop"].whole();
}

TEST_F(CheckerTest, ListShowsTheDialogsDriversAndWhyEveryOtherKeyIsSkipped)
{
    RegisteredDevice *alpha = addDevice(fastConfig(), "Alpha Device");
    RegisteredDevice *beta = addDevice(fastConfig(), "Beta Device");
    setAsioValue("Sim 02", "Description", REG_SZ, "No Clsid", 9);
    std::string unregistered = newClsidText();
    addAsioDriverKey("Sim 03", unregistered, "Unregistered");
    std::string serverless = addClass(nullptr);
    addAsioDriverKey("Sim 04", serverless, "No Server");
    addAsioDriverKey("Sim 05", addClass("C:\\nowhere\\gone.dll"), "Gone Driver");

    JsonValue list = runJson("list", 0);
    const JsonValue &drivers = list["drivers"];
    ASSERT_EQ(drivers.size(), 3u);
    const char *names[] = {"Alpha Device", "Beta Device", "Gone Driver"};
    const char *keys[] = {"Sim 00", "Sim 01", "Sim 05"};
    for (size_t i = 0; i < 3; i++) {
        EXPECT_EQ(drivers[i]["index"].whole(), static_cast<long long>(i));
        EXPECT_EQ(drivers[i]["name"].text, names[i]);
        EXPECT_EQ(drivers[i]["key"].text, keys[i]);
        EXPECT_TRUE(drivers[i]["clsid_valid"].flag);
    }
    EXPECT_EQ(drivers[0]["clsid"].text, lower(alpha->clsid));
    EXPECT_EQ(drivers[1]["clsid"].text, lower(beta->clsid));
    EXPECT_EQ(drivers[0]["server"].text, simDllPath());
    EXPECT_TRUE(drivers[0]["server_exists"].flag);
    EXPECT_EQ(drivers[2]["server"].text, "C:\\nowhere\\gone.dll");
    EXPECT_FALSE(drivers[2]["server_exists"].flag);
    EXPECT_EQ(list["registry"]["view_bits"].whole(), sizeof(void *) == 8 ? 64 : 32);

    const JsonValue &skipped = list["skipped"];
    ASSERT_EQ(skipped.size(), 3u);
    EXPECT_EQ(skipped[0]["key"].text, "Sim 02");
    EXPECT_EQ(skipped[0]["reason"].text, "no_clsid");
    EXPECT_TRUE(skipped[0]["clsid"].isNull());
    EXPECT_EQ(skipped[1]["key"].text, "Sim 03");
    EXPECT_EQ(skipped[1]["reason"].text, "class_not_registered");
    EXPECT_EQ(skipped[1]["clsid"].text, lower(unregistered));
    EXPECT_EQ(skipped[2]["key"].text, "Sim 04");
    EXPECT_EQ(skipped[2]["reason"].text, "no_inprocserver32");

    CheckerRun text = runChecker("list");
    EXPECT_EQ(text.exitCode, 0);
    EXPECT_TRUE(contains(text.out, "  1  Beta Device\n")) << text.out;
    EXPECT_TRUE(contains(text.out, "server: C:\\nowhere\\gone.dll (file not found)")) << text.out;
    EXPECT_TRUE(contains(text.out, "Sim 02: no readable \"clsid\" value")) << text.out;
    EXPECT_TRUE(contains(text.out, "Sim 03: class " + lower(unregistered) + " is not registered"))
        << text.out;
    EXPECT_TRUE(contains(text.out, "Sim 04: class " + lower(serverless) + " has no InprocServer32"))
        << text.out;
}

TEST_F(CheckerTest, InfoShowsEveryFigureChannelRateLatencyAndClock)
{
    SimConfig config = fastConfig();
    config.inputs = 3;
    config.outputs = 2;
    config.minSize = 32;
    config.maxSize = 1024;
    config.preferredSize = 128;
    config.granularity = 32;
    strcpy(config.sampleRates, "44100,48000,96000");
    strcpy(config.inputTypes, "18,16,19");
    strcpy(config.outputTypes, "17,20");
    strcpy(config.inputNames, "Mic L,Mic R,Line");
    strcpy(config.outputNames, "Main L,Main R");
    strcpy(config.driverName, "Check Sim");
    config.driverVersion = 7;
    config.inputDelay = 10;
    config.outputDelay = 20;
    addDevice(config, "Info Device");

    JsonValue info = runJson("info 0", 0);
    EXPECT_EQ(info["driver"]["name"].text, "Info Device");
    EXPECT_EQ(info["driver"]["driver_name"].text, "Check Sim");
    EXPECT_EQ(info["driver"]["driver_version"].whole(), 7);
    EXPECT_EQ(info["buffer_size"]["min"].whole(), 32);
    EXPECT_EQ(info["buffer_size"]["max"].whole(), 1024);
    EXPECT_EQ(info["buffer_size"]["preferred"].whole(), 128);
    EXPECT_EQ(info["buffer_size"]["granularity"].whole(), 32);
    EXPECT_EQ(info["sample_rate"].number, 48000);

    const JsonValue &rates = info["sample_rates"];
    ASSERT_EQ(rates.size(), 8u);
    const double probed[] = {44100, 48000, 88200, 96000, 176400, 192000, 352800, 384000};
    for (size_t i = 0; i < 8; i++) {
        bool accepted = probed[i] == 44100 || probed[i] == 48000 || probed[i] == 96000;
        EXPECT_EQ(rates[i]["rate"].number, probed[i]);
        EXPECT_EQ(rates[i]["accepted"].flag, accepted) << probed[i];
        EXPECT_EQ(rates[i]["answer"].text, accepted ? "ASE_OK" : "ASE_NoClock") << probed[i];
    }

    EXPECT_EQ(info["input_channels"].whole(), 3);
    EXPECT_EQ(info["output_channels"].whole(), 2);
    struct Expected {
        const char *name;
        const char *type;
        int bytes;
    };
    const Expected inputs[] = {{"Mic L", "ASIOSTInt32LSB", 4}, {"Mic R", "ASIOSTInt16LSB", 2},
                               {"Line", "ASIOSTFloat32LSB", 4}};
    const Expected outputs[] = {{"Main L", "ASIOSTInt24LSB", 3}, {"Main R", "ASIOSTFloat64LSB", 8}};
    for (size_t i = 0; i < 3; i++) {
        const JsonValue &channel = info["inputs"][i];
        EXPECT_EQ(channel["channel"].whole(), static_cast<long long>(i));
        EXPECT_EQ(channel["name"].text, inputs[i].name);
        EXPECT_EQ(channel["type_name"].text, inputs[i].type);
        EXPECT_EQ(channel["bytes"].whole(), inputs[i].bytes);
        EXPECT_EQ(channel["group"].whole(), 0);
        EXPECT_FALSE(channel["active"].flag) << "no buffers were made";
    }
    for (size_t i = 0; i < 2; i++) {
        EXPECT_EQ(info["outputs"][i]["name"].text, outputs[i].name);
        EXPECT_EQ(info["outputs"][i]["type_name"].text, outputs[i].type);
        EXPECT_EQ(info["outputs"][i]["bytes"].whole(), outputs[i].bytes);
    }
    EXPECT_EQ(info["latency"]["input_frames"].whole(), 128 + 10);
    EXPECT_EQ(info["latency"]["output_frames"].whole(), 128 + 20);
    EXPECT_NEAR(info["latency"]["output_ms"].number, 148 / 48.0, 1e-3);
    ASSERT_GE(info["clock_sources"].size(), 1u);
    EXPECT_FALSE(info["clock_sources"][0]["name"].text.empty());
    EXPECT_TRUE(info["clock_sources"][0]["current"].flag);
    EXPECT_EQ(info["calls_not_ok"].size(), 0u);

    CheckerRun text = runChecker("info info");
    EXPECT_EQ(text.exitCode, 0) << text.err;
    EXPECT_TRUE(contains(text.out, "   88200 Hz  ASE_NoClock")) << text.out;
    EXPECT_TRUE(contains(text.out, "Mic R")) << text.out;
    EXPECT_TRUE(contains(text.out, "Latencies: input 138 frames (2.875 ms)")) << text.out;
}

TEST_F(CheckerTest, InfoOfADriverWhoseInitFailsGivesItsMessageAndExitThree)
{
    SimConfig config = fastConfig();
    strcpy(config.initError, "Quorvel Sim: no hardware found");
    RegisteredDevice *device = addDevice(config);

    JsonValue failed = runJson("info 0", 3);
    EXPECT_TRUE(contains(failed["error"].text, "Quorvel Sim: no hardware found"));
    EXPECT_TRUE(contains(lastErr, "Quorvel Sim: no hardware found")) << lastErr;
    EXPECT_EQ(device->shared->instancesAlive, 0) << "the object is released";
}

TEST_F(CheckerTest, RunCountsWhatTheDeviceCountedAndTheMessagesItSent)
{
    SimConfig config = fastConfig();
    config.periodUs = 0;  // real time: the checker judges against the period of size and rate
    config.requestSelector = SIM_MSG_RESET_REQUEST;
    config.requestAtSwitch = 20;
    RegisteredDevice *device = addDevice(config);

    JsonValue run = runJson("run 0 --seconds 1 --buffer 128 --min-switch-ratio 10 --on-reset ignore", 1);
    EXPECT_EQ(allSwitches(run), device->shared->runSwitches);
    ASSERT_EQ(run["round_trips"].size(), 1u);
    EXPECT_EQ(run["round_trips"][0]["policy"].text, "ignore");
    EXPECT_GT(run["switches"].whole(), 100);
    EXPECT_EQ(run["buffer_size"].whole(), 128);
    EXPECT_NEAR(run["period_us"].number, 128 / 48000.0 * 1e6, 0.01);
    EXPECT_EQ(run["intervals"]["count"].whole(), run["switches"].whole() - 1);
    EXPECT_GT(run["switch_ratio"].number, 0.5);
    EXPECT_FALSE(check(run, "min_switch_ratio")["passed"].flag) << "a ratio of about 1 is below 10";
    EXPECT_TRUE(check(run, "switches")["passed"].flag);
    std::vector<SimCall> created = calls(device, SIM_CREATE_BUFFERS);
    ASSERT_EQ(created.size(), 1u);
    EXPECT_EQ(created[0].b, 128) << "the chosen size replaces the preferred one";

    long reset = 0;
    for (size_t i = 0; i < run["messages"].size(); i++) {
        const JsonValue &message = run["messages"][i];
        if (message["name"].text == "kAsioResetRequest") {
            reset = static_cast<long>(message["count"].whole());
            EXPECT_TRUE(message["finding"].flag);
        }
    }
    EXPECT_EQ(reset, 1);
    EXPECT_EQ(device->shared->requestAnswer, 1);
    // Selector supported: yes for what the checker handles; no time info, so bufferSwitch only.
    const int supported[] = {SIM_MSG_ENGINE_VERSION, SIM_MSG_RESET_REQUEST, SIM_MSG_BUFFER_SIZE_CHANGE,
                             SIM_MSG_RESYNC_REQUEST, SIM_MSG_LATENCIES_CHANGED, SIM_MSG_OVERLOAD};
    const int declined[] = {SIM_MSG_SUPPORTS_TIME_INFO, SIM_MSG_SUPPORTS_TIME_CODE};
    for (int s : supported)
        EXPECT_EQ(device->shared->supportedAnswers[s], 1) << s;
    for (int s : declined)
        EXPECT_EQ(device->shared->supportedAnswers[s], 0) << s;
    EXPECT_EQ(device->shared->messageAnswers[SIM_MSG_ENGINE_VERSION], 2) << "engine version";
    EXPECT_EQ(device->shared->messageAnswers[SIM_MSG_SUPPORTS_TIME_INFO], 0);
    EXPECT_TRUE(contains(lastErr, "below --min-switch-ratio 10")) << lastErr;
}

// A reset request during a run is followed as a host must: the object released and made again, its
// figures read anew, buffers at the new preferred size, a second start, and the stream after it
// judged on its own; what the device logged, not what the checker says, shows the round trip.
TEST_F(CheckerTest, RunFollowsAResetRequestWithANewObjectAndJudgesTheStreamAfterIt)
{
    SimConfig config = fastConfig();
    config.periodUs = 0;  // real time: the stream after is judged against its period
    config.preferredSize = 128;
    config.requestSelector = SIM_MSG_RESET_REQUEST;
    config.requestAtSwitch = 100;
    config.requestLatencyShift = 500;
    config.requestPreferredSize = 512;
    RegisteredDevice *device = addDevice(config);

    JsonValue run = runJson("run 0 --seconds 1.5", 0);
    ASSERT_GE(run["round_trips"].size(), 1u) << lastErr;
    const JsonValue &trip = run["round_trips"][0];
    EXPECT_EQ(trip["request"].text, "reset");
    EXPECT_EQ(trip["policy"].text, "follow");
    EXPECT_EQ(trip["after_switch"].whole(), 100);
    EXPECT_FALSE(trip["on_host_thread"].flag) << "the device asks from its switch thread";
    EXPECT_EQ(trip["before"]["preferred_size"].whole(), 128);
    EXPECT_EQ(trip["after"]["preferred_size"].whole(), 512);
    EXPECT_EQ(trip["buffer_size"].whole(), 512);
    // The device's latency is its buffer plus its delays: 384 frames more buffer, and the shift.
    EXPECT_EQ(trip["after"]["output_latency"].whole() - trip["before"]["output_latency"].whole(), 384 + 500);
    EXPECT_TRUE(trip["failed_step"].isNull());
    EXPECT_EQ(trip["steps"].size(), 8u);
    EXPECT_GE(trip["first_switch_ms"].number, 0);
    EXPECT_LT(trip["first_switch_ms"].number, 2000);
    EXPECT_GT(trip["stream_after"]["switches"].whole(), 50);
    // Late switches are a loaded machine's as often as the device's: a warning at most.
    EXPECT_NE(trip["stream_after"]["timing"].text, "FAIL") << trip["stream_after"]["why"].text;

    // The device's own log: the first object released before the second was made, which got
    // buffers of its preferred size and a start of its own.
    std::vector<SimCall> released = calls(device, SIM_RELEASED, 1);
    std::vector<SimCall> made = calls(device, SIM_CREATED, 2);
    ASSERT_EQ(released.size(), 1u);
    ASSERT_EQ(made.size(), 1u);
    std::vector<SimCall> created = calls(device, SIM_CREATE_BUFFERS, 2);
    ASSERT_GE(created.size(), 1u);
    EXPECT_EQ(created[0].b, 512);
    EXPECT_EQ(calls(device, SIM_START, 2).size(), 1u);
    EXPECT_EQ(device->shared->instancesAlive, 0);
}

// A buffer size change: the buffers given back and made again at the size asked for, on the same
// object (no release), as the device's log shows.
TEST_F(CheckerTest, RunMakesTheBuffersAgainAtTheSizeABufferSizeChangeAsksFor)
{
    SimConfig config = fastConfig();
    config.periodUs = 0;  // real time: the pace after it follows the new size
    config.preferredSize = 128;
    config.requestSelector = SIM_MSG_BUFFER_SIZE_CHANGE;
    config.requestValue = 512;
    config.requestAtSwitch = 50;
    RegisteredDevice *device = addDevice(config);

    JsonValue run = runJson("run 0 --seconds 1", 0);
    ASSERT_GE(run["round_trips"].size(), 1u) << lastErr;
    const JsonValue &trip = run["round_trips"][0];
    EXPECT_EQ(trip["request"].text, "buffer_size");
    EXPECT_EQ(trip["size"].whole(), 512);
    EXPECT_EQ(trip["buffer_size"].whole(), 512);
    EXPECT_EQ(trip["steps"].size(), 5u) << "stop, disposeBuffers, the figures, createBuffers, start";
    EXPECT_NE(trip["stream_after"]["timing"].text, "FAIL") << trip["stream_after"]["why"].text;
    std::vector<SimCall> created = calls(device, SIM_CREATE_BUFFERS, 1);
    ASSERT_GE(created.size(), 2u);
    EXPECT_EQ(created[0].b, 128);
    EXPECT_EQ(created[1].b, 512);
    EXPECT_EQ(calls(device, SIM_CREATED).size(), 1u) << "the same object throughout";

    // A size its own figures do not allow ends the round trip: a driver failure, shown with the run.
    config.requestValue = -5;
    addDevice(config);
    JsonValue refused = runJson("run 1 --seconds 1", 3);
    EXPECT_GT(refused["switches"].whole(), 0) << "the run up to the request stands";
    ASSERT_EQ(refused["round_trips"].size(), 1u);
    EXPECT_EQ(refused["round_trips"][0]["failed_step"].text, "the figures read again");
    EXPECT_TRUE(contains(lastErr, "asked for buffers of -5 frames")) << lastErr;
}

// A request that comes before the window could hold a switch (here latencies changed after every
// switch, so one is always waiting when the checker's own round trip returns) is acted on only once
// the window had its least length: no window is judged empty for it.
TEST_F(CheckerTest, RunJudgesNoEmptyWindowForARequestThatCameAtOnce)
{
    SimConfig config = fastConfig();
    config.periodUs = 0;
    config.preferredSize = 128;
    config.requestSelector = SIM_MSG_LATENCIES_CHANGED;
    config.requestAtSwitch = 1;
    config.requestRepeat = 1;
    addDevice(config);

    JsonValue run = runJson("run 0 --seconds 1", 0);
    EXPECT_GT(run["switches"].whole(), 0) << lastErr;
    ASSERT_GE(run["round_trips"].size(), 2u) << lastErr;
    for (const JsonValue &trip : run["round_trips"].items) {
        if (trip["policy"].text == "follow") {
            EXPECT_GT(trip["stream_after"]["switches"].whole(), 0);
        }
    }
}

// The stream after a request is held to the user's thresholds and to the rate the driver reports,
// closely enough to tell 44.1 kHz from 48 kHz: a device that announces 44100 and keeps its clock
// at 48000's pace fails, as does a new size its clock does not follow; one whose clock follows
// passes.
TEST_F(CheckerTest, RunHoldsTheStreamAfterARequestToTheRateAndTheUsersThresholds)
{
    SimConfig config = fastConfig();
    config.periodUs = 0;
    config.preferredSize = 128;
    strcpy(config.announceRate, "44100");
    config.announceAtSwitch = 50;
    addDevice(config);
    JsonValue followed = runJson("run 0 --seconds 1", 0);
    ASSERT_EQ(followed["round_trips"].size(), 1u) << lastErr;
    EXPECT_EQ(followed["round_trips"][0]["after"]["sample_rate"].number, 44100);

    config.periodUs = 2667;  // 128 frames at 48000, whatever the rate
    addDevice(config);
    runJson("run 1 --seconds 1.5", 1);
    EXPECT_TRUE(contains(lastErr, "rate request: ") && contains(lastErr, "keeps another pace")) << lastErr;

    SimConfig resized = fastConfig();
    resized.periodUs = 2667;
    resized.preferredSize = 128;
    resized.granularity = 16;
    resized.requestSelector = SIM_MSG_BUFFER_SIZE_CHANGE;
    resized.requestValue = 112;
    resized.requestAtSwitch = 50;
    addDevice(resized);
    runJson("run 2 --seconds 1.5 --min-switch-ratio 0.95", 1);
    EXPECT_TRUE(contains(lastErr, "buffer_size request: switch ratio 0.8")) << lastErr;

    // Announced, and kept by the clock, but not what getSampleRate reports.
    config.periodUs = 0;
    config.announceUnreported = 1;
    addDevice(config);
    runJson("run 3 --seconds 1", 1);
    EXPECT_TRUE(contains(lastErr, "announced 44100 Hz, and getSampleRate then reported 48000 Hz"))
        << lastErr;
}

// A driver that crashes in the round trip's init: the crash names the call, and what the run
// measured before the request stands.
TEST_F(CheckerTest, RunNamesTheCallADriverCrashesInDuringTheRoundTrip)
{
    SimConfig config = fastConfig();
    config.requestSelector = SIM_MSG_RESET_REQUEST;
    config.requestAtSwitch = 50;
    strcpy(config.faultCall, "init");
    config.faultKind = 1;
    config.faultAtCall = 2;
    addDevice(config);

    JsonValue run = runJson("run 0 --seconds 2", 4);
    EXPECT_EQ(run["failure"]["kind"].text, "crash");
    EXPECT_EQ(run["failure"]["call"].text, "init()");
    EXPECT_EQ(run["stage"].text, "measured");
    EXPECT_GE(run["switches"].whole(), 50);
    ASSERT_EQ(run["round_trips"].size(), 1u);
    EXPECT_EQ(run["round_trips"][0]["request"].text, "reset");
}

// --on-reset stop ends the run at the request; ignore notes it and streams on with the one object.
TEST_F(CheckerTest, RunOnResetStopEndsAtTheRequestAndIgnoreStreamsOn)
{
    SimConfig config = fastConfig();
    config.requestSelector = SIM_MSG_RESET_REQUEST;
    config.requestAtSwitch = 50;
    RegisteredDevice *device = addDevice(config);

    JsonValue stopped = runJson("run 0 --seconds 3 --on-reset stop", 0);
    ASSERT_EQ(stopped["round_trips"].size(), 1u);
    EXPECT_EQ(stopped["round_trips"][0]["policy"].text, "stop");
    EXPECT_LT(stopped["seconds"].number, 1.5) << "the run ended at the request, not after 3 s";
    EXPECT_EQ(calls(device, SIM_CREATED).size(), 1u);

    resetRecord(device);
    CheckerRun ignored = runChecker("run 0 --seconds 1 --on-reset ignore");
    EXPECT_EQ(ignored.exitCode, 0) << ignored.err;
    EXPECT_TRUE(contains(ignored.out, "Reset requested")) << ignored.out;
    EXPECT_TRUE(contains(ignored.out, "the checker ignored it")) << ignored.out;
    EXPECT_EQ(calls(device, SIM_CREATED).size(), 1u);
    EXPECT_EQ(calls(device, SIM_START).size(), 1u);
}

// The run's processor time: the driver's part is what the device counted of its own switch thread
// (less the checker's callback, which that thread ran).
TEST_F(CheckerTest, RunShowsWhatTheDriversOwnThreadsCost)
{
    SimConfig config = fastConfig();
    config.periodUs = 0;
    config.spinPercent = 40;
    RegisteredDevice *device = addDevice(config);

    JsonValue run = runJson("run 0 --seconds 2", 0);
    const JsonValue &cpu = run["cpu"];
    double window = cpu["window_ms"].number;
    EXPECT_NEAR(window, 2000, 200);
    EXPECT_EQ(cpu["switches"].whole(), run["switches"].whole());
    EXPECT_GE(cpu["process_ms"].number, cpu["driver_ms"].number);
    EXPECT_GE(cpu["process_ms"].number, cpu["checker_ms"].number);
    EXPECT_GT(cpu["callback_ms"].number, 0);
    double own = (device->shared->switchThreadCpuUs / 1e3 - cpu["callback_ms"].number) / window * 100;
    EXPECT_NEAR(cpu["driver_core_share"].number, own, 5);
    EXPECT_GT(own, 10) << "the device spun";

    CheckerRun text = runChecker("run 0 --seconds 0.5");
    EXPECT_TRUE(contains(text.out, "Processor time: the driver's own threads used ")) << text.out;
}

TEST_F(CheckerTest, RunCountsTheLateSwitchesOfAStallingDevice)
{
    SimConfig config = fastConfig();
    config.periodUs = 0;
    config.preferredSize = 256;  // 5.3 ms
    config.stallEvery = 25;
    config.stallMs = 40;
    RegisteredDevice *device = addDevice(config);

    JsonValue late = runJson("run 0 --seconds 2 --max-late 0", 1);
    EXPECT_GE(device->shared->stalls, 5);
    EXPECT_GE(late["late_switches"].whole(), device->shared->stalls);
    EXPECT_GE(late["intervals"]["max_us"].number, 40000);
    EXPECT_EQ(check(late, "max_late")["value"].whole(), late["late_switches"].whole());
    EXPECT_FALSE(check(late, "max_late")["passed"].flag);

    JsonValue passed = runJson("run 0 --seconds 1 --max-late 100000 --min-switch-ratio 0.01", 0);
    EXPECT_TRUE(check(passed, "max_late")["passed"].flag);
    EXPECT_TRUE(check(passed, "min_switch_ratio")["passed"].flag);
}

TEST_F(CheckerTest, LatencyMeasuresTheDevicesTrueRoundTripAndShowsALie)
{
    struct Case {
        int frames;
        int inputDelay, outputDelay, lie;
        int type;
    };
    const Case cases[] = {
        {64, 0, 0, 0, SIM_ST_INT32_LSB},
        {64, 100, 37, 0, SIM_ST_INT16_LSB},
        {512, 0, 0, -15, SIM_ST_FLOAT32_LSB},
        {512, 100, 37, 48, SIM_ST_INT24_LSB},
    };
    for (const Case &c : cases) {
        SimConfig config = fastConfig();
        config.periodUs = 0;
        config.preferredSize = c.frames;
        config.sampleType = c.type;
        config.inputDelay = c.inputDelay;
        config.outputDelay = c.outputDelay;
        config.latencyLie = c.lie;
        config.cableOut = 1;
        config.cableIn = 0;
        addDevice(config);
    }
    for (size_t k = 0; k < 4; k++) {
        const Case &c = cases[k];
        SCOPED_TRACE(testing::Message() << c.frames << " frames, delays " << c.inputDelay << "/"
                                        << c.outputDelay << ", lie " << c.lie << ", type " << c.type);
        JsonValue latency = runJson("latency " + std::to_string(k) + " --out 1 --in 0 --pings 3", 0);
        long long trueTrip = devices[k]->shared->trueRoundTrip;
        EXPECT_EQ(trueTrip, 2 * c.frames + c.inputDelay + c.outputDelay);
        ASSERT_EQ(latency["pings"].size(), 3u);
        for (size_t p = 0; p < 3; p++)
            EXPECT_EQ(latency["pings"][p]["round_trip_frames"].whole(), trueTrip) << "ping " << p;
        EXPECT_EQ(latency["round_trip"]["median_frames"].whole(), trueTrip);
        EXPECT_EQ(latency["round_trip"]["spread_frames"].whole(), 0);
        EXPECT_EQ(latency["reported"]["total_frames"].whole(), trueTrip + c.lie);
        EXPECT_EQ(latency["difference_frames"].whole(), c.lie);
    }
}

TEST_F(CheckerTest, LatencyWithoutACableOrWithAnUnreadableTypeSaysSo)
{
    SimConfig config = fastConfig();
    config.periodUs = 0;
    config.cableOut = 0;
    config.cableIn = 1;
    addDevice(config);
    config.sampleType = SIM_ST_INT16_MSB;
    addDevice(config);

    // Input 0 carries the device's own busy pattern, never the cable's silence.
    JsonValue lost = runJson("latency 0 --out 1 --in 0 --pings 2", 1);
    EXPECT_TRUE(lost["pings"][0]["lost"].flag);
    EXPECT_TRUE(contains(lastErr, "the input never fell quiet before the echo")) << lastErr;

    JsonValue refused = runJson("latency 1 --out 0 --in 1", 2);
    EXPECT_TRUE(contains(refused["error"].text, "ASIOSTInt16MSB"));
}

TEST_F(CheckerTest, BadArgumentsExitTwoAndNameTheChoices)
{
    addDevice(fastConfig(), "Alpha Device");
    addDevice(fastConfig(), "Beta Device");
    struct Case {
        const char *arguments;
        const char *message;
    };
    // The rules of the command line alone are the unit test's (tests/unit/checker_pure_test.cpp);
    // here, a few of them end to end, and those that need the drivers.
    const Case cases[] = {
        {"", "no command"},
        {"run 0 --bogus", "unknown option --bogus"},
        {"info 7", "there is no driver 7: the list has 0 to 1"},
        {"info device", "\"device\" is ambiguous"},
        {"info gamma", "no driver's name contains \"gamma\""},
        {"run 0 --buffer 100", "buffer size 100 is not one the driver takes"},
        {"run 0 --rate 44100", "the driver refuses 44100 Hz (canSampleRate answered ASE_NoClock)"},
        {"latency 1 --out 5 --in 0", "there is no output 5: the driver has outputs 0 to 1"},
        {"report 0 -o Q:\\no\\such\\folder\\r.html", "cannot write the report"},
    };
    for (const Case &c : cases) {
        CheckerRun run = runChecker(c.arguments);
        EXPECT_EQ(run.exitCode, 2) << c.arguments;
        EXPECT_TRUE(contains(run.err, c.message)) << c.arguments << ": " << run.err;
        EXPECT_TRUE(run.out.empty()) << c.arguments << ": " << run.out;
        if (contains(c.message, "driver 7") || contains(c.message, "ambiguous") ||
            contains(c.message, "gamma")) {
            EXPECT_TRUE(contains(run.err, "  0  Alpha Device\n  1  Beta Device\n")) << run.err;
        }
    }

    JsonValue byName = runJson("info BETA", 0);
    EXPECT_EQ(byName["driver"]["index"].whole(), 1);
    CheckerRun version = runChecker("--version");
    EXPECT_EQ(version.exitCode, 0);
    EXPECT_EQ(version.out, std::string("quorvelcheck ") + QUORVEL_VERSION_TEXT + " (" +
                               (sizeof(void *) == 8 ? "x64" : "x86") + ")\n");
    CheckerRun help = runChecker("run --help");
    EXPECT_EQ(help.exitCode, 0);
    EXPECT_TRUE(contains(help.out, "--max-late N")) << help.out;
}

}  // namespace
