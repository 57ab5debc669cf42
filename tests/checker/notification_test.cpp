// The notifications of a run as the checker shows them, against what the simulated device did: the
// device's own switch count for its request, its own questions, its own record of the answers.
#include "tests/checker/checker_process.h"
#include "tests/support/json_reader.h"
#include "simdevice/sim_asio_abi.h"
#include "tests/support/sim_fixture.h"
#include "tests/support/text_search.h"

#include <gtest/gtest.h>
#include <string.h>
#include <string>

namespace {

class NotificationTest : public SimProgramTest {};

// The notifications of a document with that selector.
std::vector<const JsonValue *> withSelector(const JsonValue &document, int selector)
{
    std::vector<const JsonValue *> found;
    const JsonValue &all = document["notifications"];
    for (size_t i = 0; i < all.size(); i++) {
        if (!all[i]["selector"].isNull() && all[i]["selector"].whole() == selector)
            found.push_back(&all[i]);
    }
    return found;
}

// The device asks its questions on the host's thread in createBuffers and sends its request from
// its switch thread right after its own switch 50: the checker shows each with its thread, the
// switch it came after and what it answered, in the JSON and in the text. The checker notes the
// requests and does nothing more (--on-reset ignore): what it does next has tests of its own.
TEST_F(NotificationTest, RunShowsEachNotificationWithItsSwitchThreadAndAnswer)
{
    SimConfig config = fastConfig();
    config.periodUs = 0;  // real time: the stream keeps its rate's pace
    config.requestSelector = SIM_MSG_RESET_REQUEST;
    config.requestAtSwitch = 50;
    strcpy(config.announceRate, "same");
    config.announceAtSwitch = 30;
    RegisteredDevice *device = addDevice(config);

    int code = -1;
    std::string err;
    JsonValue run = runCheckerJson("run 0 --seconds 1 --on-reset ignore", &code, &err);
    EXPECT_EQ(code, 0) << err;
    ASSERT_EQ(device->shared->requestsSent, 1);

    std::vector<const JsonValue *> resets = withSelector(run, SIM_MSG_RESET_REQUEST);
    ASSERT_EQ(resets.size(), 1u);
    const JsonValue &reset = *resets[0];
    EXPECT_EQ(reset["kind"].text, "message");
    EXPECT_EQ(reset["selector_name"].text, "kAsioResetRequest");
    EXPECT_EQ(reset["value"].whole(), 0);
    EXPECT_EQ(reset["answer"].whole(), device->shared->requestAnswer);
    EXPECT_EQ(reset["answer"].whole(), 1);
    EXPECT_NEAR(static_cast<double>(reset["after_switch"].whole()), config.requestAtSwitch, 1);
    EXPECT_EQ(reset["thread"].text, "driver 1");
    EXPECT_GT(reset["ms"].number, 0) << "after start returned";
    EXPECT_TRUE(reset["message_pointer"].isNull());
    EXPECT_FALSE(reset["unsupported"].flag);
    EXPECT_FALSE(reset["after_refusal"].flag);

    // The device's needless announcement of the rate it has, after its own switch 30.
    const JsonValue *announced = nullptr;
    for (size_t i = 0; i < run["notifications"].size(); i++) {
        if (run["notifications"][i]["kind"].text == "rate_change")
            announced = &run["notifications"][i];
    }
    ASSERT_NE(announced, nullptr);
    EXPECT_EQ((*announced)["rate"].number, 48000);
    EXPECT_NEAR(static_cast<double>((*announced)["after_switch"].whole()), config.announceAtSwitch, 1);
    EXPECT_EQ((*announced)["thread"].text, "driver 1");

    // The device's questions: selector supported for each of its eight selectors, on the host's
    // thread, before start.
    std::vector<const JsonValue *> questions = withSelector(run, SIM_MSG_SELECTOR_SUPPORTED);
    ASSERT_EQ(questions.size(), 8u);
    for (const JsonValue *question : questions) {
        long asked = static_cast<long>((*question)["value"].whole());
        EXPECT_EQ((*question)["thread"].text, "host");
        EXPECT_NE((*question)["thread_id"].whole(), reset["thread_id"].whole());
        EXPECT_EQ((*question)["after_switch"].whole(), 0);
        EXPECT_LT((*question)["ms"].number, 0);
        EXPECT_EQ((*question)["answer"].whole(), device->shared->supportedAnswers[asked]) << asked;
    }
    EXPECT_EQ(run["notifications_not_kept"].whole(), 0);

    CheckerRun text = runChecker("run 0 --seconds 1 --on-reset ignore");
    EXPECT_EQ(text.exitCode, 0) << text.err;
    EXPECT_TRUE(contains(text.out, "Notifications (ms from start's return, negative before it):\n"))
        << text.out;
    EXPECT_TRUE(contains(text.out, ", driver thread 1, after switch ")) << text.out;
    EXPECT_TRUE(contains(text.out, ": sampleRateDidChange 48000 Hz\n")) << text.out;
    EXPECT_TRUE(contains(text.out, ": kAsioResetRequest (3), value 0, answered 1\n")) << text.out;
    // The questions of createBuffers on one line, the answers as the device recorded them.
    EXPECT_TRUE(contains(text.out, ", the host's thread, before the first switch: 11 questions: "
                                   "kAsioSelectorSupported (1) of 2, 3, 4, 5, 6 and 15 answered 1, of 7 "
                                   "and 8 answered 0; kAsioEngineVersion (2) answered 2; "))
        << text.out;
}

// A host that supports nothing: every question the device asked was answered no (the device's own
// record), the stream went on, and the request it sent anyway is a finding.
TEST_F(NotificationTest, HostSupportsNoneAnswersNoAndShowsWhatTheDriverSentAnyway)
{
    SimConfig config = fastConfig();
    config.requestSelector = SIM_MSG_RESET_REQUEST;
    config.requestAtSwitch = 20;
    config.ignoresUnsupported = 1;
    RegisteredDevice *device = addDevice(config);

    CheckerRun text = runChecker("run 0 --seconds 1 --host-supports none");
    EXPECT_EQ(text.exitCode, 0) << text.err << text.out;
    const int asked[] = {SIM_MSG_ENGINE_VERSION, SIM_MSG_RESET_REQUEST, SIM_MSG_BUFFER_SIZE_CHANGE,
                         SIM_MSG_RESYNC_REQUEST, SIM_MSG_LATENCIES_CHANGED,
                         SIM_MSG_SUPPORTS_TIME_INFO, SIM_MSG_SUPPORTS_TIME_CODE, SIM_MSG_OVERLOAD};
    for (int s : asked)
        EXPECT_EQ(device->shared->supportedAnswers[s], 0) << s;
    EXPECT_EQ(device->shared->messageAnswers[SIM_MSG_ENGINE_VERSION], 0);
    EXPECT_EQ(device->shared->requestsSent, 1);
    EXPECT_EQ(device->shared->requestAnswer, 0);
    EXPECT_TRUE(contains(text.out, "The driver sent reset request (3) after the host said it does "
                                   "not support it.  finding\n")) << text.out;
    EXPECT_TRUE(contains(text.out, "Check: the stream kept going")) << text.out;

    int code = -1;
    std::string err;
    JsonValue run = runCheckerJson("run 0 --seconds 1 --host-supports none", &code, &err);
    EXPECT_EQ(code, 0) << err;
    for (const JsonValue *question : withSelector(run, SIM_MSG_SELECTOR_SUPPORTED))
        EXPECT_EQ((*question)["answer"].whole(), 0) << (*question)["value"].whole();
    std::vector<const JsonValue *> resets = withSelector(run, SIM_MSG_RESET_REQUEST);
    ASSERT_EQ(resets.size(), 1u);
    EXPECT_TRUE((*resets[0])["unsupported"].flag);
    EXPECT_TRUE((*resets[0])["after_refusal"].flag);
    EXPECT_EQ((*resets[0])["answer"].whole(), 0);
    ASSERT_EQ(run["sent_after_refusal"].size(), 1u);
    EXPECT_EQ(run["sent_after_refusal"][0]["selector"].whole(), SIM_MSG_RESET_REQUEST);
    EXPECT_EQ(run["sent_after_refusal"][0]["count"].whole(), 1);
    EXPECT_GT(run["switches"].whole(), 100) << "the stream went on";
}

// A request whose pointers point nowhere: each is shown as not readable, a finding on its line,
// and the checker neither crashes nor fails the run for it.
TEST_F(NotificationTest, APointerThatCannotBeReadIsAFindingNotACrash)
{
    SimConfig config = fastConfig();
    config.periodUs = 0;  // real time: the stream after the resync is judged against its rate
    config.requestSelector = SIM_MSG_RESYNC_REQUEST;
    config.requestAtSwitch = 10;
    config.requestBadPointer = 1;
    RegisteredDevice *device = addDevice(config);

    CheckerRun text = runChecker("run 0 --seconds 1 --on-reset ignore");
    EXPECT_EQ(text.exitCode, 0) << text.err << text.out;
    EXPECT_EQ(device->shared->requestsSent, 1);
    EXPECT_TRUE(contains(text.out, ": kAsioResyncRequest (5), value 0, answered 1; message 0x00000010: "
                                   "not readable; opt 0x00000018: not readable  finding\n"))
        << text.out;

    int code = -1;
    std::string err;
    JsonValue run = runCheckerJson("run 0 --seconds 1 --on-reset ignore", &code, &err);
    EXPECT_EQ(code, 0) << err;
    std::vector<const JsonValue *> resyncs = withSelector(run, SIM_MSG_RESYNC_REQUEST);
    ASSERT_EQ(resyncs.size(), 1u);
    EXPECT_EQ((*resyncs[0])["message_pointer"].text, "0x00000010");
    EXPECT_EQ((*resyncs[0])["opt_pointer"].text, "0x00000018");
    EXPECT_FALSE((*resyncs[0])["readable"].flag);
    EXPECT_FALSE((*resyncs[0])["readable"].isNull());
}

// --panel-step asks a person at the machine; here nobody is (the tests' standard input is not a
// console), so run refuses before the driver is loaded. The person's path is not tried here.
TEST_F(NotificationTest, PanelStepWithNobodyAtTheMachineRunsNothing)
{
    RegisteredDevice *device = addDevice(fastConfig());
    CheckerRun run = runChecker("run 0 --seconds 1 --panel-step 5");
    EXPECT_EQ(run.exitCode, 2) << run.err;
    EXPECT_TRUE(contains(run.err, "--panel-step asks a person at the machine")) << run.err;
    EXPECT_TRUE(contains(run.err, "not a console: nothing was run")) << run.err;
    EXPECT_EQ(device->shared->opCounts[SIM_INIT], 0) << "the driver was not loaded";
}

}  // namespace
