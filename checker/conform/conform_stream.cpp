// The streaming phases: a run at the preferred size, with time info declined and then offered, each
// switch noted and judged afterwards.
#include "checker/conform/phases.h"

#include "drivers/driver_loading.h"
#include "engine/loopback.h"

#include <windows.h>
#include <algorithm>
#include <math.h>
#include <stdarg.h>
#include <stdio.h>
#include <stdlib.h>
#include <vector>

// ---- The judgement

struct StreamChecks {
    ConformCheck window, index, thread, rate, position, callbackKind, messages, reset, outputReady,
        cpu;
};

static const StreamChecks declinedChecks = {
    CHECK_STREAM_WINDOW, CHECK_STREAM_INDEX, CHECK_STREAM_THREAD, CHECK_STREAM_RATE,
    CHECK_STREAM_POSITION, CHECK_STREAM_BUFFER_SWITCH, CHECK_STREAM_MESSAGES, CHECK_STREAM_RESET,
    CHECK_STREAM_OUTPUT_READY, CHECK_STREAM_CPU,
};
static const StreamChecks offeredChecks = {
    CHECK_TIME_INFO_WINDOW, CHECK_TIME_INFO_INDEX, CHECK_TIME_INFO_THREAD, CHECK_TIME_INFO_RATE,
    CHECK_TIME_INFO_POSITION, CHECK_TIME_INFO_RECORD, CHECK_TIME_INFO_MESSAGES,
    CHECK_TIME_INFO_RESET, CHECK_TIME_INFO_OUTPUT_READY, CHECK_TIME_INFO_CPU,
};

// The nearest-rank percentile of values in any order.
static double percentileOf(std::vector<double> values, double percent)
{
    std::sort(values.begin(), values.end());
    return nearestRank(values.data(), values.size(), percent);
}

static void judgeWindowOfCallbacks(ConformCheck check, double seconds)
{
    long creating = conformStageCount(STAGE_CREATING);
    long early = conformStageCount(STAGE_BEFORE_START) + conformStageCount(STAGE_IDLE);
    long late = conformStageCount(STAGE_STOPPED) + conformCallbacksAfterRun();
    if (conformSwitchCount() == 0) {
        grade(check, VERDICT_FAIL, "no callback at all in %g s after start answered ASE_OK: nothing to "
              "judge", seconds);
    } else if (creating || early || late) {
        grade(check, VERDICT_FAIL, "callbacks during createBuffers: %ld, before start was called: %ld, "
              "after stop returned: %ld", creating, early, late);
    } else {
        grade(check, VERDICT_PASS, "every callback between the call of start and the return of stop");
    }
}

static void judgeIndex(ConformCheck check, const std::vector<const SwitchNote *> &run)
{
    for (size_t k = 0; k < run.size(); k++) {
        long expected = static_cast<long>(k & 1);
        if (run[k]->index != expected) {
            grade(check, VERDICT_FAIL, "switch %zu had index %ld, expected %ld%s", k + 1, run[k]->index,
                  expected, k > 0 && run[k]->index == run[k - 1]->index ? " (repeated)" : "");
            return;
        }
    }
    grade(check, VERDICT_PASS, "%zu switches, 0 1 0 1...", run.size());
}

static void judgeThreads(ConformCheck check, const std::vector<const SwitchNote *> &run)
{
    std::vector<unsigned long> threads;
    for (const SwitchNote *note : run) {
        if (std::find(threads.begin(), threads.end(), note->thread) == threads.end())
            threads.push_back(note->thread);
    }
    if (threads.size() > 1)
        grade(check, VERDICT_WARN, "switches came from %zu threads", threads.size());
    else
        grade(check, VERDICT_PASS, "one thread");
}

static std::vector<double> arrivalsUs(const std::vector<const SwitchNote *> &run, double ticksPerUs)
{
    std::vector<double> us;
    for (const SwitchNote *note : run)
        us.push_back((note->ticks - run.front()->ticks) / ticksPerUs);
    return us;
}

// Switches x size over the time they took, the time per switch measured robustly (robustStep), so
// that one switch the system delayed at either end does not move the figure.
static void judgeRate(ConformCheck check, const std::vector<const SwitchNote *> &run, long frames,
                      double nominal, double ticksPerUs)
{
    if (run.size() < 10) {
        grade(check, VERDICT_FAIL, "%zu switches: too few to measure the rate", run.size());
        return;
    }
    if (!usableRate(nominal)) {
        grade(check, VERDICT_FAIL, "getSampleRate gave %g Hz, a rate no run can be timed at: nothing to "
              "measure the rate against", nominal);
        return;
    }
    std::vector<double> arrivals = arrivalsUs(run, ticksPerUs);
    double periodUs = robustStep(arrivals.data(), arrivals.size());
    double measured = frames / (periodUs / 1e6);
    double ppm = (measured / nominal - 1) * 1e6;
    gradeFigure(check, ppm);
    Verdict verdict = fabs(ppm) > 10000 ? VERDICT_FAIL : fabs(ppm) > 1000 ? VERDICT_WARN : VERDICT_PASS;
    grade(check, verdict, "measured %.1f Hz against %.10g Hz: %+.0f ppm over %zu switches", measured,
          nominal, ppm, run.size());
}

struct StreamFigures {
    long frames;
    double rate, periodUs, ticksPerUs;
};

// What a driver said of its clock, a reading a switch: positions (frames) and time stamps (ns).
struct ClockReadings {
    const char *what;  // the source, named in the evidence
    std::vector<int64_t> positions, stampsNs;
    std::vector<const SwitchNote *> switches;  // those the readings came in
};

// The readings against the buffer size and the checker's clock.
static bool judgeClock(ConformCheck check, const ClockReadings &readings, const StreamFigures &f)
{
    const char *what = readings.what;
    const std::vector<int64_t> &positions = readings.positions, &stampsNs = readings.stampsNs;
    const long frames = f.frames;
    const double periodUs = f.periodUs;
    for (size_t k = 1; k < positions.size(); k++) {
        int64_t step = positions[k] - positions[k - 1];
        if (step != frames) {
            grade(check, VERDICT_FAIL, "%s went from %lld to %lld at switch %zu: expected a step of %ld "
                  "frames", what, static_cast<long long>(positions[k - 1]),
                  static_cast<long long>(positions[k]), k + 1, frames);
            return false;
        }
    }
    std::vector<double> jitter;
    for (size_t k = 1; k < stampsNs.size(); k++) {
        if (stampsNs[k] <= stampsNs[k - 1]) {
            grade(check, VERDICT_FAIL, "%s's time stamp did not advance at switch %zu (%lld ns, then "
                  "%lld ns)", what, k + 1, static_cast<long long>(stampsNs[k - 1]),
                  static_cast<long long>(stampsNs[k]));
            return false;
        }
        jitter.push_back(fabs((stampsNs[k] - stampsNs[k - 1]) / 1000.0 - periodUs));
    }
    if (stampsNs.size() >= 10) {
        std::vector<double> stampUs;
        for (int64_t ns : stampsNs)
            stampUs.push_back((ns - stampsNs.front()) / 1000.0);
        std::vector<double> arrivals = arrivalsUs(readings.switches, f.ticksPerUs);
        double stampStep = robustStep(stampUs.data(), stampUs.size());
        double clockStep = robustStep(arrivals.data(), arrivals.size());
        if (fabs(stampStep / clockStep - 1) > 0.01) {
            grade(check, VERDICT_FAIL, "%s's time stamps advance %.1f us a switch where the checker's "
                  "clock advances %.1f us", what, stampStep, clockStep);
            return false;
        }
    }
    double worst = jitter.empty() ? 0 : *std::max_element(jitter.begin(), jitter.end());
    grade(check, VERDICT_PASS, "%zu positions a buffer apart; time stamp jitter against the period: "
          "max %.1f us, p99.9 %.1f us", positions.size(), worst, percentileOf(jitter, 99.9));
    gradeFigure(check, worst);
    return true;
}

static void judgePositions(ConformCheck check, const std::vector<const SwitchNote *> &run,
                           const StreamFigures &f)
{
    ClockReadings readings = {"getSamplePosition", {}, {}, run};
    char answer[32];
    for (size_t k = 0; k < run.size(); k++) {
        if (run[k]->positionResult != ASE_OK) {
            grade(check, VERDICT_FAIL, "getSamplePosition answered %s at switch %zu",
                  asioErrorName(run[k]->positionResult, answer, sizeof answer), k + 1);
            return;
        }
        readings.positions.push_back(run[k]->position);
        readings.stampsNs.push_back(run[k]->stampNs);
    }
    if (run.empty()) {
        grade(check, VERDICT_FAIL, "no switch to ask getSamplePosition in");
        return;
    }
    judgeClock(check, readings, f);
}

static void judgeTimeInfo(ConformCheck check, const std::vector<const SwitchNote *> &run,
                          const StreamFigures &f)
{
    const double rate = f.rate;
    ClockReadings readings = {"time info", {}, {}, {}};
    for (size_t k = 0; k < run.size(); k++) {
        const SwitchNote *note = run[k];
        if (note->viaTimeInfo && !note->timeInfo) {
            grade(check, VERDICT_FAIL, "switch %zu: bufferSwitchTimeInfo was handed a null record", k + 1);
            return;
        }
        if (!note->timeInfo)
            continue;
        const unsigned long needed = ASIO_SYSTEM_TIME_VALID | ASIO_SAMPLE_POSITION_VALID;
        if ((note->timeFlags & needed) != needed) {
            grade(check, VERDICT_FAIL, "switch %zu: time info flags 0x%lx, expected system time (1) and "
                  "sample position (2) valid", k + 1, note->timeFlags);
            return;
        }
        if ((note->timeFlags & ASIO_SAMPLE_RATE_VALID) && note->timeRate != rate) {
            grade(check, VERDICT_FAIL, "switch %zu: time info gives %.10g Hz, the rate is %.10g Hz", k + 1,
                  note->timeRate, rate);
            return;
        }
        readings.positions.push_back(note->timePosition);
        readings.stampsNs.push_back(note->timeNs);
        readings.switches.push_back(note);
    }
    if (readings.switches.empty()) {
        grade(check, VERDICT_PASS, "the driver called bufferSwitch only (allowed)");
        return;
    }
    judgeClock(check, readings, f);
}

// The first answer of outputReady, from whichever switch it came (one inside createBuffers too),
// says whether it is supported; once it answered ASE_OK, every running switch's answer must be.
static void judgeOutputReady(ConformCheck check, const std::vector<const SwitchNote *> &run)
{
    char answer[32];
    const SwitchNote *first = nullptr;
    for (long k = 0; k < conformNoteCount() && !first; k++) {
        const SwitchNote *note = conformNote(k);
        if (note && note->readyCalled)
            first = note;
    }
    if (!first) {
        grade(check, VERDICT_FAIL, "no switch to call outputReady after");
        return;
    }
    if (first->readyResult != ASE_OK) {
        grade(check, VERDICT_PASS, "outputReady answered %s: not supported, not called again",
              asioErrorName(first->readyResult, answer, sizeof answer));
        return;
    }
    for (size_t k = 0; k < run.size(); k++) {
        if (run[k]->readyCalled && run[k]->readyResult != ASE_OK) {
            grade(check, VERDICT_FAIL, "outputReady answered ASE_OK, then %s after switch %zu",
                  asioErrorName(run[k]->readyResult, answer, sizeof answer), k + 1);
            return;
        }
    }
    grade(check, VERDICT_PASS, "ASE_OK after every one of %zu switches", run.size());
}

static void judgeMessages(const StreamChecks &c, const MessageTally &m,
                          const NotificationRecord &notifications)
{
    char list[200] = "", refused[200] = "";
    for (long s = ASIO_MSG_SELECTOR_SUPPORTED + 1; s <= ASIO_MSG_LAST; s++) {
        if (m.unasked[s]) {
            snprintf(list + strlen(list), sizeof list - strlen(list), "%s%s (%ld)", list[0] ? ", " : "",
                     selectorName(s), m.unasked[s]);
        }
        if (notifications.afterRefusal[s]) {
            snprintf(refused + strlen(refused), sizeof refused - strlen(refused), "%s%s (%ld)",
                     refused[0] ? ", " : "", selectorName(s), notifications.afterRefusal[s]);
        }
    }
    if (refused[0] && list[0])
        grade(c.messages, VERDICT_WARN, "sent after the host said it does not support it: %s; sent without "
              "asking kAsioSelectorSupported first: %s", refused, list);
    else if (refused[0])
        grade(c.messages, VERDICT_WARN, "sent after the host said it does not support it: %s", refused);
    else if (list[0])
        grade(c.messages, VERDICT_WARN, "sent without asking kAsioSelectorSupported first: %s", list);
    else
        grade(c.messages, VERDICT_PASS, "every selector asked about before it was sent");
    if (m.bySelector[ASIO_MSG_RESET_REQUEST])
        grade(c.reset, VERDICT_WARN, "kAsioResetRequest sent %ld times during the run",
              m.bySelector[ASIO_MSG_RESET_REQUEST]);
    else
        grade(c.reset, VERDICT_PASS, "no reset request");
}

// What the driver's own threads cost while streaming: over 90% of a core is a thread that never
// sleeps, over 25% takes what the host's plug-ins need.
static void judgeCost(ConformCheck check, const CpuFigures &cost, long frames)
{
    if (!cost.measured || cost.switches == 0) {
        grade(check, VERDICT_FAIL, "no buffer switch while streaming: nothing to judge");
        return;
    }
    double share = coreShare(cost.driverMs, cost);
    gradeFigure(check, share);
    Verdict verdict = share > 90 ? VERDICT_FAIL : share > 25 ? VERDICT_WARN : VERDICT_PASS;
    grade(check, verdict, "the driver's own threads used %.1f%% of one core while streaming at %ld "
          "frames; the callback %.1f%%, the checker %.1f%%", share, frames,
          coreShare(cost.callbackMs, cost), coreShare(cost.checkerMs, cost));
}

// Grades every check of the phase with one evidence (as printf).
PRINTF_LIKE(3, 4) static void gradePhase(ConformPhase phase, Verdict verdict, const char *format, ...)
{
    char evidence[160];
    va_list args;
    va_start(args, format);
    vsnprintf(evidence, sizeof evidence, format, args);
    va_end(args);
    for (int c = 0; c < CHECK_COUNT; c++) {
        if (checkDefinitions[c].phase == phase)
            grade(static_cast<ConformCheck>(c), verdict, "%s", evidence);
    }
}

// The run at `frames`: the buffers made, started, streaming for the options' seconds, stopped and
// disposed, every callback noted (the driver asked what the wanted checks judge), and the object
// released. False, with every check of the phase failed, when createBuffers or start did not answer
// ASE_OK; false with nothing graded when the user interrupted the run.
static bool streamOnce(const CheckerOptions &options, ConformPhase phase, const StreamChecks &c,
                       long frames, bool timeInfo, MessageTally *messages)
{
    char answer[32];
    beginConformRun(timeInfo, wanted(c.position), wanted(c.outputReady));
    ASIOError created = createConformBuffers(frames);
    if (created != ASE_OK) {
        endLoopback();
        gradePhase(phase, VERDICT_FAIL, "createBuffers(%ld frames) answered %s", frames,
                   asioErrorName(created, answer, sizeof answer));
        closeConformDriver();
        return false;
    }
    pumpMessages(100);
    setConformStage(STAGE_RUNNING);
    ASIOError started = asioStart();
    int64_t windowStart = switchTicks();
    CpuFigures &cost = conformResults.streamCost[timeInfo ? 1 : 0];
    if (started == ASE_OK) {
        beginCpuWindow();
        waitForRun(options.seconds, nullptr, nullptr);
        endCpuWindow(&cost);
        cost.switches = conformStageCount(STAGE_RUNNING);
    }
    // A driver thread that crashed is held: the worker ends with the crash, charged to the check
    // in progress, and nothing more is asked of the driver.
    endCrashedRun();
    bool interrupted = runStopAsked();
    setConformStage(STAGE_STOPPING);
    asioStop();
    // From here until the release, a callback is one after stop returned.
    setConformStage(STAGE_STOPPED);
    pumpMessages(200);
    asioDisposeBuffers();
    tallyMessages(messages);
    keepNotifications(&conformResults.notifications[timeInfo ? CONFORM_RUN_TIME_INFO : CONFORM_RUN_STREAM],
                      windowStart);
    closeConformDriver();
    if (started != ASE_OK) {
        gradePhase(phase, VERDICT_FAIL, "start answered %s",
                   asioErrorName(started, answer, sizeof answer));
        return false;
    }
    // A run cut short judges nothing: its checks are left not run.
    return !interrupted;
}

// The switches that came while running. Those made while stop is on its way are allowed, but not
// judged: the driver is winding down.
static std::vector<const SwitchNote *> runningSwitches()
{
    std::vector<const SwitchNote *> run;
    for (long k = 0; k < conformNoteCount(); k++) {
        const SwitchNote *note = conformNote(k);
        if (note && note->stage == STAGE_RUNNING && note->stageAfter == STAGE_RUNNING)
            run.push_back(note);
    }
    return run;
}

// A run that outgrew the notes is judged on the switches noted: the evidence says so.
static void sayWhatWasNoted(const StreamChecks &c)
{
    long all = conformSwitchCount();
    if (all <= NOTE_ROOM)
        return;
    for (ConformCheck check : {c.index, c.thread, c.rate, c.position, c.callbackKind, c.outputReady})
        appendEvidence(check, "; judged on the first %d of %ld callbacks, the rest only counted",
                       static_cast<int>(NOTE_ROOM), all);
}

// What the run is judged against.
// The checks of the switches themselves: index, thread, rate, position and outputReady.
static void judgeSwitches(const StreamChecks &c, const std::vector<const SwitchNote *> &run,
                          const StreamFigures &f, double seconds)
{
    if (run.empty()) {
        char evidence[160];
        snprintf(evidence, sizeof evidence, "no buffer switch in %g s after start answered ASE_OK",
                 seconds);
        for (ConformCheck check : {c.index, c.thread, c.rate, c.position, c.outputReady})
            grade(check, VERDICT_FAIL, "%s", evidence);
        return;
    }
    judgeIndex(c.index, run);
    judgeThreads(c.thread, run);
    judgeRate(c.rate, run, f.frames, f.rate, f.ticksPerUs);
    judgePositions(c.position, run, f);
    judgeOutputReady(c.outputReady, run);
}

// Time info declined: bufferSwitch only. Offered: the records of bufferSwitchTimeInfo.
static void judgeCallbackKind(const StreamChecks &c, bool timeInfo,
                              const std::vector<const SwitchNote *> &run, const StreamFigures &f,
                              const MessageTally &messages)
{
    if (run.empty()) {
        grade(c.callbackKind, VERDICT_FAIL, "no buffer switch after start answered ASE_OK: nothing to "
              "judge");
    } else if (timeInfo) {
        judgeTimeInfo(c.callbackKind, run, f);
    } else if (messages.timeInfoSwitches) {
        grade(c.callbackKind, VERDICT_FAIL, "bufferSwitchTimeInfo called %ld times though time info was "
              "declined", messages.timeInfoSwitches);
    } else {
        grade(c.callbackKind, VERDICT_PASS, "bufferSwitch only, %zu calls", run.size());
    }
}

void conformStream(const CheckerOptions &options, int index, bool timeInfo)
{
    ConformPhase phase = timeInfo ? PHASE_TIME_INFO : PHASE_STREAM;
    const StreamChecks &c = timeInfo ? offeredChecks : declinedChecks;
    DriverFigures figures;
    if (!openWithFigures(options, index, phase, &figures))
        return;
    StreamFigures f = {figures.preferredSize, figures.sampleRate, 0, 0};
    f.periodUs = usableRate(f.rate) && f.frames > 0 ? f.frames / f.rate * 1e6 : 0;
    MessageTally messages;
    if (!streamOnce(options, phase, c, f.frames, timeInfo, &messages))
        return;
    std::vector<const SwitchNote *> run = runningSwitches();
    f.ticksPerUs = calibratedTicksPerUs();
    judgeWindowOfCallbacks(c.window, options.seconds);
    judgeSwitches(c, run, f, options.seconds);
    judgeCallbackKind(c, timeInfo, run, f, messages);
    judgeMessages(c, messages,
                  conformResults.notifications[timeInfo ? CONFORM_RUN_TIME_INFO : CONFORM_RUN_STREAM]);
    judgeCost(c.cpu, conformResults.streamCost[timeInfo ? 1 : 0], f.frames);
    sayWhatWasNoted(c);
}
