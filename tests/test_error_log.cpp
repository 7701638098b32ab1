#include "monitor/error_log.h"
#include "tests/test_support.h"

#include <windows.h>

#include <commctrl.h>

#include <gtest/gtest.h>

#include <set>
#include <string>
#include <vector>

using tw::CStrA;
using tw::CStrW;
using tw::g_errorLog;

namespace {

class ErrorLogTest : public ::testing::Test {
protected:
    void SetUp() override { g_errorLog.ResetForTest(); }
    void TearDown() override
    {
        g_errorLog.SetListView(nullptr);
        g_errorLog.ResetForTest();
    }

    std::string TimeOf(size_t i)
    {
        CStrW time;
        EXPECT_TRUE(g_errorLog.ReadEntry(i, &time, nullptr));
        return tw::ToNarrow(time).c_str();
    }

    tw_test::TempDir dir;
};

constexpr int kThreads = 8;
constexpr int kEach = 1000;

struct Work {
    int thread;
};

DWORD WINAPI AddThousandEntries(void* parameter)
{
    int thread = static_cast<Work*>(parameter)->thread;
    for (int i = 0; i < kEach; ++i)
        g_errorLog.AddFormat(L"thread %d entry %d", thread, i);
    return 0;
}

std::string WithZero(const std::string& s)
{
    return s + std::string(1, '\0');
}

} // namespace

TEST(TimeText, IsTheUtcPlus8WallClock)
{
    EXPECT_STREQ(tw::FormatTimeText(1700000000).c_str(), L"2023-11-15 06:13:20");
    // 16:00:00 UTC on 31 December 2023 is already the new year at UTC+8.
    EXPECT_STREQ(tw::FormatTimeText(1704038400).c_str(), L"2024-01-01 00:00:00");
    EXPECT_STREQ(tw::FormatTimeText(1704038399).c_str(), L"2023-12-31 23:59:59");
}

TEST(TimeText, ZeroMeansNow)
{
    SYSTEMTIME utc;
    GetSystemTime(&utc);
    FILETIME ft;
    SystemTimeToFileTime(&utc, &ft);
    ULARGE_INTEGER t;
    t.LowPart = ft.dwLowDateTime;
    t.HighPart = ft.dwHighDateTime;
    long long now = static_cast<long long>((t.QuadPart - 116444736000000000ULL) / 10000000ULL);
    CStrW text = tw::FormatTimeText(0);
    bool close = false;
    for (long long s = now - 2; s <= now + 2 && !close; ++s)
        close = wcscmp(text.c_str(), tw::FormatTimeText(s).c_str()) == 0;
    EXPECT_TRUE(close) << tw::ToNarrow(text).c_str();
}

TEST_F(ErrorLogTest, EntriesKeepTheirTextAndAreStampedNow)
{
    g_errorLog.Add(L"进程\"a.exe\"重启成功, 进程ID为:42\n");
    g_errorLog.Add(nullptr);
    ASSERT_EQ(g_errorLog.Count(), 2u);
    CStrW time;
    CStrW text;
    ASSERT_TRUE(g_errorLog.ReadEntry(0, &time, &text));
    EXPECT_STREQ(text.c_str(), L"进程\"a.exe\"重启成功, 进程ID为:42\n");
    EXPECT_EQ(time.Length(), 19u);
    ASSERT_TRUE(g_errorLog.ReadEntry(1, nullptr, &text));
    EXPECT_STREQ(text.c_str(), L"");
    EXPECT_FALSE(g_errorLog.ReadEntry(2, &time, &text));
}

TEST_F(ErrorLogTest, ConcurrentAddsLoseNothing)
{
    Work work[kThreads];
    HANDLE threads[kThreads];
    for (int t = 0; t < kThreads; ++t) {
        work[t].thread = t;
        threads[t] = CreateThread(nullptr, 0, AddThousandEntries, &work[t], 0, nullptr);
        ASSERT_NE(threads[t], nullptr);
    }
    WaitForMultipleObjects(kThreads, threads, TRUE, 60000);
    for (HANDLE h : threads)
        CloseHandle(h);
    ASSERT_EQ(g_errorLog.Count(), static_cast<size_t>(kThreads * kEach));
    std::set<std::wstring> texts;
    for (size_t i = 0; i < g_errorLog.Count(); ++i) {
        CStrW text;
        ASSERT_TRUE(g_errorLog.ReadEntry(i, nullptr, &text));
        texts.insert(text.c_str());
    }
    EXPECT_EQ(texts.size(), static_cast<size_t>(kThreads * kEach)) << "every text once";
}

TEST_F(ErrorLogTest, ExportWritesNumberedLinesAndOneZeroByte)
{
    g_errorLog.Add(L"first");
    g_errorLog.Add(L"abc\n");
    g_errorLog.Add(L"错误\x20AC");
    std::wstring path = dir.File(L"log.txt");
    ASSERT_TRUE(g_errorLog.WriteTextFile(CStrW(path.c_str())));
    std::string expected = "001\t" + TimeOf(0) + "\tfirst\r\n" + "002\t" + TimeOf(1) + "\tabc\n\r\n" + "003\t" +
                           TimeOf(2) + "\t\xB4\xED\xCE\xF3\x80\r\n";
    EXPECT_EQ(tw_test::ReadBytes(path), WithZero(expected)) << "code page 936, as always";

    // A text that code page 936 cannot hold: the log is GB18030, which
    // keeps 936's bytes for the rest, and reads back as it was.
    const wchar_t text[] = L"进程\"\xB370\xBAA8 \x00DCn\x00EF \U0001F600.exe\"重启成功";
    g_errorLog.Add(text);
    ASSERT_TRUE(g_errorLog.WriteTextFile(CStrW(path.c_str())));
    std::string line = "004\t" + TimeOf(3) +
                       "\t\xBD\xF8\xB3\xCC\"\x82\x39\x91\x39\x83\x30\xCC\x37 \x81\x30\x89\x35n\x81\x30\x8A\x37 "
                       "\x94\x39\xFC\x36.exe\"\xD6\xD8\xC6\xF4\xB3\xC9\xB9\xA6\r\n";
    std::string first = "001\t" + TimeOf(0) + "\tfirst\r\n";
    EXPECT_EQ(tw_test::ReadBytes(path), WithZero(first + "002\t" + TimeOf(1) + "\tabc\n\r\n" + "003\t" + TimeOf(2) +
                                                 "\t\xB4\xED\xCE\xF3\xA2\xE3\r\n" + line));
    CStrA lastLine(line.c_str());
    EXPECT_NE(wcsstr(tw::ToWide(lastLine).c_str(), text), nullptr);
}

TEST_F(ErrorLogTest, NumbersArePaddedToThreeDigits)
{
    for (int i = 1; i <= 1000; ++i)
        g_errorLog.AddFormat(L"%d", i);
    CStrA text = g_errorLog.BuildExportText();
    std::string s = text.c_str();
    EXPECT_EQ(s.rfind("001\t", 0), 0u);
    EXPECT_NE(s.find("\r\n007\t"), std::string::npos);
    EXPECT_NE(s.find("\r\n099\t"), std::string::npos);
    EXPECT_NE(s.find("\r\n999\t"), std::string::npos);
    EXPECT_NE(s.find("\r\n1000\t"), std::string::npos);
}

TEST_F(ErrorLogTest, EmptyLogExportsASingleZeroByte)
{
    std::wstring path = dir.File(L"empty.txt");
    ASSERT_TRUE(g_errorLog.WriteTextFile(CStrW(path.c_str())));
    EXPECT_EQ(tw_test::ReadBytes(path), std::string(1, '\0'));
}

TEST_F(ErrorLogTest, ExportReplacesAnExistingFileCompletely)
{
    std::wstring path = dir.File(L"old.txt");
    ASSERT_TRUE(tw_test::WriteBytes(path, std::string(10000, 'x')));
    g_errorLog.Add(L"short");
    ASSERT_TRUE(g_errorLog.WriteTextFile(CStrW(path.c_str())));
    EXPECT_EQ(tw_test::ReadBytes(path), WithZero("001\t" + TimeOf(0) + "\tshort\r\n"));
}

TEST_F(ErrorLogTest, ExportToAPathThatCannotBeOpenedWritesNothing)
{
    g_errorLog.Add(L"entry");
    EXPECT_FALSE(g_errorLog.WriteTextFile(CStrW(dir.File(L"missing\\folder\\log.txt").c_str())));
    EXPECT_FALSE(g_errorLog.WriteTextFile(CStrW()));
    std::wstring locked = dir.File(L"locked.txt");
    ASSERT_TRUE(tw_test::WriteBytes(locked, "keep"));
    HANDLE lock = CreateFileW(locked.c_str(), GENERIC_READ, 0, nullptr, OPEN_EXISTING, 0, nullptr);
    ASSERT_NE(lock, INVALID_HANDLE_VALUE);
    EXPECT_FALSE(g_errorLog.WriteTextFile(CStrW(locked.c_str())));
    CloseHandle(lock);
    EXPECT_EQ(tw_test::ReadBytes(locked), "keep");
}

TEST_F(ErrorLogTest, ListViewItemCountFollowsTheLog)
{
    INITCOMMONCONTROLSEX icc = {sizeof(icc), ICC_LISTVIEW_CLASSES};
    InitCommonControlsEx(&icc);
    HWND list = CreateWindowExW(0, WC_LISTVIEWW, L"", WS_POPUP | LVS_REPORT | LVS_OWNERDATA, 0, 0, 200, 100, nullptr,
                                nullptr, GetModuleHandleW(nullptr), nullptr);
    ASSERT_NE(list, nullptr);
    g_errorLog.Add(L"before");
    g_errorLog.SetListView(list);
    EXPECT_EQ(SendMessageW(list, LVM_GETITEMCOUNT, 0, 0), 1);
    g_errorLog.Add(L"one");
    g_errorLog.Add(L"two");
    EXPECT_EQ(SendMessageW(list, LVM_GETITEMCOUNT, 0, 0), 3);
    g_errorLog.SetListView(nullptr);
    DestroyWindow(list);
}

// A crash loop must not grow the log without end: the newest entries are
// kept, numbered on as if none were dropped, and the list says how many went.
TEST_F(ErrorLogTest, OnlyTheNewestEntriesAreKeptAndNumberedOn)
{
    const size_t extra = 5;
    for (size_t i = 1; i <= tw::kLogCapacity + extra; ++i)
        g_errorLog.AddFormat(L"event %llu", static_cast<unsigned long long>(i));
    EXPECT_EQ(g_errorLog.Count(), tw::kLogCapacity);
    EXPECT_EQ(g_errorLog.Dropped(), extra);
    CStrW text;
    unsigned long long number = 0;
    ASSERT_TRUE(g_errorLog.ReadEntry(0, nullptr, &text, &number));
    EXPECT_STREQ(text.c_str(), L"event 6");
    EXPECT_EQ(number, 6u);

    ASSERT_EQ(g_errorLog.RowCount(), tw::kLogCapacity + 1);
    CStrW cell;
    CStrW time;
    ASSERT_TRUE(g_errorLog.ReadRow(0, &cell, &time, &text));
    EXPECT_STREQ(text.c_str(), L"已省略较早的 5 条记录 (列表只保留最新的 10000 条)");
    ASSERT_TRUE(g_errorLog.ReadRow(tw::kLogCapacity, &cell, &time, &text));
    EXPECT_STREQ(cell.c_str(), L"10005");
    EXPECT_STREQ(text.c_str(), L"event 10005");

    std::string exported = tw::ToNarrow(tw::ToWide(g_errorLog.BuildExportText())).c_str();
    EXPECT_EQ(exported.compare(0, 4, "006\t"), 0) << exported.substr(0, 40);
    EXPECT_NE(exported.find("\n10005\t"), std::string::npos);
    EXPECT_EQ(exported.find("event 5\r\n"), std::string::npos);
}
