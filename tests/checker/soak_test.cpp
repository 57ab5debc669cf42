// quorvelcheck soak against the simulated device at its real pace (96 frames at 48 kHz: 2 ms a
// period, so that the rate it reports is the rate it keeps): what soak measures set against what
// the device's shared record says its own clock did.
#include "tests/checker/checker_process.h"
#include "tests/support/json_reader.h"
#include "tests/support/sim_fixture.h"
#include "tests/support/testkit.h"

#include <gtest/gtest.h>
#include <stdio.h>
#include <string>
#include <vector>

namespace {

class SoakTest : public SimProgramTest {
protected:
    static SimConfig paceConfig()
    {
        SimConfig config;
        simDefaultConfig(&config);
        config.preferredSize = 96;
        return config;
    }
    JsonValue soak(RegisteredDevice *device, const SimConfig &config, const std::string &more, int *code)
    {
        EXPECT_EQ(simWriteConfig(device->clsid.c_str(), &config), 0);
        resetRecord(device);
        return runCheckerJson("soak 0 --call-timeout 5 " + more, code, &err);
    }
    static std::string verdict(const JsonValue &document, const char *check)
    {
        const JsonValue &checks = document["checks"];
        for (size_t i = 0; i < checks.size(); i++) {
            if (checks[i]["check"].text == check)
                return checks[i]["verdict"].text;
        }
        return "";
    }
    static double devicePpm(const RegisteredDevice *device)
    {
        return device->shared->clockErrorMilliPpm / 1000.0;
    }
    std::string err;
};

std::vector<std::string> fileLines(const std::string &path)
{
    std::vector<std::string> lines;
    FILE *file = fopen(path.c_str(), "rb");
    if (!file)
        return lines;
    std::string text;
    char buffer[4096];
    size_t got;
    while ((got = fread(buffer, 1, sizeof buffer, file)) > 0)
        text.append(buffer, got);
    fclose(file);
    size_t at = 0, end;
    while ((end = text.find('\n', at)) != std::string::npos) {
        lines.push_back(text.substr(at, end - at));
        at = end + 1;
    }
    if (at < text.size())
        lines.push_back(text.substr(at));  // a half line: the test below fails on it
    return lines;
}

// The rate errors of these few seconds are held within 150 ppm: on a busy machine the least delayed
// switch of a quarter second is itself late by a tenth of a millisecond now and then.
//
// The clean device passes, its position crossing 2^32 a second in; a line of the log per
// checkpoint, each whole JSON; the same device with the high half not carried fails on the
// position; and a soak too short for a regression is not judged.
TEST_F(SoakTest, CleanDevicePassesAndTheCrossingOf2To32IsJudged)
{
    SimConfig config = paceConfig();
    snprintf(config.positionStart, sizeof config.positionStart, "%llu", (1ull << 32) - 48000);
    RegisteredDevice *device = addDevice(config);
    std::string log = buildFilePath("soak-log.jsonl");
    int code = -1;
    JsonValue document = soak(device, config, "--seconds 3 --checkpoint-seconds 1 --log \"" + log + "\"", &code);
    EXPECT_EQ(code, 0) << err;
    EXPECT_EQ(document["end"].text, "time");
    EXPECT_EQ(verdict(document, "stream_kept"), "PASS");
    EXPECT_EQ(verdict(document, "rate_error"), "PASS");
    EXPECT_EQ(verdict(document, "sample_position"), "PASS");
    EXPECT_NEAR(document["ppm"].number, 0, 150) << err;
    EXPECT_NEAR(document["ppm"].number, devicePpm(device), 150);
    EXPECT_GT(document["position"]["last"].number, 4294967296.0);
    EXPECT_LT(document["position"]["first"].number, 4294967296.0);
    long long checkpoints = document["checkpoints"].whole();
    EXPECT_GE(checkpoints, 3);
    EXPECT_LT(document["memory_last_bytes"].number - document["memory_first_bytes"].number, 1048576);
    std::vector<std::string> lines = fileLines(log);
    ASSERT_EQ(static_cast<long long>(lines.size()), checkpoints);
    for (size_t i = 0; i < lines.size(); i++) {
        JsonValue line;
        ASSERT_TRUE(parseJson(lines[i], &line)) << lines[i];
        EXPECT_EQ(line["checkpoint"].whole(), static_cast<long long>(i + 1));
    }

    config.positionCarryFault = 1;
    document = soak(device, config, "--seconds 2", &code);
    EXPECT_EQ(code, 1) << err;
    EXPECT_EQ(verdict(document, "sample_position"), "FAIL");
    EXPECT_GE(document["position"]["backs"].whole(), 1);
    EXPECT_NEAR(document["position"]["fault_before"].number - document["position"]["fault_after"].number,
                4294967296.0, 48000);

    // A position that stands after 10 periods, never going back: it fails all the same.
    config = paceConfig();
    config.positionFault = 1;
    document = soak(device, config, "--seconds 2", &code);
    EXPECT_EQ(code, 1) << err;
    EXPECT_EQ(verdict(document, "sample_position"), "FAIL");

    config = paceConfig();
    document = soak(device, config, "--seconds 0.3", &code);
    EXPECT_EQ(code, 1) << err;
    EXPECT_EQ(verdict(document, "rate_error"), "not judged");
}

// A clock 500 ppm fast is measured as the device's own account has it, and warns; a step of its
// rate shows in the windows, and a rate that slides as a trend.
TEST_F(SoakTest, ClockErrorAndItsTrendAreMeasured)
{
    SimConfig config = paceConfig();
    config.clockPpm = 500;
    RegisteredDevice *device = addDevice(config);
    int code = -1;
    JsonValue document = soak(device, config, "--seconds 2.5", &code);
    EXPECT_EQ(code, 0) << err;
    EXPECT_NEAR(devicePpm(device), 500, 5);
    EXPECT_NEAR(document["ppm"].number, devicePpm(device), 150) << err;
    EXPECT_NEAR(document["stamp_ppm"].number, devicePpm(device), 10);
    EXPECT_EQ(verdict(document, "rate_error"), "WARN");

    // A step of 2000 ppm 1.5 s in shows in the windows after it, and the run's 1000 ppm or so
    // fails over 5 x --max-ppm 100.
    config.clockPpm = 0;
    config.rateStepAtMs = 1500;
    config.rateStepPpm = 2000;
    document = soak(device, config, "--seconds 4 --checkpoint-seconds 1 --max-ppm 100", &code);
    EXPECT_EQ(code, 1) << err;
    EXPECT_EQ(verdict(document, "rate_error"), "FAIL");
    const JsonValue &windows = document["windows"];
    ASSERT_GE(windows.size(), 4u);
    // A window of a second under emulation can be some hundreds of ppm off; the step is not.
    EXPECT_NEAR(windows[0]["ppm"].number, 0, 800);
    EXPECT_NEAR(windows[windows.size() - 1]["ppm"].number, 2000, 800);
    EXPECT_GT(windows[windows.size() - 1]["ppm"].number - windows[0]["ppm"].number, 1000);
    EXPECT_NEAR(document["ppm"].number, devicePpm(device), 300);

    // 600000 ppm a minute is 10000 ppm a second: 36 million ppm an hour, far above what a busy
    // machine's delays make of a window of a second.
    config = paceConfig();
    config.slidePpmPerMinute = 600000;
    document = soak(device, config, "--seconds 3.5 --checkpoint-seconds 1 --max-ppm 1000000", &code);
    EXPECT_EQ(verdict(document, "rate_trend"), "WARN") << err;
    EXPECT_NEAR(document["trend_ppm_per_hour"].number, 3.6e7, 1.2e7);
    // The fit's straight line through a sliding rate and the device's mean meet within a tenth.
    EXPECT_NEAR(document["ppm"].number, devicePpm(device), 0.1 * devicePpm(device));
}

// A stream that stops fails as stopped, the soak ending there, with the flight recorder holding
// the intervals before the stop; a soak the user interrupts ends with its result so far and every
// checkpoint's line, not judged; a crash is a crash.
TEST_F(SoakTest, AStopAnInterruptAndACrashEachEndTheSoakAsTheirOwn)
{
    SimConfig config = paceConfig();
    config.stopAtMs = 1500;
    RegisteredDevice *device = addDevice(config);
    int code = -1;
    JsonValue document = soak(device, config, "--seconds 6", &code);
    EXPECT_EQ(code, 1) << err;
    EXPECT_EQ(document["end"].text, "stopped");
    EXPECT_EQ(verdict(document, "stream_kept"), "FAIL");
    EXPECT_GT(device->shared->stoppedAtPeriod, 0);
    EXPECT_NEAR(document["stopped_at_s"].number, 1.5, 0.5);
    EXPECT_LT(document["seconds"].number, 4);
    const JsonValue &flight = document["flight_recorder"];
    EXPECT_EQ(flight["anomaly"].text, "stop");
    EXPECT_GT(flight["intervals_us"].size(), 300u);

    config.stopAtMs = 0;
    ASSERT_EQ(simWriteConfig(device->clsid.c_str(), &config), 0);
    resetRecord(device);
    std::string log = buildFilePath("soak-interrupted.jsonl");
    CheckerRun run = runCheckerInterrupted(
        "soak 0 --seconds 30 --checkpoint-seconds 0.5 --json --log \"" + log + "\"",
        [device] { return device->shared->runSwitches >= 700; });
    EXPECT_EQ(run.exitCode, 5) << run.err;
    ASSERT_TRUE(parseJson(run.out, &document)) << run.out;
    EXPECT_EQ(document["end"].text, "interrupted");
    EXPECT_GE(document["switches"].whole(), 700);
    EXPECT_EQ(document["checks"].size(), 0u);
    std::vector<std::string> lines = fileLines(log);
    ASSERT_EQ(static_cast<long long>(lines.size()), document["checkpoints"].whole());
    JsonValue last;
    ASSERT_TRUE(parseJson(lines.back(), &last)) << lines.back();
    EXPECT_EQ(last["end"].text, "interrupted");

    // A crash in a read of the position, a second in, stays a crash with its call named, and what
    // the soak measured before it is kept.
    config = paceConfig();
    snprintf(config.faultCall, sizeof config.faultCall, "%s", "getSamplePosition");
    config.faultKind = 1;
    config.faultAtCall = 20;
    document = soak(device, config, "--seconds 5 --checkpoint-seconds 0.5", &code);
    EXPECT_EQ(code, 4) << err;
    EXPECT_NE(err.find("getSamplePosition"), std::string::npos) << err;
    EXPECT_GT(document["switches"].whole(), 100);
    EXPECT_EQ(document["checks"].size(), 0u);
}

// --until-glitch ends at the first of the device's planted stalls. 1024 frames a period (21 ms):
// a glitch is a gap over 43 ms, which a busy machine does not make of its own, and the stall of
// 200 ms after switch 25 does.
TEST_F(SoakTest, UntilGlitchEndsAtThePlantedStall)
{
    SimConfig config = paceConfig();
    config.preferredSize = 1024;
    config.stallEvery = 25;
    config.stallMs = 200;
    RegisteredDevice *device = addDevice(config);
    int code = -1;
    JsonValue document = soak(device, config, "--seconds 20 --until-glitch", &code);
    EXPECT_EQ(code, 1) << err;
    EXPECT_EQ(document["end"].text, "first_glitch");
    EXPECT_EQ(device->shared->stalls, 1);
    EXPECT_EQ(document["glitches"].whole(), 1);
    EXPECT_NEAR(document["first_glitch_s"].number, 25 * 0.0213 + 0.2, 0.3);
    EXPECT_EQ(verdict(document, "glitches"), "FAIL") << "the glitch it was run to find";
    const JsonValue &flight = document["flight_recorder"];
    EXPECT_EQ(flight["anomaly"].text, "glitch");
    ASSERT_GT(flight["intervals_us"].size(), 20u);
    EXPECT_GT(flight["intervals_us"][flight["intervals_us"].size() - 1].number, 200000);

    document = soak(device, config, "--seconds 20 --until-glitch --max-glitches 0", &code);
    EXPECT_EQ(code, 1) << err;
    EXPECT_EQ(verdict(document, "glitches"), "FAIL");
}

}  // namespace
