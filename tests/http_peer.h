// A small HTTP peer on 127.0.0.1 for the health address checks and the
// webhook, run on a thread of the test: it answers 200 or 500, or takes the
// request and never answers, as the test switches it; closed, it refuses
// connections, and it may be opened again on the same port. It keeps the body
// of every request it took.
#pragma once

#include <winsock2.h>
#include <windows.h>

#include "core/handle.h"

#include <atomic>
#include <string>
#include <vector>

namespace tw_test {

class HttpPeer {
public:
    enum Mode { kAnswer200, kAnswer500, kSilent };

    HttpPeer() = default;
    HttpPeer(const HttpPeer&) = delete;
    HttpPeer& operator=(const HttpPeer&) = delete;
    ~HttpPeer() { Close(); }

    // Listens on a free port of 127.0.0.1, or on port (one it had before).
    bool Open(unsigned short port = 0);
    // Stops listening; connections are refused from then on.
    void Close();
    void SetMode(Mode mode) { mode_ = mode; }
    unsigned short Port() const { return port_; }
    // "http://127.0.0.1:PORT/health" or "tcp://127.0.0.1:PORT".
    std::wstring Url(const wchar_t* scheme = L"http") const;
    int Requests() const { return requests_; }
    // The bodies of the requests so far, oldest first.
    std::vector<std::string> Bodies() const;

private:
    static DWORD WINAPI Serve(void* self);
    void Answer(SOCKET connection);

    SOCKET listener_ = INVALID_SOCKET;
    HANDLE thread_ = nullptr;
    unsigned short port_ = 0;
    std::atomic<int> mode_{kAnswer200};
    std::atomic<bool> stop_{false};
    std::atomic<int> requests_{0};
    // Connections taken in silence, closed with the peer.
    SOCKET silent_[64] = {};
    int silentCount_ = 0;
    mutable tw::CCriticalSection bodiesLock_;
    std::vector<std::string> bodies_;
};

} // namespace tw_test
