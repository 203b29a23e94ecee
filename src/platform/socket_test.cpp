#include <arpa/inet.h>
#include <fcntl.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <sys/socket.h>
#include <unistd.h>

#include <csignal>
#include <cstdlib>
#include <string>
#include <thread>
#include <vector>

#include <gtest/gtest.h>

#include "platform/platform.h"
#include "platform/test_support.h"

namespace mdnio::platform {
namespace {

// A socket bound to an ephemeral port of 127.0.0.1, listening or not.
class LocalPort {
  public:
    explicit LocalPort(bool listening) {
        fd_ = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
        EXPECT_GE(fd_, 0);
        sockaddr_in addr{};
        addr.sin_family = AF_INET;
        addr.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
        EXPECT_EQ(bind(fd_, reinterpret_cast<sockaddr*>(&addr), sizeof addr), 0);
        socklen_t len = sizeof addr;
        EXPECT_EQ(getsockname(fd_, reinterpret_cast<sockaddr*>(&addr), &len), 0);
        port_ = ntohs(addr.sin_port);
        if (listening) {
            EXPECT_EQ(listen(fd_, 4), 0);
        }
    }
    ~LocalPort() { close(fd_); }
    int port() const { return port_; }
    int accept() { return ::accept(fd_, nullptr, nullptr); }

  private:
    int fd_ = -1;
    int port_ = 0;
};

std::vector<char> bytes(size_t n) {
    std::vector<char> v(n);
    for (size_t i = 0; i < n; ++i)
        v[i] = static_cast<char>(i * 13 + 5);
    return v;
}

TEST(Tcp, ConnectsByNameAndAddressAndExchangesData) {
    for (const char* host : {"127.0.0.1", "localhost"}) {
        SCOPED_TRACE(host);
        LocalPort server(true);
        int client = tcpConnect(host, server.port(), 5000);
        ASSERT_GE(client, 0);
        int peer = server.accept();
        ASSERT_GE(peer, 0);

        // Back to blocking, without delay.
        EXPECT_EQ(fcntl(client, F_GETFL) & O_NONBLOCK, 0);
        int nodelay = 0;
        socklen_t len = sizeof nodelay;
        ASSERT_EQ(getsockopt(client, IPPROTO_TCP, TCP_NODELAY, &nodelay, &len), 0);
        EXPECT_NE(nodelay, 0);

        // More than the socket buffers hold, so that sending and receiving both loop.
        const auto request = bytes(4 << 20);
        std::vector<char> echoed(request.size());
        std::thread echo([&] {
            std::vector<char> got(request.size());
            if (tcpRecvAll(peer, got.data(), got.size())) tcpSendAll(peer, got.data(), got.size());
            shutdown(peer, SHUT_WR);
        });
        EXPECT_TRUE(tcpSendAll(client, request.data(), request.size()));
        EXPECT_TRUE(tcpRecvAll(client, echoed.data(), echoed.size()));
        echo.join();
        EXPECT_EQ(echoed, request);

        // The peer has stopped sending: asking for more is a failure, not a wait.
        char extra;
        EXPECT_FALSE(tcpRecvAll(client, &extra, 1));
        tcpClose(client);
        close(peer);
    }
}

TEST(Tcp, EndOfStreamBeforeAllBytesFails) {
    LocalPort server(true);
    int client = tcpConnect("127.0.0.1", server.port(), 5000);
    ASSERT_GE(client, 0);
    int peer = server.accept();
    ASSERT_GE(peer, 0);
    ASSERT_TRUE(tcpSendAll(peer, "abc", 3));
    close(peer);
    char buf[8];
    EXPECT_FALSE(tcpRecvAll(client, buf, sizeof buf));
    // Writing to a closed peer fails rather than raising SIGPIPE.
    const auto block = bytes(1 << 16);
    bool sent = true;
    for (int i = 0; i < 64 && sent; ++i)
        sent = tcpSendAll(client, block.data(), block.size());
    EXPECT_FALSE(sent);
    tcpClose(client);
}

TEST(Tcp, RefusedOrInvalidConnectionsFail) {
    LocalPort notListening(false);  // bound, so nobody else listens there
    EXPECT_EQ(tcpConnect("127.0.0.1", notListening.port(), 5000), -1);
    for (int port : {0, -1, 65536})
        EXPECT_EQ(tcpConnect("127.0.0.1", port, 5000), -1) << port;
    EXPECT_EQ(tcpConnect(nullptr, 80, 5000), -1);
    tcpClose(-1);
}

// The receive and send time-outs a socket carries, in milliseconds (the system keeps them in
// clock ticks: the values the tests use are whole ticks at any tick rate).
int timeoutMs(int sock, int option) {
    struct timeval tv {};
    socklen_t len = sizeof tv;
    if (getsockopt(sock, SOL_SOCKET, option, &tv, &len) != 0) return -1;
    return static_cast<int>(tv.tv_sec * 1000 + tv.tv_usec / 1000);
}

bool noDelay(int sock) {
    int on = 0;
    socklen_t len = sizeof on;
    return getsockopt(sock, IPPROTO_TCP, TCP_NODELAY, &on, &len) == 0 && on != 0;
}

// Sets an environment variable for the scope of a test.
class ScopedVariable {
  public:
    ScopedVariable(const char* name, const char* value) : name_(name) {
        if (value) {
            setenv(name, value, 1);
        } else {
            unsetenv(name);
        }
    }
    ~ScopedVariable() { unsetenv(name_); }
    ScopedVariable(const ScopedVariable&) = delete;
    ScopedVariable& operator=(const ScopedVariable&) = delete;

  private:
    const char* name_;
};

TEST(Tcp, ConnectGivesASendTimeOutAndTheReceiveTimeOutOfTheEnvironment) {
    struct Case {
        const char* variable;
        int expectedRecvMs;
    };
    const Case cases[] = {{nullptr, 0}, {"200", 200}, {"0", 0}, {"-5", 0}, {"12x", 0}, {"", 0}};
    for (const Case& c : cases) {
        SCOPED_TRACE(c.variable ? c.variable : "(unset)");
        ScopedVariable variable(kRecvTimeoutVariable, c.variable);
        LocalPort server(true);
        int client = tcpConnect("127.0.0.1", server.port(), 5000);
        ASSERT_GE(client, 0);
        EXPECT_EQ(timeoutMs(client, SO_SNDTIMEO), kSendTimeoutMs);
        EXPECT_EQ(timeoutMs(client, SO_RCVTIMEO), c.expectedRecvMs);
        tcpClose(client);
    }
}

TEST(Tcp, ReceiveTimeOutEndsTheWaitForASilentPeer) {
    ScopedVariable variable(kRecvTimeoutVariable, "100");
    LocalPort server(true);
    int client = tcpConnect("127.0.0.1", server.port(), 5000);
    ASSERT_GE(client, 0);
    int peer = server.accept();  // connected, and never says anything
    ASSERT_GE(peer, 0);
    char buf[4];
    EXPECT_FALSE(tcpRecvAll(client, buf, sizeof buf));
    tcpClose(client);
    close(peer);
}

// A send and a receive that move a few bytes at a time and are interrupted now and then, as
// the system may do under load; every flag the sends were given is kept.
int gSendFlags = 0;
int gCalls = 0;
ssize_t choppySend(int sock, const void* buf, size_t n, int flags) {
    gSendFlags |= flags;
    if (++gCalls % 3 == 0) {
        errno = EINTR;
        return -1;
    }
    if (!(flags & MSG_NOSIGNAL)) gSendFlags |= 0x40000000;  // a send that may raise SIGPIPE
    return defaultSysCalls().send(sock, buf, n < 7 ? n : 7, flags);
}
ssize_t choppyRecv(int sock, void* buf, size_t n, int flags) {
    if (++gCalls % 4 == 0) {
        errno = EINTR;
        return -1;
    }
    return defaultSysCalls().recv(sock, buf, n < 5 ? n : 5, flags);
}

TEST(Tcp, PartialAndInterruptedTransfersAreCompleted) {
    test::RestoreSysCalls restore;
    LocalPort server(true);
    int client = tcpConnect("127.0.0.1", server.port(), 5000);
    ASSERT_GE(client, 0);
    int peer = server.accept();
    ASSERT_GE(peer, 0);
    sys().send = choppySend;
    sys().recv = choppyRecv;
    gSendFlags = 0;
    const auto message = bytes(1000);
    ASSERT_TRUE(tcpSendAll(client, message.data(), message.size()));
    EXPECT_EQ(gSendFlags, MSG_NOSIGNAL);
    std::vector<char> got(message.size());
    ASSERT_TRUE(tcpRecvAll(peer, got.data(), got.size()));
    EXPECT_EQ(got, message);
    tcpClose(client);
    close(peer);
}

ssize_t oversizedRecv(int, void*, size_t n, int) {
    return static_cast<ssize_t>(n + 1);
}
ssize_t nothingSent(int, const void*, size_t, int) {
    return 0;
}

TEST(Tcp, ImpossibleCountsFromTheSystemAreFailures) {
    test::RestoreSysCalls restore;
    sys().recv = oversizedRecv;
    sys().send = nothingSent;
    char buf[8];
    EXPECT_FALSE(tcpRecvAll(0, buf, sizeof buf));
    EXPECT_FALSE(tcpSendAll(0, buf, sizeof buf));  // would loop for ever on a zero count
}

TEST(Tcp, APeerThatClosesMidMessageFailsTheSendWithoutSignal) {
    // The default action of SIGPIPE ends the process: a send without MSG_NOSIGNAL would kill
    // the test instead of failing.
    auto previous = std::signal(SIGPIPE, SIG_DFL);
    LocalPort server(true);
    int client = tcpConnect("127.0.0.1", server.port(), 5000);
    ASSERT_GE(client, 0);
    int peer = server.accept();
    ASSERT_GE(peer, 0);
    std::thread reader([peer] {
        char part[100];
        tcpRecvAll(peer, part, sizeof part);  // a little of the message, then gone
        close(peer);
    });
    const auto message = bytes(16 << 20);
    EXPECT_FALSE(tcpSendAll(client, message.data(), message.size()));
    reader.join();
    tcpClose(client);
    std::signal(SIGPIPE, previous);
}

TEST(TcpServer, ListensOnAFreePortAndAcceptsWithATimeOut) {
    int port = 0;
    int listening = tcpListen("127.0.0.1", 0, &port);
    ASSERT_GE(listening, 0);
    EXPECT_GT(port, 0);

    bool timedOut = false;
    EXPECT_EQ(tcpAccept(listening, 0, &timedOut), -1);
    EXPECT_TRUE(timedOut);

    int client = tcpConnect("127.0.0.1", port, 5000);
    ASSERT_GE(client, 0);
    int peer = tcpAccept(listening, 5000, &timedOut);
    ASSERT_GE(peer, 0);
    EXPECT_FALSE(timedOut);
    EXPECT_TRUE(noDelay(peer));
    EXPECT_EQ(timeoutMs(peer, SO_SNDTIMEO), kSendTimeoutMs);
    EXPECT_EQ(fcntl(peer, F_GETFL) & O_NONBLOCK, 0);

    EXPECT_EQ(tcpWaitReadable(peer, 0), WaitResult::TimedOut);
    ASSERT_TRUE(tcpSendAll(client, "x", 1));
    EXPECT_EQ(tcpWaitReadable(peer, 5000), WaitResult::Ready);

    ASSERT_TRUE(tcpSetRecvTimeout(peer, 200));
    EXPECT_EQ(timeoutMs(peer, SO_RCVTIMEO), 200);
    tcpClose(client);
    tcpClose(peer);
    tcpClose(listening);
}

TEST(TcpServer, RefusesAddressesItCannotListenOn) {
    int port = 0;
    int taken = tcpListen("127.0.0.1", 0, &port);
    ASSERT_GE(taken, 0);
    struct Case {
        const char* address;
        int port;
    };
    const Case cases[] = {{"127.0.0.1", port}, {"999.0.0.1", 0},  {"localhost", 0},
                          {nullptr, 0},        {"127.0.0.1", -1}, {"127.0.0.1", 65536}};
    for (const Case& c : cases) {
        SCOPED_TRACE(testing::Message() << (c.address ? c.address : "(null)") << ":" << c.port);
        int unused = -7;
        EXPECT_EQ(tcpListen(c.address, c.port, &unused), -1);
        EXPECT_EQ(unused, -7);
    }
    tcpClose(taken);
}

}  // namespace
}  // namespace mdnio::platform
