// The error log: entries kept from any thread, the newest 10,000 only, and
// the export in code page 936 or GB18030 with its numbering and zero byte.
#include "monitor/error_log.h"
#include "tests/test_support.h"

#include <gtest/gtest.h>

#include <set>
#include <string>

using tw::CStrW;
using tw::g_errorLog;

namespace {

class ErrorLogTest : public ::testing::Test {
protected:
    void SetUp() override { g_errorLog.ResetForTest(); }
    void TearDown() override { g_errorLog.ResetForTest(); }

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
    std::string Export()
    {
        EXPECT_TRUE(g_errorLog.WriteTextFile(CStrW(path.c_str())));
        return tw_test::ReadBytes(path);
    }

    tw_test::TempDir dir;
    std::wstring path = dir.File(L"log.txt");
};

DWORD WINAPI AddThousandEntries(void* thread)
{
    for (int i = 0; i < 1000; ++i)
        g_errorLog.AddFormat(L"thread %p entry %d", thread, i);
    return 0;
}

} // namespace

TEST(TimeText, IsTheUtcPlus8WallClock)
{
    EXPECT_STREQ(tw::FormatTimeText(1700000000).c_str(), L"2023-11-15 06:13:20");
    // 16:00:00 UTC on 31 December 2023 is already the new year at UTC+8.
    EXPECT_STREQ(tw::FormatTimeText(1704038400).c_str(), L"2024-01-01 00:00:00");
    EXPECT_STREQ(tw::FormatTimeText(1704038399).c_str(), L"2023-12-31 23:59:59");
    // 0 means now.
    long long now = _time64(nullptr);
    std::wstring text = tw::FormatTimeText(0).c_str();
    EXPECT_TRUE(text == tw::FormatTimeText(now).c_str() || text == tw::FormatTimeText(now + 1).c_str());
}

TEST_F(ErrorLogTest, ConcurrentAddsLoseNothing)
{
    HANDLE threads[8];
    for (HANDLE& thread : threads)
        thread = CreateThread(nullptr, 0, AddThousandEntries, &thread, 0, nullptr);
    WaitForMultipleObjects(8, threads, TRUE, 60000);
    for (HANDLE thread : threads)
        CloseHandle(thread);
    ASSERT_EQ(g_errorLog.Count(), 8000u);
    std::set<std::wstring> texts;
    for (size_t i = 0; i < g_errorLog.Count(); ++i) {
        CStrW text;
        ASSERT_TRUE(g_errorLog.ReadEntry(i, nullptr, &text));
        texts.insert(text.c_str());
    }
    EXPECT_EQ(texts.size(), 8000u) << "every text once";
}

// The file replaces what was there; the log goes in code page 936 while that
// holds every text, else in GB18030, which keeps 936's bytes for the rest.
TEST_F(ErrorLogTest, ExportWritesNumberedLinesAndOneZeroByte)
{
    ASSERT_TRUE(tw_test::WriteBytes(path, std::string(10000, 'x')));
    EXPECT_EQ(Export(), std::string(1, '\0')) << "an empty log";
    g_errorLog.Add(L"first");
    g_errorLog.Add(L"abc\n");
    g_errorLog.Add(L"错误\x20AC");
    g_errorLog.Add(nullptr);
    std::string lines = Head(0) + "first\r\n" + Head(1) + "abc\n\r\n" + Head(2);
    EXPECT_EQ(Export(), lines + "\xB4\xED\xCE\xF3\x80\r\n" + Head(3) + "\r\n" + '\0');
    EXPECT_EQ(Head(0).size(), 24u) << "the time is \"YYYY-MM-DD hh:mm:ss\"";

    const wchar_t text[] = L"进程\"\xB370\xBAA8 \x00DCn\x00EF \U0001F600.exe\"重启成功";
    g_errorLog.Add(text);
    std::string last = Head(4) + "\xBD\xF8\xB3\xCC\"\x82\x39\x91\x39\x83\x30\xCC\x37 \x81\x30\x89\x35n\x81\x30\x8A\x37 "
                                 "\x94\x39\xFC\x36.exe\"\xD6\xD8\xC6\xF4\xB3\xC9\xB9\xA6\r\n";
    EXPECT_EQ(Export(), lines + "\xB4\xED\xCE\xF3\xA2\xE3\r\n" + Head(3) + "\r\n" + last + '\0');
    EXPECT_NE(wcsstr(tw::ToWide(tw::CStrA(last.c_str())).c_str(), text), nullptr);
}

TEST_F(ErrorLogTest, ExportToAPathThatCannotBeOpenedWritesNothing)
{
    g_errorLog.Add(L"entry");
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
        g_errorLog.AddFormat(L"event %llu", static_cast<unsigned long long>(i));
    EXPECT_EQ(g_errorLog.Count(), tw::kLogCapacity);
    EXPECT_EQ(g_errorLog.Dropped(), 5u);
    CStrW number, time, text;
    ASSERT_EQ(g_errorLog.RowCount(), tw::kLogCapacity + 1);
    ASSERT_TRUE(g_errorLog.ReadRow(0, &number, &time, &text));
    EXPECT_STREQ(text.c_str(), L"已省略较早的 5 条记录 (列表只保留最新的 10000 条)");
    ASSERT_TRUE(g_errorLog.ReadRow(1, &number, &time, &text));
    EXPECT_STREQ((std::wstring(number.c_str()) + L" " + text.c_str()).c_str(), L"6 event 6");
    ASSERT_TRUE(g_errorLog.ReadRow(tw::kLogCapacity, &number, &time, &text));
    EXPECT_STREQ((std::wstring(number.c_str()) + L" " + text.c_str()).c_str(), L"10005 event 10005");
    EXPECT_FALSE(g_errorLog.ReadEntry(tw::kLogCapacity, nullptr, &text));

    std::string exported = Export();
    EXPECT_EQ(exported.compare(0, 4, "006\t"), 0) << exported.substr(0, 40);
    EXPECT_NE(exported.find("\n10005\t"), std::string::npos);
    EXPECT_EQ(exported.find("event 5\r\n"), std::string::npos);
}
