// The health address: an HTTP(S) request through WinHTTP or a TCP connect,
// made on a pool thread so that no monitor thread ever waits on the network.
// Each cycle takes the verdict of the probe the cycle before started and
// starts the next; a probe still at work when its time is up is a failure,
// and is left to end on its own.
#include "core/trace.h"
#include "monitor/health_check.h"
#include "monitor/web_session.h"

#include <winsock2.h>
#include <ws2tcpip.h>
#include <winhttp.h>

#include <wchar.h>

namespace tw {

struct EndpointProbe {
    // The monitor thread's hold and the pool thread's.
    volatile LONG references;
    CStrW url;
    DWORD timeoutMs;
    volatile LONG done;
    Verdict verdict;
    CheckReading reading;
};

namespace {

// Kinds of reading.
constexpr DWORD kStatus = 0;       // value: the HTTP status; a connect made
constexpr DWORD kNoConnection = 1; // value: the error
constexpr DWORD kTimedOut = 2;     // value: the time allowed, in ms
constexpr DWORD kBadAddress = 3;

// Name resolution included, a probe has at most the period and at most 5 s.
constexpr DWORD kLongestProbeMs = 5000;

const wchar_t kUserAgent[] = L"Tollwick health check";

// Probes at work in the whole process. A name server that never answers
// leaves each probe that waits on it behind; past this many, no new probe
// starts until some have ended.
constexpr LONG kMostProbesAtWork = 64;
volatile LONG g_probesAtWork = 0;

bool HasPrefix(const wchar_t* text, const wchar_t* prefix)
{
    return _wcsnicmp(text, prefix, wcslen(prefix)) == 0;
}

// The two sessions are made once and kept for the life of the process, so
// that the proxy is found once and connections may be reused.
struct Sessions {
    HINTERNET direct;
    HINTERNET proxied;
};

BOOL CALLBACK OpenSessions(INIT_ONCE*, void* parameter, void**)
{
    auto* sessions = static_cast<Sessions*>(parameter);
    sessions->direct = OpenWebSession(false, kUserAgent);
    sessions->proxied = OpenWebSession(true, kUserAgent);
    return TRUE;
}

HINTERNET SessionFor(const wchar_t* host)
{
    static INIT_ONCE once = INIT_ONCE_STATIC_INIT;
    static Sessions sessions = {nullptr, nullptr};
    InitOnceExecuteOnce(&once, OpenSessions, &sessions, nullptr);
    return IsLoopbackHost(host) ? sessions.direct : sessions.proxied;
}

Verdict NetworkFailure(DWORD error, DWORD timeoutMs, CheckReading* reading)
{
    bool late = error == ERROR_WINHTTP_TIMEOUT || error == WSAETIMEDOUT;
    reading->kind = late ? kTimedOut : kNoConnection;
    reading->value = late ? timeoutMs : error;
    return Verdict::Fail;
}

Verdict ProbeHttp(const wchar_t* url, DWORD timeoutMs, CheckReading* reading)
{
    WebAddress address;
    if (!CrackWebAddress(url, &address)) {
        reading->kind = kBadAddress;
        return Verdict::Unknown;
    }
    HINTERNET session = SessionFor(address.host.c_str());
    if (!session)
        return NetworkFailure(GetLastError(), timeoutMs, reading);
    // A redirect answers, as any status below 400 does: it is not followed.
    DWORD status = SendWebRequest(session, address, L"GET", nullptr, nullptr, timeoutMs);
    if (!status)
        return NetworkFailure(GetLastError(), timeoutMs, reading);
    reading->kind = kStatus;
    reading->value = status;
    return status >= 200 && status <= 399 ? Verdict::Pass : Verdict::Fail;
}

// Splits tcp://host:port; an IPv6 host is written in brackets.
bool SplitTcpAddress(const wchar_t* address, CStrW* host, CStrW* port)
{
    const wchar_t* rest = address + wcslen(L"tcp://");
    const wchar_t* colon = wcsrchr(rest, L':');
    if (!colon || colon == rest || !colon[1] || wcsspn(colon + 1, L"0123456789") != wcslen(colon + 1))
        return false;
    const wchar_t* first = rest;
    const wchar_t* end = colon;
    if (*first == L'[' && end[-1] == L']') {
        ++first;
        --end;
    }
    if (end <= first)
        return false;
    host->AssignChars(first, static_cast<size_t>(end - first));
    port->AssignChars(colon + 1, 0);
    return true;
}

// Closes a socket on every path.
struct SocketHolder {
    SOCKET socket;
    explicit SocketHolder(SOCKET s) : socket(s) {}
    ~SocketHolder()
    {
        if (socket != INVALID_SOCKET)
            closesocket(socket);
    }
    SocketHolder(const SocketHolder&) = delete;
    SocketHolder& operator=(const SocketHolder&) = delete;
};

// A non-blocking connect to one address, within ms; 0 or the error.
int ConnectWithin(const addrinfoW& address, DWORD ms)
{
    SocketHolder holder(socket(address.ai_family, address.ai_socktype, address.ai_protocol));
    if (holder.socket == INVALID_SOCKET)
        return WSAGetLastError();
    u_long nonBlocking = 1;
    ioctlsocket(holder.socket, FIONBIO, &nonBlocking);
    if (connect(holder.socket, address.ai_addr, static_cast<int>(address.ai_addrlen)) == 0)
        return 0;
    int error = WSAGetLastError();
    if (error != WSAEWOULDBLOCK)
        return error;
    fd_set writable, failed;
    FD_ZERO(&writable);
    FD_ZERO(&failed);
    FD_SET(holder.socket, &writable);
    FD_SET(holder.socket, &failed);
    timeval wait = {static_cast<long>(ms / 1000), static_cast<long>((ms % 1000) * 1000)};
    int ready = select(0, nullptr, &writable, &failed, &wait);
    if (ready == 0)
        return WSAETIMEDOUT;
    if (ready < 0)
        return WSAGetLastError();
    int soError = 0;
    int length = sizeof(soError);
    getsockopt(holder.socket, SOL_SOCKET, SO_ERROR, reinterpret_cast<char*>(&soError), &length);
    return FD_ISSET(holder.socket, &writable) && soError == 0 ? 0 : (soError ? soError : WSAECONNREFUSED);
}

Verdict ProbeTcp(const wchar_t* url, DWORD timeoutMs, CheckReading* reading)
{
    CStrW host, port;
    if (!SplitTcpAddress(url, &host, &port)) {
        reading->kind = kBadAddress;
        return Verdict::Unknown;
    }
    WSADATA data;
    if (WSAStartup(MAKEWORD(2, 2), &data) != 0)
        return NetworkFailure(WSASYSNOTREADY, timeoutMs, reading);
    ULONGLONG deadline = GetTickCount64() + timeoutMs;
    addrinfoW hints = {};
    hints.ai_family = AF_UNSPEC;
    hints.ai_socktype = SOCK_STREAM;
    hints.ai_protocol = IPPROTO_TCP;
    addrinfoW* found = nullptr;
    int error = GetAddrInfoW(host.c_str(), port.c_str(), &hints, &found);
    for (addrinfoW* address = error == 0 ? found : nullptr; address; address = address->ai_next) {
        ULONGLONG now = GetTickCount64();
        error = now < deadline ? ConnectWithin(*address, static_cast<DWORD>(deadline - now)) : WSAETIMEDOUT;
        if (error == 0 || error == WSAETIMEDOUT)
            break;
    }
    if (found)
        FreeAddrInfoW(found);
    WSACleanup();
    if (error != 0)
        return NetworkFailure(static_cast<DWORD>(error), timeoutMs, reading);
    reading->kind = kStatus;
    reading->value = 0;
    return Verdict::Pass;
}

void ReleaseProbe(EndpointProbe* probe)
{
    if (probe && InterlockedDecrement(&probe->references) == 0)
        delete probe;
}

DWORD WINAPI RunProbe(void* parameter)
{
    auto* probe = static_cast<EndpointProbe*>(parameter);
    const wchar_t* url = probe->url.c_str();
    CheckReading reading = {0, 0};
    Verdict verdict = HasPrefix(url, L"tcp://") ? ProbeTcp(url, probe->timeoutMs, &reading)
                                                : ProbeHttp(url, probe->timeoutMs, &reading);
    probe->verdict = verdict;
    probe->reading = reading;
    InterlockedExchange(&probe->done, 1);
    ReleaseProbe(probe);
    InterlockedDecrement(&g_probesAtWork);
    return 0;
}

bool IsKnownForm(const wchar_t* url)
{
    return HasPrefix(url, L"http://") || HasPrefix(url, L"https://") || HasPrefix(url, L"tcp://");
}

void StartProbe(const CheckInput& input, HealthWork& work)
{
    if (InterlockedIncrement(&g_probesAtWork) > kMostProbesAtWork) {
        InterlockedDecrement(&g_probesAtWork);
        return;
    }
    auto* probe = new EndpointProbe{2, CStrW(input.health.healthUrl.c_str()), 0, 0, Verdict::Unknown, {0, 0}};
    probe->timeoutMs = input.periodMs < kLongestProbeMs ? input.periodMs : kLongestProbeMs;
    if (!QueueUserWorkItem(RunProbe, probe, WT_EXECUTELONGFUNCTION)) {
        InterlockedDecrement(&g_probesAtWork);
        delete probe;
        return;
    }
    work.endpoint = probe;
    work.endpointStartTick = GetTickCount64();
}

bool EndpointEnabled(const CheckInput& input)
{
    return !input.health.healthUrl.IsEmpty();
}

DWORD EndpointCycles(const CheckInput& input)
{
    return input.health.failureCycles;
}

Verdict ProbeEndpoint(const CheckInput& input, HealthWork& work, CheckReading* reading)
{
    if (!IsKnownForm(input.health.healthUrl.c_str())) {
        reading->kind = kBadAddress;
        return Verdict::Unknown;
    }
    Verdict verdict = Verdict::Unknown;
    if (EndpointProbe* probe = work.endpoint) {
        DWORD allowed = probe->timeoutMs;
        if (InterlockedCompareExchange(&probe->done, 0, 0)) {
            verdict = probe->verdict;
            *reading = probe->reading;
        } else if (GetTickCount64() - work.endpointStartTick >= allowed) {
            verdict = NetworkFailure(ERROR_WINHTTP_TIMEOUT, allowed, reading);
        } else {
            // Still within its time: wait for it rather than pile up probes.
            return Verdict::Unknown;
        }
        ReleaseProbe(probe);
        work.endpoint = nullptr;
    }
    StartProbe(input, work);
    return verdict;
}

// With url, the log's form, which names the address; without, the short
// form of the row and the info page.
void DescribeFailure(const wchar_t* url, const CheckReading& reading, CStrW* text)
{
    CStrW address;
    if (url)
        address.Format(L"\"%s\"", url);
    if (reading.kind == kTimedOut)
        text->Format(L"健康地址%s在 %llu 毫秒内没有应答", address.c_str(), reading.value);
    else if (reading.kind == kNoConnection)
        text->Format(L"健康地址%s无法连接 (错误代码 %llu)", address.c_str(), reading.value);
    else
        text->Format(L"健康地址%s返回状态 %llu", address.c_str(), reading.value);
}

void EndpointFailureLine(const CheckInput& input, const CheckReading& reading, DWORD cycles, CStrW* line)
{
    CStrW failure;
    DescribeFailure(input.health.healthUrl.c_str(), reading, &failure);
    line->Format(L"进程\"%s\"%s, 连续%lu次失败, 关闭后重新启动, 进程ID为:%lu", input.name.c_str(), failure.c_str(),
                 cycles, input.processId);
}

void EndpointRecoveryLine(const CheckInput& input, CStrW* line)
{
    line->Format(L"进程\"%s\"重启后健康地址\"%s\"已恢复正常, 进程ID为:%lu", input.name.c_str(),
                 input.health.healthUrl.c_str(), input.processId);
}

void EndpointFailureText(const HealthSettings&, const RecoverySettings&, const CheckReading& reading, CStrW* text)
{
    DescribeFailure(nullptr, reading, text);
}

} // namespace

void ReleaseEndpointProbe(EndpointProbe* probe)
{
    ReleaseProbe(probe);
}

const HealthCheck kEndpointCheck = {L"健康地址",   EndpointEnabled,     EndpointCycles,       true,
                                    ProbeEndpoint, EndpointFailureLine, EndpointRecoveryLine, EndpointFailureText};

} // namespace tw
