#include "monitor/memory_ceiling.h"

#include "core/handle.h"
#include "monitor/error_log.h"
#include "monitor/launch.h"
#include "monitor/monitor.h"
#include "monitor/monitor_run.h"
#include "monitor/program_table.h"

#include <psapi.h>

namespace tw {

namespace {

constexpr ULONGLONG kMb = 1024 * 1024;

// What the check needs of the record, copied under the lock; false when the
// program has no limit or a delayed kill is already on its way.
bool ReadCeiling(size_t index, DWORD* processId, HWND* window, ULONGLONG* limitMb)
{
    CLock lock(TableLock());
    if (index >= g_programCount)
        return false;
    CMonitorItem& record = g_monitorList.At(index);
    if (record.recovery.memoryLimitMb == 0 || record.pendingHangTimer.dueTick || record.processId == 0) {
        record.cyclesOverLimit = 0;
        return false;
    }
    *processId = record.processId;
    *window = record.window;
    *limitMb = record.recovery.memoryLimitMb;
    return true;
}

// Counts one more cycle above the limit (or starts again from none); true
// when the count has reached the program's number of cycles, which then
// starts again from none.
bool CountCycle(size_t index, DWORD processId, bool over, DWORD* cycles, CStrW* name)
{
    CLock lock(TableLock());
    if (index >= g_programCount || !RunGoesOn() || g_monitorList.At(index).processId != processId)
        return false;
    CMonitorItem& record = g_monitorList.At(index);
    if (!over) {
        record.cyclesOverLimit = 0;
        return false;
    }
    *cycles = record.recovery.memoryCycles >= 1 ? record.recovery.memoryCycles : 3;
    if (++record.cyclesOverLimit < *cycles)
        return false;
    record.cyclesOverLimit = 0;
    name->AssignChars(record.name.Text(), 0);
    return true;
}

// Asks the instance to close and ends it when the grace has passed without
// it ending. A stop of monitoring meanwhile leaves it to close by itself.
void CloseOverLimit(size_t index, DWORD processId, HWND window)
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
    EndInstance(index);
}

} // namespace

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

void CheckMemoryCeiling(size_t index)
{
    DWORD processId = 0;
    HWND window = nullptr;
    ULONGLONG limitMb = 0;
    if (!ReadCeiling(index, &processId, &window, &limitMb))
        return;
    ULONGLONG bytes = ProcessPrivateBytes(processId);
    if (bytes == 0)
        return;
    DWORD cycles = 0;
    CStrW name;
    if (!CountCycle(index, processId, bytes > limitMb * kMb, &cycles, &name))
        return;
    g_errorLog.AddFormat(L"进程\"%s\"占用私有内存%llu MB, 连续%lu次超过上限%llu MB, 关闭后重新启动, 进程ID为:%lu",
                         name.c_str(), bytes / kMb, cycles, limitMb, processId);
    CloseOverLimit(index, processId, window);
}

} // namespace tw
