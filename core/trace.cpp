#include "core/trace.h"

#include "core/str.h"

#include <windows.h>

namespace tw {

void Trace(const wchar_t* tag, const wchar_t* message)
{
    CStrW line;
    line.Format(L"[%s] %s\n", tag ? tag : L"", message ? message : L"");
    OutputDebugStringW(line.c_str());
}

void TraceFormat(const wchar_t* tag, const wchar_t* pattern, ...)
{
    CStrW message;
    va_list args;
    va_start(args, pattern);
    message.FormatArgs(pattern, args);
    va_end(args);
    Trace(tag, message.c_str());
}

} // namespace tw
