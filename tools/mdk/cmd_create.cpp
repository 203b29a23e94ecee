// mdk create: a new, empty data file from a JSON layout (mdk/layout.h), or with the layout of
// another file.
#include <fmt/format.h>

#include <fstream>
#include <sstream>

#include "mdk/commands.h"
#include "mdk/failure.h"
#include "mdk/layout.h"

namespace mdk {

namespace {

struct Options {
    std::string file, layout, like;
};

Layout readLayout(const std::string& path) {
    std::ifstream in(path);
    if (!in) throw Failure(fmt::format("{}: cannot be read", path), kExitUsage);
    std::stringstream text;
    text << in.rdbuf();
    nlohmann::json j;
    try {
        j = nlohmann::json::parse(text.str());
    } catch (const nlohmann::json::exception& e) {
        throw Failure(fmt::format("{}: not JSON: {}", path, e.what()), kExitUsage);
    }
    try {
        return layoutFromJson(j);
    } catch (const Failure& f) {
        throw Failure(fmt::format("{}: {}", path, f.what()), f.exitStatus());
    }
}

std::string summary(const Layout& l) {
    if (l.kind == FileKind::Indexed) {
        return fmt::format("indexed file, records of {} bytes", l.indexed.recordSize);
    }
    if (l.kind == FileKind::Extended) {
        return fmt::format("extended keyed file, {}-byte blocks, {} key{}", l.extended.blockSize,
                           l.extended.keys.size(), l.extended.keys.size() == 1 ? "" : "s");
    }
    return fmt::format("classic keyed file, {} mode, {}-byte blocks, {} key{}",
                       l.classic.blockMode ? "block" : "slot", l.classic.blockSize,
                       l.classic.keys.size(), l.classic.keys.size() == 1 ? "" : "s");
}

void run(const Options& o) {
    Layout layout;
    if (o.like.empty() && o.layout.empty()) {
        throw Failure("create needs --layout LAYOUT.json or --like FILE", kExitUsage);
    }
    if (!o.like.empty()) {
        Environment env;
        OpenFile model(env, o.like, Access::ReadOnly);
        layout = layoutOfFile(model);
    } else {
        layout = readLayout(o.layout);
    }
    buildFile(o.file, layout);
    fmt::print("created {}: {}\n", o.file, summary(layout));
}

}  // namespace

void addCreate(CLI::App& app, int& status) {
    auto o = std::make_shared<Options>();
    CLI::App* command =
        app.add_subcommand("create",
                           "make a new, empty data file from a JSON layout (see the README for its "
                           "members), or with the layout of another file");
    command->add_option("FILE", o->file, "the file to create; it must not exist")->required();
    CLI::Option* layout = command->add_option("--layout", o->layout, "the layout, a JSON file")
                              ->check(CLI::ExistingFile);
    CLI::Option* like = command->add_option("--like", o->like, "copy the layout of this data file")
                            ->check(CLI::ExistingFile);
    layout->excludes(like);
    command->footer(examples({
        "mdk create customers.dat --layout customers.json",
        "  with customers.json:",
        R"(  {"kind": "classic", "storage": "block", "blockSize": 1024, "recordSize": 120,)",
        R"(   "keyAreaSize": 6, "separator": "|", "compress": true,)",
        R"(   "keys": [{"segments": [{"field": "key", "length": 6}]},)",
        R"(            {"segments": [{"field": 1, "length": 20, "options": ["upper"]}]}]})",
        "mdk create copy.dat --like customers.dat",
    }));
    command->callback([o, &status] {
        run(*o);
        status = kExitOk;
    });
}

}  // namespace mdk
