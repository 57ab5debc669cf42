// quorvelcheck: the console checker of ASIO drivers. It shares the dialog programs' scan, loading,
// report figures and loopback handler (quorvel_core) and shows what the dialog cannot: every
// channel, the rates a driver accepts, its claimed and its real latency, the timing of its buffer
// switches, and all of it as JSON for a build pipeline.
//
// One command per process. Everything runs on the main thread (the drivers' COM apartment, their
// system reference window, the output), except the driver callbacks, which come on the driver's
// own thread while a run is on. Callbacks and main thread share only what is marked so below; the
// main thread reads the rest once the driver has stopped.
#pragma once

#include "drivers/asio_interface.h"
#include "engine/driver_report.h"

#include <atomic>
#include <stddef.h>
#include <stdint.h>

// ---- Exit status and options (arguments.cpp)

enum {
    EXIT_FINE = 0,
    EXIT_CHECK_MISSED = 1,  // a run threshold, a lost ping
    EXIT_USAGE = 2,         // unknown command or option, bad value, no such driver
    EXIT_DRIVER = 3,        // the driver could not be loaded, initialised or started
};

enum Command { COMMAND_NONE, COMMAND_LIST, COMMAND_INFO, COMMAND_RUN, COMMAND_LATENCY };

struct CheckerOptions {
    Command command;
    const char *driver;     // DRIVER as given; null when absent
    bool json;
    bool help;
    bool version;
    double seconds;         // run: 10
    long bufferSize;        // 0: the driver's preferred size
    double rate;            // 0: the driver's current rate
    long maxLate;           // run: -1 for no check
    double minSwitchRatio;  // run: 0 for no check
    long outChannel;        // latency: required
    long inChannel;         // latency: required
    long pings;             // latency: 5
};

// Fills options from the command line. EXIT_FINE, or EXIT_USAGE with the reason on stderr.
int parseArguments(int argc, char **argv, CheckerOptions *options);
// The usage text of one command (or of all, for COMMAND_NONE) on stdout.
void printHelp(Command command);
// "quorvelcheck 1.1.0 (x64)", or its JSON document.
void printVersion(bool json);
// "list", "info", "run", "latency"; "" for COMMAND_NONE.
const char *commandName(Command command);

// ---- Names of the driver's answers (asio_names.cpp)

// "ASE_OK", "ASE_NoClock"...; anything else as "error N" in `buffer`, which it returns then.
const char *asioErrorName(ASIOError error, char *buffer, size_t size);
// "kAsioResetRequest"... for selectors 1 to 15; null for any other.
const char *selectorName(long selector);
// The sample type's name from the shared table; null for a code it does not hold.
const char *sampleTypeName(long type);

// Driver calls that did not answer ASE_OK, in the order made. Main thread.
enum { MAX_NOTED_CALLS = 64 };
struct NotedCall {
    char call[48];  // "getLatencies", "getChannelInfo(input 3)"...
    ASIOError result;
};
struct CallNotes {
    int count;    // kept; calls beyond MAX_NOTED_CALLS are only counted in `dropped`
    int dropped;
    NotedCall calls[MAX_NOTED_CALLS];
};
extern CallNotes callNotes;
// Keeps the call when `result` is not ASE_OK; returns `result`.
ASIOError noteCall(ASIOError result, const char *format, ...);

// ---- Output (output.cpp, json_writer.cpp)

// Writes "quorvelcheck: <text>" to stderr, keeps the text for the JSON error document, and returns
// exitCode.
int fail(int exitCode, const char *format, ...);
// The text of the last fail(), "" when none.
const char *lastFailure();
// The document a JSON run prints when the command ended before its results: command, exit code,
// error.
void printFailureDocument(Command command, int exitCode);

// True when stderr is a console, where the live progress line goes.
bool progressWanted();
// Rewrites the progress line on stderr; clearProgress() empties it before the results.
void showProgress(const char *format, ...);
void clearProgress();

// One JSON document on stdout, written as it goes, two spaces per level. `key` is null at the top
// and inside arrays. Texts are ANSI and written as UTF-8; numbers that are not finite as null.
void jsonBeginObject(const char *key);
void jsonEndObject();
void jsonBeginArray(const char *key);
void jsonEndArray();
void jsonText(const char *key, const char *value);  // null value: null
void jsonInteger(const char *key, long long value);
void jsonNumber(const char *key, double value);
void jsonBool(const char *key, bool value);
void jsonNull(const char *key);
// Ends the document with a line feed.
void jsonFinish();
// The fields every document starts with: command, program version and build.
void jsonHeader(Command command);
// callNotes as "calls_not_ok".
void jsonCallNotes();
// callNotes as text lines under a heading; "none" when empty.
void printCallNotes();

// ---- The chosen driver (driver_session.cpp)

// Scans the registry once, as the dialog does; COM is initialised when a driver was found.
void loadDriverList();
// DRIVER as a list index or an unambiguous, case-insensitive part of an entry's name (a name
// equal to it as a whole wins over names that only contain it). 0 with *index set, or EXIT_USAGE
// with the choices on stderr.
int chooseDriver(const char *text, int *index);
// Opens and initialises entry `index` with a hidden top-level window as its system reference.
// 0, or EXIT_DRIVER with the COM result or the driver's own error message.
int openChosenDriver(int index);
// Releases the driver (after its buffers were disposed) and destroys the window.
void closeChosenDriver();
// The chosen driver as the output names it: index, list name, class.
void printDriverHeading(int index);
void jsonDriver(int index);
// Waits `ms` milliseconds while dispatching the thread's messages: drivers post to their window,
// and COM's apartment needs its messages too.
void pumpMessages(DWORD ms);

// ---- The callbacks a run hands to the driver (checker_callbacks.cpp)

// What the driver sent besides buffer switches. Written on the driver's thread, read after stop.
struct MessageCounts {
    std::atomic<long> bySelector[16];  // [s] for selectors 1 to 15
    std::atomic<long> other;           // any other selector
    std::atomic<long> sampleRateChanges;
    std::atomic<long> timeInfoSwitches;  // bufferSwitchTimeInfo calls, though time info was declined
};
extern MessageCounts messageCounts;
void resetMessageCounts();
// Selector supported (1) answers 1 for 1, 2, 3, 5, 6 and 15, the selectors the checker handles;
// engine version (2) answers 2; 3, 5, 6 and 15 answer 1 (counted, shown as findings); everything
// else, time info (7) and time code (8) included, 0. Every call is counted.
long checkerAsioMessage(long selector, long value, void *message, double *opt);
// The records runs hand to createBuffers, in static storage (drivers keep the pointer).
extern const ASIOCallbacks timedCallbacks;  // bufferSwitch: timedBufferSwitch
extern const ASIOCallbacks pingCallbacks;   // bufferSwitch: pingBufferSwitch

// ---- Switch timing (switch_timing.cpp)

// Arrival times of the switches in a ring made before start. Written only by the callback; read
// after stop. The ticks are the processor's time-stamp counter where it runs at a fixed rate (a
// read costs about 15 ns, where a performance-counter read costs 100 to 200 ns under Wine), and
// the performance counter otherwise.
struct SwitchTiming {
    int64_t *arrivals;
    uint32_t mask;          // ring size - 1; the size is a power of two
    uint32_t recorded;      // switches timed
    int64_t longestTicks;   // longest callback
    bool stampCounter;      // ticks of the time-stamp counter, calibrated against the performance
    double ticksPerUs;      // counter from prepareTiming to computeTimingStatistics
};
extern SwitchTiming switchTiming;

// Makes the ring for a run of `seconds` at `periodUs` per switch (unknown: 0), with margin and at
// most 2^22 entries, and chooses the ticks. False when there is no memory.
bool prepareTiming(double seconds, double periodUs);
void releaseTiming();
// The checker's buffer switch: a counter read, the loopback's onBufferSwitch, a counter read, the
// arrival stored and the longest duration kept. No allocation, lock or other system call.
void timedBufferSwitch(long index, ASIOBool directProcess);
// The same bookkeeping for a callback that does more than the loopback, with ticks of
// switchTimingNow().
void recordSwitch(int64_t before, int64_t after);
int64_t switchTimingNow();
// The performance counter, for everything outside the callbacks.
int64_t performanceTicks();
double ticksToUs(int64_t ticks);

struct TimingStatistics {
    long intervals;       // between the arrivals the ring still holds
    bool wrapped;         // the run outgrew the ring: only its latest arrivals are judged
    double minUs, medianUs, p99Us, p999Us, maxUs;  // nearest-rank percentiles; 0 with no interval
    double longestCallbackUs;
    long late;            // intervals over 1.5 periods; -1 when the period is unknown
};
// After stop. periodUs 0: unknown.
void computeTimingStatistics(double periodUs, TimingStatistics *statistics);

// ---- A run of the loopback, as the dialog runs it (run_setup.cpp)

struct RunSetup {
    int index;               // the chosen entry
    DriverFigures figures;   // read after any rate change
    double originalRate;     // rate before --rate, restored after the run; 0 when unchanged
    long bufferSize;         // frames per buffer of this run
    double periodUs;         // bufferSize / rate; 0 when the rate is not usable
    int64_t startTicks;      // performance counter after beginLoopback returned
    int64_t endTicks;        // ... when endRun began: the run's elapsed time lies between
    long switches;           // made in the run, as loopbackState counted them after stop
};

// Reads the figures; --rate (canSampleRate must answer ASE_OK, then setSampleRate, then the figures
// again) and --buffer (within the driver's sizes and granularity; it replaces the preferred size).
// 0, EXIT_USAGE or EXIT_DRIVER, with the reason on stderr.
int prepareRun(const CheckerOptions &options, RunSetup *setup);
// beginLoopback with `callbacks`. 0, or EXIT_DRIVER (the loopback is then ended again).
int beginRun(const ASIOCallbacks *callbacks, RunSetup *setup);
// Waits while pumping messages, at most `seconds`, or until finished() says so (may be null),
// with the live progress line; progress(line, size) writes its text.
void waitForRun(double seconds, bool (*finished)(), void (*progress)(char *line, size_t size));
// Stops the driver, disposes its buffers and sets the rate back.
void endRun(RunSetup *setup);
// "48000 Hz" style numbers: no decimals unless the value has some.
void formatRate(double rate, char *out, size_t size);

// ---- Pings for the latency command (ping_callback.cpp)

enum { MAX_PINGS = 1000, PULSE_FRAMES = 4 };

// Sample types the pings can write and find: the little-endian integer and float types.
bool pingTypeSupported(long type);

// The plan and the findings of the pings. The callback writes them; `resolved` and `lost` are the
// main thread's view while running, the rest is read after stop.
struct PingRun {
    // Fixed before start. The buffers are looked up in loopbackState at every switch: the driver
    // may call back before beginLoopback has returned.
    long outElement;          // in loopbackState.bufferInfos
    long inElement;
    long outType, inType;
    int outBytes, inBytes;
    long frames;
    long wanted;
    int64_t intervalFrames;   // between pings, about half a second
    int64_t timeoutFrames;    // two seconds
    // The callback's own.
    int64_t switchNumber;
    int64_t nextPing;         // stream position of the next ping
    int64_t pulseStart;       // stream positions of the pulse being written
    int64_t pulseEnd;
    bool outstanding;         // sent and not yet found
    int64_t quietFrames;      // input frames in a row below a thousandth of full scale
    long sent;
    int64_t sentAt[MAX_PINGS];
    int64_t roundTrip[MAX_PINGS];  // frames; -1 lost
    // Shared while running.
    std::atomic<long> resolved;
    std::atomic<bool> lost;
};
extern PingRun pingRun;

// Sets the plan before the run begins: output outChannel and input inChannel of a driver with
// `outputs` outputs, their types, the run's frames and rate, the number of pings.
void preparePings(long outChannel, long inChannel, long outputs, long outType, long inType,
                  long frames, double rate, long pings);
// After beginRun: true when the driver gave both buffers of both channels.
bool pingBuffersPresent();
// The latency command's buffer switch: timed like timedBufferSwitch; after onBufferSwitch it writes
// all of output O (silence, or the pulse at its stream position, switch number x frames + offset)
// and looks for the pulse on input I from the frame it was sent at: the first frame above a quarter
// of full scale that follows at least 16 frames below a thousandth of it.
void pingBufferSwitch(long index, ASIOBool directProcess);

// ---- Commands (list_command.cpp, info_command.cpp, run_command.cpp, latency_command.cpp)

// Each prints its results on stdout (text or JSON) and returns the exit status.
int listCommand(const CheckerOptions &options);
int infoCommand(const CheckerOptions &options);
int runCommand(const CheckerOptions &options);
int latencyCommand(const CheckerOptions &options);
