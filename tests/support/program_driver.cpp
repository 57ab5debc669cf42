#include "tests/support/testkit.h"

#include "res/resource.h"

#include <stdio.h>
#include <stdlib.h>
#include <string.h>

// Generous: the 32-bit program runs under emulation on some build machines, where a scan of tens
// of thousands of keys, or buffers for a hundred thousand channels, take minutes.
static const DWORD START_TIMEOUT_MS = 120000;
static const DWORD CLOSE_TIMEOUT_MS = 120000;
static const DWORD MESSAGE_TIMEOUT_MS = 240000;

bool launchProgram(ProgramRun *run)
{
    memset(run, 0, sizeof *run);
    std::string path = programPath();
    std::string commandLine = "\"" + path + "\"";
    STARTUPINFOA startup = {};
    startup.cb = sizeof startup;
    return CreateProcessA(path.c_str(), &commandLine[0], nullptr, nullptr, FALSE, 0, nullptr,
                          nullptr, &startup, &run->process) != FALSE;
}

struct WindowSearch {
    DWORD processId;
    bool dialog;  // the dialog itself, or any window but it
    HWND found;
};

static BOOL CALLBACK matchWindow(HWND window, LPARAM data)
{
    WindowSearch *search = reinterpret_cast<WindowSearch *>(data);
    DWORD processId = 0;
    GetWindowThreadProcessId(window, &processId);
    if (processId != search->processId || !IsWindowVisible(window))
        return TRUE;
    char title[64] = "";
    GetWindowTextA(window, title, sizeof title);
    if ((strcmp(title, "Quorvel Test") == 0) != search->dialog)
        return TRUE;
    search->found = window;
    return FALSE;
}

static HWND findWindow(const ProgramRun *run, bool dialog)
{
    WindowSearch search = {run->process.dwProcessId, dialog, nullptr};
    EnumWindows(matchWindow, reinterpret_cast<LPARAM>(&search));
    return search.found;
}

HWND findDialog(const ProgramRun *run)
{
    return findWindow(run, true);
}

HWND findOtherWindow(const ProgramRun *run)
{
    return findWindow(run, false);
}

bool programEnded(const ProgramRun *run)
{
    return WaitForSingleObject(run->process.hProcess, 0) == WAIT_OBJECT_0;
}

bool waitForDialog(ProgramRun *run, DWORD timeoutMs)
{
    DWORD started = GetTickCount();
    while (GetTickCount() - started < timeoutMs) {
        run->dialog = findDialog(run);
        if (run->dialog)
            return true;
        if (WaitForSingleObject(run->process.hProcess, 20) == WAIT_OBJECT_0)
            break;
    }
    waitForExit(run, 0);
    return false;
}

bool startProgram(ProgramRun *run)
{
    if (!launchProgram(run) || !waitForDialog(run, START_TIMEOUT_MS))
        return false;
    syncWithDialog(run->dialog);
    return true;
}

int waitForExit(ProgramRun *run, DWORD timeoutMs)
{
    int code = -1;
    if (WaitForSingleObject(run->process.hProcess, timeoutMs) == WAIT_OBJECT_0) {
        DWORD exitCode = 0;
        GetExitCodeProcess(run->process.hProcess, &exitCode);
        code = static_cast<int>(exitCode);
        // Exception codes have the two top bits set: say so, the number alone does not.
        if ((exitCode & 0xC0000000u) == 0xC0000000u)
            fprintf(stderr, "the program crashed: exception 0x%08lX%s\n",
                    static_cast<unsigned long>(exitCode),
                    exitCode == 0xC0000005u ? " (access violation)" : "");
    } else {
        TerminateProcess(run->process.hProcess, 99);
        WaitForSingleObject(run->process.hProcess, 10000);
    }
    CloseHandle(run->process.hProcess);
    CloseHandle(run->process.hThread);
    memset(run, 0, sizeof *run);
    return code;
}

int closeProgram(ProgramRun *run)
{
    if (!run->dialog)
        return waitForExit(run, 0);
    PostMessageA(run->dialog, WM_SYSCOMMAND, SC_CLOSE, 0);
    return waitForExit(run, CLOSE_TIMEOUT_MS);
}

// Texts are asked for in wide characters: across processes the narrow forms come back widened
// under Wine.
static LRESULT sendToDialog(HWND window, UINT message, WPARAM wParam, LPARAM lParam,
                            bool *answered = nullptr)
{
    DWORD_PTR result = 0;
    LRESULT sent = SendMessageTimeoutW(window, message, wParam, lParam, SMTO_NORMAL,
                                       MESSAGE_TIMEOUT_MS, &result);
    if (answered)
        *answered = sent != 0;
    return static_cast<LRESULT>(result);
}

static std::string narrow(const WCHAR *text)
{
    char out[2048] = "";
    WideCharToMultiByte(CP_ACP, 0, text, -1, out, sizeof out, nullptr, nullptr);
    return out;
}

void syncWithDialog(HWND dialog)
{
    sendToDialog(dialog, WM_NULL, 0, 0);
}

long driverItemCount(HWND dialog)
{
    bool answered = false;
    LRESULT count = sendToDialog(GetDlgItem(dialog, IDC_DRIVER), CB_GETCOUNT, 0, 0, &answered);
    return answered ? static_cast<long>(count) : -1;
}

std::vector<std::string> driverItems(HWND dialog)
{
    std::vector<std::string> items;
    HWND combo = GetDlgItem(dialog, IDC_DRIVER);
    long count = driverItemCount(dialog);
    for (long i = 0; i < count; i++) {
        LRESULT length = sendToDialog(combo, CB_GETLBTEXTLEN, i, 0);
        if (length < 0 || length >= 1024)
            break;
        WCHAR text[1024] = L"";
        sendToDialog(combo, CB_GETLBTEXT, i, reinterpret_cast<LPARAM>(text));
        items.push_back(narrow(text));
    }
    return items;
}

int findDriverItem(HWND dialog, const char *text)
{
    std::vector<std::string> items = driverItems(dialog);
    for (size_t i = 0; i < items.size(); i++) {
        if (items[i] == text)
            return static_cast<int>(i);
    }
    return -1;
}

int selectedDriverItem(HWND dialog)
{
    return static_cast<int>(sendToDialog(GetDlgItem(dialog, IDC_DRIVER), CB_GETCURSEL, 0, 0));
}

std::string controlText(HWND dialog, int id)
{
    WCHAR text[1024] = L"";
    sendToDialog(GetDlgItem(dialog, id), WM_GETTEXT, 1024, reinterpret_cast<LPARAM>(text));
    return narrow(text);
}

bool controlEnabled(HWND dialog, int id)
{
    return IsWindowEnabled(GetDlgItem(dialog, id)) != FALSE;
}

void chooseDriverItem(HWND dialog, int index)
{
    HWND combo = GetDlgItem(dialog, IDC_DRIVER);
    sendToDialog(combo, CB_SETCURSEL, static_cast<WPARAM>(index), 0);
    sendToDialog(dialog, WM_COMMAND, MAKEWPARAM(IDC_DRIVER, CBN_SELCHANGE),
                 reinterpret_cast<LPARAM>(combo));
}

void clickButton(HWND dialog, int id)
{
    if (!controlEnabled(dialog, id))
        return;
    sendCommand(dialog, id, BN_CLICKED);
}

void sendCommand(HWND dialog, int id, int code)
{
    sendToDialog(dialog, WM_COMMAND, MAKEWPARAM(id, code),
                 reinterpret_cast<LPARAM>(GetDlgItem(dialog, id)));
}

void postCommand(HWND dialog, int id, int code)
{
    PostMessageA(dialog, WM_COMMAND, MAKEWPARAM(id, code),
                 reinterpret_cast<LPARAM>(GetDlgItem(dialog, id)));
}

HWND focusedWindow(HWND dialog)
{
    GUITHREADINFO info = {};
    info.cbSize = sizeof info;
    if (!GetGUIThreadInfo(GetWindowThreadProcessId(dialog, nullptr), &info))
        return nullptr;
    return info.hwndFocus;
}

void pressKey(HWND dialog, WPARAM key)
{
    HWND focus = GetDlgItem(dialog, IDC_DRIVER);
    PostMessageA(focus, WM_KEYDOWN, key, 1);
    PostMessageA(focus, WM_KEYUP, key, 0xC0000001);
    // Posted messages come after sent ones: give the loop time to take the keys first.
    Sleep(300);
    syncWithDialog(dialog);
}

long reportedPosition(HWND dialog)
{
    std::string report = controlText(dialog, IDC_REPORT);
    size_t at = report.find("Position: ");
    if (at == std::string::npos)
        return -1;
    const char *digits = report.c_str() + at + strlen("Position: ");
    if (!*digits)
        return -1;
    return strtol(digits, nullptr, 10);
}
