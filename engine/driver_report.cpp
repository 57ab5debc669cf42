#include "engine/driver_report.h"

#include "drivers/driver_loading.h"
#include "engine/loopback.h"
#include "engine/sample_types.h"
#include "res/resource.h"

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

void writeReport(HWND window)
{
    long minSize = 0, maxSize = 0, preferredSize = 0, granularity = 0;
    asioGetBufferSize(&minSize, &maxSize, &preferredSize, &granularity);
    loopbackState.minSize = minSize;
    loopbackState.maxSize = maxSize;
    loopbackState.preferredSize = preferredSize;
    loopbackState.granularity = granularity;

    char *cursor = reportText;
    reportText[0] = '\0';
    appendText(&cursor, "Buffer Size min: %d\n", loopbackState.minSize);
    appendText(&cursor, "Buffer Size max: %d\n", loopbackState.maxSize);
    appendText(&cursor, "Buffer Size preferred: %d\n", loopbackState.preferredSize);
    appendText(&cursor, "Buffer Size granularity: %d\n\n", loopbackState.granularity);

    // With no driver nothing is written into the rate: it shows as 0.
    ASIOSampleRate rate = 0.0;
    asioGetSampleRate(&rate);
    // Six decimals as usual; a magnitude that would spell hundreds of digits goes in exponent form
    // so that the lines after it still fit.
    if (isfinite(rate) && fabs(rate) >= 1e15)
        appendText(&cursor, "Sample Rate: %e\n", rate);
    else
        appendText(&cursor, "Sample Rate: %f\n", rate);

    long inputs = 0, outputs = 0;
    asioGetChannels(&inputs, &outputs);
    loopbackState.inputChannels = inputs;
    loopbackState.outputChannels = outputs;
    appendText(&cursor, "Input Channel Count: %d\n", loopbackState.inputChannels);
    appendText(&cursor, "Output Channel Count: %d\n", loopbackState.outputChannels);

    ASIOChannelInfo info = {};
    info.channel = 0;
    info.isInput = 0;
    asioGetChannelInfo(&info);
    const SampleTypeEntry *row = lookupSampleType(info.type);
    loopbackState.sampleBytes = row->bytes;
    if (row->name) {
        appendText(&cursor, "Sample Type: %s (%d bytes)\n", row->name, row->bytes);
    } else {
        appendText(&cursor, "Sample Type: Unknown type %d (%d bytes)\n", static_cast<int>(info.type),
                   row->bytes);
    }

    appendText(&cursor, "Position: ");
    positionCursor = cursor;
    SetDlgItemTextA(window, IDC_REPORT, reportText);
}

void writePosition(int count)
{
    size_t room = static_cast<size_t>(reportText + REPORT_TEXT_SIZE - positionCursor);
    if (room > 0)
        snprintf(positionCursor, room, "%d", count);
}
