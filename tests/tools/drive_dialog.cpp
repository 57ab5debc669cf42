// Starts the program and works its dialog from outside, for the scripts that show it running:
//     drive_dialog [--select N] [--start] [--panel] [--wait MS] --ready FILE --done FILE
// After the actions it creates the ready file, waits for the done file, and closes the program.
// --panel opens the driver's control panel and leaves it open until the done file, then cancels it.
#include "res/resource.h"
#include "tests/support/program_driver.h"

#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <string>

struct PanelSearch {
    DWORD processId;
    HWND dialog;
    HWND found;
};

// The driver's panel: a visible top-level window of the program other than its dialog.
static BOOL CALLBACK matchPanel(HWND window, LPARAM data)
{
    PanelSearch *search = reinterpret_cast<PanelSearch *>(data);
    DWORD processId = 0;
    GetWindowThreadProcessId(window, &processId);
    if (processId == search->processId && window != search->dialog && IsWindowVisible(window)) {
        search->found = window;
        return FALSE;
    }
    return TRUE;
}

int main(int argc, char **argv)
{
    int select = -1;
    bool start = false;
    bool panel = false;
    DWORD waitMs = 0;
    std::string ready, done;
    for (int i = 1; i < argc; i++) {
        if (!strcmp(argv[i], "--select") && i + 1 < argc)
            select = atoi(argv[++i]);
        else if (!strcmp(argv[i], "--start"))
            start = true;
        else if (!strcmp(argv[i], "--panel"))
            panel = true;
        else if (!strcmp(argv[i], "--wait") && i + 1 < argc)
            waitMs = static_cast<DWORD>(atoi(argv[++i]));
        else if (!strcmp(argv[i], "--ready") && i + 1 < argc)
            ready = argv[++i];
        else if (!strcmp(argv[i], "--done") && i + 1 < argc)
            done = argv[++i];
    }

    ProgramRun run;
    if (!startProgram(&run)) {
        fprintf(stderr, "drive_dialog: the program's dialog did not appear\n");
        return 1;
    }
    if (select >= 0)
        chooseDriverItem(run.dialog, select);
    if (start)
        clickButton(run.dialog, IDC_START);
    // Posted: the panel is modal, and the dialog answers nothing until it closes.
    if (panel)
        PostMessageA(run.dialog, WM_COMMAND, IDC_CONTROL_PANEL, 0);
    Sleep(waitMs);

    if (!ready.empty()) {
        FILE *file = fopen(ready.c_str(), "w");
        if (file)
            fclose(file);
    }
    for (int i = 0; !done.empty() && i < 600; i++) {
        if (GetFileAttributesA(done.c_str()) != INVALID_FILE_ATTRIBUTES)
            break;
        Sleep(100);
    }
    if (panel) {
        PanelSearch search = {run.process.dwProcessId, run.dialog, nullptr};
        EnumWindows(matchPanel, reinterpret_cast<LPARAM>(&search));
        if (search.found)
            PostMessageA(search.found, WM_COMMAND, IDCANCEL, 0);
        Sleep(500);
    }
    if (start)
        clickButton(run.dialog, IDC_START);
    int code = closeProgram(&run);
    printf("drive_dialog: the program ended with exit code %d\n", code);
    return code == 2 ? 0 : 1;
}
