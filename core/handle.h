// Small owners for what must be closed: kernel handles, snapshots and the
// critical sections of the program.
#pragma once

#include <windows.h>

namespace tw {

// Closes its handle when it goes; null and INVALID_HANDLE_VALUE hold nothing.
class CHandle {
public:
    CHandle() = default;
    explicit CHandle(HANDLE h) : m_handle(h) {}
    CHandle(const CHandle&) = delete;
    CHandle& operator=(const CHandle&) = delete;
    CHandle(CHandle&& other) noexcept : m_handle(other.Detach()) {}
    CHandle& operator=(CHandle&& other) noexcept
    {
        if (this != &other)
            Reset(other.Detach());
        return *this;
    }
    ~CHandle() { Reset(); }

    HANDLE Get() const { return m_handle; }
    bool IsValid() const { return m_handle && m_handle != INVALID_HANDLE_VALUE; }
    explicit operator bool() const { return IsValid(); }
    // Gives the handle up without closing it.
    HANDLE Detach()
    {
        HANDLE h = m_handle;
        m_handle = nullptr;
        return h;
    }
    void Reset(HANDLE h = nullptr)
    {
        if (IsValid())
            CloseHandle(m_handle);
        m_handle = h;
    }

private:
    HANDLE m_handle = nullptr;
};

// config.xml keeps window handles as decimal numbers. Windows gives them 32
// significant bits, sign-extended in 64-bit processes, so a number either
// build wrote names the same window to both; a number beyond 32 bits names
// none (on x86 it would otherwise be cut to some other window).
inline HWND WindowFromStoredValue(long long value)
{
    if (value < -0x80000000LL || value > 0xFFFFFFFFLL)
        return nullptr;
    auto low = static_cast<LONG>(static_cast<ULONG>(value));
    return reinterpret_cast<HWND>(static_cast<LONG_PTR>(low));
}

inline long long StoredWindowValue(HWND window)
{
    static_assert(sizeof(long long) >= sizeof(LONG_PTR), "a window handle fits the stored number");
    return static_cast<long long>(reinterpret_cast<LONG_PTR>(window));
}

// A critical section that lives as long as its owner. Process-wide locks are
// made once and never deleted (a leaked static), since other threads may still
// hold them while the process exits.
class CCriticalSection {
public:
    CCriticalSection() { InitializeCriticalSection(&m_section); }
    ~CCriticalSection() { DeleteCriticalSection(&m_section); }
    CCriticalSection(const CCriticalSection&) = delete;
    CCriticalSection& operator=(const CCriticalSection&) = delete;
    void Enter() { EnterCriticalSection(&m_section); }
    void Leave() { LeaveCriticalSection(&m_section); }

private:
    CRITICAL_SECTION m_section;
};

class CLock {
public:
    explicit CLock(CCriticalSection& section) : m_section(section) { m_section.Enter(); }
    ~CLock() { m_section.Leave(); }
    CLock(const CLock&) = delete;
    CLock& operator=(const CLock&) = delete;

private:
    CCriticalSection& m_section;
};

} // namespace tw
