// The facts of the report's header: the driver's entry, the program, the date and the machine.
#include "checker/report/report.h"

#include "drivers/driver_list.h"

#include <windows.h>
#include <intrin.h>
#include <stdio.h>
#include <string.h>
#include <time.h>

#ifndef QUORVEL_VERSION_TEXT
#define QUORVEL_VERSION_TEXT "unknown"
#endif

// A string value of HKEY_LOCAL_MACHINE\<path>; false when it cannot be read.
static bool machineText(const char *path, const char *value, char *out, DWORD size)
{
    HKEY key;
    if (RegOpenKeyExA(HKEY_LOCAL_MACHINE, path, 0, KEY_READ, &key) != ERROR_SUCCESS)
        return false;
    DWORD type = 0, got = size - 1;
    LONG result = RegQueryValueExA(key, value, nullptr, &type, reinterpret_cast<BYTE *>(out), &got);
    RegCloseKey(key);
    if (result != ERROR_SUCCESS || (type != REG_SZ && type != REG_EXPAND_SZ)) {
        out[0] = '\0';
        return false;
    }
    out[got < size ? got : size - 1] = '\0';
    return true;
}

// The processor's own name, from cpuid's brand string.
static void cpuidName(char *out, size_t size)
{
    int regs[4];
    __cpuid(regs, 0x80000000);
    if (static_cast<unsigned>(regs[0]) < 0x80000004u) {
        snprintf(out, size, "unknown processor");
        return;
    }
    char brand[49] = {};
    for (int leaf = 0; leaf < 3; leaf++) {
        __cpuid(regs, 0x80000002 + leaf);
        memcpy(brand + 16 * leaf, regs, 16);
    }
    snprintf(out, size, "%s", brand);
}

// Trims the spaces some processors pad their names with.
static void trim(char *text)
{
    char *start = text;
    while (*start == ' ')
        start++;
    memmove(text, start, strlen(start) + 1);
    for (size_t n = strlen(text); n > 0 && text[n - 1] == ' ';)
        text[--n] = '\0';
}

static void processorText(char *out, size_t size)
{
    char name[128];
    if (!machineText("HARDWARE\\DESCRIPTION\\System\\CentralProcessor\\0", "ProcessorNameString", name,
                     sizeof name) || !name[0])
        cpuidName(name, sizeof name);
    trim(name);
    SYSTEM_INFO system;
    GetNativeSystemInfo(&system);
    snprintf(out, size, "%s, %lu logical processors", name,
             static_cast<unsigned long>(system.dwNumberOfProcessors));
}

// The product name the registry gives, and the version the kernel reports (RtlGetVersion does not
// fall back to an older version for programs without a manifest entry, as GetVersionEx does).
static void windowsText(char *out, size_t size)
{
    char product[96] = "Windows";
    machineText("SOFTWARE\\Microsoft\\Windows NT\\CurrentVersion", "ProductName", product,
                sizeof product);
    RTL_OSVERSIONINFOW version = {};
    version.dwOSVersionInfoSize = sizeof version;
    HMODULE ntdll = GetModuleHandleA("ntdll.dll");
    typedef LONG(WINAPI * GetVersionCall)(RTL_OSVERSIONINFOW *);
    typedef const char *(CDECL * WineVersionCall)();
    // Through void *: the system hands every export out as the same type of function.
    GetVersionCall getVersion = ntdll ? reinterpret_cast<GetVersionCall>(reinterpret_cast<void *>(
                                            GetProcAddress(ntdll, "RtlGetVersion")))
                                      : nullptr;
    WineVersionCall wineVersion = ntdll ? reinterpret_cast<WineVersionCall>(reinterpret_cast<void *>(
                                              GetProcAddress(ntdll, "wine_get_version")))
                                        : nullptr;
    int n = snprintf(out, size, "%s", product);
    if (getVersion && getVersion(&version) == 0 && n >= 0 && static_cast<size_t>(n) < size) {
        n += snprintf(out + n, size - n, ", version %lu.%lu, build %lu",
                      static_cast<unsigned long>(version.dwMajorVersion),
                      static_cast<unsigned long>(version.dwMinorVersion),
                      static_cast<unsigned long>(version.dwBuildNumber));
    }
    if (wineVersion && n >= 0 && static_cast<size_t>(n) < size)
        snprintf(out + n, size - n, "; Wine %s", wineVersion());
}

static void dateText(char *out, size_t size)
{
    time_t now = time(nullptr);
    struct tm local;
    localtime_s(&local, &now);
    char date[32];
    strftime(date, sizeof date, "%Y-%m-%d %H:%M:%S", &local);
    TIME_ZONE_INFORMATION zone;
    DWORD kind = GetTimeZoneInformation(&zone);
    long bias = -zone.Bias - (kind == TIME_ZONE_ID_DAYLIGHT ? zone.DaylightBias : 0);
    snprintf(out, size, "%s %c%02ld:%02ld", date, bias < 0 ? '-' : '+', labs(bias) / 60,
             labs(bias) % 60);
}

static void entryText(int index, ReportFacts *facts)
{
    facts->listName[0] = facts->clsid[0] = facts->server[0] = '\0';
    getEntryName(index, facts->listName);
    DriverEntry *entry = findEntry(index);
    if (!entry)
        return;
    WCHAR wide[64];
    if (StringFromGUID2(entry->clsid, wide, 64) == 0 ||
        WideCharToMultiByte(CP_ACP, 0, wide, -1, facts->clsid, sizeof facts->clsid, nullptr,
                            nullptr) == 0)
        snprintf(facts->clsid, sizeof facts->clsid, "?");
    char lower[64], path[SERVER_PATH_SIZE + 1];
    snprintf(lower, sizeof lower, "%s", facts->clsid);
    if (findServerPath(lower, path) == 0)
        snprintf(facts->server, sizeof facts->server, "%s", path);
}

void collectReportFacts(int index, ReportFacts *facts)
{
    facts->index = index;
    entryText(index, facts);
    snprintf(facts->program, sizeof facts->program, "quorvelcheck %s (%s)", QUORVEL_VERSION_TEXT,
             sizeof(void *) == 8 ? "x64" : "x86");
    dateText(facts->date, sizeof facts->date);
    processorText(facts->processor, sizeof facts->processor);
    windowsText(facts->windows, sizeof facts->windows);
    snprintf(facts->commandLine, sizeof facts->commandLine, "%s", GetCommandLineA());
}
