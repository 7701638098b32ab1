// Comparison of executable paths. A program is identified by the path of its
// executable, and the same file can be named in several forms: with "/" or
// doubled separators, "." and ".." segments, a "\\?\" prefix, other letter
// case. A 32-bit process on 64-bit Windows also sees the 64-bit system folder
// under two names, since its starts from System32 are redirected to
// SysWOW64. Two paths name the same program when their normalised forms
// match, ignoring case.
#pragma once

#include "core/str.h"

#include <windows.h>

namespace tw {

// How a process sees the file system's folder names.
struct PathView {
    // A 32-bit process on 64-bit Windows: System32 below windowsDir is
    // redirected to SysWOW64, and Sysnative names the real System32.
    bool wow64;
    wchar_t windowsDir[MAX_PATH];
};

// This process's view, found once.
const PathView& ThisProcessPathView();
// The view of a process on 64-bit Windows with the given Windows folder.
PathView MakePathView(bool wow64, const wchar_t* windowsDir);

// The path with device prefixes ("\\?\", "\??\", "\\.\"; "\\?\UNC\" becomes
// "\\") removed, "/" made "\", separators single, "." and ".." segments
// resolved (never above the drive or share), no trailing separator, and, in a
// WOW64 view, SysWOW64 and Sysnative under the Windows folder named System32.
// Letter case is kept. Empty for a null or empty path.
CStrW NormalisedPath(const wchar_t* path, const PathView& view);
// Whether a and b name the same file as seen by view; two empty paths never do.
bool SamePath(const wchar_t* a, const wchar_t* b, const PathView& view);
// The same, as this process sees the file system: when the texts differ, the
// full paths with long names (a short 8.3 name, a relative path) decide.
bool SamePath(const wchar_t* a, const wchar_t* b);
// The full path with long names, where the file exists; else the full path.
// found, when given, says whether the long names were found (the file exists).
CStrW LongFullPath(const wchar_t* path, bool* found = nullptr);
// A key of the file or folder that path names, the same for every form of
// the path that SamePath takes as the same (long names, separators, letter
// case; a folder with or without its final ''): FNV-1a, 64 bits, over the
// upper-cased normal form's UTF-16 units, low byte first, so both builds and
// every version agree on it. Names of kernel objects and tasks are made from
// it, since they cannot hold a path. 0 for an empty path.
unsigned long long PathKey(const wchar_t* path);
// The same for a path LongFullPath has already made full and long: no file
// system call.
unsigned long long LongPathKey(const wchar_t* longFullPath);

} // namespace tw
