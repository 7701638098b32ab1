// The sender posts the oldest queued event until the receiver takes it (any
// 2xx), then the next: the events arrive in order, at least once each. A
// failed post is tried again after a wait that doubles from 1 s to 5 min.
// Only the sender's thread touches WinHTTP; a request may take up to the
// time-outs, so the stop never waits for one.
#include "monitor/webhook.h"

#include "monitor/health_state.h"
#include "monitor/web_session.h"

#include <wchar.h>

namespace tw {

namespace {

constexpr DWORD kRequestTimeoutMs = 10000;
constexpr DWORD kFirstRetryMs = 1000;
constexpr DWORD kLongestRetryMs = 300000;
// What the stop gives a sender that has been told to end before it leaves it
// to the process's end.
constexpr DWORD kStopMomentMs = 200;

const wchar_t kUserAgent[] = L"Tollwick webhook";
const wchar_t kJsonHeader[] = L"Content-Type: application/json; charset=utf-8";

// One running sender: held by the module until the stop and by its thread
// until it ends, which may be later (a request in flight at the exit).
struct Sender {
    volatile LONG references = 2;
    CEventQueue queue{kWebhookQueueCapacity};
    // Drain: end once the queue is empty. Stop: end now.
    CHandle drain{CreateEventW(nullptr, TRUE, FALSE, nullptr)};
    CHandle stop{CreateEventW(nullptr, TRUE, FALSE, nullptr)};
    WebAddress address;
    CStrW machine;
    CStrW user;
};

// The running sender, under SenderLock: the loggers push through it, and
// only start and stop change it, so the lock is never held for longer than
// a push.
Sender* g_sender = nullptr;
// Start and stop only (both on one thread).
CHandle g_thread;

CCriticalSection& SenderLock()
{
    static auto* lock = new CCriticalSection;
    return *lock;
}

void ReleaseSender(Sender* sender)
{
    if (InterlockedDecrement(&sender->references) == 0)
        delete sender;
}

void AppendUtf8(CStrA* out, unsigned long code)
{
    char bytes[4];
    size_t count;
    if (code < 0x80) {
        bytes[0] = static_cast<char>(code);
        count = 1;
    } else if (code < 0x800) {
        bytes[0] = static_cast<char>(0xC0 | (code >> 6));
        count = 2;
    } else if (code < 0x10000) {
        bytes[0] = static_cast<char>(0xE0 | (code >> 12));
        count = 3;
    } else {
        bytes[0] = static_cast<char>(0xF0 | (code >> 18));
        count = 4;
    }
    for (size_t i = 1; i < count; ++i)
        bytes[i] = static_cast<char>(0x80 | ((code >> (6 * (count - 1 - i))) & 0x3F));
    out->AppendChars(bytes, count);
}

// text as a JSON string in UTF-8; an unpaired surrogate becomes U+FFFD.
void AppendJsonString(CStrA* out, const wchar_t* text)
{
    out->AppendChars("\"", 1);
    for (const wchar_t* p = text; *p; ++p) {
        unsigned long code = static_cast<unsigned short>(*p);
        bool high = code >= 0xD800 && code <= 0xDBFF;
        bool low = code >= 0xDC00 && code <= 0xDFFF;
        if (high && p[1] >= 0xDC00 && p[1] <= 0xDFFF)
            code = 0x10000 + ((code - 0xD800) << 10) + (static_cast<unsigned short>(*++p) - 0xDC00);
        else if (high || low)
            code = 0xFFFD;
        if (code == '"' || code == '\\') {
            char escaped[2] = {'\\', static_cast<char>(code)};
            out->AppendChars(escaped, 2);
        } else if (code == '\n') {
            out->AppendChars("\\n", 2);
        } else if (code == '\r') {
            out->AppendChars("\\r", 2);
        } else if (code == '\t') {
            out->AppendChars("\\t", 2);
        } else if (code < 0x20) {
            char escaped[8];
            FormatToBuffer(escaped, sizeof(escaped), "\\u%04lx", code);
            out->AppendChars(escaped, 6);
        } else {
            AppendUtf8(out, code);
        }
    }
    out->AppendChars("\"", 1);
}

void AppendJsonStringOrNull(CStrA* out, const wchar_t* text)
{
    if (text)
        AppendJsonString(out, text);
    else
        out->AppendChars("null", 4);
}

// ISO 8601 in UTC: "2026-12-08T14:29:48Z".
void AppendUtcTime(CStrA* out, long long seconds)
{
    const long long k1601To1970 = 11644473600LL;
    ULARGE_INTEGER ticks;
    ticks.QuadPart = static_cast<ULONGLONG>(seconds + k1601To1970) * 10000000ULL;
    FILETIME file = {ticks.LowPart, ticks.HighPart};
    SYSTEMTIME time = {};
    FileTimeToSystemTime(&file, &time);
    char text[32];
    FormatToBuffer(text, sizeof(text), "\"%04u-%02u-%02uT%02u:%02u:%02uZ\"", time.wYear, time.wMonth, time.wDay,
                   time.wHour, time.wMinute, time.wSecond);
    out->AppendChars(text, 0);
}

void AppendField(CStrA* out, const char* name)
{
    out->AppendChars(",\"", 2);
    out->AppendChars(name, 0);
    out->AppendChars("\":", 2);
}

// An http:// or https:// URL with a host, taken apart for the sender.
bool TakeUrl(const wchar_t* url, Sender* sender)
{
    if (_wcsnicmp(url, L"https://", 8) != 0 && _wcsnicmp(url, L"http://", 7) != 0)
        return false;
    return CrackWebAddress(url, &sender->address);
}

// Posts body; the HTTP status of the answer, or 0 when none came. A redirect
// would turn the POST into a GET without the event: it is an answer that is
// not 2xx, and the event is tried again.
DWORD Post(HINTERNET session, const Sender& sender, const CStrA& body)
{
    return SendWebRequest(session, sender.address, L"POST", kJsonHeader, &body, kRequestTimeoutMs);
}

bool IsSet(HANDLE event)
{
    return WaitForSingleObject(event, 0) == WAIT_OBJECT_0;
}

DWORD WINAPI Send(void* parameter)
{
    auto* sender = static_cast<Sender*>(parameter);
    {
        bool viaProxy = !IsLoopbackHost(sender->address.host.c_str());
        InternetHandle session(OpenWebSession(viaProxy, kUserAgent));
        HANDLE idle[] = {sender->stop.Get(), sender->drain.Get(), sender->queue.Ready()};
        DWORD retryMs = kFirstRetryMs;
        FleetEvent event = {};
        while (!IsSet(sender->stop.Get())) {
            unsigned long long dropped = 0;
            if (!sender->queue.Peek(&event, &dropped)) {
                if (IsSet(sender->drain.Get()))
                    break;
                WaitForMultipleObjects(ARRAYSIZE(idle), idle, FALSE, INFINITE);
                continue;
            }
            if (!session.handle)
                session.handle = OpenWebSession(viaProxy, kUserAgent);
            DWORD status = Post(session.handle, *sender, WebhookJson(event, dropped, sender->machine, sender->user));
            if (status >= 200 && status <= 299) {
                sender->queue.Pop(event.number, dropped);
                retryMs = kFirstRetryMs;
            } else {
                WaitForSingleObject(sender->stop.Get(), retryMs);
                retryMs = retryMs < kLongestRetryMs / 2 ? retryMs * 2 : kLongestRetryMs;
            }
        }
    }
    ReleaseSender(sender);
    return 0;
}

} // namespace

CStrA WebhookJson(const FleetEvent& event, unsigned long long lost, const CStrW& machine, const CStrW& user)
{
    CStrA json("{\"time\":");
    AppendUtcTime(&json, event.seconds);
    AppendField(&json, "machine");
    AppendJsonString(&json, machine.c_str());
    AppendField(&json, "user");
    AppendJsonString(&json, user.c_str());
    AppendField(&json, "event");
    json.AppendChars("\"", 1).AppendChars(KindInfo(event.kind).name, 0).AppendChars("\"", 1);
    // An event of no program has none of its facts.
    bool program = event.entry != 0;
    AppendField(&json, "program");
    AppendJsonStringOrNull(&json, program ? event.program.c_str() : nullptr);
    AppendField(&json, "path");
    AppendJsonStringOrNull(&json, program ? event.path.c_str() : nullptr);
    AppendField(&json, "entry");
    if (program)
        json.AppendInt64(event.entry);
    else
        json.AppendChars("null", 4);
    if (event.check >= 0 && event.check < kCheckCount) {
        AppendField(&json, "check");
        json.AppendChars("\"", 1).AppendChars(HealthCheckKey(event.check), 0).AppendChars("\"", 1);
    }
    AppendField(&json, "text");
    AppendJsonString(&json, event.text.c_str());
    AppendField(&json, "number");
    json.AppendUInt64(event.number);
    if (lost) {
        AppendField(&json, "lost");
        json.AppendUInt64(lost);
    }
    json.AppendChars("}", 1);
    return json;
}

bool StartWebhook(const CStrW& url)
{
    if (g_thread)
        return false;
    auto* sender = new Sender;
    wchar_t machine[MAX_COMPUTERNAME_LENGTH + 1] = {0};
    DWORD size = ARRAYSIZE(machine);
    if (GetComputerNameW(machine, &size))
        sender->machine.AssignChars(machine, 0);
    wchar_t user[257] = {0};
    size = ARRAYSIZE(user);
    if (GetUserNameW(user, &size))
        sender->user.AssignChars(user, 0);
    HANDLE thread = nullptr;
    if (TakeUrl(url.c_str(), sender) && sender->queue.Ready() && sender->drain && sender->stop)
        thread = CreateThread(nullptr, 0, Send, sender, 0, nullptr);
    if (!thread) {
        delete sender;
        return false;
    }
    g_thread.Reset(thread);
    CLock lock(SenderLock());
    g_sender = sender;
    return true;
}

void QueueWebhookEvent(const FleetEvent& event)
{
    CLock lock(SenderLock());
    if (g_sender)
        g_sender->queue.Push(event);
}

void StopWebhook(DWORD deliverMs)
{
    Sender* sender;
    {
        CLock lock(SenderLock());
        sender = g_sender;
    }
    if (!sender)
        return;
    SetEvent(sender->drain.Get());
    if (WaitForSingleObject(g_thread.Get(), deliverMs) == WAIT_TIMEOUT) {
        SetEvent(sender->stop.Get());
        WaitForSingleObject(g_thread.Get(), kStopMomentMs);
    }
    {
        CLock lock(SenderLock());
        g_sender = nullptr;
    }
    g_thread.Reset();
    ReleaseSender(sender);
}

} // namespace tw
