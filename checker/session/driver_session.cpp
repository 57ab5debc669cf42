// The driver a command works on: found by index or name, opened with a hidden reference window,
// closed with its rate set back, and named in the output.
#include "checker/session/session.h"

#include "drivers/driver_list.h"
#include "drivers/driver_loading.h"

#include <windows.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>

static HWND referenceWindow = nullptr;
static bool rateRegistered = false;
static double rateToRestore = 0;
OpenedDriver openedDriver;

void loadDriverList()
{
    createDriverList();
}

static void lowerCase(char *text)
{
    CharLowerBuffA(text, static_cast<DWORD>(strlen(text)));
}

static void listChoices()
{
    int count = driverList ? driverList->count : 0;
    if (count == 0) {
        fprintf(stderr, "  (no driver is registered in this registry view; see quorvelcheck list)\n");
        return;
    }
    fprintf(stderr, "The drivers are:\n");
    for (DriverEntry *entry = driverList->head; entry; entry = entry->next) {
        char name[DISPLAY_NAME_SIZE];
        if (getEntryName(entry->index, name) == 0)
            fprintf(stderr, "  %d  %s\n", static_cast<int>(entry->index), name);
    }
}

static bool isIndexText(const char *text)
{
    if (!*text)
        return false;
    for (const char *c = text; *c; c++) {
        if (*c < '0' || *c > '9')
            return false;
    }
    return true;
}

int findDriver(const char *text, int *index)
{
    int count = driverList ? driverList->count : 0;
    if (isIndexText(text)) {
        long wanted = strtol(text, nullptr, 10);
        if (strlen(text) > 9 || wanted >= count) {
            int code = count == 0   ? fail(EXIT_USAGE, "there is no driver %s: no driver is listed", text)
                       : count == 1 ? fail(EXIT_USAGE, "there is no driver %s: the list has driver 0 only",
                                           text)
                                    : fail(EXIT_USAGE, "there is no driver %s: the list has 0 to %d",
                                           text, count - 1);
            listChoices();
            return code;
        }
        *index = static_cast<int>(wanted);
        return EXIT_FINE;
    }

    char wanted[DRIVER_NAME_SIZE];
    snprintf(wanted, sizeof wanted, "%s", text);
    lowerCase(wanted);
    int partial = 0, exact = 0;
    int partialIndex = -1, exactIndex = -1;
    for (DriverEntry *entry = driverList ? driverList->head : nullptr; entry; entry = entry->next) {
        char name[DRIVER_NAME_SIZE];
        memcpy(name, entry->name, sizeof name);
        lowerCase(name);
        if (strcmp(name, wanted) == 0) {
            exact++;
            exactIndex = entry->index;
        }
        if (strstr(name, wanted)) {
            partial++;
            partialIndex = entry->index;
        }
    }
    if (exact == 1 || (exact == 0 && partial == 1)) {
        *index = exact == 1 ? exactIndex : partialIndex;
        return EXIT_FINE;
    }
    int code = partial == 0 ? fail(EXIT_USAGE, "no driver's name contains \"%s\"", text)
                            : fail(EXIT_USAGE, "\"%s\" is ambiguous: %d drivers' names contain it; "
                                               "give the index or more of the name", text, partial);
    listChoices();
    return code;
}

static HWND createReferenceWindow()
{
    WNDCLASSA windowClass = {};
    windowClass.lpfnWndProc = DefWindowProcA;
    windowClass.hInstance = GetModuleHandleA(nullptr);
    windowClass.lpszClassName = "QuorvelCheckReference";
    RegisterClassA(&windowClass);
    // Top-level and never shown: drivers take it as the parent of their own windows.
    return CreateWindowExA(0, windowClass.lpszClassName, "quorvelcheck", WS_OVERLAPPEDWINDOW,
                           CW_USEDEFAULT, CW_USEDEFAULT, 200, 100, nullptr, nullptr,
                           windowClass.hInstance, nullptr);
}

const char *comResultText(long result, char *out, size_t size)
{
    char text[256] = "";
    if (FormatMessageA(FORMAT_MESSAGE_FROM_SYSTEM | FORMAT_MESSAGE_IGNORE_INSERTS, nullptr,
                       static_cast<DWORD>(result), 0, text, sizeof text, nullptr) == 0)
        text[0] = '\0';
    for (char *c = text + strlen(text); c > text && (c[-1] == '\n' || c[-1] == '\r' || c[-1] == ' ');)
        *--c = '\0';
    snprintf(out, size, "0x%08lX%s%s%s", static_cast<unsigned long>(result), *text ? " (" : "",
             text, *text ? ")" : "");
    return out;
}

int openChosenDriver(int index)
{
    referenceWindow = createReferenceWindow();
    driverInfo.sysRef = referenceWindow;
    memset(&openedDriver, 0, sizeof openedDriver);
    openedDriver.index = index;

    int64_t before = performanceTicks();
    long opened = openDriverEntry(index);
    int64_t created = performanceTicks();
    openedDriver.createMs = ticksToUs(created - before) / 1000;
    openedDriver.createdAt = before;
    openedDriver.initialisedAt = created;
    openedDriver.createResult = opened;
    openedDriver.created = opened == 0;
    if (opened != 0) {
        publishRecord(&openedDriver);
        char reason[320];
        return fail(EXIT_DRIVER, "driver %d could not be loaded: creating its COM object answered %s",
                    index, comResultText(opened, reason, sizeof reason));
    }
    ASIOError initialised = initDriver(&driverInfo);
    openedDriver.initMs = ticksToUs(performanceTicks() - created) / 1000;
    openedDriver.initialised = initialised == ASE_OK;
    memcpy(openedDriver.name, driverInfo.name, sizeof openedDriver.name);
    openedDriver.version = driverInfo.driverVersion;
    memcpy(openedDriver.errorMessage, driverInfo.errorMessage, sizeof openedDriver.errorMessage);
    openedDriver.errorMessage[sizeof openedDriver.errorMessage - 1] = '\0';
    publishRecord(&openedDriver);
    if (initialised != ASE_OK) {
        return fail(EXIT_DRIVER, "driver %d could not be initialised: init failed; its message: %s",
                    index, openedDriver.errorMessage);
    }
    return EXIT_FINE;
}

static const char *openedDriverFault(const void *copy)
{
    const OpenedDriver &d = *static_cast<const OpenedDriver *>(copy);
    if (!textEnds(d.name, sizeof d.name))
        return "name";
    return textEnds(d.errorMessage, sizeof d.errorMessage) ? nullptr : "errorMessage";
}

extern const RecordSpec openedDriverRecord = {&openedDriver, sizeof openedDriver,
    "opened driver", openedDriverFault};

int openNamedDriver(const char *text, int *index)
{
    loadDriverList();
    int code = findDriver(text, index);
    return code == EXIT_FINE ? openChosenDriver(*index) : code;
}

void rememberRateToRestore(double rate)
{
    if (rateRegistered)
        return;
    rateRegistered = true;
    rateToRestore = rate;
    watchRateToRestore(true, rate);
}

unsigned long closeChosenDriver()
{
    if (rateRegistered && activeDriver) {
        char rate[32];
        formatRate(rateToRestore, rate, sizeof rate);
        noteCall(asioSetSampleRate(rateToRestore), "setSampleRate(%s) to set it back", rate);
    }
    rateRegistered = false;
    watchRateToRestore(false, 0);
    unsigned long left = closeCurrentDriver();
    if (referenceWindow) {
        DestroyWindow(referenceWindow);
        referenceWindow = nullptr;
    }
    return left;
}

static void classText(const CLSID &clsid, char *out, size_t size)
{
    WCHAR wide[64];
    if (StringFromGUID2(clsid, wide, 64) == 0 ||
        WideCharToMultiByte(CP_ACP, 0, wide, -1, out, static_cast<int>(size), nullptr, nullptr) == 0)
        snprintf(out, size, "?");
}

// The entry's display name and its class identifier as text, for headings.
static void describeEntry(int index, char (&name)[DISPLAY_NAME_SIZE], char (&clsid)[64])
{
    DriverEntry *entry = findEntry(index);
    name[0] = clsid[0] = '\0';
    getEntryName(index, name);
    if (entry)
        classText(entry->clsid, clsid, sizeof clsid);
}

void printDriverHeading(int index)
{
    char name[DISPLAY_NAME_SIZE], clsid[64];
    describeEntry(index, name, clsid);
    printf("Driver %d: %s %s\n", index, name, clsid);
}

void jsonDriver(int index)
{
    char name[DISPLAY_NAME_SIZE], clsid[64];
    describeEntry(index, name, clsid);
    jsonBeginObject("driver");
    jsonInteger("index", index);
    jsonText("name", name);
    jsonText("clsid", clsid);
    jsonText("driver_name", openedDriver.initialised ? openedDriver.name : nullptr);
    if (openedDriver.initialised)
        jsonInteger("driver_version", openedDriver.version);
    else
        jsonNull("driver_version");
    jsonEndObject();
}

void pumpMessages(unsigned long ms)
{
    DWORD started = GetTickCount();
    for (;;) {
        MSG message;
        while (PeekMessageA(&message, nullptr, 0, 0, PM_REMOVE)) {
            TranslateMessage(&message);
            // A message to one of the driver's windows runs the driver's code: watched as a call.
            bool ours = message.hwnd == referenceWindow || message.hwnd == nullptr;
            if (!ours)
                watchDriverCall("a message to one of its windows");
            DispatchMessageA(&message);
            if (!ours)
                watchDriverCall(nullptr);
        }
        DWORD spent = GetTickCount() - started;
        if (spent >= ms)
            return;
        MsgWaitForMultipleObjects(0, nullptr, FALSE, ms - spent, QS_ALLINPUT);
    }
}
