// The checker's soak layer: one long stream, hours of it, measured in records whose size does not
// depend on the length: the device's true rate error against the system clock (regressions of the
// switches' arrivals and of the sample position), its trend over the run from windows kept in a
// bounded table, late switches and glitches per hour, the time to the first glitch, the sample
// position's steps, and a flight recorder holding the switch timing before the first anomaly. The
// worker measures (soakSession); the parent checks every record, appends a line to the log at each
// checkpoint, and judges. Main thread of either process.
#pragma once

#include "checker/base/base.h"
#include "checker/commands/commands.h"
#include "checker/measure/measure.h"
#include "checker/session/session.h"

#include <stdint.h>

// ---- A straight line through points, kept as running sums (Welford's): a few numbers however
// many points were added, and two such sums merge exactly.
struct SoakFit {
    double count;
    double meanX, meanY;
    double sxx, sxy, syy;  // sums of the products of the deviations from the means
};
// Adds one point. Pure.
void soakFitAdd(SoakFit *fit, double x, double y);
// `into` becomes the fit of both sets of points. Pure.
void soakFitMerge(SoakFit *into, const SoakFit &other);
// The slope; NAN with fewer than 3 points or no spread of x.
double soakFitSlope(const SoakFit &fit);
// The slope's standard error, from the residuals; NAN where the slope is.
double soakFitSlopeError(const SoakFit &fit);

// ---- The record the worker fills and the parent takes at each checkpoint

enum {
    SOAK_MAX_WINDOWS = 64,   // windows kept; older ones are merged in pairs past it
    SOAK_FLIGHT_ROOM = 8192, // switch intervals the flight recorder keeps (10 s at 1.2 ms and over)
    SOAK_MIN_FIT_SWITCHES = 200,  // a rate error is judged from this many switches over ...
};
extern const double SOAK_MIN_FIT_SECONDS;  // ... at least 1 s
extern const double SOAK_FLIGHT_SECONDS;   // 10: the flight recorder's span
extern const double SOAK_GLITCH_PERIODS;   // 2: an interval that lost a whole buffer
extern const double SOAK_FAIL_FACTOR;      // 5: a rate error over 5 x --max-ppm fails
extern const double SOAK_POSITION_PACE_PPM;  // 1e5: a position off the rate by a tenth fails

// One stretch of the run: a checkpoint's, or several merged.
struct SoakWindow {
    double startS, seconds;  // from the run's start (start's return)
    SoakFit switches;        // x: switch ticks from the start; y: frames (switch number x size);
                             // of every 0.25 s the switch least late
    long long switchCount, late, glitches;
};

// What ended the soak.
enum SoakEnd {
    SOAK_RUNNING,       // not yet
    SOAK_TIME,          // the time asked for ran out
    SOAK_STOPPED,       // the stream stopped (judgeStreamKept's bound)
    SOAK_FIRST_GLITCH,  // --until-glitch
    SOAK_INTERRUPTED,   // the user's Ctrl+C
    SOAK_DRIVER_CRASH,  // a driver thread crashed during the run
};

// What set off the flight recorder.
enum SoakAnomaly { SOAK_NO_ANOMALY, SOAK_LATE, SOAK_GLITCH, SOAK_STOP };

struct SoakFlight {
    int kind;            // SoakAnomaly
    double atS;          // when, from the run's start: the late switch's arrival, or the last
                         // switch before the stop
    long long atSwitch;  // the switch number it came at (from 0); the stop: the switches made
    int count;           // intervals kept, oldest first, ending with the anomaly's
    float intervalsUs[SOAK_FLIGHT_ROOM];
};

// How the sample position stepped between reads on the main thread.
struct SoakPosition {
    long long reads;        // answered ASE_OK
    long long failedReads;  // answered anything else
    ASIOError firstError;   // ... the first such answer
    long long backs;        // a read below the one before
    long long jumps;        // a read ahead of the one before by more than the time between allows
    double faultAtS;        // the first back or jump, from the run's start; -1 none
    int64_t faultBefore, faultAfter;  // ... the two positions, whole (high half and low half)
    int64_t first, last;
    int64_t firstStamp, lastStamp;  // the driver's time stamps of the first and last reads, in ns
    SoakFit byReadTime;     // x: the read's time in us from the start; y: frames from the first
                            // read after the first switch (the lines begin there); of
                            // every 0.5 s the read whose position lags least
    SoakFit byStamp;        // x: the driver's time stamp in us from its first; y: the same
};

enum SoakStage { SOAK_NOTHING, SOAK_PREPARED, SOAK_STREAMING, SOAK_ENDED };

struct SoakResults {
    int stage;                 // SoakStage
    int end;                   // SoakEnd
    RunSetup setup;
    double askedSeconds;
    double checkpointSeconds;
    double ticksPerUs;         // the switch clock's calibration at the last checkpoint
    double elapsedS;           // the run so far
    long checkpoints;          // checkpoints made (each a line of the log), the last at the end
    long long switches;        // in the run
    long long late, glitches;  // intervals over 1.5 periods; over SOAK_GLITCH_PERIODS
    long long machineGlitches; // such intervals the machine explains (its watch was held as long):
                               // late, but not the driver's glitches
    double firstLateS, firstGlitchS;  // -1: none
    double longestGapUs, longestGapAtS;
    bool stopped;
    double stoppedAtS;         // the last switch before the stop
    long long missedByChecker; // arrivals the ring overwrote before the main thread came
    // The worker's private memory in bytes at the first checkpoint and the latest: what the bound
    // is held to.
    double memoryFirst, memoryLast;
    SoakFit switchFit;         // the whole run's, as SoakWindow's: of every 0.25 s the switch least
                               // late against the nominal period (a switch is late, never early)
    SoakPosition position;
    int windowCount;
    SoakWindow windows[SOAK_MAX_WINDOWS];
    SoakFlight flight;
    MessageTally messages;
};
extern SoakResults soakResults;
// Its entry in the table of records; its check: stage, end and the anomaly known, the counts within
// their arrays, every figure finite where it must be.
extern const RecordSpec soakRecord;

// ---- The judgement (pure, from the record alone: the parent's copy)

enum SoakVerdict { SOAK_NOT_JUDGED, SOAK_PASS, SOAK_WARN, SOAK_FAIL };
// "not judged", "PASS", "WARN", "FAIL".
const char *soakVerdictName(int verdict);

struct SoakFigures {
    double ppm, ppmError;          // from the switches: the headline
    double positionPpm, positionPpmError;  // the position against the read times
    double stampPpm, stampPpmError;        // the position against the driver's time stamps
    double trendPpmPerHour;        // NAN: fewer than 3 windows with a fit
    double trendError;             // its standard error
    int trendWindows;
    double latePerHour, glitchesPerHour;
};
// Rate errors in ppm from the record's fits, at its calibration and sample rate.
void soakFigures(const SoakResults &r, SoakFigures *f);
// A window's rate error in ppm; NAN without a fit.
double soakWindowPpm(const SoakResults &r, const SoakWindow &w);

enum SoakFinding {
    FINDING_SWITCHES, FINDING_STREAM, FINDING_RATE, FINDING_TREND, FINDING_POSITION, FINDING_LATE,
    FINDING_GLITCHES, SOAK_FINDINGS
};
struct SoakJudgement {
    int verdict[SOAK_FINDINGS];
    char why[SOAK_FINDINGS][200];
    bool endedAtGlitch;  // --until-glitch ended it
    bool rateTooNoisy;   // the rate error's spread left it not judged: the machine's, not the driver's
    bool checkerBehind;  // the checker lost switches in its ring: the timing findings are not judged
};
// Each finding's verdict and why. The trend warns only when it is over --max-trend and over three
// of its standard errors: a few short windows give a trend that is only noise.
void judgeSoak(const CheckerOptions &options, const SoakResults &r, const SoakFigures &f,
               SoakJudgement *j);
// "switches", "stream_kept", "rate_error", "rate_trend", "sample_position", "late_switches",
// "glitches".
const char *soakFindingName(int finding);
// The status the verdicts give: EXIT_CHECK_MISSED for a FAIL, for the rate not judged (unless
// --until-glitch ended the soak at a glitch), and for a WARN with --strict; else EXIT_FINE.
int soakStatus(const CheckerOptions &options, const SoakJudgement &j);

// ---- The worker's session, the parent's command (soak_command.cpp) and what it shows
// (soak_output.cpp)

int soakSession(const CheckerOptions &options);
int measureSoak(const CheckerOptions &options, int index, const char *arguments, SessionOutcome *outcome);
void writeSoakDocument(const CheckerOptions &options, int index, const SessionOutcome &outcome,
                       int exitCode);
void printSoakText(const CheckerOptions &options, int index, const SessionOutcome &outcome, int exitCode);
// The checkpoint's line of the log: one JSON object, no line feed in it, ended by one.
void soakCheckpointLine(const SoakResults &r, std::string *line);
extern const CommandSpec soakCommandSpec;
