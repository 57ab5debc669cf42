// What the integrity command's files share, private to the folder: the analysers that take the
// ring's blocks (the main thread and analysis threads, each with its own inputs), and the event
// lines of the text and the JSON.
#pragma once

#include "checker/commands/commands.h"

// ---- The session (worker side), as both forms of the command have it (integrity_session.cpp)

// True for a sample type the sequence can be written in and read back: 16 to 32 bits.
bool sequenceTypeSupported(long type);

struct IntegritySession {
    const void *record;     // the command's record, published as it goes
    RunStage *stage;        // ... and its parts the run fills
    RunSetup *setup;
    TimingFigures *timing;
    MessageTally *messages;
    // Its steps: the channels chosen into integrityPlan and the outputs looked for (EXIT_FINE or
    // the failure's status); the analyses taken into the record; the run's status, with its reason.
    int (*choose)(const CheckerOptions &options, uint32_t *wanted);
    void (*take)();
    int (*verdict)();
};
// The driver opened, the channels chosen, the ring and the analysers made, the run from start's
// return for the run's seconds, the window judged, the analyses taken, the driver stopped and
// closed; the record published at every stage. The session's status.
int runIntegritySession(const CheckerOptions &options, const IntegritySession &session);

// The output and input of one cable (checkCable: EXIT_USAGE with the reason) in integrityPlan, one
// of each, and output O's sequence wanted; their types in *outType and *inType.
int planCable(const CheckerOptions &options, const DriverFigures &figures, uint32_t *wanted,
              long *outType, long *inType);
// The ring, room for a block of every input of the plan at the setup's size and rate, and the
// analysers (prepareAnalysers). EXIT_FINE or EXIT_SHORTFALL.
int prepareIntegrity(const RunSetup &setup, const uint32_t *wanted);

// The checker's shortfall: `unseen` samples of input `input` came and were not analysed (`blocks`
// the ring had no room for). EXIT_SHORTFALL, with that said.
int checkerFellBehind(long input, int64_t unseen, double rate, long blocks);

// ---- The analysers (worker side)

// Makes an analysis per input of integrityPlan (its ring made, its inputs set), looking for the
// outputs in `wanted` (bit o of wanted[o / 32]), and the readers: the main thread and up to one
// analysis thread per further processor, each with every n-th input. EXIT_FINE or EXIT_SHORTFALL.
int prepareAnalysers(int64_t maxDelay, int64_t verdictAfter, const uint32_t *wanted);
// Starts the analysis threads; ticks are the switch clock's, runStart the window's start.
void startAnalysers(int64_t runStart, double ticksPerUs);
// Main thread, while the run goes on: analyses its own inputs of every block the callbacks left.
// True when every input has its verdict without the sequence: waiting longer shows nothing more.
bool pollAnalysers();
// After the window: the main thread takes what is left, the threads are told to do the same and
// waited for; then every analysis is finished with the samples the window should have brought.
void finishAnalysers(const RunSetup &setup);
// Frees the analyses (the ring stays: a late callback may still fill it).
void endAnalysers();
int analyserCount();
int analysedInputs();
const IntegrityAnalysis &inputAnalysis(int input);
// Audio seconds (at `rate`) analysed per second of the slowest reader's work; NAN before any block.
double analysedTimesRealTime(double rate);
// "integrity: 3 of 4 locked, 48000 samples" for the progress line.
void analysersProgress(char *line, size_t size);

// ---- The events, as the text and the JSON show them

long long eventTotal(const int64_t *eventCounts);
// "Events: 3 (corrupted 2, slip 1)" and the kept ones, a line each after `indent`.
void printEventLines(const int64_t *eventCounts, const IntegrityEvent *events, int kept, double rate,
                     const char *indent);
// "event_counts" and "events".
void jsonEventFields(const int64_t *eventCounts, const IntegrityEvent *events, int kept);
