#include "app/one_per_folder.h"

#include "app/main_window.h"
#include "core/exe_path.h"
#include "core/path.h"
#include "monitor/process_query.h"

#include <windows.h>

namespace tw {

namespace {

unsigned long long HashOfText(const CStrW& text)
{
    // FNV-1a over the UTF-16 units: stable across builds and versions, so
    // an x86 and an x64 Tollwick of one folder find the same name.
    unsigned long long hash = 0xCBF29CE484222325ULL;
    for (const wchar_t* c = text.c_str(); *c; ++c) {
        auto unit = static_cast<unsigned>(*c);
        hash = (hash ^ (unit & 0xFF)) * 0x100000001B3ULL;
        hash = (hash ^ (unit >> 8)) * 0x100000001B3ULL;
    }
    return hash;
}

// The other Tollwick's main window in this folder, or null.
HWND FindMainWindowOfFolder(const CStrW& exeDirectory)
{
    for (HWND window = FindWindowExW(nullptr, nullptr, kMainWindowClass, nullptr); window;
         window = FindWindowExW(nullptr, window, kMainWindowClass, nullptr)) {
        DWORD processId = 0;
        GetWindowThreadProcessId(window, &processId);
        if (processId == 0 || processId == GetCurrentProcessId())
            continue;
        CStrW image = GetProcessIdImagePath(processId);
        if (!image.IsEmpty() && SamePath(DirectoryOf(image).c_str(), exeDirectory.c_str()))
            return window;
    }
    return nullptr;
}

} // namespace

CStrW FolderMutexName(const CStrW& exePath)
{
    CStrW folder = NormalisedPath(DirectoryOf(LongFullPath(exePath.c_str())).c_str(), ThisProcessPathView());
    if (!folder.IsEmpty())
        CharUpperBuffW(folder.Buffer(), static_cast<DWORD>(folder.Length()));
    CStrW name;
    name.Format(L"Local\\Tollwick-%016llX", HashOfText(folder));
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
