// What the tests, the benchmarks and the screenshot tool share: where the built files are, the real
// program driven from another process as a user would drive it, and driver registrations written
// straight into the real registry. No test framework: results are returned, not asserted.
//
// Everything runs on the caller's thread. Paths are Windows paths; under Wine the Linux build tree
// is seen on Z:.
#pragma once

#include <windows.h>
#include <string>
#include <vector>

// ---- Built files -------------------------------------------------------------------------------

// A file of this build tree (where the programs and the simulated device are), e.g. "CMakeCache.txt".
std::string buildFilePath(const char *file);
std::string programPath();   // quorvel64.exe or quorvel.exe
std::string checkerPath();   // quorvelcheck64.exe or quorvelcheck.exe
std::string simDllPath();    // simasio64.dll or simasio.dll
// A new class identifier in braces, upper case, for a device or class of one's own.
std::string newClsidText();

// ---- The program ---------------------------------------------------------------------------------

struct ProgramRun {
    PROCESS_INFORMATION process;
    HWND dialog;  // null until its dialog is found
};

// Starts the program and waits for its dialog (minutes: the 32-bit program may run emulated), then
// waits until the dialog has taken its first messages. False, with the process ended, when no
// dialog came.
bool startProgram(ProgramRun *run);
// Starts the program without waiting. False when the process could not be made.
bool launchProgram(ProgramRun *run);
// The program's visible dialog, or null while it has none.
HWND findDialog(const ProgramRun *run);
// A visible top-level window of the program other than its dialog (a driver's panel or message
// box), or null.
HWND findOtherWindow(const ProgramRun *run);
// Waits for the dialog and keeps it in run->dialog. False (process ended) when none came in time.
bool waitForDialog(ProgramRun *run, DWORD timeoutMs);
bool programEnded(const ProgramRun *run);
// Closes the dialog from its system menu and waits; the exit code, or -1 when the process had to be
// terminated (at once when it has no dialog and is still running).
int closeProgram(ProgramRun *run);
// Waits for the process to end and releases its handles; its exit code, or -1 (terminated) after
// the timeout. An exception code is named on stderr: a crash is told from a plain failure.
int waitForExit(ProgramRun *run, DWORD timeoutMs);

// The dialog's controls, through window messages. A dialog that does not answer within four minutes
// gives empty texts and lists rather than holding the caller for good.
std::vector<std::string> driverItems(HWND dialog);
// Items of the drop-down list; -1 when the dialog does not answer.
long driverItemCount(HWND dialog);
// Index of the item with that text, or -1.
int findDriverItem(HWND dialog, const char *text);
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
// Waits until the dialog has handled everything sent to it so far.
void syncWithDialog(HWND dialog);
// The number behind "Position: " in the report, or -1 when there is none.
long reportedPosition(HWND dialog);

// ---- Registrations -------------------------------------------------------------------------------
// In the registry view of the caller's bitness (the one the program of the same bitness reads).
// Each returns 0 or a Windows error code.

// Removes HKLM\SOFTWARE\ASIO with everything below it; 0 also when it was not there.
long removeAsioKey();
// Creates HKLM\SOFTWARE\ASIO, empty unless it was there.
long createAsioKey();
// HKLM\SOFTWARE\ASIO\<keyName> with a string value clsidValueName (so that "clsid" or "CLSID" can
// be chosen) and a "Description" unless description is null.
long writeDriverKey(const std::string &keyName, const std::string &clsidText,
                    const char *description, const char *clsidValueName = "CLSID");
// A value of any type under HKLM\SOFTWARE\ASIO\<keyName>, made if need be.
long writeAsioValue(const std::string &keyName, const char *valueName, DWORD type,
                    const void *data, DWORD size);
// HKLM\Software\Classes\CLSID\<name> with InprocServer32 (default value serverPath, ThreadingModel
// Apartment), or without InprocServer32 when serverPath is null. Made key by key below the CLSID
// key, so names as long as the registry allows (255) work.
long writeClassKey(const std::string &name, const char *serverPath);
// Removes that class key with everything below it; 0 also when it was not there.
long removeClassKey(const std::string &name);

// ---- The system ----------------------------------------------------------------------------------

// The exception code this system gives a write through a bad pointer: 0xC0000005 (access
// violation), or 0xC000001D (illegal instruction) where 32-bit Windows code runs under qemu's
// user-mode emulation. Measured once, on a thread of its own.
unsigned long badWriteExceptionCode();
// Whether a touch of a guard page raises STATUS_GUARD_PAGE_VIOLATION here (not under qemu).
bool guardPagesDelivered();
