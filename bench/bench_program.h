// The real program driven from a benchmark as a user would drive it: started as a process, its
// dialog found and worked through window messages.
#pragma once

#include <windows.h>
#include <string>

struct BenchProgram {
    PROCESS_INFORMATION process;
    HWND dialog;
};

// A file beside this benchmark's executable (the build directory), as a Windows path.
std::string besideBenchmark(const char *file);
// quorvel64.exe or quorvel.exe, whichever matches this build.
std::string programPath();
std::string simDllPath();

// Starts the program. False when the process could not be made.
bool launchProgram(BenchProgram *run);
// The program's visible dialog, or null while it has none.
HWND findDialog(const BenchProgram *run);
// Waits for the dialog. False (process ended) when none came within timeoutMs.
bool waitForDialog(BenchProgram *run, DWORD timeoutMs);
bool programEnded(const BenchProgram *run);
// Items of the drop-down list; -1 when the dialog does not answer.
long driverItemCount(HWND dialog);
// Index of the item with that text, or -1.
int findDriverItem(HWND dialog, const char *text);
// Picks an item as a user does: the selection, then CBN_SELCHANGE.
void chooseDriverItem(HWND dialog, int index);
void clickButton(HWND dialog, int id);
std::string controlText(HWND dialog, int id);
// Closes the dialog from its system menu and waits; the exit code, or -1 when the process had to
// be ended (at once when it has no dialog).
int closeProgram(BenchProgram *run);
