// What a driver does to its host outside the calls it is asked: lines on the host's standard
// handles, a crash or exit on its own thread, a write past the record it was given, a window
// procedure of its own on the host's window.
#include "core.h"

#include <stdint.h>
#include <stdio.h>
#include <string.h>

namespace {

WNDPROC g_hostProcedure = nullptr;

void writeLine(DWORD handle, const char *line) {
    DWORD written = 0;
    WriteFile(GetStdHandle(handle), line, (DWORD)strlen(line), &written, nullptr);
}

LRESULT CALLBACK subclassProcedure(HWND window, UINT message, WPARAM wParam, LPARAM lParam) {
    if (message == WM_DESTROY) {
        for (;;)
            Sleep(1000);
    }
    return CallWindowProcA(g_hostProcedure, window, message, wParam, lParam);
}

}  // namespace

void simPrintLines(const SimDevice *device, const char *where) {
    if (!device->config.printLines)
        return;
    char line[96];
    snprintf(line, sizeof line, "Quorvel Sim: %s, on standard output\r\n", where);
    writeLine(STD_OUTPUT_HANDLE, line);
    snprintf(line, sizeof line, "Quorvel Sim: %s, on standard error\n", where);
    writeLine(STD_ERROR_HANDLE, line);
}

void simThreadFault(const SimDevice *device, LONG number) {
    const SimConfig &config = device->config;
    if (config.threadFault && number == config.threadFaultAt)
        simFault(config, config.threadFault);
}

void simScribble(const SimDevice *device, SimAsioChannelInfo *info) {
    const SimConfig &config = device->config;
    if (config.scribbleAt == 0 || info->isInput || info->channel != 1)
        return;
    int32_t value = config.scribbleValue;
    memcpy((char *)info + config.scribbleAt, &value, sizeof value);
}

void simSubclassReference(const SimDevice *device, HWND window) {
    if (!device->config.subclassReference || !window || g_hostProcedure)
        return;
    // The procedure outlives the object: the DLL stays loaded for it.
    HMODULE pinned = nullptr;
    GetModuleHandleExA(GET_MODULE_HANDLE_EX_FLAG_FROM_ADDRESS | GET_MODULE_HANDLE_EX_FLAG_PIN,
                       (LPCSTR)&subclassProcedure, &pinned);
    g_hostProcedure = (WNDPROC)SetWindowLongPtrA(window, GWLP_WNDPROC, (LONG_PTR)&subclassProcedure);
}
