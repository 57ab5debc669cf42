#include "app/main_dialog.h"

#include "app/dialog_commands.h"
#include "app/dialog_views.h"
#include "drivers/driver_list.h"
#include "drivers/driver_loading.h"
#include "engine/loopback.h"
#include "res/resource.h"

static bool commandRunning = false;
static bool closePending = false;
static bool closing = false;

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
    createDriverList();

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
    closing = true;
    if (loopbackState.running) {
        KillTimer(window, ID_REFRESH_TIMER);
        stopLoopback(window);
    }
    closeCurrentDriver();
    EndDialog(window, 2);
}

// Focus goes back where it was, or to the next control that can take it when that one is now
// disabled (Start after a selection that opened nothing).
static void restoreFocus(HWND window, HWND focus)
{
    if (!focus || !IsChild(window, focus))
        return;
    if (!IsWindowEnabled(focus))
        focus = GetNextDlgTabItem(window, focus, FALSE);
    if (focus)
        SendMessageA(window, WM_NEXTDLGCTL, reinterpret_cast<WPARAM>(focus), TRUE);
}

// A selection that arrived during a command was not acted on: the list goes back to the driver
// that is loaded.
static void showCurrentDriver(HWND window)
{
    int current = driverList ? driverList->currentIndex : -1;
    if (current != -1 && SendDlgItemMessageA(window, IDC_DRIVER, CB_GETCURSEL, 0, 0) != current)
        SendDlgItemMessageA(window, IDC_DRIVER, CB_SETCURSEL, static_cast<WPARAM>(current), 0);
}

// A driver may run a message loop of its own inside any call (its panel, a message box, a wait in
// stop), and the dialog's messages are dispatched meanwhile. So one command runs at a time, with
// the dialog disabled: a command that arrives while another runs is ignored, and a close asked
// for meanwhile is carried out when that command returns.
static void runCommand(HWND window, void (*command)(HWND window))
{
    if (commandRunning || closing)
        return;
    commandRunning = true;
    HWND focus = GetFocus();
    EnableWindow(window, FALSE);
    command(window);
    EnableWindow(window, TRUE);
    showCurrentDriver(window);
    restoreFocus(window, focus);
    commandRunning = false;
    if (closePending && !closing)
        runCommand(window, closeDialog);
}

// A close asked for while a command runs waits for that command to return.
static void requestClose(HWND window)
{
    if (commandRunning)
        closePending = true;
    else
        runCommand(window, closeDialog);
}

// The command of one of the three controls.
static void handleCommand(HWND window, WPARAM wParam)
{
    switch (LOWORD(wParam)) {
    case IDC_DRIVER:
        if (HIWORD(wParam) == CBN_SELCHANGE)
            runCommand(window, chooseDriver);
        break;
    case IDC_START:
        runCommand(window, toggleLoopback);
        break;
    case IDC_CONTROL_PANEL:
        runCommand(window, openControlPanel);
        break;
    }
}

INT_PTR CALLBACK mainDialogProc(HWND window, UINT message, WPARAM wParam, LPARAM)
{
    switch (message) {
    case WM_INITDIALOG:
        initialiseDialog(window);
        return TRUE;
    case WM_SYSCOMMAND:
        // The low four bits of the command are the system's own.
        if ((wParam & 0xFFF0) == SC_CLOSE)
            requestClose(window);
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
