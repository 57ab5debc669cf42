#include "checker/json_writer.h"

#include <windows.h>
#include <math.h>
#include <stdio.h>
#include <string.h>

// Where the document stands: how deep, and whether the current level has had a member yet.
enum { MAX_DEPTH = 16 };
static int depth = 0;
static bool hasMember[MAX_DEPTH];

static void writeEscaped(const char *utf8)
{
    putchar('"');
    for (const unsigned char *c = reinterpret_cast<const unsigned char *>(utf8); *c; c++) {
        switch (*c) {
        case '"': fputs("\\\"", stdout); break;
        case '\\': fputs("\\\\", stdout); break;
        case '\n': fputs("\\n", stdout); break;
        case '\r': fputs("\\r", stdout); break;
        case '\t': fputs("\\t", stdout); break;
        default:
            if (*c < 0x20)
                printf("\\u%04x", *c);
            else
                putchar(*c);
        }
    }
    putchar('"');
}

// Driver and registry texts are in the system's ANSI code page; JSON is UTF-8.
static void writeString(const char *ansi)
{
    WCHAR wide[1024];
    char utf8[3 * 1024];
    int wideLength = MultiByteToWideChar(CP_ACP, 0, ansi, -1, wide, 1024);
    if (wideLength == 0 ||
        WideCharToMultiByte(CP_UTF8, 0, wide, -1, utf8, sizeof utf8, nullptr, nullptr) == 0) {
        // Too long to convert whole: plain ASCII is kept, anything else becomes '?'.
        size_t i = 0;
        for (; ansi[i] && i < sizeof utf8 - 1; i++)
            utf8[i] = static_cast<unsigned char>(ansi[i]) < 0x80 ? ansi[i] : '?';
        utf8[i] = '\0';
    }
    writeEscaped(utf8);
}

static void indent()
{
    for (int i = 0; i < depth; i++)
        fputs("  ", stdout);
}

// The comma, line break and key before a member.
static void beginMember(const char *key)
{
    if (depth > 0) {
        if (hasMember[depth - 1])
            putchar(',');
        putchar('\n');
        hasMember[depth - 1] = true;
        indent();
    }
    if (key) {
        writeString(key);
        fputs(": ", stdout);
    }
}

static void openLevel(const char *key, char bracket)
{
    beginMember(key);
    putchar(bracket);
    if (depth < MAX_DEPTH)
        hasMember[depth] = false;
    depth++;
}

static void closeLevel(char bracket)
{
    depth--;
    if (depth < MAX_DEPTH && hasMember[depth]) {
        putchar('\n');
        indent();
    }
    putchar(bracket);
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
        fputs("null", stdout);
}

void jsonInteger(const char *key, long long value)
{
    beginMember(key);
    printf("%lld", value);
}

void jsonNumber(const char *key, double value)
{
    beginMember(key);
    if (!isfinite(value))
        fputs("null", stdout);
    else if (value == floor(value) && fabs(value) < 1e15)
        printf("%.0f", value);
    else
        printf("%.6g", value);
}

void jsonBool(const char *key, bool value)
{
    beginMember(key);
    fputs(value ? "true" : "false", stdout);
}

void jsonNull(const char *key)
{
    beginMember(key);
    fputs("null", stdout);
}

static bool documentWritten = false;

bool jsonDocumentWritten()
{
    return documentWritten;
}

void jsonFinish()
{
    documentWritten = true;
    putchar('\n');
    fflush(stdout);
}
