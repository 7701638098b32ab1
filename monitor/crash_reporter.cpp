#include "monitor/crash_reporter.h"

#include "core/handle.h"
#include "core/path.h"
#include "core/trace.h"
#include "monitor/error_log.h"
#include "monitor/launch.h"
#include "monitor/monitor_run.h"
#include "monitor/process_query.h"
#include "monitor/program_table.h"

#include <wchar.h>

namespace tw {

namespace {

// ---- Leaving executables out of error reporting ----

using WerExclusion = HRESULT(WINAPI*)(PCWSTR exeName, BOOL allUsers);

struct WerFunctions {
    WerExclusion add = nullptr;
    WerExclusion remove = nullptr;
};

// wer.dll from the system folder, loaded once and kept: Windows before Vista
// and some trimmed systems have none, and then nothing is excluded.
const WerFunctions& Wer()
{
    static const WerFunctions functions = [] {
        WerFunctions found;
        wchar_t folder[MAX_PATH] = {0};
        UINT length = GetSystemDirectoryW(folder, MAX_PATH);
        if (length == 0 || length >= MAX_PATH)
            return found;
        CStrW path(folder);
        path.AppendChars(L"\\wer.dll", 0);
        HMODULE wer = LoadLibraryW(path.c_str());
        if (!wer)
            return found;
        found.add =
            reinterpret_cast<WerExclusion>(reinterpret_cast<void*>(GetProcAddress(wer, "WerAddExcludedApplication")));
        found.remove = reinterpret_cast<WerExclusion>(
            reinterpret_cast<void*>(GetProcAddress(wer, "WerRemoveExcludedApplication")));
        return found;
    }();
    return functions;
}

const wchar_t* FileNameOf(const wchar_t* path)
{
    const wchar_t* name = path;
    for (const wchar_t* at = path; *at; ++at) {
        if (*at == L'\\' || *at == L'/')
            name = at + 1;
    }
    return name;
}

// Calls act with each '|'-separated name of names.
template <typename Act> void EachName(const CStrW& names, Act act)
{
    const wchar_t* at = names.c_str();
    while (*at) {
        const wchar_t* end = wcschr(at, L'|');
        size_t length = end ? static_cast<size_t>(end - at) : wcslen(at);
        if (length > 0)
            act(CStrW(at, length));
        at += length + (end ? 1 : 0);
    }
}

bool NameListed(const CStrW& names, const CStrW& name)
{
    bool listed = false;
    EachName(names, [&](const CStrW& other) { listed = listed || _wcsicmp(other.c_str(), name.c_str()) == 0; });
    return listed;
}

// ---- Reading another process's command line ----

constexpr ULONG kProcessBasicInformation = 0;
constexpr ULONG kProcessWow64Information = 26;

// PROCESS_BASIC_INFORMATION, as both bitnesses lay it out.
struct BasicInformation {
    LONG_PTR exitStatus;
    ULONG_PTR pebAddress;
    ULONG_PTR affinityMask;
    LONG_PTR basePriority;
    ULONG_PTR processId;
    ULONG_PTR parentId;
};

using QueryProcess = LONG(WINAPI*)(HANDLE process, ULONG what, void* data, ULONG size, ULONG* written);

QueryProcess QueryFunction()
{
    static const QueryProcess query = reinterpret_cast<QueryProcess>(
        reinterpret_cast<void*>(GetProcAddress(GetModuleHandleW(L"ntdll.dll"), "NtQueryInformationProcess")));
    return query;
}

// Where the command line lies in a process of either bitness: the offset of
// ProcessParameters in the PEB, and of CommandLine (a UNICODE_STRING) in the
// parameters.
struct Layout {
    ULONG parametersAt;
    ULONG commandLineAt;
    bool wide; // 64-bit pointers
};
constexpr Layout kLayout32 = {0x10, 0x40, false};
constexpr Layout kLayout64 = {0x20, 0x70, true};

// A command line longer than this is no crash reporter's: it is not read.
constexpr USHORT kLongestCommandChars = 1024;

bool ReadExactly(HANDLE process, ULONGLONG address, void* into, size_t size)
{
    SIZE_T read = 0;
    if (address == 0 || address > static_cast<ULONGLONG>(static_cast<ULONG_PTR>(-1)) - size)
        return false;
    return ReadProcessMemory(process, reinterpret_cast<const void*>(static_cast<ULONG_PTR>(address)), into, size,
                             &read) &&
           read == size;
}

ULONGLONG ReadPointer(HANDLE process, ULONGLONG address, bool wide)
{
    ULONGLONG value = 0;
    ULONG value32 = 0;
    if (wide)
        return ReadExactly(process, address, &value, sizeof(value)) ? value : 0;
    return ReadExactly(process, address, &value32, sizeof(value32)) ? value32 : 0;
}

// What the other process says is untrusted: the length is checked to be
// whole characters within the cap, and the text is read into a buffer of
// that cap.
CStrW ReadCommandLineAt(HANDLE process, ULONGLONG peb, const Layout& layout)
{
    ULONGLONG parameters = ReadPointer(process, peb + layout.parametersAt, layout.wide);
    if (!parameters)
        return CStrW();
    USHORT length = 0;
    ULONGLONG text = 0;
    if (!ReadExactly(process, parameters + layout.commandLineAt, &length, sizeof(length)) ||
        !(text = ReadPointer(process, parameters + layout.commandLineAt + (layout.wide ? 8 : 4), layout.wide)))
        return CStrW();
    if (length == 0 || length % 2 != 0 || length / 2 > kLongestCommandChars)
        return CStrW();
    wchar_t buffer[kLongestCommandChars + 1] = {0};
    if (!ReadExactly(process, text, buffer, length))
        return CStrW();
    buffer[length / 2] = 0;
    return CStrW(buffer);
}

bool IsWow64(HANDLE process)
{
    BOOL wow64 = FALSE;
    return IsWow64Process(process, &wow64) && wow64;
}

// ---- The reporters seen ----

struct HeldByReporter {
    DWORD reporterId;
    DWORD heldId; // 0: the reporter names none
};

CCriticalSection& ReportersLock()
{
    static auto* lock = new CCriticalSection;
    return *lock;
}

CArray<HeldByReporter>& Reporters()
{
    static auto* reporters = new CArray<HeldByReporter>;
    return *reporters;
}

// GetTickCount64 of the last walk, under the reporters' lock.
ULONGLONG g_reportersTick = 0;
constexpr ULONGLONG kReportersFreshMs = 1000;

const wchar_t* const kReporterNames[] = {L"WerFault.exe", L"winedbg.exe"};

bool IsReporterName(const wchar_t* exeFile)
{
    for (const wchar_t* name : kReporterNames) {
        if (_wcsicmp(exeFile, name) == 0)
            return true;
    }
    return false;
}

// The reporter the earlier walk knew by this id as holding a process, so
// that its command line is not read again; false when none. One that named
// none, or could not be read, is read again.
bool KnownReporter(const CArray<HeldByReporter>& known, DWORD reporterId, HeldByReporter* entry)
{
    for (size_t i = 0; i < known.Count(); ++i) {
        if (known.At(i).reporterId == reporterId && known.At(i).heldId) {
            *entry = known.At(i);
            return true;
        }
    }
    return false;
}

// Walks the processes once a second at most, whoever asks; the walk itself
// runs outside the lock, and meanwhile others read the last list.
void RefreshReporters()
{
    CArray<HeldByReporter> known;
    {
        CLock lock(ReportersLock());
        ULONGLONG now = GetTickCount64();
        if (g_reportersTick && now - g_reportersTick < kReportersFreshMs)
            return;
        g_reportersTick = now;
        for (size_t i = 0; i < Reporters().Count(); ++i)
            known.Append(Reporters().At(i));
    }
    g_reporterWalks.fetch_add(1, std::memory_order_relaxed);
    CArray<HeldByReporter> seen;
    CArray<DWORD> running;
    FindProcessesNamed(kReporterNames, ARRAYSIZE(kReporterNames), &running);
    for (size_t i = 0; i < running.Count(); ++i) {
        HeldByReporter reporter = {running.At(i), 0};
        if (!KnownReporter(known, running.At(i), &reporter))
            reporter.heldId = HeldProcessId(ReadProcessCommandLine(running.At(i)).c_str());
        seen.Append(reporter);
    }
    running.Destroy();
    CLock lock(ReportersLock());
    CArray<HeldByReporter>& reporters = Reporters();
    reporters.ResizeArray(0);
    for (size_t i = 0; i < seen.Count(); ++i)
        reporters.Append(seen.At(i));
    known.Destroy();
    seen.Destroy();
}

// The reporter is done with: until the next walk it must not be taken for
// holding a new instance that got the old one's id.
void ForgetReporter(DWORD reporterId)
{
    CLock lock(ReportersLock());
    CArray<HeldByReporter>& reporters = Reporters();
    for (size_t i = reporters.Count(); i-- > 0;) {
        if (reporters.At(i).reporterId == reporterId)
            reporters.RemoveAt(i);
    }
}

// ---- Ending the held instance ----

// How long a reporter whose box was asked to close may take to go (winedbg
// writes its backtrace first, about 2 s under Wine) before it is ended.
constexpr DWORD kReporterGoesMs = 3000;

// Asks the reporter's box to close, and ends the reporter when it stays. It
// is looked up again first: the id must still name a reporter.
void CloseReporter(DWORD reporterId)
{
    PROCESSENTRY32W entry = {};
    if (!FindProcessEntry(reporterId, &entry) || !IsReporterName(entry.szExeFile))
        return;
    CHandle process(OpenProcess(SYNCHRONIZE | PROCESS_TERMINATE, FALSE, reporterId));
    CWindowList windows;
    CollectProcessWindows(reporterId, 0, &windows);
    for (size_t i = 0; i < windows.Count(); ++i) {
        if (IsWindowVisible(windows.At(i)))
            PostMessageW(windows.At(i), WM_CLOSE, 0, 0);
    }
    if (process && WaitUnlessStopped(process.Get(), kReporterGoesMs) == WAIT_TIMEOUT) {
        TerminateProcess(process.Get(), 1);
        TraceFormat(L"崩溃报告", L"崩溃报告进程未关闭, 已结束, 进程ID:%lu", reporterId);
    }
}

// The record's instance and window, and whether a hang kill is armed for it.
DWORD ReadInstance(size_t index, HWND* window, bool* armed)
{
    CLock lock(TableLock());
    if (index >= g_programCount || !RunGoesOn())
        return 0;
    const CMonitorItem& record = g_monitorList.At(index);
    *window = record.window;
    *armed = record.pendingHangTimer.dueTick != 0;
    return record.processId;
}

// Whether the instance may be held by a reporter: a held process takes no
// messages, so a window that still does (IsHungAppWindow asks the system,
// not the window) rules it out, and a healthy program costs no walk of the
// processes. One without a window of its own is always looked up.
bool MayBeHeld(DWORD processId, HWND window, bool armed)
{
    DWORD owner = 0;
    if (armed || !window || !GetWindowThreadProcessId(window, &owner) || owner != processId)
        return true;
    return IsHungAppWindow(window) != FALSE;
}

// A hang kill armed for the crashed instance would only find a new one.
void ForgetHangKill(size_t index, DWORD processId)
{
    CLock lock(TableLock());
    if (index < g_programCount && RunGoesOn() && g_monitorList.At(index).processId == processId)
        g_monitorList.At(index).pendingHangTimer = {};
}

} // namespace

std::atomic<unsigned long long> g_reporterWalks{0};

CStrW ProgramFileNames(size_t index)
{
    CStrW names;
    CLock lock(TableLock());
    for (size_t i = 0; i < g_programCount; ++i) {
        if (index != kAllPrograms && i != index)
            continue;
        const wchar_t* name = FileNameOf(g_monitorList.At(i).path.c_str());
        if (!*name)
            continue;
        if (!names.IsEmpty())
            names.AppendChars(L"|", 1);
        names.AppendChars(name, 0);
    }
    return names;
}

void ExcludeFromErrorReporting(const CStrW& fileNames)
{
    if (!Wer().add)
        return;
    EachName(fileNames, [](const CStrW& name) { Wer().add(name.c_str(), FALSE); });
}

void ReadmitToErrorReporting(const CStrW& fileNames)
{
    if (!Wer().remove || fileNames.IsEmpty())
        return;
    CStrW remaining = ProgramFileNames();
    EachName(fileNames, [&](const CStrW& name) {
        if (!NameListed(remaining, name))
            Wer().remove(name.c_str(), FALSE);
    });
}

DWORD HeldProcessId(const wchar_t* commandLine)
{
    if (!commandLine)
        return 0;
    bool afterSwitch = false;
    for (const wchar_t* at = commandLine; *at;) {
        while (*at == L' ' || *at == L'\t')
            ++at;
        if (!*at)
            break;
        // A quoted token (the reporter's own path) is one token, spaces and all.
        const wchar_t* start = at;
        if (*at == L'"') {
            const wchar_t* close = wcschr(at + 1, L'"');
            at = close ? close + 1 : at + wcslen(at);
        }
        while (*at && *at != L' ' && *at != L'\t')
            ++at;
        size_t length = static_cast<size_t>(at - start);
        if (afterSwitch) {
            unsigned long long id = 0;
            size_t digits = 0;
            while (digits < length && start[digits] >= L'0' && start[digits] <= L'9' && id <= 0xFFFFFFFFull)
                id = id * 10 + static_cast<unsigned>(start[digits++] - L'0');
            return digits == length && id <= 0xFFFFFFFFull ? static_cast<DWORD>(id) : 0;
        }
        afterSwitch =
            (length == 2 && _wcsnicmp(start, L"-p", 2) == 0) || (length == 6 && _wcsnicmp(start, L"--auto", 6) == 0);
    }
    return 0;
}

CStrW ReadProcessCommandLine(DWORD processId)
{
    QueryProcess query = QueryFunction();
    if (!query || processId == 0)
        return CStrW();
    CHandle process(OpenProcess(PROCESS_QUERY_LIMITED_INFORMATION | PROCESS_VM_READ, FALSE, processId));
    // Windows XP knows only the full query right.
    if (!process)
        process.Reset(OpenProcess(PROCESS_QUERY_INFORMATION | PROCESS_VM_READ, FALSE, processId));
    if (!process)
        return CStrW();
    bool selfWow64 = IsWow64(GetCurrentProcess());
    bool targetWow64 = IsWow64(process.Get());
    // A 32-bit reader cannot reach a 64-bit process's memory.
    if (selfWow64 && !targetWow64)
        return CStrW();
    if (sizeof(void*) == 8 && targetWow64) {
        // A 64-bit reader of a 32-bit process: its own 32-bit PEB.
        ULONG_PTR peb32 = 0;
        if (query(process.Get(), kProcessWow64Information, &peb32, sizeof(peb32), nullptr) != 0 || !peb32)
            return CStrW();
        return ReadCommandLineAt(process.Get(), peb32, kLayout32);
    }
    BasicInformation basic = {};
    if (query(process.Get(), kProcessBasicInformation, &basic, sizeof(basic), nullptr) != 0 || !basic.pebAddress)
        return CStrW();
    return ReadCommandLineAt(process.Get(), basic.pebAddress, sizeof(void*) == 8 ? kLayout64 : kLayout32);
}

DWORD FindCrashReporter(DWORD processId)
{
    if (processId == 0)
        return 0;
    RefreshReporters();
    CLock lock(ReportersLock());
    const CArray<HeldByReporter>& reporters = Reporters();
    for (size_t i = 0; i < reporters.Count(); ++i) {
        if (reporters.At(i).heldId == processId)
            return reporters.At(i).reporterId;
    }
    return 0;
}

void EndCrashHeldInstance(size_t index)
{
    HWND window = nullptr;
    bool armed = false;
    DWORD processId = ReadInstance(index, &window, &armed);
    if (!processId || !MayBeHeld(processId, window, armed))
        return;
    DWORD reporterId = FindCrashReporter(processId);
    if (!reporterId)
        return;
    // No grace: the process is dead behind the box. One whose end is refused
    // is logged as such by EndInstance.
    if (!EndInstance(index) || !RunGoesOn())
        return;
    ForgetReporter(reporterId);
    ForgetHangKill(index, processId);
    CountProgramEvent(index, ProgramCounter::Crash);
    g_errorLog.AddFormat(ProgramEvent(EventKind::Crash, index), L"进程\"%s\"已崩溃, 已结束并重新启动, 进程ID为:%lu",
                         CopyProgramText(index, &CMonitorItem::name).c_str(), processId);
    CloseReporter(reporterId);
}

} // namespace tw
