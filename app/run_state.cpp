#include "app/run_state.h"

#include "core/handle.h"

#include <windows.h>

#include <string.h>

namespace tw {

namespace {

const wchar_t kFileName[] = L"run-state.txt";
const wchar_t kNewFileName[] = L"run-state.new";

struct StateWord {
    RunEnd state;
    bool monitoring;
    const char* word;
};

const StateWord kWords[] = {
    {RunEnd::Running, false, "running"},
    {RunEnd::Running, true, "running monitoring"},
    {RunEnd::Quit, false, "quit"},
    {RunEnd::Session, false, "session"},
};

CStrW InFolder(const CStrW& folder, const wchar_t* name)
{
    CStrW path(folder.c_str());
    path.AppendChars(name, 0);
    return path;
}

} // namespace

RunEnd ReadRunState(const CStrW& logsFolder, bool* monitoring)
{
    if (monitoring)
        *monitoring = false;
    if (logsFolder.IsEmpty())
        return RunEnd::Unknown;
    CHandle file(CreateFileW(InFolder(logsFolder, kFileName).c_str(), GENERIC_READ,
                             FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE, nullptr, OPEN_EXISTING,
                             FILE_ATTRIBUTE_NORMAL, nullptr));
    if (!file)
        return RunEnd::Unknown;
    char text[32] = {0};
    DWORD read = 0;
    if (!ReadFile(file.Get(), text, sizeof(text) - 1, &read, nullptr))
        return RunEnd::Unknown;
    // A line end or spaces added by hand do not change the word.
    while (read > 0 && (text[read - 1] == '\r' || text[read - 1] == '\n' || text[read - 1] == ' '))
        text[--read] = 0;
    for (const StateWord& word : kWords) {
        if (strcmp(text, word.word) != 0)
            continue;
        if (monitoring)
            *monitoring = word.monitoring;
        return word.state;
    }
    return RunEnd::Unknown;
}

bool WriteRunState(const CStrW& logsFolder, RunEnd state, bool monitoring)
{
    const char* word = nullptr;
    for (const StateWord& known : kWords) {
        if (known.state == state && known.monitoring == (monitoring && state == RunEnd::Running))
            word = known.word;
    }
    if (logsFolder.IsEmpty() || !word)
        return false;
    if (!CreateDirectoryW(logsFolder.c_str(), nullptr) && GetLastError() != ERROR_ALREADY_EXISTS)
        return false;
    CStrW newPath = InFolder(logsFolder, kNewFileName);
    {
        CHandle file(CreateFileW(newPath.c_str(), GENERIC_WRITE, 0, nullptr, CREATE_ALWAYS,
                                 FILE_ATTRIBUTE_NORMAL | FILE_FLAG_WRITE_THROUGH, nullptr));
        if (!file)
            return false;
        DWORD length = static_cast<DWORD>(strlen(word));
        DWORD written = 0;
        if (!WriteFile(file.Get(), word, length, &written, nullptr) || written != length) {
            file.Reset();
            DeleteFileW(newPath.c_str());
            return false;
        }
    }
    if (!MoveFileExW(newPath.c_str(), InFolder(logsFolder, kFileName).c_str(),
                     MOVEFILE_REPLACE_EXISTING | MOVEFILE_WRITE_THROUGH)) {
        DeleteFileW(newPath.c_str());
        return false;
    }
    return true;
}

} // namespace tw
