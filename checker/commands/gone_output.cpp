// quorvelcheck gone: its verdicts, its text and its document.
#include "checker/commands/commands.h"

#include <math.h>
#include <stdio.h>
#include <string.h>

static const char *const verdictWords[] = {"PASS", "WARN", "FAIL", "not run"};

static bool saysGone(int answer)
{
    return answer == ASE_NotPresent || answer == ASE_HWMalfunction;
}

// The first thing the driver did that says the device went: "a reset request (3) 12.3 ms after
// the device was made to go"; "" when it said nothing.
static void firstSign(const GoneResults &r, char *out, size_t size)
{
    char name[32];
    *out = '\0';
    for (int i = 0; i < r.eventCount; i++) {
        const GoneEvent &e = r.events[i];
        if (e.kind == GONE_EVENT_MESSAGE && (e.selector == ASIO_MSG_RESET_REQUEST ||
                                             e.selector == ASIO_MSG_RESYNC_REQUEST)) {
            snprintf(out, size, "it sent a %s request (%d) at %+.1f ms",
                     e.selector == ASIO_MSG_RESET_REQUEST ? "reset" : "resync", e.selector, e.ms);
            return;
        }
        if (e.kind == GONE_EVENT_POSITION && saysGone(e.answer)) {
            snprintf(out, size, "getSamplePosition answered %s at %+.1f ms",
                     asioErrorName(e.answer, name, sizeof name), e.ms);
            return;
        }
    }
    if (r.stage >= GONE_STOPPED && (saysGone(r.stopResult) || saysGone(r.disposeResult))) {
        snprintf(out, size, "stop answered %s", asioErrorName(r.stopResult, name, sizeof name));
    }
}

static bool crashed(const SessionOutcome &outcome)
{
    return outcome.end == SESSION_CRASHED || outcome.end == SESSION_HUNG ||
           outcome.end == SESSION_EXITED || outcome.end == SESSION_CORRUPTED;
}

void judgeGone(const SessionOutcome &outcome, int, GoneFindings *f)
{
    const GoneResults &r = goneResults;
    const GoneBack &b = goneBack;
    memset(f, 0, sizeof *f);
    const char *going = r.way == GONE_BY_STEP ? "the time to unplug it" : "the gone command";
    f->judged = r.stage >= GONE_WATCHED && r.switchesStopped && r.switches > 0;

    if (crashed(outcome)) {
        f->ended = GONE_FAIL;
        snprintf(f->endedText, sizeof f->endedText, "%s", outcome.text);
    } else if (r.stage >= GONE_STOPPED) {
        char stop[32], dispose[32];
        f->ended = GONE_PASS;
        snprintf(f->endedText, sizeof f->endedText, "stop and disposeBuffers returned after %.1f ms "
                 "(%s, %s)", r.endMs, asioErrorName(r.stopResult, stop, sizeof stop),
                 asioErrorName(r.disposeResult, dispose, sizeof dispose));
    } else {
        f->ended = GONE_NOT_RUN;
        snprintf(f->endedText, sizeof f->endedText, "the run did not reach its stop");
    }

    char sign[160];
    firstSign(r, sign, sizeof sign);
    if (!f->judged) {
        f->noticed = GONE_NOT_RUN;
        if (crashed(outcome)) {
            snprintf(f->noticedText, sizeof f->noticedText, "the driver crashed, hung or ended the "
                     "process before the switches were seen to stop");
        } else if (r.stage < GONE_WATCHED) {
            snprintf(f->noticedText, sizeof f->noticedText, "the device was not made to go");
        } else {
            snprintf(f->noticedText, sizeof f->noticedText, "the switches did not stop after %s: it may "
                     "not have disabled this device (not the driver's fault); nothing to judge", going);
        }
    } else if (sign[0]) {
        f->noticed = GONE_PASS;
        snprintf(f->noticedText, sizeof f->noticedText, "the driver noticed: %s", sign);
    } else {
        f->noticed = GONE_WARN;
        snprintf(f->noticedText, sizeof f->noticedText, "the driver stayed silent: its callbacks simply "
                 "stopped and every call still answered ASE_OK; the host cannot tell the device went");
    }

    if (!b.tried || !(f->judged || crashed(outcome))) {
        f->back = GONE_NOT_RUN;
        snprintf(f->backText, sizeof f->backText, "%s", !b.tried ? "no fresh process tried to open it"
                                                                 : "the device did not go");
    } else if (b.cameBack) {
        f->back = GONE_PASS;
        snprintf(f->backText, sizeof f->backText, "the device came back %.1f s after %s: opened and "
                 "streamed in a fresh process", b.afterOriginMs / 1000,
                 b.backCommandGiven ? "the back command" : "the first process ended");
    } else if (b.crashed) {
        f->back = GONE_FAIL;
        snprintf(f->backText, sizeof f->backText, "a fresh process that opened it again failed: %s", b.reason);
    } else {
        f->back = GONE_FAIL;
        snprintf(f->backText, sizeof f->backText, "it did not come back within %g s (%d tr%s): %s",
                 b.seconds, b.tries, b.tries == 1 ? "y" : "ies", b.reason);
    }
}

static const char *eventKindName(int kind)
{
    static const char *const names[] = {"command_ended", "command_limit", "step_ended",
        "switches_stopped", "switches_again", "message", "rate", "position"};
    return kind >= 0 && kind <= GONE_EVENT_POSITION ? names[kind] : "?";
}

static void threadText(int thread, char *out, size_t size)
{
    if (thread == 0)
        snprintf(out, size, "the host's thread");
    else
        snprintf(out, size, "driver thread %d", thread);
}

static void eventText(const GoneResults &r, const GoneEvent &e, char *out, size_t size)
{
    char name[32], thread[32];
    threadText(e.thread, thread, sizeof thread);
    switch (e.kind) {
    case GONE_EVENT_COMMAND_ENDED:
        snprintf(out, size, "the gone command ended (exit %lu)", static_cast<unsigned long>(e.answer));
        break;
    case GONE_EVENT_COMMAND_LIMIT:
        snprintf(out, size, "the gone command had not ended after %.0f s: it was ended", GONE_COMMAND_SECONDS);
        break;
    case GONE_EVENT_STEP_ENDED:
        snprintf(out, size, "the time to unplug the device ran out");
        break;
    case GONE_EVENT_STOPPED:
        snprintf(out, size, "the switches stopped (the last came %.1f periods before)", e.periods);
        break;
    case GONE_EVENT_CAME_AGAIN:
        snprintf(out, size, "the switches came again");
        break;
    case GONE_EVENT_MESSAGE: {
        const char *selector = selectorName(e.selector);
        snprintf(out, size, "asioMessage %s (%d, value %d) from %s, answered %d",
                 selector ? selector : "of an unknown selector", e.selector, e.value, thread, e.answer);
        break;
    }
    case GONE_EVENT_RATE:
        snprintf(out, size, "sampleRateDidChange(%g) from %s", e.rate, thread);
        break;
    case GONE_EVENT_POSITION:
        snprintf(out, size, "getSamplePosition answered %s", asioErrorName(e.answer, name, sizeof name));
        break;
    default:
        snprintf(out, size, "?");
    }
    (void)r;
}

void printGoneText(const CheckerOptions &, int index, const SessionOutcome &outcome, int exitCode)
{
    if (!resultsStand(exitCode))
        return;
    const GoneResults &r = goneResults;
    const GoneBack &b = goneBack;
    const RunSetup &s = r.setup;
    printDriverHeading(index);
    if (r.stage < GONE_STREAMING) {
        printCallNotes();
        return;
    }
    char rate[32];
    formatRate(s.figures.sampleRate, rate, sizeof rate);
    printf("Run: %ld frames at %s Hz, period %.1f us; %lld switches before the device was made to go\n",
           s.bufferSize, rate, s.periodUs, r.switchesBefore);
    if (r.stage >= GONE_GOING) {
        printf("What the driver did, from the moment the device was made to go:\n");
        printf("  %+9.1f ms %s\n", 0.0, r.way == GONE_BY_STEP ? "the person was asked to unplug the device"
                                                              : "the gone command started");
        bool lastShown = !(r.switches > 0 && isfinite(r.lastSwitchMs));
        for (int i = 0; i < r.eventCount; i++) {
            const GoneEvent &e = r.events[i];
            if (!lastShown && r.lastSwitchMs <= e.ms) {
                printf("  %+9.1f ms the last buffer switch (%lld in all)\n", r.lastSwitchMs, r.switches);
                lastShown = true;
            }
            char text[200];
            eventText(r, e, text, sizeof text);
            printf("  %+9.1f ms %s\n", e.ms, text);
        }
        if (!lastShown)
            printf("  %+9.1f ms the last buffer switch (%lld in all)\n", r.lastSwitchMs, r.switches);
        if (r.eventsLost)
            printf("  (%ld more not kept)\n", r.eventsLost);
        if (r.stage >= GONE_WATCHED) {
            printf("getSamplePosition: asked %ld time%s in the %.0f s after %s, %ld answered other "
                   "than ASE_OK\n", r.polls, r.polls == 1 ? "" : "s", GONE_WATCH_SECONDS,
                   r.way == GONE_BY_STEP ? "the time to unplug it ran out" : "the gone command ended",
                   r.pollsNotOk);
        }
        if (r.stage >= GONE_STOPPED) {
            char stop[32], dispose[32];
            printf("stop() answered %s and disposeBuffers() %s, after %.1f ms together\n",
                   asioErrorName(r.stopResult, stop, sizeof stop),
                   asioErrorName(r.disposeResult, dispose, sizeof dispose), r.endMs);
        }
    }
    if (b.backCommandGiven) {
        if (b.backCommandStarted)
            printf("The back command %s after %.1f ms (exit %lu)\n", b.backCommandEnded ? "ended" : "was ended",
                   b.backCommandMs, b.backCommandExit);
        else
            printf("The back command could not be started (error %lu)\n", b.backCommandError);
    }
    if (b.tried && b.cameBack) {
        printf("Fresh processes: %d tr%s; the device came back %.1f s after %s, %.1f s after the last "
               "switch\n", b.tries, b.tries == 1 ? "y" : "ies", b.afterOriginMs / 1000,
               b.backCommandGiven ? "the back command" : "the first process ended", b.afterGoneMs / 1000);
    } else if (b.tried) {
        printf("Fresh processes: %d tr%s; the last: %s\n", b.tries, b.tries == 1 ? "y" : "ies", b.reason);
    }
    GoneFindings f;
    judgeGone(outcome, exitCode, &f);
    printf("Verdict noticed: %s: %s\n", verdictWords[f.noticed], f.noticedText);
    printf("Verdict stop: %s: %s\n", verdictWords[f.ended], f.endedText);
    printf("Verdict back: %s: %s\n", verdictWords[f.back], f.backText);
    printCallNotes();
}

static void jsonVerdict(const char *id, GoneVerdict verdict, const char *text)
{
    jsonBeginObject(nullptr);
    jsonText("id", id);
    jsonText("verdict", verdictWords[verdict]);
    jsonText("text", text);
    jsonEndObject();
}

// A command line the checker ran (the gone or the back command): "started", "ended", its
// "exit_code" (null before it ended) and its "ms".
static void jsonCommand(const char *key, bool started, bool ended, unsigned long exitCode, double ms)
{
    jsonBeginObject(key);
    jsonBool("started", started);
    jsonBool("ended", ended);
    if (ended)
        jsonInteger("exit_code", exitCode);
    else
        jsonNull("exit_code");
    jsonNumber("ms", ms);
    jsonEndObject();
}

void writeGoneDocument(const CheckerOptions &options, int index, const SessionOutcome &outcome,
                       int exitCode)
{
    const GoneResults &r = goneResults;
    const GoneBack &b = goneBack;
    const RunSetup &s = r.setup;
    if (!beginDocument(options, index, resultsStand(exitCode), exitCode))
        return;
    char name[32];
    static const char *const stages[] = {"opened", "streaming", "going", "watched", "stopped"};
    jsonText("stage", stages[r.stage]);
    if (r.stage >= GONE_STREAMING) {
        jsonInteger("buffer_size", s.bufferSize);
        jsonNumber("sample_rate", s.figures.sampleRate);
        jsonNumber("period_us", s.periodUs > 0 ? s.periodUs : NAN);
    }
    if (r.stage >= GONE_GOING) {
        jsonText("way", r.way == GONE_BY_STEP ? "step" : "command");
        if (r.way == GONE_BY_COMMAND) {
            jsonCommand("gone_command", r.commandStarted, r.commandEnded, r.commandExit, r.commandMs);
        }
        jsonInteger("switches_before", r.switchesBefore);
        jsonInteger("switches", r.switches);
        jsonBool("switches_stopped", r.switchesStopped);
        jsonNumber("last_switch_ms", r.lastSwitchMs);
        jsonInteger("polls", r.polls);
        jsonInteger("polls_not_ok", r.pollsNotOk);
        jsonBeginArray("events");
        for (int i = 0; i < r.eventCount; i++) {
            const GoneEvent &e = r.events[i];
            jsonBeginObject(nullptr);
            jsonNumber("ms", e.ms);
            jsonText("kind", eventKindName(e.kind));
            if (e.kind == GONE_EVENT_MESSAGE) {
                jsonInteger("selector", e.selector);
                jsonInteger("value", e.value);
                jsonInteger("answer", e.answer);
            }
            if (e.kind == GONE_EVENT_MESSAGE || e.kind == GONE_EVENT_RATE)
                jsonInteger("thread", e.thread);
            if (e.kind == GONE_EVENT_RATE)
                jsonNumber("rate", e.rate);
            if (e.kind == GONE_EVENT_POSITION)
                jsonText("answer", asioErrorName(e.answer, name, sizeof name));
            if (e.kind == GONE_EVENT_COMMAND_ENDED)
                jsonInteger("exit_code", static_cast<unsigned long>(e.answer));
            if (e.kind == GONE_EVENT_STOPPED)
                jsonNumber("periods", e.periods);
            jsonEndObject();
        }
        jsonEndArray();
        jsonInteger("events_not_kept", r.eventsLost);
    }
    if (r.stage >= GONE_STOPPED) {
        jsonText("stop", asioErrorName(r.stopResult, name, sizeof name));
        jsonText("dispose_buffers", asioErrorName(r.disposeResult, name, sizeof name));
        jsonNumber("end_ms", r.endMs);
    }
    jsonBeginObject("back");
    if (b.backCommandGiven) {
        jsonCommand("back_command", b.backCommandStarted, b.backCommandEnded, b.backCommandExit,
                    b.backCommandMs);
    }
    jsonInteger("tries", b.tries);
    jsonBool("came_back", b.cameBack);
    jsonNumber("after_ms", b.cameBack ? b.afterOriginMs : NAN);
    jsonNumber("after_last_switch_ms", b.cameBack ? b.afterGoneMs : NAN);
    jsonText("reason", b.cameBack || !b.tried ? nullptr : b.reason);
    jsonEndObject();
    GoneFindings f;
    judgeGone(outcome, exitCode, &f);
    jsonBeginArray("verdicts");
    jsonVerdict("noticed", f.noticed, f.noticedText);
    jsonVerdict("stop", f.ended, f.endedText);
    jsonVerdict("back", f.back, f.backText);
    jsonEndArray();
    jsonCallNotes();
    jsonSessionEnd(outcome, exitCode);
}
