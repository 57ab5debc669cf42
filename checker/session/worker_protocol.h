// What the parent and its worker share: the watch record in shared memory, the frames on the pipe,
// the private argument and the table of records. Private to the session layer.
#pragma once

#include "checker/session/session.h"

#include <windows.h>

enum WatchState {
    WATCH_STARTING,  // the worker has not said anything yet
    WATCH_IDLE,      // the checker's own code
    WATCH_IN_CALL,   // inside a driver call
    WATCH_RUNNING,   // between start and stop, outside any call
    WATCH_CRASHED,
};

// Written by the worker, read by the parent. The worker makes `sequence` odd while it writes the
// state and the call; the parent reads them again until it sees the same even sequence around them.
struct WatchRecord {
    volatile LONG sequence;
    volatile LONG state;
    volatile ULONGLONG since;    // GetTickCount64 at the start of the call or run
    volatile double runSeconds;  // WATCH_RUNNING: the run's length
    char call[64];
    // WATCH_CRASHED; written once, read after the worker ended.
    DWORD exceptionCode;
    ULONGLONG offset;
    char module[64];
    LONG otherThread;
};

// argv[1] of a worker: the prefix, then the mapping's and the pipe's handles as "M,P".
static const char WORKER_ARGUMENT[] = "--quorvel-worker=";

// Frames on the pipe: a header, then `size` bytes.
enum FrameKind { FRAME_RECORD = 1, FRAME_DONE = 2 };
struct FrameHeader {
    DWORD kind;
    DWORD id;    // the record's place in the table, or the session's exit status
    DWORD size;
};

// The table useRecords was given: the entry at `id`, or null past its end.
const RecordSpec *recordAt(DWORD id);
// The place of `place` in the table; -1 when it is not one of the records.
int recordIndex(const void *place);

// The outcome's whole story in outcome->text, from its end and the call it was in.
void describeOutcome(SessionOutcome *outcome);
