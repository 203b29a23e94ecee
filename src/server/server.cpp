// The listening side of the file server: accepts connections and gives each a session thread.
#include <list>
#include <memory>
#include <mutex>
#include <thread>

#include "mdnio_server.h"
#include "platform/platform.h"
#include "server/paths.h"
#include "server/session.h"

namespace mdnio::server {

namespace {

// How often the accept loop looks whether the server is stopping.
constexpr int kAcceptStepMs = 200;

struct Worker {
    std::thread thread;
    std::shared_ptr<std::atomic<bool>> done = std::make_shared<std::atomic<bool>>(false);
};

}  // namespace

struct Server::State {
    Options options;
    std::string root;
    int listening = -1;
    int port = 0;
    std::atomic<bool> stopping{false};
    RequestCounts counts{};
    std::mutex workersLock;
    std::list<Worker> workers;

    SessionContext context() { return SessionContext{options, root, stopping, counts}; }

    // Joins the session threads that have ended (or all of them).
    void reap(bool all) {
        std::lock_guard<std::mutex> hold(workersLock);
        for (auto it = workers.begin(); it != workers.end();) {
            if (all || it->done->load()) {
                it->thread.join();
                it = workers.erase(it);
            } else {
                ++it;
            }
        }
    }

    void startSession(int socket) {
        Worker worker;
        auto done = worker.done;
        const SessionContext ctx = context();
        try {
            worker.thread = std::thread([socket, ctx, done] {
                {
                    Session session(socket, ctx);
                    session.serve();
                }
                done->store(true);
            });
        } catch (...) {
            platform::tcpClose(socket);  // no thread to be had: the caller is turned away
            return;
        }
        std::lock_guard<std::mutex> hold(workersLock);
        workers.push_back(std::move(worker));
    }
};

Server::Server(Options options) : state_(std::make_unique<State>()) {
    state_->options = std::move(options);
}

Server::~Server() {
    stop();
    state_->reap(true);
    platform::tcpClose(state_->listening);
}

bool Server::start(std::string* error) {
    State& s = *state_;
    s.root = canonicalRoot(s.options.root);
    if (s.root.empty()) {
        if (error) *error = "not a directory: " + s.options.root;
        return false;
    }
    s.listening = platform::tcpListen(s.options.address.c_str(), s.options.port, &s.port);
    if (s.listening < 0) {
        if (error)
            *error = "cannot listen on " + s.options.address + ":" + std::to_string(s.options.port);
        return false;
    }
    return true;
}

int Server::port() const {
    return state_->port;
}

void Server::run() {
    State& s = *state_;
    while (!s.stopping.load() && s.listening >= 0) {
        bool timedOut = false;
        int socket = platform::tcpAccept(s.listening, kAcceptStepMs, &timedOut);
        if (socket >= 0) s.startSession(socket);
        s.reap(false);
    }
}

void Server::stop() {
    state_->stopping.store(true);
}

int Server::sessionCount() const {
    std::lock_guard<std::mutex> hold(state_->workersLock);
    int live = 0;
    for (const Worker& w : state_->workers)
        live += w.done->load() ? 0 : 1;
    return live;
}

uint64_t Server::requestCount(int code) const {
    return code >= 0 && code < 256 ? state_->counts[static_cast<size_t>(code)].load() : 0;
}

}  // namespace mdnio::server
