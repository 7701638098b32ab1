// The real Tollwick.exe, copied with a prepared config.xml into a temporary
// folder, started and driven only as a user or another program could: window
// messages to its controls and what they answer.
#include "app/start_options.h"
#include "core/app_messages.h"
#include "tests/app_fixture.h"

#include "version.h"

using namespace tw_app_test;

// The first run, its settings page and what only the user may do: a close
// from another program closes nothing, the quit saves the page.
TEST_F(AppTest, TheFirstRunOpensOnTheProgramListAndTheQuitSavesTheSettingsPage)
{
    ASSERT_TRUE(Launch());
    EXPECT_EQ(TextOf(main), L"Tollwick v" TW_VERSION_WIDE);
    EXPECT_EQ(SendMessageW(Tab(), TCM_GETCURSEL, 0, 0), 1);
    for (int id : {10102, 10103, 10104, 10105, 10106})
        EXPECT_FALSE(Checked(Panel(), id)) << id;
    EXPECT_EQ(TextOf(GetDlgItem(Panel(), 10302)) + TextOf(GetDlgItem(Panel(), 10303)) +
                  TextOf(GetDlgItem(Panel(), 10304)),
              L"010203");
    EXPECT_TRUE(Status(L"未开启监控", 0));

    Click(10100);
    HWND box = Dialog(L"被监控程序为0");
    EXPECT_TRUE(WaitFor([&] { return DialogText(box) == L"请先选中被监控的程序"; }, 3000));
    EXPECT_TRUE(Press(box, IDOK));
    EXPECT_FALSE(Checked(main, 10100));
    EXPECT_TRUE(Status(L"未开启监控", 0));

    PostMessageW(main, WM_CLOSE, 0, 0);
    Sleep(500);
    EXPECT_TRUE(app.IsRunning()) << "only the close button or the quit command closes";
    SetWindowTextW(GetDlgItem(Panel(), 10302), L"7");
    SetWindowTextW(GetDlgItem(Panel(), 10303), L"5");
    SetWindowTextW(GetDlgItem(Panel(), 10304), L"0");
    SendMessageW(GetDlgItem(Panel(), 10102), BM_SETCHECK, BST_CHECKED, 0);
    // These two boxes act on the configuration at once.
    SendMessageW(GetDlgItem(Panel(), 10106), BM_CLICK, 0, 0);
    SendMessageW(GetDlgItem(Panel(), 10105), BM_CLICK, 0, 0);
    ASSERT_TRUE(Quit());
    for (const char* saved : {"reboottime=\"07:05:00\"", "closeapp=\"1\"", "hidetray=\"1\"", "autoreboot=\"1\""})
        EXPECT_TRUE(ConfigHas(saved)) << saved << " in " << Config();
    ASSERT_TRUE(Launch());
    EXPECT_TRUE(Checked(Panel(), 10106));
}

// Watching the running state is on for a new user; a watch the user turned
// off stays off after a restart of Tollwick. The end of the session stops
// monitoring without holding the shutdown up, restarts nothing and saves.
TEST_F(AppTest, AStartAndStopCycleSwitchesTheWindowAndTheEndOfTheSessionSaves)
{
    ASSERT_TRUE(StartWatched());
    ASSERT_TRUE(Launch(ConfigWith("", Entry(HelperPath()))));
    EXPECT_EQ(Rows(ProgramList()), 1);
    EXPECT_TRUE(Checked(main, 10101));
    Click(10100);
    ASSERT_TRUE(Status(L"监控中"));
    EXPECT_TRUE(Checked(main, 10100));
    EXPECT_FALSE(IsWindowEnabled(Control(10000))) << "the finder is off while monitoring";
    EXPECT_EQ(SendMessageW(Tab(), TCM_GETCURSEL, 0, 0), 0) << "a start shows the info page";
    Click(10100);
    ASSERT_TRUE(Status(L"已取消监控", 10000));
    EXPECT_FALSE(Checked(main, 10100));
    EXPECT_TRUE(IsWindowEnabled(Control(10000)));

    Click(10100);
    ASSERT_TRUE(Status(L"监控中"));
    SetWindowTextW(GetDlgItem(Panel(), 10302), L"4");
    DWORD_PTR answer = 0;
    ASSERT_TRUE(SendMessageTimeoutW(main, WM_QUERYENDSESSION, 0, 0, SMTO_NORMAL, 10000, &answer));
    EXPECT_EQ(answer, static_cast<DWORD_PTR>(TRUE)) << "the shutdown is not held up";
    EXPECT_TRUE(Status(L"已取消监控", 0));
    EndAllRunning(HelperPath());
    Sleep(1500);
    EXPECT_EQ(CountRunning(HelperPath()), 0u) << "nothing is restarted";
    SendMessageW(Control(10101), BM_CLICK, 0, 0);
    ASSERT_TRUE(SendMessageTimeoutW(main, WM_ENDSESSION, TRUE, 0, SMTO_NORMAL, 10000, &answer));
    for (const char* saved : {"reboottime=\"04:02:03\"", "procname=\"tollwick_helper.exe\"", "watchrunning=\"0\""})
        EXPECT_TRUE(ConfigHas(saved)) << saved << " in " << Config();
    EXPECT_NE(ReadBytes(dir.File(L"logs\\tollwick-0000000001.log"))
                  .find(Narrow(L"\tTollwick 已退出, 原因:Windows 会话结束\r\n")),
              std::string::npos);
    EXPECT_EQ(ReadBytes(dir.File(L"logs\\run-state.txt")), "session") << "an end the next start need not report";
    app.Stop();
    ASSERT_TRUE(Launch());
    EXPECT_FALSE(Checked(main, 10101));
    // A quit chosen from the tray while monitoring stops is not lost.
    Click(10100);
    ASSERT_TRUE(Status(L"监控中"));
    Click(10100);
    EXPECT_TRUE(Quit()) << "Tollwick ends";
}

// The info page describes every program, found or not. A missing executable
// stops a start with a box: Cancel keeps its entry, OK removes it. Deletions
// are saved at once and stay after a restart.
TEST_F(AppTest, TheInfoPageDescribesEveryProgramAndDeletedOrMissingOnesStayRemoved)
{
    ASSERT_TRUE(StartWatched());
    ASSERT_TRUE(Launch(ConfigWith("", Entry(HelperPath()) + Entry(dir.File(L"one.exe")) + Entry(dir.File(L"two.exe")) +
                                          Entry(dir.File(L"three.exe")))));
    wchar_t handle[32];
    swprintf(handle, 32, L"%0*llX", static_cast<int>(sizeof(void*) * 2),
             static_cast<unsigned long long>(reinterpret_cast<UINT_PTR>(watched.WaitForWindow())));
    std::wstring expected = L"窗口句柄：0x" + std::wstring(handle) + L"\r\n进程ID  ：" + std::to_wstring(watched.Id()) +
                            L"\r\n窗口标题：Watched\r\n窗口类名：TollwickHelperWnd\r\n进程名称：tollwick_helper.exe\r\n"
                            L"程序路径：" +
                            HelperPath() + L"\r\n";
    for (const wchar_t* name : {L"one.exe", L"two.exe", L"three.exe"})
        expected += L"-------------------------\r\n窗口句柄：0x" + std::wstring(sizeof(void*) * 2, L'0') +
                    L"\r\n进程ID  ：0\r\n窗口标题：\r\n窗口类名：\r\n进程名称：" + name + L"\r\n程序路径：" +
                    dir.File(name) + L"\r\n";
    HWND info = GetDlgItem(Tab(), 10300);
    EXPECT_TRUE(WaitFor([&] { return TextOf(info) == expected; }, 3000)) << Narrow(TextOf(info));

    ASSERT_TRUE(SelectRow(ProgramList(), 2));
    Command(10422);
    ASSERT_TRUE(WaitFor([&] { return Rows(ProgramList()) == 3; }, 3000));
    // Saved at once: a power cut now must not bring the program back.
    EXPECT_FALSE(ConfigHas("two.exe")) << Config();
    EXPECT_TRUE(ConfigHas("three.exe")) << Config();
    for (int button : {IDCANCEL, IDOK}) {
        Click(10100);
        ASSERT_TRUE(Press(Dialog(L"文件不存在"), button));
        EXPECT_TRUE(WaitFor([&] { return Rows(ProgramList()) == (button == IDOK ? 2 : 3); }, 3000)) << button;
        EXPECT_FALSE(Checked(main, 10100));
        EXPECT_TRUE(Status(L"未开启监控", 0));
    }
    ASSERT_TRUE(Quit());

    ASSERT_TRUE(Launch());
    ASSERT_EQ(Rows(ProgramList()), 2);
    EXPECT_FALSE(ConfigHas("one.exe")) << Config();
    // Nothing selected: the list commands do nothing.
    Command(10423);
    Sleep(300);
    EXPECT_EQ(Rows(ProgramList()), 2);
    ASSERT_TRUE(SelectRow(ProgramList(), 0));
    Command(10423);
    ASSERT_TRUE(WaitFor([&] { return Rows(ProgramList()) == 0; }, 3000));
    EXPECT_FALSE(ConfigHas("procpath")) << Config();
}

TEST_F(AppTest, WhileMonitoringTheCloseButtonHidesToTheTrayOrAsks)
{
    ASSERT_TRUE(LaunchMonitoring("hidetray=\"1\""));
    PressCloseButton();
    ASSERT_TRUE(WaitFor([&] { return !IsWindowVisible(main); }, 3000)) << "hidden to the tray";
    EXPECT_TRUE(app.IsRunning());
    // The tray menu's "主界面" brings the window back.
    Command(10440);
    ASSERT_TRUE(WaitFor([&] { return IsWindowVisible(main) != FALSE; }, 3000));

    // Without the tray box the close button asks; No keeps Tollwick running.
    SendMessageW(GetDlgItem(Panel(), 10106), BM_CLICK, 0, 0);
    PressCloseButton();
    ASSERT_TRUE(Press(Dialog(L"是否关闭"), IDNO));
    Sleep(300);
    EXPECT_TRUE(app.IsRunning());
    EXPECT_TRUE(Status(L"监控中", 0));

    // Alt+F4 with the cursor away from the close button closes nothing.
    RECT frame;
    GetWindowRect(main, &frame);
    SetCursorPos(frame.left + 100, frame.bottom - 30);
    PostMessageW(main, WM_SYSCOMMAND, SC_CLOSE, 0);
    Sleep(500);
    EXPECT_EQ(FindOwnWindow(app.Id(), L"#32770", L"是否关闭"), nullptr);

    PressCloseButton();
    ASSERT_TRUE(Press(Dialog(L"是否关闭"), IDYES));
    EXPECT_TRUE(app.WaitForExit(15000));
}

// Started by itself, monitoring shows no box for a missing executable: it is
// logged and tried again each period, and the other programs are watched. No
// program can be deleted then. At the quit with closeapp, monitoring stops
// before the programs are closed: its threads would start them again.
TEST_F(AppTest, AnUnattendedStartWatchesTheOthersAndWaitsForAMissingFile)
{
    std::wstring gone = dir.File(L"gone.exe");
    ASSERT_TRUE(LaunchMonitoring("", Entry(gone)));
    EXPECT_EQ(Dialog(L"文件不存在", 2000), nullptr);
    EXPECT_TRUE(Checked(main, 10100) && Checked(main, 10101) && Checked(Panel(), 10103));
    ASSERT_TRUE(SelectRow(ProgramList(), 0));
    for (int command : {10422, 10423})
        Command(command);
    watched.Stop();
    EXPECT_TRUE(WaitFor([] { return CountRunning(HelperPath()) == 1; }, 5000)) << "the other is restarted";
    EXPECT_EQ(Rows(ProgramList()), 2) << "a running thread's record stays";
    ASSERT_TRUE(CopyFileW(HelperPath().c_str(), gone.c_str(), FALSE));
    EXPECT_TRUE(WaitFor([&] { return CountRunning(gone) == 1; }, 5000)) << "started once it is back";
    EXPECT_TRUE(WaitFor([&] { return Rows(ErrorList()) == 5; }, 3000))
        << "start, monitoring, a failure, two restarts: " << Rows(ErrorList());

    Command(10400);
    std::wstring target = dir.File(L"exported.txt");
    ASSERT_TRUE(SaveAs(Dialog(L"导出错误日志"), target));
    // The export's form is the error log's own; here it must reach the file.
    EXPECT_TRUE(WaitFor([&] { return ReadBytes(target).compare(0, 4, "001\t") == 0; }, 5000)) << ReadBytes(target);

    SendMessageW(GetDlgItem(Panel(), 10102), BM_SETCHECK, BST_CHECKED, 0);
    ASSERT_TRUE(Quit());
    Sleep(1500);
    EXPECT_EQ(CountRunning(HelperPath()) + CountRunning(gone), 0u) << "closed, and nothing started again";
    EndAllRunning(gone);
}

// The switches each start comes with; anything malformed is a person's start,
// which shows the window.
TEST(StartOptionsTest, EachSwitchIsReadAndAnythingElseIsAPersonsStart)
{
    using tw::StartKind;
    struct Case {
        const wchar_t* line;
        StartKind kind;
        bool afterHang;
        DWORD seconds;
        ULONG_PTR handle;
    };
    const Case cases[] = {
        {L"\"C:\\a b\\Tollwick.exe\"", StartKind::Person, false, 0, 0},
        {L"Tollwick.exe", StartKind::Person, false, 0, 0},
        {L"", StartKind::Person, false, 0, 0},
        {L"\"C:\\a b\\Tollwick.exe\" /autostart", StartKind::Autostart, false, 0, 0},
        {L"Tollwick.exe /AutoStart", StartKind::Autostart, false, 0, 0},
        {L"Tollwick.exe /backstop", StartKind::Backstop, false, 0, 0},
        {L"Tollwick.exe /unregister", StartKind::Unregister, false, 0, 0},
        {L"Tollwick.exe /guard 1234", StartKind::GuardRole, false, 0, 1234},
        {L"Tollwick.exe /restarted crash 15 636", StartKind::ByGuardian, false, 15, 636},
        {L"Tollwick.exe /restarted hung 0 4294967292", StartKind::ByGuardian, true, 0, 4294967292u},
        {L"Tollwick.exe /restarted crash 15", StartKind::Person, false, 0, 0},
        {L"Tollwick.exe /restarted slow 15 636", StartKind::Person, false, 0, 0},
        {L"Tollwick.exe /restarted crash -1 636", StartKind::Person, false, 0, 0},
        {L"Tollwick.exe /restarted crash 15 0", StartKind::Person, false, 0, 0},
        {L"Tollwick.exe /restarted crash 15 4294967296", StartKind::Person, false, 0, 0},
        {L"Tollwick.exe /guard", StartKind::Person, false, 0, 0},
        {L"Tollwick.exe /guard 12x", StartKind::Person, false, 0, 0},
        {L"Tollwick.exe /autostart extra", StartKind::Person, false, 0, 0},
        {L"Tollwick.exe autostart", StartKind::Person, false, 0, 0},
        {L"Tollwick.exe /help", StartKind::Person, false, 0, 0},
    };
    for (const Case& c : cases) {
        tw::StartOptions options = tw::ParseStartOptions(c.line);
        EXPECT_EQ(options.kind, c.kind) << Narrow(c.line);
        EXPECT_EQ(options.afterHang, c.afterHang) << Narrow(c.line);
        EXPECT_EQ(options.restartSeconds, c.seconds) << Narrow(c.line);
        EXPECT_EQ(reinterpret_cast<ULONG_PTR>(options.otherProcess), c.handle) << Narrow(c.line);
    }
}

// One watchdog per folder: a second start of the same Tollwick.exe ends and
// the first goes on monitoring. A person's start shows the first from the
// tray; a start with Windows leaves it where it is. A copy in another folder
// is another watchdog and runs beside it.
TEST_F(AppTest, ASecondStartInTheSameFolderEndsAndShowsTheFirstOnlyToAPerson)
{
    ASSERT_TRUE(LaunchMonitoring("hidetray=\"1\""));
    std::wstring exe = dir.File(L"Tollwick.exe");
    PostMessageW(main, tw::kTrayCallbackMessage, 0, WM_LBUTTONDOWN);
    ASSERT_TRUE(WaitFor([&] { return !IsWindowVisible(main); }, 3000)) << "hidden to the tray";

    HelperProcess second;
    ASSERT_TRUE(second.Start(L"/autostart", exe));
    EXPECT_TRUE(second.WaitForExit(15000)) << "a second watchdog of the folder runs";
    EXPECT_EQ(second.ExitCode(), 0);
    EXPECT_FALSE(WaitFor([&] { return IsWindowVisible(main) != FALSE; }, 3000)) << "a start with Windows shows nothing";

    ASSERT_TRUE(second.Start(L"", exe));
    EXPECT_TRUE(second.WaitForExit(15000)) << "a second watchdog of the folder runs";
    EXPECT_EQ(second.ExitCode(), 0);
    EXPECT_TRUE(WaitFor([&] { return IsWindowVisible(main) != FALSE; }, 5000)) << "a person's start shows it";
    EXPECT_TRUE(app.IsRunning());
    EXPECT_TRUE(Status(L"监控中", 0));
    watched.Stop();
    EXPECT_TRUE(WaitFor([] { return CountRunning(HelperPath()) == 1; }, 5000)) << "still watched";

    TempDir otherDir;
    std::wstring other = otherDir.File(L"Tollwick.exe");
    ASSERT_TRUE(CopyFileW(exe.c_str(), other.c_str(), FALSE));
    HelperProcess beside;
    ASSERT_TRUE(beside.Start(L"", other));
    EXPECT_NE(WaitForMainWindow(beside.Id()), nullptr) << "a copy in another folder runs";
    EXPECT_TRUE(app.IsRunning() && beside.IsRunning());
    PostMessageW(FindOwnWindow(beside.Id(), kMainClass, nullptr), WM_COMMAND, MAKEWPARAM(10441, 0), 0);
    EXPECT_TRUE(beside.WaitForExit(10000));
}

namespace {

// The visible main window of a Tollwick running exe whose process is not
// before, once it shows; null on time-out.
HWND AwaitNewTollwick(const std::wstring& exe, DWORD before, DWORD timeoutMs)
{
    HWND found = nullptr;
    WaitFor(
        [&] {
            // The guardian runs the same executable, without a window.
            std::vector<DWORD> seen = {before};
            while (DWORD id = tw::FindProcessRunning(tw::CStrW(exe.c_str()), seen.data(), seen.size())) {
                found = FindOwnWindow(id, kMainClass, nullptr);
                if (found && IsWindowVisible(found))
                    return true;
                seen.push_back(id);
            }
            return false;
        },
        timeoutMs);
    return found;
}

} // namespace

// With selfguard on, a guardian process brings Tollwick back when it is
// killed and when its window stops answering for a minute, monitoring as it
// was; a quit leaves nothing running.
TEST_F(AppTest, TheGuardianBringsTollwickBackAfterAKillOrAFrozenWindowButNotAfterAQuit)
{
    ASSERT_TRUE(StartWatched());
    ASSERT_TRUE(Launch(ConfigWith("autostartmonitor=\"0\" selfguard=\"1\"", Entry(HelperPath()))));
    Click(10100);
    ASSERT_TRUE(Status(L"监控中"));
    const std::wstring exe = dir.File(L"Tollwick.exe");
    ASSERT_TRUE(WaitFor([&] { return CountRunning(exe) == 2; }, 5000)) << "Tollwick and its guardian";
    DWORD killed = app.Id();
    app.Stop();
    HWND back = AwaitNewTollwick(exe, killed, 10000);
    ASSERT_NE(back, nullptr);
    ASSERT_TRUE(app.Adopt(back));
    main = back;
    EXPECT_TRUE(Status(L"监控中")) << "monitoring was on";
    auto logged = [&](const wchar_t* line) {
        return WaitFor(
            [&] {
                return ReadBytes(dir.File(L"logs\\tollwick-0000000001.log")).find(Narrow(line)) != std::string::npos;
            },
            3000);
    };
    EXPECT_TRUE(logged(L"\tTollwick 意外退出, 已由守护进程在 1 秒后重新启动\r\n"));
    DWORD program = watched.Id();
    watched.Stop();
    EXPECT_TRUE(
        WaitFor([&] { return tw::FindProcessRunning(tw::CStrW(HelperPath().c_str()), &program, 1) != 0; }, 5000))
        << "and watches again";

    DWORD thread = GetWindowThreadProcessId(main, nullptr);
    tw::CHandle frozen(OpenThread(THREAD_SUSPEND_RESUME, FALSE, thread));
    ASSERT_TRUE(frozen && SuspendThread(frozen.Get()) != static_cast<DWORD>(-1));
    DWORD hung = app.Id();
    back = AwaitNewTollwick(exe, hung, 60000 + 20000);
    ASSERT_NE(back, nullptr);
    EXPECT_FALSE(app.IsRunning()) << "the frozen one was ended first";
    ASSERT_TRUE(app.Adopt(back));
    main = back;
    EXPECT_TRUE(Status(L"监控中"));
    EXPECT_TRUE(logged(L"\tTollwick 主窗口 60 秒无响应, 已由守护进程结束并重新启动\r\n"));

    ASSERT_TRUE(Quit());
    EXPECT_TRUE(WaitFor([&] { return CountRunning(exe) == 0; }, 10000)) << "the guardian went too";
}
