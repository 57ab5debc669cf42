// What the checker says besides its results: the error line, the failure's JSON document and the
// live progress line.
#include "checker/base/base.h"

#include <windows.h>
#include <stdarg.h>
#include <stdio.h>

static char failure[512];
static int progressLength = 0;
static void (*lineSink)(const char *text) = nullptr;
static void (*progressSink)(const char *text) = nullptr;

void sendMessagesTo(void (*line)(const char *text), void (*progress)(const char *text))
{
    lineSink = line;
    progressSink = progress;
}

int fail(int exitCode, const char *format, ...)
{
    va_list args;
    va_start(args, format);
    vsnprintf(failure, sizeof failure, format, args);
    va_end(args);
    if (lineSink) {
        lineSink(failure);
        return exitCode;
    }
    clearProgress();
    fprintf(stderr, "quorvelcheck: %s\n", failure);
    fflush(stderr);
    return exitCode;
}

void setFailureText(const char *text)
{
    snprintf(failure, sizeof failure, "%s", text);
}

const char *lastFailure()
{
    return failure;
}

void printFailureDocument(const CommandSpec *command, int exitCode)
{
    jsonBeginObject(nullptr);
    jsonHeader(command);
    jsonInteger("exit_code", exitCode);
    jsonText("error", failure);
    jsonEndObject();
    jsonFinish();
}

bool progressWanted()
{
    DWORD mode = 0;
    return progressSink || GetConsoleMode(GetStdHandle(STD_ERROR_HANDLE), &mode) != 0;
}

void showProgress(const char *format, ...)
{
    char line[160];
    va_list args;
    va_start(args, format);
    int length = vsnprintf(line, sizeof line, format, args);
    va_end(args);
    if (length < 0)
        return;
    if (length >= static_cast<int>(sizeof line))
        length = sizeof line - 1;
    if (progressSink) {
        progressSink(line);
        return;
    }
    // Blanks over what a longer previous line left behind.
    fprintf(stderr, "\r%s%*s", line, progressLength > length ? progressLength - length : 0, "");
    fflush(stderr);
    progressLength = length;
}

void clearProgress()
{
    if (progressSink) {
        progressSink("");
        return;
    }
    if (progressLength == 0)
        return;
    fprintf(stderr, "\r%*s\r", progressLength, "");
    fflush(stderr);
    progressLength = 0;
}

// Ranks of the statuses, by EXIT_ number: fine, a check missed, usage, the driver could not be
// opened, it crashed; then the interrupt and the checker's shortfall, below every finding.
static int statusRank(int code)
{
    static const int ranks[] = {0, 3, 4, 5, 6, 1, 2};
    return code >= 0 && code < static_cast<int>(sizeof ranks / sizeof ranks[0]) ? ranks[code] : 7;
}

int worseStatus(int a, int b)
{
    return statusRank(b) > statusRank(a) ? b : a;
}
