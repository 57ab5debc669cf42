#include "tests/support/registry_fixture.h"

void RegistryTest::SetUp()
{
    ASSERT_EQ(removeAsioKey(), ERROR_SUCCESS);
    ASSERT_EQ(createAsioKey(), ERROR_SUCCESS);
}

void RegistryTest::TearDown()
{
    EXPECT_EQ(removeAsioKey(), ERROR_SUCCESS);
    for (const std::string &name : classes)
        EXPECT_EQ(removeClassKey(name), ERROR_SUCCESS) << name;
}

void RegistryTest::addAsioDriverKey(const std::string &keyName, const std::string &clsidText,
                                    const char *description, const char *clsidValueName)
{
    EXPECT_EQ(writeDriverKey(keyName, clsidText, description, clsidValueName), ERROR_SUCCESS)
        << keyName;
}

void RegistryTest::setAsioValue(const std::string &keyName, const char *valueName, DWORD type,
                                const void *data, DWORD size)
{
    EXPECT_EQ(writeAsioValue(keyName, valueName, type, data, size), ERROR_SUCCESS) << keyName;
}

void RegistryTest::addClassKey(const std::string &name, const char *serverPath)
{
    EXPECT_EQ(writeClassKey(name, serverPath), ERROR_SUCCESS) << name;
}

std::string RegistryTest::addClass(const char *serverPath)
{
    std::string clsid = newClsidText();
    addClassKey(clsid, serverPath);
    classes.push_back(clsid);
    return clsid;
}
