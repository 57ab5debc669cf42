// What the driver calls during a run besides the buffer switch: its messages, rate changes and the
// time-info switch. Written on the driver's thread, read after the stop.
#pragma once

#include "drivers/asio_interface.h"

#include <atomic>

struct MessageCounts {
    std::atomic<long> bySelector[16];  // [s] for selectors 1 to 15
    std::atomic<long> other;           // any other selector
    std::atomic<long> sampleRateChanges;
    std::atomic<long> timeInfoSwitches;  // bufferSwitchTimeInfo calls
    std::atomic<unsigned long> asked;    // bit s: the driver asked whether selector s is supported
    std::atomic<long> unasked[16];       // [s]: selector s sent before the driver asked about it
};
extern MessageCounts messageCounts;

// The same counts as plain numbers, for the results a worker hands back.
struct MessageTally {
    long bySelector[16];
    long other;
    long sampleRateChanges;
    long bufferSwitches;  // bufferSwitch calls, from the arrivals timed
    long timeInfoSwitches;
    bool timeInfoOffered;  // the run answered yes to "supports time info"
    long unasked[16];      // [s]: selector s sent before the driver asked about it
};
void tallyMessages(MessageTally *tally);

// Zeroes the counts; `timeInfo` is the answer the next run gives to "supports time info".
void resetMessageCounts(bool timeInfo);
// Selector supported (1) answers 1 for 1, 2, 3, 5, 6 and 15, the selectors the checker handles, and
// for 7 when time info is offered; engine version (2) answers 2; 3, 5, 6 and 15 answer 1 (counted,
// shown as findings); 7 answers as offered; everything else, time code (8) included, 0. Every call
// is counted.
long checkerAsioMessage(long selector, long value, void *message, double *opt);
// A reset, a resync, changed latencies or an overload: the driver telling the host something went
// wrong or changed under it.
bool isFindingSelector(long selector);

// The records runs hand to createBuffers, in static storage (drivers keep the pointer). With time
// info offered, bufferSwitchTimeInfo does what bufferSwitch does; declined, it is only counted.
extern const ASIOCallbacks timedCallbacks;  // bufferSwitch: timedBufferSwitch
extern const ASIOCallbacks pingCallbacks;   // bufferSwitch: pingBufferSwitch
