// The checks every record a worker sends gets before the parent uses it, through the program's own
// table: each count, index, enum and text a driver could have written over is refused, and named.
// And the read of the shared watch record, which gives up on a record left half-written.
#include "checker/checker.h"
#include "checker/conform/conform.h"
#include "checker/cycles/cycles.h"
#include "checker/session/worker_parent.h"
#include "checker/session/worker_protocol.h"

#include <gtest/gtest.h>
#include <math.h>
#include <string.h>
#include <functional>
#include <vector>

namespace {

// A copy of the record at `place` (zeroed: a record that holds) with one field changed.
template <typename Record>
struct Corruption {
    const char *field;  // as the check names it
    std::function<void(Record &)> change;
};

template <typename Record>
void expectRefused(const Record &place, const std::vector<Corruption<Record>> &corruptions)
{
    useProgramTables();
    std::vector<uint64_t> storage(sizeof(Record) / sizeof(uint64_t) + 1);
    Record &copy = *reinterpret_cast<Record *>(storage.data());
    memset(&copy, 0, sizeof copy);
    EXPECT_EQ(recordFault(&place, &copy), nullptr) << "an empty record holds";
    for (const Corruption<Record> &c : corruptions) {
        memset(&copy, 0, sizeof copy);
        c.change(copy);
        const char *fault = recordFault(&place, &copy);
        ASSERT_NE(fault, nullptr) << c.field << " was not refused";
        EXPECT_STREQ(fault, c.field);
    }
}

void fillText(char *text, size_t size)
{
    memset(text, 'x', size);
}

TEST(RecordChecksTest, TheDriverAndItsNotesAreRefusedWithACountOutOfRangeOrATextNotEnded)
{
    expectRefused<OpenedDriver>(openedDriver, {
        {"name", [](OpenedDriver &d) { fillText(d.name, sizeof d.name); }},
        {"errorMessage", [](OpenedDriver &d) { fillText(d.errorMessage, sizeof d.errorMessage); }},
    });
    expectRefused<CallNotes>(callNotes, {
        {"count", [](CallNotes &n) { n.count = MAX_NOTED_CALLS + 1; }},
        {"count", [](CallNotes &n) { n.count = -1; }},
        {"dropped", [](CallNotes &n) { n.dropped = -5; }},
        {"calls.call", [](CallNotes &n) {
             n.count = 3;
             fillText(n.calls[2].call, sizeof n.calls[2].call);
         }},
    });
    // A text past the count is never read: not refused.
    CallNotes beyond = {};
    fillText(beyond.calls[5].call, sizeof beyond.calls[5].call);
    EXPECT_EQ(recordFault(&callNotes, &beyond), nullptr);
}

TEST(RecordChecksTest, InfoAndTheRunsAreRefusedWithAnIndexOrCountBeyondTheirArrays)
{
    expectRefused<InfoResults>(infoResults, {
        {"stage", [](InfoResults &r) { r.stage = static_cast<InfoStage>(INFO_DONE + 1); }},
        {"listedInputs", [](InfoResults &r) { r.listedInputs = MAX_LISTED_CHANNELS + 1; }},
        {"listedOutputs", [](InfoResults &r) { r.listedOutputs = -1; }},
        {"clockCount", [](InfoResults &r) { r.clockCount = MAX_CLOCKS + 1; }},
        {"channel name", [](InfoResults &r) {
             r.listedOutputs = 2;
             fillText(r.outputs[1].name, sizeof r.outputs[1].name);
         }},
        {"clock name", [](InfoResults &r) {
             r.clockCount = 1;
             fillText(r.clocks[0].name, sizeof r.clocks[0].name);
         }},
        {"figures.sampleType", [](InfoResults &r) {
             r.figures.sampleType = reinterpret_cast<const SampleTypeEntry *>(&r);
         }},
        {"figures.firstOutput.name", [](InfoResults &r) {
             fillText(r.figures.firstOutput.name, sizeof r.figures.firstOutput.name);
         }},
    });
    expectRefused<RunResults>(runResults, {
        {"stage", [](RunResults &r) { r.stage = static_cast<RunStage>(-1); }},
        {"timing.timelineBins", [](RunResults &r) { r.timing.timelineBins = TIMING_TIMELINE_BINS + 1; }},
        {"cpu.figures", [](RunResults &r) { r.timing.cpu.processMs = NAN; }},
        {"cpu.figures", [](RunResults &r) { r.timing.cpu.callbackMs = -1; }},
        {"cpu.driverMs", [](RunResults &r) {
             r.timing.cpu.processMs = 10;
             r.timing.cpu.driverMs = 20;
         }},
        {"notifications' counts", [](RunResults &r) {
             r.notifications.kept = r.notifications.seen = NOTIFICATION_ROOM + 1;
         }},
        {"notifications' counts", [](RunResults &r) { r.notifications.kept = 1; }},
        {"a notification's kind", [](RunResults &r) {
             r.notifications.kept = r.notifications.seen = 1;
         }},
        {"a notification's pointers", [](RunResults &r) {
             r.notifications.kept = r.notifications.seen = 1;
             r.notifications.items[0].n.kind = NOTIFY_RATE;
             r.notifications.items[0].messageLength = MESSAGE_BYTES + 1;
         }},
    });
    expectRefused<LatencyResults>(latencyResults, {
        {"sent", [](LatencyResults &r) { r.sent = MAX_PINGS + 1; }},
        {"wanted", [](LatencyResults &r) { r.wanted = -1; }},
        {"timing.timelineBins", [](LatencyResults &r) { r.timing.timelineBins = -1; }},
    });
}

TEST(RecordChecksTest, TheSweepIntegrityConformAndRestoreAreRefusedOutOfRange)
{
    expectRefused<SweepResults>(sweepResults, {
        {"settingCount", [](SweepResults &r) { r.settingCount = MAX_SWEEP_SETTINGS + 1; }},
        {"runningSetting", [](SweepResults &r) { r.runningSetting = MAX_SWEEP_SETTINGS; }},
        {"repeats", [](SweepResults &r) { r.repeats = MAX_SWEEP_REPEATS + 1; }},
        {"settings.repeatsRun", [](SweepResults &r) {
             r.settings[MAX_SWEEP_SETTINGS - 1].repeatsRun = MAX_SWEEP_REPEATS + 1;
         }},
        {"notifications' settings", [](SweepResults &r) {
             r.notifications.kept = r.notifications.seen = 1;
             r.notifications.items[0].n.kind = NOTIFY_MESSAGE;
             r.notifications.items[0].run = MAX_SWEEP_SETTINGS;
         }},
    });
    expectRefused<IntegrityResults>(integrityResults, {
        {"keptEvents", [](IntegrityResults &r) { r.analysis.keptEvents = MAX_INTEGRITY_EVENTS + 1; }},
        {"events.kind", [](IntegrityResults &r) {
             r.analysis.keptEvents = 2;
             r.analysis.events[1].kind = EVENT_KINDS;
         }},
        {"state", [](IntegrityResults &r) { r.analysis.state = 7; }},
        {"noLockReason", [](IntegrityResults &r) { r.analysis.noLockReason = -1; }},
        {"bits", [](IntegrityResults &r) { r.bits = 33; }},
    });
    expectRefused<ConformResults>(conformResults, {
        {"runningCheck", [](ConformResults &r) { r.runningCheck = CHECK_COUNT; }},
        {"runningCheck", [](ConformResults &r) { r.runningCheck = -2; }},
        {"repetitionsRun", [](ConformResults &r) { r.repetitionsRun = MAX_REPEAT + 1; }},
        {"runningRepetition", [](ConformResults &r) { r.runningRepetition = -1; }},
        {"checks.verdict", [](ConformResults &r) {
             r.checks[CHECK_COUNT - 1].verdict = static_cast<Verdict>(VERDICT_FAIL + 1);
         }},
        {"checks.perRepetition", [](ConformResults &r) { r.checks[0].perRepetition[3] = 9; }},
        {"cpu.figures", [](ConformResults &r) { r.streamCost[1].windowMs = INFINITY; }},
        {"checks.evidence", [](ConformResults &r) {
             fillText(r.checks[2].evidence, sizeof r.checks[2].evidence);
         }},
    });
    expectRefused<RateRestoreResults>(rateRestoreResults, {
        {"stage", [](RateRestoreResults &r) { r.stage = static_cast<RestoreStage>(3); }},
    });
}

// Every route's index is read through the counts and the skew: none may leave the record.
TEST(RecordChecksTest, TheRoutingOfEveryChannelIsRefusedWithACountIndexOrKindOutOfRange)
{
    expectRefused<RoutingResults>(routingResults, {
        {"stage", [](RoutingResults &r) { r.stage = static_cast<RunStage>(RUN_STOPPED + 1); }},
        {"outputCount", [](RoutingResults &r) { r.outputCount = MAX_ROUTE_CHANNELS + 1; }},
        {"inputCount", [](RoutingResults &r) { r.inputCount = -1; }},
        {"analysisThreads", [](RoutingResults &r) { r.analysisThreads = MAX_RING_READERS + 1; }},
        {"skew.routes", [](RoutingResults &r) { r.skew.routes = 1; }},
        {"skew.earliest", [](RoutingResults &r) {
             r.inputCount = r.skew.routes = 2;
             r.skew.earliest = 2;
         }},
        {"skew.latest", [](RoutingResults &r) {
             r.inputCount = r.skew.routes = 2;
             r.skew.latest = -1;
         }},
        {"routes.found", [](RoutingResults &r) {
             r.inputCount = 3;
             r.routes[2].found = MAX_ROUTE_CHANNELS;
         }},
        {"routes.expected", [](RoutingResults &r) {
             r.inputCount = 1;
             r.routes[0].expected = NO_ROUTE - 1;
         }},
        {"routes.verdict", [](RoutingResults &r) {
             r.inputCount = 1;
             r.routes[0].verdict = ROUTE_UNEXPECTED + 1;
         }},
        {"routes.state", [](RoutingResults &r) {
             r.inputCount = 1;
             r.routes[0].state = -1;
         }},
        {"routes.noLockReason", [](RoutingResults &r) {
             r.inputCount = 1;
             r.routes[0].noLockReason = NO_LOCK_FOREIGN + 1;
         }},
        {"routes.bits", [](RoutingResults &r) {
             r.inputCount = 1;
             r.routes[0].transparentBits = 33;
         }},
        {"routes.keptEvents", [](RoutingResults &r) {
             r.inputCount = 1;
             r.routes[0].keptEvents = MAX_ROUTE_EVENTS + 1;
         }},
        {"routes.events.kind", [](RoutingResults &r) {
             r.inputCount = 2;
             r.routes[1].keptEvents = 1;
             r.routes[1].events[0].kind = EVENT_KINDS;
         }},
    });
    // A route past the count is never read: not refused.
    static RoutingResults beyond;
    beyond.routes[5].verdict = 99;
    EXPECT_EQ(recordFault(&routingResults, &beyond), nullptr);
}

// A cycles worker's record: one cycle, numbered, with one field a driver wrote over.
TEST(RecordChecksTest, ACyclesRecordIsRefusedWithACountEnumTextOrProcessCountOutOfRange)
{
    auto one = [](CyclesWorkerResults &r) {
        r.count = 1;
        r.cycles[0].number = r.cycles[0].inWorker = 1;
        return &r.cycles[0];
    };
    expectRefused<CyclesWorkerResults>(cyclesWorker, {
        {"count", [](CyclesWorkerResults &r) { r.count = MAX_CYCLES_IN_WORKER + 1; }},
        {"cycles.number", [](CyclesWorkerResults &r) { r.count = 1; }},
        {"cycles.ending", [&](CyclesWorkerResults &r) { one(r)->ending = ENDINGS; }},
        {"cycles.stage", [&](CyclesWorkerResults &r) { one(r)->stage = -1; }},
        {"cycles.texts", [&](CyclesWorkerResults &r) { fillText(one(r)->failure, sizeof r.cycles[0].failure); }},
        {"cycles.after", [&](CyclesWorkerResults &r) { one(r)->after.handles = HANDLE_PROBE_BOUND; }},
        {"cycles.after", [&](CyclesWorkerResults &r) { one(r)->after.privateKB = -2; }},
    });
}

// A frame that names a record the program does not have is refused before anything of it is used,
// just past the table's end as far past it.
TEST(FrameChecksTest, ARecordNumberedPastTheTableIsRefused)
{
    useProgramTables();
    DWORD count = 0;  // past the last one's, whichever it is
    while (recordAt(count))
        count++;
    ASSERT_GT(count, static_cast<DWORD>(recordIndex(&goneBackResults)));
    for (DWORD id : {count, count + 1, DWORD(0xFFFFFFFF)}) {
        WorkerProcess w = {};
        HANDLE pipeWrite = nullptr, outputWrite = nullptr;
        ASSERT_TRUE(CreatePipe(&w.pipeRead, &pipeWrite, nullptr, 1 << 16));
        ASSERT_TRUE(CreatePipe(&w.outputRead, &outputWrite, nullptr, 4096));
        FrameHeader header = {FRAME_RECORD, id, 8};
        char payload[8] = {};
        DWORD written = 0;
        WriteFile(pipeWrite, &header, sizeof header, &written, nullptr);
        WriteFile(pipeWrite, payload, sizeof payload, &written, nullptr);
        WorkerSeen seen = {};
        seen.quiet = true;
        SessionOutcome outcome = {};
        takeWhatCame(&w, &seen, &outcome, 1 << 20);
        EXPECT_TRUE(seen.corrupt) << id;
        EXPECT_TRUE(strstr(outcome.field, "which the program does not have")) << outcome.field;
        for (HANDLE handle : {w.pipeRead, pipeWrite, w.outputRead, outputWrite})
            CloseHandle(handle);
    }
}

TEST(WatchReadTest, ARecordLeftHalfWrittenIsGivenUpOnWithinMilliseconds)
{
    WatchRecord shared = {};
    WatchRecord copy;
    shared.sequence = 4;
    shared.state = WATCH_IN_CALL;
    memset(shared.call, 'x', sizeof shared.call);
    EXPECT_TRUE(readWatchRecord(&shared, &copy));
    EXPECT_EQ(copy.state, WATCH_IN_CALL);
    EXPECT_EQ(strlen(copy.call), sizeof copy.call - 1) << "a call's text is ended in the copy";

    // The worker ended between the two increments: odd for good.
    shared.sequence = 5;
    DWORD started = GetTickCount();
    EXPECT_FALSE(readWatchRecord(&shared, &copy));
    EXPECT_LT(GetTickCount() - started, 2000u);
}

}  // namespace
