// The error report log: the events of one run (restarts, hangs, kills, error
// dialogs), each with its UTC+8 time stamp. Entries are only ever appended,
// so an entry's number is its 1-based position. Any thread may add; readers
// get copies of their own, taken under the log's lock.
#pragma once

#include "core/array.h"
#include "core/str.h"

#include <windows.h>

namespace tw {

// "2023-11-15 06:13:20": the time value (seconds since 1970 UTC; 0 means
// now) on the UTC+8 wall clock, whatever the machine's time zone.
CStrW FormatTimeText(long long seconds);

struct CErrorLogEntry {
    CStrW time;
    CStrW text;
};

class CErrorLog {
public:
    CErrorLog();

    // Appends an entry stamped now, then tells the list view its new count.
    void Add(const wchar_t* text);
    void AddFormat(const wchar_t* pattern, ...);

    size_t Count() const;
    // Copies of entry i's texts (0-based); false when there is none.
    bool ReadEntry(size_t i, CStrW* time, CStrW* text) const;

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
    CArray<CErrorLogEntry> m_entries;
    HWND m_listView = nullptr;
};

extern CErrorLog g_errorLog;

} // namespace tw
