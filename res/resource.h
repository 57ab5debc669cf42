// Resource identifiers of the main dialog.
#pragma once

#define IDD_MAIN 101

#define IDC_DRIVER 1001
#define IDC_START 1002
#define IDC_REPORT 1003
#define IDC_CONTROL_PANEL 1004
