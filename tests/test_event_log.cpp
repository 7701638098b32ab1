// The error log on disk: lines appended as entries are added, read back and
// numbered on by the next run, rotated within their bounds, and a folder
// that cannot be written costing one entry and nothing else.
#include "monitor/error_log.h"
#include "monitor/log_file.h"
#include "tests/test_support.h"

#include <windows.h>

#include <gtest/gtest.h>

#include <string>
#include <vector>

using tw::CStrW;
using tw::g_errorLog;

namespace {

class EventLogTest : public ::testing::Test {
protected:
    void SetUp() override
    {
        g_errorLog.ResetForTest();
        logs = dir.Path() + L"logs\\";
    }
    void TearDown() override
    {
        g_errorLog.ResetForTest();
        folder.Close();
    }

    // A run of the program: its folder, and the log taking it up.
    void Run(unsigned long long fileBytes = 1024 * 1024, size_t files = 5)
    {
        g_errorLog.ResetForTest();
        folder.Close();
        folder.Open(CStrW(logs.c_str()), fileBytes, files);
        g_errorLog.UseFolder(&folder);
    }
    std::wstring File(unsigned long long first) const
    {
        wchar_t name[40];
        swprintf(name, 40, L"tollwick-%010llu.log", first);
        return logs + name;
    }
    std::vector<std::wstring> Files() const { return tw_test::FileNames(logs); }
    // The line entry i has in the file, in code page 936.
    std::string Line(size_t i, const char* text) const
    {
        CStrW time;
        unsigned long long number = 0;
        EXPECT_TRUE(g_errorLog.ReadEntry(i, &time, nullptr, &number));
        char head[32];
        snprintf(head, sizeof(head), "%03llu\t", number);
        return head + std::string(tw::ToNarrow(time).c_str()) + "\t" + text + "\r\n";
    }

    tw_test::TempDir dir;
    std::wstring logs;
    tw::CLogFolder folder;
};

struct AddWork {
    int thread;
};

DWORD WINAPI AddEntries(void* parameter)
{
    for (int i = 0; i < 100; ++i)
        g_errorLog.AddFormat(L"thread %d entry %d", static_cast<AddWork*>(parameter)->thread, i);
    return 0;
}

} // namespace

// Each line is on disk when Add returns, each in 936 when 936 holds it and
// in GB18030 when not; a line cut by a crash is ended before the next.
TEST_F(EventLogTest, EachEntryIsOnDiskWhenAddReturns)
{
    Run();
    const struct {
        const wchar_t* text;
        const char* bytes;
    } cases[] = {
        {L"first", "first"},
        {L"进程ID为:42\n", "\xBD\xF8\xB3\xCCID\xCE\xAA:42\n"},
        {L"\x00DC \x20AC", "\x81\x30\x89\x35 \xA2\xE3"},
        {L"错误\x20AC", "\xB4\xED\xCE\xF3\x80"},
    };
    std::string expected;
    for (size_t i = 0; i < 4; ++i) {
        g_errorLog.Add(cases[i].text);
        expected += Line(i, cases[i].bytes);
        EXPECT_EQ(tw_test::ReadBytes(File(1)), expected) << i;
    }
    folder.Close();
    ASSERT_TRUE(tw_test::WriteBytes(File(1), expected + "005\t2026-12-07 20"));
    Run();
    g_errorLog.Add(L"after");
    EXPECT_EQ(tw_test::ReadBytes(File(1)), expected + "005\t2026-12-07 20\r\n" + Line(4, "after"));
}

// The next run numbers on, and its list shows the earlier run's entries above
// its own, set apart; the export holds both.
TEST_F(EventLogTest, TheNextRunNumbersOnAndListsTheEarlierEntries)
{
    Run();
    const wchar_t* earlier[] = {L"one", L"abc\n", L"\x00DCn\x00EF \x20AC 错误", L""};
    for (const wchar_t* text : earlier)
        g_errorLog.Add(text);
    CStrW firstTime;
    ASSERT_TRUE(g_errorLog.ReadEntry(0, &firstTime, nullptr));

    Run();
    ASSERT_EQ(g_errorLog.EarlierCount(), 4u);
    g_errorLog.Add(L"this run");
    ASSERT_EQ(g_errorLog.Count(), 5u);
    ASSERT_EQ(g_errorLog.RowCount(), 6u);
    CStrW number, time, text;
    for (size_t i = 0; i < 4; ++i) {
        ASSERT_TRUE(g_errorLog.ReadRow(i, &number, &time, &text));
        EXPECT_STREQ(text.c_str(), earlier[i]) << i;
        EXPECT_EQ(number.c_str(), std::to_wstring(i + 1));
    }
    ASSERT_TRUE(g_errorLog.ReadRow(0, &number, &time, &text));
    EXPECT_STREQ(time.c_str(), firstTime.c_str());
    ASSERT_TRUE(g_errorLog.ReadRow(4, &number, &time, &text));
    EXPECT_STREQ(text.c_str(), L"以上为之前运行的记录, 以下为本次运行的记录");
    ASSERT_TRUE(g_errorLog.ReadRow(5, &number, &time, &text));
    EXPECT_STREQ(number.c_str(), L"5");
    EXPECT_STREQ(text.c_str(), L"this run");
    std::wstring exported = tw::ToWide(g_errorLog.BuildExportText()).c_str();
    EXPECT_EQ(exported.rfind(L"001\t", 0), 0u);
    EXPECT_NE(exported.find(L"\tabc\n\r\n003\t"), std::string::npos);
    EXPECT_NE(exported.find(L"\t\x00DCn\x00EF \x20AC 错误\r\n004\t"), std::string::npos);
    EXPECT_NE(exported.find(L"\t\r\n005\t"), std::string::npos);
}

// Whatever the limit, the folder keeps the set number of files, none past
// the limit, and the newest lines in order.
TEST_F(EventLogTest, RotationKeepsTheSetNumberOfFiles)
{
    const struct {
        unsigned long long bytes;
        size_t files;
        int lines;
    } cases[] = {{200, 3, 40}, {300, 1, 30}, {100, 5, 20}};
    for (const auto& c : cases) {
        for (const std::wstring& name : Files())
            DeleteFileW((logs + name).c_str());
        Run(c.bytes, c.files);
        for (int i = 1; i <= c.lines; ++i)
            g_errorLog.AddFormat(L"line %d", i);
        std::vector<std::wstring> names = Files();
        ASSERT_EQ(names.size(), c.files) << c.bytes;
        std::string all;
        for (const std::wstring& name : names) {
            std::string bytes = tw_test::ReadBytes(logs + name);
            EXPECT_LE(bytes.size(), c.bytes) << bytes;
            char head[32];
            snprintf(head, sizeof(head), "%03llu\t", std::stoull(name.substr(9, name.size() - 13)));
            EXPECT_EQ(bytes.rfind(head, 0), 0u) << "a file is named for its first line: " << bytes;
            all += bytes;
        }
        char last[32];
        snprintf(last, sizeof(last), "%03d\t", c.lines);
        EXPECT_NE(all.find(last), std::string::npos) << all;
        unsigned long long previous = 0;
        for (size_t at = 0; at < all.size(); at = all.find("\r\n", at) + 2) {
            unsigned long long n = std::stoull(all.substr(at, all.find('\t', at) - at));
            EXPECT_TRUE(previous == 0 || n == previous + 1) << previous << " then " << n;
            previous = n;
        }
    }
}

// Entries of eight threads at once reach the file whole and in their
// numbers' order.
TEST_F(EventLogTest, LinesOfManyThreadsReachTheFileInOrder)
{
    Run();
    AddWork work[8];
    HANDLE threads[8];
    for (int t = 0; t < 8; ++t) {
        work[t].thread = t;
        threads[t] = CreateThread(nullptr, 0, AddEntries, &work[t], 0, nullptr);
        ASSERT_NE(threads[t], nullptr);
    }
    WaitForMultipleObjects(8, threads, TRUE, 60000);
    for (HANDLE h : threads)
        CloseHandle(h);
    std::string all = tw_test::ReadBytes(File(1));
    int n = 0;
    for (size_t at = 0; at < all.size(); at = all.find("\r\n", at) + 2) {
        char head[16];
        snprintf(head, sizeof(head), "%03d\t", ++n);
        ASSERT_EQ(all.compare(at, strlen(head), head), 0) << "line " << n;
    }
    EXPECT_EQ(n, 800);
}

// A folder that cannot be made costs one entry for the whole run, and the
// entries go on in memory; a file another program holds is left for a new
// one, numbered on.
TEST_F(EventLogTest, AFolderThatCannotBeWrittenCostsOneEntry)
{
    ASSERT_TRUE(tw_test::WriteBytes(dir.File(L"logs"), "not a folder"));
    Run();
    for (int i = 0; i < 20; ++i)
        g_errorLog.AddFormat(L"event %d", i);
    ASSERT_EQ(g_errorLog.Count(), 21u);
    CStrW text;
    ASSERT_TRUE(g_errorLog.ReadEntry(1, nullptr, &text));
    std::wstring expected = L"写入日志文件失败, 路径为:" + File(1) + L", 错误代码为:";
    EXPECT_EQ(std::wstring(text.c_str()).compare(0, expected.size(), expected), 0) << tw::ToNarrow(text).c_str();
    ASSERT_TRUE(g_errorLog.ReadEntry(20, nullptr, &text));
    EXPECT_STREQ(text.c_str(), L"event 19");

    DeleteFileW(dir.File(L"logs").c_str());
    ASSERT_TRUE(CreateDirectoryW(logs.c_str(), nullptr));
    ASSERT_TRUE(tw_test::WriteBytes(File(1), "001\t2026-12-07 20:41:05\tkept\r\n"));
    // Read by another program that lets no one else write it.
    HANDLE held = CreateFileW(File(1).c_str(), GENERIC_READ, FILE_SHARE_READ, nullptr, OPEN_EXISTING, 0, nullptr);
    ASSERT_NE(held, INVALID_HANDLE_VALUE);
    Run();
    g_errorLog.Add(L"beside it");
    CloseHandle(held);
    EXPECT_EQ(tw_test::ReadBytes(File(2)), Line(1, "beside it"));
    EXPECT_EQ(g_errorLog.Count(), 2u) << "no failure";
}
