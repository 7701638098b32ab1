// The error log on disk: the "logs" folder beside config.xml, where every
// entry is appended, as it is added, to the newest file as one line in the
// export's format ("NNN\ttime\ttext\r\n"). Each line goes in code page 936
// when 936 holds all of it and in GB18030 otherwise, so a reader that knows
// GB18030 reads every line right and one that knows only 936 reads all but
// the characters 936 lacks.
//
// The files are named "tollwick-N.log", N (ten digits at least) the number
// of their first line; a new one is begun when the next line would take the
// newest past the size limit, and the oldest go so that the folder keeps at
// most the set number of files. Nothing is renamed, so a file another
// program holds open never stops the writing.
//
// A line is one WriteFile through the system's cache to the disk
// (FILE_FLAG_WRITE_THROUGH), so a crash of the program or of the machine
// loses at most the line being written; one cut short is ended before the
// next is appended. (Wine 8 opens the file without O_DSYNC whatever the flag
// says: there a line reaches the system's cache, which outlives a crash of
// the program but not a power cut.) A folder or file that cannot be written costs a
// debugger trace per failure and is tried again later; it never stops the
// caller for longer than the failed call.
#pragma once

#include "core/array.h"
#include "core/handle.h"
#include "core/str.h"
#include "monitor/error_log.h"

#include <windows.h>

namespace tw {

constexpr unsigned long long kDefaultLogFileKb = 1024;
constexpr unsigned long long kLargestLogFileKb = 1024 * 1024;
constexpr size_t kDefaultLogFileCount = 5;

enum class LogWrite {
    Written,
    Failed,
    // The first failure of the run: the caller says so once in the log.
    FirstFailure,
};

class CLogFolder {
public:
    CLogFolder();

    // Sets the folder (ending with '\'), the size limit of a file and the
    // number of files kept. Nothing is opened until the first line.
    void Open(const CStrW& folder, unsigned long long fileBytes, size_t fileCount);
    const CStrW& Folder() const { return m_folder; }

    // The newest entries of the files, at most max, oldest first, with their
    // own numbers and times; lines that are not entries are passed over.
    void ReadNewest(size_t max, CArray<CErrorLogEntry>* entries) const;

    // Held around numbering an entry and appending its line, so the lines
    // reach the file in their numbers' order. A kernel mutex: one left by a
    // thread that was ended by force is taken over, not waited on for ever.
    class Hold {
    public:
        explicit Hold(CLogFolder& folder);
        ~Hold();
        Hold(const Hold&) = delete;
        Hold& operator=(const Hold&) = delete;

    private:
        HANDLE m_mutex;
    };

    // Appends the entry's line (under a Hold). On a failure, FailedPath and
    // FailedError say what failed.
    LogWrite Append(unsigned long long number, long long seconds, const wchar_t* text);
    const CStrW& FailedPath() const { return m_failedPath; }
    DWORD FailedError() const { return m_failedError; }

    // Closes the current file (tests; the program's stays open to the end).
    void Close();

private:
    DWORD Write(unsigned long long number, const CStrA& line);
    DWORD OpenFile(unsigned long long number, size_t lineBytes);
    DWORD OpenExisting(const CStrW& path, size_t lineBytes);
    void Prune(const CStrW& keep) const;

    CStrW m_folder;
    unsigned long long m_fileBytes = kDefaultLogFileKb * 1024;
    size_t m_fileCount = kDefaultLogFileCount;
    CHandle m_mutex;
    CHandle m_file;
    CStrW m_path;
    unsigned long long m_size = 0;
    // The file ends inside a line (a crash, a short write): the next line
    // begins with CR LF.
    bool m_brokenTail = false;
    // After a failed open, the next try waits a while.
    ULONGLONG m_retryAfter = 0;
    bool m_failing = false;
    bool m_failureReported = false;
    CStrW m_failedPath;
    DWORD m_failedError = 0;
};

// The line of an entry as the file and the export hold it, before encoding.
void AppendLogLine(CStrW& out, unsigned long long number, long long seconds, const wchar_t* text, size_t length);
// The bytes of a line, or of the export's lines together: code page 936 when
// it holds the whole text, GB18030 otherwise.
CStrA EncodeLogLine(const CStrW& lines);

// Start-up, before any other thread runs: the folder beside config.xml with
// the sizes of config.xml's logfilesize and logfilecount; the error log
// takes the newest entries of earlier runs from it and appends every entry.
void OpenLogFolder(const CStrW& configDirectory);
// The logs folder ("" before OpenLogFolder).
CStrW LogFolderPath();

} // namespace tw
