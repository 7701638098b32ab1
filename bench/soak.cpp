// The soak run (README, "Soak run"): the real Tollwick.exe with ten helper
// programs, each told by a message, at moments drawn from a seed, to crash,
// exit, hang, show a "错误" box or have a crash report shown, so that it is
// known what happened to which process. Exits 0 only when every target is met.
//
//   tollwick_soak.exe [--minutes N] [--seed S] [--only KIND]
#include "bench/figures.h"
#include "monitor/process_query.h"
#include "tests/helper_process.h"
#include "tests/running.h"
#include "tests/test_support.h"

#include <cstdarg>
#include <cstdio>
#include <map>
#include <memory>
#include <random>
#include <set>

using namespace tw_test;
using tw::CHandle;
using tw_bench::NowMs;

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

double g_runStart = 0;
std::vector<std::string> g_failures;

// Notes a missed target; false, for the check that failed.
bool Fail(const char* pattern, ...)
{
    char text[1024];
    va_list args;
    va_start(args, pattern);
    vsnprintf(text, sizeof(text), pattern, args);
    va_end(args);
    g_failures.push_back(text);
    std::printf("soak: FAIL at %.1f s: %s\n", g_runStart ? (NowMs() - g_runStart) / 1000.0 : 0.0, text);
    return false;
}

// "ok", or "FAIL" with the missed target noted.
const char* Verdict(bool ok, const char* target)
{
    if (!ok)
        Fail("%s", target);
    return ok ? "ok" : "FAIL";
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
    tw_bench::Spread f = tw_bench::SpreadOf(values);
    char line[200];
    snprintf(line, sizeof(line), "%s median %.0f ms, p95 %.0f ms, max %.0f ms", what, f.median, f.p95, f.max);
    return line;
}

struct Program {
    int id = 0;
    std::wstring exe, name, title, errflag;
    std::mt19937 rng;
    // The current instance, ended once its end has been seen; every instance
    // seen, each started by Tollwick.
    DWORD processId = 0;
    HWND window = nullptr;
    CHandle process;
    bool ended = false, broken = false;
    std::vector<DWORD> instances;
    double nextAt = 0;
    // The failure in progress, caused in the instance `caused`.
    bool pending = false;
    Kind kind = kCrash;
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

class Soak {
public:
    Soak(double minutes, unsigned seed, int only) : m_minutes(minutes), m_seed(seed), m_only(only) {}

    int Run()
    {
        std::printf("soak: seed %u, %d programs, %.1f min, period %d s, hang grace %d s, failures every 10-60 s per "
                    "program (%d-bit build)\n",
                    m_seed, kPrograms, m_minutes, kPeriodSeconds, kGraceSeconds, static_cast<int>(sizeof(void*) * 8));
        if (Prepare() && CauseFailures()) {
            Report();
            ExportQuitAndCheck();
        }
        m_app.Stop();
        for (Program& p : m_programs) {
            p.report.reset();
            EndAllRunning(p.exe);
        }
        std::printf("soak: %s (%zu failures)\n", g_failures.empty() ? "PASS" : "FAIL", g_failures.size());
        return g_failures.empty() ? 0 : 1;
    }

private:
    bool Prepare()
    {
        std::wstring entries;
        for (int i = 0; i < kPrograms; ++i) {
            Program& p = m_programs[i];
            p.id = i;
            p.title = L"soak-" + std::to_wstring(i / 10) + std::to_wstring(i % 10);
            p.name = L"soak" + p.title.substr(5) + L".exe";
            p.exe = m_dir.File(p.name.c_str());
            p.errflag = p.title + L" 崩溃报告";
            p.rng.seed(m_seed + static_cast<unsigned>(i));
            // A copy each, so that every program has a path of its own. The
            // failures come on purpose, so no stable time holds a restart back.
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
        if (!CopyFileW((TestBinaryDirectory() + L"..\\Tollwick.exe").c_str(), m_dir.File(L"Tollwick.exe").c_str(),
                       FALSE) ||
            !WriteBytes(m_dir.File(L"config.xml"), config) || !m_app.Start(L"", m_dir.File(L"Tollwick.exe")))
            return Fail("cannot copy Tollwick.exe, write its config.xml or start it (error %lu)", GetLastError());
        WaitFor(
            [&] { return IsWindowVisible(m_main = FindOwnWindow(m_app.Id(), L"Tollwick 程序守护 主窗口", nullptr)); },
            20000);
        if (!WaitFor([&] { return TextOf(GetDlgItem(m_main, 10200)) == L"监控中"; }, 10000))
            return Fail("monitoring did not start by itself");
        // Monitoring saved the file as it started, before the window was shown.
        m_afterStart = ReadBytes(m_dir.File(L"config.xml"));
        // Tollwick starts every program itself: none runs before it.
        return WaitFor([&] { return Poll(NowMs()); }, 60000) || Fail("not every helper was started within 60 s");
    }

    // After a minute's warm-up nothing new is caused until a quiet moment
    // gives the starting figures; at the end the failures in progress end
    // (handled or past their limit) and a quiet moment gives the final ones.
    // False when Tollwick ended.
    bool CauseFailures()
    {
        g_runStart = NowMs();
        for (Program& p : m_programs)
            p.nextAt = g_runStart + Gap(p);
        m_probe.reset(new tw_bench::Probe(m_main, 250));
        double warmUp = g_runStart + std::min(60000.0, m_minutes * 30000);
        bool started = false;
        for (double now = NowMs(); now < g_runStart + m_minutes * 60000; now = NowMs()) {
            if (!m_app.IsRunning())
                return Fail("Tollwick ended during the run (code 0x%lX)", static_cast<unsigned long>(m_app.ExitCode()));
            bool quiet = Poll(now);
            if (!started && now >= warmUp && (quiet || now - warmUp > 60000)) {
                m_start = TakeSample(now);
                started = true;
            }
            for (Program& p : m_programs) {
                if ((started || now < warmUp) && !p.broken && !p.pending && p.processId && !p.ended &&
                    now >= p.nextAt && IsWindow(p.window))
                    Cause(p, now);
            }
            Sleep(50);
        }
        WaitFor([&] { return Poll(NowMs()); }, static_cast<DWORD>(kHandleLimitMs + 60000));
        m_end = TakeSample(NowMs());
        m_probe->Stop();
        return true;
    }

    // Every program running (or left aside after a failure not handled), none
    // pending, and nothing changed for kSettleMs.
    bool Quiet(double now) const
    {
        return now - m_lastChange >= kSettleMs &&
               std::all_of(std::begin(m_programs), std::end(m_programs), [](const Program& p) {
                   return p.broken ||
                          (!p.pending && p.processId && !p.ended && !Ended(p.process) && IsWindow(p.window));
               });
    }

    // Follows every helper's windows and failures; true at a quiet moment.
    bool Poll(double now)
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
                Track(m_programs[id], owner, window, now);
        }
        for (Program& p : m_programs) {
            if (p.pending) {
                CheckPending(p, now);
            } else if (p.processId && !p.ended && Ended(p.process)) {
                p.ended = true;
                ++m_uncaused;
                Fail("%ls (process %lu) ended uncaused", p.title.c_str(), p.processId);
            }
        }
        return Quiet(now);
    }

    // A crash, exit or hang has ended the caused instance.
    void NoteEnd(Program& p, double now)
    {
        if (p.pending && p.kind <= kHang && !p.endedAt && Ended(p.caused)) {
            p.endedAt = now;
            p.ended = true;
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
        NoteEnd(p, now);
        PROCESSENTRY32W entry;
        if (!tw::FindProcessEntry(processId, &entry) || entry.th32ParentProcessID != m_app.Id())
            Fail("%ls instance %lu was not started by Tollwick", p.title.c_str(), processId);
        if (!p.instances.empty() && !p.ended) {
            ++m_uncaused;
            Fail("%ls: new instance %lu while %lu still runs", p.title.c_str(), processId, p.processId);
        }
        p.instances.push_back(processId);
        p.processId = processId;
        p.window = window;
        p.process.Reset(OpenProcess(SYNCHRONIZE | PROCESS_QUERY_LIMITED_INFORMATION, FALSE, processId));
        p.ended = false;
        m_lastChange = now;
        if (p.pending && p.endedAt)
            Handled(p, now, (p.kind == kHang ? p.endedAt : now) - p.causedAt, p.kind == kHang ? now - p.endedAt : -1);
    }

    void Handled(Program& p, double now, double first, double second)
    {
        ++m_handled[p.kind];
        m_first[p.kind].push_back(first);
        if (second >= 0)
            m_killedToNew.push_back(second);
        p.pending = false;
        p.caused.Reset();
        p.report.reset();
        m_lastChange = now;
        p.nextAt = now + Gap(p);
    }

    void Unhandled(Program& p, const char* what)
    {
        ++m_unhandled;
        Fail("%ls %s (process %lu): %s", p.title.c_str(), kKindNames[p.kind], p.processId, what);
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
        NoteEnd(p, now);
        if (p.kind == kErrorBox) {
            DWORD_PTR closed = 0;
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
        p.kind = m_only >= 0 ? static_cast<Kind>(m_only) : kind;
        p.pending = true;
        p.causedAt = now;
        p.endedAt = p.reportShownAt = 0;
        p.caused.Reset(OpenProcess(SYNCHRONIZE | PROCESS_QUERY_LIMITED_INFORMATION, FALSE, p.processId));
        ++m_caused[p.kind];
        if (p.kind == kCrashReport) {
            // A window of another process, titled as the entry's errflag.
            p.report.reset(new HelperProcess);
            if (!p.report->Start(L"--title \"" + p.errflag + L"\" --class " + kReportClass + L" --at " +
                                 std::to_wstring(700 + p.id * 20) + L" " + std::to_wstring(40 + p.id * 20)))
                Unhandled(p, "the crash-report window could not be started");
            return;
        }
        if (p.kind == kErrorBox) {
            DWORD_PTR closed = 0;
            SendMessageTimeoutW(p.window, kSoakBoxesClosed, 0, 0, SMTO_ABORTIFHUNG | SMTO_ERRORONEXIT, 1000, &closed);
            p.boxesBefore = static_cast<LRESULT>(closed);
            m_boxTexts.insert(p.title + L" 错误 #" + std::to_wstring(++m_events));
        }
        if (!PostMessageW(p.window, kSoakCommand, static_cast<WPARAM>(p.kind) + 1, static_cast<LPARAM>(m_events)))
            Unhandled(p, "the command could not be posted");
    }

    Sample TakeSample(double now) const
    {
        PROCESSENTRY32W entry;
        DWORD threads = tw::FindProcessEntry(m_app.Id(), &entry) ? entry.cntThreads : 0;
        return {(now - g_runStart) / 1000.0, tw_bench::PrivateMbOf(m_app.Handle()),
                tw_bench::HandleCountOf(m_app.Handle(), m_app.Id()), threads, Quiet(now)};
    }

    void Report()
    {
        int caused = 0, handled = 0;
        std::string counts;
        for (int k = 0; k < kKinds; ++k) {
            caused += m_caused[k];
            handled += m_handled[k];
            counts += std::string(k ? ", " : "") + kKindNames[k] + " " + std::to_string(m_handled[k]) + "/" +
                      std::to_string(m_caused[k]);
        }
        std::printf("failures caused and handled: %s; total %d/%d, %d not handled within 30 s, %d uncaused restarts "
                    "or exits: %s\n",
                    counts.c_str(), handled, caused, m_unhandled, m_uncaused,
                    Verdict(handled == caused && !m_unhandled && !m_uncaused, "every failure handled"));
        std::printf("handling: %s; %s; %s, %s; %s; %s\n", Latencies("crash -> new instance", m_first[kCrash]).c_str(),
                    Latencies("exit -> new instance", m_first[kExit]).c_str(),
                    Latencies("hang -> killed", m_first[kHang]).c_str(),
                    Latencies("killed -> new instance", m_killedToNew).c_str(),
                    Latencies("error box -> closed", m_first[kErrorBox]).c_str(),
                    Latencies("crash report shown -> closed", m_first[kCrashReport]).c_str());
        tw_bench::Spread probe = tw_bench::SpreadOf(m_probe->ms);
        size_t maxAt = std::max_element(m_probe->ms.begin(), m_probe->ms.end()) - m_probe->ms.begin();
        std::printf("main window answers (WM_NULL every 250 ms, %zu probes): median %.2f ms, p99 %.2f ms, max %.2f "
                    "ms (at %.0f s), %d time-outs of 1000 ms; target p99 and max < 100 ms: %s\n",
                    probe.count, probe.median, probe.p99, probe.max, probe.count ? m_probe->at[maxAt] : 0.0,
                    m_probe->timeouts,
                    Verdict(probe.count && probe.p99 < kTargetMs && probe.max < kTargetMs && !m_probe->timeouts,
                            "the main window answering within 100 ms"));
        double growth = m_end.privateMb - m_start.privateMb;
        bool quiet = m_start.quiet && m_end.quiet;
        bool flat = quiet && m_start.handles && m_end.handles <= m_start.handles && m_end.threads <= m_start.threads &&
                    growth < 2;
        std::printf("Tollwick's resources at quiet moments: start (at %.0f s) handles %lu, threads %lu, private %.2f "
                    "MB; end (at %.0f s) handles %lu, threads %lu, private %.2f MB (%+.2f MB): %s\n",
                    m_start.at, m_start.handles, m_start.threads, m_start.privateMb, m_end.at, m_end.handles,
                    m_end.threads, m_end.privateMb, growth,
                    Verdict(flat, quiet ? "no growth in resources" : "no quiet moment for the resources"));
    }

    // The log exported through the real save dialog, Tollwick quit, and
    // config.xml byte for byte as after the start.
    void ExportQuitAndCheck()
    {
        std::wstring log = m_dir.File(L"soak-log.txt");
        PostMessageW(m_main, WM_COMMAND, MAKEWPARAM(10400, 0), 0);
        HWND save = nullptr;
        WaitFor([&] { return (save = FindOwnWindow(m_app.Id(), L"#32770", L"导出错误日志")) != nullptr; }, 10000);
        if (SaveAs(save, log) && WaitFor([&] { return !ReadBytes(log).empty(); }, 10000))
            CheckLog(ReadBytes(log));
        else
            std::printf("error log: not exported: %s\n", Verdict(false, "the error log exported through its dialog"));
        PostMessageW(m_main, WM_COMMAND, MAKEWPARAM(10441, 0), 0);
        if (!m_app.WaitForExit(15000))
            Fail("Tollwick did not quit");
        std::printf("config.xml: after the quit byte for byte as after the start: %s\n",
                    Verdict(ReadBytes(m_dir.File(L"config.xml")) == m_afterStart, "config.xml as after the start"));
    }

    // Every line's text one the run caused: each instance's restart logged
    // once with its process id, a hang and a kill line per hang, one line per
    // error box and crash report. The lines' format is the error log suite's.
    void CheckLog(const std::string& bytes)
    {
        int problems = 0, lines = 0, hangs = 0, killed = 0, reports = 0, other = 0;
        auto problem = [&](const std::string& text) {
            if (problems++ < 8)
                Fail("error log: %s", text.c_str());
        };
        std::wstring all(bytes.size(), L'\0');
        all.resize(static_cast<size_t>(MultiByteToWideChar(
            936, 0, bytes.c_str(), static_cast<int>(strlen(bytes.c_str())), &all[0], static_cast<int>(all.size()))));
        std::map<std::wstring, std::vector<DWORD>> restarts;
        std::multiset<std::wstring> boxes;
        for (size_t pos = 0, end; (end = all.find(L"\r\n", pos)) != std::wstring::npos; pos = end + 2) {
            ++lines;
            // After "NNN<tab>time<tab>".
            size_t at = all.find(L'\t', all.find(L'\t', pos) + 1) + 1;
            std::wstring text = all.substr(at, end - at);
            size_t restart = text.find(L"\"重启成功, 进程ID为:");
            if (!text.rfind(L"进程\"", 0) && restart != std::wstring::npos)
                restarts[text.substr(3, restart - 3)].push_back(wcstoul(&text[restart + 13], nullptr, 10));
            else if (!text.rfind(L"窗口卡死了, 即将开启延时关闭卡死程序时钟, 索引：", 0))
                ++hangs;
            else if (text == L"延时关闭程序卡死的时钟已关闭并结束了卡死程序")
                ++killed;
            else if (text == L"已检测到程序崩溃, 正在重启程序中")
                ++reports;
            else if (m_boxTexts.count(text))
                boxes.insert(text);
            else if (text.rfind(L"Tollwick 已启动, 版本为:", 0) && text.rfind(L"监控已开启, 监控数量为:", 0)) {
                ++other;
                problem("line " + std::to_string(lines) + " is not one the run caused: " + Utf8(text));
            }
        }
        int restartLines = 0;
        for (Program& p : m_programs) {
            std::vector<DWORD>& logged = restarts[p.name];
            std::sort(logged.begin(), logged.end());
            std::sort(p.instances.begin(), p.instances.end());
            restartLines += static_cast<int>(logged.size());
            if (logged != p.instances)
                problem(Utf8(p.title) + ": " + std::to_string(logged.size()) + " restart lines for " +
                        std::to_string(p.instances.size()) + " instances seen, or other process ids");
        }
        if (restarts.size() != kPrograms)
            problem("restart lines of programs that are not watched");
        if (hangs != m_handled[kHang] || killed != m_handled[kHang])
            problem("hang or kill lines other than one each per hang handled");
        if (reports != m_handled[kCrashReport] || boxes != m_boxTexts)
            problem("crash-report or error-box lines other than one per such failure handled");
        std::printf(
            "error log: %d lines; restart %d = %d first starts + %d crash + %d exit + %d hang; hang %d, kill %d; "
            "error box %d (texts %s); crash report %d; other %d: %s\n",
            lines, restartLines, kPrograms, m_handled[kCrash], m_handled[kExit], m_handled[kHang], hangs, killed,
            static_cast<int>(boxes.size()), boxes == m_boxTexts ? "match" : "differ", reports, other,
            problems ? "FAIL" : "ok");
    }

    double Gap(Program& p) { return std::uniform_real_distribution<double>(10000, 60000)(p.rng); }

    double m_minutes;
    unsigned m_seed;
    int m_only;
    TempDir m_dir;
    Program m_programs[kPrograms];
    HelperProcess m_app;
    HWND m_main = nullptr;
    std::string m_afterStart;
    long long m_events = 0;
    double m_lastChange = 0;
    int m_caused[kKinds] = {}, m_handled[kKinds] = {}, m_unhandled = 0, m_uncaused = 0;
    // cause -> new instance, killed, box closed; crash report shown -> closed.
    std::vector<double> m_first[kKinds], m_killedToNew;
    std::multiset<std::wstring> m_boxTexts;
    Sample m_start, m_end;
    std::unique_ptr<tw_bench::Probe> m_probe;
};

} // namespace

int main(int argc, char** argv)
{
    std::setvbuf(stdout, nullptr, _IONBF, 0);
    double minutes = 10;
    unsigned seed = 20261207;
    int only = -1;
    for (int i = 1; i + 1 < argc; i += 2) {
        std::string option = argv[i], value = argv[i + 1];
        if (option == "--minutes")
            minutes = std::atof(value.c_str());
        else if (option == "--seed")
            seed = static_cast<unsigned>(std::strtoul(value.c_str(), nullptr, 10));
        else if (option == "--only")
            only = static_cast<int>(std::find(kKindNames, kKindNames + kKinds, value) - kKindNames);
        else
            only = kKinds;
    }
    if (argc % 2 == 0 || minutes <= 0 || only >= kKinds) {
        std::fprintf(stderr,
                     "usage: tollwick_soak.exe [--minutes N above 0] [--seed S] [--only crash|exit|hang|\"error "
                     "box\"|\"crash report\"]\n");
        return 2;
    }
    return Soak(minutes, seed, only).Run();
}
