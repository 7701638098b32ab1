// WinHTTP sessions shared by the health address check and the webhook: how a
// session finds its proxy and which TLS versions it offers.
#pragma once

#include <windows.h>
#include <winhttp.h>

namespace tw {

// localhost, 127.x.x.x and ::1, which no proxy should ever see.
bool IsLoopbackHost(const wchar_t* host);
// A synchronous session with TLS 1.2 allowed; viaProxy: through the user's
// proxy settings, else straight to the server. Null on failure.
HINTERNET OpenWebSession(bool viaProxy, const wchar_t* userAgent);

// Closes a WinHTTP handle on every path.
struct InternetHandle {
    HINTERNET handle;
    explicit InternetHandle(HINTERNET h) : handle(h) {}
    ~InternetHandle()
    {
        if (handle)
            WinHttpCloseHandle(handle);
    }
    InternetHandle(const InternetHandle&) = delete;
    InternetHandle& operator=(const InternetHandle&) = delete;
};

} // namespace tw
