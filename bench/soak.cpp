// The soak run: the real Tollwick.exe, copied with a config.xml of ten helper
// programs into a temporary folder, watches them for a set time while they
// crash, exit, hang, show "错误" boxes and have crash reports shown, at
// moments drawn from a seed. Each failure is caused by a message to one
// helper, so it is known what happened to which process. The run checks that
// each is handled in time, how fast the main window answers, that Tollwick's
// handles, threads and private bytes stay flat, the exported error log line
// by line, and config.xml after the quit. Exits 0 only when every target is
// met.
//
//   tollwick_soak.exe [--minutes N] [--seed S] [--only KIND] [--verbose]
#include "bench/figures.h"
#include "core/handle.h"
#include "core/str.h"
#include "monitor/process_query.h"
#include "tests/helper_process.h"
#include "tests/running.h"
#include "tests/test_support.h"

#include "tinyxml.h"

#include <atomic>
#include <cstdarg>
#include <cstdio>
#include <map>
#include <memory>
#include <random>
#include <set>
#include <string>
#include <vector>

using namespace tw_test;
using tw::CHandle;
using tw_bench::Spread;
using tw_bench::SpreadOf;

namespace {

// What the helper obeys with --soak (tests/helper_app/helper.cpp): the
// command's wParam is the kind plus one.
constexpr UINT kSoakCommand = WM_APP + 0x50;
constexpr UINT kSoakBoxesClosed = WM_APP + 0x51;
const wchar_t kMainClass[] = L"Tollwick 程序守护 主窗口";
const wchar_t kHelperClass[] = L"TollwickSoakWnd";
const wchar_t kReportClass[] = L"TollwickSoakReport";

constexpr int kPrograms = 10;
constexpr int kPeriodSeconds = 2;
constexpr int kGraceSeconds = 3;
constexpr double kFirstGapMs = 10000, kLastGapMs = 60000, kWarmUpMs = 60000;
// Far beyond the slowest expected handling (a hang: period + grace + restart).
constexpr double kHandleLimitMs = 30000;
// A quiet moment: all running, nothing pending or changed for this long.
constexpr double kSettleMs = 4000;
constexpr double kLatencyTargetMs = 100, kGrowthTargetMb = 2;

enum Kind { kCrash, kExit, kHang, kErrorBox, kCrashReport, kKinds };
const char* const kKindNames[kKinds] = {"crash", "exit", "hang", "error box", "crash report"};

// The texts the engine logs; an error box is logged with its own text.
const wchar_t kRestarted[] = L"\"重启成功, 进程ID为:";
const wchar_t kStartFailed[] = L"\"启动失败, 路径为:";
const wchar_t kHangArmed[] = L"窗口卡死了, 即将开启延时关闭卡死程序时钟, 索引：";
const wchar_t kKilled[] = L"延时关闭程序卡死的时钟已关闭并结束了卡死程序";
const wchar_t kRecovered[] = L"延迟关闭卡死程序, 延时指定时间后程序已恢复正常";
const wchar_t kReportClosed[] = L"已检测到程序崩溃, 正在重启程序中";

bool g_verbose = false;
int g_only = -1;
double g_runStart = 0;
std::vector<std::string> g_failures;

double NowMs()
{
    LARGE_INTEGER frequency, now;
    QueryPerformanceFrequency(&frequency);
    QueryPerformanceCounter(&now);
    return static_cast<double>(now.QuadPart) * 1000.0 / static_cast<double>(frequency.QuadPart);
}

double RunSeconds()
{
    return g_runStart ? (NowMs() - g_runStart) / 1000.0 : 0.0;
}

void Fail(const char* pattern, ...)
{
    char text[1024];
    va_list args;
    va_start(args, pattern);
    vsnprintf(text, sizeof(text), pattern, args);
    va_end(args);
    g_failures.push_back(text);
    std::printf("soak: FAIL at %.1f s: %s\n", RunSeconds(), text);
}

std::string Utf8(const std::wstring& text)
{
    std::string out(text.size() * 3 + 1, '\0');
    out.resize(static_cast<size_t>(WideCharToMultiByte(CP_UTF8, 0, text.c_str(), static_cast<int>(text.size()), &out[0],
                                                       static_cast<int>(out.size()), nullptr, nullptr)));
    return out;
}

// False when the bytes are not all code page 936 text.
bool From936(const std::string& bytes, std::wstring* text)
{
    text->assign(bytes.size(), L'\0');
    int n = MultiByteToWideChar(936, MB_ERR_INVALID_CHARS, bytes.data(), static_cast<int>(bytes.size()), &(*text)[0],
                                static_cast<int>(text->size()));
    text->resize(static_cast<size_t>(n > 0 ? n : 0));
    return n > 0 || bytes.empty();
}

// Seconds since 1970 of "yyyy-mm-dd hh:mm:ss" on the UTC+8 clock, or -1.
long long LogTime(const std::string& text)
{
    int y, mo, d, h, mi, s;
    char extra;
    if (text.size() != 19 || sscanf(text.c_str(), "%4d-%2d-%2d %2d:%2d:%2d%c", &y, &mo, &d, &h, &mi, &s, &extra) != 6)
        return -1;
    return Utc8(y, mo, d, h, mi, s);
}

bool Ended(const CHandle& process)
{
    return process && WaitForSingleObject(process.Get(), 0) == WAIT_OBJECT_0;
}

HANDLE OpenWatch(DWORD processId)
{
    return OpenProcess(SYNCHRONIZE | PROCESS_QUERY_LIMITED_INFORMATION, FALSE, processId);
}

struct Program {
    int id = 0;
    std::wstring exe, name, title, errflag;
    std::string label;
    std::mt19937 rng;
    // The current instance; ended once its end has been seen.
    DWORD processId = 0;
    HWND window = nullptr;
    CHandle process;
    bool ended = false;
    // Every instance seen, each started by Tollwick.
    std::vector<DWORD> instances;
    double nextAt = 0;
    bool broken = false;
    // The failure in progress.
    bool pending = false;
    Kind kind = kCrash;
    DWORD causedId = 0;
    CHandle caused;
    double causedAt = 0, endedAt = 0;
    LRESULT boxesBefore = 0;
    bool boxSeen = false;
    std::unique_ptr<HelperProcess> report;
    double reportShownAt = 0;
};

struct Tally {
    int caused = 0, handled = 0, failed = 0;
    // cause -> new instance, killed, box closed; crash report: shown -> closed.
    std::vector<double> first;
    // hang: killed -> new instance.
    std::vector<double> second;
};

struct Sample {
    double at = 0;
    DWORD handles = 0, threads = 0;
    double privateMb = 0;
    bool quiet = false;
};

// Asks the main window every 250 ms from a thread of its own, so that a slow
// answer never delays the failures or their checks.
struct Probe {
    HWND window = nullptr;
    std::atomic<bool> stop{false};
    std::vector<double> ms, at;
    int timeouts = 0;
};

DWORD WINAPI RunProbe(void* parameter)
{
    auto* probe = static_cast<Probe*>(parameter);
    while (!probe->stop.load()) {
        double start = NowMs();
        DWORD_PTR result = 0;
        if (!SendMessageTimeoutW(probe->window, WM_NULL, 0, 0, SMTO_NORMAL, 1000, &result))
            ++probe->timeouts;
        probe->ms.push_back(NowMs() - start);
        probe->at.push_back((start - g_runStart) / 1000.0);
        Sleep(static_cast<DWORD>(std::max(0.0, 250 - (NowMs() - start))));
    }
    return 0;
}

std::string Latencies(const char* what, const std::vector<double>& values)
{
    Spread f = SpreadOf(values);
    char line[200];
    snprintf(line, sizeof(line), "%s median %.0f ms, p95 %.0f ms, max %.0f ms", what, f.median, f.p95, f.max);
    return line;
}

class Soak {
public:
    Soak(double minutes, unsigned seed) : m_minutes(minutes), m_seed(seed) {}
    int Run();

private:
    bool Prepare();
    void Poll(double now);
    void Track(Program& p, DWORD processId, HWND window, double now);
    void CheckPending(Program& p, double now);
    void Cause(Program& p, double now);
    void Handled(Program& p, double now, double first, double second);
    void Unhandled(Program& p, const char* what);
    bool AllRunning() const;
    bool Quiet(double now) const;
    Sample TakeSample(double now);
    void CheckLog(std::string bytes);
    void CheckConfig();
    void Report();
    double Gap(Program& p) { return std::uniform_real_distribution<double>(kFirstGapMs, kLastGapMs)(p.rng); }

    double m_minutes;
    unsigned m_seed;
    TempDir m_dir;
    std::vector<Program> m_programs = std::vector<Program>(kPrograms);
    HelperProcess m_app;
    HWND m_main = nullptr;
    std::string m_afterStart;
    long long m_launchEpoch = 0, m_exportEpoch = 0, m_events = 0;
    double m_lastChange = 0;
    Tally m_tally[kKinds];
    std::multiset<std::wstring> m_boxTexts;
    int m_uncaused = 0, m_boxesSeen = 0;
    Sample m_start, m_end;
    Probe m_probe;
    std::string m_logLine, m_configLine;
};

bool Soak::Prepare()
{
    if (!CopyFileW((TestBinaryDirectory() + L"..\\Tollwick.exe").c_str(), m_dir.File(L"Tollwick.exe").c_str(), FALSE))
        return Fail("cannot copy Tollwick.exe (error %lu)", GetLastError()), false;
    std::wstring entries;
    for (int i = 0; i < kPrograms; ++i) {
        Program& p = m_programs[static_cast<size_t>(i)];
        wchar_t number[8];
        swprintf(number, 8, L"%02d", i);
        p.id = i;
        p.name = std::wstring(L"soak") + number + L".exe";
        p.exe = m_dir.File(p.name.c_str());
        p.title = std::wstring(L"soak-") + number;
        p.label = Utf8(p.title);
        p.errflag = p.title + L" 崩溃报告";
        p.rng.seed(m_seed + static_cast<unsigned>(i));
        // A copy each, so that every program has a path of its own.
        if (!CopyFileW(HelperPath().c_str(), p.exe.c_str(), FALSE))
            return Fail("cannot copy the helper (error %lu)", GetLastError()), false;
        entries += L"    <config hwnd=\"0\" procpath=\"" + p.exe + L"\" procname=\"" + p.name + L"\" errflag=\"" +
                   p.errflag + L"\" command=\"--soak --title " + p.title + L" --class " + kHelperClass + L" --at " +
                   std::to_wstring(20 + (i % 4) * 310) + L" " + std::to_wstring(380 + (i / 4) * 210) + L"\" />\n";
    }
    std::string config = "<?xml version=\"1.0\" encoding=\"gb2312\" ?>\n<config bootstart=\"0\" monitortime=\"" +
                         std::to_string(kPeriodSeconds) + "\" closeapp=\"0\" unresponsetime=\"" +
                         std::to_string(kGraceSeconds) +
                         "\" autoreboot=\"0\" reboottime=\"03:00:00\" autostartmonitor=\"1\" hidetray=\"0\">\n" +
                         tw::ToNarrow(entries.c_str()).c_str() + "</config>\n";
    if (!WriteBytes(m_dir.File(L"config.xml"), config))
        return Fail("cannot write config.xml"), false;
    m_launchEpoch = _time64(nullptr);
    if (!m_app.Start(L"", m_dir.File(L"Tollwick.exe")))
        return Fail("Tollwick.exe did not start"), false;
    WaitFor([&] { return (m_main = FindOwnWindow(m_app.Id(), kMainClass, nullptr)) && IsWindowVisible(m_main); },
            20000);
    if (!WaitFor([&] { return TextOf(GetDlgItem(m_main, 10200)) == L"监控中"; }, 10000))
        return Fail("monitoring did not start by itself"), false;
    // Monitoring saved the file as it started, before the window was shown.
    m_afterStart = ReadBytes(m_dir.File(L"config.xml"));
    return true;
}

bool Soak::AllRunning() const
{
    for (const Program& p : m_programs) {
        if (!p.broken && (!p.processId || p.ended || Ended(p.process) || !IsWindow(p.window)))
            return false;
    }
    return true;
}

bool Soak::Quiet(double now) const
{
    for (const Program& p : m_programs) {
        if (p.pending)
            return false;
    }
    return AllRunning() && now - m_lastChange >= kSettleMs;
}

void Soak::Poll(double now)
{
    std::vector<std::vector<std::pair<DWORD, HWND>>> seen(kPrograms);
    for (HWND window = FindWindowExW(nullptr, nullptr, kHelperClass, nullptr); window;
         window = FindWindowExW(nullptr, window, kHelperClass, nullptr)) {
        wchar_t title[64] = {0};
        // Read from the window manager, never asked of the window: it may hang.
        InternalGetWindowText(window, title, 64);
        int id = -1;
        DWORD owner = 0;
        GetWindowThreadProcessId(window, &owner);
        if (swscanf(title, L"soak-%d", &id) == 1 && id >= 0 && id < kPrograms)
            seen[static_cast<size_t>(id)].push_back({owner, window});
    }
    for (Program& p : m_programs) {
        for (const auto& [processId, window] : seen[static_cast<size_t>(p.id)])
            Track(p, processId, window, now);
        if (p.pending) {
            CheckPending(p, now);
        } else if (p.processId && !p.ended && Ended(p.process)) {
            p.ended = true;
            ++m_uncaused;
            Fail("%s (process %lu) ended uncaused", p.label.c_str(), p.processId);
        }
    }
}

// A new instance of the program: Tollwick must have started it, and only
// after an exit, a crash or a hang kill.
void Soak::Track(Program& p, DWORD processId, HWND window, double now)
{
    if (processId == p.processId)
        p.window = window;
    if (processId == p.processId || std::count(p.instances.begin(), p.instances.end(), processId))
        return;
    bool restarts = p.pending && p.kind <= kHang;
    if (restarts && !p.endedAt && Ended(p.caused))
        p.endedAt = now;
    bool expected = p.instances.empty() || p.ended || (restarts && p.endedAt);
    p.instances.push_back(processId);
    PROCESSENTRY32W entry;
    if (!tw::FindProcessEntry(processId, &entry) || entry.th32ParentProcessID != m_app.Id())
        Fail("%s instance %lu was not started by Tollwick", p.label.c_str(), processId);
    if (!expected) {
        ++m_uncaused;
        Fail("%s: new instance %lu while %lu still runs", p.label.c_str(), processId, p.processId);
    }
    p.processId = processId;
    p.window = window;
    p.process.Reset(OpenWatch(processId));
    p.ended = false;
    m_lastChange = now;
    if (p.instances.size() == 1)
        p.nextAt = now + Gap(p);
    if (restarts && p.endedAt)
        Handled(p, now, (p.kind == kHang ? p.endedAt : now) - p.causedAt, p.kind == kHang ? now - p.endedAt : -1);
}

void Soak::Handled(Program& p, double now, double first, double second)
{
    Tally& tally = m_tally[p.kind];
    ++tally.handled;
    tally.first.push_back(first);
    if (second >= 0)
        tally.second.push_back(second);
    if (g_verbose)
        std::printf("soak: %.1f s: %s %s handled in %.0f ms\n", RunSeconds(), p.label.c_str(), kKindNames[p.kind],
                    first);
    p.pending = false;
    p.caused.Reset();
    p.report.reset();
    m_lastChange = now;
    p.nextAt = now + Gap(p);
}

void Soak::Unhandled(Program& p, const char* what)
{
    ++m_tally[p.kind].failed;
    Fail("%s %s (process %lu): %s", p.label.c_str(), kKindNames[p.kind], p.causedId, what);
    p.pending = false;
    p.broken = true;
    p.caused.Reset();
    p.report.reset();
}

void Soak::CheckPending(Program& p, double now)
{
    if (p.kind <= kHang) {
        if (!p.endedAt && Ended(p.caused))
            p.endedAt = now;
        // The caused end: what remains is the new instance.
        p.ended = p.ended || p.endedAt;
    } else if (p.kind == kErrorBox) {
        if (!p.boxSeen && FindOwnWindow(p.causedId, L"#32770", L"错误")) {
            p.boxSeen = true;
            ++m_boxesSeen;
        }
        if (Ended(p.caused))
            return Unhandled(p, "the instance ended instead of keeping on after its box");
        DWORD_PTR closed = 0;
        if (SendMessageTimeoutW(p.window, kSoakBoxesClosed, 0, 0, SMTO_ABORTIFHUNG | SMTO_ERRORONEXIT, 500, &closed) &&
            static_cast<LRESULT>(closed) > p.boxesBefore)
            return Handled(p, now, now - p.causedAt, -1);
    } else {
        if (!p.reportShownAt && FindOwnWindow(p.report->Id(), kReportClass, p.errflag.c_str()))
            p.reportShownAt = now;
        if (!p.report->IsRunning()) {
            if (p.report->ExitCode() != 0 || !p.reportShownAt)
                return Unhandled(p, "the crash-report window's process ended by itself");
            return Handled(p, now, now - p.reportShownAt, -1);
        }
    }
    if (now - p.causedAt > kHandleLimitMs)
        Unhandled(p, "not handled within 30 s");
}

void Soak::Cause(Program& p, double now)
{
    auto kind = static_cast<Kind>(std::uniform_int_distribution<int>(0, kKinds - 1)(p.rng));
    if (g_only >= 0)
        kind = static_cast<Kind>(g_only);
    long long number = ++m_events;
    p.kind = kind;
    p.pending = true;
    p.causedAt = now;
    p.endedAt = 0;
    p.boxSeen = false;
    p.reportShownAt = 0;
    p.causedId = p.processId;
    p.caused.Reset(OpenWatch(p.processId));
    ++m_tally[kind].caused;
    if (g_verbose)
        std::printf("soak: %.1f s: %s %s (process %lu)\n", RunSeconds(), p.label.c_str(), kKindNames[kind],
                    p.processId);
    if (kind == kCrashReport) {
        // A window of another process, titled as the entry's errflag.
        p.report.reset(new HelperProcess);
        if (!p.report->Start(L"--title \"" + p.errflag + L"\" --class " + kReportClass + L" --at " +
                             std::to_wstring(700 + p.id * 20) + L" " + std::to_wstring(40 + p.id * 20)))
            Unhandled(p, "the crash-report window could not be started");
        return;
    }
    if (kind == kErrorBox) {
        DWORD_PTR closed = 0;
        SendMessageTimeoutW(p.window, kSoakBoxesClosed, 0, 0, SMTO_ABORTIFHUNG | SMTO_ERRORONEXIT, 1000, &closed);
        p.boxesBefore = static_cast<LRESULT>(closed);
        m_boxTexts.insert(p.title + L" 错误 #" + std::to_wstring(number));
    }
    if (!PostMessageW(p.window, kSoakCommand, static_cast<WPARAM>(kind) + 1, static_cast<LPARAM>(number)))
        Unhandled(p, "the command could not be posted");
}

Sample Soak::TakeSample(double now)
{
    Sample s;
    PROCESSENTRY32W entry;
    s.at = (now - g_runStart) / 1000.0;
    s.quiet = Quiet(now);
    s.handles = tw_bench::HandleCountOf(m_app.Handle(), m_app.Id());
    s.threads = tw::FindProcessEntry(m_app.Id(), &entry) ? entry.cntThreads : 0;
    s.privateMb = tw_bench::PrivateMbOf(m_app.Handle());
    if (g_verbose)
        std::printf("soak: %.1f s: handles %lu, threads %lu, private %.2f MB%s\n", s.at, s.handles, s.threads,
                    s.privateMb, s.quiet ? " (quiet)" : "");
    return s;
}

// Each line "NNN<tab>time<tab>text" in code page 936, numbered from 001,
// stamped within the run; every text one the run caused, each instance's
// restart logged with its process id.
void Soak::CheckLog(std::string bytes)
{
    int problems = 0;
    auto problem = [&](const std::string& text) {
        if (++problems <= 8)
            Fail("error log: %s", text.c_str());
    };
    if (bytes.empty() || bytes.back() != '\0')
        problem("the file does not end with one zero byte");
    else
        bytes.pop_back();
    if (bytes.find('\0') != std::string::npos)
        problem("a zero byte before the end");
    std::map<std::wstring, std::vector<DWORD>> restarts;
    std::multiset<std::wstring> boxes;
    int lines = 0, hangs = 0, killed = 0, recovered = 0, reports = 0, startFailures = 0, unknown = 0;
    long long previous = 0;
    for (size_t pos = 0, end; pos < bytes.size(); pos = end + 2) {
        if ((end = bytes.find("\r\n", pos)) == std::string::npos) {
            problem("the last line does not end with CR LF");
            break;
        }
        std::string line = bytes.substr(pos, end - pos);
        char number[16];
        snprintf(number, sizeof(number), "%03d", ++lines);
        size_t tab1 = line.find('\t');
        size_t tab2 = tab1 == std::string::npos ? tab1 : line.find('\t', tab1 + 1);
        long long time = tab2 == std::string::npos ? -1 : LogTime(line.substr(tab1 + 1, tab2 - tab1 - 1));
        std::wstring text;
        if (time < m_launchEpoch - 1 || time > m_exportEpoch + 1 || time + 1 < previous ||
            line.compare(0, tab1, number) != 0 || !From936(line.substr(tab2 + 1), &text)) {
            problem("line " + std::to_string(lines) + " is not \"" + number +
                    "<tab>a time within the run, in order<tab>code page 936 text\": " + line);
            continue;
        }
        previous = std::max(previous, time);
        if (g_verbose)
            std::printf("log: %s\n", Utf8(std::wstring(line.begin(), line.begin() + tab2 + 1) + text).c_str());
        size_t restart = text.find(kRestarted);
        size_t hangIndex = wcslen(kHangArmed);
        // The restart text ends with a line feed of its own.
        if (text.compare(0, 3, L"进程\"") == 0 && restart != std::wstring::npos && text.back() == L'\n')
            restarts[text.substr(3, restart - 3)].push_back(
                wcstoul(text.c_str() + restart + wcslen(kRestarted), nullptr, 10));
        else if (text.compare(0, 3, L"进程\"") == 0 && text.find(kStartFailed) != std::wstring::npos)
            ++startFailures;
        else if (text.compare(0, hangIndex, kHangArmed) == 0 && _wtoi(text.c_str() + hangIndex) < kPrograms)
            ++hangs;
        else if (text == kKilled)
            ++killed;
        else if (text == kRecovered)
            ++recovered;
        else if (text == kReportClosed)
            ++reports;
        else if (m_boxTexts.count(text))
            boxes.insert(text);
        else {
            ++unknown;
            problem("line " + std::to_string(lines) + " has an unknown text: " + Utf8(text));
        }
    }
    int restartLines = 0;
    for (Program& p : m_programs) {
        std::vector<DWORD> logged = restarts[p.name];
        std::sort(logged.begin(), logged.end());
        std::sort(p.instances.begin(), p.instances.end());
        restartLines += static_cast<int>(logged.size());
        if (logged != p.instances)
            problem(p.label + ": " + std::to_string(logged.size()) + " restart lines for " +
                    std::to_string(p.instances.size()) + " instances seen, or other process ids");
        restarts.erase(p.name);
    }
    const Tally& hang = m_tally[kHang];
    if (!restarts.empty())
        problem("restart lines of programs that are not watched");
    if (hangs != hang.handled || killed != hang.handled || recovered)
        problem(std::to_string(hangs) + " hang, " + std::to_string(killed) + " kill and " + std::to_string(recovered) +
                " recovery lines for " + std::to_string(hang.handled) + " hangs");
    if (reports != m_tally[kCrashReport].handled)
        problem(std::to_string(reports) + " crash-report lines for " + std::to_string(m_tally[kCrashReport].handled));
    if (boxes != m_boxTexts)
        problem(std::to_string(boxes.size()) + " error-box lines for " + std::to_string(m_boxTexts.size()) +
                " boxes caused, or other texts");
    if (startFailures)
        problem(std::to_string(startFailures) + " start failures");
    char summary[600];
    snprintf(summary, sizeof(summary),
             "error log: %d lines, numbered 001..%03d, stamped within the run, code page 936, zero byte at the end; "
             "restart %d = %d first starts + %d crash + %d exit + %d hang; hang %d, kill %d, recovered %d; error box "
             "%d (texts %s); crash report %d; start failures %d, unknown %d: %s",
             lines, lines, restartLines, kPrograms, m_tally[kCrash].handled, m_tally[kExit].handled, hang.handled,
             hangs, killed, recovered, static_cast<int>(boxes.size()), boxes == m_boxTexts ? "match" : "differ",
             reports, startFailures, unknown, problems ? "FAIL" : "ok");
    m_logLine = summary;
}

void Soak::CheckConfig()
{
    std::string after = ReadBytes(m_dir.File(L"config.xml"));
    TiXmlDocument document;
    document.Parse(after.c_str());
    bool wellFormed = !document.Error() && document.RootElement();
    bool same = after == m_afterStart;
    if (!wellFormed)
        Fail("config.xml after the quit is not well-formed: %s", document.ErrorDesc());
    if (!same)
        Fail("config.xml changed between the start and the quit");
    m_configLine = std::string("config.xml: well-formed after the quit: ") + (wellFormed ? "yes" : "no") +
                   "; after the quit " + (same ? "byte for byte as after the start" : "not as after the start") + ": " +
                   (wellFormed && same ? "ok" : "FAIL");
}

void Soak::Report()
{
    int caused = 0, handled = 0, failed = 0;
    std::string counts;
    for (int k = 0; k < kKinds; ++k) {
        caused += m_tally[k].caused;
        handled += m_tally[k].handled;
        failed += m_tally[k].failed;
        counts += std::string(k ? ", " : "") + kKindNames[k] + " " + std::to_string(m_tally[k].handled) + "/" +
                  std::to_string(m_tally[k].caused);
    }
    if (handled != caused && !failed)
        Fail("%d failures caused, %d handled", caused, handled);
    std::printf("failures caused and handled: %s; total %d/%d, %d not handled within 30 s, %d uncaused restarts or "
                "exits: %s\n",
                counts.c_str(), handled, caused, failed, m_uncaused,
                handled == caused && !failed && !m_uncaused ? "ok" : "FAIL");
    std::printf("handling: %s; %s; %s, %s; %s (%d seen open); %s\n",
                Latencies("crash -> new instance", m_tally[kCrash].first).c_str(),
                Latencies("exit -> new instance", m_tally[kExit].first).c_str(),
                Latencies("hang -> killed", m_tally[kHang].first).c_str(),
                Latencies("killed -> new instance", m_tally[kHang].second).c_str(),
                Latencies("error box -> closed", m_tally[kErrorBox].first).c_str(), m_boxesSeen,
                Latencies("crash report shown -> closed", m_tally[kCrashReport].first).c_str());
    Spread probe = SpreadOf(m_probe.ms);
    double maxAt = 0;
    for (size_t i = 0; i < m_probe.ms.size(); ++i)
        maxAt = m_probe.ms[i] == probe.max ? m_probe.at[i] : maxAt;
    bool answers = probe.count && probe.p99 < kLatencyTargetMs && probe.max < kLatencyTargetMs && !m_probe.timeouts;
    if (!answers)
        Fail("main window answers: p99 %.2f ms, max %.2f ms, %d time-outs", probe.p99, probe.max, m_probe.timeouts);
    std::printf("main window answers (WM_NULL every 250 ms, %zu probes): median %.2f ms, p99 %.2f ms, max %.2f ms (at "
                "%.0f s), %d time-outs of 1000 ms; target p99 and max < 100 ms: %s\n",
                probe.count, probe.median, probe.p99, probe.max, maxAt, m_probe.timeouts, answers ? "ok" : "FAIL");
    double growth = m_end.privateMb - m_start.privateMb;
    bool flat = m_start.quiet && m_end.quiet && m_start.handles && m_end.handles <= m_start.handles &&
                m_end.threads <= m_start.threads && growth < kGrowthTargetMb;
    if (!flat)
        Fail("resources: handles %lu -> %lu, threads %lu -> %lu, private %+.2f MB%s", m_start.handles, m_end.handles,
             m_start.threads, m_end.threads, growth, m_start.quiet && m_end.quiet ? "" : " (no quiet moment)");
    std::printf("Tollwick's resources at quiet moments: start (at %.0f s) handles %lu, threads %lu, private %.2f MB; "
                "end (at %.0f s) handles %lu, threads %lu, private %.2f MB (%+.2f MB): %s\n",
                m_start.at, m_start.handles, m_start.threads, m_start.privateMb, m_end.at, m_end.handles, m_end.threads,
                m_end.privateMb, growth, flat ? "ok" : "FAIL");
    std::printf("%s\n%s\n", m_logLine.c_str(), m_configLine.c_str());
}

int Soak::Run()
{
    std::printf("soak: seed %u, %d programs, %.1f min, period %d s, hang grace %d s, failures every %.0f-%.0f s per "
                "program (%d-bit build)\n",
                m_seed, kPrograms, m_minutes, kPeriodSeconds, kGraceSeconds, kFirstGapMs / 1000, kLastGapMs / 1000,
                static_cast<int>(sizeof(void*) * 8));
    // Tollwick starts every program itself: none runs before it.
    bool ready = Prepare() && WaitFor(
                                  [&] {
                                      Poll(NowMs());
                                      return AllRunning();
                                  },
                                  60000);
    bool alive = ready;
    if (ready) {
        std::printf("soak: Tollwick (process %lu) started all %d helpers\n", m_app.Id(), kPrograms);
        g_runStart = NowMs();
        for (Program& p : m_programs)
            p.nextAt = g_runStart + Gap(p);
        m_probe.window = m_main;
        CHandle probeThread(CreateThread(nullptr, 0, RunProbe, &m_probe, 0, nullptr));
        double runEnd = g_runStart + m_minutes * 60000, warmUp = std::min(kWarmUpMs, m_minutes * 30000);
        double holdSince = 0, nextProgress = g_runStart + 60000;
        bool startTaken = false;
        for (double now = NowMs(); now < runEnd; Sleep(50), now = NowMs()) {
            if (!m_app.IsRunning()) {
                Fail("Tollwick ended during the run (code 0x%lX)", static_cast<unsigned long>(m_app.ExitCode()));
                alive = false;
                break;
            }
            Poll(now);
            // After the warm-up nothing new is caused until a quiet moment
            // gives the starting figures.
            bool holding = !startTaken && now - g_runStart >= warmUp;
            if (holding && !holdSince)
                holdSince = now;
            if (holding && (Quiet(now) || now - holdSince > 60000)) {
                m_start = TakeSample(now);
                startTaken = true;
                holding = false;
            }
            for (Program& p : m_programs) {
                if (!holding && !p.broken && !p.pending && p.processId && !p.ended && now >= p.nextAt &&
                    IsWindow(p.window))
                    Cause(p, now);
            }
            if (now >= nextProgress) {
                nextProgress += 60000;
                std::printf("soak: %.0f min, %lld failures caused, %zu test failures\n", (now - g_runStart) / 60000,
                            m_events, g_failures.size());
            }
        }
        // The failures in progress end, handled or past their limit; then a
        // quiet moment gives the final figures.
        WaitFor(
            [&] {
                Poll(NowMs());
                return std::none_of(m_programs.begin(), m_programs.end(), [](const Program& p) { return p.pending; });
            },
            static_cast<DWORD>(kHandleLimitMs + 5000));
        WaitFor(
            [&] {
                Poll(NowMs());
                return Quiet(NowMs());
            },
            60000);
        m_end = TakeSample(NowMs());
        if (!startTaken)
            Fail("no starting figures were taken");
        m_probe.stop = true;
        WaitForSingleObject(probeThread.Get(), 5000);
    }
    if (alive) {
        std::wstring log = m_dir.File(L"soak-log.txt");
        PostMessageW(m_main, WM_COMMAND, MAKEWPARAM(10400, 0), 0);
        HWND save = nullptr;
        WaitFor([&] { return (save = FindOwnWindow(m_app.Id(), L"#32770", L"导出错误日志")) != nullptr; }, 10000);
        m_exportEpoch = _time64(nullptr);
        if (SaveAs(save, log) && WaitFor([&] { return !ReadBytes(log).empty(); }, 10000))
            CheckLog(ReadBytes(log));
        else
            Fail("the error log could not be exported through its save dialog");
        PostMessageW(m_main, WM_COMMAND, MAKEWPARAM(10441, 0), 0);
        if (!m_app.WaitForExit(15000))
            Fail("Tollwick did not quit");
        CheckConfig();
    }
    m_app.Stop();
    for (Program& p : m_programs) {
        p.report.reset();
        EndAllRunning(p.exe);
    }
    if (alive)
        Report();
    std::printf("soak: %s (%zu failures)\n", g_failures.empty() ? "PASS" : "FAIL", g_failures.size());
    return g_failures.empty() ? 0 : 1;
}

} // namespace

int main(int argc, char** argv)
{
    std::setvbuf(stdout, nullptr, _IONBF, 0);
    double minutes = 10;
    unsigned seed = 20261207;
    for (int i = 1; i < argc; ++i) {
        std::string a = argv[i];
        bool value = i + 1 < argc;
        if (a == "--minutes" && value)
            minutes = std::atof(argv[++i]);
        else if (a == "--seed" && value)
            seed = static_cast<unsigned>(std::strtoul(argv[++i], nullptr, 10));
        else if (a == "--verbose")
            g_verbose = true;
        else if (a == "--only" && value)
            g_only = static_cast<int>(std::find(kKindNames, kKindNames + kKinds, std::string(argv[++i])) - kKindNames);
        else
            g_only = kKinds;
    }
    if (minutes <= 0 || g_only >= kKinds) {
        std::fprintf(stderr,
                     "usage: tollwick_soak.exe [--minutes N above 0] [--seed S] [--only crash|exit|hang|\"error "
                     "box\"|\"crash report\"] [--verbose]\n");
        return 2;
    }
    return Soak(minutes, seed).Run();
}
