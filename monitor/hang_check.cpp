#include "core/app_messages.h"
#include "core/guard.h"
#include "core/text_ops.h"
#include "core/trace.h"
#include "monitor/error_log.h"
#include "monitor/launch.h"
#include "monitor/monitor.h"
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

// The index of the record whose pending kill this is; false when none has
// it any more. The caller holds the table lock.
bool FindPendingOwner(const HangTimerRecord* pending, size_t* index)
{
    for (size_t i = 0; i < g_programCount; ++i) {
        if (g_monitorList.At(i).pendingHangTimer == pending) {
            *index = i;
            return true;
        }
    }
    return false;
}

void ClearPending(HangTimerRecord* pending)
{
    {
        CLock lock(TableLock());
        size_t index = 0;
        if (FindPendingOwner(pending, &index))
            g_monitorList.At(index).pendingHangTimer = nullptr;
    }
    delete pending;
}

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
        if (index >= g_programCount || g_monitorList.At(index).processId != processId)
            return nullptr;
        g_monitorList.At(index).window = window;
    }
    CStrW title = GetWindowTextString(window);
    CStrW className = GetWindowClassString(window);
    SetProgramWindowFacts(index, title, className);
    NotifyProgramsChanged();
    return window;
}

void LogAndTrace(const wchar_t* tag, const wchar_t* text)
{
    Trace(tag, text);
    g_errorLog.Add(text);
}

// The grace time is over: end the instance that was seen hung, if it is
// still there and still hung. A program that ended or was started again
// meanwhile is a new instance and is left alone.
void OnHangTimerBody(HWND window, UINT_PTR id)
{
    KillTimer(window, id);
    auto* pending = reinterpret_cast<HangTimerRecord*>(id);
    size_t index = 0;
    DWORD processId = 0;
    {
        CLock lock(TableLock());
        if (!FindPendingOwner(pending, &index))
            return;
        processId = g_monitorList.At(index).processId;
    }
    DWORD owner = 0;
    bool sameInstance =
        IsWindow(pending->window) && GetWindowThreadProcessId(pending->window, &owner) && owner && owner == processId;
    if (sameInstance && IsWindowHung(pending->window)) {
        if (KillProgramProcess(index))
            LogAndTrace(kTimerTag, kKilledText);
        else
            LogSurvivor(index);
    } else {
        LogAndTrace(kTimerTag, kRecoveredText);
    }
    ClearPending(pending);
}

void CALLBACK OnHangTimer(HWND window, UINT, UINT_PTR id, DWORD)
{
    Guarded(kTimerTag, [&] { OnHangTimerBody(window, id); });
}

} // namespace

bool IsWindowHung(HWND window)
{
    constexpr UINT kFlags = SMTO_ABORTIFHUNG | SMTO_NOTIMEOUTIFNOTHUNG | SMTO_ERRORONEXIT;
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
            return result == kSentinel;
        if (GetLastError() != ERROR_SUCCESS || !IsWindow(window))
            return true;
        DWORD owner = 0;
        if (GetWindowThreadProcessId(window, &owner) && owner != GetCurrentProcessId())
            getFontRefused = true;
    }
    return SendMessageTimeoutW(window, WM_NULL, 0, 0, kFlags, 300, &result) == 0;
}

DWORD StartupAllowanceMs()
{
    constexpr DWORD kLeast = 30000;
    return g_hangGraceMs * 3 > kLeast ? g_hangGraceMs * 3 : kLeast;
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
        if (record.pendingHangTimer)
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
    if (!IsWindowHung(window)) {
        if (!answered)
            SetProgramAnswered(index, true);
        return;
    }
    if (!g_engineWindow)
        return;
    // A program that has not answered once since it was started may still be
    // loading: killing it then would only start the slow start again.
    if (!answered && GetTickCount64() - started < StartupAllowanceMs()) {
        CStrW message(L"程序启动中, 暂不检测卡死, 索引：");
        AppendUInt64(message, index);
        Trace(kHangTag, message.c_str());
        return;
    }
    CStrW message(L"窗口卡死了, 即将开启延时关闭卡死程序时钟, 索引：");
    AppendUInt64(message, index);
    LogAndTrace(kHangTag, message.c_str());
    auto* pending = new HangTimerRecord{index, window};
    {
        CLock lock(TableLock());
        if (index >= g_programCount) {
            delete pending;
            return;
        }
        g_monitorList.At(index).pendingHangTimer = pending;
    }
    // Window timers belong to the window's thread: the main window arms it.
    SendMessageW(g_engineWindow, WM_TW_ARM_HANG_TIMER, reinterpret_cast<WPARAM>(pending), 0);
}

bool HandleEngineMessage(HWND window, UINT message, WPARAM wParam, LPARAM, LRESULT* result)
{
    if (message != WM_TW_ARM_HANG_TIMER)
        return false;
    auto* pending = reinterpret_cast<HangTimerRecord*>(wParam);
    // A stop on the way may have cancelled the kill and freed its record
    // (CancelPendingKills): only a kill that a program still holds is looked
    // at. Both run on this thread, so the answer holds until the end.
    bool held = false;
    {
        CLock lock(TableLock());
        size_t index = 0;
        held = FindPendingOwner(pending, &index);
    }
    if (!held) {
        // Nothing to do: its memory is no longer ours.
    } else if (g_monitoring.load() != 1) {
        // Monitoring stopped while the request was on its way.
        ClearPending(pending);
    } else {
        // A timer that cannot be set leaves the program armed, so its hang
        // check stays off until monitoring stops.
        SetTimer(window, reinterpret_cast<UINT_PTR>(pending), g_hangGraceMs, OnHangTimer);
    }
    if (result)
        *result = 0;
    return true;
}

// Cancels every pending kill silently (the stop of monitoring).
void CancelPendingKills()
{
    for (size_t i = 0;; ++i) {
        HangTimerRecord* pending = nullptr;
        {
            CLock lock(TableLock());
            if (i >= g_programCount)
                break;
            CMonitorItem& record = g_monitorList.At(i);
            pending = record.pendingHangTimer;
            record.pendingHangTimer = nullptr;
        }
        if (pending) {
            if (g_engineWindow)
                KillTimer(g_engineWindow, reinterpret_cast<UINT_PTR>(pending));
            delete pending;
        }
    }
}

} // namespace tw
