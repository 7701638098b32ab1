#include "monitor/health_check.h"

#include "core/handle.h"
#include "monitor/error_log.h"
#include "monitor/launch.h"
#include "monitor/monitor.h"
#include "monitor/monitor_run.h"

namespace tw {

bool (*g_cpuTimesSeam)(DWORD processId, ULONGLONG* busy) = nullptr;

namespace {

// Adding a check: its row in a file of its own, its id in HealthCheckId and
// its place here.
const HealthCheck* const kTable[kCheckCount] = {&kMemoryCheck, &kHeartbeatCheck, &kEndpointCheck, &kCpuCheck};

enum class Outcome { Nothing, Act, Recovered };

// Copies what the checks read, under the one lock that also clears the
// verdicts of checks turned off; false while there is nothing to check: no
// instance, one being ended, or a hung window's kill on its way.
bool ReadCheckInput(size_t index, CheckInput* input)
{
    CLock lock(TableLock());
    if (index >= g_programCount)
        return false;
    const CMonitorItem& record = g_monitorList.At(index);
    if (record.processId == 0 || record.ending || record.pendingHangTimer.dueTick)
        return false;
    input->index = index;
    input->processId = record.processId;
    input->window = record.window;
    input->name.AssignChars(record.name.c_str(), 0);
    input->path.AssignChars(record.path.c_str(), 0);
    input->recovery = record.recovery;
    // Field by field: the record's strings are copied, never shared.
    const HealthSettings& health = record.health;
    input->health.heartbeatFile.AssignChars(health.heartbeatFile.c_str(), 0);
    input->health.heartbeatSeconds = health.heartbeatSeconds;
    input->health.healthUrl.AssignChars(health.healthUrl.c_str(), 0);
    input->health.cpuLimitPercent = health.cpuLimitPercent;
    input->health.cpuCycles = health.cpuCycles;
    input->health.graceSeconds = health.graceSeconds;
    input->health.failureCycles = health.failureCycles;
    input->periodMs = static_cast<DWORD>(g_periodMs);
    // A check turned off forgets its verdict, so that nothing stale is shown.
    for (int id = 0; id < kCheckCount && RunGoesOn(); ++id) {
        if (!kTable[id]->enabled(*input))
            g_monitorList.At(index).checks[id] = CheckRecord();
    }
    return true;
}

// A new instance starts every count from none, with no verdict yet.
void ResetCounts(size_t index, DWORD processId)
{
    CLock lock(TableLock());
    if (index >= g_programCount || !RunGoesOn() || g_monitorList.At(index).processId != processId)
        return;
    for (CheckRecord& check : g_monitorList.At(index).checks) {
        check.failures = 0;
        check.verdict = Verdict::Unknown;
    }
}

// Notes a verdict of check id for the instance processId and tells whether
// the check must act now, or has just seen the program well again after it
// acted.
Outcome NoteVerdict(size_t index, DWORD processId, int id, Verdict verdict, const CheckReading& reading, DWORD cycles)
{
    CLock lock(TableLock());
    if (index >= g_programCount || !RunGoesOn() || g_monitorList.At(index).processId != processId)
        return Outcome::Nothing;
    CheckRecord& check = g_monitorList.At(index).checks[id];
    // No reading yet (a probe still at work) keeps the last verdict shown.
    if (verdict == Verdict::Unknown)
        return Outcome::Nothing;
    check.verdict = verdict;
    check.reading = reading;
    if (verdict == Verdict::Pass) {
        check.failures = 0;
        if (!check.acted)
            return Outcome::Nothing;
        check.acted = false;
        return Outcome::Recovered;
    }
    if (++check.failures < (cycles ? cycles : 1))
        return Outcome::Nothing;
    check.failures = 0;
    check.acted = true;
    return Outcome::Act;
}

// Asks the instance to close and ends it when the hang grace has passed
// without it ending. A stop of monitoring meanwhile leaves it to close by
// itself.
void CloseThenEnd(size_t index, DWORD processId, HWND window)
{
    CHandle process(OpenProcess(SYNCHRONIZE, FALSE, processId));
    DWORD owner = 0;
    bool asked = window && GetWindowThreadProcessId(window, &owner) && owner == processId &&
                 PostMessageW(window, WM_CLOSE, 0, 0);
    if (asked && process) {
        DWORD result = WaitUnlessStopped(process.Get(), g_hangGraceMs);
        if (result == WAIT_OBJECT_0 || result == WAIT_ABANDONED)
            return;
    }
    if (RunGoesOn())
        EndInstance(index);
}

bool WithinGrace(const CheckInput& input, const HealthWork& work)
{
    return GetTickCount64() - work.seenTick < static_cast<ULONGLONG>(input.health.graceSeconds) * 1000;
}

} // namespace

HealthWork::~HealthWork()
{
    ReleaseEndpointProbe(endpoint);
}

const HealthCheck& HealthCheckRow(int id)
{
    return *kTable[id >= 0 && id < kCheckCount ? id : 0];
}

void RunHealthChecks(size_t index, HealthWork& work)
{
    CheckInput input{};
    if (!ReadCheckInput(index, &input))
        return;
    if (input.processId != work.processId) {
        work.processId = input.processId;
        work.seenTick = GetTickCount64();
        work.cpuTick = 0;
        ResetCounts(index, input.processId);
    }
    for (int id = 0; id < kCheckCount && RunGoesOn(); ++id) {
        const HealthCheck& check = *kTable[id];
        if (!check.enabled(input))
            continue;
        CheckReading reading = {0, 0};
        Verdict verdict =
            check.graced && WithinGrace(input, work) ? Verdict::Unknown : check.probe(input, work, &reading);
        DWORD cycles = check.cyclesToAct(input);
        Outcome outcome = NoteVerdict(index, input.processId, id, verdict, reading, cycles);
        CStrW line;
        if (outcome == Outcome::Recovered) {
            check.recoveryLine(input, &line);
            g_errorLog.Add(ProgramEvent(EventKind::HealthRecovery, index, id), line.c_str());
        } else if (outcome == Outcome::Act) {
            check.failureLine(input, reading, cycles, &line);
            CountProgramEvent(index, ProgramCounter::HealthFailure, id);
            g_errorLog.Add(ProgramEvent(EventKind::HealthFailure, index, id), line.c_str());
            CloseThenEnd(index, input.processId, input.window);
            return;
        }
    }
}

CStrW FailingCheckText(const ProgramView& view)
{
    CStrW text;
    for (int id = 0; id < kCheckCount && text.IsEmpty(); ++id) {
        if (view.checks[id].verdict == Verdict::Fail)
            kTable[id]->failureText(view.health, view.recovery, view.checks[id].reading, &text);
    }
    return text;
}

CStrW CheckLines(const ProgramView& view)
{
    CheckInput input{};
    input.recovery = view.recovery;
    input.health = view.health;
    CStrW lines;
    for (int id = 0; id < kCheckCount; ++id) {
        if (!kTable[id]->enabled(input))
            continue;
        // A failure's text names its check itself.
        const CheckRecord& check = view.checks[id];
        CStrW line;
        if (check.verdict == Verdict::Fail) {
            kTable[id]->failureText(view.health, view.recovery, check.reading, &line);
        } else {
            line.AssignChars(kTable[id]->name, 0);
            line.AppendChars(check.verdict == Verdict::Pass ? L"：正常" : L"：尚无结论", 0);
        }
        lines.AppendChars(L"  ", 0);
        lines.AppendChars(line.c_str(), 0);
        lines.AppendChars(L"\r\n", 0);
    }
    return lines;
}

} // namespace tw
