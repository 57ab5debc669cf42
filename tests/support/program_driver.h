// Drives the real program from another process, as a user would: starts the .exe, finds its
// dialog and works its controls through window messages.
#pragma once

#include <windows.h>
#include <string>
#include <vector>

struct ProgramRun {
    PROCESS_INFORMATION process;
    HWND dialog;
};

// Starts the program and waits for its dialog. False (with the process ended) when no dialog came.
bool startProgram(ProgramRun *run);
// Closes the dialog from its system menu and returns the exit code; -1 when the process did not end
// (it is then terminated).
int closeProgram(ProgramRun *run);
// Waits for the process to end; its exit code, or -1 (process terminated) after the timeout.
int waitForExit(ProgramRun *run, DWORD timeoutMs);

std::vector<std::string> driverItems(HWND dialog);
int selectedDriverItem(HWND dialog);
std::string controlText(HWND dialog, int id);
bool controlEnabled(HWND dialog, int id);
// Picks item `index` of the drop-down list as a user does: the selection, then CBN_SELCHANGE.
void chooseDriverItem(HWND dialog, int index);
// Clicks a push button; a disabled button does nothing, as for a user.
void clickButton(HWND dialog, int id);
// Sends or posts WM_COMMAND as it stands, whatever is enabled: messages reach a disabled window.
// Posting does not wait for the command, which may run a driver's window for a while.
void sendCommand(HWND dialog, int id, int code);
void postCommand(HWND dialog, int id, int code);
// The window that has the keyboard focus on the dialog's thread, or null.
HWND focusedWindow(HWND dialog);
// Presses a key in the dialog, through its message loop.
void pressKey(HWND dialog, WPARAM key);
// Waits until the dialog has handled everything posted to it so far.
void syncWithDialog(HWND dialog);
// The number behind "Position: " in the report, or -1 when there is none.
long reportedPosition(HWND dialog);
