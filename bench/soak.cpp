// The soak run (README, "Soak run"): the real Tollwick.exe with ten helper
// programs in a temporary folder, each made to crash, exit, hang, show a
// "错误" box or have a crash report shown at moments drawn from a seed, by a
// message to that helper, so that it is known what happened to which
// process. Exits 0 only when every target is met.
//
//   tollwick_soak.exe [--minutes N] [--seed S] [--only KIND] [--verbose]
#include "bench/figures.h"
#include "core/handle.h"
#include "monitor/process_query.h"
#include "tests/helper_process.h"
#include "tests/running.h"
#include "tests/test_support.h"

#include "tinyxml.h"

#include <atomic>
#include <cstdarg>
#include <cstdio>
#include <numeric>
#include <map>
#include <memory>
#include <random>
#include <set>

using namespace tw_test;
using tw::CHandle;
using tw_bench::SpreadOf;

namespace {

// What the helper obeys with --soak (tests/helper_app/helper.cpp): the
// command's wParam is the kind plus one.
constexpr UINT kSoakCommand = WM_APP + 0x50, kSoakBoxesClosed = WM_APP + 0x51;
const wchar_t kHelperClass[] = L"TollwickSoakWnd";
const wchar_t kReportClass[] = L"TollwickSoakReport";
constexpr int kPrograms = 10, kPeriodSeconds = 2, kGraceSeconds = 3;
// Far beyond the slowest handling (a hang: period, grace and restart); a
// quiet moment has all running and nothing pending or changed for kSettleMs.
constexpr double kHandleLimitMs = 30000, kSettleMs = 4000, kTargetMs = 100;

enum Kind { kCrash, kExit, kHang, kErrorBox, kCrashReport, kKinds };
const char* const kKindNames[kKinds] = {"crash", "exit", "hang", "error box", "crash report"};

bool g_verbose = false;
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

// Notes a missed target; false, for the check that failed.
bool Fail(const char* pattern, ...)
{
    char text[1024];
    va_list args;
    va_start(args, pattern);
    vsnprintf(text, sizeof(text), pattern, args);
    va_end(args);
    g_failures.push_back(text);
    std::printf("soak: FAIL at %.1f s: %s\n", RunSeconds(), text);
    return false;
}

// For the console, which shows UTF-8 under Wine.
std::string Utf8(const std::wstring& text)
{
    std::string out(text.size() * 3 + 1, '\0');
    out.resize(static_cast<size_t>(WideCharToMultiByte(CP_UTF8, 0, text.c_str(), static_cast<int>(text.size()), &out[0],
                                                       static_cast<int>(out.size()), nullptr, nullptr)));
    return out;
}

bool Ended(const CHandle& process)
{
    return process && WaitForSingleObject(process.Get(), 0) == WAIT_OBJECT_0;
}

std::string Latencies(const char* what, const std::vector<double>& values)
{
    tw_bench::Spread f = SpreadOf(values);
    char line[200];
    snprintf(line, sizeof(line), "%s median %.0f ms, p95 %.0f ms, max %.0f ms", what, f.median, f.p95, f.max);
    return line;
}

struct Program {
    int id = 0;
    std::wstring exe, name, title, errflag;
    std::string label;
    std::mt19937 rng;
    // The current instance, ended once its end has been seen; every instance
    // seen, each started by Tollwick.
    DWORD processId = 0;
    HWND window = nullptr;
    CHandle process;
    bool ended = false, broken = false;
    std::vector<DWORD> instances;
    double nextAt = 0;
    // The failure in progress.
    bool pending = false, boxSeen = false;
    Kind kind = kCrash;
    DWORD causedId = 0;
    CHandle caused;
    double causedAt = 0, endedAt = 0, reportShownAt = 0;
    LRESULT boxesBefore = 0;
    std::unique_ptr<HelperProcess> report;
};

struct Sample {
    double at = 0, privateMb = 0;
    DWORD handles = 0, threads = 0;
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
    for (auto* probe = static_cast<Probe*>(parameter); !probe->stop.load();) {
        double start = NowMs();
        DWORD_PTR result = 0;
        probe->timeouts += !SendMessageTimeoutW(probe->window, WM_NULL, 0, 0, SMTO_NORMAL, 1000, &result);
        probe->ms.push_back(NowMs() - start);
        probe->at.push_back((start - g_runStart) / 1000.0);
        Sleep(static_cast<DWORD>(std::max(0.0, 250 - (NowMs() - start))));
    }
    return 0;
}

class Soak {
public:
    Soak(double minutes, unsigned seed, int only) : m_minutes(minutes), m_seed(seed), m_only(only) {}

    bool Prepare()
    {
        if (!CopyFileW((TestBinaryDirectory() + L"..\\Tollwick.exe").c_str(), m_dir.File(L"Tollwick.exe").c_str(),
                       FALSE))
            return Fail("cannot copy Tollwick.exe (error %lu)", GetLastError());
        std::wstring entries;
        for (int i = 0; i < kPrograms; ++i) {
            Program& p = m_programs[static_cast<size_t>(i)];
            p.id = i;
            p.title = L"soak-" + std::to_wstring(i / 10) + std::to_wstring(i % 10);
            p.name = L"soak" + p.title.substr(5) + L".exe";
            p.exe = m_dir.File(p.name.c_str());
            p.label = Utf8(p.title);
            p.errflag = p.title + L" 崩溃报告";
            p.rng.seed(m_seed + static_cast<unsigned>(i));
            // A copy each, so that every program has a path of its own. The
            // failures come on purpose, so no backoff holds a restart back.
            if (!CopyFileW(HelperPath().c_str(), p.exe.c_str(), FALSE))
                return Fail("cannot copy the helper (error %lu)", GetLastError());
            entries += L"    <config hwnd=\"0\" procpath=\"" + p.exe + L"\" procname=\"" + p.name + L"\" errflag=\"" +
                       p.errflag + L"\" command=\"--soak --title " + p.title + L" --class " + kHelperClass + L" --at " +
                       std::to_wstring(20 + (i % 4) * 310) + L" " + std::to_wstring(380 + (i / 4) * 210) +
                       L"\" stabletime=\"0\" />\n";
        }
        std::string config = "<?xml version=\"1.0\" encoding=\"gb2312\" ?>\n<config bootstart=\"0\" monitortime=\"" +
                             std::to_string(kPeriodSeconds) + "\" closeapp=\"0\" unresponsetime=\"" +
                             std::to_string(kGraceSeconds) +
                             "\" autoreboot=\"0\" reboottime=\"03:00:00\" autostartmonitor=\"1\" hidetray=\"0\">\n" +
                             tw::ToNarrow(entries.c_str()).c_str() + "</config>\n";
        m_launchEpoch = _time64(nullptr);
        if (!WriteBytes(m_dir.File(L"config.xml"), config) || !m_app.Start(L"", m_dir.File(L"Tollwick.exe")))
            return Fail("cannot write config.xml or start Tollwick.exe");
        WaitFor(
            [&] {
                return (m_main = FindOwnWindow(m_app.Id(), L"Tollwick 程序守护 主窗口", nullptr)) &&
                       IsWindowVisible(m_main);
            },
            20000);
        if (!WaitFor([&] { return TextOf(GetDlgItem(m_main, 10200)) == L"监控中"; }, 10000))
            return Fail("monitoring did not start by itself");
        // Monitoring saved the file as it started, before the window was shown.
        m_afterStart = ReadBytes(m_dir.File(L"config.xml"));
        // Tollwick starts every program itself: none runs before it.
        return WaitFor(
                   [&] {
                       Poll(NowMs());
                       return AllRunning();
                   },
                   60000) ||
               Fail("not every helper was started within 60 s");
    }

    bool AllRunning() const
    {
        return std::all_of(m_programs.begin(), m_programs.end(), [](const Program& p) {
            return p.broken || (p.processId && !p.ended && !Ended(p.process) && IsWindow(p.window));
        });
    }
    bool Quiet(double now) const
    {
        return std::none_of(m_programs.begin(), m_programs.end(), [](const Program& p) { return p.pending; }) &&
               AllRunning() && now - m_lastChange >= kSettleMs;
    }

    void Poll(double now)
    {
        for (HWND window = FindWindowExW(nullptr, nullptr, kHelperClass, nullptr); window;
             window = FindWindowExW(nullptr, window, kHelperClass, nullptr)) {
            wchar_t title[64] = {0};
            // Read from the window manager, never asked of the window: it may hang.
            InternalGetWindowText(window, title, 64);
            int id = -1;
            DWORD owner = 0;
            GetWindowThreadProcessId(window, &owner);
            if (swscanf(title, L"soak-%d", &id) == 1 && id >= 0 && id < kPrograms)
                Track(m_programs[static_cast<size_t>(id)], owner, window, now);
        }
        for (Program& p : m_programs) {
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
    void Track(Program& p, DWORD processId, HWND window, double now)
    {
        if (processId == p.processId)
            p.window = window;
        if (processId == p.processId || std::count(p.instances.begin(), p.instances.end(), processId))
            return;
        bool restarts = p.pending && p.kind <= kHang;
        if (restarts && !p.endedAt && Ended(p.caused))
            p.endedAt = now;
        PROCESSENTRY32W entry;
        if (!tw::FindProcessEntry(processId, &entry) || entry.th32ParentProcessID != m_app.Id())
            Fail("%s instance %lu was not started by Tollwick", p.label.c_str(), processId);
        if (!p.instances.empty() && !p.ended && !(restarts && p.endedAt)) {
            ++m_uncaused;
            Fail("%s: new instance %lu while %lu still runs", p.label.c_str(), processId, p.processId);
        }
        if (p.instances.empty())
            p.nextAt = now + Gap(p);
        p.instances.push_back(processId);
        p.processId = processId;
        p.window = window;
        p.process.Reset(OpenProcess(SYNCHRONIZE | PROCESS_QUERY_LIMITED_INFORMATION, FALSE, processId));
        p.ended = false;
        m_lastChange = now;
        if (restarts && p.endedAt)
            Handled(p, now, (p.kind == kHang ? p.endedAt : now) - p.causedAt, p.kind == kHang ? now - p.endedAt : -1);
    }

    void Handled(Program& p, double now, double first, double second)
    {
        ++m_handled[p.kind];
        m_first[p.kind].push_back(first);
        if (second >= 0)
            m_killedToNew.push_back(second);
        if (g_verbose)
            std::printf("soak: %.1f s: %s %s handled in %.0f ms\n", RunSeconds(), p.label.c_str(), kKindNames[p.kind],
                        first);
        p.pending = false;
        p.caused.Reset();
        p.report.reset();
        m_lastChange = now;
        p.nextAt = now + Gap(p);
    }

    void Unhandled(Program& p, const char* what)
    {
        ++m_unhandled[p.kind];
        Fail("%s %s (process %lu): %s", p.label.c_str(), kKindNames[p.kind], p.causedId, what);
        p.pending = false;
        p.broken = true;
        p.caused.Reset();
        p.report.reset();
    }

    // A crash, exit or hang is handled when the caused instance has ended
    // and a new one runs (Track); a box when the helper counts it closed; a
    // crash report when its window's process ended as a closed window ends.
    void CheckPending(Program& p, double now)
    {
        if (p.kind <= kHang && !p.endedAt && Ended(p.caused))
            p.endedAt = now;
        p.ended = p.ended || (p.kind <= kHang && p.endedAt);
        DWORD_PTR closed = 0;
        if (p.kind == kErrorBox) {
            if (!p.boxSeen && FindOwnWindow(p.causedId, L"#32770", L"错误")) {
                p.boxSeen = true;
                ++m_boxesSeen;
            }
            if (Ended(p.caused))
                return Unhandled(p, "the instance ended instead of keeping on after its box");
            if (SendMessageTimeoutW(p.window, kSoakBoxesClosed, 0, 0, SMTO_ABORTIFHUNG | SMTO_ERRORONEXIT, 500,
                                    &closed) &&
                static_cast<LRESULT>(closed) > p.boxesBefore)
                return Handled(p, now, now - p.causedAt, -1);
        } else if (p.kind == kCrashReport) {
            if (!p.reportShownAt && FindOwnWindow(p.report->Id(), kReportClass, p.errflag.c_str()))
                p.reportShownAt = now;
            if (!p.report->IsRunning() && (p.report->ExitCode() || !p.reportShownAt))
                return Unhandled(p, "the crash-report window's process ended by itself");
            if (!p.report->IsRunning())
                return Handled(p, now, now - p.reportShownAt, -1);
        }
        if (now - p.causedAt > kHandleLimitMs)
            Unhandled(p, "not handled within 30 s");
    }

    void Cause(Program& p, double now)
    {
        auto kind = static_cast<Kind>(std::uniform_int_distribution<int>(0, kKinds - 1)(p.rng));
        kind = m_only >= 0 ? static_cast<Kind>(m_only) : kind;
        p.kind = kind;
        p.pending = true;
        p.boxSeen = false;
        p.causedAt = now;
        p.endedAt = p.reportShownAt = 0;
        p.causedId = p.processId;
        p.caused.Reset(OpenProcess(SYNCHRONIZE | PROCESS_QUERY_LIMITED_INFORMATION, FALSE, p.processId));
        ++m_caused[kind];
        if (g_verbose)
            std::printf("soak: %.1f s: %s %s (process %lu)\n", RunSeconds(), p.label.c_str(), kKindNames[kind],
                        p.processId);
        DWORD_PTR closed = 0;
        if (kind == kCrashReport) {
            // A window of another process, titled as the entry's errflag.
            p.report.reset(new HelperProcess);
            if (!p.report->Start(L"--title \"" + p.errflag + L"\" --class " + kReportClass + L" --at " +
                                 std::to_wstring(700 + p.id * 20) + L" " + std::to_wstring(40 + p.id * 20)))
                Unhandled(p, "the crash-report window could not be started");
            return;
        }
        if (kind == kErrorBox) {
            SendMessageTimeoutW(p.window, kSoakBoxesClosed, 0, 0, SMTO_ABORTIFHUNG | SMTO_ERRORONEXIT, 1000, &closed);
            p.boxesBefore = static_cast<LRESULT>(closed);
            m_boxTexts.insert(p.title + L" 错误 #" + std::to_wstring(++m_events));
        }
        if (!PostMessageW(p.window, kSoakCommand, static_cast<WPARAM>(kind) + 1, static_cast<LPARAM>(m_events)))
            Unhandled(p, "the command could not be posted");
    }

    Sample TakeSample(double now) const
    {
        Sample s;
        PROCESSENTRY32W entry;
        s.at = (now - g_runStart) / 1000.0;
        s.quiet = Quiet(now);
        s.handles = tw_bench::HandleCountOf(m_app.Handle(), m_app.Id());
        s.threads = tw::FindProcessEntry(m_app.Id(), &entry) ? entry.cntThreads : 0;
        s.privateMb = tw_bench::PrivateMbOf(m_app.Handle());
        return s;
    }

    // Each line "NNN<tab>time<tab>text" in code page 936, numbered from 001,
    // stamped within the run and in order; every text one the run caused,
    // each instance's restart logged once with its process id.
    std::string CheckLog(std::string bytes)
    {
        int problems = 0, lines = 0, hangs = 0, killed = 0, recovered = 0, reports = 0, startFailures = 0, unknown = 0;
        auto problem = [&](const std::string& text) {
            if (problems++ < 8)
                Fail("error log: %s", text.c_str());
        };
        if (bytes.empty() || bytes.back() != '\0' || bytes.find('\0') + 1 != bytes.size())
            problem("the file does not end with its only zero byte");
        bytes.resize(bytes.find('\0'));
        std::map<std::wstring, std::vector<DWORD>> restarts;
        std::multiset<std::wstring> boxes;
        long long previous = 0;
        for (size_t pos = 0, end; pos < bytes.size(); pos = end + 2) {
            if ((end = bytes.find("\r\n", pos)) == std::string::npos) {
                problem("the last line does not end with CR LF");
                break;
            }
            std::string line = bytes.substr(pos, end - pos);
            char head[64] = {0};
            int y = 0, mo = 0, d = 0, h = 0, mi = 0, s = 0;
            snprintf(head, sizeof(head), "%03d\t", ++lines);
            bool timed = line.size() > strlen(head) &&
                         sscanf(line.c_str() + strlen(head), "%4d-%2d-%2d %2d:%2d:%2d", &y, &mo, &d, &h, &mi, &s) == 6;
            long long time = timed ? Utc8(y, mo, d, h, mi, s) : -1;
            std::wstring text(line.size(), L'\0');
            size_t at = strlen(head) + 20;
            int n = line.size() < at ? -1
                                     : MultiByteToWideChar(936, MB_ERR_INVALID_CHARS, line.data() + at,
                                                           static_cast<int>(line.size() - at), &text[0],
                                                           static_cast<int>(text.size()));
            text.resize(static_cast<size_t>(std::max(n, 0)));
            if (line.size() < at || line.compare(0, strlen(head), head) || line[at - 1] != '\t' ||
                time < m_launchEpoch - 1 || time > m_exportEpoch + 1 || time + 1 < previous ||
                (n <= 0 && line.size() > at)) {
                problem("line " + std::to_string(lines) + " is not \"" + head +
                        "<a time within the run, in order><tab><code page 936 text>\": " + line);
                continue;
            }
            previous = std::max(previous, time);
            if (g_verbose)
                std::printf("log: %s\n", Utf8(std::wstring(line.begin(), line.begin() + at) + text).c_str());
            size_t restart = text.find(L"\"重启成功, 进程ID为:");
            const std::wstring hang = L"窗口卡死了, 即将开启延时关闭卡死程序时钟, 索引：";
            // The restart and start-failure texts end with a line feed of their own.
            if (text.compare(0, 3, L"进程\"") == 0 && restart != std::wstring::npos && text.back() == L'\n')
                restarts[text.substr(3, restart - 3)].push_back(wcstoul(&text[restart + 13], nullptr, 10));
            else if (text.compare(0, 3, L"进程\"") == 0 && text.find(L"\"启动失败, 路径为:") != std::wstring::npos)
                ++startFailures;
            else if (text.compare(0, hang.size(), hang) == 0 && _wtoi(&text[hang.size()]) < kPrograms)
                ++hangs;
            else if (text == L"延时关闭程序卡死的时钟已关闭并结束了卡死程序")
                ++killed;
            else if (text == L"延迟关闭卡死程序, 延时指定时间后程序已恢复正常")
                ++recovered;
            else if (text == L"已检测到程序崩溃, 正在重启程序中")
                ++reports;
            else if ((!text.rfind(L"Tollwick 已启动, 版本为:", 0) || !text.rfind(L"监控已开启, 监控数量为:", 0)) &&
                     lines <= 12)
                continue; // Tollwick's own start, before any failure was caused.
            else if (m_boxTexts.count(text))
                boxes.insert(text);
            else {
                ++unknown;
                problem("line " + std::to_string(lines) + " has an unknown text: " + Utf8(text));
            }
        }
        int restartLines = 0;
        for (Program& p : m_programs) {
            std::vector<DWORD>& logged = restarts[p.name];
            std::sort(logged.begin(), logged.end());
            std::sort(p.instances.begin(), p.instances.end());
            restartLines += static_cast<int>(logged.size());
            if (logged != p.instances)
                problem(p.label + ": " + std::to_string(logged.size()) + " restart lines for " +
                        std::to_string(p.instances.size()) + " instances seen, or other process ids");
        }
        if (restarts.size() != kPrograms)
            problem("restart lines of programs that are not watched");
        if (hangs != m_handled[kHang] || killed != m_handled[kHang] || recovered || startFailures)
            problem(std::to_string(hangs) + " hang, " + std::to_string(killed) + " kill, " + std::to_string(recovered) +
                    " recovery and " + std::to_string(startFailures) + " start failure lines for " +
                    std::to_string(m_handled[kHang]) + " hangs");
        if (reports != m_handled[kCrashReport] || boxes != m_boxTexts)
            problem(std::to_string(reports) + " crash-report and " + std::to_string(boxes.size()) +
                    " error-box lines for " + std::to_string(m_handled[kCrashReport]) + " and " +
                    std::to_string(m_boxTexts.size()) + ", or other box texts");
        char summary[600];
        snprintf(summary, sizeof(summary),
                 "error log: %d lines, numbered 001..%03d, stamped within the run, code page 936, zero byte at the "
                 "end; restart %d = %d first starts + %d crash + %d exit + %d hang; hang %d, kill %d, recovered %d; "
                 "error box %d (texts %s); crash report %d; start failures %d, unknown %d: %s",
                 lines, lines, restartLines, kPrograms, m_handled[kCrash], m_handled[kExit], m_handled[kHang], hangs,
                 killed, recovered, static_cast<int>(boxes.size()), boxes == m_boxTexts ? "match" : "differ", reports,
                 startFailures, unknown, problems ? "FAIL" : "ok");
        return summary;
    }

    // The log exported through the real save dialog, Tollwick quit, and
    // config.xml well-formed and byte for byte as after the start.
    std::string ExportQuitAndCheck()
    {
        std::wstring log = m_dir.File(L"soak-log.txt");
        PostMessageW(m_main, WM_COMMAND, MAKEWPARAM(10400, 0), 0);
        HWND save = nullptr;
        WaitFor([&] { return (save = FindOwnWindow(m_app.Id(), L"#32770", L"导出错误日志")) != nullptr; }, 10000);
        m_exportEpoch = _time64(nullptr);
        std::string logLine = "error log: not exported: FAIL";
        if (SaveAs(save, log) && WaitFor([&] { return !ReadBytes(log).empty(); }, 10000))
            logLine = CheckLog(ReadBytes(log));
        else
            Fail("the error log could not be exported through its save dialog");
        PostMessageW(m_main, WM_COMMAND, MAKEWPARAM(10441, 0), 0);
        if (!m_app.WaitForExit(15000))
            Fail("Tollwick did not quit");
        std::string after = ReadBytes(m_dir.File(L"config.xml"));
        TiXmlDocument document;
        document.Parse(after.c_str());
        bool wellFormed = !document.Error() && document.RootElement(), same = after == m_afterStart;
        if (!wellFormed || !same)
            Fail("config.xml after the quit: %s", wellFormed ? "not as after the start" : document.ErrorDesc());
        return logLine + "\nconfig.xml: well-formed after the quit: " + (wellFormed ? "yes" : "no") +
               "; after the quit byte for byte as after the start: " + (same ? "ok" : "FAIL");
    }

    void Report(const std::string& logLines)
    {
        int caused = 0, handled = 0, failed = 0;
        std::string counts;
        for (int k = 0; k < kKinds; ++k) {
            caused += m_caused[k];
            handled += m_handled[k];
            failed += m_unhandled[k];
            counts += std::string(k ? ", " : "") + kKindNames[k] + " " + std::to_string(m_handled[k]) + "/" +
                      std::to_string(m_caused[k]);
        }
        if (handled != caused && !failed)
            Fail("%d failures caused, %d handled", caused, handled);
        std::printf("failures caused and handled: %s; total %d/%d, %d not handled within 30 s, %d uncaused restarts "
                    "or exits: %s\n",
                    counts.c_str(), handled, caused, failed, m_uncaused,
                    handled == caused && !failed && !m_uncaused ? "ok" : "FAIL");
        std::printf("handling: %s; %s; %s, %s; %s (%d seen open); %s\n",
                    Latencies("crash -> new instance", m_first[kCrash]).c_str(),
                    Latencies("exit -> new instance", m_first[kExit]).c_str(),
                    Latencies("hang -> killed", m_first[kHang]).c_str(),
                    Latencies("killed -> new instance", m_killedToNew).c_str(),
                    Latencies("error box -> closed", m_first[kErrorBox]).c_str(), m_boxesSeen,
                    Latencies("crash report shown -> closed", m_first[kCrashReport]).c_str());
        tw_bench::Spread probe = SpreadOf(m_probe.ms);
        size_t maxAt = std::max_element(m_probe.ms.begin(), m_probe.ms.end()) - m_probe.ms.begin();
        bool answers = probe.count && probe.p99 < kTargetMs && probe.max < kTargetMs && !m_probe.timeouts;
        if (!answers)
            Fail("main window answers: p99 %.2f ms, max %.2f ms, %d time-outs", probe.p99, probe.max, m_probe.timeouts);
        std::printf("main window answers (WM_NULL every 250 ms, %zu probes): median %.2f ms, p99 %.2f ms, max %.2f "
                    "ms (at %.0f s), %d time-outs of 1000 ms; target p99 and max < 100 ms: %s\n",
                    probe.count, probe.median, probe.p99, probe.max, probe.count ? m_probe.at[maxAt] : 0.0,
                    m_probe.timeouts, answers ? "ok" : "FAIL");
        double growth = m_end.privateMb - m_start.privateMb;
        bool flat = m_start.quiet && m_end.quiet && m_start.handles && m_end.handles <= m_start.handles &&
                    m_end.threads <= m_start.threads && growth < 2;
        if (!flat)
            Fail("resources: handles %lu -> %lu, threads %lu -> %lu, private %+.2f MB%s", m_start.handles,
                 m_end.handles, m_start.threads, m_end.threads, growth,
                 m_start.quiet && m_end.quiet ? "" : " (no quiet moment)");
        std::printf("Tollwick's resources at quiet moments: start (at %.0f s) handles %lu, threads %lu, private %.2f "
                    "MB; end (at %.0f s) handles %lu, threads %lu, private %.2f MB (%+.2f MB): %s\n%s\n",
                    m_start.at, m_start.handles, m_start.threads, m_start.privateMb, m_end.at, m_end.handles,
                    m_end.threads, m_end.privateMb, growth, flat ? "ok" : "FAIL", logLines.c_str());
    }

    // After a minute's warm-up nothing new is caused until a quiet moment
    // gives the starting figures; at the end the failures in progress end
    // (handled or past their limit) and a quiet moment gives the final ones.
    int Run()
    {
        std::printf("soak: seed %u, %d programs, %.1f min, period %d s, hang grace %d s, failures every 10-60 s per "
                    "program (%d-bit build)\n",
                    m_seed, kPrograms, m_minutes, kPeriodSeconds, kGraceSeconds, static_cast<int>(sizeof(void*) * 8));
        bool alive = Prepare();
        std::string logLines;
        if (alive) {
            g_runStart = NowMs();
            for (Program& p : m_programs)
                p.nextAt = g_runStart + Gap(p);
            m_probe.window = m_main;
            CHandle probeThread(CreateThread(nullptr, 0, RunProbe, &m_probe, 0, nullptr));
            double warmUp = g_runStart + std::min(60000.0, m_minutes * 30000), holdSince = 0;
            bool started = false;
            for (double now = NowMs(), progress = 60000; now < g_runStart + m_minutes * 60000; now = NowMs()) {
                if (!m_app.IsRunning()) {
                    Fail("Tollwick ended during the run (code 0x%lX)", static_cast<unsigned long>(m_app.ExitCode()));
                    alive = false;
                    break;
                }
                Poll(now);
                bool holding = !started && now >= warmUp;
                holdSince = holding && !holdSince ? now : holdSince;
                if (holding && (Quiet(now) || now - holdSince > 60000)) {
                    m_start = TakeSample(now);
                    started = true;
                    holding = false;
                }
                for (Program& p : m_programs) {
                    if (!holding && !p.broken && !p.pending && p.processId && !p.ended && now >= p.nextAt &&
                        IsWindow(p.window))
                        Cause(p, now);
                }
                if (now - g_runStart >= progress) {
                    std::printf("soak: %.0f min, %d failures caused, %zu test failures\n", progress / 60000,
                                std::accumulate(m_caused, m_caused + kKinds, 0), g_failures.size());
                    progress += 60000;
                }
                Sleep(50);
            }
            WaitFor(
                [&] {
                    Poll(NowMs());
                    return !alive || Quiet(NowMs());
                },
                static_cast<DWORD>(kHandleLimitMs + 60000));
            m_end = TakeSample(NowMs());
            if (!started)
                Fail("no starting figures were taken");
            m_probe.stop = true;
            WaitForSingleObject(probeThread.Get(), 5000);
        }
        if (alive)
            logLines = ExportQuitAndCheck();
        m_app.Stop();
        for (Program& p : m_programs) {
            p.report.reset();
            EndAllRunning(p.exe);
        }
        if (alive)
            Report(logLines);
        std::printf("soak: %s (%zu failures)\n", g_failures.empty() ? "PASS" : "FAIL", g_failures.size());
        return g_failures.empty() ? 0 : 1;
    }

private:
    double Gap(Program& p) { return std::uniform_real_distribution<double>(10000, 60000)(p.rng); }

    double m_minutes;
    unsigned m_seed;
    int m_only;
    TempDir m_dir;
    std::vector<Program> m_programs = std::vector<Program>(kPrograms);
    HelperProcess m_app;
    HWND m_main = nullptr;
    std::string m_afterStart;
    long long m_launchEpoch = 0, m_exportEpoch = 0, m_events = 0;
    double m_lastChange = 0;
    int m_caused[kKinds] = {}, m_handled[kKinds] = {}, m_unhandled[kKinds] = {}, m_uncaused = 0, m_boxesSeen = 0;
    // cause -> new instance, killed, box closed; crash report shown -> closed.
    std::vector<double> m_first[kKinds], m_killedToNew;
    std::multiset<std::wstring> m_boxTexts;
    Sample m_start, m_end;
    Probe m_probe;
};

} // namespace

int main(int argc, char** argv)
{
    std::setvbuf(stdout, nullptr, _IONBF, 0);
    double minutes = 10;
    unsigned seed = 20261207;
    int only = -1;
    for (int i = 1; i < argc; ++i) {
        std::string a = argv[i];
        if (a == "--verbose") {
            g_verbose = true;
            continue;
        }
        std::string value = ++i < argc ? argv[i] : "";
        if (a == "--minutes")
            minutes = std::atof(value.c_str());
        else if (a == "--seed")
            seed = static_cast<unsigned>(std::strtoul(value.c_str(), nullptr, 10));
        else if (a == "--only")
            only = static_cast<int>(std::find(kKindNames, kKindNames + kKinds, value) - kKindNames);
        else
            only = kKinds;
    }
    if (minutes <= 0 || only >= kKinds) {
        std::fprintf(stderr,
                     "usage: tollwick_soak.exe [--minutes N above 0] [--seed S] [--only crash|exit|hang|\"error "
                     "box\"|\"crash report\"] [--verbose]\n");
        return 2;
    }
    return Soak(minutes, seed, only).Run();
}
