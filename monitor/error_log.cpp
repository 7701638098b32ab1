#include "monitor/error_log.h"

#include "core/app_messages.h"
#include "core/clock.h"
#include "core/handle.h"
#include "monitor/event_queue.h"
#include "monitor/fleet.h"
#include "monitor/log_file.h"
#include "monitor/ui_links.h"

#include <commdlg.h>

#include <stdio.h>

namespace tw {

CErrorLog g_errorLog;
void (*g_whileNumbering)() = nullptr;

namespace {

void ReleaseEntry(size_t, void* element)
{
    static_cast<CErrorLogEntry*>(element)->text.Release();
}

// Guards the entries and their count. Made once, never deleted: a monitor
// thread may still be adding while the process exits.
CCriticalSection& LogLock()
{
    static CCriticalSection* lock = new CCriticalSection;
    return *lock;
}

long long NowSeconds()
{
    return static_cast<long long>(_time64(nullptr));
}

} // namespace

CStrW FormatTimeText(long long seconds)
{
    struct tm parts;
    CStrW text;
    if (!BreakDownUtc8(seconds, &parts))
        return text;
    text.Format(L"%d-%02d-%02d %02d:%02d:%02d", parts.tm_year + 1900, parts.tm_mon + 1, parts.tm_mday, parts.tm_hour,
                parts.tm_min, parts.tm_sec);
    return text;
}

CErrorLog::CErrorLog() : m_entries(ReleaseEntry) {}

unsigned long long CErrorLog::Keep(CErrorLogEntry& entry, long long* seconds, FleetEvent* fleet)
{
    CLock lock(LogLock());
    // Stamped under the lock, so that the times go up with the numbers.
    entry.seconds = *seconds = NowSeconds();
    unsigned long long number = m_nextNumber;
    if (g_whileNumbering)
        g_whileNumbering();
    m_nextNumber = number + 1;
    entry.number = number;
    if (fleet) {
        fleet->number = number;
        fleet->seconds = entry.seconds;
        HandOverEvent(*fleet);
    }
    if (m_entries.Count() < kLogCapacity) {
        m_entries.Append(entry);
    } else {
        // The oldest entry's slot takes the new one.
        CErrorLogEntry& oldest = m_entries.At(m_first);
        oldest.number = entry.number;
        oldest.seconds = entry.seconds;
        oldest.text = static_cast<CStrW&&>(entry.text);
        m_first = (m_first + 1) % kLogCapacity;
        if (m_earlier > 0)
            --m_earlier;
    }
    return number;
}

void CErrorLog::Add(const LogEvent& event, const wchar_t* text)
{
    // The program's facts are copied before the log's lock is taken: the
    // table's lock must never be taken inside it.
    FleetEvent fleet = {};
    FleetEvent* handOver = PrepareFleetEvent(event, text, &fleet) ? &fleet : nullptr;
    CErrorLogEntry entry = {};
    entry.text.AssignChars(text, 0);
    CLogFolder* folder = m_folder;
    LogWrite written = LogWrite::Written;
    CStrW failedPath;
    DWORD failedError = 0;
    long long seconds = 0;
    if (!folder) {
        Keep(entry, &seconds, handOver);
    } else {
        // The number and the line under one hold, so the lines reach the file
        // in order; the list's lock is free again before the disk is written.
        CLogFolder::Hold hold(*folder);
        unsigned long long number = Keep(entry, &seconds, handOver);
        written = folder->Append(number, seconds, text ? text : L"");
        if (written == LogWrite::FirstFailure) {
            failedPath = folder->FailedPath();
            failedError = folder->FailedError();
        }
    }
    // Outside every lock: the window thread takes them to draw the rows.
    TellListView();
    if (written == LogWrite::FirstFailure)
        AddFormat({EventKind::WriteFailed}, L"写入日志文件失败, 路径为:%s, 错误代码为:%lu", failedPath.c_str(),
                  failedError);
}

void CErrorLog::TellListView()
{
    HWND list = m_listView;
    if (!list)
        return;
    if (GetWindowThreadProcessId(list, nullptr) == GetCurrentThreadId()) {
        SetListItemCount(list, RowCount());
        return;
    }
    HWND window = g_engineWindow;
    if (window && !m_rowsPosted.exchange(true) && !PostMessageW(window, WM_TW_LOG_GROWN, 0, 0))
        m_rowsPosted = false;
}

void CErrorLog::ShowNewRows()
{
    // Cleared first: an entry added from here on posts again.
    m_rowsPosted = false;
    SetListItemCount(m_listView, RowCount());
}

const CErrorLogEntry& CErrorLog::Kept(size_t i) const
{
    return m_entries.At((m_first + i) % m_entries.Count());
}

void CErrorLog::AddFormat(const LogEvent& event, const wchar_t* pattern, ...)
{
    CStrW text;
    va_list args;
    va_start(args, pattern);
    text.FormatArgs(pattern, args);
    va_end(args);
    Add(event, text.c_str());
}

size_t CErrorLog::Count() const
{
    CLock lock(LogLock());
    return m_entries.Count();
}

unsigned long long CErrorLog::Dropped() const
{
    CLock lock(LogLock());
    if (m_entries.Count() < kLogCapacity)
        return 0;
    return Kept(0).number - 1;
}

size_t CErrorLog::EarlierCount() const
{
    CLock lock(LogLock());
    return m_earlier;
}

bool CErrorLog::ReadEntry(size_t i, CStrW* time, CStrW* text, unsigned long long* number) const
{
    long long seconds = 0;
    {
        CLock lock(LogLock());
        if (i >= m_entries.Count())
            return false;
        const CErrorLogEntry& entry = Kept(i);
        seconds = entry.seconds;
        // A copy of its own: no string record is shared across threads.
        if (text)
            text->AssignChars(entry.text.c_str(), 0);
        if (number)
            *number = entry.number;
    }
    if (time)
        *time = FormatTimeText(seconds);
    return true;
}

size_t CErrorLog::RowCount() const
{
    CLock lock(LogLock());
    size_t count = m_entries.Count();
    bool dropped = count == kLogCapacity && Kept(0).number > 1;
    return count + (dropped ? 1 : 0) + (m_earlier > 0 ? 1 : 0);
}

bool CErrorLog::ReadRow(size_t row, CStrW* number, CStrW* time, CStrW* text) const
{
    unsigned long long dropped = 0;
    size_t entry = 0;
    bool separator = false;
    {
        CLock lock(LogLock());
        size_t count = m_entries.Count();
        if (count == kLogCapacity)
            dropped = Kept(0).number - 1;
        if (dropped > 0) {
            if (row == 0) {
                number->AssignChars(L"...", 0);
                time->Release();
                text->Format(L"已省略较早的 %llu 条记录 (列表只保留最新的 %llu 条)", dropped,
                             static_cast<unsigned long long>(kLogCapacity));
                return true;
            }
            --row;
        }
        separator = m_earlier > 0 && row == m_earlier;
        entry = m_earlier > 0 && row > m_earlier ? row - 1 : row;
    }
    if (separator) {
        number->AssignChars(L"---", 0);
        time->Release();
        text->AssignChars(L"以上为之前运行的记录, 以下为本次运行的记录", 0);
        return true;
    }
    unsigned long long n = 0;
    if (!ReadEntry(entry, time, text, &n))
        return false;
    number->Format(L"%llu", n);
    return true;
}

void CErrorLog::SetListView(HWND list)
{
    m_listView = list;
    SetListItemCount(list, RowCount());
}

void CErrorLog::UseFolder(CLogFolder* folder)
{
    if (folder && Count() == 0) {
        CArray<CErrorLogEntry> earlier(ReleaseEntry);
        folder->ReadNewest(kLogCapacity, &earlier);
        CLock lock(LogLock());
        for (size_t i = 0; i < earlier.Count(); ++i)
            m_entries.Append(earlier.At(i));
        m_earlier = earlier.Count();
        if (m_earlier > 0)
            m_nextNumber = Kept(m_earlier - 1).number + 1;
        earlier.Destroy();
    }
    m_folder = folder;
    SetListItemCount(m_listView, RowCount());
}

CStrA CErrorLog::BuildExportText() const
{
    CStrW text;
    {
        CLock lock(LogLock());
        size_t count = m_entries.Count();
        text.Reserve(count * 100);
        for (size_t i = 0; i < count; ++i) {
            const CErrorLogEntry& entry = Kept(i);
            AppendLogLine(text, entry.number, entry.seconds, entry.text.c_str(), entry.text.Length());
        }
    }
    // Code page 936 as always when it holds the whole log; GB18030, which
    // keeps 936's bytes for the rest, when a text needs more.
    return EncodeLogLine(text);
}

// The file is opened by its wide path, so any name the dialog offers works.
bool CErrorLog::WriteTextFile(const CStrW& path) const
{
    if (path.IsEmpty())
        return false;
    CStrA text = BuildExportText();
    FILE* file = nullptr;
    if (_wfopen_s(&file, path.c_str(), L"wb+") != 0 || !file)
        return false;
    // The text and its terminating zero byte, in one write.
    size_t size = text.Length() + 1;
    size_t written = fwrite(text.c_str(), 1, size, file);
    bool closed = fclose(file) == 0;
    return written == size && closed;
}

bool CErrorLog::ExportToTextFile(HWND owner, const CStrW& initialDirectory)
{
    wchar_t fileName[260] = L"错误日志";
    wchar_t fileTitle[20] = {0};
    OPENFILENAMEW ofn = {};
    ofn.lStructSize = sizeof(ofn);
    ofn.hwndOwner = owner;
    ofn.lpstrFilter = L"文本文件\0*.txt\0";
    ofn.lpstrFile = fileName;
    ofn.nMaxFile = 260;
    ofn.lpstrFileTitle = fileTitle;
    ofn.nMaxFileTitle = 20;
    ofn.lpstrInitialDir = initialDirectory.Text();
    ofn.lpstrTitle = L"导出错误日志";
    ofn.Flags = OFN_EXPLORER | OFN_OVERWRITEPROMPT | OFN_NOCHANGEDIR;
    ofn.lpstrDefExt = L".txt";
    if (!GetSaveFileNameW(&ofn))
        return false;
    return WriteTextFile(CStrW(fileName));
}

void CErrorLog::ResetForTest()
{
    CLock lock(LogLock());
    m_entries.ResizeArray(0);
    m_first = 0;
    m_nextNumber = 1;
    m_earlier = 0;
    m_folder = nullptr;
}

} // namespace tw
