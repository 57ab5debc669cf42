// A test host that records every callback of a run: its thread, index, time info, the sample
// position read from inside it, and when it came. It writes a counter into the cable's output
// and keeps what came back on inputs 0 and 1, by its own count of frames.
#pragma once

#include "sim_test_host.h"

enum { STREAM_MAX_CALLS = 4096, STREAM_MAX_FRAMES = 1 << 16 };

struct StreamCall {
    DWORD thread;
    long index;
    bool viaTimeInfo;  // came through bufferSwitchTimeInfo
    bool timeInfo;  // ... with a record, and these from it:
    unsigned long flags;
    double rate;
    double speed;
    unsigned long long position;
    unsigned long long systemNs;
    long positionError;  // getSamplePosition from inside the callback, with these:
    unsigned long long readPosition;
    unsigned long long readNs;
    unsigned long long arrivedNs;  // the performance counter when it came
};

enum { STREAM_MAX_NOTES = 256 };

// A notification the host got: an asioMessage other than "selector supported", or a
// sampleRateDidChange (selector 0).
struct StreamNote {
    long selector;
    long value;
    const void *message;
    const double *opt;
    double rate;
    DWORD thread;
    LONG afterCalls;  // callbacks the host had had when it came
};

// Elements: inputs 0 and 1, then outputs 0 and 1.
struct StreamHost {
    ASIOBufferInfo infos[4];
    long frames;
    long type;             // of every channel: 16, 17, 18 or 19
    bool writesCounter;    // into output 1
    long timeInfoAnswer;   // to "supports time info"
    unsigned long supports;  // a bit per selector it answers 1 to "selector supported" for (not 7)
    volatile LONG noteCount;
    StreamNote notes[STREAM_MAX_NOTES];
    IASIO *driver;    // when set, getSamplePosition is called from inside each callback
    volatile LONG calls;
    StreamCall call[STREAM_MAX_CALLS];
    double received[2][STREAM_MAX_FRAMES];  // inputs 0 and 1, fractions of full scale
};

extern StreamHost g_stream;
extern ASIOCallbacks g_streamCallbacks;

void setStreamHost(long frames, long type);
// The host's counter at its frame q, a fraction of full scale: 0.25 + (q + 1) / 2^14, negative
// at odd frames.
double counterAt(long long frame);
// What input frame q holds when the counter comes back after roundTrip frames (0 before).
double expectedAt(long long frame, long long roundTrip);
bool waitForStreamCalls(LONG count);
// Notes of that selector (0: sampleRateDidChange), in order.
std::vector<StreamNote> streamNotes(long selector);
bool waitForStreamNote(long selector);  // a note of it came, within seconds
unsigned long long nowNs();

// Devices with a fixed period and no cable unless a test adds one, run by the stream host.
class SimStreamTest : public SimDeviceTest {
protected:
    static SimConfig streamConfig(long periodUs);
    // Registers and loads `device` and makes the stream host's buffers; null on failure.
    IASIO *prepare(const SimConfig &config);
    TestDevice *device = nullptr;
};
