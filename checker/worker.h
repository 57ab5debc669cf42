// The worker: every command that loads a driver runs the driver's session in a second process, the
// same program started again by itself with a private first argument. The worker says, in a small
// shared record, which driver call it is in; the parent gives each call a time limit, and reports a
// call that does not return, a crash (exception code, module and offset) or an end of the process
// from inside a call, naming the call. What the worker measured reaches the parent as records
// (plain structs of this program, sent whole over a pipe as they are filled), so that what was
// measured before a failure is still printed. --in-process runs the session in the parent itself,
// for a debugger.
#pragma once

#include "checker/checker.h"

#include <stddef.h>

// ---- The records the worker hands back. The same globals in both processes: the worker's are
// copied over the parent's as they come.
enum RecordId {
    RECORD_DRIVER_INFO,  // driverInfo, with the times to create and to initialise
    RECORD_CALL_NOTES,   // callNotes
    RECORD_INFO,         // infoResults (info_command.cpp)
    RECORD_RUN,          // runResults (run_command.cpp)
    RECORD_LATENCY,      // latencyResults (latency_command.cpp)
    RECORD_CONFORM,      // conformResults (conform_checks.cpp)
    RECORD_SWEEP,        // sweepResults (latency_sweep.cpp)
    RECORD_INTEGRITY,    // integrityResults (integrity_command.cpp)
    RECORD_COUNT
};
// Where each record lives, for both sides. Defined beside the records.
void *recordPlace(RecordId id, size_t *size);
// Worker: sends the record's current content to the parent. In the parent (in process): nothing.
void publishRecord(RecordId id);

// ---- How a session ended, seen from the parent

enum SessionEnd {
    SESSION_FINISHED,     // the session returned its own status
    SESSION_CRASHED,      // an exception nobody handled
    SESSION_HUNG,         // a driver call (or the run) went over its time limit: the worker was ended
    SESSION_EXITED,       // the process ended without a result: the driver ended it
    SESSION_NOT_STARTED,  // the worker could not be started
};

struct SessionOutcome {
    SessionEnd end;
    bool inProcess;                // --in-process: no worker
    char call[64];                 // the driver call it was in ("createBuffers()"); "" for none
    bool duringRun;                // between start and stop, outside any call
    unsigned long exceptionCode;   // SESSION_CRASHED
    char module[64];               // where it happened: "simasio64.dll"; "" unknown
    unsigned long long offset;     // from the module's base
    bool onOtherThread;            // a thread of the driver's, not the session's
    unsigned long exitCode;        // SESSION_EXITED: the process's exit code
    double limitSeconds;           // SESSION_HUNG: the limit that ran out
    double workerStartMs;          // from creating the worker to its first word
    char text[320];                // the whole story in a sentence, as the error line gives it
};

// Runs `session` for `options` in a worker (or here, with options.inProcess). `arguments` is the
// worker's command line after the program and the private argument: the user's arguments as given,
// or those of an internal command. The records the session publishes land here as they come.
// Returns the session's exit status, or EXIT_CRASHED with *outcome filled (the story on stderr).
int runDriverSession(const CheckerOptions &options, int (*session)(const CheckerOptions &),
                     const char *arguments, SessionOutcome *outcome);
// The user's arguments (argv[1] onwards) quoted into one command-line tail, for runDriverSession.
void userArguments(int argc, char **argv);
const char *userArgumentText();
// The session outcome as JSON fields: "worker" (in process or not, its start-up time), and
// "failure" for a session that did not finish.
void jsonSessionOutcome(const SessionOutcome &outcome);
// How every document of a driver session ends: the outcome, "error" unless all was fine, the exit
// status, and the document's close.
void jsonSessionEnd(const SessionOutcome &outcome, int exitCode);

// ---- The worker's side

// True when argv[1] is the private argument: this process is a worker.
bool isWorkerArgument(const char *argument);
// The worker's main: attaches to the parent, watches the driver calls, runs the session of the
// command in argv[2...] and ends with its status.
int workerMain(int argc, char **argv);
// The run between start and stop, outside any call: judged by its own limit (seconds plus the call
// limit). 0 ends it.
void watchRun(double seconds);
