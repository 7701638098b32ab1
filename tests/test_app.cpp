// The real Tollwick.exe, copied with a prepared config.xml into a temporary
// folder, started and driven only as a user or another program could: window
// messages to its controls and what they answer.
#include "monitor/process_query.h"
#include "tests/helper_process.h"
#include "tests/test_support.h"

#include <windows.h>

#include <commctrl.h>

#include <gtest/gtest.h>

#include <string>

using tw_test::HelperPath;
using tw_test::HelperProcess;

namespace {

const wchar_t kMainClass[] = L"Tollwick 程序守护 主窗口";

std::string Narrow(const std::wstring& s)
{
    int n = WideCharToMultiByte(936, 0, s.c_str(), -1, nullptr, 0, nullptr, nullptr);
    std::string out(static_cast<size_t>(n), '\0');
    WideCharToMultiByte(936, 0, s.c_str(), -1, &out[0], n, nullptr, nullptr);
    out.resize(static_cast<size_t>(n > 0 ? n - 1 : 0));
    return out;
}

std::wstring TextOf(HWND window)
{
    wchar_t text[256] = {0};
    SendMessageTimeoutW(window, WM_GETTEXT, 256, reinterpret_cast<LPARAM>(text), SMTO_ABORTIFHUNG, 2000, nullptr);
    return text;
}

template <typename Done> bool WaitFor(Done done, DWORD timeoutMs)
{
    for (ULONGLONG start = GetTickCount64(); GetTickCount64() - start < timeoutMs; Sleep(20)) {
        if (done())
            return true;
    }
    return done();
}

HWND FindOwnWindow(DWORD processId, const wchar_t* className, const wchar_t* title)
{
    for (HWND window = FindWindowExW(nullptr, nullptr, className, title); window;
         window = FindWindowExW(nullptr, window, className, title)) {
        DWORD owner = 0;
        GetWindowThreadProcessId(window, &owner);
        if (owner == processId)
            return window;
    }
    return nullptr;
}

class AppTest : public ::testing::Test {
protected:
    void TearDown() override
    {
        app.Stop();
        KillRestartedHelpers();
    }

    // Instances of the helper that Tollwick started outlive it on purpose;
    // they are ended here so that nothing of a test stays behind.
    static void KillRestartedHelpers()
    {
        std::wstring path = HelperPath();
        while (DWORD id = tw::FindProcessByNameAndPath(L"tollwick_helper.exe", path.c_str(), nullptr, 0)) {
            if (!tw::KillProcessRunning(id, tw::CStrW(path.c_str())))
                break;
        }
    }

    bool Launch(const std::string& config = "")
    {
        std::wstring exe = dir.File(L"Tollwick.exe");
        if (!CopyFileW((tw_test::TestBinaryDirectory() + L"..\\Tollwick.exe").c_str(), exe.c_str(), FALSE))
            return false;
        if (!config.empty() && !tw_test::WriteBytes(dir.File(L"config.xml"), config))
            return false;
        if (!app.Start(L"", exe))
            return false;
        // The window exists during its start-up sequence; it is shown after it.
        WaitFor(
            [&] {
                main = FindOwnWindow(app.Id(), kMainClass, nullptr);
                return main && IsWindowVisible(main);
            },
            15000);
        return main != nullptr;
    }

    HWND Control(int id) const { return GetDlgItem(main, id); }
    HWND Tab() const { return Control(10001); }
    HWND Panel() const { return GetDlgItem(Tab(), 10002); }
    bool Checked(HWND parent, int id) const
    {
        return SendMessageW(GetDlgItem(parent, id), BM_GETCHECK, 0, 0) == BST_CHECKED;
    }
    void Click(int id) const
    {
        PostMessageW(main, WM_COMMAND, MAKEWPARAM(id, BN_CLICKED), reinterpret_cast<LPARAM>(Control(id)));
    }
    // Quits as the notification-area menu does and waits for the exit.
    bool Quit()
    {
        PostMessageW(main, WM_COMMAND, MAKEWPARAM(10441, 0), 0);
        return app.WaitForExit(10000);
    }
    std::string Config() const { return tw_test::ReadBytes(dir.File(L"config.xml")); }

    tw_test::TempDir dir;
    HelperProcess app;
    HWND main = nullptr;
};

std::string ConfigWith(const std::string& rootAttributes, const std::string& entries = "")
{
    return "<?xml version=\"1.0\" encoding=\"gb2312\" ?>\n<config bootstart=\"0\" monitortime=\"1\" closeapp=\"0\" "
           "unresponsetime=\"5\" autoreboot=\"0\" reboottime=\"01:02:03\" " +
           rootAttributes + ">" + entries + "</config>\n";
}

std::string HelperEntry()
{
    std::string path = Narrow(HelperPath());
    return "<config hwnd=\"0\" procpath=\"" + path + "\" procname=\"tollwick_helper.exe\" />";
}

} // namespace

TEST_F(AppTest, TheFirstRunWritesTheFileAndOpensOnTheProgramList)
{
    ASSERT_TRUE(Launch());
    EXPECT_EQ(Config(), "<?xml version=\"1.0\" encoding=\"gb2312\" ?>\n"
                        "<config bootstart=\"0\" monitortime=\"5\" closeapp=\"0\" unresponsetime=\"5\" "
                        "autoreboot=\"0\" reboottime=\"01:02:03\" autostartmonitor=\"0\" />\n");
    EXPECT_EQ(TextOf(main), L"Tollwick v2.0.220");
    EXPECT_EQ(SendMessageW(Tab(), TCM_GETCURSEL, 0, 0), 1);
    for (int id : {10102, 10103, 10104, 10105, 10106})
        EXPECT_FALSE(Checked(Panel(), id)) << id;
    EXPECT_EQ(TextOf(GetDlgItem(Panel(), 10302)), L"01");
    EXPECT_EQ(TextOf(GetDlgItem(Panel(), 10303)), L"02");
    EXPECT_EQ(TextOf(GetDlgItem(Panel(), 10304)), L"03");
    EXPECT_EQ(TextOf(Control(10200)), L"未开启监控");
}

TEST_F(AppTest, StartingWithNoProgramsAsksForOne)
{
    ASSERT_TRUE(Launch());
    Click(10100);
    HWND box = nullptr;
    ASSERT_TRUE(WaitFor([&] { return (box = FindOwnWindow(app.Id(), L"#32770", L"被监控程序为0")) != nullptr; }, 5000));
    bool saysIt = false;
    for (HWND child = FindWindowExW(box, nullptr, L"Static", nullptr); child && !saysIt;
         child = FindWindowExW(box, child, L"Static", nullptr))
        saysIt = TextOf(child) == L"请先选中被监控的程序";
    EXPECT_TRUE(saysIt);
    PostMessageW(box, WM_CLOSE, 0, 0);
    EXPECT_TRUE(WaitFor([&] { return !IsWindow(box); }, 5000));
    EXPECT_FALSE(Checked(main, 10100));
    EXPECT_EQ(TextOf(Control(10200)), L"未开启监控");
}

TEST_F(AppTest, ACloseFromAnotherProgramIsIgnoredAndQuitSavesTheSettings)
{
    ASSERT_TRUE(Launch());
    PostMessageW(main, WM_CLOSE, 0, 0);
    Sleep(500);
    EXPECT_TRUE(app.IsRunning()) << "only the close button or the quit command closes";
    SetWindowTextW(GetDlgItem(Panel(), 10302), L"7");
    SetWindowTextW(GetDlgItem(Panel(), 10303), L"5");
    SetWindowTextW(GetDlgItem(Panel(), 10304), L"0");
    SendMessageW(GetDlgItem(Panel(), 10102), BM_SETCHECK, BST_CHECKED, 0);
    ASSERT_TRUE(Quit());
    std::string config = Config();
    EXPECT_NE(config.find("reboottime=\"07:05:00\""), std::string::npos) << config;
    EXPECT_NE(config.find("closeapp=\"1\""), std::string::npos) << config;
}

TEST_F(AppTest, AStartAndStopCycleSwitchesTheWindowAndRestartsAProgram)
{
    HelperProcess helper;
    ASSERT_TRUE(helper.Start(L"--title Watched"));
    ASSERT_NE(helper.WaitForWindow(), nullptr);
    ASSERT_TRUE(Launch(ConfigWith("autostartmonitor=\"0\"", HelperEntry())));
    HWND programs = GetDlgItem(Tab(), 10004);
    EXPECT_EQ(SendMessageW(programs, LVM_GETITEMCOUNT, 0, 0), 1);

    SendMessageW(Control(10101), BM_SETCHECK, BST_CHECKED, 0);
    Click(10100);
    ASSERT_TRUE(WaitFor([&] { return TextOf(Control(10200)) == L"监控中"; }, 5000));
    EXPECT_TRUE(Checked(main, 10100));
    EXPECT_FALSE(IsWindowEnabled(Control(10000))) << "the picker is off while monitoring";
    EXPECT_EQ(SendMessageW(Tab(), TCM_GETCURSEL, 0, 0), 0) << "a start shows the info page";

    HWND errors = GetDlgItem(Tab(), 10005);
    helper.Stop();
    EXPECT_TRUE(WaitFor([&] { return SendMessageW(errors, LVM_GETITEMCOUNT, 0, 0) >= 1; }, 8000))
        << "the restart is logged";
    DWORD restarted = 0;
    EXPECT_TRUE(WaitFor(
        [&] {
            HWND w = FindWindowExW(nullptr, nullptr, L"TollwickHelperWnd", nullptr);
            if (w)
                GetWindowThreadProcessId(w, &restarted);
            return restarted != 0;
        },
        5000));

    Click(10100);
    ASSERT_TRUE(WaitFor([&] { return TextOf(Control(10200)) == L"已取消监控"; }, 10000))
        << tw_test::ReadBytes(dir.File(L"config.xml")) << " status: " << [&] {
               std::string hex;
               for (wchar_t c : TextOf(Control(10200)))
                   hex += std::to_string(static_cast<unsigned>(c)) + " ";
               return hex;
           }();
    EXPECT_FALSE(Checked(main, 10100));
    EXPECT_TRUE(IsWindowEnabled(Control(10000)));
    ASSERT_TRUE(Quit());
}

TEST_F(AppTest, AutostartmonitorStartsMonitoringAtLaunch)
{
    HelperProcess helper;
    ASSERT_TRUE(helper.Start(L"--title Watched"));
    ASSERT_NE(helper.WaitForWindow(), nullptr);
    ASSERT_TRUE(Launch(ConfigWith("autostartmonitor=\"1\"", HelperEntry())));
    EXPECT_TRUE(WaitFor([&] { return TextOf(Control(10200)) == L"监控中"; }, 5000));
    EXPECT_TRUE(Checked(main, 10100));
    EXPECT_TRUE(Checked(main, 10101));
    EXPECT_TRUE(Checked(Panel(), 10103));
    ASSERT_TRUE(Quit());
}

TEST_F(AppTest, TheEndOfTheSessionStopsRestartingAndSavesTheSettings)
{
    HelperProcess helper;
    ASSERT_TRUE(helper.Start(L"--title Watched"));
    ASSERT_NE(helper.WaitForWindow(), nullptr);
    ASSERT_TRUE(Launch(ConfigWith("autostartmonitor=\"1\"", HelperEntry())));
    ASSERT_TRUE(WaitFor([&] { return TextOf(Control(10200)) == L"监控中"; }, 5000));
    SetWindowTextW(GetDlgItem(Panel(), 10302), L"4");
    DWORD_PTR answer = 0;
    ASSERT_TRUE(SendMessageTimeoutW(main, WM_QUERYENDSESSION, 0, 0, SMTO_NORMAL, 10000, &answer));
    EXPECT_EQ(answer, static_cast<DWORD_PTR>(TRUE)) << "the shutdown is not held up";
    EXPECT_EQ(TextOf(Control(10200)), L"已取消监控");
    helper.Stop();
    Sleep(1500);
    EXPECT_EQ(FindWindowExW(nullptr, nullptr, L"TollwickHelperWnd", nullptr), nullptr) << "nothing is restarted";
    ASSERT_TRUE(SendMessageTimeoutW(main, WM_ENDSESSION, TRUE, 0, SMTO_NORMAL, 10000, &answer));
    std::string config = Config();
    EXPECT_NE(config.find("reboottime=\"04:02:03\""), std::string::npos) << config;
    EXPECT_NE(config.find("procname=\"tollwick_helper.exe\""), std::string::npos) << config;
}
