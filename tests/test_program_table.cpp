#include "config/config.h"
#include "monitor/program_table.h"
#include "tests/helper_process.h"
#include "tests/test_support.h"

#include <gtest/gtest.h>

#include <string>

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
std::string FileName(const std::wstring& path)
{
    return Narrow(path.substr(path.rfind(L'\\') + 1));
}

std::string Entry(const std::wstring& path, long long hwnd = 0)
{
    return "<config hwnd=\"" + std::to_string(hwnd) + "\" procpath=\"" + Narrow(path) + "\" procname=\"" +
           FileName(path) + "\" errflag=\"E\" message=\"7\" command=\"--x\" arg=\"" + Narrow(L"a|__#_换_行_符__|b") +
           "\" />";
}

long long HandleValue(HWND window)
{
    return static_cast<long long>(reinterpret_cast<INT_PTR>(window));
}

class ProgramTableTest : public ::testing::Test {
protected:
    void SetUp() override { tw::ClearPrograms(); }
    void TearDown() override { tw::ClearPrograms(); }

    void Load(const std::string& entries)
    {
        std::string xml =
            "<?xml version=\"1.0\" encoding=\"gb2312\" ?>\n<config monitortime=\"5\">" + entries + "</config>\n";
        ASSERT_TRUE(tw_test::WriteBytes(dir.File(L"config.xml"), xml));
        ASSERT_TRUE(g_config.OpenIn(CStrW(dir.Path().c_str())));
        tw::LoadMonitorList();
    }

    ProgramView View(size_t i)
    {
        ProgramView view;
        EXPECT_TRUE(tw::CopyProgram(i, &view));
        return view;
    }

    static bool WaitForColour(size_t i, COLORREF colour, DWORD timeoutMs = 5000)
    {
        for (DWORD start = GetTickCount(); GetTickCount() - start < timeoutMs; Sleep(20)) {
            if (tw::ProgramRowColour(i) == colour)
                return true;
        }
        return tw::ProgramRowColour(i) == colour;
    }

    tw_test::TempDir dir;
};

} // namespace

TEST_F(ProgramTableTest, LoadAttachesRunningProgramsAndLeavesTheOthersRed)
{
    HelperProcess first;
    HelperProcess third;
    ASSERT_TRUE(first.Start(L"--title First"));
    ASSERT_TRUE(third.Start(L"--title Third", HelperPath(false)));
    ASSERT_NE(first.WaitForWindow(), nullptr);
    ASSERT_NE(third.WaitForWindow(), nullptr);
    Load(Entry(HelperPath()) + Entry(L"C:\\nowhere\\missing.exe") + Entry(HelperPath(false)));

    ASSERT_EQ(tw::g_programCount.load(), 3u);
    ProgramView one = View(0);
    EXPECT_EQ(one.processId, first.Id());
    EXPECT_EQ(one.rowColour, tw::kRowBlack);
    EXPECT_STREQ(one.title.c_str(), L"First");
    EXPECT_STREQ(one.className.c_str(), L"TollwickHelperWnd");
    EXPECT_STREQ(one.errflag.c_str(), L"E");
    EXPECT_STREQ(one.command.c_str(), L"--x");
    EXPECT_STREQ(one.parameters.c_str(), L"a|__#_换_行_符__|b");
    EXPECT_EQ(one.messageValue, 7u);

    ProgramView two = View(1);
    EXPECT_EQ(two.rowColour, tw::kRowRed);
    EXPECT_EQ(two.processId, 0u);
    EXPECT_EQ(two.window, nullptr);
    EXPECT_TRUE(two.title.IsEmpty());
    EXPECT_TRUE(two.className.IsEmpty());

    EXPECT_EQ(View(2).processId, third.Id());
    EXPECT_EQ(View(2).rowColour, tw::kRowBlack);
}

TEST_F(ProgramTableTest, TwoEntriesOfOneProgramAttachToTwoInstances)
{
    HelperProcess a;
    HelperProcess b;
    ASSERT_TRUE(a.Start(L""));
    ASSERT_TRUE(b.Start(L""));
    ASSERT_NE(a.WaitForWindow(), nullptr);
    ASSERT_NE(b.WaitForWindow(), nullptr);
    Load(Entry(HelperPath()) + Entry(HelperPath()));
    DWORD first = View(0).processId;
    DWORD second = View(1).processId;
    EXPECT_TRUE(first == a.Id() || first == b.Id());
    EXPECT_TRUE(second == a.Id() || second == b.Id());
    EXPECT_NE(first, second);
}

TEST_F(ProgramTableTest, StoredWindowAttachesOnlyToItsOwnExecutable)
{
    HelperProcess plain;
    HelperProcess other;
    ASSERT_TRUE(plain.Start(L"--title Plain", HelperPath(false)));
    ASSERT_TRUE(other.Start(L"--title Other"));
    ASSERT_NE(plain.WaitForWindow(), nullptr);
    HWND otherWindow = other.WaitForWindow();
    ASSERT_NE(otherWindow, nullptr);
    // The stored window now belongs to another executable: no attach, and no
    // search by name either, though the program runs.
    Load(Entry(HelperPath(false), HandleValue(otherWindow)) + Entry(HelperPath(), HandleValue(otherWindow)));
    EXPECT_EQ(View(0).rowColour, tw::kRowRed);
    EXPECT_EQ(View(0).processId, 0u);
    EXPECT_TRUE(View(0).title.IsEmpty());
    EXPECT_EQ(View(1).window, otherWindow) << "its own stored window attaches";
    EXPECT_EQ(View(1).processId, other.Id());
    EXPECT_STREQ(View(1).title.c_str(), L"Other");

    // The same file name in another folder is another program.
    std::wstring copy = dir.File(L"tollwick_helper.exe");
    ASSERT_TRUE(CopyFileW(HelperPath().c_str(), copy.c_str(), FALSE));
    tw::ClearPrograms();
    Load(Entry(copy, HandleValue(otherWindow)));
    EXPECT_EQ(View(0).processId, 0u);
    EXPECT_EQ(View(0).rowColour, tw::kRowRed);
}

TEST_F(ProgramTableTest, AppendRefusesDuplicatesAndIncompleteRecords)
{
    HelperProcess helper;
    ASSERT_TRUE(helper.Start(L""));
    HWND window = helper.WaitForWindow();
    ASSERT_NE(window, nullptr);
    Load("");
    CMonitorItem record = {};
    record.window = window;
    record.processId = helper.Id();
    record.path.AssignChars(HelperPath().c_str(), 0);
    record.name.AssignChars(L"tollwick_helper.exe", 0);
    ASSERT_TRUE(tw::AppendProgram(record));
    EXPECT_EQ(tw::g_programCount.load(), 1u);

    std::wstring upper = HelperPath();
    for (wchar_t& c : upper)
        c = static_cast<wchar_t>(towupper(c));
    CMonitorItem same = {};
    same.window = window;
    same.path.AssignChars(upper.c_str(), 0);
    EXPECT_FALSE(tw::AppendProgram(same));
    CMonitorItem noWindow = {};
    noWindow.path.AssignChars(L"C:\\x\\y.exe", 0);
    EXPECT_FALSE(tw::AppendProgram(noWindow));
    CMonitorItem noPath = {};
    noPath.window = window;
    EXPECT_FALSE(tw::AppendProgram(noPath));
    EXPECT_EQ(tw::g_programCount.load(), 1u);
    same.path.Release();
    noWindow.path.Release();

    // Its exit watcher marks the row when the program ends.
    EXPECT_EQ(tw::ProgramRowColour(0), tw::kRowBlack);
    helper.Stop();
    EXPECT_TRUE(WaitForColour(0, tw::kRowRed));
}

TEST_F(ProgramTableTest, RemovingARecordShiftsTheRestAndSilencesItsWatcher)
{
    HelperProcess a;
    HelperProcess b;
    HelperProcess c;
    ASSERT_TRUE(a.Start(L"--title A"));
    ASSERT_TRUE(b.Start(L"--title B", HelperPath(false)));
    ASSERT_TRUE(c.Start(L"--title C"));
    ASSERT_NE(a.WaitForWindow(), nullptr);
    ASSERT_NE(b.WaitForWindow(), nullptr);
    HWND cWindow = c.WaitForWindow();
    ASSERT_NE(cWindow, nullptr);
    HWND aWindow = a.WaitForWindow();
    // Comments are no programs: entry numbers count the program elements.
    Load("<!-- first -->" + Entry(HelperPath(), HandleValue(aWindow)) + "<!-- second -->" + Entry(HelperPath(false)) +
         Entry(HelperPath(), HandleValue(cWindow)) + "<!-- last -->");
    ASSERT_EQ(tw::g_programCount.load(), 3u);
    ASSERT_EQ(View(1).processId, b.Id());

    tw::RemoveProgram(1);
    ASSERT_EQ(tw::g_programCount.load(), 2u);
    EXPECT_EQ(View(0).processId, a.Id());
    EXPECT_EQ(View(1).processId, c.Id());
    EXPECT_EQ(g_config.EntryCount(), 2u);
    EXPECT_EQ(g_config.GetInt(2, "hwnd", 0), HandleValue(cWindow)) << "configuration entry 2 is gone";

    b.Stop();
    Sleep(500);
    EXPECT_EQ(tw::ProgramRowColour(0), tw::kRowBlack);
    EXPECT_EQ(tw::ProgramRowColour(1), tw::kRowBlack);
    // The record that moved up keeps its watcher.
    c.Stop();
    EXPECT_TRUE(WaitForColour(1, tw::kRowRed));
    EXPECT_EQ(tw::ProgramRowColour(0), tw::kRowBlack);
}

TEST_F(ProgramTableTest, ClearRemovesTheRecordsAndTheirEntries)
{
    HelperProcess helper;
    ASSERT_TRUE(helper.Start(L""));
    ASSERT_NE(helper.WaitForWindow(), nullptr);
    Load(Entry(HelperPath()) + Entry(L"C:\\nowhere\\missing.exe"));
    tw::ClearPrograms();
    EXPECT_EQ(tw::g_programCount.load(), 0u);
    EXPECT_EQ(g_config.EntryCount(), 0u);
    helper.Stop();
    Sleep(200);
    EXPECT_FALSE(tw::CopyProgram(0, nullptr));
}

TEST_F(ProgramTableTest, TheTableIsWrittenBackIntoTheConfiguration)
{
    HelperProcess helper;
    ASSERT_TRUE(helper.Start(L"--title Saved --class TollwickSaveTest"));
    HWND window = helper.WaitForWindow();
    ASSERT_NE(window, nullptr);
    Load(Entry(HelperPath()) + Entry(L"C:\\nowhere\\missing.exe"));
    for (size_t i = 0; i < tw::g_programCount; ++i)
        tw::SaveMonitorList(i);
    ASSERT_TRUE(g_config.Save());
    EXPECT_EQ(g_config.GetInt(1, "hwnd", -1), HandleValue(window));
    EXPECT_STREQ(g_config.GetText(1, "title", CStrA()).c_str(), "Saved");
    EXPECT_STREQ(g_config.GetText(1, "classname", CStrA()).c_str(), "TollwickSaveTest");
    EXPECT_EQ(g_config.GetInt(2, "hwnd", -1), 0) << "an unattached entry stores no window";
    EXPECT_TRUE(g_config.GetText(2, "title", CStrA()).IsEmpty()) << "empty texts are not written";
    std::string file = tw_test::ReadBytes(dir.File(L"config.xml"));
    EXPECT_NE(file.find("<config hwnd=\"" + std::to_string(HandleValue(window)) + "\" procpath=\"" +
                        Narrow(HelperPath()) +
                        "\" procname=\"tollwick_helper.exe\" errflag=\"E\" message=\"7\" "
                        "command=\"--x\" arg=\"a"),
              std::string::npos)
        << file;
    EXPECT_NE(file.find("classname=\"TollwickSaveTest\" title=\"Saved\" />"), std::string::npos) << file;
}
