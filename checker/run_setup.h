// A run of the loopback as the dialog runs it (input i copied to output i in every switch), with the
// checker's own callbacks, at a buffer size and rate of the user's choice. Main thread; the driver is
// open (driver_session.h).
#pragma once

#include "checker/checker.h"
#include "checker/checker_callbacks.h"
#include "checker/switch_timing.h"
#include "engine/driver_report.h"

#include <stdint.h>

struct RunSetup {
    int index;               // the chosen entry
    DriverFigures figures;   // read after any rate change
    double originalRate;     // the rate before --rate, set back when the driver is closed; 0: unchanged
    long bufferSize;         // frames per buffer of this run
    double periodUs;         // bufferSize / rate; 0 when the rate is not usable
    int64_t windowStart;     // switch ticks when start had returned
    int64_t windowEnd;       // switch ticks just before stop was called
    double elapsedS;         // the window in seconds
    long switchCount;        // the loopback's count after the stop, every switch of the run
};

// A sample rate a run can be timed at: finite, from 1 kHz to 100 MHz. Anything else (0, a
// subnormal, infinity, NaN, 1e300) gives no period, and nothing is judged against it.
bool usableRate(double rate);
// The buffer sizes a driver allows from min to max (powers of two for granularity -1, min plus
// multiples for a granularity above 0), with min, max and the preferred size always among them; more
// than `room` are thinned to `room` spread over the range. The count written to `sizes`, ascending.
int allowedBufferSizes(long minSize, long maxSize, long preferred, long granularity, long *sizes,
                       int room);
// The first steps of a run's session: the driver found and opened, the run prepared. 0, or the
// first failure's status, with the reason on stderr.
int openRun(const CheckerOptions &options, RunSetup *setup);
// Reads the figures; --rate (canSampleRate must answer ASE_OK, then setSampleRate, then the figures
// again; the old rate is set back when the driver is closed, whatever happens) and --buffer (within
// the driver's sizes and granularity). A run needs a buffer size above 0. 0, EXIT_USAGE or
// EXIT_DRIVER, with the reason on stderr.
int prepareRun(const CheckerOptions &options, RunSetup *setup);
// Creates the buffers with `callbacks` and, when that worked, starts the driver; the window of the
// run begins when start has returned. 0, or EXIT_DRIVER with the reason (the buffers are disposed
// again).
int beginRun(const ASIOCallbacks *callbacks, RunSetup *setup);
// Waits while pumping messages and taking the arrivals, at most `seconds`, with the live progress
// line; progress(line, size) writes its text. poll() (may be null) is called at least every 100 ms:
// it may take what the callbacks left, and true ends the wait.
void waitForRun(double seconds, bool (*poll)(), void (*progress)(char *line, size_t size));
// Ends the run's window and judges its switches: before the stop is asked for, so that what the run
// measured stands even when the driver does not come back from stop.
void judgeWindow(RunSetup *setup, TimingFigures *timing);
// Stops the driver and disposes its buffers; the switches that came during the stop join the
// figures judged before it (null: none were).
void endRun(RunSetup *setup, TimingFigures *timing);

// The channels a cable joins: output --out and input --in exist, and their sample types are ones
// `supported` takes (`need` says which, in the message). Their types in *outType and *inType.
// 0, or EXIT_USAGE with the reason on stderr.
int checkCable(const CheckerOptions &options, const DriverFigures &figures, bool (*supported)(long type),
               const char *need, long *outType, long *inType);
// The sample type's name, or "unknown type N" in `out`.
const char *typeText(long type, char *out, size_t size);

// How the commands that run the loopback show a run (run_command.cpp).
void printTiming(const TimingFigures &timing, double periodUs);
void jsonTiming(const TimingFigures &timing, double periodUs);
void printMessages(const MessageTally &messages);
void jsonMessages(const MessageTally &messages);
