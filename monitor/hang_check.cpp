#include "core/guard.h"
#include "core/text_ops.h"
#include "core/trace.h"
#include "monitor/error_log.h"
#include "monitor/launch.h"
#include "monitor/monitor.h"
#include "monitor/monitor_run.h"
#include "monitor/process_query.h"
#include "monitor/program_table.h"
#include "monitor/ui_links.h"

#include <atomic>

namespace tw {

namespace {

const wchar_t kHangTag[] = L"程序集_监控错误->监控_检测卡死";
const wchar_t kTimerTag[] = L"程序集_监控错误->时钟事件_延时关闭卡死程序";
const wchar_t kKilledText[] = L"延时关闭程序卡死的时钟已关闭并结束了卡死程序";
const wchar_t kRecoveredText[] = L"延迟关闭卡死程序, 延时指定时间后程序已恢复正常";

// The first visible window of the instance, when its window was not found at
// its start (it came late) or has gone; recorded for the checks from now on.
HWND FindLateWindow(size_t index, DWORD processId)
{
    if (!processId)
        return nullptr;
    CWindowList windows;
    CollectProcessWindows(processId, 0, &windows);
    HWND window = windows.FirstVisibleRootOwner();
    if (!window)
        return nullptr;
    {
        CLock lock(TableLock());
        if (index >= g_programCount || !RunGoesOn() || g_monitorList.At(index).processId != processId)
            return nullptr;
        g_monitorList.At(index).window = window;
    }
    CStrW title = GetWindowTextString(window);
    CStrW className = GetWindowClassString(window);
    SetProgramWindowFacts(index, title, className);
    NotifyProgramsChanged();
    return window;
}

void LogAndTrace(const LogEvent& event, const wchar_t* tag, const wchar_t* text)
{
    Trace(tag, text);
    g_errorLog.Add(event, text);
}

// The name of record index's program, for a log line.
CStrW NameOf(size_t index)
{
    return CopyProgramText(index, &CMonitorItem::name);
}

// Says once per instance that its window refuses the probe.
void NoteProbeRefused(size_t index, DWORD processId)
{
    {
        CLock lock(TableLock());
        if (index >= g_programCount || !RunGoesOn() || g_monitorList.At(index).processId != processId)
            return;
        CMonitorItem& record = g_monitorList.At(index);
        if (record.probeRefused)
            return;
        record.probeRefused = true;
    }
    g_errorLog.AddFormat(ProgramEvent(EventKind::ProbeRefused, index),
                         L"进程\"%s\"的窗口拒绝了卡死检测消息, 不检测其卡死, 只检测其是否运行, 进程ID为:%lu",
                         NameOf(index).c_str(), processId);
}

ProbeResult ProbeNow(HWND window)
{
    constexpr UINT kFlags = SMTO_ABORTIFHUNG | SMTO_ERRORONEXIT;
    // Wine refuses WM_GETFONT across processes without trying it (the call
    // fails with no error code set); WM_NULL asks the same question there.
    // Once seen, the refused probe is not tried again.
    static std::atomic<bool> getFontRefused{false};
    DWORD_PTR result = 0;
    if (!getFontRefused.load(std::memory_order_relaxed)) {
        // No font handle looks like this, and a window without a font answers 0.
        constexpr DWORD_PTR kSentinel = static_cast<DWORD_PTR>(-7);
        result = kSentinel;
        SetLastError(ERROR_SUCCESS);
        if (SendMessageTimeoutW(window, WM_GETFONT, 0, 0, kFlags, 300, &result))
            return result == kSentinel ? ProbeResult::Hung : ProbeResult::Answered;
        DWORD error = GetLastError();
        if (error == ERROR_TIMEOUT)
            return ProbeResult::Hung;
        if (!IsWindow(window))
            return ProbeResult::Gone;
        if (error != ERROR_SUCCESS)
            return ProbeResult::Refused;
        DWORD owner = 0;
        if (GetWindowThreadProcessId(window, &owner) && owner != GetCurrentProcessId())
            getFontRefused = true;
    }
    SetLastError(ERROR_SUCCESS);
    if (SendMessageTimeoutW(window, WM_NULL, 0, 0, kFlags, 300, &result))
        return ProbeResult::Answered;
    // Only a time-out means hung (older systems set no error code for it).
    DWORD error = GetLastError();
    if (error == ERROR_TIMEOUT || error == ERROR_SUCCESS)
        return ProbeResult::Hung;
    return IsWindow(window) ? ProbeResult::Refused : ProbeResult::Gone;
}

} // namespace

ProbeResult (*g_probeSeam)(HWND window) = nullptr;

ProbeResult ProbeWindow(HWND window)
{
    return g_probeSeam ? g_probeSeam(window) : ProbeNow(window);
}

ULONGLONG StartupAllowanceMs()
{
    constexpr ULONGLONG kLeast = 30000;
    ULONGLONG graces = static_cast<ULONGLONG>(g_hangGraceMs) * 3;
    return graces > kLeast ? graces : kLeast;
}

void CheckHang(size_t index)
{
    HWND window = nullptr;
    DWORD processId = 0;
    bool answered = false;
    ULONGLONG started = 0;
    {
        CLock lock(TableLock());
        if (index >= g_programCount)
            return;
        const CMonitorItem& record = g_monitorList.At(index);
        if (record.pendingHangTimer.dueTick || record.probeRefused)
            return;
        window = record.window;
        processId = record.processId;
        answered = record.answered;
        started = record.lastStartTick;
    }
    if (!IsWindow(window))
        window = FindLateWindow(index, processId);
    if (!window) {
        CStrW message(L"重启后,句柄还没取到,等下一次取句柄,索引：");
        AppendUInt64(message, index);
        Trace(L"程序集_监控错误 -> 监控_检测卡死", message.c_str());
        return;
    }
    ProbeResult probe = ProbeWindow(window);
    if (probe == ProbeResult::Refused)
        NoteProbeRefused(index, processId);
    if (probe != ProbeResult::Hung) {
        if (probe == ProbeResult::Answered && !answered)
            SetProgramAnswered(index, true);
        return;
    }
    // A program that has not answered once since it was started may still be
    // loading: killing it then would only start the slow start again.
    if (!answered && GetTickCount64() - started < StartupAllowanceMs()) {
        CStrW message(L"程序启动中, 暂不检测卡死, 索引：");
        AppendUInt64(message, index);
        Trace(kHangTag, message.c_str());
        return;
    }
    {
        CLock lock(TableLock());
        if (index >= g_programCount || !RunGoesOn())
            return;
        g_monitorList.At(index).pendingHangTimer = {window, GetTickCount64() + g_hangGraceMs};
    }
    CStrW message(L"窗口卡死了, 即将开启延时关闭卡死程序时钟, 索引：");
    AppendUInt64(message, index);
    LogAndTrace(ProgramEvent(EventKind::HangSeen, index), kHangTag, message.c_str());
}

ULONGLONG HangKillDueTick(size_t index)
{
    CLock lock(TableLock());
    return index < g_programCount ? g_monitorList.At(index).pendingHangTimer.dueTick : 0;
}

// The grace time is over: end the instance that was seen hung, if it is
// still there and still hung. A program that ended or was started again
// meanwhile is a new instance and is left alone. Runs on the program's own
// monitor thread, so a slow end holds up no other program and no window.
void FinishDueHangKill(size_t index)
{
    HangTimerRecord pending = {};
    DWORD processId = 0;
    {
        CLock lock(TableLock());
        if (index >= g_programCount || !RunGoesOn())
            return;
        CMonitorItem& record = g_monitorList.At(index);
        if (!record.pendingHangTimer.dueTick || GetTickCount64() < record.pendingHangTimer.dueTick)
            return;
        pending = record.pendingHangTimer;
        record.pendingHangTimer = {};
        processId = record.processId;
    }
    DWORD owner = 0;
    bool sameInstance =
        IsWindow(pending.window) && GetWindowThreadProcessId(pending.window, &owner) && owner && owner == processId;
    if (!sameInstance || ProbeWindow(pending.window) != ProbeResult::Hung) {
        LogAndTrace(ProgramEvent(EventKind::HangRecovered, index), kTimerTag, kRecoveredText);
        return;
    }
    if (EndInstance(index)) {
        CountProgramEvent(index, ProgramCounter::HangKill);
        LogAndTrace(ProgramEvent(EventKind::HangKill, index), kTimerTag, kKilledText);
    }
}

// Cancels every pending kill silently (the stop of monitoring). An ended
// instance a thread was waiting for is no longer waited for either; the next
// run's thread waits for it again if it is still there.
void CancelPendingKills()
{
    CLock lock(TableLock());
    for (size_t i = 0; i < g_programCount; ++i) {
        g_monitorList.At(i).pendingHangTimer = {};
        g_monitorList.At(i).ending = false;
    }
}

} // namespace tw
