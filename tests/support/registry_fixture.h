// Driver registrations written straight into the real registry of the test prefix, in the view of
// the test's own bitness (the one the program of the same bitness reads).
#pragma once

#include <windows.h>
#include <string>

// Removes HKLM\SOFTWARE\ASIO with everything below it.
void removeAsioKey();
// Creates an empty HKLM\SOFTWARE\ASIO.
void createAsioKey();
// Adds HKLM\SOFTWARE\ASIO\<keyName> with a "CLSID" string value named clsidValueName (so that
// "clsid" or "CLSID" can be chosen), and "Description" unless description is null.
void addAsioDriverKey(const std::string &keyName, const std::string &clsidText,
                      const char *description, const char *clsidValueName = "CLSID");
// Sets a value of any type under HKLM\SOFTWARE\ASIO\<keyName>.
void setAsioValue(const std::string &keyName, const char *valueName, DWORD type, const void *data,
                  DWORD size);
// Adds HKCR\CLSID\<clsidText> with an InprocServer32 default value of serverPath, or without the
// InprocServer32 key when serverPath is null.
void addClassKey(const std::string &clsidText, const char *serverPath);
void removeClassKey(const std::string &clsidText);

// A test fixture that starts every test with an empty ASIO key and removes the classes it added.
#include <gtest/gtest.h>
#include <vector>
class RegistryTest : public ::testing::Test {
protected:
    void SetUp() override;
    void TearDown() override;
    // Registers a class with a server path and remembers it for removal.
    std::string addClass(const char *serverPath);
    std::vector<std::string> classes;
};
