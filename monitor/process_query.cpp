#include "monitor/process_query.h"

#include "core/handle.h"
#include "core/path.h"
#include "core/text_ops.h"
#include "core/trace.h"
#include "monitor/monitor_run.h"

#include <psapi.h>

#include <stddef.h>
#include <wchar.h>

namespace tw {

bool DeviceOwnsPath(const wchar_t* image, const wchar_t* device)
{
    size_t length = device ? wcslen(device) : 0;
    return image && length > 0 && wcsncmp(image, device, length) == 0 && image[length] == L'\\';
}

HWND CWindowList::FirstVisibleRootOwner() const
{
    for (size_t i = 0; i < Count(); ++i) {
        HWND window = At(i);
        if (IsWindowVisible(window))
            return GetAncestor(window, GA_ROOTOWNER);
    }
    return nullptr;
}

namespace {

constexpr DWORD kPathChars = 260;

// "\Device\HarddiskVolume3\dir\a.exe" to "C:\dir\a.exe". The device must be
// followed by '\', so HarddiskVolume1 never claims HarddiskVolume12.
CStrW MapDevicePath(const CStrW& image)
{
    wchar_t drive[3] = L"A:";
    wchar_t target[kPathChars];
    for (wchar_t letter = L'A'; letter <= L'Z'; ++letter) {
        drive[0] = letter;
        if (!QueryDosDeviceW(drive, target, kPathChars))
            continue;
        if (!DeviceOwnsPath(image.c_str(), target))
            continue;
        CStrW mapped(drive);
        mapped.AppendChars(image.c_str() + wcslen(target), 0);
        return mapped;
    }
    return CStrW();
}

CStrW ReadFullImageName(HANDLE process)
{
    CStrW path;
    wchar_t* buffer = path.Reserve(kPathChars);
    DWORD size = kPathChars;
    if (!buffer || !QueryFullProcessImageNameW(process, 0, buffer, &size))
        return CStrW();
    path.SetLength(size);
    return path;
}

CStrW ReadFirstModuleName(HANDLE process)
{
    HMODULE first = nullptr;
    DWORD needed = 0;
    if (!K32EnumProcessModulesEx(process, &first, sizeof(first), &needed, LIST_MODULES_ALL) || !first)
        return CStrW();
    CStrW path;
    wchar_t* buffer = path.Reserve(kPathChars);
    DWORD length = buffer ? K32GetModuleFileNameExW(process, first, buffer, kPathChars) : 0;
    if (length == 0)
        return CStrW();
    path.SetLength(length);
    ReplaceAll(path, L"\\??\\", nullptr);
    return path;
}

// The head of an entry of the system's process list, as
// NtQuerySystemInformation gives it (SystemProcessInformation, documented in
// winternl.h; the field after the id is the parent's id).
struct SystemProcessEntry {
    ULONG nextEntryOffset;
    ULONG numberOfThreads;
    BYTE reserved[48];
    USHORT nameLength; // UNICODE_STRING ImageName
    USHORT nameMaximumLength;
    wchar_t* nameBuffer;
    LONG basePriority;
    HANDLE processId;
    HANDLE parentProcessId;
};
static_assert(offsetof(SystemProcessEntry, processId) == (sizeof(void*) == 8 ? 80 : 68), "the system's layout");

using QuerySystemInformation = LONG(WINAPI*)(ULONG, void*, ULONG, ULONG*);

QuerySystemInformation SystemQuery()
{
    static const auto query = reinterpret_cast<QuerySystemInformation>(
        reinterpret_cast<void*>(GetProcAddress(GetModuleHandleW(L"ntdll.dll"), "NtQuerySystemInformation")));
    return query;
}

// The system's process list in one call, in a block the caller frees with
// HeapFree; null when it cannot be had. The tool help snapshot gives the same
// list, but Wine maps the snapshot again for every entry read: a walk there
// took several milliseconds, this one call about one.
BYTE* QueryProcessList()
{
    constexpr ULONG kSystemProcessInformation = 5;
    constexpr LONG kInfoLengthMismatch = static_cast<LONG>(0xC0000004);
    QuerySystemInformation query = SystemQuery();
    ULONG size = 256 * 1024;
    for (int attempt = 0; query && attempt < 4; ++attempt) {
        auto* block = static_cast<BYTE*>(HeapAlloc(GetProcessHeap(), 0, size));
        if (!block)
            return nullptr;
        ULONG needed = 0;
        LONG status = query(kSystemProcessInformation, block, size, &needed);
        if (status >= 0)
            return block;
        HeapFree(GetProcessHeap(), 0, block);
        if (status != kInfoLengthMismatch)
            return nullptr;
        // Processes may start before the next try: room for some more.
        size = (needed > size ? needed : size * 2) + 64 * 1024;
    }
    return nullptr;
}

// The list entry as the tool help functions give it.
void FillEntry(const SystemProcessEntry& process, PROCESSENTRY32W* entry)
{
    ZeroMemory(entry, sizeof(*entry));
    entry->dwSize = sizeof(*entry);
    entry->th32ProcessID = static_cast<DWORD>(reinterpret_cast<ULONG_PTR>(process.processId));
    entry->th32ParentProcessID = static_cast<DWORD>(reinterpret_cast<ULONG_PTR>(process.parentProcessId));
    entry->cntThreads = process.numberOfThreads;
    entry->pcPriClassBase = process.basePriority;
    size_t chars = process.nameBuffer ? process.nameLength / sizeof(wchar_t) : 0;
    if (chars >= MAX_PATH)
        chars = MAX_PATH - 1;
    wmemcpy(entry->szExeFile, process.nameBuffer ? process.nameBuffer : L"", chars);
    entry->szExeFile[chars] = 0;
}

// Calls visit for each listed process until it returns true; false when the
// list cannot be taken.
template <typename Visit> bool WalkProcesses(Visit visit)
{
    PROCESSENTRY32W entry = {};
    if (BYTE* list = QueryProcessList()) {
        for (const BYTE* at = list;;) {
            const auto* process = reinterpret_cast<const SystemProcessEntry*>(at);
            FillEntry(*process, &entry);
            if (visit(entry) || process->nextEntryOffset == 0)
                break;
            at += process->nextEntryOffset;
        }
        HeapFree(GetProcessHeap(), 0, list);
        return true;
    }
    CHandle snapshot(CreateToolhelp32Snapshot(TH32CS_SNAPPROCESS, 0));
    if (!snapshot)
        return false;
    entry.dwSize = sizeof(entry);
    for (BOOL more = Process32FirstW(snapshot.Get(), &entry); more; more = Process32NextW(snapshot.Get(), &entry)) {
        if (visit(entry))
            break;
    }
    return true;
}

void CollectNow(DWORD processId, CWindowList* windows)
{
    for (HWND window = FindWindowExW(nullptr, nullptr, nullptr, nullptr); window;
         window = FindWindowExW(nullptr, window, nullptr, nullptr)) {
        DWORD owner = 0;
        GetWindowThreadProcessId(window, &owner);
        if (owner == processId)
            windows->Add(window);
    }
}

// Waits waitMs while dispatching the calling thread's messages.
void PumpingWait(DWORD waitMs)
{
    CHandle timer(CreateWaitableTimerW(nullptr, FALSE, nullptr));
    if (!timer)
        return;
    LARGE_INTEGER due;
    due.QuadPart = -static_cast<LONGLONG>(waitMs) * 10000;
    if (!SetWaitableTimer(timer.Get(), &due, 0, nullptr, nullptr, FALSE))
        return;
    HANDLE handles[1] = {timer.Get()};
    for (;;) {
        DWORD result = MsgWaitForMultipleObjects(1, handles, FALSE, INFINITE, QS_ALLINPUT);
        if (result != WAIT_OBJECT_0 + 1)
            break;
        MSG msg;
        if (PeekMessageW(&msg, nullptr, 0, 0, PM_REMOVE)) {
            TranslateMessage(&msg);
            DispatchMessageW(&msg);
        }
    }
}

BOOL Terminate(HANDLE process)
{
    return g_terminateSeam ? g_terminateSeam(process, 0) : TerminateProcess(process, 0);
}

// Whether the open process still runs the executable at path.
bool RunsPath(HANDLE process, const CStrW& path)
{
    return WaitForSingleObject(process, 0) == WAIT_TIMEOUT &&
           SamePath(GetProcessImagePath(process).c_str(), path.c_str());
}

} // namespace

CStrW GetProcessImagePath(HANDLE process)
{
    if (!process)
        return CStrW();
    CStrW image;
    wchar_t* buffer = image.Reserve(kPathChars);
    DWORD length = buffer ? K32GetProcessImageFileNameW(process, buffer, kPathChars) : 0;
    if (length > 0) {
        image.SetLength(length);
        CStrW mapped = MapDevicePath(image);
        if (!mapped.IsEmpty())
            return mapped;
    }
    // A volume without a drive letter. The full image name needs only the
    // limited query right; the module list needs more and is the last resort.
    CStrW full = ReadFullImageName(process);
    if (!full.IsEmpty())
        return full;
    return ReadFirstModuleName(process);
}

CStrW GetProcessIdImagePath(DWORD processId)
{
    if (processId == 0)
        return CStrW();
    // A process that has ended can still be opened while someone holds a
    // handle to it; it is not running all the same.
    CHandle process(OpenProcess(PROCESS_QUERY_LIMITED_INFORMATION | SYNCHRONIZE, FALSE, processId));
    if (!process || WaitForSingleObject(process.Get(), 0) != WAIT_TIMEOUT)
        return CStrW();
    return GetProcessImagePath(process.Get());
}

DWORD FindProcessByNameAndPath(const wchar_t* name, const wchar_t* path, const DWORD* excluded, size_t count)
{
    if (!name || !path)
        return 0;
    CArray<DWORD> candidates;
    WalkProcesses([&](const PROCESSENTRY32W& entry) {
        if (_wcsicmp(entry.szExeFile, name) == 0)
            candidates.Append(entry.th32ProcessID);
        return false;
    });
    DWORD found = 0;
    for (size_t i = 0; i < candidates.Count() && !found; ++i) {
        DWORD id = candidates.At(i);
        if (IdListed(id, excluded, count))
            continue;
        CStrW image = GetProcessIdImagePath(id);
        if (SamePath(image.c_str(), path))
            found = id;
    }
    candidates.Destroy();
    return found;
}

bool IdListed(DWORD id, const DWORD* ids, size_t count)
{
    for (size_t i = 0; ids && i < count; ++i) {
        if (ids[i] == id)
            return true;
    }
    return false;
}

DWORD FindProcessRunning(const CStrW& path, const DWORD* excluded, size_t count)
{
    // The process list names each executable by its long file name.
    return FindLongPathRunning(LongFullPath(path.c_str()), excluded, count);
}

DWORD FindLongPathRunning(const CStrW& longFullPath, const DWORD* excluded, size_t count)
{
    const wchar_t* slash = wcsrchr(longFullPath.c_str(), L'\\');
    const wchar_t* name = slash ? slash + 1 : longFullPath.c_str();
    if (!*name)
        return 0;
    return FindProcessByNameAndPath(name, longFullPath.c_str(), excluded, count);
}

DWORD FindProcessEntry(DWORD processId, PROCESSENTRY32W* entry)
{
    PROCESSENTRY32W local = {};
    PROCESSENTRY32W* out = entry ? entry : &local;
    ZeroMemory(out, sizeof(*out));
    if (processId == 0)
        return 0;
    DWORD found = 0;
    WalkProcesses([&](const PROCESSENTRY32W& entry) {
        if (entry.th32ProcessID != processId)
            return false;
        *out = entry;
        found = processId;
        return true;
    });
    return found;
}

bool FindProcessesNamed(const wchar_t* const* names, size_t count, CArray<DWORD>* ids)
{
    return WalkProcesses([&](const PROCESSENTRY32W& entry) {
        for (size_t i = 0; i < count; ++i) {
            if (_wcsicmp(entry.szExeFile, names[i]) == 0) {
                ids->Append(entry.th32ProcessID);
                break;
            }
        }
        return false;
    });
}

void CollectProcessWindows(DWORD processId, DWORD waitMs, CWindowList* windows)
{
    windows->Clear();
    if (!FindWindowExW(nullptr, nullptr, nullptr, nullptr))
        return;
    CollectNow(processId, windows);
    if (windows->Count() > 0 || waitMs == 0)
        return;
    // A monitor thread has no messages of its own to dispatch, but must hear
    // the stop; only the window's thread pumps.
    if (RunStopEvent())
        WaitUnlessStopped(nullptr, waitMs);
    else
        PumpingWait(waitMs);
    if (!RunGoesOn())
        return;
    windows->Clear();
    CollectNow(processId, windows);
}

BOOL (*g_terminateSeam)(HANDLE process, UINT exitCode) = nullptr;

EndResult EndProcessRunning(DWORD processId, const CStrW& path, DWORD waitMs, CHandle* handle)
{
    if (processId == 0)
        return EndResult::Gone;
    CHandle process(OpenProcess(PROCESS_TERMINATE | PROCESS_QUERY_LIMITED_INFORMATION | SYNCHRONIZE, FALSE, processId));
    if (!process) {
        // The right to end it may be refused while the process still runs
        // the executable: then it cannot be ended by us at all.
        CHandle query(OpenProcess(PROCESS_QUERY_LIMITED_INFORMATION | SYNCHRONIZE, FALSE, processId));
        return query && RunsPath(query.Get(), path) ? EndResult::Refused : EndResult::Gone;
    }
    // A reused id runs another program now: that one is not ours to end. An
    // ended process can stay listed while others hold handles to it.
    if (!RunsPath(process.Get(), path))
        return EndResult::Gone;
    if (!Terminate(process.Get())) {
        TraceFormat(L"结束进程", L"进程ID:%lu 无法结束, 错误码: %lu", processId, GetLastError());
        return RunsPath(process.Get(), path) ? EndResult::Refused : EndResult::Gone;
    }
    if (WaitUnlessStopped(process.Get(), waitMs) == WAIT_OBJECT_0)
        return EndResult::Gone;
    if (handle)
        *handle = static_cast<CHandle&&>(process);
    return EndResult::Ending;
}

bool KillProcessRunning(DWORD processId, const CStrW& path)
{
    // Long enough for a slow exit, short enough that a process which cannot
    // be ended does not stall the caller.
    constexpr DWORD kWaitMs = 3000;
    return EndProcessRunning(processId, path, kWaitMs) == EndResult::Gone;
}

} // namespace tw
