// Measures the monitoring engine on real helper processes and prints the
// figures of the README's "Benchmark"; it reports, it passes or fails nothing.
//
//   engine_bench.exe [--quick | --idle | --guardian | --restart | --startup | --scale | --health | --fleet]
#include "bench/figures.h"
#include "config/config.h"
#include "monitor/error_log.h"
#include "monitor/fleet.h"
#include "monitor/health_check.h"
#include "monitor/launch.h"
#include "monitor/log_file.h"
#include "monitor/metrics_file.h"
#include "monitor/monitor.h"
#include "monitor/process_query.h"
#include "monitor/program_table.h"
#include "monitor/ui_links.h"
#include "tests/helper_process.h"
#include "tests/http_peer.h"
#include "tests/running.h"
#include "tests/host_window.h"
#include "tests/test_support.h"

#include <commctrl.h>

#include <atomic>
#include <cstdio>
#include <cstring>
#include <cwchar>
#include <functional>
#include <memory>
#include <string>
#include <vector>

using namespace tw_test;
using tw_bench::NowMs;
using tw_bench::PrivateMbOf;
using tw_bench::Spread;
using tw_bench::SpreadOf;

namespace {

double Ms(const FILETIME& t)
{
    return static_cast<double>((static_cast<unsigned long long>(t.dwHighDateTime) << 32) | t.dwLowDateTime) / 10000.0;
}

// CPU time of the whole process, or of the monitor threads alone, in ms.
double CpuMs(bool monitorThreadsOnly)
{
    FILETIME created, exited, kernel, user;
    if (!monitorThreadsOnly) {
        GetProcessTimes(GetCurrentProcess(), &created, &exited, &kernel, &user);
        return Ms(kernel) + Ms(user);
    }
    double total = 0;
    tw::CLock lock(tw::TableLock());
    for (size_t i = 0; i < tw::g_programCount; ++i) {
        if (GetThreadTimes(tw::g_monitorList.At(i).monitorThread, &created, &exited, &kernel, &user))
            total += Ms(kernel) + Ms(user);
    }
    return total;
}

// Under Wine most of what a window walk or a cross-process message costs is
// spent in the wineserver, whose Linux process id tools/bench.sh passes; its
// CPU time is read from /proc through Wine's Z: drive. 0 elsewhere.
double WineserverCpuMs()
{
    wchar_t id[32] = {0};
    if (!GetEnvironmentVariableW(L"TOLLWICK_WINESERVER_PID", id, 32))
        return 0;
    std::string stat = ReadBytes(std::wstring(L"Z:\\proc\\") + id + L"\\stat");
    // After the command name in parentheses: state is field 3, utime 14, stime 15.
    const char* rest = std::strrchr(stat.c_str(), ')');
    unsigned long long utime = 0, stime = 0;
    if (!rest || std::sscanf(rest + 2, "%*c %*d %*d %*d %*d %*d %*u %*u %*u %*u %*u %llu %llu", &utime, &stime) != 2)
        return 0;
    return static_cast<double>(utime + stime) * 10.0; // 100 clock ticks a second
}

// Looks every millisecond and asks the system nothing in between:
// PumpUntil's 20 ms steps would round the restart's figures, and a message
// wait between looks is a call into the wineserver, beside the start being
// timed (the host window's messages wait for the next PumpFor).
bool PollUntil(const std::function<bool()>& done, DWORD timeoutMs)
{
    for (double start = NowMs(); !done(); Sleep(1)) {
        if (NowMs() - start >= timeoutMs)
            return false;
    }
    return true;
}

// n helper programs, each a picked program with its own monitor thread and
// its own copy of the helper, watched from a hidden host window.
class Watchdog {
public:
    // With lastOptions, the last helper is started with them (a hung one);
    // with health, every program has those health checks.
    Watchdog(size_t n, int periodSeconds, const std::wstring& lastOptions = L"", int graceSeconds = 5,
             const tw::HealthSettings* health = nullptr)
    {
        tw::g_errorLog.ResetForTest();
        tw::ClearPrograms();
        tw::g_config.OpenIn(tw::CStrW(m_dir.Path().c_str()));
        for (size_t i = 0; i < n; ++i) {
            m_paths.push_back(m_dir.File((L"program" + std::to_wstring(i) + L".exe").c_str()));
            CopyFileW(HelperPath().c_str(), m_paths[i].c_str(), FALSE);
            m_helpers.emplace_back(new HelperProcess);
            m_helpers[i]->Start(i + 1 == n ? lastOptions : L"", m_paths[i]);
        }
        double appendMs = 0;
        for (size_t i = 0; i < n; ++i) {
            tw::CMonitorItem record = {};
            record.window = m_helpers[i]->WaitForWindow(30000);
            record.processId = m_helpers[i]->Id();
            record.path.AssignChars(m_paths[i].c_str(), 0);
            record.name.AssignChars(m_paths[i].c_str() + m_paths[i].rfind(L'\\') + 1, 0);
            // As the finder records them: a crash-report title to look for.
            record.errflag.AssignChars(L"程序崩溃报告", 0);
            double start = NowMs();
            tw::AppendProgram(record);
            appendMs += NowMs() - start;
            if (health) {
                tw::HealthSettings copy = *health;
                tw::SetProgramHealth(i, copy);
            }
        }
        m_appendMs = appendMs;
        tw::g_config.SetInt(0, "monitortime", periodSeconds);
        tw::g_config.SetInt(0, "unresponsetime", graceSeconds);
        tw::BeginMonitoring();
        for (size_t i = 0; i < n; ++i)
            tw::StartMonitorThread(i);
    }
    ~Watchdog()
    {
        tw::EndMonitoring();
        for (size_t i = 0; i < tw::g_programCount; ++i)
            tw::KillProgramProcess(i);
        tw::ClearPrograms();
    }

    // Ends program i from outside, as a crash would; its old process id.
    DWORD Kill(size_t i) const
    {
        DWORD old = tw::ProgramProcessId(i);
        tw::CHandle process(OpenProcess(PROCESS_TERMINATE | SYNCHRONIZE, FALSE, old));
        if (process && TerminateProcess(process.Get(), 1))
            WaitForSingleObject(process.Get(), 5000);
        return old;
    }
    // Waits for program i to run under another id than old; true when it does.
    bool Restarted(size_t i, DWORD old, DWORD timeoutMs) const
    {
        return PumpUntil([&] { return tw::FindProcessRunning(tw::CStrW(m_paths[i].c_str()), &old, 1) != 0; },
                         timeoutMs);
    }
    // The same, looked for as the bare start is: the record's new id listed.
    bool NewIdListed(size_t i, DWORD old, DWORD timeoutMs) const
    {
        return PollUntil(
            [&] {
                DWORD id = tw::ProgramProcessId(i);
                return id && id != old && tw::FindProcessEntry(id, nullptr) != 0;
            },
            timeoutMs);
    }
    // The time AppendProgram took for all the programs, in ms.
    double AppendMs() const { return m_appendMs; }

private:
    HostWindow m_host;
    TempDir m_dir;
    std::vector<std::wstring> m_paths;
    std::vector<std::unique_ptr<HelperProcess>> m_helpers;
    double m_appendMs = 0;
};

// The error log's memory: what one entry costs, and that a crash loop's
// entries stop costing once the log keeps only its newest ones.
void LogMemory(size_t total)
{
    tw::g_errorLog.ResetForTest();
    double before = PrivateMbOf();
    auto addUpTo = [](size_t count) {
        while (tw::g_errorLog.Count() + tw::g_errorLog.Dropped() < count)
            tw::g_errorLog.AddFormat(tw::ProgramEvent(tw::EventKind::Restart, 0), L"进程\"%s\"重启成功, 进程ID为:%d\n",
                                     L"kiosk.exe", static_cast<int>(1000 + tw::g_errorLog.Count() % 9000));
    };
    addUpTo(tw::kLogCapacity);
    double atCap = PrivateMbOf() - before;
    std::printf("log memory: %zu entries (the cap) take %.2f MB = %.0f bytes per entry (target < 200)\n",
                tw::kLogCapacity, atCap, atCap * 1024 * 1024 / static_cast<double>(tw::kLogCapacity));
    std::printf("log memory curve:");
    for (size_t count = tw::kLogCapacity * 2; count < total; count *= 2) {
        addUpTo(count);
        std::printf(" %zu entries %+.2f MB;", count, PrivateMbOf() - before);
    }
    addUpTo(total);
    std::printf(" %zu entries %+.2f MB (%zu kept, %llu dropped)\n", total, PrivateMbOf() - before,
                tw::g_errorLog.Count(), tw::g_errorLog.Dropped());
    tw::g_errorLog.ResetForTest();
}

// One entry's cost with its line written to the logs folder and in memory only,
// and beside them a bare write and flush per line (Wine 8 opens files without
// O_DSYNC whatever FILE_FLAG_WRITE_THROUGH says, but does flush).
void LogLineCost(size_t n)
{
    const char line[] = "001\t2026-12-07 20:41:05\tkiosk.exe restarted\r\n";
    auto measure = [&](tw::CLogFolder* folder, HANDLE flushed) {
        tw::g_errorLog.ResetForTest();
        if (folder)
            tw::g_errorLog.UseFolder(folder);
        std::vector<double> costs;
        for (size_t i = 0; i < n; ++i) {
            double start = NowMs();
            DWORD written = 0;
            if (!flushed)
                tw::g_errorLog.AddFormat(tw::ProgramEvent(tw::EventKind::Restart, 0),
                                         L"进程\"%s\"重启成功, 进程ID为:%d\n", L"kiosk.exe",
                                         static_cast<int>(1000 + i % 9000));
            else if (WriteFile(flushed, line, sizeof(line) - 1, &written, nullptr))
                FlushFileBuffers(flushed);
            costs.push_back(NowMs() - start);
        }
        tw::g_errorLog.ResetForTest();
        return SpreadOf(costs);
    };
    TempDir dir;
    tw::CLogFolder folder;
    folder.Open(tw::CStrW((dir.Path() + L"logs\\").c_str()), tw::kDefaultLogFileKb * 1024, tw::kDefaultLogFileCount);
    Spread off = measure(nullptr, nullptr), on = measure(&folder, nullptr);
    folder.Close();
    tw::CHandle file(CreateFileW(dir.File(L"flushed.log").c_str(), FILE_APPEND_DATA, 0, nullptr, CREATE_ALWAYS,
                                 FILE_ATTRIBUTE_NORMAL, nullptr));
    Spread flushed = measure(nullptr, file.Get());
    std::printf("log line (%zu lines each): file off median %.3f ms (p95 %.3f); file on median %.3f ms (p95 %.3f, max "
                "%.2f); target < 1 ms; a bare write and flush per line median %.3f ms (p95 %.3f)\n",
                n, off.median, off.p95, on.median, on.p95, on.max, flushed.median, flushed.p95);
}

long long Counter()
{
    LARGE_INTEGER now;
    QueryPerformanceCounter(&now);
    return now.QuadPart;
}

double CounterMs(long long ticks)
{
    LARGE_INTEGER frequency;
    QueryPerformanceFrequency(&frequency);
    return static_cast<double>(ticks) * 1000.0 / static_cast<double>(frequency.QuadPart);
}

// The kill to the new process listed, each restart taken apart by the
// engine's own stamps (tw::RestartStep), beside the bare start of the helper
// until it is listed; both looked for every millisecond.
void RestartLatency(int kills)
{
    std::vector<double> bare, restart;
    for (int i = 0; i < kills; ++i) {
        HelperProcess helper;
        double start = NowMs();
        helper.Start(L"--no-window");
        PollUntil([&] { return tw::FindProcessEntry(helper.Id(), nullptr) != 0; }, 10000);
        bare.push_back(NowMs() - start);
    }
    using Step = tw::RestartStep;
    const struct {
        const char* name;
        Step from, to;
    } parts[] = {{"exit seen", Step::Count, Step::ExitSeen},
                 {"wake-up", Step::ExitSeen, Step::ThreadAwake},
                 {"running check", Step::ThreadAwake, Step::RunningChecked},
                 {"backoff", Step::RunningChecked, Step::BackoffDecided},
                 {"hint post", Step::BackoffDecided, Step::HintPosted},
                 {"old instance", Step::HintPosted, Step::InstanceEnded},
                 {"claim and walk", Step::InstanceEnded, Step::Claimed},
                 {"CreateProcessW", Step::Claimed, Step::ProcessCreated},
                 {"window", Step::ProcessCreated, Step::WindowFound},
                 {"log line", Step::WindowFound, Step::Logged}};
    std::vector<std::vector<double>> partMs(sizeof(parts) / sizeof(parts[0]));
    std::vector<double> ours, listed;
    Watchdog watchdog(1, 1);
    PumpFor(1500);
    for (int i = 0; i < kills; ++i) {
        long long killed = Counter();
        double start = NowMs();
        if (watchdog.NewIdListed(0, watchdog.Kill(0), 10000))
            restart.push_back(NowMs() - start);
        long long seen = Counter();
        auto at = [&](Step step) {
            return step == Step::Count ? killed : tw::g_restartMoments[static_cast<int>(step)].load();
        };
        // The log line comes after the new window was looked for.
        PollUntil([&] { return at(Step::Logged) > killed; }, 5000);
        bool whole = true;
        for (const auto& part : parts)
            whole = whole && at(part.to) >= at(part.from) && at(part.from) >= killed;
        if (whole) {
            for (size_t p = 0; p < partMs.size(); ++p)
                partMs[p].push_back(CounterMs(at(parts[p].to) - at(parts[p].from)));
            ours.push_back(CounterMs(at(Step::ProcessCreated) - at(Step::ExitSeen)));
            listed.push_back(CounterMs(seen - at(Step::ProcessCreated)));
        }
        // Past the crash-loop guard of one period before the next kill.
        PumpFor(1200);
    }
    Spread r = SpreadOf(restart), b = SpreadOf(bare);
    std::printf("restart latency (%zu of %d kills): median %.1f ms, p95 %.1f ms; bare start and list: median %.1f ms, "
                "p95 %.1f ms; targets median <= %.1f ms, p95 <= %.1f ms\n",
                r.count, kills, r.median, r.p95, b.median, b.p95, b.median * 1.2 + 5, b.p95 * 1.2 + 10);
    std::printf("restart breakdown (medians of %zu restarts, ms):", ours.size());
    for (size_t p = 0; p < partMs.size(); ++p)
        std::printf(" %s %.2f;", parts[p].name, SpreadOf(partMs[p]).median);
    std::printf(" exit seen to CreateProcessW returned %.2f; CreateProcessW returned to listed %.2f\n",
                SpreadOf(ours).median, SpreadOf(listed).median);
}

// Five full log files of earlier runs in folder: entries lines, numbered from 1.
void WriteEarlierLogs(const std::wstring& folder, size_t entries)
{
    CreateDirectoryW(folder.c_str(), nullptr);
    constexpr size_t kFiles = 5;
    size_t perFile = (entries + kFiles - 1) / kFiles;
    for (size_t first = 1; first <= entries; first += perFile) {
        tw::CStrW lines;
        for (size_t n = first; n < first + perFile && n <= entries; ++n) {
            wchar_t text[80];
            swprintf(text, 80, L"进程\"kiosk.exe\"重启成功, 进程ID为:%u", static_cast<unsigned>(1000 + n % 9000));
            tw::AppendLogLine(lines, n, 1796000000LL + static_cast<long long>(n), text, wcslen(text));
        }
        wchar_t name[40];
        swprintf(name, 40, L"tollwick-%010u.log", static_cast<unsigned>(first));
        tw::CStrA bytes = tw::EncodeLogLine(lines);
        WriteBytes(folder + name, std::string(bytes.c_str(), bytes.Length()));
    }
}

// The real Tollwick.exe started in a folder of its own until its main window
// shows, with no log files and with earlier runs' entries in five files; and
// in this process, what reading those files back takes.
void StartUp(int runs, size_t entries)
{
    std::vector<double> none, full;
    LRESULT rows = 0;
    for (int i = 0; i < 2 * runs; ++i) {
        bool withLogs = i % 2 == 1;
        TempDir dir;
        std::wstring exe = dir.File(L"Tollwick.exe");
        CopyFileW((TestBinaryDirectory() + L"..\\Tollwick.exe").c_str(), exe.c_str(), FALSE);
        WriteBytes(dir.File(L"config.xml"), "<?xml version=\"1.0\" encoding=\"gb2312\" ?>\n<config bootstart=\"0\" "
                                            "autostartmonitor=\"0\" selfguard=\"0\" />\n");
        if (withLogs)
            WriteEarlierLogs(dir.File(L"logs\\"), entries);
        HelperProcess tollwick;
        HWND main = nullptr;
        double start = NowMs();
        tollwick.Start(L"", exe);
        if (!PollUntil(
                [&] {
                    main = FindOwnWindow(tollwick.Id(), L"Tollwick 程序守护 主窗口", nullptr);
                    return main && IsWindowVisible(main);
                },
                20000))
            continue;
        (withLogs ? full : none).push_back(NowMs() - start);
        if (withLogs)
            rows = SendMessageW(GetDlgItem(GetDlgItem(main, 10001), 10005), LVM_GETITEMCOUNT, 0, 0);
        tollwick.Stop();
        // The next start comes once this one's end has settled: a start right
        // after a kill took twice as long.
        PumpFor(3000);
    }
    TempDir dir;
    WriteEarlierLogs(dir.File(L"logs\\"), entries);
    tw::CLogFolder folder;
    folder.Open(tw::CStrW(dir.File(L"logs\\").c_str()), tw::kDefaultLogFileKb * 1024, tw::kDefaultLogFileCount);
    double start = NowMs();
    tw::CArray<tw::CErrorLogEntry> newest;
    folder.ReadNewest(tw::kLogCapacity, &newest);
    double read = NowMs() - start;
    size_t count = newest.Count();
    for (size_t i = 0; i < count; ++i)
        newest.At(i).text.Release();
    newest.Destroy();
    tw::g_errorLog.ResetForTest();
    start = NowMs();
    tw::g_errorLog.UseFolder(&folder);
    double taken = NowMs() - start;
    tw::g_errorLog.ResetForTest();
    Spread n = SpreadOf(none), f = SpreadOf(full);
    auto each = [](const std::vector<double>& starts) {
        std::string text;
        for (double ms : starts)
            text += (text.empty() ? "" : " ") + std::to_string(static_cast<int>(ms));
        return text;
    };
    std::printf("start-up to the main window (%zu and %zu starts): no log files median %.0f ms (%s); %zu earlier "
                "entries in 5 files median %.0f ms (%s; %ld rows listed); target within %.0f ms; reading them back in "
                "this process: %zu entries in %.1f ms, into the error log %.1f ms\n",
                n.count, f.count, n.median, each(none).c_str(), entries, f.median, each(full).c_str(),
                static_cast<long>(rows), n.median * 1.2, count, read, taken);
}

// Where a cycle's time goes: each check of every program, called directly
// (no thread), in microseconds of wall time per call, and the wineserver's
// CPU for all of them.
void ProfileChecks(size_t programs, int rounds)
{
    Watchdog watchdog(programs, 3600);
    PumpFor(3000);
    // What each monitor thread keeps about its program between cycles.
    std::vector<tw::InstanceWatch> watches(programs);
    const std::pair<const char*, std::function<void(size_t)>> checks[] = {
        {"running", [&](size_t i) { tw::CheckRunning(i, watches[i]); }},
        {"error dialog and crash report", tw::CheckErrorDialog},
        {"hang", tw::CheckHang}};
    std::printf("cycle profile (%zu programs, %d rounds):", programs, rounds);
    for (const auto& check : checks) {
        double server = WineserverCpuMs(), start = NowMs();
        for (int r = 0; r < rounds; ++r) {
            for (size_t i = 0; i < programs; ++i)
                check.second(i);
            PumpFor(0);
        }
        std::printf(" %s %.0f us (wineserver %.0f ms);", check.first, (NowMs() - start) * 1000 / (rounds * programs),
                    WineserverCpuMs() - server);
    }
    std::printf("\n");
}

void IdleCost(size_t programs, DWORD seconds)
{
    Watchdog watchdog(programs, 5);
    PumpFor(6000);
    double cpu = CpuMs(false), threads = CpuMs(true), server = WineserverCpuMs();
    unsigned long long wakeups = tw::g_monitorStats.wakeups.load();
    PumpFor(seconds * 1000);
    cpu = CpuMs(false) - cpu;
    threads = CpuMs(true) - threads;
    server = WineserverCpuMs() - server;
    double perPeriod = static_cast<double>(tw::g_monitorStats.wakeups.load() - wakeups) / programs / (seconds / 5.0);
    std::printf("idle cost (%zu programs, 5 s period, %lu s): monitor threads %.1f ms CPU = %.3f %% of one core "
                "(whole process with its window %.1f ms = %.3f %%; wineserver %.0f ms = %.3f %%); %.2f wake-ups per "
                "thread per period\n",
                programs, seconds, threads, threads / (seconds * 10.0), cpu, cpu / (seconds * 10.0), server,
                server / (seconds * 10.0), perPeriod);
}

// Health checks that pass: a heartbeat file the benchmark wrote (a day may
// pass before it is stale) and a local HTTP peer that answers 200.
tw::HealthSettings PassingChecks(const std::wstring& heartbeat, const std::wstring& url)
{
    WriteBytes(heartbeat, "alive");
    tw::HealthSettings health = tw::DefaultHealth();
    health.heartbeatFile.AssignChars(heartbeat.c_str(), 0);
    health.heartbeatSeconds = 86400;
    health.healthUrl.AssignChars(url.c_str(), 0);
    health.graceSeconds = 0;
    return health;
}

// What each health check costs its monitor thread per program per cycle
// (the address probe's own work is on a pool thread: its cost shows in the
// idle figures).
void ProfileHealthChecks(size_t programs, int rounds)
{
    TempDir dir;
    HttpPeer peer;
    peer.Open();
    tw::HealthSettings health = PassingChecks(dir.File(L"beat.txt"), peer.Url());
    health.cpuLimitPercent = 90;
    Watchdog watchdog(programs, 3600, L"", 5, &health);
    PumpFor(3000);
    std::vector<std::unique_ptr<tw::HealthWork>> works;
    std::vector<tw::CheckInput> inputs(programs);
    for (size_t i = 0; i < programs; ++i) {
        works.emplace_back(new tw::HealthWork);
        tw::ProgramView view;
        tw::CopyProgram(i, &view);
        inputs[i] = {i, view.processId, view.window, view.name, view.path, view.recovery, view.health, 5000};
        inputs[i].recovery.memoryLimitMb = 1024;
    }
    std::printf("health check profile (%zu programs, %d rounds):", programs, rounds);
    for (int id = 0; id < tw::kCheckCount; ++id) {
        const tw::HealthCheck& check = tw::HealthCheckRow(id);
        double start = NowMs();
        for (int r = 0; r < rounds; ++r) {
            for (size_t i = 0; i < programs; ++i) {
                tw::CheckReading reading = {0, 0};
                check.probe(inputs[i], *works[i], &reading);
            }
            // Gives each probe in flight time to end, as a period would.
            double paused = NowMs();
            PumpFor(20);
            start += NowMs() - paused;
        }
        const char* names[tw::kCheckCount] = {"memory", "heartbeat", "address (queueing its probe)", "cpu"};
        std::printf(" %s %.0f us;", names[id], (NowMs() - start) * 1000 / (rounds * programs));
    }
    std::printf(" the address peer answered %d requests\n", peer.Requests());
}

// The idle cost of programs that each have a heartbeat and an address check.
// The address is that of a peer outside this process when tools/bench.sh
// started one (Python's http.server), so that only the probes' own cost is
// counted; else the in-process peer's work is counted with them.
void HealthIdleCost(size_t programs, DWORD seconds)
{
    TempDir dir;
    HttpPeer peer;
    peer.Open();
    wchar_t outside[256] = {0};
    bool apart = GetEnvironmentVariableW(L"TOLLWICK_BENCH_PEER_URL", outside, 256) > 0;
    tw::HealthSettings health = PassingChecks(dir.File(L"beat.txt"), apart ? outside : peer.Url());
    Watchdog watchdog(programs, 5, L"", 5, &health);
    PumpFor(6000);
    int requests = peer.Requests();
    unsigned long long passes = 0;
    double cpu = CpuMs(false), threads = CpuMs(true), server = WineserverCpuMs();
    PumpFor(seconds * 1000);
    cpu = CpuMs(false) - cpu;
    threads = CpuMs(true) - threads;
    server = WineserverCpuMs() - server;
    for (size_t i = 0; i < programs; ++i) {
        tw::ProgramView view;
        tw::CopyProgram(i, &view);
        passes += view.checks[tw::kCheckEndpoint].verdict == tw::Verdict::Pass;
    }
    std::printf("idle cost with health checks (%zu programs, a heartbeat and an HTTP check each, 5 s period, %lu s, "
                "peer %s): monitor threads %.1f ms CPU = %.3f %% of one core (whole process with its pool and window "
                "%.1f ms = %.3f %%, target < 0.2 %%; wineserver %.0f ms = %.3f %%); %llu of %zu addresses passing; %d "
                "requests to the in-process peer\n",
                programs, seconds, apart ? "outside the process" : "in the process", threads,
                threads / (seconds * 10.0), cpu, cpu / (seconds * 10.0), server, server / (seconds * 10.0), passes,
                programs, peer.Requests() - requests);
}

// The outputs for a fleet on (the event log, a metrics file, a webhook to a
// receiver that answers 2xx) or all off. The receiver is the one outside the
// process that tools/bench.sh starts, so that its work is not counted; else
// the in-process peer (whose thread looks for connections 20 times a second).
struct FleetOutputs {
    explicit FleetOutputs(bool on)
    {
        if (!on)
            return;
        wchar_t outside[256] = {0};
        bool apart = GetEnvironmentVariableW(L"TOLLWICK_BENCH_RECEIVER_URL", outside, 256) > 0;
        if (!apart)
            peer.Open();
        tw::FleetSettings settings;
        settings.metricsFile.AssignChars(dir.File(L"tollwick.prom").c_str(), 0);
        settings.webhookUrl.AssignChars(apart ? outside : peer.Url().c_str(), 0);
        settings.version.AssignChars(L"bench", 0);
        tw::StartFleet(settings);
        started = true;
    }
    ~FleetOutputs()
    {
        if (started)
            tw::StopFleet();
    }
    TempDir dir;
    HttpPeer peer;
    bool started = false;
};

// What a log line costs the thread that logs it with every output on, beside
// all off, and what one write of the metrics file costs the fleet thread.
void FleetLineCost(size_t lines, size_t programs)
{
    Watchdog watchdog(programs, 3600);
    double median[2] = {0, 0};
    for (bool on : {false, true}) {
        FleetOutputs outputs(on);
        std::vector<double> costs;
        for (size_t i = 0; i < lines; ++i) {
            double start = NowMs();
            tw::g_errorLog.AddFormat(tw::ProgramEvent(tw::EventKind::Restart, i % programs),
                                     L"进程\"%s\"重启成功, 进程ID为:%d\n", L"kiosk.exe", static_cast<int>(i));
            costs.push_back(NowMs() - start);
            // The pace of a busy kiosk, not a flood: the queue never fills.
            if (i % 100 == 99)
                PumpFor(50);
        }
        median[on] = SpreadOf(costs).median;
    }
    TempDir dir;
    std::vector<double> writes;
    for (int i = 0; i < 50; ++i) {
        double start = NowMs();
        tw::TollwickMetrics metrics;
        tw::TakeMetricsSnapshot(true, 0, &metrics);
        tw::CStrA text = tw::BuildMetricsText(metrics);
        tw::ReleaseMetrics(&metrics);
        tw::ReplaceMetricsFile(tw::CStrW(dir.File(L"tollwick.prom").c_str()), text);
        writes.push_back(NowMs() - start);
    }
    std::printf("fleet outputs (%zu programs): a log line costs its thread median %.3f ms with the event log, metrics "
                "file and webhook on, %.3f ms with them off; one metrics file write median %.2f ms\n",
                programs, median[1], median[0], SpreadOf(writes).median);
}

// The idle cost of the whole process with the outputs for a fleet on, beside
// the same with them off, in turns: Wine counts process time in 10 ms steps
// and the machine's own load moves a single figure by more than the outputs
// could.
void FleetIdleCost(size_t programs, DWORD seconds, int turns)
{
    std::vector<double> cost[2];
    for (int turn = 0; turn < turns * 2; ++turn) {
        bool on = turn % 2 == 1;
        FleetOutputs outputs(on);
        Watchdog watchdog(programs, 5);
        PumpFor(6000);
        double cpu = CpuMs(false);
        PumpFor(seconds * 1000);
        cost[on].push_back((CpuMs(false) - cpu) / (seconds * 10.0));
    }
    auto each = [](const std::vector<double>& figures) {
        std::string text;
        for (double figure : figures) {
            char one[32];
            std::snprintf(one, sizeof(one), "%s%.3f", text.empty() ? "" : " ", figure);
            text += one;
        }
        return text;
    };
    std::printf("idle cost with the fleet outputs (%zu programs, 5 s period, %d turns of %lu s each way): whole "
                "process median %.3f %% of one core with the event log, metrics file and webhook on (%s), %.3f %% "
                "with them off (%s); target < 0.1 %%\n",
                programs, turns, seconds, SpreadOf(cost[1]).median, each(cost[1]).c_str(), SpreadOf(cost[0]).median,
                each(cost[0]).c_str());
}

void Scale(size_t programs, DWORD seconds)
{
    double start = NowMs();
    Watchdog watchdog(programs, 5);
    std::printf(
        "scale: %zu programs started in %.0f ms, of which adding them to the table %.0f ms; target < 10000 ms\n",
        programs, NowMs() - start, watchdog.AppendMs());
    tw::g_monitorStats.longestCycleMs = 0;
    unsigned long long cycles = tw::g_monitorStats.cycles.load();
    tw_bench::Probe probe(tw::g_engineWindow, 100);
    PumpFor(seconds * 1000);
    probe.Stop();
    Spread f = SpreadOf(probe.ms);
    std::printf("scale (%zu programs, 5 s period, %lu s): %llu cycles, longest cycle %llu ms (period 5000 ms); host "
                "window answers: median %.2f ms, p95 %.2f ms, max %.2f ms over %zu probes\n",
                programs, seconds, tw::g_monitorStats.cycles.load() - cycles, tw::g_monitorStats.longestCycleMs.load(),
                f.median, f.p95, f.max, f.count);
}

void Leaks(size_t programs, int cycles)
{
    Watchdog watchdog(programs, 1);
    PumpFor(3000);
    // The first restarts create what lives for the run (thread pools, caches).
    for (size_t i = 0; i < programs; ++i)
        watchdog.Kill(i);
    PumpFor(3000);
    DWORD handles = tw_bench::HandleCountOf();
    double memory = PrivateMbOf();
    int missed = 0;
    for (int done = 0; done < cycles; PumpFor(1100)) {
        std::vector<DWORD> old(programs);
        for (size_t i = 0; i < programs && done < cycles; ++i, ++done)
            old[i] = watchdog.Kill(i);
        for (size_t i = 0; i < programs; ++i)
            missed += old[i] && !watchdog.Restarted(i, old[i], 10000);
    }
    PumpFor(3000);
    std::printf("leaks (%d kill and restart cycles over %zu programs, %d not seen restarting): handles %lu -> %lu, "
                "private bytes %.2f MB -> %.2f MB (%+.2f MB)\n",
                cycles, programs, missed, handles, tw_bench::HandleCountOf(), memory, PrivateMbOf(),
                PrivateMbOf() - memory);
}

// How fast the window's thread answers while a hung program's process, killed
// after its grace, goes only 10 s later (the kill's end held back, as a
// process inside a driver call is), beside ten healthy programs.
void AnswersDuringASlowEnd(DWORD seconds)
{
    tw_test::g_lateEndMs = 10000;
    tw::g_terminateSeam = tw_test::TerminateLate;
    {
        Watchdog watchdog(11, 1, L"--hang-after 3000 --hang-for 600000", 2);
        tw_bench::Probe probe(tw::g_engineWindow, 50);
        PumpFor(seconds * 1000);
        probe.Stop();
        Spread f = SpreadOf(probe.ms);
        size_t waited = 0;
        for (size_t i = 0; i < tw::g_errorLog.Count(); ++i) {
            tw::CStrW text;
            tw::g_errorLog.ReadEntry(i, nullptr, &text);
            waited += wcsstr(text.c_str(), L"但尚未退出") != nullptr;
        }
        std::printf("window answers while a killed program ends 10 s late (10 healthy programs, %lu s, %zu slow ends): "
                    "median %.2f ms, max %.2f ms over %zu probes, %d unanswered; target max < 100 ms\n",
                    seconds, waited, f.median, f.max, f.count, probe.timeouts);
    }
    tw::g_terminateSeam = nullptr;
}

std::atomic<bool> g_inSlowStart{false};

// How long a stop of monitoring takes while a thread is inside a 20 s start
// (an executable on a slow share, say).
void StopDuringASlowStart(int stops)
{
    std::vector<double> took;
    for (int i = 0; i < stops; ++i) {
        g_inSlowStart = false;
        tw::g_launchSeam = [] {
            if (!g_inSlowStart.exchange(true))
                Sleep(20000);
        };
        Watchdog watchdog(1, 1);
        PumpFor(1500);
        watchdog.Kill(0);
        PumpUntil([] { return g_inSlowStart.load(); }, 10000);
        double start = NowMs();
        tw::EndMonitoring();
        took.push_back(NowMs() - start);
        tw::g_launchSeam = nullptr;
    }
    Spread s = SpreadOf(took);
    std::printf("stop during a 20 s start (%zu stops): median %.1f ms, max %.1f ms; target < 1000 ms\n", s.count,
                s.median, s.max);
}

// The Tollwick in folder's main window whose process is not skip and whose
// status line says monitoring; null if there is none now.
HWND MonitoringTollwick(const std::wstring& exe, DWORD skip)
{
    std::vector<DWORD> seen = {skip};
    while (DWORD id = tw::FindProcessRunning(tw::CStrW(exe.c_str()), seen.data(), seen.size())) {
        HWND main = FindOwnWindow(id, L"Tollwick 程序守护 主窗口", nullptr);
        if (main && TextOf(GetDlgItem(main, 10200)) == L"监控中")
            return main;
        seen.push_back(id);
    }
    return nullptr;
}

// The guardian of the real Tollwick.exe: its CPU time and private memory
// while it waits, and the time from a kill of Tollwick to monitoring again.
void Guardian(DWORD idleSeconds, int kills)
{
    TempDir dir;
    std::wstring exe = dir.File(L"Tollwick.exe");
    CopyFileW((TestBinaryDirectory() + L"..\\Tollwick.exe").c_str(), exe.c_str(), FALSE);
    // One watched program: a start of monitoring without any asks the user.
    std::string helper = tw::ToNarrow(tw::CStrW(HelperPath().c_str())).c_str();
    WriteBytes(dir.File(L"config.xml"), "<?xml version=\"1.0\" encoding=\"gb2312\" ?>\n<config autostartmonitor=\"1\" "
                                        "monitortime=\"1\" selfguard=\"1\"><config procpath=\"" +
                                            helper + "\" procname=\"tollwick_helper.exe\" /></config>\n");
    HelperProcess tollwick;
    tollwick.Start(L"", exe);
    HWND main = nullptr;
    PumpUntil([&] { return (main = MonitoringTollwick(exe, 0)) != nullptr; }, 20000);
    DWORD mainId = 0;
    GetWindowThreadProcessId(main, &mainId);
    // The guardian comes once the window is up.
    DWORD guardianId = 0;
    PumpUntil([&] { return (guardianId = tw::FindProcessRunning(tw::CStrW(exe.c_str()), &mainId, 1)) != 0; }, 10000);
    tw::CHandle guardian(OpenProcess(PROCESS_QUERY_INFORMATION | PROCESS_VM_READ, FALSE, guardianId));
    PumpFor(3000);
    FILETIME created, exited, kernel, user;
    GetProcessTimes(guardian.Get(), &created, &exited, &kernel, &user);
    double cpu = Ms(kernel) + Ms(user);
    PumpFor(idleSeconds * 1000);
    GetProcessTimes(guardian.Get(), &created, &exited, &kernel, &user);
    cpu = Ms(kernel) + Ms(user) - cpu;
    // What any process of the same kind costs here, for scale: the helper,
    // windowless, after the same wait.
    HelperProcess bare;
    bare.Start(L"--no-window");
    PumpFor(3000);
    std::printf("guardian idle (%lu s): %.1f ms CPU = %.3f %% of one core, private memory %.2f MB (a windowless helper "
                "process: %.2f MB); targets 0.0 %% and < 2 MB\n",
                idleSeconds, cpu, cpu / (idleSeconds * 10.0), PrivateMbOf(guardian.Get()), PrivateMbOf(bare.Handle()));
    bare.Stop();
    std::vector<double> back;
    for (int i = 0; i < kills; ++i) {
        tw::CHandle process(OpenProcess(PROCESS_TERMINATE | SYNCHRONIZE, FALSE, mainId));
        double start = NowMs();
        TerminateProcess(process.Get(), 1);
        WaitForSingleObject(process.Get(), 5000);
        if (PumpUntil([&] { return (main = MonitoringTollwick(exe, guardianId)) != nullptr; }, 20000))
            back.push_back(NowMs() - start);
        GetWindowThreadProcessId(main, &mainId);
        // Past the guardian's measure of a run that did not die at once.
        PumpFor(i + 1 < kills ? 61000 : 0);
    }
    Spread b = SpreadOf(back);
    std::printf("guardian restart (%zu of %d kills): from the kill to monitoring again median %.0f ms, max %.0f ms; "
                "target < 3000 ms\n",
                b.count, kills, b.median, b.max);
    PostMessageW(main, WM_COMMAND, MAKEWPARAM(10441, 0), 0);
    PumpFor(3000);
    tw_test::EndAllRunning(exe);
    tw_test::EndAllRunning(HelperPath());
}

} // namespace

int main(int argc, char** argv)
{
    bool quick = argc > 1 && std::string(argv[1]) == "--quick";
    // --idle: only the idle figures (to compare two builds in one run).
    bool idleOnly = argc > 1 && std::string(argv[1]) == "--idle";
    std::setvbuf(stdout, nullptr, _IONBF, 0);
    // --guardian, --restart, --startup, --scale: only those figures.
    std::string only = argc > 1 ? argv[1] : "";
    if (only == "--guardian")
        Guardian(60, 3);
    if (only == "--restart")
        RestartLatency(20);
    if (only == "--startup")
        StartUp(5, 60000);
    if (only == "--scale")
        Scale(100, 30);
    if (only == "--guardian" || only == "--restart" || only == "--startup" || only == "--scale")
        return 0;
    // --fleet: only the figures of the outputs for a fleet.
    if (only == "--fleet") {
        FleetLineCost(2000, 20);
        FleetIdleCost(20, 60, 3);
        return 0;
    }
    // --health: only the health checks' figures.
    if (only == "--health") {
        ProfileHealthChecks(20, 20);
        HealthIdleCost(20, 180);
        return 0;
    }
    if (!idleOnly) {
        LogMemory(100000);
        LogLineCost(10000);
        RestartLatency(quick ? 5 : 20);
        StartUp(quick ? 2 : 5, 60000);
        StopDuringASlowStart(quick ? 1 : 3);
        AnswersDuringASlowEnd(quick ? 20 : 60);
        Guardian(quick ? 15 : 60, quick ? 1 : 3);
    }
    // The idle figures alone run longer: Wine counts process time in 10 ms
    // steps, too coarse for a minute of a few milliseconds.
    DWORD idleSeconds = quick ? 15 : idleOnly ? 180 : 60;
    ProfileChecks(20, quick ? 5 : 20);
    IdleCost(20, idleSeconds);
    IdleCost(100, idleSeconds);
    ProfileHealthChecks(20, quick ? 5 : 20);
    HealthIdleCost(20, idleSeconds);
    FleetLineCost(quick ? 200 : 2000, 20);
    FleetIdleCost(20, quick ? 15 : 60, quick ? 1 : 3);
    if (!idleOnly) {
        Scale(quick ? 20 : 100, quick ? 15 : 30);
        Leaks(10, quick ? 50 : 500);
    }
    return 0;
}
