// How a session ended, told: the error line and the JSON fields.
#include "checker/session/worker_protocol.h"

#include <math.h>
#include <stdio.h>
#include <string.h>

static const char *exceptionName(unsigned long code)
{
    switch (code) {
    case 0xC0000005: return "access violation";
    case 0xC0000094: return "integer divide by zero";
    case 0xC0000095: return "integer overflow";
    case 0xC00000FD: return "stack overflow";
    case 0xC000001D: return "illegal instruction";
    case 0xC0000096: return "privileged instruction";
    case 0xC0000006: return "in-page error";
    case 0xC000008C: return "array bounds exceeded";
    case 0xC000008E: return "floating-point divide by zero";
    case 0xC0000090: return "floating-point invalid operation";
    case 0xC0000374: return "heap corruption";
    case 0xC0000409: return "stack buffer overrun";
    case 0xC0000025: return "noncontinuable exception";
    case 0x80000003: return "breakpoint";
    case 0xE06D7363: return "C++ exception";
    }
    return "unknown exception";
}

// Where the worker was: "in createBuffers()", "during the run", "outside any driver call".
static void placeText(const SessionOutcome &outcome, char *out, size_t size)
{
    if (outcome.call[0])
        snprintf(out, size, "in %s", outcome.call);
    else if (outcome.duringRun && outcome.crashSwitches >= 0)
        snprintf(out, size, "%.2f s into the run, after %lld switches", outcome.crashRunSeconds,
                 outcome.crashSwitches);
    else if (outcome.duringRun)
        snprintf(out, size, "during the run, outside any call");
    else if (outcome.lastCall[0])
        snprintf(out, size, "after %s returned", outcome.lastCall);
    else
        snprintf(out, size, "outside any driver call");
}

static void describeCrash(SessionOutcome *o, const char *place)
{
    char where[128] = "";
    if (o->module[0])
        snprintf(where, sizeof where, " at %s+0x%llX", o->module, o->offset);
    snprintf(o->text, sizeof o->text, "the driver crashed%s %s: exception 0x%08lX (%s)%s",
             o->onOtherThread ? " on a thread of its own" : "", place, o->exceptionCode,
             exceptionName(o->exceptionCode), where);
}

static void describeHang(SessionOutcome *o)
{
    if (o->call[0]) {
        snprintf(o->text, sizeof o->text, "the driver did not return from %s within %g s", o->call,
                 o->limitSeconds);
    } else if (o->duringRun) {
        snprintf(o->text, sizeof o->text, "the run did not end within %g s: the driver held the "
                 "checker's thread", o->limitSeconds);
    } else if (o->beforeFirstWord) {
        snprintf(o->text, sizeof o->text, "the worker said nothing within %g s of its start",
                 o->limitSeconds);
    } else if (o->lastCall[0]) {
        snprintf(o->text, sizeof o->text, "the driver held the checker's thread for %g s after %s "
                 "returned", o->limitSeconds, o->lastCall);
    } else {
        snprintf(o->text, sizeof o->text, "the driver held the checker's thread for %g s outside "
                 "any call", o->limitSeconds);
    }
}

static void describeNotStarted(SessionOutcome *o)
{
    if (o->beforeFirstWord && o->limitSeconds > 0) {
        snprintf(o->text, sizeof o->text, "the worker said nothing within %g s of its start, before it "
                 "loaded any driver: a slow machine or a worker that cannot start; a --call-timeout over "
                 "that gives it longer, --in-process runs without it", o->limitSeconds);
    } else if (o->beforeFirstWord) {
        snprintf(o->text, sizeof o->text, "the worker process failed to start: it ended with exit "
                 "code %lu before it loaded any driver; --in-process runs without it", o->exitCode);
    } else {
        snprintf(o->text, sizeof o->text, "the worker process could not be started (error %lu); "
                 "--in-process runs without it", o->exitCode);
    }
}

static void describeCorruption(SessionOutcome *o)
{
    if (o->record[0]) {
        snprintf(o->text, sizeof o->text, "the driver corrupted the worker's memory: its %s record "
                 "came with %s out of range, and was not used", o->record, o->field);
    } else {
        snprintf(o->text, sizeof o->text, "the driver corrupted the worker's memory: it sent %s",
                 o->field);
    }
}

void describeOutcome(SessionOutcome *o)
{
    char place[96];
    placeText(*o, place, sizeof place);
    switch (o->end) {
    case SESSION_CRASHED: describeCrash(o, place); break;
    case SESSION_HUNG: describeHang(o); break;
    case SESSION_EXITED:
        snprintf(o->text, sizeof o->text, "the driver ended the process %s: exit code %lu", place,
                 o->exitCode);
        break;
    case SESSION_NOT_STARTED: describeNotStarted(o); break;
    case SESSION_CORRUPTED: describeCorruption(o); break;
    case SESSION_INTERRUPTED:
        snprintf(o->text, sizeof o->text, "interrupted %s", place);
        break;
    case SESSION_FINISHED: o->text[0] = '\0'; break;
    }
    if (o->interruptedBefore && o->end != SESSION_FINISHED) {
        char story[sizeof o->text];
        snprintf(story, sizeof story, "%s", o->text);
        snprintf(o->text, sizeof o->text, "after the interrupt, %s", story);
    }
    if (o->wouldNotEnd) {
        size_t length = strlen(o->text);
        snprintf(o->text + length, sizeof o->text - length, "; the worker would not end");
    }
}

static void jsonRateRestored(const SessionOutcome &o)
{
    if (o.rateRestore == RATE_NOT_NEEDED) {
        jsonNull("rate_restored");
        return;
    }
    jsonBeginObject("rate_restored");
    jsonNumber("rate", o.restoredRate);
    jsonBool("set_back", o.rateRestore == RATE_SET_BACK);
    jsonText("text", o.rateText);
    jsonEndObject();
}

static void jsonFailureDetails(const SessionOutcome &o)
{
    char text[32];
    if (o.end == SESSION_CRASHED) {
        snprintf(text, sizeof text, "0x%08lX", o.exceptionCode);
        jsonText("exception_code", text);
        jsonText("exception", exceptionName(o.exceptionCode));
        jsonText("module", o.module[0] ? o.module : nullptr);
        snprintf(text, sizeof text, "0x%llX", o.offset);
        jsonText("offset", o.module[0] ? text : nullptr);
        jsonBool("driver_thread", o.onOtherThread);
    }
    if (o.duringRun && o.crashSwitches >= 0) {
        jsonNumber("run_seconds", o.crashRunSeconds);
        jsonInteger("switches", o.crashSwitches);
    }
    if (o.end == SESSION_EXITED || (o.end == SESSION_NOT_STARTED && o.beforeFirstWord))
        jsonInteger("process_exit_code", o.exitCode);
    if (o.end == SESSION_HUNG)
        jsonNumber("limit_seconds", o.limitSeconds);
    if (o.end == SESSION_CORRUPTED) {
        jsonText("record", o.record[0] ? o.record : nullptr);
        jsonText("field", o.field);
    }
}

void jsonSessionOutcome(const SessionOutcome &o)
{
    jsonBeginObject("worker");
    jsonBool("in_process", o.inProcess);
    jsonNumber("start_ms", o.inProcess ? NAN : o.workerStartMs);
    jsonEndObject();
    jsonRateRestored(o);
    if (o.end == SESSION_FINISHED)
        return;
    static const char *const kinds[] = {"finished", "crash", "hang", "exit", "worker", "corruption",
                                        "interrupted"};
    jsonBeginObject("failure");
    jsonText("kind", kinds[o.end]);
    jsonText("call", o.call[0] ? o.call : nullptr);
    jsonText("last_call", o.lastCall[0] ? o.lastCall : nullptr);
    jsonBool("during_run", o.duringRun);
    jsonBool("interrupted_before", o.interruptedBefore);
    jsonFailureDetails(o);
    jsonBool("worker_would_not_end", o.wouldNotEnd);
    jsonText("text", o.text);
    jsonEndObject();
}

void jsonSessionEnd(const SessionOutcome &outcome, int exitCode)
{
    jsonSessionOutcome(outcome);
    if (outcome.inProcess)
        jsonNull("driver_output");
    else
        jsonDriverOutput();
    if (exitCode != EXIT_FINE)
        jsonText("error", lastFailure());
    jsonInteger("exit_code", exitCode);
    jsonEndObject();
    jsonFinish();
}
