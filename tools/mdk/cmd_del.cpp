// mdk del: removes the record whose key equals the one given.
#include <fmt/format.h>

#include "mdk/commands.h"
#include "mdk/escape.h"
#include "mdk/failure.h"
#include "mdk/session.h"

namespace mdk {

namespace {

struct Options {
    std::string file, key;
    int keyNumber = 1;
};

void run(const Options& o) {
    Environment env;
    OpenFile f(env, o.file, Access::ReadWrite);
    std::string key;
    try {
        key = unescape(o.key);
    } catch (const EscapeError& e) {
        throw Failure(fmt::format("key {}: {}", o.key, e.what()), kExitUsage);
    }
    const std::string what = fmt::format("{}: key \"{}\"", o.file, o.key);
    // Found by any key, removed as the current record: the primary key's value need not be
    // known (nor be the key area).
    if (!f.seek(key, o.keyNumber)) f.fail(what);
    Record record;
    if (!f.read(MDK_READ_CURRENT, record)) f.fail(what);
    if (f.patiently([&] { return MDK_remove(f.get(), nullptr, 0); }) != 0) f.fail(what);
    fmt::print("{}: removed key \"{}\"\n", o.file, o.key);
}

}  // namespace

void addDel(CLI::App& app, int& status) {
    auto o = std::make_shared<Options>();
    CLI::App* command = app.add_subcommand("del", "remove the first record whose key equals KEY");
    addFileArgument(command, o->file);
    command->add_option("KEY", o->key, "the key's bytes (escaped as dump writes them)")->required();
    addKeyNumberOption(command, o->keyNumber);
    command->footer(examples({"mdk del customers.dat C00007"}));
    command->callback([o, &status] {
        run(*o);
        status = kExitOk;
    });
}

}  // namespace mdk
