// The registry scan against the real registry of the test prefix, in this build's view.
#include "drivers/driver_list.h"
#include "tests/support/registry_fixture.h"
#include "tests/support/testkit.h"

#include <gtest/gtest.h>
#include <objbase.h>
#include <string.h>
#include <string>
#include <thread>

namespace {

struct ScanResult {
    DriverList list;
    bool comWasInitialised;  // by the scan, on the scanning thread
};

// Scans on a thread of its own, so that whether the scan initialised COM can be told.
ScanResult scanOnNewThread()
{
    ScanResult result = {};
    std::thread worker([&result] {
        scanDrivers(&result.list);
        HRESULT hr = CoInitialize(nullptr);
        result.comWasInitialised = (hr == S_FALSE);
        CoUninitialize();
        if (result.comWasInitialised)
            CoUninitialize();
    });
    worker.join();
    return result;
}

std::string existingServer()
{
    return simDllPath();
}

class ScanTest : public RegistryTest {};

TEST_F(ScanTest, SkipsKeyWithoutServerAndKeepsIndexesContiguous)
{
    std::string server = existingServer();
    std::string first = addClass(server.c_str());
    std::string second = addClass(nullptr);  // no InprocServer32
    std::string third = addClass(server.c_str());
    addAsioDriverKey("A first", first, "First Driver");
    addAsioDriverKey("B second", second, "Second Driver");
    addAsioDriverKey("C third", third, "Third Driver");

    ScanResult scan = scanOnNewThread();
    ASSERT_EQ(scan.list.count, 2);
    DriverEntry *a = scan.list.head;
    ASSERT_NE(a, nullptr);
    ASSERT_NE(a->next, nullptr);
    EXPECT_EQ(a->index, 0);
    EXPECT_STREQ(a->name, "First Driver");
    EXPECT_EQ(a->next->index, 1);
    EXPECT_STREQ(a->next->name, "Third Driver");
    EXPECT_EQ(a->next->next, nullptr);
    EXPECT_EQ(a->driver, nullptr);

    CLSID expected;
    std::wstring wide(third.begin(), third.end());
    ASSERT_EQ(CLSIDFromString(wide.c_str(), &expected), S_OK);
    EXPECT_TRUE(IsEqualCLSID(a->next->clsid, expected));
    EXPECT_TRUE(scan.comWasInitialised);
}

TEST_F(ScanTest, ListsMissingServerLowerCaseValueNameAndKeyNameFallback)
{
    std::string missing = addClass("C:\\nowhere\\deleted-driver.dll");
    std::string upper = addClass(existingServer().c_str());
    std::string undescribed = addClass(existingServer().c_str());
    addAsioDriverKey("A Deleted", missing, "Deleted Driver");
    // Upper-case CLSID text under a value named in lower case.
    addAsioDriverKey("B Upper", upper, "Upper Driver", "clsid");
    addAsioDriverKey("C Nameless Key", undescribed, nullptr);

    ScanResult scan = scanOnNewThread();
    ASSERT_EQ(scan.list.count, 3);
    EXPECT_STREQ(scan.list.head->name, "Deleted Driver");
    EXPECT_STREQ(scan.list.head->next->name, "Upper Driver");
    EXPECT_STREQ(scan.list.head->next->next->name, "C Nameless Key");
}

TEST_F(ScanTest, NoAsioKeyOrEmptyKeyGivesEmptyListAndNoCom)
{
    ScanResult empty = scanOnNewThread();
    EXPECT_EQ(empty.list.count, 0);
    EXPECT_EQ(empty.list.head, nullptr);
    EXPECT_FALSE(empty.comWasInitialised);

    removeAsioKey();
    ScanResult none = scanOnNewThread();
    EXPECT_EQ(none.list.count, 0);
    EXPECT_FALSE(none.comWasInitialised);
}

TEST_F(ScanTest, RegistryTextIsAlwaysTerminatedAndBounded)
{
    std::string server = existingServer();
    // A description of 200 characters with no NUL stored: cut to fit the 128-byte name.
    std::string clsidLong = addClass(server.c_str());
    addAsioDriverKey("A Long", clsidLong, nullptr);
    std::string longText(200, 'd');
    setAsioValue("A Long", "Description", REG_SZ, longText.data(), static_cast<DWORD>(longText.size()));
    // 256 bytes with no terminator still fit the 256-byte read and must come back terminated.
    std::string clsidFull = addClass(server.c_str());
    addAsioDriverKey("B Full", clsidFull, nullptr);
    std::string fullText(256, 'f');
    setAsioValue("B Full", "Description", REG_BINARY, fullText.data(), 256);
    // 300 bytes do not fit: the key name is shown.
    std::string clsidOver = addClass(server.c_str());
    addAsioDriverKey("C Over", clsidOver, nullptr);
    std::string overText(300, 'o');
    setAsioValue("C Over", "Description", REG_SZ, overText.c_str(), 301);
    // A clsid value of the wrong type matches nothing and adds nothing.
    DWORD number = 7;
    setAsioValue("D Numeric", "CLSID", REG_DWORD, &number, sizeof number);

    ScanResult scan = scanOnNewThread();
    ASSERT_EQ(scan.list.count, 3);
    DriverEntry *entry = scan.list.head;
    EXPECT_EQ(std::string(entry->name), std::string(127, 'd'));
    EXPECT_EQ(std::string(entry->next->name), std::string(127, 'f'));
    EXPECT_STREQ(entry->next->next->name, "C Over");
}

TEST_F(ScanTest, DescriptionsAroundTheBufferSizesAreCutOrReplacedByTheKeyName)
{
    std::string server = existingServer();
    // Lengths in characters; each is stored with its terminating NUL.
    int lengths[] = {127, 128, 255, 256};
    for (int i = 0; i < 4; i++) {
        std::string key = "Length " + std::to_string(i);
        std::string text(static_cast<size_t>(lengths[i]), static_cast<char>('a' + i));
        addAsioDriverKey(key, addClass(server.c_str()), text.c_str());
    }
    ScanResult scan = scanOnNewThread();
    ASSERT_EQ(scan.list.count, 4);
    DriverEntry *entry = scan.list.head;
    EXPECT_EQ(std::string(entry->name), std::string(127, 'a'));
    EXPECT_EQ(std::string(entry->next->name), std::string(127, 'b')) << "cut to fit";
    EXPECT_EQ(std::string(entry->next->next->name), std::string(127, 'c')) << "256 bytes fit the read";
    EXPECT_STREQ(entry->next->next->next->name, "Length 3") << "257 bytes do not";
}

DriverEntry makeEntry(int index, const std::string &name)
{
    DriverEntry entry = {};
    entry.index = index;
    strncpy(entry.name, name.c_str(), sizeof entry.name - 1);
    return entry;
}

TEST(EntryName, ShortensAtEightyCharactersAndReportsErrors)
{
    DriverEntry e79 = makeEntry(0, std::string(79, 'a'));
    DriverEntry e80 = makeEntry(1, std::string(70, 'b') + "0123456789");
    DriverEntry e127 = makeEntry(2, std::string(127, 'c'));
    e79.next = &e80;
    e80.next = &e127;
    DriverList list = {&e79, 3, -1};
    DriverList *saved = driverList;
    driverList = &list;

    char out[DISPLAY_NAME_SIZE];
    ASSERT_EQ(getEntryName(0, out), 0);
    EXPECT_EQ(std::string(out), std::string(79, 'a'));
    ASSERT_EQ(getEntryName(1, out), 0);
    EXPECT_EQ(std::string(out), std::string(70, 'b') + "012345...");
    EXPECT_EQ(strlen(out), 79u);
    ASSERT_EQ(getEntryName(2, out), 0);
    EXPECT_EQ(std::string(out), std::string(76, 'c') + "...");

    EXPECT_EQ(getEntryName(0, nullptr), -5001);
    strcpy(out, "untouched");
    EXPECT_EQ(getEntryName(3, out), -5003);
    EXPECT_EQ(getEntryName(-1, out), -5003);
    EXPECT_STREQ(out, "untouched");

    driverList = saved;
}

}  // namespace
