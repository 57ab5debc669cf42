// The pings of the latency command: a short pulse written into output O about twice a second, and
// found again on input I. The callback does all of it; the main thread only watches the counts.
#pragma once

#include "drivers/asio_interface.h"

#include <atomic>
#include <stdint.h>

enum { MAX_PINGS = 1000, PULSE_FRAMES = 4 };

// Sample types the pings can write and find: the little-endian integer and float types.
bool pingTypeSupported(long type);

// The pulse is half of full scale; an echo is the first frame above FOUND_LEVEL after at least
// QUIET_FRAMES frames below QUIET_LEVEL (fractions of full scale).
extern const double PING_FOUND_LEVEL;
extern const double PING_QUIET_LEVEL;

// The plan and the findings of the pings. The callback writes them; `resolved` and `lost` are the
// main thread's view while running, the rest is read after the stop.
struct PingRun {
    // Fixed before start. The buffers are looked up in loopbackState at every switch: the driver
    // may call back before beginLoopback has returned.
    long outElement;          // in the run's buffer array
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
    int64_t quietFrames;      // input frames in a row below QUIET_LEVEL
    bool quietSinceSent;      // the input was quiet long enough since the ping went out
    double peakSinceSent;     // the loudest input frame since the ping went out
    double windowPeak;        // of the current 16 frames
    int windowFrames;
    double quietestWindow;    // the lowest peak of 16 frames in a row since the ping went out
    long sent;
    int64_t sentAt[MAX_PINGS];
    int64_t roundTrip[MAX_PINGS];  // frames; -1 lost
    int64_t sentInSwitch[MAX_PINGS];  // the switch number it was written in
    // Shared while running.
    std::atomic<long> resolved;
    std::atomic<bool> lost;
};
extern PingRun pingRun;

// Sets the plan before the run begins: output outChannel and input inChannel of a driver with
// `outputs` outputs, their types, the run's frames and rate (a usable one), the number of pings.
// The first goes out a quarter second in, the others half a second apart.
void preparePings(long outChannel, long inChannel, long outputs, long outType, long inType,
                  long frames, double rate, long pings);
// The same with the first ping at stream position `first` and the others `interval` frames apart.
void preparePingsAt(long outChannel, long inChannel, long outputs, long outType, long inType,
                    long frames, double rate, long pings, int64_t first, int64_t interval);
// After the buffers were made: true when the driver gave both buffers of both channels.
bool pingBuffersPresent();
// The latency command's buffer switch: timed like timedBufferSwitch; after onBufferSwitch it writes
// all of output O (silence, or the pulse at its stream position, switch number x frames + offset)
// and looks for the pulse on input I from the frame it was sent at.
void pingBufferSwitch(long index, ASIOBool directProcess);
