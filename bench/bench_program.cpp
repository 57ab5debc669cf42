#include "bench/bench_program.h"

#include "res/resource.h"

#include <string.h>

// Generous: the 32-bit program runs under emulation on some machines, and a scan of tens of
// thousands of keys takes minutes.
static const DWORD MESSAGE_TIMEOUT_MS = 60000;
static const DWORD CLOSE_TIMEOUT_MS = 120000;

std::string besideBenchmark(const char *file)
{
    char path[MAX_PATH] = "";
    GetModuleFileNameA(nullptr, path, sizeof path);
    char *slash = strrchr(path, '\\');
    if (slash)
        slash[1] = '\0';
    return std::string(path) + file;
}

std::string programPath()
{
    return besideBenchmark(sizeof(void *) == 8 ? "quorvel64.exe" : "quorvel.exe");
}

std::string simDllPath()
{
    return besideBenchmark(sizeof(void *) == 8 ? "simasio64.dll" : "simasio.dll");
}

bool launchProgram(BenchProgram *run)
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
    HWND found;
};

static BOOL CALLBACK matchDialog(HWND window, LPARAM data)
{
    WindowSearch *search = reinterpret_cast<WindowSearch *>(data);
    DWORD processId = 0;
    GetWindowThreadProcessId(window, &processId);
    if (processId != search->processId || !IsWindowVisible(window))
        return TRUE;
    char title[64] = "";
    GetWindowTextA(window, title, sizeof title);
    if (strcmp(title, "Quorvel Test") != 0)
        return TRUE;
    search->found = window;
    return FALSE;
}

HWND findDialog(const BenchProgram *run)
{
    WindowSearch search = {run->process.dwProcessId, nullptr};
    EnumWindows(matchDialog, reinterpret_cast<LPARAM>(&search));
    return search.found;
}

bool programEnded(const BenchProgram *run)
{
    return WaitForSingleObject(run->process.hProcess, 0) == WAIT_OBJECT_0;
}

static void endProcess(BenchProgram *run)
{
    if (!programEnded(run)) {
        TerminateProcess(run->process.hProcess, 99);
        WaitForSingleObject(run->process.hProcess, 10000);
    }
    CloseHandle(run->process.hProcess);
    CloseHandle(run->process.hThread);
    memset(run, 0, sizeof *run);
}

bool waitForDialog(BenchProgram *run, DWORD timeoutMs)
{
    DWORD started = GetTickCount();
    while (GetTickCount() - started < timeoutMs) {
        run->dialog = findDialog(run);
        if (run->dialog)
            return true;
        if (WaitForSingleObject(run->process.hProcess, 20) == WAIT_OBJECT_0)
            break;
    }
    endProcess(run);
    return false;
}

// Texts are asked for in wide characters: across processes the narrow forms come back widened
// under Wine.
static LRESULT sendWithTimeout(HWND window, UINT message, WPARAM wParam, LPARAM lParam, bool *ok)
{
    DWORD_PTR result = 0;
    LRESULT sent = SendMessageTimeoutW(window, message, wParam, lParam, SMTO_NORMAL,
                                       MESSAGE_TIMEOUT_MS, &result);
    if (ok)
        *ok = sent != 0;
    return static_cast<LRESULT>(result);
}

long driverItemCount(HWND dialog)
{
    bool ok = false;
    LRESULT count = sendWithTimeout(GetDlgItem(dialog, IDC_DRIVER), CB_GETCOUNT, 0, 0, &ok);
    return ok ? static_cast<long>(count) : -1;
}

int findDriverItem(HWND dialog, const char *text)
{
    WCHAR wanted[256];
    MultiByteToWideChar(CP_ACP, 0, text, -1, wanted, 256);
    HWND combo = GetDlgItem(dialog, IDC_DRIVER);
    long count = driverItemCount(dialog);
    for (long i = 0; i < count; i++) {
        WCHAR item[1024] = L"";
        if (sendWithTimeout(combo, CB_GETLBTEXTLEN, i, 0, nullptr) >= 1024)
            continue;
        sendWithTimeout(combo, CB_GETLBTEXT, i, reinterpret_cast<LPARAM>(item), nullptr);
        if (wcscmp(item, wanted) == 0)
            return static_cast<int>(i);
    }
    return -1;
}

void chooseDriverItem(HWND dialog, int index)
{
    HWND combo = GetDlgItem(dialog, IDC_DRIVER);
    sendWithTimeout(combo, CB_SETCURSEL, static_cast<WPARAM>(index), 0, nullptr);
    sendWithTimeout(dialog, WM_COMMAND, MAKEWPARAM(IDC_DRIVER, CBN_SELCHANGE),
                    reinterpret_cast<LPARAM>(combo), nullptr);
}

void clickButton(HWND dialog, int id)
{
    HWND button = GetDlgItem(dialog, id);
    // A disabled button does nothing for a user either.
    if (!IsWindowEnabled(button))
        return;
    sendWithTimeout(dialog, WM_COMMAND, MAKEWPARAM(id, BN_CLICKED),
                    reinterpret_cast<LPARAM>(button), nullptr);
}

std::string controlText(HWND dialog, int id)
{
    WCHAR text[1024] = L"";
    sendWithTimeout(GetDlgItem(dialog, id), WM_GETTEXT, 1024, reinterpret_cast<LPARAM>(text),
                    nullptr);
    char out[2048] = "";
    WideCharToMultiByte(CP_ACP, 0, text, -1, out, sizeof out, nullptr, nullptr);
    return out;
}

int closeProgram(BenchProgram *run)
{
    int code = -1;
    if (!run->dialog) {
        endProcess(run);
        return code;
    }
    PostMessageA(run->dialog, WM_SYSCOMMAND, SC_CLOSE, 0);
    if (WaitForSingleObject(run->process.hProcess, CLOSE_TIMEOUT_MS) == WAIT_OBJECT_0) {
        DWORD exitCode = 0;
        GetExitCodeProcess(run->process.hProcess, &exitCode);
        code = static_cast<int>(exitCode);
    }
    endProcess(run);
    return code;
}
