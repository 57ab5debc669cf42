// Inside the app folder: the dialog's commands (dialog_commands.cpp), which its message handler
// (main_dialog.cpp) runs. Dialog thread.
#pragma once

#include <windows.h>

// Refresh timer of the position count while the loopback runs.
enum { ID_REFRESH_TIMER = 1, REFRESH_PERIOD_MS = 250 };

// The commands of the three controls, each run by the message handler one at a time with the
// dialog disabled: the driver list's selection loaded, Start or Stop, the driver's control panel.
void chooseDriver(HWND window);
void toggleLoopback(HWND window);
void openControlPanel(HWND window);
// The refresh tick: the position count and the report shown afresh.
void handleTimer(HWND window);
