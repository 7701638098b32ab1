// The scheduler's decisions carried out on a stand-in main window with the
// real pages, the real start/stop command and a real helper program. Time
// comes from a clock the tests set; the system restart is a counter.
#include "config/config.h"
#include "monitor/monitor.h"
#include "monitor/program_table.h"
#include "monitor/ui_links.h"
#include "tests/helper_process.h"
#include "tests/host_window.h"
#include "tests/running.h"
#include "tests/test_support.h"
#include "ui/commands.h"
#include "ui/monitor_command.h"
#include "ui/pages.h"
#include "ui/schedule_view.h"

#include "version.h"

#include <commctrl.h>

#include <gtest/gtest.h>

#include <algorithm>
#include <atomic>
#include <thread>
#include <vector>

using tw::g_config;
using tw::g_scheduler;
using tw::ScheduledAction;
using tw::TickOutcome;
using tw_test::HelperPath;
using tw_test::Utc8;

namespace {

long long g_fakeNow = 0;
int g_restartRequests = 0;

// The main window's routing, as far as the scheduler's effects need it. As on
// the real main window, a WM_CLOSE that is not the user's closes nothing.
LRESULT CALLBACK StandInProc(HWND window, UINT message, WPARAM wParam, LPARAM lParam)
{
    LRESULT result = 0;
    if (tw::HandleEngineMessage(window, message, wParam, lParam, &result))
        return result;
    if (message == WM_CLOSE || (message == WM_COMMAND && tw::RouteCommand(wParam, lParam)))
        return 0;
    return DefWindowProcW(window, message, wParam, lParam);
}

class ScheduleViewTest : public ::testing::Test {
protected:
    static void SetUpTestSuite()
    {
        INITCOMMONCONTROLSEX icc = {sizeof(icc), ICC_LISTVIEW_CLASSES | ICC_TAB_CLASSES | ICC_STANDARD_CLASSES};
        InitCommonControlsEx(&icc);
        WNDCLASSW wc = {};
        wc.lpfnWndProc = StandInProc;
        wc.lpszClassName = L"TollwickScheduleStandIn";
        RegisterClassW(&wc);
        main = CreateWindowExW(0, wc.lpszClassName, L"main", WS_OVERLAPPED | WS_CLIPCHILDREN, 0, 0, 377, 341, nullptr,
                               nullptr, nullptr, nullptr);
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
        ASSERT_TRUE(g_config.OpenIn(tw::CStrW(dir.Path().c_str())));
        g_config.SetInt(0, "monitortime", 1);
        g_scheduler.Reset();
        g_scheduler.clock = [] { return g_fakeNow; };
        g_scheduler.restart = [] { return ++g_restartRequests < 0; };
        g_fakeNow = Utc8(2026, 12, 7, 10, 0, 0);
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
        MSG msg;
        while (PeekMessageW(&msg, nullptr, 0, 0, PM_REMOVE))
            DispatchMessageW(&msg);
    }

    void LoadProgram(const std::wstring& path)
    {
        g_config.SetText(1, "procpath", tw::ToNarrow(path.c_str()));
        g_config.SetText(1, "procname", tw::ToNarrow(path.c_str() + path.rfind(L'\\') + 1));
        tw::LoadMonitorList();
    }
    static bool Box(int id) { return tw::IsBoxChecked(main, id); }
    static std::wstring Text(HWND parent, int id) { return tw_test::TextOf(GetDlgItem(parent, id)); }

    static HWND main;
    tw_test::TempDir dir;
};

HWND ScheduleViewTest::main = nullptr;

} // namespace

TEST_F(ScheduleViewTest, ACloseStopsMonitoringAndClosesEveryProgramAndARunStartsAgain)
{
    tw_test::HelperProcess helper;
    ASSERT_TRUE(helper.Start(L"--title Watched"));
    ASSERT_NE(helper.WaitForWindow(), nullptr);
    LoadProgram(HelperPath());
    tw::SendMonitoringCommand(0);
    ASSERT_EQ(tw::g_monitoring.load(), 1);
    TickOutcome close;
    close.action = ScheduledAction::Close;
    close.onceOnly = true;
    close.countdown = L"倒计时";
    tw::ApplyTick(close, true);
    EXPECT_EQ(tw::g_monitoring.load(), 0);
    EXPECT_FALSE(Box(tw::kIdWatchRunning) || Box(tw::kIdStartMonitoring));
    EXPECT_EQ(Text(main, tw::kIdStatus) + L";" + Text(GetDlgItem(main, tw::kIdTab), tw::kIdTimingText) + L";" +
                  tw_test::TextOf(main),
              L"已取消监控;倒计时;Tollwick v" TW_VERSION_WIDE);
    EXPECT_TRUE(helper.WaitForExit(5000)) << "the program is closed";
    EXPECT_FALSE(KillTimer(main, tw::kTimerClock)) << "the clock stopped with monitoring";

    TickOutcome run;
    run.action = ScheduledAction::Run;
    tw::ApplyTick(run, false);
    EXPECT_EQ(tw::g_monitoring.load(), 1);
    EXPECT_TRUE(Box(tw::kIdWatchRunning));
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
    EXPECT_EQ(Text(main, tw::kIdUptime), L"已监控：0天 00:00:07");
    MSG msg;
    ASSERT_TRUE(PeekMessageW(&msg, main, WM_CLOSE, WM_CLOSE, PM_REMOVE));
    EXPECT_EQ(msg.wParam, tw::kRestartCloseMarker);
}

namespace {

BOOL CALLBACK CollectBox(HWND window, LPARAM boxes)
{
    wchar_t name[16] = {0};
    GetClassNameW(window, name, 16);
    if (wcscmp(name, L"#32770") == 0 && IsWindowVisible(window))
        reinterpret_cast<std::vector<HWND>*>(boxes)->push_back(window);
    return TRUE;
}

} // namespace

// The run is due while a start that the user asked for waits at its
// "文件不存在" box: the run check ticks, but starts no second one, and holds
// the run back, not lost.
TEST_F(ScheduleViewTest, TheRunCheckWaitsWhileAStartOfMonitoringWaitsAtItsBox)
{
    LoadProgram(dir.File(L"gone.exe"));
    g_config.SetInt(0, "timingruncheck_everyday", 1);
    g_config.SetText(0, "timingrun_everyday_time", "2026-12-07 10:00:00");
    g_scheduler.RunTick(Utc8(2026, 12, 7, 9, 59, 59));
    tw::StartRunCheckIfArmed();
    // Watches this thread's boxes from another: how many are open at once;
    // each is cancelled after 2.5 s, long enough for the run check to tick
    // inside its modal loop.
    std::atomic<bool> stop{false};
    std::atomic<int> mostOpen{0};
    DWORD uiThread = GetCurrentThreadId();
    std::thread watcher([&] {
        HWND current = nullptr;
        for (ULONGLONG since = 0; !stop; Sleep(20)) {
            std::vector<HWND> open;
            EnumThreadWindows(uiThread, CollectBox, reinterpret_cast<LPARAM>(&open));
            mostOpen = std::max(mostOpen.load(), static_cast<int>(open.size()));
            if (open.empty() || open.front() != current) {
                current = open.empty() ? nullptr : open.front();
                since = GetTickCount64();
            } else if (GetTickCount64() - since >= 2500) {
                PostMessageW(current, WM_COMMAND, MAKEWPARAM(IDCANCEL, BN_CLICKED), 0);
            }
        }
    });
    tw::g_monitoring = 0;
    SendMessageW(main, WM_COMMAND, MAKEWPARAM(tw::kIdStartMonitoring, BN_CLICKED),
                 reinterpret_cast<LPARAM>(GetDlgItem(main, tw::kIdStartMonitoring)));
    KillTimer(main, tw::kTimerScheduledRun);
    stop = true;
    watcher.join();
    EXPECT_EQ(mostOpen.load(), 1) << "no second start from the run check";
    EXPECT_EQ(tw::g_monitoring.load(), 0);
    EXPECT_EQ(g_scheduler.RunTick(Utc8(2026, 12, 7, 10, 0, 1)).action, ScheduledAction::Run);
}
