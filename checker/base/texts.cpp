// The driver's answers by name, rates as numbers, and texts converted for JSON and XML.
#include "checker/base/base.h"

#include "engine/sample_types.h"

#include <windows.h>
#include <stdarg.h>
#include <stdio.h>
#include <string.h>

const char *asioErrorName(ASIOError error, char *buffer, size_t size)
{
    switch (error) {
    case ASE_OK: return "ASE_OK";
    case ASE_SUCCESS: return "ASE_SUCCESS";
    case ASE_NotPresent: return "ASE_NotPresent";
    case ASE_HWMalfunction: return "ASE_HWMalfunction";
    case ASE_InvalidParameter: return "ASE_InvalidParameter";
    case ASE_InvalidMode: return "ASE_InvalidMode";
    case ASE_SPNotAdvancing: return "ASE_SPNotAdvancing";
    case ASE_NoClock: return "ASE_NoClock";
    case ASE_NoMemory: return "ASE_NoMemory";
    }
    snprintf(buffer, size, "error %ld", static_cast<long>(error));
    return buffer;
}

const char *selectorName(long selector)
{
    static const char *const names[16] = {
        nullptr,
        "kAsioSelectorSupported",
        "kAsioEngineVersion",
        "kAsioResetRequest",
        "kAsioBufferSizeChange",
        "kAsioResyncRequest",
        "kAsioLatenciesChanged",
        "kAsioSupportsTimeInfo",
        "kAsioSupportsTimeCode",
        "kAsioMMCCommand",
        "kAsioSupportsInputMonitor",
        "kAsioSupportsInputGain",
        "kAsioSupportsInputMeter",
        "kAsioSupportsOutputGain",
        "kAsioSupportsOutputMeter",
        "kAsioOverload",
    };
    return selector >= 1 && selector <= 15 ? names[selector] : nullptr;
}

const char *sampleTypeName(long type)
{
    return lookupSampleType(static_cast<int32_t>(type))->name;
}

const char *typeText(long type, char *out, size_t size)
{
    const char *name = sampleTypeName(type);
    if (name)
        return name;
    snprintf(out, size, "unknown type %ld", type);
    return out;
}

void formatRate(double rate, char *out, size_t size)
{
    snprintf(out, size, "%.10g", rate);
}

void appendFormat(std::string *out, const char *format, ...)
{
    char text[1024];
    va_list args;
    va_start(args, format);
    int length = vsnprintf(text, sizeof text, format, args);
    va_end(args);
    if (length > 0)
        out->append(text, length < static_cast<int>(sizeof text) ? length : sizeof text - 1);
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

// The bytes after a lead byte that make a whole UTF-8 sequence of `c[0]`, or -1 when broken.
static int sequenceMore(const unsigned char *c, size_t left)
{
    unsigned char b = c[0];
    int more = b >= 0xF0 && b <= 0xF4 ? 3 : b >= 0xE0 ? 2 : b >= 0xC2 && b < 0xE0 ? 1 : -1;
    for (int k = 1; more > 0 && k <= more; k++) {
        if (static_cast<size_t>(k) >= left || (c[k] & 0xC0) != 0x80)
            return -1;
    }
    return more;
}

void appendXmlUtf8(std::string *out, const char *utf8, size_t length)
{
    const unsigned char *c = reinterpret_cast<const unsigned char *>(utf8);
    for (size_t i = 0; i < length; i++) {
        unsigned char b = c[i];
        if (b == '&')
            *out += "&amp;";
        else if (b == '<')
            *out += "&lt;";
        else if (b == '>')
            *out += "&gt;";
        else if (b == '"')
            *out += "&quot;";
        else if (b < 0x20 && b != '\n' && b != '\t')
            *out += '?';
        else if (b < 0x80)
            *out += static_cast<char>(b);
        else {
            int more = sequenceMore(c + i, length - i);
            if (more < 0) {
                *out += '?';
                continue;
            }
            out->append(utf8 + i, more + 1);
            i += more;
        }
    }
}

void appendXmlText(std::string *out, const char *ansi)
{
    char utf8[3 * 1024];
    ansiToUtf8(ansi, utf8, sizeof utf8);
    appendXmlUtf8(out, utf8, strlen(utf8));
}

bool textEnds(const char *text, size_t size)
{
    return memchr(text, '\0', size) != nullptr;
}

bool inRange(long long value, long long low, long long high)
{
    return value >= low && value <= high;
}
