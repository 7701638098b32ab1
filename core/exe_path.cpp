#include "core/exe_path.h"

#include <windows.h>

#include <wchar.h>

namespace tw {

CStrW ExecutablePath()
{
    // Room for long paths too: a cut path would name another folder.
    constexpr DWORD kChars = 32768;
    CStrW path;
    wchar_t* buffer = path.Reserve(kChars);
    if (!buffer)
        return CStrW();
    DWORD written = GetModuleFileNameW(nullptr, buffer, kChars);
    if (written == 0 || written >= kChars)
        return CStrW();
    path.SetLength(written);
    return path;
}

CStrW DirectoryOf(const CStrW& path)
{
    if (path.IsEmpty())
        return CStrW();
    const wchar_t* last = wcsrchr(path.Text(), L'\\');
    if (!last)
        return CStrW();
    return CStrW(path.Text(), static_cast<size_t>(last - path.Text()) + 1);
}

} // namespace tw
