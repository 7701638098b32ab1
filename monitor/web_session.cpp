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

bool CrackWebAddress(const wchar_t* url, WebAddress* address)
{
    URL_COMPONENTS parts = {};
    parts.dwStructSize = sizeof(parts);
    wchar_t host[256] = {0};
    parts.lpszHostName = host;
    parts.dwHostNameLength = ARRAYSIZE(host);
    parts.dwUrlPathLength = static_cast<DWORD>(-1);
    parts.dwExtraInfoLength = static_cast<DWORD>(-1);
    if (!WinHttpCrackUrl(url, 0, 0, &parts) || !host[0])
        return false;
    address->host.AssignChars(host, 0);
    if (parts.lpszUrlPath && parts.dwUrlPathLength)
        address->path.AssignChars(parts.lpszUrlPath, parts.dwUrlPathLength + parts.dwExtraInfoLength);
    else
        address->path.AssignChars(L"/", 0);
    address->port = parts.nPort;
    address->secure = parts.nScheme == INTERNET_SCHEME_HTTPS;
    return true;
}

namespace {

// The request, its error kept before the handles' close can change it.
DWORD Request(HINTERNET session, const WebAddress& address, const wchar_t* verb, const wchar_t* headers,
              const CStrA* body, DWORD timeoutMs, DWORD* error)
{
    InternetHandle connection(session ? WinHttpConnect(session, address.host.c_str(), address.port, 0) : nullptr);
    // Windows' own certificate checks apply: no flag here lifts them.
    DWORD flags = address.secure ? WINHTTP_FLAG_SECURE : 0;
    InternetHandle request(connection.handle
                               ? WinHttpOpenRequest(connection.handle, verb, address.path.c_str(), nullptr,
                                                    WINHTTP_NO_REFERER, WINHTTP_DEFAULT_ACCEPT_TYPES, flags)
                               : nullptr);
    if (!request.handle)
        return *error = GetLastError(), 0;
    int ms = static_cast<int>(timeoutMs);
    WinHttpSetTimeouts(request.handle, ms, ms, ms, ms);
    // The wait for the answer's headers has a limit of its own (90 s unless
    // set), and Wine keeps only to that one for a peer that takes the
    // request and says nothing.
    DWORD answerMs = timeoutMs;
    WinHttpSetOption(request.handle, WINHTTP_OPTION_RECEIVE_RESPONSE_TIMEOUT, &answerMs, sizeof(answerMs));
    DWORD noRedirects = WINHTTP_DISABLE_REDIRECTS;
    WinHttpSetOption(request.handle, WINHTTP_OPTION_DISABLE_FEATURE, &noRedirects, sizeof(noRedirects));
    auto length = body ? static_cast<DWORD>(body->Length()) : 0;
    void* data = body ? const_cast<char*>(body->c_str()) : WINHTTP_NO_REQUEST_DATA;
    if (!WinHttpSendRequest(request.handle, headers ? headers : WINHTTP_NO_ADDITIONAL_HEADERS,
                            headers ? static_cast<DWORD>(-1) : 0, data, length, length, 0) ||
        !WinHttpReceiveResponse(request.handle, nullptr))
        return *error = GetLastError(), 0;
    DWORD status = 0, size = sizeof(status);
    if (!WinHttpQueryHeaders(request.handle, WINHTTP_QUERY_STATUS_CODE | WINHTTP_QUERY_FLAG_NUMBER,
                             WINHTTP_HEADER_NAME_BY_INDEX, &status, &size, WINHTTP_NO_HEADER_INDEX))
        return *error = GetLastError(), 0;
    return status;
}

} // namespace

DWORD SendWebRequest(HINTERNET session, const WebAddress& address, const wchar_t* verb, const wchar_t* headers,
                     const CStrA* body, DWORD timeoutMs)
{
    DWORD error = 0;
    DWORD status = Request(session, address, verb, headers, body, timeoutMs, &error);
    if (!status)
        SetLastError(error);
    return status;
}

} // namespace tw
