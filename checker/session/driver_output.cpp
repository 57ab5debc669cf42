// What drivers wrote on the worker's standard handles, kept apart from the checker's own output:
// at most MAX_OUTPUT_LINES lines and MAX_OUTPUT_BYTES bytes, the rest counted.
#include "checker/session/worker_parent.h"

#include <stdio.h>

enum { MAX_OUTPUT_LINES = 100, MAX_OUTPUT_BYTES = 16384 };

static std::vector<std::string> kept;
static size_t keptBytes = 0;
static long long notKept = 0;
static std::string partial;
static bool partialTooLong = false;

static void endLine()
{
    if (!partial.empty() && partial.back() == '\r')
        partial.pop_back();
    if (!partialTooLong && kept.size() < MAX_OUTPUT_LINES &&
        keptBytes + partial.size() <= MAX_OUTPUT_BYTES) {
        keptBytes += partial.size();
        kept.push_back(partial);
    } else {
        notKept++;
    }
    partial.clear();
    partialTooLong = false;
}

void collectDriverOutput(const char *bytes, size_t size)
{
    for (size_t i = 0; i < size; i++) {
        if (bytes[i] == '\n') {
            endLine();
        } else if (partial.size() < MAX_OUTPUT_BYTES) {
            partial += bytes[i];
        } else {
            partialTooLong = true;
        }
    }
}

void finishDriverOutput()
{
    if (!partial.empty() || partialTooLong)
        endLine();
}

void printDriverOutput()
{
    long long lines = static_cast<long long>(kept.size()) + notKept;
    if (lines == 0)
        return;
    printf("The driver wrote %lld line%s to its standard handles:\n", lines, lines == 1 ? "" : "s");
    for (const std::string &line : kept)
        printf("  | %s\n", line.c_str());
    if (notKept)
        printf("  ... and %lld more, not kept\n", notKept);
}

void jsonDriverOutput()
{
    jsonBeginObject("driver_output");
    jsonBeginArray("lines");
    for (const std::string &line : kept)
        jsonText(nullptr, line.c_str());
    jsonEndArray();
    jsonInteger("not_kept", notKept);
    jsonEndObject();
}
