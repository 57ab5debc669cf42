#include "app/dialog_commands.h"

#include "app/dialog_views.h"
#include "drivers/driver_list.h"
#include "drivers/driver_loading.h"
#include "engine/driver_report.h"
#include "engine/loopback.h"
#include "res/resource.h"

void chooseDriver(HWND window)
{
    int position = static_cast<int>(SendDlgItemMessageA(window, IDC_DRIVER, CB_GETCURSEL, 0, 0));
    int current = driverList ? driverList->currentIndex : -1;
    if (position == current)
        return;

    // The refresh timer is left running: the new report then shows the stopped run's last count.
    stopLoopback(window);
    closeCurrentDriver();
    EnableWindow(GetDlgItem(window, IDC_START), FALSE);

    if (position != CB_ERR && openDriver(position)) {
        initDriver(&driverInfo);
        EnableWindow(GetDlgItem(window, IDC_START), TRUE);
        EnableWindow(GetDlgItem(window, IDC_CONTROL_PANEL), TRUE);
        writeReport(window);
    }
}

// The driver's own panel may change its figures: reload it and report it afresh.
void openControlPanel(HWND window)
{
    int index = driverList ? driverList->currentIndex : -1;
    // The button is disabled while running; a stray command must not unload a running driver.
    if (index == -1 || loopbackState.running)
        return;
    asioControlPanel();
    closeCurrentDriver();
    openDriver(index);
    initDriver(&driverInfo);
    EnableWindow(GetDlgItem(window, IDC_START), TRUE);
    writeReport(window);
}

void toggleLoopback(HWND window)
{
    if (loopbackState.running) {
        KillTimer(window, ID_REFRESH_TIMER);
        stopLoopback(window);
    } else {
        startLoopback(window);
        SetTimer(window, ID_REFRESH_TIMER, REFRESH_PERIOD_MS, nullptr);
    }
}

void handleTimer(HWND window)
{
    writePosition(loopbackState.switchCount.load(std::memory_order_relaxed));
    SetDlgItemTextA(window, IDC_REPORT, reportText);
}
