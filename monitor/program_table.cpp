#include "monitor/program_table.h"

#include "config/config.h"
#include "core/path.h"
#include "core/text_ops.h"
#include "monitor/crash_reporter.h"
#include "monitor/launch.h"
#include "monitor/monitor_run.h"
#include "monitor/placement.h"
#include "monitor/process_query.h"
#include "monitor/ui_links.h"

#include <time.h>
#include <wchar.h>

namespace tw {

namespace {

void ReleaseRecord(size_t, void* element)
{
    auto* record = static_cast<CMonitorItem*>(element);
    record->title.Release();
    record->className.Release();
    record->path.Release();
    record->name.Release();
    record->errflag.Release();
    record->command.Release();
    record->parameters.Release();
    record->health.heartbeatFile.Release();
    record->health.healthUrl.Release();
    record->longPath.Release();
}

CStrW OwnCopy(const CStrW& text)
{
    CStrW copy;
    if (!text.IsEmpty())
        copy.AssignChars(text.c_str(), 0);
    return copy;
}

// Attaches entry j (already in the table) to a running instance: by its
// stored window while that window exists, else by a search for a process
// that runs the recorded executable, skipping the instances of the entries
// before it.
void AttachLoadedRecord(size_t j, HWND stored)
{
    CStrW path = CopyProgramText(j, &CMonitorItem::path);
    CArray<DWORD> excluded;
    for (size_t k = 0; k < j; ++k)
        excluded.Append(ProgramProcessId(k));
    const DWORD* skip = excluded.Count() ? &excluded.At(0) : nullptr;
    HWND window = nullptr;
    DWORD processId = 0;
    if (stored && IsWindow(stored)) {
        // The window's process must run the recorded executable itself: a
        // copy of the program in another folder has the same file name, and
        // closing it at exit would harm a program nobody asked to watch.
        DWORD owner = 0;
        if (GetWindowThreadProcessId(stored, &owner) && owner && !IdListed(owner, skip, excluded.Count()) &&
            SamePath(GetProcessIdImagePath(owner).c_str(), path.c_str())) {
            window = stored;
            processId = owner;
        }
    } else {
        processId = FindProcessRunning(path, skip, excluded.Count());
        if (processId) {
            CWindowList windows;
            CollectProcessWindows(processId, 500, &windows);
            window = windows.FirstVisibleRootOwner();
        }
    }
    excluded.Destroy();
    if (processId)
        AttachRunningInstance(j, processId, window);
}

// The record's path in full with long names, where the file is there: a
// file-system call, never made under the table lock.
CStrW FoundLongPath(const CStrW& path)
{
    bool found = false;
    CStrW longPath = LongFullPath(path.c_str(), &found);
    return found ? longPath : CStrW();
}

DWORD NotBelowZero(long long value)
{
    return value < 0 ? 0 : (value > 0xFFFFFFFFLL ? 0xFFFFFFFFu : static_cast<DWORD>(value));
}

// An entry's recovery keys; absent ones read as for an entry of an earlier
// version (its window left where the program puts it).
RecoverySettings ReadRecovery(size_t entry)
{
    const RecoverySettings d = kLoadedProgramRecovery;
    RecoverySettings r;
    r.stableSeconds = NotBelowZero(g_config.GetInt(entry, "stabletime", static_cast<int>(d.stableSeconds)));
    r.backoffCapSeconds = NotBelowZero(g_config.GetInt(entry, "backoffmax", static_cast<int>(d.backoffCapSeconds)));
    r.keepPlacement = g_config.GetInt(entry, "keepplacement", d.keepPlacement ? 1 : 0) != 0;
    r.memoryLimitMb = NotBelowZero(g_config.GetInt(entry, "memorylimit", 0));
    r.memoryCycles = NotBelowZero(g_config.GetInt(entry, "memorycycles", static_cast<int>(d.memoryCycles)));
    return RecoveryInRange(r);
}

HealthSettings ReadHealth(size_t entry)
{
    HealthSettings h = DefaultHealth();
    h.heartbeatFile = ToWide(g_config.GetText(entry, "heartbeatfile", CStrA()));
    h.heartbeatSeconds = NotBelowZero(g_config.GetInt(entry, "heartbeattime", static_cast<int>(h.heartbeatSeconds)));
    h.healthUrl = ToWide(g_config.GetText(entry, "healthurl", CStrA()));
    h.cpuLimitPercent = NotBelowZero(g_config.GetInt(entry, "cpulimit", 0));
    h.cpuCycles = NotBelowZero(g_config.GetInt(entry, "cpucycles", static_cast<int>(h.cpuCycles)));
    h.graceSeconds = NotBelowZero(g_config.GetInt(entry, "healthgrace", static_cast<int>(h.graceSeconds)));
    h.failureCycles = NotBelowZero(g_config.GetInt(entry, "healthcycles", static_cast<int>(h.failureCycles)));
    return HealthInRange(h);
}

HealthSettings OwnHealthCopy(const HealthSettings& health)
{
    HealthSettings copy = health;
    copy.heartbeatFile = OwnCopy(health.heartbeatFile);
    copy.healthUrl = OwnCopy(health.healthUrl);
    return copy;
}

} // namespace

HealthSettings DefaultHealth()
{
    return {CStrW(),
            kDefaultHeartbeatSeconds,
            CStrW(),
            0,
            kDefaultCpuCycles,
            kDefaultHealthGraceSeconds,
            kDefaultHealthCycles};
}

HealthSettings HealthInRange(HealthSettings h)
{
    auto atMost = [](DWORD value, DWORD most) { return value < most ? value : most; };
    h.heartbeatSeconds =
        h.heartbeatSeconds < 1 ? kDefaultHeartbeatSeconds : atMost(h.heartbeatSeconds, kLongestSeconds);
    h.cpuLimitPercent = atMost(h.cpuLimitPercent, kMostCpuPercent);
    h.cpuCycles = h.cpuCycles < 1 ? kDefaultCpuCycles : atMost(h.cpuCycles, kMostCycles);
    h.graceSeconds = atMost(h.graceSeconds, kLongestSeconds);
    h.failureCycles = h.failureCycles < 1 ? kDefaultHealthCycles : atMost(h.failureCycles, kMostCycles);
    return h;
}

CArray<CMonitorItem> g_monitorList(ReleaseRecord);
std::atomic<size_t> g_programCount{0};

CCriticalSection& TableLock()
{
    // Made once, never deleted: exit watchers may still take it at exit.
    static CCriticalSection* lock = new CCriticalSection;
    return *lock;
}

void LoadMonitorList()
{
    size_t n = g_config.EntryCount();
    {
        CLock lock(TableLock());
        g_monitorList.ResizeArray(n);
        g_programCount = n;
        for (size_t j = 0; j < n; ++j) {
            size_t entry = j + 1;
            CMonitorItem& record = g_monitorList.At(j);
            record.name = ToWide(g_config.GetText(entry, "procname", CStrA()));
            record.path = ToWide(g_config.GetText(entry, "procpath", CStrA()));
            record.errflag = ToWide(g_config.GetText(entry, "errflag", CStrA()));
            record.command = ToWide(g_config.GetText(entry, "command", CStrA()));
            record.messageValue = static_cast<DWORD>(g_config.GetInt(entry, "message", 0));
            record.parameters = ToWide(g_config.GetText(entry, "arg", CStrA()));
            record.rowColour = kRowRed;
            record.recovery = ReadRecovery(entry);
            record.health = ReadHealth(entry);
            PlaceFromText(g_config.GetText(entry, "placement", CStrA()).c_str(), &record.place);
        }
    }
    for (size_t j = 0; j < n; ++j) {
        CStrW longPath = FoundLongPath(CopyProgramText(j, &CMonitorItem::path));
        CLock lock(TableLock());
        if (j < g_programCount)
            g_monitorList.At(j).longPath = static_cast<CStrW&&>(longPath);
    }
    SetListItemCount(g_programListView, n);
    for (size_t j = 0; j < n; ++j) {
        long long stored = g_config.GetInt(j + 1, "hwnd", 0);
        AttachLoadedRecord(j, WindowFromStoredValue(stored));
    }
}

bool AppendProgram(CMonitorItem& record)
{
    if (record.path.IsEmpty() || !record.window)
        return false;
    size_t count = 0;
    bool found = false;
    CStrW longPath = LongFullPath(record.path.c_str(), &found);
    const PathView& view = ThisProcessPathView();
    {
        CLock lock(TableLock());
        // Compared by the long paths found when each was added, so the check
        // of each listed program is text alone; one whose file was not there
        // then is looked up again.
        for (size_t i = 0; i < g_programCount; ++i) {
            const CMonitorItem& listed = g_monitorList.At(i);
            if (listed.longPath.IsEmpty() ? SamePath(listed.path.c_str(), record.path.c_str())
                                          : SamePath(listed.longPath.c_str(), longPath.c_str(), view))
                return false;
        }
        record.longPath.Release();
        if (found)
            record.longPath = static_cast<CStrW&&>(longPath);
        if (!g_monitorList.Append(record))
            return false;
        count = g_monitorList.Count();
        g_programCount = count;
    }
    StartExitWatcher(count - 1, nullptr);
    ExcludeFromErrorReporting(ProgramFileNames(count - 1));
    SetListItemCount(g_programListView, count);
    return true;
}

void RemoveProgram(size_t index)
{
    size_t count = 0;
    CStrW leaving = ProgramFileNames(index);
    {
        CLock lock(TableLock());
        if (index >= g_programCount)
            return;
        DetachExitWatcher(g_monitorList.At(index));
        g_monitorList.RemoveAt(index);
        count = g_monitorList.Count();
        g_programCount = count;
    }
    ReadmitToErrorReporting(leaving);
    g_config.RemoveEntry(index + 1);
    SetListItemCount(g_programListView, count);
    RepaintProgramList();
}

void ClearPrograms()
{
    CStrW leaving = ProgramFileNames();
    {
        CLock lock(TableLock());
        for (size_t i = 0; i < g_programCount; ++i)
            DetachExitWatcher(g_monitorList.At(i));
        g_monitorList.ResizeArray(0);
        g_programCount = 0;
    }
    ReadmitToErrorReporting(leaving);
    // The entries go too, or the cleared programs would be back at the next start.
    while (g_config.EntryCount() > 0 && g_config.RemoveEntry(1)) {
    }
    SetListItemCount(g_programListView, 0);
    RepaintProgramList();
}

void SaveMonitorList(size_t index)
{
    ProgramView view;
    if (!CopyProgram(index, &view))
        return;
    size_t entry = index + 1;
    g_config.SetInt(entry, "hwnd", StoredWindowValue(view.window));
    WriteRecoveryKeys(entry, view.recovery);
    WriteHealthKeys(entry, view.health);
    if (view.place.known)
        g_config.SetText(entry, "placement", PlaceToText(view.place));
    const struct {
        const char* key;
        const CStrW& text;
    } texts[] = {{"classname", view.className},
                 {"procpath", view.path},
                 {"procname", view.name},
                 {"errflag", view.errflag},
                 {"title", view.title}};
    for (const auto& t : texts) {
        if (!t.text.IsEmpty())
            g_config.SetText(entry, t.key, ToNarrow(t.text));
    }
}

bool CopyProgram(size_t index, ProgramView* view)
{
    CLock lock(TableLock());
    if (index >= g_programCount)
        return false;
    const CMonitorItem& record = g_monitorList.At(index);
    view->window = record.window;
    view->processId = record.processId;
    view->rowColour = record.rowColour;
    view->title = OwnCopy(record.title);
    view->className = OwnCopy(record.className);
    view->path = OwnCopy(record.path);
    view->name = OwnCopy(record.name);
    view->errflag = OwnCopy(record.errflag);
    view->command = OwnCopy(record.command);
    view->parameters = OwnCopy(record.parameters);
    view->messageValue = record.messageValue;
    view->subroutineAddress = record.subroutineAddress;
    view->recovery = record.recovery;
    view->place = record.place;
    view->shortRuns = record.shortRuns;
    // A restart held back only to keep one start a period is no backoff.
    view->heldWaitMs = record.restartDueTick && record.shortRuns ? record.restartWaitMs : 0;
    view->ending = record.ending;
    view->health = OwnHealthCopy(record.health);
    for (int i = 0; i < kCheckCount; ++i)
        view->checks[i] = record.checks[i];
    view->longPath = OwnCopy(record.longPath);
    view->counts = record.counts;
    view->restartDueTick = record.restartDueTick;
    return true;
}

CStrW CopyProgramText(size_t index, CStrW CMonitorItem::*field)
{
    CLock lock(TableLock());
    if (index >= g_programCount)
        return CStrW();
    return OwnCopy(g_monitorList.At(index).*field);
}

DWORD ProgramProcessId(size_t index)
{
    CLock lock(TableLock());
    return index < g_programCount ? g_monitorList.At(index).processId : 0;
}

COLORREF ProgramRowColour(size_t index)
{
    CLock lock(TableLock());
    return index < g_programCount ? g_monitorList.At(index).rowColour : kRowRed;
}

bool SetProgramAttachment(size_t index, DWORD processId, HWND window)
{
    CLock lock(TableLock());
    if (index >= g_programCount || !RunGoesOn())
        return false;
    CMonitorItem& record = g_monitorList.At(index);
    record.processId = processId;
    record.window = window;
    return true;
}

void SetProgramWindowFacts(size_t index, CStrW& title, CStrW& className)
{
    CLock lock(TableLock());
    if (index >= g_programCount || !RunGoesOn())
        return;
    CMonitorItem& record = g_monitorList.At(index);
    record.title = static_cast<CStrW&&>(title);
    record.className = static_cast<CStrW&&>(className);
}

void SetProgramSettings(size_t index, CStrW& command, DWORD messageValue, CStrW& parameters)
{
    CLock lock(TableLock());
    if (index >= g_programCount)
        return;
    CMonitorItem& record = g_monitorList.At(index);
    record.command = static_cast<CStrW&&>(command);
    record.messageValue = messageValue;
    record.parameters = static_cast<CStrW&&>(parameters);
}

RecoverySettings RecoveryInRange(RecoverySettings r)
{
    auto atMost = [](DWORD value, DWORD most) { return value < most ? value : most; };
    r.stableSeconds = atMost(r.stableSeconds, kLongestSeconds);
    r.backoffCapSeconds = atMost(r.backoffCapSeconds, kLongestSeconds);
    r.memoryLimitMb = atMost(r.memoryLimitMb, kLargestLimitMb);
    r.memoryCycles = r.memoryCycles < 1 ? kLoadedProgramRecovery.memoryCycles : atMost(r.memoryCycles, kMostCycles);
    return r;
}

void WriteRecoveryKeys(size_t entry, const RecoverySettings& r)
{
    g_config.SetInt(entry, "stabletime", r.stableSeconds);
    g_config.SetInt(entry, "backoffmax", r.backoffCapSeconds);
    g_config.SetInt(entry, "keepplacement", r.keepPlacement ? 1 : 0);
    g_config.SetInt(entry, "memorylimit", r.memoryLimitMb);
    g_config.SetInt(entry, "memorycycles", r.memoryCycles);
}

void SetProgramHealth(size_t index, HealthSettings& health)
{
    CLock lock(TableLock());
    if (index >= g_programCount)
        return;
    CMonitorItem& record = g_monitorList.At(index);
    record.health.heartbeatFile = static_cast<CStrW&&>(health.heartbeatFile);
    record.health.healthUrl = static_cast<CStrW&&>(health.healthUrl);
    HealthSettings numbers = HealthInRange(health);
    record.health.heartbeatSeconds = numbers.heartbeatSeconds;
    record.health.cpuLimitPercent = numbers.cpuLimitPercent;
    record.health.cpuCycles = numbers.cpuCycles;
    record.health.graceSeconds = numbers.graceSeconds;
    record.health.failureCycles = numbers.failureCycles;
}

void WriteHealthKeys(size_t entry, const HealthSettings& h)
{
    g_config.SetText(entry, "heartbeatfile", ToNarrow(h.heartbeatFile));
    g_config.SetInt(entry, "heartbeattime", h.heartbeatSeconds);
    g_config.SetText(entry, "healthurl", ToNarrow(h.healthUrl));
    g_config.SetInt(entry, "cpulimit", h.cpuLimitPercent);
    g_config.SetInt(entry, "cpucycles", h.cpuCycles);
    g_config.SetInt(entry, "healthgrace", h.graceSeconds);
    g_config.SetInt(entry, "healthcycles", h.failureCycles);
}

void SetProgramRecovery(size_t index, const RecoverySettings& recovery)
{
    CLock lock(TableLock());
    if (index < g_programCount)
        g_monitorList.At(index).recovery = recovery;
}

void StoreWindowPlaces()
{
    for (size_t i = 0; i < g_programCount; ++i) {
        ProgramView view;
        if (!CopyProgram(i, &view))
            break;
        if (view.place.known)
            g_config.SetText(i + 1, "placement", PlaceToText(view.place));
    }
}

void SetProgramRowColour(size_t index, COLORREF colour)
{
    CLock lock(TableLock());
    if (index < g_programCount && RunGoesOn())
        g_monitorList.At(index).rowColour = colour;
}

void SetProgramSubroutine(size_t index, LRESULT result)
{
    CLock lock(TableLock());
    if (index < g_programCount && RunGoesOn())
        g_monitorList.At(index).subroutineAddress = result;
}

void SetProgramStartTick(size_t index, ULONGLONG tick)
{
    CLock lock(TableLock());
    if (index >= g_programCount || !RunGoesOn())
        return;
    CMonitorItem& record = g_monitorList.At(index);
    // A new run: the old instance's watcher, which may not have noted its end
    // yet, must not note it as this run's.
    if (tick)
        DetachExitWatcher(record);
    record.lastStartTick = tick;
    record.exitTick = 0;
    record.restartDueTick = 0;
    for (CheckRecord& check : record.checks)
        check.failures = 0;
    record.placeAttempts = record.recovery.keepPlacement ? kPutBackAttempts : 0;
    record.placeTick = 0;
    record.probeRefused = false;
}

void SetProgramEnding(size_t index, bool ending)
{
    CLock lock(TableLock());
    if (index < g_programCount && RunGoesOn())
        g_monitorList.At(index).ending = ending;
}

void CountProgramEvent(size_t index, ProgramCounter counter, int check)
{
    CLock lock(TableLock());
    if (index >= g_programCount || !RunGoesOn())
        return;
    ProgramCounts& counts = g_monitorList.At(index).counts;
    switch (counter) {
    case ProgramCounter::Restart:
        ++counts.restarts;
        counts.lastStartSeconds = static_cast<long long>(_time64(nullptr));
        break;
    case ProgramCounter::HangKill:
        ++counts.hangKills;
        break;
    case ProgramCounter::ErrorWindowClosed:
        ++counts.errorWindowsClosed;
        break;
    case ProgramCounter::Crash:
        ++counts.crashes;
        break;
    case ProgramCounter::HealthFailure:
        if (check >= 0 && check < kCheckCount)
            ++counts.healthFailures[check];
        break;
    }
}

bool KillProgramProcess(size_t index)
{
    DWORD processId = ProgramProcessId(index);
    if (processId == 0)
        return true;
    return KillProcessRunning(processId, CopyProgramText(index, &CMonitorItem::path));
}

void CopyInstanceIds(size_t except, CArray<DWORD>* ids)
{
    CLock lock(TableLock());
    for (size_t i = 0; i < g_programCount; ++i) {
        DWORD id = g_monitorList.At(i).processId;
        if (i != except && id)
            ids->Append(id);
    }
}

void SetProgramAnswered(size_t index, bool answered)
{
    CLock lock(TableLock());
    if (index < g_programCount && RunGoesOn())
        g_monitorList.At(index).answered = answered;
}

bool NoteStartResult(size_t index, DWORD error)
{
    CLock lock(TableLock());
    if (index >= g_programCount || !RunGoesOn())
        return true;
    DWORD& noted = g_monitorList.At(index).lastStartError;
    bool news = noted != error;
    noted = error;
    return news;
}

bool AttachRunningInstance(size_t index, DWORD processId, HWND window)
{
    CStrW title = GetWindowTextString(window);
    CStrW className = GetWindowClassString(window);
    {
        CLock lock(TableLock());
        if (index >= g_programCount || !RunGoesOn())
            return false;
        CMonitorItem& record = g_monitorList.At(index);
        record.window = window;
        record.processId = processId;
        record.title = static_cast<CStrW&&>(title);
        record.className = static_cast<CStrW&&>(className);
        record.answered = false;
        record.probeRefused = false;
        record.lastStartError = 0;
        record.rowColour = kRowBlack;
    }
    StartExitWatcher(index, nullptr);
    RepaintProgramList();
    NotifyProgramsChanged();
    return true;
}

} // namespace tw
