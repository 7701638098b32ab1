// The scheduler's decisions carried out on a stand-in main window with the
// real pages, the real start/stop command and a real helper program. Time
// comes from a clock the tests set; the system restart is a counter.
#include "config/config.h"
#include "core/app_messages.h"
#include "core/window_text.h"
#include "monitor/monitor.h"
#include "monitor/program_table.h"
#include "monitor/ui_links.h"
#include "tests/helper_process.h"
#include "tests/host_window.h"
#include "tests/running.h"
#include "tests/schedule_clock.h"
#include "tests/test_support.h"
#include "ui/commands.h"
#include "ui/monitor_command.h"
#include "ui/pages.h"
#include "ui/schedule_view.h"
#include "ui/window.h"

#include "version.h"

#include <commctrl.h>

#include <gtest/gtest.h>

#include <atomic>
#include <string>
#include <vector>

using tw::CStrW;
using tw::g_config;
using tw::g_scheduler;
using tw::ScheduledAction;
using tw::TickOutcome;
using tw_test::HelperPath;
using tw_test::HelperProcess;
using tw_test::Utc8;

namespace {

long long g_fakeNow = 0;
int g_restartRequests = 0;

long long FakeNow()
{
    return g_fakeNow;
}

bool CountRestart()
{
    ++g_restartRequests;
    return false;
}

// The main window's routing, as far as the scheduler's effects need it. As on
// the real main window, a WM_CLOSE that is not the user's closes nothing.
LRESULT CALLBACK StandInProc(HWND window, UINT message, WPARAM wParam, LPARAM lParam)
{
    LRESULT result = 0;
    if (tw::HandleEngineMessage(window, message, wParam, lParam, &result))
        return result;
    if (message == WM_CLOSE)
        return 0;
    if (message == WM_COMMAND && tw::RouteCommand(wParam, lParam))
        return 0;
    return DefWindowProcW(window, message, wParam, lParam);
}

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

private:
    static BOOL CALLBACK CountBox(HWND window, LPARAM self)
    {
        wchar_t name[16] = {0};
        GetClassNameW(window, name, 16);
        if (wcscmp(name, L"#32770") == 0 && IsWindowVisible(window))
            reinterpret_cast<MessageBoxWatcher*>(self)->m_open.push_back(window);
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
            } else if (self->m_open.front() != current) {
                current = self->m_open.front();
                since = GetTickCount64();
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
    std::vector<HWND> m_open;
};

class ScheduleViewTest : public ::testing::Test {
protected:
    static void SetUpTestSuite()
    {
        INITCOMMONCONTROLSEX icc = {sizeof(icc), ICC_LISTVIEW_CLASSES | ICC_TAB_CLASSES | ICC_STANDARD_CLASSES};
        InitCommonControlsEx(&icc);
        WNDCLASSW wc = {};
        wc.lpfnWndProc = StandInProc;
        wc.hInstance = GetModuleHandleW(nullptr);
        wc.lpszClassName = L"TollwickScheduleStandIn";
        RegisterClassW(&wc);
        main = CreateWindowExW(0, wc.lpszClassName, L"main", WS_OVERLAPPED | WS_CLIPCHILDREN, 0, 0, 377, 341, nullptr,
                               nullptr, wc.hInstance, nullptr);
        tw::g_mainWindow = main;
        tw::BuildMainControls(main);
        // The clock draws only into a window that shows.
        ShowWindow(main, SW_SHOWNOACTIVATE);
    }
    static void TearDownTestSuite()
    {
        tw::g_programListView = tw::g_hintLine = tw::g_engineWindow = nullptr;
        tw::g_watchRunning = true;
        tw::g_mainWindow = nullptr;
        DestroyWindow(main);
    }

    void SetUp() override
    {
        tw::ClearPrograms();
        ASSERT_TRUE(g_config.OpenIn(CStrW(dir.Path().c_str())));
        g_config.SetInt(0, "monitortime", 1);
        saved = g_scheduler;
        g_scheduler.Reset();
        g_scheduler.clock = FakeNow;
        g_scheduler.restart = CountRestart;
        g_fakeNow = Utc8(2026, 12, 7, 10, 0, 0);
        g_restartRequests = 0;
        tw::SetBoxChecked(main, tw::kIdStartMonitoring, false);
        tw::SetBoxChecked(main, tw::kIdWatchRunning, true);
    }

    void TearDown() override
    {
        tw::StopMonitoringNow();
        tw::g_monitoring = 0;
        KillTimer(main, tw::kTimerClock);
        KillTimer(main, tw::kTimerScheduledRun);
        tw::ClearPrograms();
        tw_test::EndAllRunning(HelperPath());
        g_scheduler = saved;
        MSG msg;
        while (PeekMessageW(&msg, nullptr, 0, 0, PM_REMOVE))
            DispatchMessageW(&msg);
    }

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

    static bool MainBox(int id) { return tw::IsBoxChecked(main, id); }
    static std::wstring Text(HWND window) { return tw::GetWindowTextString(window).c_str(); }

    static HWND main;
    tw_test::TempDir dir;
    tw::CScheduler saved;
};

HWND ScheduleViewTest::main = nullptr;

} // namespace

TEST_F(ScheduleViewTest, ACloseStopsMonitoringAndClosesEveryProgramAndARunStartsAgain)
{
    HelperProcess helper;
    ASSERT_TRUE(helper.Start(L"--title Watched"));
    ASSERT_NE(helper.WaitForWindow(), nullptr);
    LoadPrograms({HelperPath()});
    tw::SendMonitoringCommand(0);
    ASSERT_EQ(tw::g_monitoring.load(), 1);

    TickOutcome close;
    close.action = ScheduledAction::Close;
    close.onceOnly = true;
    close.countdown = L"倒计时";
    tw::ApplyTick(close, true);
    EXPECT_EQ(tw::g_monitoring.load(), 0);
    EXPECT_FALSE(MainBox(tw::kIdWatchRunning));
    EXPECT_FALSE(MainBox(tw::kIdStartMonitoring));
    EXPECT_EQ(Text(GetDlgItem(main, tw::kIdStatus)), L"已取消监控");
    EXPECT_EQ(Text(GetDlgItem(GetDlgItem(main, tw::kIdTab), tw::kIdTimingText)), L"倒计时");
    EXPECT_EQ(Text(main), L"Tollwick v" TW_VERSION_WIDE);
    EXPECT_TRUE(helper.WaitForExit(5000)) << "the program is closed";
    EXPECT_FALSE(KillTimer(main, tw::kTimerClock)) << "the clock stopped with monitoring";

    TickOutcome run;
    run.action = ScheduledAction::Run;
    tw::ApplyTick(run, false);
    EXPECT_EQ(tw::g_monitoring.load(), 1);
    EXPECT_TRUE(MainBox(tw::kIdWatchRunning));
    EXPECT_TRUE(KillTimer(main, tw::kTimerClock)) << "the clock runs with monitoring";
    EXPECT_TRUE(tw_test::PumpUntil([] { return tw_test::CountRunning(HelperPath()) == 1; }, 15000))
        << "the monitoring cycle starts the program again";
}

TEST_F(ScheduleViewTest, ARestartClosesWithoutAskingAndAsksTheSystem)
{
    TickOutcome restart;
    restart.restartComputer = true;
    restart.uptime = L"已监控：0天 00:00:07";
    tw::ApplyTick(restart, true);
    EXPECT_EQ(g_restartRequests, 1);
    EXPECT_EQ(Text(GetDlgItem(main, tw::kIdUptime)), L"已监控：0天 00:00:07");
    MSG msg;
    ASSERT_TRUE(PeekMessageW(&msg, main, WM_CLOSE, WM_CLOSE, PM_REMOVE));
    EXPECT_EQ(msg.wParam, tw::kRestartCloseMarker);
}

TEST_F(ScheduleViewTest, TheRunCheckWaitsWhileAStartOfMonitoringWaitsAtItsBox)
{
    LoadPrograms({dir.File(L"gone.exe")});
    g_config.SetInt(0, "timingruncheck_everyday", 1);
    g_config.SetText(0, "timingrun_everyday_time", "2026-12-07 10:00:00");
    g_scheduler.RunTick(Utc8(2026, 12, 7, 9, 59, 59));
    // The run is due now; the real run check ticks while the start that the
    // user asked for waits at its "文件不存在" box.
    tw::StartRunCheckIfArmed();
    MessageBoxWatcher watcher(2500);
    tw::g_monitoring = 0;
    SendMessageW(main, WM_COMMAND, MAKEWPARAM(tw::kIdStartMonitoring, BN_CLICKED),
                 reinterpret_cast<LPARAM>(GetDlgItem(main, tw::kIdStartMonitoring)));
    KillTimer(main, tw::kTimerScheduledRun);
    watcher.Stop();
    EXPECT_EQ(watcher.MostOpenAtOnce(), 1) << "no second start from the run check";
    EXPECT_EQ(tw::g_monitoring.load(), 0);
    // Held back, not lost: the next tick runs it.
    EXPECT_EQ(g_scheduler.RunTick(Utc8(2026, 12, 7, 10, 0, 1)).action, ScheduledAction::Run);
}
