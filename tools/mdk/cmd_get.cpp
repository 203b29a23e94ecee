// mdk get: the record whose key equals the one given.
#include <fmt/format.h>

#include "mdk/columns.h"
#include "mdk/commands.h"
#include "mdk/escape.h"
#include "mdk/failure.h"
#include "mdk/rows.h"

namespace mdk {

namespace {

struct Options {
    std::string file, key, format;
    int keyNumber = 1;
    TableChoice table;
};

int run(const Options& o) {
    Environment env;
    OpenFile f(env, o.file, Access::ReadOnly);
    const std::optional<Table> table = chosenTable(env, o.file, o.table);
    const FieldCodec codec(f.separator());
    RecordPrinter printer(table, o.table, formatNamed(o.format), codec);
    std::string key;
    try {
        key = unescape(o.key);
    } catch (const EscapeError& e) {
        throw Failure(fmt::format("key {}: {}", o.key, e.what()), kExitUsage);
    }
    if (!f.seek(key, o.keyNumber)) f.fail(fmt::format("{}: key \"{}\"", o.file, o.key));
    Record record;
    if (!f.read(MDK_READ_CURRENT, record)) f.fail(fmt::format("{}: key \"{}\"", o.file, o.key));
    printer.print(record);
    return printer.finish();
}

}  // namespace

void addGet(CLI::App& app, int& status) {
    auto o = std::make_shared<Options>();
    CLI::App* command = app.add_subcommand("get", "print the first record whose key equals KEY");
    addFileArgument(command, o->file);
    command
        ->add_option("KEY", o->key,
                     "the key's bytes (escaped as dump writes them); indexed files: the record "
                     "number")
        ->required();
    addKeyNumberOption(command, o->keyNumber);
    addFormatOption(command, o->format, "text");
    addTableOptions(command, o->table, true);
    command->footer(examples({"mdk get customers.dat C00007", "mdk get customers.dat --key 2 ACME",
                              "mdk get products.ind 12 --format jsonl",
                              "mdk get stock.dat S0000003 --table stock --format jsonl"}));
    command->callback([o, &status] { status = run(*o); });
}

}  // namespace mdk
