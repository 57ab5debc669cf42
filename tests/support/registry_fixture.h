// A test fixture that starts every test with an empty HKLM\SOFTWARE\ASIO and removes the classes it
// added; its registrations fail the test when the registry refuses them.
#pragma once

#include "tests/support/testkit.h"

#include <gtest/gtest.h>
#include <string>
#include <vector>

class RegistryTest : public ::testing::Test {
protected:
    void SetUp() override;
    void TearDown() override;
    // writeDriverKey, writeAsioValue and writeClassKey, expected to succeed.
    void addAsioDriverKey(const std::string &keyName, const std::string &clsidText,
                          const char *description, const char *clsidValueName = "CLSID");
    void setAsioValue(const std::string &keyName, const char *valueName, DWORD type,
                      const void *data, DWORD size);
    void addClassKey(const std::string &name, const char *serverPath);
    // Registers a class of a new identifier and remembers it for removal.
    std::string addClass(const char *serverPath);
    // Class keys removed at the end.
    std::vector<std::string> classes;
};
