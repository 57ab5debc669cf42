// quorvelcheck conform against the simulated device: clean, it passes every check; each knob breaks
// exactly the rule it is for. Devices carry one knob per phase, so that a knob that broke more than
// its own check shows as a check of another phase that did not pass.
#include "tests/checker/checker_process.h"
#include "tests/support/json_reader.h"
#include "tests/support/sim_fixture.h"
#include "tests/support/testkit.h"
#include "tests/support/text_search.h"
#include "tests/support/xml_reader.h"

#include <gtest/gtest.h>
#include <stdio.h>
#include <string.h>
#include <map>
#include <string>

namespace {

struct Expected {
    const char *verdict;
    const char *evidence;
};

class ConformTest : public SimProgramTest {
protected:
    JsonValue conform(const std::string &arguments, int *code)
    {
        CheckerRun run = runChecker("conform " + arguments + " --json");
        *code = run.exitCode;
        lastErr = run.err;
        JsonValue document;
        EXPECT_TRUE(parseJson(run.out, &document)) << arguments << "\n" << run.out << run.err;
        return document;
    }
    // Every check has its expected verdict and evidence; every other one passed.
    void expectVerdicts(const JsonValue &document, const std::map<std::string, Expected> &expected,
                        bool allowTimingWarnings = false)
    {
        const JsonValue &checks = document["checks"];
        EXPECT_EQ(checks.size(), static_cast<size_t>(42));
        for (size_t i = 0; i < checks.size(); i++) {
            const JsonValue &check = checks[i];
            auto found = expected.find(check["id"].text);
            if (found == expected.end()) {
                // A measured rate rests on the simulated device's real-time pace on a shared
                // machine: a warning there is the machine's, a failure would be the knob's.
                const std::string &id = check["id"].text;
                if (allowTimingWarnings && id.size() > 5 && id.compare(id.size() - 5, 5, ".rate") == 0) {
                    EXPECT_NE(check["verdict"].text, "FAIL") << id << ": " << check["evidence"].text;
                } else {
                    EXPECT_EQ(check["verdict"].text, "PASS") << id << ": " << check["evidence"].text;
                }
                continue;
            }
            EXPECT_EQ(check["verdict"].text, found->second.verdict) << check["id"].text;
            EXPECT_TRUE(contains(check["evidence"].text, found->second.evidence))
                << check["id"].text << ": " << check["evidence"].text;
        }
    }
    SimConfig config()
    {
        SimConfig c;
        simDefaultConfig(&c);  // real time: the stream's rate is measured against it
        return c;
    }
    std::string lastErr;
};

TEST_F(ConformTest, TheSimulatedDevicePassesEveryCheckAtTheDefaultSettings)
{
    addDevice(config());
    int code = 0;
    DWORD started = GetTickCount();
    JsonValue document = conform("0", &code);
    printf("The whole suite at its default settings took %.1f s\n", (GetTickCount() - started) / 1000.0);
    EXPECT_EQ(code, 0) << lastErr;
    expectVerdicts(document, {});
    EXPECT_EQ(document["counts"]["pass"].whole(), 42);
}

TEST_F(ConformTest, EachKnobBreaksItsOwnCheck)
{
    struct Group {
        void (*set)(SimConfig *);
        std::map<std::string, Expected> expected;
    };
    const Group groups[] = {
        {[](SimConfig *c) {
             c->nameUnterminated = 1;
             c->channelInfoFault = 3;
             c->setRateAcceptsAll = 1;
             c->sharedBuffer = 1;
             c->indexFault = 7;
             c->keepsReference = 1;
         },
         {{"open.name", {"FAIL", "no NUL within its 32 bytes"}},
          {"figures.channel_info", {"FAIL", "getChannelInfo(input 0) answered for input 1"}},
          {"rates.refused", {"WARN", "but setSampleRate(44100) answered ASE_OK"}},
          {"buffers.pointers", {"FAIL", "share one buffer"}},
          {"stream.index", {"FAIL", "(repeated)"}},
          {"time_info.index", {"FAIL", "(repeated)"}},
          {"life.release", {"FAIL", "the last Release answered 1"}}}},
        {[](SimConfig *c) {
             c->errorMessageUnterminated = 1;
             c->clockFault = 2;
             strcpy(c->sampleRates, "48000,96000");
             c->setRateBackIgnored = 1;
             c->latencyFault = 2;
             c->twoThreads = 1;
             c->restartSilent = 1;
         },
         {{"open.error_message", {"FAIL", "no NUL within its 124 bytes"}},
          {"figures.clocks", {"FAIL", "0 of them current"}},
          {"rates.restored", {"FAIL", "getSampleRate then read 96000 Hz"}},
          {"buffers.latencies", {"FAIL", "latencies shrink as the buffer grows"}},
          {"stream.thread", {"WARN", "switches came from 2 threads"}},
          {"time_info.thread", {"WARN", "switches came from 2 threads"}},
          {"life.start_stop", {"FAIL", "run 2 of 20: 0 switches"}}}},
        {[](SimConfig *c) {
             c->reinitFails = 1;
             c->channelInfoPastEnd = 1;
             c->recreateFails = 1;
             c->clockPpm = 20000;
             c->silentAfterRecreates = 3;
         },
         {{"open.reopen", {"FAIL", "the device is in use"}},
          {"figures.channel_past_end", {"FAIL", "answered ASE_OK for a channel past the last"}},
          {"buffers.recreate", {"FAIL", "after disposeBuffers, createBuffers(256 frames) answered"}},
          {"stream.rate", {"FAIL", " ppm over "}},
          {"time_info.rate", {"FAIL", " ppm over "}},
          {"life.recreate", {"FAIL", "run 3 of 10"}}}},
        {[](SimConfig *c) {
             c->createDelayMs = 1100;
             c->minSize = 96;
             c->maxWorkingSize = 1024;
             c->positionFault = 1;
             strcpy(c->sampleRates, "48000,96000");
             c->rateChangeSilent = 1;
         },
         {{"open.create", {"WARN", "over 1 s"}},
          {"figures.granularity", {"FAIL", "granularity -1 with min 96"}},
          {"buffers.sizes", {"FAIL", "createBuffers(2048 frames) answered ASE_InvalidMode"}},
          {"stream.position", {"FAIL", "expected a step of 256 frames"}},
          {"time_info.position", {"FAIL", "expected a step of 256 frames"}},
          {"life.rate_change", {"FAIL", "the run at 96000 Hz"}}}},
        {[](SimConfig *c) {
             c->initDelayMs = 1100;
             c->inputs = 0;
             c->outputs = 0;
             c->timeInfoOnly = 1;
             c->asioMessages = 0;
             c->requestSelector = 5;
             c->lateCallbackMs = 10;  // every stop, the lifecycle's too
         },
         {{"open.init", {"WARN", "over 1 s"}},
          {"figures.channels", {"FAIL", "0 inputs, 0 outputs"}},
          {"stream.buffer_switch", {"FAIL", "though time info was declined"}},
          {"stream.messages", {"WARN", "kAsioResyncRequest"}},
          {"time_info.messages", {"WARN", "kAsioResyncRequest"}},
          {"stream.window", {"FAIL", "after stop returned: 1"}},
          {"time_info.window", {"FAIL", "after stop returned: 1"}},
          {"life.start_stop", {"FAIL", "callbacks after stop returned"}},
          {"life.recreate", {"FAIL", "callbacks after stop returned"}}}},
        {[](SimConfig *c) {
             c->minSize = 512;
             c->latencyFault = 1;
             c->callbackInCreateBuffers = 1;
             c->timeInfoFault = 1;
             c->outputReady = 2;
         },
         {{"figures.buffer_sizes", {"FAIL", "expected 0 < min <= preferred <= max"}},
          {"buffers.latencies", {"WARN", "less than one buffer"}},
          {"stream.window", {"FAIL", "callbacks during createBuffers: 1"}},
          {"time_info.window", {"FAIL", "callbacks during createBuffers: 1"}},
          {"time_info.record", {"FAIL", "time info flags 0x0"}},
          {"stream.output_ready", {"FAIL", "then ASE_HWMalfunction"}},
          {"time_info.output_ready", {"FAIL", "then ASE_HWMalfunction"}}}},
        // A rate canSampleRate refuses cannot be set back either: two rules, one fault.
        {[](SimConfig *c) {
             strcpy(c->sampleRate, "44100");
             strcpy(c->sampleRates, "48000,96000");
             c->requestSelector = 3;
         },
         {{"figures.current_rate", {"FAIL", "canSampleRate(44100) answered ASE_NoClock"}},
          {"rates.restored", {"FAIL", "setSampleRate(44100), the rate it had, answered"}},
          {"stream.reset", {"WARN", "kAsioResetRequest sent 1 times"}},
          {"time_info.reset", {"WARN", "kAsioResetRequest sent 1 times"}}}},
        // A rate that is not applied is not applied between runs either.
        {[](SimConfig *c) {
             strcpy(c->sampleRates, "48000,96000");
             c->setRateIgnored = 1;
         },
         {{"rates.set", {"FAIL", "setSampleRate(96000) answered ASE_OK, then getSampleRate read 48000 Hz"}},
          {"life.rate_change", {"FAIL", "the run at 96000 Hz switched every"}}}},
    };
    for (const Group &group : groups) {
        SimConfig c = config();
        group.set(&c);
        addDevice(c);
    }
    for (size_t k = 0; k < sizeof groups / sizeof groups[0]; k++) {
        SCOPED_TRACE("device " + std::to_string(k));
        int code = 0;
        JsonValue document = conform(std::to_string(k) + " --seconds 1.5", &code);
        EXPECT_EQ(code, 1);
        expectVerdicts(document, groups[k].expected, true);
        for (size_t i = 0; k == 2 && i < document["checks"].size(); i++) {
            const JsonValue &check = document["checks"][i];
            if (check["id"].text == "stream.rate" || check["id"].text == "time_info.rate") {
                EXPECT_NEAR(check["figure"].number, 20000, 1000) << "a clock 2% fast";
            }
        }
    }
}

TEST_F(ConformTest, ACrashFailsItsCheckAndLeavesTheRestNotRun)
{
    SimConfig crashing = config();
    // The ninth createBuffers of the suite: the buffers phase's second request without a dispose.
    strcpy(crashing.faultCall, "createBuffers");
    crashing.faultKind = 1;
    crashing.faultAtCall = 9;
    addDevice(crashing);
    SimConfig failing = config();
    strcpy(failing.initError, "Quorvel Sim: not connected");
    addDevice(failing);

    int code = 0;
    JsonValue crashed = conform("0", &code);
    EXPECT_EQ(code, 4);
    const JsonValue &checks = crashed["checks"];
    bool after = false;
    for (size_t i = 0; i < checks.size(); i++) {
        const JsonValue &check = checks[i];
        if (check["id"].text == "buffers.double_create") {
            EXPECT_EQ(check["verdict"].text, "FAIL");
            EXPECT_TRUE(contains(check["evidence"].text, "the driver crashed in createBuffers()"))
                << check["evidence"].text;
            after = true;
        } else {
            EXPECT_EQ(check["verdict"].text, after ? "not run" : "PASS") << check["id"].text;
        }
    }
    EXPECT_EQ(crashed["failure"]["kind"].text, "crash");

    JsonValue failed = conform("1", &code);
    EXPECT_EQ(code, 3);
    EXPECT_EQ(failed["checks"][0]["verdict"].text, "PASS") << "created";
    EXPECT_EQ(failed["checks"][1]["verdict"].text, "FAIL") << "init";
    EXPECT_TRUE(contains(failed["checks"][1]["evidence"].text, "Quorvel Sim: not connected"));
    EXPECT_EQ(failed["checks"][2]["verdict"].text, "not run");
}

TEST_F(ConformTest, RepeatOnlySkipStrictAndJunit)
{
    SimConfig slow = config();
    slow.initDelayMs = 1100;  // open.init warns
    slow.reinitFails = 1;     // the second object of a process fails: repetition 1 only
    addDevice(slow);

    int code = 0;
    JsonValue only = conform("0 --only open,figures.clocks --repeat 2", &code);
    EXPECT_EQ(code, 1);
    for (size_t i = 0; i < only["checks"].size(); i++) {
        const JsonValue &check = only["checks"][i];
        std::string id = check["id"].text;
        bool chosen = id.compare(0, 5, "open.") == 0 || id == "figures.clocks";
        if (!chosen) {
            EXPECT_EQ(check["verdict"].text, "skipped") << id;
        }
        if (id == "open.reopen") {
            EXPECT_EQ(check["verdict"].text, "FAIL");
            EXPECT_EQ(check["repetitions"][0].text, "FAIL");
            EXPECT_EQ(check["repetitions"][1].text, "PASS");
        }
    }

    conform("0 --only open.init", &code);
    EXPECT_EQ(code, 0) << "a warning passes";
    conform("0 --only open.init --strict", &code);
    EXPECT_EQ(code, 1) << "unless --strict";
    JsonValue skipped = conform("0 --skip open.reopen,figures,rates,buffers,stream,time_info,life "
                                "--strict", &code);
    EXPECT_EQ(code, 1);
    EXPECT_EQ(skipped["counts"]["skipped"].whole(), 38);

    std::string junit = buildFilePath("conform-junit.xml");
    CheckerRun written = runChecker("conform 0 --only open --junit \"" + junit + "\"");
    EXPECT_EQ(written.exitCode, 1);
    FILE *file = fopen(junit.c_str(), "rb");
    ASSERT_NE(file, nullptr);
    std::string xml;
    char chunk[4096];
    for (size_t got; (got = fread(chunk, 1, sizeof chunk, file)) > 0;)
        xml.append(chunk, got);
    fclose(file);
    XmlElement root;
    ASSERT_TRUE(parseXml(xml, &root)) << xml;
    EXPECT_EQ(root.name, "testsuites");
    const XmlElement &suite = root.children.at(0);
    EXPECT_EQ(suite.attributes.at("tests"), "42");
    EXPECT_EQ(suite.attributes.at("failures"), "1");
    int failures = 0, warnings = 0, skippedCases = 0;
    for (const XmlElement &test : suite.children) {
        EXPECT_EQ(test.name, "testcase");
        for (const XmlElement &inner : test.children) {
            failures += inner.name == "failure";
            warnings += inner.name == "system-out" && contains(inner.text, "WARN");
            skippedCases += inner.name == "skipped";
        }
        if (test.attributes.at("name") == "open.reopen") {
            EXPECT_EQ(test.children.at(0).name, "failure");
        }
    }
    EXPECT_EQ(failures, 1);
    EXPECT_EQ(warnings, 1);
    EXPECT_EQ(skippedCases, 37);

    // The documentation's list is the program's, as scripts/check-list.sh writes it.
    CheckerRun list = runChecker("conform --list-checks");
    EXPECT_EQ(list.exitCode, 0);
    EXPECT_TRUE(contains(list.out, "  stream.rate              The measured sample rate")) << list.out;
    std::string doc;
    FILE *docFile = fopen("Z:" QUORVEL_SOURCE_DIR "/docs/quorvelcheck.md", "rb");
    ASSERT_NE(docFile, nullptr);
    for (size_t got; (got = fread(chunk, 1, sizeof chunk, docFile)) > 0;)
        doc.append(chunk, got);
    fclose(docFile);
    const std::string begin = "<!-- conform --list-checks -->\n```\n";
    size_t from = doc.find(begin), to = doc.find("```\n<!-- end of the list -->");
    ASSERT_TRUE(from != std::string::npos && to != std::string::npos);
    EXPECT_EQ(doc.substr(from + begin.size(), to - from - begin.size()), list.out)
        << "docs/quorvelcheck.md has an old list: run scripts/check-list.sh";
    CheckerRun bad = runChecker("conform 0 --only stream.speed");
    EXPECT_EQ(bad.exitCode, 2);
    EXPECT_TRUE(contains(bad.err, "unknown check \"stream.speed\"")) << bad.err;
}

}  // namespace
