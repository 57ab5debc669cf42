#include "checker/output.h"

#include "checker/json_writer.h"

#include <windows.h>
#include <stdarg.h>
#include <stdio.h>
#include <string.h>

#ifndef QUORVEL_VERSION_TEXT
#define QUORVEL_VERSION_TEXT "unknown"
#endif

static char failure[512];
static int progressLength = 0;

int fail(int exitCode, const char *format, ...)
{
    va_list args;
    va_start(args, format);
    vsnprintf(failure, sizeof failure, format, args);
    va_end(args);
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

void printFailureDocument(Command command, int exitCode)
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
    return GetConsoleMode(GetStdHandle(STD_ERROR_HANDLE), &mode) != 0;
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
    // Blanks over what a longer previous line left behind.
    fprintf(stderr, "\r%s%*s", line, progressLength > length ? progressLength - length : 0, "");
    fflush(stderr);
    progressLength = length;
}

void clearProgress()
{
    if (progressLength == 0)
        return;
    fprintf(stderr, "\r%*s\r", progressLength, "");
    fflush(stderr);
    progressLength = 0;
}

void jsonHeader(Command command)
{
    jsonText("program", "quorvelcheck");
    jsonText("version", QUORVEL_VERSION_TEXT);
    jsonText("build", sizeof(void *) == 8 ? "x64" : "x86");
    if (command != COMMAND_NONE)
        jsonText("command", commandName(command));
}

void jsonCallNotes()
{
    char name[32];
    jsonBeginArray("calls_not_ok");
    for (int i = 0; i < callNotes.count; i++) {
        jsonBeginObject(nullptr);
        jsonText("call", callNotes.calls[i].call);
        jsonText("result", asioErrorName(callNotes.calls[i].result, name, sizeof name));
        jsonInteger("code", callNotes.calls[i].result);
        jsonEndObject();
    }
    jsonEndArray();
    if (callNotes.dropped)
        jsonInteger("calls_not_ok_not_listed", callNotes.dropped);
}

void printCallNotes()
{
    char name[32];
    if (callNotes.count == 0) {
        printf("Driver calls not answering ASE_OK: none\n");
        return;
    }
    printf("Driver calls not answering ASE_OK:\n");
    for (int i = 0; i < callNotes.count; i++) {
        printf("  %-32s %s\n", callNotes.calls[i].call,
               asioErrorName(callNotes.calls[i].result, name, sizeof name));
    }
    if (callNotes.dropped)
        printf("  ... and %d more\n", callNotes.dropped);
}

void ansiToUtf8(const char *ansi, char *utf8, size_t size)
{
    WCHAR wide[1024];
    if (size == 0)
        return;
    if (MultiByteToWideChar(CP_ACP, 0, ansi, -1, wide, 1024) == 0 ||
        WideCharToMultiByte(CP_UTF8, 0, wide, -1, utf8, static_cast<int>(size), nullptr, nullptr) == 0) {
        size_t i = 0;
        for (; ansi[i] && i < size - 1; i++)
            utf8[i] = static_cast<unsigned char>(ansi[i]) < 0x80 ? ansi[i] : '?';
        utf8[i] = '\0';
    }
}
