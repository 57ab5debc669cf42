// The parent's side of a worker, in parts: starting it, taking what it sends, watching it, and
// what is done after it. Private to the session layer.
#pragma once

#include "checker/session/worker_protocol.h"

#include <stdint.h>
#include <string>
#include <vector>

// What the parent holds of one worker.
struct WorkerProcess {
    HANDLE mapping;
    WatchRecord *watch;
    HANDLE pipeRead;    // the frames
    HANDLE outputRead;  // the worker's standard output and error: what the driver writes there
    HANDLE job;         // ends the worker, and whatever it started, when the parent ends
    HANDLE stopRun;     // set: the run is to end now (the user interrupted)
    PROCESS_INFORMATION process;
    LARGE_INTEGER created;  // the performance counter when it was created
};

// What the parent saw of it.
struct WorkerSeen {
    WatchRecord watch;     // the last consistent copy of the shared record
    WatchRecord atInterrupt;  // ... as it was when the user interrupted
    LONG presses;             // ... the interrupts until then
    double runSecondsAtInterrupt;
    bool heard;            // the worker has said something
    ULONGLONG since;       // the parent's clock when the state last changed
    ULONGLONG halfWritten; // the parent's clock since the record was half-written; 0: it was not
    std::string pending;   // bytes of frames not yet whole
    std::vector<uint64_t> copy;  // a record's copy while it is checked
    bool done;             // the DONE frame came
    bool hung;             // the parent ended it: over a limit
    bool corrupt;          // the parent ended it: what it sent was out of range
    bool interrupted;      // Ctrl+C or Ctrl+Break: its run asked to end, or it was ended
    bool endedByUser;      // ... ended for it (outside a run, a second press, the wait's poll)
    bool quiet;            // its messages and progress are not shown; the driver's lines go on
    bool ownOutput;        // quiet, but the driver's lines are collected here as a session's are
    int status;            // the DONE frame's
};

// How the parent waits for a worker besides each state's limit.
struct WorkerWait {
    bool interruptible;    // the user's interrupt ends its run (not started once interrupted)
    double wholeSeconds;   // its whole session's limit; 0: none
    bool (*poll)();        // called at every look, may be null; true ends the worker as interrupted
    bool quiet;            // a worker beside another session: nothing of it is shown, no fail()
    bool ownOutput;        // quiet, but a worker of this process's own: the driver's lines kept here
};

// The shared record, the pipes, the job and the process, with `commandArguments` (UTF-8) after the
// private argument. False with the system's error in outcome->exitCode.
bool startWorker(const char *commandArguments, WorkerProcess *w, SessionOutcome *outcome);
void closeWorker(WorkerProcess *w);

// Reads what the worker sent since the last call, at most `most` bytes of frames, and takes the
// whole frames: records checked and copied over their places, the DONE status, the worker's
// messages and progress shown. A frame out of range marks the worker corrupt (the outcome says
// where) and nothing after it is taken. The driver's standard output is collected too.
void takeWhatCame(WorkerProcess *w, WorkerSeen *seen, SessionOutcome *outcome, size_t most);
// Marks the session corrupt: the record ("" for none) and what was wrong, as printf.
void markCorrupt(WorkerSeen *seen, SessionOutcome *outcome, const char *record, const char *format,
                 ...) PRINTF_LIKE(4, 5);

// Appends the bytes a driver wrote on the worker's standard handles to the lines kept.
void collectDriverOutput(const char *bytes, size_t size);
// Ends the collection: a last line without its line feed is kept too.
void finishDriverOutput();

// Runs the session `arguments` name in a worker, as runDriverSession does; an interruptible one
// is not started once the user has interrupted, nor waited for after.
int runWorkerSession(const CheckerOptions &options, const char *arguments, SessionOutcome *outcome,
                     const WorkerWait &wait);

// ---- Setting a rate back in a new worker (rate_restore.cpp)

// The command line of the worker that sets `rate` back on options.driver (UTF-8), its record
// emptied for it.
std::string restoreRateArguments(const CheckerOptions &options, double rate);
// outcome->rateRestore and the sentence in outcome->rateText, from what that worker (`restore`,
// its status `code`) left in its record.
void tellRestore(const SessionOutcome &restore, int code, SessionOutcome *outcome);
