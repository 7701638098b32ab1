// The monitor threads at work on real helper processes, with a hidden host
// window that carries the main-window controls the threads talk to.
#include "bench/figures.h"
#include "config/config.h"
#include "core/path.h"
#include "monitor/backoff.h"
#include "monitor/error_log.h"
#include "monitor/event_queue.h"
#include "monitor/fleet.h"
#include "monitor/launch.h"
#include "monitor/health_check.h"
#include "monitor/memory_ceiling.h"
#include "monitor/monitor.h"
#include "monitor/process_query.h"
#include "monitor/program_table.h"
#include "monitor/ui_links.h"
#include "tests/helper_process.h"
#include "tests/host_window.h"
#include "tests/http_peer.h"
#include "tests/running.h"
#include "tests/test_support.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <atomic>
#include <memory>

using tw::g_errorLog;
using tw_test::HelperPath;
using tw_test::HelperProcess;
using tw_test::PumpFor;
using tw_test::PumpUntil;

namespace {

const wchar_t kArmed[] = L"窗口卡死了, 即将开启延时关闭卡死程序时钟, 索引：0";
const wchar_t kKilled[] = L"延时关闭程序卡死的时钟已关闭并结束了卡死程序";
const wchar_t kRecovered[] = L"延迟关闭卡死程序, 延时指定时间后程序已恢复正常";
const wchar_t kNotRunning[] = L"检测到程序未运行,系统将自动运行";

std::vector<std::wstring> Entries()
{
    std::vector<std::wstring> all;
    for (size_t i = 0; i < g_errorLog.Count(); ++i) {
        tw::CStrW entry;
        g_errorLog.ReadEntry(i, nullptr, &entry);
        all.push_back(entry.c_str());
    }
    return all;
}

// The log's entries that are text, or contain it as a part.
size_t Logged(const std::wstring& text, bool part = false)
{
    size_t n = 0;
    for (const std::wstring& entry : Entries())
        n += part ? entry.find(text) != std::wstring::npos : text == entry;
    return n;
}

size_t Restarts()
{
    return Logged(L"重启成功", true);
}

std::string LogText()
{
    std::string all;
    for (const std::wstring& entry : Entries())
        all += std::string(tw::ToNarrow(entry.c_str()).c_str()) + "\n";
    return all;
}

tw::ProgramView Program()
{
    tw::ProgramView view;
    tw::CopyProgram(0, &view);
    return view;
}

// Waits until the first program runs another instance than before; it, or 0.
DWORD AwaitNewInstance(DWORD before, DWORD timeoutMs)
{
    DWORD now = 0;
    PumpUntil([&] { return (now = tw::ProgramProcessId(0)) && now != before && tw::FindProcessEntry(now, nullptr); },
              timeoutMs);
    return now != before ? now : 0;
}

// The kind, entry and check of every event handed to the fleet's outputs.
struct SeenEvent {
    tw::EventKind kind;
    int entry;
    int check;
};
tw::CCriticalSection g_seenLock;
std::vector<SeenEvent> g_seen;

void SeeEvent(const tw::FleetEvent& event)
{
    tw::CLock lock(g_seenLock);
    g_seen.push_back({event.kind, event.entry, event.check});
}

// The events of this kind about this entry (and check).
size_t Events(tw::EventKind kind, int entry, int check = -1)
{
    tw::CLock lock(g_seenLock);
    return std::count_if(g_seen.begin(), g_seen.end(),
                         [&](const SeenEvent& e) { return e.kind == kind && e.entry == entry && e.check == check; });
}

std::vector<std::wstring>& Hints()
{
    return tw_test::HostWindow::HintTexts();
}

class MonitorTest : public ::testing::Test {
protected:
    void SetUp() override
    {
        tw::ClearPrograms();
        g_errorLog.ResetForTest();
        ASSERT_TRUE(tw::g_config.OpenIn(tw::CStrW(dir.Path().c_str())));
        host.reset(new tw_test::HostWindow);
        tw::CLock lock(g_seenLock);
        g_seen.clear();
        tw::g_fleetEventSeam = SeeEvent;
    }
    void TearDown() override
    {
        tw::EndMonitoring();
        tw::g_launchSeam = tw::g_exitWatchSeam = nullptr;
        tw::g_terminateSeam = nullptr;
        tw::g_probeSeam = nullptr;
        tw::g_cpuTimesSeam = nullptr;
        tw::g_fleetEventSeam = nullptr;
        for (size_t i = 0; i < tw::g_programCount; ++i)
            tw::KillProgramProcess(i);
        tw::ClearPrograms();
        host.reset();
        g_errorLog.ResetForTest();
        for (const std::wstring& copy : copies)
            tw_test::EndAllRunning(copy);
    }

    // A copy of the plain helper in the test's folder: an executable that no
    // process of another test runs. Its instances go with the test.
    std::wstring HelperCopy(const wchar_t* name)
    {
        copies.push_back(dir.File(name));
        EXPECT_TRUE(CopyFileW(HelperPath(false).c_str(), copies.back().c_str(), FALSE));
        return copies.back();
    }
    // Adds the running helper as a picked program recorded as path, started
    // again with command; its window, or null.
    static HWND Watch(const HelperProcess& helper, const std::wstring& path, const wchar_t* errflag = L"",
                      const std::wstring& command = L"", const tw::RecoverySettings& recovery = {})
    {
        tw::CMonitorItem item = {};
        item.window = helper.WaitForWindow();
        item.processId = helper.Id();
        item.path.AssignChars(path.c_str(), 0);
        item.name.AssignChars(path.c_str() + path.rfind(L'\\') + 1, 0);
        item.errflag.AssignChars(errflag, 0);
        item.command.AssignChars(command.c_str(), 0);
        item.recovery = recovery;
        HWND window = item.window;
        return window && tw::AppendProgram(item) ? window : nullptr;
    }
    static HWND StartWatched(HelperProcess& helper, const std::wstring& options,
                             const std::wstring& path = HelperPath(), const std::wstring& command = L"",
                             const wchar_t* errflag = L"", const tw::RecoverySettings& recovery = {})
    {
        return helper.Start(options, path) ? Watch(helper, path, errflag, command, recovery) : nullptr;
    }
    void Start(int periodSeconds, int graceSeconds = 5)
    {
        tw::g_config.SetInt(0, "monitortime", periodSeconds);
        tw::g_config.SetInt(0, "unresponsetime", graceSeconds);
        tw::BeginMonitoring();
        for (size_t i = 0; i < tw::g_programCount; ++i)
            ASSERT_TRUE(tw::StartMonitorThread(i));
    }
    // Kills the watched helper and waits for the engine's restart of it.
    static bool KillAndAwaitRestart(HelperProcess& helper)
    {
        size_t before = Restarts();
        helper.Stop();
        return PumpUntil([before] { return Restarts() > before; }, 5000);
    }

    tw_test::TempDir dir;
    std::unique_ptr<tw_test::HostWindow> host;
    std::vector<std::wstring> copies;
};

} // namespace

// Below one second reads as five, above a day as a day: no period is 0 (a
// spinning thread) and no product of times wraps, in either build.
TEST(MonitorSettings, PeriodAndGraceAreReadWithinFiveSecondsToADay)
{
    EXPECT_EQ(tw::PeriodFromSetting(10) + tw::PeriodFromSetting(0) + tw::PeriodFromSetting(-3), 20000u);
    EXPECT_EQ(tw::GraceFromSetting(0) + tw::GraceFromSetting(30), 35000u);
    for (long long huge : {86401LL, 4294968LL, 1000000000000LL}) {
        EXPECT_EQ(tw::PeriodFromSetting(huge), 86400000u) << huge;
        EXPECT_EQ(tw::GraceFromSetting(huge), 86400000u) << huge;
    }
    DWORD grace = tw::g_hangGraceMs;
    tw::g_hangGraceMs = tw::GraceFromSetting(86400);
    EXPECT_EQ(tw::StartupAllowanceMs(), 3ull * 86400000u);
    tw::g_hangGraceMs = grace;
}

// Armed once, killed after the grace; with the running check off nothing is
// started again.
TEST_F(MonitorTest, AProgramHungForTenSecondsIsKilledAfterTheGrace)
{
    HelperProcess helper;
    ASSERT_NE(StartWatched(helper, L"--hang-after 300 --hang-for 10000"), nullptr);
    host->SetWatchRunning(false);
    Start(1, 5);
    ASSERT_TRUE(PumpUntil([] { return Logged(kArmed) == 1; }, 5000));
    ULONGLONG armed = GetTickCount64();
    ASSERT_TRUE(PumpUntil([] { return Logged(kKilled) == 1; }, 9000));
    EXPECT_GE(GetTickCount64() - armed, 4500u);
    EXPECT_LT(GetTickCount64() - armed, 7500u);
    EXPECT_TRUE(helper.WaitForExit(2000));
    PumpFor(2000);
    EXPECT_EQ(Logged(kArmed), 1u) << "no second arming while the kill was pending";
    EXPECT_EQ(Restarts(), 0u);
    EXPECT_EQ(Events(tw::EventKind::HangSeen, 1) + Events(tw::EventKind::HangKill, 1), 2u);
    EXPECT_EQ(Program().counts.hangKills, 1u);
    EXPECT_EQ(Program().counts.restarts, 0u);
}

TEST_F(MonitorTest, AProgramThatAnswersAgainOrIsRestartedDuringTheGraceLives)
{
    for (bool restarted : {false, true}) {
        HelperProcess helper;
        ASSERT_NE(StartWatched(helper,
                               restarted ? L"--hang-after 300 --hang-for 30000" : L"--hang-after 300 --hang-for 2000"),
                  nullptr);
        Start(1, restarted ? 5 : 4);
        ASSERT_TRUE(PumpUntil([] { return Logged(kArmed) == 1; }, 5000));
        ASSERT_TRUE(!restarted || KillAndAwaitRestart(helper));
        DWORD instance = tw::ProgramProcessId(0);
        ASSERT_TRUE(PumpUntil([] { return Logged(kRecovered) == 1; }, 9000)) << LogText();
        EXPECT_EQ(Logged(kKilled), 0u);
        EXPECT_EQ(Logged(kArmed), 1u);
        EXPECT_EQ(tw::ProgramProcessId(0), instance);
        EXPECT_NE(tw::FindProcessEntry(instance, nullptr), 0u) << "still running";
        TearDown();
        SetUp();
    }
}

TEST_F(MonitorTest, StoppingCancelsAPendingKillAndEndsTheThreadsAtOnce)
{
    HelperProcess hung;
    ASSERT_NE(StartWatched(hung, L"--hang-after 300 --hang-for 8000"), nullptr);
    Start(1, 3);
    ASSERT_TRUE(PumpUntil([] { return Logged(kArmed) == 1; }, 5000));
    tw::EndMonitoring();
    PumpFor(4000);
    EXPECT_EQ(g_errorLog.Count(), 1u);
    EXPECT_TRUE(hung.IsRunning());
    Start(60);
    PumpFor(1500);
    ULONGLONG start = GetTickCount64();
    tw::EndMonitoring();
    EXPECT_LT(GetTickCount64() - start, 500u);
    EXPECT_EQ(tw::g_monitoring.load(), 0);
}

// The program's own "错误" box is closed and logged with its text, line
// breaks made spaces; another program's box stays. A window titled as the
// errflag closes in another process, and an empty errflag closes nothing.
TEST_F(MonitorTest, ItsOwnErrorBoxAndAnotherProcesssCrashReportAreClosed)
{
    HelperProcess other, reporter, helper, quiet;
    ASSERT_TRUE(other.Start(L"--title Other --error-box \"not ours\""));
    ASSERT_TRUE(reporter.Start(L"--title \"Tollwick 测试助手\""));
    HWND report = reporter.WaitForWindow(), theirs = nullptr, mine = nullptr;
    ASSERT_TRUE(
        PumpUntil([&] { return (theirs = FindWindowExW(nullptr, nullptr, L"#32770", L"错误")) != nullptr; }, 5000));
    ASSERT_NE(StartWatched(helper, L"--error-box \"第一行\\n第二行\"", HelperPath(false), L"", L"Tollwick 测试助手"),
              nullptr);
    ASSERT_TRUE(
        PumpUntil([&] { return (mine = tw_test::FindOwnWindow(helper.Id(), L"#32770", L"错误")) != nullptr; }, 5000));
    HWND quietWindow = StartWatched(quiet, L"--title Quiet", HelperCopy(L"quiet.exe"));
    ASSERT_TRUE(report && quietWindow);
    Start(2);
    ASSERT_TRUE(PumpUntil([] { return Logged(L"第一行 第二行") == 1; }, 5000));
    EXPECT_TRUE(PumpUntil([&] { return !IsWindow(mine) && !IsWindow(report); }, 3000));
    EXPECT_GE(Logged(L"已检测到程序崩溃, 正在重启程序中"), 1u);
    PumpFor(2500);
    EXPECT_TRUE(IsWindow(theirs) && IsWindow(quietWindow));
    EXPECT_EQ(Logged(L"not ours"), 0u);
    EXPECT_TRUE(helper.IsRunning());
    // The box's line names no program, yet its event does; the report window
    // may be closed by either program's thread.
    EXPECT_EQ(Events(tw::EventKind::ErrorWindowClosed, 0), 0u);
    EXPECT_GE(Events(tw::EventKind::ErrorWindowClosed, 1) + Events(tw::EventKind::ErrorWindowClosed, 2), 2u);
    EXPECT_GE(Program().counts.errorWindowsClosed, 1u);
}

// The hint line says when a program is started again and how many are
// watched. The third record watches a copy of the plain helper; C, left
// running, would be attached as the first program's instance.
TEST_F(MonitorTest, AProgramKilledFromOutsideIsRestartedAndTheHintTellsIt)
{
    HelperProcess a, b, c;
    ASSERT_NE(StartWatched(a, L""), nullptr);
    ASSERT_NE(StartWatched(b, L"", HelperPath(false)), nullptr);
    ASSERT_TRUE(c.Start(L"--title C"));
    ASSERT_NE(Watch(c, HelperCopy(L"third.exe")), nullptr);
    Start(3);
    ASSERT_TRUE(PumpUntil([] { return Logged(L"\"third.exe\"重启成功", true); }, 5000)) << "the third was never ours";
    c.Stop();
    ASSERT_TRUE(
        PumpUntil([] { return !Hints().empty() && Hints().back() == L"监控已开启,监控数量为：3 个程序"; }, 3000));
    DWORD before = a.Id();
    Hints().clear();
    a.Stop();
    ASSERT_TRUE(PumpUntil([] { return Logged(L"\"tollwick_helper.exe\"重启成功", true); }, 3000));
    EXPECT_NE(tw::ProgramProcessId(0), before);
    EXPECT_TRUE(PumpUntil([] { return Hints().back() == L"监控已开启,监控数量为：3 个程序"; }, 3000));
    EXPECT_EQ(Hints().front(), kNotRunning);
    EXPECT_EQ(Events(tw::EventKind::Restart, 1), 1u);
    EXPECT_EQ(Events(tw::EventKind::Restart, 3), 1u);
    EXPECT_EQ(Program().counts.restarts, 1u);
    EXPECT_GT(Program().counts.lastStartSeconds, 1700000000);
}

// A launcher starts a copy of itself and exits at once: the copy is the
// program from then on, not a reason to start another launcher each period.
TEST_F(MonitorTest, ALauncherLeavesExactlyOneCopyRunning)
{
    std::wstring path = HelperCopy(L"launcher.exe");
    HelperProcess helper;
    ASSERT_NE(StartWatched(helper, L"", path, L"--relaunch --title Copy"), nullptr);
    Start(1);
    ASSERT_TRUE(KillAndAwaitRestart(helper));
    PumpFor(6000);
    EXPECT_EQ(tw_test::CountRunning(path), 1u);
    EXPECT_EQ(Restarts(), 1u) << LogText();
    EXPECT_TRUE(tw::SamePath(tw::GetProcessIdImagePath(tw::ProgramProcessId(0)).c_str(), path.c_str()));
}

// The path forms are the core suite's; here the engine must compare by them.
TEST_F(MonitorTest, APathInAnotherFormIsTheSameProgram)
{
    std::wstring path = HelperCopy(L"long program name.exe"), slashed = path;
    std::replace(slashed.begin(), slashed.end(), L'\\', L'/');
    HelperProcess helper;
    ASSERT_TRUE(helper.Start(L"", path));
    ASSERT_NE(Watch(helper, slashed), nullptr);
    Start(1);
    ASSERT_TRUE(KillAndAwaitRestart(helper));
    PumpFor(1500);
    Hints().clear();
    PumpFor(2500);
    EXPECT_EQ(tw_test::CountRunning(path), 1u);
    EXPECT_EQ(Restarts(), 1u) << LogText();
    EXPECT_EQ(std::count(Hints().begin(), Hints().end(), kNotRunning), 0) << "the new instance counts as running";
}

// Two entries of one executable keep two instances, also through a restart
// of one; a window titled as their crash report that is one of their own main
// windows stays open.
TEST_F(MonitorTest, TwoInstancesOfOneProgramNeitherMergeNorCloseEachOther)
{
    std::wstring path = HelperCopy(L"twin.exe");
    HelperProcess a, b;
    ASSERT_TRUE(a.Start(L"--title Twin", path) && b.Start(L"--title Twin --at 380 40", path));
    ASSERT_TRUE(a.WaitForWindow() && b.WaitForWindow());
    std::string entry = "<config procpath=\"" + std::string(tw::ToNarrow(path.c_str()).c_str()) +
                        "\" procname=\"twin.exe\" errflag=\"Twin\" />";
    ASSERT_TRUE(tw_test::WriteBytes(dir.File(L"config.xml"), "<config>" + entry + entry + "</config>"));
    ASSERT_TRUE(tw::g_config.OpenIn(tw::CStrW(dir.Path().c_str())));
    tw::LoadMonitorList();
    HelperProcess& first = tw::ProgramProcessId(0) == a.Id() ? a : b;
    HelperProcess& second = &first == &a ? b : a;
    ASSERT_EQ(tw::ProgramProcessId(1), second.Id());
    Start(1);
    PumpFor(4000);
    EXPECT_TRUE(first.IsRunning() && second.IsRunning() && tw::ProgramProcessId(0) == first.Id());
    EXPECT_EQ(Restarts(), 0u) << LogText();
    ASSERT_TRUE(KillAndAwaitRestart(first));
    PumpFor(2500);
    EXPECT_EQ(tw_test::CountRunning(path), 2u);
    EXPECT_NE(tw::ProgramProcessId(0), tw::ProgramProcessId(1));
    EXPECT_EQ(tw::ProgramProcessId(1), second.Id());
}

// A hung program whose end the system refuses stays the program's instance:
// the log says so once, and no second copy is started beside it.
TEST_F(MonitorTest, AKillThatIsRefusedIsLoggedAndNoCopyStarts)
{
    std::wstring path = HelperCopy(L"stubborn.exe");
    HelperProcess helper;
    ASSERT_TRUE(helper.Start(L"--hang-after 300 --hang-for 30000", path, true));
    ASSERT_NE(Watch(helper, path), nullptr);
    Start(1, 2);
    const std::wstring refused = L"进程\"stubborn.exe\"无法结束, 进程ID为:" + std::to_wstring(helper.Id());
    ASSERT_TRUE(PumpUntil([&] { return Logged(refused) == 1; }, 9000)) << LogText();
    PumpFor(4000);
    EXPECT_EQ(Logged(kKilled) + Restarts(), 0u);
    EXPECT_EQ(Logged(refused), 1u) << "said once";
    EXPECT_EQ(tw_test::CountRunning(path), 1u);
}

// A window that appears only after the start's one-second wait is looked
// for each cycle and hang-checked once found; a program that blocks while it
// starts is given time (at least 30 s) and is not armed at all.
TEST_F(MonitorTest, ALateWindowIsHangCheckedOnceFoundButASlowStarterIsGivenTime)
{
    const struct {
        const wchar_t* name;
        const wchar_t* command;
        bool killed;
    } cases[] = {{L"late.exe", L"--show-after 2500 --hang-after 4500 --hang-for 30000", true},
                 {L"slow.exe", L"--hang-at-start 12000", false}};
    for (const auto& c : cases) {
        SCOPED_TRACE(c.command);
        HelperProcess helper;
        ASSERT_NE(StartWatched(helper, L"", HelperCopy(c.name), c.command), nullptr);
        Start(1, 2);
        ASSERT_TRUE(KillAndAwaitRestart(helper));
        DWORD started = tw::ProgramProcessId(0);
        EXPECT_EQ(PumpUntil([] { return Logged(kKilled) == 1; }, 15000), c.killed) << LogText();
        EXPECT_EQ(Logged(kArmed), c.killed ? 1u : 0u);
        EXPECT_TRUE(c.killed || tw::ProgramProcessId(0) == started);
        TearDown();
        SetUp();
    }
}

// Every instance Tollwick starts ends 0.2 s after showing its window: the
// restarts come one, two and four periods apart, the row says how long the
// next one waits, and the log says when the backoff begins and ends. After a
// stable run an exit is answered at once again.
TEST_F(MonitorTest, ACrashLoopIsRestartedOneTwoFourPeriodsApartThenAtOnceAfterAStableRun)
{
    std::wstring path = HelperCopy(L"crashloop.exe");
    HelperProcess helper;
    ASSERT_NE(StartWatched(helper, L"", path, L"--exit-after 200", L"", {3, 60, false, 0, 3}), nullptr);
    Start(1);
    std::vector<ULONGLONG> starts;
    DWORD seen = helper.Id();
    auto startsReach = [&](size_t count) {
        return PumpUntil(
            [&] {
                DWORD id = tw::ProgramProcessId(0);
                if (id && id != seen)
                    starts.push_back((seen = id, GetTickCount64()));
                return starts.size() >= count;
            },
            15000);
    };
    ULONGLONG killed = GetTickCount64();
    helper.Stop();
    ASSERT_TRUE(startsReach(3)) << LogText();
    EXPECT_LT(starts[0] - killed, 1000u) << "an instance found running counts as stable";
    tw::CStrW none;
    tw::SetProgramSettings(0, none, 0, none); // the instance after the third wait lives
    ASSERT_TRUE(PumpUntil([] { return Program().heldWaitMs != 0; }, 3000));
    EXPECT_STREQ(tw::RestartStateText(Program()).c_str(), L"等待 4 秒后重启 (第 3 次)");
    ASSERT_TRUE(startsReach(4)) << LogText();
    for (size_t i = 0; i < 3; ++i) {
        EXPECT_GE(starts[i + 1] - starts[i], 1000u << i) << i;
        EXPECT_LT(starts[i + 1] - starts[i], (1000u << i) + 1500) << i;
    }
    ASSERT_TRUE(PumpUntil([] { return Logged(L"已稳定运行3秒", true) == 1; }, 6000)) << LogText();
    EXPECT_TRUE(tw::RestartStateText(Program()).IsEmpty());
    ULONGLONG ended = GetTickCount64();
    ASSERT_TRUE(tw::KillProcessRunning(seen, tw::CStrW(path.c_str())));
    ASSERT_TRUE(startsReach(5)) << LogText();
    EXPECT_LT(starts[4] - ended, 1000u) << "after a stable run the restart comes at once";
    EXPECT_EQ(Logged(L"开始延后重启", true) + Logged(L"其间共重启3次", true), 2u) << LogText();
    EXPECT_TRUE(PumpUntil([] { return Restarts() == 2; }, 3000)) << "the first and the one after the stable run";
    EXPECT_EQ(Events(tw::EventKind::BackoffBegin, 1) + Events(tw::EventKind::BackoffEnd, 1), 2u);
    EXPECT_EQ(Program().counts.restarts, 5u) << "every start counts, those the backoff does not log too";
}

// A restarted instance's window goes back where the healthy one was: moved,
// moved and maximised, or as config.xml keeps it from an earlier run on a
// monitor that is gone (then onto the primary one; Wine on Xvfb has one).
TEST_F(MonitorTest, ARestartedWindowIsPutBackWhereItWas)
{
    RECT work = {};
    SystemParametersInfoW(SPI_GETWORKAREA, 0, &work, 0);
    const struct {
        RECT moved; // empty: kept in config.xml
        bool maximise;
        RECT expected; // the new window's normal rectangle
    } cases[] = {{{420, 260, 720, 460}, false, {420, 260, 720, 460}},
                 {{300, 180, 600, 380}, true, {300, 180, 600, 380}},
                 {{}, false, {work.right - 300, 100, work.right, 300}}};
    for (const auto& c : cases) {
        SCOPED_TRACE(&c - cases);
        std::wstring name = L"placed" + std::to_wstring(&c - cases) + L".exe", path = HelperCopy(name.c_str());
        HelperProcess helper;
        auto keptAt = [](const RECT& r) {
            tw::ProgramView view = Program();
            return view.place.known && EqualRect(&view.place.normal, &r);
        };
        if (IsRectEmpty(&c.moved)) {
            ASSERT_TRUE(
                tw_test::WriteBytes(dir.File(L"config.xml"), "<config><config procpath=\"" +
                                                                 std::string(tw::ToNarrow(path.c_str()).c_str()) +
                                                                 "\" stabletime=\"0\" keepplacement=\"1\" "
                                                                 "placement=\"1,3000,100,3300,300\" /></config>"));
            ASSERT_TRUE(tw::g_config.OpenIn(tw::CStrW(dir.Path().c_str())));
            tw::LoadMonitorList();
            Start(1);
        } else {
            HWND window = StartWatched(helper, L"", path, L"", L"", {0, 300, true, 0, 3});
            ASSERT_NE(window, nullptr);
            Start(1);
            SetWindowPos(window, nullptr, c.moved.left, c.moved.top, c.moved.right - c.moved.left,
                         c.moved.bottom - c.moved.top, SWP_NOZORDER | SWP_NOACTIVATE);
            ASSERT_TRUE(PumpUntil([&] { return keptAt(c.moved); }, 4000));
            if (c.maximise) {
                // Asked of another process's window, only the posted form acts
                // under Wine, and without a window manager it now and then
                // drops it: it is asked again.
                ULONGLONG asked = 0;
                ASSERT_TRUE(PumpUntil(
                    [&] {
                        if (!IsZoomed(window) && GetTickCount64() - asked > 1500) {
                            ShowWindowAsync(window, SW_SHOWMAXIMIZED);
                            asked = GetTickCount64();
                        }
                        return Program().place.maximised;
                    },
                    8000));
                EXPECT_TRUE(keptAt(c.moved)) << "the normal rectangle is kept";
            }
            helper.Stop();
        }
        ASSERT_NE(AwaitNewInstance(helper.Id(), 8000), 0u) << LogText();
        HWND fresh = nullptr;
        ASSERT_TRUE(PumpUntil([&] { return (fresh = Program().window) != nullptr; }, 4000));
        if (c.maximise) {
            ASSERT_TRUE(PumpUntil([&] { return IsZoomed(fresh) != FALSE; }, 4000));
            EXPECT_EQ(MonitorFromWindow(fresh, MONITOR_DEFAULTTONULL),
                      MonitorFromPoint({0, 0}, MONITOR_DEFAULTTOPRIMARY));
            ShowWindowAsync(fresh, SW_RESTORE);
        }
        RECT frame = {};
        EXPECT_TRUE(PumpUntil([&] { return GetWindowRect(fresh, &frame) && EqualRect(&frame, &c.expected); }, 4000))
            << frame.left << "," << frame.top << "," << frame.right << "," << frame.bottom;
        TearDown();
        SetUp();
    }
}

// A helper that takes 160 MB is over its 64 MB limit: after three cycles it
// is asked to close, and one that will not is killed after the 5 s grace. Its
// restart (without the memory) is the only one; the log names the figure once.
TEST_F(MonitorTest, AProgramAboveItsMemoryLimitIsClosedAndRestartedOnce)
{
    for (bool refuses : {false, true}) {
        SCOPED_TRACE(refuses ? "refuses to close" : "closes when asked");
        std::wstring path = HelperCopy(refuses ? L"leaky1.exe" : L"leaky0.exe");
        HelperProcess helper;
        ASSERT_TRUE(helper.Start(refuses ? L"--allocate 160 --answer 16 0" : L"--allocate 160", path));
        ASSERT_NE(Watch(helper, path, L"", L"", {0, 300, false, 64, 3}), nullptr);
        ASSERT_TRUE(PumpUntil([&] { return tw::ProcessPrivateBytes(helper.Id()) > 150ull << 20; }, 5000));
        ULONGLONG started = GetTickCount64();
        Start(1, 5);
        ASSERT_TRUE(PumpUntil([] { return Logged(L"超过上限64 MB", true) == 1; }, 8000)) << LogText();
        ULONGLONG logged = GetTickCount64();
        EXPECT_GE(logged - started, 1800u) << "three cycles above the limit";
        ASSERT_TRUE(helper.WaitForExit(9000));
        EXPECT_EQ(GetTickCount64() - logged >= 4800, refuses) << "killed after the grace, closed before it";
        std::wstring line = Entries().front();
        ASSERT_NE(line.find(L"占用私有内存"), std::wstring::npos) << LogText();
        EXPECT_GE(_wtoi(line.c_str() + line.find(L"占用私有内存") + 6), 160) << "the figure is named";
        DWORD fresh = AwaitNewInstance(helper.Id(), 5000);
        ASSERT_NE(fresh, 0u) << LogText();
        PumpFor(4500);
        EXPECT_EQ(Logged(L"超过上限", true) + Restarts(), 2u) << LogText();
        EXPECT_EQ(tw::ProgramProcessId(0), fresh);
        TearDown();
        SetUp();
    }
}

namespace {

// The start made from a slow share: the first launch while armed takes 3 s.
std::atomic<int> g_slowLaunches{0};
std::atomic<bool> g_inSlowLaunch{false};

void SlowLaunch()
{
    if (g_slowLaunches.fetch_sub(1) > 0) {
        g_inSlowLaunch = true;
        Sleep(3000);
    }
}

} // namespace

// A stop while a thread is inside a slow start takes well under a second: the
// thread is left to finish, records nothing, logs nothing and ends the
// process it started after the stop. The next start gives the program a
// fresh thread.
TEST_F(MonitorTest, AStopDuringASlowStartIsQuickAndTheThreadLeftBehindKeepsNothing)
{
    std::wstring path = HelperCopy(L"slowshare.exe");
    HelperProcess helper;
    ASSERT_NE(StartWatched(helper, L"", path), nullptr);
    DWORD killed = helper.Id();
    g_inSlowLaunch = false;
    g_slowLaunches = 1;
    tw::g_launchSeam = SlowLaunch;
    Start(1);
    helper.Stop();
    ASSERT_TRUE(PumpUntil([] { return g_inSlowLaunch.load(); }, 5000));
    ULONGLONG stopping = GetTickCount64();
    tw::EndMonitoring();
    EXPECT_LT(GetTickCount64() - stopping, 1000u);
    PumpFor(4000);
    EXPECT_EQ(tw_test::CountRunning(path), 0u) << "what it started after the stop is ended";
    EXPECT_EQ(tw::ProgramProcessId(0), killed) << "and not recorded";
    EXPECT_EQ(Restarts(), 0u) << LogText();
    Start(1);
    EXPECT_TRUE(PumpUntil([] { return Restarts() == 1; }, 5000)) << LogText();
    PumpFor(1500);
    EXPECT_EQ(tw_test::CountRunning(path), 1u);
}

// A hung program whose process accepts its end but goes only 4 s later (one
// inside a driver call) is waited for by its own thread: the window's thread
// answers throughout, the log and the row say so once, and the program is
// started again only once the old process has gone.
TEST_F(MonitorTest, AHungProgramThatEndsLateIsWaitedForOffTheWindowsThread)
{
    std::wstring path = HelperCopy(L"driverbound.exe");
    HelperProcess helper;
    ASSERT_TRUE(helper.Start(L"--hang-after 300 --hang-for 60000", path));
    ASSERT_NE(Watch(helper, path), nullptr);
    tw_test::g_lateEndMs = 4000;
    tw::g_terminateSeam = tw_test::TerminateLate;
    tw_bench::Probe probe(tw::g_engineWindow, 50);
    Start(1, 2);
    const std::wstring waiting =
        L"进程\"driverbound.exe\"已被结束, 但尚未退出, 退出后再重启, 进程ID为:" + std::to_wstring(helper.Id());
    ASSERT_TRUE(PumpUntil([&] { return Logged(waiting) == 1; }, 12000)) << LogText();
    EXPECT_STREQ(tw::RestartStateText(Program()).c_str(), L"已结束, 等待进程退出后重启");
    EXPECT_TRUE(helper.IsRunning());
    EXPECT_EQ(tw_test::CountRunning(path), 1u) << "nothing started beside it";
    ASSERT_TRUE(PumpUntil([&] { return !helper.IsRunning(); }, 6000));
    FILETIME created, exited, kernel, user, newCreated;
    ASSERT_TRUE(GetProcessTimes(helper.Handle(), &created, &exited, &kernel, &user));
    DWORD fresh = AwaitNewInstance(helper.Id(), 5000);
    ASSERT_NE(fresh, 0u) << LogText();
    tw::CHandle next(OpenProcess(PROCESS_QUERY_LIMITED_INFORMATION, FALSE, fresh));
    ASSERT_TRUE(GetProcessTimes(next.Get(), &newCreated, &exited, &kernel, &user));
    EXPECT_GE(CompareFileTime(&newCreated, &exited), 0) << "started after the old one went";
    probe.Stop();
    EXPECT_EQ(Logged(kKilled), 1u) << LogText();
    EXPECT_EQ(Logged(waiting), 1u) << "said once";
    EXPECT_TRUE(tw::RestartStateText(Program()).IsEmpty());
    EXPECT_EQ(probe.timeouts, 0);
    EXPECT_LT(tw_bench::SpreadOf(probe.ms).max, 500.0) << "the window's thread was never held";
}

// A window that refuses the probe (on Windows, an elevated program's may
// refuse a normal user's messages) is not taken for hung: the log says so
// once, and the program is still restarted when it ends.
TEST_F(MonitorTest, AWindowThatRefusesTheProbeIsNotKilledButStillRestarted)
{
    std::wstring path = HelperCopy(L"elevated.exe");
    HelperProcess helper;
    ASSERT_TRUE(helper.Start(L"--hang-after 300 --hang-for 30000", path));
    ASSERT_NE(Watch(helper, path), nullptr);
    tw::g_probeSeam = [](HWND) { return tw::ProbeResult::Refused; };
    Start(1, 2);
    const std::wstring refused =
        L"进程\"elevated.exe\"的窗口拒绝了卡死检测消息, 不检测其卡死, 只检测其是否运行, 进程ID为:" +
        std::to_wstring(helper.Id());
    ASSERT_TRUE(PumpUntil([&] { return Logged(refused) == 1; }, 5000)) << LogText();
    PumpFor(4000);
    EXPECT_EQ(Logged(kArmed) + Logged(kKilled), 0u) << LogText();
    EXPECT_EQ(Logged(refused), 1u) << "said once";
    EXPECT_TRUE(KillAndAwaitRestart(helper)) << LogText();
}

// An exit watcher that notes its process's end late (a busy machine, here
// 1.5 s, while the next start takes 2 s) must not have it taken for the next
// run's end: a run that lasted its stable time is no short run, and no
// backoff begins.
TEST_F(MonitorTest, AnExitNotedLateIsNotTakenForTheNextRunsEnd)
{
    std::wstring path = HelperCopy(L"latenote.exe");
    HelperProcess helper;
    ASSERT_NE(StartWatched(helper, L"", path, L"", L"", {2, 60, false, 0, 3}), nullptr);
    tw::g_exitWatchSeam = [] { Sleep(1500); };
    tw::g_launchSeam = [] { Sleep(2000); };
    Start(1);
    ASSERT_TRUE(KillAndAwaitRestart(helper));
    PumpFor(3000);
    DWORD first = tw::ProgramProcessId(0);
    ASSERT_TRUE(tw::KillProcessRunning(first, tw::CStrW(path.c_str())));
    EXPECT_NE(AwaitNewInstance(first, 5000), 0u) << LogText();
    EXPECT_EQ(Logged(L"开始延后重启", true), 0u) << LogText();
}

namespace {

// Health checks as the tests set them: no grace unless given, two failures
// in a row, a heartbeat older than a second is stale.
tw::HealthSettings Checks(const std::wstring& heartbeat, const std::wstring& url, DWORD cpuLimit, DWORD grace = 0)
{
    tw::HealthSettings health = tw::DefaultHealth();
    health.heartbeatFile.AssignChars(heartbeat.c_str(), 0);
    health.heartbeatSeconds = 1;
    health.healthUrl.AssignChars(url.c_str(), 0);
    health.cpuLimitPercent = cpuLimit;
    health.cpuCycles = 2;
    health.graceSeconds = grace;
    health.failureCycles = 2;
    return health;
}

void SetChecks(tw::HealthSettings health)
{
    tw::SetProgramHealth(0, health);
}

tw::Verdict VerdictOf(int check)
{
    return Program().checks[check].verdict;
}

// The processor time the helper writes of itself (--cpu-dir): Wine reads
// another process's times as the caller's own.
std::wstring g_cpuDir;

bool HelperCpuTime(DWORD processId, ULONGLONG* busy)
{
    std::wstring path = g_cpuDir + L"\\cpu-" + std::to_wstring(processId) + L".txt";
    FILE* file = _wfopen(path.c_str(), L"rb");
    unsigned long long value = 0;
    bool read = file && fscanf(file, "%llu", &value) == 1;
    if (file)
        fclose(file);
    *busy = value;
    return read;
}

} // namespace

// The heartbeat stops 300 ms after the start while the window answers. With
// the check on, nothing is judged within the 5 s grace; then two stale cycles
// close the program and it is started again; its first pass after that is
// logged as the recovery. With the check off, the same program is left alone.
TEST_F(MonitorTest, AStaleHeartbeatClosesTheProgramAfterTheGraceAndTwoCyclesAndOnlyWithTheCheckOn)
{
    for (bool checked : {true, false}) {
        SCOPED_TRACE(checked ? "checked" : "not checked");
        std::wstring path = HelperCopy(checked ? L"beat1.exe" : L"beat0.exe");
        std::wstring beat = dir.File(checked ? L"beat1.txt" : L"beat0.txt");
        std::wstring options = L"--heartbeat \"" + beat + L"\" --heartbeat-for 300";
        HelperProcess helper;
        ASSERT_TRUE(helper.Start(options, path));
        ASSERT_NE(Watch(helper, path, L"", options), nullptr);
        if (checked)
            SetChecks(Checks(beat, L"", 0, 5));
        ULONGLONG started = GetTickCount64();
        Start(1, 2);
        if (!checked) {
            PumpFor(7000);
            EXPECT_EQ(Logged(L"心跳", true), 0u) << LogText();
            EXPECT_TRUE(helper.IsRunning());
            break;
        }
        ASSERT_TRUE(PumpUntil([] { return Logged(L"心跳文件已", true) == 1; }, 12000)) << LogText();
        EXPECT_GE(GetTickCount64() - started, 5800u) << "the grace, then two stale cycles";
        EXPECT_NE(Entries().front().find(L"秒未更新 (上限 1 秒), 关闭后重新启动"), std::wstring::npos) << LogText();
        ASSERT_TRUE(helper.WaitForExit(5000)) << "closed when asked";
        // A looser limit: the next instance passes.
        tw::HealthSettings looser = Checks(beat, L"", 0, 1);
        looser.heartbeatSeconds = 600;
        SetChecks(looser);
        ASSERT_NE(AwaitNewInstance(helper.Id(), 5000), 0u) << LogText();
        EXPECT_TRUE(PumpUntil([] { return Logged(L"重启后心跳文件已恢复更新", true) == 1; }, 6000)) << LogText();
        EXPECT_EQ(VerdictOf(tw::kCheckHeartbeat), tw::Verdict::Pass);
        EXPECT_EQ(Events(tw::EventKind::HealthFailure, 1, tw::kCheckHeartbeat), 1u);
        EXPECT_EQ(Events(tw::EventKind::HealthRecovery, 1, tw::kCheckHeartbeat), 1u);
        EXPECT_EQ(Program().counts.healthFailures[tw::kCheckHeartbeat], 1u);
        TearDown();
        SetUp();
    }
}

// An HTTP address that answers 500, then one that takes the request and never
// answers, and a TCP address that refuses: each closes the program after two
// failures and names the figure; a pass after the restart is the recovery. A
// silent peer never makes a cycle wait.
TEST_F(MonitorTest, AHealthAddressThatFailsClosesTheProgramAndASilentPeerHoldsNoCycleUp)
{
    for (const wchar_t* scheme : {L"http", L"tcp"}) {
        SCOPED_TRACE(tw::ToNarrow(scheme).c_str());
        bool http = std::wstring(scheme) == L"http";
        tw_test::HttpPeer peer;
        ASSERT_TRUE(peer.Open());
        HelperProcess helper;
        ASSERT_NE(StartWatched(helper, L""), nullptr);
        SetChecks(Checks(L"", peer.Url(scheme), 0));
        Start(1, 2);
        ASSERT_TRUE(PumpUntil([] { return VerdictOf(tw::kCheckEndpoint) == tw::Verdict::Pass; }, 4000)) << LogText();
        PumpFor(1500);
        EXPECT_EQ(Logged(L"健康地址", true), 0u) << LogText();
        if (http)
            peer.SetMode(tw_test::HttpPeer::kAnswer500);
        else
            peer.Close();
        // From the first failure the row and the info page show it.
        const wchar_t* shown = http ? L"健康地址返回状态 500" : L"健康地址无法连接";
        EXPECT_TRUE(
            PumpUntil([&] { return std::wstring(tw::FailingCheckText(Program()).c_str()).find(shown) == 0; }, 4000));
        EXPECT_NE(std::wstring(tw::CheckLines(Program()).c_str()).find(shown), std::wstring::npos);
        const wchar_t* failure = http ? L"返回状态 500, 连续2次失败, 关闭后重新启动" : L"无法连接";
        ASSERT_TRUE(PumpUntil([&] { return Logged(failure, true) == 1; }, 6000)) << LogText();
        ASSERT_TRUE(helper.WaitForExit(5000));
        DWORD fresh = AwaitNewInstance(helper.Id(), 5000);
        ASSERT_NE(fresh, 0u) << LogText();
        if (!http) {
            TearDown();
            SetUp();
            continue;
        }
        peer.SetMode(tw_test::HttpPeer::kAnswer200);
        EXPECT_TRUE(PumpUntil([] { return Logged(L"已恢复正常", true) == 1; }, 5000)) << LogText();
        tw::g_monitorStats.longestCycleMs = 0;
        peer.SetMode(tw_test::HttpPeer::kSilent);
        EXPECT_TRUE(PumpUntil([] { return Logged(L"毫秒内没有应答", true) == 1; }, 8000)) << LogText();
        EXPECT_LT(tw::g_monitorStats.longestCycleMs.load(), 1000u) << "no cycle waits on the network";
        EXPECT_EQ(Logged(L"健康地址", true), 3u) << LogText();
        TearDown();
        SetUp();
    }
}

// A helper that spins a core is over a 50 % limit for two periods and is
// closed; one that idles under the same limit is left alone.
TEST_F(MonitorTest, AProgramThatPegsACoreIsClosedAndAnIdleOneIsLeftAlone)
{
    // No closing backslash, which would escape the quote around it.
    g_cpuDir = dir.File(L"cpu");
    ASSERT_TRUE(CreateDirectoryW(g_cpuDir.c_str(), nullptr));
    tw::g_cpuTimesSeam = HelperCpuTime;
    for (bool spins : {true, false}) {
        SCOPED_TRACE(spins ? "spins" : "idles");
        HelperProcess helper;
        std::wstring options = std::wstring(spins ? L"--spin " : L"") + L"--cpu-dir \"" + g_cpuDir + L"\"";
        ASSERT_NE(StartWatched(helper, options, HelperCopy(spins ? L"spin1.exe" : L"spin0.exe")), nullptr);
        SetChecks(Checks(L"", L"", 50));
        Start(1, 2);
        bool logged = PumpUntil([] { return Logged(L"连续2个周期超过上限50%", true) == 1; }, spins ? 8000 : 5000);
        EXPECT_EQ(logged, spins) << LogText();
        EXPECT_EQ(helper.WaitForExit(spins ? 5000 : 0), spins);
        if (!spins) {
            EXPECT_EQ(VerdictOf(tw::kCheckCpu), tw::Verdict::Pass);
        }
        TearDown();
        SetUp();
        tw::g_cpuTimesSeam = HelperCpuTime;
    }
}

// A webhook receiver that takes every request and never answers (each
// request runs into its time-out, then is tried again) holds no restart
// back, and the exit does not wait for the request under way.
TEST_F(MonitorTest, ASilentWebhookReceiverLeavesRestartsOnTime)
{
    tw_test::HttpPeer peer;
    ASSERT_TRUE(peer.Open());
    peer.SetMode(tw_test::HttpPeer::kSilent);
    tw::FleetSettings settings;
    settings.eventLog = false;
    settings.webhookUrl.AssignChars(peer.Url().c_str(), 0);
    tw::StartFleet(settings);
    HelperProcess helper;
    ASSERT_NE(StartWatched(helper, L""), nullptr);
    Start(1);
    ASSERT_TRUE(KillAndAwaitRestart(helper));
    // Every restart logs a line for the receiver: the queue grows while the
    // first request waits out its 10 s.
    for (int kill = 0; kill < 4; ++kill) {
        PumpFor(1500);
        DWORD instance = tw::ProgramProcessId(0);
        ULONGLONG killed = GetTickCount64();
        ASSERT_TRUE(tw::KillProcessRunning(instance, tw::CStrW(HelperPath().c_str())));
        ASSERT_NE(AwaitNewInstance(instance, 5000), 0u) << LogText();
        EXPECT_LT(GetTickCount64() - killed, 2500u) << kill;
    }
    EXPECT_GE(peer.Requests(), 1);
    ULONGLONG stop = GetTickCount64();
    tw::StopFleet();
    EXPECT_LT(GetTickCount64() - stop, 4000u) << "two seconds to deliver, then the exit goes on";
}
