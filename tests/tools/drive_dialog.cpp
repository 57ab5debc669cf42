// Starts the program and works its dialog from outside, for the scripts that show it running:
//     drive_dialog [--select N] [--start] [--panel] [--wait MS] --ready FILE --done FILE
// After the actions it creates the ready file, waits for the done file, and closes the program.
// --panel opens the driver's control panel and leaves it open until the done file, then cancels it.
#include "res/resource.h"
#include "tests/support/testkit.h"

#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <string>

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
        postCommand(run.dialog, IDC_CONTROL_PANEL, BN_CLICKED);
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
        HWND panelWindow = findOtherWindow(&run);
        if (panelWindow)
            PostMessageA(panelWindow, WM_COMMAND, IDCANCEL, 0);
        Sleep(500);
    }
    if (start)
        clickButton(run.dialog, IDC_START);
    int code = closeProgram(&run);
    printf("drive_dialog: the program ended with exit code %d\n", code);
    return code == 2 ? 0 : 1;
}
