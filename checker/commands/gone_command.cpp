// quorvelcheck gone: the device goes away while the driver streams (a command line of the user's,
// or a person at the machine), the checker watches what the driver does, and fresh workers then try
// to open it again.
#include "checker/commands/commands.h"

#include "drivers/driver_loading.h"
#include "engine/loopback.h"

#include <windows.h>
#include <math.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <string>

GoneResults goneResults;
GoneBackResults goneBackResults;
GoneBack goneBack;

static const char *goneFault(const void *copy)
{
    const GoneResults &r = *static_cast<const GoneResults *>(copy);
    if (!inRange(r.stage, GONE_NOTHING, GONE_STOPPED))
        return "stage";
    if (!inRange(r.way, GONE_BY_COMMAND, GONE_BY_STEP))
        return "way";
    if (!inRange(r.eventCount, 0, MAX_GONE_EVENTS))
        return "eventCount";
    for (int i = 0; i < r.eventCount; i++) {
        if (!inRange(r.events[i].kind, GONE_EVENT_COMMAND_ENDED, GONE_EVENT_POSITION))
            return "events.kind";
    }
    return runSetupFault(r.setup);
}

extern const RecordSpec goneRecord = {&goneResults, sizeof goneResults, "gone", goneFault};

static const char *goneBackFault(const void *copy)
{
    const GoneBackResults &r = *static_cast<const GoneBackResults *>(copy);
    return inRange(r.stage, BACK_NOTHING, BACK_STREAMED) ? nullptr : "stage";
}

extern const RecordSpec goneBackRecord = {&goneBackResults, sizeof goneBackResults, "gone back",
    goneBackFault};

// ---- A command line of the user's, started and waited for with a limit. Its standard handles
// are the null device: its output is not the driver's.

struct CommandRun {
    bool started, ended;
    unsigned long error, exitCode;
    HANDLE process;
};

static bool startCommandLine(const char *line, CommandRun *run)
{
    memset(run, 0, sizeof *run);
    SECURITY_ATTRIBUTES inherit = {sizeof inherit, nullptr, TRUE};
    HANDLE nul = CreateFileA("NUL", GENERIC_READ | GENERIC_WRITE, FILE_SHARE_READ | FILE_SHARE_WRITE,
                             &inherit, OPEN_EXISTING, 0, nullptr);
    STARTUPINFOA startup = {};
    startup.cb = sizeof startup;
    startup.dwFlags = STARTF_USESTDHANDLES;
    startup.hStdInput = startup.hStdOutput = startup.hStdError = nul;
    std::string text = line;
    PROCESS_INFORMATION process = {};
    BOOL made = CreateProcessA(nullptr, &text[0], nullptr, nullptr, TRUE, CREATE_NO_WINDOW, nullptr,
                               nullptr, &startup, &process);
    if (nul != INVALID_HANDLE_VALUE)
        CloseHandle(nul);
    if (!made) {
        run->error = GetLastError();
        return false;
    }
    CloseHandle(process.hThread);
    run->started = true;
    run->process = process.hProcess;
    return true;
}

// True once it ended (its exit code noted); after `limit` it is ended and false.
static bool commandEnded(CommandRun *run, double elapsedS, double limit)
{
    if (!run->process)
        return true;
    if (WaitForSingleObject(run->process, 0) == WAIT_OBJECT_0) {
        DWORD code = 0;
        GetExitCodeProcess(run->process, &code);
        run->exitCode = code;
        run->ended = true;
    } else if (elapsedS < limit) {
        return false;
    } else {
        TerminateProcess(run->process, 1);
    }
    CloseHandle(run->process);
    run->process = nullptr;
    return true;
}

// ---- The gone session, in the worker

static double msSince(int64_t from, int64_t to)
{
    return ticksToUs(to - from) / 1000.0;
}

// The event added; past the room, a spare that is not kept (it is counted).
static GoneEvent *addEvent(GoneResults *r, int64_t at, int kind)
{
    static GoneEvent spare;
    if (r->eventCount >= MAX_GONE_EVENTS) {
        r->eventsLost++;
        return &spare;
    }
    GoneEvent &e = r->events[r->eventCount++];
    memset(&e, 0, sizeof e);
    e.ms = msSince(r->goneAt, at);
    e.kind = kind;
    return &e;
}

// What the watch knows of the switches between its looks.
struct SwitchWatch {
    size_t seen;          // arrivals kept so far
    int64_t lastAt;       // the last one, on the performance counter
    bool stopped;         // none for GAP_PERIODS periods (at least GAP_MS) at the last look
};
static const double GAP_PERIODS = 4, GAP_MS = 50;

static void lookAtSwitches(GoneResults *r, SwitchWatch *w)
{
    drainArrivals();
    size_t count = 0;
    const int64_t *arrivals = keptArrivals(&count);
    watchRunSwitches(arrivalRing.claimed.load());
    int64_t now = performanceTicks();
    if (count > w->seen) {
        w->lastAt = switchTicksToCounter(arrivals[count - 1]);
        w->seen = count;
        if (w->stopped) {
            addEvent(r, w->lastAt, GONE_EVENT_CAME_AGAIN);
            w->stopped = false;
        }
    }
    double gapMs = msSince(w->lastAt, now);
    double periodMs = r->setup.periodUs / 1000.0;
    double boundMs = periodMs > 0 && GAP_PERIODS * periodMs > GAP_MS ? GAP_PERIODS * periodMs : GAP_MS;
    if (!w->stopped && w->seen > 0 && gapMs > boundMs) {
        w->stopped = true;
        addEvent(r, now, GONE_EVENT_STOPPED)->periods = periodMs > 0 ? gapMs / periodMs : NAN;
    }
}

static void pollPosition(GoneResults *r)
{
    ASIOSamples position;
    ASIOTimeStamp stamp;
    ASIOError answer = asioGetSamplePosition(&position, &stamp);
    int64_t at = performanceTicks();
    if (answer != ASE_OK)
        r->pollsNotOk++;
    if (r->polls == 0 || answer != r->lastPositionAnswer) {
        addEvent(r, at, GONE_EVENT_POSITION)->answer = answer;
    }
    r->lastPositionAnswer = answer;
    r->polls++;
}

// The driver's notifications since the device was made to go and since the last call, among the
// events; its threads numbered in the order they first spoke, the session's own 0.
static void takeGoneNotifications(GoneResults *r)
{
    static Notification log[NOTIFICATION_ROOM];
    static long taken = 0;
    static uint32_t threads[16];
    static int known = 0;
    long count = takeNotifications(taken, log, NOTIFICATION_ROOM);
    taken += count;
    uint32_t own = GetCurrentThreadId();
    for (long i = 0; i < count; i++) {
        const Notification &n = log[i];
        int64_t at = switchTicksToCounter(n.ticks);
        if (at < r->goneAt)
            continue;
        int number = 0;
        if (n.thread != own) {
            while (number < known && threads[number] != n.thread)
                number++;
            if (number == known && known < 16)
                threads[known++] = n.thread;
            number++;
        }
        GoneEvent *e = addEvent(r, at, n.kind == NOTIFY_RATE ? GONE_EVENT_RATE : GONE_EVENT_MESSAGE);
        e->selector = n.selector;
        e->value = n.value;
        e->answer = n.answer;
        e->rate = n.rate;
        e->thread = number;
    }
}

static void sortEvents(GoneResults *r)
{
    for (int i = 1; i < r->eventCount; i++) {
        GoneEvent e = r->events[i];
        int j = i;
        for (; j > 0 && r->events[j - 1].ms > e.ms; j--)
            r->events[j] = r->events[j - 1];
        r->events[j] = e;
    }
}

static double stepLeft;

// The switches and notifications so far, into the record, and the record to the parent.
static void noteWhatCame(GoneResults *r, const SwitchWatch &w)
{
    r->switchesStopped = w.stopped;
    r->lastSwitchAt = w.lastAt;
    r->lastSwitchMs = w.seen > 0 ? msSince(r->goneAt, w.lastAt) : NAN;
    r->switches = static_cast<long long>(w.seen);
    takeGoneNotifications(r);
    sortEvents(r);
    publishRecord(&goneResults);
}

// From the moment the device is made to go: the command (or the person's step), then the watch,
// the switches looked at every 10 ms or so and getSamplePosition asked every 100 ms.
static int makeItGo(const CheckerOptions &options, GoneResults *r)
{
    CommandRun command = {};
    r->way = options.goneCommand ? GONE_BY_COMMAND : GONE_BY_STEP;
    drainArrivals();
    size_t before = 0;
    keptArrivals(&before);
    r->switchesBefore = static_cast<long long>(before);
    SwitchWatch w = {before, 0, false};
    if (before > 0)
        w.lastAt = switchTicksToCounter(keptArrivals(&before)[before - 1]);
    r->goneAt = performanceTicks();
    r->stage = GONE_GOING;
    if (options.goneCommand && !startCommandLine(options.goneCommand, &command)) {
        r->commandError = command.error;
        publishRecord(&goneResults);
        return fail(EXIT_USAGE, "the gone command could not be started (error %lu): %s",
                    command.error, options.goneCommand);
    }
    r->commandStarted = command.started;
    publishRecord(&goneResults);

    bool console = progressWanted();
    int64_t watchFrom = 0;
    int64_t lastPoll = 0;
    for (;;) {
        int64_t now = performanceTicks();
        double s = msSince(r->goneAt, now) / 1000.0;
        if (!watchFrom) {
            bool over = false;
            if (options.goneCommand) {
                over = commandEnded(&command, s, GONE_COMMAND_SECONDS);
                if (over) {
                    r->commandEnded = command.ended;
                    r->commandExit = command.exitCode;
                    r->commandMs = s * 1000;
                    GoneEvent *e = addEvent(r, now, command.ended ? GONE_EVENT_COMMAND_ENDED
                                                                  : GONE_EVENT_COMMAND_LIMIT);
                    e->answer = static_cast<int32_t>(command.exitCode);
                }
            } else {
                stepLeft = options.goneStep - s;
                over = stepLeft <= 0;
                if (over)
                    addEvent(r, now, GONE_EVENT_STEP_ENDED);
                else if (console)
                    showProgress("Unplug or switch off the device now: you have %.0f seconds.", ceil(stepLeft));
            }
            if (over) {
                watchFrom = now;
                clearProgress();
            }
        }
        lookAtSwitches(r, &w);
        if (watchFrom && (lastPoll == 0 || msSince(lastPoll, now) >= 100)) {
            // What came so far is handed over first: a poll that never returns leaves it shown.
            noteWhatCame(r, w);
            lastPoll = now;
            pollPosition(r);
        }
        if (runCrashed() || runStopAsked())
            break;
        if (watchFrom && msSince(watchFrom, now) >= GONE_WATCH_SECONDS * 1000)
            break;
        pumpMessages(10);
    }
    // Cut short by a crash or the interrupt: the command is left to run (it ends with the worker's
    // job should the worker be ended).
    if (command.process)
        CloseHandle(command.process);
    clearProgress();
    noteWhatCame(r, w);
    return EXIT_FINE;
}

static int goneSession(const CheckerOptions &options)
{
    GoneResults &r = goneResults;
    int code = openRun(options, &r.setup);
    if (code == EXIT_FINE && !prepareTiming(options.seconds + GONE_COMMAND_SECONDS + GONE_WATCH_SECONDS +
                                            options.goneStep, r.setup.periodUs))
        code = fail(EXIT_SHORTFALL, "the checker has no memory for the timing of the run");
    if (code == EXIT_FINE) {
        r.stage = GONE_STREAMING;
        publishRecord(&goneResults);
        resetMessageCounts(false);
        noteSwitchCounter(nullptr);
        code = beginRun(&timedCallbacks, &r.setup);
    }
    if (code != EXIT_FINE) {
        publishRecord(&callNotes);
        closeChosenDriver();
        return code;
    }
    publishRecord(&goneResults);
    // One watched run from start to stop: the stream, the going and the watch after it, so that a
    // crash on the driver's thread is timed from the start.
    watchRun(options.seconds + (options.goneCommand ? GONE_COMMAND_SECONDS : options.goneStep) +
             GONE_WATCH_SECONDS + 5);
    int64_t started = performanceTicks();
    while (!runCrashed() && !runStopAsked() && msSince(started, performanceTicks()) < options.seconds * 1000) {
        drainArrivals();
        watchRunSwitches(arrivalRing.claimed.load());
        pumpMessages(10);
        if (progressWanted()) {
            showProgress("gone: streaming, %.1f of %.1f s before the device is made to go",
                         msSince(started, performanceTicks()) / 1000, options.seconds);
        }
    }
    clearProgress();
    if (!runCrashed() && !runStopAsked())
        code = makeItGo(options, &r);
    watchRun(0);
    // Published before the stop is asked for: what was seen stands should stop never return.
    r.stage = GONE_WATCHED;
    publishRecord(&goneResults);
    publishRecord(&callNotes);

    endCrashedRun();
    int64_t from = performanceTicks();
    endLoopback(&r.stopResult, &r.disposeResult);
    r.endMs = msSince(from, performanceTicks());
    noteCall(r.stopResult, "stop");
    noteCall(r.disposeResult, "disposeBuffers");
    r.stage = GONE_STOPPED;
    closeChosenDriver();
    publishRecord(&goneResults);
    publishRecord(&callNotes);
    if (runStopAsked())
        return EXIT_INTERRUPTED;
    return code;
}

// ---- The fresh worker: the hidden command gone-back, DRIVER the list index.

static const double BACK_STREAM_SECONDS = 0.3;

static int goneBackRules(CheckerOptions *o, const ArgumentFacts &facts)
{
    int code = requireDriver(o, facts);
    o->probeIndex = o->driver ? atoi(o->driver) : 0;
    return code;
}

static int goneBackSession(const CheckerOptions &options)
{
    GoneBackResults &r = goneBackResults;
    loadDriverList();
    int code = openChosenDriver(options.probeIndex);
    if (code == EXIT_FINE) {
        r.stage = BACK_OPENED;
        r.channelsResult = asioGetChannels(&r.inputs, &r.outputs);
        r.stage = BACK_CHANNELS;
        publishRecord(&goneBackResults);
        char name[32];
        if (r.channelsResult != ASE_OK) {
            code = fail(EXIT_DRIVER, "getChannels answered %s",
                        asioErrorName(r.channelsResult, name, sizeof name));
        }
    }
    RunSetup setup = {};
    if (code == EXIT_FINE) {
        CheckerOptions own = options;
        own.rate = 0;
        own.bufferSize = 0;
        code = prepareRun(own, &setup);
    }
    if (code == EXIT_FINE && !prepareTiming(BACK_STREAM_SECONDS, setup.periodUs))
        code = fail(EXIT_SHORTFALL, "the checker has no memory for the timing of the run");
    if (code == EXIT_FINE) {
        resetMessageCounts(false);
        code = beginRun(&timedCallbacks, &setup);
    }
    if (code == EXIT_FINE) {
        r.stage = BACK_STARTED;
        publishRecord(&goneBackResults);
        waitForRun(BACK_STREAM_SECONDS, nullptr, nullptr);
        TimingFigures timing;
        judgeWindow(&setup, &timing);
        endRun(&setup, &timing);
        r.switches = timing.switches;
        r.stage = BACK_STREAMED;
        if (r.switches == 0)
            code = fail(EXIT_DRIVER, "it started but made no buffer switch in %.1f s", BACK_STREAM_SECONDS);
    }
    closeChosenDriver();
    publishRecord(&goneBackResults);
    return code;
}

extern const CommandSpec goneBackCommandSpec = {
    "gone-back", "gone-back INDEX", "", "", WORKER_OPTIONS, true, goneBackRules, nullptr,
    goneBackSession,
};

// ---- The parent: the gone worker, then the back command and the fresh workers.

static void runBackCommand(const char *line)
{
    GoneBack &b = goneBack;
    b.backCommandGiven = true;
    CommandRun command;
    int64_t from = performanceTicks();
    b.backCommandStarted = startCommandLine(line, &command);
    b.backCommandError = command.error;
    while (b.backCommandStarted) {
        double s = msSince(from, performanceTicks()) / 1000;
        if (commandEnded(&command, s, GONE_COMMAND_SECONDS))
            break;
        Sleep(10);
    }
    b.backCommandEnded = command.ended;
    b.backCommandExit = command.exitCode;
    b.backCommandMs = msSince(from, performanceTicks());
}

// Why a try did not come back, in the words of the text.
static void backReason(int code, const SessionOutcome &outcome, char *out, size_t size)
{
    const GoneBackResults &r = goneBackResults;
    const OpenedDriver &d = openedDriver;
    char name[32];
    if (outcome.end != SESSION_FINISHED)
        snprintf(out, size, "%s", outcome.text);
    else if (!d.created)
        snprintf(out, size, "its COM object could not be made (%s)", comResultText(d.createResult, name, sizeof name));
    else if (!d.initialised)
        snprintf(out, size, "init answered 0 (%s)", d.errorMessage[0] ? d.errorMessage : "no message");
    else if (r.stage >= BACK_CHANNELS && r.channelsResult != ASE_OK)
        snprintf(out, size, "getChannels answered %s", asioErrorName(r.channelsResult, name, sizeof name));
    else
        snprintf(out, size, "%s", code != EXIT_FINE ? lastFailure() : "it did not stream");
}

static void tryFreshWorkers(const CheckerOptions &options, int index)
{
    GoneBack &b = goneBack;
    int64_t origin = performanceTicks();
    b.tried = true;
    b.seconds = options.backSeconds;
    char arguments[96];
    snprintf(arguments, sizeof arguments, "gone-back %d --call-timeout %g", index, options.callTimeout);
    CheckerOptions one = options;
    one.command = &goneBackCommandSpec;
    one.probeIndex = index;
    char failure[512];
    snprintf(failure, sizeof failure, "%s", lastFailure());
    for (;;) {
        int64_t tryAt = performanceTicks();
        memset(&goneBackResults, 0, sizeof goneBackResults);
        memset(&openedDriver, 0, sizeof openedDriver);
        SessionOutcome outcome;
        int code = runFreshWorker(one, goneBackSession, arguments, &outcome);
        b.tries++;
        if (code == EXIT_FINE && goneBackResults.stage == BACK_STREAMED) {
            int64_t at = openedDriver.initialisedAt ? openedDriver.initialisedAt : tryAt;
            b.cameBack = true;
            b.afterOriginMs = msSince(origin, at);
            b.afterGoneMs = goneResults.lastSwitchAt ? msSince(goneResults.lastSwitchAt, at) : NAN;
            break;
        }
        backReason(code, outcome, b.reason, sizeof b.reason);
        if (outcome.end == SESSION_INTERRUPTED)
            break;
        if (outcome.end != SESSION_FINISHED && outcome.end != SESSION_NOT_STARTED) {
            b.crashed = true;
            break;
        }
        double spentS = msSince(origin, performanceTicks()) / 1000;
        if (spentS >= options.backSeconds)
            break;
        double waitMs = 1000 - msSince(tryAt, performanceTicks());
        if (waitMs > 0)
            Sleep(static_cast<DWORD>(waitMs));
    }
    setFailureText(failure);
}

int measureGone(const CheckerOptions &options, int index, const char *arguments,
                SessionOutcome *outcome)
{
    memset(&goneBack, 0, sizeof goneBack);
    int code = measureSession(options, &goneResults, sizeof goneResults, goneSession, arguments, outcome);
    // Nothing was made to go, or the user stopped it: no fresh worker is asked.
    if (goneResults.stage < GONE_GOING || code == EXIT_USAGE || code == EXIT_INTERRUPTED ||
        outcome->end == SESSION_INTERRUPTED)
        return code;
    // The back command whatever happened, as the device may be half gone; a device that did not go
    // is not looked for again, one whose driver crashed or hung is.
    if (options.backCommand)
        runBackCommand(options.backCommand);
    if (goneResults.switchesStopped || outcome->end != SESSION_FINISHED)
        tryFreshWorkers(options, index);
    GoneFindings f;
    judgeGone(*outcome, code, &f);
    if (f.ended == GONE_FAIL)
        return worseStatus(code, EXIT_CRASHED);
    if (!f.judged)
        return worseStatus(code, fail(EXIT_SHORTFALL, "%s", f.noticedText));
    if (f.back == GONE_FAIL)
        code = worseStatus(code, fail(goneBack.crashed ? EXIT_CRASHED : EXIT_CHECK_MISSED, "%s", f.backText));
    return code;
}

bool personAtTheMachine()
{
    DWORD mode = 0;
    return GetConsoleMode(GetStdHandle(STD_INPUT_HANDLE), &mode) &&
           GetConsoleMode(GetStdHandle(STD_ERROR_HANDLE), &mode);
}

static int goneRules(CheckerOptions *o, const ArgumentFacts &facts)
{
    int code = requireDriver(o, facts);
    if (code != EXIT_FINE)
        return code;
    if (!o->goneCommand && !(o->goneStep > 0))
        return fail(EXIT_USAGE, "gone needs --gone-command CMD or --gone-step S: how the device is made to go");
    if (o->goneCommand && o->goneStep > 0)
        return fail(EXIT_USAGE, "gone takes --gone-command or --gone-step, not both");
    if (!facts.given[OPTION_SECONDS])
        o->seconds = 2;
    return EXIT_FINE;
}

static int goneCommand(const CheckerOptions &options)
{
    if (options.goneStep > 0 && !personAtTheMachine()) {
        return fail(EXIT_USAGE, "--gone-step asks a person at the machine, and standard input or error "
                    "is not a console: nothing was run; give --gone-command for an unattended run");
    }
    return runDriverCommand(options, measureGone, writeGoneDocument, printGoneText);
}

static const char *const goneHelp =
    "usage: quorvelcheck gone DRIVER (--gone-command CMD | --gone-step S) [--back-command CMD]\n"
    "                         [--seconds S] [--back-seconds S] [--buffer N] [--rate R] [--json]\n"
    "\n"
    "Streams for S seconds (2), then makes the device go away while the driver streams, and shows\n"
    "what the driver did, in order and with times: the switches stopping, its reset or resync\n"
    "requests, getSamplePosition's answers (asked every 100 ms for 2 s after the command ended), what\n"
    "stop and disposeBuffers answered. Then fresh processes try to open the driver again, once a\n"
    "second, until one opens it and streams. A driver that stays silent (its calls all answer ASE_OK)\n"
    "warns; a crash or a stop that never returns fails (exit 4); a device that does not come back\n"
    "fails (exit 1). Switches that never stopped mean the device did not go: nothing is judged\n"
    "(exit 6).\n"
    "\n"
    "  --gone-command CMD     a command line that disables the device (a device manager's),\n"
    "                         started once the stream has run S seconds; waited for at most 60 s\n"
    "  --back-command CMD     a command line that enables it again, run after the first process\n"
    "                         ended\n"
    "  --gone-step S          for a person at the machine: S seconds to unplug or switch off the\n"
    "                         device (standard input and error must be a console)\n"
    "  --back-seconds S       how long fresh processes try to open the driver again (30)\n";

extern const CommandSpec goneCommandSpec = {
    "gone", "gone DRIVER", "the device going away while the driver streams, and coming back", goneHelp,
    WORKER_OPTIONS | OPTION_BIT(OPTION_SECONDS) | OPTION_BIT(OPTION_BUFFER) | OPTION_BIT(OPTION_RATE) |
        OPTION_BIT(OPTION_GONE_COMMAND) | OPTION_BIT(OPTION_BACK_COMMAND) |
        OPTION_BIT(OPTION_GONE_STEP) | OPTION_BIT(OPTION_BACK_SECONDS),
    false, goneRules, goneCommand, goneSession,
};
