// The file server driven by hand-made requests over loopback: sessions, server modes, the open
// with its root confinement, refusals of what cannot be answered, and the end of a session.
#include "mdnio_server.h"

#include <sys/stat.h>
#include <unistd.h>

#include <functional>
#include <string>
#include <thread>

#include <gtest/gtest.h>

#include "mdnio.h"
#include "platform/platform.h"
#include "remote/testing.h"
#include "remote/wire.h"
#include "testutil.h"

namespace mdnio::server {
namespace {

namespace rq = remote::request;

// A served root with one classic keyed file, and a server on a free port of 127.0.0.1 with a
// small frame limit, run by a thread of the test.
class ServerTest : public testing::Test {
  protected:
    void SetUp() override {
        remote::test::makeKeyedFile(root_.file("data.dat"));
        Options options;
        options.root = root_.path();
        options.port = 0;
        options.maxFrame = 1 << 16;
        server_ = std::make_unique<Server>(options);
        std::string error;
        ASSERT_TRUE(server_->start(&error)) << error;
        runner_ = std::thread([this] { server_->run(); });
    }
    void TearDown() override {
        server_->stop();
        if (runner_.joinable()) runner_.join();
        server_.reset();
    }

    MdkConnection* connect() { return remote::connectTo("127.0.0.1", server_->port()); }

    // Sends request `code` with the fields `put` adds; the reply's first long, or -99 when the
    // exchange failed.
    static int32_t ask(MdkConnection* c, uint8_t code,
                       const std::function<void(MdkConnection&)>& put = {}) {
        c->beginRequest(code);
        if (put) put(*c);
        int32_t result = -99;
        if (!c->exchange() || !c->getLong(result)) return -99;
        return result;
    }
    static int32_t openSession(MdkConnection* c) {
        c->session = ask(c, rq::kOpenSession);
        return c->session;
    }
    // Request 40 for `name`; the file number, or -1 with the code in *error.
    static int32_t openFile(MdkConnection* c, const std::string& name, int32_t* error,
                            int16_t flags = 0) {
        int32_t number = ask(c, rq::kOpen, [&](MdkConnection& m) {
            m.putLong(m.session);
            m.putText(name.c_str());
            m.putLong(0);
            m.putShort(flags);
            m.putLong(1);
        });
        *error = 0;
        if (number == -1) c->getLong(*error);
        return number;
    }

    test::TempDir root_;
    std::unique_ptr<Server> server_;
    std::thread runner_;
};

TEST_F(ServerTest, SessionNumbersAreUnpredictableAndTiedToTheirConnection) {
    MdkConnection* a = connect();
    MdkConnection* b = connect();
    ASSERT_TRUE(a && b);
    const int32_t first = openSession(a);
    const int32_t second = openSession(b);
    for (int32_t n : {first, second}) {
        EXPECT_NE(n, 0);
        EXPECT_NE(n, -1);
        EXPECT_NE(n, -99);
    }
    EXPECT_NE(first, second);
    EXPECT_EQ(ask(a, rq::kOpenSession), -1);  // one session per connection
    // A session number is only good on its own connection.
    EXPECT_EQ(ask(a, rq::kGetMode,
                  [&](MdkConnection& m) {
                      m.putLong(second);
                      m.putLong(MDK_MODE_VERSION);
                  }),
              -1);
    EXPECT_EQ(ask(a, rq::kGetMode,
                  [&](MdkConnection& m) {
                      m.putLong(first);
                      m.putLong(MDK_MODE_VERSION);
                  }),
              MDK_VERSION);
    remote::disconnect(a);
    remote::disconnect(b);
}

TEST_F(ServerTest, ServerModesAnswerTheClientAndRefuseWhatReachesTheMachine) {
    MdkConnection* c = connect();
    ASSERT_NE(c, nullptr);
    openSession(c);
    auto getMode = [&](int32_t mode) {
        return ask(c, rq::kGetMode, [&](MdkConnection& m) {
            m.putLong(m.session);
            m.putLong(mode);
        });
    };
    EXPECT_NE(static_cast<uint32_t>(getMode(remote::kServerKindMode)) >> 16, 3u);
    EXPECT_EQ(getMode(MDK_MODE_VERSION), MDK_VERSION);
    EXPECT_EQ(getMode(MDK_MODE_RUNTIME_LIB_DIR), -1);  // an address, never given out
    EXPECT_EQ(getMode(MDK_MODE_CATALOG), -1);

    struct Case {
        int32_t mode;
        const char* text;  // null: the value travels as a long
        int32_t value;
        int32_t result;
    };
    const Case cases[] = {
        {MDK_MODE_FAST_STEP, nullptr, 1, 0},        {MDK_MODE_FAST_STEP, nullptr, 0, 1},
        {MDK_MODE_LOCK_OPTIONS, nullptr, 8, -1},  // refused by the library itself
        {MDK_MODE_LOCK_OPTIONS, nullptr, 9, 0},     {MDK_MODE_RUNTIME_START_DIR, "/tmp", 0, -1},
        {MDK_MODE_RUNTIME_ARGS, "x", 0, -1},        {MDK_MODE_RUNTIME_LIB_DIR, "/tmp/lib", 0, -1},
        {MDK_MODE_SERVER_HOST, "elsewhere", 0, -1}, {MDK_MODE_SERVER_PORT, nullptr, 9, -1},
        {MDK_MODE_CATALOG, nullptr, 12345, -1},
    };
    for (const Case& k : cases) {
        SCOPED_TRACE(k.mode);
        EXPECT_EQ(ask(c, rq::kSetMode,
                      [&](MdkConnection& m) {
                          m.putLong(m.session);
                          m.putLong(k.mode);
                          if (k.text) {
                              m.putText(k.text);
                          } else {
                              m.putLong(k.value);
                          }
                      }),
                  k.result);
    }
    EXPECT_EQ(getMode(MDK_MODE_LOCK_OPTIONS), 9);
    remote::disconnect(c);
}

TEST_F(ServerTest, OpenServesOnlyNamesUnderTheRoot) {
    test::TempDir outside;
    test::writeFile(outside.file("secret.dat"), std::vector<uint8_t>(64, 'S'));
    ASSERT_EQ(symlink(outside.file("secret.dat").c_str(), root_.file("out.dat").c_str()), 0);
    ASSERT_EQ(symlink(outside.path().c_str(), root_.file("outdir").c_str()), 0);
    ASSERT_EQ(symlink("data.dat", root_.file("in.dat").c_str()), 0);
    ASSERT_EQ(mkdir(root_.file("sub").c_str(), 0777), 0);

    struct Case {
        std::string name;
        int32_t error;  // 0: opened
    };
    const Case cases[] = {
        {"data.dat", 0},
        {"in.dat", 0},
        {"sub/../data.dat", MDK_E_OPEN},
        {"../" + std::string(".."), MDK_E_OPEN},
        {root_.file("data.dat"), MDK_E_OPEN},  // absolute
        {"out.dat", MDK_E_OPEN},
        {"outdir/secret.dat", MDK_E_OPEN},
        {"[rmt:127.0.0.1;1]data.dat", MDK_E_OPEN},
        {"[RMT:x;1]y", MDK_E_OPEN},
        {"view@data.dat", MDK_E_OPEN},
        {"", MDK_E_OPEN},
        {"missing.dat", MDK_E_NOFILE},
    };
    MdkConnection* c = connect();
    ASSERT_NE(c, nullptr);
    openSession(c);
    for (const Case& k : cases) {
        SCOPED_TRACE(k.name);
        int32_t error = -7;
        int32_t number = openFile(c, k.name, &error);
        if (k.error == 0) {
            EXPECT_NE(number, -1);
            EXPECT_NE(number, 0);
            int32_t keyBuffer = 0;
            EXPECT_TRUE(c->getLong(keyBuffer));
            EXPECT_GT(keyBuffer, 8);
        } else {
            EXPECT_EQ(number, -1);
            EXPECT_EQ(error, k.error);
        }
    }
    remote::disconnect(c);
}

TEST_F(ServerTest, WhatCannotBeAnsweredIsRefusedAndTheSessionGoesOn) {
    MdkConnection* c = connect();
    ASSERT_NE(c, nullptr);
    EXPECT_EQ(ask(c, rq::kGetMode,
                  [](MdkConnection& m) {
                      m.putLong(0);  // before the session is open
                      m.putLong(MDK_MODE_VERSION);
                  }),
              -1);
    openSession(c);
    int32_t error = 0;
    const int32_t file = openFile(c, "data.dat", &error);
    ASSERT_NE(file, -1);
    struct Case {
        const char* what;
        uint8_t code;
        std::function<void(MdkConnection&)> put;
    };
    const Case cases[] = {
        {"unknown code", 200, {}},
        {"code 0", 0, {}},
        {"seek cut short", rq::kSeek, [&](MdkConnection& m) { m.putLong(file); }},
        {"seek key longer than its bytes", rq::kSeek,
         [&](MdkConnection& m) {
             m.putLong(file);
             m.putShort(1);
             m.putShort(8);
             m.putBytes("ab", 2);
         }},
        {"count past the frame", rq::kWrite,
         [&](MdkConnection& m) {
             m.putLong(file);
             m.putLong(1000);
             m.putLong(1000);  // the count of bytes that are not there
             m.putByte(1);
         }},
        {"record length and count differ", rq::kWrite,
         [&](MdkConnection& m) {
             m.putLong(file);
             m.putLong(50);
             m.putBytes("12345678", 8);
             m.putShort(0);
             m.putLong(MDK_WRITE_INSERT);
             m.putLong(0);
         }},
        {"negative read length", rq::kRead,
         [&](MdkConnection& m) {
             m.putLong(file);
             m.putLong(-5);
             m.putShort(1);
             m.putLong(0);
             m.putLong(0);
         }},
        {"read longer than a reply may be", rq::kRead,
         [&](MdkConnection& m) {
             m.putLong(file);
             m.putLong(1 << 20);
             m.putShort(1);
             m.putLong(0);
             m.putLong(0);
         }},
        {"file number never given", rq::kGetPosition,
         [&](MdkConnection& m) { m.putLong(file ^ 1); }},
        {"close of a number never given", rq::kClose,
         [&](MdkConnection& m) { m.putLong(file + 1); }},
    };
    for (const Case& k : cases) {
        SCOPED_TRACE(k.what);
        EXPECT_EQ(ask(c, k.code, k.put), -1);
    }
    // An empty frame, too.
    c->beginReply();
    ASSERT_TRUE(c->exchange());
    int32_t result = 0;
    ASSERT_TRUE(c->getLong(result));
    EXPECT_EQ(result, -1);
    EXPECT_EQ(ask(c, rq::kErrorNumber, [&](MdkConnection& m) { m.putLong(file + 1); }),
              MDK_E_HANDLE);
    EXPECT_EQ(ask(c, rq::kClose, [&](MdkConnection& m) { m.putLong(file); }), 0);
    EXPECT_EQ(server_->requestCount(200), 1u);
    remote::disconnect(c);
}

TEST_F(ServerTest, AnOversizedFrameEndsOnlyItsOwnConnection) {
    MdkConnection* other = connect();
    MdkConnection* c = connect();
    ASSERT_TRUE(other && c);
    openSession(other);
    openSession(c);
    const uint8_t huge[] = {0x00, 0x01, 0x00, 0x01, rq::kOpenSession};  // 65537 bytes announced
    ASSERT_TRUE(platform::tcpSendAll(c->socket, huge, sizeof huge));
    char byte;
    EXPECT_FALSE(platform::tcpRecvAll(c->socket, &byte, 1));  // closed without a reply
    EXPECT_EQ(ask(other, rq::kGetMode,
                  [](MdkConnection& m) {
                      m.putLong(m.session);
                      m.putLong(MDK_MODE_VERSION);
                  }),
              MDK_VERSION);
    remote::disconnect(c);
    remote::disconnect(other);
}

TEST_F(ServerTest, ADroppedConnectionClosesItsFilesAndRollsBack) {
    MdkConnection* a = connect();
    MdkConnection* b = connect();
    ASSERT_TRUE(a && b);
    openSession(a);
    openSession(b);
    int32_t error = 0;
    const int32_t file = openFile(a, "data.dat", &error, MDK_OPEN_EXCLUSIVE);
    ASSERT_NE(file, -1) << error;
    EXPECT_EQ(ask(a, rq::kBegin, [](MdkConnection& m) { m.putLong(m.session); }), 0);
    EXPECT_EQ(ask(a, rq::kWrite,
                  [&](MdkConnection& m) {
                      m.putLong(file);
                      m.putLong(4);
                      m.putBytes("data", 4);
                      m.putShort(8);
                      m.putBytes("key00001", 8);
                      m.putLong(MDK_WRITE_INSERT);
                      m.putLong(0);
                  }),
              0);
    EXPECT_EQ(openFile(b, "data.dat", &error), -1);  // held exclusively by the other session
    EXPECT_EQ(server_->sessionCount(), 2);

    remote::disconnect(a);  // gone without closing anything
    while (server_->sessionCount() > 1)
        platform::sleepMs(10);

    const int32_t again = openFile(b, "data.dat", &error);
    ASSERT_NE(again, -1) << error;
    // The insert of the dropped session was rolled back: the file has no record.
    EXPECT_EQ(ask(b, rq::kRead,
                  [&](MdkConnection& m) {
                      m.putLong(again);
                      m.putLong(64);
                      m.putShort(MDK_READ_NEXT);
                      m.putLong(0);
                      m.putLong(0);
                  }),
              -1);
    EXPECT_EQ(ask(b, rq::kErrorNumber, [&](MdkConnection& m) { m.putLong(again); }), MDK_E_EOF);
    remote::disconnect(b);
}

}  // namespace
}  // namespace mdnio::server
