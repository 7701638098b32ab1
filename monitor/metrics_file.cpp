#include "monitor/metrics_file.h"

#include "monitor/monitor.h"

#include <math.h>

namespace tw {

namespace {

// The per-program metrics, in the file's order.
enum class Figure { Running, Restarts, HangKills, ErrorWindows, Crashes, HealthFailures, BackoffWait, LastStart };

struct Family {
    Figure figure;
    const char* name;
    const char* type;
    const char* help;
};

const Family kProgramFamilies[] = {
    {Figure::Running, "tollwick_program_running", "gauge", "Whether the program runs (1) or not (0)."},
    {Figure::Restarts, "tollwick_program_restarts_total", "counter", "Starts Tollwick made of the program."},
    {Figure::HangKills, "tollwick_program_hang_kills_total", "counter", "Hung instances of the program ended."},
    {Figure::ErrorWindows, "tollwick_program_error_windows_closed_total", "counter",
     "Error windows of the program closed."},
    {Figure::Crashes, "tollwick_program_crashes_total", "counter", "Crashes of the program ended."},
    {Figure::HealthFailures, "tollwick_program_health_failures_total", "counter",
     "Times a health check closed the program."},
    {Figure::BackoffWait, "tollwick_program_backoff_wait_seconds", "gauge",
     "Wait of a restart held back by the backoff; 0: none."},
    {Figure::LastStart, "tollwick_program_last_start_time_seconds", "gauge",
     "When Tollwick last started the program, seconds since 1970; 0: never."},
};

void Append(CStrA* out, const char* text)
{
    out->AppendChars(text, 0);
}

void AppendHeader(CStrA* out, const char* name, const char* type, const char* help)
{
    Append(out, "# HELP ");
    Append(out, name);
    Append(out, " ");
    Append(out, help);
    Append(out, "\n# TYPE ");
    Append(out, name);
    Append(out, " ");
    Append(out, type);
    Append(out, "\n");
}

// A label value: escaped as the format asks, then UTF-8. The conversion puts
// U+FFFD for an unpaired surrogate, so no text can spoil the file.
void AppendLabelValue(CStrA* out, const CStrW& value)
{
    CStrW escaped;
    escaped.AssignChars(nullptr, 0);
    for (const wchar_t* c = value.c_str(); *c; ++c) {
        if (*c == L'\\')
            escaped.AppendChars(L"\\\\", 2);
        else if (*c == L'"')
            escaped.AppendChars(L"\\\"", 2);
        else if (*c == L'\n')
            escaped.AppendChars(L"\\n", 2);
        else
            escaped.AppendChars(c, 1);
    }
    int length = static_cast<int>(escaped.Length());
    if (length == 0)
        return;
    int bytes = WideCharToMultiByte(CP_UTF8, 0, escaped.c_str(), length, nullptr, 0, nullptr, nullptr);
    if (bytes <= 0)
        return;
    CStrA utf8;
    WideCharToMultiByte(CP_UTF8, 0, escaped.c_str(), length, utf8.Reserve(bytes), bytes, nullptr, nullptr);
    utf8.SetLength(bytes);
    out->AppendChars(utf8.c_str(), bytes);
}

// Seconds with up to three decimals, from whole milliseconds: no locale's
// decimal comma can reach the file.
void AppendSeconds(CStrA* out, double seconds)
{
    long long ms = seconds > 0 ? llround(seconds * 1000) : 0;
    out->AppendInt64(ms / 1000);
    int fraction = static_cast<int>(ms % 1000);
    if (!fraction)
        return;
    char digits[5] = {'.', static_cast<char>('0' + fraction / 100), static_cast<char>('0' + fraction / 10 % 10),
                      static_cast<char>('0' + fraction % 10), 0};
    for (int i = 3; digits[i] == '0'; --i)
        digits[i] = 0;
    Append(out, digits);
}

void AppendSample(CStrA* out, const Family& family, size_t index, const ProgramMetrics& program, int check)
{
    Append(out, family.name);
    Append(out, "{entry=\"");
    out->AppendUInt64(index + 1);
    Append(out, "\",program=\"");
    AppendLabelValue(out, program.name);
    Append(out, "\",path=\"");
    AppendLabelValue(out, program.path);
    if (check >= 0) {
        Append(out, "\",check=\"");
        Append(out, HealthCheckKey(check));
    }
    Append(out, "\"} ");
    const ProgramCounts& counts = program.counts;
    switch (family.figure) {
    case Figure::Running:
        out->AppendUInt32(program.running ? 1 : 0);
        break;
    case Figure::Restarts:
        out->AppendUInt64(counts.restarts);
        break;
    case Figure::HangKills:
        out->AppendUInt64(counts.hangKills);
        break;
    case Figure::ErrorWindows:
        out->AppendUInt64(counts.errorWindowsClosed);
        break;
    case Figure::Crashes:
        out->AppendUInt64(counts.crashes);
        break;
    case Figure::HealthFailures:
        out->AppendUInt64(counts.healthFailures[check]);
        break;
    case Figure::BackoffWait:
        AppendSeconds(out, program.backoffWaitSeconds);
        break;
    case Figure::LastStart:
        out->AppendInt64(counts.lastStartSeconds);
        break;
    }
    Append(out, "\n");
}

DWORD WriteWholeFile(const CStrW& path, const CStrA& text)
{
    CHandle file(CreateFileW(path.c_str(), GENERIC_WRITE, 0, nullptr, CREATE_ALWAYS, FILE_ATTRIBUTE_NORMAL, nullptr));
    if (!file)
        return GetLastError();
    DWORD length = static_cast<DWORD>(text.Length());
    DWORD written = 0;
    if (length && !WriteFile(file.Get(), text.c_str(), length, &written, nullptr))
        return GetLastError();
    return written == length ? 0 : ERROR_WRITE_FAULT;
}

constexpr int kReplaceRetries = 10;
constexpr DWORD kReplaceRetryMs = 50;

// A reader holding the old file without FILE_SHARE_DELETE makes Windows
// refuse the replace with access denied or a sharing violation until it lets
// go: such readers are brief, so the replace is tried again a few times.
DWORD MoveIntoPlace(const CStrW& temp, const CStrW& path)
{
    for (int attempt = 0;; ++attempt) {
        if (MoveFileExW(temp.c_str(), path.c_str(), MOVEFILE_REPLACE_EXISTING | MOVEFILE_WRITE_THROUGH))
            return 0;
        DWORD error = GetLastError();
        if ((error != ERROR_ACCESS_DENIED && error != ERROR_SHARING_VIOLATION) || attempt == kReplaceRetries)
            return error;
        Sleep(kReplaceRetryMs);
    }
}

} // namespace

void TakeMetricsSnapshot(bool up, long long startSeconds, TollwickMetrics* metrics)
{
    metrics->up = up;
    metrics->monitoring = g_monitoring == 1;
    metrics->startSeconds = startSeconds;
    CLock lock(TableLock());
    for (size_t i = 0; i < g_programCount; ++i) {
        const CMonitorItem& record = g_monitorList.At(i);
        ProgramMetrics line = {};
        // Copies of their own: the records' counts are never touched here.
        line.name.AssignChars(record.name.c_str(), 0);
        line.path.AssignChars(record.path.c_str(), 0);
        line.running = record.processId && record.rowColour == kRowBlack;
        line.counts = record.counts;
        // A restart held back only to keep one start a period is no backoff.
        bool held = record.restartDueTick && record.shortRuns;
        line.backoffWaitSeconds = held ? record.restartWaitMs / 1000.0 : 0;
        metrics->programs.Append(line);
    }
}

void ReleaseMetrics(TollwickMetrics* metrics)
{
    for (size_t i = 0; i < metrics->programs.Count(); ++i) {
        metrics->programs.At(i).name.Release();
        metrics->programs.At(i).path.Release();
    }
    metrics->programs.Destroy();
    metrics->version.Release();
}

CStrA BuildMetricsText(const TollwickMetrics& metrics)
{
    CStrA out;
    out.AssignChars(nullptr, 0);
    AppendHeader(&out, "tollwick_up", "gauge", "Whether Tollwick is running (1) or has stopped (0).");
    Append(&out, metrics.up ? "tollwick_up 1\n" : "tollwick_up 0\n");
    AppendHeader(&out, "tollwick_build_info", "gauge", "Tollwick's version, in label version; always 1.");
    Append(&out, "tollwick_build_info{version=\"");
    AppendLabelValue(&out, metrics.version);
    Append(&out, "\"} 1\n");
    AppendHeader(&out, "tollwick_monitoring", "gauge", "Whether monitoring is on (1) or off (0).");
    Append(&out, metrics.monitoring ? "tollwick_monitoring 1\n" : "tollwick_monitoring 0\n");
    AppendHeader(&out, "tollwick_start_time_seconds", "gauge", "When Tollwick started, seconds since 1970 (UTC).");
    Append(&out, "tollwick_start_time_seconds ");
    out.AppendInt64(metrics.startSeconds);
    Append(&out, "\n");
    for (const Family& family : kProgramFamilies) {
        AppendHeader(&out, family.name, family.type, family.help);
        for (size_t i = 0; i < metrics.programs.Count(); ++i) {
            const ProgramMetrics& program = metrics.programs.At(i);
            if (family.figure != Figure::HealthFailures) {
                AppendSample(&out, family, i, program, -1);
                continue;
            }
            for (int check = 0; check < kCheckCount; ++check)
                AppendSample(&out, family, i, program, check);
        }
    }
    return out;
}

DWORD ReplaceMetricsFile(const CStrW& path, const CStrA& text)
{
    // Not ending in .prom: a collector never reads a half-written file.
    CStrW temp;
    temp.AssignChars(path.c_str(), 0);
    temp.AppendChars(L".tmp", 4);
    DWORD error = WriteWholeFile(temp, text);
    if (!error)
        error = MoveIntoPlace(temp, path);
    if (error)
        DeleteFileW(temp.c_str());
    return error;
}

} // namespace tw
