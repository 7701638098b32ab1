#include "core/window_text.h"

namespace tw {

namespace {

constexpr int kClassNameChars = 260;

} // namespace

CStrW GetWindowTextString(HWND window)
{
    if (!window || !IsWindow(window))
        return CStrW();
    int length = GetWindowTextLengthW(window);
    CStrW text;
    wchar_t* buffer = text.Reserve(static_cast<size_t>(length > 0 ? length : 0) + 1);
    if (!buffer)
        return CStrW();
    int read = GetWindowTextW(window, buffer, length + 1);
    text.SetLength(read > 0 ? static_cast<size_t>(read) : 0);
    return text;
}

CStrW GetWindowClassString(HWND window)
{
    if (!window || !IsWindow(window))
        return CStrW();
    CStrW name;
    wchar_t* buffer = name.Reserve(kClassNameChars);
    int read = buffer ? GetClassNameW(window, buffer, kClassNameChars) : 0;
    name.SetLength(read > 0 ? static_cast<size_t>(read) : 0);
    return name;
}

} // namespace tw
