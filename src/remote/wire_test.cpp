#include "remote/wire.h"

#include <arpa/inet.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cstdlib>
#include <cstring>
#include <fstream>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

#include <gtest/gtest.h>

#include "common/bytes.h"
#include "platform/platform.h"
#include "testutil.h"

namespace mdnio::remote {
namespace {

using Bytes = std::vector<uint8_t>;

Bytes body(const MdkConnection& c) {
    return Bytes(c.data + 4, c.data + c.length);
}

// Two connections joined by a socket pair: `client` and `server` ends.
struct Pair {
    Pair() {
        int fds[2];
        EXPECT_EQ(socketpair(AF_UNIX, SOCK_STREAM, 0, fds), 0);
        client = adoptSocket(fds[0], kClientMessageLimit);
        server = adoptSocket(fds[1], 1 << 20);
    }
    ~Pair() {
        disconnect(client);
        disconnect(server);
    }
    Pair(const Pair&) = delete;
    Pair& operator=(const Pair&) = delete;
    MdkConnection* client;
    MdkConnection* server;
};

TEST(MessageBuffer, SizesInWholePagesAndShedsOnlyWholePages) {
    struct Step {
        uint32_t need;
        uint32_t capacity;
        bool home;
    };
    // One connection taken through a run of received messages.
    const Step steps[] = {
        {0, 4096, true},       {4096, 4096, true},    {4097, 8192, false},   {8192, 8192, false},
        {8193, 12288, false},  {20000, 20480, false}, {5000, 8192, false},   {20000, 20480, false},
        {17000, 20480, false}, {16385, 20480, false}, {16384, 16384, false}, {3000, 4096, true},
        {1, 4096, true},
    };
    MdkConnection c;
    for (const Step& s : steps) {
        SCOPED_TRACE(s.need);
        ASSERT_TRUE(c.ensure(s.need, false));
        EXPECT_EQ(c.capacity, s.capacity);
        EXPECT_EQ(c.data == c.home, s.home);
        EXPECT_EQ(c.length, 0u);
        EXPECT_EQ(c.readPos, 0u);
    }
}

TEST(MessageBuffer, GrowingWhileBuildingKeepsWhatWasWritten) {
    MdkConnection c;
    ASSERT_TRUE(c.beginRequest(40));
    Bytes filler(4091, 0x5A);  // 4 + 1 + 4091 = 4096: still at home
    for (uint8_t b : filler)
        ASSERT_TRUE(c.putByte(b));
    EXPECT_EQ(c.length, 4096u);
    EXPECT_EQ(c.data, c.home);
    ASSERT_TRUE(c.putByte(0x77));  // 4097 bytes
    EXPECT_NE(c.data, c.home);
    EXPECT_EQ(c.capacity, 8192u);
    EXPECT_EQ(c.data[4], 40);
    EXPECT_EQ(c.data[4095], 0x5A);
    EXPECT_EQ(c.data[4096], 0x77);
}

TEST(MessageBuffer, RefusesMessagesOverItsLimit) {
    MdkConnection c;
    c.messageLimit = 10000;
    EXPECT_FALSE(c.ensure(10001, false));
    EXPECT_FALSE(c.ensure(UINT32_MAX, false));
    EXPECT_EQ(c.data, c.home);
    ASSERT_TRUE(c.beginRequest(1));
    Bytes big(20000, 1);
    EXPECT_FALSE(c.putBytes(big.data(), static_cast<int32_t>(big.size())));
}

TEST(WireValues, EncodeBigEndianWithCountsAndTerminators) {
    MdkConnection c;
    ASSERT_TRUE(c.beginRequest(5));
    ASSERT_TRUE(c.putLong(-2));
    ASSERT_TRUE(c.putShort(0x12345));  // the low 16 bits
    ASSERT_TRUE(c.putByte(0xAB));
    ASSERT_TRUE(c.putBytes("xy", 2));
    ASSERT_TRUE(c.putBytes(nullptr, 0));
    ASSERT_TRUE(c.putText("ab"));
    const Bytes expected = {5,   0xFF, 0xFF, 0xFF, 0xFE, 0x23, 0x45, 0xAB, 0, 0,   0,   2, 'x',
                            'y', 0,    0,    0,    0,    0,    0,    0,    3, 'a', 'b', 0};
    EXPECT_EQ(body(c), expected);
    // Negative counts and missing bytes never reach the message.
    const uint32_t before = c.length;
    EXPECT_FALSE(c.putBytes("z", -1));
    EXPECT_FALSE(c.putBytes(nullptr, 3));
    EXPECT_FALSE(c.putText(nullptr));
    EXPECT_EQ(c.length, before);
}

TEST(WireValues, FlagIsTrueForEveryValueButZero) {
    const std::pair<int32_t, uint8_t> cases[] = {
        {-1, 0x54}, {2, 0x54}, {1, 0x54}, {INT32_MIN, 0x54}, {0, 0x46}};
    for (auto [value, octet] : cases) {
        MdkConnection c;
        ASSERT_TRUE(c.beginRequest(51));
        ASSERT_TRUE(c.putFlag(value));
        EXPECT_EQ(c.data[5], octet) << value;
    }
}

// Puts `bytes` in the connection as a received message.
void received(MdkConnection& c, const Bytes& bytes) {
    ASSERT_TRUE(c.ensure(static_cast<uint32_t>(bytes.size()), false));
    common::copyBytes(c.data, bytes.data(), bytes.size());
    c.length = static_cast<uint32_t>(bytes.size());
    c.readPos = 0;
}

TEST(WireValues, GetsStayInsideTheReply) {
    MdkConnection c;
    received(c, {0, 0, 1, 2, 0xFF, 0xFE, 7});
    int32_t l = 0;
    uint16_t s = 0;
    uint8_t b = 0;
    ASSERT_TRUE(c.getLong(l));
    EXPECT_EQ(l, 0x102);
    ASSERT_TRUE(c.getShort(s));
    EXPECT_EQ(s, 0xFFFE);
    EXPECT_FALSE(c.getShort(s));  // one byte left
    EXPECT_EQ(c.readPos, 6u);
    ASSERT_TRUE(c.getByte(b));
    EXPECT_EQ(b, 7);
    EXPECT_FALSE(c.getByte(b));
    EXPECT_FALSE(c.getLong(l));
}

TEST(WireValues, CountedFieldsAreRefusedWhenTheyDoNotFit) {
    struct Case {
        const char* what;
        Bytes reply;
        size_t capacity;
        bool ok;
        int32_t count;
    };
    const Case cases[] = {
        {"fits", {0, 0, 0, 3, 'a', 'b', 'c'}, 3, true, 3},
        {"empty", {0, 0, 0, 0}, 0, true, 0},
        {"larger than the destination", {0, 0, 0, 3, 'a', 'b', 'c'}, 2, false, 0},
        {"past the reply", {0, 0, 0, 4, 'a', 'b', 'c'}, 10, false, 0},
        {"negative", {0xFF, 0xFF, 0xFF, 0xFF, 'a'}, 10, false, 0},
        {"count cut short", {0, 0, 0}, 10, false, 0},
    };
    for (const Case& k : cases) {
        SCOPED_TRACE(k.what);
        MdkConnection c;
        received(c, k.reply);
        char dst[16];
        std::memset(dst, '#', sizeof dst);
        int32_t count = -7;
        EXPECT_EQ(c.getBytes(dst, k.capacity, count), k.ok);
        if (k.ok) {
            EXPECT_EQ(count, k.count);
            EXPECT_EQ(std::string(dst, static_cast<size_t>(count)),
                      std::string(k.reply.begin() + 4, k.reply.end()));
        } else {
            EXPECT_EQ(count, -7);
            EXPECT_EQ(c.readPos, 0u);
            EXPECT_EQ(dst[0], '#');  // nothing written
        }
    }
}

TEST(WireValues, TextsNeedTheirTerminator) {
    const std::pair<Bytes, bool> cases[] = {
        {{0, 0, 0, 3, 'a', 'b', 0}, true},
        {{0, 0, 0, 1, 0}, true},
        {{0, 0, 0, 2, 'a', 'b'}, false},
        {{0, 0, 0, 0}, false},
    };
    for (const auto& [reply, ok] : cases) {
        MdkConnection c;
        received(c, reply);
        std::string text = "unchanged";
        EXPECT_EQ(c.getText(text), ok);
        if (!ok) {
            EXPECT_EQ(text, "unchanged");
        }
    }
    MdkConnection c;
    received(c, {0, 0, 0, 3, 'a', 'b', 0});
    std::string text;
    ASSERT_TRUE(c.getText(text));
    EXPECT_EQ(text, "ab");
}

TEST(RunLength, ExpandsEveryRunAndRefusesWhatDoesNotFit) {
    struct Case {
        const char* what;
        Bytes encoded;
        size_t capacity;
        int32_t result;
        uint8_t fill;  // every produced byte (when all alike)
    };
    const Case cases[] = {
        {"zero run, least", {0xF0, 0x00}, 400, 111, 0},
        {"zero run, most", {0xF0, 0xFF}, 400, 366, 0},
        {"repeat of none", {0x80, 0x41}, 400, 0, 0},
        {"repeat, most", {0xEF, 0x41}, 400, 111, 0x41},
        {"literal", {0x03, 'a', 'a', 'a'}, 400, 3, 'a'},
        {"exactly the destination", {0xF0, 0x00}, 111, 111, 0},
        {"one octet too many", {0xF0, 0x00}, 110, -1, 0},
        {"literal past the destination", {0x03, 'a', 'a', 'a'}, 2, -1, 0},
        {"literal cut short", {0x03, 'a'}, 400, -1, 0},
        {"repeat cut short", {0x85}, 400, -1, 0},
        {"control octet 0xF1 first", {0xF1, 'a'}, 400, -1, 0},
        {"control octet 0xF1 later", {0x01, 'a', 0xF1, 'b'}, 400, -1, 0},
        {"control octet 0xFF", {0xFF, 0x00}, 400, -1, 0},
        {"nothing", {}, 400, 0, 0},
    };
    for (const Case& k : cases) {
        SCOPED_TRACE(k.what);
        Bytes out(k.capacity + 8, 0xEE);
        EXPECT_EQ(expandRun(out.data(), k.capacity, k.encoded.data(), k.encoded.size()), k.result);
        for (int32_t i = 0; i < k.result; ++i)
            ASSERT_EQ(out[i], k.fill) << i;
        EXPECT_EQ(out[k.capacity], 0xEE);  // never past the destination
    }
}

TEST(RunLength, EncodesWhatItShortensAndExpandsBackToIt) {
    Bytes record(1000, 0);
    for (size_t i = 500; i < 540; ++i)
        record[i] = static_cast<uint8_t>(i);
    Bytes encoded;
    ASSERT_TRUE(encodeRun(record.data(), record.size(), encoded));
    EXPECT_LT(encoded.size(), record.size());
    Bytes back(record.size());
    EXPECT_EQ(expandRun(back.data(), back.size(), encoded.data(), encoded.size()),
              static_cast<int32_t>(record.size()));
    EXPECT_EQ(back, record);

    Bytes noise(64);
    for (size_t i = 0; i < noise.size(); ++i)
        noise[i] = static_cast<uint8_t>(i * 37 + 11);
    EXPECT_FALSE(encodeRun(noise.data(), noise.size(), encoded));
    EXPECT_TRUE(encoded.empty());
}

TEST(Framing, ExchangesRequestsAndRepliesOfEverySize) {
    Pair p;
    for (uint32_t size : {0u, 1u, 4095u, 4096u, 20000u, 3000u}) {
        SCOPED_TRACE(size);
        std::thread serverSide([&] {
            ASSERT_TRUE(p.server->receive());
            uint8_t code = 0;
            ASSERT_TRUE(p.server->getByte(code));
            EXPECT_EQ(code, 63);
            p.server->beginReply();
            for (uint32_t i = 0; i < size; ++i)
                ASSERT_TRUE(p.server->putByte(static_cast<uint8_t>(i)));
            ASSERT_TRUE(p.server->send());
        });
        ASSERT_TRUE(p.client->beginRequest(63));
        ASSERT_TRUE(p.client->exchange());
        serverSide.join();
        EXPECT_EQ(p.client->length, size);
        EXPECT_EQ(p.client->readPos, 0u);
        if (size > 0) {
            EXPECT_EQ(p.client->data[size - 1], static_cast<uint8_t>(size - 1));
        }
    }
    EXPECT_EQ(p.client->traffic.messagesSent, 6u);
    EXPECT_EQ(p.client->traffic.bytesSent, 6u * 5);
    EXPECT_EQ(p.client->traffic.messagesReceived, 6u);
    EXPECT_EQ(p.client->traffic.bytesReceived, 0u + 1 + 4095 + 4096 + 20000 + 3000 + 6 * 4);
}

TEST(Framing, AReplyCutShortBreaksTheConnectionForGood) {
    struct Case {
        const char* what;
        Bytes sent;  // what the peer sends before it closes
    };
    const Case cases[] = {
        {"nothing", {}},
        {"half a prefix", {0, 0}},
        {"half a body", {0, 0, 0, 8, 1, 2, 3}},
        {"a length over the limit", {0x7F, 0xFF, 0xFF, 0xFF, 1, 2}},
    };
    for (const Case& k : cases) {
        SCOPED_TRACE(k.what);
        Pair p;
        ASSERT_TRUE(p.client->beginRequest(2));
        ASSERT_TRUE(p.client->putLong(1));
        ASSERT_TRUE(p.client->send());
        ASSERT_TRUE(p.server->receive());
        if (!k.sent.empty()) {
            ASSERT_EQ(write(p.server->socket, k.sent.data(), k.sent.size()),
                      static_cast<ssize_t>(k.sent.size()));
        }
        if (k.sent.size() < 5 || k.sent[0] == 0) p.server->breakOff();
        EXPECT_FALSE(p.client->receive());
        EXPECT_TRUE(p.client->broken);
        EXPECT_EQ(p.client->socket, -1);
        // Whatever else may still come, no later request is answered on this connection.
        ASSERT_TRUE(p.client->beginRequest(10));
        EXPECT_FALSE(p.client->exchange());
        EXPECT_EQ(p.client->traffic.messagesReceived, 0u);
    }
}

std::string fileText(const std::string& path) {
    std::ifstream in(path);
    std::stringstream s;
    s << in.rdbuf();
    return s.str();
}

TEST(Traffic, StatisticsLineOnlyWhenTheVariableIsSet) {
    test::TempDir dir;
    const std::string path = dir.file("traffic.txt");
    int listening = platform::tcpListen("127.0.0.1", 0, nullptr);
    ASSERT_GE(listening, 0);
    sockaddr_in addr{};
    socklen_t len = sizeof addr;
    ASSERT_EQ(getsockname(listening, reinterpret_cast<sockaddr*>(&addr), &len), 0);
    const int port = ntohs(addr.sin_port);

    auto oneExchange = [&] {
        MdkConnection* c = connectTo("127.0.0.1", port);
        EXPECT_NE(c, nullptr);
        if (!c) return;
        MdkConnection* s = adoptSocket(platform::tcpAccept(listening, 5000, nullptr), 1 << 20);
        std::thread serverSide([s] {
            if (!s->receive()) return;
            s->beginReply();
            s->putLong(0);
            s->send();
        });
        EXPECT_TRUE(c->beginRequest(38));
        EXPECT_TRUE(c->exchange());
        serverSide.join();
        disconnect(c);
        disconnect(s);
    };

    unsetenv(kStatFileVariable);
    oneExchange();
    EXPECT_NE(access(path.c_str(), F_OK), 0);

    setenv(kStatFileVariable, path.c_str(), 1);
    oneExchange();
    oneExchange();
    unsetenv(kStatFileVariable);
    EXPECT_EQ(fileText(path), std::string("sent: 1 recv: 1 sent_b: 5 recv_b: 8\n") +
                                  "sent: 1 recv: 1 sent_b: 5 recv_b: 8\n");
    platform::tcpClose(listening);
}

}  // namespace
}  // namespace mdnio::remote
