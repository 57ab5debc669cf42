// The driver calls that did not answer ASE_OK, kept in the order made.
#include "checker/base/base.h"

#include <stdarg.h>
#include <stdio.h>

CallNotes callNotes;

ASIOError noteCall(ASIOError result, const char *format, ...)
{
    if (result == ASE_OK)
        return result;
    if (callNotes.count == MAX_NOTED_CALLS) {
        callNotes.dropped++;
        return result;
    }
    NotedCall *noted = &callNotes.calls[callNotes.count++];
    va_list args;
    va_start(args, format);
    vsnprintf(noted->call, sizeof noted->call, format, args);
    va_end(args);
    noted->result = result;
    return result;
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

const char *callNotesFault(const void *record)
{
    const CallNotes &notes = *static_cast<const CallNotes *>(record);
    if (!inRange(notes.count, 0, MAX_NOTED_CALLS))
        return "count";
    if (notes.dropped < 0)
        return "dropped";
    for (int i = 0; i < notes.count; i++) {
        if (!textEnds(notes.calls[i].call, sizeof notes.calls[i].call))
            return "calls.call";
    }
    return nullptr;
}
