// Shared by the test programs, the benchmark and the soak driver: a temporary folder, whole-file reads and
// writes, waiting for a condition, another process's windows and dialogs, and moments on the UTC+8 clock.
#pragma once

#include <windows.h>

#include <time.h>

#include <string>
#include <vector>

namespace tw_test {

// A folder of its own in the temporary folder, removed with all in it.
class TempDir {
public:
    TempDir();
    ~TempDir();
    TempDir(const TempDir&) = delete;
    TempDir& operator=(const TempDir&) = delete;

    // The folder, ending with '\'.
    const std::wstring& Path() const { return m_path; }
    std::wstring File(const wchar_t* name) const { return m_path + name; }

private:
    std::wstring m_path;
};

// The names of the files in a folder, sorted (no folders); as one text, each followed by ';'.
std::vector<std::wstring> FileNames(std::wstring folder);
std::wstring ListFiles(std::wstring folder);
std::string ReadBytes(const std::wstring& path);
bool WriteBytes(const std::wstring& path, const std::string& bytes);
bool FileExists(const std::wstring& path);

template <typename Done> bool WaitFor(Done done, DWORD timeoutMs)
{
    for (ULONGLONG start = GetTickCount64(); GetTickCount64() - start < timeoutMs; Sleep(20)) {
        if (done())
            return true;
    }
    return done();
}

// A window's text, asked with a time limit: a hung owner cannot stall us.
// Starts xdotool through Wine's Z: drive with args, for real pointer input.
// Wine cannot wait for a Unix process, so callers wait for what it does.
inline bool StartXdotool(std::wstring args)
{
    const wchar_t tool[] = L"Z:\\usr\\bin\\xdotool";
    args = std::wstring(L"\"") + tool + L"\" " + args;
    STARTUPINFOW startup = {};
    startup.cb = sizeof(startup);
    PROCESS_INFORMATION process = {};
    if (!CreateProcessW(tool, &args[0], nullptr, nullptr, FALSE, 0, nullptr, nullptr, &startup, &process))
        return false;
    CloseHandle(process.hThread);
    CloseHandle(process.hProcess);
    return true;
}

std::wstring TextOf(HWND window);
// The first top-level window of that process with this class and title
// (null matches any).
HWND FindOwnWindow(DWORD processId, const wchar_t* className, const wchar_t* title);
// The texts of a dialog's static controls, one after the other.
std::wstring DialogText(HWND dialog);
// Presses a button of a dialog as its keyboard would; true once it closed.
bool Press(HWND dialog, int button);
// Types path into a save dialog's file name box and presses OK.
bool SaveAs(HWND dialog, const std::wstring& path);

// A moment on the UTC+8 wall clock in seconds since 1970, by the C runtime's UTC conversion: independent of
// the machine's zone and of the code under test.
inline long long Utc8(int year, int month, int day, int hour, int minute, int second)
{
    struct tm parts = {};
    parts.tm_year = year - 1900;
    parts.tm_mon = month - 1;
    parts.tm_mday = day;
    parts.tm_hour = hour;
    parts.tm_min = minute;
    parts.tm_sec = second;
    return static_cast<long long>(_mkgmtime64(&parts)) - 8 * 3600;
}

} // namespace tw_test
