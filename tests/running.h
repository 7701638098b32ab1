// Counts and ends the processes that run one executable, whoever started
// them: what a test of the engine's starts has to check and clean up.
#pragma once

#include "monitor/process_query.h"

#include <string>
#include <vector>

namespace tw_test {

inline size_t CountRunning(const std::wstring& path)
{
    std::vector<DWORD> seen;
    while (DWORD id = tw::FindProcessRunning(tw::CStrW(path.c_str()), seen.data(), seen.size()))
        seen.push_back(id);
    return seen.size();
}

inline void EndAllRunning(const std::wstring& path)
{
    for (int i = 0; i < 100; ++i) {
        DWORD id = tw::FindProcessRunning(tw::CStrW(path.c_str()), nullptr, 0);
        if (!id || !tw::KillProcessRunning(id, tw::CStrW(path.c_str())))
            break;
    }
}

} // namespace tw_test
