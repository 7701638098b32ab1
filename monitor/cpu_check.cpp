// A pegged processor: the share of one core that the process used between
// two cycles, against the program's limit, for the set periods in a row.
#include "core/handle.h"
#include "monitor/health_check.h"

namespace tw {

namespace {

bool CpuEnabled(const CheckInput& input)
{
    return input.health.cpuLimitPercent != 0;
}

DWORD CpuCycles(const CheckInput& input)
{
    return input.health.cpuCycles;
}

ULONGLONG FileTimeValue(const FILETIME& time)
{
    return (static_cast<ULONGLONG>(time.dwHighDateTime) << 32) | time.dwLowDateTime;
}

// Kernel and user time of the process so far, in 100 ns units.
bool ReadBusyTime(DWORD processId, ULONGLONG* busy)
{
    if (g_cpuTimesSeam)
        return g_cpuTimesSeam(processId, busy);
    CHandle process(OpenProcess(PROCESS_QUERY_LIMITED_INFORMATION, FALSE, processId));
    FILETIME created, exited, kernel, user;
    if (!process || !GetProcessTimes(process.Get(), &created, &exited, &kernel, &user))
        return false;
    *busy = FileTimeValue(kernel) + FileTimeValue(user);
    return true;
}

// The reading is the percent of one core since the last sample; the first
// sample of an instance gives no verdict.
Verdict ProbeCpu(const CheckInput& input, HealthWork& work, CheckReading* reading)
{
    ULONGLONG busy = 0;
    ULONGLONG now = GetTickCount64();
    if (!ReadBusyTime(input.processId, &busy)) {
        work.cpuTick = 0;
        return Verdict::Unknown;
    }
    ULONGLONG lastBusy = work.cpuBusy, lastTick = work.cpuTick;
    work.cpuBusy = busy;
    work.cpuTick = now;
    if (lastTick == 0 || now <= lastTick || busy < lastBusy)
        return Verdict::Unknown;
    // 100 ns units over milliseconds: busy / (ms * 10000) * 100 percent.
    reading->value = (busy - lastBusy) / ((now - lastTick) * 100);
    return reading->value > input.health.cpuLimitPercent ? Verdict::Fail : Verdict::Pass;
}

void CpuFailureLine(const CheckInput& input, const CheckReading& reading, DWORD cycles, CStrW* line)
{
    line->Format(L"进程\"%s\"占用CPU %llu%%, 连续%lu个周期超过上限%lu%%, 关闭后重新启动, 进程ID为:%lu",
                 input.name.c_str(), reading.value, cycles, input.health.cpuLimitPercent, input.processId);
}

void CpuRecoveryLine(const CheckInput& input, CStrW* line)
{
    line->Format(L"进程\"%s\"重启后CPU占用已在上限%lu%%以内, 进程ID为:%lu", input.name.c_str(),
                 input.health.cpuLimitPercent, input.processId);
}

void CpuFailureText(const HealthSettings& health, const RecoverySettings&, const CheckReading& reading, CStrW* text)
{
    text->Format(L"CPU %llu%% 超过上限 %lu%%", reading.value, health.cpuLimitPercent);
}

} // namespace

const HealthCheck kCpuCheck = {L"CPU上限", CpuEnabled,     CpuCycles,       true,
                               ProbeCpu,   CpuFailureLine, CpuRecoveryLine, CpuFailureText};

} // namespace tw
