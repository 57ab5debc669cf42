// The control panel window: describes the device and lets a person choose the preferred buffer
// size, which goes into the registry; the host sees it after it loads the driver again. The
// dialog template is built in memory, so the DLL needs no resources. The same window also comes
// without an owner, with the device's own message loop, and closes itself.
#include "panel.h"

#include <stdio.h>
#include <string.h>

namespace {

enum {
    ID_DESCRIPTION = 100,
    ID_PREFERRED = 101,
    ATOM_BUTTON = 0x0080,
    ATOM_EDIT = 0x0081,
    ATOM_STATIC = 0x0082,
};

struct Template {
    alignas(4) WORD words[1024];
    size_t used;  // in words
};

void putWord(Template *t, WORD word) {
    if (t->used < sizeof t->words / sizeof t->words[0])
        t->words[t->used++] = word;
}

void putText(Template *t, const char *text) {
    for (; *text; text++)
        putWord(t, (unsigned char)*text);
    putWord(t, 0);
}

// The template records have even sizes; they go in word by word.
void putBytes(Template *t, const void *bytes, size_t size) {
    for (size_t i = 0; i + 1 < size; i += 2) {
        WORD word;
        memcpy(&word, (const BYTE *)bytes + i, sizeof word);
        putWord(t, word);
    }
}

void alignToDword(Template *t) {
    if (t->used & 1)
        putWord(t, 0);
}

void putItem(Template *t, DWORD style, short x, short y, short cx, short cy, WORD id, WORD atom,
             const char *text) {
    alignToDword(t);
    DLGITEMTEMPLATE item = {};
    item.style = style | WS_CHILD | WS_VISIBLE;
    item.x = x;
    item.y = y;
    item.cx = cx;
    item.cy = cy;
    item.id = id;
    putBytes(t, &item, sizeof item);
    putWord(t, 0xFFFF);
    putWord(t, atom);
    putText(t, text);
    putWord(t, 0);  // no creation data
}

void buildTemplate(Template *t, const char *title) {
    static_assert(sizeof(DLGTEMPLATE) % 2 == 0 && sizeof(DLGITEMTEMPLATE) % 2 == 0, "whole words");
    DLGTEMPLATE dialog = {};
    dialog.style = DS_MODALFRAME | DS_SETFONT | DS_CENTER | WS_POPUP | WS_CAPTION | WS_SYSMENU;
    dialog.cdit = 5;
    dialog.cx = 236;
    dialog.cy = 106;
    putBytes(t, &dialog, sizeof dialog);
    putWord(t, 0);  // no menu
    putWord(t, 0);  // the standard dialog class
    putText(t, title);
    putWord(t, 8);
    putText(t, "MS Shell Dlg");
    putItem(t, SS_LEFT, 7, 7, 222, 44, ID_DESCRIPTION, ATOM_STATIC, "");
    putItem(t, SS_LEFT, 7, 61, 130, 10, 0xFFFF, ATOM_STATIC, "Preferred buffer size (frames):");
    putItem(t, ES_NUMBER | ES_AUTOHSCROLL | WS_BORDER | WS_TABSTOP, 140, 59, 60, 13, ID_PREFERRED,
            ATOM_EDIT, "");
    putItem(t, BS_DEFPUSHBUTTON | WS_TABSTOP, 118, 84, 52, 15, IDOK, ATOM_BUTTON, "OK");
    putItem(t, BS_PUSHBUTTON | WS_TABSTOP, 176, 84, 52, 15, IDCANCEL, ATOM_BUTTON, "Cancel");
}

void describe(const SimDevice *device, char *out, size_t outSize) {
    const SimConfig &c = device->config;
    int bytes = simSampleBytes(c.sampleType);
    snprintf(out, outSize,
             "%s, version %d\r\n"
             "Inputs: %d    Outputs: %d\r\n"
             "Buffer sizes: %d to %d frames, granularity %d, preferred %d\r\n"
             "Sample rate: %s Hz\r\n"
             "Sample type: %d (%d bytes per sample)",
             c.driverName, (int)c.driverVersion, (int)c.inputs, (int)c.outputs, (int)c.minSize,
             (int)c.maxSize, (int)c.granularity, (int)c.preferredSize, c.sampleRate,
             (int)c.sampleType, bytes);
}

// A range the device itself reports as sane is enforced; otherwise any positive size goes.
bool acceptable(const SimConfig &c, UINT size) {
    if (size == 0 || size > 0x7FFFFFFF)
        return false;
    if (c.minSize > 0 && c.maxSize >= c.minSize)
        return (long)size >= c.minSize && (long)size <= c.maxSize;
    return true;
}

bool saveChoice(HWND dialog, SimDevice *device) {
    BOOL read = FALSE;
    UINT size = GetDlgItemInt(dialog, ID_PREFERRED, &read, FALSE);
    const SimConfig &c = device->config;
    if (!read || !acceptable(c, size)) {
        char text[128];
        if (c.minSize > 0 && c.maxSize >= c.minSize)
            snprintf(text, sizeof text, "Enter a size from %d to %d frames.", (int)c.minSize,
                     (int)c.maxSize);
        else
            snprintf(text, sizeof text, "Enter a size above 0 frames.");
        MessageBoxA(dialog, text, c.driverName, MB_OK | MB_ICONWARNING);
        return false;
    }
    SimConfig stored;
    long error = simReadConfig(device->clsidText, &stored);
    if (!error) {
        stored.preferredSize = (int32_t)size;
        error = simWriteConfig(device->clsidText, &stored);
    }
    if (error) {
        MessageBoxA(dialog, "The new size could not be saved in the registry.", c.driverName,
                    MB_OK | MB_ICONERROR);
        return false;
    }
    return true;
}

void fillPanel(HWND dialog, const SimDevice *device) {
    char text[512];
    describe(device, text, sizeof text);
    SetDlgItemTextA(dialog, ID_DESCRIPTION, text);
    SetDlgItemInt(dialog, ID_PREFERRED, (UINT)device->config.preferredSize, TRUE);
}

INT_PTR CALLBACK panelProc(HWND dialog, UINT message, WPARAM wParam, LPARAM lParam) {
    auto *device = (SimDevice *)GetWindowLongPtrA(dialog, DWLP_USER);
    switch (message) {
    case WM_INITDIALOG:
        SetWindowLongPtrA(dialog, DWLP_USER, lParam);
        fillPanel(dialog, (SimDevice *)lParam);
        return TRUE;
    case WM_COMMAND:
        if (LOWORD(wParam) == IDOK && device && saveChoice(dialog, device))
            EndDialog(dialog, IDOK);
        else if (LOWORD(wParam) == IDCANCEL)
            EndDialog(dialog, IDCANCEL);
        return TRUE;
    }
    return FALSE;
}

// Without an owner it only shows the figures; what it changes comes from "Simulation\Panel".
INT_PTR CALLBACK panelWindowProc(HWND dialog, UINT message, WPARAM wParam, LPARAM lParam) {
    switch (message) {
    case WM_INITDIALOG:
        fillPanel(dialog, (SimDevice *)lParam);
        return TRUE;
    case WM_TIMER:
        DestroyWindow(dialog);
        return TRUE;
    case WM_COMMAND:
        if (LOWORD(wParam) == IDOK || LOWORD(wParam) == IDCANCEL)
            DestroyWindow(dialog);
        return TRUE;
    }
    return FALSE;
}

void panelTitle(const SimDevice *device, char *out, size_t outSize) {
    snprintf(out, outSize, "%s settings", device->config.driverName);
}

}  // namespace

bool simShowPanel(SimDevice *device) {
    char title[128];
    panelTitle(device, title, sizeof title);
    Template t = {};
    buildTemplate(&t, title);
    HWND owner = device->owner && IsWindow(device->owner) ? device->owner : nullptr;
    simEnterWindow(device);
    DialogBoxIndirectParamW(simModuleHandle(), (const DLGTEMPLATE *)t.words, owner, panelProc,
                            (LPARAM)device);
    return simLeaveWindow(device);
}

bool simShowPanelWindow(SimDevice *device) {
    char title[128];
    panelTitle(device, title, sizeof title);
    Template t = {};
    buildTemplate(&t, title);
    simEnterWindow(device);
    HWND window = CreateDialogIndirectParamW(simModuleHandle(), (const DLGTEMPLATE *)t.words,
                                             nullptr, panelWindowProc, (LPARAM)device);
    if (window) {
        SetTimer(window, 1, device->config.windowMs > 0 ? (UINT)device->config.windowMs : 0,
                 nullptr);
        ShowWindow(window, SW_SHOW);
        simRunMessageLoop(window);
    }
    return simLeaveWindow(device);
}
