// Recovery at work on real helper processes: the crash-loop backoff, the
// window put back where it was, and the memory ceiling.
#include "config/config.h"
#include "monitor/backoff.h"
#include "monitor/error_log.h"
#include "monitor/memory_ceiling.h"
#include "monitor/monitor.h"
#include "monitor/process_query.h"
#include "monitor/program_table.h"
#include "tests/helper_process.h"
#include "tests/host_window.h"
#include "tests/running.h"
#include "tests/test_support.h"

#include <gtest/gtest.h>

#include <memory>
#include <string>
#include <vector>

using tw::CStrW;
using tw_test::HelperProcess;
using tw_test::PumpFor;
using tw_test::PumpUntil;

namespace {

std::vector<std::wstring> LogTexts()
{
    std::vector<std::wstring> texts;
    for (size_t i = 0; i < tw::g_errorLog.Count(); ++i) {
        CStrW text;
        tw::g_errorLog.ReadEntry(i, nullptr, &text);
        texts.push_back(text.c_str());
    }
    return texts;
}

size_t LogLines(const wchar_t* part)
{
    size_t n = 0;
    for (const std::wstring& text : LogTexts())
        n += text.find(part) != std::wstring::npos;
    return n;
}

std::string LogText()
{
    std::string all;
    for (const std::wstring& text : LogTexts())
        all += std::string(tw::ToNarrow(text.c_str()).c_str()) + "\n";
    return all;
}

tw::ProgramView Program()
{
    tw::ProgramView view;
    tw::CopyProgram(0, &view);
    return view;
}

// Whether the placement kept for the program has this normal rectangle.
bool KeptAt(const RECT& normal)
{
    tw::ProgramView view = Program();
    return view.place.known && EqualRect(&view.place.normal, &normal);
}

class RecoveryTest : public ::testing::Test {
protected:
    void SetUp() override
    {
        tw::ClearPrograms();
        tw::g_errorLog.ResetForTest();
        ASSERT_TRUE(tw::g_config.OpenIn(CStrW(dir.Path().c_str())));
        host.reset(new tw_test::HostWindow);
    }

    void TearDown() override
    {
        tw::EndMonitoring();
        tw::ClearPrograms();
        host.reset();
        tw::g_errorLog.ResetForTest();
        for (const std::wstring& copy : copies)
            tw_test::EndAllRunning(copy);
    }

    // A copy of the plain helper in the test's folder; its instances go with
    // the test.
    std::wstring HelperCopy(const wchar_t* name)
    {
        std::wstring copy = dir.File(name);
        EXPECT_TRUE(CopyFileW(tw_test::HelperPath(false).c_str(), copy.c_str(), FALSE));
        copies.push_back(copy);
        return copy;
    }

    // Starts the helper with options and watches it as a picked program that
    // Tollwick restarts with command; its window, or null.
    HWND Watch(HelperProcess& helper, const std::wstring& path, const wchar_t* options, const wchar_t* command,
               const tw::RecoverySettings& recovery)
    {
        if (!helper.Start(options, path))
            return nullptr;
        HWND window = helper.WaitForWindow();
        tw::CMonitorItem record = {};
        record.window = window;
        record.processId = helper.Id();
        record.path.AssignChars(path.c_str(), 0);
        record.name.AssignChars(path.c_str() + path.rfind(L'\\') + 1, 0);
        record.command.AssignChars(command, 0);
        record.recovery = recovery;
        return window && tw::AppendProgram(record) ? window : nullptr;
    }

    void Start(int periodSeconds, int graceSeconds = 2)
    {
        tw::g_config.SetInt(0, "monitortime", periodSeconds);
        tw::g_config.SetInt(0, "unresponsetime", graceSeconds);
        tw::BeginMonitoring();
        for (size_t i = 0; i < tw::g_programCount; ++i)
            ASSERT_TRUE(tw::StartMonitorThread(i));
    }

    // Waits until the watched program runs another instance than before.
    static DWORD AwaitNewInstance(DWORD before, DWORD timeoutMs)
    {
        DWORD now = 0;
        PumpUntil(
            [&] {
                now = tw::ProgramProcessId(0);
                return now && now != before && tw::FindProcessEntry(now, nullptr);
            },
            timeoutMs);
        return now != before ? now : 0;
    }

    tw_test::TempDir dir;
    std::unique_ptr<tw_test::HostWindow> host;
    std::vector<std::wstring> copies;
};

} // namespace

// Every instance Tollwick starts ends 0.2 s after showing its window. The
// restarts come one, two and four periods apart, the row says how long the
// next one waits, and the log has one line for the backoff's beginning and
// one for its end; once an instance has run the stable time, its exit is
// answered at once again.
TEST_F(RecoveryTest, ACrashLoopIsRestartedOneTwoFourPeriodsApartThenAtOnceAfterAStableRun)
{
    std::wstring path = HelperCopy(L"crashloop.exe");
    HelperProcess helper;
    ASSERT_NE(Watch(helper, path, L"", L"--exit-after 200", {3, 60, false, 0, 3}), nullptr);
    Start(1);
    std::vector<ULONGLONG> starts;
    DWORD seen = helper.Id();
    auto startsReach = [&](size_t count) {
        return PumpUntil(
            [&] {
                DWORD id = tw::ProgramProcessId(0);
                if (id && id != seen) {
                    seen = id;
                    starts.push_back(GetTickCount64());
                }
                return starts.size() >= count;
            },
            15000);
    };
    ULONGLONG killed = GetTickCount64();
    helper.Stop();
    ASSERT_TRUE(startsReach(3)) << LogText();
    EXPECT_LT(starts[0] - killed, 1000u) << "an instance found running counts as stable";
    // The instance after the third wait lives.
    CStrW noCommand;
    CStrW noParameters;
    tw::SetProgramSettings(0, noCommand, 0, noParameters);
    ASSERT_TRUE(PumpUntil([] { return Program().heldWaitMs != 0; }, 3000));
    EXPECT_STREQ(tw::RestartStateText(Program()).c_str(), L"等待 4 秒后重启 (第 3 次)");
    ASSERT_TRUE(startsReach(4)) << LogText();
    const ULONGLONG periods[] = {1, 2, 4};
    for (size_t i = 0; i < 3; ++i) {
        SCOPED_TRACE("restart " + std::to_string(i + 2));
        EXPECT_GE(starts[i + 1] - starts[i], periods[i] * 1000);
        EXPECT_LT(starts[i + 1] - starts[i], periods[i] * 1000 + 1500);
    }
    ASSERT_TRUE(PumpUntil([] { return LogLines(L"已稳定运行3秒") == 1; }, 6000)) << LogText();
    EXPECT_TRUE(tw::RestartStateText(Program()).IsEmpty());

    ULONGLONG ended = GetTickCount64();
    ASSERT_TRUE(tw::KillProcessRunning(seen, CStrW(path.c_str())));
    ASSERT_TRUE(startsReach(5)) << LogText();
    EXPECT_LT(starts[4] - ended, 1000u) << "after a stable run the restart comes at once";
    EXPECT_EQ(LogLines(L"开始延后重启"), 1u) << LogText();
    EXPECT_EQ(LogLines(L"其间共重启3次"), 1u) << LogText();
    EXPECT_TRUE(PumpUntil([] { return LogLines(L"重启成功") == 2; }, 3000))
        << "the first restart and the one after the stable run\n"
        << LogText();
}

// The window of a restarted instance goes back to where the healthy one was:
// moved, moved and maximised, or as config.xml keeps it from an earlier run
// on a monitor that is no longer attached (then onto the primary one).
TEST_F(RecoveryTest, ARestartedWindowIsPutBackWhereItWas)
{
    RECT work = {};
    SystemParametersInfoW(SPI_GETWORKAREA, 0, &work, 0);
    const struct {
        const char* what;
        RECT moved;    // where the test moves the healthy window; empty: kept in config.xml
        bool maximise; // and maximises it
        RECT expected; // the new window's normal rectangle
    } cases[] = {
        {"moved", {420, 260, 720, 460}, false, {420, 260, 720, 460}},
        {"moved and maximised", {300, 180, 600, 380}, true, {300, 180, 600, 380}},
        // Under Wine on Xvfb there is one monitor: x 3000 lies on none.
        {"on a monitor that is gone", {}, false, {work.right - 300, 100, work.right, 300}},
    };
    int row = 0;
    for (const auto& c : cases) {
        SCOPED_TRACE(c.what);
        std::wstring name = L"placed" + std::to_wstring(row++) + L".exe";
        std::wstring path = HelperCopy(name.c_str());
        HelperProcess helper;
        DWORD before = 0;
        if (IsRectEmpty(&c.moved)) {
            std::string entry = "<config procpath=\"" + std::string(tw::ToNarrow(path.c_str()).c_str()) +
                                "\" procname=\"" + tw::ToNarrow(name.c_str()).c_str() +
                                "\" stabletime=\"0\" keepplacement=\"1\" placement=\"1,3000,100,3300,300\" />";
            ASSERT_TRUE(
                tw_test::WriteBytes(dir.File(L"config.xml"),
                                    "<?xml version=\"1.0\" encoding=\"gb2312\" ?>\n<config>" + entry + "</config>\n"));
            ASSERT_TRUE(tw::g_config.OpenIn(CStrW(dir.Path().c_str())));
            tw::LoadMonitorList();
            Start(1);
        } else {
            HWND window = Watch(helper, path, L"", L"", {0, 300, true, 0, 3});
            ASSERT_NE(window, nullptr);
            Start(1);
            SetWindowPos(window, nullptr, c.moved.left, c.moved.top, c.moved.right - c.moved.left,
                         c.moved.bottom - c.moved.top, SWP_NOZORDER | SWP_NOACTIVATE);
            ASSERT_TRUE(PumpUntil([&] { return KeptAt(c.moved); }, 4000));
            if (c.maximise) {
                // Asked of another process's window, only the posted form
                // acts under Wine.
                ShowWindowAsync(window, SW_SHOWMAXIMIZED);
                ASSERT_TRUE(PumpUntil([] { return Program().place.maximised; }, 4000));
                EXPECT_TRUE(KeptAt(c.moved)) << "the normal rectangle is kept";
            }
            before = helper.Id();
            helper.Stop();
        }
        ASSERT_NE(AwaitNewInstance(before, 8000), 0u) << LogText();
        HWND fresh = nullptr;
        ASSERT_TRUE(PumpUntil([&] { return (fresh = Program().window) != nullptr; }, 4000));
        if (c.maximise) {
            ASSERT_TRUE(PumpUntil([&] { return IsZoomed(fresh) != FALSE; }, 4000));
            POINT origin = {0, 0};
            EXPECT_EQ(MonitorFromWindow(fresh, MONITOR_DEFAULTTONULL),
                      MonitorFromPoint(origin, MONITOR_DEFAULTTOPRIMARY));
            ShowWindowAsync(fresh, SW_RESTORE);
        }
        RECT frame = {};
        EXPECT_TRUE(PumpUntil([&] { return GetWindowRect(fresh, &frame) && EqualRect(&frame, &c.expected); }, 4000))
            << frame.left << "," << frame.top << "," << frame.right << "," << frame.bottom;
        tw::EndMonitoring();
        tw::ClearPrograms();
        tw_test::EndAllRunning(path);
    }
}

// A helper that takes 160 MB is over its 64 MB limit: after three cycles it
// is asked to close, and one that does not is killed after the 5 s grace.
// Its restart (without the memory) is the only one, and the log names the
// figure once.
TEST_F(RecoveryTest, AProgramAboveItsMemoryLimitIsClosedAndRestartedOnce)
{
    const struct {
        const char* what;
        const wchar_t* options;
        DWORD exitCode; // 7 when it closed itself, 0 when it was killed
    } cases[] = {
        {"closes when asked", L"--allocate 160 --exit-code 7", 7},
        {"ignores the request", L"--allocate 160 --hang-on-message 16 --hang-for 60000", 0},
    };
    int row = 0;
    for (const auto& c : cases) {
        SCOPED_TRACE(c.what);
        tw::g_errorLog.ResetForTest();
        std::wstring path = HelperCopy((L"leaky" + std::to_wstring(row++) + L".exe").c_str());
        HelperProcess helper;
        ASSERT_NE(Watch(helper, path, c.options, L"", {0, 300, false, 64, 3}), nullptr);
        ASSERT_TRUE(PumpUntil([&] { return tw::ProcessPrivateBytes(helper.Id()) > 150ull << 20; }, 5000))
            << tw::ProcessPrivateBytes(helper.Id());
        ULONGLONG started = GetTickCount64();
        Start(1, 5);
        ASSERT_TRUE(PumpUntil([] { return LogLines(L"超过上限64 MB") == 1; }, 8000)) << LogText();
        ULONGLONG logged = GetTickCount64();
        EXPECT_GE(logged - started, 1800u) << "three cycles above the limit";
        ASSERT_TRUE(helper.WaitForExit(9000));
        DWORD exitCode = 0;
        GetExitCodeProcess(helper.Handle(), &exitCode);
        EXPECT_EQ(exitCode, c.exitCode);
        if (c.exitCode == 0) {
            EXPECT_GE(GetTickCount64() - logged, 4800u) << "killed after the grace";
        }
        std::wstring line = LogTexts().front();
        size_t at = line.find(L"占用私有内存");
        ASSERT_NE(at, std::wstring::npos) << LogText();
        EXPECT_GE(_wtoi(line.c_str() + at + 6), 160) << "the figure is named";
        DWORD fresh = AwaitNewInstance(helper.Id(), 5000);
        ASSERT_NE(fresh, 0u) << LogText();
        PumpFor(4500);
        EXPECT_EQ(LogLines(L"超过上限"), 1u) << LogText();
        EXPECT_EQ(LogLines(L"重启成功"), 1u) << LogText();
        EXPECT_EQ(tw::ProgramProcessId(0), fresh);
        tw::EndMonitoring();
        tw::ClearPrograms();
        tw_test::EndAllRunning(path);
    }
}
