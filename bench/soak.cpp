// The soak run: the real Tollwick.exe, copied with a config.xml of ten helper
// programs into a temporary folder, watching them for a set time while they
// crash, exit, hang and show error dialogs at random moments drawn from a
// fixed seed. Every failure is caused by a message to one helper, so it is
// known what happened to which process; the run then checks that each was
// handled, how fast the main window answers, that Tollwick's handles, threads
// and private bytes stay flat, the exported error log line by line, and
// config.xml after the quit. Exits 0 only when every target is met.
//
//   tollwick_soak.exe [--minutes N] [--seed S] [--only KIND] [--verbose]
//
// --only causes failures of one kind alone; --verbose prints each failure,
// each sample and the exported log.
#include "core/handle.h"
#include "tests/helper_process.h"
#include "tests/test_support.h"
#include "tests/window_wait.h"

#include "tinyxml.h"

#include <windows.h>

#include <psapi.h>
#include <tlhelp32.h>

#include <algorithm>
#include <atomic>
#include <cstdarg>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <map>
#include <memory>
#include <random>
#include <set>
#include <string>
#include <vector>

using tw_test::FindOwnWindow;
using tw_test::HelperPath;
using tw_test::HelperProcess;
using tw_test::TestBinaryDirectory;
using tw_test::TextOf;
using tw_test::WaitFor;

namespace {

// What the helper obeys with --soak (tests/helper_app/helper.cpp).
constexpr UINT kSoakCommand = WM_APP + 0x50;
constexpr UINT kSoakBoxesClosed = WM_APP + 0x51;
constexpr DWORD kHelperExitCode = 3;

const wchar_t kMainClass[] = L"Tollwick 程序守护 主窗口";
const wchar_t kHelperClass[] = L"TollwickSoakWnd";
const wchar_t kReportClass[] = L"TollwickSoakReport";

constexpr int kPrograms = 10;
constexpr int kPeriodSeconds = 2;
constexpr int kGraceSeconds = 3;
constexpr double kFirstGapMs = 10000;
constexpr double kLastGapMs = 60000;
constexpr double kWarmUpMs = 60000;
// Far beyond the slowest expected handling (a hang: period + grace + restart).
constexpr double kHandleLimitMs = 30000;
// A quiet moment: nothing pending and nothing handled or started this long.
constexpr double kSettleMs = 4000;
constexpr double kSampleEveryMs = 10000;
constexpr DWORD kProbeEveryMs = 250;
constexpr DWORD kProbeTimeoutMs = 1000;
constexpr double kLatencyTargetMs = 100;
constexpr double kPrivateGrowthTargetMb = 2;

bool g_verbose = false;
// -1: every kind; otherwise only this one is caused (--only).
int g_onlyKind = -1;
double g_runStart = 0;

double NowMs()
{
    static LARGE_INTEGER frequency = [] {
        LARGE_INTEGER f;
        QueryPerformanceFrequency(&f);
        return f;
    }();
    LARGE_INTEGER now;
    QueryPerformanceCounter(&now);
    return static_cast<double>(now.QuadPart) * 1000.0 / static_cast<double>(frequency.QuadPart);
}

double RunSeconds()
{
    return (NowMs() - g_runStart) / 1000.0;
}

long long EpochSeconds()
{
    FILETIME now;
    GetSystemTimeAsFileTime(&now);
    unsigned long long ticks = (static_cast<unsigned long long>(now.dwHighDateTime) << 32) | now.dwLowDateTime;
    return static_cast<long long>((ticks - 116444736000000000ULL) / 10000000ULL);
}

using tw::CHandle;

bool Ended(const CHandle& process)
{
    return process && WaitForSingleObject(process.Get(), 0) == WAIT_OBJECT_0;
}

DWORD ExitCodeOf(const CHandle& process)
{
    DWORD code = 0;
    return process && GetExitCodeProcess(process.Get(), &code) ? code : STILL_ACTIVE;
}

HANDLE OpenWatch(DWORD processId)
{
    return OpenProcess(SYNCHRONIZE | PROCESS_QUERY_LIMITED_INFORMATION, FALSE, processId);
}

std::vector<std::string> g_failures;

void Fail(const char* pattern, ...)
{
    char text[1024];
    va_list args;
    va_start(args, pattern);
    vsnprintf(text, sizeof(text), pattern, args);
    va_end(args);
    g_failures.push_back(text);
    std::printf("soak: FAIL at %.1f s: %s\n", g_runStart ? RunSeconds() : 0.0, text);
}

std::string To936(const std::wstring& text)
{
    int n = WideCharToMultiByte(936, 0, text.c_str(), -1, nullptr, 0, nullptr, nullptr);
    std::string out(static_cast<size_t>(n > 0 ? n : 1), '\0');
    WideCharToMultiByte(936, 0, text.c_str(), -1, &out[0], n, nullptr, nullptr);
    out.resize(static_cast<size_t>(n > 0 ? n - 1 : 0));
    return out;
}

// False when the bytes are not valid code page 936 text.
bool From936(const std::string& bytes, std::wstring* text)
{
    text->clear();
    if (bytes.empty())
        return true;
    int n = MultiByteToWideChar(936, MB_ERR_INVALID_CHARS, bytes.data(), static_cast<int>(bytes.size()), nullptr, 0);
    if (n <= 0)
        return false;
    text->resize(static_cast<size_t>(n));
    MultiByteToWideChar(936, MB_ERR_INVALID_CHARS, bytes.data(), static_cast<int>(bytes.size()), &(*text)[0], n);
    return true;
}

// For the console, which shows UTF-8 under Wine.
std::string Utf8(const std::wstring& text)
{
    int n = WideCharToMultiByte(CP_UTF8, 0, text.c_str(), -1, nullptr, 0, nullptr, nullptr);
    std::string out(static_cast<size_t>(n > 0 ? n : 1), '\0');
    WideCharToMultiByte(CP_UTF8, 0, text.c_str(), -1, &out[0], n, nullptr, nullptr);
    out.resize(static_cast<size_t>(n > 0 ? n - 1 : 0));
    return out;
}

struct Figures {
    size_t count = 0;
    double median = 0;
    double p95 = 0;
    double p99 = 0;
    double max = 0;
};

Figures Summarise(std::vector<double> values)
{
    Figures f;
    if (values.empty())
        return f;
    std::sort(values.begin(), values.end());
    auto at = [&](double q) { return values[std::min(values.size() - 1, static_cast<size_t>(values.size() * q))]; };
    f.count = values.size();
    f.median = values[values.size() / 2];
    f.p95 = at(0.95);
    f.p99 = at(0.99);
    f.max = values.back();
    return f;
}

DWORD OwnerOf(HWND window)
{
    DWORD owner = 0;
    GetWindowThreadProcessId(window, &owner);
    return owner;
}

struct ProcessFacts {
    DWORD parent = 0;
    DWORD threads = 0;
    bool found = false;
};

ProcessFacts FactsOf(DWORD processId)
{
    ProcessFacts facts;
    HANDLE snapshot = CreateToolhelp32Snapshot(TH32CS_SNAPPROCESS, 0);
    if (snapshot == INVALID_HANDLE_VALUE)
        return facts;
    CHandle hold(snapshot);
    PROCESSENTRY32W entry = {};
    entry.dwSize = sizeof(entry);
    for (BOOL more = Process32FirstW(snapshot, &entry); more; more = Process32NextW(snapshot, &entry)) {
        if (entry.th32ProcessID == processId) {
            facts.parent = entry.th32ParentProcessID;
            facts.threads = entry.cntThreads;
            facts.found = true;
            break;
        }
    }
    return facts;
}

// Wine answers GetProcessHandleCount with 0; the system handle table then
// gives the count: the entries owned by the process.
using QuerySystemInformation = LONG(WINAPI*)(ULONG, void*, ULONG, ULONG*);

struct ExtendedHandleEntry {
    void* object;
    ULONG_PTR processId;
    ULONG_PTR handle;
    ULONG access;
    USHORT backTrace;
    USHORT type;
    ULONG attributes;
    ULONG reserved;
};

const char* g_handleCountSource = "GetProcessHandleCount";

DWORD HandleCountOf(HANDLE process, DWORD processId)
{
    DWORD count = 0;
    if (GetProcessHandleCount(process, &count) && count)
        return count;
    static auto query = reinterpret_cast<QuerySystemInformation>(
        reinterpret_cast<void*>(GetProcAddress(GetModuleHandleW(L"ntdll.dll"), "NtQuerySystemInformation")));
    if (!query)
        return 0;
    constexpr ULONG kExtendedHandles = 64;
    constexpr LONG kLengthMismatch = static_cast<LONG>(0xC0000004);
    std::vector<unsigned char> buffer(1 << 20);
    LONG status = 0;
    for (int attempt = 0; attempt < 8; ++attempt) {
        ULONG needed = 0;
        status = query(kExtendedHandles, buffer.data(), static_cast<ULONG>(buffer.size()), &needed);
        if (status != kLengthMismatch)
            break;
        buffer.resize(std::max<size_t>(buffer.size() * 2, needed + 65536));
    }
    if (status < 0)
        return 0;
    ULONG_PTR entries = *reinterpret_cast<ULONG_PTR*>(buffer.data());
    auto* entry = reinterpret_cast<ExtendedHandleEntry*>(buffer.data() + 2 * sizeof(ULONG_PTR));
    count = 0;
    for (ULONG_PTR i = 0; i < entries; ++i) {
        if (entry[i].processId == processId)
            ++count;
    }
    g_handleCountSource = "system handle table";
    return count;
}

const char* g_memorySource = "PrivateUsage";

double PrivateMbOf(HANDLE process)
{
    PROCESS_MEMORY_COUNTERS_EX counters = {};
    counters.cb = sizeof(counters);
    if (!GetProcessMemoryInfo(process, reinterpret_cast<PROCESS_MEMORY_COUNTERS*>(&counters), sizeof(counters)))
        return 0;
    SIZE_T bytes = counters.PrivateUsage;
    if (!bytes) {
        bytes = counters.PagefileUsage;
        g_memorySource = "PagefileUsage";
    }
    return static_cast<double>(bytes) / (1024.0 * 1024.0);
}

enum Kind { kCrash, kExit, kHang, kErrorBox, kCrashReport, kKindCount };
const char* const kKindNames[kKindCount] = {"crash", "exit", "hang", "error box", "crash report"};
// The helper's soak actions, by kind (the crash report is not the helper's).
const WPARAM kActions[kKindCount] = {1, 2, 3, 4, 0};

bool Restarts(Kind kind)
{
    return kind == kCrash || kind == kExit || kind == kHang;
}

struct Program {
    int id = 0;
    std::wstring exe;
    std::wstring name;
    std::wstring title;
    std::wstring errflag;
    std::mt19937 rng;
    // The current instance.
    DWORD processId = 0;
    HWND window = nullptr;
    CHandle process;
    bool exitSeen = false;
    // Every instance ever seen, each started by Tollwick.
    std::vector<DWORD> instances;
    double nextAt = 0;
    bool broken = false;
    // The failure in progress.
    bool pending = false;
    Kind kind = kCrash;
    DWORD causedId = 0;
    CHandle causedProcess;
    double causedAt = 0;
    double endedAt = 0;
    LRESULT boxesBefore = 0;
    bool boxSeen = false;
    std::unique_ptr<HelperProcess> report;
    double reportShownAt = 0;
    double reportGoneAt = 0;
};

struct Tally {
    int caused = 0;
    int handled = 0;
    int failed = 0;
    // crash, exit: cause -> new instance; hang: cause -> killed; error box:
    // cause -> closed; crash report: shown -> closed.
    std::vector<double> first;
    // crash, exit: end -> new instance; hang: killed -> new instance.
    std::vector<double> second;
};

struct Sample {
    double at = 0;
    DWORD handles = 0;
    DWORD threads = 0;
    double privateMb = 0;
    bool quiet = false;
};

// Asks the main window every 250 ms, from a thread of its own, so that a
// slow answer never delays the failures or their checks.
struct Probe {
    HWND window = nullptr;
    std::atomic<bool> stop{false};
    std::vector<double> ms;
    std::vector<double> at;
    int timeouts = 0;
};

DWORD WINAPI RunProbe(void* parameter)
{
    auto* probe = static_cast<Probe*>(parameter);
    while (!probe->stop.load()) {
        double start = NowMs();
        DWORD_PTR result = 0;
        LRESULT answered = SendMessageTimeoutW(probe->window, WM_NULL, 0, 0, SMTO_NORMAL, kProbeTimeoutMs, &result);
        double took = NowMs() - start;
        if (!answered)
            ++probe->timeouts;
        probe->ms.push_back(took);
        probe->at.push_back((start - g_runStart) / 1000.0);
        double spent = NowMs() - start;
        if (spent < kProbeEveryMs)
            Sleep(static_cast<DWORD>(kProbeEveryMs - spent));
    }
    return 0;
}

class Soak {
public:
    Soak(double minutes, unsigned seed) : m_minutes(minutes), m_seed(seed) {}
    int Run();

private:
    bool Prepare();
    bool StartTollwick();
    void Poll(double now);
    void Track(Program& p, const std::vector<std::pair<DWORD, HWND>>& seen, double now);
    void CheckPending(Program& p, double now);
    void Cause(Program& p, double now);
    void Handled(Program& p, double now, double first, double second);
    void Unhandled(Program& p, const char* what);
    bool Quiet(double now) const;
    bool AllRunning() const;
    Sample TakeSample(double now, bool quiet);
    bool WaitForQuiet(double limitMs, Sample* sample);
    double NextGap(Program& p);
    bool ExportLog(const std::wstring& path);
    void CheckLog(const std::string& bytes);
    void CheckConfig();
    void KillLeftovers();
    void Report();

    double m_minutes;
    unsigned m_seed;
    tw_test::TempDir m_dir;
    std::vector<Program> m_programs;
    HelperProcess m_app;
    HWND m_main = nullptr;
    std::string m_written;
    std::string m_afterStart;
    long long m_launchEpoch = 0;
    long long m_exportEpoch = 0;
    double m_lastChange = 0;
    long long m_events = 0;
    Tally m_tally[kKindCount];
    std::multiset<std::wstring> m_boxTexts;
    int m_unexpected = 0;
    int m_boxesSeen = 0;
    std::vector<Sample> m_samples;
    Sample m_start;
    Sample m_end;
    Probe m_probe;
    // Figures for the report.
    std::string m_logLine;
    std::string m_configLine;
    int m_leftovers = 0;
};

double Soak::NextGap(Program& p)
{
    std::uniform_real_distribution<double> gap(kFirstGapMs, kLastGapMs);
    return gap(p.rng);
}

bool Soak::Prepare()
{
    std::wstring tollwick = m_dir.File(L"Tollwick.exe");
    if (!CopyFileW((TestBinaryDirectory() + L"..\\Tollwick.exe").c_str(), tollwick.c_str(), FALSE)) {
        Fail("cannot copy Tollwick.exe (error %lu)", GetLastError());
        return false;
    }
    std::string entries;
    m_programs.resize(kPrograms);
    for (int i = 0; i < kPrograms; ++i) {
        Program& p = m_programs[static_cast<size_t>(i)];
        wchar_t number[8];
        swprintf(number, 8, L"%02d", i);
        p.id = i;
        p.name = std::wstring(L"soak") + number + L".exe";
        p.exe = m_dir.File(p.name.c_str());
        p.title = std::wstring(L"soak-") + number;
        p.errflag = p.title + L" 崩溃报告";
        p.rng.seed(m_seed + static_cast<unsigned>(i));
        // A copy each, so that every program has a path of its own.
        if (!CopyFileW(HelperPath().c_str(), p.exe.c_str(), FALSE)) {
            Fail("cannot copy the helper (error %lu)", GetLastError());
            return false;
        }
        std::wstring command = L"--soak --title " + p.title + L" --class " + kHelperClass + L" --at " +
                               std::to_wstring(20 + (i % 4) * 310) + L" " + std::to_wstring(380 + (i / 4) * 210);
        // The failures come faster than the default stable time on purpose:
        // the soak measures how each one is handled, so no backoff holds a
        // restart back (stabletime 0).
        entries += "    <config hwnd=\"0\" procpath=\"" + To936(p.exe) + "\" procname=\"" + To936(p.name) +
                   "\" errflag=\"" + To936(p.errflag) + "\" command=\"" + To936(command) + "\" stabletime=\"0\" />\n";
    }
    m_written = "<?xml version=\"1.0\" encoding=\"gb2312\" ?>\n<config bootstart=\"0\" monitortime=\"" +
                std::to_string(kPeriodSeconds) + "\" closeapp=\"0\" unresponsetime=\"" + std::to_string(kGraceSeconds) +
                "\" autoreboot=\"0\" reboottime=\"03:00:00\" autostartmonitor=\"1\" hidetray=\"0\">\n" + entries +
                "</config>\n";
    if (!tw_test::WriteBytes(m_dir.File(L"config.xml"), m_written)) {
        Fail("cannot write config.xml");
        return false;
    }
    return true;
}

bool Soak::StartTollwick()
{
    m_launchEpoch = EpochSeconds();
    if (!m_app.Start(L"", m_dir.File(L"Tollwick.exe"))) {
        Fail("Tollwick.exe did not start");
        return false;
    }
    WaitFor(
        [&] {
            m_main = FindOwnWindow(m_app.Id(), kMainClass, nullptr);
            return m_main && IsWindowVisible(m_main);
        },
        20000);
    if (!m_main) {
        Fail("no main window");
        return false;
    }
    if (!WaitFor([&] { return TextOf(GetDlgItem(m_main, 10200)) == L"监控中"; }, 10000)) {
        Fail("monitoring did not start by itself");
        return false;
    }
    // Monitoring saved the file as it started, before the window was shown.
    m_afterStart = tw_test::ReadBytes(m_dir.File(L"config.xml"));
    return true;
}

bool Soak::AllRunning() const
{
    for (const Program& p : m_programs) {
        if (!p.broken && (!p.processId || p.exitSeen || Ended(p.process) || !IsWindow(p.window)))
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
        if (swscanf(title, L"soak-%d", &id) == 1 && id >= 0 && id < kPrograms)
            seen[static_cast<size_t>(id)].push_back({OwnerOf(window), window});
    }
    for (Program& p : m_programs) {
        if (p.pending && Restarts(p.kind) && !p.endedAt && Ended(p.causedProcess))
            p.endedAt = now;
        Track(p, seen[static_cast<size_t>(p.id)], now);
        if (p.pending)
            CheckPending(p, now);
        else if (p.processId && !p.exitSeen && Ended(p.process)) {
            p.exitSeen = true;
            ++m_unexpected;
            Fail("%s (process %lu) ended uncaused, code 0x%lX", Utf8(p.title).c_str(), p.processId,
                 ExitCodeOf(p.process));
        }
    }
}

// Notes a new instance of the program: Tollwick must have started it, and
// only after an exit, crash or hang kill.
void Soak::Track(Program& p, const std::vector<std::pair<DWORD, HWND>>& seen, double now)
{
    for (const auto& [processId, window] : seen) {
        if (processId == p.processId) {
            p.window = window;
            continue;
        }
        if (std::find(p.instances.begin(), p.instances.end(), processId) != p.instances.end())
            continue;
        // The old instance may have ended since this poll looked.
        if (p.pending && Restarts(p.kind) && !p.endedAt && Ended(p.causedProcess))
            p.endedAt = now;
        bool first = p.instances.empty();
        bool expected = first || p.exitSeen || (p.pending && Restarts(p.kind) && p.endedAt);
        p.instances.push_back(processId);
        ProcessFacts facts = FactsOf(processId);
        if (facts.parent != m_app.Id())
            Fail("%s instance %lu was started by process %lu, not by Tollwick", Utf8(p.title).c_str(), processId,
                 facts.parent);
        if (!expected) {
            ++m_unexpected;
            Fail("%s: new instance %lu while %lu still runs", Utf8(p.title).c_str(), processId, p.processId);
        }
        p.processId = processId;
        p.window = window;
        p.process.Reset(OpenWatch(processId));
        p.exitSeen = false;
        m_lastChange = now;
        if (first)
            p.nextAt = now + NextGap(p);
        if (p.pending && Restarts(p.kind) && p.endedAt) {
            if (p.kind == kHang)
                Handled(p, now, p.endedAt - p.causedAt, now - p.endedAt);
            else
                Handled(p, now, now - p.causedAt, now - p.endedAt);
        }
    }
}

void Soak::Handled(Program& p, double now, double first, double second)
{
    Tally& tally = m_tally[p.kind];
    ++tally.handled;
    tally.first.push_back(first);
    if (second >= 0)
        tally.second.push_back(second);
    if (g_verbose)
        std::printf("soak: %.1f s: %s %s handled in %.0f ms (%.0f ms)\n", RunSeconds(), Utf8(p.title).c_str(),
                    kKindNames[p.kind], first, second);
    p.pending = false;
    p.causedProcess.Reset();
    p.report.reset();
    m_lastChange = now;
    p.nextAt = now + NextGap(p);
}

void Soak::Unhandled(Program& p, const char* what)
{
    ++m_tally[p.kind].failed;
    Fail("%s %s (process %lu): %s", Utf8(p.title).c_str(), kKindNames[p.kind], p.causedId, what);
    p.pending = false;
    p.broken = true;
    p.causedProcess.Reset();
    p.report.reset();
}

void Soak::CheckPending(Program& p, double now)
{
    double elapsed = now - p.causedAt;
    switch (p.kind) {
    case kCrash:
    case kExit:
    case kHang:
        if (p.endedAt && !p.exitSeen) {
            // The code tells how the instance ended: the access violation,
            // its own exit, or the kill (TerminateProcess with 0).
            DWORD code = ExitCodeOf(p.causedProcess);
            DWORD expected = p.kind == kCrash ? EXCEPTION_ACCESS_VIOLATION : p.kind == kExit ? kHelperExitCode : 0;
            p.exitSeen = true;
            if (code != expected)
                Fail("%s %s: instance %lu ended with 0x%lX, not 0x%lX", Utf8(p.title).c_str(), kKindNames[p.kind],
                     p.causedId, code, expected);
        }
        break;
    case kErrorBox: {
        if (!p.boxSeen && FindOwnWindow(p.causedId, L"#32770", L"错误")) {
            p.boxSeen = true;
            ++m_boxesSeen;
        }
        if (Ended(p.causedProcess)) {
            Unhandled(p, "the instance ended instead of keeping on after its box");
            return;
        }
        DWORD_PTR closed = 0;
        if (SendMessageTimeoutW(p.window, kSoakBoxesClosed, 0, 0, SMTO_ABORTIFHUNG | SMTO_ERRORONEXIT, 500, &closed) &&
            static_cast<LRESULT>(closed) > p.boxesBefore) {
            Handled(p, now, elapsed, -1);
            return;
        }
        break;
    }
    case kCrashReport:
        if (!p.reportShownAt && FindOwnWindow(p.report->Id(), kReportClass, p.errflag.c_str()))
            p.reportShownAt = now;
        if (g_verbose && p.reportShownAt && !p.reportGoneAt &&
            !FindOwnWindow(p.report->Id(), kReportClass, p.errflag.c_str())) {
            p.reportGoneAt = now;
            std::printf("soak: %.1f s: %s crash report window gone after %.0f ms\n", RunSeconds(),
                        Utf8(p.title).c_str(), now - p.reportShownAt);
        }
        if (!p.report->IsRunning()) {
            DWORD code = 0;
            GetExitCodeProcess(p.report->Handle(), &code);
            if (code != 0 || !p.reportShownAt) {
                Unhandled(p, "the crash-report window's process ended by itself");
                return;
            }
            Handled(p, now, now - p.reportShownAt, -1);
            return;
        }
        break;
    default:
        break;
    }
    if (p.pending && elapsed > kHandleLimitMs)
        Unhandled(p, "not handled within 30 s");
}

void Soak::Cause(Program& p, double now)
{
    std::uniform_int_distribution<int> kinds(0, kKindCount - 1);
    Kind kind = static_cast<Kind>(kinds(p.rng));
    if (g_onlyKind >= 0)
        kind = static_cast<Kind>(g_onlyKind);
    long long number = ++m_events;
    p.kind = kind;
    p.pending = true;
    p.causedAt = now;
    p.endedAt = 0;
    p.boxSeen = false;
    p.reportShownAt = 0;
    p.reportGoneAt = 0;
    p.causedId = p.processId;
    p.causedProcess.Reset(OpenWatch(p.processId));
    ++m_tally[kind].caused;
    if (g_verbose)
        std::printf("soak: %.1f s: %s %s (process %lu)\n", RunSeconds(), Utf8(p.title).c_str(), kKindNames[kind],
                    p.processId);
    if (kind == kCrashReport) {
        // A report window of another process, titled as the entry's errflag.
        p.report.reset(new HelperProcess);
        std::wstring options = L"--title \"" + p.errflag + L"\" --class " + kReportClass + L" --at " +
                               std::to_wstring(700 + p.id * 20) + L" " + std::to_wstring(40 + p.id * 20);
        if (!p.report->Start(options))
            Unhandled(p, "the crash-report window could not be started");
        return;
    }
    if (kind == kErrorBox) {
        DWORD_PTR closed = 0;
        SendMessageTimeoutW(p.window, kSoakBoxesClosed, 0, 0, SMTO_ABORTIFHUNG | SMTO_ERRORONEXIT, 1000, &closed);
        p.boxesBefore = static_cast<LRESULT>(closed);
        m_boxTexts.insert(p.title + L" 错误 #" + std::to_wstring(number));
    }
    if (!PostMessageW(p.window, kSoakCommand, kActions[kind], static_cast<LPARAM>(number)))
        Unhandled(p, "the command could not be posted");
}

Sample Soak::TakeSample(double now, bool quiet)
{
    Sample s;
    s.at = (now - g_runStart) / 1000.0;
    s.quiet = quiet;
    s.handles = HandleCountOf(m_app.Handle(), m_app.Id());
    s.threads = FactsOf(m_app.Id()).threads;
    s.privateMb = PrivateMbOf(m_app.Handle());
    m_samples.push_back(s);
    if (g_verbose)
        std::printf("soak: %.1f s: handles %lu, threads %lu, private %.2f MB%s\n", s.at, s.handles, s.threads,
                    s.privateMb, quiet ? " (quiet)" : "");
    return s;
}

// Polls, causing nothing, until a quiet moment; false after limitMs.
bool Soak::WaitForQuiet(double limitMs, Sample* sample)
{
    double start = NowMs();
    while (NowMs() - start < limitMs) {
        double now = NowMs();
        Poll(now);
        if (Quiet(now)) {
            *sample = TakeSample(now, true);
            return true;
        }
        Sleep(50);
    }
    *sample = TakeSample(NowMs(), false);
    return false;
}

bool Soak::ExportLog(const std::wstring& path)
{
    PostMessageW(m_main, WM_COMMAND, MAKEWPARAM(10400, 0), 0);
    HWND save = nullptr;
    WaitFor([&] { return (save = FindOwnWindow(m_app.Id(), L"#32770", L"导出错误日志")) != nullptr; }, 10000);
    if (!save) {
        Fail("the export's save dialog did not open");
        return false;
    }
    // The file name box: a combo box with an edit, or an edit in older layouts.
    HWND name = GetDlgItem(save, 1148);
    if (HWND edit = FindWindowExW(name, nullptr, L"Edit", nullptr))
        name = edit;
    if (!name)
        name = GetDlgItem(save, 1152);
    if (!name) {
        Fail("no file name box in the save dialog");
        return false;
    }
    SendMessageW(name, WM_SETTEXT, 0, reinterpret_cast<LPARAM>(path.c_str()));
    m_exportEpoch = EpochSeconds();
    PostMessageW(save, WM_COMMAND, MAKEWPARAM(IDOK, BN_CLICKED), 0);
    if (!WaitFor([&] { return !IsWindow(save); }, 10000)) {
        Fail("the save dialog stayed open");
        return false;
    }
    if (!WaitFor([&] { return !tw_test::ReadBytes(path).empty(); }, 10000)) {
        Fail("the exported log was not written");
        return false;
    }
    return true;
}

long long DaysFromCivil(int y, int m, int d)
{
    y -= m <= 2;
    long long era = (y >= 0 ? y : y - 399) / 400;
    long long yoe = y - era * 400;
    long long doy = (153 * (m + (m > 2 ? -3 : 9)) + 2) / 5 + d - 1;
    long long doe = yoe * 365 + yoe / 4 - yoe / 100 + doy;
    return era * 146097 + doe - 719468;
}

// Seconds since 1970 of "yyyy-mm-dd hh:mm:ss" on the UTC+8 clock; -1 when
// the text is not such a time.
long long ParseLogTime(const std::string& text)
{
    if (text.size() != 19)
        return -1;
    for (size_t i = 0; i < text.size(); ++i) {
        char c = text[i];
        bool separator = i == 4 || i == 7 || i == 10 || i == 13 || i == 16;
        char wanted = i == 10 ? ' ' : (i == 13 || i == 16) ? ':' : '-';
        if (separator ? c != wanted : (c < '0' || c > '9'))
            return -1;
    }
    int y = std::atoi(text.substr(0, 4).c_str());
    int mo = std::atoi(text.substr(5, 2).c_str());
    int d = std::atoi(text.substr(8, 2).c_str());
    int h = std::atoi(text.substr(11, 2).c_str());
    int mi = std::atoi(text.substr(14, 2).c_str());
    int s = std::atoi(text.substr(17, 2).c_str());
    if (mo < 1 || mo > 12 || d < 1 || d > 31 || h > 23 || mi > 59 || s > 59)
        return -1;
    return DaysFromCivil(y, mo, d) * 86400 + h * 3600 + mi * 60 + s - 8 * 3600;
}

bool AllDigits(const std::wstring& text)
{
    return !text.empty() && std::all_of(text.begin(), text.end(), [](wchar_t c) { return c >= L'0' && c <= L'9'; });
}

bool StartsWith(const std::wstring& text, const std::wstring& start)
{
    return text.compare(0, start.size(), start) == 0;
}

// The texts the engine logs (monitor/launch.cpp, hang_check.cpp,
// crash_dialog.cpp); an error box is logged with its own message text.
const wchar_t kRestartHead[] = L"进程\"";
const wchar_t kRestartMiddle[] = L"\"重启成功, 进程ID为:";
const wchar_t kStartFailedMiddle[] = L"\"启动失败, 路径为:";
const wchar_t kHangHead[] = L"窗口卡死了, 即将开启延时关闭卡死程序时钟, 索引：";
const wchar_t kKilledText[] = L"延时关闭程序卡死的时钟已关闭并结束了卡死程序";
const wchar_t kRecoveredText[] = L"延迟关闭卡死程序, 延时指定时间后程序已恢复正常";
const wchar_t kCrashReportText[] = L"已检测到程序崩溃, 正在重启程序中";
// Tollwick's own start and its start of monitoring, once each.
const wchar_t kStartedHead[] = L"Tollwick 已启动, 版本为:";
const wchar_t kMonitoringHead[] = L"监控已开启, 监控数量为:";

void Soak::CheckLog(const std::string& exported)
{
    std::string bytes = exported;
    std::vector<std::string> problems;
    auto problem = [&](const std::string& text) {
        if (problems.size() < 8)
            Fail("error log: %s", text.c_str());
        problems.push_back(text);
    };
    if (bytes.empty() || bytes.back() != '\0')
        problem("the file does not end with one zero byte");
    else
        bytes.pop_back();
    if (bytes.find('\0') != std::string::npos)
        problem("a zero byte before the end");
    std::map<std::wstring, std::vector<DWORD>> restarts;
    std::map<int, int> hangs;
    std::multiset<std::wstring> boxes;
    int lines = 0;
    int killed = 0;
    int recovered = 0;
    int reports = 0;
    int startFailures = 0;
    int unknown = 0;
    long long previous = 0;
    size_t pos = 0;
    while (pos < bytes.size()) {
        size_t end = bytes.find("\r\n", pos);
        if (end == std::string::npos) {
            problem("the last line does not end with CR LF");
            break;
        }
        std::string line = bytes.substr(pos, end - pos);
        pos = end + 2;
        ++lines;
        char number[24];
        std::snprintf(number, sizeof(number), "%03d", lines);
        size_t tab1 = line.find('\t');
        size_t tab2 = tab1 == std::string::npos ? tab1 : line.find('\t', tab1 + 1);
        if (tab2 == std::string::npos) {
            problem("line " + std::to_string(lines) + " has not three tab-separated fields");
            continue;
        }
        if (line.substr(0, tab1) != number)
            problem("line " + std::to_string(lines) + " is numbered \"" + line.substr(0, tab1) + "\"");
        long long time = ParseLogTime(line.substr(tab1 + 1, tab2 - tab1 - 1));
        if (time < 0)
            problem("line " + std::to_string(lines) + " has no time: \"" + line.substr(tab1 + 1, tab2 - tab1 - 1) +
                    "\"");
        else if (time < m_launchEpoch - 1 || time > m_exportEpoch + 1)
            problem("line " + std::to_string(lines) + " is stamped outside the run");
        else if (time + 1 < previous)
            problem("line " + std::to_string(lines) + " is stamped before the line above it");
        if (time > previous)
            previous = time;
        std::wstring text;
        if (!From936(line.substr(tab2 + 1), &text)) {
            problem("line " + std::to_string(lines) + " is not code page 936 text");
            continue;
        }
        if (g_verbose)
            std::printf("log: %s\t%s\t%s\n", number, line.substr(tab1 + 1, tab2 - tab1 - 1).c_str(),
                        Utf8(text).c_str());
        if (StartsWith(text, kRestartHead) && text.find(kRestartMiddle) != std::wstring::npos) {
            size_t middle = text.find(kRestartMiddle);
            std::wstring name = text.substr(wcslen(kRestartHead), middle - wcslen(kRestartHead));
            std::wstring id = text.substr(middle + wcslen(kRestartMiddle));
            // The engine's restart text ends with a line feed of its own.
            if (id.empty() || id.back() != L'\n' || !AllDigits(id.substr(0, id.size() - 1))) {
                ++unknown;
                problem("line " + std::to_string(lines) + ": restart text without a process id: " + Utf8(text));
            } else {
                restarts[name].push_back(static_cast<DWORD>(std::wcstoul(id.c_str(), nullptr, 10)));
            }
        } else if (StartsWith(text, kRestartHead) && text.find(kStartFailedMiddle) != std::wstring::npos) {
            ++startFailures;
        } else if (StartsWith(text, kHangHead) && AllDigits(text.substr(wcslen(kHangHead)))) {
            ++hangs[std::stoi(text.substr(wcslen(kHangHead)))];
        } else if (text == kKilledText) {
            ++killed;
        } else if (text == kRecoveredText) {
            ++recovered;
        } else if (text == kCrashReportText) {
            ++reports;
        } else if ((StartsWith(text, kStartedHead) || StartsWith(text, kMonitoringHead)) && lines <= 12) {
            // Logged before any failure was caused.
        } else if (m_boxTexts.count(text)) {
            boxes.insert(text);
        } else {
            ++unknown;
            problem("line " + std::to_string(lines) + " has an unknown text: " + Utf8(text));
        }
    }

    // Each instance seen was started by Tollwick and logged once with its id.
    int restartLines = 0;
    int instances = 0;
    bool restartsMatch = true;
    for (const Program& p : m_programs) {
        std::vector<DWORD> logged = restarts[p.name];
        std::vector<DWORD> seen = p.instances;
        std::sort(logged.begin(), logged.end());
        std::sort(seen.begin(), seen.end());
        restartLines += static_cast<int>(logged.size());
        instances += static_cast<int>(seen.size());
        if (logged != seen) {
            restartsMatch = false;
            problem(Utf8(p.title) + ": " + std::to_string(logged.size()) + " restart lines for " +
                    std::to_string(seen.size()) + " instances seen, or other process ids");
        }
        restarts.erase(p.name);
    }
    if (!restarts.empty())
        problem("restart lines for programs that are not watched");
    int hangsLogged = 0;
    for (const auto& entry : hangs)
        hangsLogged += entry.second;
    std::map<int, int> hangsCaused;
    for (const Program& p : m_programs)
        hangsCaused[p.id] = 0;
    for (const auto& entry : hangs) {
        if (!hangsCaused.count(entry.first))
            problem("hang line for index " + std::to_string(entry.first));
    }
    const Tally& hang = m_tally[kHang];
    if (hangsLogged != hang.handled)
        problem(std::to_string(hangsLogged) + " hang lines for " + std::to_string(hang.handled) + " hangs handled");
    if (killed != hang.handled)
        problem(std::to_string(killed) + " kill lines for " + std::to_string(hang.handled) + " hangs handled");
    if (recovered)
        problem(std::to_string(recovered) + " lines of hung programs that recovered; none was caused");
    if (reports != m_tally[kCrashReport].handled)
        problem(std::to_string(reports) + " crash-report lines for " + std::to_string(m_tally[kCrashReport].handled) +
                " crash reports closed");
    if (boxes != m_boxTexts)
        problem(std::to_string(boxes.size()) + " error-box lines for " + std::to_string(m_boxTexts.size()) +
                " error boxes caused, or other texts");
    if (startFailures)
        problem(std::to_string(startFailures) + " start failures");
    char summary[600];
    std::snprintf(summary, sizeof(summary),
                  "error log: %d lines, numbered 001..%03d, stamped within the run, code page 936, zero byte at "
                  "the end; restart %d = %d first starts + %d crash + %d exit + %d hang (process ids = the %d "
                  "instances seen: %s); hang %d, kill %d, recovered %d; error box %d (texts %s); crash report %d; "
                  "start failures %d, unknown %d: %s",
                  lines, lines, restartLines, kPrograms, m_tally[kCrash].handled, m_tally[kExit].handled, hang.handled,
                  instances, restartsMatch ? "yes" : "no", hangsLogged, killed, recovered,
                  static_cast<int>(boxes.size()), boxes == m_boxTexts ? "match" : "differ", reports, startFailures,
                  unknown, problems.empty() ? "ok" : "FAIL");
    m_logLine = summary;
}

// The attributes of a configuration document as "where@name" -> value.
bool Attributes(const std::string& bytes, std::map<std::string, std::string>* out, std::string* error)
{
    TiXmlDocument document;
    document.Parse(bytes.c_str());
    if (document.Error()) {
        *error = document.ErrorDesc();
        return false;
    }
    TiXmlElement* root = document.RootElement();
    if (!root) {
        *error = "no root element";
        return false;
    }
    for (const TiXmlAttribute* a = root->FirstAttribute(); a; a = a->Next())
        (*out)[std::string("root@") + a->Name()] = a->Value();
    int n = 0;
    for (TiXmlElement* entry = root->FirstChildElement(); entry; entry = entry->NextSiblingElement()) {
        ++n;
        for (const TiXmlAttribute* a = entry->FirstAttribute(); a; a = a->Next())
            (*out)["entry " + std::to_string(n) + "@" + a->Name()] = a->Value();
    }
    (*out)["entries"] = std::to_string(n);
    return true;
}

std::string Differences(const std::map<std::string, std::string>& a, const std::map<std::string, std::string>& b)
{
    std::string out;
    for (const auto& [key, value] : b) {
        auto found = a.find(key);
        if (found == a.end())
            out += " +" + key + "=\"" + value + "\"";
        else if (found->second != value)
            out += " " + key + ": \"" + found->second + "\" -> \"" + value + "\"";
    }
    for (const auto& [key, value] : a) {
        if (!b.count(key))
            out += " -" + key;
    }
    return out.empty() ? " none" : out;
}

void Soak::CheckConfig()
{
    std::string after = tw_test::ReadBytes(m_dir.File(L"config.xml"));
    std::map<std::string, std::string> written;
    std::map<std::string, std::string> started;
    std::map<std::string, std::string> quit;
    std::string error;
    bool ok = true;
    if (!Attributes(m_written, &written, &error) || !Attributes(m_afterStart, &started, &error)) {
        Fail("config.xml as written or after the start does not load: %s", error.c_str());
        ok = false;
    }
    if (!Attributes(after, &quit, &error)) {
        Fail("config.xml after the quit is not well-formed: %s", error.c_str());
        ok = false;
    }
    bool same = after == m_afterStart;
    std::string atStart = Differences(written, started);
    std::string atQuit = Differences(started, quit);
    if (ok && !same)
        Fail("config.xml changed between the start and the quit:%s", atQuit.c_str());
    m_configLine = std::string("config.xml: well-formed after the quit: ") + (ok ? "yes" : "no") + "; after the quit " +
                   (same ? "byte for byte as after the start" : "differs from after the start") +
                   " (attributes changed:" + atQuit + "); at the start Tollwick " +
                   (m_afterStart == m_written ? "kept the file as written" : "rewrote the file") +
                   " (attributes changed:" + atStart + "): " + (ok && same ? "ok" : "FAIL");
}

// Ends every process running one of the programs' copies, whoever started it.
void Soak::KillLeftovers()
{
    std::vector<DWORD> left;
    HANDLE snapshot = CreateToolhelp32Snapshot(TH32CS_SNAPPROCESS, 0);
    if (snapshot != INVALID_HANDLE_VALUE) {
        CHandle hold(snapshot);
        PROCESSENTRY32W entry = {};
        entry.dwSize = sizeof(entry);
        for (BOOL more = Process32FirstW(snapshot, &entry); more; more = Process32NextW(snapshot, &entry)) {
            for (const Program& p : m_programs) {
                if (_wcsicmp(entry.szExeFile, p.name.c_str()) == 0)
                    left.push_back(entry.th32ProcessID);
            }
        }
    }
    for (DWORD processId : left) {
        CHandle process(
            OpenProcess(PROCESS_TERMINATE | SYNCHRONIZE | PROCESS_QUERY_LIMITED_INFORMATION, FALSE, processId));
        wchar_t image[MAX_PATH * 2] = {0};
        DWORD size = MAX_PATH * 2;
        if (!process.Get() || !QueryFullProcessImageNameW(process.Get(), 0, image, &size) ||
            _wcsnicmp(image, m_dir.Path().c_str(), m_dir.Path().size()) != 0)
            continue;
        if (TerminateProcess(process.Get(), 1))
            ++m_leftovers;
        WaitForSingleObject(process.Get(), 5000);
    }
    for (Program& p : m_programs)
        p.report.reset();
}

std::string Latencies(const char* what, const std::vector<double>& values)
{
    Figures f = Summarise(values);
    char line[200];
    std::snprintf(line, sizeof(line), "%s median %.0f ms, p95 %.0f ms, max %.0f ms", what, f.median, f.p95, f.max);
    return line;
}

void Soak::Report()
{
    int caused = 0;
    int handled = 0;
    int failed = 0;
    std::string counts;
    for (int k = 0; k < kKindCount; ++k) {
        caused += m_tally[k].caused;
        handled += m_tally[k].handled;
        failed += m_tally[k].failed;
        counts += std::string(k ? ", " : "") + kKindNames[k] + " " + std::to_string(m_tally[k].handled) + "/" +
                  std::to_string(m_tally[k].caused);
    }
    std::printf("failures caused and handled: %s; total %d/%d, %d not handled within 30 s, %d uncaused "
                "restarts or exits: %s\n",
                counts.c_str(), handled, caused, failed, m_unexpected,
                handled == caused && !failed && !m_unexpected ? "ok" : "FAIL");
    std::printf("handling: %s; %s; %s, %s; %s; %s\n", Latencies("crash -> new instance", m_tally[kCrash].first).c_str(),
                Latencies("exit -> new instance", m_tally[kExit].first).c_str(),
                Latencies("hang -> killed", m_tally[kHang].first).c_str(),
                Latencies("killed -> new instance", m_tally[kHang].second).c_str(),
                (Latencies("error box -> closed", m_tally[kErrorBox].first) + " (" + std::to_string(m_boxesSeen) +
                 " seen open)")
                    .c_str(),
                Latencies("crash report shown -> closed", m_tally[kCrashReport].first).c_str());
    Figures probe = Summarise(m_probe.ms);
    double maxAt = 0;
    for (size_t i = 0; i < m_probe.ms.size(); ++i) {
        if (m_probe.ms[i] == probe.max)
            maxAt = m_probe.at[i];
    }
    bool answersOk =
        probe.count > 0 && probe.p99 < kLatencyTargetMs && probe.max < kLatencyTargetMs && m_probe.timeouts == 0;
    std::printf("main window answers (WM_NULL every 250 ms, %zu probes): median %.2f ms, p99 %.2f ms, max %.2f ms "
                "(at %.0f s), %d time-outs of 1000 ms; target p99 and max < 100 ms: %s\n",
                probe.count, probe.median, probe.p99, probe.max, maxAt, m_probe.timeouts, answersOk ? "ok" : "FAIL");
    DWORD handlesLow = ~0u;
    DWORD handlesHigh = 0;
    DWORD threadsLow = ~0u;
    DWORD threadsHigh = 0;
    double memoryHigh = 0;
    for (const Sample& s : m_samples) {
        handlesLow = std::min(handlesLow, s.handles);
        handlesHigh = std::max(handlesHigh, s.handles);
        threadsLow = std::min(threadsLow, s.threads);
        threadsHigh = std::max(threadsHigh, s.threads);
        memoryHigh = std::max(memoryHigh, s.privateMb);
    }
    double growth = m_end.privateMb - m_start.privateMb;
    bool resourcesOk = m_start.quiet && m_end.quiet && m_start.handles > 0 && m_end.handles <= m_start.handles &&
                       m_end.threads <= m_start.threads && growth < kPrivateGrowthTargetMb;
    std::printf("Tollwick's resources at quiet moments (all %d helpers running, nothing pending, %.0f s since the "
                "last failure was handled): start (after the %.0f s warm-up, at %.0f s) handles %lu, threads %lu, "
                "private %.2f MB; end (at %.0f s) handles %lu, threads %lu, private %.2f MB (%+.2f MB); "
                "targets no handle or thread growth, private growth < 2 MB: %s\n",
                kPrograms, kSettleMs / 1000, std::min(kWarmUpMs, m_minutes * 30000) / 1000, m_start.at, m_start.handles,
                m_start.threads, m_start.privateMb, m_end.at, m_end.handles, m_end.threads, m_end.privateMb, growth,
                resourcesOk ? "ok" : "FAIL");
    std::printf("every 10 s (%zu samples, any moment): handles %lu..%lu, threads %lu..%lu, private up to %.2f MB "
                "(handles from the %s, memory from %s)\n",
                m_samples.size(), handlesLow, handlesHigh, threadsLow, threadsHigh, memoryHigh, g_handleCountSource,
                g_memorySource);
    if (!resourcesOk)
        Fail("resources: handles %lu -> %lu, threads %lu -> %lu, private %+.2f MB%s", m_start.handles, m_end.handles,
             m_start.threads, m_end.threads, growth, m_start.quiet && m_end.quiet ? "" : " (no quiet moment)");
    if (!answersOk)
        Fail("main window answers: p99 %.2f ms, max %.2f ms, %d time-outs", probe.p99, probe.max, m_probe.timeouts);
    if (handled != caused && !failed)
        Fail("%d failures caused, %d handled", caused, handled);
    std::printf("%s\n", m_logLine.c_str());
    std::printf("%s\n", m_configLine.c_str());
    std::printf("helpers left at the end and killed: %d\n", m_leftovers);
}

int Soak::Run()
{
    std::printf("soak: seed %u, %d programs, %.1f min, period %d s, hang grace %d s, failures every %.0f-%.0f s "
                "per program (%d-bit build)\n",
                m_seed, kPrograms, m_minutes, kPeriodSeconds, kGraceSeconds, kFirstGapMs / 1000, kLastGapMs / 1000,
                static_cast<int>(sizeof(void*) * 8));
    if (!Prepare() || !StartTollwick()) {
        m_app.Stop();
        KillLeftovers();
        return 1;
    }
    g_runStart = NowMs();
    // Tollwick starts every program itself: none runs before it.
    bool running = false;
    for (double start = NowMs(); NowMs() - start < 60000 && !running; Sleep(50)) {
        Poll(NowMs());
        running = AllRunning();
    }
    if (!running) {
        Fail("not every helper was started within 60 s");
        m_app.Stop();
        KillLeftovers();
        return 1;
    }
    std::printf("soak: Tollwick (process %lu) started all %d helpers in %.1f s\n", m_app.Id(), kPrograms, RunSeconds());
    g_runStart = NowMs();
    for (Program& p : m_programs)
        p.nextAt = g_runStart + NextGap(p);
    m_probe.window = m_main;
    CHandle probeThread(CreateThread(nullptr, 0, RunProbe, &m_probe, 0, nullptr));
    double runEnd = g_runStart + m_minutes * 60000;
    double warmUp = std::min(kWarmUpMs, m_minutes * 30000);
    double nextSample = g_runStart;
    double nextProgress = g_runStart + 60000;
    bool startTaken = false;
    double holdSince = 0;
    bool alive = true;
    while (NowMs() < runEnd) {
        double now = NowMs();
        if (!m_app.IsRunning()) {
            Fail("Tollwick ended during the run (code 0x%lX)", [&] {
                DWORD code = 0;
                GetExitCodeProcess(m_app.Handle(), &code);
                return code;
            }());
            alive = false;
            break;
        }
        Poll(now);
        if (now >= nextSample) {
            TakeSample(now, Quiet(now));
            nextSample += kSampleEveryMs;
        }
        // At the end of the warm-up nothing new is caused until a quiet
        // moment gives the starting figures.
        bool holding = false;
        if (!startTaken && now - g_runStart >= warmUp) {
            if (!holdSince)
                holdSince = now;
            holding = true;
            if (Quiet(now) || now - holdSince > 60000) {
                m_start = TakeSample(now, Quiet(now));
                startTaken = true;
                holding = false;
            }
        }
        if (!holding) {
            for (Program& p : m_programs) {
                if (!p.broken && !p.pending && p.processId && !p.exitSeen && now >= p.nextAt && IsWindow(p.window))
                    Cause(p, now);
            }
        }
        if (now >= nextProgress) {
            int caused = 0;
            int handled = 0;
            for (const Tally& t : m_tally) {
                caused += t.caused;
                handled += t.handled;
            }
            std::printf("soak: %.0f min: %d failures caused, %d handled, %zu test failures\n",
                        (now - g_runStart) / 60000, caused, handled, g_failures.size());
            nextProgress += 60000;
        }
        Sleep(50);
    }
    if (alive) {
        // The failures in progress end (handled or past their limit), then
        // a quiet moment gives the final figures.
        for (double start = NowMs(); NowMs() - start < kHandleLimitMs + 5000; Sleep(50)) {
            Poll(NowMs());
            if (std::none_of(m_programs.begin(), m_programs.end(), [](const Program& p) { return p.pending; }))
                break;
        }
        WaitForQuiet(60000, &m_end);
        if (!startTaken)
            Fail("no starting figures were taken");
    }
    m_probe.stop = true;
    WaitForSingleObject(probeThread.Get(), 5000);
    if (alive) {
        std::wstring logPath = m_dir.File(L"soak-log.txt");
        if (ExportLog(logPath))
            CheckLog(tw_test::ReadBytes(logPath));
        PostMessageW(m_main, WM_COMMAND, MAKEWPARAM(10441, 0), 0);
        if (!m_app.WaitForExit(15000))
            Fail("Tollwick did not quit");
        CheckConfig();
    }
    m_app.Stop();
    KillLeftovers();
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
        if (a == "--minutes" && i + 1 < argc)
            minutes = std::atof(argv[++i]);
        else if (a == "--seed" && i + 1 < argc)
            seed = static_cast<unsigned>(std::strtoul(argv[++i], nullptr, 10));
        else if (a == "--verbose")
            g_verbose = true;
        else if (a == "--only" && i + 1 < argc) {
            std::string kind = argv[++i];
            for (int k = 0; k < kKindCount; ++k) {
                if (kind == kKindNames[k])
                    g_onlyKind = k;
            }
            if (g_onlyKind < 0) {
                std::fprintf(stderr, "soak: --only takes crash, exit, hang, \"error box\" or \"crash report\"\n");
                return 2;
            }
        } else {
            std::fprintf(stderr, "usage: tollwick_soak.exe [--minutes N] [--seed S] [--only KIND] [--verbose]\n");
            return 2;
        }
    }
    if (minutes <= 0) {
        std::fprintf(stderr, "soak: --minutes must be above 0\n");
        return 2;
    }
    Soak soak(minutes, seed);
    return soak.Run();
}
