#include <arpa/inet.h>
#include <fcntl.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <sys/socket.h>
#include <unistd.h>

#include <string>
#include <thread>
#include <vector>

#include <gtest/gtest.h>

#include "platform/platform.h"

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

}  // namespace
}  // namespace mdnio::platform
