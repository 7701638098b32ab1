#include "monitor/error_log.h"

#include "core/clock.h"
#include "core/handle.h"
#include "monitor/ui_links.h"

#include <commdlg.h>

#include <stdio.h>

namespace tw {

CErrorLog g_errorLog;

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

void CErrorLog::Add(const wchar_t* text)
{
    CErrorLogEntry entry = {};
    entry.seconds = NowSeconds();
    entry.text.AssignChars(text, 0);
    {
        CLock lock(LogLock());
        if (m_entries.Count() < kLogCapacity) {
            m_entries.Append(entry);
        } else {
            // The oldest entry's slot takes the new one.
            CErrorLogEntry& oldest = m_entries.At(m_first);
            oldest.seconds = entry.seconds;
            oldest.text = static_cast<CStrW&&>(entry.text);
            m_first = (m_first + 1) % kLogCapacity;
            ++m_dropped;
        }
    }
    // Outside the lock: the window thread takes it to draw the rows.
    SetListItemCount(m_listView, RowCount());
}

const CErrorLogEntry& CErrorLog::Kept(size_t i) const
{
    return m_entries.At((m_first + i) % m_entries.Count());
}

void CErrorLog::AddFormat(const wchar_t* pattern, ...)
{
    CStrW text;
    va_list args;
    va_start(args, pattern);
    text.FormatArgs(pattern, args);
    va_end(args);
    Add(text.c_str());
}

size_t CErrorLog::Count() const
{
    CLock lock(LogLock());
    return m_entries.Count();
}

unsigned long long CErrorLog::Dropped() const
{
    CLock lock(LogLock());
    return m_dropped;
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
            *number = m_dropped + i + 1;
    }
    if (time)
        *time = FormatTimeText(seconds);
    return true;
}

size_t CErrorLog::RowCount() const
{
    CLock lock(LogLock());
    return m_entries.Count() + (m_dropped > 0 ? 1 : 0);
}

bool CErrorLog::ReadRow(size_t row, CStrW* number, CStrW* time, CStrW* text) const
{
    unsigned long long dropped = Dropped();
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
    unsigned long long n = 0;
    if (!ReadEntry(row, time, text, &n))
        return false;
    number->Format(L"%llu", n);
    return true;
}

void CErrorLog::SetListView(HWND list)
{
    m_listView = list;
    SetListItemCount(list, RowCount());
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
            wchar_t number[24] = {0};
            FormatToBuffer(number, 24, L"%03llu", m_dropped + i + 1);
            text.AppendChars(number, 0);
            text.AppendChars(L"\t", 1);
            CStrW time = FormatTimeText(entry.seconds);
            text.AppendChars(time.Text(), time.Length());
            text.AppendChars(L"\t", 1);
            text.AppendChars(entry.text.Text(), entry.text.Length());
            text.AppendChars(L"\r\n", 2);
        }
    }
    // Code page 936 as always when it holds the whole log; GB18030, which
    // keeps 936's bytes for the rest, when a text needs more.
    CStrA bytes;
    if (!ToCodePage936(text, &bytes))
        bytes = ToNarrow(text);
    return bytes;
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
    m_dropped = 0;
}

} // namespace tw
