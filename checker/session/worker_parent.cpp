// The parent's side of a worker: it starts the worker, watches it against its time limits while
// taking the records it sends, and tells how the session ended.
#include "checker/session/worker_parent.h"

#include <algorithm>
#include <math.h>
#include <stdio.h>
#include <string.h>

// Bytes taken from each pipe per look, between the time checks.
static const size_t READ_PER_LOOK = 1 << 20;
// How long a worker that was ended may take to be gone.
static const DWORD END_WAIT_MS = 5000;

static volatile LONG interruptRequested = 0;
// Set by another program (a build pipeline, a test) to interrupt as Ctrl+C does: console events
// reach only processes that share a console, and not every system delivers them.
static HANDLE interruptEvent;

static BOOL WINAPI onConsoleControl(DWORD event)
{
    if (event != CTRL_C_EVENT && event != CTRL_BREAK_EVENT)
        return FALSE;
    // The watch loop ends the run (a second press: the worker), and what was measured is shown.
    InterlockedIncrement(&interruptRequested);
    return TRUE;
}

// The event "Local\quorvelcheck-interrupt-<process id>", made once; every set of it is a press.
static void openInterruptEvent()
{
    if (interruptEvent)
        return;
    char name[64];
    snprintf(name, sizeof name, "Local\\quorvelcheck-interrupt-%lu", GetCurrentProcessId());
    interruptEvent = CreateEventA(nullptr, FALSE, FALSE, name);
}

static void takeInterruptEvent()
{
    if (interruptEvent && WaitForSingleObject(interruptEvent, 0) == WAIT_OBJECT_0)
        InterlockedIncrement(&interruptRequested);
}

bool readWatchRecord(const WatchRecord *shared, WatchRecord *copy)
{
    bool consistent = false;
    for (int attempt = 0; attempt < 200 && !consistent; attempt++) {
        LONG before = shared->sequence;
        MemoryBarrier();
        memcpy(copy, const_cast<const WatchRecord *>(shared), sizeof *copy);
        MemoryBarrier();
        consistent = !(before & 1) && before == shared->sequence;
        if (!consistent)
            Sleep(attempt < 100 ? 0 : 1);
    }
    copy->call[sizeof copy->call - 1] = '\0';
    copy->lastCall[sizeof copy->lastCall - 1] = '\0';
    copy->module[sizeof copy->module - 1] = '\0';
    return consistent;
}

// The shared record read again; what it says checked. `ended`: the worker is gone, and a record it
// left half-written is taken as it is.
static void lookAtWatch(WorkerProcess *w, WorkerSeen *seen, SessionOutcome *outcome, bool ended)
{
    WatchRecord copy;
    ULONGLONG now = GetTickCount64();
    if (!readWatchRecord(w->watch, &copy) && !ended) {
        seen->halfWritten = seen->halfWritten ? seen->halfWritten : now;
        return;
    }
    seen->halfWritten = 0;
    if (copy.sequence != seen->watch.sequence)
        seen->since = now;
    bool runLength = isfinite(copy.runSeconds) && copy.runSeconds >= 0 && copy.runSeconds <= 1e6;
    // Once the worker has spoken it never starts again: a record back at its start was written over.
    bool state = inRange(copy.state, seen->heard ? WATCH_STARTING + 1 : WATCH_STARTING, WATCH_STATES - 1);
    if (!state || !runLength) {
        markCorrupt(seen, outcome, "", "the shared watch record's %s", runLength ? "state" : "run length");
        return;
    }
    seen->watch = copy;
    if (!seen->heard && copy.state != WATCH_STARTING) {
        seen->heard = true;
        LARGE_INTEGER frequency, at;
        QueryPerformanceCounter(&at);
        QueryPerformanceFrequency(&frequency);
        outcome->workerStartMs = (at.QuadPart - w->created.QuadPart) * 1000.0 / frequency.QuadPart;
    }
}

// Whether the state seen has outlasted its limit: every state has the call limit (driver code
// runs outside calls too: its windows, its timers), the run its length besides, the worker's own
// start no less than WORKER_START_SECONDS.
static bool overLimit(const CheckerOptions &options, const WorkerSeen &seen, SessionOutcome *outcome)
{
    double limit = options.callTimeout;
    if (seen.watch.state == WATCH_RUNNING)
        limit += seen.watch.runSeconds;
    if (!seen.heard)
        limit = std::max(limit, WORKER_START_SECONDS);
    outcome->limitSeconds = limit;
    return GetTickCount64() - seen.since > limit * 1000;
}

static void endWorker(WorkerProcess *w, SessionOutcome *outcome)
{
    TerminateProcess(w->process.hProcess, 0xDEAD);
    outcome->wouldNotEnd = WaitForSingleObject(w->process.hProcess, END_WAIT_MS) != WAIT_OBJECT_0;
}

// The user interrupted: a run, or a session that stops at safe points, is asked to end, so that the
// worker judges and hands over what it measured and closes the driver as after any run; anything
// else (or a second interrupt) ends the worker. True when it is to be ended now.
static bool interrupt(WorkerProcess *w, WorkerSeen *seen)
{
    if (seen->interrupted)
        return interruptRequested > seen->presses;  // pressed again: now
    seen->interrupted = true;
    seen->atInterrupt = seen->watch;
    seen->presses = interruptRequested;
    seen->runSecondsAtInterrupt = (GetTickCount64() - seen->since) / 1000.0;
    bool handedOver = seen->watch.state == WATCH_RUNNING || seen->watch.safePoints;
    return !(handedOver && SetEvent(w->stopRun));
}

// The wait's poll asked the worker to end: as an interrupt, where it was then.
static bool pollEnds(const WorkerWait &wait, WorkerSeen *seen)
{
    if (!wait.poll || !wait.poll())
        return false;
    seen->interrupted = true;
    seen->atInterrupt = seen->watch;
    seen->runSecondsAtInterrupt = (GetTickCount64() - seen->since) / 1000.0;
    return true;
}

// Whether the whole session has outlasted the wait's limit.
static bool overWhole(const WorkerWait &wait, ULONGLONG began, SessionOutcome *outcome)
{
    if (wait.wholeSeconds <= 0 || GetTickCount64() - began <= wait.wholeSeconds * 1000)
        return false;
    outcome->limitSeconds = wait.wholeSeconds;
    return true;
}

// Every 20 ms until the worker ends: what it sent taken, its state timed; ended when over a limit,
// when what it sent is out of range, or when the user interrupts (or the wait's poll asks).
static void watchWorker(const CheckerOptions &options, WorkerProcess *w, WorkerSeen *seen,
                        SessionOutcome *outcome, const WorkerWait &wait)
{
    ULONGLONG began = GetTickCount64();
    seen->since = began;
    seen->watch.sequence = -1;
    for (;;) {
        takeWhatCame(w, seen, outcome, READ_PER_LOOK);
        bool ended = WaitForSingleObject(w->process.hProcess, 20) == WAIT_OBJECT_0;
        lookAtWatch(w, seen, outcome, ended);
        if (ended)
            break;
        ULONGLONG now = GetTickCount64();
        if (seen->halfWritten && now - seen->halfWritten > options.callTimeout * 1000)
            markCorrupt(seen, outcome, "", "the shared watch record, left half-written");
        if (wait.interruptible)
            takeInterruptEvent();
        bool interrupted = (wait.interruptible && interruptRequested && interrupt(w, seen)) ||
                           pollEnds(wait, seen);
        seen->endedByUser = interrupted;
        // After an interrupt handed over, the limits still hold: a driver that hangs while the
        // session closes it is a hang.
        seen->hung = !seen->corrupt && !interrupted &&
                     (overLimit(options, *seen, outcome) || overWhole(wait, began, outcome));
        if (seen->corrupt || interrupted || seen->hung) {
            endWorker(w, outcome);
            break;
        }
    }
    // What it sent before it ended; the pipe holds no more than its buffer.
    for (int look = 0; look < 8 && !seen->corrupt; look++)
        takeWhatCame(w, seen, outcome, READ_PER_LOOK);
    if (!seen->quiet)
        finishDriverOutput();
    lookAtWatch(w, seen, outcome, true);
}

// A crash the worker noted: in a call, or on a driver thread during the run.
static void takeCrash(const WatchRecord &watch, DWORD exitCode, SessionOutcome *outcome)
{
    bool noted = watch.state == WATCH_CRASHED || watch.runCrash;
    outcome->end = SESSION_CRASHED;
    // Without the worker's own word (a stack overflow leaves it no room), the exit code tells.
    outcome->exceptionCode = noted ? watch.exceptionCode : exitCode;
    snprintf(outcome->module, sizeof outcome->module, "%s", noted ? watch.module : "");
    outcome->offset = watch.offset;
    outcome->onOtherThread = noted && watch.otherThread;
    if (watch.runCrash) {
        outcome->duringRun = true;
        outcome->crashRunSeconds = watch.crashRunSeconds;
        outcome->crashSwitches = watch.crashSwitches;
    }
}

// How the session ended, from what was seen and the process's exit code.
static void classifyEnd(const WorkerProcess &w, const WorkerSeen &seen, SessionOutcome *outcome)
{
    DWORD exitCode = 0;
    GetExitCodeProcess(w.process.hProcess, &exitCode);
    // A crash the worker noted stays a crash, whatever came after it: the session hanging on the
    // broken driver, or the user's interrupt.
    bool crashNoted = seen.watch.state == WATCH_CRASHED || seen.watch.runCrash;
    // Interrupted, and ended for it or finished after it: where it was when the user interrupted.
    // A driver that crashed, hung or ended the process after the interrupt is that, told as coming
    // after it.
    bool userEnded = seen.interrupted && !crashNoted && (seen.endedByUser || seen.done);
    outcome->interruptedBefore = seen.interrupted && !userEnded && !seen.corrupt;
    const WatchRecord &watch = userEnded ? seen.atInterrupt : seen.watch;
    // A crash keeps the call it came in.
    bool inCall = watch.state == WATCH_IN_CALL || watch.state == WATCH_CRASHED;
    snprintf(outcome->call, sizeof outcome->call, "%s", inCall ? watch.call : "");
    snprintf(outcome->lastCall, sizeof outcome->lastCall, "%s", watch.lastCall);
    outcome->duringRun = watch.state == WATCH_RUNNING;
    outcome->beforeFirstWord = watch.state == WATCH_STARTING;
    outcome->crashSwitches = outcome->duringRun ? watch.runSwitches : -1;
    double runSeconds = userEnded ? seen.runSecondsAtInterrupt : (GetTickCount64() - seen.since) / 1000.0;
    outcome->crashRunSeconds = outcome->duringRun ? runSeconds : 0;
    if (seen.corrupt) {
        outcome->end = SESSION_CORRUPTED;
    } else if (crashNoted) {
        takeCrash(watch, exitCode, outcome);
    } else if (userEnded) {
        outcome->end = SESSION_INTERRUPTED;
    } else if (seen.hung && watch.state == WATCH_STARTING) {
        // Silent past its limit before any driver was loaded: the worker's own start, not a driver.
        outcome->end = SESSION_NOT_STARTED;
        outcome->beforeFirstWord = true;
    } else if (seen.hung) {
        outcome->end = SESSION_HUNG;
    } else if (seen.done) {
        outcome->end = SESSION_FINISHED;
    } else if (watch.state == WATCH_STARTING) {
        // No driver was loaded yet: the worker itself failed.
        outcome->end = SESSION_NOT_STARTED;
        outcome->exitCode = exitCode;
        outcome->beforeFirstWord = true;
        outcome->limitSeconds = 0;
    } else if (exitCode >= 0xC0000000) {
        takeCrash(watch, exitCode, outcome);
    } else {
        outcome->end = SESSION_EXITED;
        outcome->exitCode = exitCode;
    }
    // The registration as the worker left it: cleared when it set the rate back itself.
    outcome->restoredRate = seen.watch.rateToRestore;
    outcome->rateRestore = seen.watch.rateRegistered ? RATE_NOT_SET_BACK : RATE_NOT_NEEDED;
}

// Sets the rate back in a new worker (the hidden command restore-rate) after a session that ended
// without doing it itself; that worker's session sets nothing it would have to set back.
static void restoreRateAfter(const CheckerOptions &options, SessionOutcome *outcome)
{
    if (outcome->end == SESSION_FINISHED || outcome->rateRestore != RATE_NOT_SET_BACK)
        return;
    if (!options.driver) {
        snprintf(outcome->rateText, sizeof outcome->rateText, "the sample rate was left changed");
        return;
    }
    std::string arguments = restoreRateArguments(options, outcome->restoredRate);
    // Its own failure line is kept out of the session's: the sentence tells it.
    char failure[512];
    snprintf(failure, sizeof failure, "%s", lastFailure());
    SessionOutcome restore;
    WorkerWait wait = {false, 0, nullptr, false, false};
    int code = runWorkerSession(options, arguments.c_str(), &restore, wait);
    tellRestore(restore, code, outcome);
    setFailureText(failure);
}

int runWorkerSession(const CheckerOptions &options, const char *commandArguments,
                     SessionOutcome *outcome, const WorkerWait &wait)
{
    memset(outcome, 0, sizeof *outcome);
    outcome->crashSwitches = -1;
    WorkerProcess w = {};
    WorkerSeen seen = {};
    seen.status = EXIT_CRASHED;
    seen.quiet = wait.quiet;
    seen.ownOutput = wait.ownOutput;
    if (wait.interruptible) {
        openInterruptEvent();
        takeInterruptEvent();
    }
    if (wait.interruptible && interruptRequested) {
        outcome->end = SESSION_INTERRUPTED;
    } else if (startWorker(commandArguments, &w, outcome)) {
        if (!wait.quiet)
            SetConsoleCtrlHandler(onConsoleControl, TRUE);
        watchWorker(options, &w, &seen, outcome, wait);
        classifyEnd(w, seen, outcome);
        SetConsoleCtrlHandler(onConsoleControl, FALSE);
    }
    closeWorker(&w);
    restoreRateAfter(options, outcome);
    describeOutcome(outcome);
    int code = seen.status;
    // A session that finished after the interrupt with a finding that stands whatever the cut
    // (a conformance check failed before it) keeps that status; otherwise the run was cut short.
    bool foundBefore = outcome->end == SESSION_INTERRUPTED && seen.done && seen.status == EXIT_CHECK_MISSED;
    if (outcome->end == SESSION_NOT_STARTED)
        code = EXIT_DRIVER;
    else if (outcome->end == SESSION_INTERRUPTED)
        code = foundBefore ? EXIT_CHECK_MISSED : EXIT_INTERRUPTED;
    else if (outcome->end != SESSION_FINISHED)
        code = EXIT_CRASHED;
    if (wait.quiet)
        return code;
    if (foundBefore) {
        char finding[512];
        snprintf(finding, sizeof finding, "%s", lastFailure());
        fail(code, "%s; then %s", finding, outcome->text);
    } else if (outcome->end != SESSION_FINISHED) {
        fail(code, "%s", outcome->text);
    }
    if (outcome->rateText[0]) {
        fprintf(stderr, "quorvelcheck: %s\n", outcome->rateText);
        fflush(stderr);
    }
    return code;
}

int runDriverSession(const CheckerOptions &options, int (*session)(const CheckerOptions &),
                     const char *commandArguments, SessionOutcome *outcome)
{
    if (!options.inProcess) {
        WorkerWait wait = {true, 0, nullptr, false, false};
        return runWorkerSession(options, commandArguments, outcome, wait);
    }
    memset(outcome, 0, sizeof *outcome);
    outcome->end = SESSION_FINISHED;
    outcome->inProcess = true;
    outcome->crashSwitches = -1;
    return session(options);
}

int runFreshWorker(const CheckerOptions &options, int (*session)(const CheckerOptions &),
                   const char *arguments, SessionOutcome *outcome)
{
    if (!options.inProcess) {
        WorkerWait wait = {true, 0, nullptr, true, true};
        return runWorkerSession(options, arguments, outcome, wait);
    }
    memset(outcome, 0, sizeof *outcome);
    outcome->end = SESSION_FINISHED;
    outcome->inProcess = true;
    outcome->crashSwitches = -1;
    return session(options);
}

int runWorkerEndedBy(const CheckerOptions &options, const char *arguments, bool (*poll)(),
                     SessionOutcome *outcome)
{
    if (options.inProcess) {
        memset(outcome, 0, sizeof *outcome);
        outcome->inProcess = true;
        return fail(EXIT_USAGE, "a worker to be ended needs a worker: not with --in-process");
    }
    WorkerWait wait = {true, 0, poll, true, true};
    return runWorkerSession(options, arguments, outcome, wait);
}

static bool (*besidePoll)();

// The caller's poll, and what ends the run it waits in: a driver thread's crash, the interrupt.
static bool pollBeside()
{
    return (besidePoll && besidePoll()) || runCrashed() || runStopAsked();
}

int runBesideRun(const CheckerOptions &options, const char *arguments, double wholeSeconds,
                 bool (*poll)(), SessionOutcome *outcome)
{
    watchRun(wholeSeconds);
    besidePoll = poll;
    // Nothing of the second worker is this session's failure: its story is in *outcome.
    char failure[512];
    snprintf(failure, sizeof failure, "%s", lastFailure());
    WorkerWait wait = {false, wholeSeconds, pollBeside, true, false};
    int code = runWorkerSession(options, arguments, outcome, wait);
    setFailureText(failure);
    besidePoll = nullptr;
    watchRun(0);
    return code;
}
