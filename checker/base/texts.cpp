// The driver's answers by name, rates as numbers, and texts converted for JSON and XML.
#include "checker/base/base.h"

#include "engine/sample_types.h"

#include <windows.h>
#include <stdarg.h>
#include <stdio.h>
#include <string.h>

// The driver's numbers and the texts they are shown as.
struct NumberText {
    long number;
    const char *text;
};

static const NumberText errorTexts[] = {
    {ASE_OK, "ASE_OK"},
    {ASE_SUCCESS, "ASE_SUCCESS"},
    {ASE_NotPresent, "ASE_NotPresent"},
    {ASE_HWMalfunction, "ASE_HWMalfunction"},
    {ASE_InvalidParameter, "ASE_InvalidParameter"},
    {ASE_InvalidMode, "ASE_InvalidMode"},
    {ASE_SPNotAdvancing, "ASE_SPNotAdvancing"},
    {ASE_NoClock, "ASE_NoClock"},
    {ASE_NoMemory, "ASE_NoMemory"},
};

static const NumberText selectorTexts[] = {
    {ASIO_MSG_SELECTOR_SUPPORTED, "kAsioSelectorSupported"},
    {ASIO_MSG_ENGINE_VERSION, "kAsioEngineVersion"},
    {ASIO_MSG_RESET_REQUEST, "kAsioResetRequest"},
    {ASIO_MSG_BUFFER_SIZE_CHANGE, "kAsioBufferSizeChange"},
    {ASIO_MSG_RESYNC_REQUEST, "kAsioResyncRequest"},
    {ASIO_MSG_LATENCIES_CHANGED, "kAsioLatenciesChanged"},
    {ASIO_MSG_SUPPORTS_TIME_INFO, "kAsioSupportsTimeInfo"},
    {ASIO_MSG_SUPPORTS_TIME_CODE, "kAsioSupportsTimeCode"},
    {ASIO_MSG_MMC_COMMAND, "kAsioMMCCommand"},
    {ASIO_MSG_SUPPORTS_INPUT_MONITOR, "kAsioSupportsInputMonitor"},
    {ASIO_MSG_SUPPORTS_INPUT_GAIN, "kAsioSupportsInputGain"},
    {ASIO_MSG_SUPPORTS_INPUT_METER, "kAsioSupportsInputMeter"},
    {ASIO_MSG_SUPPORTS_OUTPUT_GAIN, "kAsioSupportsOutputGain"},
    {ASIO_MSG_SUPPORTS_OUTPUT_METER, "kAsioSupportsOutputMeter"},
    {ASIO_MSG_OVERLOAD, "kAsioOverload"},
};

// The same selectors in words, and as --host-supports names them.
struct SelectorWords {
    long selector;
    const char *words;
    const char *option;
};
static const SelectorWords selectorWordTable[] = {
    {ASIO_MSG_SELECTOR_SUPPORTED, "selector supported", "selector-supported"},
    {ASIO_MSG_ENGINE_VERSION, "engine version", "engine-version"},
    {ASIO_MSG_RESET_REQUEST, "reset request", "reset"},
    {ASIO_MSG_BUFFER_SIZE_CHANGE, "buffer size change", "buffer-size"},
    {ASIO_MSG_RESYNC_REQUEST, "resync request", "resync"},
    {ASIO_MSG_LATENCIES_CHANGED, "latencies changed", "latencies"},
    {ASIO_MSG_SUPPORTS_TIME_INFO, "supports time info", "time-info"},
    {ASIO_MSG_SUPPORTS_TIME_CODE, "supports time code", "time-code"},
    {ASIO_MSG_MMC_COMMAND, "MMC command", "mmc"},
    {ASIO_MSG_SUPPORTS_INPUT_MONITOR, "input monitor", "input-monitor"},
    {ASIO_MSG_SUPPORTS_INPUT_GAIN, "input gain", "input-gain"},
    {ASIO_MSG_SUPPORTS_INPUT_METER, "input meter", "input-meter"},
    {ASIO_MSG_SUPPORTS_OUTPUT_GAIN, "output gain", "output-gain"},
    {ASIO_MSG_SUPPORTS_OUTPUT_METER, "output meter", "output-meter"},
    {ASIO_MSG_OVERLOAD, "overload", "overload"},
};

static const SelectorWords *selectorRow(long selector)
{
    for (const SelectorWords &row : selectorWordTable) {
        if (row.selector == selector)
            return &row;
    }
    return nullptr;
}

const char *selectorWords(long selector)
{
    const SelectorWords *row = selectorRow(selector);
    return row ? row->words : nullptr;
}

const char *selectorOptionName(long selector)
{
    const SelectorWords *row = selectorRow(selector);
    return row ? row->option : nullptr;
}

// One selector of the list, `length` characters at `text`, by name or number; 0 when neither.
static long listedSelector(const char *text, size_t length)
{
    for (const SelectorWords &row : selectorWordTable) {
        if (strlen(row.option) == length && strncmp(row.option, text, length) == 0)
            return row.selector;
    }
    long number = 0;
    for (size_t k = 0; k < length; k++) {
        if (text[k] < '0' || text[k] > '9' || number > ASIO_MSG_LAST)
            return 0;
        number = number * 10 + (text[k] - '0');
    }
    return length > 0 && number >= ASIO_MSG_FIRST && number <= ASIO_MSG_LAST ? number : 0;
}

bool parseHostSupports(const char *text, unsigned long *selectors)
{
    *selectors = 0;
    if (strcmp(text, "all") == 0) {
        for (long s = ASIO_MSG_FIRST; s <= ASIO_MSG_LAST; s++)
            *selectors |= 1ul << s;
        return true;
    }
    if (strcmp(text, "none") == 0)
        return true;
    for (const char *at = text;;) {
        const char *end = strchr(at, ',');
        size_t length = end ? static_cast<size_t>(end - at) : strlen(at);
        long selector = listedSelector(at, length);
        if (!selector)
            return false;
        *selectors |= 1ul << selector;
        if (!end)
            return true;
        at = end + 1;
    }
}

unsigned long hostSupportedSelectors(const CheckerOptions &options)
{
    unsigned long selectors = 0;
    parseHostSupports(options.hostSupports ? options.hostSupports : "all", &selectors);
    return selectors;
}

static const char *textOf(const NumberText *table, size_t rows, long number)
{
    for (size_t k = 0; k < rows; k++) {
        if (table[k].number == number)
            return table[k].text;
    }
    return nullptr;
}

const char *asioErrorName(ASIOError error, char *buffer, size_t size)
{
    const char *text = textOf(errorTexts, sizeof errorTexts / sizeof *errorTexts, error);
    if (text)
        return text;
    snprintf(buffer, size, "error %ld", static_cast<long>(error));
    return buffer;
}

const char *selectorName(long selector)
{
    return textOf(selectorTexts, sizeof selectorTexts / sizeof *selectorTexts, selector);
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
