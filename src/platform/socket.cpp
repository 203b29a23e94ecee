// TCP sockets: the client side of the remote transport and the listening side of the file
// server.  Every call that moves bytes or changes a socket goes through the system-call table,
// so that tests can cut a transfer short, interrupt it or make it fail.
#include <arpa/inet.h>
#include <fcntl.h>
#include <netdb.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cerrno>
#include <chrono>
#include <cstdlib>
#include <string>

#include "platform/platform.h"

namespace mdnio::platform {
namespace {

using Clock = std::chrono::steady_clock;

// Milliseconds left until `deadline`, for poll: -1 (for ever) when there is no deadline.
int msLeft(bool timed, Clock::time_point deadline) {
    if (!timed) return -1;
    auto left = std::chrono::duration_cast<std::chrono::milliseconds>(deadline - Clock::now());
    return left.count() > 0 ? static_cast<int>(left.count()) : 0;
}

// Polls one socket for `events`, restarting after an interruption with the time that is left.
WaitResult pollOne(int sock, short events, int timeoutMs) {
    const bool timed = timeoutMs >= 0;
    const auto deadline = Clock::now() + std::chrono::milliseconds(timed ? timeoutMs : 0);
    for (;;) {
        struct pollfd pfd = {sock, events, 0};
        int ready = sys().poll(&pfd, 1, msLeft(timed, deadline));
        if (ready < 0 && errno == EINTR) continue;
        if (ready < 0) return WaitResult::Failed;
        return ready == 0 ? WaitResult::TimedOut : WaitResult::Ready;
    }
}

bool setTimeout(int sock, int option, int ms) {
    struct timeval tv = {ms / 1000, (ms % 1000) * 1000};
    return sys().setsockopt(sock, SOL_SOCKET, option, &tv, sizeof tv) == 0;
}

// What every connected socket gets, on either side: requests and replies are small and each
// waits for the other, so they go out at once; a peer that stops taking bytes fails the send
// after a while instead of blocking its sender for ever.
bool prepareConnected(int sock) {
    int one = 1;
    return sys().setsockopt(sock, IPPROTO_TCP, TCP_NODELAY, &one, sizeof one) == 0 &&
           setTimeout(sock, SO_SNDTIMEO, kSendTimeoutMs);
}

// The receive time-out asked for in the environment, in milliseconds; 0 when none.
int recvTimeoutFromEnvironment() {
    const char* text = getEnv(kRecvTimeoutVariable);
    if (!text || !*text) return 0;
    char* end = nullptr;
    long ms = std::strtol(text, &end, 10);
    if (*end != '\0' || ms <= 0 || ms > 24L * 3600 * 1000) return 0;
    return static_cast<int>(ms);
}

// Waits until a non-blocking connect finishes; timeoutMs <= 0 waits as long as it takes.
bool awaitConnect(int sock, int timeoutMs) {
    if (pollOne(sock, POLLOUT, timeoutMs > 0 ? timeoutMs : -1) != WaitResult::Ready) return false;
    int err = 0;
    socklen_t len = sizeof err;
    return getsockopt(sock, SOL_SOCKET, SO_ERROR, &err, &len) == 0 && err == 0;
}

bool connectOne(int sock, const sockaddr* addr, socklen_t addrLen, int timeoutMs) {
    int flags = sys().fcntlFlags(sock, F_GETFL, 0);
    if (flags == -1 || sys().fcntlFlags(sock, F_SETFL, flags | O_NONBLOCK) == -1) return false;
    if (sys().connect(sock, addr, addrLen) != 0) {
        if (errno != EINPROGRESS && errno != EINTR) return false;
        if (!awaitConnect(sock, timeoutMs)) return false;
    }
    if (!prepareConnected(sock)) return false;
    int recvMs = recvTimeoutFromEnvironment();
    if (recvMs > 0 && !setTimeout(sock, SO_RCVTIMEO, recvMs)) return false;
    return sys().fcntlFlags(sock, F_SETFL, flags) == 0;
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
        int sock = sys().socket(ai->ai_family, ai->ai_socktype | SOCK_CLOEXEC, ai->ai_protocol);
        if (sock < 0) continue;
        if (connectOne(sock, ai->ai_addr, ai->ai_addrlen, timeoutMs)) {
            result = sock;
        } else {
            sys().close(sock);
        }
    }
    freeaddrinfo(list);
    return result;
}

bool tcpSendAll(int sock, const void* buf, size_t n) {
    const auto* p = static_cast<const char*>(buf);
    while (n > 0) {
        // MSG_NOSIGNAL: a peer that went away is a failed call, not a SIGPIPE.
        ssize_t sent = sys().send(sock, p, n, MSG_NOSIGNAL);
        if (sent < 0 && errno == EINTR) continue;
        if (sent <= 0 || static_cast<size_t>(sent) > n) return false;
        p += sent;
        n -= static_cast<size_t>(sent);
    }
    return true;
}

bool tcpRecvAll(int sock, void* buf, size_t n) {
    auto* p = static_cast<char*>(buf);
    while (n > 0) {
        ssize_t got = sys().recv(sock, p, n, 0);
        if (got < 0 && errno == EINTR) continue;
        // A time-out (EAGAIN), an error, the end of the stream or a count larger than asked.
        if (got <= 0 || static_cast<size_t>(got) > n) return false;
        p += got;
        n -= static_cast<size_t>(got);
    }
    return true;
}

void tcpClose(int sock) {
    if (sock >= 0) sys().close(sock);
}

int tcpListen(const char* address, int port, int* boundPort) {
    if (!address || port < 0 || port > 65535) return -1;
    sockaddr_in addr{};
    addr.sin_family = AF_INET;
    addr.sin_port = htons(static_cast<uint16_t>(port));
    if (inet_pton(AF_INET, address, &addr.sin_addr) != 1) return -1;
    // Non-blocking, so that a caller who left between the poll and the accept cannot make the
    // accept wait for the next one.
    int sock = sys().socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC | SOCK_NONBLOCK, 0);
    if (sock < 0) return -1;
    int one = 1;
    // A restarted server takes its port back at once, while old connections still linger.
    bool ok = sys().setsockopt(sock, SOL_SOCKET, SO_REUSEADDR, &one, sizeof one) == 0 &&
              sys().bind(sock, reinterpret_cast<sockaddr*>(&addr), sizeof addr) == 0 &&
              sys().listen(sock, 64) == 0;
    socklen_t len = sizeof addr;
    ok = ok && getsockname(sock, reinterpret_cast<sockaddr*>(&addr), &len) == 0;
    if (!ok) {
        sys().close(sock);
        return -1;
    }
    if (boundPort) *boundPort = ntohs(addr.sin_port);
    return sock;
}

WaitResult tcpWaitReadable(int sock, int timeoutMs) {
    return pollOne(sock, POLLIN, timeoutMs);
}

int tcpAccept(int listening, int timeoutMs, bool* timedOut) {
    if (timedOut) *timedOut = false;
    WaitResult ready = tcpWaitReadable(listening, timeoutMs);
    if (ready != WaitResult::Ready) {
        if (timedOut) *timedOut = ready == WaitResult::TimedOut;
        return -1;
    }
    int sock = sys().accept(listening, nullptr, nullptr, SOCK_CLOEXEC);
    if (sock < 0) {
        // The caller came and went between the poll and the accept: nothing to take now.
        if (timedOut) *timedOut = errno == EAGAIN || errno == ECONNABORTED || errno == EINTR;
        return -1;
    }
    if (!prepareConnected(sock)) {
        sys().close(sock);
        return -1;
    }
    return sock;
}

bool tcpSetRecvTimeout(int sock, int ms) {
    return ms >= 0 && setTimeout(sock, SO_RCVTIMEO, ms);
}

}  // namespace mdnio::platform
