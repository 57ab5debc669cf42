#include "tests/support/registry_fixture.h"

#include "tests/support/test_paths.h"

static const char *ASIO_KEY = "SOFTWARE\\ASIO";

void removeAsioKey()
{
    RegDeleteTreeA(HKEY_LOCAL_MACHINE, ASIO_KEY);
    RegDeleteKeyA(HKEY_LOCAL_MACHINE, ASIO_KEY);
}

void createAsioKey()
{
    HKEY key;
    if (RegCreateKeyExA(HKEY_LOCAL_MACHINE, ASIO_KEY, 0, nullptr, 0, KEY_ALL_ACCESS, nullptr, &key,
                        nullptr) == ERROR_SUCCESS)
        RegCloseKey(key);
}

static HKEY createKey(HKEY root, const std::string &path)
{
    HKEY key = nullptr;
    LONG result = RegCreateKeyExA(root, path.c_str(), 0, nullptr, 0, KEY_ALL_ACCESS, nullptr, &key,
                                  nullptr);
    EXPECT_EQ(result, ERROR_SUCCESS) << path;
    return key;
}

void setAsioValue(const std::string &keyName, const char *valueName, DWORD type, const void *data,
                  DWORD size)
{
    HKEY key = createKey(HKEY_LOCAL_MACHINE, std::string(ASIO_KEY) + "\\" + keyName);
    EXPECT_EQ(RegSetValueExA(key, valueName, 0, type, static_cast<const BYTE *>(data), size),
              ERROR_SUCCESS);
    RegCloseKey(key);
}

void addAsioDriverKey(const std::string &keyName, const std::string &clsidText,
                      const char *description, const char *clsidValueName)
{
    setAsioValue(keyName, clsidValueName, REG_SZ, clsidText.c_str(),
                 static_cast<DWORD>(clsidText.size() + 1));
    if (description) {
        setAsioValue(keyName, "Description", REG_SZ, description,
                     static_cast<DWORD>(strlen(description) + 1));
    }
}

void addClassKey(const std::string &clsidText, const char *serverPath)
{
    std::string classPath = "Software\\Classes\\CLSID\\" + clsidText;
    HKEY key = createKey(HKEY_LOCAL_MACHINE, classPath);
    RegCloseKey(key);
    if (!serverPath)
        return;
    key = createKey(HKEY_LOCAL_MACHINE, classPath + "\\InprocServer32");
    RegSetValueExA(key, nullptr, 0, REG_SZ, reinterpret_cast<const BYTE *>(serverPath),
                   static_cast<DWORD>(strlen(serverPath) + 1));
    RegSetValueExA(key, "ThreadingModel", 0, REG_SZ, reinterpret_cast<const BYTE *>("Apartment"), 10);
    RegCloseKey(key);
}

void removeClassKey(const std::string &clsidText)
{
    std::string classPath = "Software\\Classes\\CLSID\\" + clsidText;
    RegDeleteTreeA(HKEY_LOCAL_MACHINE, classPath.c_str());
    RegDeleteKeyA(HKEY_LOCAL_MACHINE, classPath.c_str());
}

void RegistryTest::SetUp()
{
    removeAsioKey();
    createAsioKey();
}

void RegistryTest::TearDown()
{
    removeAsioKey();
    for (const std::string &clsid : classes)
        removeClassKey(clsid);
}

std::string RegistryTest::addClass(const char *serverPath)
{
    std::string clsid = newClsidText();
    addClassKey(clsid, serverPath);
    classes.push_back(clsid);
    return clsid;
}
