// What the dialog shows of the engine: the report in IDC_REPORT, and the buttons that belong to the
// running state. Dialog thread.
#pragma once

#include <windows.h>

// Writes the report of activeDriver (or the no-driver figures) and shows it in IDC_REPORT.
void writeReport(HWND window);
// Shows "Stop", disables Control Panel, and runs the loopback with the dialog's callbacks.
void startLoopback(HWND window);
// Stops the loopback (also when nothing runs), shows "Start" and enables Control Panel.
void stopLoopback(HWND window);
