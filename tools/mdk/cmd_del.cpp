// mdk del: removes the record whose key equals the one given.
#include <fmt/format.h>

#include "mdk/commands.h"
#include "mdk/encoding.h"
#include "mdk/failure.h"
#include "mdk/session.h"

namespace mdk {

namespace {

struct Options {
    std::string file, key, encoding;
    int keyNumber = 1;
};

void run(const Options& o) {
    Environment env;
    OpenFile f(env, o.file, Access::ReadWrite);
    std::string key;
    try {
        key = encodeText(o.key, encodingNamed(o.encoding));
    } catch (const EscapeError& e) {
        throw Failure(fmt::format("key {}: {}", o.key, e.what()), kExitUsage);
    }
    const std::string what = fmt::format("{}: key \"{}\"", o.file, o.key);
    // Found by any key, removed as the current record: the primary key's value need not be
    // known (nor be the key area).
    if (!f.seek(key, o.keyNumber)) failNotFound(o.file, o.key, o.keyNumber);
    Record record;
    if (!f.read(MDK_READ_CURRENT, record)) f.fail(what);
    if (f.patiently([&] { return MDK_remove(f.get(), nullptr, 0); }) != 0) f.fail(what);
    fmt::print("{}: removed key \"{}\"\n", o.file, o.key);
}

}  // namespace

void addDel(CLI::App& app, int& status) {
    auto o = std::make_shared<Options>();
    CLI::App* command = app.add_subcommand(
        "del", "remove the first record whose key equals KEY; exit status 3 when there is none");
    addFileArgument(command, o->file);
    command->add_option("KEY", o->key, "the key's bytes (escaped as dump writes them)")->required();
    addKeyNumberOption(command, o->keyNumber);
    addEncodingOption(command, o->encoding);
    command->footer(examples({"mdk del customers.dat C00007"}));
    command->callback([o, &status] {
        run(*o);
        status = kExitOk;
    });
}

}  // namespace mdk
