#include "monitor/fleet.h"

#include "core/handle.h"
#include "core/trace.h"
#include "monitor/error_log.h"
#include "monitor/event_queue.h"
#include "monitor/metrics_file.h"
#include "monitor/program_table.h"
#include "monitor/webhook.h"

#include <atomic>
#include <time.h>

namespace tw {

void (*g_fleetEventSeam)(const FleetEvent& event) = nullptr;

namespace {

// Lines waiting for the event log and the metrics file. A burst larger than
// this (a thousand lines before the fleet thread runs once) loses its oldest
// to the event log only.
constexpr size_t kInboxCapacity = 1000;
// The file is written at least this often, and at most once a second however
// often things change.
constexpr ULONGLONG kMetricsEveryMs = 60000;
constexpr ULONGLONG kMetricsAtMostEveryMs = 1000;
// What the exit gives the webhook to deliver its last lines.
constexpr DWORD kWebhookDeliverAtExitMs = 2000;
// What the exit gives the fleet thread for its last lines and file.
constexpr DWORD kFleetThreadExitMs = 3000;

// Set by StartFleet before any other thread logs; the fleet thread alone
// uses the strings afterwards.
struct FleetConfig {
    bool eventLog;
    CStrW metricsFile;
    CStrW version;
    long long startSeconds;
};

FleetConfig g_fleetConfig;
std::atomic<bool> g_fleetOn{false};
std::atomic<bool> g_webhookOn{false};
std::atomic<bool> g_metricsOn{false};
std::atomic<bool> g_inboxOn{false};
HANDLE g_fleetThread = nullptr;
HANDLE g_fleetStop = nullptr;
HANDLE g_fleetChange = nullptr;

// Made once and never deleted: a thread left behind by a stop may still log
// while the process exits.
CEventQueue& Inbox()
{
    static CEventQueue* inbox = new CEventQueue(kInboxCapacity);
    return *inbox;
}

WORD EventLogType(EventLevel level)
{
    switch (level) {
    case EventLevel::Error:
        return EVENTLOG_ERROR_TYPE;
    case EventLevel::Warning:
        return EVENTLOG_WARNING_TYPE;
    case EventLevel::Information:
        break;
    }
    return EVENTLOG_INFORMATION_TYPE;
}

// The source needs no registration to be written: an unregistered one shows
// the line as the event's only insertion string.
void ReportToEventLog(HANDLE source, const FleetEvent& event)
{
    const EventKindInfo& info = KindInfo(event.kind);
    const wchar_t* strings[] = {event.text.c_str()};
    if (!ReportEventW(source, EventLogType(info.level), 0, info.id, nullptr, 1, 0, strings, nullptr))
        TraceFormat(L"事件日志", L"写入失败, 错误代码:%lu", GetLastError());
}

// The fleet thread's own state.
struct FleetWork {
    HANDLE source = nullptr;
    ULONGLONG lastWriteTick = 0;
    bool dirty = true;
    // The last write failed: its line is in the log once per streak.
    bool writeFailing = false;
};

// Sends what the inbox holds to the event log; true when there was any.
bool DrainInbox(FleetWork& work)
{
    bool any = false;
    FleetEvent event = {};
    unsigned long long dropped = 0;
    while (Inbox().Peek(&event, &dropped)) {
        if (work.source)
            ReportToEventLog(work.source, event);
        Inbox().Pop(event.number, dropped);
        any = true;
    }
    return any;
}

void WriteMetrics(FleetWork& work, bool up)
{
    TollwickMetrics metrics;
    TakeMetricsSnapshot(up, g_fleetConfig.startSeconds, &metrics);
    metrics.version.AssignChars(g_fleetConfig.version.c_str(), 0);
    CStrA text = BuildMetricsText(metrics);
    ReleaseMetrics(&metrics);
    DWORD error = ReplaceMetricsFile(g_fleetConfig.metricsFile, text);
    work.lastWriteTick = GetTickCount64();
    work.dirty = false;
    if (error && !work.writeFailing)
        g_errorLog.AddFormat({EventKind::WriteFailed}, L"写入指标文件失败, 路径为:%s, 错误代码为:%lu",
                             g_fleetConfig.metricsFile.c_str(), error);
    work.writeFailing = error != 0;
}

DWORD MetricsWait(const FleetWork& work)
{
    if (!g_metricsOn)
        return INFINITE;
    ULONGLONG since = GetTickCount64() - work.lastWriteTick;
    ULONGLONG due = work.dirty ? kMetricsAtMostEveryMs : kMetricsEveryMs;
    return since >= due ? 0 : static_cast<DWORD>(due - since);
}

DWORD WINAPI FleetThread(void*)
{
    FleetWork work;
    if (g_fleetConfig.eventLog) {
        work.source = RegisterEventSourceW(nullptr, L"Tollwick");
        if (!work.source)
            TraceFormat(L"事件日志", L"无法打开事件源, 错误代码:%lu", GetLastError());
    }
    HANDLE waits[] = {g_fleetStop, Inbox().Ready(), g_fleetChange};
    for (;;) {
        DWORD woke = WaitForMultipleObjects(3, waits, FALSE, MetricsWait(work));
        bool stopping = woke == WAIT_OBJECT_0;
        if (DrainInbox(work) || woke == WAIT_OBJECT_0 + 2)
            work.dirty = true;
        if (stopping)
            break;
        if (g_metricsOn && MetricsWait(work) == 0)
            WriteMetrics(work, true);
    }
    // The exit's own lines are in by now: they were logged before the stop.
    if (g_metricsOn)
        WriteMetrics(work, false);
    DrainInbox(work);
    if (work.source)
        DeregisterEventSource(work.source);
    return 0;
}

bool IsFullPath(const CStrW& path)
{
    const wchar_t* p = path.c_str();
    bool drive = ((p[0] >= L'A' && p[0] <= L'Z') || (p[0] >= L'a' && p[0] <= L'z')) && p[1] == L':' &&
                 (p[2] == L'\\' || p[2] == L'/');
    bool share = (p[0] == L'\\' && p[1] == L'\\') || (p[0] == L'/' && p[1] == L'/');
    return drive || share;
}

} // namespace

void StartFleet(FleetSettings& settings)
{
    if (g_fleetOn)
        return;
    g_fleetConfig.eventLog = settings.eventLog;
    g_fleetConfig.version = static_cast<CStrW&&>(settings.version);
    g_fleetConfig.startSeconds = static_cast<long long>(_time64(nullptr));
    bool metrics = !settings.metricsFile.IsEmpty() && IsFullPath(settings.metricsFile);
    g_fleetConfig.metricsFile = metrics ? static_cast<CStrW&&>(settings.metricsFile) : CStrW();
    g_metricsOn = metrics;
    bool webhook = !settings.webhookUrl.IsEmpty() && StartWebhook(settings.webhookUrl);
    g_webhookOn = webhook;
    Inbox().Clear();
    if (settings.eventLog || metrics) {
        g_fleetStop = CreateEventW(nullptr, TRUE, FALSE, nullptr);
        g_fleetChange = CreateEventW(nullptr, FALSE, FALSE, nullptr);
        g_fleetThread =
            g_fleetStop && g_fleetChange ? CreateThread(nullptr, 0, FleetThread, nullptr, 0, nullptr) : nullptr;
    }
    g_inboxOn = g_fleetThread != nullptr;
    g_fleetOn = g_inboxOn || webhook;
    // Said once the outputs run, so that they carry it too.
    if (!settings.metricsFile.IsEmpty() && !metrics)
        g_errorLog.AddFormat({EventKind::SettingInvalid}, L"指标文件路径不是完整路径, 不写指标文件:%s",
                             settings.metricsFile.c_str());
    if (!settings.webhookUrl.IsEmpty() && !webhook)
        g_errorLog.AddFormat({EventKind::SettingInvalid}, L"通知地址不是 http:// 或 https:// 地址, 不发送事件:%s",
                             settings.webhookUrl.c_str());
}

void StopFleet()
{
    if (!g_fleetOn.exchange(false))
        return;
    if (g_webhookOn.exchange(false))
        StopWebhook(kWebhookDeliverAtExitMs);
    if (g_fleetThread) {
        SetEvent(g_fleetStop);
        WaitForSingleObject(g_fleetThread, kFleetThreadExitMs);
        CloseHandle(g_fleetThread);
        g_fleetThread = nullptr;
    }
    g_metricsOn = false;
    g_inboxOn = false;
    // The events stay: a thread still logging may be about to set them.
}

bool PrepareFleetEvent(const LogEvent& event, const wchar_t* text, FleetEvent* out)
{
    if (!g_fleetOn && !g_fleetEventSeam)
        return false;
    out->kind = event.kind;
    out->check = event.check;
    out->entry = 0;
    if (event.program >= 0) {
        size_t index = static_cast<size_t>(event.program);
        out->program = CopyProgramText(index, &CMonitorItem::name);
        out->path = CopyProgramText(index, &CMonitorItem::path);
        out->entry = out->path.IsEmpty() ? 0 : event.program + 1;
    }
    out->text.AssignChars(text ? text : L"", 0);
    return true;
}

void HandOverEvent(const FleetEvent& event)
{
    if (g_fleetEventSeam)
        g_fleetEventSeam(event);
    if (g_inboxOn)
        Inbox().Push(event);
    if (g_webhookOn)
        QueueWebhookEvent(event);
}

void NoteFleetChange()
{
    if (g_metricsOn && g_fleetChange)
        SetEvent(g_fleetChange);
}

} // namespace tw
