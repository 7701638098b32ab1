// The real Tollwick.exe, copied with a prepared config.xml into a temporary
// folder, started and driven only as a user or another program could: window
// messages to its controls and what they answer.
#include "tests/app_fixture.h"

#include "version.h"

using namespace tw_app_test;

TEST_F(AppTest, TheFirstRunWritesTheFileAndOpensOnTheProgramList)
{
    ASSERT_TRUE(Launch());
    EXPECT_EQ(Config(), "<?xml version=\"1.0\" encoding=\"gb2312\" ?>\r\n"
                        "<config bootstart=\"0\" monitortime=\"5\" closeapp=\"0\" unresponsetime=\"5\" "
                        "autoreboot=\"0\" reboottime=\"01:02:03\" autostartmonitor=\"0\" />\r\n");
    EXPECT_EQ(TextOf(main), L"Tollwick v" TW_VERSION_WIDE);
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
    EXPECT_TRUE(WaitFor([&] { return DialogSays(box, L"请先选中被监控的程序"); }, 3000));
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
    EXPECT_TRUE(WaitFor([&] { return SendMessageW(errors, LVM_GETITEMCOUNT, 0, 0) >= 3; }, 8000))
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

// A new user's first start of monitoring restarts a program that dies; a
// watch the user turned off stays off after a restart of Tollwick.
TEST_F(AppTest, WatchingTheRunningStateIsOnUnlessTheUserTurnedItOff)
{
    HelperProcess helper;
    ASSERT_TRUE(helper.Start(L"--title Watched"));
    ASSERT_NE(helper.WaitForWindow(), nullptr);
    ASSERT_TRUE(Launch(ConfigWith("", HelperEntry())));
    EXPECT_TRUE(Checked(main, 10101));
    Click(10100);
    ASSERT_TRUE(WaitFor([&] { return TextOf(Control(10200)) == L"监控中"; }, 5000));
    helper.Stop();
    EXPECT_TRUE(WaitFor([] { return FindWindowExW(nullptr, nullptr, L"TollwickHelperWnd", nullptr) != nullptr; }, 8000))
        << "the program is started again";

    SendMessageW(Control(10101), BM_CLICK, 0, 0);
    ASSERT_TRUE(Quit());
    EXPECT_NE(Config().find("watchrunning=\"0\""), std::string::npos) << Config();
    ASSERT_TRUE(Launch());
    EXPECT_FALSE(Checked(main, 10101));
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
    std::string log = tw_test::ReadBytes(dir.File(L"logs\\tollwick-0000000001.log"));
    EXPECT_NE(log.find(Narrow(L"\tTollwick 已退出, 原因:Windows 会话结束\r\n")), std::string::npos) << log;
}

TEST_F(AppTest, AMissingExecutableIsKeptOnCancelAndRemovedOnOk)
{
    std::wstring gone = dir.File(L"gone.exe");
    ASSERT_TRUE(Launch(ConfigWith("autostartmonitor=\"0\"", Entry(gone))));
    ASSERT_EQ(Rows(ProgramList()), 1);
    Click(10100);
    HWND prompt = Dialog(L"文件不存在");
    ASSERT_NE(prompt, nullptr);
    ASSERT_TRUE(Press(prompt, IDCANCEL));
    EXPECT_EQ(Rows(ProgramList()), 1) << "Cancel keeps the program";
    EXPECT_FALSE(Checked(main, 10100));
    EXPECT_EQ(TextOf(Control(10200)), L"未开启监控");

    Click(10100);
    prompt = Dialog(L"文件不存在");
    ASSERT_NE(prompt, nullptr);
    ASSERT_TRUE(Press(prompt, IDOK));
    EXPECT_TRUE(WaitFor([&] { return Rows(ProgramList()) == 0; }, 3000)) << "OK removes it";
    EXPECT_FALSE(Checked(main, 10100));
    ASSERT_TRUE(Quit());
    EXPECT_EQ(Config().find("gone.exe"), std::string::npos) << Config();
}

TEST_F(AppTest, DeletedProgramsStayDeletedAfterARestart)
{
    std::string entries = Entry(dir.File(L"one.exe")) + Entry(dir.File(L"two.exe")) + Entry(dir.File(L"three.exe"));
    ASSERT_TRUE(Launch(ConfigWith("autostartmonitor=\"0\"", entries)));
    ASSERT_EQ(Rows(ProgramList()), 3);
    ASSERT_TRUE(SelectRow(ProgramList(), 1));
    PostMessageW(main, WM_COMMAND, MAKEWPARAM(10422, 0), 0);
    ASSERT_TRUE(WaitFor([&] { return Rows(ProgramList()) == 2; }, 3000));
    // Saved at once: a power cut now must not bring the program back.
    EXPECT_EQ(Config().find("two.exe"), std::string::npos) << Config();
    EXPECT_NE(Config().find("three.exe"), std::string::npos) << Config();
    ASSERT_TRUE(Quit());

    ASSERT_TRUE(Launch());
    ASSERT_EQ(Rows(ProgramList()), 2);
    // Nothing selected: the list commands do nothing.
    PostMessageW(main, WM_COMMAND, MAKEWPARAM(10423, 0), 0);
    Sleep(300);
    EXPECT_EQ(Rows(ProgramList()), 2);
    ASSERT_TRUE(SelectRow(ProgramList(), 0));
    PostMessageW(main, WM_COMMAND, MAKEWPARAM(10423, 0), 0);
    ASSERT_TRUE(WaitFor([&] { return Rows(ProgramList()) == 0; }, 3000));
    EXPECT_EQ(Config().find("procpath"), std::string::npos) << Config();
    ASSERT_TRUE(Quit());

    ASSERT_TRUE(Launch());
    EXPECT_EQ(Rows(ProgramList()), 0);
}

TEST_F(AppTest, ProgramsCannotBeDeletedWhileMonitoring)
{
    HelperProcess helper;
    ASSERT_TRUE(helper.Start(L"--title Watched"));
    ASSERT_NE(helper.WaitForWindow(), nullptr);
    ASSERT_TRUE(Launch(ConfigWith("autostartmonitor=\"1\"", HelperEntry())));
    ASSERT_TRUE(WaitFor([&] { return TextOf(Control(10200)) == L"监控中"; }, 5000));
    ASSERT_TRUE(SelectRow(ProgramList(), 0));
    for (int command : {10422, 10423})
        PostMessageW(main, WM_COMMAND, MAKEWPARAM(command, 0), 0);
    Sleep(500);
    EXPECT_EQ(Rows(ProgramList()), 1) << "a running thread's record stays";
    ASSERT_TRUE(Quit());
}

TEST_F(AppTest, TheInfoPageDescribesEveryProgram)
{
    HelperProcess helper;
    ASSERT_TRUE(helper.Start(L"--title Watched"));
    HWND window = helper.WaitForWindow();
    ASSERT_NE(window, nullptr);
    std::wstring other = dir.File(L"other.exe");
    ASSERT_TRUE(Launch(ConfigWith("autostartmonitor=\"0\"", HelperEntry() + Entry(other))));
    HWND info = GetDlgItem(Tab(), 10300);
    wchar_t handle[32];
    swprintf(handle, 32, L"%0*llX", static_cast<int>(sizeof(void*) * 2),
             static_cast<unsigned long long>(reinterpret_cast<UINT_PTR>(window)));
    std::wstring expected = std::wstring(L"窗口句柄：0x") + handle + L"\r\n进程ID  ：" + std::to_wstring(helper.Id()) +
                            L"\r\n窗口标题：Watched\r\n窗口类名：TollwickHelperWnd\r\n"
                            L"进程名称：tollwick_helper.exe\r\n程序路径：" +
                            HelperPath() + L"\r\n" +
                            L"-------------------------\r\n"
                            L"窗口句柄：0x" +
                            std::wstring(sizeof(void*) * 2, L'0') +
                            L"\r\n进程ID  ：0\r\n窗口标题：\r\n"
                            L"窗口类名：\r\n进程名称：other.exe\r\n程序路径：" +
                            other + L"\r\n";
    EXPECT_TRUE(WaitFor([&] { return TextOf(info) == expected; }, 3000)) << Narrow(TextOf(info));
    ASSERT_TRUE(Quit());
}

TEST_F(AppTest, TheSettingsBoxesActOnTheConfigurationAtOnce)
{
    ASSERT_TRUE(Launch());
    HWND hide = GetDlgItem(Panel(), 10106);
    SendMessageW(hide, BM_CLICK, 0, 0);
    ASSERT_TRUE(Checked(Panel(), 10106));
    SendMessageW(GetDlgItem(Panel(), 10105), BM_CLICK, 0, 0);
    ASSERT_TRUE(Quit());
    std::string config = Config();
    EXPECT_NE(config.find("hidetray=\"1\""), std::string::npos) << config;
    EXPECT_NE(config.find("autoreboot=\"1\""), std::string::npos) << config;

    ASSERT_TRUE(Launch());
    EXPECT_TRUE(Checked(Panel(), 10106));
    SendMessageW(GetDlgItem(Panel(), 10106), BM_CLICK, 0, 0);
    ASSERT_TRUE(Quit());
    EXPECT_NE(Config().find("hidetray=\"0\""), std::string::npos) << Config();
}

TEST_F(AppTest, WhileMonitoringTheCloseButtonHidesToTheTrayOrAsks)
{
    HelperProcess helper;
    ASSERT_TRUE(helper.Start(L"--title Watched"));
    ASSERT_NE(helper.WaitForWindow(), nullptr);
    ASSERT_TRUE(Launch(ConfigWith("autostartmonitor=\"1\" hidetray=\"1\"", HelperEntry())));
    ASSERT_TRUE(WaitFor([&] { return TextOf(Control(10200)) == L"监控中"; }, 5000));
    PressCloseButton();
    ASSERT_TRUE(WaitFor([&] { return !IsWindowVisible(main); }, 3000)) << "hidden to the tray";
    EXPECT_TRUE(app.IsRunning());
    // A click on the tray icon brings the window back.
    PostMessageW(main, 0x2DA5, 0, WM_LBUTTONDOWN);
    ASSERT_TRUE(WaitFor([&] { return IsWindowVisible(main) != FALSE; }, 3000));

    // Without the tray box the close button asks; No keeps Tollwick running.
    SendMessageW(GetDlgItem(Panel(), 10106), BM_CLICK, 0, 0);
    PressCloseButton();
    HWND question = Dialog(L"是否关闭");
    ASSERT_NE(question, nullptr);
    ASSERT_TRUE(Press(question, IDNO));
    Sleep(300);
    EXPECT_TRUE(app.IsRunning());
    EXPECT_EQ(TextOf(Control(10200)), L"监控中");

    // Alt+F4 with the cursor away from the close button closes nothing.
    RECT frame;
    GetWindowRect(main, &frame);
    SetCursorPos(frame.left + 100, frame.bottom - 30);
    PostMessageW(main, WM_SYSCOMMAND, SC_CLOSE, 0);
    Sleep(500);
    EXPECT_EQ(FindOwnWindow(app.Id(), L"#32770", L"是否关闭"), nullptr);
    EXPECT_TRUE(app.IsRunning());

    PressCloseButton();
    question = Dialog(L"是否关闭");
    ASSERT_NE(question, nullptr);
    ASSERT_TRUE(Press(question, IDYES));
    EXPECT_TRUE(app.WaitForExit(15000));
}

// Monitoring stops before the programs are closed: its threads would start
// them again, and they would stay running unwatched.
TEST_F(AppTest, CloseappClosesTheMonitoredProgramsAtExit)
{
    HelperProcess helper;
    ASSERT_TRUE(helper.Start(L"--title Watched"));
    ASSERT_NE(helper.WaitForWindow(), nullptr);
    std::string config = ConfigWith("autostartmonitor=\"1\"", HelperEntry());
    config.replace(config.find("closeapp=\"0\""), 12, "closeapp=\"1\"");
    ASSERT_TRUE(Launch(config));
    ASSERT_TRUE(WaitFor([&] { return TextOf(Control(10200)) == L"监控中"; }, 5000));
    SendMessageW(GetDlgItem(Panel(), 10102), BM_SETCHECK, BST_CHECKED, 0);
    ASSERT_TRUE(Quit());
    EXPECT_TRUE(helper.WaitForExit(5000)) << "the attached program was asked to close";
    Sleep(1500);
    EXPECT_EQ(tw_test::CountRunning(HelperPath()), 0u) << "nothing was started again";
}

// Started by itself, monitoring shows no box for a missing executable: it is
// logged and tried again each period, and the other programs are watched.
TEST_F(AppTest, AnUnattendedStartWatchesTheOthersAndWaitsForAMissingFile)
{
    std::wstring gone = dir.File(L"gone.exe");
    HelperProcess helper;
    ASSERT_TRUE(helper.Start(L"--title Watched"));
    ASSERT_NE(helper.WaitForWindow(), nullptr);
    ASSERT_TRUE(Launch(ConfigWith("autostartmonitor=\"1\"", Entry(gone) + HelperEntry())));
    EXPECT_TRUE(WaitFor([&] { return TextOf(Control(10200)) == L"监控中"; }, 5000));
    EXPECT_EQ(Dialog(L"文件不存在", 2000), nullptr);
    helper.Stop();
    EXPECT_TRUE(WaitFor([] { return tw_test::CountRunning(HelperPath()) == 1; }, 5000)) << "the other is restarted";
    ASSERT_TRUE(CopyFileW(HelperPath().c_str(), gone.c_str(), FALSE));
    EXPECT_TRUE(WaitFor([&] { return tw_test::CountRunning(gone) == 1; }, 5000)) << "started once it is back";
    HWND log = GetDlgItem(Tab(), 10005);
    EXPECT_TRUE(WaitFor([&] { return Rows(log) == 5; }, 3000))
        << "start, monitoring, a failure, two restarts: " << Rows(log);
    ASSERT_TRUE(Quit());
    tw_test::EndAllRunning(gone);
}

TEST_F(AppTest, TheLogIsExportedWhereTheUserSaysAndTheTrayMenuShowsTheWindow)
{
    HelperProcess helper;
    ASSERT_TRUE(helper.Start(L"--title Watched"));
    ASSERT_NE(helper.WaitForWindow(), nullptr);
    ASSERT_TRUE(Launch(ConfigWith("autostartmonitor=\"1\"", HelperEntry())));
    ASSERT_TRUE(WaitFor([&] { return TextOf(Control(10200)) == L"监控中"; }, 5000));
    helper.Stop();
    HWND errors = GetDlgItem(Tab(), 10005);
    ASSERT_TRUE(WaitFor([&] { return Rows(errors) >= 3; }, 8000)) << "start, monitoring, the restart";

    PostMessageW(main, WM_COMMAND, MAKEWPARAM(10400, 0), 0);
    HWND save = Dialog(L"导出错误日志");
    ASSERT_NE(save, nullptr);
    std::wstring target = dir.File(L"exported.txt");
    // The file name box of the save dialog (a combo box with an edit, or an
    // edit in older layouts).
    HWND name = GetDlgItem(save, 1148);
    if (HWND edit = FindWindowExW(name, nullptr, L"Edit", nullptr))
        name = edit;
    if (!name)
        name = GetDlgItem(save, 1152);
    ASSERT_NE(name, nullptr);
    SendMessageW(name, WM_SETTEXT, 0, reinterpret_cast<LPARAM>(target.c_str()));
    ASSERT_TRUE(Press(save, IDOK));
    std::string text;
    ASSERT_TRUE(WaitFor([&] { return !(text = tw_test::ReadBytes(target)).empty(); }, 5000));
    EXPECT_EQ(text.compare(0, 4, "001\t"), 0) << text;
    EXPECT_NE(text.find(Narrow(L"\"tollwick_helper.exe\"重启成功")), std::string::npos) << text;

    ShowWindow(main, SW_HIDE);
    PostMessageW(main, WM_COMMAND, MAKEWPARAM(10440, 0), 0);
    EXPECT_TRUE(WaitFor([&] { return IsWindowVisible(main) != FALSE; }, 3000));
    ASSERT_TRUE(Quit());
}
