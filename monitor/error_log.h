// The error report log: the events of the program (restarts, hangs, kills,
// error dialogs, its own start and exit), each with its UTC+8 time stamp.
// Entries are only ever appended and numbered in order. Memory is bounded:
// only the newest kLogCapacity entries are kept, and the numbers of the kept
// ones (in the list and the export) go on as if none had been dropped. With
// a logs folder (monitor/log_file.h) every entry also goes to disk as it is
// added, the numbering goes on from earlier runs, and the newest entries of
// earlier runs come first in the list. Any thread may add; readers get
// copies of their own, taken under the log's lock, which is never held
// while the disk is written.
#pragma once

#include "core/array.h"
#include "core/str.h"
#include "monitor/events.h"

#include <windows.h>

#include <atomic>

namespace tw {

// "2023-11-15 06:13:20": the time value (seconds since 1970 UTC; 0 means
// now) on the UTC+8 wall clock, whatever the machine's time zone.
CStrW FormatTimeText(long long seconds);

constexpr size_t kLogCapacity = 10000;

// For tests: null in the program. Called while an entry takes its number,
// between the read of the next number and the store of the one after it, so
// that a test can hold that moment open for other threads.
extern void (*g_whileNumbering)();

// The time is kept as its value and formatted when read: a formatted text
// would take its formatting buffer's 520 bytes in every entry.
struct CErrorLogEntry {
    unsigned long long number;
    long long seconds;
    CStrW text;
};

class CLogFolder;
struct FleetEvent;

class CErrorLog {
public:
    CErrorLog();

    // Appends an entry stamped now (and its line to the logs folder), hands
    // it to the fleet's outputs with its kind and program, then tells the
    // list view its new count.
    void Add(const LogEvent& event, const wchar_t* text);
    void AddFormat(const LogEvent& event, const wchar_t* pattern, ...);

    // The entries kept; how many older ones the full list leaves out (those
    // numbered before its first entry); how many kept ones are earlier runs'.
    size_t Count() const;
    unsigned long long Dropped() const;
    size_t EarlierCount() const;
    // Copies of kept entry i's texts (0-based, oldest first) and its number;
    // false when there is none.
    bool ReadEntry(size_t i, CStrW* time, CStrW* text, unsigned long long* number = nullptr) const;
    // The rows of the error list: a first row that says how many entries were
    // dropped, when any were, then the kept entries, with a row between
    // earlier runs' and this run's.
    size_t RowCount() const;
    bool ReadRow(size_t row, CStrW* number, CStrW* time, CStrW* text) const;

    // The error list view whose item count follows the log. An entry added
    // on another thread than the list's is posted to the engine window
    // (monitor/ui_links.h), which calls ShowNewRows: no thread waits on the
    // list's.
    void SetListView(HWND list);
    void ShowNewRows();

    // From now on every entry is also appended to the folder's files. An
    // empty log first takes the newest entries of earlier runs from them and
    // numbers on after the last. Start-up only, before other threads add.
    void UseFolder(CLogFolder* folder);

    // Asks for a file with the save dialog and writes the log to it.
    bool ExportToTextFile(HWND owner, const CStrW& initialDirectory);
    // "NNN\ttime\ttext\r\n" per entry, in code page 936 when it holds every
    // text of the log, otherwise in GB18030 (936's bytes and a form for every
    // other character). WriteTextFile adds one 0x00.
    CStrA BuildExportText() const;
    // Replaces the file with the export text; false, writing nothing, when
    // it cannot be opened, and false on a short write.
    bool WriteTextFile(const CStrW& path) const;

    // Drops every entry and the folder (for tests; the program's log lives
    // for the run).
    void ResetForTest();

private:
    // A ring once full: m_first is the slot of the oldest kept entry. The
    // caller holds the lock.
    const CErrorLogEntry& Kept(size_t i) const;
    // Stamps and keeps the entry (the lock taken inside) and, under the same
    // lock, hands fleet (when not null) over with the entry's number and
    // time; returns the number and time.
    unsigned long long Keep(CErrorLogEntry& entry, long long* seconds, FleetEvent* fleet);

    CArray<CErrorLogEntry> m_entries;
    size_t m_first = 0;
    unsigned long long m_nextNumber = 1;
    // The oldest m_earlier kept entries are earlier runs'.
    size_t m_earlier = 0;
    // Set at start-up, before any other thread runs; read without the lock.
    CLogFolder* m_folder = nullptr;
    HWND m_listView = nullptr;
    // Set while a post for new rows is on its way, so that many entries in a
    // row make one post.
    std::atomic<bool> m_rowsPosted{false};
    void TellListView();
};

extern CErrorLog g_errorLog;

} // namespace tw
