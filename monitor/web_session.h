// WinHTTP sessions shared by the health address check and the webhook: how a
// session finds its proxy and which TLS versions it offers.
#pragma once

#include "core/str.h"

#include <windows.h>
#include <winhttp.h>

namespace tw {

// An http:// or https:// address as WinHTTP takes it apart.
struct WebAddress {
    CStrW host;
    CStrW path; // with its query; "/" when the address has none
    INTERNET_PORT port;
    bool secure;
};

// False for an address WinHTTP cannot take apart or one without a host.
bool CrackWebAddress(const wchar_t* url, WebAddress* address);

// localhost, 127.x.x.x and ::1, which no proxy should ever see.
bool IsLoopbackHost(const wchar_t* host);
// A synchronous session with TLS 1.2 allowed; viaProxy: through the user's
// proxy settings, else straight to the server. Null on failure.
HINTERNET OpenWebSession(bool viaProxy, const wchar_t* userAgent);

// One synchronous request of verb with headers and body (null: none) to
// address. Every wait, that for the answer's headers included, is held to
// timeoutMs, and a redirect is not followed (it is the answer). The answer's
// HTTP status, or 0 when none came (GetLastError says why).
DWORD SendWebRequest(HINTERNET session, const WebAddress& address, const wchar_t* verb, const wchar_t* headers,
                     const CStrA* body, DWORD timeoutMs);

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
