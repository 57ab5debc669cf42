// quorvelcheck soak: one long stream, its length in hours, minutes or seconds; the parent checks
// every record the worker sends, appends each checkpoint to the log as it comes, and judges.
#include "checker/soak/soak.h"

#include <windows.h>
#include <math.h>
#include <stdio.h>
#include <string.h>
#include <string>

static bool finiteFigure(double value)
{
    return isfinite(value);
}

static bool fitHolds(const SoakFit &f)
{
    return finiteFigure(f.count) && f.count >= 0 && finiteFigure(f.meanX) && finiteFigure(f.meanY) && finiteFigure(f.sxx) &&
           finiteFigure(f.sxy) && finiteFigure(f.syy) && f.sxx >= 0 && f.syy >= 0;
}

static const char *soakFault(const void *copy)
{
    const SoakResults &r = *static_cast<const SoakResults *>(copy);
    if (!inRange(r.stage, SOAK_NOTHING, SOAK_ENDED))
        return "stage";
    if (!inRange(r.end, SOAK_RUNNING, SOAK_DRIVER_CRASH))
        return "end";
    if (!inRange(r.windowCount, 0, SOAK_MAX_WINDOWS))
        return "windowCount";
    if (!inRange(r.flight.kind, SOAK_NO_ANOMALY, SOAK_STOP))
        return "flight.kind";
    if (!inRange(r.flight.count, 0, SOAK_FLIGHT_ROOM))
        return "flight.count";
    if (r.switches < 0 || r.late < 0 || r.glitches < 0 || r.late > r.switches ||
        r.machineGlitches < 0 || r.glitches > r.late || r.machineGlitches > r.switches)
        return "switches";
    if (r.checkpoints < 0)
        return "checkpoints";
    if (!finiteFigure(r.elapsedS) || r.elapsedS < 0 || !finiteFigure(r.ticksPerUs) || r.ticksPerUs < 0)
        return "elapsedS";
    if (!fitHolds(r.switchFit) || !fitHolds(r.position.byReadTime) || !fitHolds(r.position.byStamp))
        return "fits";
    if (r.position.reads < 0 || r.position.failedReads < 0 || r.position.backs < 0 || r.position.jumps < 0)
        return "position";
    for (int i = 0; i < r.windowCount; i++) {
        const SoakWindow &w = r.windows[i];
        if (!fitHolds(w.switches) || !finiteFigure(w.startS) || !finiteFigure(w.seconds) || w.switchCount < 0)
            return "windows";
    }
    return runSetupFault(r.setup);
}

extern const RecordSpec soakRecord = {&soakResults, sizeof soakResults, "soak", soakFault};

// ---- The log: a line per checkpoint, appended whole in one write and flushed to the disk, so that
// a reader sees it while the run goes on and after a crash, a kill or a power cut.

static HANDLE logFile = INVALID_HANDLE_VALUE;
static long checkpointsLogged;

static void logCheckpoint(const void *place)
{
    if (place != &soakResults || logFile == INVALID_HANDLE_VALUE)
        return;
    if (soakResults.checkpoints <= checkpointsLogged)
        return;  // the same checkpoint again (the stage, the flight recorder)
    checkpointsLogged = soakResults.checkpoints;
    std::string line;
    soakCheckpointLine(soakResults, &line);
    DWORD written = 0;
    WriteFile(logFile, line.data(), static_cast<DWORD>(line.size()), &written, nullptr);
    FlushFileBuffers(logFile);
}

int measureSoak(const CheckerOptions &options, int, const char *arguments, SessionOutcome *outcome)
{
    checkpointsLogged = 0;
    onRecordTaken(logCheckpoint);
    int status = measureSession(options, &soakResults, sizeof soakResults, soakSession, arguments,
                                outcome);
    onRecordTaken(nullptr);
    if (status == EXIT_FINE && soakResults.stage >= SOAK_STREAMING) {
        SoakFigures f;
        SoakJudgement j;
        soakFigures(soakResults, &f);
        judgeSoak(options, soakResults, f, &j);
        status = soakStatus(options, j);
        // The error line names the first finding that missed, and why.
        for (int k = 0; k < SOAK_FINDINGS && status != EXIT_FINE; k++) {
            int v = j.verdict[k];
            if (v == SOAK_FAIL || (v == SOAK_WARN && options.strict) ||
                (k == FINDING_RATE && v == SOAK_NOT_JUDGED && !j.endedAtGlitch)) {
                fail(status, "the soak missed: %s %s: %s", soakFindingName(k), soakVerdictName(v),
                     j.why[k]);
                break;
            }
        }
    }
    return status;
}

static int soakRules(CheckerOptions *options, const ArgumentFacts &facts)
{
    int given = facts.given[OPTION_HOURS] + facts.given[OPTION_MINUTES] + facts.given[OPTION_SECONDS];
    if (given > 1)
        return fail(EXIT_USAGE, "give the soak's length once: --hours, --minutes or --seconds");
    if (facts.given[OPTION_HOURS])
        options->seconds = options->hours * 3600;
    else if (facts.given[OPTION_MINUTES])
        options->seconds = options->minutes * 60;
    else if (!facts.given[OPTION_SECONDS])
        options->seconds = 3600;
    return requireDriver(options, facts);
}

static int soakCommand(const CheckerOptions &options)
{
    if (options.logFile) {
        logFile = CreateFileA(options.logFile, GENERIC_WRITE, FILE_SHARE_READ, nullptr, CREATE_ALWAYS,
                              FILE_ATTRIBUTE_NORMAL, nullptr);
        if (logFile == INVALID_HANDLE_VALUE) {
            return fail(EXIT_USAGE, "the log %s cannot be written (error %lu): nothing was run",
                        options.logFile, GetLastError());
        }
    }
    int status = runDriverCommand(options, measureSoak, writeSoakDocument, printSoakText);
    if (logFile != INVALID_HANDLE_VALUE) {
        CloseHandle(logFile);
        logFile = INVALID_HANDLE_VALUE;
    }
    return status;
}

static const char *const soakHelp =
    "usage: quorvelcheck soak DRIVER [--hours H | --minutes M | --seconds S] [--buffer N] [--rate R]\n"
    "                         [--max-ppm P] [--max-trend P] [--max-late N] [--max-glitches N]\n"
    "                         [--until-glitch] [--log FILE] [--checkpoint-seconds S] [--strict]\n"
    "                         [--time-info] [--host-supports all|none|LIST] [--json]\n"
    "\n"
    "Runs the loopback as run does, for an hour unless a length is given, and measures over the\n"
    "whole stream: the device's rate error in ppm against the system clock (a line through the\n"
    "switches' arrivals, and through the sample position read every 50 ms against the time of the\n"
    "read and against the driver's own time stamps), its trend in ppm per hour (a line through\n"
    "the windows' rate errors), late switches (an interval over 1.5 periods) and glitches (over 2\n"
    "periods: a buffer lost) per hour, the time to the first glitch, and every step of the sample\n"
    "position. At the first late switch, glitch or stop the last 10 seconds of intervals are kept\n"
    "and shown. Memory and the log do not grow with the length: 64 windows (older ones merged),\n"
    "one line of the log per checkpoint.\n"
    "\n"
    "Verdicts: a stream without a switch, or that stops (no switch for 0.5 s and 20 periods),\n"
    "fails, and the soak ends there; a rate error over --max-ppm (200) warns and over 5 times it\n"
    "fails; a soak too short for a regression (200 switches over 1 s) is not judged and exits 1\n"
    "(unless --until-glitch ended it at a glitch);\n"
    "a trend over --max-trend (20 ppm per hour) warns, and needs three windows; a sample position\n"
    "that goes back or jumps ahead fails; a glitch warns, or fails over --max-glitches; late\n"
    "switches fail over --max-late. A WARN exits 0 unless --strict.\n"
    "\n"
    "  --hours H, --minutes M, --seconds S\n"
    "                         the soak's length (one hour)\n"
    "  --until-glitch         ends at the first glitch\n"
    "  --log FILE             a line of JSON per checkpoint, written whole and flushed as it comes\n"
    "  --checkpoint-seconds S a checkpoint (and a window of the trend) every S seconds (60)\n"
    HOST_SUPPORTS_USAGE;

extern const CommandSpec soakCommandSpec = {
    "soak", "soak DRIVER", "one long stream: rate error and its trend, glitches, the sample position",
    soakHelp,
    WORKER_OPTIONS | OPTION_BIT(OPTION_SECONDS) | OPTION_BIT(OPTION_BUFFER) | OPTION_BIT(OPTION_RATE) |
        OPTION_BIT(OPTION_MAX_LATE) | OPTION_BIT(OPTION_TIME_INFO) | OPTION_BIT(OPTION_HOST_SUPPORTS) |
        OPTION_BIT(OPTION_STRICT) | OPTION_BIT(OPTION_HOURS) | OPTION_BIT(OPTION_MINUTES) |
        OPTION_BIT(OPTION_MAX_PPM) | OPTION_BIT(OPTION_MAX_TREND) | OPTION_BIT(OPTION_MAX_GLITCHES) |
        OPTION_BIT(OPTION_UNTIL_GLITCH) | OPTION_BIT(OPTION_LOG) | OPTION_BIT(OPTION_CHECKPOINT_SECONDS),
    false, soakRules, soakCommand, soakSession,
};
