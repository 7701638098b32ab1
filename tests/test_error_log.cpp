// The error log: entries added from any thread, the newest kept, exported,
// and on disk in rotated files that the next run reads back.
#include "monitor/error_log.h"
#include "monitor/events.h"
#include "monitor/log_file.h"
#include "tests/test_support.h"

#include <gtest/gtest.h>

#include <iterator>
#include <set>
#include <string>
#include <vector>

using tw::CStrW;
using tw::g_errorLog;

namespace {

// The lines of these tests are of no program: their kind does not matter here.
const tw::LogEvent kLine{tw::EventKind::TollwickStart};

class ErrorLogTest : public ::testing::Test {
protected:
    void SetUp() override { g_errorLog.ResetForTest(); }
    void TearDown() override
    {
        tw::g_whileNumbering = nullptr;
        g_errorLog.ResetForTest();
        folder.Close();
    }

    // A run of the program: its logs folder, and the log taking it up.
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

    // "NNN<tab>time<tab>" of entry i, as the export writes it.
    static std::string Head(size_t i)
    {
        CStrW time;
        unsigned long long number = 0;
        EXPECT_TRUE(g_errorLog.ReadEntry(i, &time, nullptr, &number));
        char head[16];
        snprintf(head, sizeof(head), "%03llu\t", number);
        return head + std::string(tw::ToNarrow(time).c_str()) + "\t";
    }
    // "number text" of row i of the list.
    static std::wstring Row(size_t i)
    {
        CStrW number, time, text;
        EXPECT_TRUE(g_errorLog.ReadRow(i, &number, &time, &text));
        return std::wstring(number.c_str()) + L" " + text.c_str();
    }
    std::string Export()
    {
        EXPECT_TRUE(g_errorLog.WriteTextFile(CStrW(path.c_str())));
        return tw_test::ReadBytes(path);
    }

    tw_test::TempDir dir;
    std::wstring path = dir.File(L"log.txt"), logs = dir.Path() + L"logs\\";
    tw::CLogFolder folder;
};

constexpr int kThreads = 8;
// Fewer than the 100 entries of the log's first block: threads that race past
// a missing lock overwrite each other's slots but never move the block from
// under one another.
constexpr int kEntriesEach = 12;

DWORD WINAPI AddEntries(void* thread)
{
    for (int i = 0; i < kEntriesEach; ++i)
        g_errorLog.AddFormat(kLine, L"thread %p entry %d", thread, i);
    return 0;
}

} // namespace

// Eight threads at once lose nothing and share no number, in memory only
// (where the list's lock alone keeps them apart) and with the logs folder,
// whose lines reach the file whole and in their numbers' order. Each entry
// holds its number open for a millisecond, so that threads the lock did not
// keep apart would take the same one.
TEST_F(ErrorLogTest, ConcurrentAddsLoseNothing)
{
    tw::g_whileNumbering = [] { Sleep(1); };
    const size_t total = kThreads * kEntriesEach;
    for (int round = 0; round < 2; ++round) {
        if (round == 1)
            Run();
        HANDLE threads[kThreads];
        for (HANDLE& thread : threads)
            thread = CreateThread(nullptr, 0, AddEntries, &thread, 0, nullptr);
        ASSERT_EQ(WaitForMultipleObjects(kThreads, threads, TRUE, 60000), WAIT_OBJECT_0) << round;
        for (HANDLE thread : threads)
            CloseHandle(thread);
        ASSERT_EQ(g_errorLog.Count(), total) << round;
        std::set<std::wstring> texts;
        std::set<unsigned long long> numbers;
        for (size_t i = 0; i < g_errorLog.Count(); ++i) {
            CStrW text;
            unsigned long long number = 0;
            ASSERT_TRUE(g_errorLog.ReadEntry(i, nullptr, &text, &number));
            texts.insert(text.c_str());
            numbers.insert(number);
        }
        EXPECT_EQ(texts.size(), total) << "every text once, round " << round;
        EXPECT_EQ(numbers.size() == total && *numbers.rbegin() == total, true)
            << "numbers 1 to " << total << ", round " << round;
        g_errorLog.ResetForTest();
    }
    std::string all = tw_test::ReadBytes(File(1));
    int n = 0;
    for (size_t at = 0; at < all.size(); at = all.find("\r\n", at) + 2) {
        char head[16];
        snprintf(head, sizeof(head), "%03d\t", ++n);
        ASSERT_EQ(all.compare(at, strlen(head), head), 0) << "line " << n;
    }
    EXPECT_EQ(static_cast<size_t>(n), total);
}

// The file replaces what was there; the log goes in code page 936 while that
// holds every text, else in GB18030, which keeps 936's bytes for the rest.
TEST_F(ErrorLogTest, ExportWritesNumberedLinesAndOneZeroByte)
{
    ASSERT_TRUE(tw_test::WriteBytes(path, std::string(10000, 'x')));
    EXPECT_EQ(Export(), std::string(1, '\0')) << "an empty log";
    g_errorLog.Add(kLine, L"first");
    g_errorLog.Add(kLine, L"abc\n");
    g_errorLog.Add(kLine, L"错误\x20AC");
    g_errorLog.Add(kLine, nullptr);
    std::string lines = Head(0) + "first\r\n" + Head(1) + "abc\n\r\n" + Head(2);
    EXPECT_EQ(Export(), lines + "\xB4\xED\xCE\xF3\x80\r\n" + Head(3) + "\r\n" + '\0');

    g_errorLog.Add(kLine, L"\x00DCn");
    EXPECT_EQ(Export(),
              lines + "\xB4\xED\xCE\xF3\xA2\xE3\r\n" + Head(3) + "\r\n" + Head(4) + "\x81\x30\x89\x35n\r\n" + '\0');
}

TEST_F(ErrorLogTest, ExportToAPathThatCannotBeOpenedWritesNothing)
{
    g_errorLog.Add(kLine, L"entry");
    EXPECT_FALSE(g_errorLog.WriteTextFile(CStrW(dir.File(L"missing\\folder\\log.txt").c_str())));
    EXPECT_FALSE(g_errorLog.WriteTextFile(CStrW()));
    ASSERT_TRUE(tw_test::WriteBytes(path, "keep"));
    HANDLE lock = CreateFileW(path.c_str(), GENERIC_READ, 0, nullptr, OPEN_EXISTING, 0, nullptr);
    EXPECT_FALSE(g_errorLog.WriteTextFile(CStrW(path.c_str())));
    CloseHandle(lock);
    EXPECT_EQ(tw_test::ReadBytes(path), "keep");
}

// A crash loop must not grow the log without end: the newest entries are
// kept, numbered on as if none were dropped, and the list says how many went.
TEST_F(ErrorLogTest, OnlyTheNewestEntriesAreKeptAndNumberedOn)
{
    for (size_t i = 1; i <= tw::kLogCapacity + 5; ++i)
        g_errorLog.AddFormat(kLine, L"event %llu", static_cast<unsigned long long>(i));
    EXPECT_EQ(g_errorLog.Count(), tw::kLogCapacity);
    EXPECT_EQ(g_errorLog.Dropped(), 5u);
    ASSERT_EQ(g_errorLog.RowCount(), tw::kLogCapacity + 1);
    EXPECT_EQ(Row(0), L"... 已省略较早的 5 条记录 (列表只保留最新的 10000 条)");
    EXPECT_EQ(Row(1), L"6 event 6");
    EXPECT_EQ(Row(tw::kLogCapacity), L"10005 event 10005");
    EXPECT_FALSE(g_errorLog.ReadEntry(tw::kLogCapacity, nullptr, nullptr));

    std::string exported = Export();
    EXPECT_EQ(exported.compare(0, 4, "006\t"), 0) << exported.substr(0, 40);
    EXPECT_NE(exported.find("\n10005\t"), std::string::npos);
    EXPECT_EQ(exported.find("event 5\r\n"), std::string::npos);
}

// Each line is on disk when Add returns, each in 936 when 936 holds it and
// in GB18030 when not; a line cut by a crash is ended before the next.
TEST_F(ErrorLogTest, EachEntryIsOnDiskWhenAddReturns)
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
        g_errorLog.Add(kLine, cases[i].text);
        expected += Head(i) + cases[i].bytes + "\r\n";
        EXPECT_EQ(tw_test::ReadBytes(File(1)), expected) << i;
    }
    folder.Close();
    ASSERT_TRUE(tw_test::WriteBytes(File(1), expected + "005\t2026-12-07 20"));
    Run();
    g_errorLog.Add(kLine, L"after");
    EXPECT_EQ(tw_test::ReadBytes(File(1)), expected + "005\t2026-12-07 20\r\n" + Head(4) + "after\r\n");
}

// The next run numbers on, and its list shows the earlier run's entries above
// its own, set apart; the export holds both.
TEST_F(ErrorLogTest, TheNextRunNumbersOnAndListsTheEarlierEntries)
{
    Run();
    const wchar_t* earlier[] = {L"one", L"abc\n", L"\x00DCn\x00EF \x20AC 错误", L""};
    for (const wchar_t* text : earlier)
        g_errorLog.Add(kLine, text);
    CStrW firstTime;
    ASSERT_TRUE(g_errorLog.ReadEntry(0, &firstTime, nullptr));

    Run();
    ASSERT_EQ(g_errorLog.EarlierCount(), 4u);
    g_errorLog.Add(kLine, L"this run");
    ASSERT_EQ(g_errorLog.Count(), 5u);
    ASSERT_EQ(g_errorLog.RowCount(), 6u);
    for (size_t i = 0; i < 4; ++i)
        EXPECT_EQ(Row(i), std::to_wstring(i + 1) + L" " + earlier[i]) << i;
    EXPECT_EQ(Row(4), L"--- 以上为之前运行的记录, 以下为本次运行的记录");
    EXPECT_EQ(Row(5), L"5 this run");
    CStrW time;
    ASSERT_TRUE(g_errorLog.ReadEntry(0, &time, nullptr));
    EXPECT_STREQ(time.c_str(), firstTime.c_str());
    std::wstring exported = tw::ToWide(g_errorLog.BuildExportText()).c_str();
    EXPECT_EQ(exported.rfind(L"001\t", 0), 0u);
    EXPECT_NE(exported.find(L"\t\r\n005\t"), std::string::npos) << "the earlier run's last entry, then this run's";
}

// Whatever the limit, the folder keeps the set number of files, none past
// the limit, and the newest lines in order.
TEST_F(ErrorLogTest, RotationKeepsTheSetNumberOfFiles)
{
    const struct {
        unsigned long long bytes;
        size_t files;
        int lines;
    } cases[] = {{200, 3, 40}, {300, 1, 30}, {100, 5, 20}};
    for (const auto& c : cases) {
        for (const std::wstring& name : tw_test::FileNames(logs))
            DeleteFileW((logs + name).c_str());
        Run(c.bytes, c.files);
        for (int i = 1; i <= c.lines; ++i)
            g_errorLog.AddFormat(kLine, L"line %d", i);
        std::vector<std::wstring> names = tw_test::FileNames(logs);
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
        unsigned long long previous = 0;
        for (size_t at = 0; at < all.size(); at = all.find("\r\n", at) + 2) {
            unsigned long long n = std::stoull(all.substr(at, all.find('\t', at) - at));
            EXPECT_TRUE(previous == 0 || n == previous + 1) << previous << " then " << n;
            previous = n;
        }
        EXPECT_EQ(previous, static_cast<unsigned long long>(c.lines)) << "the newest line is kept";
    }
}

// A folder that cannot be made costs one entry for the whole run, and the
// entries go on in memory; a file another program holds is left for a new
// one, numbered on.
TEST_F(ErrorLogTest, AFolderThatCannotBeWrittenCostsOneEntry)
{
    ASSERT_TRUE(tw_test::WriteBytes(dir.File(L"logs"), "not a folder"));
    Run();
    for (int i = 0; i < 20; ++i)
        g_errorLog.AddFormat(kLine, L"event %d", i);
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
    g_errorLog.Add(kLine, L"beside it");
    CloseHandle(held);
    EXPECT_EQ(tw_test::ReadBytes(File(2)), Head(1) + "beside it\r\n");
    EXPECT_EQ(g_errorLog.Count(), 2u) << "no failure";
}

// The names and ids are what receivers and event-log filters match on, and
// the README lists them: each kind keeps its own, and its level follows its
// id's hundred (information 1xx, warning 2xx, error 3xx).
TEST(EventKinds, EachKindKeepsItsOwnNameIdAndLevel)
{
    using K = tw::EventKind;
    using L = tw::EventLevel;
    const struct {
        K kind;
        const char* name;
        unsigned short id;
        L level;
    } kinds[] = {
        {K::TollwickStart, "tollwick_start", 100, L::Information},
        {K::TollwickExit, "tollwick_exit", 101, L::Information},
        {K::UncleanEnd, "unclean_end", 210, L::Warning},
        {K::GuardianRestart, "guardian_restart", 211, L::Warning},
        {K::MonitoringStart, "monitoring_start", 102, L::Information},
        {K::MonitoringStop, "monitoring_stop", 103, L::Information},
        {K::Restart, "restart", 200, L::Warning},
        {K::StartFailed, "start_failed", 300, L::Error},
        {K::HangSeen, "hang_seen", 201, L::Warning},
        {K::HangRecovered, "hang_recovered", 104, L::Information},
        {K::HangKill, "hang_kill", 202, L::Warning},
        {K::KillRefused, "kill_refused", 301, L::Error},
        {K::EndPending, "end_pending", 203, L::Warning},
        {K::ProbeRefused, "probe_refused", 204, L::Warning},
        {K::ErrorWindowClosed, "error_window_closed", 205, L::Warning},
        {K::Crash, "crash", 206, L::Warning},
        {K::BackoffBegin, "backoff_begin", 207, L::Warning},
        {K::BackoffEnd, "backoff_end", 208, L::Warning},
        {K::HealthFailure, "health_failure", 209, L::Warning},
        {K::HealthRecovery, "health_recovery", 105, L::Information},
        {K::DailyReboot, "daily_reboot", 106, L::Information},
        {K::RebootRefused, "reboot_refused", 302, L::Error},
        {K::ScheduledClose, "scheduled_close", 107, L::Information},
        {K::ScheduledStart, "scheduled_start", 108, L::Information},
        {K::ScheduleMissed, "schedule_missed", 109, L::Information},
        {K::WriteFailed, "write_failed", 303, L::Error},
        {K::SettingInvalid, "setting_invalid", 304, L::Error},
    };
    ASSERT_EQ(std::size(kinds), static_cast<size_t>(tw::kEventKindCount));
    std::set<std::string> names;
    std::set<unsigned short> ids;
    for (const auto& k : kinds) {
        const tw::EventKindInfo& info = tw::KindInfo(k.kind);
        SCOPED_TRACE(k.name);
        EXPECT_STREQ(info.name, k.name);
        EXPECT_EQ(info.id, k.id);
        EXPECT_EQ(info.level, k.level);
        EXPECT_EQ(static_cast<int>(info.level), info.id / 100 - 1);
        names.insert(info.name);
        ids.insert(info.id);
    }
    EXPECT_EQ(names.size(), std::size(kinds));
    EXPECT_EQ(ids.size(), std::size(kinds));
}
