// One client connection of the file server: a session with an environment of its own, the files
// it opened under numbers of its own, and the loop that answers its requests one by one.
#pragma once

#include <array>
#include <atomic>
#include <cstdint>
#include <random>
#include <string>
#include <unordered_map>

#include "mdnio.h"
#include "mdnio_server.h"
#include "remote/wire.h"

namespace mdnio::server {

using RequestCounts = std::array<std::atomic<uint64_t>, 256>;

// What the server shares with its sessions.
struct SessionContext {
    const Options& options;
    const std::string& root;  // canonical
    const std::atomic<bool>& stopping;
    RequestCounts& counts;
};

class Session {
  public:
    // Takes over the accepted socket.
    Session(int socket, const SessionContext& context);
    // Closes the session's files and rolls its transaction back (the environment goes).
    ~Session();
    Session(const Session&) = delete;
    Session& operator=(const Session&) = delete;

    // Answers requests until the client ends the session or goes away, stays silent longer
    // than the idle time, sends something that cannot be answered in step, or the server stops.
    void serve();

  private:
    enum class Outcome {
        Answered,  // the reply is built
        Refused,   // a reply of -1 is to be sent instead
        Last,      // the reply is built; the session ends after it is sent
    };
    struct OpenFile {
        MdkFile* handle;
        int32_t error = -1;  // the code request 10 answers; -1: ask the handle
    };
    using Handler = Outcome (Session::*)();

    bool waitForRequest();
    bool answerOne();
    static Handler handlerFor(uint8_t code);

    // Request fields.
    bool sessionMatches();
    OpenFile* fileField();
    int32_t newNumber();
    Outcome reply(int32_t result);
    Outcome fileResult(OpenFile& file, int32_t result);

    // Handlers, one per request code.
    Outcome openSession();
    Outcome closeSession();
    Outcome getMode();
    Outcome setMode();
    Outcome open();
    Outcome close();
    Outcome seek();
    Outcome read();
    Outcome write();
    Outcome remove();
    Outcome getPosition();
    Outcome setPosition();
    Outcome errorNumber();
    Outcome reportError();
    Outcome transaction();

    const SessionContext& context_;
    MdkConnection* link_;
    MdkEnv* env_;
    int32_t number_ = 0;  // 0 until request 38
    uint8_t code_ = 0;    // the request being answered
    std::unordered_map<int32_t, OpenFile> files_;
    std::mt19937_64 random_;
};

}  // namespace mdnio::server
