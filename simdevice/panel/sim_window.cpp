// Windows and message loops the device runs on the host's thread, inside the host's own call, as
// real drivers do: the host's windows go on getting messages meanwhile, and may call back in.
#include "panel.h"

#include <stdio.h>
#include <string.h>

namespace {

DWORD windowMs(const SimDevice *device) {
    return device->config.windowMs > 0 ? (DWORD)device->config.windowMs : 0;
}

// The message box is found again by its caption, which carries the number of the timer that
// ends it: boxes of several devices on one thread are told apart.
void boxCaption(UINT_PTR timer, char *out, size_t outSize) {
    snprintf(out, outSize, "Quorvel Sim (%lu)", (unsigned long)timer);
}

struct BoxSearch {
    char caption[64];
    HWND found;
};

BOOL CALLBACK matchBox(HWND window, LPARAM parameter) {
    auto *search = (BoxSearch *)parameter;
    char text[64] = {};
    GetWindowTextA(window, text, sizeof text);
    if (strcmp(text, search->caption) != 0)
        return TRUE;
    search->found = window;
    return FALSE;
}

// Runs inside the message box's own loop. Until the box is there it tries again next tick.
void CALLBACK endBox(HWND, UINT, UINT_PTR timer, DWORD) {
    BoxSearch search = {};
    boxCaption(timer, search.caption, sizeof search.caption);
    EnumThreadWindows(GetCurrentThreadId(), matchBox, (LPARAM)&search);
    if (!search.found)
        return;
    KillTimer(nullptr, timer);
    EndDialog(search.found, IDOK);
}

}  // namespace


// Windows nest on one thread; one up on another thread at the same time is counted but its
// calls are not flagged.
void simEnterWindow(SimDevice *device) {
    simHold(device);
    if (device->windowDepth == 0)
        device->windowThread = GetCurrentThreadId();
    InterlockedIncrement(&device->windowDepth);
    InterlockedIncrement(&device->shared->windowsUp);
    InterlockedIncrement(&device->shared->windowsShown);
}

bool simLeaveWindow(SimDevice *device) {
    InterlockedDecrement(&device->shared->windowsUp);
    InterlockedDecrement(&device->windowDepth);
    return simUnhold(device);
}

bool simInitMessageBox(SimDevice *device) {
    UINT_PTR timer = SetTimer(nullptr, 0, windowMs(device), endBox);
    if (!timer)
        return false;  // a box nothing would close: better none
    char caption[64];
    boxCaption(timer, caption, sizeof caption);
    simEnterWindow(device);
    MessageBoxA(nullptr, "Quorvel Sim: checking the hardware", caption, MB_OK);
    KillTimer(nullptr, timer);  // when the box ended some other way
    return simLeaveWindow(device);
}

// A WM_QUIT taken from the queue ends the wait and is posted again for the host's own loop.
bool simWaitWithMessages(SimDevice *device) {
    simEnterWindow(device);
    DWORD started = GetTickCount(), length = windowMs(device);
    for (;;) {
        MSG message;
        bool quit = false;
        while (!quit && PeekMessageW(&message, nullptr, 0, 0, PM_REMOVE)) {
            if (message.message == WM_QUIT) {
                PostQuitMessage((int)message.wParam);
                quit = true;
            } else {
                TranslateMessage(&message);
                DispatchMessageW(&message);
            }
        }
        DWORD elapsed = GetTickCount() - started;
        if (quit || elapsed >= length)
            break;
        MsgWaitForMultipleObjects(0, nullptr, FALSE, length - elapsed, QS_ALLINPUT);
    }
    return simLeaveWindow(device);
}

void simRunMessageLoop(HWND window) {
    MSG message;
    while (IsWindow(window)) {
        BOOL got = GetMessageW(&message, nullptr, 0, 0);
        if (got <= 0) {
            DestroyWindow(window);
            if (got == 0)
                PostQuitMessage((int)message.wParam);
            break;
        }
        if (!IsDialogMessageW(window, &message)) {
            TranslateMessage(&message);
            DispatchMessageW(&message);
        }
    }
}
