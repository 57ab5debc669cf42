#include "bench/bench_registry.h"

#include "tests/support/testkit.h"

#include <windows.h>
#include <string.h>
#include <algorithm>

static const char *CLASSES_KEY = "Software\\Classes\\CLSID";

std::string markedClsid(const char *mark)
{
    // The last group: 12 hex digits before the closing brace.
    return newClsidText().replace(25, 12, mark);
}

long addDriver(const char *name, const std::string &clsid, const std::string &serverPath)
{
    long error = writeDriverKey(name, clsid, name);
    return error ? error : writeClassKey(clsid, serverPath.c_str());
}

long addFillerKeys(long count)
{
    long made = 0;
    for (long i = 0; i < count; i++) {
        if (writeClassKey(markedClsid(FILLER_MARK), "C:\\windows\\system32\\filler.dll") == 0)
            made++;
    }
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
    RegCloseKey(classes);
    for (const std::string &key : marked)
        removeClassKey(key);
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
