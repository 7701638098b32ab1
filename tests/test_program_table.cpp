// The table of monitored programs and the start of a program, on real helper
// processes.
#include "config/config.h"
#include "core/app_messages.h"
#include "monitor/error_log.h"
#include "monitor/event_queue.h"
#include "monitor/fleet.h"
#include "monitor/launch.h"
#include "monitor/program_close.h"
#include "monitor/process_query.h"
#include "monitor/program_table.h"
#include "monitor/ui_links.h"
#include "tests/helper_process.h"
#include "tests/test_support.h"

#include <gtest/gtest.h>

#include <vector>

using tw::CMonitorItem;
using tw::CStrA;
using tw::CStrW;
using tw::g_config;
using tw::ProgramView;
using tw_test::HelperPath;
using tw_test::HelperProcess;

namespace {

std::string Narrow(const std::wstring& s)
{
    return tw::ToNarrow(s.c_str()).c_str();
}

std::string Entry(const std::wstring& path, HWND window = nullptr)
{
    return "<config hwnd=\"" + std::to_string(reinterpret_cast<INT_PTR>(window)) + "\" procpath=\"" + Narrow(path) +
           "\" procname=\"" + Narrow(path.substr(path.rfind(L'\\') + 1)) + "\" />";
}

class ProgramTableTest : public ::testing::Test {
protected:
    void SetUp() override
    {
        tw::ClearPrograms();
        tw::g_errorLog.ResetForTest();
        ASSERT_TRUE(g_config.OpenIn(CStrW(dir.Path().c_str())));
    }
    void TearDown() override
    {
        for (size_t i = 0; i < tw::g_programCount; ++i)
            tw::KillProgramProcess(i);
        tw::ClearPrograms();
        tw::g_errorLog.ResetForTest();
    }

    void Load(const std::string& entries)
    {
        ASSERT_TRUE(tw_test::WriteBytes(dir.File(L"config.xml"), "<config monitortime=\"5\">" + entries + "</config>"));
        ASSERT_TRUE(g_config.OpenIn(CStrW(dir.Path().c_str())));
        tw::LoadMonitorList();
    }
    // A record as the finder adds it (with some window), its instance gone.
    void AddRecord(const std::wstring& command, DWORD message = 0, const std::wstring& path = HelperPath())
    {
        CMonitorItem record = {};
        record.window = GetDesktopWindow();
        record.path.AssignChars(path.c_str(), 0);
        record.name.AssignChars(path.c_str() + path.rfind(L'\\') + 1, 0);
        record.command.AssignChars(command.c_str(), 0);
        record.messageValue = message;
        ASSERT_TRUE(tw::AppendProgram(record));
        tw::SetProgramAttachment(tw::g_programCount - 1, 0, nullptr);
    }
    static ProgramView View(size_t i)
    {
        ProgramView view;
        EXPECT_TRUE(tw::CopyProgram(i, &view));
        return view;
    }
    static std::wstring LastLogText()
    {
        CStrW text;
        tw::g_errorLog.ReadEntry(tw::g_errorLog.Count() - 1, nullptr, &text);
        return text.c_str();
    }

    tw_test::TempDir dir;
};

} // namespace

// A stored window that now belongs to another executable, also to one of
// the same file name in another folder, is not attached, and the program is
// not searched by its name either, though it runs.
TEST_F(ProgramTableTest, StoredWindowAttachesOnlyToItsOwnExecutable)
{
    HelperProcess plain, other;
    ASSERT_TRUE(plain.Start(L"--title Plain", HelperPath(false)));
    ASSERT_TRUE(other.Start(L"--title Other"));
    ASSERT_NE(plain.WaitForWindow(), nullptr);
    HWND otherWindow = other.WaitForWindow();
    ASSERT_NE(otherWindow, nullptr);
    std::wstring copy = dir.File(L"tollwick_helper.exe");
    ASSERT_TRUE(CopyFileW(HelperPath().c_str(), copy.c_str(), FALSE));
    Load(Entry(HelperPath(false), otherWindow) + Entry(copy, otherWindow) + Entry(HelperPath(), otherWindow));
    for (size_t i : {0, 1}) {
        EXPECT_EQ(View(i).rowColour, tw::kRowRed) << i;
        EXPECT_EQ(View(i).processId, 0u) << i;
        EXPECT_TRUE(View(i).title.IsEmpty()) << i;
    }
    EXPECT_EQ(View(2).window, otherWindow) << "its own stored window attaches";
    EXPECT_EQ(View(2).processId, other.Id());
    EXPECT_STREQ(View(2).title.c_str(), L"Other");
}

TEST_F(ProgramTableTest, AppendRefusesDuplicatesAndIncompleteRecords)
{
    HelperProcess helper;
    ASSERT_TRUE(helper.Start(L""));
    HWND window = helper.WaitForWindow();
    ASSERT_NE(window, nullptr);
    std::wstring path = HelperPath(), upper = path;
    for (wchar_t& c : upper)
        c = static_cast<wchar_t>(towupper(c));
    const struct {
        HWND window;
        const wchar_t* path;
        bool added;
    } records[] = {{window, path.c_str(), true},
                   {window, upper.c_str(), false},
                   {nullptr, L"C:\\x\\y.exe", false},
                   {window, L"", false}};
    for (const auto& r : records) {
        CMonitorItem record = {};
        record.window = r.window;
        record.processId = helper.Id();
        record.path.AssignChars(r.path, 0);
        record.name.AssignChars(L"tollwick_helper.exe", 0);
        EXPECT_EQ(tw::AppendProgram(record), r.added) << testing::PrintToString(r.path);
        record.path.Release();
        record.name.Release();
    }
    EXPECT_EQ(tw::g_programCount.load(), 1u);
    EXPECT_EQ(tw::ProgramRowColour(0), tw::kRowBlack);
}

// The duplicate check compares the long paths found as each program came in,
// whether loaded or picked: the helper under its short 8.3 name is no new
// program, a copy of it in another folder is.
TEST_F(ProgramTableTest, AppendComparesTheLongPathsOfLoadedAndPickedPrograms)
{
    std::wstring path = HelperPath(), copy = dir.File(L"copy of helper.exe");
    wchar_t shortName[MAX_PATH] = L"";
    ASSERT_GT(GetShortPathNameW(path.c_str(), shortName, MAX_PATH), 0u);
    ASSERT_NE(path, shortName) << "the path needs a short form of its own";
    ASSERT_TRUE(CopyFileW(path.c_str(), copy.c_str(), FALSE));
    auto add = [&](const std::wstring& picked) {
        CMonitorItem record = {};
        record.window = GetDesktopWindow();
        record.path.AssignChars(picked.c_str(), 0);
        bool added = tw::AppendProgram(record);
        record.path.Release();
        return added;
    };
    Load("<config procpath=\"" + Narrow(shortName) + "\" procname=\"tollwick_helper.exe\" />");
    EXPECT_FALSE(add(path)) << "the loaded short name";
    tw::ClearPrograms();
    EXPECT_TRUE(add(path));
    EXPECT_FALSE(add(shortName)) << "the picked long name";
    EXPECT_TRUE(add(copy));
    EXPECT_EQ(tw::g_programCount.load(), 2u);
}

// Comments are no programs: entry numbers count the program elements. The
// record that moves up keeps its watcher; a removed one's marks nothing.
TEST_F(ProgramTableTest, RemovingARecordShiftsTheRestAndSilencesItsWatcher)
{
    HelperProcess a, b, c;
    ASSERT_TRUE(a.Start(L"--title A"));
    ASSERT_TRUE(b.Start(L"--title B", HelperPath(false)));
    ASSERT_TRUE(c.Start(L"--title C"));
    HWND aWindow = a.WaitForWindow(), cWindow = c.WaitForWindow();
    ASSERT_NE(b.WaitForWindow(), nullptr);
    Load("<!-- first -->" + Entry(HelperPath(), aWindow) + "<!-- second -->" + Entry(HelperPath(false)) +
         Entry(HelperPath(), cWindow) + "<!-- last -->");
    ASSERT_EQ(View(1).processId, b.Id());
    tw::RemoveProgram(1);
    ASSERT_EQ(tw::g_programCount.load(), 2u);
    EXPECT_EQ(View(0).processId, a.Id());
    EXPECT_EQ(View(1).processId, c.Id());
    EXPECT_EQ(g_config.EntryCount(), 2u);
    EXPECT_EQ(g_config.GetInt(2, "hwnd", 0), reinterpret_cast<INT_PTR>(cWindow)) << "configuration entry 2 is gone";
    b.Stop();
    Sleep(500);
    EXPECT_EQ(tw::ProgramRowColour(1), tw::kRowBlack);
    c.Stop();
    EXPECT_TRUE(tw_test::WaitFor([] { return tw::ProgramRowColour(1) == tw::kRowRed; }, 5000));
    EXPECT_EQ(tw::ProgramRowColour(0), tw::kRowBlack);

    tw::ClearPrograms();
    EXPECT_EQ(tw::g_programCount.load(), 0u);
    EXPECT_EQ(g_config.EntryCount(), 0u);
    a.Stop();
    Sleep(200);
    EXPECT_FALSE(tw::CopyProgram(0, nullptr));
}

TEST(LaunchExecutable, StartsTheQuotedPathAndCommandInTheProgramsOwnFolder)
{
    DWORD error = 0;
    HANDLE process = reinterpret_cast<HANDLE>(1);
    for (const wchar_t* path : {L"tool.exe", L"\\tool.exe", L""})
        EXPECT_EQ(tw::LaunchExecutable(CStrW(path), CStrW(), &process, nullptr), 0u) << "no folder in the path";
    EXPECT_EQ(process, nullptr);
    // Windows names the missing file; Wine may name the missing folder first.
    EXPECT_EQ(tw::LaunchExecutable(CStrW(L"C:\\nowhere\\missing.exe"), CStrW(), nullptr, &error), 0u);
    EXPECT_NE(error, 0u);

    tw_test::TempDir dir;
    std::wstring info = dir.File(L"info.txt");
    std::wstring command = L"--no-window --exit-after 100 --write-info \"" + info + L"\"";
    DWORD id = tw::LaunchExecutable(CStrW(HelperPath().c_str()), CStrW(command.c_str()), &process, &error);
    ASSERT_NE(id, 0u);
    EXPECT_EQ(error, 0u);
    EXPECT_EQ(WaitForSingleObject(process, 10000), WAIT_OBJECT_0);
    CloseHandle(process);
    std::string folder = Narrow(tw_test::TestBinaryDirectory());
    EXPECT_EQ(tw_test::ReadBytes(info), "pid=" + std::to_string(id) + "\ncmdline=\"" + Narrow(HelperPath()) + "\" " +
                                            Narrow(command) + "\ncwd=" + folder.substr(0, folder.size() - 1) + "\n");
}

// A restart ends the old instance first, attaches the new one, sends it the
// message value (keeping its answer), logs the restart and tells the main
// window; the new instance's end turns the row red.
TEST_F(ProgramTableTest, ARestartAttachesTheNewInstanceAndLogsIt)
{
    HWND host = CreateWindowExW(0, L"STATIC", L"host", WS_POPUP, 0, 0, 10, 10, nullptr, nullptr, nullptr, nullptr);
    tw::g_engineWindow = host;
    AddRecord(L"--title Restarted --class TollwickRestart --answer 32769 77", 32769);
    tw::StartProgram(0);
    tw::g_engineWindow = nullptr;
    MSG msg;
    EXPECT_TRUE(PeekMessageW(&msg, host, tw::WM_TW_PROGRAMS_CHANGED, tw::WM_TW_PROGRAMS_CHANGED, PM_REMOVE));
    DestroyWindow(host);
    ProgramView view = View(0);
    ASSERT_NE(view.processId, 0u);
    EXPECT_NE(view.window, nullptr);
    EXPECT_EQ(std::wstring(view.title.c_str()) + L";" + view.className.c_str(), L"Restarted;TollwickRestart");
    EXPECT_EQ(view.rowColour, tw::kRowBlack);
    EXPECT_EQ(view.subroutineAddress, 77);
    EXPECT_EQ(LastLogText(),
              L"进程\"tollwick_helper.exe\"重启成功, 进程ID为:" + std::to_wstring(view.processId) + L"\n");

    tw::StartProgram(0);
    EXPECT_EQ(tw::FindProcessEntry(view.processId, nullptr), 0u);
    EXPECT_NE(View(0).processId, view.processId);
    EXPECT_EQ(tw::g_errorLog.Count(), 2u);
    tw::KillProgramProcess(0);
    EXPECT_TRUE(tw_test::WaitFor([] { return tw::ProgramRowColour(0) == tw::kRowRed; }, 5000));
}

// The program's window is the root owner of its first visible window; with
// no window, or with message value 0, nothing is sent and the answer stays.
TEST_F(ProgramTableTest, TheWindowIsTheRootOwnerAndAMessageNeedsOneAndAValue)
{
    AddRecord(L"--owned");
    tw::StartProgram(0);
    ASSERT_NE(View(0).window, nullptr);
    EXPECT_FALSE(IsWindowVisible(View(0).window));
    EXPECT_STREQ(View(0).className.c_str(), L"TollwickHelperOwner");

    AddRecord(L"--no-window", 32769, HelperPath(false));
    AddRecord(L"--answer 32769 77", 0, dir.File(L"copy.exe"));
    ASSERT_TRUE(CopyFileW(HelperPath().c_str(), dir.File(L"copy.exe").c_str(), FALSE));
    for (size_t i : {1, 2}) {
        tw::SetProgramSubroutine(i, 5);
        tw::StartProgram(i);
        EXPECT_NE(View(i).processId, 0u);
        EXPECT_EQ(View(i).subroutineAddress, 5) << i;
    }
}

TEST_F(ProgramTableTest, AFailedLaunchIsLoggedAsAFailureAndStaysRed)
{
    std::wstring missing = dir.File(L"missing.exe");
    AddRecord(L"", 0, missing);
    static tw::FleetEvent seen;
    tw::g_fleetEventSeam = [](const tw::FleetEvent& event) { tw::CopyFleetEvent(event, &seen); };
    tw::StartProgram(0);
    tw::g_fleetEventSeam = nullptr;
    EXPECT_EQ(seen.kind, tw::EventKind::StartFailed);
    EXPECT_EQ(seen.entry, 1);
    EXPECT_STREQ(seen.path.c_str(), missing.c_str());
    EXPECT_EQ(View(0).processId, 0u);
    EXPECT_EQ(View(0).rowColour, tw::kRowRed);
    ASSERT_EQ(tw::g_errorLog.Count(), 1u);
    EXPECT_EQ(LastLogText(), L"进程\"missing.exe\"启动失败, 路径为:" + missing + L", 错误代码为:2\n");
    // Tried again each period, but the same failure is not logged again; the
    // file's return starts the program.
    tw::StartProgram(0);
    EXPECT_EQ(tw::g_errorLog.Count(), 1u);
    ASSERT_TRUE(CopyFileW(HelperPath().c_str(), missing.c_str(), FALSE));
    tw::StartProgram(0);
    EXPECT_NE(View(0).processId, 0u);
}

// The timed close asks every program at once and waits for them together on
// a worker: the caller goes on, a program that saves before it goes is left
// to finish, one that refuses is ended once the grace has passed, and a
// process the id now names for another executable is neither asked nor
// ended. The window hears of it when all that is done.
TEST_F(ProgramTableTest, TheTimedCloseLetsProgramsSaveOnAWorkerAndEndsTheRefuserAfterTheGrace)
{
    std::wstring saved = dir.File(L"saved.txt");
    HelperProcess saver, refuser, other;
    ASSERT_TRUE(saver.Start(L"--title Saver --close-delay 1500 --write-info \"" + saved + L"\""));
    ASSERT_TRUE(refuser.Start(L"--title Refuser --answer 16 0", HelperPath(false)));
    ASSERT_TRUE(other.Start(L"--title Other"));
    HWND saverWindow = saver.WaitForWindow(), refuserWindow = refuser.WaitForWindow();
    HWND otherWindow = other.WaitForWindow();
    ASSERT_TRUE(saverWindow && refuserWindow && otherWindow);
    Load(Entry(HelperPath(), saverWindow) + Entry(HelperPath(false), refuserWindow));
    AddRecord(L"", 0, dir.File(L"gone.exe"));
    tw::SetProgramAttachment(2, other.Id(), otherWindow);
    ASSERT_EQ(View(0).processId, saver.Id());
    ASSERT_EQ(View(1).processId, refuser.Id());
    HWND host = CreateWindowExW(0, L"STATIC", L"host", WS_POPUP, 0, 0, 10, 10, nullptr, nullptr, nullptr, nullptr);

    ULONGLONG start = GetTickCount64();
    tw::CloseProgramsInTime(host, 4000);
    EXPECT_LT(GetTickCount64() - start, 2500u) << "the calling thread is not held";
    ASSERT_TRUE(saver.WaitForExit(4000)) << "the saver closes by itself within the grace";
    EXPECT_EQ(tw_test::ReadBytes(saved), "saved\n") << "after saving, not ended";
    EXPECT_TRUE(refuser.IsRunning()) << "the refuser is given the whole grace";
    MSG msg;
    EXPECT_TRUE(tw_test::WaitFor(
        [&] { return PeekMessageW(&msg, host, tw::WM_TW_PROGRAMS_CLOSED, tw::WM_TW_PROGRAMS_CLOSED, PM_REMOVE); },
        15000));
    EXPECT_FALSE(refuser.IsRunning()) << "ended after the grace, before the window hears";
    EXPECT_TRUE(other.IsRunning());
    DestroyWindow(host);
}

// A wait takes at most 64 handles; more are all waited for.
TEST(WaitForAllHandles, WaitsForMoreHandlesThanOneWaitTakes)
{
    std::vector<tw::CHandle> events;
    std::vector<HANDLE> handles;
    for (int i = 0; i < 70; ++i) {
        events.emplace_back(CreateEventW(nullptr, TRUE, i != 69, nullptr));
        handles.push_back(events.back().Get());
    }
    EXPECT_FALSE(tw::WaitForAllHandles(handles.data(), handles.size(), 200)) << "the 70th is not set";
    SetEvent(handles.back());
    EXPECT_TRUE(tw::WaitForAllHandles(handles.data(), handles.size(), 200));
}
