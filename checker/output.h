// What the checker says besides its results: errors, the live progress line, the driver's answers
// by name, and the driver calls that did not answer ASE_OK.
#pragma once

#include "checker/checker.h"
#include "drivers/asio_interface.h"

#include <stddef.h>

// Writes "quorvelcheck: <text>" to stderr, keeps the text for the JSON documents, and returns
// exitCode.
int fail(int exitCode, const char *format, ...);
// Keeps the text as fail() does, without writing it (the worker has written it already).
void setFailureText(const char *text);
// The text of the last fail(), "" when none.
const char *lastFailure();
// The document a JSON run prints when the command ended before its results: command, exit code,
// error.
void printFailureDocument(Command command, int exitCode);

// True when stderr is a console, where the live progress line goes.
bool progressWanted();
// Rewrites the progress line on stderr; clearProgress() empties it before the results.
void showProgress(const char *format, ...);
void clearProgress();

// "ASE_OK", "ASE_NoClock"...; anything else as "error N" in `buffer`, which it returns then.
const char *asioErrorName(ASIOError error, char *buffer, size_t size);
// "kAsioResetRequest"... for selectors 1 to 15; null for any other.
const char *selectorName(long selector);
// The sample type's name from the shared table; null for a code it does not hold.
const char *sampleTypeName(long type);
// Driver and registry texts are in the system's ANSI code page; JSON and the report are UTF-8. A text
// too long to convert whole keeps its plain ASCII and gets '?' for the rest. Always terminated.
void ansiToUtf8(const char *ansi, char *utf8, size_t size);
// "48000" style numbers: no decimals unless the value has some.
void formatRate(double rate, char *out, size_t size);

// Driver calls that did not answer ASE_OK, in the order made. Main thread.
enum { MAX_NOTED_CALLS = 64 };
struct NotedCall {
    char call[48];  // "getLatencies", "getChannelInfo(input 3)"...
    ASIOError result;
};
struct CallNotes {
    int count;    // kept; calls beyond MAX_NOTED_CALLS are only counted in `dropped`
    int dropped;
    NotedCall calls[MAX_NOTED_CALLS];
};
extern CallNotes callNotes;
// Keeps the call when `result` is not ASE_OK; returns `result`.
ASIOError noteCall(ASIOError result, const char *format, ...);
// callNotes as text lines under a heading; "none" when empty.
void printCallNotes();
// callNotes as "calls_not_ok".
void jsonCallNotes();
