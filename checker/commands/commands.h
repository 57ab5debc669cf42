// The checker's commands: what each driver session measured, as plain records filled in the worker
// and handed to the parent whole (session.h), and how each command shows them. Each record says how
// far its session got, so that what was measured before a failure is still shown. No pointers: the
// two processes share no addresses.
//
// Every command that loads a driver has the same three parts, shared with the report:
//   measureX(options, index, arguments, outcome)   runs the session in a worker (`arguments`: its
//       command line there, as runDriverSession takes it), leaves what it measured in the command's
//       record (emptied first) and returns the command's exit status;
//   writeXDocument(options, index, outcome, status) writes the document `--json` prints to the JSON
//       writer's destination, the document of the failure alone after a status the results do not
//       stand after;
//   printXText(options, index, outcome, status)      prints the text, nothing after such a status.
// Parent side, main thread; the sessions (xSession) run in the worker.
#pragma once

#include "checker/base/base.h"
#include "checker/measure/measure.h"
#include "checker/session/session.h"
#include "drivers/asio_interface.h"

// ---- One shape for every command that loads a driver

typedef int (*MeasureCommand)(const CheckerOptions &options, int index, const char *arguments,
                              SessionOutcome *outcome);
typedef void (*ShowCommand)(const CheckerOptions &options, int index, const SessionOutcome &outcome,
                            int exitCode);
// A command's measuring: its record (`size` bytes at `record`) emptied, then `session` run in a
// worker with `arguments` (runDriverSession). The session's exit status.
int measureSession(const CheckerOptions &options, void *record, size_t size,
                   int (*session)(const CheckerOptions &), const char *arguments,
                   SessionOutcome *outcome);
// Finds DRIVER in the list, measures in a worker with the user's own arguments, and shows what came
// back: the document with --json, else the text. The exit status.
int runDriverCommand(const CheckerOptions &options, MeasureCommand measure, ShowCommand writeDocument,
                     ShowCommand printText);

// ---- How the commands that run the loopback show a run

// The run's switch timing as text, its processor time last (printCost).
void printTiming(const TimingFigures &timing, double periodUs);
// The statuses a command's results are shown after (fine, a check missed, a crash, hang or exit,
// an interruption, the checker's own shortfall); after any other the command ends with its error
// alone.
bool resultsStand(int exitCode);
// The opening of a command's document: its program, command and driver fields. When the results do
// not stand after `exitCode`, the failure's document alone is written instead, and false returned.
bool beginDocument(const CheckerOptions &options, int index, bool stands, int exitCode);
// The cable's "out", "in", "out_type" and "in_type" of a document.
void jsonCable(long outChannel, long inChannel, long outType, long inType);
// Ends with the run's processor time (printCost; "cpu" in the document).
void jsonTiming(const TimingFigures &timing, double periodUs);
// What the run cost the machine: "Processor time: the driver's own threads used 38.2% of one core
// while streaming; the callback 0.4%, ..." and the figures per switch; nothing when not measured.
void printCost(const CpuFigures &cpu);
// The same as the object `key`: window_ms, process_ms, callback_ms, checker_ms, driver_ms, the
// shares of one core in percent (driver_core_share...), switches, per_switch_us; null when not
// measured.
void jsonCost(const char *key, const CpuFigures &cpu);
void printMessages(const MessageTally &messages);
void jsonMessages(const MessageTally &messages);
// The run's notifications (notification_output.cpp), after the messages: "Notifications (...):" and
// a line each (its time, thread, the switch it came after, the selector by name, value, answer,
// its pointers and what they held), the count not kept, and a finding line for each selector the
// driver sent after the host had said it does not support it; nothing at all without one.
// `runWord` ("setting") names each line's run where a record holds several; null elsewhere.
void printNotifications(const NotificationRecord &record, const char *runWord);
// The same as "notifications" (an object each: ms, thread, thread_id, after_switch, kind, selector,
// selector_name, value, answer, message_pointer, opt_pointer, readable, message_bytes, opt_value,
// rate, unsupported, after_refusal; `runKey` with the run's number where given),
// "notifications_not_kept" and "sent_after_refusal".
void jsonNotifications(const NotificationRecord &record, const char *runKey);
// The usage lines of --host-supports, the same in every command that runs the stream.
#define HOST_SUPPORTS_USAGE                                                                        \
    "  --host-supports all|none|LIST\n"                                                          \
    "                         what the host says it supports when the driver asks (selector 1):\n" \
    "                         all (the default: every message the checker handles), none, or\n"  \
    "                         selectors by number or name, comma-separated: selector-supported,\n" \
    "                         engine-version, reset, buffer-size, resync, latencies, time-info,\n" \
    "                         time-code, mmc, input-monitor, input-gain, input-meter,\n"          \
    "                         output-gain, output-meter, overload\n"
// Whether the stream was kept going (judgeStreamKept), judged whatever options were given:
// "Check: the stream kept going (...): passed", or MISSED with why.
void printStreamKept(const TimingFigures &timing, double periodUs);
// The same as fields of the object the caller opened: gap_limit_us, longest_gap_us,
// longest_gap_at_us, min_ratio, ratio, passed, and the text why when it did not pass.
void jsonStreamKeptFields(const TimingFigures &timing, double periodUs);
// A session's status for it: EXIT_CHECK_MISSED with why (fail()), or EXIT_FINE.
int streamKeptStatus(const TimingFigures &timing, double periodUs);
// A timing threshold the window missed: EXIT_CHECK_MISSED with why (fail()); EXIT_SHORTFALL, said
// so, when the checker did not take every switch of the window in time: a switch it lost shows as
// a gap, a late switch and one fewer in the count, none of them the driver's.
int timingMissed(const TimingFigures &timing, const char *format, ...) PRINTF_LIKE(2, 3);

// ---- info
enum { MAX_LISTED_CHANNELS = 1024, MAX_CLOCKS = 32 };

enum InfoStage { INFO_NOTHING, INFO_FIGURES, INFO_RATES, INFO_CHANNELS, INFO_LATENCIES, INFO_DONE };
struct InfoResults {
    InfoStage stage;        // the last part measured
    DriverFigures figures;  // readRecordFigures
    ASIOError rateAnswers[PROBE_RATES];
    long listedInputs, listedOutputs;  // at most MAX_LISTED_CHANNELS each
    ASIOChannelInfo inputs[MAX_LISTED_CHANNELS];
    ASIOChannelInfo outputs[MAX_LISTED_CHANNELS];
    long inputLatency, outputLatency;
    ASIOError latencyResult;
    ASIOClockSource clocks[MAX_CLOCKS];
    long clockCount;
};
extern InfoResults infoResults;
// Its entry in the table of records (RecordSpec); its check: the stage known, the counts within
// their arrays, the names ended.
extern const RecordSpec infoRecord;
int measureInfo(const CheckerOptions &options, int index, const char *arguments,
                SessionOutcome *outcome);
void writeInfoDocument(const CheckerOptions &options, int index, const SessionOutcome &outcome,
                       int exitCode);
void printInfoText(const CheckerOptions &options, int index, const SessionOutcome &outcome,
                   int exitCode);

// ---- run
enum RunStage { RUN_NOTHING, RUN_PREPARED, RUN_STARTED, RUN_MEASURED, RUN_STOPPED };
struct RunResults {
    RunStage stage;
    RunSetup setup;
    TimingFigures timing;   // from RUN_MEASURED: judged before the stop was asked for
    MessageTally messages;
    NotificationRecord notifications;
    HostRoundTrips trips;   // the driver's requests and what the checker did with each
};
extern RunResults runResults;
// Its entry in the table of records (RecordSpec); its check: the run's parts.
extern const RecordSpec runRecord;
// The part every run record shares: the stage known, the setup and the timing in range.
const char *runPartsFault(int stage, const RunSetup &setup, const TimingFigures &timing);
int measureRun(const CheckerOptions &options, int index, const char *arguments, SessionOutcome *outcome);
void writeRunDocument(const CheckerOptions &options, int index, const SessionOutcome &outcome,
                      int exitCode);
void printRunText(const CheckerOptions &options, int index, const SessionOutcome &outcome,
                  int exitCode);

// ---- The driver's requests during a run and the checker's round trips (round_trip_output.cpp)

// "Reset requested 530 ms into the run (after switch 100), on a driver thread (id 1234): the checker
// followed it", the figures that changed, each step's answer, the time to the first switch after
// it and the stream after it judged; nothing when the run met no request.
void printRoundTrips(const HostRoundTrips &trips);
// One round trip in words, as the text shows it and the report draws it: the request, when, on
// which thread and what the checker did; then, when it followed it, the figures that changed (empty
// when none did), each step's answer, the first switch after it (or the failure) and the stream
// after it judged, its verdict PASS, WARN or FAIL ("" when not judged).
struct RoundTripText {
    std::string heading, changes, steps, outcome, stream;
    const char *verdict = "";
};
void describeRoundTrip(const HostRoundTrip &trip, RoundTripText *text);
// The same as "round_trips": [...] (always there, empty without a request).
void jsonRoundTrips(const HostRoundTrips &trips);
// The run's status for them: EXIT_DRIVER for a round trip that failed or brought no switch,
// EXIT_CHECK_MISSED for a stream after one that was not kept going, kept the pace of another rate
// (within 4 % once 50 switches were due), came after an announced rate getSampleRate then did not
// report, or missed the user's --max-late or --min-switch-ratio (fail() with why), else EXIT_FINE.
int roundTripStatus(const HostRoundTrips &trips, const CheckerOptions &options);

// ---- latency
struct LatencyResults {
    RunStage stage;
    RunSetup setup;
    long outChannel, inChannel;
    long outType, inType;
    // The driver's claim once the buffers were made, and again after the run: a driver that sends a
    // latency-changed or reset request has changed it meanwhile.
    long inputLatency, outputLatency;
    long inputLatencyAfter, outputLatencyAfter;
    bool claimReadAfter;
    // The pings, as the callback left them.
    long wanted;
    long sent;
    int64_t sentAt[MAX_PINGS];
    int64_t roundTrip[MAX_PINGS];  // frames; -1 lost
    int64_t sentInSwitch[MAX_PINGS];
    double gapBeforeUs[MAX_PINGS];  // the longest interval between switches since the ping before
    bool lost;
    bool quietSinceSent;    // for the lost ping: the input fell quiet before the echo could come
    double peakSinceSent;   // ... its loudest frame since it was sent, a fraction of full scale
    double quietestWindow;  // ... its quietest 16 frames in a row
    TimingFigures timing;
    MessageTally messages;
    NotificationRecord notifications;
};
extern LatencyResults latencyResults;
// Its entry in the table of records (RecordSpec); its check: besides the run's parts, the pings
// within their arrays.
extern const RecordSpec latencyRecord;
int measureLatency(const CheckerOptions &options, int index, const char *arguments,
                   SessionOutcome *outcome);
void writeLatencyDocument(const CheckerOptions &options, int index, const SessionOutcome &outcome,
                          int exitCode);
void printLatencyText(const CheckerOptions &options, int index, const SessionOutcome &outcome,
                      int exitCode);

// ---- latency --sweep: the round trip at every allowed buffer size, at each rate asked for, each
// setting measured `repeats` times, each a full create, start, stop and dispose.
enum { MAX_SWEEP_RATES = 8, MAX_SWEEP_SIZES = 16,
       MAX_SWEEP_SETTINGS = MAX_SWEEP_RATES * MAX_SWEEP_SIZES };

// What stopped a setting of the sweep; SWEEP_WHOLE when nothing did.
enum SweepFailure {
    SWEEP_WHOLE,
    SWEEP_RATE_UNUSABLE,   // not a rate a run can be timed at: the driver was not asked
    SWEEP_RATE_REFUSED,    // canSampleRate answered `error`
    SWEEP_RATE_NOT_SET,    // setSampleRate answered `error`
    SWEEP_NO_OUTPUT,       // output --out does not exist at this rate
    SWEEP_NO_INPUT,        // input --in does not exist at this rate
    SWEEP_OUTPUT_TYPE,     // output --out has a type the pings cannot use at this rate (`type`)
    SWEEP_INPUT_TYPE,      // the same for input --in
    SWEEP_NO_SIZE,         // the driver's buffer size is not above 0
    SWEEP_NO_MEMORY,       // the checker had no memory for the timing: its own fault
    SWEEP_CREATE_FAILED,   // createBuffers answered `error`
    SWEEP_NO_BUFFERS,      // createBuffers left a buffer of the cable's channels null
    SWEEP_START_FAILED,    // start answered `error`
    SWEEP_NOT_KEPT,        // the stream stopped or fell far behind its pace (judgeStreamKept)
    SWEEP_INTERRUPTED,     // the user interrupted the sweep in this setting
};

struct SweepSetting {
    double rate;
    long size;
    int repeatsRun;
    int64_t roundTrip[MAX_SWEEP_REPEATS];  // frames, the median of that repeat's pings; -1 when
                                           // any ping of it was lost
    long reportedIn, reportedOut;          // getLatencies once the buffers of the first repeat were made
    int failure;                           // SweepFailure
    ASIOError error;                       // the driver's answer, for a failure that has one
    long type;                             // SWEEP_OUTPUT_TYPE, SWEEP_INPUT_TYPE: the channel's type
    int failedRepeat;                      // the repeat it came in, from 1; 0 before the first
    int lostRepeats;                       // repeats in which a ping was lost
    bool measured;                         // measured whole: no failure, every ping back
    int repeatsBack;                       // repeats whose every ping came back
    int64_t median, spread;                // across those, when there is one
    long difference;                       // reported - measured median
    bool outsideTolerance;
    double longestGapUs;                   // SWEEP_NOT_KEPT: the repeat's longest gap
    double switchRatio;                    // ... and its switches against those the period holds
};

struct SweepResults {
    RunStage stage;
    long outChannel, inChannel;
    long outType, inType;
    int repeats;
    double tolerance;        // frames; negative when no --tolerance was given
    int settingCount;        // settings measured so far, in order: rate by rate, size by size
    int runningSetting;      // the setting in progress, -1 between them
    SweepSetting settings[MAX_SWEEP_SETTINGS];
    NotificationRecord notifications;  // every repeat's, marked with its setting
};
extern SweepResults sweepResults;
// Its entry in the table of records (RecordSpec); its check: the settings and each one's repeats
// within their arrays.
extern const RecordSpec sweepRecord;
// The sweep's session, which latency --sweep runs in its worker.
int sweepSession(const CheckerOptions &options);
int measureSweep(const CheckerOptions &options, int index, const char *arguments,
                 SessionOutcome *outcome);
void writeSweepDocument(const CheckerOptions &options, int index, const SessionOutcome &outcome,
                        int exitCode);
void printSweepText(const CheckerOptions &options, int index, const SessionOutcome &outcome,
                    int exitCode);
// Why a setting is not measured whole ("input 6 does not exist at 96000 Hz", "a ping was lost in 1
// of 2 repeats"); "" for one that is.
void sweepSettingProblem(const SweepResults &results, const SweepSetting &setting, char *out,
                         size_t size);

// ---- integrity: a known sequence through the cable, every sample accounted for.
struct IntegrityResults {
    RunStage stage;
    RunSetup setup;
    long outChannel, inChannel;
    long outType, inType;
    int bits;                   // the input's sample bits the sequence uses
    IntegrityFindings analysis; // what the analysis found, as it ended (measure.h)
    long blocksDroppedByChecker;  // blocks the checker's ring had no room for: its own fault
    double timesRealTime;       // the analysis's pace: audio seconds per second it took; NAN unknown
    TimingFigures timing;
    MessageTally messages;
    NotificationRecord notifications;
};
extern IntegrityResults integrityResults;
// How the lock's return differs from the sequence on every sample: "inverted on every sample: the
// polarity is reversed", "1 bit lower on every sample: a gain of 1/2 (-6.0 dB)"; false when it
// came back as sent.
bool integrityTransformText(const IntegrityResults &results, char *out, size_t size);
// Its entry in the table of records (RecordSpec); its check: the run's parts, the state and reason
// known, the kept events and their kinds.
extern const RecordSpec integrityRecord;
int measureIntegrity(const CheckerOptions &options, int index, const char *arguments,
                     SessionOutcome *outcome);
void writeIntegrityDocument(const CheckerOptions &options, int index, const SessionOutcome &outcome,
                            int exitCode);
void printIntegrityText(const CheckerOptions &options, int index, const SessionOutcome &outcome,
                        int exitCode);

// ---- One cable's integrity beside another command's run (conform's clients phase): the sequence
// written on output --out by integrityCallbacks, input --in analysed. Worker, main thread, on the
// driver it has open.

// The plan of the cable in the setup's figures (checkCable: EXIT_USAGE with the reason), the ring
// and the analysis for the setup's buffer size and rate; the channels' types in *outType and
// *inType. EXIT_FINE or the failure's status.
int prepareCableIntegrity(const CheckerOptions &options, const RunSetup &setup, long *outType,
                          long *inType);
// Just after start returned (setup.windowStart): the events are timed from it.
void startCableIntegrity(const RunSetup &setup);
// While the run goes on, at least every 100 ms (a waitForRun poll): the blocks analysed; false.
bool pollCableIntegrity();
// After the stop, setup.windowEnd taken just before it: the analysis finished, with the samples the
// window should have brought. Valid until endCableIntegrity.
const IntegrityAnalysis &finishCableIntegrity(const RunSetup &setup);
// Frees the analysis (the ring stays: a late callback may still fill it).
void endCableIntegrity();
// What the input carried where the sequence did not come back (its NoLockReason; one out of range
// as another signal), in the words of each place that tells it.
enum NoLockWording {
    WORDING_TEXT,     // the text: "silent", "low noise", "a loud signal that is not the sequence: ..."
    WORDING_FAILURE,  // the failure line, after "the input": "was silent", "carried only low noise"
    WORDING_JSON,     // "no_lock_reason": "silent", "noise", "foreign"
    WORDING_PAGE,     // the report's sentence: "silence", "noise", "another signal"
    WORDING_CELL,     // the report's table of routes: "silent", "low noise", "another signal"
    WORDINGS
};
const char *noLockWords(int reason, NoLockWording wording);
// A peak in dBFS as the text shows it (%.1f): -0.0, a full-scale peak rounded, as 0.0.
double shownPeak(double dbfs);

// ---- integrity --all (--outs, --ins): every output its own sequence, every input analysed, the
// routes found judged against a map, and the skew between them.

enum { MAX_ROUTE_EVENTS = 10 };
// A route's counts, as IntegrityResults has them, in one array.
enum RouteCount {
    COUNT_SEARCHED, COUNT_RECEIVED, COUNT_MATCHED, COUNT_CORRUPTED, COUNT_INVERTED, COUNT_SCALED,
    COUNT_FOREIGN, COUNT_DROPPED, COUNT_REPEATED, COUNT_SLIPPED, COUNT_UNSEEN, COUNT_MISSING,
    ROUTE_COUNTS
};
// "searched", "received", ... as the JSON names them; "?" for any other.
const char *routeCountName(int count);

// What arrived on one input.
struct RouteResult {
    long input;                 // its channel
    long inType;
    int bits;
    int expected;               // the output the map expects here; NO_ROUTE: none (or no map)
    int found;                  // the output whose sequence arrived; NO_ROUTE: none
    int verdict;                // RouteVerdict
    int state;                  // IntegrityState
    int noLockReason;           // NoLockReason, when nothing arrived
    int sign, shift;            // the lock's: -1 the polarity reversed; shift bits lower
    int64_t lockDelay, lockPosition, missingFrom;
    int64_t skew;               // found: lockDelay less the earliest route's
    int64_t counts[ROUTE_COUNTS];
    int64_t eventCounts[EVENT_KINDS];
    int keptEvents;             // the first MAX_ROUTE_EVENTS in full
    IntegrityEvent events[MAX_ROUTE_EVENTS];
    uint32_t differingBits;
    int transparentBits;
    double peakDbfs, rmsDbfs;
};

struct RoutingResults {
    RunStage stage;
    RunSetup setup;
    int outputCount;                       // outputs driven, each with its own sequence
    long outputs[MAX_ROUTE_CHANNELS];
    long outTypes[MAX_ROUTE_CHANNELS];
    int inputCount;                        // inputs analysed, a route each
    bool mapGiven;
    RouteResult routes[MAX_ROUTE_CHANNELS];
    SkewFigures skew;                      // over the routes found; indexes into routes
    double maxSkew;                        // --max-skew; negative: none
    int analysisThreads;
    double timesRealTime;                  // as IntegrityResults
    long blocksDroppedByChecker;
    TimingFigures timing;
    MessageTally messages;
    NotificationRecord notifications;
};
extern RoutingResults routingResults;
// Its entry in the table of records (RecordSpec); its check: the run's parts, every count and index
// within its array, the skew's routes among the inputs, each route's outputs, verdict, state,
// reason and kept events known.
extern const RecordSpec routingRecord;
// The routing session, which integrity --all runs in its worker.
int routingSession(const CheckerOptions &options);
int measureRouting(const CheckerOptions &options, int index, const char *arguments,
                   SessionOutcome *outcome);
void writeRoutingDocument(const CheckerOptions &options, int index, const SessionOutcome &outcome,
                          int exitCode);
void printRoutingText(const CheckerOptions &options, int index, const SessionOutcome &outcome,
                      int exitCode);
// Whether the options ask for every channel (--all, --outs or --ins) rather than one cable.
bool routingWanted(const CheckerOptions &options);
// Why a route failed ("output 3 arrived instead of output 1"); "" for one that did not.
void routeProblem(const RoutingResults &results, const RouteResult &route, char *out, size_t size);

// Whether a person is there to be asked (gone --gone-step, run --panel-step): standard input a
// console, and the prompt's line (standard error) one too.
bool personAtTheMachine();

// ---- gone: the device goes away while the driver streams (a command line the user gives, or a
// person at the machine); what the driver does then, and whether a fresh worker opens it again.
enum GoneStage {
    GONE_NOTHING, GONE_STREAMING, GONE_GOING, GONE_WATCHED, GONE_STOPPED,
};
// How the device was made to go.
enum GoneWay { GONE_BY_COMMAND, GONE_BY_STEP };
enum GoneEventKind {
    GONE_EVENT_COMMAND_ENDED,   // `answer`: its exit code
    GONE_EVENT_COMMAND_LIMIT,   // it did not end within GONE_COMMAND_SECONDS: it was ended
    GONE_EVENT_STEP_ENDED,      // the person's time ran out
    GONE_EVENT_STOPPED,         // the switches stopped: noticed, `periods` after the last one
    GONE_EVENT_CAME_AGAIN,      // switches came again after they had seemed to stop
    GONE_EVENT_MESSAGE,         // asioMessage(selector, value), `answer` the checker's, on `thread`
    GONE_EVENT_RATE,            // sampleRateDidChange(rate), on `thread`
    GONE_EVENT_POSITION,        // getSamplePosition answered `answer`, a change from the poll before
};
enum { MAX_GONE_EVENTS = 64 };
struct GoneEvent {
    double ms;          // from the moment the device was made to go (the command started)
    int32_t kind;       // GoneEventKind
    int32_t selector;
    int32_t value;
    int32_t answer;
    int32_t thread;     // 0 the session's own thread; else the driver's threads numbered from 1
    int32_t spare;
    double periods;
    double rate;
};
// Seconds the gone command may take before it is ended, and the watch after it.
const double GONE_COMMAND_SECONDS = 60;
const double GONE_WATCH_SECONDS = 2;
struct GoneResults {
    GoneStage stage;
    RunSetup setup;
    int32_t way;                   // GoneWay
    bool commandStarted;           // CreateProcess made it
    unsigned long commandError;    // ... or its error
    bool commandEnded;             // it ended within its limit
    unsigned long commandExit;
    double commandMs;              // start to end (or to its limit)
    int64_t goneAt;                // performance counter when the command started (or the step)
    long long switchesBefore;      // the run's switches when it started
    long long switches;            // the run's switches until the stop was asked for
    bool switchesStopped;          // none came in the last part of the watch
    double lastSwitchMs;           // the last switch, from goneAt (may be below 0)
    int64_t lastSwitchAt;          // ... on the performance counter
    long polls;                    // getSamplePosition calls in the watch
    long pollsNotOk;               // ... that answered anything but ASE_OK
    int32_t lastPositionAnswer;
    int32_t eventCount;            // at most MAX_GONE_EVENTS; more are counted in eventsLost
    long eventsLost;
    GoneEvent events[MAX_GONE_EVENTS];
    ASIOError stopResult, disposeResult;
    double endMs;                  // stop and disposeBuffers together
};
extern GoneResults goneResults;
// Its entry in the table of records (RecordSpec); its check: the stage and way known, the events
// within their array and their kinds known.
extern const RecordSpec goneRecord;

// The fresh workers after it (the hidden command gone-back, one per try): open, init,
// getChannels, a short stream, close.
enum BackStage { BACK_NOTHING, BACK_OPENED, BACK_CHANNELS, BACK_STARTED, BACK_STREAMED };
struct GoneBackResults {
    BackStage stage;
    ASIOError channelsResult;
    long inputs, outputs;
    long long switches;            // in the short stream
};
extern GoneBackResults goneBackResults;
// Its entry in the table of records (RecordSpec); its check: the stage known.
extern const RecordSpec goneBackRecord;

// What the parent found after the gone worker: the back command and the fresh workers.
struct GoneBack {
    bool backCommandGiven, backCommandStarted, backCommandEnded;
    unsigned long backCommandError, backCommandExit;
    double backCommandMs;
    bool tried;                    // fresh workers were started
    int tries;
    double seconds;                // --back-seconds
    bool cameBack;                 // one opened the driver and streamed
    double afterOriginMs;          // its init, from the back command's end (or the gone worker's)
    double afterGoneMs;            // ... from the last switch of the gone run
    bool crashed;                  // a fresh worker crashed, hung or ended: its story in `reason`
    char reason[320];              // why the last try did not come back
};
extern GoneBack goneBack;
int measureGone(const CheckerOptions &options, int index, const char *arguments,
                SessionOutcome *outcome);
void writeGoneDocument(const CheckerOptions &options, int index, const SessionOutcome &outcome,
                       int exitCode);
void printGoneText(const CheckerOptions &options, int index, const SessionOutcome &outcome,
                   int exitCode);
// The verdicts, from the results and the outcome: each finding's word and sentence.
enum GoneVerdict { GONE_PASS, GONE_WARN, GONE_FAIL, GONE_NOT_RUN };
struct GoneFindings {
    bool judged;                    // the switches stopped after the device was made to go
    GoneVerdict noticed;  char noticedText[200];
    GoneVerdict ended;    char endedText[200];
    GoneVerdict back;     char backText[400];
};
void judgeGone(const SessionOutcome &outcome, int exitCode, GoneFindings *findings);
