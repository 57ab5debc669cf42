#include "bench/bench_registry.h"

#include <windows.h>
#include <objbase.h>
#include <stdio.h>
#include <string.h>
#include <algorithm>

static const char *ASIO_KEY = "SOFTWARE\\ASIO";
static const char *CLASSES_KEY = "Software\\Classes\\CLSID";

std::string markedClsid(const char *mark)
{
    GUID guid;
    CoCreateGuid(&guid);
    char text[64];
    snprintf(text, sizeof text, "{%08lX-%04X-%04X-%02X%02X-%s}",
             static_cast<unsigned long>(guid.Data1), guid.Data2, guid.Data3, guid.Data4[0],
             guid.Data4[1], mark);
    return text;
}

static long setText(HKEY key, const char *name, const std::string &text)
{
    return RegSetValueExA(key, name, 0, REG_SZ, reinterpret_cast<const BYTE *>(text.c_str()),
                          static_cast<DWORD>(text.size() + 1));
}

void clearAsioKey()
{
    RegDeleteTreeA(HKEY_LOCAL_MACHINE, ASIO_KEY);
    RegDeleteKeyA(HKEY_LOCAL_MACHINE, ASIO_KEY);
    HKEY key;
    if (RegCreateKeyExA(HKEY_LOCAL_MACHINE, ASIO_KEY, 0, nullptr, 0, KEY_ALL_ACCESS, nullptr, &key,
                        nullptr) == ERROR_SUCCESS)
        RegCloseKey(key);
}

// A class key with its InprocServer32 key and values, below an open CLSID key.
static long addClass(HKEY classes, const std::string &clsid, const std::string &serverPath)
{
    HKEY key;
    std::string path = clsid + "\\InprocServer32";
    long error = RegCreateKeyExA(classes, path.c_str(), 0, nullptr, 0, KEY_ALL_ACCESS, nullptr,
                                 &key, nullptr);
    if (error)
        return error;
    error = setText(key, nullptr, serverPath);
    if (!error)
        error = setText(key, "ThreadingModel", "Apartment");
    RegCloseKey(key);
    return error;
}

long addDriver(const char *name, const std::string &clsid, const std::string &serverPath)
{
    HKEY key;
    std::string path = std::string(ASIO_KEY) + "\\" + name;
    long error = RegCreateKeyExA(HKEY_LOCAL_MACHINE, path.c_str(), 0, nullptr, 0, KEY_ALL_ACCESS,
                                 nullptr, &key, nullptr);
    if (error)
        return error;
    error = setText(key, "CLSID", clsid);
    if (!error)
        error = setText(key, "Description", name);
    RegCloseKey(key);
    if (error)
        return error;

    HKEY classes;
    error = RegCreateKeyExA(HKEY_LOCAL_MACHINE, CLASSES_KEY, 0, nullptr, 0, KEY_ALL_ACCESS, nullptr,
                            &classes, nullptr);
    if (error)
        return error;
    error = addClass(classes, clsid, serverPath);
    RegCloseKey(classes);
    return error;
}

long addFillerKeys(long count)
{
    HKEY classes;
    if (RegCreateKeyExA(HKEY_LOCAL_MACHINE, CLASSES_KEY, 0, nullptr, 0, KEY_ALL_ACCESS, nullptr,
                        &classes, nullptr) != ERROR_SUCCESS)
        return 0;
    long made = 0;
    for (long i = 0; i < count; i++) {
        if (addClass(classes, markedClsid(FILLER_MARK), "C:\\windows\\system32\\filler.dll") == 0)
            made++;
    }
    RegCloseKey(classes);
    return made;
}

static bool hasMark(const char *name, const char *mark)
{
    size_t length = strlen(name), markLength = strlen(mark);
    // "...-<mark>}"
    return length == 38 && _strnicmp(name + length - markLength - 1, mark, markLength) == 0;
}

long removeMarkedClasses(const char *mark)
{
    HKEY classes;
    if (RegOpenKeyExA(HKEY_LOCAL_MACHINE, CLASSES_KEY, 0, KEY_ALL_ACCESS, &classes) != ERROR_SUCCESS)
        return 0;
    // Names first: deleting while enumerating by index would skip keys.
    std::vector<std::string> marked;
    char name[256];
    for (DWORD i = 0; RegEnumKeyA(classes, i, name, sizeof name) == ERROR_SUCCESS; i++) {
        if (hasMark(name, mark))
            marked.push_back(name);
    }
    for (const std::string &key : marked) {
        RegDeleteTreeA(classes, key.c_str());
        RegDeleteKeyA(classes, key.c_str());
    }
    RegCloseKey(classes);
    return static_cast<long>(marked.size());
}

static long countSubkeys(HKEY root, const char *path)
{
    HKEY key;
    if (RegOpenKeyExA(root, path, 0, KEY_READ, &key) != ERROR_SUCCESS)
        return -1;
    DWORD subkeys = 0;
    RegQueryInfoKeyA(key, nullptr, nullptr, nullptr, &subkeys, nullptr, nullptr, nullptr, nullptr,
                     nullptr, nullptr, nullptr);
    RegCloseKey(key);
    return static_cast<long>(subkeys);
}

long countClassesRootKeys()
{
    return countSubkeys(HKEY_CLASSES_ROOT, "clsid");
}

long countMachineClassKeys()
{
    return countSubkeys(HKEY_LOCAL_MACHINE, CLASSES_KEY);
}

static std::string lower(std::string text)
{
    for (char &c : text)
        c = static_cast<char>(tolower(static_cast<unsigned char>(c)));
    return text;
}

long long keysReadByScan(const std::vector<std::string> &clsids)
{
    std::vector<std::string> wanted;
    for (const std::string &clsid : clsids)
        wanted.push_back(lower(clsid));
    std::sort(wanted.begin(), wanted.end());

    HKEY classes;
    if (RegOpenKeyA(HKEY_CLASSES_ROOT, "clsid", &classes) != ERROR_SUCCESS)
        return -1;
    long long read = 0;
    char name[256];
    for (DWORD i = 0; RegEnumKeyA(classes, i, name, sizeof name) == ERROR_SUCCESS; i++) {
        if (std::binary_search(wanted.begin(), wanted.end(), lower(name)))
            read += i + 1;
    }
    RegCloseKey(classes);
    return read;
}
