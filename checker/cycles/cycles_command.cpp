// quorvelcheck cycles: the parent starts the workers (clean cycles, a fresh worker every
// --fresh-every of them, then the dirty endings, each followed by a fresh worker), kills the one
// that is to be killed while it streams, and gathers every cycle.
#include "checker/cycles/cycles.h"

#include <windows.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>

CyclesRun cyclesRun;

// How long the stream of the worker to be killed runs before the parent ends it.
static const ULONGLONG KILL_AFTER_MS = 200;
static ULONGLONG streamingSeenAt;
static bool killedByParent;
// Every worker's calls that did not answer ASE_OK: each worker hands back its own.
static CallNotes gatheredNotes;

static void gatherNotes()
{
    CallNotes &all = gatheredNotes;
    for (int i = 0; i < callNotes.count; i++) {
        if (all.count < MAX_NOTED_CALLS)
            all.calls[all.count++] = callNotes.calls[i];
        else
            all.dropped++;
    }
    all.dropped += callNotes.dropped;
}

// The poll of the worker to be killed: true once its cycle has streamed KILL_AFTER_MS.
static bool killWhenStreaming()
{
    const CyclesWorkerResults &w = cyclesWorker;
    if (w.count < 1 || w.cycles[w.count - 1].stage < CYCLE_STREAMING)
        return false;
    ULONGLONG now = GetTickCount64();
    if (!streamingSeenAt)
        streamingSeenAt = now;
    if (now - streamingSeenAt < KILL_AFTER_MS)
        return false;
    killedByParent = true;
    return true;
}

// A crash, a hang, an end of the process or a corrupted record.
static bool brokeDown(const SessionOutcome &outcome)
{
    return outcome.end == SESSION_CRASHED || outcome.end == SESSION_HUNG ||
           outcome.end == SESSION_EXITED || outcome.end == SESSION_CORRUPTED;
}

// One worker: `count` cycles from `first`, the last ended by `ending`; its cycles added to the run.
// False when the command is to end here (a crash, the interrupt, the checker's shortfall).
static bool runWorker(const CheckerOptions &options, int index, int first, int count, int ending,
                      SessionOutcome *outcome)
{
    CyclesRun &run = cyclesRun;
    memset(&cyclesWorker, 0, sizeof cyclesWorker);
    memset(&callNotes, 0, sizeof callNotes);
    char arguments[200];
    snprintf(arguments, sizeof arguments, "cycles-run %d --count %d --seconds %g --first-cycle %d "
             "--ending %s --call-timeout %g", index, count, options.seconds, first, endingOption(ending),
             options.callTimeout);
    CheckerOptions one = options;
    one.command = &cyclesRunCommandSpec;
    one.probeIndex = index;
    streamingSeenAt = 0;
    killedByParent = false;
    int code = ending == ENDING_KILLED ? runWorkerEndedBy(one, arguments, killWhenStreaming, outcome)
                                       : runFreshWorker(one, cyclesRunSession, arguments, outcome);
    run.workers++;
    gatherNotes();
    int last = run.count;
    for (int i = 0; i < cyclesWorker.count && run.count < MAX_ALL_CYCLES; i++) {
        CycleResult &c = run.cycles[run.count++];
        c = cyclesWorker.cycles[i];
        c.worker = run.workers;
    }
    if (killedByParent) {
        CycleResult &c = run.cycles[run.count - 1];
        c.ok = true;
        snprintf(c.failure, sizeof c.failure, "%s", "");
        return true;
    }
    if (brokeDown(*outcome)) {
        run.crashedCycle = run.count > last ? run.cycles[run.count - 1].number : first;
        run.crash = *outcome;
        return false;
    }
    if (outcome->end == SESSION_INTERRUPTED || code == EXIT_INTERRUPTED) {
        run.interrupted = true;
        return false;
    }
    if (outcome->end == SESSION_NOT_STARTED || code == EXIT_SHORTFALL) {
        run.shortfall = true;
        snprintf(run.why, sizeof run.why, "%s", outcome->end == SESSION_NOT_STARTED ? outcome->text
                                                                                     : lastFailure());
        return false;
    }
    return true;
}

int measureCycles(const CheckerOptions &options, int index, const char *, SessionOutcome *outcome)
{
    memset(&cyclesRun, 0, sizeof cyclesRun);
    memset(&gatheredNotes, 0, sizeof gatheredNotes);
    memset(outcome, 0, sizeof *outcome);
    outcome->end = SESSION_FINISHED;
    bool going = true;
    for (int done = 0; going && done < options.cycles;) {
        int count = options.freshEvery < options.cycles - done ? static_cast<int>(options.freshEvery)
                                                               : static_cast<int>(options.cycles - done);
        if (progressWanted())
            showProgress("cycles: cycles %d to %d in a fresh process", done + 1, done + count);
        going = runWorker(options, index, done + 1, count, ENDING_CLEAN, outcome);
        done += count;
    }
    // Each dirty ending is followed by a fresh worker whose first cycle must open and stream: the
    // next ending's, and the last one's own. The kill comes last: a driver it breaks may stay broken.
    static const int dirty[] = {ENDING_RELEASED, ENDING_SECOND, ENDING_KILLED, ENDING_CLEAN};
    int number = static_cast<int>(options.cycles) + 1;
    for (int i = 0; going && !options.noDirty && i < 4; i++, number++) {
        if (progressWanted())
            showProgress("cycles: cycle %d, ending %s", number, endingOption(dirty[i]));
        going = runWorker(options, index, number, 1, dirty[i], outcome);
    }
    clearProgress();
    callNotes = gatheredNotes;
    const CyclesRun &run = cyclesRun;
    if (run.crashedCycle) {
        *outcome = run.crash;
        return fail(EXIT_CRASHED, "cycle %d: %s", run.crashedCycle, run.crash.text);
    }
    if (run.interrupted)
        return fail(EXIT_INTERRUPTED, "interrupted after %d cycles: what they measured is shown, "
                    "nothing is judged", run.count);
    if (run.shortfall)
        return fail(EXIT_SHORTFALL, "%s", run.why);
    bool anyOpened = false;
    for (int i = 0; i < run.count; i++)
        anyOpened = anyOpened || run.cycles[i].stage >= CYCLE_OPENED;
    if (!anyOpened) {
        return fail(EXIT_DRIVER, "driver %d could not be opened: %s", index,
                    run.count ? run.cycles[0].failure : "no cycle ran");
    }
    CyclesFindings findings;
    judgeCycles(options, &findings);
    return cyclesStatus(findings);
}

static int cyclesRules(CheckerOptions *o, const ArgumentFacts &facts)
{
    int code = requireDriver(o, facts);
    if (code == EXIT_FINE && !facts.given[OPTION_SECONDS])
        o->seconds = 1;
    return code;
}

static int cyclesCommand(const CheckerOptions &options)
{
    int code = runDriverCommand(options, measureCycles, writeCyclesDocument, printCyclesText);
    if (options.junitFile && code != EXIT_USAGE)
        code = worseStatus(code, writeCyclesJunit(options.junitFile, options, code));
    return code;
}

static const char *const cyclesHelp =
    "usage: quorvelcheck cycles DRIVER [--count N] [--fresh-every K] [--seconds S] [--no-dirty]\n"
    "                              [--junit FILE] [--json]\n"
    "\n"
    "Opens and closes the driver N times (8), as hosts do: each cycle creates the object, calls\n"
    "init, reads every figure, creates buffers, starts, streams S seconds (1), stops, disposes the\n"
    "buffers and releases the object. The buffer size steps through the sizes the driver allows\n"
    "(its min, preferred and max among them) and the rate through the usual rates canSampleRate\n"
    "accepts; the rate is set back at each Release. Every K cycles (4) run in a fresh process, the\n"
    "others in the same one. Then three dirty endings, each followed by a fresh process that must\n"
    "open the driver and stream again: the object released without stop and disposeBuffers, a\n"
    "second object made while the first streams, and the process killed while it streams.\n"
    "\n"
    "Per cycle: the times of create, init, start and the first switch, the figures read right\n"
    "after init, and the process's handles, threads and private memory after the Release. A cycle\n"
    "that fails, a driver that cannot be opened after a dirty ending, a size or latency that grows\n"
    "from open to open, and handles, threads or memory that grow per cycle clear of the noise fail\n"
    "(exit 1); another figure that changes warns. Growth is fitted over each process's cycles after\n"
    "its first (the baseline) and needs 4 in one process; with fewer it is not judged.\n"
    "\n"
    "  --count N              clean cycles, 1 to 100 (8)\n"
    "  --fresh-every K        a fresh process every K cycles (4)\n"
    "  --no-dirty             no dirty endings\n"
    "  --junit FILE           JUnit XML: one test case per finding\n";

extern const CommandSpec cyclesCommandSpec = {
    "cycles", "cycles DRIVER", "opening and closing the driver over and over, clean and dirty",
    cyclesHelp,
    OPTION_BIT(OPTION_CALL_TIMEOUT) | OPTION_BIT(OPTION_SECONDS) | OPTION_BIT(OPTION_CYCLES) |
        OPTION_BIT(OPTION_FRESH_EVERY) | OPTION_BIT(OPTION_NO_DIRTY) | OPTION_BIT(OPTION_JUNIT),
    false, cyclesRules, cyclesCommand, nullptr,
};

// ---- The worker's hidden command: cycles-run INDEX, the list index.

static int cyclesRunRules(CheckerOptions *o, const ArgumentFacts &facts)
{
    int code = requireDriver(o, facts);
    o->probeIndex = o->driver ? atoi(o->driver) : 0;
    return code;
}

extern const CommandSpec cyclesRunCommandSpec = {
    "cycles-run", "cycles-run INDEX", "", "",
    OPTION_BIT(OPTION_CALL_TIMEOUT) | OPTION_BIT(OPTION_SECONDS) | OPTION_BIT(OPTION_CYCLES) |
        OPTION_BIT(OPTION_FIRST_CYCLE) | OPTION_BIT(OPTION_ENDING),
    true, cyclesRunRules, nullptr, cyclesRunSession,
};
