// The error log on disk, end to end: the real Tollwick.exe writes its logs
// folder as events happen, survives being killed and takes its files' bounds
// from config.xml.
#include "tests/app_fixture.h"

#include "version.h"

#include <vector>

using namespace tw_app_test;

namespace {

struct LogLine {
    unsigned long number;
    std::string time;
    std::wstring text;
};

class AppLogTest : public AppTest {
protected:
    std::wstring Logs() const { return dir.Path() + L"logs\\"; }
    // The log files alone: the folder also keeps run-state.txt.
    std::vector<std::wstring> LogFiles() const
    {
        std::vector<std::wstring> files;
        for (const std::wstring& name : tw_test::FileNames(Logs())) {
            if (name.compare(0, 9, L"tollwick-") == 0)
                files.push_back(name);
        }
        return files;
    }
    // Every line of the log files, oldest first; a line that is not whole
    // fails the test.
    std::vector<LogLine> ReadLog() const
    {
        std::vector<LogLine> lines;
        for (const std::wstring& name : LogFiles()) {
            std::string bytes = tw_test::ReadBytes(Logs() + name);
            EXPECT_TRUE(bytes.size() >= 2 && bytes.compare(bytes.size() - 2, 2, "\r\n") == 0) << Narrow(name);
            for (size_t at = 0, end; (end = bytes.find("\r\n", at)) != std::string::npos; at = end + 2) {
                std::string line = bytes.substr(at, end - at);
                size_t tab1 = line.find('\t');
                size_t tab2 = line.find('\t', tab1 + 1);
                EXPECT_TRUE(tab1 != std::string::npos && tab2 == tab1 + 20) << line;
                if (tab2 == std::string::npos)
                    continue;
                tw::CStrW text = tw::ToWide(tw::CStrA(line.substr(tab2 + 1).c_str()));
                lines.push_back({std::stoul(line.substr(0, tab1)), line.substr(tab1 + 1, 19), text.c_str()});
            }
        }
        return lines;
    }
};

} // namespace

// Killed from outside while a program crash-loops (with no backoff, so that
// every restart is logged), Tollwick leaves every line whole and in order.
TEST_F(AppLogTest, AKilledRunIsOnDiskWholeAndInOrder)
{
    ASSERT_TRUE(Launch(
        ConfigWith("autostartmonitor=\"1\"", Entry(HelperPath(), "command=\"--crash-after 200\" stabletime=\"0\""))));
    ASSERT_TRUE(WaitFor([&] { return Rows(ErrorList()) >= 7; }, 20000)) << Rows(ErrorList());
    LRESULT seen = Rows(ErrorList());
    ASSERT_TRUE(TerminateProcess(app.Handle(), 1));
    ASSERT_TRUE(app.WaitForExit(5000));
    EndAllRunning(HelperPath());

    std::vector<LogLine> lines = ReadLog();
    ASSERT_GE(lines.size(), static_cast<size_t>(seen));
    for (size_t i = 0; i < lines.size(); ++i) {
        EXPECT_EQ(lines[i].number, i + 1);
        EXPECT_TRUE(i == 0 || lines[i - 1].time <= lines[i].time) << i;
    }
    EXPECT_EQ(lines[0].text, L"Tollwick 已启动, 版本为:" TW_VERSION_WIDE);
    EXPECT_EQ(lines[1].text, L"监控已开启, 监控数量为:1 个程序");
    for (size_t i = 2; i < lines.size(); ++i)
        EXPECT_NE(lines[i].text.find(L"\"tollwick_helper.exe\"重启成功, 进程ID为:"), std::wstring::npos) << i;
}

// With a limit of 1 KB and two files, a full folder of four files rotates at
// the first line to the newest full one and a new one; the menu shows it.
TEST_F(AppLogTest, ATinyLimitKeepsTheSetNumberOfFiles)
{
    ASSERT_TRUE(CreateDirectoryW(Logs().c_str(), nullptr));
    unsigned long number = 0;
    for (int file = 0; file < 4; ++file) {
        wchar_t name[40];
        swprintf(name, 40, L"tollwick-%010lu.log", number + 1);
        std::string bytes;
        while (bytes.size() < 1000) {
            char line[64];
            ++number;
            snprintf(line, sizeof(line), "%03lu\t2026-12-07 20:41:05\tevent %lu\r\n", number, number);
            bytes += line;
        }
        ASSERT_TRUE(tw_test::WriteBytes(Logs() + name, bytes));
    }
    ASSERT_TRUE(Launch(ConfigWith("logfilesize=\"1\" logfilecount=\"2\"")));
    // "打开日志文件夹" shows the folder in Explorer.
    PostMessageW(main, WM_COMMAND, MAKEWPARAM(10401, 0), 0);
    HWND explorer = nullptr;
    EXPECT_TRUE(
        WaitFor([&] { return (explorer = FindWindowExW(nullptr, nullptr, nullptr, L"logs")) != nullptr; }, 10000));
    PostMessageW(explorer, WM_CLOSE, 0, 0);
    ASSERT_TRUE(Quit());
    std::vector<std::wstring> files = LogFiles();
    ASSERT_EQ(files.size(), 2u);
    wchar_t newest[40];
    swprintf(newest, 40, L"tollwick-%010lu.log", number + 1);
    EXPECT_EQ(files[1], newest);
    std::vector<LogLine> lines = ReadLog();
    ASSERT_GE(lines.size(), 3u);
    EXPECT_EQ(lines.back().number, number + 2);
    EXPECT_EQ(lines.back().text, L"Tollwick 已退出, 原因:用户退出");
}

// The backstop start brings Tollwick back after any end but a person's quit:
// after the quit it ends at once, with no window, no log line and config.xml
// as the quit left it; after a kill it runs.
TEST_F(AppLogTest, ABackstopStartAfterAQuitEndsAtOnceAndAfterAKillRuns)
{
    ASSERT_TRUE(Launch());
    EXPECT_EQ(tw_test::ReadBytes(Logs() + L"run-state.txt"), "running");
    ASSERT_TRUE(Quit());
    EXPECT_EQ(tw_test::ReadBytes(Logs() + L"run-state.txt"), "quit");
    size_t lines = ReadLog().size();
    std::string config = Config();

    HelperProcess backstop;
    ASSERT_TRUE(backstop.Start(L"/backstop", dir.File(L"Tollwick.exe")));
    EXPECT_TRUE(backstop.WaitForExit(5000)) << "a backstop start after a quit ends at once";
    EXPECT_EQ(backstop.ExitCode(), 0);
    EXPECT_EQ(ReadLog().size(), lines);
    EXPECT_EQ(Config(), config);
    EXPECT_EQ(tw_test::ReadBytes(Logs() + L"run-state.txt"), "quit");

    ASSERT_TRUE(Launch());
    ASSERT_TRUE(TerminateProcess(app.Handle(), 1));
    ASSERT_TRUE(app.WaitForExit(5000));
    ASSERT_TRUE(Launch("", L"/backstop")) << "a backstop start after a kill runs";
    EXPECT_EQ(tw_test::ReadBytes(Logs() + L"run-state.txt"), "running");
    ASSERT_TRUE(Quit());
}

// A run that ended without its exit line (killed here) is named at the next
// start, with the time of its last entry; a run that was quit is not.
TEST_F(AppLogTest, AStartAfterAKillLogsTheUncleanEndAndOneAfterAQuitDoesNot)
{
    ASSERT_TRUE(Launch());
    ASSERT_TRUE(TerminateProcess(app.Handle(), 1));
    ASSERT_TRUE(app.WaitForExit(5000));
    std::vector<LogLine> before = ReadLog();
    ASSERT_FALSE(before.empty());
    std::wstring lastTime(before.back().time.begin(), before.back().time.end());

    ASSERT_TRUE(Launch());
    ASSERT_TRUE(Quit());
    std::vector<LogLine> after = ReadLog();
    ASSERT_GE(after.size(), before.size() + 3);
    EXPECT_EQ(after[before.size()].text, L"Tollwick 已启动, 版本为:" TW_VERSION_WIDE);
    EXPECT_EQ(after[before.size() + 1].text, L"上次运行未正常结束, 最后一条记录时间为: " + lastTime);

    ASSERT_TRUE(Launch());
    ASSERT_TRUE(Quit());
    std::vector<LogLine> clean = ReadLog();
    ASSERT_EQ(clean.size(), after.size() + 2);
    EXPECT_EQ(clean[after.size()].text, L"Tollwick 已启动, 版本为:" TW_VERSION_WIDE);
    EXPECT_EQ(clean[after.size() + 1].text, L"Tollwick 已退出, 原因:用户退出");
}
