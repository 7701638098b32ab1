#include "tests/test_support.h"

#include <algorithm>
#include <vector>

namespace tw_test {

namespace {

// Removes folder (ending with '\') with everything in it, the folders the program under test made included.
void RemoveTree(const std::wstring& folder)
{
    WIN32_FIND_DATAW data;
    HANDLE find = FindFirstFileW((folder + L"*").c_str(), &data);
    for (BOOL more = find != INVALID_HANDLE_VALUE; more; more = FindNextFileW(find, &data)) {
        std::wstring name = data.cFileName, path = folder + name;
        bool sub = data.dwFileAttributes & FILE_ATTRIBUTE_DIRECTORY;
        SetFileAttributesW(path.c_str(), sub ? FILE_ATTRIBUTE_DIRECTORY : FILE_ATTRIBUTE_NORMAL);
        if (!sub)
            DeleteFileW(path.c_str());
        else if (name != L"." && name != L"..")
            RemoveTree(path + L"\\");
    }
    if (find != INVALID_HANDLE_VALUE)
        FindClose(find);
    RemoveDirectoryW(folder.c_str());
}

} // namespace

std::vector<std::wstring> FileNames(std::wstring folder)
{
    std::vector<std::wstring> names;
    if (!folder.empty() && folder.back() != L'\\')
        folder += L'\\';
    WIN32_FIND_DATAW data;
    HANDLE find = FindFirstFileW((folder + L"*").c_str(), &data);
    for (BOOL more = find != INVALID_HANDLE_VALUE; more; more = FindNextFileW(find, &data)) {
        if (!(data.dwFileAttributes & FILE_ATTRIBUTE_DIRECTORY))
            names.push_back(data.cFileName);
    }
    if (find != INVALID_HANDLE_VALUE)
        FindClose(find);
    std::sort(names.begin(), names.end());
    return names;
}

TempDir::TempDir()
{
    wchar_t base[MAX_PATH + 1] = {0};
    GetTempPathW(MAX_PATH, base);
    static LONG counter = 0;
    m_path = base + (L"tollwick-test-" + std::to_wstring(GetCurrentProcessId()) + L"-" +
                     std::to_wstring(GetTickCount()) + L"-" + std::to_wstring(InterlockedIncrement(&counter)) + L"\\");
    CreateDirectoryW(m_path.c_str(), nullptr);
}

TempDir::~TempDir()
{
    RemoveTree(m_path);
}

std::wstring ListFiles(std::wstring folder)
{
    std::wstring list;
    for (const std::wstring& name : FileNames(folder))
        list += name + L";";
    return list;
}

std::string ReadBytes(const std::wstring& path)
{
    std::string bytes;
    HANDLE file = CreateFileW(path.c_str(), GENERIC_READ, FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE,
                              nullptr, OPEN_EXISTING, 0, nullptr);
    char chunk[65536];
    DWORD read = 0;
    while (file != INVALID_HANDLE_VALUE && ReadFile(file, chunk, sizeof(chunk), &read, nullptr) && read > 0)
        bytes.append(chunk, read);
    if (file != INVALID_HANDLE_VALUE)
        CloseHandle(file);
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

std::wstring TextOf(HWND window)
{
    wchar_t text[4096] = {0};
    SendMessageTimeoutW(window, WM_GETTEXT, 4096, reinterpret_cast<LPARAM>(text), SMTO_ABORTIFHUNG, 2000, nullptr);
    return text;
}

HWND FindOwnWindow(DWORD processId, const wchar_t* className, const wchar_t* title)
{
    for (HWND window = FindWindowExW(nullptr, nullptr, className, title); window;
         window = FindWindowExW(nullptr, window, className, title)) {
        DWORD owner = 0;
        GetWindowThreadProcessId(window, &owner);
        if (owner == processId)
            return window;
    }
    return nullptr;
}

std::wstring DialogText(HWND dialog)
{
    std::wstring text;
    for (HWND child = dialog ? FindWindowExW(dialog, nullptr, L"Static", nullptr) : nullptr; child;
         child = FindWindowExW(dialog, child, L"Static", nullptr))
        text += TextOf(child);
    return text;
}

bool Press(HWND dialog, int button)
{
    PostMessageW(dialog, WM_COMMAND, MAKEWPARAM(button, BN_CLICKED), 0);
    return WaitFor([&] { return !IsWindow(dialog); }, 5000);
}

bool SaveAs(HWND dialog, const std::wstring& path)
{
    // The file name box: a combo box with an edit, or an edit in older layouts.
    HWND name = GetDlgItem(dialog, 1148);
    if (HWND edit = FindWindowExW(name, nullptr, L"Edit", nullptr))
        name = edit;
    if (!name)
        name = GetDlgItem(dialog, 1152);
    return name && SendMessageW(name, WM_SETTEXT, 0, reinterpret_cast<LPARAM>(path.c_str())) && Press(dialog, IDOK);
}

} // namespace tw_test
