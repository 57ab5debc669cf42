// quorvelcheck gone against a device that goes away while it streams: the device goes by its own
// knob at about the switch the stream reaches when the (harmless) gone command runs, and its shared
// record tells what it did, to set against what the checker says.
#include "tests/checker/checker_process.h"
#include "tests/support/json_reader.h"
#include "tests/support/sim_fixture.h"
#include "tests/support/testkit.h"
#include "tests/support/text_search.h"

#include <gtest/gtest.h>
#include <string>

namespace {

class GoneTest : public SimProgramTest {
protected:
    // 2 ms a period: 0.4 s of stream is 200 switches, and the device goes after switch 250, while
    // the gone command runs.
    static SimConfig goingConfig(int way, int backAfterMs)
    {
        SimConfig config = fastConfig();
        config.goneAtSwitch = 250;
        config.goneWay = way;
        config.backAfterMs = backAfterMs;
        return config;
    }
    JsonValue gone(const std::string &more, int *code)
    {
        return runCheckerJson("gone 0 --seconds 0.4 --call-timeout 3 --gone-command \"cmd /c exit 0\" " + more,
                              code, &err);
    }
    static std::string verdict(const JsonValue &document, const char *id)
    {
        const JsonValue &verdicts = document["verdicts"];
        for (size_t i = 0; i < verdicts.size(); i++) {
            if (verdicts[i]["id"].text == id)
                return verdicts[i]["verdict"].text;
        }
        return "";
    }
    static bool hasEvent(const JsonValue &document, const char *kind, const char *answer = nullptr,
                         long long selector = -1)
    {
        const JsonValue &events = document["events"];
        for (size_t i = 0; i < events.size(); i++) {
            const JsonValue &e = events[i];
            if (e["kind"].text == kind && (!answer || e["answer"].text == answer) &&
                (selector < 0 || e["selector"].whole() == selector))
                return true;
        }
        return false;
    }
    std::string err;
};

// Each way of going, as the device does it, classified, with the checker's count of switches the
// device's own.
TEST_F(GoneTest, EachWayOfGoingIsClassified)
{
    struct Case {
        int way;
        const char *noticed;
        const char *stop;   // what stop answered
        const char *sign;   // the event that shows it: "position" ASE_NotPresent, "message" 3
    } cases[] = {
        {1, "WARN", "ASE_OK", nullptr},
        {2, "PASS", "ASE_NotPresent", "position"},
        {4, "PASS", "ASE_NotPresent", "message"},
    };
    RegisteredDevice *device = addDevice(fastConfig());
    for (const Case &c : cases) {
        SCOPED_TRACE(c.way);
        SimConfig config = goingConfig(c.way, 0);
        ASSERT_EQ(simWriteConfig(device->clsid.c_str(), &config), 0);
        resetRecord(device);
        int code = -1;
        JsonValue document = gone("--back-seconds 10", &code);
        EXPECT_EQ(code, 0) << err;
        EXPECT_EQ(verdict(document, "noticed"), c.noticed) << err;
        EXPECT_EQ(verdict(document, "stop"), "PASS");
        EXPECT_EQ(verdict(document, "back"), "PASS") << document["back"]["reason"].text;
        EXPECT_EQ(document["gone_command"]["exit_code"].whole(), 0);
        EXPECT_TRUE(document["switches_stopped"].flag);
        EXPECT_EQ(device->shared->goneAtSwitch, 250);
        EXPECT_EQ(document["switches"].whole(), device->shared->goneAtSwitch);
        EXPECT_EQ(document["stop"].text, c.stop);
        EXPECT_TRUE(hasEvent(document, "switches_stopped"));
        if (c.sign && std::string(c.sign) == "position") {
            EXPECT_TRUE(hasEvent(document, "position", "ASE_NotPresent"));
        }
        if (c.sign && std::string(c.sign) == "message") {
            EXPECT_TRUE(hasEvent(document, "message", nullptr, 3));
            EXPECT_EQ(device->shared->ownRequestsSent, 1);
        }
        if (c.way == 1) {
            EXPECT_EQ(document["polls_not_ok"].whole(), 0);
        }
        EXPECT_TRUE(document["back"]["came_back"].flag);
    }
}

// A stop that never returns is a hang naming stop(); what was seen before it is still shown.
TEST_F(GoneTest, AStopThatHangsIsACrashStatusWithWhatCameBefore)
{
    addDevice(goingConfig(6, 0));
    int code = -1;
    JsonValue document = gone("--back-seconds 5", &code);
    EXPECT_EQ(code, 4) << err;
    EXPECT_EQ(document["failure"]["kind"].text, "hang");
    EXPECT_EQ(document["failure"]["call"].text, "stop()");
    EXPECT_EQ(document["stage"].text, "watched");
    EXPECT_TRUE(hasEvent(document, "switches_stopped"));
    EXPECT_EQ(verdict(document, "stop"), "FAIL");
}

// A crash on the driver's thread after the device was made to go is a crash, never milder.
TEST_F(GoneTest, ACrashOnTheDriversThreadIsACrash)
{
    SimConfig config = fastConfig();
    config.threadFault = 1;
    config.threadFaultAt = 260;
    addDevice(config);
    int code = -1;
    JsonValue document = gone("--back-seconds 5", &code);
    EXPECT_EQ(code, 4) << err;
    EXPECT_EQ(document["failure"]["kind"].text, "crash");
    EXPECT_TRUE(document["failure"]["driver_thread"].flag);
    // After the device was made to go, and after as many switches as the device made.
    EXPECT_EQ(document["stage"].text, "watched");
    EXPECT_EQ(document["failure"]["switches"].whole(), 259);
    EXPECT_EQ(verdict(document, "stop"), "FAIL");
}

// Back after the device's own BackAfterMs, counted from its last switch; never back: a failure
// with the driver's own reason.
TEST_F(GoneTest, TheDeviceComesBackAfterItsTimeOrNot)
{
    RegisteredDevice *back = addDevice(goingConfig(2, 4000));
    int code = -1;
    JsonValue document = gone("--back-seconds 15", &code);
    EXPECT_EQ(code, 0) << err;
    EXPECT_EQ(verdict(document, "back"), "PASS");
    double after = document["back"]["after_last_switch_ms"].number;
    EXPECT_GE(after, 4000 - 100);
    EXPECT_LE(after, 4000 + 6000);
    EXPECT_GE(back->shared->initsWhileGone, 1) << "a try came while it was away";

    SimConfig never = goingConfig(2, -1);
    ASSERT_EQ(simWriteConfig(back->clsid.c_str(), &never), 0);
    document = gone("--back-seconds 1.5", &code);
    EXPECT_EQ(code, 1) << err;
    EXPECT_EQ(verdict(document, "back"), "FAIL");
    EXPECT_TRUE(contains(document["back"]["reason"].text,
                         "init answered 0 (Quorvel Sim: the device is not present)"))
        << document["back"]["reason"].text;
    EXPECT_GE(document["back"]["tries"].whole(), 1);
}

// The gone command's own failures: one that cannot start is a usage error; one that does not make
// the device go leaves nothing to judge, which is never a pass.
TEST_F(GoneTest, AGoneCommandThatFailsOrDoesNothingIsNotTheDriversFault)
{
    addDevice(fastConfig());
    int code = -1;
    runCheckerJson("gone 0 --seconds 0.3 --gone-command quorvel-no-such-program", &code, &err);
    EXPECT_EQ(code, 2);
    EXPECT_TRUE(contains(err, "the gone command could not be started")) << err;

    JsonValue document = runCheckerJson("gone 0 --seconds 0.3 --back-seconds 2 --gone-command "
                                        "\"cmd /c exit 3\"", &code, &err);
    EXPECT_EQ(code, 6) << err;
    EXPECT_EQ(document["gone_command"]["exit_code"].whole(), 3);
    EXPECT_FALSE(document["switches_stopped"].flag);
    EXPECT_EQ(verdict(document, "noticed"), "not run");
    EXPECT_EQ(verdict(document, "back"), "not run");
}

TEST_F(GoneTest, WithoutAWayToMakeItGoIsAUsageError)
{
    addDevice(fastConfig());
    CheckerRun run = runChecker("gone 0");
    EXPECT_EQ(run.exitCode, 2);
    EXPECT_TRUE(contains(run.err, "--gone-command CMD or --gone-step S")) << run.err;
    // No person at a console here: the step is not run.
    run = runChecker("gone 0 --gone-step 5");
    EXPECT_EQ(run.exitCode, 2);
    EXPECT_TRUE(contains(run.err, "not a console")) << run.err;
}

}  // namespace
