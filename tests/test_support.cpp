#include "tests/test_support.h"

#include <windows.h>

#include <algorithm>
#include <vector>

namespace tw_test {

namespace {

// Removes folder (ending with '\') with everything in it, the folders
// the program under test made (its logs) included.
void RemoveTree(const std::wstring& folder)
{
    WIN32_FIND_DATAW data;
    HANDLE find = FindFirstFileW((folder + L"*").c_str(), &data);
    if (find != INVALID_HANDLE_VALUE) {
        do {
            std::wstring name = data.cFileName;
            std::wstring path = folder + name;
            if (!(data.dwFileAttributes & FILE_ATTRIBUTE_DIRECTORY)) {
                SetFileAttributesW(path.c_str(), FILE_ATTRIBUTE_NORMAL);
                DeleteFileW(path.c_str());
            } else if (name != L"." && name != L"..") {
                SetFileAttributesW(path.c_str(), FILE_ATTRIBUTE_DIRECTORY);
                RemoveTree(path + L"\\");
            }
        } while (FindNextFileW(find, &data));
        FindClose(find);
    }
    RemoveDirectoryW(folder.c_str());
}

} // namespace

std::vector<std::wstring> FileNames(const std::wstring& folder)
{
    std::vector<std::wstring> names;
    WIN32_FIND_DATAW data;
    HANDLE find = FindFirstFileW((folder + L"*").c_str(), &data);
    if (find == INVALID_HANDLE_VALUE)
        return names;
    do {
        if (!(data.dwFileAttributes & FILE_ATTRIBUTE_DIRECTORY))
            names.push_back(data.cFileName);
    } while (FindNextFileW(find, &data));
    FindClose(find);
    std::sort(names.begin(), names.end());
    return names;
}

TempDir::TempDir()
{
    wchar_t base[MAX_PATH + 1] = {0};
    GetTempPathW(MAX_PATH, base);
    static LONG counter = 0;
    wchar_t name[64] = {0};
    wsprintfW(name, L"tollwick-test-%lu-%lu-%ld\\", GetCurrentProcessId(), GetTickCount(),
              InterlockedIncrement(&counter));
    m_path = std::wstring(base) + name;
    CreateDirectoryW(m_path.c_str(), nullptr);
}

TempDir::~TempDir()
{
    RemoveTree(m_path);
}

void TempDir::Empty() const
{
    for (const std::wstring& name : FileNames(m_path)) {
        std::wstring file = m_path + name;
        SetFileAttributesW(file.c_str(), FILE_ATTRIBUTE_NORMAL);
        DeleteFileW(file.c_str());
    }
}

std::wstring TempDir::ListFiles() const
{
    std::wstring list;
    for (const std::wstring& name : FileNames(m_path))
        list += name + L";";
    return list;
}

int TempDir::FileCount() const
{
    return static_cast<int>(FileNames(m_path).size());
}

bool ReadBytes(const std::wstring& path, std::string* bytes)
{
    HANDLE file = CreateFileW(path.c_str(), GENERIC_READ, FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE,
                              nullptr, OPEN_EXISTING, 0, nullptr);
    if (file == INVALID_HANDLE_VALUE)
        return false;
    bytes->clear();
    char chunk[65536];
    DWORD read = 0;
    bool ok = true;
    while ((ok = ReadFile(file, chunk, sizeof(chunk), &read, nullptr) != FALSE) && read > 0)
        bytes->append(chunk, read);
    CloseHandle(file);
    return ok;
}

std::string ReadBytes(const std::wstring& path)
{
    std::string bytes;
    ReadBytes(path, &bytes);
    return bytes;
}

bool WriteBytes(const std::wstring& path, const std::string& bytes)
{
    HANDLE file = CreateFileW(path.c_str(), GENERIC_WRITE, 0, nullptr, CREATE_ALWAYS, FILE_ATTRIBUTE_NORMAL, nullptr);
    if (file == INVALID_HANDLE_VALUE)
        return false;
    DWORD written = 0;
    bool ok =
        WriteFile(file, bytes.data(), static_cast<DWORD>(bytes.size()), &written, nullptr) && written == bytes.size();
    CloseHandle(file);
    return ok;
}

bool FileExists(const std::wstring& path)
{
    return GetFileAttributesW(path.c_str()) != INVALID_FILE_ATTRIBUTES;
}

} // namespace tw_test
