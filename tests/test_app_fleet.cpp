// The outputs for a fleet against the real outside parts, run by
// tests/fleet/with_peers.sh: the metrics file read by Debian's
// prometheus-node-exporter from its textfile folder, and the webhook's
// events received by a Python http.server on 127.0.0.1. The event log is
// written all along; Wine's stores nothing, and the run must not mind.
#include "tests/app_fixture.h"

#include <winhttp.h>

#include <stdlib.h>

using namespace tw_app_test;

namespace {

std::wstring Setting(const char* name)
{
    const wchar_t* value = _wgetenv(std::wstring(name, name + strlen(name)).c_str());
    return value ? value : L"";
}

// The body of a GET to an http:// URL, or empty.
std::string HttpGet(const std::wstring& url)
{
    URL_COMPONENTS parts = {};
    parts.dwStructSize = sizeof(parts);
    wchar_t host[256] = {}, path[1024] = {};
    parts.lpszHostName = host;
    parts.dwHostNameLength = 256;
    parts.lpszUrlPath = path;
    parts.dwUrlPathLength = 1024;
    if (!WinHttpCrackUrl(url.c_str(), 0, 0, &parts))
        return "";
    std::string body;
    HINTERNET session = WinHttpOpen(L"tollwick-test", WINHTTP_ACCESS_TYPE_NO_PROXY, nullptr, nullptr, 0);
    HINTERNET connection = session ? WinHttpConnect(session, host, parts.nPort, 0) : nullptr;
    HINTERNET request =
        connection ? WinHttpOpenRequest(connection, L"GET", path, nullptr, nullptr, nullptr, 0) : nullptr;
    if (request && WinHttpSendRequest(request, nullptr, 0, nullptr, 0, 0, 0) &&
        WinHttpReceiveResponse(request, nullptr)) {
        char buffer[4096];
        DWORD read = 0;
        while (WinHttpReadData(request, buffer, sizeof(buffer), &read) && read)
            body.append(buffer, read);
    }
    for (HINTERNET h : {request, connection, session}) {
        if (h)
            WinHttpCloseHandle(h);
    }
    return body;
}

// The received events that hold every part given.
size_t Received(const std::string& events, std::initializer_list<const char*> parts)
{
    size_t n = 0;
    for (size_t at = 0; at < events.size();) {
        size_t end = events.find('\n', at);
        std::string line = events.substr(at, end == std::string::npos ? std::string::npos : end - at);
        bool all = true;
        for (const char* part : parts)
            all = all && line.find(part) != std::string::npos;
        n += all;
        at = end == std::string::npos ? events.size() : end + 1;
    }
    return n;
}

// The sample's value in an exposition text, or -1 when the series is not there.
double Sample(const std::string& text, const std::string& series)
{
    size_t at = text.find("\n" + series + " ");
    return at == std::string::npos ? -1 : atof(text.c_str() + at + series.size() + 2);
}

} // namespace

TEST_F(AppTest, AKillAndARestartReachNodeExporterAndTheReceiver)
{
    std::wstring folder = Setting("TOLLWICK_TEXTFILE_DIR"), eventsFile = Setting("TOLLWICK_EVENTS_FILE");
    std::wstring receiver = Setting("TOLLWICK_RECEIVER_URL"), exporter = Setting("TOLLWICK_EXPORTER_URL");
    ASSERT_FALSE(folder.empty() || receiver.empty() || exporter.empty()) << "run by tests/fleet/with_peers.sh";
    std::wstring metricsFile = folder + L"\\tollwick.prom";
    // It hangs two seconds in: killed after the five-second grace and started
    // again, without the switches, as a well one.
    ASSERT_TRUE(watched.Start(L"--title Watched --hang-after 2000 --hang-for 60000") && watched.WaitForWindow());
    ASSERT_TRUE(Launch(ConfigWith("autostartmonitor=\"1\" metricsfile=\"" + Narrow(metricsFile) + "\" webhookurl=\"" +
                                      Narrow(receiver) + "\"",
                                  Entry(HelperPath()))));
    ASSERT_TRUE(Status(L"监控中"));

    auto events = [&] { return ReadBytes(eventsFile); };
    ASSERT_TRUE(WaitFor(
        [&] {
            return Received(events(), {"\"event\":\"hang_kill\"", "\"entry\":1,"}) == 1;
        },
        30000))
        << events();
    ASSERT_TRUE(WaitFor(
        [&] {
            return Received(events(), {"\"event\":\"restart\"", "\"entry\":1,"}) >= 1;
        },
        10000))
        << events();
    EXPECT_EQ(Received(events(), {"\"event\":\"tollwick_start\"", "\"program\":null"}), 1u) << events();
    EXPECT_EQ(Received(events(), {"\"event\":\"monitoring_start\""}), 1u) << events();
    EXPECT_EQ(Received(events(), {"\"program\":\"tollwick_helper.exe\"", "\"text\":\"延时关闭程序卡死的时钟"}), 1u)
        << events();

    // The path's backslashes are escaped in the label.
    std::string path = Narrow(HelperPath()), escaped;
    for (char c : path)
        escaped += c == '\\' ? std::string("\\\\") : std::string(1, c);
    // The file's order of labels, and the exporter's (it sorts them).
    std::string fileLabels = "{entry=\"1\",program=\"tollwick_helper.exe\",path=\"" + escaped + "\"}";
    std::string labels = "{entry=\"1\",path=\"" + escaped + "\",program=\"tollwick_helper.exe\"}";
    std::string metrics;
    ASSERT_TRUE(WaitFor(
        [&] {
            metrics = "\n" + HttpGet(exporter);
            return Sample(metrics, "tollwick_program_hang_kills_total" + labels) == 1 &&
                   Sample(metrics, "tollwick_program_running" + labels) == 1;
        },
        10000))
        << metrics;
    EXPECT_GE(Sample(metrics, "tollwick_program_restarts_total" + labels), 1) << metrics;
    EXPECT_GT(Sample(metrics, "tollwick_program_last_start_time_seconds" + labels), 1.7e9) << metrics;
    EXPECT_EQ(Sample(metrics, "tollwick_program_backoff_wait_seconds" + labels), 0) << metrics;
    EXPECT_EQ(Sample(metrics, "tollwick_up"), 1) << metrics;
    EXPECT_EQ(Sample(metrics, "tollwick_monitoring"), 1) << metrics;
    EXPECT_GT(Sample(metrics, "tollwick_start_time_seconds"), 1.7e9) << metrics;
    EXPECT_EQ(Sample(metrics, "node_textfile_scrape_error"), 0) << metrics;
    // The file as it was served, for promtool afterwards.
    ASSERT_TRUE(CopyFileW(metricsFile.c_str(), (folder + L"\\..\\served.prom").c_str(), FALSE));

    // A stop of monitoring and a quit: the last file says Tollwick is down.
    Click(10100);
    ASSERT_TRUE(Status(L"已取消监控"));
    ASSERT_TRUE(Quit());
    std::string last = "\n" + ReadBytes(metricsFile);
    EXPECT_EQ(Sample(last, "tollwick_up"), 0) << last;
    EXPECT_EQ(Sample(last, "tollwick_monitoring"), 0) << last;
    EXPECT_EQ(Sample(last, "tollwick_program_hang_kills_total" + fileLabels), 1) << last;
    EXPECT_TRUE(WaitFor([&] { return Received(events(), {"\"event\":\"tollwick_exit\""}) == 1; }, 5000)) << events();
    EXPECT_EQ(Received(events(), {"\"event\":\"monitoring_stop\""}), 1u) << events();
}
