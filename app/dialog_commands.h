// Inside the app folder: what the dialog's message handler (main_dialog.cpp) and its commands
// (dialog_commands.cpp) call of each other. Dialog thread.
#pragma once

#include <windows.h>

// Refresh timer of the position count while the loopback runs.
enum { ID_REFRESH_TIMER = 1, REFRESH_PERIOD_MS = 250 };

// Commands of the three controls and the refresh tick (dialog_commands.cpp).
void handleCommand(HWND window, WPARAM wParam);
void handleTimer(HWND window);

// A driver may run a message loop of its own inside any call (its panel, a message box, a wait in
// stop), and the dialog's messages are dispatched meanwhile. So one command runs at a time, with
// the dialog disabled: runCommand ignores a command that arrives while another runs, and a close
// asked for meanwhile is carried out when that command returns (main_dialog.cpp).
void runCommand(HWND window, void (*command)(HWND window));
