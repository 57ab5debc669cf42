#include "app/main_dialog.h"

#include "drivers/driver_list.h"
#include "drivers/driver_loading.h"
#include "engine/loopback.h"
#include "res/resource.h"

#include <stdlib.h>

INT_PTR runMainDialog(HINSTANCE instance)
{
    return DialogBoxParamA(instance, MAKEINTRESOURCEA(IDD_MAIN), nullptr, mainDialogProc, 0);
}

static void initialiseDialog(HWND window)
{
    EnableWindow(GetDlgItem(window, IDC_START), FALSE);
    EnableWindow(GetDlgItem(window, IDC_CONTROL_PANEL), FALSE);
    SetDlgItemTextA(window, IDC_START, "Start");

    // Built once per process. Without memory for it the list stays empty and so does the dialog.
    if (!driverList) {
        DriverList *list = static_cast<DriverList *>(calloc(1, sizeof(DriverList)));
        if (list) {
            scanDrivers(list);
            list->currentIndex = -1;
            driverList = list;
        }
    }

    int count = driverList ? driverList->count : 0;
    for (int i = 0; i < count; i++) {
        char name[DISPLAY_NAME_SIZE];
        if (getEntryName(i, name) == 0)
            SendDlgItemMessageA(window, IDC_DRIVER, CB_ADDSTRING, 0, reinterpret_cast<LPARAM>(name));
    }

    driverInfo.sysRef = window;
}

// The dialog is ending: a running driver is stopped and every driver released first, so that no
// driver thread calls into a process on its way out.
static void closeDialog(HWND window)
{
    if (loopbackState.running) {
        KillTimer(window, ID_REFRESH_TIMER);
        stopLoopback(window);
    }
    closeCurrentDriver();
    EndDialog(window, 2);
}

INT_PTR CALLBACK mainDialogProc(HWND window, UINT message, WPARAM wParam, LPARAM)
{
    switch (message) {
    case WM_INITDIALOG:
        initialiseDialog(window);
        return TRUE;
    case WM_SYSCOMMAND:
        if (LOWORD(wParam) == SC_CLOSE)
            closeDialog(window);
        return FALSE;
    case WM_COMMAND:
        handleCommand(window, wParam);
        return FALSE;
    case WM_TIMER:
        handleTimer(window);
        return FALSE;
    }
    return FALSE;
}
