// The scheduler on a stand-in main window with the real pages, the real
// start/stop command and real helper programs. Time comes from a clock the
// tests set, and the system restart is replaced by a counter, so nothing
// waits for a real time of day and nothing restarts the machine.
#include "config/config.h"
#include "core/text_ops.h"
#include "monitor/error_log.h"
#include "monitor/monitor.h"
#include "monitor/process_query.h"
#include "monitor/program_table.h"
#include "monitor/ui_links.h"
#include "res/resource_ids.h"
#include "schedule/scheduler.h"
#include "tests/helper_process.h"
#include "tests/host_window.h"
#include "tests/schedule_clock.h"
#include "tests/test_support.h"
#include "ui/commands.h"
#include "ui/monitor_command.h"
#include "ui/pages.h"
#include "ui/settings_dialog.h"

#include <commctrl.h>

#include <gtest/gtest.h>

#include <atomic>
#include <initializer_list>
#include <string>
#include <vector>

#include <wchar.h>

using tw::CStrW;
using tw::g_config;
using tw::g_scheduler;
using tw_test::HelperPath;
using tw_test::HelperProcess;
using tw_test::PumpUntil;
using tw_test::Utc8;

namespace {

long long g_fakeNow = 0;
int g_restartRequests = 0;
bool g_restartGranted = true;

long long FakeNow()
{
    return g_fakeNow;
}

bool CountRestart()
{
    ++g_restartRequests;
    return g_restartGranted;
}

std::wstring TextOf(HWND window)
{
    wchar_t text[2048] = {0};
    GetWindowTextW(window, text, 2048);
    return text;
}

std::string Utf8(const std::wstring& s)
{
    int n = WideCharToMultiByte(CP_UTF8, 0, s.c_str(), -1, nullptr, 0, nullptr, nullptr);
    std::string out(static_cast<size_t>(n > 0 ? n : 1), '\0');
    WideCharToMultiByte(CP_UTF8, 0, s.c_str(), -1, &out[0], n, nullptr, nullptr);
    return out.c_str();
}

std::wstring ConfigText(const char* key)
{
    return tw::ToWide(g_config.GetText(0, key, tw::CStrA())).c_str();
}

long long ConfigInt(const char* key)
{
    return g_config.GetInt(0, key, -1);
}

// The main window's routing of commands, as far as the scheduler needs it.
LRESULT CALLBACK StandInProc(HWND window, UINT message, WPARAM wParam, LPARAM lParam)
{
    LRESULT result = 0;
    if (tw::HandleEngineMessage(window, message, wParam, lParam, &result))
        return result;
    // As on the real main window, a WM_CLOSE that is not the user's (the one
    // posted before a restart) closes nothing.
    if (message == WM_CLOSE)
        return 0;
    if (message == WM_COMMAND) {
        HWND control = reinterpret_cast<HWND>(lParam);
        UINT code = HIWORD(wParam);
        if ((control || code > 1) && tw::OnPageCommand(control, code, LOWORD(wParam)) == 1)
            return 0;
    }
    return DefWindowProcW(window, message, wParam, lParam);
}

// Closes the first message box that a thread opens, from another thread
// (the box is modal on the thread under test), and keeps its text.
class MessageBoxCloser {
public:
    explicit MessageBoxCloser(HWND except) : m_thread(GetCurrentThreadId()), m_except(except)
    {
        m_handle = CreateThread(nullptr, 0, Run, this, 0, nullptr);
    }
    ~MessageBoxCloser() { Wait(); }
    MessageBoxCloser(const MessageBoxCloser&) = delete;
    MessageBoxCloser& operator=(const MessageBoxCloser&) = delete;

    // The box's message, once it was closed; empty when none came.
    std::wstring Wait()
    {
        if (m_handle) {
            m_stop = true;
            WaitForSingleObject(m_handle, 15000);
            CloseHandle(m_handle);
            m_handle = nullptr;
        }
        return m_text;
    }

private:
    static BOOL CALLBACK FindBox(HWND window, LPARAM self)
    {
        auto* closer = reinterpret_cast<MessageBoxCloser*>(self);
        wchar_t name[16] = {0};
        GetClassNameW(window, name, 16);
        if (window == closer->m_except || wcscmp(name, L"#32770") != 0 || !IsWindowVisible(window))
            return TRUE;
        closer->m_found = window;
        return FALSE;
    }

    static DWORD WINAPI Run(void* parameter)
    {
        auto* self = static_cast<MessageBoxCloser*>(parameter);
        // Waits for the box while the test thread opens it; gives up a while
        // after the test stopped waiting.
        for (ULONGLONG start = GetTickCount64(); GetTickCount64() - start < 30000; Sleep(20)) {
            self->m_found = nullptr;
            EnumThreadWindows(self->m_thread, FindBox, reinterpret_cast<LPARAM>(self));
            if (self->m_found) {
                for (HWND child = FindWindowExW(self->m_found, nullptr, L"Static", nullptr); child;
                     child = FindWindowExW(self->m_found, child, L"Static", nullptr)) {
                    wchar_t text[512] = {0};
                    SendMessageTimeoutW(child, WM_GETTEXT, 512, reinterpret_cast<LPARAM>(text), SMTO_NORMAL, 2000,
                                        nullptr);
                    if (wcslen(text) > self->m_text.size())
                        self->m_text = text;
                }
                PostMessageW(self->m_found, WM_COMMAND, MAKEWPARAM(IDOK, BN_CLICKED), 0);
                return 0;
            }
            if (self->m_stop && GetTickCount64() - start > 2000)
                return 0;
        }
        return 0;
    }

    DWORD m_thread;
    HWND m_except;
    HWND m_found = nullptr;
    HANDLE m_handle = nullptr;
    std::atomic<bool> m_stop{false};
    std::wstring m_text;
};

// Watches a thread's message boxes from another thread: notes how many are
// open at once and cancels each after it stayed open for a while (long
// enough for timers of the thread to tick inside its modal loop).
class MessageBoxWatcher {
public:
    explicit MessageBoxWatcher(DWORD holdMs) : m_thread(GetCurrentThreadId()), m_holdMs(holdMs)
    {
        m_handle = CreateThread(nullptr, 0, Run, this, 0, nullptr);
    }
    ~MessageBoxWatcher() { Stop(); }
    MessageBoxWatcher(const MessageBoxWatcher&) = delete;
    MessageBoxWatcher& operator=(const MessageBoxWatcher&) = delete;

    void Stop()
    {
        if (!m_handle)
            return;
        m_stop = true;
        WaitForSingleObject(m_handle, 15000);
        CloseHandle(m_handle);
        m_handle = nullptr;
    }
    int MostOpenAtOnce() const { return m_most; }
    int BoxesSeen() const { return m_seen; }

private:
    static BOOL CALLBACK CountBox(HWND window, LPARAM self)
    {
        auto* watcher = reinterpret_cast<MessageBoxWatcher*>(self);
        wchar_t name[16] = {0};
        GetClassNameW(window, name, 16);
        if (wcscmp(name, L"#32770") == 0 && IsWindowVisible(window))
            watcher->m_open.push_back(window);
        return TRUE;
    }

    static DWORD WINAPI Run(void* parameter)
    {
        auto* self = static_cast<MessageBoxWatcher*>(parameter);
        HWND current = nullptr;
        ULONGLONG since = 0;
        for (ULONGLONG start = GetTickCount64(); !self->m_stop && GetTickCount64() - start < 60000; Sleep(20)) {
            self->m_open.clear();
            EnumThreadWindows(self->m_thread, CountBox, reinterpret_cast<LPARAM>(self));
            int open = static_cast<int>(self->m_open.size());
            if (open > self->m_most)
                self->m_most = open;
            if (open == 0) {
                current = nullptr;
                continue;
            }
            HWND newest = self->m_open.front();
            if (newest != current) {
                current = newest;
                since = GetTickCount64();
                ++self->m_seen;
            } else if (GetTickCount64() - since >= self->m_holdMs) {
                PostMessageW(current, WM_COMMAND, MAKEWPARAM(IDCANCEL, BN_CLICKED), 0);
            }
        }
        return 0;
    }

    DWORD m_thread;
    DWORD m_holdMs;
    HANDLE m_handle = nullptr;
    std::atomic<bool> m_stop{false};
    std::atomic<int> m_most{0};
    std::atomic<int> m_seen{0};
    std::vector<HWND> m_open;
};

class SchedulerTest : public ::testing::Test {
protected:
    static void SetUpTestSuite()
    {
        INITCOMMONCONTROLSEX icc = {sizeof(icc), ICC_LISTVIEW_CLASSES | ICC_TAB_CLASSES | ICC_STANDARD_CLASSES};
        InitCommonControlsEx(&icc);
        WNDCLASSW wc = {};
        wc.lpfnWndProc = StandInProc;
        wc.hInstance = GetModuleHandleW(nullptr);
        wc.lpszClassName = L"TollwickSchedulerStandIn";
        RegisterClassW(&wc);
        main = CreateWindowExW(0, wc.lpszClassName, L"main", WS_OVERLAPPED | WS_CLIPCHILDREN, 0, 0, 377, 341, nullptr,
                               nullptr, wc.hInstance, nullptr);
        tw::g_mainWindow = main;
        tw::BuildMainControls(main);
    }
    static void TearDownTestSuite()
    {
        tw::g_programListView = nullptr;
        tw::g_mainWindow = nullptr;
        DestroyWindow(main);
    }

    void SetUp() override
    {
        tw::ClearPrograms();
        ASSERT_TRUE(g_config.OpenIn(CStrW(dir.Path().c_str())));
        g_config.SetInt(0, "monitortime", 1);
        savedClock = g_scheduler.clock;
        savedRestart = g_scheduler.restart;
        g_scheduler.Reset();
        g_scheduler.clock = FakeNow;
        g_scheduler.restart = CountRestart;
        g_fakeNow = Utc8(2026, 12, 7, 10, 0, 0);
        g_restartRequests = 0;
        g_restartGranted = true;
        SetMainBox(tw::kIdStartMonitoring, false);
        SetMainBox(tw::kIdWatchRunning, true);
    }

    void TearDown() override
    {
        if (dialog)
            DestroyWindow(dialog);
        tw::StopMonitoringNow();
        tw::g_monitoring = 0;
        KillTimer(main, tw::kTimerClock);
        KillTimer(main, tw::kTimerScheduledRun);
        for (size_t i = 0; i < tw::g_programCount; ++i)
            tw::KillProgramProcess(i);
        tw::ClearPrograms();
        KillRestartedHelpers();
        g_scheduler.Reset();
        g_scheduler.clock = savedClock;
        g_scheduler.restart = savedRestart;
        MSG msg;
        while (PeekMessageW(&msg, nullptr, 0, 0, PM_REMOVE))
            DispatchMessageW(&msg);
    }

    static void KillRestartedHelpers()
    {
        std::wstring path = HelperPath();
        while (DWORD id = tw::FindProcessByNameAndPath(L"tollwick_helper.exe", path.c_str(), nullptr, 0)) {
            if (!tw::KillProcessRunning(id, CStrW(path.c_str())))
                break;
        }
    }

    static void SetMainBox(int id, bool on)
    {
        SendDlgItemMessageW(main, id, BM_SETCHECK, on ? BST_CHECKED : BST_UNCHECKED, 0);
    }
    static bool MainBox(int id) { return SendDlgItemMessageW(main, id, BM_GETCHECK, 0, 0) == BST_CHECKED; }
    static HWND Tab() { return GetDlgItem(main, tw::kIdTab); }
    static std::wstring Countdown() { return TextOf(GetDlgItem(Tab(), tw::kIdTimingText)); }

    // Configuration entries for these programs, loaded as at start-up.
    void LoadPrograms(std::initializer_list<std::wstring> paths)
    {
        size_t entry = 1;
        for (const std::wstring& path : paths) {
            g_config.SetText(entry, "procpath", tw::ToNarrow(path.c_str()));
            g_config.SetText(entry, "procname", tw::ToNarrow(path.c_str() + path.rfind(L'\\') + 1));
            ++entry;
        }
        tw::LoadMonitorList();
    }

    // The start/stop command as the box sends it, with the flag preset.
    static void SendMonitoringCommand(LONG preset)
    {
        tw::g_monitoring = preset;
        SendMessageW(main, WM_COMMAND, MAKEWPARAM(tw::kIdStartMonitoring, BN_CLICKED),
                     reinterpret_cast<LPARAM>(GetDlgItem(main, tw::kIdStartMonitoring)));
    }

    // Starts monitoring and takes the real clock timer away again, so that
    // only the ticks a test makes happen. True when the clock was running.
    static bool StartMonitoringWithoutRealTicks()
    {
        SendMonitoringCommand(0);
        return tw::g_monitoring.load() == 1 && KillTimer(main, tw::kTimerClock);
    }

    void Tick(long long now)
    {
        g_fakeNow = now;
        g_scheduler.ClockTick(now);
    }
    void RunTick(long long now)
    {
        g_fakeNow = now;
        g_scheduler.RunTick(now);
    }

    void OpenDialog()
    {
        dialog =
            CreateDialogParamW(GetModuleHandleW(nullptr), MAKEINTRESOURCEW(IDD_SETTINGS), main, tw::CSettingsDialog, 0);
        ASSERT_NE(dialog, nullptr);
        ShowWindow(dialog, SW_SHOW);
    }
    bool BoxTicked(int id) const { return IsDlgButtonChecked(dialog, id) == BST_CHECKED; }
    void Click(int id) const { SendDlgItemMessageW(dialog, id, BM_CLICK, 0, 0); }
    void Type(int id, const wchar_t* text) const
    {
        HWND field = GetDlgItem(dialog, id);
        SetFocus(field);
        for (const wchar_t* c = text; *c; ++c)
            SendMessageW(field, WM_CHAR, *c, 1);
    }

    static HWND main;
    tw_test::TempDir dir;
    HWND dialog = nullptr;
    long long (*savedClock)() = nullptr;
    bool (*savedRestart)() = nullptr;
};

HWND SchedulerTest::main = nullptr;

} // namespace

TEST_F(SchedulerTest, AOnceOnlyCloseCountsDownAndAtZeroClosesEverything)
{
    HelperProcess helper;
    ASSERT_TRUE(helper.Start(L"--title Watched"));
    ASSERT_NE(helper.WaitForWindow(), nullptr);
    LoadPrograms({HelperPath()});
    ASSERT_TRUE(StartMonitoringWithoutRealTicks()) << "a start runs the clock";
    long long start = g_fakeNow;
    g_scheduler.onceCloseTime = start + 5;
    g_config.SetTimingCloseCheck(1);

    for (int i = 0; i < 5; ++i) {
        Tick(start + i);
        std::wstring expected = L"定时关闭程序,剩余:" + std::to_wstring(5 - i) + L"秒";
        EXPECT_EQ(Countdown().find(expected), 0u) << Utf8(Countdown());
        EXPECT_EQ(tw::g_monitoring.load(), 1);
    }
    EXPECT_EQ(Countdown(), L"定时关闭程序,剩余:1秒(00小时00分钟01秒)\r\n目标时间：2026-12-07 10:00:05\r\n"
                           L"现在时间：2026-12-07 10:00:04\r\n\r\n");

    Tick(start + 5);
    EXPECT_EQ(tw::g_monitoring.load(), 0);
    EXPECT_FALSE(MainBox(tw::kIdWatchRunning));
    EXPECT_FALSE(MainBox(tw::kIdStartMonitoring));
    EXPECT_EQ(TextOf(GetDlgItem(main, tw::kIdStatus)), L"已取消监控");
    EXPECT_EQ(ConfigInt("timingclosecheck"), 0);
    EXPECT_EQ(g_scheduler.onceCloseTime, 0);
    EXPECT_TRUE(helper.WaitForExit(5000)) << "the program is closed";
    EXPECT_FALSE(KillTimer(main, tw::kTimerClock)) << "the clock stopped with monitoring";
}

TEST_F(SchedulerTest, AOnceOnlyCloseArmedWhileStoppedActsOnTheFirstTickAfterTheStart)
{
    HelperProcess helper;
    ASSERT_TRUE(helper.Start(L"--title Watched"));
    ASSERT_NE(helper.WaitForWindow(), nullptr);
    LoadPrograms({HelperPath()});
    g_scheduler.onceCloseTime = g_fakeNow - 60;
    g_config.SetTimingCloseCheck(1);
    EXPECT_FALSE(KillTimer(main, tw::kTimerClock)) << "no clock while monitoring is off";
    tw_test::PumpFor(300);
    EXPECT_TRUE(helper.IsRunning());

    ASSERT_TRUE(StartMonitoringWithoutRealTicks());
    Tick(g_fakeNow);
    EXPECT_EQ(tw::g_monitoring.load(), 0);
    EXPECT_EQ(ConfigInt("timingclosecheck"), 0);
    EXPECT_TRUE(helper.WaitForExit(5000));
}

TEST_F(SchedulerTest, AOnceOnlyRunAtATimePassedIsRefusedAndNothingStarts)
{
    LoadPrograms({dir.File(L"some.exe")});
    OpenDialog();
    SetDlgItemTextW(dialog, IDC_RUN_TIME, L"09:00:00");
    MessageBoxCloser closer(dialog);
    Click(IDC_ONCE_RUN);
    EXPECT_EQ(closer.Wait(), L"设置的时间不能小于现在的时间\r\n设置的时间为：2026-12-07 09:00:00\r\n"
                             L"现在的时间为：2026-12-07 10:00:00");
    EXPECT_FALSE(BoxTicked(IDC_ONCE_RUN));
    EXPECT_EQ(ConfigInt("timingruncheck"), 0);
    EXPECT_EQ(g_scheduler.onceRunTime, 0);
    EXPECT_FALSE(KillTimer(main, tw::kTimerScheduledRun)) << "no run check was started";
    EXPECT_EQ(tw::g_monitoring.load(), 0);
}

TEST_F(SchedulerTest, AOnceOnlyRunAheadStartsTheRunCheckWhichStartsMonitoringOnce)
{
    HelperProcess helper;
    ASSERT_TRUE(helper.Start(L"--title Watched"));
    ASSERT_NE(helper.WaitForWindow(), nullptr);
    LoadPrograms({HelperPath()});
    SetMainBox(tw::kIdWatchRunning, false);
    OpenDialog();
    SetDlgItemTextW(dialog, IDC_RUN_TIME, L"10:00:03");
    Click(IDC_ONCE_RUN);
    EXPECT_TRUE(BoxTicked(IDC_ONCE_RUN));
    EXPECT_EQ(ConfigInt("timingruncheck"), 1);
    EXPECT_EQ(g_scheduler.onceRunTime, Utc8(2026, 12, 7, 10, 0, 3));
    ASSERT_TRUE(KillTimer(main, tw::kTimerScheduledRun)) << "the run check runs";

    RunTick(g_fakeNow + 2);
    EXPECT_EQ(tw::g_monitoring.load(), 0);
    RunTick(g_fakeNow + 1);
    EXPECT_EQ(tw::g_monitoring.load(), 1);
    EXPECT_TRUE(MainBox(tw::kIdWatchRunning));
    EXPECT_EQ(ConfigInt("timingruncheck"), 0);
    EXPECT_EQ(g_scheduler.onceRunTime, 0);
}

TEST_F(SchedulerTest, NoProgramsMeansTheOnceOnlyBoxesChangeNothing)
{
    OpenDialog();
    SetDlgItemTextW(dialog, IDC_CLOSE_TIME, L"11:00:00");
    MessageBoxCloser closer(dialog);
    Click(IDC_ONCE_CLOSE);
    EXPECT_EQ(closer.Wait(), L"未设置需要监控的程序");
    EXPECT_FALSE(BoxTicked(IDC_ONCE_CLOSE));
    EXPECT_EQ(ConfigInt("timingclosecheck"), -1) << "nothing is stored";
    EXPECT_EQ(g_scheduler.onceCloseTime, 0);
}

TEST_F(SchedulerTest, TypingACloseTimeAndLeavingTheFieldArmsAOnceOnlyClose)
{
    LoadPrograms({dir.File(L"some.exe")});
    OpenDialog();
    SetFocus(GetDlgItem(dialog, IDC_CLOSE_TIME));
    SetFocus(GetDlgItem(dialog, IDC_MONITOR_TIME));
    EXPECT_EQ(g_scheduler.onceCloseTime, 0) << "a field the focus passed through arms nothing";

    Type(IDC_CLOSE_TIME, L"9:3x0:0a0");
    EXPECT_EQ(TextOf(GetDlgItem(dialog, IDC_CLOSE_TIME)), L"9:30:00") << "letters are dropped";
    SetFocus(GetDlgItem(dialog, IDC_MONITOR_TIME));
    EXPECT_EQ(g_scheduler.onceCloseTime, Utc8(2026, 12, 8, 9, 30, 0)) << "the next coming of that time";
    EXPECT_EQ(ConfigText("timingclose_everyday_time"), L"2026-12-08 09:30:00");
    EXPECT_FALSE(BoxTicked(IDC_ONCE_CLOSE));
}

TEST_F(SchedulerTest, TheDailyCloseBoxChecksTheOnceBoxAndUncheckingKeepsTheOnceClose)
{
    LoadPrograms({dir.File(L"some.exe")});
    OpenDialog();
    SetDlgItemTextW(dialog, IDC_CLOSE_TIME, L"09:00:00");
    Click(IDC_DAILY_CLOSE);
    EXPECT_TRUE(BoxTicked(IDC_ONCE_CLOSE));
    EXPECT_EQ(ConfigInt("timingclosecheck"), 1);
    EXPECT_EQ(ConfigInt("timingclosecheck_everyday"), 1);
    EXPECT_EQ(ConfigText("timingclose_everyday_time"), L"2026-12-08 09:00:00");
    long long armed = g_scheduler.onceCloseTime;
    EXPECT_EQ(armed, Utc8(2026, 12, 8, 9, 0, 0));

    Click(IDC_DAILY_CLOSE);
    EXPECT_EQ(ConfigInt("timingclosecheck_everyday"), 0);
    EXPECT_EQ(ConfigText("timingclose_everyday_time"), L"");
    EXPECT_TRUE(BoxTicked(IDC_ONCE_CLOSE));
    EXPECT_EQ(ConfigInt("timingclosecheck"), 1);
    EXPECT_EQ(g_scheduler.onceCloseTime, armed);
}

TEST_F(SchedulerTest, ADailyCloseAndALaterDailyRunActOnceEachThatDay)
{
    HelperProcess helper;
    ASSERT_TRUE(helper.Start(L"--title Watched"));
    ASSERT_NE(helper.WaitForWindow(), nullptr);
    LoadPrograms({HelperPath()});
    // Stored with another date: only the time of day counts.
    g_config.SetInt(0, "timingclosecheck_everyday", 1);
    g_config.SetText(0, "timingclose_everyday_time", "2026-11-30 02:00:00");
    g_config.SetInt(0, "timingruncheck_everyday", 1);
    g_config.SetText(0, "timingrun_everyday_time", "2027-01-15 02:05:00");
    g_fakeNow = Utc8(2026, 12, 7, 1, 59, 58);
    ASSERT_TRUE(StartMonitoringWithoutRealTicks());

    Tick(Utc8(2026, 12, 7, 1, 59, 59));
    RunTick(Utc8(2026, 12, 7, 1, 59, 59));
    EXPECT_EQ(tw::g_monitoring.load(), 1);
    Tick(Utc8(2026, 12, 7, 2, 0, 0));
    EXPECT_EQ(tw::g_monitoring.load(), 0) << "stopped at 02:00";
    EXPECT_FALSE(MainBox(tw::kIdWatchRunning));
    EXPECT_TRUE(helper.WaitForExit(5000));
    EXPECT_EQ(ConfigText("timingclose_everyday_time"), L"2026-12-08 02:00:00");

    RunTick(Utc8(2026, 12, 7, 2, 0, 1));
    RunTick(Utc8(2026, 12, 7, 2, 4, 59));
    EXPECT_EQ(tw::g_monitoring.load(), 0);
    RunTick(Utc8(2026, 12, 7, 2, 5, 0));
    EXPECT_EQ(tw::g_monitoring.load(), 1) << "started at 02:05";
    EXPECT_TRUE(MainBox(tw::kIdWatchRunning));
    EXPECT_EQ(ConfigText("timingrun_everyday_time"), L"2026-12-08 02:05:00");
    ASSERT_TRUE(KillTimer(main, tw::kTimerClock));
    EXPECT_TRUE(PumpUntil(
        [] { return tw::FindProcessByNameAndPath(L"tollwick_helper.exe", HelperPath().c_str(), nullptr, 0) != 0; },
        15000))
        << "the monitoring cycle starts the program again";

    // The rest of the day: monitoring stays on and the countdown runs to the
    // next day's close.
    for (long long t : {Utc8(2026, 12, 7, 2, 5, 1), Utc8(2026, 12, 7, 2, 10, 0), Utc8(2026, 12, 7, 2, 10, 1)}) {
        RunTick(t);
        Tick(t);
    }
    EXPECT_EQ(tw::g_monitoring.load(), 1);
    EXPECT_EQ(Countdown(), L"每天定时关闭程序,剩余:85799秒(23小时49分钟59秒)\r\n目标时间：2026-12-08 02:00:00\r\n"
                           L"现在时间：2026-12-07 02:10:01\r\n\r\n");
    Tick(Utc8(2026, 12, 8, 1, 59, 59));
    EXPECT_EQ(tw::g_monitoring.load(), 1);
    Tick(Utc8(2026, 12, 8, 2, 0, 0));
    EXPECT_EQ(tw::g_monitoring.load(), 0) << "the next close comes the next day";
}

TEST_F(SchedulerTest, ADailyRebootWhoseSecondIsSkippedStillFiresOnce)
{
    g_config.SetInt(0, "autoreboot", 1);
    g_config.SetText(0, "reboottime", "03:00:00");
    Tick(Utc8(2026, 12, 7, 2, 59, 59));
    EXPECT_EQ(g_restartRequests, 0);
    Tick(Utc8(2026, 12, 7, 3, 0, 2));
    EXPECT_EQ(g_restartRequests, 1);
    MSG msg;
    EXPECT_TRUE(PeekMessageW(&msg, main, WM_CLOSE, WM_CLOSE, PM_REMOVE));
    EXPECT_NE(msg.wParam, 0u);
    EXPECT_NE(msg.lParam, 0);
    Tick(Utc8(2026, 12, 7, 3, 0, 3));
    EXPECT_EQ(g_restartRequests, 1) << "once a day";
    EXPECT_EQ(Countdown(), L"定时重启电脑,剩余:86397秒(23小时59分钟57秒)\r\n重启时间:2026-12-08 03:00:00\r\n"
                           L"现在时间:2026-12-07 03:00:03\r\n\r\n");
}

TEST_F(SchedulerTest, ARebootTimePassedBeforeTheClockRanDoesNotRestart)
{
    g_config.SetInt(0, "autoreboot", 1);
    g_config.SetText(0, "reboottime", "03:00:00");
    Tick(Utc8(2026, 12, 7, 10, 0, 0));
    Tick(Utc8(2026, 12, 7, 10, 0, 1));
    EXPECT_EQ(g_restartRequests, 0);
    // Monitoring was off for hours: the moment passed while nothing ticked.
    Tick(Utc8(2026, 12, 8, 1, 0, 0));
    Tick(Utc8(2026, 12, 8, 4, 0, 0));
    EXPECT_EQ(g_restartRequests, 0);
    EXPECT_NE(Countdown().find(L"重启时间:2026-12-09 03:00:00"), std::wstring::npos) << Utf8(Countdown());
}

TEST_F(SchedulerTest, ARefusedRestartMovesTheCountdownToTheNextDay)
{
    g_restartGranted = false;
    g_config.SetInt(0, "autoreboot", 1);
    g_config.SetText(0, "reboottime", "03:00:00");
    Tick(Utc8(2026, 12, 7, 2, 59, 59));
    Tick(Utc8(2026, 12, 7, 3, 0, 0));
    Tick(Utc8(2026, 12, 7, 3, 0, 1));
    EXPECT_EQ(g_restartRequests, 1) << "not asked again on every tick";
    EXPECT_NE(Countdown().find(L"重启时间:2026-12-08 03:00:00"), std::wstring::npos) << Utf8(Countdown());
}

TEST_F(SchedulerTest, RebootTimesOutOfRangeCarryOver)
{
    g_config.SetInt(0, "autoreboot", 1);
    g_config.SetText(0, "reboottime", "25:00:00");
    Tick(Utc8(2026, 12, 7, 0, 59, 59));
    EXPECT_EQ(g_restartRequests, 0);
    Tick(Utc8(2026, 12, 7, 1, 0, 0));
    EXPECT_EQ(g_restartRequests, 1) << "25:00:00 is 01:00:00";

    g_config.SetText(0, "reboottime", "01:75:00");
    Tick(Utc8(2026, 12, 8, 2, 14, 59));
    Tick(Utc8(2026, 12, 8, 2, 15, 0));
    EXPECT_EQ(g_restartRequests, 2) << "01:75:00 is 02:15:00";
    EXPECT_EQ(Countdown().find(L"定时重启电脑,剩余:0秒"), 0u) << Utf8(Countdown());
    EXPECT_NE(Countdown().find(L"重启时间:2026-12-08 02:15:00"), std::wstring::npos) << Utf8(Countdown());
}

TEST_F(SchedulerTest, TheUptimeCountsOnlyWhileMonitoringAndShowsDays)
{
    g_scheduler.monitoredSeconds = 90060;
    tw::g_monitoring = 1;
    Tick(g_fakeNow);
    EXPECT_EQ(TextOf(GetDlgItem(main, tw::kIdUptime)), L"已监控：1天 01:01:01");
    EXPECT_EQ(TextOf(main), L"Tollwick v2.0.220");
    tw::g_monitoring = 0;
    Tick(g_fakeNow + 1);
    EXPECT_EQ(g_scheduler.monitoredSeconds, 90061);
    EXPECT_EQ(TextOf(GetDlgItem(main, tw::kIdUptime)), L"已监控：1天 01:01:01");
}

TEST_F(SchedulerTest, StartUpRestoresOnceOnlyMomentsAheadAndDropsPassedOnesWithALogLine)
{
    tw::g_errorLog.ResetForTest();
    g_config.SetInt(0, "timingclosecheck", 1);
    g_config.SetText(0, "timingclose_everyday_time", "2026-12-08 01:00:00");
    g_config.SetInt(0, "timingruncheck", 1);
    g_config.SetText(0, "timingrun_everyday_time", "2026-12-07 11:30:00");
    g_scheduler.RestoreOnceTargets();
    EXPECT_EQ(g_scheduler.onceCloseTime, Utc8(2026, 12, 8, 1, 0, 0)) << "tomorrow's moment, not today's 01:00";
    EXPECT_EQ(g_scheduler.onceRunTime, Utc8(2026, 12, 7, 11, 30, 0));
    g_scheduler.StartRunTimerIfArmed();
    EXPECT_TRUE(KillTimer(main, tw::kTimerScheduledRun));
    EXPECT_EQ(tw::g_errorLog.Count(), 0u);

    // Passed while Tollwick was not running: a minute before the start, and
    // two days before (its time of day is still ahead today).
    g_config.SetText(0, "timingclose_everyday_time", "2026-12-07 09:59:00");
    g_config.SetText(0, "timingrun_everyday_time", "2026-12-05 11:30:00");
    g_scheduler.RestoreOnceTargets();
    EXPECT_EQ(g_scheduler.onceCloseTime, 0);
    EXPECT_EQ(g_scheduler.onceRunTime, 0);
    EXPECT_EQ(ConfigInt("timingclosecheck"), 0);
    EXPECT_EQ(ConfigInt("timingruncheck"), 0);
    g_scheduler.StartRunTimerIfArmed();
    EXPECT_FALSE(KillTimer(main, tw::kTimerScheduledRun)) << "nothing armed, no run check";
    CStrW time, text;
    ASSERT_TRUE(tw::g_errorLog.ReadEntry(1, &time, &text));
    EXPECT_STREQ(text.c_str(), L"定时开启程序的时间 2026-12-05 11:30:00 在本程序启动前已过, 不再执行");

    // Ticked along with the daily close, the once-only close follows it.
    g_config.SetInt(0, "timingclosecheck", 1);
    g_config.SetInt(0, "timingclosecheck_everyday", 1);
    g_scheduler.RestoreOnceTargets();
    EXPECT_EQ(g_scheduler.onceCloseTime, Utc8(2026, 12, 8, 9, 59, 0));
    EXPECT_EQ(ConfigInt("timingclosecheck"), 1);
    EXPECT_EQ(tw::g_errorLog.Count(), 2u);
    tw::g_errorLog.ResetForTest();
}

TEST_F(SchedulerTest, TheRunCheckWaitsWhileAStartOfMonitoringWaitsAtItsBox)
{
    LoadPrograms({dir.File(L"gone.exe")});
    g_config.SetInt(0, "timingruncheck_everyday", 1);
    g_config.SetText(0, "timingrun_everyday_time", "2026-12-07 10:00:00");
    RunTick(Utc8(2026, 12, 7, 9, 59, 59));
    g_fakeNow = Utc8(2026, 12, 7, 10, 0, 0);
    // The run is due now; the real run timer ticks fast while the start
    // that the user asked for waits at its "文件不存在" box.
    SetTimer(main, tw::kTimerScheduledRun, 50, tw::CScheduler::OnRunTick);
    MessageBoxWatcher watcher(1000);
    SendMonitoringCommand(0);
    KillTimer(main, tw::kTimerScheduledRun);
    EXPECT_EQ(watcher.MostOpenAtOnce(), 1) << "no second start from the run check";
    EXPECT_EQ(tw::g_monitoring.load(), 0);

    // Held back, not lost: the next tick runs it. A start of the scheduler's
    // own asks nothing: the missing file is logged and tried each period.
    RunTick(Utc8(2026, 12, 7, 10, 0, 1));
    watcher.Stop();
    EXPECT_EQ(ConfigText("timingrun_everyday_time"), L"2026-12-08 10:00:00");
    EXPECT_EQ(watcher.BoxesSeen(), 1);
    EXPECT_EQ(tw::g_monitoring.load(), 1);
}
