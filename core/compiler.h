// The few places where MinGW-w64 and MSVC differ. Everything else is plain
// C++17 and the Win32 API.
#pragma once

#include <stdarg.h>
#include <stddef.h>
#include <stdio.h>

#if defined(_MSC_VER)
#define TW_PRINTF_LIKE(fmtIndex, argIndex)
#else
// Only the narrow patterns are checked: GCC reads wide "%s" the ISO way,
// while the Microsoft runtime that formats them takes it for a wide string.
#define TW_PRINTF_LIKE(fmtIndex, argIndex) __attribute__((format(ms_printf, fmtIndex, argIndex)))
#endif

namespace tw {

// Bounded formatting with the Microsoft runtime's conventions (wide "%s" is a
// wide string, "%lld" is 64-bit): at most size - 1 characters, always
// terminated, -1 when the output was cut or the pattern is bad.
inline int FormatV(wchar_t* buffer, size_t size, const wchar_t* pattern, va_list args)
{
    if (!buffer || size == 0)
        return -1;
    return _vsnwprintf_s(buffer, size, _TRUNCATE, pattern, args);
}

inline int FormatV(char* buffer, size_t size, const char* pattern, va_list args)
{
    if (!buffer || size == 0)
        return -1;
    return _vsnprintf_s(buffer, size, _TRUNCATE, pattern, args);
}

} // namespace tw
