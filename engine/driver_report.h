// The driver report: asks the active driver for its figures, keeps those the loopback needs in
// loopbackState, and shows them all in the report control. Dialog thread, driver stopped.
#pragma once

#include <windows.h>

enum { REPORT_TEXT_SIZE = 512 };

// The text shown in the report control, always NUL-terminated within its 512 characters.
extern char reportText[REPORT_TEXT_SIZE];
// Just behind "Position: " in reportText, where the refresh timer writes the switch count.
extern char *positionCursor;

// Writes the report of activeDriver (or the no-driver figures) and shows it in IDC_REPORT.
void writeReport(HWND window);

// Writes count at positionCursor, bounded by the end of reportText.
void writePosition(int count);
