// quorvelcheck conform against the simulated device: clean, it passes every check; each knob breaks
// exactly the rule it is for. A device carries one knob per phase it runs (--only), so that a knob
// that broke more than its own check shows as another check of those phases that did not pass.
#include "tests/checker/checker_process.h"
#include "tests/support/json_reader.h"
#include "simdevice/sim_asio_abi.h"
#include "tests/support/sim_fixture.h"
#include "tests/support/testkit.h"
#include "tests/support/text_search.h"
#include "tests/support/xml_reader.h"

#include <gtest/gtest.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <algorithm>
#include <map>
#include <string>
#include <vector>

namespace {

struct Expected {
    const char *verdict;
    const char *evidence;  // texts the evidence holds, each of them, separated by "|"
};

bool holdsEach(const std::string &evidence, const std::string &texts)
{
    size_t from = 0;
    for (size_t bar; (bar = texts.find('|', from)) != std::string::npos; from = bar + 1) {
        if (!contains(evidence, texts.substr(from, bar - from)))
            return false;
    }
    return contains(evidence, texts.substr(from));
}

// The check's entry in a conform document.
const JsonValue &checkOf(const JsonValue &document, const std::string &id)
{
    static const JsonValue none;
    for (size_t i = 0; i < document["checks"].size(); i++) {
        if (document["checks"][i]["id"].text == id)
            return document["checks"][i];
    }
    ADD_FAILURE() << "no check " << id;
    return none;
}

// Knobs set on a device, the checks and phases it is run with (--only) for `seconds` a stream, and
// the verdicts they give; every other check run passes.
struct KnobGroup {
    const char *name;           // the test's, after its knobs
    void (*set)(SimConfig *);
    const char *only;
    double seconds;
    std::map<std::string, Expected> expected;
    const char *options = "";   // more of the command line
    void (*also)(const JsonValue &document) = nullptr;  // what else the document must hold
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
    // Every check run (all, or those `only` names by identifier or phase) has its expected verdict
    // and evidence, and every other one of them passed; the rest were skipped.
    void expectVerdicts(const JsonValue &document, const std::map<std::string, Expected> &expected,
                        bool allowTimingWarnings = false, const std::string &only = "")
    {
        const JsonValue &checks = document["checks"];
        EXPECT_EQ(checks.size(), static_cast<size_t>(52));
        for (size_t i = 0; i < checks.size(); i++) {
            const JsonValue &check = checks[i];
            const std::string &id = check["id"].text;
            auto found = expected.find(id);
            bool run = only.empty() || contains("," + only + ",", "," + id + ",") ||
                       contains("," + only + ",", "," + check["phase"].text + ",");
            if (!run) {
                EXPECT_EQ(check["verdict"].text, "skipped") << id;
                continue;
            }
            if (found == expected.end()) {
                // A measured rate rests on the simulated device's real-time pace on a shared
                // machine: a warning there is the machine's, a failure would be the knob's.
                if (allowTimingWarnings && id.size() > 5 && id.compare(id.size() - 5, 5, ".rate") == 0) {
                    EXPECT_NE(check["verdict"].text, "FAIL") << id << ": " << check["evidence"].text;
                } else {
                    EXPECT_EQ(check["verdict"].text, "PASS") << id << ": " << check["evidence"].text;
                }
                continue;
            }
            EXPECT_EQ(check["verdict"].text, found->second.verdict) << id << ": " << check["evidence"].text;
            EXPECT_TRUE(holdsEach(check["evidence"].text, found->second.evidence))
                << id << ": " << check["evidence"].text;
        }
    }
    // A device with the group's knobs, run with --only its phases for `seconds`: the verdicts
    // expected, and exit status 1 when one of them is a FAIL.
    void expectGroup(const KnobGroup &group)
    {
        SimConfig c = config();
        group.set(&c);
        addDevice(c);
        char arguments[240];
        snprintf(arguments, sizeof arguments, "%zu --only %s --seconds %g %s", devices.size() - 1,
                 group.only, group.seconds, group.options);
        int code = 0;
        JsonValue document = conform(arguments, &code);
        bool failed = false;
        for (const auto &entry : group.expected)
            failed = failed || strcmp(entry.second.verdict, "FAIL") == 0;
        EXPECT_EQ(code, failed ? 1 : 0) << lastErr;
        expectVerdicts(document, group.expected, true, group.only);
        if (group.also)
            group.also(document);
    }
    static std::string readFile(const std::string &path)
    {
        std::string text;
        FILE *file = fopen(path.c_str(), "rb");
        char chunk[4096];
        for (size_t got; file && (got = fread(chunk, 1, sizeof chunk, file)) > 0;)
            text.append(chunk, got);
        if (file)
            fclose(file);
        return text;
    }
    // The test cases of a JUnit file that have a failure.
    static std::vector<std::string> junitFailures(const std::string &path)
    {
        std::vector<std::string> failed;
        XmlElement root;
        EXPECT_TRUE(parseXml(readFile(path), &root)) << path;
        for (const XmlElement &suite : root.children) {
            for (const XmlElement &test : suite.children) {
                for (const XmlElement &inner : test.children) {
                    if (inner.name == "failure")
                        failed.push_back(test.attributes.at("name"));
                }
            }
        }
        return failed;
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
    // One rate and no request: two notify checks have nothing to judge, and say so.
    expectVerdicts(document, {{"notify.reset_round_trip", {"not run", "sent no reset or buffer size request"}},
                              {"notify.host_rate_change", {"not run", "only one rate is offered"}}});
    EXPECT_EQ(document["counts"]["pass"].whole(), 50);
    // The second host's callbacks as the device counted them (a few may come after its count).
    const std::string &second = checkOf(document, "clients.second")["evidence"].text;
    size_t at = second.find("the driver serves two hosts: the second streamed ");
    ASSERT_NE(at, std::string::npos) << second;
    long streamed = strtol(second.c_str() + at + strlen("the driver serves two hosts: the second streamed "),
                           nullptr, 10);
    EXPECT_GT(streamed, 100) << "a second at 5.3 ms a period";
    // The notify phase's second host streams too, at another size: the device counts both.
    const std::string &change = checkOf(document, "notify.second_host_change")["evidence"].text;
    at = change.find("the second host streamed ");
    ASSERT_NE(at, std::string::npos) << change;
    long changing = strtol(change.c_str() + at + strlen("the second host streamed "), nullptr, 10);
    EXPECT_GT(changing, 20) << change;  // 2.5 s at 2048 frames
    EXPECT_NEAR(streamed + changing, devices[0]->shared->secondSwitches, 6);

    // The longest call limit gives the second host a session the watch can hold.
    document = conform("0 --only clients --call-timeout 86400", &code);
    EXPECT_EQ(code, 0) << lastErr;
    expectVerdicts(document, {}, false, "clients");
}

// Each device runs only the phases its knobs are for, streaming as briefly as its checks allow.
const KnobGroup eachKnob[] = {
    {"NameUnterminatedAndFiveMore", [](SimConfig *c) {
         c->nameUnterminated = 1;
         c->channelInfoFault = 3;
         c->setRateAcceptsAll = 1;
         c->sharedBuffer = 1;
         c->indexFault = 7;
         c->keepsReference = 1;
     },
     "open,figures,rates,buffers,stream,life", 0.5,
     {{"open.name", {"FAIL", "no NUL within its 32 bytes"}},
      {"figures.channel_info", {"FAIL", "getChannelInfo(input 0) answered for input 1"}},
      {"rates.refused", {"WARN", "but setSampleRate(44100) answered ASE_OK"}},
      {"buffers.pointers", {"FAIL", "share one buffer"}},
      {"stream.index", {"FAIL", "(repeated)"}},
      {"life.release", {"FAIL", "the last Release answered 1"}}}},
    {"ErrorMessageUnterminatedAndSixMore", [](SimConfig *c) {
         c->errorMessageUnterminated = 1;
         c->clockFault = 2;
         strcpy(c->sampleRates, "48000,96000");
         c->setRateBackIgnored = 1;
         c->latencyFault = 2;
         c->twoThreads = 1;
         c->restartSilent = 1;
     },
     "open,figures,rates,buffers,time_info,life", 0.5,
     {{"open.error_message", {"FAIL", "no NUL within its 124 bytes"}},
      {"figures.clocks", {"FAIL", "0 of them current"}},
      {"rates.restored", {"FAIL", "getSampleRate then read 96000 Hz"}},
      {"buffers.latencies", {"FAIL", "latencies shrink as the buffer grows"}},
      {"time_info.thread", {"WARN", "switches came from 2 threads"}},
      {"life.start_stop", {"FAIL", "run 2 of 20: 0 switches"}}}},
    // No buffers made again after the dispose: no second createBuffers to judge over them.
    {"ReinitFailsAndThreeMore", [](SimConfig *c) {
         c->reinitFails = 1;
         c->channelInfoPastEnd = 1;
         c->recreateFails = 1;
         c->clockPpm = 20000;
     },
     "open,figures,buffers,stream", 1,
     {{"open.reopen", {"FAIL", "the device is in use"}},
      {"figures.channel_past_end", {"FAIL", "answered ASE_OK for a channel past the last"}},
      {"buffers.recreate", {"FAIL", "after disposeBuffers, createBuffers(256 frames) answered"}},
      {"buffers.double_create", {"not run", "no buffers to create again over (buffers.recreate)"}},
      {"stream.rate", {"FAIL", " ppm over "}}},
     "",
     [](const JsonValue &document) {
         EXPECT_NEAR(checkOf(document, "stream.rate")["figure"].number, 20000, 1000) << "a clock 2% fast";
     }},
    {"MinSize96AndFourMore", [](SimConfig *c) {
         c->minSize = 96;
         c->maxWorkingSize = 1024;
         c->positionFault = 1;
         strcpy(c->sampleRates, "48000,96000");
         c->rateChangeSilent = 1;
     },
     "figures,buffers,time_info,life", 0.5,
     {{"figures.granularity", {"FAIL", "granularity -1 with min 96"}},
      {"buffers.sizes", {"FAIL", "createBuffers(2048 frames) answered ASE_InvalidMode"}},
      {"time_info.position", {"FAIL", "expected a step of 256 frames"}},
      {"life.rate_change", {"FAIL", "the run at 96000 Hz"}}}},
    {"MinSize512AndTwoMore", [](SimConfig *c) {
         c->minSize = 512;
         c->latencyFault = 1;
         c->callbackInCreateBuffers = 1;
     },
     "figures,buffers,stream", 0.5,
     {{"figures.buffer_sizes", {"FAIL", "expected 0 < min <= preferred <= max"}},
      {"buffers.latencies", {"WARN", "less than one buffer"}},
      {"stream.window", {"FAIL", "callbacks during createBuffers: 1"}}}},
    // A rate canSampleRate refuses cannot be set back either: two rules, one fault. Once the
    // device falls silent after recreated buffers, the rate change's new buffers are silent too.
    {"SampleRate44100AndFourMore", [](SimConfig *c) {
         strcpy(c->sampleRate, "44100");
         strcpy(c->sampleRates, "48000,96000");
         c->sharedBuffer = 2;
         c->requestSelector = SIM_MSG_RESET_REQUEST;
         c->silentAfterRecreates = 3;
     },
     "figures,rates,buffers,time_info,life", 0.5,
     {{"figures.current_rate", {"FAIL", "canSampleRate(44100) answered ASE_NoClock"}},
      {"rates.restored", {"FAIL", "setSampleRate(44100), the rate it had, answered"}},
      {"buffers.pointers", {"FAIL", "overlap"}},
      {"time_info.reset", {"WARN", "kAsioResetRequest sent 1 times"}},
      {"life.recreate", {"FAIL", "run 3 of 10"}},
      {"life.rate_change", {"FAIL", "the run at 48000 Hz: 0 switches"}}}},
    {"CreateDelayAndNoChannels", [](SimConfig *c) {
         c->createDelayMs = 1100;
         c->inputs = 0;
         c->outputs = 0;
     },
     "open,figures", 0.5,
     {{"open.create", {"WARN", "over 1 s"}},
      {"figures.channels", {"FAIL", "0 inputs, 0 outputs"}},
      {"figures.channel_info", {"not run", "no channel to ask about (figures.channels)"}}}},
    // The declined run gets time info all the same, its records flagged 0 as the offered run's.
    // A rate that is not applied is not applied between runs either.
    {"SetRateIgnoredAndThreeMore", [](SimConfig *c) {
         strcpy(c->sampleRates, "48000,96000");
         c->setRateIgnored = 1;
         c->timeInfoOnly = 1;
         c->timeInfoFault = 1;
     },
     "rates,stream,time_info,life", 0.5,
     {{"rates.set", {"FAIL", "setSampleRate(96000) answered ASE_OK, then getSampleRate read 48000 Hz"}},
      {"stream.buffer_switch", {"FAIL", "though time info was declined"}},
      {"time_info.record", {"FAIL", "time info flags 0x0"}},
      {"life.rate_change", {"FAIL", "the run at 96000 Hz switched every"}}}},
    // How many late callbacks come after a stop is the scheduler's to say: at least one does.
    // The rate change has a single run, whose late callback may come after it is judged.
    {"LateCallback", [](SimConfig *c) { c->lateCallbackMs = 10; },
     "stream,life.start_stop,life.recreate", 0.5,
     {{"stream.window",
       {"FAIL", "during createBuffers: 0, before start was called: 0, after stop returned: "}},
      {"life.start_stop", {"FAIL", "callbacks after stop returned"}},
      {"life.recreate", {"FAIL", "callbacks after stop returned"}}}},
    // The faults shown above in one streaming phase, here in the other: each phase's checks must
    // fail on their own notes.
    {"ResyncUnaskedAndTwoMore", [](SimConfig *c) {
         c->asioMessages = 0;
         c->requestSelector = SIM_MSG_RESYNC_REQUEST;
         c->indexFault = 7;
         c->callbackInCreateBuffers = 1;
     },
     "time_info", 0.5,
     {{"time_info.messages", {"WARN", "kAsioResyncRequest"}},
      {"time_info.index", {"FAIL", "(repeated)"}},
      {"time_info.window", {"FAIL", "callbacks during createBuffers: 1"}}}},
    {"OutputReady2AndFourMore", [](SimConfig *c) {
         c->outputReady = 2;
         c->twoThreads = 1;
         c->positionFault = 1;
         c->asioMessages = 0;
         c->requestSelector = SIM_MSG_RESET_REQUEST;
     },
     "stream", 0.5,
     {{"stream.output_ready", {"FAIL", "then ASE_HWMalfunction"}},
      {"stream.thread", {"WARN", "switches came from 2 threads"}},
      {"stream.position", {"FAIL", "expected a step of 256 frames"}},
      {"stream.messages", {"WARN", "kAsioResetRequest"}},
      {"stream.reset", {"WARN", "kAsioResetRequest sent 1 times"}}}},
    // A host that supports nothing: the request the device sends all the same is a finding.
    {"ResetWithTheHostSupportingNothing", [](SimConfig *c) {
         c->requestSelector = SIM_MSG_RESET_REQUEST;
         c->ignoresUnsupported = 1;
     },
     "stream", 0.5,
     {{"stream.messages", {"WARN", "sent after the host said it does not support it: kAsioResetRequest (1)"}},
      {"stream.reset", {"WARN", "kAsioResetRequest sent 1 times"}}},
     "--host-supports none",
     [](const JsonValue &document) {
         const JsonValue &refused = document["runs"]["stream"]["sent_after_refusal"];
         ASSERT_EQ(refused.size(), 1u);
         EXPECT_EQ(refused[0]["selector"].whole(), SIM_MSG_RESET_REQUEST);
     }},
    {"InitDelay", [](SimConfig *c) { c->initDelayMs = 1100; },
     "open", 0.5, {{"open.init", {"WARN", "over 1 s"}}}},
    // Between the warning (0.1%) and the failure (1%).
    {"ClockPpm5000AndOutputReady2", [](SimConfig *c) {
         c->clockPpm = 5000;
         c->outputReady = 2;
     },
     "time_info", 1.5,
     {{"time_info.rate", {"WARN", " ppm over "}},
      {"time_info.output_ready", {"FAIL", "then ASE_HWMalfunction"}}},
     "",
     [](const JsonValue &document) {
         EXPECT_NEAR(checkOf(document, "time_info.rate")["figure"].number, 5000, 1000) << "a clock 0.5% fast";
     }},
    // A second host refused cleanly passes; one that harms either host fails the check of what it
    // harmed, naming the call.
    {"SecondClientRefusedAtInit", [](SimConfig *c) { c->secondClient = 1; },
     "clients", 0.5,
     {{"clients.second", {"PASS", "init failed with the message \"Quorvel Sim: the device is in use by "
                                  "another program\""}}}},
    {"SecondClientRefusedAtBuffers", [](SimConfig *c) { c->secondClient = 2; },
     "clients", 0.5,
     {{"clients.second", {"PASS", "createBuffers(256 frames) answered ASE_InvalidMode"}}}},
    // Whether the first missing switch was due before or after the second host's start returned
    // is the machine's to say; that it was after the start was called, and that the switches
    // were missing across its stop, the device's.
    {"SecondClientTakesTheStream", [](SimConfig *c) { c->secondClient = 3; },
     "clients", 0.5,
     {{"clients.first_kept", {"FAIL", "after the second host's start()|; across its |stop()"}}}},
    {"SecondClientStopsTheFirstAtItsEnd", [](SimConfig *c) { c->secondClient = 4; },
     "clients", 0.5,
     {{"clients.first_after", {"FAIL", "and did not come back after the second host's release"}}}},
    // A few switches lost, not a whole stream: a stall of about six periods every hundred,
    // after which the device's timeline starts afresh, loses about five switches in each window.
    {"StallEveryHundred", [](SimConfig *c) {
         c->stallEvery = 100;
         c->stallMs = 30;
     },
     "clients", 0.5,
     {{"clients.first_kept", {"FAIL", "switches missing"}},
      {"clients.first_after", {"FAIL", "switches missing"}}}},
    {"SecondHostCrashesInStart", [](SimConfig *c) {
         strcpy(c->secondFaultCall, "start");
         c->secondFaultKind = 1;
     },
     "clients", 0.5, {{"clients.second", {"FAIL", "crashed in start()"}}}},
    {"SecondHostHangsInCreateBuffers", [](SimConfig *c) {
         strcpy(c->secondFaultCall, "createBuffers");
         c->secondFaultKind = 2;
     },
     "clients", 0.5, {{"clients.second", {"FAIL", "createBuffers()"}}}, "--call-timeout 1"},
    {"SecondHostEndsInRelease", [](SimConfig *c) {
         strcpy(c->secondFaultCall, "release");
         c->secondFaultKind = 3;
     },
     "clients", 0.5, {{"clients.second", {"FAIL", "Release()"}}}},
    // Half a core spun: a machine that holds the thread back brings it down, never below 25%.
    {"Spin60Percent", [](SimConfig *c) { c->spinPercent = 60; },
     "stream", 1, {{"stream.cpu", {"WARN", "of one core while streaming at 256 frames"}}}},
    // A stall of the first stream while the second host releases the driver lies in no gap between
    // the windows: the release belongs to the visit.
    {"SecondHostsReleaseStallsTheFirst",
     [](SimConfig *c) {
         strcpy(c->secondFaultCall, "release");
         c->secondFaultKind = 4;
     },
     "clients", 0.5,
     {{"clients.first_kept", {"FAIL", "after the second host's Release() was called"}}}},
    // The second host's init, which stalls the first stream, placed where it came: its create took
    // 300 ms before it.
    {"SecondHostsInitStallsTheFirst",
     [](SimConfig *c) {
         c->createDelayMs = 300;
         strcpy(c->secondFaultCall, "init");
         c->secondFaultKind = 4;
     },
     "clients", 0.5,
     {{"clients.first_kept", {"FAIL", " ms after the second host's init() was called"}}},
     "",
     [](const JsonValue &document) {
         const std::string &evidence = checkOf(document, "clients.first_kept")["evidence"].text;
         size_t at = evidence.find(" ms after the second host's init() was called");
         ASSERT_NE(at, std::string::npos) << evidence;
         size_t from = evidence.rfind(' ', at - 1) + 1;
         EXPECT_LT(atof(evidence.substr(from, at - from).c_str()), 100) << evidence;
     }},
    // A good driver with large buffers: every window holds enough switches, whatever the period.
    {"LargeBuffersPass",
     [](SimConfig *c) { c->preferredSize = c->maxSize = 4096; },
     "clients,life.rate_change", 0.5, {}},
};

class KnobTest : public ConformTest, public ::testing::WithParamInterface<const KnobGroup *> {};

std::string groupName(const ::testing::TestParamInfo<const KnobGroup *> &info)
{
    return info.param->name;
}

// One test per device, named after its knobs.
TEST_P(KnobTest, BreaksItsOwnCheck)
{
    expectGroup(*GetParam());
}

std::vector<const KnobGroup *> rows(const KnobGroup *groups, size_t count)
{
    std::vector<const KnobGroup *> all;
    for (size_t k = 0; k < count; k++)
        all.push_back(&groups[k]);
    return all;
}

INSTANTIATE_TEST_SUITE_P(EachKnob, KnobTest,
                         ::testing::ValuesIn(rows(eachKnob, sizeof eachKnob / sizeof eachKnob[0])),
                         groupName);

// A check with nothing to judge fails, or is not run where the failure of another check left it
// nothing, naming that check; it never passes.
const KnobGroup nothingToJudge[] = {
    {"GetBufferSizeFails", [](SimConfig *c) {
         strcpy(c->failCall, "getBufferSize");
         c->failCount = -1;
     },
     "figures,buffers", 0.5,
     {{"figures.buffer_sizes", {"FAIL", "getBufferSize answered ASE_HWMalfunction"}},
      {"figures.granularity", {"not run", "(figures.buffer_sizes)"}},
      {"buffers.sizes", {"FAIL", "getBufferSize answered ASE_HWMalfunction: no size to try"}},
      {"buffers.pointers", {"not run", "(buffers.sizes)"}},
      {"buffers.latencies", {"not run", "(buffers.sizes)"}},
      {"buffers.recreate", {"not run", "(buffers.sizes)"}},
      {"buffers.double_create", {"not run", "(buffers.sizes)"}}}},
    {"SizesOfZero", [](SimConfig *c) { c->minSize = c->maxSize = c->preferredSize = c->granularity = 0; },
     "figures,buffers", 0.5,
     {{"figures.buffer_sizes", {"FAIL", "min 0, preferred 0, max 0"}},
      {"figures.granularity", {"not run", "no size above 0"}},
      {"buffers.sizes", {"FAIL", "no size above 0 to try"}},
      {"buffers.pointers", {"not run", "(buffers.sizes)"}},
      {"buffers.latencies", {"not run", "(buffers.sizes)"}},
      {"buffers.recreate", {"not run", "(buffers.sizes)"}},
      {"buffers.double_create", {"not run", "(buffers.sizes)"}}}},
    {"CreateBuffersFails", [](SimConfig *c) { c->createBuffersFails = 1; },
     "buffers", 0.5,
     {{"buffers.sizes", {"FAIL", "createBuffers(64 frames) answered"}},
      {"buffers.pointers", {"not run", "no createBuffers succeeded"}},
      {"buffers.latencies", {"not run", "no createBuffers succeeded"}},
      {"buffers.recreate", {"FAIL", "createBuffers(256 frames) answered"}},
      {"buffers.double_create", {"not run", "(buffers.recreate)"}}}},
    {"NoChannels", [](SimConfig *c) { c->inputs = c->outputs = 0; },
     "buffers", 0.5,
     {{"buffers.sizes", {"FAIL", "0 inputs, 0 outputs: no channel to make buffers for"}},
      {"buffers.pointers", {"not run", "(buffers.sizes)"}},
      {"buffers.latencies", {"not run", "(buffers.sizes)"}},
      {"buffers.recreate", {"not run", "(buffers.sizes)"}},
      {"buffers.double_create", {"not run", "(buffers.sizes)"}}}},
    {"NullTimeInfoRecord", [](SimConfig *c) { c->timeInfoFault = 5; },
     "time_info", 0.5, {{"time_info.record", {"FAIL", "bufferSwitchTimeInfo was handed a null record"}}}},
    {"SilentTimeInfoStream", [](SimConfig *c) { c->silentStartAt = 1; },
     "time_info", 0.5,
     {{"time_info.window", {"FAIL", "no callback at all"}},
      {"time_info.index", {"FAIL", "no buffer switch"}},
      {"time_info.thread", {"FAIL", "no buffer switch"}},
      {"time_info.rate", {"FAIL", "no buffer switch"}},
      {"time_info.position", {"FAIL", "no buffer switch"}},
      {"time_info.record", {"FAIL", "no buffer switch"}},
      {"time_info.output_ready", {"FAIL", "no buffer switch"}},
      {"time_info.cpu", {"FAIL", "nothing to judge"}}}},
    // The first host's stream silent: nothing to hold the second host's visit against.
    {"SilentFirstHost", [](SimConfig *c) { c->silentStartAt = 1; },
     "clients", 0.5,
     {{"clients.first_kept", {"FAIL", "too few to judge it by"}},
      {"clients.first_after", {"FAIL", "too few to judge it by"}}}},
    // A cable named where the sequence does not come back: no sample of the first host can be judged.
    {"CableNotOnTheInputNamed", [](SimConfig *c) { c->cableOut = 1, c->cableIn = 0; },
     "clients", 0.5,
     {{"clients.first_kept", {"FAIL", "did not come back on input 1"}},
      {"clients.first_after", {"FAIL", "nothing to judge the first host's samples by"}}},
     "--out 1 --in 1"},
    {"CableOnNoSuchOutput", [](SimConfig *c) { c->cableOut = 1, c->cableIn = 0; },
     "clients", 0.5,
     {{"clients.second", {"FAIL", "the cable: there is no output 9: the driver has outputs 0 to 1"}},
      {"clients.first_kept", {"not run", "(clients.second)"}},
      {"clients.first_after", {"not run", "(clients.second)"}}},
     "--out 9 --in 0"},
    {"RateNotANumber", [](SimConfig *c) { strcpy(c->sampleRate, "nan"); },
     "stream.rate", 0.5, {{"stream.rate", {"FAIL", "nothing to measure the rate against"}}}},
    // Every standard rate accepted: one no device runs at must be refused.
    {"EveryStandardRateAccepted", [](SimConfig *c) {
         strcpy(c->sampleRates, "44100,48000,88200,96000,176400,192000,352800,384000");
         c->setRateAcceptsAll = 1;
     },
     "rates", 0.5, {{"rates.refused", {"WARN", "but setSampleRate(1000) answered ASE_OK"}}}},
    // No rate it had, nothing to set back.
    {"GetSampleRateFails", [](SimConfig *c) {
         strcpy(c->failCall, "getSampleRate");
         c->failCount = -1;
     },
     "rates.restored", 0.5, {{"rates.restored", {"FAIL", "no rate it had to set back"}}}},
    // No standard rate: the current one is set, and set again between two runs.
    {"NoStandardRate", [](SimConfig *c) {
         strcpy(c->sampleRate, "32000");
         strcpy(c->sampleRates, "32000");
         strcpy(c->failCall, "setSampleRate");
         c->failCount = -1;
     },
     "rates,life", 0.5,
     {{"rates.set",
       {"FAIL", "canSampleRate(32000) answered ASE_OK, setSampleRate answered ASE_HWMalfunction"}},
      {"rates.restored", {"FAIL", "setSampleRate(32000), the rate it had, answered ASE_HWMalfunction"}},
      {"life.rate_change", {"FAIL", "setSampleRate(32000) between two runs answered ASE_HWMalfunction"}}}},
};

INSTANTIATE_TEST_SUITE_P(NothingToJudge, KnobTest,
                         ::testing::ValuesIn(rows(nothingToJudge,
                                                  sizeof nothingToJudge / sizeof nothingToJudge[0])),
                         groupName);

// The notify phase: on the clean device with several rates every check that has something to judge
// passes (the clean device sends no reset: that check says it had nothing to judge); each planted
// fault fails, or warns, its own check.
TEST_F(ConformTest, TheNotifyPhasePassesTheCleanDevice)
{
    SimConfig c = config();
    strcpy(c.sampleRates, "44100,48000,96000");
    addDevice(c);
    int code = 0;
    JsonValue document = conform("0 --only notify --seconds 0.5", &code);
    EXPECT_EQ(code, 0) << lastErr;
    expectVerdicts(document, {{"notify.reset_round_trip", {"not run", "sent no reset or buffer size request"}}}, false,
                   "notify");
    EXPECT_TRUE(contains(checkOf(document, "notify.host_rate_change")["evidence"].text, "96000"));
}

const KnobGroup notifyFaults[] = {
    // A reset whose round trip changes the latency the device reports: followed, judged, clean.
    {"ResetRoundTripPasses", [](SimConfig *c) {
         c->requestSelector = SIM_MSG_RESET_REQUEST;
         c->requestAtSwitch = 20;
         c->requestLatencyShift = 100;
     },
     "notify.reset_round_trip,notify.needless", 0.5,
     {},
     "",
     [](const JsonValue &document) {
         EXPECT_TRUE(contains(checkOf(document, "notify.reset_round_trip")["evidence"].text,
                              "output_latency"));
     }},
    {"ResetChangingNothing", [](SimConfig *c) {
         c->requestSelector = SIM_MSG_RESET_REQUEST;
         c->requestAtSwitch = 20;
     },
     "notify.reset_round_trip,notify.needless", 0.5,
     {{"notify.needless", {"WARN", "kAsioResetRequest after switch 20: the round trip changed no figure"}}}},
    // The second start makes no switch: the round trip brings the stream back to nothing.
    {"ResetThenSilentStart", [](SimConfig *c) {
         c->requestSelector = SIM_MSG_RESET_REQUEST;
         c->requestAtSwitch = 20;
         c->requestLatencyShift = 100;
         c->silentStartAt = 2;
     },
     "notify.reset_round_trip", 0.5,
     {{"notify.reset_round_trip", {"FAIL", "no switch came after the round trip"}}}},
    {"ResetThenInitFails", [](SimConfig *c) {
         c->requestSelector = SIM_MSG_RESET_REQUEST;
         c->requestAtSwitch = 20;
         strcpy(c->failCall, "init");
         c->failAtCall = 3;
     },
     "notify.reset_round_trip", 0.5,
     {{"notify.reset_round_trip", {"FAIL", "failed at init()|init of the new object answered 0"}}}},
    // Every trip is judged, the buffer size's too: one its own figures refuse fails the check.
    {"BufferSizeChangeRefused", [](SimConfig *c) {
         c->requestSelector = SIM_MSG_BUFFER_SIZE_CHANGE;
         c->requestValue = -5;
         c->requestAtSwitch = 20;
     },
     "notify.reset_round_trip", 0.5,
     {{"notify.reset_round_trip", {"FAIL", "buffer size change to -5 requested after switch 20"}}}},
    // Every step of the round trip must answer ASE_OK, its stop too.
    {"ResetWithAFailingStop", [](SimConfig *c) {
         c->requestSelector = SIM_MSG_RESET_REQUEST;
         c->requestAtSwitch = 20;
         strcpy(c->failCall, "stop");
         c->failAtCall = 1;
     },
     "notify.reset_round_trip", 0.5,
     {{"notify.reset_round_trip", {"FAIL", "stop() answered ASE_HWMalfunction in the round trip"}}}},
    {"LatenciesChangedAfterEverySwitch", [](SimConfig *c) {
         c->requestSelector = SIM_MSG_LATENCIES_CHANGED;
         c->requestAtSwitch = 20;
         c->requestRepeat = 1;
     },
     "notify.reset_round_trip,notify.needless", 0.5,
     {{"notify.reset_round_trip", {"not run", "sent no reset or buffer size request"}},
      {"notify.needless", {"WARN", "kAsioLatenciesChanged after switch 20, and again"}}}},
    // A driver that never asks and never tells: nothing to judge, and it says so.
    {"NoNotificationAtAll", [](SimConfig *c) { c->asioMessages = 0; },
     "notify.needless", 0.5,
     {{"notify.needless", {"not run", "sent no notification"}}}},
    {"RateTakenSilently", [](SimConfig *c) {
         strcpy(c->sampleRates, "48000,96000");
         c->runningRateChange = 3;
     },
     "notify.host_rate_change", 0.5,
     {{"notify.host_rate_change", {"FAIL", "setSampleRate(96000) answered ASE_OK while streaming and nothing "
                                           "was announced, but the switches keep another pace"}}}},
    // 44.1 kHz reported while the clock keeps 48 kHz's pace: close rates told apart all the same.
    {"CloseRateTakenSilently", [](SimConfig *c) {
         strcpy(c->sampleRates, "44100,48000");
         c->runningRateChange = 3;
     },
     "notify.host_rate_change", 0.5,
     {{"notify.host_rate_change", {"FAIL", "nothing was announced, but the switches keep another pace"}}}},
    {"RateRefused", [](SimConfig *c) {
         strcpy(c->sampleRates, "48000,96000");
         c->runningRateChange = 1;
     },
     "notify.host_rate_change", 0.5, {}},
    {"RateTakenWithAReset", [](SimConfig *c) {
         strcpy(c->sampleRates, "48000,96000");
         c->runningRateChange = 2;
     },
     "notify.host_rate_change", 0.5, {}},
    {"SameRateAnnounced", [](SimConfig *c) {
         strcpy(c->announceRate, "same");
         c->announceAtSwitch = 20;
     },
     "notify.needless", 0.5,
     {{"notify.needless", {"WARN", "sampleRateDidChange(48000) after switch 20: the rate it already had"}}}},
    // A second host sets 96000 Hz while the first streams at 48000: the device's one clock moves
    // both, and the first is told; silent, the first streams on at the new pace believing the old.
    {"SecondHostRateChangeTold", [](SimConfig *c) { strcpy(c->sampleRates, "48000,96000"); },
     "notify.second_host_change", 0.5, {}, "",
     [](const JsonValue &document) {
         EXPECT_TRUE(contains(checkOf(document, "notify.second_host_change")["evidence"].text,
                              "this host was told: sampleRateDidChange(96000)"));
     }},
    {"SecondHostRateChangeSilent", [](SimConfig *c) {
         strcpy(c->sampleRates, "48000,96000");
         c->secondChangeSilent = 1;
     },
     "notify.second_host_change", 0.5,
     {{"notify.second_host_change", {"FAIL", "this host was told nothing within 1000 ms, yet its switches "
                                             "left its figures' pace"}}}},
    {"SecondHostRefused", [](SimConfig *c) {
         strcpy(c->sampleRates, "48000,96000");
         c->secondClient = 1;
     },
     "notify.second_host_change", 0.5,
     {{"notify.second_host_change", {"not run", "the driver serves one host: the second host's init failed"}}}},
    {"ResetSentThoughUnsupported", [](SimConfig *c) {
         c->requestSelector = SIM_MSG_RESET_REQUEST;
         c->requestAtSwitch = 20;
         c->ignoresUnsupported = 1;
     },
     "notify.supports_nothing", 0.5,
     {{"notify.supports_nothing", {"FAIL", "kAsioResetRequest sent after switch 20, though the driver had "
                                           "asked and was told it is not supported"}}}},
    // A driver that never asks sends its request all the same: unsupported, and it did not ask.
    {"ResetSentWithoutAsking", [](SimConfig *c) {
         c->requestSelector = SIM_MSG_RESET_REQUEST;
         c->requestAtSwitch = 20;
         c->asioMessages = 0;
     },
     "notify.supports_nothing", 0.5,
     {{"notify.supports_nothing", {"WARN", "kAsioResetRequest sent after switch 20 (1 unsupported request in "
                                           "all) without asking"}}}},
};

INSTANTIATE_TEST_SUITE_P(Notify, KnobTest,
                         ::testing::ValuesIn(rows(notifyFaults, sizeof notifyFaults / sizeof notifyFaults[0])),
                         groupName);

// Through a cable the clients phase judges the first host's samples too: a second host that silences
// the first's input without stopping its callbacks passes on the switches alone, and fails on the
// cable, placed at its start; the device says it did it, from then on.
TEST_F(ConformTest, ThroughACableASecondHostThatSpoilsTheFirstsInputFails)
{
    SimConfig clean = config();
    clean.cableOut = 1;
    clean.cableIn = 0;
    SimConfig silencing = clean;
    silencing.secondClient = 5;
    RegisteredDevice *cabled = addDevice(clean);
    RegisteredDevice *device = addDevice(silencing);
    int code = 0;
    JsonValue document = conform("0 --only clients --seconds 0.5 --out 1 --in 0", &code);
    EXPECT_EQ(code, 0) << lastErr;
    expectVerdicts(document, {}, false, "clients");
    // The delay is the device's own round trip, which it publishes.
    std::string delay = "on the cable (output 1 to input 0): a delay of " +
                        std::to_string(cabled->shared->trueRoundTrip) + " samples, ";
    for (const char *id : {"clients.first_kept", "clients.first_after"})
        EXPECT_TRUE(contains(checkOf(document, id)["evidence"].text, delay))
            << checkOf(document, id)["evidence"].text;

    document = conform("1 --only clients --seconds 0.5", &code);
    EXPECT_EQ(code, 0) << "without a cable only the switches are judged, and they went on: " << lastErr;
    expectVerdicts(document, {}, false, "clients");
    EXPECT_GT(device->shared->silencedSwitches, 40) << "the device did spoil the input, unseen";

    document = conform("1 --only clients --seconds 0.5 --out 1 --in 0", &code);
    EXPECT_EQ(code, 1) << lastErr;
    expectVerdicts(document, {{"clients.first_kept", {"FAIL", " samples corrupted "}}}, false, "clients");
    const std::string &evidence = checkOf(document, "clients.first_kept")["evidence"].text;
    EXPECT_TRUE(contains(evidence, "after the second host's start()")) << evidence;
    // The device's own account: the first host's inputs were silenced from a callback on (from 1),
    // whose block begins at input position (callback - 1) x 256.
    LONG from = device->shared->silencedFromSwitch;
    size_t at = evidence.find("(input position ");
    ASSERT_NE(at, std::string::npos) << evidence;
    long long position = strtoll(evidence.c_str() + at + strlen("(input position "), nullptr, 10);
    EXPECT_EQ(position, (from - 1) * 256LL) << evidence;

    CheckerRun half = runChecker("conform 0 --only clients --out 1");
    EXPECT_EQ(half.exitCode, 2);
    EXPECT_TRUE(contains(half.err, "conform takes --out O and --in I together")) << half.err;
}

// Ctrl+C in the middle of the suite ends it at its next safe point: the stream it came in is cut
// short and judges nothing, the phases and repetitions after it are not begun, and nothing is
// failed for it (nor in the JUnit file). The sweep stops in the setting it is in, which says so;
// the settings after it are not begun.
TEST_F(ConformTest, AnInterruptEndsTheSuiteOrTheSweepAtItsNextSafePointAndFailsNothing)
{
    RegisteredDevice *device = addDevice(config());
    std::string junit = buildFilePath("conform-interrupted.xml");
    DWORD started = GetTickCount();
    CheckerRun run = runCheckerInterrupted(
        "conform 0 --only stream,time_info,life --seconds 20 --repeat 3 --json --junit \"" + junit + "\"",
        [device] { return device->shared->runSwitches >= 50; });
    EXPECT_EQ(run.exitCode, 5) << run.err;
    EXPECT_LT((GetTickCount() - started) / 1000.0, 15) << "the 20 s stream was cut short";
    JsonValue document;
    ASSERT_TRUE(parseJson(run.out, &document)) << run.out;
    EXPECT_EQ(document["failure"]["kind"].text, "interrupted");
    EXPECT_EQ(document["repetitions_run"].whole(), 1);
    for (size_t i = 0; i < document["checks"].size(); i++) {
        const JsonValue &check = document["checks"][i];
        if (check["verdict"].text == "skipped")
            continue;
        EXPECT_EQ(check["verdict"].text, "not run") << check["id"].text;
        EXPECT_TRUE(contains(check["evidence"].text, "interrupted")) << check["id"].text;
    }
    EXPECT_TRUE(junitFailures(junit).empty());
    EXPECT_TRUE(contains(readFile(junit), "not run: interrupted before it was judged"));

    SimConfig cabled = config();
    cabled.cableOut = 1;
    cabled.cableIn = 0;
    cabled.maxSize = 512;
    strcpy(cabled.sampleRates, "48000,96000");
    RegisteredDevice *swept = addDevice(cabled);
    run = runCheckerInterrupted("latency 1 --out 1 --in 0 --sweep --rates all --json", [swept] {
        return swept->shared->opCounts[SIM_CREATE_BUFFERS] >= 3;  // the second setting
    });
    EXPECT_EQ(run.exitCode, 5) << run.err;
    ASSERT_TRUE(parseJson(run.out, &document)) << run.out;
    const JsonValue &settings = document["settings"];
    EXPECT_LT(settings.size(), 8u) << "the settings after the interrupt are not begun";
    ASSERT_GE(settings.size(), 2u);
    for (size_t k = 0; k + 1 < settings.size(); k++)
        EXPECT_TRUE(settings[k]["measured_whole"].flag) << k;
    EXPECT_TRUE(contains(settings[settings.size() - 1]["error"].text, "interrupted in repeat"))
        << settings[settings.size() - 1]["error"].text;
}

// A run that outgrows the notes is judged on those it has and says so; every callback is counted,
// as many as the device made.
TEST_F(ConformTest, ARunLongerThanItsNotesIsJudgedOnWhatWasNoted)
{
    SimConfig fast = config();
    fast.periodUs = 50;
    fast.preferredSize = 64;
    RegisteredDevice *device = addDevice(fast);
    int code = 0;
    // Long enough for the notes to overflow where the machine runs the device slowly (emulated).
    JsonValue document = conform("0 --only stream.index,stream.window --seconds 9", &code);
    EXPECT_EQ(code, 0) << lastErr;
    const JsonValue &index = checkOf(document, "stream.index");
    EXPECT_EQ(index["verdict"].text, "PASS");
    const std::string &evidence = index["evidence"].text;
    size_t at = evidence.find("judged on the first 32768 of ");
    ASSERT_NE(at, std::string::npos) << evidence;
    long all = strtol(evidence.c_str() + at + strlen("judged on the first 32768 of "), nullptr, 10);
    EXPECT_EQ(all, device->shared->hostSwitches) << "the device's own count of its callbacks";
    EXPECT_GT(all, 32768) << "the run must outgrow the notes to show anything";
    EXPECT_EQ(checkOf(document, "stream.window")["verdict"].text, "PASS");
}

// A switch thread that spins: the driver's share the checker reports agrees with the device's own
// count of its thread's processor time, over 90% of a core fails and over 25% warns. How much of a
// core the machine gives a spinning thread is the scheduler's: the device's count says which
// verdict is due, and near a line none is asked for.
TEST_F(ConformTest, ADriverThatSpinsFailsOrWarnsItsCpuCheckAsItsOwnCountSays)
{
    for (int percent : {100, 40}) {
        SCOPED_TRACE(std::to_string(percent) + "% spun");
        SimConfig spinning = config();
        spinning.spinPercent = percent;
        RegisteredDevice *device = addDevice(spinning);
        int code = 0;
        JsonValue document = conform(std::to_string(devices.size() - 1) + " --only stream.cpu --seconds 2",
                                     &code);
        const JsonValue &cost = document["cpu"]["stream"];
        const JsonValue &check = checkOf(document, "stream.cpu");
        double window = cost["window_ms"].number;
        double own = (device->shared->switchThreadCpuUs / 1e3 - cost["callback_ms"].number) / window * 100;
        EXPECT_NEAR(check["figure"].number, own, 5) << check["evidence"].text;
        EXPECT_GE(device->shared->spunUs / 1e3, window * percent / 100 * 0.75) << "the device spun all along";
        const char *due = own > 92 ? "FAIL" : own > 27 && own < 88 ? "WARN" : own < 23 ? "PASS" : nullptr;
        if (due) {
            EXPECT_EQ(check["verdict"].text, due) << check["evidence"].text;
        }
        EXPECT_TRUE(document["cpu"]["time_info"].isNull());
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

// The calls a phase makes before its first check (its own object, the figures it reads) are that
// check's: a crash there fails it, never a check of the phase before nor a skipped one; a driver
// that could not be opened or crashed always leaves a failure in the JUnit file.
TEST_F(ConformTest, APhasesOpeningIsChargedToItsFirstWantedCheck)
{
    SimConfig crashing = config();
    strcpy(crashing.faultCall, "getChannelInfo");  // the buffers phase's first, with --only buffers
    crashing.faultKind = 1;
    addDevice(crashing);
    SimConfig failing = config();
    strcpy(failing.initError, "Quorvel Sim: not connected");
    addDevice(failing);
    SimConfig crashingInit = config();
    strcpy(crashingInit.faultCall, "init");
    crashingInit.faultKind = 1;
    addDevice(crashingInit);

    std::string junit = buildFilePath("conform-charged.xml");
    CheckerRun crashed = runChecker("conform 0 --only buffers --json --junit \"" + junit + "\"");
    EXPECT_EQ(crashed.exitCode, 4) << crashed.err;
    JsonValue document;
    ASSERT_TRUE(parseJson(crashed.out, &document)) << crashed.out;
    for (size_t i = 0; i < document["checks"].size(); i++) {
        const JsonValue &check = document["checks"][i];
        const std::string &id = check["id"].text;
        if (id == "buffers.sizes") {
            EXPECT_EQ(check["verdict"].text, "FAIL");
            EXPECT_TRUE(contains(check["evidence"].text, "the driver crashed in getChannelInfo()"))
                << check["evidence"].text;
        } else {
            EXPECT_EQ(check["verdict"].text, id.compare(0, 8, "buffers.") == 0 ? "not run" : "skipped")
                << id;
        }
    }
    EXPECT_EQ(junitFailures(junit), std::vector<std::string>{"buffers.sizes"});

    CheckerRun refused = runChecker("conform 1 --only figures --junit \"" + junit + "\"");
    EXPECT_EQ(refused.exitCode, 3) << refused.err;
    EXPECT_FALSE(junitFailures(junit).empty()) << "status 3 with every open check skipped";

    CheckerRun none = runChecker("conform 2 --skip open,figures,rates,buffers,stream,time_info,life,"
                                 "clients,notify --junit \"" + junit + "\"");
    EXPECT_EQ(none.exitCode, 4) << none.err;
    EXPECT_EQ(junitFailures(junit), std::vector<std::string>{"driver"}) << "no check was running";

    // Create and init are one step of the worker: the crash is init's, create is left ungraded.
    resetRecord(devices[2]);  // the crash comes at the first init again
    int code = 0;
    JsonValue inInit = conform("2 --only open", &code);
    EXPECT_EQ(code, 4);
    EXPECT_EQ(checkOf(inInit, "open.create")["verdict"].text, "not run");
    EXPECT_TRUE(contains(checkOf(inInit, "open.init")["evidence"].text, "the driver crashed in init()"))
        << checkOf(inInit, "open.init")["evidence"].text;
}

// A skipped check makes no driver call of its own, even where it shares a phase with checks run.
TEST_F(ConformTest, SkippedChecksMakeNoDriverCall)
{
    RegisteredDevice *device = addDevice(config());
    int code = 0;
    JsonValue document =
        conform("0 --only figures.clocks,rates.restored,stream.index,life.release --seconds 0.3", &code);
    EXPECT_EQ(code, 0) << lastErr;
    EXPECT_EQ(document["counts"]["pass"].whole(), 4);
    // One object per phase run, in order: open, figures, rates, stream, life.
    std::vector<SimCall> created = calls(device, SIM_CREATED);
    ASSERT_EQ(created.size(), static_cast<size_t>(5));
    struct Unasked {
        size_t phase;
        int op;
        const char *call;
    } unasked[] = {
        {1, SIM_GET_BUFFER_SIZE, "getBufferSize"}, {1, SIM_GET_CHANNELS, "getChannels"},
        {1, SIM_GET_CHANNEL_INFO, "getChannelInfo"}, {2, SIM_CAN_SAMPLE_RATE, "canSampleRate"},
        {3, SIM_GET_SAMPLE_POSITION, "getSamplePosition"}, {3, SIM_OUTPUT_READY, "outputReady"},
        {4, SIM_START, "start"}, {4, SIM_CREATE_BUFFERS, "createBuffers"},
    };
    for (const Unasked &u : unasked) {
        EXPECT_EQ(calls(device, u.op, created[u.phase].a).size(), static_cast<size_t>(0))
            << u.call << " made on the object of phase " << u.phase;
    }
    EXPECT_FALSE(calls(device, SIM_START, created[3].a).empty()) << "stream.index runs its stream";
}

// A phase that changed the rate sets it back when its object is closed, also when the check that
// sets it back is skipped.
TEST_F(ConformTest, APhaseSetsTheRateBackWhenTheCheckThatWouldIsSkipped)
{
    SimConfig rates = config();
    strcpy(rates.sampleRates, "44100,48000,96000");
    RegisteredDevice *device = addDevice(rates);
    int code = 0;
    conform("0 --only rates.set", &code);
    EXPECT_EQ(code, 0) << lastErr;
    std::vector<SimCall> created = calls(device, SIM_CREATED);
    ASSERT_EQ(created.size(), static_cast<size_t>(2)) << "open and rates";
    std::vector<SimCall> set = calls(device, SIM_SET_SAMPLE_RATE, created[1].a);
    ASSERT_FALSE(set.empty());
    EXPECT_EQ(set.back().a, 48000) << "the last rate set on the rates phase's object";

    // A rate the driver reported as 0 is what it had: set back all the same.
    SimConfig zero = rates;
    strcpy(zero.sampleRate, "0");
    RegisteredDevice *odd = addDevice(zero);
    conform("1 --only rates.set", &code);
    created = calls(odd, SIM_CREATED);
    ASSERT_EQ(created.size(), static_cast<size_t>(2)) << "open and rates";
    set = calls(odd, SIM_SET_SAMPLE_RATE, created[1].a);
    ASSERT_FALSE(set.empty());
    EXPECT_EQ(set.back().a, 0) << "the rate the rates phase's object had";
}

// A callback that comes long after stop returned, when the buffers are given back and the object
// is being released, is one after stop returned, not one before the next start.
TEST_F(ConformTest, ACallbackDuringTheReleaseCameAfterStopReturned)
{
    SimConfig late = config();
    late.lateCallbackMs = 500;  // the run's buffers are disposed 200 ms after its stop
    addDevice(late);
    int code = 0;
    JsonValue document = conform("0 --only stream.window --seconds 0.3", &code);
    EXPECT_EQ(code, 1);
    const JsonValue &window = checkOf(document, "stream.window");
    EXPECT_EQ(window["verdict"].text, "FAIL");
    EXPECT_TRUE(contains(window["evidence"].text, "during createBuffers: 0, before start was called: 0, "
                                                  "after stop returned: "))
        << window["evidence"].text;
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
    JsonValue skipped = conform("0 --skip open.reopen,figures,rates,buffers,stream,time_info,life,"
                                "clients,notify --strict", &code);
    EXPECT_EQ(code, 1);
    EXPECT_EQ(skipped["counts"]["skipped"].whole(), 48);

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
    EXPECT_EQ(suite.attributes.at("tests"), "52");
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
    EXPECT_EQ(skippedCases, 47);

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
