// The driver report: asks the active driver for its figures, keeps those the loopback needs in
// loopbackState, and writes them as text. Dialog thread, driver stopped. Showing the text is the
// dialog's (app/dialog_views).
#pragma once

#include "drivers/asio_interface.h"
#include "engine/sample_types.h"

enum { REPORT_TEXT_SIZE = 512 };

// What one report asked of the driver, as the driver gave it.
struct DriverFigures {
    long minSize;
    long maxSize;
    long preferredSize;
    long granularity;
    ASIOSampleRate sampleRate;  // 0 when no driver answered
    long inputChannels;
    long outputChannels;
    ASIOChannelInfo firstOutput;       // output channel 0
    const SampleTypeEntry *sampleType;  // its row of the table; the end row for an unknown code
    // The driver's answers to those four calls (ASE_NotPresent with no driver). The report does
    // not show them; the checker does.
    ASIOError bufferSizeResult;
    ASIOError sampleRateResult;
    ASIOError channelsResult;
    ASIOError firstOutputResult;
};

// The text shown in the report control, always NUL-terminated within its 512 characters.
extern char reportText[REPORT_TEXT_SIZE];
// Just behind "Position: " in reportText, where the refresh timer writes the switch count.
extern char *positionCursor;

// Asks activeDriver (or takes the no-driver figures): buffer sizes, sample rate, channel counts and
// output channel 0's sample type, in that order, and stores the sizes and the counts in
// loopbackState.
void readDriverFigures(DriverFigures *figures);
// Writes the report of those figures into reportText and sets positionCursor. No driver call.
void formatReport(const DriverFigures *figures);

// Writes count at positionCursor, bounded by the end of reportText.
void writePosition(int count);
