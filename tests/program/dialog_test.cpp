// The dialog as a user meets it, before any driver is chosen: the real program started from here,
// with drivers registered in the real registry of the test prefix.
#include "res/resource.h"
#include "tests/support/registry_fixture.h"
#include "tests/support/testkit.h"

#include <gtest/gtest.h>

namespace {

class DialogTest : public RegistryTest {
protected:
    void TearDown() override
    {
        if (run.process.hProcess)
            waitForExit(&run, 0);
        RegistryTest::TearDown();
    }
    ProgramRun run = {};
};

TEST_F(DialogTest, ListsUsableDriversInRegistryOrderAndStaysOpenUntilClosed)
{
    std::string server = simDllPath();
    // Enumeration order is the key names' order here, deliberately not the descriptions'.
    addAsioDriverKey("1", addClass(server.c_str()), "Zeta Audio");
    addAsioDriverKey("2", addClass(nullptr), "Unusable");
    addAsioDriverKey("3", addClass(server.c_str()), "Alpha Audio");
    addAsioDriverKey("4", addClass(server.c_str()), std::string(80, 'L').c_str());
    addAsioDriverKey("5", addClass(server.c_str()), std::string(79, 'S').c_str());

    ASSERT_TRUE(startProgram(&run));
    std::vector<std::string> expected = {"Zeta Audio", "Alpha Audio", std::string(76, 'L') + "...",
                                         std::string(79, 'S')};
    EXPECT_EQ(driverItems(run.dialog), expected);
    EXPECT_EQ(selectedDriverItem(run.dialog), -1);
    EXPECT_EQ(controlText(run.dialog, IDC_START), "Start");
    EXPECT_FALSE(controlEnabled(run.dialog, IDC_START));
    EXPECT_FALSE(controlEnabled(run.dialog, IDC_CONTROL_PANEL));
    EXPECT_EQ(controlText(run.dialog, IDC_CONTROL_PANEL), "Control Panel");
    EXPECT_EQ(controlText(run.dialog, IDC_REPORT), "Static");

    // Escape, OK and Cancel leave the dialog as it was.
    pressKey(run.dialog, VK_ESCAPE);
    PostMessageA(run.dialog, WM_COMMAND, IDOK, 0);
    PostMessageA(run.dialog, WM_COMMAND, IDCANCEL, 0);
    Sleep(300);
    syncWithDialog(run.dialog);
    EXPECT_TRUE(IsWindow(run.dialog));
    EXPECT_EQ(WaitForSingleObject(run.process.hProcess, 0), DWORD(WAIT_TIMEOUT));
    EXPECT_EQ(driverItems(run.dialog).size(), 4u);
    EXPECT_FALSE(controlEnabled(run.dialog, IDC_START));

    // The system menu's close with low bits set, which are the system's own: it closes all the
    // same, before the message returns.
    DWORD_PTR answer = 0;
    SendMessageTimeoutA(run.dialog, WM_SYSCOMMAND, SC_CLOSE | 2, 0, SMTO_NORMAL, 60000, &answer);
    ASSERT_FALSE(IsWindowVisible(run.dialog)) << "the dialog did not close";
    EXPECT_EQ(waitForExit(&run, 120000), 2);
}

TEST_F(DialogTest, NoDriversGiveAnEmptyListAndAUsableDialog)
{
    removeAsioKey();
    ASSERT_TRUE(startProgram(&run));
    EXPECT_TRUE(driverItems(run.dialog).empty());
    EXPECT_FALSE(controlEnabled(run.dialog, IDC_START));
    EXPECT_FALSE(controlEnabled(run.dialog, IDC_CONTROL_PANEL));
    // Control Panel with nothing open does nothing.
    SendMessageA(run.dialog, WM_COMMAND, IDC_CONTROL_PANEL, 0);
    EXPECT_EQ(controlText(run.dialog, IDC_REPORT), "Static");
    EXPECT_EQ(closeProgram(&run), 2);
}

}  // namespace
