/* mdnio_server.h: the remote file server, as a C++ library (libmdnio_server.a).
 *
 * It serves the data files under one root directory to clients that open names of the form
 * "[rmt:HOST;PORT]name".  Each connection is one session with an environment of its own,
 * served by a thread of its own, so a slow or stalled client never holds up the others.  It
 * works on the files through the public interface of mdnio.h.
 *
 * Passwords and records travel in clear: keep the server on a trusted network, or reach it
 * through a TLS tunnel. */
#pragma once

#include <cstdint>
#include <memory>
#include <string>

namespace mdnio::server {

// The port `mdk serve` listens on unless told otherwise.
constexpr int kDefaultPort = 7070;

struct Options {
    std::string root;                   // the directory whose files are served
    std::string address = "127.0.0.1";  // dotted IPv4 address to listen on
    int port = kDefaultPort;            // 0: any free port (see Server::port)
    uint32_t maxFrame = 16u << 20;      // largest request accepted, in bytes
    int idleSeconds = 600;              // a session that sends nothing this long ends
};

class Server {
  public:
    explicit Server(Options options);
    ~Server();  // stops and waits for every session
    Server(const Server&) = delete;
    Server& operator=(const Server&) = delete;

    // Checks the root and starts listening; false with the reason in *error.
    bool start(std::string* error);
    // The port listened on, once started.
    int port() const;
    // Serves connections until stop() is called.
    void run();
    // Ends run() and every session (from any thread, or a signal handler through requestStop).
    void stop();
    // How many requests with `code` the sessions have answered (0 to 255).
    uint64_t requestCount(int code) const;
    // Sessions whose connection is still being served.
    int sessionCount() const;

    struct State;

  private:
    std::unique_ptr<State> state_;
};

}  // namespace mdnio::server
