#include "monitor/memory_ceiling.h"

#include "core/handle.h"
#include "monitor/health_check.h"

#include <psapi.h>

namespace tw {

namespace {

constexpr ULONGLONG kMb = 1024 * 1024;

bool MemoryEnabled(const CheckInput& input)
{
    return input.recovery.memoryLimitMb != 0;
}

DWORD MemoryCycles(const CheckInput& input)
{
    return input.recovery.memoryCycles >= 1 ? input.recovery.memoryCycles : 3;
}

// The reading is in MB.
Verdict ProbeMemory(const CheckInput& input, HealthWork&, CheckReading* reading)
{
    ULONGLONG bytes = ProcessPrivateBytes(input.processId);
    if (bytes == 0)
        return Verdict::Unknown;
    reading->value = bytes / kMb;
    return bytes > input.recovery.memoryLimitMb * kMb ? Verdict::Fail : Verdict::Pass;
}

void MemoryFailureLine(const CheckInput& input, const CheckReading& reading, DWORD cycles, CStrW* line)
{
    line->Format(L"进程\"%s\"占用私有内存%llu MB, 连续%lu次超过上限%lu MB, 关闭后重新启动, 进程ID为:%lu",
                 input.name.c_str(), reading.value, cycles, input.recovery.memoryLimitMb, input.processId);
}

void MemoryRecoveryLine(const CheckInput& input, CStrW* line)
{
    line->Format(L"进程\"%s\"重启后私有内存已在上限%lu MB以内, 进程ID为:%lu", input.name.c_str(),
                 input.recovery.memoryLimitMb, input.processId);
}

void MemoryFailureText(const HealthSettings&, const RecoverySettings& recovery, const CheckReading& reading,
                       CStrW* text)
{
    text->Format(L"内存 %llu MB 超过上限 %lu MB", reading.value, recovery.memoryLimitMb);
}

} // namespace

const HealthCheck kMemoryCheck = {L"内存上限", MemoryEnabled,     MemoryCycles,       false,
                                  ProbeMemory, MemoryFailureLine, MemoryRecoveryLine, MemoryFailureText};

ULONGLONG ProcessPrivateBytes(DWORD processId)
{
    if (processId == 0)
        return 0;
    CHandle process(OpenProcess(PROCESS_QUERY_LIMITED_INFORMATION | PROCESS_VM_READ, FALSE, processId));
    // Windows 7 wants the full query right for the memory counters.
    if (!process)
        process.Reset(OpenProcess(PROCESS_QUERY_INFORMATION | PROCESS_VM_READ, FALSE, processId));
    PROCESS_MEMORY_COUNTERS_EX counters = {};
    counters.cb = sizeof(counters);
    if (!process || !K32GetProcessMemoryInfo(process.Get(), reinterpret_cast<PROCESS_MEMORY_COUNTERS*>(&counters),
                                             sizeof(counters)))
        return 0;
    return counters.PrivateUsage ? counters.PrivateUsage : counters.PagefileUsage;
}

} // namespace tw
