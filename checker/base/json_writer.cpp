// The JSON writer: one document at a time, written as it goes.
#include "checker/base/base.h"

#include <math.h>
#include <stdio.h>
#include <string.h>
#include <string>

#ifndef QUORVEL_VERSION_TEXT
#define QUORVEL_VERSION_TEXT "unknown"
#endif

// Where the documents go: stdout, or the end of a buffer.
static std::string *buffer = nullptr;

static void put(const char *text, size_t length)
{
    if (buffer)
        buffer->append(text, length);
    else
        fwrite(text, 1, length, stdout);
}

static void putText(const char *text)
{
    put(text, strlen(text));
}

static void putChar(char c)
{
    put(&c, 1);
}

// What snprintf wrote into `text` (of `size` bytes), `length` as it answered.
static void putPrinted(const char *text, int length, size_t size)
{
    if (length > 0)
        put(text, static_cast<size_t>(length) < size ? length : size - 1);
}

void jsonToBuffer(std::string *into)
{
    buffer = into;
}

void jsonToStdout()
{
    buffer = nullptr;
}

// Where the document stands: how deep, and whether the current level has had a member yet.
enum { MAX_DEPTH = 16 };
static int depth = 0;
static bool hasMember[MAX_DEPTH];

static void writeEscaped(const char *utf8)
{
    putChar('"');
    for (const unsigned char *c = reinterpret_cast<const unsigned char *>(utf8); *c; c++) {
        switch (*c) {
        case '"': putText("\\\""); break;
        case '\\': putText("\\\\"); break;
        case '\n': putText("\\n"); break;
        case '\r': putText("\\r"); break;
        case '\t': putText("\\t"); break;
        default:
            if (*c < 0x20) {
                char escape[8];
                putPrinted(escape, snprintf(escape, sizeof escape, "\\u%04x", *c), sizeof escape);
            } else {
                putChar(*c);
            }
        }
    }
    putChar('"');
}

// Driver and registry texts are in the system's ANSI code page; JSON is UTF-8.
static void writeString(const char *ansi)
{
    char utf8[3 * 1024];
    ansiToUtf8(ansi, utf8, sizeof utf8);
    writeEscaped(utf8);
}

static void indent()
{
    for (int i = 0; i < depth; i++)
        putText("  ");
}

// The comma, line break and key before a member.
static void beginMember(const char *key)
{
    if (depth > 0) {
        if (hasMember[depth - 1])
            putChar(',');
        putChar('\n');
        hasMember[depth - 1] = true;
        indent();
    }
    if (key) {
        writeString(key);
        putText(": ");
    }
}

static void openLevel(const char *key, char bracket)
{
    beginMember(key);
    putChar(bracket);
    if (depth < MAX_DEPTH)
        hasMember[depth] = false;
    depth++;
}

static void closeLevel(char bracket)
{
    depth--;
    if (depth < MAX_DEPTH && hasMember[depth]) {
        putChar('\n');
        indent();
    }
    putChar(bracket);
}

void jsonBeginObject(const char *key) { openLevel(key, '{'); }
void jsonEndObject() { closeLevel('}'); }
void jsonBeginArray(const char *key) { openLevel(key, '['); }
void jsonEndArray() { closeLevel(']'); }

void jsonText(const char *key, const char *value)
{
    beginMember(key);
    if (value)
        writeString(value);
    else
        putText("null");
}

void jsonUtf8Text(const char *key, const char *utf8)
{
    beginMember(key);
    writeEscaped(utf8);
}

void jsonInteger(const char *key, long long value)
{
    beginMember(key);
    char text[32];
    putPrinted(text, snprintf(text, sizeof text, "%lld", value), sizeof text);
}

void jsonNumber(const char *key, double value)
{
    beginMember(key);
    char text[64];
    if (!isfinite(value))
        putText("null");
    else if (value == floor(value) && fabs(value) < 1e15)
        putPrinted(text, snprintf(text, sizeof text, "%.0f", value), sizeof text);
    else
        putPrinted(text, snprintf(text, sizeof text, "%.6g", value), sizeof text);
}

void jsonBool(const char *key, bool value)
{
    beginMember(key);
    putText(value ? "true" : "false");
}

void jsonNull(const char *key)
{
    beginMember(key);
    putText("null");
}

static bool documentWritten = false;

bool jsonDocumentWritten()
{
    return documentWritten;
}

void jsonFinish()
{
    putChar('\n');
    if (buffer)
        return;
    documentWritten = true;
    fflush(stdout);
}

void jsonHeader(const CommandSpec *command)
{
    jsonText("program", "quorvelcheck");
    jsonText("version", QUORVEL_VERSION_TEXT);
    jsonText("build", sizeof(void *) == 8 ? "x64" : "x86");
    if (command)
        jsonText("command", command->name);
}
