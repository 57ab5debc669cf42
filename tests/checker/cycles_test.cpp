// quorvelcheck cycles against the simulated device: the clean device passes every finding, each
// fault planted across opens fails its own finding and no other, set against the device's own
// count, and a crash in a later cycle is a crash naming that cycle.
#include "tests/checker/checker_process.h"
#include "tests/support/json_reader.h"
#include "tests/support/sim_fixture.h"
#include "tests/support/testkit.h"
#include "tests/support/text_search.h"

#include <gtest/gtest.h>
#include <fstream>
#include <sstream>
#include <string>

namespace {

class CyclesTest : public SimProgramTest {
protected:
    JsonValue cycles(const std::string &more, int *code)
    {
        return runCheckerJson("cycles 0 --seconds 0.2 --call-timeout 5 " + more, code, &err);
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
    static std::string text(const JsonValue &document, const char *id)
    {
        const JsonValue &verdicts = document["verdicts"];
        for (size_t i = 0; i < verdicts.size(); i++) {
            if (verdicts[i]["id"].text == id)
                return verdicts[i]["text"].text;
        }
        return "";
    }
    // Every finding but `failing` (and `alsoFailing`) passes, or is not run where `notRun` says so.
    static void othersPass(const JsonValue &document, const std::string &failing, const std::string &notRun,
                           const std::string &alsoFailing = "")
    {
        const JsonValue &verdicts = document["verdicts"];
        EXPECT_EQ(verdicts.size(), 8u);
        for (size_t i = 0; i < verdicts.size(); i++) {
            const std::string &id = verdicts[i]["id"].text;
            if (id == failing || id == alsoFailing)
                EXPECT_EQ(verdicts[i]["verdict"].text, "FAIL") << id << ": " << verdicts[i]["text"].text;
            else if (contains(notRun, id))
                EXPECT_EQ(verdicts[i]["verdict"].text, "not run") << id;
            else
                EXPECT_EQ(verdicts[i]["verdict"].text, "PASS") << id << ": " << verdicts[i]["text"].text;
        }
    }
    std::string err;
};

// Five clean cycles in two processes (4 and 1) at both rates the device accepts, then the three
// dirty endings and the fresh process after each: every cycle ok, nothing drifts, growth judged
// and clear, the device's own count of objects and starts the checker's.
TEST_F(CyclesTest, TheCleanDevicePassesEveryFinding)
{
    SimConfig config = fastConfig();
    snprintf(config.sampleRates, sizeof config.sampleRates, "44100,48000");
    RegisteredDevice *device = addDevice(config);
    std::string junit = buildFilePath("cycles-clean.xml");
    int code = -1;
    JsonValue document = cycles("--count 5 --fresh-every 4 --junit \"" + junit + "\"", &code);
    EXPECT_EQ(code, 0) << err;
    othersPass(document, "", "");
    const JsonValue &all = document["cycles"];
    ASSERT_EQ(all.size(), 9u);
    EXPECT_EQ(document["processes"].whole(), 6);
    EXPECT_EQ(all[3]["process"].whole(), 1);
    EXPECT_EQ(all[4]["process"].whole(), 2);
    bool rateSet = false;
    for (size_t i = 0; i < all.size(); i++) {
        EXPECT_TRUE(all[i]["ok"].flag) << i << ": " << all[i]["failure"].text;
        if (all[i]["ending"].text == "killed")
            continue;  // nothing comes back from the process killed while it streamed
        EXPECT_GT(all[i]["switches"].whole(), 0);
        EXPECT_GT(all[i]["handles"].whole(), 0);
        EXPECT_GT(all[i]["threads"].whole(), 0);
        EXPECT_GT(all[i]["private_kb"].whole(), 0);
        rateSet = rateSet || all[i]["rate_set"].flag;
    }
    EXPECT_TRUE(rateSet) << "the rate stepped through 44100 and 48000";
    EXPECT_EQ(all[7]["ending"].text, "killed");
    EXPECT_TRUE(document["growth"]["handles"]["judged"].flag);
    EXPECT_FALSE(document["growth"]["private_kb"]["leak"].flag);
    // Nine objects and the second one; every cycle started once.
    EXPECT_EQ(device->shared->instancesCreated, 10);
    EXPECT_EQ(device->shared->starts, 9);
    std::ifstream file(junit);
    std::stringstream xml;
    xml << file.rdbuf();
    EXPECT_TRUE(contains(xml.str(), "tests=\"8\" failures=\"0\"")) << xml.str();
}

// Each fault the device plants across opens fails its own finding and nothing else; the checker's
// figure is the device's own count.
TEST_F(CyclesTest, EachFaultAcrossOpensFailsItsOwnFinding)
{
    RegisteredDevice *device = addDevice(fastConfig());
    struct Case {
        const char *finding;
        int drift, handles, kb, threads;
    } cases[] = {
        {"drift", 64, 0, 0, 0},
        {"handles", 0, 2, 0, 0},
        {"memory", 0, 0, 512, 0},
        {"threads", 0, 0, 0, 1},
    };
    for (const Case &c : cases) {
        SCOPED_TRACE(c.finding);
        SimConfig config = fastConfig();
        config.driftPerOpen = c.drift;
        config.leakHandlesPerOpen = c.handles;
        config.leakKBPerOpen = c.kb;
        config.leakThreadsPerOpen = c.threads;
        ASSERT_EQ(simWriteConfig(device->clsid.c_str(), &config), 0);
        resetRecord(device);
        int code = -1;
        JsonValue document = cycles("--count 4 --fresh-every 4 --no-dirty", &code);
        EXPECT_EQ(code, 1) << err;
        // A thread left behind keeps its stack: the private memory grows with it.
        othersPass(document, c.finding, "after_release after_second after_kill", c.threads ? "memory" : "");
        const JsonValue &growth = document["growth"];
        if (c.drift) {
            EXPECT_EQ(device->shared->opensCounted, 4);
            EXPECT_EQ(device->shared->driftFrames, 3 * 64);
            EXPECT_TRUE(contains(text(document, "drift"), "preferred size 64, 128, 192, 256 over 4 opens"))
                << text(document, "drift");
            EXPECT_TRUE(contains(text(document, "drift"), "output latency 64, 128, 192, 256"));
        }
        if (c.handles) {
            EXPECT_EQ(device->shared->handlesLeaked, 8);
            EXPECT_NEAR(growth["handles"]["per_cycle"].number, 2, 0.01);
            EXPECT_TRUE(growth["handles"]["leak"].flag);
        }
        if (c.threads) {
            EXPECT_EQ(device->shared->threadsLeaked, 4);
            EXPECT_NEAR(growth["threads"]["per_cycle"].number, 1, 0.01);
        }
        if (c.kb) {
            EXPECT_EQ(device->shared->kbLeaked, 4 * 512);
            EXPECT_NEAR(growth["private_kb"]["per_cycle"].number, 512, 64);
            EXPECT_TRUE(growth["private_kb"]["leak"].flag);
        }
    }
}

// A device held by the host that was killed while it streamed: only the fresh process after the
// kill fails, with the driver's own message, as often as the device refused an init.
TEST_F(CyclesTest, ADeviceHeldByAKilledHostFailsOnlyAfterTheKill)
{
    SimConfig config = fastConfig();
    config.killedOwnerBlocks = 1;
    RegisteredDevice *device = addDevice(config);
    int code = -1;
    JsonValue document = cycles("--count 1", &code);
    EXPECT_EQ(code, 1) << err;
    othersPass(document, "after_kill", "handles threads memory");
    EXPECT_TRUE(contains(text(document, "after_kill"), "could not be opened after a host was killed while "
                         "streaming: init answered 0 (Quorvel Sim: the device was not closed by its last owner)"))
        << text(document, "after_kill");
    EXPECT_EQ(device->shared->ownerBlocks, 1);
    EXPECT_GE(device->shared->ownersNoted, 4);
    EXPECT_TRUE(contains(err, "killed while streaming")) << err;
}

// A cycle that does not close cleanly (its stop answers an error) fails the cycles finding, names
// the cycle and the answer, and keeps the call among those that did not answer ASE_OK; the rest of
// its process is not run, and growth is then not judged. A failure in the dirty cycles counts as
// much, at any step: the stop of the fresh cycles after the Release and after the kill (cycles 3
// and 5: the released and the killed cycle never stop), and the start of the cycle to be released.
TEST_F(CyclesTest, ACycleThatFailsFailsTheCyclesFindingNamingIt)
{
    SimConfig config = fastConfig();
    snprintf(config.failCall, sizeof config.failCall, "stop");
    config.failAtCall = 2;
    RegisteredDevice *device = addDevice(config);
    int code = -1;
    JsonValue document = cycles("--count 4 --no-dirty", &code);
    EXPECT_EQ(code, 1) << err;
    othersPass(document, "cycles", "after_release after_second after_kill handles threads memory");
    EXPECT_TRUE(contains(text(document, "cycles"), "cycle 2 (")) << text(document, "cycles");
    EXPECT_TRUE(contains(text(document, "cycles"), "stop answered ASE_HWMalfunction"));
    EXPECT_EQ(document["cycles"].size(), 2u);
    ASSERT_EQ(document["calls_not_ok"].size(), 1u);
    EXPECT_EQ(document["calls_not_ok"][0]["call"].text, "stop");

    config.failCount = -1;
    ASSERT_EQ(simWriteConfig(device->clsid.c_str(), &config), 0);
    resetRecord(device);
    document = cycles("--count 1", &code);
    EXPECT_EQ(code, 1) << err;
    othersPass(document, "after_release", "handles threads memory", "after_kill");
    EXPECT_TRUE(contains(text(document, "after_release"), "cycle 3, in a fresh process: the driver could not "
                         "be stopped and its buffers disposed after a host released it"))
        << text(document, "after_release");
    EXPECT_TRUE(contains(text(document, "after_kill"), "cycle 5, in a fresh process")) << text(document, "after_kill");
    EXPECT_TRUE(contains(text(document, "after_kill"), "stop answered ASE_HWMalfunction"));

    snprintf(config.failCall, sizeof config.failCall, "start");
    config.failCount = 1;
    ASSERT_EQ(simWriteConfig(device->clsid.c_str(), &config), 0);
    resetRecord(device);
    document = cycles("--count 1", &code);
    EXPECT_EQ(code, 1) << err;
    othersPass(document, "after_release", "handles threads memory");
    EXPECT_TRUE(contains(text(document, "after_release"), "cycle 2, a fresh process's first, could not be "
                         "started: start answered ASE_HWMalfunction")) << text(document, "after_release");
}

// A crash planted at the third start: exit 4, naming the cycle and the call; the cycles before it
// are shown.
TEST_F(CyclesTest, ACrashInALaterCycleIsACrashNamingTheCycle)
{
    SimConfig config = fastConfig();
    snprintf(config.faultCall, sizeof config.faultCall, "start");
    config.faultKind = 1;
    config.faultAtCall = 3;
    addDevice(config);
    int code = -1;
    JsonValue document = cycles("--count 4 --no-dirty", &code);
    EXPECT_EQ(code, 4) << err;
    EXPECT_EQ(document["crashed_cycle"].whole(), 3);
    EXPECT_EQ(document["failure"]["call"].text, "start()");
    EXPECT_EQ(document["cycles"].size(), 3u);
    EXPECT_TRUE(document["cycles"][1]["ok"].flag);
    EXPECT_TRUE(contains(err, "cycle 3:")) << err;
}

// Ctrl+C (the interrupt event) in the second cycle: exit 5, the cycles so far shown, nothing judged
// and nothing failed, in the document and the JUnit file.
TEST_F(CyclesTest, AnInterruptShowsTheCyclesSoFarAndJudgesNothing)
{
    RegisteredDevice *device = addDevice(fastConfig());
    std::string junit = buildFilePath("cycles-interrupted.xml");
    CheckerRun run = runCheckerInterrupted("cycles 0 --seconds 5 --count 4 --no-dirty --json --junit \"" + junit + "\"",
                                           [device] { return device->shared->starts >= 2; });
    EXPECT_EQ(run.exitCode, 5) << run.err;
    JsonValue document;
    ASSERT_TRUE(parseJson(run.out, &document)) << run.out;
    EXPECT_EQ(document["cycles"].size(), 2u);
    EXPECT_TRUE(document["cycles"][0]["ok"].flag);
    EXPECT_TRUE(document["verdicts"].isNull());
    std::ifstream file(junit);
    std::stringstream xml;
    xml << file.rdbuf();
    EXPECT_TRUE(contains(xml.str(), "failures=\"0\" errors=\"0\" skipped=\"8\"")) << xml.str();
}

}  // namespace
