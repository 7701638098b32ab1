// The error report log: the events of one run (restarts, hangs, kills, error
// dialogs), each with its UTC+8 time stamp. Entries are only ever appended
// and numbered from 1 in order. Memory is bounded: only the newest
// kLogCapacity entries are kept, and the numbers of the kept ones (in the list
// and the export) go on as if none had been dropped. Any thread may add;
// readers get copies of their own, taken under the log's lock.
#pragma once

#include "core/array.h"
#include "core/str.h"

#include <windows.h>

namespace tw {

// "2023-11-15 06:13:20": the time value (seconds since 1970 UTC; 0 means
// now) on the UTC+8 wall clock, whatever the machine's time zone.
CStrW FormatTimeText(long long seconds);

constexpr size_t kLogCapacity = 10000;

// The time is kept as its value and formatted when read: a formatted text
// would take its formatting buffer's 520 bytes in every entry.
struct CErrorLogEntry {
    long long seconds;
    CStrW text;
};

class CErrorLog {
public:
    CErrorLog();

    // Appends an entry stamped now, then tells the list view its new count.
    void Add(const wchar_t* text);
    void AddFormat(const wchar_t* pattern, ...);

    // The entries kept, and how many older ones were dropped.
    size_t Count() const;
    unsigned long long Dropped() const;
    // Copies of kept entry i's texts (0-based, oldest first) and its number;
    // false when there is none.
    bool ReadEntry(size_t i, CStrW* time, CStrW* text, unsigned long long* number = nullptr) const;
    // The rows of the error list: a first row that says how many entries were
    // dropped, when any were, then the kept entries.
    size_t RowCount() const;
    bool ReadRow(size_t row, CStrW* number, CStrW* time, CStrW* text) const;

    // The error list view whose item count follows the log.
    void SetListView(HWND list);

    // Asks for a file with the save dialog and writes the log to it.
    bool ExportToTextFile(HWND owner, const CStrW& initialDirectory);
    // "NNN\ttime\ttext\r\n" per entry, in code page 936 when it holds every
    // text of the log, otherwise in GB18030 (936's bytes and a form for every
    // other character). WriteTextFile adds one 0x00.
    CStrA BuildExportText() const;
    // Replaces the file with the export text; false, writing nothing, when
    // it cannot be opened, and false on a short write.
    bool WriteTextFile(const CStrW& path) const;

    // Drops every entry (for tests; the program's log lives for the run).
    void ResetForTest();

private:
    // A ring once full: m_first is the slot of the oldest kept entry.
    const CErrorLogEntry& Kept(size_t i) const;

    CArray<CErrorLogEntry> m_entries;
    size_t m_first = 0;
    unsigned long long m_dropped = 0;
    HWND m_listView = nullptr;
};

extern CErrorLog g_errorLog;

} // namespace tw
