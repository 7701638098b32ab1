#include "config/config.h"
#include "core/app_messages.h"
#include "monitor/error_log.h"
#include "monitor/launch.h"
#include "monitor/process_query.h"
#include "monitor/program_table.h"
#include "monitor/ui_links.h"
#include "tests/helper_process.h"
#include "tests/test_support.h"

#include <gtest/gtest.h>

#include <string>

using tw::CMonitorItem;
using tw::CStrW;
using tw::ProgramView;
using tw_test::HelperPath;
using tw_test::HelperProcess;

namespace {

std::wstring Utf8ToWide(const std::string& s)
{
    int n = MultiByteToWideChar(CP_UTF8, 0, s.data(), static_cast<int>(s.size()), nullptr, 0);
    std::wstring w(static_cast<size_t>(n), L'\0');
    MultiByteToWideChar(CP_UTF8, 0, s.data(), static_cast<int>(s.size()), &w[0], n);
    return w;
}

// The value of "key=" in the helper's info file.
std::wstring InfoValue(const std::wstring& info, const std::wstring& key)
{
    size_t at = info.find(key + L"=");
    if (at == std::wstring::npos)
        return L"";
    size_t start = at + key.size() + 1;
    return info.substr(start, info.find(L'\n', start) - start);
}

class LaunchTest : public ::testing::Test {
protected:
    void SetUp() override
    {
        tw::ClearPrograms();
        tw::g_errorLog.ResetForTest();
        ASSERT_TRUE(tw::g_config.OpenIn(CStrW(dir.Path().c_str())));
    }
    void TearDown() override
    {
        for (size_t i = 0; i < tw::g_programCount; ++i)
            tw::KillProgramProcess(i);
        tw::ClearPrograms();
        tw::g_errorLog.ResetForTest();
    }

    // A record for the helper program, as the picker would add it, but not
    // attached to any instance yet.
    void AddHelperRecord(const std::wstring& command, DWORD message = 0, const std::wstring& path = HelperPath())
    {
        HelperProcess stand;
        ASSERT_TRUE(stand.Start(L""));
        HWND window = stand.WaitForWindow();
        ASSERT_NE(window, nullptr);
        CMonitorItem record = {};
        record.window = window;
        record.path.AssignChars(path.c_str(), 0);
        record.name.AssignChars(path.c_str() + path.rfind(L'\\') + 1, 0);
        record.command.AssignChars(command.c_str(), 0);
        record.messageValue = message;
        ASSERT_TRUE(tw::AppendProgram(record));
        stand.Stop();
        tw::SetProgramAttachment(tw::g_programCount - 1, 0, nullptr);
    }

    ProgramView View(size_t i)
    {
        ProgramView view;
        EXPECT_TRUE(tw::CopyProgram(i, &view));
        return view;
    }

    std::wstring LastLogText()
    {
        CStrW text;
        size_t count = tw::g_errorLog.Count();
        if (count)
            tw::g_errorLog.ReadEntry(count - 1, nullptr, &text);
        return text.c_str();
    }

    tw_test::TempDir dir;
};

} // namespace

TEST(LaunchExecutable, NeedsAFolderInThePath)
{
    DWORD error = 0;
    HANDLE process = reinterpret_cast<HANDLE>(1);
    EXPECT_EQ(tw::LaunchExecutable(CStrW(L"tool.exe"), CStrW(), &process, &error), 0u);
    EXPECT_EQ(process, nullptr);
    EXPECT_EQ(tw::LaunchExecutable(CStrW(L"\\tool.exe"), CStrW(), nullptr, nullptr), 0u);
    EXPECT_EQ(tw::LaunchExecutable(CStrW(), CStrW(), nullptr, nullptr), 0u);
}

TEST(LaunchExecutable, QuotedPathSpaceAndCommandInTheProgramsOwnFolder)
{
    tw_test::TempDir dir;
    std::wstring info = dir.File(L"info.txt");
    std::wstring command = L"--no-window --exit-after 100 --write-info \"" + info + L"\"";
    HANDLE process = nullptr;
    DWORD error = 1;
    DWORD id = tw::LaunchExecutable(CStrW(HelperPath().c_str()), CStrW(command.c_str()), &process, &error);
    ASSERT_NE(id, 0u);
    ASSERT_NE(process, nullptr);
    EXPECT_EQ(error, 0u);
    EXPECT_EQ(WaitForSingleObject(process, 10000), WAIT_OBJECT_0);
    CloseHandle(process);
    std::wstring text = Utf8ToWide(tw_test::ReadBytes(info));
    EXPECT_EQ(InfoValue(text, L"pid"), std::to_wstring(id));
    EXPECT_EQ(InfoValue(text, L"cmdline"), L"\"" + HelperPath() + L"\" " + command);
    std::wstring folder = tw_test::TestBinaryDirectory();
    EXPECT_EQ(_wcsicmp(InfoValue(text, L"cwd").c_str(), folder.substr(0, folder.size() - 1).c_str()), 0)
        << InfoValue(text, L"cwd").c_str();
}

TEST(LaunchExecutable, AnEmptyCommandLeavesOnlyTheQuotedPathAndASpace)
{
    HANDLE process = nullptr;
    DWORD id = tw::LaunchExecutable(CStrW(HelperPath().c_str()), CStrW(), &process, nullptr);
    ASSERT_NE(id, 0u);
    HWND window = nullptr;
    for (int i = 0; i < 500 && !window; ++i, Sleep(20))
        window = tw_test::VisibleWindowOf(id);
    EXPECT_NE(window, nullptr) << "started with no options, it shows its window";
    TerminateProcess(process, 0);
    WaitForSingleObject(process, 5000);
    CloseHandle(process);
}

TEST(LaunchExecutable, AMissingExecutableReportsTheSystemError)
{
    DWORD error = 0;
    EXPECT_EQ(tw::LaunchExecutable(CStrW(L"C:\\nowhere\\missing.exe"), CStrW(), nullptr, &error), 0u);
    // Windows names the missing file; Wine may name the missing folder first.
    EXPECT_NE(error, 0u);
}

TEST_F(LaunchTest, RestartAttachesTheNewInstanceAndLogsIt)
{
    AddHelperRecord(L"--title Restarted --class TollwickRestart");
    tw::StartProgram(0);
    ProgramView view = View(0);
    ASSERT_NE(view.processId, 0u);
    EXPECT_NE(view.window, nullptr);
    EXPECT_STREQ(view.title.c_str(), L"Restarted");
    EXPECT_STREQ(view.className.c_str(), L"TollwickRestart");
    EXPECT_EQ(view.rowColour, tw::kRowBlack);
    EXPECT_EQ(LastLogText(),
              L"进程\"tollwick_helper.exe\"重启成功, 进程ID为:" + std::to_wstring(view.processId) + L"\n");

    // A second restart ends the first instance before starting anew.
    DWORD first = view.processId;
    tw::StartProgram(0);
    EXPECT_EQ(tw::FindProcessEntry(first, nullptr), 0u);
    EXPECT_NE(View(0).processId, first);
    EXPECT_EQ(tw::g_errorLog.Count(), 2u);

    // The new instance is watched: its end turns the row red.
    tw::KillProgramProcess(0);
    bool red = false;
    for (int i = 0; i < 250 && !red; ++i, Sleep(20))
        red = tw::ProgramRowColour(0) == tw::kRowRed;
    EXPECT_TRUE(red);
}

TEST_F(LaunchTest, WindowIsTheRootOwnerOfTheFirstVisibleWindow)
{
    AddHelperRecord(L"--owned");
    tw::StartProgram(0);
    ProgramView view = View(0);
    ASSERT_NE(view.window, nullptr);
    EXPECT_FALSE(IsWindowVisible(view.window));
    EXPECT_STREQ(view.className.c_str(), L"TollwickHelperOwner");
}

TEST_F(LaunchTest, TheMessageValueIsSentAndItsAnswerKept)
{
    AddHelperRecord(L"--answer 32769 77", 32769);
    tw::StartProgram(0);
    EXPECT_EQ(View(0).subroutineAddress, 77);
}

TEST_F(LaunchTest, WithoutAnAnswerTheSubroutineAddressStays)
{
    AddHelperRecord(L"--no-window", 32769);
    tw::SetProgramSubroutine(0, 5);
    tw::StartProgram(0);
    EXPECT_NE(View(0).processId, 0u);
    EXPECT_EQ(View(0).window, nullptr) << "no window to send to";
    EXPECT_EQ(View(0).subroutineAddress, 5);

    tw::KillProgramProcess(0);
    tw::SetProgramSubroutine(0, 6);
    tw::SetProgramAttachment(0, 0, nullptr);
    {
        tw::CLock lock(tw::TableLock());
        CMonitorItem& record = tw::g_monitorList.At(0);
        record.messageValue = 0;
        record.command.AssignChars(L"--answer 32769 77", 0);
    }
    tw::StartProgram(0);
    EXPECT_EQ(View(0).subroutineAddress, 6) << "message value 0 sends nothing";
}

TEST_F(LaunchTest, TheMainWindowHearsOfTheRestart)
{
    HWND host = CreateWindowExW(0, L"STATIC", L"host", WS_POPUP, 0, 0, 10, 10, nullptr, nullptr,
                                GetModuleHandleW(nullptr), nullptr);
    ASSERT_NE(host, nullptr);
    tw::g_mainWindow = host;
    AddHelperRecord(L"");
    tw::StartProgram(0);
    tw::g_mainWindow = nullptr;
    MSG msg;
    EXPECT_TRUE(PeekMessageW(&msg, host, tw::WM_TW_PROGRAMS_CHANGED, tw::WM_TW_PROGRAMS_CHANGED, PM_REMOVE));
    DestroyWindow(host);
}

TEST_F(LaunchTest, AFailedLaunchIsLoggedAsAFailureAndStaysRed)
{
    std::wstring missing = dir.File(L"missing.exe");
    AddHelperRecord(L"", 0, missing);
    tw::StartProgram(0);
    ProgramView view = View(0);
    EXPECT_EQ(view.processId, 0u);
    EXPECT_EQ(view.rowColour, tw::kRowRed);
    ASSERT_EQ(tw::g_errorLog.Count(), 1u);
    EXPECT_EQ(LastLogText(), L"进程\"missing.exe\"启动失败, 路径为:" + missing + L", 错误代码为:2\n");
    // Tried again each period, but the same failure is not logged again; the
    // file's return starts the program.
    tw::StartProgram(0);
    EXPECT_EQ(tw::g_errorLog.Count(), 1u);
    ASSERT_TRUE(CopyFileW(HelperPath().c_str(), missing.c_str(), FALSE));
    tw::StartProgram(0);
    EXPECT_NE(View(0).processId, 0u);
    EXPECT_EQ(LastLogText(), L"进程\"missing.exe\"重启成功, 进程ID为:" + std::to_wstring(View(0).processId) + L"\n");
}
