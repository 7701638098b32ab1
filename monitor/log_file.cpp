#include "monitor/log_file.h"

#include "config/config.h"
#include "core/trace.h"

#include <wchar.h>

namespace tw {

namespace {

const wchar_t kTraceTag[] = L"日志文件";
const wchar_t kNameHead[] = L"tollwick-";
const wchar_t kNameTail[] = L".log";
// A failed open is tried again after this long, not at every line.
constexpr ULONGLONG kRetryMs = 10000;
// Of a file larger than this only its end is read back at start-up: more
// than the list keeps of lines of any usual length.
constexpr DWORD kReadBackBytes = 8 * 1024 * 1024;
// What OpenPath says of a file that has no room for the line.
constexpr DWORD kFileFull = 0xFFFFFFFFu;
constexpr size_t kTimeChars = 19; // "2026-12-07 20:41:05"

CLogFolder* g_logFolder = nullptr;

void ReleaseEntry(size_t, void* element)
{
    static_cast<CErrorLogEntry*>(element)->text.Release();
}

CStrW FileName(const CStrW& folder, unsigned long long number)
{
    wchar_t digits[24] = {0};
    FormatToBuffer(digits, 24, L"%010llu", number);
    CStrW path(folder.c_str());
    path.AppendChars(kNameHead, 0);
    path.AppendChars(digits, 0);
    path.AppendChars(kNameTail, 0);
    return path;
}

// The number in "tollwick-N.log"; false for any other name.
bool NumberOfName(const wchar_t* name, unsigned long long* number)
{
    size_t head = wcslen(kNameHead);
    size_t length = wcslen(name);
    if (length <= head + 4 || _wcsnicmp(name, kNameHead, head) != 0 || _wcsicmp(name + length - 4, kNameTail) != 0)
        return false;
    unsigned long long value = 0;
    for (const wchar_t* c = name + head; c < name + length - 4; ++c) {
        if (*c < L'0' || *c > L'9' || value > 0xFFFFFFFFFFFFFFFULL)
            return false;
        value = value * 10 + static_cast<unsigned>(*c - L'0');
    }
    *number = value;
    return true;
}

// The numbers of the folder's log files, oldest first.
void ScanFiles(const CStrW& folder, CArray<unsigned long long>* numbers)
{
    CStrW pattern(folder.c_str());
    pattern.AppendChars(kNameHead, 0);
    pattern.AppendChars(L"*", 1);
    pattern.AppendChars(kNameTail, 0);
    WIN32_FIND_DATAW found;
    HANDLE search = FindFirstFileW(pattern.c_str(), &found);
    if (search == INVALID_HANDLE_VALUE)
        return;
    do {
        unsigned long long number = 0;
        if (!(found.dwFileAttributes & FILE_ATTRIBUTE_DIRECTORY) && NumberOfName(found.cFileName, &number))
            numbers->Append(number);
    } while (FindNextFileW(search, &found));
    FindClose(search);
    for (size_t i = 1; i < numbers->Count(); ++i) {
        unsigned long long value = numbers->At(i);
        size_t j = i;
        for (; j > 0 && numbers->At(j - 1) > value; --j)
            numbers->At(j) = numbers->At(j - 1);
        numbers->At(j) = value;
    }
}

bool ReadDigits(const char* p, size_t count, int* value)
{
    *value = 0;
    for (size_t i = 0; i < count; ++i) {
        if (p[i] < '0' || p[i] > '9')
            return false;
        *value = *value * 10 + (p[i] - '0');
    }
    return true;
}

long long DaysFromCivil(long long year, int month, int day)
{
    year -= month <= 2;
    long long era = (year >= 0 ? year : year - 399) / 400;
    long long yearOfEra = year - era * 400;
    long long dayOfYear = (153 * (month + (month > 2 ? -3 : 9)) + 2) / 5 + day - 1;
    long long dayOfEra = yearOfEra * 365 + yearOfEra / 4 - yearOfEra / 100 + dayOfYear;
    return era * 146097 + dayOfEra - 719468;
}

// "YYYY-MM-DD hh:mm:ss" on the UTC+8 wall clock back to its time value.
bool ParseTime(const char* p, long long* seconds)
{
    int year, month, day, hour, minute, second;
    if (!ReadDigits(p, 4, &year) || p[4] != '-' || !ReadDigits(p + 5, 2, &month) || p[7] != '-' ||
        !ReadDigits(p + 8, 2, &day) || p[10] != ' ' || !ReadDigits(p + 11, 2, &hour) || p[13] != ':' ||
        !ReadDigits(p + 14, 2, &minute) || p[16] != ':' || !ReadDigits(p + 17, 2, &second))
        return false;
    if (month < 1 || month > 12 || day < 1 || day > 31 || hour > 23 || minute > 59 || second > 60)
        return false;
    *seconds = DaysFromCivil(year, month, day) * 86400 + hour * 3600 + minute * 60 + second - 8 * 3600;
    return true;
}

// A line's text: code page 936 when the bytes are 936 text, else GB18030
// (whose four-byte forms 936 never accepts).
CStrW DecodeText(const char* bytes, size_t count)
{
    CStrW text;
    if (count == 0 || count > 0x7FFFFFFF) {
        text.AssignChars(nullptr, 0);
        return text;
    }
    int n = static_cast<int>(count);
    int wide = MultiByteToWideChar(936, MB_ERR_INVALID_CHARS, bytes, n, nullptr, 0);
    wchar_t* buffer = wide > 0 ? text.Reserve(static_cast<size_t>(wide)) : nullptr;
    if (buffer && MultiByteToWideChar(936, MB_ERR_INVALID_CHARS, bytes, n, buffer, wide) == wide) {
        text.SetLength(static_cast<size_t>(wide));
        return text;
    }
    return ToWide(CStrA(bytes, count));
}

// "NNN\ttime\ttext" (without its CR LF) as an entry; false for anything else.
bool ParseLine(const char* p, size_t length, CErrorLogEntry* entry)
{
    size_t digits = 0;
    unsigned long long number = 0;
    while (digits < length && digits < 19 && p[digits] >= '0' && p[digits] <= '9')
        number = number * 10 + static_cast<unsigned>(p[digits++] - '0');
    if (digits == 0 || number == 0 || length < digits + 2 + kTimeChars || p[digits] != '\t' ||
        p[digits + 1 + kTimeChars] != '\t' || !ParseTime(p + digits + 1, &entry->seconds))
        return false;
    size_t start = digits + 2 + kTimeChars;
    entry->number = number;
    entry->text = DecodeText(p + start, length - start);
    return true;
}

// The entries of one file, oldest first; of a large file only its end.
void ReadEntries(const CStrW& path, CArray<CErrorLogEntry>* entries)
{
    CHandle file(CreateFileW(path.c_str(), GENERIC_READ, FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE,
                             nullptr, OPEN_EXISTING, FILE_ATTRIBUTE_NORMAL, nullptr));
    LARGE_INTEGER size;
    if (!file || !GetFileSizeEx(file.Get(), &size) || size.QuadPart <= 0)
        return;
    DWORD wanted = size.QuadPart > kReadBackBytes ? kReadBackBytes : static_cast<DWORD>(size.QuadPart);
    LARGE_INTEGER from;
    from.QuadPart = size.QuadPart - wanted;
    CStrA bytes;
    char* buffer = bytes.Reserve(wanted);
    DWORD read = 0;
    if (!buffer || !SetFilePointerEx(file.Get(), from, nullptr, FILE_BEGIN) ||
        !ReadFile(file.Get(), buffer, wanted, &read, nullptr))
        return;
    size_t at = 0;
    // Read from the middle of a file, the first line is only its end.
    bool skipFirst = from.QuadPart > 0;
    while (at < read) {
        size_t stop = at;
        while (stop < read && !(buffer[stop] == '\r' && stop + 1 < read && buffer[stop + 1] == '\n'))
            ++stop;
        CErrorLogEntry entry = {};
        if (!skipFirst && ParseLine(buffer + at, stop - at, &entry))
            entries->Append(entry);
        entry.text.Release();
        skipFirst = false;
        at = stop + 2;
    }
}

} // namespace

void AppendLogLine(CStrW& out, unsigned long long number, long long seconds, const wchar_t* text, size_t length)
{
    wchar_t digits[24] = {0};
    FormatToBuffer(digits, 24, L"%03llu", number);
    out.AppendChars(digits, 0);
    out.AppendChars(L"\t", 1);
    CStrW time = FormatTimeText(seconds);
    out.AppendChars(time.Text(), time.Length());
    out.AppendChars(L"\t", 1);
    out.AppendChars(text, length);
    out.AppendChars(L"\r\n", 2);
}

CStrA EncodeLogLine(const CStrW& lines)
{
    CStrA bytes;
    if (!ToCodePage936(lines, &bytes))
        bytes = ToNarrow(lines);
    return bytes;
}

CLogFolder::CLogFolder() : m_mutex(CreateMutexW(nullptr, FALSE, nullptr)) {}

CLogFolder::Hold::Hold(CLogFolder& folder) : m_mutex(folder.m_mutex.Get())
{
    // WAIT_ABANDONED also makes this thread the owner.
    if (m_mutex)
        WaitForSingleObject(m_mutex, INFINITE);
}

CLogFolder::Hold::~Hold()
{
    if (m_mutex)
        ReleaseMutex(m_mutex);
}

void CLogFolder::Open(const CStrW& folder, unsigned long long fileBytes, size_t fileCount)
{
    Close();
    m_folder = folder;
    m_fileBytes = fileBytes > 0 ? fileBytes : kDefaultLogFileKb * 1024;
    m_fileCount = fileCount > 0 ? fileCount : kDefaultLogFileCount;
    m_retryAfter = 0;
}

void CLogFolder::Close()
{
    m_file.Reset();
    m_path.Release();
    m_size = 0;
}

void CLogFolder::ReadNewest(size_t max, CArray<CErrorLogEntry>* entries) const
{
    CArray<unsigned long long> files;
    ScanFiles(m_folder, &files);
    CArray<CErrorLogEntry> newestFirst(ReleaseEntry);
    for (size_t i = files.Count(); i-- > 0 && newestFirst.Count() < max;) {
        CArray<CErrorLogEntry> lines(ReleaseEntry);
        ReadEntries(FileName(m_folder, files.At(i)), &lines);
        for (size_t j = lines.Count(); j-- > 0 && newestFirst.Count() < max;)
            newestFirst.Append(lines.At(j));
        lines.Destroy();
    }
    for (size_t j = newestFirst.Count(); j-- > 0;)
        entries->Append(newestFirst.At(j));
    newestFirst.Destroy();
    files.Destroy();
}

LogWrite CLogFolder::Append(unsigned long long number, long long seconds, const wchar_t* text)
{
    CStrW line;
    AppendLogLine(line, number, seconds, text, 0);
    DWORD error = Write(number, EncodeLogLine(line));
    if (!error) {
        m_failing = false;
        return LogWrite::Written;
    }
    // One trace when writing stops, not one per line.
    if (!m_failing)
        TraceFormat(kTraceTag, L"无法写入 %s, 错误代码: %lu", m_failedPath.c_str(), m_failedError);
    m_failing = true;
    if (m_failureReported)
        return LogWrite::Failed;
    m_failureReported = true;
    return LogWrite::FirstFailure;
}

DWORD CLogFolder::Write(unsigned long long number, const CStrA& line)
{
    // The next line would take the file past its limit: it goes to a new one.
    if (m_file && m_size > 0 && m_size + line.Length() > m_fileBytes)
        Close();
    if (!m_file) {
        DWORD error = OpenFile(number, line.Length());
        if (error)
            return error;
    }
    CStrA bytes;
    if (m_brokenTail)
        bytes.AssignChars("\r\n", 2);
    bytes.AppendChars(line.c_str(), line.Length());
    DWORD written = 0;
    BOOL ok = WriteFile(m_file.Get(), bytes.c_str(), static_cast<DWORD>(bytes.Length()), &written, nullptr);
    if (ok && written == bytes.Length()) {
        m_size += written;
        m_brokenTail = false;
        return 0;
    }
    DWORD error = ok ? ERROR_HANDLE_DISK_FULL : GetLastError();
    m_failedPath = m_path;
    m_failedError = error;
    // Opened again for the next line, which then checks how the file ends.
    Close();
    return error;
}

// The newest file when the line fits in it, else a new one named for the
// line's number; then the oldest files beyond the count go.
DWORD CLogFolder::OpenFile(unsigned long long number, size_t lineBytes)
{
    if (GetTickCount64() < m_retryAfter)
        return m_failedError;
    CreateDirectoryW(m_folder.c_str(), nullptr);
    CArray<unsigned long long> files;
    ScanFiles(m_folder, &files);
    DWORD error = kFileFull;
    unsigned long long newest = files.Count() > 0 ? files.At(files.Count() - 1) : 0;
    if (files.Count() > 0)
        error = OpenExisting(FileName(m_folder, newest), lineBytes);
    files.Destroy();
    // A full newest file, or one another program holds: a new one, whose
    // name is never the newest's, even where the numbering began again.
    if (error)
        error = OpenExisting(FileName(m_folder, number > newest ? number : newest + 1), 0);
    if (error) {
        m_retryAfter = GetTickCount64() + kRetryMs;
        return error;
    }
    Prune(m_path);
    return 0;
}

// Opens path for appending (made when missing). With lineBytes, a file that
// has no room for the line is left closed (kFileFull).
DWORD CLogFolder::OpenExisting(const CStrW& path, size_t lineBytes)
{
    // Appending access: every write lands at the end, whatever else has the
    // file open; others may read, write and delete it meanwhile.
    CHandle file(CreateFileW(path.c_str(), GENERIC_READ | FILE_APPEND_DATA,
                             FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE, nullptr, OPEN_ALWAYS,
                             FILE_ATTRIBUTE_NORMAL | FILE_FLAG_WRITE_THROUGH, nullptr));
    LARGE_INTEGER size = {};
    if (!file || !GetFileSizeEx(file.Get(), &size)) {
        DWORD error = GetLastError();
        m_failedPath = path;
        m_failedError = error ? error : ERROR_OPEN_FAILED;
        return m_failedError;
    }
    unsigned long long bytes = static_cast<unsigned long long>(size.QuadPart);
    if (lineBytes > 0 && bytes > 0 && bytes + lineBytes > m_fileBytes)
        return kFileFull;
    // A file cut inside a line gets its line ended first.
    bool broken = false;
    if (bytes > 0) {
        LARGE_INTEGER last;
        last.QuadPart = size.QuadPart - 1;
        char tail = 0;
        DWORD read = 0;
        broken = SetFilePointerEx(file.Get(), last, nullptr, FILE_BEGIN) &&
                 ReadFile(file.Get(), &tail, 1, &read, nullptr) && read == 1 && tail != '\n';
    }
    m_file = static_cast<CHandle&&>(file);
    m_path = path;
    m_size = bytes;
    m_brokenTail = broken;
    m_retryAfter = 0;
    return 0;
}

void CLogFolder::Prune(const CStrW& keep) const
{
    CArray<unsigned long long> files;
    ScanFiles(m_folder, &files);
    size_t count = files.Count();
    for (size_t i = 0; i < files.Count() && count > m_fileCount; ++i) {
        CStrW path = FileName(m_folder, files.At(i));
        if (_wcsicmp(path.c_str(), keep.c_str()) == 0)
            continue;
        if (DeleteFileW(path.c_str()))
            --count;
        else
            TraceFormat(kTraceTag, L"无法删除旧的日志文件 %s, 错误代码: %lu", path.c_str(), GetLastError());
    }
    files.Destroy();
}

void OpenLogFolder(const CStrW& configDirectory)
{
    // Lives to the end of the process: a monitor thread may still write
    // while it exits.
    if (!g_logFolder)
        g_logFolder = new CLogFolder;
    long long kb = g_config.GetInt(0, "logfilesize", static_cast<int>(kDefaultLogFileKb));
    if (kb < 1)
        kb = static_cast<long long>(kDefaultLogFileKb);
    if (static_cast<unsigned long long>(kb) > kLargestLogFileKb)
        kb = static_cast<long long>(kLargestLogFileKb);
    long long count = g_config.GetInt(0, "logfilecount", static_cast<int>(kDefaultLogFileCount));
    if (count < 1)
        count = static_cast<long long>(kDefaultLogFileCount);
    CStrW folder(configDirectory.c_str());
    folder.AppendChars(L"logs\\", 0);
    g_logFolder->Open(folder, static_cast<unsigned long long>(kb) * 1024, static_cast<size_t>(count));
    g_errorLog.UseFolder(g_logFolder);
}

CStrW LogFolderPath()
{
    return g_logFolder ? g_logFolder->Folder() : CStrW();
}

} // namespace tw
