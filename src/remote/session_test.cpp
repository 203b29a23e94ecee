// The client's session with a server: the server part of names, the checks at connect, the
// settings the server follows, the end of the session, and a link that breaks.  A stand-in
// server answers as each test scripts it.
#include "remote/session.h"

#include <algorithm>
#include <functional>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include <gtest/gtest.h>

#include "mdnio.h"
#include "platform/platform.h"
#include "remote/wire.h"

namespace mdnio::remote {
namespace {

TEST(ServerPart, SplitsHostPortAndFileName) {
    struct Case {
        std::string text;
        bool ok;
        std::string host;
        int port;
        std::string file;
    };
    const Case cases[] = {
        {"host;4000]dir/f.dat", true, "host", 4000, "dir/f.dat"},
        {"h;40x12]f", true, "h", 40, "f"},  // leading digits only
        {"h;]f", true, "h", 0, "f"},
        {"h;12345]", true, "h", 12345, ""},
        {"h;123456]f", false, "", 0, ""},  // six port characters
        {"h4000]f", false, "", 0, ""},     // no ";"
        {"h;4000f", false, "", 0, ""},     // no "]"
        {std::string(255, 'a') + ";1]f", true, std::string(255, 'a'), 1, "f"},
        {std::string(256, 'a') + ";1]f", false, "", 0, ""},
        {"a]b;7]c\\d", true, "a]b", 7, "c\\d"},
    };
    for (const Case& k : cases) {
        SCOPED_TRACE(k.text);
        ServerPart part;
        ASSERT_EQ(parseServerPart(k.text.c_str(), &part), k.ok);
        if (!k.ok) continue;
        EXPECT_EQ(part.host, k.host);
        EXPECT_EQ(part.port, k.port);
        EXPECT_EQ(std::string(part.fileName), k.file);
    }
}

TEST(ServerPart, VersionKeysTellCompatibleServers) {
    const std::pair<int32_t, int32_t> cases[] = {
        {4002000, 364}, {4002999, 364}, {4102000, 373}, {4012000, 365}, {0, 0}};
    for (auto [version, key] : cases)
        EXPECT_EQ(versionKey(version), key) << version;
}

// A stand-in server on a free port: each request goes to `answer`, which builds the reply (or
// answers false to close the connection without one).  It takes one connection at a time and
// notes every request code and the modes of the settings it was sent.
class StandIn {
  public:
    using Answer = std::function<bool(MdkConnection& c, uint8_t code)>;

    explicit StandIn(Answer answer) : answer_(std::move(answer)) {
        listening_ = platform::tcpListen("127.0.0.1", 0, &port_);
        EXPECT_GE(listening_, 0);
        thread_ = std::thread([this] { loop(); });
    }
    ~StandIn() {
        stop_ = true;
        thread_.join();
        platform::tcpClose(listening_);
    }
    StandIn(const StandIn&) = delete;
    StandIn& operator=(const StandIn&) = delete;

    int port() const { return port_; }
    std::string name(const std::string& file) const {
        return "[rmt:127.0.0.1;" + std::to_string(port_) + "]" + file;
    }
    std::vector<int> codes() {
        std::lock_guard<std::mutex> hold(lock_);
        return codes_;
    }
    std::vector<int> settings() {
        std::lock_guard<std::mutex> hold(lock_);
        return settings_;
    }

    // The answers of a well-behaved server of the library's version.
    static bool standard(MdkConnection& c, uint8_t code, int32_t version = MDK_VERSION,
                         int32_t kind = 0x10000, int32_t session = 4711) {
        int32_t number = 0, mode = 0;
        c.getLong(number);
        c.getLong(mode);  // of request 65 (read before the reply overwrites the request)
        c.beginReply();
        switch (code) {
            case request::kOpenSession:
                return c.putLong(session);
            case request::kGetMode:
                return c.putLong(mode == kServerKindMode    ? kind
                                 : mode == MDK_MODE_VERSION ? version
                                                            : -1);
            case request::kOpen:  // no such file
                return c.putLong(-1) && c.putLong(MDK_E_NOFILE);
            default:
                return c.putLong(0);
        }
    }

  private:
    void loop() {
        while (!stop_) {
            bool timedOut = false;
            int sock = platform::tcpAccept(listening_, 50, &timedOut);
            if (sock < 0) continue;
            MdkConnection* c = adoptSocket(sock, 1 << 20);
            while (!stop_ && platform::tcpWaitReadable(sock, 50) != platform::WaitResult::Failed) {
                if (platform::tcpWaitReadable(sock, 0) != platform::WaitResult::Ready) continue;
                if (!c->receive() || !answerOne(*c)) break;
            }
            disconnect(c);
        }
    }
    bool answerOne(MdkConnection& c) {
        uint8_t code = 0;
        c.getByte(code);
        {
            std::lock_guard<std::mutex> hold(lock_);
            codes_.push_back(code);
            int32_t session = 0, mode = 0;
            if (code == request::kSetMode && c.getLong(session) && c.getLong(mode))
                settings_.push_back(mode);
            c.readPos = 1;
        }
        return answer_(c, code) && c.send();
    }

    Answer answer_;
    int listening_ = -1;
    int port_ = 0;
    std::atomic<bool> stop_{false};
    std::thread thread_;
    std::mutex lock_;
    std::vector<int> codes_;
    std::vector<int> settings_;
};

int32_t openError(MdkEnv* env, const std::string& name, MdkFile** file = nullptr) {
    int32_t error = 0;
    MdkFile* f = MDK_OpenExt(env, name.c_str(), nullptr, 0, 0, &error);
    if (file) *file = f;
    return f == MDK_INVALID_FILE ? error : 0;
}

TEST(Session, ServersThatFailTheChecksAreRefused) {
    struct Case {
        const char* what;
        int32_t session, kind, version;
        int32_t error;  // the open's code (33: the checks passed and the server said no file)
    };
    const Case cases[] = {
        {"session number 0", 0, 0x10000, MDK_VERSION, MDK_E_NETWORK},
        {"session number -1", -1, 0x10000, MDK_VERSION, MDK_E_NETWORK},
        {"refused server kind", 4711, 0x30000, MDK_VERSION, MDK_E_VERSION},
        {"refused server kind, low bits set", 4711, 0x3FFFF, MDK_VERSION, MDK_E_VERSION},
        {"another version key", 4711, 0x10000, 4102000, MDK_E_VERSION},
        {"same version key", 4711, 0x10000, 4002999, MDK_E_NOFILE},
    };
    for (const Case& k : cases) {
        SCOPED_TRACE(k.what);
        StandIn server([&](MdkConnection& c, uint8_t code) {
            return StandIn::standard(c, code, k.version, k.kind, k.session);
        });
        MdkEnv* env = MDK_AllocEnv();
        EXPECT_EQ(openError(env, server.name("f.dat")), k.error);
        EXPECT_EQ(env->remoteSession != nullptr, k.error == MDK_E_NOFILE);
        // A refused server leaves no connection: the next name tries afresh.
        EXPECT_EQ(openError(env, server.name("f.dat")), k.error);
        MDK_DeAllocEnv(env);
        int opened = 0;
        for (int code : server.codes())
            opened += code == request::kOpenSession;
        EXPECT_EQ(opened, k.error == MDK_E_NOFILE ? 1 : 2);
    }
}

TEST(Session, SettingsFollowTheEnvironmentAndTheSessionEndsWithIt) {
    StandIn server([](MdkConnection& c, uint8_t code) { return StandIn::standard(c, code); });
    MdkEnv* env = MDK_AllocEnv();
    MDSetEnvMode(env, MDK_MODE_FAST_STEP, 1);
    EXPECT_EQ(openError(env, server.name("f.dat")), MDK_E_NOFILE);
    EXPECT_EQ(server.settings(), (std::vector<int>{1, 2, 3, 4, 5, 6, 7, 8}));
    EXPECT_EQ(MDGetEnvMode(env, MDK_MODE_SERVER_INFO), MDK_VERSION);
    EXPECT_EQ(MDSetEnvMode(env, MDK_MODE_FAST_STEP, 0), 1);
    EXPECT_EQ(MDSetEnvMode(env, MDK_MODE_SEGMENT_SIZE_ANY, 100), 0);  // not forwarded
    EXPECT_EQ(MDSetEnvMode(env, MDK_MODE_LOCK_OPTIONS, 8), -5);       // refused: not forwarded
    EXPECT_EQ(server.settings(), (std::vector<int>{1, 2, 3, 4, 5, 6, 7, 8, 2}));
    MDK_DeAllocEnv(env);
    const auto codes = server.codes();
    ASSERT_FALSE(codes.empty());
    EXPECT_EQ(codes.back(), request::kCloseSession);
}

TEST(Session, NamesOfAnotherServerAreRefused) {
    StandIn first([](MdkConnection& c, uint8_t code) { return StandIn::standard(c, code); });
    StandIn second([](MdkConnection& c, uint8_t code) { return StandIn::standard(c, code); });
    MdkEnv* env = MDK_AllocEnv();
    EXPECT_EQ(openError(env, first.name("a.dat")), MDK_E_NOFILE);
    EXPECT_EQ(openError(env, second.name("b.dat")), MDK_E_OPEN);
    EXPECT_EQ(openError(env, first.name("c.dat")), MDK_E_NOFILE);
    MDK_DeAllocEnv(env);
    EXPECT_TRUE(second.codes().empty());
    int opens = 0;
    for (int code : first.codes())
        opens += code == request::kOpen;
    EXPECT_EQ(opens, 2);
}

TEST(Session, ReconnectModesNeedAServer) {
    MdkEnv* env = MDK_AllocEnv();
    EXPECT_EQ(MDGetEnvMode(env, MDK_MODE_SERVER_CONNECT), -5);  // no host
    MDSetEnvMode(env, MDK_MODE_SERVER_HOST, reinterpret_cast<intptr_t>("127.0.0.1"));
    EXPECT_EQ(MDGetEnvMode(env, MDK_MODE_SERVER_CONNECT), -5);  // port 0
    EXPECT_EQ(MDGetEnvMode(env, MDK_MODE_SERVER_INFO), -5);
    int port = 0;
    int closed = platform::tcpListen("127.0.0.1", 0, &port);
    platform::tcpClose(closed);  // nobody listens there now
    MDSetEnvMode(env, MDK_MODE_SERVER_PORT, port);
    EXPECT_EQ(MDGetEnvMode(env, MDK_MODE_SERVER_CONNECT), -MDK_E_NETWORK);
    {
        StandIn server([](MdkConnection& c, uint8_t code) { return StandIn::standard(c, code); });
        MDSetEnvMode(env, MDK_MODE_SERVER_PORT, server.port());
        EXPECT_EQ(MDGetEnvMode(env, MDK_MODE_SERVER_CONNECT), 0);
        EXPECT_EQ(MDGetEnvMode(env, MDK_MODE_SERVER_CONNECT), 0);  // connected already
        EXPECT_EQ(MDGetEnvMode(env, MDK_MODE_SERVER_INFO), MDK_VERSION);
        MDK_DeAllocEnv(env);
        int sessions = 0;
        for (int code : server.codes())
            sessions += code == request::kOpenSession;
        EXPECT_EQ(sessions, 1);
    }
}

// A server that opens every file and then goes silent: it closes the connection instead of
// answering `dropAt`, once.
struct Dropping {
    uint8_t dropAt;
    bool dropped = false;
    bool operator()(MdkConnection& c, uint8_t code) {
        if (code == dropAt && !dropped) {
            dropped = true;
            return false;
        }
        if (code != request::kOpen) return StandIn::standard(c, code);
        c.beginReply();
        bool ok = c.putLong(77);
        for (int32_t fact : {13, 40, 8, 5, 0x8A, 0})
            ok = ok && c.putLong(fact);
        return ok;
    }
};

TEST(Session, OpenRepliesThatMakeNoSenseAreRefused) {
    struct Case {
        const char* what;
        std::vector<int32_t> reply;  // file number, then the facts
        int32_t error;
        bool closedAgain;  // the server is asked to close the file it opened
    };
    const Case cases[] = {
        {"sound", {77, 13, 40, 8, 5, 0x8A, 0}, 0, false},
        {"negative key buffer size", {77, -13, 40, 8, 5, 0x8A, 0}, MDK_E_NETWORK, true},
        {"huge data length", {77, 13, 1 << 30, 8, 5, 0x8A, 0}, MDK_E_NETWORK, true},
        {"record count below -1", {77, 13, 40, 8, -2, 0x8A, 0}, MDK_E_NETWORK, true},
        {"file number 0", {0, 13, 40, 8, 5, 0x8A, 0}, MDK_E_NETWORK, true},
        {"facts cut short", {77, 13, 40}, MDK_E_OPEN, false},
        {"refusal without its code", {-1}, MDK_E_OPEN, false},
    };
    for (const Case& k : cases) {
        SCOPED_TRACE(k.what);
        StandIn server([&](MdkConnection& c, uint8_t code) {
            if (code != request::kOpen) return StandIn::standard(c, code);
            c.beginReply();
            for (int32_t v : k.reply)
                c.putLong(v);
            return true;
        });
        MdkEnv* env = MDK_AllocEnv();
        EXPECT_EQ(openError(env, server.name("f.dat")), k.error);
        MDK_DeAllocEnv(env);
        const auto codes = server.codes();
        EXPECT_EQ(std::count(codes.begin(), codes.end(), request::kClose),
                  k.closedAgain || k.error == 0 ? 1 : 0);
    }
}

TEST(Session, ABrokenLinkGives43UntilAReconnect) {
    for (uint8_t dropAt : {request::kRead, request::kClose}) {
        SCOPED_TRACE(static_cast<int>(dropAt));
        Dropping script{dropAt};
        StandIn server([&](MdkConnection& c, uint8_t code) { return script(c, code); });
        MdkEnv* env = MDK_AllocEnv();
        MdkFile* f = nullptr;
        ASSERT_EQ(openError(env, server.name("f.dat"), &f), 0);
        char buf[64];
        if (dropAt == request::kRead) {
            EXPECT_EQ(MDK_read(f, buf, sizeof buf, MDK_READ_NEXT), -1);
        } else {
            EXPECT_EQ(MDK_close(f), -1);  // the handle stays open
        }
        EXPECT_EQ(MDK_geterrno(f), MDK_E_NETWORK);
        const size_t asked = server.codes().size();
        // Nothing more goes to the server on the broken link, and no answer is taken for
        // another request.
        EXPECT_EQ(MDK_seek(f, "k", 1, 1), -1);
        EXPECT_EQ(MDK_geterrno(f), MDK_E_NETWORK);
        EXPECT_EQ(openError(env, server.name("g.dat")), MDK_E_NETWORK);
        EXPECT_EQ(server.codes().size(), asked);

        // Mode 14 makes a new link; the old handle stays cut off from it.
        EXPECT_EQ(MDGetEnvMode(env, MDK_MODE_SERVER_CONNECT), 0);
        EXPECT_EQ(MDK_read(f, buf, sizeof buf, MDK_READ_NEXT), -1);
        EXPECT_EQ(MDK_geterrno(f), MDK_E_NETWORK);
        MdkFile* g = nullptr;
        EXPECT_EQ(openError(env, server.name("g.dat"), &g), 0);
        EXPECT_EQ(MDK_setpos(g, 5), 0);
        MDK_DeAllocEnv(env);
    }
}

}  // namespace
}  // namespace mdnio::remote
