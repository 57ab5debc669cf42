// Windows and message loops the device runs on the host's thread: the message box of init, the
// loop inside stop, and the control panel. Built on the core.
#pragma once

#include "../core/core.h"

// sim_window.cpp: windows and loops on the calling (host's) thread, each holding the object.
// The functions that run one return true when the object is gone afterwards.
void simEnterWindow(SimDevice *device);
bool simLeaveWindow(SimDevice *device);
// A message box with no owner that a timer on this thread ends after "WindowMs".
bool simInitMessageBox(SimDevice *device);
// Dispatches this thread's messages for "WindowMs"; no window of its own.
bool simWaitWithMessages(SimDevice *device);
// The device's own GetMessage loop until `window` is gone. A WM_QUIT ends it and is posted again.
void simRunMessageLoop(HWND window);

// sim_panel.cpp
bool simShowPanel(SimDevice *device);        // modal, owned by the sysHandle of init
bool simShowPanelWindow(SimDevice *device);  // no owner, own loop, closes after "WindowMs"
