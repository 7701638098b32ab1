// The monitor threads at work on real helper processes, with a hidden host
// window that carries the main-window controls the threads talk to.
#include "config/config.h"
#include "monitor/error_log.h"
#include "monitor/launch.h"
#include "monitor/monitor.h"
#include "monitor/process_query.h"
#include "monitor/program_table.h"
#include "core/path.h"
#include "monitor/ui_links.h"
#include "tests/helper_process.h"
#include "tests/host_window.h"
#include "tests/running.h"
#include "tests/test_support.h"

#include <gtest/gtest.h>

#include <functional>
#include <memory>
#include <string>
#include <vector>

using tw::CMonitorItem;
using tw::CStrW;
using tw::g_errorLog;
using tw_test::HelperPath;
using tw_test::HelperProcess;
using tw_test::PumpFor;
using tw_test::PumpUntil;

namespace {

size_t LogCount(const std::wstring& text)
{
    size_t n = 0;
    for (size_t i = 0; i < g_errorLog.Count(); ++i) {
        CStrW entry;
        g_errorLog.ReadEntry(i, nullptr, &entry);
        if (text == entry.c_str())
            ++n;
    }
    return n;
}

bool LogContains(const std::wstring& part)
{
    for (size_t i = 0; i < g_errorLog.Count(); ++i) {
        CStrW entry;
        g_errorLog.ReadEntry(i, nullptr, &entry);
        if (std::wstring(entry.c_str()).find(part) != std::wstring::npos)
            return true;
    }
    return false;
}

std::string LogText()
{
    std::string all;
    for (size_t i = 0; i < g_errorLog.Count(); ++i) {
        CStrW time;
        CStrW entry;
        g_errorLog.ReadEntry(i, &time, &entry);
        int n = WideCharToMultiByte(CP_UTF8, 0, entry.c_str(), -1, nullptr, 0, nullptr, nullptr);
        std::string utf8(static_cast<size_t>(n), '\0');
        WideCharToMultiByte(CP_UTF8, 0, entry.c_str(), -1, &utf8[0], n, nullptr, nullptr);
        all += std::string(tw::ToNarrow(time).c_str()) + " " + utf8.c_str() + "\n";
    }
    return all;
}

const wchar_t kArmed0[] = L"窗口卡死了, 即将开启延时关闭卡死程序时钟, 索引：0";
const wchar_t kKilled[] = L"延时关闭程序卡死的时钟已关闭并结束了卡死程序";
const wchar_t kRecovered[] = L"延迟关闭卡死程序, 延时指定时间后程序已恢复正常";
const wchar_t kCrashLogged[] = L"已检测到程序崩溃, 正在重启程序中";

class MonitorTest : public ::testing::Test {
protected:
    void SetUp() override
    {
        tw::ClearPrograms();
        g_errorLog.ResetForTest();
        ASSERT_TRUE(tw::g_config.OpenIn(CStrW(dir.Path().c_str())));
        host.reset(new tw_test::HostWindow);
        box = host->Box();
    }

    void TearDown() override
    {
        tw::EndMonitoring();
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
        std::wstring copy = dir.File(name);
        EXPECT_TRUE(CopyFileW(HelperPath(false).c_str(), copy.c_str(), FALSE));
        copies.push_back(copy);
        return copy;
    }

    static size_t Restarts()
    {
        size_t n = 0;
        for (size_t i = 0; i < g_errorLog.Count(); ++i) {
            CStrW text;
            g_errorLog.ReadEntry(i, nullptr, &text);
            n += std::wstring(text.c_str()).find(L"重启成功") != std::wstring::npos;
        }
        return n;
    }

    // Kills the watched helper and waits for the engine's restart of it.
    static bool KillAndAwaitRestart(HelperProcess& helper)
    {
        size_t before = Restarts();
        helper.Stop();
        return PumpUntil([before] { return Restarts() > before; }, 5000);
    }

    // Starts a helper with these options and adds it as a picked program;
    // its window, or null.
    HWND StartWatched(HelperProcess& helper, const std::wstring& options, const wchar_t* errflag = L"",
                      const std::wstring& path = HelperPath(), const std::wstring& command = L"")
    {
        if (!helper.Start(options, path))
            return nullptr;
        HWND window = helper.WaitForWindow();
        if (window)
            AddProgram(helper, window, errflag, path, command);
        return window;
    }

    // Loads program entries for these executables from config.xml, as at
    // start-up; each attaches to a running instance of its own.
    void LoadEntries(const std::vector<std::wstring>& paths, const char* errflag)
    {
        std::string xml = "<?xml version=\"1.0\" encoding=\"gb2312\" ?>\n<config>";
        for (const std::wstring& path : paths)
            xml += std::string("<config procpath=\"") + tw::ToNarrow(path.c_str()).c_str() + "\" procname=\"" +
                   tw::ToNarrow(path.substr(path.rfind(L'\\') + 1).c_str()).c_str() + "\" errflag=\"" + errflag +
                   "\" />";
        ASSERT_TRUE(tw_test::WriteBytes(dir.File(L"config.xml"), xml + "</config>\n"));
        ASSERT_TRUE(tw::g_config.OpenIn(CStrW(dir.Path().c_str())));
        tw::LoadMonitorList();
    }

    // Adds the running helper as a picked program.
    void AddProgram(const HelperProcess& helper, HWND window, const wchar_t* errflag = L"",
                    const std::wstring& path = HelperPath(), const std::wstring& command = L"")
    {
        CMonitorItem record = {};
        record.window = window;
        record.processId = helper.Id();
        record.path.AssignChars(path.c_str(), 0);
        record.name.AssignChars(path.c_str() + path.rfind(L'\\') + 1, 0);
        record.errflag.AssignChars(errflag, 0);
        record.command.AssignChars(command.c_str(), 0);
        ASSERT_TRUE(tw::AppendProgram(record));
    }

    void Start(int periodSeconds, int graceSeconds = 5)
    {
        tw::g_config.SetInt(0, "monitortime", periodSeconds);
        tw::g_config.SetInt(0, "unresponsetime", graceSeconds);
        tw::BeginMonitoring();
        for (size_t i = 0; i < tw::g_programCount; ++i)
            ASSERT_TRUE(tw::StartMonitorThread(i));
    }

    tw_test::TempDir dir;
    std::unique_ptr<tw_test::HostWindow> host;
    HWND box = nullptr;
    std::vector<std::wstring> copies;
};

} // namespace

TEST(MonitorSettings, PeriodAndGraceBelowOneSecondAreReadAsFive)
{
    EXPECT_EQ(tw::PeriodFromSetting(10), 10000u);
    EXPECT_EQ(tw::PeriodFromSetting(0), 5000u);
    EXPECT_EQ(tw::PeriodFromSetting(-3), 5000u);
    EXPECT_EQ(tw::GraceFromSetting(5), 5000u);
    EXPECT_EQ(tw::GraceFromSetting(0), 5000u);
    EXPECT_EQ(tw::GraceFromSetting(30), 30000u);
}

TEST_F(MonitorTest, AProgramHungForTenSecondsIsKilledAfterTheGrace)
{
    HelperProcess helper;
    ASSERT_TRUE(helper.Start(L"--hang-after 300 --hang-for 10000"));
    HWND window = helper.WaitForWindow();
    ASSERT_NE(window, nullptr);
    host->SetWatchRunning(false);
    AddProgram(helper, window);
    Start(1, 5);
    ASSERT_TRUE(PumpUntil([] { return LogCount(kArmed0) == 1; }, 5000));
    ULONGLONG armed = GetTickCount64();
    ASSERT_TRUE(PumpUntil([] { return LogCount(kKilled) == 1; }, 9000));
    ULONGLONG waited = GetTickCount64() - armed;
    EXPECT_GE(waited, 4500u);
    EXPECT_LT(waited, 7500u);
    EXPECT_TRUE(helper.WaitForExit(2000));
    EXPECT_EQ(LogCount(kArmed0), 1u) << "no second arming while the kill was pending";
}

TEST_F(MonitorTest, AProgramHungForTwoSecondsRecoversAndLives)
{
    HelperProcess helper;
    HWND window = StartWatched(helper, L"--hang-after 300 --hang-for 2000");
    ASSERT_NE(window, nullptr);
    Start(1, 4);
    ASSERT_TRUE(PumpUntil([] { return LogCount(kArmed0) == 1; }, 5000));
    ASSERT_TRUE(PumpUntil([] { return LogCount(kRecovered) == 1; }, 8000)) << LogText();
    EXPECT_TRUE(helper.IsRunning());
    EXPECT_EQ(LogCount(kKilled), 0u);
    EXPECT_EQ(LogCount(kArmed0), 1u);
}

TEST_F(MonitorTest, AHungProgramRestartedDuringTheGraceKeepsItsNewInstance)
{
    HelperProcess helper;
    HWND window = StartWatched(helper, L"--hang-after 300 --hang-for 30000");
    ASSERT_NE(window, nullptr);
    Start(1, 5);
    ASSERT_TRUE(PumpUntil([] { return LogCount(kArmed0) == 1; }, 5000));
    helper.Stop();
    ASSERT_TRUE(PumpUntil([] { return LogContains(L"重启成功"); }, 5000));
    DWORD fresh = tw::ProgramProcessId(0);
    ASSERT_TRUE(PumpUntil([] { return LogCount(kRecovered) == 1; }, 9000));
    EXPECT_EQ(LogCount(kKilled), 0u);
    EXPECT_EQ(tw::ProgramProcessId(0), fresh);
    EXPECT_NE(tw::FindProcessEntry(fresh, nullptr), 0u) << "the new instance is not killed";
}

TEST_F(MonitorTest, StoppingCancelsAPendingKillSilently)
{
    HelperProcess helper;
    HWND window = StartWatched(helper, L"--hang-after 300 --hang-for 8000");
    ASSERT_NE(window, nullptr);
    Start(1, 3);
    ASSERT_TRUE(PumpUntil([] { return LogCount(kArmed0) == 1; }, 5000));
    tw::EndMonitoring();
    size_t entries = g_errorLog.Count();
    PumpFor(4000);
    EXPECT_EQ(g_errorLog.Count(), entries);
    EXPECT_TRUE(helper.IsRunning());
}

TEST_F(MonitorTest, AnErrorBoxOfTheProgramIsClosedAndLoggedWithItsText)
{
    HelperProcess helper;
    ASSERT_TRUE(helper.Start(L"--error-box \"第一行\\n第二行\""));
    HWND window = helper.WaitForWindow();
    ASSERT_NE(window, nullptr);
    ASSERT_TRUE(PumpUntil([] { return FindWindowExW(nullptr, nullptr, L"#32770", L"错误") != nullptr; }, 5000));
    HWND dialog = FindWindowExW(nullptr, nullptr, L"#32770", L"错误");
    // The box's text control comes a moment after the box itself.
    ASSERT_TRUE(
        PumpUntil([dialog] { return !tw::GetWindowTextString(tw::FindMessageBoxText(dialog)).IsEmpty(); }, 3000));
    ASSERT_STREQ(tw::GetWindowTextString(tw::FindMessageBoxText(dialog)).c_str(), L"第一行\r\n第二行");
    AddProgram(helper, window);
    Start(2);
    ASSERT_TRUE(PumpUntil([] { return LogCount(L"第一行 第二行") == 1; }, 4000));
    EXPECT_TRUE(PumpUntil([dialog] { return !IsWindow(dialog); }, 3000));
}

TEST_F(MonitorTest, AnErrorBoxOfAnotherProgramIsLeftAloneButTheCrashWindowCheckRuns)
{
    HelperProcess other;
    ASSERT_TRUE(other.Start(L"--title Other --error-box \"not ours\""));
    ASSERT_NE(other.WaitForWindow(), nullptr);
    ASSERT_TRUE(PumpUntil([] { return FindWindowExW(nullptr, nullptr, L"#32770", L"错误") != nullptr; }, 5000));
    HWND dialog = FindWindowExW(nullptr, nullptr, L"#32770", L"错误");
    HelperProcess reporter;
    ASSERT_TRUE(reporter.Start(L"--title \"Tollwick 测试助手\""));
    HWND report = reporter.WaitForWindow();
    ASSERT_NE(report, nullptr);
    HelperProcess helper;
    HWND window = StartWatched(helper, L"--title Mine", L"Tollwick 测试助手", HelperPath(false));
    ASSERT_NE(window, nullptr);
    Start(2);
    ASSERT_TRUE(PumpUntil([] { return LogCount(kCrashLogged) >= 1; }, 4000));
    EXPECT_TRUE(PumpUntil([report] { return !IsWindow(report); }, 3000)) << "the crash report is closed";
    EXPECT_TRUE(IsWindow(dialog)) << "another program's error box stays";
    EXPECT_FALSE(LogContains(L"not ours"));
    EXPECT_TRUE(helper.IsRunning());
}

TEST_F(MonitorTest, TheProgramsOwnWindowWithTheCrashTitleIsNotClosed)
{
    HelperProcess helper;
    HWND window = StartWatched(helper, L"--title \"Tollwick 测试助手\"", L"Tollwick 测试助手");
    ASSERT_NE(window, nullptr);
    HelperProcess quiet;
    HWND quietWindow = StartWatched(quiet, L"--title Quiet", L"", HelperPath(false));
    ASSERT_NE(quietWindow, nullptr);
    Start(1);
    PumpFor(3500);
    EXPECT_TRUE(IsWindow(window));
    EXPECT_TRUE(IsWindow(quietWindow)) << "an empty errflag closes nothing";
    EXPECT_EQ(LogCount(kCrashLogged), 0u);
    EXPECT_TRUE(helper.IsRunning());
}

TEST_F(MonitorTest, WithTheRunningCheckOffADeadProgramStaysDead)
{
    HelperProcess helper;
    HWND window = StartWatched(helper, L"");
    ASSERT_NE(window, nullptr);
    helper.Stop();
    host->SetWatchRunning(false);
    Start(1);
    PumpFor(3000);
    EXPECT_EQ(g_errorLog.Count(), 0u);
    EXPECT_EQ(tw::FindProcessByNameAndPath(L"tollwick_helper.exe", HelperPath().c_str(), nullptr, 0), 0u);
    ASSERT_FALSE(tw_test::HostWindow::HintTexts().empty());
    EXPECT_EQ(tw_test::HostWindow::HintTexts().back(), L"监控已开启,监控数量为：1 个程序");
}

TEST_F(MonitorTest, AProgramKilledFromOutsideIsRestartedAndTheHintTellsIt)
{
    HelperProcess a;
    HelperProcess b;
    HelperProcess c;
    ASSERT_TRUE(a.Start(L""));
    ASSERT_TRUE(b.Start(L"", HelperPath(false)));
    HWND aWindow = a.WaitForWindow();
    HWND bWindow = b.WaitForWindow();
    ASSERT_NE(aWindow, nullptr);
    ASSERT_NE(bWindow, nullptr);
    AddProgram(a, aWindow);
    AddProgram(b, bWindow, L"", HelperPath(false));
    ASSERT_TRUE(c.Start(L"--title C"));
    HWND cWindow = c.WaitForWindow();
    ASSERT_NE(cWindow, nullptr);
    CMonitorItem third = {};
    third.window = cWindow;
    third.processId = c.Id();
    // The same executable under another path spelling counts as the same
    // program only once, so the third record watches a copy of the plain helper.
    std::wstring copy = dir.File(L"third.exe");
    ASSERT_TRUE(CopyFileW(HelperPath(false).c_str(), copy.c_str(), FALSE));
    third.path.AssignChars(copy.c_str(), 0);
    third.name.AssignChars(L"third.exe", 0);
    ASSERT_TRUE(tw::AppendProgram(third));
    Start(3);
    ASSERT_TRUE(PumpUntil([] { return LogContains(L"\"third.exe\"重启成功"); }, 5000)) << "the third was never ours";
    // Left running, C would be attached as the first program's instance.
    c.Stop();
    ASSERT_TRUE(PumpUntil(
        [] {
            return !tw_test::HostWindow::HintTexts().empty() &&
                   tw_test::HostWindow::HintTexts().back() == L"监控已开启,监控数量为：3 个程序";
        },
        3000));
    DWORD before = a.Id();
    tw_test::HostWindow::HintTexts().clear();
    a.Stop();
    ASSERT_TRUE(PumpUntil([] { return LogContains(L"\"tollwick_helper.exe\"重启成功"); }, 3000));
    EXPECT_NE(tw::ProgramProcessId(0), before);
    EXPECT_TRUE(
        PumpUntil([] { return tw_test::HostWindow::HintTexts().back() == L"监控已开启,监控数量为：3 个程序"; }, 3000));
    ASSERT_GE(tw_test::HostWindow::HintTexts().size(), 2u);
    EXPECT_EQ(tw_test::HostWindow::HintTexts().front(), L"检测到程序未运行,系统将自动运行");
}

TEST_F(MonitorTest, AnExitIsAnsweredAtOnceButACrashLoopOnlyOncePerPeriod)
{
    HelperProcess helper;
    ASSERT_TRUE(helper.Start(L""));
    HWND window = helper.WaitForWindow();
    ASSERT_NE(window, nullptr);
    // Every restarted instance exits again after 300 ms.
    AddProgram(helper, window, L"", HelperPath(), L"--exit-after 300");
    Start(4);
    PumpFor(500);
    ULONGLONG killed = GetTickCount64();
    helper.Stop();
    ASSERT_TRUE(PumpUntil([] { return LogContains(L"重启成功"); }, 3000));
    EXPECT_LT(GetTickCount64() - killed, 2500u) << "restarted well before the 4 s period";
    PumpFor(9000);
    size_t restarts = 0;
    for (size_t i = 0; i < g_errorLog.Count(); ++i) {
        CStrW text;
        g_errorLog.ReadEntry(i, nullptr, &text);
        restarts += std::wstring(text.c_str()).find(L"重启成功") != std::wstring::npos;
    }
    EXPECT_GE(restarts, 2u);
    EXPECT_LE(restarts, 4u) << "about 9.5 s at one restart per 4 s period";
}

TEST_F(MonitorTest, StoppingDuringALongWaitEndsTheThreadAtOnce)
{
    HelperProcess helper;
    HWND window = StartWatched(helper, L"");
    ASSERT_NE(window, nullptr);
    Start(60);
    PumpFor(1500);
    ULONGLONG start = GetTickCount64();
    tw::EndMonitoring();
    EXPECT_LT(GetTickCount64() - start, 500u);
    EXPECT_EQ(tw::g_monitoring.load(), 0);
}

// A launcher starts a copy of itself and exits at once: the copy is the
// program from then on, not a reason to start another launcher each period.
TEST_F(MonitorTest, ALauncherLeavesExactlyOneCopyRunning)
{
    std::wstring path = HelperCopy(L"launcher.exe");
    HelperProcess helper;
    ASSERT_NE(StartWatched(helper, L"", L"", path, L"--relaunch --title Copy"), nullptr);
    Start(1);
    ASSERT_TRUE(KillAndAwaitRestart(helper));
    PumpFor(6000);
    EXPECT_EQ(tw_test::CountRunning(path), 1u);
    EXPECT_EQ(Restarts(), 1u) << LogText();
    DWORD copy = tw::ProgramProcessId(0);
    EXPECT_TRUE(tw::SamePath(tw::GetProcessIdImagePath(copy).c_str(), path.c_str())) << "the copy is attached";
}

// The recorded path may name the executable in another form than the one
// the system reports for its process; it is still the one program.
TEST_F(MonitorTest, APathInAnotherFormIsTheSameProgram)
{
    std::wstring path = HelperCopy(L"long program name.exe");
    wchar_t shortPath[MAX_PATH] = {0};
    ASSERT_GT(GetShortPathNameW(path.c_str(), shortPath, MAX_PATH), 0u);
    std::wstring slashed = path;
    for (wchar_t& c : slashed)
        c = c == L'\\' ? L'/' : c;
    std::wstring dotted = dir.Path() + L".\\long program name.exe";
    for (const std::wstring& form : {dotted, slashed, std::wstring(shortPath)}) {
        SCOPED_TRACE(tw::ToNarrow(form.c_str()).c_str());
        HelperProcess helper;
        ASSERT_TRUE(helper.Start(L"", path));
        HWND window = helper.WaitForWindow();
        ASSERT_NE(window, nullptr);
        AddProgram(helper, window, L"", form);
        Start(1);
        ASSERT_TRUE(KillAndAwaitRestart(helper));
        PumpFor(1500);
        tw_test::HostWindow::HintTexts().clear();
        PumpFor(2500);
        EXPECT_EQ(tw_test::CountRunning(path), 1u);
        EXPECT_EQ(Restarts(), 1u) << LogText();
        for (const std::wstring& hint : tw_test::HostWindow::HintTexts())
            EXPECT_NE(hint, L"检测到程序未运行,系统将自动运行") << "the new instance counts as running";
        tw::EndMonitoring();
        tw::ClearPrograms();
        tw_test::EndAllRunning(path);
        g_errorLog.ResetForTest();
    }
}

// Two entries of one executable keep two instances, and a window titled as
// their crash report that is one of their own main windows stays open; the
// same title in any other process is still closed.
TEST_F(MonitorTest, TwoInstancesOfOneProgramNeitherMergeNorCloseEachOther)
{
    std::wstring path = HelperCopy(L"twin.exe");
    HelperProcess a;
    HelperProcess b;
    ASSERT_TRUE(a.Start(L"--title Twin", path));
    ASSERT_TRUE(b.Start(L"--title Twin --at 380 40", path));
    ASSERT_NE(a.WaitForWindow(), nullptr);
    ASSERT_NE(b.WaitForWindow(), nullptr);
    LoadEntries({path, path}, "Twin");
    HelperProcess& first = tw::ProgramProcessId(0) == a.Id() ? a : b;
    HelperProcess& second = &first == &a ? b : a;
    ASSERT_EQ(tw::ProgramProcessId(1), second.Id());
    HelperProcess stray;
    ASSERT_TRUE(stray.Start(L"--title Twin --at 40 300"));
    HWND strayWindow = stray.WaitForWindow();
    ASSERT_NE(strayWindow, nullptr);
    Start(1);
    EXPECT_TRUE(PumpUntil([strayWindow] { return !IsWindow(strayWindow); }, 4000)) << "a stranger's report closes";
    PumpFor(3000);
    EXPECT_TRUE(first.IsRunning());
    EXPECT_TRUE(second.IsRunning());
    EXPECT_EQ(tw::ProgramProcessId(0), first.Id());
    EXPECT_EQ(tw::ProgramProcessId(1), second.Id());
    EXPECT_EQ(Restarts(), 0u) << LogText();

    // A restart of one twin does not take the other's process.
    ASSERT_TRUE(KillAndAwaitRestart(first));
    PumpFor(2500);
    EXPECT_EQ(tw_test::CountRunning(path), 2u);
    EXPECT_NE(tw::ProgramProcessId(0), tw::ProgramProcessId(1));
    EXPECT_EQ(tw::ProgramProcessId(1), second.Id());
}

// A hung program whose end the system refuses stays the program's instance:
// the log says so, and no second copy is started beside it.
TEST_F(MonitorTest, AKillThatIsRefusedIsLoggedAndNoCopyStarts)
{
    std::wstring path = HelperCopy(L"stubborn.exe");
    HelperProcess helper;
    ASSERT_TRUE(helper.Start(L"--hang-after 300 --hang-for 30000", path, true));
    HWND window = helper.WaitForWindow();
    ASSERT_NE(window, nullptr);
    AddProgram(helper, window, L"", path);
    Start(1, 2);
    const std::wstring refused = L"进程\"stubborn.exe\"无法结束, 进程ID为:" + std::to_wstring(helper.Id());
    ASSERT_TRUE(PumpUntil([&] { return LogCount(refused) == 1; }, 9000)) << LogText();
    PumpFor(4000);
    EXPECT_EQ(LogCount(kKilled), 0u);
    EXPECT_EQ(LogCount(refused), 1u) << "said once";
    EXPECT_EQ(tw_test::CountRunning(path), 1u);
    EXPECT_EQ(Restarts(), 0u);
}

// The first window appears only after the start's one-second wait: each
// cycle looks again, and the hang probe covers the window once found.
TEST_F(MonitorTest, AWindowThatAppearsLateIsHangCheckedOnceFound)
{
    std::wstring path = HelperCopy(L"late.exe");
    HelperProcess helper;
    ASSERT_NE(StartWatched(helper, L"", L"", path, L"--show-after 2500 --hang-after 4500 --hang-for 30000"), nullptr);
    Start(1, 2);
    ASSERT_TRUE(KillAndAwaitRestart(helper));
    EXPECT_TRUE(PumpUntil([] { return LogCount(kKilled) == 1; }, 15000)) << LogText();
    EXPECT_EQ(LogCount(kArmed0), 1u);
}

// A program that blocks while it starts is given time; one that answered
// once and hangs later is killed after the grace, as before.
TEST_F(MonitorTest, ASlowStarterIsNotKilledWhileItStarts)
{
    EXPECT_EQ(tw::StartupAllowanceMs(), 30000u) << "at least 30 s";
    std::wstring path = HelperCopy(L"slow.exe");
    HelperProcess helper;
    ASSERT_NE(StartWatched(helper, L"", L"", path, L"--hang-at-start 12000"), nullptr);
    Start(1, 2);
    ASSERT_TRUE(KillAndAwaitRestart(helper));
    DWORD started = tw::ProgramProcessId(0);
    PumpFor(15000);
    EXPECT_EQ(LogCount(kArmed0), 0u) << LogText();
    EXPECT_EQ(tw::ProgramProcessId(0), started);
    EXPECT_EQ(Restarts(), 1u);
}

TEST(HangProbe, AnsweringWindowIsNotHungAndABlockedOneIs)
{
    HelperProcess helper;
    ASSERT_TRUE(helper.Start(L"--hang-after 1000 --hang-for 1500"));
    HWND window = helper.WaitForWindow();
    ASSERT_NE(window, nullptr);
    Sleep(200);
    EXPECT_FALSE(tw::IsWindowHung(window));
    Sleep(1000);
    EXPECT_TRUE(tw::IsWindowHung(window));
    Sleep(1500);
    EXPECT_FALSE(tw::IsWindowHung(window)) << "answering again after the block";
    EXPECT_TRUE(tw::IsWindowHung(nullptr));
}
