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
