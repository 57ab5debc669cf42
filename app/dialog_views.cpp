#include "app/dialog_views.h"

#include "engine/driver_report.h"
#include "engine/loopback.h"
#include "res/resource.h"

void writeReport(HWND window)
{
    DriverFigures figures;
    readDriverFigures(&figures);
    formatReport(&figures);
    SetDlgItemTextA(window, IDC_REPORT, reportText);
}

void startLoopback(HWND window)
{
    SetDlgItemTextA(window, IDC_START, "Stop");
    EnableWindow(GetDlgItem(window, IDC_CONTROL_PANEL), FALSE);
    beginLoopback(&loopbackCallbacks, loopbackState.preferredSize);
}

void stopLoopback(HWND window)
{
    endLoopback();
    SetDlgItemTextA(window, IDC_START, "Start");
    EnableWindow(GetDlgItem(window, IDC_CONTROL_PANEL), TRUE);
}
