#include "monitor/web_session.h"

#include <initializer_list>
#include <wchar.h>

namespace tw {

namespace {

#ifndef WINHTTP_ACCESS_TYPE_AUTOMATIC_PROXY
#define WINHTTP_ACCESS_TYPE_AUTOMATIC_PROXY 4
#endif
#ifndef WINHTTP_FLAG_SECURE_PROTOCOL_TLS1_2
#define WINHTTP_FLAG_SECURE_PROTOCOL_TLS1_2 0x00000800
#endif

// Windows 7 offers TLS 1.2 to a server only when asked (with the update
// that adds the option); later systems take the same request.
void AskForCurrentTls(HINTERNET session)
{
    if (!session)
        return;
    DWORD protocols =
        WINHTTP_FLAG_SECURE_PROTOCOL_TLS1 | WINHTTP_FLAG_SECURE_PROTOCOL_TLS1_1 | WINHTTP_FLAG_SECURE_PROTOCOL_TLS1_2;
    WinHttpSetOption(session, WINHTTP_OPTION_SECURE_PROTOCOLS, &protocols, sizeof(protocols));
}

// A session that uses the user's proxy settings: the system's own choice
// (Windows 8.1 and later), else, on Windows 7, the proxy named in the
// user's Internet settings, else the machine's WinHTTP proxy. A proxy
// script is followed only where the system does it itself (8.1 and later).
HINTERNET OpenProxiedSession(const wchar_t* userAgent)
{
    HINTERNET session =
        WinHttpOpen(userAgent, WINHTTP_ACCESS_TYPE_AUTOMATIC_PROXY, WINHTTP_NO_PROXY_NAME, WINHTTP_NO_PROXY_BYPASS, 0);
    if (session)
        return session;
    WINHTTP_CURRENT_USER_IE_PROXY_CONFIG user = {};
    if (WinHttpGetIEProxyConfigForCurrentUser(&user) && user.lpszProxy)
        session = WinHttpOpen(userAgent, WINHTTP_ACCESS_TYPE_NAMED_PROXY, user.lpszProxy,
                              user.lpszProxyBypass ? user.lpszProxyBypass : WINHTTP_NO_PROXY_BYPASS, 0);
    for (LPWSTR text : {user.lpszAutoConfigUrl, user.lpszProxy, user.lpszProxyBypass}) {
        if (text)
            GlobalFree(text);
    }
    if (!session)
        session = WinHttpOpen(userAgent, WINHTTP_ACCESS_TYPE_DEFAULT_PROXY, WINHTTP_NO_PROXY_NAME,
                              WINHTTP_NO_PROXY_BYPASS, 0);
    return session;
}

bool HasPrefix(const wchar_t* text, const wchar_t* prefix)
{
    return _wcsnicmp(text, prefix, wcslen(prefix)) == 0;
}

} // namespace

bool IsLoopbackHost(const wchar_t* host)
{
    return _wcsicmp(host, L"localhost") == 0 || HasPrefix(host, L"127.") || wcscmp(host, L"::1") == 0 ||
           wcscmp(host, L"[::1]") == 0;
}

HINTERNET OpenWebSession(bool viaProxy, const wchar_t* userAgent)
{
    HINTERNET session = viaProxy ? OpenProxiedSession(userAgent)
                                 : WinHttpOpen(userAgent, WINHTTP_ACCESS_TYPE_NO_PROXY, WINHTTP_NO_PROXY_NAME,
                                               WINHTTP_NO_PROXY_BYPASS, 0);
    AskForCurrentTls(session);
    return session;
}

} // namespace tw
