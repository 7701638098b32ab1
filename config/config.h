// The configuration store: config.xml beside the executable, held in memory
// as a TinyXML document and written only at the program's save points.
//
// Global settings are attributes of the root element (index 0); program entry
// N (N >= 1) is the N-th child element named "config" of the root: comments,
// text and other elements among them are no entries, and stay as they are.
// Values are GB18030 text (ToNarrow); numbers are "%lld" decimal read back
// with atoll. Used only from the user interface thread.
//
// The file is read in the encoding it really has (UTF-8, UTF-16, GB18030 or
// code page 936) and written with CR LF line ends in code page 936, declared
// as gb2312, when 936 holds all of its text, and otherwise in GB18030,
// declared as such, so that nothing is lost.
#pragma once

#include "core/str.h"

#include "tinyxml.h"

#include <stddef.h>

namespace tw {

class CConfig {
public:
    // Opens config.xml in the executable's directory.
    bool Open();
    // Opens config.xml in the given directory (which ends with '\'). A file
    // that is missing becomes the first-run file; one that exists but cannot
    // be loaded is first kept aside under a new name. False only when the
    // first-run document itself cannot be made.
    bool OpenIn(const CStrW& directory);

    // "@1" names the root, "@1/@N" its N-th child node; a component may also
    // be an element name. Null when a step finds nothing.
    TiXmlNode* FindNode(const char* path) const;

    CStrA GetText(size_t index, const char* key, const CStrA& fallback) const;
    long long GetInt(size_t index, const char* key, int fallback) const;
    // Entry N one past the last is created; further ones store nothing.
    bool SetText(size_t index, const char* key, const char* value);
    bool SetText(size_t index, const char* key, const CStrA& value) { return SetText(index, key, value.c_str()); }
    bool SetInt(size_t index, const char* key, long long value);
    // Removes entry N (N >= 1) with its content; later entries move up.
    bool RemoveEntry(size_t index);
    // The program entries.
    size_t EntryCount() const;

    // Writes the document through a temporary file in the same folder that
    // then replaces config.xml in one step, so the file is never left half
    // written. A failed save keeps the previous file and the document.
    bool Save();
    // The bytes that Save writes.
    CStrA FileText() const;

    CStrW GetRebootTime() const;
    CStrW GetDailyCloseTime() const;
    CStrW GetDailyRunTime() const;
    bool SetDailyCloseTime(const CStrW& text);
    bool SetDailyRunTime(const CStrW& text);
    bool SetBootStart(int value) { return SetInt(0, "bootstart", value); }
    bool SetMonitorTime(int value) { return SetInt(0, "monitortime", value); }
    bool SetCloseApp(int value) { return SetInt(0, "closeapp", value); }
    bool SetUnresponseTime(int value) { return SetInt(0, "unresponsetime", value); }
    bool SetAutoStartMonitor(int value) { return SetInt(0, "autostartmonitor", value); }
    bool SetAutoReboot(int value) { return SetInt(0, "autoreboot", value); }
    bool SetTimingCloseCheck(int value) { return SetInt(0, "timingclosecheck", value); }
    bool SetTimingRunCheck(int value) { return SetInt(0, "timingruncheck", value); }

    // The file path in GB18030; null before Open.
    const CStrA& Path() const { return m_path; }
    const CStrW& WidePath() const { return m_widePath; }
    // Where a damaged file was kept at Open; empty when none was.
    const CStrW& KeptFilePath() const { return m_keptPath; }

private:
    enum class LoadResult { Loaded, Missing, Damaged };
    LoadResult LoadDocument();
    bool MakeFirstRunDocument();
    bool KeepDamagedFile();
    TiXmlElement* Root() const;
    // The root for index 0, program entry N for N >= 1; null when missing.
    TiXmlElement* Entry(size_t index) const;
    void RemoveDeclarations();

    TiXmlDocument m_document;
    CStrA m_path;
    CStrW m_widePath;
    CStrW m_keptPath;
    // A damaged file that could not be kept aside is not overwritten until
    // it can be.
    bool m_damagedFileUnkept = false;
};

extern CConfig g_config;

} // namespace tw
