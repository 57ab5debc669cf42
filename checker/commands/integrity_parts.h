// What the integrity command's files share, private to the folder: the session both forms of the
// command run, and the event lines of the text and the JSON.
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
    NotificationRecord *notifications;
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
// analysers (prepareAnalysers, measure.h). EXIT_FINE or EXIT_SHORTFALL.
int prepareIntegrity(const RunSetup &setup, const uint32_t *wanted);

// The checker's shortfall: `unseen` samples of input `input` came and were not analysed (`blocks`
// the ring had no room for). EXIT_SHORTFALL, with that said.
int checkerFellBehind(long input, int64_t unseen, double rate, long blocks);

// ---- The events, as the text and the JSON show them

long long eventTotal(const int64_t *eventCounts);
// "Events: 3 (corrupted 2, slip 1)" and the kept ones, a line each after `indent`.
void printEventLines(const int64_t *eventCounts, const IntegrityEvent *events, int kept, double rate,
                     const char *indent);
// "event_counts" and "events".
void jsonEventFields(const int64_t *eventCounts, const IntegrityEvent *events, int kept);
