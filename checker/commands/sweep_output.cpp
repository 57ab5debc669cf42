// How quorvelcheck latency --sweep shows its settings: the table of round trips against the driver's
// claim, and what kept a setting from being measured whole, as text and as JSON.
#include "checker/commands/commands.h"

#include <math.h>
#include <stdio.h>

// What stopped a setting, before any lost ping counts.
static void failureText(const SweepResults &r, const SweepSetting &s, char *out, size_t size)
{
    char rate[32], name[32], type[32];
    formatRate(s.rate, rate, sizeof rate);
    const char *answer = asioErrorName(s.error, name, sizeof name);
    const char *typeName = typeText(s.type, type, sizeof type);
    switch (s.failure) {
    case SWEEP_RATE_UNUSABLE:
        snprintf(out, size, "%s Hz is not a rate a run can be timed at", rate);
        break;
    case SWEEP_RATE_REFUSED:
        snprintf(out, size, "the driver refuses %s Hz (canSampleRate answered %s)", rate, answer);
        break;
    case SWEEP_RATE_NOT_SET: snprintf(out, size, "setSampleRate answered %s", answer); break;
    case SWEEP_NO_OUTPUT:
        snprintf(out, size, "output %ld does not exist at %s Hz", r.outChannel, rate);
        break;
    case SWEEP_NO_INPUT:
        snprintf(out, size, "input %ld does not exist at %s Hz", r.inChannel, rate);
        break;
    case SWEEP_OUTPUT_TYPE:
    case SWEEP_INPUT_TYPE:
        snprintf(out, size, "%s %ld has sample type %s at %s Hz, which the pings cannot use",
                 s.failure == SWEEP_OUTPUT_TYPE ? "output" : "input",
                 s.failure == SWEEP_OUTPUT_TYPE ? r.outChannel : r.inChannel, typeName, rate);
        break;
    case SWEEP_NO_SIZE: snprintf(out, size, "the driver's buffer size is %ld", s.size); break;
    case SWEEP_NO_MEMORY:
        snprintf(out, size, "the checker had no memory for the timing in repeat %d", s.failedRepeat);
        break;
    case SWEEP_CREATE_FAILED:
        snprintf(out, size, "createBuffers answered %s in repeat %d", answer, s.failedRepeat);
        break;
    case SWEEP_NO_BUFFERS:
        snprintf(out, size, "the driver gave no buffers for output %ld or input %ld in repeat %d",
                 r.outChannel, r.inChannel, s.failedRepeat);
        break;
    case SWEEP_START_FAILED:
        snprintf(out, size, "start answered %s in repeat %d", answer, s.failedRepeat);
        break;
    case SWEEP_NOT_KEPT:
        snprintf(out, size, "the stream was not kept going in repeat %d: its longest gap %.2f s, "
                 "switch ratio %.3f", s.failedRepeat, s.longestGapUs / 1e6, s.switchRatio);
        break;
    case SWEEP_INTERRUPTED: snprintf(out, size, "interrupted in repeat %d", s.failedRepeat); break;
    default: snprintf(out, size, "%s", "");
    }
}

void sweepSettingProblem(const SweepResults &r, const SweepSetting &s, char *out, size_t size)
{
    if (s.failure != SWEEP_WHOLE) {
        failureText(r, s, out, size);
    } else if (s.lostRepeats > 0) {
        snprintf(out, size, "a ping was lost in %d of %d repeat%s", s.lostRepeats, s.repeatsRun,
                 s.repeatsRun == 1 ? "" : "s");
    } else if (!s.measured) {
        snprintf(out, size, "not run");
    } else if (size > 0) {
        out[0] = '\0';
    }
}

// A setting's problem as the output gives it: the one the session ended in says so first.
static bool settingProblem(const SweepResults &r, int k, const SessionOutcome &outcome, char *out,
                           size_t size)
{
    const SweepSetting &s = r.settings[k];
    if (k == r.runningSetting && outcome.end != SESSION_FINISHED && s.failure == SWEEP_WHOLE) {
        snprintf(out, size, "the session ended in this setting: %s", outcome.text);
        return true;
    }
    sweepSettingProblem(r, s, out, size);
    return s.failure != SWEEP_WHOLE;
}

void printSweepText(const CheckerOptions &, int index, const SessionOutcome &outcome, int exitCode)
{
    if (!resultsStand(exitCode))
        return;
    const SweepResults &r = sweepResults;
    char out[32], in[32];
    printDriverHeading(index);
    printf("Latency sweep: output %ld (%s) to input %ld (%s), %d repeat%s per setting, buffers "
           "made afresh each time\n", r.outChannel, typeText(r.outType, out, sizeof out), r.inChannel,
           typeText(r.inType, in, sizeof in), r.repeats, r.repeats == 1 ? "" : "s");
    printf("  %8s  %6s  %8s  %6s  %8s  %10s   (frames; measured is the median of the repeats)\n",
           "rate", "size", "measured", "spread", "reported", "difference");
    for (int k = 0; k < r.settingCount; k++) {
        const SweepSetting &s = r.settings[k];
        char rate[32], problem[400];
        formatRate(s.rate, rate, sizeof rate);
        bool stopped = settingProblem(r, k, outcome, problem, sizeof problem);
        long reported = s.reportedIn + s.reportedOut;
        if (stopped && s.repeatsBack == 0) {
            printf("  %8s  %6ld  not measured: %s\n", rate, s.size, problem);
        } else if (s.repeatsBack == 0) {
            printf("  %8s  %6ld  %8s  %6s  %8ld              %s\n", rate, s.size, "lost", "",
                   reported, problem);
        } else {
            printf("  %8s  %6ld  %8lld  %6lld  %8ld  %+10ld%s%s%s\n", rate, s.size,
                   static_cast<long long>(s.median), static_cast<long long>(s.spread), reported,
                   s.difference, s.outsideTolerance ? "  over --tolerance" : "",
                   problem[0] ? "  not measured whole: " : "", problem);
        }
    }
    printNotifications(r.notifications, "setting");
    printCallNotes();
}

static void jsonSetting(const SweepResults &r, int k, const SessionOutcome &outcome)
{
    const SweepSetting &s = r.settings[k];
    char answer[32], problem[400];
    bool some = s.repeatsBack > 0;
    jsonBeginObject(nullptr);
    jsonNumber("rate", s.rate);
    jsonInteger("buffer_size", s.size);
    bool stopped = settingProblem(r, k, outcome, problem, sizeof problem);
    jsonText("error", stopped ? problem : nullptr);
    jsonText("driver_answer", s.error != ASE_OK ? asioErrorName(s.error, answer, sizeof answer)
                                                : nullptr);
    jsonBeginArray("round_trips");
    for (int repeat = 0; repeat < s.repeatsRun; repeat++) {
        if (s.roundTrip[repeat] >= 0)
            jsonInteger(nullptr, s.roundTrip[repeat]);
        else
            jsonNull(nullptr);
    }
    jsonEndArray();
    jsonInteger("lost_repeats", s.lostRepeats);
    jsonBool("measured_whole", s.measured);
    jsonNumber("measured_frames", some ? static_cast<double>(s.median) : NAN);
    jsonNumber("spread_frames", some ? static_cast<double>(s.spread) : NAN);
    jsonInteger("reported_input_frames", s.reportedIn);
    jsonInteger("reported_output_frames", s.reportedOut);
    jsonInteger("reported_frames", s.reportedIn + s.reportedOut);
    jsonNumber("difference_frames", some ? static_cast<double>(s.difference) : NAN);
    jsonBool("within_tolerance", !s.outsideTolerance);
    jsonEndObject();
}

void writeSweepDocument(const CheckerOptions &options, int index, const SessionOutcome &outcome,
                        int exitCode)
{
    const SweepResults &r = sweepResults;
    if (!beginDocument(options, index, resultsStand(exitCode), exitCode))
        return;
    jsonBool("sweep", true);
    jsonCable(r.outChannel, r.inChannel, r.outType, r.inType);
    jsonInteger("repeats", r.repeats);
    jsonNumber("tolerance_frames", r.tolerance >= 0 ? r.tolerance : NAN);
    jsonBeginArray("settings");
    for (int k = 0; k < r.settingCount; k++)
        jsonSetting(r, k, outcome);
    jsonEndArray();
    jsonNotifications(r.notifications, "setting");
    jsonCallNotes();
    jsonSessionEnd(outcome, exitCode);
}
