#include "engine/driver_report.h"

#include "drivers/driver_loading.h"
#include "engine/loopback.h"

#include <math.h>
#include <stdarg.h>
#include <stdio.h>

char reportText[REPORT_TEXT_SIZE];
char *positionCursor = reportText;

// Appends formatted text at *cursor, never past the end of reportText; a text that does not fit
// is cut there. *cursor advances by what was written.
static void appendText(char **cursor, const char *format, ...)
{
    size_t room = static_cast<size_t>(reportText + REPORT_TEXT_SIZE - *cursor);
    if (room <= 1)
        return;
    va_list args;
    va_start(args, format);
    int written = vsnprintf(*cursor, room, format, args);
    va_end(args);
    if (written < 0)
        **cursor = '\0';
    else
        *cursor += static_cast<size_t>(written) < room ? static_cast<size_t>(written) : room - 1;
}

void readDriverFigures(DriverFigures *figures)
{
    figures->minSize = figures->maxSize = figures->preferredSize = figures->granularity = 0;
    figures->bufferSizeResult = asioGetBufferSize(&figures->minSize, &figures->maxSize,
                                                  &figures->preferredSize, &figures->granularity);
    loopbackState.minSize = figures->minSize;
    loopbackState.maxSize = figures->maxSize;
    loopbackState.preferredSize = figures->preferredSize;
    loopbackState.granularity = figures->granularity;

    // With no driver nothing is written into the rate: it shows as 0.
    figures->sampleRate = 0.0;
    figures->sampleRateResult = asioGetSampleRate(&figures->sampleRate);

    figures->inputChannels = figures->outputChannels = 0;
    figures->channelsResult = asioGetChannels(&figures->inputChannels, &figures->outputChannels);
    loopbackState.inputChannels = figures->inputChannels;
    loopbackState.outputChannels = figures->outputChannels;

    ASIOChannelInfo info = {};
    info.channel = 0;
    info.isInput = 0;
    figures->firstOutputResult = asioGetChannelInfo(&info);
    info.name[sizeof info.name - 1] = '\0';
    figures->firstOutput = info;
    figures->sampleType = lookupSampleType(info.type);
}

void formatReport(const DriverFigures *figures)
{
    char *cursor = reportText;
    reportText[0] = '\0';
    appendText(&cursor, "Buffer Size min: %d\n", static_cast<int>(figures->minSize));
    appendText(&cursor, "Buffer Size max: %d\n", static_cast<int>(figures->maxSize));
    appendText(&cursor, "Buffer Size preferred: %d\n", static_cast<int>(figures->preferredSize));
    appendText(&cursor, "Buffer Size granularity: %d\n\n", static_cast<int>(figures->granularity));

    // Six decimals as usual; a magnitude that would spell hundreds of digits goes in exponent form
    // so that the lines after it still fit.
    double rate = figures->sampleRate;
    if (isfinite(rate) && fabs(rate) >= 1e15)
        appendText(&cursor, "Sample Rate: %e\n", rate);
    else
        appendText(&cursor, "Sample Rate: %f\n", rate);

    appendText(&cursor, "Input Channel Count: %d\n", static_cast<int>(figures->inputChannels));
    appendText(&cursor, "Output Channel Count: %d\n", static_cast<int>(figures->outputChannels));

    const SampleTypeEntry *row = figures->sampleType;
    if (row->name) {
        appendText(&cursor, "Sample Type: %s (%d bytes)\n", row->name, row->bytes);
    } else {
        appendText(&cursor, "Sample Type: Unknown type %d (%d bytes)\n",
                   static_cast<int>(figures->firstOutput.type), row->bytes);
    }

    appendText(&cursor, "Position: ");
    positionCursor = cursor;
}

void writePosition(int count)
{
    size_t room = static_cast<size_t>(reportText + REPORT_TEXT_SIZE - positionCursor);
    if (room > 0)
        snprintf(positionCursor, room, "%d", count);
}
