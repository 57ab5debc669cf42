// The checker's measuring layer: what runs on the driver's callback side (the timed switches, the
// checker's other callbacks, the pings, the sample ring, the integrity sequence), the readers that
// take the ring's samples to the integrity analysis, and the pure judgements of what they gathered
// (switch timing, the integrity analysis, percentiles, the buffer sizes a driver allows). Nothing
// here prints or knows of the worker. What only the layer's own files share is in timing_parts.h
// and integrity_parts.h.
#pragma once

#include "checker/base/base.h"
#include "drivers/asio_interface.h"

#include <atomic>
#include <stddef.h>
#include <stdint.h>

// ---- Figures and rules

// The standard rates the checker asks a driver about (44.1 to 384 kHz).
enum { PROBE_RATES = 8 };
extern const double probeRates[PROBE_RATES];
// A sample rate a run can be timed at: finite, from 1 kHz to 100 MHz. Anything else (0, a
// subnormal, infinity, NaN, 1e300) gives no period, and nothing is judged against it.
bool usableRate(double rate);
// Whether `n` lies on the grid a granularity makes: for -1 a power of two, above 0 minSize plus a
// multiple of it (and not below minSize); for anything else no size does.
bool sizeOnGrid(long n, long minSize, long granularity);
// The driver's buffer sizes: min <= n <= max, on the grid, and for a granularity that makes none
// (0: min and max are equal) the preferred size only.
bool bufferSizeAllowed(long minSize, long maxSize, long preferred, long granularity, long n);
// The buffer sizes a driver allows from min to max, with min, max and the preferred size always
// among them; more than `room` are thinned to `room` spread over the range. The count written to
// `sizes`, ascending.
int allowedBufferSizes(long minSize, long maxSize, long preferred, long granularity, long *sizes,
                       int room);
// The smallest of `count` sorted values with at least `percent` of them at or below it; 0 for none.
double nearestRank(const double *sorted, size_t count, double percent);
// The time per step of a series that advances one step a sample: the median of its advance over
// half the series, from every start in its first half, so that a few values the system delayed, or
// a burst that made them up, move it no more than they move the median. 0 for fewer than two.
double robustStep(const double *values, size_t count);

// ---- What the driver costs the machine: the worker's processor time over a run's window (every
// thread, user and kernel), the part inside the checker's callbacks (their durations summed), the
// checker's own threads besides (the session thread and those noted), and the rest: the driver's.

struct CpuFigures {
    bool measured;       // a window was measured
    double windowMs;     // its length by the clock
    double processMs;    // the worker's processor time in it
    double callbackMs;   // the checker's callbacks, start to end, summed
    double checkerMs;    // the checker's own threads: the session thread and those noted
    double driverMs;     // the rest, never below 0: the driver's own threads and calls
    long long switches;  // the switches of the window, for the figures per switch
};

// Opens the window on the calling thread, the session thread: reads the process's, the thread's
// and the callbacks' times. Forgets the threads noted for the window before.
void beginCpuWindow();
// Closes it on the same thread: the figures, but for the switches, which the caller counts.
void endCpuWindow(CpuFigures *cpu);
// `ms` as a percentage of one core over the window; NAN when nothing was measured.
double coreShare(double ms, const CpuFigures &cpu);
// A copy's check: every figure finite and not negative, the driver's not above the process's.
const char *cpuFault(const CpuFigures &cpu);

// ---- The machine's own pauses: a thread of the checker's at the priority drivers give their
// streaming threads wakes every millisecond and notes when, so that a gap in a driver's stream
// can be set against what the machine did to every thread at that moment. Main thread.

enum { MACHINE_WATCH_ROOM = 1 << 17 };  // wake-ups kept: about two minutes
// Starts the watch, counted among the checker's threads of the cost window open (noteCheckerThread).
// False when no thread could be made.
bool startMachineWatch();
void stopMachineWatch();
// The longest stretch within [from, to] (performance counter) the watch did not wake, less its own
// ordinary interval: how long the machine held a thread that was due; -1 when the watch did not
// see the whole stretch.
int64_t machineHeldTicks(int64_t from, int64_t to);

// ---- The timing of buffer switches
//
// The callback stores each arrival's ticks in a ring; the main thread
// drains the ring while the run goes on and keeps every arrival; after the run the arrivals are
// judged against the buffer period over the whole run, from start's return to the stop.
//
// Ticks are the processor's time-stamp counter where it runs at a fixed rate (a read costs about
// 15 ns, where a performance-counter read costs 100 to 200 ns under Wine), calibrated against the
// performance counter, and the performance counter otherwise.

// -- The callback's side

// Made once per process and never freed: a driver whose stop returned early may still store its
// last arrival after the run, and so may one that calls back from two threads at once.
enum { ARRIVAL_RING_SIZE = 1 << 18 };
struct ArrivalRing {
    std::atomic<uint32_t> claimed;  // slots taken by callbacks; a slot is filled just after
    int64_t slots[ARRIVAL_RING_SIZE];  // 0 while empty; the main thread empties what it takes
    int64_t longestTicks;           // longest callback
};
extern ArrivalRing arrivalRing;

// The ticks of the switch clock. Callback-safe: no system call where the time-stamp counter serves.
int64_t switchTicks();
// Stores one arrival (its ticks before the callback's work) and the callback's duration. No
// allocation, lock or system call.
void recordArrival(int64_t before, int64_t after);

// -- The main thread's side

// The performance counter, for everything outside the callbacks, and its ticks in microseconds.
int64_t performanceTicks();
double ticksToUs(int64_t ticks);

// Empties the ring, chooses the ticks and takes the first calibration reads. False when there is no
// memory for the arrivals of `seconds` at `periodUs` (unknown: 0).
bool prepareTiming(double seconds, double periodUs);
// Moves what the callbacks stored into the kept arrivals; call it often while the run goes on.
void drainArrivals();
// Microseconds per tick from the calibration since prepareTiming (reads counter, stamp, counter).
double calibratedTicksPerUs();
// The arrivals drainArrivals kept so far, in the order they came; their count in *count.
const int64_t *keptArrivals(size_t *count);
// False once an arrival could not be kept (the run outgrew the memory): it was judged as it came.
bool everyArrivalKept();
// Arrivals overwritten in the ring before the main thread took them, since prepareTiming: the
// checker fell behind (judgeRun's missedByChecker at that moment).
long long arrivalsNotTaken();
// Switch ticks as the performance counter's, by the calibration since prepareTiming: that counter
// is the system's, so times taken in another process can be set against the arrivals.
int64_t switchTicksToCounter(int64_t ticks);

// -- The judgement

enum { TIMING_HISTOGRAM_BINS = 64, TIMING_TIMELINE_BINS = 256 };

struct TimingFigures {
    long long switches;     // arrivals between the window's start and end
    long long beforeStart;  // arrivals before the window: during createBuffers and start
    long long afterEnd;     // arrivals after it: during stop
    long long kept;         // arrivals whose ticks were kept (all, unless the run outgrew the memory)
    long long missedByChecker;  // arrivals the checker did not take in time (its thread was held)
    double windowUs;        // start's return to the stop
    double expected;        // switches the window holds at the period; 0 when the period is unknown
    double ratio;           // switches / expected; NAN when unknown
    // Intervals between arrivals in the window, and the gaps from its start to the first arrival and
    // from the last to its end (a run without switches is one gap).
    long long intervals;    // between arrivals (not counting the two gaps)
    double minUs, medianUs, p99Us, p999Us, maxUs;  // nearest rank over the intervals; 0 with none
    double headGapUs, tailGapUs;  // window start to first arrival, last arrival to window end
    long long late;         // intervals and gaps over 1.5 periods; -1 when the period is unknown
    double longestGapUs;    // the longest interval or gap
    double longestGapAtUs;  // ... where it began, from the window's start
    // Each switch's lateness against the ideal timeline: arrival k - first arrival - k x period.
    double timelineMaxUs, timelineP999Us, timelineMinUs;  // 0 with fewer than two switches
    double longestCallbackUs;
    // For pictures: intervals in TIMING_HISTOGRAM_BINS bins from 0 to 3 periods (the last bin holds
    // everything above), and the timeline in TIMING_TIMELINE_BINS stretches of the run, each with
    // its least and greatest lateness.
    double histogramBinUs;
    long long histogram[TIMING_HISTOGRAM_BINS];
    int timelineBins;
    double timelineLowUs[TIMING_TIMELINE_BINS];
    double timelineHighUs[TIMING_TIMELINE_BINS];
    CpuFigures cpu;  // what the run cost the machine (filled by the session, not by the judgement)
};

// Judges what drainArrivals kept between windowStart and windowEnd (switch ticks) against the
// period (0: unknown), at the final calibration.
void judgeRun(int64_t windowStart, int64_t windowEnd, double periodUs, TimingFigures *figures);
// After the stop: takes the arrivals that came since judgeRun (during stop) into its figures, as
// switches after the window.
void countArrivalsAfterJudgement(TimingFigures *figures);
// After judgeRun: the longest interval between kept arrivals number `from` to `to` (counted from 0
// in the order they came, every callback of the run), in microseconds.
double longestIntervalUs(long long from, long long to);

// A copy that came from a worker: the name of the first field out of range ("timelineBins"), or
// null when it holds.
const char *timingFault(const TimingFigures &figures);

// Whether the stream was kept, whatever thresholds the user gave: a gap (an interval, or from the
// window's start to the first switch, or from the last to its end) longer than STALL_SECONDS and
// STALL_PERIODS periods is a driver that stopped switching, which no busy host explains; fewer
// than MIN_SWITCH_RATIO of the switches the period promises is a driver far off its pace (judged
// only where the period is known, over a window of STARVED_AFTER_PERIODS periods at least).
enum { STALL_PERIODS = 20, STARVED_AFTER_PERIODS = 10 };
extern const double STALL_SECONDS;     // 0.5
extern const double MIN_SWITCH_RATIO;  // 0.5
struct StreamKept {
    double boundUs;  // the longer of STALL_SECONDS and STALL_PERIODS periods
    bool stalled;    // the longest gap over it
    bool starved;    // the ratio known and below MIN_SWITCH_RATIO
};
StreamKept judgeStreamKept(const TimingFigures &timing, double periodUs);
// Why it was not kept, in words: "the switches stopped 0.80 s into the run and did not come back
// in the last 3.21 s"; "" when it was.
void streamKeptText(const TimingFigures &timing, const StreamKept &kept, char *out, size_t size);

// ---- What the driver calls during a run besides the buffer switch: its messages, rate changes and
// the time-info switch. Written on the driver's thread, read after the stop.

struct MessageCounts {
    std::atomic<long> bySelector[ASIO_MSG_LAST + 1];  // [s] for selectors 1 to 15
    std::atomic<long> other;           // any other selector
    std::atomic<long> sampleRateChanges;
    std::atomic<long> timeInfoSwitches;  // bufferSwitchTimeInfo calls
    std::atomic<unsigned long> asked;    // bit s: the driver asked whether selector s is supported
    std::atomic<long> unasked[ASIO_MSG_LAST + 1];  // [s]: selector s sent before the driver asked about it
    std::atomic<unsigned long> refused;  // bit s: the driver asked about selector s and was told no
    std::atomic<long> afterRefusal[ASIO_MSG_LAST + 1];  // [s]: request s sent after that
};
extern MessageCounts messageCounts;

// The same counts as plain numbers, for the results a worker hands back.
struct MessageTally {
    long bySelector[ASIO_MSG_LAST + 1];
    long other;
    long sampleRateChanges;
    long bufferSwitches;  // bufferSwitch calls, from the arrivals timed
    long timeInfoSwitches;
    bool timeInfoOffered;  // the run answered yes to "supports time info"
    long unasked[ASIO_MSG_LAST + 1];  // [s]: selector s sent before the driver asked about it
};
void tallyMessages(MessageTally *tally);

// Zeroes the counts; `timeInfo` is the answer the next run gives to "supports time info".
void resetMessageCounts(bool timeInfo);
// Selector supported (1) answers 1 for 1 to 6 and 15, the selectors the checker handles, and for 7
// when time info is offered, each only while setHostSupports' set holds it; engine version (2)
// answers 2; 3 to 6 and 15 answer 1 (counted, shown as findings, 3 to 6 pending for the main
// thread); 7 answers as offered; everything else, time code (8) included, and any selector outside
// the host's set, 0. Every call is counted and noted in the log.
long checkerAsioMessage(long selector, long value, void *message, double *opt);
// Counts and notes the driver's report of a rate change (pending for the main thread).
void checkerSampleRateDidChange(ASIOSampleRate rate);
// A reset, a resync, changed latencies or an overload: the driver telling the host something went
// wrong or changed under it.
bool isFindingSelector(long selector);
// What the driver asks the host to act on or tells it (3 to 6, MMC command 9, overload 15), as
// against the questions (engine version, the "supports" selectors).
bool isRequestSelector(long selector);

// ---- Every notification of a run, in the order it came: each asioMessage and sampleRateDidChange,
// noted on the calling thread with no allocation, lock or system call, for the timeline and for
// what the host does next on its main thread. The pointers a driver passes (message, opt) are kept
// as numbers: the callback never reads through them; the main thread may, safely, afterwards.

enum NotificationKind { NOTIFY_MESSAGE = 1, NOTIFY_RATE = 2 };
struct Notification {
    int64_t ticks;        // switchTicks() when it came
    int64_t afterSwitch;  // the run's switches before it (the counter noteSwitchCounter names)
    uint64_t message;     // asioMessage's `message` and `opt`, as numbers
    uint64_t opt;
    double rate;          // sampleRateDidChange's rate; asioMessage: what *opt held, never read here (0)
    uint32_t thread;      // the calling thread's id
    int32_t kind;         // NotificationKind
    int32_t selector;     // asioMessage's
    int32_t value;
    int32_t answer;       // what the checker answered (sampleRateDidChange: 0)
    int32_t unsupported;  // 1: a selector the host had said (or would say) it does not support
    int32_t afterRefusal; // 1: a request the driver had asked about and been told no
};
// Notifications a run keeps; past them they are counted only.
enum { NOTIFICATION_ROOM = 256 };

// What a notification asks of the host, as bits of pendingRequests(): set by the callback, taken
// by the main thread.
enum PendingRequest {
    PENDING_RESET = 1,        // reset request (3)
    PENDING_BUFFER_SIZE = 2,  // buffer size change (4), its size in requestedBufferSize()
    PENDING_RESYNC = 4,       // resync request (5)
    PENDING_LATENCIES = 8,    // latencies changed (6)
    PENDING_RATE = 16,        // sampleRateDidChange, its rate in announcedRate()
};

// Empties the log (resetMessageCounts does too) and names the counter a notification's
// `afterSwitch` is read from: the run's own callbacks' count of switches (null: the timed
// arrivals').
void noteSwitchCounter(long long (*switchesSoFar)());
// Copies the notifications from number `from` on (0: the first) into out[0..room), up to the last
// one whose fields are complete; returns how many were copied. Main thread, while the run goes on
// or after it.
long takeNotifications(long from, Notification *out, long room);
// Every notification so far, those past the room included.
long notificationsSeen();
// The PendingRequest bits set since the last call, cleared.
long pendingRequests();
// The size the last buffer size change asked for; the rate the last sampleRateDidChange gave.
long requestedBufferSize();
double announcedRate();

// What the host says it supports, as bits (1 << selector, selectors 1 to 15): selector supported
// (1) answers 1 only for a selector the checker handles and the set holds, and a message of a
// selector outside it is answered 0 and marked `unsupported`. HOST_SUPPORTS_ALL is every selector
// the checker handles; 0 supports nothing. Before the run, main thread.
enum : unsigned long { HOST_SUPPORTS_ALL = 0xfffeul };
void setHostSupports(unsigned long selectors);
// How many requests (isRequestSelector) of `selector` the driver sent after it had asked whether
// the host supports it and been told no, since the last resetMessageCounts.
long sentAfterRefusal(long selector);

// ---- The log as a run's record keeps it, read on the main thread after the run: each
// notification's time from the window's start, and what its pointers point to, read with a reader
// that fails instead of faulting (a committed, readable page, then ReadProcessMemory on the own
// process). No pointers: the record crosses the worker's pipe.

// What reading a pointer gave.
enum PointerRead { POINTER_NULL = 0, POINTER_READ = 1, POINTER_UNREADABLE = 2 };
enum { MESSAGE_BYTES = 16 };
struct NotedNotification {
    Notification n;        // as the callback noted it; asioMessage's n.rate: *opt when it was read
    double ms;             // from the window's start (start's return); negative: before it
    int32_t run;           // the run it came in: a sweep's setting, from 0; 0 elsewhere
    int32_t messageRead;   // PointerRead of n.message
    int32_t optRead;       // PointerRead of n.opt
    int32_t messageLength; // bytes of messageBytes read (up to MESSAGE_BYTES)
    uint8_t messageBytes[MESSAGE_BYTES];
};
struct NotificationRecord {
    long seen;             // every notification, those not kept included
    long kept;             // items[0..kept)
    uint32_t hostThread;   // the session's main thread: "the host's thread"
    long afterRefusal[ASIO_MSG_LAST + 1];  // [s]: sentAfterRefusal(s), every run's
    NotedNotification items[NOTIFICATION_ROOM];
};
// Empties the record and takes the run's log into it (addNotifications).
void keepNotifications(NotificationRecord *record, int64_t windowStart);
// Adds the run's log to the record, times from `windowStart` (switch ticks), marked with `run`,
// as far as it has room, the pointers read; `seen` grows by every notification of the run. The
// session's main thread, after the run (or while it goes on).
void addNotifications(NotificationRecord *record, int64_t windowStart, int run);
// What is wrong in a record that came through the pipe: its counts out of range, a kind, or a
// pointer reading not known; null when nothing is.
const char *notificationsFault(const NotificationRecord &record);

// The records runs hand to createBuffers, in static storage (drivers keep the pointer). With time
// info offered, bufferSwitchTimeInfo does what bufferSwitch does; declined, it is only counted.
extern const ASIOCallbacks timedCallbacks;  // bufferSwitch: timedBufferSwitch
extern const ASIOCallbacks pingCallbacks;   // bufferSwitch: pingBufferSwitch

// ---- The pings of the latency command: a short pulse written into output O about twice a second,
// and found again on input I. The callback does all of it; the main thread only watches the counts.
// At most MAX_PINGS (base.h) a run.

enum { PULSE_FRAMES = 4 };

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
    // The callbacks' count: each takes its stream position from it.
    std::atomic<uint32_t> switchNumber;
    // The callback's own, while it holds `busy`.
    std::atomic<bool> busy;
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

// What a run's pings are to be: the cable, the run and when they go out.
struct PingPlan {
    long outChannel, inChannel;  // output O and input I
    long outputs;                // the driver's outputs: its inputs' buffers follow theirs
    long outType, inType;        // pingTypeSupported
    long frames;                 // the run's buffer size
    double rate;                 // a usable one
    long pings;                  // wanted: 1 to MAX_PINGS, anything else 1
    int64_t firstAt;             // stream position of the first ping
    int64_t intervalFrames;      // between pings
};
// Sets pingRun from the plan before the run begins.
void preparePings(const PingPlan &plan);
// True once a ping was lost or every ping wanted has been resolved. Main thread, while running.
bool pingsFinished();
// After the buffers were made: true when the driver gave both buffers of both channels.
bool pingBuffersPresent();
// ---- The ring of received blocks: samples handed from the driver's callbacks to the main thread,
// lock-free, made before the run. Each callback takes its switch number and then a block, without
// allocation, lock or system call, from any number of threads at once (a driver may call back from
// two): a block is filled by one callback only, and handed over whole. When the ring is full the
// block is dropped and counted: the checker fell behind, not the driver. The main thread takes the
// blocks in the order they were filled.

struct RingBlock {
    std::atomic<uint32_t> sequence;  // its turn: free for position p at p, filled at p + 1
    std::atomic<int> pending;        // readers not yet done with it
    int64_t switchNumber;   // the buffer switch it came in
    int64_t arrivalTicks;   // when, in the caller's ticks
    uint32_t droppedBefore; // reader 0: switches dropped, ring full, since the block before
    uint32_t bytes;         // of data used
    unsigned char *data;    // blockBytes of room, 64-byte aligned
};

enum { MAX_RING_READERS = 8 };
struct alignas(64) RingCursor {
    uint32_t taken;         // the reader's own: blocks it is done with
};

struct SampleRing {
    RingBlock *blocks;      // mask + 1 of them
    unsigned char *storage; // their data
    uint32_t mask;          // blocks - 1; a power of two
    uint32_t blockBytes;
    alignas(64) std::atomic<uint32_t> switches;  // switch numbers handed to callbacks
    std::atomic<uint32_t> filling;               // ring positions taken by callbacks
    std::atomic<uint32_t> dropped;               // all blocks dropped
    std::atomic<int64_t> latestTicks;            // arrival of the latest block offered, kept or
                                                 // dropped; 0 before the first
    alignas(64) std::atomic<uint32_t> taken;     // reader 0's cursor, for a look from outside
    int64_t nextSwitch;                          // reader 0's own
    int readers;                                 // 1 unless set before the run
    RingCursor cursors[MAX_RING_READERS];
};

// The ring's size: RING_SECONDS of every input at the run's rate, in the smallest power of two of
// blocks that holds them and never fewer than RING_MIN_BLOCKS; halved while it is above
// RING_MAX_BYTES, the build's bound (a 32-bit worker shares its 2 GiB with the driver and the
// analysis; x64 has room). Readers held up for less than that lose nothing. A ring whose
// RING_MIN_BLOCKS blocks are above the bound is not made.
enum { RING_MIN_BLOCKS = 16 };
const double RING_SECONDS = 2;
const uint64_t RING_MAX_BYTES = (sizeof(void *) == 8 ? 1024ull : 256ull) << 20;

struct RingSize {
    uint64_t blockBytes;    // a block: one buffer of every input
    uint32_t blocks;        // a power of two
    uint64_t bytes;         // all blocks, each rounded up to 64 bytes
    double seconds;         // of input they hold; 0 for an unusable rate
};
// The size of the ring for blocks of `blockBytes`, a buffer of `frames` at `rate` each. False when
// it is above RING_MAX_BYTES even at RING_MIN_BLOCKS; `size` says what it would be.
bool sampleRingSize(double rate, long frames, uint64_t blockBytes, RingSize *size);
// Makes room for at least `blocks` blocks (rounded up to a power of two) of `blockBytes` each,
// every page touched. False, with nothing made, when the whole is above RING_MAX_BYTES or there
// is no memory. Main thread, before the run.
bool makeSampleRing(SampleRing *ring, uint32_t blocks, uint64_t blockBytes);
// Frees what makeSampleRing made. Main thread, after the run.
void freeSampleRing(SampleRing *ring);

// ---- The known sequence of `quorvelcheck integrity`: a word for every stream position that its
// neighbours do not share, written on an output in the driver's sample type and read back from an
// input. No driver, no system call; writeSequence and readSequence allocate nothing, take no lock
// and may run in the driver's callback.
//
// A word has b bits (16 to 32, the bits the type carries). Its top 16 bits at position p of output
// o are a bijective mix of p mod 2^16 xored with a key of the block p / 2^16 with o in its top 7
// bits; its other b - 16 bits a second mix of both. The top 16 bits alone give p mod 2^16 within
// any candidate block, so a path that loses low bits (a 24-bit converter behind a 32-bit type)
// still gives the position; two neighbours give the output and the block as well. Words repeat
// after 2^32 positions; neighbouring words differ in about half their bits; two outputs' words
// differ within any 2^25 positions.

enum { SEQUENCE_BLOCK_BITS = 16 };  // positions per block: 2^16 (outputs: MAX_ROUTE_CHANNELS)

// b for a sample type: 16 (Int16, Int32 16), 18, 20, 24 (Int24, Int32 24, Float32) or 32 (Int32,
// Float64), both byte orders; 0 for a type the sequence does not support.
int sequenceTypeBits(long type);
// Bytes per sample of a supported type; 0 for others.
int sequenceTypeBytes(long type);

// ---- The integrity analysis: what came back through the loopback cable, judged against the known
// sequence: it finds the delay, then accounts for every sample received after the
// lock. Main thread, fed block by block in input order with the decoded words of input I. Plain
// records: beginIntegrityAnalysis makes the history it needs, endIntegrityAnalysis frees it;
// nothing in between allocates (integrity_parts.h; the readers run them).
//
// The search tries the sequence as sent, then negated, then shifted 1 to 8 bits lower (a gain of
// a power of two below 1; no more than leaves the top 16 bits), each with either sign: the lock
// keeps the first that holds, and every sample after it is judged against the sequence so changed.
//
// Once locked, received position q carries the word of q - delay. A sample whose top 16 bits are
// those of its expected word is on the delay (matched, or corrupted in its lower bits); other
// samples open a disturbance that ends when the stream is back on the old delay (the samples in it
// were corrupted) or LOCK_RUN samples in a row are on a new one (dropped, repeated, slip). The
// search for a new delay looks near the old one at every sample and over the whole bound only at
// every 32nd, as the search for the lock does: a foreign input is analysed in real time too.

enum IntegrityEventKind {
    EVENT_CORRUPTED,  // a stretch of wrong values while the delay held (fewer than RUN_GAP good
                      // ones between them); bits: those that differed
    EVENT_INVERTED,   // a run of values that were the negation of the expected ones
    EVENT_DROPPED,    // the sequence went on `size` samples further than expected: missing
    EVENT_REPEATED,   // the sequence went back `size` samples that had been received: twice
    EVENT_SLIP,       // any other change of the delay; size: the change (+: the sequence later)
    EVENT_KINDS
};

// "corrupted", "inverted", "dropped", "repeated", "slip"; "?" for any other kind.
const char *integrityEventName(int kind);

struct IntegrityEvent {
    int kind;
    int64_t position;      // input stream position of its first sample
    int64_t size;          // samples: the run's length, the missing or repeated ones, the change
    uint32_t bits;         // corrupted: the bits that differed in any sample of the run; 0 when
                           // every sample was off by less than a step (inexact)
    int64_t switchNumber;  // of the block its first sample arrived in
    double timeUs;         // that block's time since the start
};

enum IntegrityState { INTEGRITY_SEARCHING, INTEGRITY_LOCKED, INTEGRITY_NO_LOCK };
enum NoLockReason {
    NO_LOCK_SILENT,   // peak at most -90 dBFS: digital silence, or nearly
    NO_LOCK_NOISE,    // peak below -30 dBFS
    NO_LOCK_FOREIGN,  // louder, and not the sequence: likely another channel's signal
};

// RUN_GAP: good samples that end a stretch of corrupted or inverted ones.
enum { MAX_INTEGRITY_EVENTS = 100, LOCK_RUN = 8, RUN_GAP = 64 };

struct IntegrityBlockMark {
    int64_t position;
    int64_t switchNumber;
    double timeUs;
};

// What the search found a word to say in a block: its position, under the output and lock of then.
struct IntegrityUnmixed {
    int64_t q, block, position;
    int output, sign, shift;
};

// What an analysis found: the lock, and every sample received after it accounted for.
struct IntegrityFindings {
    int state;                // IntegrityState
    int output;               // the output whose sequence is judged; -1 while any of several
                              // is searched for
    int64_t delay;            // locked: the delay of the moment
    int64_t lockDelay;        // ... found first
    int64_t lockPosition;     // input position of the first sample of the lock
    int sign;                 // locked: the return is sign x (the sequence >> shift): -1 when
    int shift;                // its polarity is reversed; shift bits lower (a gain of 2^-shift)
    // From the lock's first sample on: received = matched + corrupted + inverted + scaled +
    // foreign; searched: the samples received before it (every one, without a lock). Both set by
    // finishIntegrityAnalysis.
    int64_t received, searched;
    int64_t unseen;           // samples missing between blocks: the checker fell behind
    int64_t matched;          // after lock: equal to the sequence at the delay of the moment
    int64_t corrupted;        // wrong while the delay held (inverted not included)
    int64_t inverted;         // the negation of the sequence, shift 0
    int64_t scaled;           // the lock's shift of the sequence (with its sign), shift above 0
    int64_t foreign;          // received in a slip, on neither delay
    int64_t dropped;          // missing from the sequence
    int64_t repeated;         // received twice
    int64_t slipped;          // the slips' changes of delay, as magnitudes
    int64_t missing;          // expected to the end of the window and never received
    int64_t missingFrom;      // ... from this input position
    int64_t eventCounts[EVENT_KINDS];
    int keptEvents;           // the first MAX_INTEGRITY_EVENTS events in full
    IntegrityEvent events[MAX_INTEGRITY_EVENTS];
    uint32_t differingBits;   // bits that differed in any matched or corrupted sample
    int transparentBits;      // transparentBits, set by finishIntegrityAnalysis
    int noLockReason;         // NO_LOCK: what the input carried while searching (NoLockReason)
    double peakDbfs;          // -infinity for digital silence
    double rmsDbfs;
};

// Samples compared at a time: the expected words are made a chunk at once.
const long INTEGRITY_CHUNK = 256;

struct IntegrityAnalysis {
    // Fixed at the start.
    int bits;                 // of the input's sample type
    uint32_t mask;            // the word's bits
    int64_t maxDelay;         // delays searched: 0 to maxDelay samples
    int64_t noLockSamples;    // received without a lock, then the verdict
    uint32_t wanted[MAX_ROUTE_CHANNELS / 32];  // bit o: output o's sequence is looked for

    // What it found, read after finishIntegrityAnalysis (state and counts also while running).
    IntegrityFindings results;

    // Working state.
    int64_t fed;              // samples fed, before the lock and after
    int64_t blockPosition;    // of the block being analysed
    int64_t receivedBeforeBlock;
    int64_t receivedBeforeLock;
    int64_t nextPosition;     // -1 before the first block
    int64_t contiguousFrom;   // first position of the history's current stretch
    uint32_t *history;        // received words by position & historyMask
    uint8_t *historyInexact;
    uint32_t historyMask;
    IntegrityBlockMark *marks;  // the latest blocks, for the events' switch and time
    uint32_t markMask;
    uint64_t markCount;
    bool disturbed;
    int64_t disturbStart;     // first position off the delay
    int oldRun;               // samples in a row back on the old delay
    int64_t lockSequence;     // sequence position of the lock's first sample
    int runKind;              // the open corrupted or inverted run; -1 none
    int64_t runEnd;           // position after its last sample
    int runEvent;             // its index in events; -1 when not kept
    int64_t peak;             // searching: largest magnitude received
    double sumSquares;
    uint32_t expected[INTEGRITY_CHUNK];  // words of the chunk being compared
    int keysOutput;           // the output of the keys kept: of blocks keyBlocks[b & 1]
    int64_t keyBlocks[2];
    uint32_t keys[2];
    IntegrityUnmixed unmixed[2];  // the latest word the search unmixed in block b, at [b & 1]
};

// ---- The integrity run's callbacks

// The callback's plan, fixed before start: the outputs it writes, the inputs it hands over.
struct IntegrityPlan {
    int outputs;                                 // 1 to MAX_ROUTE_CHANNELS
    long outElements[MAX_ROUTE_CHANNELS];        // in the run's buffer array
    long outTypes[MAX_ROUTE_CHANNELS];
    int outKeys[MAX_ROUTE_CHANNELS];             // the sequence's output: channel mod 128
    int inputs;                                  // 1 to MAX_ROUTE_CHANNELS
    long inElements[MAX_ROUTE_CHANNELS];
    long inTypes[MAX_ROUTE_CHANNELS];
    uint32_t inBytes[MAX_ROUTE_CHANNELS];        // of one buffer of each input
    uint32_t inOffsets[MAX_ROUTE_CHANNELS];      // where each input's samples start in a block
    long frames;
    SampleRing *ring;            // made for a run and never freed: a late callback may append;
                                 // its claims number the switches
};
extern IntegrityPlan integrityPlan;
// bufferSwitch writes each output's sequence at its stream position (switch number x frames) and
// appends every input's buffer to the ring as one block, in the plan's order, timed like
// timedBufferSwitch; bufferSwitchTimeInfo does the same, whatever was answered to "supports time
// info". No allocation, lock or system call.
extern const ASIOCallbacks integrityCallbacks;

// ---- The integrity readers: every block of the ring goes to each reader, which analyses its own
// inputs of it. Reader 0 is the main thread, between its other duties; the others are threads of
// their own, one per further processor. The callback never waits for any of them.

// Makes an analysis per input of integrityPlan (its ring made, its inputs set), looking for the
// outputs in `wanted` (bit o of wanted[o / 32]), and the readers: the main thread and up to one
// analysis thread per further processor, each with every n-th input. False when there is no
// memory. Main thread, before the run.
bool prepareAnalysers(int64_t maxDelay, int64_t verdictAfter, const uint32_t *wanted);
// Starts the analysis threads, counted among the checker's threads of the cost window open; ticks
// are the switch clock's, runStart the window's start.
void startAnalysers(int64_t runStart, double ticksPerUs);
// Main thread, while the run goes on: analyses its own inputs of every block the callbacks left.
// True when every input has its verdict without the sequence: waiting longer shows nothing more.
bool pollAnalysers();
// After the window, which ended at windowEnd (switch ticks), the buffer period periodUs (0:
// unknown): the main thread takes what is left, the threads are told to do the same and waited
// for; then every analysis is finished with the samples the window should have brought.
void finishAnalysers(int64_t windowEnd, double periodUs);
// Frees the analyses (the ring stays: a late callback may still fill it).
void endAnalysers();
int analyserCount();
int analysedInputs();
// Input `input`'s analysis, valid until endAnalysers.
const IntegrityAnalysis &inputAnalysis(int input);
// Audio seconds (at `rate`) analysed per second of the slowest reader's work; NAN before any block.
double analysedTimesRealTime(double rate);
// "integrity: 3 of 4 locked, 48000 samples" for the progress line.
void analysersProgress(char *line, size_t size);

// ---- The routing of `integrity --all`: which output's sequence arrives on each input, judged
// against the routes expected, and the skew between the routes found. Pure.

enum RouteVerdict {
    ROUTE_FINE,        // the output expected (or, with no map, any output) arrived, every sample
    ROUTE_EMPTY,       // nothing expected, nothing arrived
    ROUTE_FAULTY,      // the right output arrived, and not every sample came back as it was sent
    ROUTE_MISSING,     // the output expected did not arrive: the input carried no sequence
    ROUTE_WRONG,       // another output arrived instead of the one expected
    ROUTE_UNEXPECTED,  // an output arrived where the map expects none
};
enum { NO_ROUTE = -1 };
// The verdict of one input: the output expected there (NO_ROUTE: none; with mapGiven false
// nothing is expected anywhere), the output found (NO_ROUTE: none) and whether every sample of
// it came back as it was sent.
int judgeRoute(bool mapGiven, int expected, int found, bool clean);
// Whether a verdict fails the run.
bool routeFails(int verdict);

struct SkewFigures {
    int routes;       // routes found, judged against each other
    int earliest;     // index of the route with the least delay (the first of equals); -1 none
    int latest;       // ... the greatest
    int64_t spread;   // the greatest delay less the least, frames; 0 for fewer than two routes
};
// The skew of the routes whose found[k] is true, from their delays (frames).
void judgeSkew(const int64_t *delays, const bool *found, int count, SkewFigures *skew);
