// The program's one window: a modal dialog that lists the drivers, reports the chosen one and
// runs its loopback.
#pragma once

#include <windows.h>

// Runs IDD_MAIN modally; the dialog's result (2 after the system-menu close) is the exit code.
INT_PTR runMainDialog(HINSTANCE instance);

// The dialog's message handler. True only for WM_INITDIALOG.
INT_PTR CALLBACK mainDialogProc(HWND window, UINT message, WPARAM wParam, LPARAM lParam);
