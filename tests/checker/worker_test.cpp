// The checker against drivers that crash, hang, end the process or tell it things that are not so:
// the real program, its worker, and simulated devices that break one rule each.
#include "tests/checker/checker_process.h"
#include "tests/support/json_reader.h"
#include "simdevice/sim_asio_abi.h"
#include "tests/support/sim_fixture.h"
#include "tests/support/testkit.h"
#include "tests/support/text_search.h"

#include <gtest/gtest.h>
#include <stdio.h>
#include <string.h>
#include <string>

namespace {

class WorkerTest : public SimProgramTest {
protected:
    // Runs the checker with --json; the document, with the exit code and seconds it took.
    JsonValue runJson(const std::string &arguments, int *code, double *seconds = nullptr)
    {
        DWORD started = GetTickCount();
        CheckerRun run = runChecker(arguments + " --json");
        if (seconds)
            *seconds = (GetTickCount() - started) / 1000.0;
        *code = run.exitCode;
        lastErr = run.err;
        JsonValue document;
        EXPECT_TRUE(parseJson(run.out, &document)) << arguments << ": not one JSON document:\n"
                                                   << run.out << run.err;
        EXPECT_EQ(document["exit_code"].whole(), run.exitCode) << arguments;
        return document;
    }
    SimConfig faulty(const char *call, int kind)
    {
        SimConfig config = fastConfig();
        snprintf(config.faultCall, sizeof config.faultCall, "%s", call);
        config.faultKind = kind;
        return config;
    }
    // The device's last setSampleRate, as it logged it.
    long lastRateSet(const RegisteredDevice *device)
    {
        std::vector<SimCall> set = calls(device, SIM_SET_SAMPLE_RATE);
        return set.empty() ? -1 : set.back().a;
    }
    std::string lastErr;
};

TEST_F(WorkerTest, ACrashHangOrExitInACallIsStatusFourWithTheCallNamedAndWhatWasMeasured)
{
    enum { CRASH = 1, HANG = 2, EXIT = 3 };
    struct Case {
        const char *call;
        int kind;
        const char *stage;  // how far the run got
    };
    const Case cases[] = {
        {"init", CRASH, "opened"},        {"createBuffers", CRASH, "prepared"},
        {"start", CRASH, "prepared"},     {"stop", CRASH, "measured"},
        {"init", HANG, "opened"},         {"createBuffers", HANG, "prepared"},
        {"start", HANG, "prepared"},      {"stop", HANG, "measured"},
        {"start", EXIT, "prepared"},
    };
    for (const Case &c : cases)
        addDevice(faulty(c.call, c.kind));
    const double timeout = 1, runSeconds = 0.5;
    for (size_t k = 0; k < sizeof cases / sizeof cases[0]; k++) {
        const Case &c = cases[k];
        SCOPED_TRACE(std::string(c.call) + (c.kind == CRASH ? " crash" : c.kind == HANG ? " hang" : " exit"));
        int code = 0;
        double seconds = 0;
        JsonValue run = runJson("run " + std::to_string(k) + " --seconds 0.5 --call-timeout 1", &code,
                                &seconds);
        EXPECT_EQ(code, 4);
        const JsonValue &failure = run["failure"];
        std::string call = std::string(c.call) + "()";
        EXPECT_EQ(failure["call"].text, call);
        EXPECT_EQ(run["stage"].text, c.stage);
        if (c.kind == CRASH) {
            EXPECT_EQ(failure["kind"].text, "crash");
            // The code the system gives the device's write through a bad pointer, as the system
            // gave it: an illegal instruction where 32-bit code runs under qemu.
            char code[32];
            snprintf(code, sizeof code, "0x%08lX", badWriteExceptionCode());
            const char *name = badWriteExceptionCode() == 0xC0000005 ? "access violation"
                                                                     : "illegal instruction";
            EXPECT_EQ(failure["exception_code"].text, code);
            EXPECT_EQ(failure["exception"].text, name);
            EXPECT_EQ(failure["module"].text, sizeof(void *) == 8 ? "simasio64.dll" : "simasio.dll");
            EXPECT_TRUE(contains(lastErr, "the driver crashed in " + call + ": exception " + code +
                                              " (" + name + ") at simasio"))
                << lastErr;
        } else if (c.kind == HANG) {
            EXPECT_EQ(failure["kind"].text, "hang");
            EXPECT_TRUE(contains(lastErr, "the driver did not return from " + call + " within 1 s"))
                << lastErr;
            // The checker gives up a second after the limit, at most: the run and the worker's start
            // come before the call.
            EXPECT_LT(seconds, runSeconds + timeout + 2.5 + run["worker"]["start_ms"].number / 1000);
        } else {
            EXPECT_EQ(failure["kind"].text, "exit");
            EXPECT_EQ(failure["process_exit_code"].whole(), 77);
            EXPECT_TRUE(contains(lastErr, "the driver ended the process in start(): exit code 77"))
                << lastErr;
        }
        if (std::string(c.stage) == "measured") {
            EXPECT_GT(run["switches"].whole(), 10) << "measured before the stop was asked for";
        }
        if (std::string(c.stage) == "prepared") {
            EXPECT_EQ(run["buffer_size"].whole(), 64);
        }
        if (std::string(c.call) != "init") {
            EXPECT_EQ(run["driver"]["driver_name"].text, "Quorvel Sim");
        }
    }

    // The text output keeps what was measured too.
    resetRecord(devices[3]);
    CheckerRun text = runChecker("run 3 --seconds 0.5");
    EXPECT_EQ(text.exitCode, 4);
    EXPECT_TRUE(contains(text.out, "Switches: ")) << text.out;
}

TEST_F(WorkerTest, ListProbeShowsEveryDriverThoughOneCrashesAndOneHangs)
{
    addDevice(faulty("init", 1), "Crashing Device");
    addDevice(faulty("create", 2), "Hanging Device");
    SimConfig failing = fastConfig();
    strcpy(failing.initError, "Quorvel Sim: no hardware");
    addDevice(failing, "Failing Device");
    addDevice(fastConfig(), "Good Device");

    int code = 0;
    JsonValue list = runJson("list --probe --call-timeout 1", &code);
    EXPECT_EQ(code, 4) << "the worst of the probes";
    const JsonValue &drivers = list["drivers"];
    ASSERT_EQ(drivers.size(), 4u);
    EXPECT_EQ(drivers[0]["probe"]["failure"]["kind"].text, "crash");
    EXPECT_EQ(drivers[0]["probe"]["failure"]["call"].text, "init()");
    EXPECT_EQ(drivers[1]["probe"]["failure"]["kind"].text, "hang");
    EXPECT_EQ(drivers[1]["probe"]["failure"]["call"].text, "CoCreateInstance()");
    EXPECT_TRUE(drivers[2]["probe"]["loads"].flag);
    EXPECT_FALSE(drivers[2]["probe"]["initialises"].flag);
    EXPECT_EQ(drivers[2]["probe"]["error_message"].text, "Quorvel Sim: no hardware");
    EXPECT_TRUE(drivers[3]["probe"]["initialises"].flag);
    EXPECT_EQ(drivers[3]["probe"]["driver_name"].text, "Quorvel Sim");
    EXPECT_GE(drivers[3]["probe"]["create_ms"].number, 0);

    for (RegisteredDevice *device : devices)
        resetRecord(device);
    CheckerRun text = runChecker("list --probe --call-timeout 1");
    EXPECT_TRUE(contains(text.out, "probe: the driver crashed in init()")) << text.out;
    EXPECT_TRUE(contains(text.out, "probe: hung: the driver did not return from CoCreateInstance()"))
        << text.out;
    EXPECT_TRUE(contains(text.out, "init failed after")) << text.out;
    EXPECT_TRUE(contains(text.out, "\"Quorvel Sim\", version 1")) << text.out;
}

TEST_F(WorkerTest, ARunWithoutSwitchesOrThatStopsSwitchingIsNoPass)
{
    SimConfig silent = fastConfig();
    silent.silentStartAt = 1;
    addDevice(silent);
    SimConfig stopping = fastConfig();
    stopping.stopCallbacksAfter = 50;  // 0.1 s of a 2 s run
    strcpy(stopping.failCall, "stop");  // and, gone, it answers an error when it is closed
    stopping.failCount = -1;
    addDevice(stopping);
    SimConfig timeInfoOnly = fastConfig();
    timeInfoOnly.timeInfoOnly = 1;
    addDevice(timeInfoOnly);

    int code = 0;
    JsonValue none = runJson("run 0 --seconds 0.5 --max-late 0", &code);
    EXPECT_EQ(code, 1);
    EXPECT_EQ(none["switches"].whole(), 0);
    EXPECT_EQ(none["late_switches"].whole(), 1) << "the whole run is one gap";
    resetRecord(devices[0]);
    runJson("run 0 --seconds 0.5", &code);
    EXPECT_EQ(code, 1) << "not one switch misses without any threshold";
    EXPECT_TRUE(contains(lastErr, "the driver made no buffer switch")) << lastErr;

    // No threshold given: a stream that stops misses all the same, and says when it stopped.
    JsonValue stopped = runJson("run 1 --seconds 2", &code);
    EXPECT_EQ(code, 1);
    EXPECT_GE(stopped["tail_gap_us"].number, 1e6);
    const JsonValue &kept = stopped["stream_kept"];
    EXPECT_FALSE(kept["passed"].flag);
    EXPECT_NEAR(kept["longest_gap_at_us"].number, 0.1e6, 0.05e6);
    EXPECT_TRUE(contains(lastErr, "the stream was not kept going: the switches stopped 0.1")) << lastErr;
    EXPECT_TRUE(contains(lastErr, " s into the run and did not come back")) << lastErr;
    bool stopNoted = false;
    for (size_t i = 0; i < stopped["calls_not_ok"].size(); i++)
        stopNoted = stopNoted || stopped["calls_not_ok"][i]["call"].text == "stop";
    EXPECT_TRUE(stopNoted) << "the stop that failed while the driver was closed";

    JsonValue declined = runJson("run 2 --seconds 0.5", &code);
    EXPECT_EQ(code, 1) << "time info declined, and the driver never called bufferSwitch";
    EXPECT_GT(declined["time_info_switches"].whole(), 10);
    JsonValue offered = runJson("run 2 --seconds 0.5 --time-info", &code);
    EXPECT_EQ(code, 0);
    EXPECT_GT(offered["switches"].whole(), 100);
    EXPECT_EQ(offered["buffer_switch_calls"].whole(), 0);
}

TEST_F(WorkerTest, TheRateIsSetBackWhateverHappensAndFiguresAreJudgedForWhatTheyAre)
{
    SimConfig rates = fastConfig();
    rates.periodUs = 0;  // the pace of the rate set: a stream at a third of it would not be kept
    strcpy(rates.sampleRates, "48000,96000");
    RegisteredDevice *device = addDevice(rates);
    SimConfig subnormal = fastConfig();
    strcpy(subnormal.sampleRate, "1e-310");
    addDevice(subnormal);
    SimConfig huge = fastConfig();
    strcpy(huge.sampleRate, "1e300");
    huge.cableOut = 0;
    huge.cableIn = 0;
    addDevice(huge);
    SimConfig crowded = fastConfig();
    crowded.inputs = 2000000;
    addDevice(crowded);
    SimConfig empty = fastConfig();
    empty.preferredSize = 0;
    addDevice(empty);
    SimConfig refusing = fastConfig();
    refusing.createBuffersFails = 1;
    RegisteredDevice *refuser = addDevice(refusing);

    int code = 0;
    runJson("run 0 --rate 96000 --buffer 100", &code);
    EXPECT_EQ(code, 2);
    EXPECT_EQ(lastRateSet(device), 48000) << "set back after a refused buffer size";
    runJson("run 0 --rate 96000 --seconds 0.3", &code);
    EXPECT_EQ(code, 0);
    EXPECT_EQ(lastRateSet(device), 48000) << "set back after a run";

    JsonValue tiny = runJson("run 1 --seconds 0.3 --max-late 0", &code);
    EXPECT_EQ(code, 1) << "a rate of 1e-310 Hz times nothing";
    EXPECT_TRUE(tiny["late_switches"].isNull());
    runJson("latency 2 --out 0 --in 0", &code);
    EXPECT_EQ(code, 3);
    EXPECT_TRUE(contains(lastErr, "no usable sample rate")) << lastErr;

    runJson("run 3 --seconds 0.3", &code);
    EXPECT_EQ(code, 3);
    EXPECT_TRUE(contains(lastErr, "claims 2000002 channels")) << lastErr;
    runJson("run 4 --seconds 0.3", &code);
    EXPECT_EQ(code, 3);
    EXPECT_TRUE(contains(lastErr, "preferred buffer size is 0")) << lastErr;

    runJson("run 5 --seconds 0.3", &code);
    EXPECT_EQ(code, 3);
    EXPECT_TRUE(contains(lastErr, "createBuffers(64 frames) answered")) << lastErr;
    EXPECT_EQ(refuser->shared->opCounts[SIM_START], 0) << "no start after a failed createBuffers";
}

TEST_F(WorkerTest, LatencyReadsTheClaimAgainAndSaysWhyAPingWasLost)
{
    SimConfig changing = fastConfig();
    changing.periodUs = 0;
    changing.cableOut = 1;
    changing.cableIn = 0;
    changing.requestSelector = SIM_MSG_LATENCIES_CHANGED;
    changing.requestAtSwitch = 5;
    changing.requestLatencyShift = 100;
    addDevice(changing);
    SimConfig weak = changing;
    weak.requestSelector = 0;
    strcpy(weak.signalFault, "gain");
    strcpy(weak.signalFaultLevel, "0.01");
    addDevice(weak);
    SimConfig noisy = weak;
    strcpy(noisy.signalFault, "noise");
    strcpy(noisy.signalFaultLevel, "0.05");
    addDevice(noisy);

    int code = 0;
    JsonValue changed = runJson("latency 0 --out 1 --in 0 --pings 2", &code);
    EXPECT_EQ(code, 0);
    EXPECT_EQ(changed["reported_after"]["total_frames"].whole(),
              changed["reported"]["total_frames"].whole() + 100);
    EXPECT_EQ(changed["difference_frames"].whole(), 100) << "against the claim after the run";
    bool seen = false;
    for (size_t i = 0; i < changed["messages"].size(); i++)
        seen = seen || changed["messages"][i]["name"].text == "kAsioLatenciesChanged";
    EXPECT_TRUE(seen);
    // ... and on the timeline, from the device's switch thread right after its fifth switch.
    const JsonValue &notes = changed["notifications"];
    ASSERT_GT(notes.size(), 0u);
    const JsonValue &last = notes[notes.size() - 1];
    EXPECT_EQ(last["selector_name"].text, "kAsioLatenciesChanged");
    EXPECT_EQ(last["thread"].text, "driver 1");
    EXPECT_NEAR(static_cast<double>(last["after_switch"].whole()), changing.requestAtSwitch, 1);

    runJson("latency 1 --out 1 --in 0 --pings 1", &code);
    EXPECT_EQ(code, 1);
    EXPECT_TRUE(contains(lastErr, "nothing above the threshold of -12.0 dBFS came back (the loudest "
                                  "level on the input was -46.0 dBFS)")) << lastErr;
    runJson("latency 2 --out 1 --in 0 --pings 1", &code);
    EXPECT_EQ(code, 1);
    EXPECT_TRUE(contains(lastErr, "the input never fell quiet before the echo")) << lastErr;
}

}  // namespace
