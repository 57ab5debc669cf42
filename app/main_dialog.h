// The program's one window: a modal dialog that lists the drivers, reports the chosen one and
// runs its loopback.
#pragma once

#include <windows.h>

// Runs IDD_MAIN modally; the dialog's result (2 after the system-menu close) is the exit code.
INT_PTR runMainDialog(HINSTANCE instance);

// The dialog's message handler. True only for WM_INITDIALOG.
INT_PTR CALLBACK mainDialogProc(HWND window, UINT message, WPARAM wParam, LPARAM lParam);

// Refresh timer of the position count while the loopback runs.
enum { ID_REFRESH_TIMER = 1, REFRESH_PERIOD_MS = 250 };

// Commands of the three controls and the refresh tick (dialog_commands.cpp).
void handleCommand(HWND window, WPARAM wParam);
void handleTimer(HWND window);
void toggleLoopback(HWND window);

// A driver may run a message loop of its own inside any call (its panel, a message box, a wait in
// stop), and the dialog's messages are dispatched meanwhile. So one command runs at a time, with
// the dialog disabled: runCommand ignores a command that arrives while another runs, and a close
// asked for meanwhile is carried out when that command returns (requestClose).
void runCommand(HWND window, void (*command)(HWND window));
void requestClose(HWND window);
