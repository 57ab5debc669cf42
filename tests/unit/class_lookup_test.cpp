// A class's server path looked up by name against the same lookup by enumeration, on the real
// registry of the test prefix in this build's view.
#include "drivers/driver_list.h"
#include "tests/support/registry_fixture.h"
#include "tests/support/testkit.h"

#include <gtest/gtest.h>
#include <ctype.h>
#include <objbase.h>
#include <stdlib.h>
#include <string.h>
#include <string>
#include <vector>

namespace {

struct Lookup {
    int result;
    std::string text;  // as the call left it
    char path[SERVER_PATH_SIZE + 1];
    long enumerations;
};

// Each call gets its own copy of the text, since both lower-case it.
Lookup lookUp(int (*find)(char *, char *), const std::string &text)
{
    Lookup lookup;
    memset(lookup.path, '#', sizeof lookup.path);
    std::vector<char> copy(text.begin(), text.end());
    copy.push_back('\0');
    long before = classEnumerations;
    lookup.result = find(copy.data(), lookup.path);
    lookup.enumerations = classEnumerations - before;
    lookup.text = copy.data();
    return lookup;
}

std::string withCase(std::string text, bool upper)
{
    for (char &c : text)
        c = static_cast<char>(upper ? toupper(static_cast<unsigned char>(c))
                                    : tolower(static_cast<unsigned char>(c)));
    return text;
}

std::string alternatingCase(std::string text)
{
    for (size_t i = 0; i < text.size(); i++)
        text[i] = static_cast<char>(i % 2 ? tolower(static_cast<unsigned char>(text[i]))
                                          : toupper(static_cast<unsigned char>(text[i])));
    return text;
}

// Hex digits only, as a class identifier without braces and hyphens; `length` of them.
std::string hexText(size_t length)
{
    std::string hex;
    while (hex.size() < length) {
        for (char c : newClsidText()) {
            if (isxdigit(static_cast<unsigned char>(c)))
                hex += c;
        }
    }
    return hex.substr(0, length);
}

class ClassLookupTest : public RegistryTest {
protected:
    // A class key under any name, removed with the others at the end.
    void addNamedClass(const std::string &name, const char *serverPath)
    {
        addClassKey(name, serverPath);
        classes.push_back(name);
    }
};

struct Case {
    const char *what;
    std::string text;
    int result;            // expected of both ways
    bool byName;           // findServerPath opens the class key without enumerating
    std::string path;      // expected path when the result is 0
};

TEST_F(ClassLookupTest, OpeningByNameGivesTheEnumerationsOutcomeForEveryText)
{
    std::string server = simDllPath();
    std::string served = addClass(server.c_str());
    std::string noServer = addClass(nullptr);
    std::string noDefault = newClsidText();
    addNamedClass(noDefault, nullptr);
    addClassKey(noDefault + "\\InprocServer32", nullptr);  // the key, but no default value
    // A path below a class key that, opened as a path, has a server of its own.
    addClassKey(served + "\\Below", "C:\\below\\server.dll");
    std::string bare = hexText(32);
    addNamedClass(bare, "C:\\bare\\server.dll");
    std::string longName = hexText(255);
    addNamedClass(longName, "C:\\long name\\server.dll");
    ASSERT_FALSE(HasFailure());
    // 511 characters and the NUL fill the 512 bytes the read allows; one more does not fit.
    std::string fullPath = "C:\\" + std::string(508, 'p');
    std::string fullPathClass = addClass(fullPath.c_str());
    std::string overPathClass = addClass((fullPath + "q").c_str());
    // Non-ASCII characters in the code page, upper case in the key name.
    std::string accented = newClsidText() + "\xC4\xD6";
    addNamedClass(accented, "C:\\accented\\server.dll");
    std::string missing = newClsidText();

    const std::vector<Case> corpus = {
        {"upper case", served, 0, true, server},
        {"lower case", withCase(served, false), 0, true, server},
        {"mixed case", alternatingCase(withCase(served, false)), 0, true, server},
        {"no such class", missing, -1, true, ""},
        {"no InprocServer32", noServer, -1, true, ""},
        {"no default value", noDefault, -1, true, ""},
        {"hex without braces", withCase(bare, true), 0, true, "C:\\bare\\server.dll"},
        {"registered class without braces", served.substr(1, 36), -1, true, ""},
        {"255 characters", alternatingCase(longName), 0, true, "C:\\long name\\server.dll"},
        {"256 characters", longName + "0", -1, true, ""},
        {"300 characters", withCase(hexText(300), true), -1, true, ""},
        {"511-character path", fullPathClass, 0, true, fullPath},
        {"512-character path", overPathClass, -1, true, ""},
        {"path below a class", served + "\\Below", -1, false, ""},
        {"trailing backslash", served + "\\", -1, false, ""},
        {"empty", "", -1, false, ""},
        {"leading space", " " + served, -1, false, ""},
        {"trailing space", served + " ", -1, false, ""},
        {"non-ASCII, as registered", accented, 0, false, "C:\\accented\\server.dll"},
        {"non-ASCII, lower case", withCase(accented.substr(0, 38), false) + "\xE4\xF6", 0, false,
         "C:\\accented\\server.dll"},
        {"non-ASCII only", "\xC4", -1, false, ""},
    };

    for (const Case &c : corpus) {
        SCOPED_TRACE(c.what);
        Lookup byName = lookUp(findServerPath, c.text);
        Lookup enumerated = lookUp(findServerPathByEnumeration, c.text);
        EXPECT_EQ(enumerated.result, c.result);
        EXPECT_EQ(byName.result, enumerated.result);
        EXPECT_EQ(memcmp(byName.path, enumerated.path, sizeof byName.path), 0);
        EXPECT_EQ(byName.text, enumerated.text);
        if (c.result == 0) {
            EXPECT_EQ(std::string(byName.path), c.path);
        }
        EXPECT_EQ(byName.enumerations, c.byName ? 0 : 1);
        EXPECT_EQ(enumerated.enumerations, 1);
    }
}

TEST_F(ClassLookupTest, DriverWithA512ByteServerPathIsListed)
{
    std::string fullPath = "C:\\" + std::string(508, 'p');
    addAsioDriverKey("A Full Path", addClass(fullPath.c_str()), "Full Path Driver");
    addAsioDriverKey("B Over", addClass((fullPath + "q").c_str()), "Over Driver");

    DriverList list = {};
    scanDrivers(&list);
    ASSERT_EQ(list.count, 1);
    EXPECT_STREQ(list.head->name, "Full Path Driver");
    CoUninitialize();  // the scan's
    free(list.head);
}

}  // namespace
