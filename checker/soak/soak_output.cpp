// What soak shows: the text, the document, and the log's line per checkpoint.
#include "checker/soak/soak.h"

#include <math.h>
#include <stdio.h>
#include <string.h>

// A soak cut short (the user's interrupt, a crash, a hang) is not judged: its stretch is not the
// one asked for, and what ended it is the finding.
static bool soakJudged(const SoakResults &r)
{
    return r.end == SOAK_TIME || r.end == SOAK_STOPPED || r.end == SOAK_FIRST_GLITCH;
}

static const char *endText(int end)
{
    switch (end) {
    case SOAK_TIME: return "the time asked for ran out";
    case SOAK_STOPPED: return "the stream stopped";
    case SOAK_FIRST_GLITCH: return "the first glitch (--until-glitch)";
    case SOAK_INTERRUPTED: return "the user interrupted it";
    case SOAK_DRIVER_CRASH: return "a driver thread crashed";
    default: return "it did not end";
    }
}

static const char *endName(int end)
{
    switch (end) {
    case SOAK_TIME: return "time";
    case SOAK_STOPPED: return "stopped";
    case SOAK_FIRST_GLITCH: return "first_glitch";
    case SOAK_INTERRUPTED: return "interrupted";
    case SOAK_DRIVER_CRASH: return "driver_crash";
    default: return "running";
    }
}

static const char *anomalyName(int kind)
{
    switch (kind) {
    case SOAK_LATE: return "late switch";
    case SOAK_GLITCH: return "glitch";
    case SOAK_STOP: return "stop";
    default: return "none";
    }
}

// A number for the log's line: null when it is not finite.
static void lineNumber(std::string *line, const char *key, double value)
{
    if (isfinite(value))
        appendFormat(line, ",\"%s\":%.6g", key, value);
    else
        appendFormat(line, ",\"%s\":null", key);
}

void soakCheckpointLine(const SoakResults &r, std::string *line)
{
    SoakFigures f;
    soakFigures(r, &f);
    double windowPpm = r.windowCount ? soakWindowPpm(r, r.windows[r.windowCount - 1]) : NAN;
    line->clear();
    appendFormat(line, "{\"checkpoint\":%ld", r.checkpoints);
    lineNumber(line, "elapsed_s", r.elapsedS);
    appendFormat(line, ",\"switches\":%lld,\"late\":%lld,\"glitches\":%lld", r.switches, r.late,
                 r.glitches);
    lineNumber(line, "ppm", f.ppm);
    lineNumber(line, "ppm_error", f.ppmError);
    lineNumber(line, "window_ppm", windowPpm);
    lineNumber(line, "position_ppm", f.positionPpm);
    appendFormat(line, ",\"position\":%lld,\"position_faults\":%lld",
                 static_cast<long long>(r.position.last), r.position.backs + r.position.jumps);
    appendFormat(line, ",\"stopped\":%s,\"end\":\"%s\"}\n", r.stopped ? "true" : "false",
                 endName(r.end));
}

static void printFit(const char *what, double ppm, double error)
{
    if (isnan(ppm))
        printf("  %-34s not measured\n", what);
    else
        printf("  %-34s %+.2f ppm (standard error %.2f)\n", what, ppm, error);
}

static void printFlight(const SoakFlight &flight)
{
    if (flight.kind == SOAK_NO_ANOMALY) {
        printf("Flight recorder: no anomaly\n");
        return;
    }
    double sum = 0, longest = 0;
    for (int i = 0; i < flight.count; i++) {
        sum += flight.intervalsUs[i];
        if (flight.intervalsUs[i] > longest)
            longest = flight.intervalsUs[i];
    }
    printf("Flight recorder: the first anomaly, a %s at %.3f s (switch %lld); the %d intervals "
           "before it (%.2f s), the longest %.1f ms:\n", anomalyName(flight.kind), flight.atS,
           flight.atSwitch, flight.count, sum / 1e6, longest / 1000);
    int from = flight.count > 8 ? flight.count - 8 : 0;
    printf("  the last %d:", flight.count - from);
    for (int i = from; i < flight.count; i++)
        printf(" %.2f", flight.intervalsUs[i] / 1000);
    printf(" ms\n");
}

void printSoakText(const CheckerOptions &options, int index, const SessionOutcome &, int exitCode)
{
    if (!resultsStand(exitCode))
        return;
    const SoakResults &r = soakResults;
    printDriverHeading(index);
    if (r.stage < SOAK_STREAMING) {
        printCallNotes();
        return;
    }
    SoakFigures f;
    SoakJudgement j;
    soakFigures(r, &f);
    judgeSoak(options, r, f, &j);
    char rate[32];
    formatRate(r.setup.figures.sampleRate, rate, sizeof rate);
    printf("Soak: %ld frames at %s Hz, period %.1f us, %.1f of %.1f s; it ended: %s\n",
           r.setup.bufferSize, rate, r.setup.periodUs, r.elapsedS, r.askedSeconds, endText(r.end));
    printf("Switches: %lld; late %lld (%.1f per hour), glitches %lld (%.1f per hour); the longest "
           "gap %.1f ms at %.2f s\n", r.switches, r.late, f.latePerHour, r.glitches,
           f.glitchesPerHour, r.longestGapUs / 1000, r.longestGapAtS);
    if (r.machineGlitches)
        printf("%lld more gaps over 2 periods were the machine's: the checker's own watch was held "
               "as long.\n", r.machineGlitches);
    if (r.firstGlitchS >= 0)
        printf("The first glitch came %.2f s into the run.\n", r.firstGlitchS);
    if (r.missedByChecker)
        printf("The checker fell behind: %lld switches were not timed.\n", r.missedByChecker);
    printf("Rate error against the system clock:\n");
    printFit("from the switches' arrivals:", f.ppm, f.ppmError);
    printFit("from the sample position:", f.positionPpm, f.positionPpmError);
    printFit("from the driver's time stamps:", f.stampPpm, f.stampPpmError);
    if (isnan(f.trendPpmPerHour))
        printf("  trend: not measured (%d windows with a rate error)\n", f.trendWindows);
    else
        printf("  trend: %+.2f ppm per hour (standard error %.2f) over %d windows\n",
               f.trendPpmPerHour, f.trendError, f.trendWindows);
    printf("Sample position: %lld reads, %lld not ASE_OK; from %lld to %lld\n", r.position.reads,
           r.position.failedReads, static_cast<long long>(r.position.first),
           static_cast<long long>(r.position.last));
    printFlight(r.flight);
    printf("Checkpoints: %ld%s; the worker's private memory %.1f MB at the first, %.1f MB at the "
           "last\n", r.checkpoints, options.logFile ? ", each a line of the log" : "",
           r.memoryFirst / 1048576, r.memoryLast / 1048576);
    if (!soakJudged(r))
        printf("Not judged: %s.\n", r.end == SOAK_INTERRUPTED ? "the soak was interrupted"
                                                               : "the soak did not end");
    for (int k = 0; k < SOAK_FINDINGS && soakJudged(r); k++)
        printf("Check %s: %s (%s)\n", soakFindingName(k), soakVerdictName(j.verdict[k]), j.why[k]);
    printCallNotes();
}

void writeSoakDocument(const CheckerOptions &options, int index, const SessionOutcome &outcome,
                       int exitCode)
{
    const SoakResults &r = soakResults;
    if (!beginDocument(options, index, resultsStand(exitCode), exitCode))
        return;
    jsonText("stage", r.stage >= SOAK_ENDED ? "ended" : r.stage >= SOAK_STREAMING ? "streaming"
                      : r.stage >= SOAK_PREPARED ? "prepared" : "opened");
    if (r.stage >= SOAK_STREAMING) {
        SoakFigures f;
        SoakJudgement j;
        soakFigures(r, &f);
        judgeSoak(options, r, f, &j);
        jsonInteger("buffer_size", r.setup.bufferSize);
        jsonNumber("sample_rate", r.setup.figures.sampleRate);
        jsonNumber("period_us", r.setup.periodUs > 0 ? r.setup.periodUs : NAN);
        jsonNumber("asked_seconds", r.askedSeconds);
        jsonNumber("seconds", r.elapsedS);
        jsonText("end", endName(r.end));
        jsonInteger("switches", r.switches);
        jsonInteger("late", r.late);
        jsonInteger("glitches", r.glitches);
        jsonInteger("machine_glitches", r.machineGlitches);
        jsonNumber("late_per_hour", f.latePerHour);
        jsonNumber("glitches_per_hour", f.glitchesPerHour);
        jsonNumber("first_glitch_s", r.firstGlitchS >= 0 ? r.firstGlitchS : NAN);
        jsonNumber("longest_gap_us", r.longestGapUs);
        jsonBool("stopped", r.stopped);
        jsonNumber("stopped_at_s", r.stopped ? r.stoppedAtS : NAN);
        jsonInteger("missed_by_checker", r.missedByChecker);
        jsonNumber("ppm", f.ppm);
        jsonNumber("ppm_error", f.ppmError);
        jsonNumber("position_ppm", f.positionPpm);
        jsonNumber("position_ppm_error", f.positionPpmError);
        jsonNumber("stamp_ppm", f.stampPpm);
        jsonNumber("stamp_ppm_error", f.stampPpmError);
        jsonNumber("trend_ppm_per_hour", f.trendPpmPerHour);
        jsonNumber("trend_error", f.trendError);
        jsonBeginObject("position");
        jsonInteger("reads", r.position.reads);
        jsonInteger("failed_reads", r.position.failedReads);
        jsonInteger("backs", r.position.backs);
        jsonInteger("jumps", r.position.jumps);
        jsonInteger("first", r.position.first);
        jsonInteger("last", r.position.last);
        jsonInteger("first_stamp_ns", r.position.firstStamp);
        jsonInteger("last_stamp_ns", r.position.lastStamp);
        if (r.position.backs + r.position.jumps) {
            jsonNumber("fault_at_s", r.position.faultAtS);
            jsonInteger("fault_before", r.position.faultBefore);
            jsonInteger("fault_after", r.position.faultAfter);
        }
        jsonEndObject();
        jsonBeginArray("windows");
        for (int i = 0; i < r.windowCount; i++) {
            const SoakWindow &w = r.windows[i];
            jsonBeginObject(nullptr);
            jsonNumber("start_s", w.startS);
            jsonNumber("seconds", w.seconds);
            jsonNumber("ppm", soakWindowPpm(r, w));
            jsonInteger("switches", w.switchCount);
            jsonInteger("late", w.late);
            jsonInteger("glitches", w.glitches);
            jsonEndObject();
        }
        jsonEndArray();
        jsonBeginObject("flight_recorder");
        jsonText("anomaly", r.flight.kind == SOAK_NO_ANOMALY ? nullptr : anomalyName(r.flight.kind));
        if (r.flight.kind != SOAK_NO_ANOMALY) {
            jsonNumber("at_s", r.flight.atS);
            jsonInteger("at_switch", r.flight.atSwitch);
        }
        jsonBeginArray("intervals_us");
        for (int i = 0; i < r.flight.count; i++)
            jsonNumber(nullptr, r.flight.intervalsUs[i]);
        jsonEndArray();
        jsonEndObject();
        jsonInteger("checkpoints", r.checkpoints);
        jsonNumber("memory_first_bytes", r.memoryFirst);
        jsonNumber("memory_last_bytes", r.memoryLast);
        jsonInteger("record_bytes", static_cast<long long>(sizeof r));
        jsonBeginArray("checks");
        for (int k = 0; k < SOAK_FINDINGS && soakJudged(r); k++) {
            jsonBeginObject(nullptr);
            jsonText("check", soakFindingName(k));
            jsonText("verdict", soakVerdictName(j.verdict[k]));
            jsonText("why", j.why[k]);
            jsonEndObject();
        }
        jsonEndArray();
    }
    jsonCallNotes();
    jsonSessionEnd(outcome, exitCode);
}
