// What the parent and its worker share: the watch record in shared memory, the frames on the pipe,
// the private argument and the table of records. Private to the session layer.
#pragma once

#include "checker/session/session.h"

#include <windows.h>

enum WatchState {
    WATCH_STARTING,  // the worker has not said anything yet
    WATCH_IDLE,      // the checker's own code (the driver's may still run: windows, timers)
    WATCH_IN_CALL,   // inside a driver call
    WATCH_RUNNING,   // between start and stop, outside any call
    WATCH_CRASHED,
    WATCH_STATES
};

// Written by the worker, read by the parent. The worker makes `sequence` odd while it writes the
// state and the calls; the parent reads them again until it sees the same even sequence around
// them. The page lies in the worker's memory, where a driver can write over it: the parent checks
// what it reads.
struct WatchRecord {
    volatile LONG sequence;
    volatile LONG state;
    volatile double runSeconds;  // WATCH_RUNNING: the run's length
    char call[64];               // WATCH_IN_CALL: the call
    char lastCall[64];           // the last call that returned: "Release()"
    // Between start and stop: switches so far (the checker's callbacks), every 100 ms.
    volatile LONGLONG runSwitches;
    // The rate to set back should the worker not do it itself (any value the driver reported).
    volatile LONG rateRegistered;
    volatile double rateToRestore;
    // WATCH_CRASHED, or a crash on a driver thread during the run; written once.
    DWORD exceptionCode;
    ULONGLONG offset;
    char module[64];
    LONG otherThread;
    volatile LONG runCrash;      // a driver thread crashed during the run: the run is judged first
    double crashRunSeconds;      // ... that far into the run
    LONGLONG crashSwitches;      // ... after that many switches
    // The session looks at the stop request between its steps, not only while running: the user's
    // interrupt is handed to it anywhere, and it stops at its next safe point.
    volatile LONG safePoints;
};

// argv[1] of a worker: the prefix, then the handles of the mapping, the pipe and the event that
// asks the run to end, as "M,P,E".
static const char WORKER_ARGUMENT[] = "--quorvel-worker=";

// Frames on the pipe: a header, then `size` bytes.
enum FrameKind {
    FRAME_RECORD = 1,    // id: the record's place in the table; the record whole
    FRAME_DONE = 2,      // id: the session's exit status; the failure's text
    FRAME_MESSAGE = 3,   // a line the worker would have written on stderr (fail())
    FRAME_PROGRESS = 4,  // the live progress line; empty: clear it
};
struct FrameHeader {
    DWORD kind;
    DWORD id;
    DWORD size;
};
// Bytes a frame other than a record may carry.
enum { MAX_TEXT_FRAME = 1024 };

// The table useRecords was given: the entry at `id`, or null past its end.
const RecordSpec *recordAt(DWORD id);
// The place of `place` in the table; -1 when it is not one of the records.
int recordIndex(const void *place);
// Calls the function onRecordTaken set, if any, with the record's place.
void tellRecordTaken(const void *place);
// The size of the largest record in the table.
size_t largestRecord();

// A consistent copy of the shared record into *copy: true, or false when no even sequence was
// seen around it within a few milliseconds (*copy then holds the last read, unchecked).
bool readWatchRecord(const WatchRecord *shared, WatchRecord *copy);

// The outcome's whole story in outcome->text, from its end and the call it was in.
void describeOutcome(SessionOutcome *outcome);
