// mdk serve: the remote file server.  It serves the data files under one directory to clients
// that open "[rmt:HOST;PORT]name", until SIGTERM or SIGINT ends it.
#include <fmt/format.h>

#include <csignal>
#include <cstdlib>
#include <string>

#include "mdk/commands.h"
#include "mdk/failure.h"
#include "mdnio_server.h"

namespace mdk {

namespace {

mdnio::server::Server* gServing = nullptr;

extern "C" void stopServing(int) {
    if (gServing) gServing->stop();  // one atomic store
}

struct ServeArgs {
    std::string root;
    std::string listen = "127.0.0.1:" + std::to_string(mdnio::server::kDefaultPort);
    int idleSeconds = 600;
    uint32_t maxFrame = 16u << 20;
};

// "ADDR:PORT" into the options; false when it is not that.
bool parseListen(const std::string& text, mdnio::server::Options& options) {
    const size_t colon = text.rfind(':');
    if (colon == std::string::npos || colon == 0 || colon + 1 == text.size()) return false;
    char* end = nullptr;
    const long port = std::strtol(text.c_str() + colon + 1, &end, 10);
    if (*end != '\0' || port < 0 || port > 65535) return false;
    options.address = text.substr(0, colon);
    options.port = static_cast<int>(port);
    return true;
}

void serve(const ServeArgs& args) {
    mdnio::server::Options options;
    options.root = args.root;
    options.idleSeconds = args.idleSeconds;
    options.maxFrame = args.maxFrame;
    if (!parseListen(args.listen, options))
        throw Failure("--listen wants ADDR:PORT, not " + args.listen, kExitUsage);
    mdnio::server::Server server(options);
    std::string error;
    if (!server.start(&error)) throw Failure(error);
    fmt::print("serving {} on {}:{}\n", args.root, options.address, server.port());
    std::fflush(stdout);
    gServing = &server;
    std::signal(SIGTERM, stopServing);
    std::signal(SIGINT, stopServing);
    server.run();
    std::signal(SIGTERM, SIG_DFL);
    std::signal(SIGINT, SIG_DFL);
    gServing = nullptr;
}

}  // namespace

void addServe(CLI::App& app, int& status) {
    auto args = std::make_shared<ServeArgs>();
    CLI::App* command = app.add_subcommand(
        "serve", "serve the data files under a directory to remote clients ([rmt:HOST;PORT]name)");
    command->add_option("root", args->root, "the directory whose files are served")
        ->required()
        ->check(CLI::ExistingDirectory);
    command
        ->add_option("--listen", args->listen,
                     "ADDR:PORT to listen on (port 0: any free port, printed at start)")
        ->capture_default_str();
    command
        ->add_option("--idle-timeout", args->idleSeconds,
                     "seconds of silence after which a session ends (0: never)")
        ->capture_default_str()
        ->check(CLI::NonNegativeNumber);
    command->add_option("--max-frame", args->maxFrame, "largest request accepted, in bytes")
        ->capture_default_str()
        ->check(CLI::Range(1024u, 1u << 30));
    command->footer(
        examples({"mdk serve /srv/data",
                  "mdk serve /srv/data --listen 0.0.0.0:7070   (trusted networks only)"}));
    command->callback([args, &status] {
        serve(*args);
        status = kExitOk;
    });
}

}  // namespace mdk
