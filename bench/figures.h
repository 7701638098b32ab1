// Figures of the benchmark and the soak run: the spread of a series of
// measurements, and a process's handles and private bytes as both Windows and
// Wine can give them.
#pragma once

#include <windows.h>

#include <psapi.h>

#include <algorithm>
#include <vector>

namespace tw_bench {

struct Spread {
    size_t count = 0;
    double median = 0, p95 = 0, p99 = 0, max = 0;
};

inline Spread SpreadOf(std::vector<double> values)
{
    Spread s;
    if (values.empty())
        return s;
    std::sort(values.begin(), values.end());
    auto at = [&](double q) { return values[std::min(values.size() - 1, static_cast<size_t>(values.size() * q))]; };
    s.count = values.size();
    s.median = values[values.size() / 2];
    s.p95 = at(0.95);
    s.p99 = at(0.99);
    s.max = values.back();
    return s;
}

// Wine answers GetProcessHandleCount with 0; the system's handle table then
// gives the count: its entries owned by the process.
inline DWORD HandleCountOf(HANDLE process, DWORD processId)
{
    DWORD count = 0;
    if (GetProcessHandleCount(process, &count) && count)
        return count;
    using Query = LONG(WINAPI*)(ULONG, void*, ULONG, ULONG*);
    static auto query = reinterpret_cast<Query>(
        reinterpret_cast<void*>(GetProcAddress(GetModuleHandleW(L"ntdll.dll"), "NtQuerySystemInformation")));
    struct Entry {
        void* object;
        ULONG_PTR processId, handle;
        ULONG access;
        USHORT backTrace, type;
        ULONG attributes, reserved;
    };
    std::vector<unsigned char> buffer(1 << 20);
    LONG status = -1;
    // 64: the extended handle table; 0xC0000004: the buffer is too small.
    for (int attempt = 0; query && attempt < 8; ++attempt) {
        ULONG needed = 0;
        status = query(64, buffer.data(), static_cast<ULONG>(buffer.size()), &needed);
        if (status != static_cast<LONG>(0xC0000004))
            break;
        buffer.resize(std::max<size_t>(buffer.size() * 2, needed + 65536));
    }
    if (status < 0)
        return 0;
    auto entries = *reinterpret_cast<ULONG_PTR*>(buffer.data());
    auto* entry = reinterpret_cast<Entry*>(buffer.data() + 2 * sizeof(ULONG_PTR));
    return static_cast<DWORD>(
        std::count_if(entry, entry + entries, [&](const Entry& e) { return e.processId == processId; }));
}

// Private bytes where the system reports them (Wine reports 0), else the
// page-file usage, in MB.
inline double PrivateMbOf(HANDLE process)
{
    PROCESS_MEMORY_COUNTERS_EX counters = {};
    counters.cb = sizeof(counters);
    K32GetProcessMemoryInfo(process, reinterpret_cast<PROCESS_MEMORY_COUNTERS*>(&counters), sizeof(counters));
    SIZE_T bytes = counters.PrivateUsage ? counters.PrivateUsage : counters.PagefileUsage;
    return static_cast<double>(bytes) / (1024.0 * 1024.0);
}

} // namespace tw_bench
