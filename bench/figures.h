// What the benchmark and the soak run both measure: times, the spread of a
// series, how fast a window answers, and a process's handles and private bytes
// as both Windows and Wine can give them.
#pragma once

#include "core/handle.h"

#include <windows.h>

#include <psapi.h>

#include <algorithm>
#include <atomic>
#include <vector>

namespace tw_bench {

inline double NowMs()
{
    LARGE_INTEGER frequency, now;
    QueryPerformanceFrequency(&frequency);
    QueryPerformanceCounter(&now);
    return static_cast<double>(now.QuadPart) * 1000.0 / static_cast<double>(frequency.QuadPart);
}

struct Spread {
    size_t count = 0;
    double median = 0, p95 = 0, p99 = 0, max = 0;
};

inline Spread SpreadOf(std::vector<double> values)
{
    if (values.empty())
        return {};
    std::sort(values.begin(), values.end());
    auto at = [&](double q) { return values[std::min(values.size() - 1, static_cast<size_t>(values.size() * q))]; };
    return {values.size(), at(0.5), at(0.95), at(0.99), values.back()};
}

// Sends a window WM_NULL every intervalMs from a thread of its own, as the
// user's clicks would: how long each answer took, and when it was asked (in
// seconds from the probe's start). The window's thread need not pump while
// the probe stops: a send still waiting times out and is not counted.
class Probe {
public:
    Probe(HWND window, DWORD intervalMs) : m_window(window), m_intervalMs(intervalMs)
    {
        m_thread.Reset(CreateThread(nullptr, 0, Run, this, 0, nullptr));
    }
    ~Probe() { Stop(); }
    void Stop()
    {
        m_stop = true;
        WaitForSingleObject(m_thread.Get(), 10000);
    }

    std::vector<double> ms, at;
    int timeouts = 0;

private:
    static DWORD WINAPI Run(void* parameter)
    {
        auto* probe = static_cast<Probe*>(parameter);
        while (!probe->m_stop) {
            double start = NowMs();
            DWORD_PTR result = 0;
            bool answered = SendMessageTimeoutW(probe->m_window, WM_NULL, 0, 0, SMTO_NORMAL, 1000, &result);
            if (probe->m_stop)
                break;
            probe->timeouts += !answered;
            probe->ms.push_back(NowMs() - start);
            probe->at.push_back((start - probe->m_start) / 1000.0);
            Sleep(static_cast<DWORD>(std::max(0.0, probe->m_intervalMs - (NowMs() - start))));
        }
        return 0;
    }

    HWND m_window;
    double m_intervalMs, m_start = NowMs();
    std::atomic<bool> m_stop{false};
    tw::CHandle m_thread;
};

// Wine answers GetProcessHandleCount with 0; the system's handle table then
// gives the count: its entries owned by the process.
inline DWORD HandleCountOf(HANDLE process = GetCurrentProcess(), DWORD processId = GetCurrentProcessId())
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
    // 64: the extended handle table, all the system's handles; 16 MB hold 400,000.
    std::vector<unsigned char> buffer(1 << 24);
    if (!query || query(64, buffer.data(), static_cast<ULONG>(buffer.size()), nullptr) < 0)
        return 0;
    auto entries = *reinterpret_cast<ULONG_PTR*>(buffer.data());
    auto* entry = reinterpret_cast<Entry*>(buffer.data() + 2 * sizeof(ULONG_PTR));
    return static_cast<DWORD>(
        std::count_if(entry, entry + entries, [&](const Entry& e) { return e.processId == processId; }));
}

// Private bytes where the system reports them (Wine reports 0), else the
// page-file usage, in MB.
inline double PrivateMbOf(HANDLE process = GetCurrentProcess())
{
    PROCESS_MEMORY_COUNTERS_EX counters = {};
    counters.cb = sizeof(counters);
    K32GetProcessMemoryInfo(process, reinterpret_cast<PROCESS_MEMORY_COUNTERS*>(&counters), sizeof(counters));
    SIZE_T bytes = counters.PrivateUsage ? counters.PrivateUsage : counters.PagefileUsage;
    return static_cast<double>(bytes) / (1024.0 * 1024.0);
}

} // namespace tw_bench
