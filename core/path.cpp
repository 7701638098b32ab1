#include "core/path.h"

#include <wchar.h>

namespace tw {

namespace {

bool StartsWith(const wchar_t* text, const wchar_t* prefix)
{
    return _wcsnicmp(text, prefix, wcslen(prefix)) == 0;
}

// Characters of the root ("C:" or "\\server\share") at the start of the
// normalised text written so far, which ".." never climbs above.
size_t RootLength(const wchar_t* text, size_t length)
{
    if (length >= 2 && text[0] == L'\\' && text[1] == L'\\') {
        size_t seps = 0;
        for (size_t i = 2; i < length; ++i) {
            if (text[i] == L'\\' && ++seps == 2)
                return i;
        }
        return length;
    }
    if (length >= 2 && text[1] == L':')
        return 2;
    return 0;
}

// The view's Windows folder followed by folder, and a separator.
bool IsUnderWindowsFolder(const wchar_t* path, const PathView& view, const wchar_t* folder, size_t* prefixLength)
{
    size_t dir = wcslen(view.windowsDir);
    if (dir == 0 || _wcsnicmp(path, view.windowsDir, dir) != 0 || path[dir] != L'\\')
        return false;
    size_t name = wcslen(folder);
    if (_wcsnicmp(path + dir + 1, folder, name) != 0 || (path[dir + 1 + name] != L'\\' && path[dir + 1 + name] != 0))
        return false;
    *prefixLength = dir + 1 + name;
    return true;
}

CStrW FoldWow64Folders(CStrW path, const PathView& view)
{
    size_t prefix = 0;
    if (!IsUnderWindowsFolder(path.c_str(), view, L"SysWOW64", &prefix) &&
        !IsUnderWindowsFolder(path.c_str(), view, L"Sysnative", &prefix))
        return path;
    CStrW folded(view.windowsDir);
    folded.AppendChars(L"\\System32", 0);
    folded.AppendChars(path.c_str() + prefix, 0);
    return folded;
}

} // namespace

PathView MakePathView(bool wow64, const wchar_t* windowsDir)
{
    PathView view = {};
    view.wow64 = wow64;
    CStrW dir = NormalisedPath(windowsDir, view);
    wcsncpy_s(view.windowsDir, dir.c_str(), _TRUNCATE);
    return view;
}

const PathView& ThisProcessPathView()
{
    static const PathView view = [] {
        BOOL wow64 = FALSE;
        IsWow64Process(GetCurrentProcess(), &wow64);
        wchar_t dir[MAX_PATH] = L"";
        UINT length = GetSystemWindowsDirectoryW(dir, MAX_PATH);
        if (length == 0 || length >= MAX_PATH)
            dir[0] = 0;
        return MakePathView(wow64 != FALSE, dir);
    }();
    return view;
}

CStrW NormalisedPath(const wchar_t* path, const PathView& view)
{
    if (!path || !*path)
        return CStrW();
    CStrW slashed(path);
    wchar_t* text = slashed.Buffer();
    for (wchar_t* c = text; *c; ++c) {
        if (*c == L'/')
            *c = L'\\';
    }
    const wchar_t* rest = text;
    bool unc = false;
    if (StartsWith(rest, L"\\\\?\\UNC\\") || StartsWith(rest, L"\\??\\UNC\\")) {
        rest += 8;
        unc = true;
    } else if (StartsWith(rest, L"\\\\?\\") || StartsWith(rest, L"\\??\\") || StartsWith(rest, L"\\\\.\\")) {
        rest += 4;
    } else if (rest[0] == L'\\' && rest[1] == L'\\') {
        rest += 2;
        unc = true;
    }

    CStrW out;
    wchar_t* buffer = out.Reserve(wcslen(rest) + 3);
    if (!buffer)
        return CStrW();
    size_t length = 0;
    if (unc) {
        buffer[length++] = L'\\';
        buffer[length++] = L'\\';
    } else if (rest[0] == L'\\') {
        buffer[length++] = L'\\';
    }
    const size_t leading = length;
    while (*rest) {
        while (*rest == L'\\')
            ++rest;
        const wchar_t* end = rest;
        while (*end && *end != L'\\')
            ++end;
        size_t segment = static_cast<size_t>(end - rest);
        if (segment == 0)
            break;
        if (segment == 2 && rest[0] == L'.' && rest[1] == L'.') {
            size_t root = RootLength(buffer, length);
            size_t floor = root > leading ? root : leading;
            while (length > floor && buffer[length - 1] != L'\\')
                --length;
            if (length > floor)
                --length;
        } else if (!(segment == 1 && rest[0] == L'.')) {
            if (length > leading)
                buffer[length++] = L'\\';
            wmemcpy(buffer + length, rest, segment);
            length += segment;
        }
        rest = end;
    }
    buffer[length] = 0;
    out.SetLength(length);
    return view.wow64 ? FoldWow64Folders(out, view) : out;
}

bool SamePath(const wchar_t* a, const wchar_t* b, const PathView& view)
{
    CStrW left = NormalisedPath(a, view);
    CStrW right = NormalisedPath(b, view);
    if (left.IsEmpty() || right.IsEmpty())
        return false;
    // Ordinal and case-blind: what the file system does, in no locale.
    return CompareStringOrdinal(left.c_str(), static_cast<int>(left.Length()), right.c_str(),
                                static_cast<int>(right.Length()), TRUE) == CSTR_EQUAL;
}

CStrW LongFullPath(const wchar_t* path, bool* found)
{
    if (found)
        *found = false;
    if (!path || !*path)
        return CStrW();
    CStrW full;
    DWORD size = GetFullPathNameW(path, 0, nullptr, nullptr);
    wchar_t* buffer = size ? full.Reserve(size) : nullptr;
    DWORD length = buffer ? GetFullPathNameW(path, size, buffer, nullptr) : 0;
    if (length == 0 || length >= size)
        return CStrW(path);
    full.SetLength(length);
    CStrW longName;
    size = GetLongPathNameW(full.c_str(), nullptr, 0);
    buffer = size ? longName.Reserve(size) : nullptr;
    length = buffer ? GetLongPathNameW(full.c_str(), buffer, size) : 0;
    if (length == 0 || length >= size)
        return full;
    longName.SetLength(length);
    if (found)
        *found = true;
    return longName;
}

bool SamePath(const wchar_t* a, const wchar_t* b)
{
    const PathView& view = ThisProcessPathView();
    if (SamePath(a, b, view))
        return true;
    // Only paths that differ as text touch the disk, so the check of a
    // program that runs as recorded stays free of file system calls.
    if (!a || !*a || !b || !*b)
        return false;
    return SamePath(LongFullPath(a).c_str(), LongFullPath(b).c_str(), view);
}

unsigned long long PathKey(const wchar_t* path)
{
    return LongPathKey(LongFullPath(path).c_str());
}

unsigned long long LongPathKey(const wchar_t* longFullPath)
{
    CStrW key = NormalisedPath(longFullPath, ThisProcessPathView());
    if (key.IsEmpty())
        return 0;
    CharUpperBuffW(key.Buffer(), static_cast<DWORD>(key.Length()));
    unsigned long long hash = 14695981039346656037ull;
    for (const wchar_t* c = key.c_str(); *c; ++c) {
        auto unit = static_cast<unsigned>(*c) & 0xFFFFu;
        hash = (hash ^ (unit & 0xFFu)) * 1099511628211ull;
        hash = (hash ^ (unit >> 8)) * 1099511628211ull;
    }
    return hash;
}

} // namespace tw
