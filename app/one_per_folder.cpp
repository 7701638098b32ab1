#include "app/one_per_folder.h"

#include "app/main_window.h"
#include "core/exe_path.h"
#include "core/path.h"
#include "monitor/process_query.h"

#include <windows.h>

namespace tw {

namespace {

// The other Tollwick's main window in this folder, or null.
HWND FindMainWindowOfFolder(const CStrW& exeDirectory)
{
    return FindMainWindow([&](DWORD processId) {
        if (processId == 0 || processId == GetCurrentProcessId())
            return false;
        CStrW image = GetProcessIdImagePath(processId);
        return !image.IsEmpty() && SamePath(DirectoryOf(image).c_str(), exeDirectory.c_str());
    });
}

} // namespace

CStrW FolderMutexName(const CStrW& exePath)
{
    CStrW name;
    name.Format(L"Local\\Tollwick-%016llX", PathKey(DirectoryOf(LongFullPath(exePath.c_str())).c_str()));
    return name;
}

bool TakeFolderMutex(const CStrW& exePath, CHandle* mutex)
{
    mutex->Reset(CreateMutexW(nullptr, FALSE, FolderMutexName(exePath).c_str()));
    DWORD error = GetLastError();
    if (error == ERROR_ALREADY_EXISTS || (!mutex->IsValid() && error == ERROR_ACCESS_DENIED)) {
        mutex->Reset();
        return false;
    }
    return true;
}

bool ShowRunningTollwick(const CStrW& exeDirectory, DWORD timeoutMs)
{
    ULONGLONG start = GetTickCount64();
    HWND window = nullptr;
    while (!(window = FindMainWindowOfFolder(exeDirectory)) && GetTickCount64() - start < timeoutMs)
        Sleep(100);
    if (!window)
        return false;
    // Without waiting: a Tollwick whose window is busy must not hold this
    // start up, and the two requests reach its thread in this order.
    if (!IsWindowVisible(window))
        ShowWindowAsync(window, SW_SHOW);
    if (IsIconic(window))
        ShowWindowAsync(window, SW_RESTORE);
    // A start by a person may set the foreground; it is handed on here.
    SetForegroundWindow(window);
    return true;
}

} // namespace tw
