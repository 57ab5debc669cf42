// The resources inside the built program: the dialog template read back from the .exe.
#include "res/resource.h"
#include "tests/support/testkit.h"

#include <gtest/gtest.h>
#include <windows.h>
#include <string>
#include <vector>

namespace {

struct Reader {
    const BYTE *at;
    WORD word() { WORD v; memcpy(&v, at, 2); at += 2; return v; }
    DWORD dword() { DWORD v; memcpy(&v, at, 4); at += 4; return v; }
    BYTE byte() { return *at++; }
    void align(const BYTE *base) { while ((at - base) % 4) at++; }
    // A name or ordinal: 0xFFFF then an ordinal, or a NUL-terminated UTF-16 text.
    std::string nameOrOrdinal()
    {
        WORD first = word();
        if (first == 0xFFFF)
            return "#" + std::to_string(word());
        std::string text;
        for (WORD c = first; c != 0; c = word())
            text += static_cast<char>(c);
        return text;
    }
};

struct Item {
    DWORD style;
    short x, y, cx, cy;
    DWORD id;
    std::string windowClass, title;
};

class TemplateTest : public ::testing::Test {
protected:
    void SetUp() override
    {
        module = LoadLibraryExA(programPath().c_str(), nullptr, LOAD_LIBRARY_AS_DATAFILE);
        ASSERT_NE(module, nullptr);
    }
    void TearDown() override { FreeLibrary(module); }
    const BYTE *resource(LPCSTR type, LPCSTR name, WORD language, DWORD *size = nullptr)
    {
        HRSRC found = FindResourceExA(module, type, name, language);
        if (!found)
            return nullptr;
        if (size)
            *size = SizeofResource(module, found);
        return static_cast<const BYTE *>(LockResource(LoadResource(module, found)));
    }
    HMODULE module = nullptr;
};

TEST_F(TemplateTest, MainDialogIsTheExtendedTemplateAsDesigned)
{
    const BYTE *base = resource(RT_DIALOG, MAKEINTRESOURCEA(IDD_MAIN),
                                MAKELANGID(LANG_ENGLISH, SUBLANG_ENGLISH_US));
    ASSERT_NE(base, nullptr) << "IDD_MAIN in English (United States)";
    Reader r = {base};
    EXPECT_EQ(r.word(), 1);       // dlgVer
    EXPECT_EQ(r.word(), 0xFFFF);  // extended template
    r.dword();                    // helpID
    EXPECT_EQ(r.dword(), 0u);     // exStyle
    DWORD style = r.dword();
    EXPECT_EQ(style, DWORD(DS_SETFONT | DS_FIXEDSYS | DS_MODALFRAME | WS_POPUP | WS_CAPTION |
                           WS_SYSMENU));
    EXPECT_EQ(r.word(), 4);  // controls
    EXPECT_EQ(static_cast<short>(r.word()), 0);
    EXPECT_EQ(static_cast<short>(r.word()), 0);
    EXPECT_EQ(static_cast<short>(r.word()), 259);
    EXPECT_EQ(static_cast<short>(r.word()), 142);
    EXPECT_EQ(r.nameOrOrdinal(), "");  // no menu
    EXPECT_EQ(r.nameOrOrdinal(), "");  // default dialog class
    EXPECT_EQ(r.nameOrOrdinal(), "Quorvel Test");
    EXPECT_EQ(r.word(), 8);    // points
    EXPECT_EQ(r.word(), 400);  // weight
    EXPECT_EQ(r.byte(), 0);    // not italic
    EXPECT_EQ(r.byte(), 1);    // character set
    EXPECT_EQ(r.nameOrOrdinal(), "MS Shell Dlg");

    std::vector<Item> items;
    for (int i = 0; i < 4; i++) {
        r.align(base);
        Item item;
        r.dword();  // helpID
        r.dword();  // exStyle
        item.style = r.dword();
        item.x = static_cast<short>(r.word());
        item.y = static_cast<short>(r.word());
        item.cx = static_cast<short>(r.word());
        item.cy = static_cast<short>(r.word());
        item.id = r.dword();
        item.windowClass = r.nameOrOrdinal();
        item.title = r.nameOrOrdinal();
        r.at += r.word();  // creation data
        items.push_back(item);
    }
    const DWORD child = WS_CHILD | WS_VISIBLE;
    struct Expected {
        DWORD id;
        const char *windowClass;  // predefined classes by atom
        const char *title;
        short x, y, cx, cy;
        DWORD style;
    } expected[] = {
        {IDC_DRIVER, "#133", "", 7, 7, 245, 59, child | CBS_DROPDOWNLIST | WS_VSCROLL | WS_TABSTOP},
        {IDC_START, "#128", "Start", 41, 111, 61, 24, child | BS_PUSHBUTTON | WS_TABSTOP},
        {IDC_REPORT, "#130", "Static", 7, 24, 245, 80, child | SS_LEFT | WS_GROUP},
        {IDC_CONTROL_PANEL, "#128", "Control Panel", 151, 111, 61, 24,
         child | BS_PUSHBUTTON | WS_TABSTOP},
    };
    for (int i = 0; i < 4; i++) {
        SCOPED_TRACE(expected[i].id);
        EXPECT_EQ(items[i].id, expected[i].id);
        EXPECT_EQ(items[i].windowClass, expected[i].windowClass);
        EXPECT_EQ(items[i].title, expected[i].title);
        EXPECT_EQ(items[i].x, expected[i].x);
        EXPECT_EQ(items[i].y, expected[i].y);
        EXPECT_EQ(items[i].cx, expected[i].cx);
        EXPECT_EQ(items[i].cy, expected[i].cy);
        EXPECT_EQ(items[i].style, expected[i].style);
    }
    EXPECT_EQ(items[0].style & CBS_SORT, 0u) << "the list keeps the registry's order";
}

TEST_F(TemplateTest, CarriesManifestAndVersion)
{
    DWORD size = 0;
    const BYTE *manifest = resource(RT_MANIFEST, MAKEINTRESOURCEA(1),
                                    MAKELANGID(LANG_NEUTRAL, SUBLANG_NEUTRAL), &size);
    if (!manifest)
        manifest = resource(RT_MANIFEST, MAKEINTRESOURCEA(1),
                            MAKELANGID(LANG_ENGLISH, SUBLANG_ENGLISH_US), &size);
    ASSERT_NE(manifest, nullptr);
    std::string text(reinterpret_cast<const char *>(manifest), size);
    EXPECT_NE(text.find("Microsoft.Windows.Common-Controls"), std::string::npos);
    EXPECT_NE(text.find("version=\"6.0.0.0\""), std::string::npos);
    EXPECT_NE(text.find("dpiAware"), std::string::npos);

    std::string path = programPath();
    DWORD ignored = 0;
    DWORD versionSize = GetFileVersionInfoSizeA(path.c_str(), &ignored);
    ASSERT_GT(versionSize, 0u);
    std::vector<BYTE> version(versionSize);
    ASSERT_TRUE(GetFileVersionInfoA(path.c_str(), 0, versionSize, version.data()));
    char *product = nullptr;
    UINT length = 0;
    ASSERT_TRUE(VerQueryValueA(version.data(), "\\StringFileInfo\\040904E4\\ProductName",
                               reinterpret_cast<void **>(&product), &length));
    EXPECT_STREQ(product, "Quorvel");
}

}  // namespace
