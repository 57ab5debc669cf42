#include "tests/support/testkit.h"

#include <string.h>

static const char *ASIO_KEY = "SOFTWARE\\ASIO";
static const char *CLASSES_KEY = "Software\\Classes\\CLSID";

// Below `root`: the key and all below it. Nothing there is no failure.
static long removeTree(HKEY root, const char *path)
{
    long error = RegDeleteTreeA(root, path);
    if (error == ERROR_SUCCESS || error == ERROR_FILE_NOT_FOUND)
        error = RegDeleteKeyA(root, path);
    return error == ERROR_FILE_NOT_FOUND ? ERROR_SUCCESS : error;
}

static long setText(HKEY key, const char *name, const char *text)
{
    return RegSetValueExA(key, name, 0, REG_SZ, reinterpret_cast<const BYTE *>(text),
                          static_cast<DWORD>(strlen(text) + 1));
}

long removeAsioKey()
{
    return removeTree(HKEY_LOCAL_MACHINE, ASIO_KEY);
}

long createAsioKey()
{
    HKEY key;
    long error = RegCreateKeyExA(HKEY_LOCAL_MACHINE, ASIO_KEY, 0, nullptr, 0, KEY_ALL_ACCESS,
                                 nullptr, &key, nullptr);
    if (!error)
        RegCloseKey(key);
    return error;
}

long writeAsioValue(const std::string &keyName, const char *valueName, DWORD type,
                    const void *data, DWORD size)
{
    HKEY key;
    std::string path = std::string(ASIO_KEY) + "\\" + keyName;
    long error = RegCreateKeyExA(HKEY_LOCAL_MACHINE, path.c_str(), 0, nullptr, 0, KEY_ALL_ACCESS,
                                 nullptr, &key, nullptr);
    if (error)
        return error;
    error = RegSetValueExA(key, valueName, 0, type, static_cast<const BYTE *>(data), size);
    RegCloseKey(key);
    return error;
}

long writeDriverKey(const std::string &keyName, const std::string &clsidText,
                    const char *description, const char *clsidValueName)
{
    long error = writeAsioValue(keyName, clsidValueName, REG_SZ, clsidText.c_str(),
                                static_cast<DWORD>(clsidText.size() + 1));
    if (!error && description)
        error = writeAsioValue(keyName, "Description", REG_SZ, description,
                               static_cast<DWORD>(strlen(description) + 1));
    return error;
}

long writeClassKey(const std::string &name, const char *serverPath)
{
    HKEY classes, key, server;
    long error = RegCreateKeyExA(HKEY_LOCAL_MACHINE, CLASSES_KEY, 0, nullptr, 0, KEY_ALL_ACCESS,
                                 nullptr, &classes, nullptr);
    if (error)
        return error;
    error = RegCreateKeyExA(classes, name.c_str(), 0, nullptr, 0, KEY_ALL_ACCESS, nullptr, &key,
                            nullptr);
    RegCloseKey(classes);
    if (error)
        return error;
    if (serverPath) {
        error = RegCreateKeyExA(key, "InprocServer32", 0, nullptr, 0, KEY_ALL_ACCESS, nullptr,
                                &server, nullptr);
        if (!error) {
            error = setText(server, nullptr, serverPath);
            if (!error)
                error = setText(server, "ThreadingModel", "Apartment");
            RegCloseKey(server);
        }
    }
    RegCloseKey(key);
    return error;
}

long removeClassKey(const std::string &name)
{
    HKEY classes;
    long error = RegOpenKeyExA(HKEY_LOCAL_MACHINE, CLASSES_KEY, 0, KEY_ALL_ACCESS, &classes);
    if (error)
        return error == ERROR_FILE_NOT_FOUND ? ERROR_SUCCESS : error;
    error = removeTree(classes, name.c_str());
    RegCloseKey(classes);
    return error;
}
