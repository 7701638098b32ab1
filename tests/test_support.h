// Shared test fixtures: a temporary folder removed with everything in it, and
// whole-file reads and writes.
#pragma once

#include <string>
#include <vector>

namespace tw_test {

class TempDir {
public:
    TempDir();
    ~TempDir();
    TempDir(const TempDir&) = delete;
    TempDir& operator=(const TempDir&) = delete;

    // The folder, ending with '\'.
    const std::wstring& Path() const { return m_path; }
    std::wstring File(const wchar_t* name) const { return m_path + name; }
    // Names of the files in the folder, sorted.
    std::wstring ListFiles() const;
    int FileCount() const;
    // Removes every file in the folder, keeping the folder.
    void Empty() const;

private:
    std::wstring m_path;
};

// Names of the files in folder (ending with '\'), sorted; no folders.
std::vector<std::wstring> FileNames(const std::wstring& folder);

bool ReadBytes(const std::wstring& path, std::string* bytes);
std::string ReadBytes(const std::wstring& path);
bool WriteBytes(const std::wstring& path, const std::string& bytes);
bool FileExists(const std::wstring& path);

} // namespace tw_test
