// The metrics file for Prometheus' textfile collectors: its text, the
// snapshot of the table, and the replace of the file while a reader holds it.
#include "config/config.h"
#include "monitor/metrics_file.h"
#include "monitor/monitor.h"
#include "monitor/program_table.h"
#include "tests/test_support.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <set>
#include <sstream>
#include <string>
#include <vector>

using tw::CStrA;
using tw::CStrW;
using tw::ProgramMetrics;
using tw::TollwickMetrics;

namespace {

std::vector<std::string> Lines(const std::string& text)
{
    std::vector<std::string> lines;
    std::istringstream in(text);
    for (std::string line; std::getline(in, line);)
        lines.push_back(line);
    return lines;
}

struct Program {
    const wchar_t* name;
    const wchar_t* path;
    double backoff;
};

struct TextCase {
    const char* what;
    bool up;
    std::vector<Program> programs;
    std::vector<std::string> expected; // lines the text must hold
};

const char kRunning[] = "tollwick_program_running";

TEST(MetricsTest, TextIsWellFormedEscapedAndHasEachSeriesOnce)
{
    const std::vector<TextCase> cases = {
        {"two entries of one executable",
         true,
         {{L"a.exe", L"C:\\Apps\\a.exe", 0}, {L"a.exe", L"C:\\Apps\\a.exe", 2.5}},
         {"tollwick_up 1", "tollwick_build_info{version=\"1.4.0\"} 1", "tollwick_start_time_seconds 1700000000",
          "tollwick_program_running{entry=\"1\",program=\"a.exe\",path=\"C:\\\\Apps\\\\a.exe\"} 1",
          "tollwick_program_running{entry=\"2\",program=\"a.exe\",path=\"C:\\\\Apps\\\\a.exe\"} 1",
          "tollwick_program_health_failures_total{entry=\"2\",program=\"a.exe\",path=\"C:\\\\Apps\\\\a.exe\","
          "check=\"cpu\"} 4",
          "tollwick_program_backoff_wait_seconds{entry=\"2\",program=\"a.exe\",path=\"C:\\\\Apps\\\\a.exe\"} 2.5",
          "tollwick_program_last_start_time_seconds{entry=\"1\",program=\"a.exe\",path=\"C:\\\\Apps\\\\a.exe\"} "
          "1700000100"}},
        {"backslash, quote and newline escaped; a lone surrogate as U+FFFD",
         true,
         {{L"we\"ird\n.exe", L"D:\\My \"Apps\"\\x\xD800y.exe", 0.125}},
         {"tollwick_program_restarts_total{entry=\"1\",program=\"we\\\"ird\\n.exe\","
          "path=\"D:\\\\My \\\"Apps\\\"\\\\x\xEF\xBF\xBDy.exe\"} 3",
          "tollwick_program_backoff_wait_seconds{entry=\"1\",program=\"we\\\"ird\\n.exe\","
          "path=\"D:\\\\My \\\"Apps\\\"\\\\x\xEF\xBF\xBDy.exe\"} 0.125"}},
        {"stopped, no programs: the families without samples",
         false,
         {},
         {"tollwick_up 0", "tollwick_monitoring 1", "# TYPE tollwick_program_running gauge",
          "# TYPE tollwick_program_restarts_total counter"}},
    };
    for (const TextCase& c : cases) {
        SCOPED_TRACE(c.what);
        TollwickMetrics metrics;
        metrics.up = c.up;
        metrics.monitoring = true;
        metrics.startSeconds = 1700000000;
        metrics.version = L"1.4.0";
        for (const Program& p : c.programs) {
            ProgramMetrics line = {};
            line.name = p.name;
            line.path = p.path;
            line.running = true;
            line.counts = {3, 1, 2, 1, {0, 5, 0, 4}, 1700000100};
            line.backoffWaitSeconds = p.backoff;
            metrics.programs.Append(line);
        }
        const std::string text = BuildMetricsText(metrics).c_str();
        tw::ReleaseMetrics(&metrics);
        ASSERT_FALSE(text.empty());
        EXPECT_EQ(text.back(), '\n');
        EXPECT_EQ(text.find('\r'), std::string::npos);
        EXPECT_NE(text.compare(0, 3, "\xEF\xBB\xBF"), 0);
        const std::vector<std::string> lines = Lines(text);
        for (const std::string& want : c.expected)
            EXPECT_EQ(std::count(lines.begin(), lines.end(), want), 1) << want << "\n" << text;
        // Each sample under its own metric's HELP and TYPE; no series twice.
        std::string help, type;
        std::set<std::string> series, finished;
        size_t samples = 0;
        for (const std::string& line : lines) {
            if (line.compare(0, 7, "# HELP ") == 0) {
                finished.insert(help);
                help = line.substr(7, line.find(' ', 7) - 7);
                EXPECT_EQ(finished.count(help), 0u) << line;
                continue;
            }
            if (line.compare(0, 7, "# TYPE ") == 0) {
                type = line.substr(7, line.find(' ', 7) - 7);
                EXPECT_EQ(type, help);
                continue;
            }
            ++samples;
            std::string name = line.substr(0, line.find_first_of("{ "));
            EXPECT_EQ(name, help) << line;
            EXPECT_EQ(name, type) << line;
            EXPECT_TRUE(series.insert(line.substr(0, line.rfind(' '))).second) << "twice: " << line;
        }
        // Four of Tollwick's own, then 11 per program (health: one per check).
        EXPECT_EQ(samples, 4 + 11 * c.programs.size());
    }
}

class MetricsTableTest : public ::testing::Test {
protected:
    void SetUp() override
    {
        tw::ClearPrograms();
        ASSERT_TRUE(tw::g_config.OpenIn(CStrW(dir.Path().c_str())));
    }
    void TearDown() override
    {
        tw::g_monitoring = 0;
        tw::ClearPrograms();
    }
    static void AddRecord(const wchar_t* path)
    {
        tw::CMonitorItem record = {};
        record.window = GetDesktopWindow();
        record.path = path;
        record.name = wcsrchr(path, L'\\') + 1;
        ASSERT_TRUE(tw::AppendProgram(record));
        tw::SetProgramAttachment(tw::g_programCount - 1, 0, nullptr);
    }
    tw_test::TempDir dir;
};

TEST_F(MetricsTableTest, SnapshotReadsEachRecordsCountsRunningAndBackoff)
{
    const wchar_t* paths[] = {L"C:\\nowhere\\a.exe", L"C:\\nowhere\\b.exe", L"C:\\nowhere\\c.exe"};
    for (const wchar_t* path : paths)
        AddRecord(path);
    {
        // As the monitor threads and exit watchers would leave them.
        tw::CLock lock(tw::TableLock());
        tw::CMonitorItem& a = tw::g_monitorList.At(0);
        a.processId = GetCurrentProcessId();
        a.rowColour = tw::kRowBlack;
        a.counts = {7, 1, 2, 3, {4, 5, 6, 8}, 1700000000};
        a.restartDueTick = GetTickCount64() + 60000;
        a.shortRuns = 2;
        a.restartWaitMs = 2500;
        tw::CMonitorItem& b = tw::g_monitorList.At(1); // a process, not yet running
        b.processId = GetCurrentProcessId();
        b.rowColour = tw::kRowRed;
        b.restartDueTick = GetTickCount64() + 60000; // held to keep one start a period
        b.restartWaitMs = 1000;
        tw::g_monitorList.At(2).rowColour = tw::kRowBlack; // no process
    }
    tw::g_monitoring = 1;
    TollwickMetrics metrics;
    tw::TakeMetricsSnapshot(true, 1700000042, &metrics);
    EXPECT_TRUE(metrics.up);
    EXPECT_TRUE(metrics.monitoring);
    EXPECT_EQ(metrics.startSeconds, 1700000042);
    ASSERT_EQ(metrics.programs.Count(), 3u);
    const bool running[] = {true, false, false};
    const double backoff[] = {2.5, 0, 0};
    for (size_t i = 0; i < 3; ++i) {
        const ProgramMetrics& p = metrics.programs.At(i);
        EXPECT_STREQ(p.path.c_str(), paths[i]);
        EXPECT_STREQ(p.name.c_str(), wcsrchr(paths[i], L'\\') + 1);
        EXPECT_EQ(p.path.RefCount(), 1); // not shared with the record
        EXPECT_EQ(p.running, running[i]) << i;
        EXPECT_EQ(p.backoffWaitSeconds, backoff[i]) << i;
    }
    const tw::ProgramCounts& counts = metrics.programs.At(0).counts;
    EXPECT_EQ(counts.restarts, 7u);
    EXPECT_EQ(counts.hangKills, 1u);
    EXPECT_EQ(counts.errorWindowsClosed, 2u);
    EXPECT_EQ(counts.crashes, 3u);
    EXPECT_EQ(counts.healthFailures[tw::kCheckCpu], 8u);
    EXPECT_EQ(counts.lastStartSeconds, 1700000000);
    EXPECT_EQ(metrics.programs.At(1).counts.restarts, 0u);
    tw::ReleaseMetrics(&metrics);
    tw::g_monitoring = 0;
    tw::TakeMetricsSnapshot(false, 0, &metrics);
    EXPECT_FALSE(metrics.monitoring);
    tw::ReleaseMetrics(&metrics);
}

// Holds a file as a Go exporter reads it (no FILE_SHARE_DELETE) and lets go
// after a while.
struct Holder {
    HANDLE file;
    DWORD holdMs;
};

DWORD WINAPI HoldThenClose(void* parameter)
{
    auto* holder = static_cast<Holder*>(parameter);
    Sleep(holder->holdMs);
    CloseHandle(holder->file);
    return 0;
}

TEST(MetricsFileTest, ReplaceWaitsForABriefReaderAndNeverLeavesATemporaryFile)
{
    struct ReplaceCase {
        const char* what;
        const wchar_t* name;
        DWORD holdMs; // 0: nobody holds the old file
        bool replaced;
    };
    const ReplaceCase cases[] = {
        {"nobody reads", L"tollwick.prom", 0, true},
        {"a reader lets go in time", L"tollwick.prom", 150, true},
        {"a reader holds on past the retries", L"tollwick.prom", 2000, false},
        {"no such folder", L"missing\\tollwick.prom", 0, false},
    };
    for (const ReplaceCase& c : cases) {
        SCOPED_TRACE(c.what);
        tw_test::TempDir dir;
        const std::wstring path = dir.File(c.name);
        const bool folder = !wcschr(c.name, L'\\');
        if (folder) {
            ASSERT_TRUE(tw_test::WriteBytes(path, "old\n"));
        }
        Holder holder = {INVALID_HANDLE_VALUE, c.holdMs};
        HANDLE thread = nullptr;
        if (c.holdMs) {
            holder.file = CreateFileW(path.c_str(), GENERIC_READ, FILE_SHARE_READ | FILE_SHARE_WRITE, nullptr,
                                      OPEN_EXISTING, 0, nullptr);
            ASSERT_NE(holder.file, INVALID_HANDLE_VALUE);
            thread = CreateThread(nullptr, 0, HoldThenClose, &holder, 0, nullptr);
            ASSERT_NE(thread, nullptr);
        }
        DWORD error = tw::ReplaceMetricsFile(CStrW(path.c_str()), CStrA("new\n"));
        if (thread) {
            WaitForSingleObject(thread, INFINITE);
            CloseHandle(thread);
        }
        if (c.replaced) {
            EXPECT_EQ(error, 0u);
            EXPECT_EQ(tw_test::ReadBytes(path), "new\n");
        } else {
            EXPECT_NE(error, 0u);
            EXPECT_EQ(tw_test::ReadBytes(path), folder ? "old\n" : "");
        }
        EXPECT_EQ(tw_test::ListFiles(dir.Path()), folder ? L"tollwick.prom;" : L"");
        EXPECT_EQ(GetFileAttributesW(dir.File(L"missing").c_str()), INVALID_FILE_ATTRIBUTES); // nothing made
    }
}

} // namespace
