// TCP client sockets.
#include <fcntl.h>
#include <netdb.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cerrno>
#include <chrono>
#include <string>

#include "platform/platform.h"

namespace mdnio::platform {
namespace {

// Waits until a non-blocking connect finishes; timeoutMs <= 0 waits as long as it takes.
bool awaitConnect(int sock, int timeoutMs) {
    using Clock = std::chrono::steady_clock;
    const auto deadline = Clock::now() + std::chrono::milliseconds(timeoutMs);
    for (;;) {
        int wait = -1;
        if (timeoutMs > 0) {
            auto left =
                std::chrono::duration_cast<std::chrono::milliseconds>(deadline - Clock::now());
            wait = left.count() > 0 ? static_cast<int>(left.count()) : 0;
        }
        struct pollfd pfd = {sock, POLLOUT, 0};
        int ready = poll(&pfd, 1, wait);
        if (ready < 0 && errno == EINTR) continue;
        if (ready <= 0) return false;  // error or timed out
        int err = 0;
        socklen_t len = sizeof err;
        return getsockopt(sock, SOL_SOCKET, SO_ERROR, &err, &len) == 0 && err == 0;
    }
}

bool connectOne(int sock, const sockaddr* addr, socklen_t addrLen, int timeoutMs) {
    int flags = fcntl(sock, F_GETFL);
    if (flags == -1 || fcntl(sock, F_SETFL, flags | O_NONBLOCK) == -1) return false;
    if (connect(sock, addr, addrLen) != 0) {
        if (errno != EINPROGRESS && errno != EINTR) return false;
        if (!awaitConnect(sock, timeoutMs)) return false;
    }
    // The requests are small and answered one by one: send them at once.
    int one = 1;
    setsockopt(sock, IPPROTO_TCP, TCP_NODELAY, &one, sizeof one);
    return fcntl(sock, F_SETFL, flags) == 0;
}

}  // namespace

int tcpConnect(const char* host, int port, int timeoutMs) {
    if (!host || port <= 0 || port > 65535) return -1;
    addrinfo hints{};
    hints.ai_family = AF_INET;
    hints.ai_socktype = SOCK_STREAM;
    addrinfo* list = nullptr;
    if (getaddrinfo(host, std::to_string(port).c_str(), &hints, &list) != 0) return -1;
    int result = -1;
    for (addrinfo* ai = list; ai && result < 0; ai = ai->ai_next) {
        int sock = socket(ai->ai_family, ai->ai_socktype | SOCK_CLOEXEC, ai->ai_protocol);
        if (sock < 0) continue;
        if (connectOne(sock, ai->ai_addr, ai->ai_addrlen, timeoutMs)) {
            result = sock;
        } else {
            close(sock);
        }
    }
    freeaddrinfo(list);
    return result;
}

bool tcpSendAll(int sock, const void* buf, size_t n) {
    const auto* p = static_cast<const char*>(buf);
    while (n > 0) {
        // MSG_NOSIGNAL: a peer that went away is a failed call, not a SIGPIPE.
        ssize_t sent = send(sock, p, n, MSG_NOSIGNAL);
        if (sent < 0 && errno == EINTR) continue;
        if (sent <= 0) return false;
        p += sent;
        n -= static_cast<size_t>(sent);
    }
    return true;
}

bool tcpRecvAll(int sock, void* buf, size_t n) {
    auto* p = static_cast<char*>(buf);
    while (n > 0) {
        ssize_t got = recv(sock, p, n, 0);
        if (got < 0 && errno == EINTR) continue;
        if (got <= 0) return false;
        p += got;
        n -= static_cast<size_t>(got);
    }
    return true;
}

void tcpClose(int sock) {
    if (sock >= 0) close(sock);
}

}  // namespace mdnio::platform
