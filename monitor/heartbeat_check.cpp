// The heartbeat file: a program whose main loop writes a file while it is
// well fails the check when the file's last write is older than the set
// time, which shows a program that is stuck while its window still answers.
#include "monitor/health_check.h"

#include <wchar.h>

namespace tw {

namespace {

constexpr DWORD kMissing = 1;
constexpr ULONGLONG kTicksPerSecond = 10000000;

bool HeartbeatEnabled(const CheckInput& input)
{
    return !input.health.heartbeatFile.IsEmpty();
}

DWORD HeartbeatCycles(const CheckInput& input)
{
    return input.health.failureCycles;
}

bool IsRelativePath(const wchar_t* path)
{
    bool drive = path[0] && path[1] == L':';
    return !drive && path[0] != L'\\' && path[0] != L'/';
}

// The file's path with %VAR% expanded; a relative path is taken from the
// program's own folder, where a program would write it.
CStrW HeartbeatPath(const CheckInput& input)
{
    CStrW path;
    DWORD size = ExpandEnvironmentStringsW(input.health.heartbeatFile.c_str(), nullptr, 0);
    wchar_t* buffer = size ? path.Reserve(size) : nullptr;
    if (!buffer || ExpandEnvironmentStringsW(input.health.heartbeatFile.c_str(), buffer, size) != size)
        return CStrW(input.health.heartbeatFile.c_str());
    path.SetLength(wcslen(buffer));
    if (!IsRelativePath(path.c_str()))
        return path;
    const wchar_t* program = input.path.c_str();
    const wchar_t* slash = wcsrchr(program, L'\\');
    if (!slash)
        return path;
    CStrW joined(program, static_cast<size_t>(slash - program) + 1);
    joined.AppendChars(path.c_str(), 0);
    return joined;
}

// The reading is the file's age in seconds, or kMissing.
Verdict ProbeHeartbeat(const CheckInput& input, HealthWork&, CheckReading* reading)
{
    WIN32_FILE_ATTRIBUTE_DATA data;
    if (!GetFileAttributesExW(HeartbeatPath(input).c_str(), GetFileExInfoStandard, &data)) {
        reading->kind = kMissing;
        return Verdict::Fail;
    }
    FILETIME now;
    GetSystemTimeAsFileTime(&now);
    ULARGE_INTEGER written, current;
    written.LowPart = data.ftLastWriteTime.dwLowDateTime;
    written.HighPart = data.ftLastWriteTime.dwHighDateTime;
    current.LowPart = now.dwLowDateTime;
    current.HighPart = now.dwHighDateTime;
    // A write stamped ahead of the clock (a clock set back) counts as fresh.
    ULONGLONG age = current.QuadPart > written.QuadPart ? (current.QuadPart - written.QuadPart) / kTicksPerSecond : 0;
    reading->value = age;
    return age > input.health.heartbeatSeconds ? Verdict::Fail : Verdict::Pass;
}

void HeartbeatFailureLine(const CheckInput& input, const CheckReading& reading, DWORD, CStrW* line)
{
    if (reading.kind == kMissing)
        line->Format(L"进程\"%s\"心跳文件\"%s\"不存在, 关闭后重新启动, 进程ID为:%lu", input.name.c_str(),
                     HeartbeatPath(input).c_str(), input.processId);
    else
        line->Format(L"进程\"%s\"心跳文件已 %llu 秒未更新 (上限 %lu 秒), 关闭后重新启动, 进程ID为:%lu",
                     input.name.c_str(), reading.value, input.health.heartbeatSeconds, input.processId);
}

void HeartbeatRecoveryLine(const CheckInput& input, CStrW* line)
{
    line->Format(L"进程\"%s\"重启后心跳文件已恢复更新, 进程ID为:%lu", input.name.c_str(), input.processId);
}

void HeartbeatFailureText(const HealthSettings& health, const RecoverySettings&, const CheckReading& reading,
                          CStrW* text)
{
    if (reading.kind == kMissing)
        text->AssignChars(L"心跳文件不存在", 0);
    else
        text->Format(L"心跳文件 %llu 秒未更新 (上限 %lu 秒)", reading.value, health.heartbeatSeconds);
}

} // namespace

const HealthCheck kHeartbeatCheck = {L"心跳文件",    HeartbeatEnabled,     HeartbeatCycles,       true,
                                     ProbeHeartbeat, HeartbeatFailureLine, HeartbeatRecoveryLine, HeartbeatFailureText};

} // namespace tw
