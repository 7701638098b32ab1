// Crashes held open by the crash reporter: the reporter's command line, the
// exclusion of watched executables from error reporting, and, under Wine
// with winedbg's crash box on, a crashed helper ended at once, the box
// closed and the program started again.
#include "config/config.h"
#include "monitor/crash_reporter.h"
#include "monitor/error_log.h"
#include "monitor/monitor.h"
#include "monitor/process_query.h"
#include "monitor/program_table.h"
#include "tests/helper_process.h"
#include "tests/host_window.h"
#include "tests/running.h"
#include "tests/test_support.h"

#include <gtest/gtest.h>

#include <memory>

using tw_test::HelperProcess;
using tw_test::PumpUntil;

namespace {

size_t Logged(const std::wstring& text)
{
    size_t n = 0;
    for (size_t i = 0; i < tw::g_errorLog.Count(); ++i) {
        tw::CStrW entry;
        tw::g_errorLog.ReadEntry(i, nullptr, &entry);
        n += text == entry.c_str();
    }
    return n;
}

bool UnderWine()
{
    return GetProcAddress(GetModuleHandleW(L"ntdll.dll"), "wine_get_version") != nullptr;
}

// Whether the current user's error reporting leaves the file name out. Wine
// keeps the list under another key than Windows does; either is looked at.
bool Excluded(const wchar_t* fileName)
{
    for (const wchar_t* key : {L"Software\\Microsoft\\Windows\\Windows Error Reporting\\ExcludedApplications",
                               L"Software\\Microsoft\\Windows Error Reporting\\ExcludedApplications"}) {
        DWORD value = 0, size = sizeof(value);
        if (RegGetValueW(HKEY_CURRENT_USER, key, fileName, RRF_RT_REG_DWORD, nullptr, &value, &size) == ERROR_SUCCESS &&
            value)
            return true;
    }
    return false;
}

// winedbg's "Program Error" box on for the test, as it is on a desktop Wine;
// the value the prefix had comes back afterwards.
class WineCrashBox {
public:
    WineCrashBox()
    {
        DWORD size = sizeof(m_old);
        m_had =
            RegGetValueW(HKEY_CURRENT_USER, kKey, kValue, RRF_RT_REG_DWORD, nullptr, &m_old, &size) == ERROR_SUCCESS;
        DWORD on = 1;
        m_set = RegSetKeyValueW(HKEY_CURRENT_USER, kKey, kValue, REG_DWORD, &on, sizeof(on)) == ERROR_SUCCESS;
    }
    ~WineCrashBox()
    {
        if (m_had)
            RegSetKeyValueW(HKEY_CURRENT_USER, kKey, kValue, REG_DWORD, &m_old, sizeof(m_old));
        else
            RegDeleteKeyValueW(HKEY_CURRENT_USER, kKey, kValue);
    }
    bool IsOn() const { return m_set; }

private:
    static constexpr const wchar_t* kKey = L"Software\\Wine\\WineDbg";
    static constexpr const wchar_t* kValue = L"ShowCrashDialog";
    DWORD m_old = 0;
    bool m_had = false, m_set = false;
};

// The visible top-level windows of every crash reporter process.
size_t ReporterWindows()
{
    size_t count = 0;
    for (HWND window = FindWindowExW(nullptr, nullptr, nullptr, nullptr); window;
         window = FindWindowExW(nullptr, window, nullptr, nullptr)) {
        DWORD owner = 0;
        PROCESSENTRY32W entry = {};
        if (IsWindowVisible(window) && GetWindowThreadProcessId(window, &owner) &&
            tw::FindProcessEntry(owner, &entry) &&
            (_wcsicmp(entry.szExeFile, L"winedbg.exe") == 0 || _wcsicmp(entry.szExeFile, L"WerFault.exe") == 0))
            ++count;
    }
    return count;
}

// What a monitor test needs, as MonitorTest has it: an empty table and log,
// a configuration in a folder of its own and a host window.
class CrashReporterTest : public ::testing::Test {
protected:
    void SetUp() override
    {
        tw::ClearPrograms();
        tw::g_errorLog.ResetForTest();
        ASSERT_TRUE(tw::g_config.OpenIn(tw::CStrW(dir.Path().c_str())));
        host.reset(new tw_test::HostWindow);
    }
    void TearDown() override
    {
        tw::EndMonitoring();
        for (size_t i = 0; i < tw::g_programCount; ++i)
            tw::KillProgramProcess(i);
        tw::ClearPrograms();
        host.reset();
        tw::g_errorLog.ResetForTest();
        tw_test::EndAllRunning(copy);
    }
    // A record of path with some window and no instance.
    static bool Add(const wchar_t* path, HWND window = GetDesktopWindow(), DWORD processId = 0)
    {
        tw::CMonitorItem item = {};
        item.window = window;
        item.processId = processId;
        item.path.AssignChars(path, 0);
        item.name.AssignChars(wcsrchr(path, L'\\') + 1, 0);
        return tw::AppendProgram(item);
    }

    tw_test::TempDir dir;
    std::unique_ptr<tw_test::HostWindow> host;
    std::wstring copy;
};

} // namespace

// The id is the whole token after the switch: "-p 1234" holds neither 123
// nor 12345, and "-p123" (written by neither reporter) holds nothing.
TEST(CrashReporter, TheHeldIdIsTheWholeDecimalTokenAfterTheSwitch)
{
    const struct {
        const wchar_t* line;
        DWORD held;
    } cases[] = {
        {L"C:\\Windows\\system32\\WerFault.exe -u -p 123 -s 456", 123},
        {L"WerFault.exe -u -p 1234 -s 456", 1234},
        {L"winedbg --auto 352 56", 352},
        {L"\"C:\\x -p 7\\WerFault.exe\" -u -p 9 -s 1", 9},
        {L"WerFault.exe -u -s 4 -P\t77", 77},
        {L"WerFault.exe -p123", 0},
        {L"WerFault.exe -p 123x", 0},
        {L"WerFault.exe -p -s 12", 0},
        {L"WerFault.exe -p", 0},
        {L"WerFault.exe -p 4294967296", 0},
        {L"WerFault.exe -p 4294967295", 4294967295u},
        {L"winedbg --autox 5", 0},
        {L"WerFault.exe -k -rq", 0},
        {L"", 0},
    };
    for (const auto& c : cases)
        EXPECT_EQ(tw::HeldProcessId(c.line), c.held) << testing::PrintToString(std::wstring(c.line));
    EXPECT_EQ(tw::HeldProcessId(nullptr), 0u);
}

// Read from another live process as the system keeps it; nothing of one
// that has gone.
TEST(CrashReporter, AnotherProcesssCommandLineIsReadFromItsParameters)
{
    HelperProcess helper;
    const std::wstring options = L"--title \"命令 行\" -u -p 4242 -s 7";
    ASSERT_TRUE(helper.Start(options));
    ASSERT_NE(helper.WaitForWindow(), nullptr);
    tw::CStrW line = tw::ReadProcessCommandLine(helper.Id());
    EXPECT_EQ(std::wstring(line.c_str()), L"\"" + tw_test::HelperPath() + L"\" " + options);
    EXPECT_EQ(tw::HeldProcessId(line.c_str()), 4242u);
    DWORD id = helper.Id();
    helper.Stop();
    EXPECT_TRUE(tw::ReadProcessCommandLine(id).IsEmpty());
    EXPECT_TRUE(tw::ReadProcessCommandLine(0).IsEmpty());
}

// A file name stays left out while any entry has it (ignoring case), and
// the start of monitoring leaves out the entries loaded from config.xml.
TEST_F(CrashReporterTest, WatchedFileNamesAreLeftOutOfErrorReportingWhileAnEntryHasThem)
{
    ASSERT_TRUE(Add(L"C:\\a\\TwKiosk.exe") && Add(L"C:\\b\\twkiosk.EXE") && Add(L"C:\\c\\TwOther.exe"));
    EXPECT_TRUE(Excluded(L"TwKiosk.exe") && Excluded(L"TwOther.exe"));
    tw::RemoveProgram(0);
    EXPECT_TRUE(Excluded(L"TwKiosk.exe")) << "the other entry of that name is left";
    tw::RemoveProgram(0);
    EXPECT_FALSE(Excluded(L"TwKiosk.exe"));
    EXPECT_TRUE(Excluded(L"TwOther.exe"));
    tw::ClearPrograms();
    EXPECT_FALSE(Excluded(L"TwOther.exe"));
    ASSERT_TRUE(tw_test::WriteBytes(dir.File(L"config.xml"),
                                    "<config><config procpath=\"C:\\loaded\\TwLoaded.exe\" /></config>"));
    ASSERT_TRUE(tw::g_config.OpenIn(tw::CStrW(dir.Path().c_str())));
    tw::LoadMonitorList();
    ASSERT_EQ(tw::g_programCount.load(), 1u);
    EXPECT_FALSE(Excluded(L"TwLoaded.exe"));
    tw::StartMonitoringAll();
    EXPECT_TRUE(Excluded(L"TwLoaded.exe"));
    tw::EndMonitoring();
    tw::ClearPrograms();
    EXPECT_FALSE(Excluded(L"TwLoaded.exe"));
}

// A program whose window takes its messages is never looked up: at idle the
// check walks no processes.
TEST_F(CrashReporterTest, AHealthyProgramCostsNoWalkOfTheProcesses)
{
    HelperProcess helper;
    ASSERT_TRUE(helper.Start(L""));
    ASSERT_TRUE(Add(tw_test::HelperPath().c_str(), helper.WaitForWindow(), helper.Id()));
    unsigned long long walks = tw::g_reporterWalks.load(), cycles = tw::g_monitorStats.cycles.load();
    tw::g_config.SetInt(0, "monitortime", 1);
    tw::BeginMonitoring();
    ASSERT_TRUE(tw::StartMonitorThread(0));
    tw_test::PumpFor(3500);
    EXPECT_GE(tw::g_monitorStats.cycles.load() - cycles, 3u);
    EXPECT_EQ(tw::g_reporterWalks.load(), walks);
    EXPECT_TRUE(helper.IsRunning());
}

// A helper that crashes without a crash filter of its own sits behind
// winedbg's box. With a grace of a minute, it is ended within seconds (once
// its window has taken no messages for the system's 5 s), the box goes, the
// log says so and a new instance runs.
TEST_F(CrashReporterTest, AnInstanceHeldByTheCrashReporterIsEndedAtOnceAndStartedAgain)
{
    if (!UnderWine())
        GTEST_SKIP() << "on Windows the exclusion keeps the reporter's box away";
    WineCrashBox box;
    ASSERT_TRUE(box.IsOn());
    copy = dir.File(L"crashraw.exe");
    ASSERT_TRUE(CopyFileW(tw_test::HelperPath(false).c_str(), copy.c_str(), FALSE));
    HelperProcess helper;
    ASSERT_TRUE(helper.Start(L"--crash-raw-after 1500", copy));
    ASSERT_TRUE(Add(copy.c_str(), helper.WaitForWindow(), helper.Id()));
    tw::g_config.SetInt(0, "monitortime", 1);
    tw::g_config.SetInt(0, "unresponsetime", 60);
    tw::BeginMonitoring();
    ASSERT_TRUE(tw::StartMonitorThread(0));
    ASSERT_TRUE(PumpUntil([] { return ReporterWindows() > 0; }, 8000)) << "the crash box came up";
    ULONGLONG shown = GetTickCount64();
    const std::wstring line = L"进程\"crashraw.exe\"已崩溃, 已结束并重新启动, 进程ID为:" + std::to_wstring(helper.Id());
    ASSERT_TRUE(PumpUntil([&] { return Logged(line) == 1; }, 15000));
    EXPECT_TRUE(helper.WaitForExit(2000));
    EXPECT_LT(GetTickCount64() - shown, 15000u) << "well within the grace";
    EXPECT_TRUE(PumpUntil([] { return ReporterWindows() == 0; }, 8000)) << "the box is closed";
    DWORD fresh = 0;
    EXPECT_TRUE(PumpUntil(
        [&] { return (fresh = tw::ProgramProcessId(0)) != helper.Id() && tw::FindProcessEntry(fresh, nullptr); },
        8000));
    EXPECT_EQ(tw_test::CountRunning(copy), 1u);
    EXPECT_EQ(Logged(line), 1u) << "said once";
}
