#include "monitor/backoff.h"

#include "monitor/error_log.h"
#include "monitor/monitor.h"
#include "monitor/monitor_run.h"
#include "monitor/process_query.h"
#include "monitor/ui_links.h"

namespace tw {

namespace {

ULONGLONG StableMs(const CMonitorItem& record)
{
    return static_cast<ULONGLONG>(record.recovery.stableSeconds) * 1000;
}

ULONGLONG CapMs(size_t periodMs, DWORD capSeconds)
{
    ULONGLONG cap = static_cast<ULONGLONG>(capSeconds) * 1000;
    return cap > periodMs ? cap : periodMs;
}

// The run Tollwick timed and has not counted yet: its start and end.
struct EndedRun {
    ULONGLONG start = 0;
    ULONGLONG end = 0;
    ULONGLONG Ms() const { return end > start ? end - start : 0; }
};

// False when there is none. The caller holds the table lock.
bool ReadEndedRun(const CMonitorItem& record, ULONGLONG now, EndedRun* run)
{
    if (record.lastStartTick == 0)
        return false;
    run->start = record.lastStartTick;
    run->end = record.exitTick ? record.exitTick : now;
    return true;
}

// What a backoff's end logs: the program and the starts made during it.
struct BackoffEnd {
    CStrW name;
    DWORD starts = 0;
    DWORD stableSeconds = 0;
};

// Ends the record's backoff, if one is on. The caller holds the table lock
// and logs afterwards (the log takes a lock of its own).
bool EndBackoff(CMonitorItem& record, BackoffEnd* end)
{
    if (record.shortRuns == 0)
        return false;
    record.shortRuns = 0;
    end->starts = record.backoffStarts;
    end->stableSeconds = record.recovery.stableSeconds;
    end->name.AssignChars(record.name.Text(), 0);
    record.backoffStarts = 0;
    return true;
}

CStrW BackoffEndText(const BackoffEnd& end)
{
    CStrW text;
    text.Format(L"进程\"%s\"已稳定运行%lu秒, 结束延后重启, 其间共重启%lu次", end.name.c_str(), end.stableSeconds,
                end.starts);
    return text;
}

void LogBackoffEnd(size_t index, const BackoffEnd& end)
{
    g_errorLog.Add(ProgramEvent(EventKind::BackoffEnd, index), BackoffEndText(end).c_str());
    NotifyProgramsChanged();
}

// What a backoff's beginning logs.
struct BackoffBegin {
    CStrW name;
    ULONGLONG ranMs = 0;
    DWORD stableSeconds = 0;
    ULONGLONG capMs = 0;
};

} // namespace

ULONGLONG BackoffWaitMs(DWORD shortRuns, size_t periodMs, DWORD capSeconds)
{
    ULONGLONG cap = CapMs(periodMs, capSeconds);
    ULONGLONG wait = periodMs;
    for (DWORD step = 1; step < shortRuns && wait < cap; ++step)
        wait *= 2;
    return wait < cap ? wait : cap;
}

bool RestartHeldBack(size_t index, RestartPrep* prep)
{
    ULONGLONG now = GetTickCount64();
    {
        CLock lock(TableLock());
        if (index >= g_programCount)
            return false;
        const CMonitorItem& record = g_monitorList.At(index);
        if (record.restartDueTick)
            return now < record.restartDueTick;
        EndedRun run;
        if (!ReadEndedRun(record, now, &run))
            return false;
        // Neither too short nor within a period of its start: no wait.
        if (run.Ms() >= StableMs(record) && now - run.start >= g_periodMs && record.shortRuns == 0)
            return false;
    }
    // The copy a launcher left, which the start attaches.
    DWORD copy = FindClaimableCopy(index);
    if (prep) {
        prep->looked = true;
        prep->copyId = copy;
    }
    if (copy)
        return false;
    BackoffBegin begin;
    BackoffEnd ended;
    bool began = false;
    bool stable = false;
    bool held = false;
    {
        CLock lock(TableLock());
        if (index >= g_programCount || !RunGoesOn())
            return false;
        CMonitorItem& record = g_monitorList.At(index);
        EndedRun run;
        if (record.restartDueTick || !ReadEndedRun(record, now, &run))
            return now < record.restartDueTick;
        // Counted once: the next start times a new run.
        record.lastStartTick = 0;
        // Never more than one start a period, backoff or not.
        ULONGLONG due = run.start + g_periodMs;
        if (run.Ms() < StableMs(record)) {
            ++record.shortRuns;
            ULONGLONG wait = BackoffWaitMs(record.shortRuns, g_periodMs, record.recovery.backoffCapSeconds);
            record.restartWaitMs = wait;
            if (run.end + wait > due)
                due = run.end + wait;
            began = record.shortRuns == 1;
            if (began) {
                record.backoffStarts = 0;
                begin.name.AssignChars(record.name.Text(), 0);
                begin.ranMs = run.Ms();
                begin.stableSeconds = record.recovery.stableSeconds;
                begin.capMs = CapMs(g_periodMs, record.recovery.backoffCapSeconds);
            }
        } else {
            // It ran its stable time but ended before a cycle saw it do so.
            stable = EndBackoff(record, &ended);
        }
        held = now < due;
        record.restartDueTick = held ? due : 0;
    }
    // A restart that goes ahead writes the line once its process is there.
    if (stable && !held && prep)
        prep->afterStart = BackoffEndText(ended);
    else if (stable)
        LogBackoffEnd(index, ended);
    if (began)
        g_errorLog.AddFormat(ProgramEvent(EventKind::BackoffBegin, index),
                             L"进程\"%s\"运行%llu秒就退出了(不足%lu秒), 开始延后重启: 等待时间逐次加倍, 最长%llu秒, "
                             L"稳定运行前不再逐次记录重启",
                             begin.name.c_str(), begin.ranMs / 1000, begin.stableSeconds, begin.capMs / 1000);
    if (held) {
        RepaintProgramList();
        NotifyProgramsChanged();
    }
    return held;
}

ULONGLONG HeldRestartTick(size_t index)
{
    CLock lock(TableLock());
    return index < g_programCount ? g_monitorList.At(index).restartDueTick : 0;
}

void NoteProgramRunning(size_t index)
{
    BackoffEnd ended;
    {
        CLock lock(TableLock());
        if (index >= g_programCount || !RunGoesOn())
            return;
        CMonitorItem& record = g_monitorList.At(index);
        if (record.lastStartTick == 0 || GetTickCount64() - record.lastStartTick < StableMs(record) ||
            !EndBackoff(record, &ended))
            return;
    }
    LogBackoffEnd(index, ended);
}

bool NoteRestartMade(size_t index)
{
    CLock lock(TableLock());
    if (index >= g_programCount || !RunGoesOn())
        return true;
    CMonitorItem& record = g_monitorList.At(index);
    if (record.shortRuns == 0)
        return true;
    ++record.backoffStarts;
    return false;
}

CStrW RestartStateText(const ProgramView& view)
{
    CStrW text;
    if (view.ending)
        text.AssignChars(L"已结束, 等待进程退出后重启", 0);
    else if (view.heldWaitMs)
        text.Format(L"等待 %llu 秒后重启 (第 %lu 次)", (view.heldWaitMs + 999) / 1000, view.shortRuns);
    return text;
}

} // namespace tw
