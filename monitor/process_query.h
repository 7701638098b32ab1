// Live facts about processes and windows: executable paths, processes by name
// and path, the top-level windows of a process, window texts, and the end of
// a program's process. Stateless and callable from any thread.
#pragma once

#include "core/array.h"
#include "core/handle.h"
#include "core/str.h"
#include "core/window_text.h"

#include <windows.h>

#include <tlhelp32.h>

namespace tw {

// Top-level windows of a process in Z order; owns its storage.
class CWindowList {
public:
    CWindowList() = default;
    ~CWindowList() { m_windows.Destroy(); }
    CWindowList(const CWindowList&) = delete;
    CWindowList& operator=(const CWindowList&) = delete;

    size_t Count() const { return m_windows.Count(); }
    HWND At(size_t i) const { return m_windows.At(i); }
    void Add(HWND window) { m_windows.Append(window); }
    void Clear() { m_windows.ResizeArray(0); }
    // The root owner of the first visible window, or null.
    HWND FirstVisibleRootOwner() const;

private:
    CArray<HWND> m_windows;
};

// Whether image (a device-form path) lies on device: the device text must be
// followed by '\', so "\Device\HarddiskVolume1" does not own
// "\Device\HarddiskVolume12\a.exe".
bool DeviceOwnsPath(const wchar_t* image, const wchar_t* device);
// Full Win32 path of the process's executable, or empty.
CStrW GetProcessImagePath(HANDLE process);
// Path of the running process with this id; empty when it cannot be opened
// or has ended.
CStrW GetProcessIdImagePath(DWORD processId);
// Id of a process named name (ignoring case) whose executable is path
// (SamePath), skipping the count ids in excluded; 0 when none.
DWORD FindProcessByNameAndPath(const wchar_t* name, const wchar_t* path, const DWORD* excluded, size_t count);
// The same for the executable at path, whatever form the path is written in.
DWORD FindProcessRunning(const CStrW& path, const DWORD* excluded, size_t count);
// The same for a path LongFullPath has already made full and long: only the
// process list and the candidates' images are read.
DWORD FindLongPathRunning(const CStrW& longFullPath, const DWORD* excluded, size_t count);
bool IdListed(DWORD id, const DWORD* ids, size_t count);
// The id when a process with it is listed (entry filled), else 0 (entry zero).
DWORD FindProcessEntry(DWORD processId, PROCESSENTRY32W* entry);
// Appends the ids of the listed processes whose executable file name is one
// of names (ignoring case); false when the list cannot be taken.
bool FindProcessesNamed(const wchar_t* const* names, size_t count, CArray<DWORD>* ids);
// The process's top-level windows; when it has none yet and waitMs is not 0,
// waits that long once and looks again. On a monitor thread the wait ends
// early when monitoring stops; on the window's thread it dispatches the
// thread's messages.
void CollectProcessWindows(DWORD processId, DWORD waitMs, CWindowList* windows);

// What asking a process to end came to.
enum class EndResult {
    Gone,    // no process with the id runs the executable (any more)
    Ending,  // the end was accepted, but the process has not gone yet
    Refused, // it runs the executable and the system refuses to end it
};
// Ends the process with this id, but only while it runs the executable at
// path (ids are reused), and waits at most waitMs for it to go; on a monitor
// thread the wait also ends when monitoring stops. With Ending, process
// (when given) receives the handle to wait on further.
EndResult EndProcessRunning(DWORD processId, const CStrW& path, DWORD waitMs, CHandle* process = nullptr);
// EndProcessRunning with a few seconds' wait: true when no such process is
// left. Not for the window's thread.
bool KillProcessRunning(DWORD processId, const CStrW& path);

// For tests and benchmarks: null in the program. Called in place of
// TerminateProcess, to stand for a process whose end comes late (one inside
// a driver call ends only when the call returns).
extern BOOL (*g_terminateSeam)(HANDLE process, UINT exitCode);

} // namespace tw
