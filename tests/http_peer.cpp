#include "tests/http_peer.h"

#include <ws2tcpip.h>

#include <ctype.h>
#include <stdlib.h>

namespace tw_test {

bool HttpPeer::Open(unsigned short port)
{
    WSADATA data;
    if (WSAStartup(MAKEWORD(2, 2), &data) != 0)
        return false;
    listener_ = socket(AF_INET, SOCK_STREAM, IPPROTO_TCP);
    sockaddr_in address = {};
    address.sin_family = AF_INET;
    address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    address.sin_port = htons(port);
    int length = sizeof(address);
    if (listener_ == INVALID_SOCKET || bind(listener_, reinterpret_cast<sockaddr*>(&address), sizeof(address)) != 0 ||
        listen(listener_, 16) != 0 || getsockname(listener_, reinterpret_cast<sockaddr*>(&address), &length) != 0)
        return false;
    port_ = ntohs(address.sin_port);
    stop_ = false;
    thread_ = CreateThread(nullptr, 0, Serve, this, 0, nullptr);
    return thread_ != nullptr;
}

void HttpPeer::Close()
{
    stop_ = true;
    if (thread_) {
        WaitForSingleObject(thread_, 5000);
        CloseHandle(thread_);
        thread_ = nullptr;
    }
    if (listener_ != INVALID_SOCKET) {
        closesocket(listener_);
        listener_ = INVALID_SOCKET;
        WSACleanup();
    }
    for (int i = 0; i < silentCount_; ++i)
        closesocket(silent_[i]);
    silentCount_ = 0;
}

std::vector<std::string> HttpPeer::Bodies() const
{
    tw::CLock lock(bodiesLock_);
    return bodies_;
}

std::wstring HttpPeer::Url(const wchar_t* scheme) const
{
    std::wstring url = std::wstring(scheme) + L"://127.0.0.1:" + std::to_wstring(port_);
    return std::wstring(scheme) == L"tcp" ? url : url + L"/health";
}

DWORD WINAPI HttpPeer::Serve(void* self)
{
    auto* peer = static_cast<HttpPeer*>(self);
    while (!peer->stop_) {
        fd_set readable;
        FD_ZERO(&readable);
        FD_SET(peer->listener_, &readable);
        timeval wait = {0, 50000};
        if (select(0, &readable, nullptr, nullptr, &wait) != 1)
            continue;
        SOCKET connection = accept(peer->listener_, nullptr, nullptr);
        if (connection != INVALID_SOCKET)
            peer->Answer(connection);
    }
    return 0;
}

void HttpPeer::Answer(SOCKET connection)
{
    ++requests_;
    // The request itself, until its blank line or a pause.
    std::string request;
    char buffer[1024];
    DWORD timeout = 500;
    setsockopt(connection, SOL_SOCKET, SO_RCVTIMEO, reinterpret_cast<const char*>(&timeout), sizeof(timeout));
    while (request.find("\r\n\r\n") == std::string::npos) {
        int got = recv(connection, buffer, sizeof(buffer), 0);
        if (got <= 0)
            break;
        request.append(buffer, static_cast<size_t>(got));
    }
    // Then its body, as long as its Content-Length says.
    size_t end = request.find("\r\n\r\n");
    std::string head = request.substr(0, end);
    for (char& c : head)
        c = static_cast<char>(tolower(static_cast<unsigned char>(c)));
    size_t field = head.find("\r\ncontent-length:");
    size_t length = field == std::string::npos ? 0 : strtoul(head.c_str() + field + 17, nullptr, 10);
    std::string body = end == std::string::npos ? "" : request.substr(end + 4);
    while (body.size() < length) {
        int got = recv(connection, buffer, sizeof(buffer), 0);
        if (got <= 0)
            break;
        body.append(buffer, static_cast<size_t>(got));
    }
    {
        tw::CLock lock(bodiesLock_);
        bodies_.push_back(body);
    }
    if (mode_ == kSilent && silentCount_ < 64) {
        silent_[silentCount_++] = connection;
        return;
    }
    const char* reply = mode_ == kAnswer500 ? "HTTP/1.1 500 Internal Server Error\r\nContent-Length: 0\r\n"
                                              "Connection: close\r\n\r\n"
                                            : "HTTP/1.1 200 OK\r\nContent-Length: 2\r\nConnection: close\r\n\r\nok";
    send(connection, reply, static_cast<int>(strlen(reply)), 0);
    shutdown(connection, SD_SEND);
    closesocket(connection);
}

} // namespace tw_test
