// mdk get: the record whose key equals the one given.
#include <fmt/format.h>

#include "mdk/columns.h"
#include "mdk/commands.h"
#include "mdk/encoding.h"
#include "mdk/failure.h"
#include "mdk/rows.h"

namespace mdk {

namespace {

struct Options {
    std::string file, key, format, encoding;
    int keyNumber = 1;
    TableChoice table;
};

int run(const Options& o) {
    Environment env;
    OpenFile f(env, o.file, Access::ReadOnly);
    const Format format = formatNamed(o.format);
    const FieldCodec codec = textCodec(f, o.encoding, format);
    const std::optional<Table> table = chosenTable(env, o.file, o.table);
    RecordPrinter printer(table, o.table, format, codec);
    std::string key;
    try {
        key = encodeText(o.key, codec.encoding());
    } catch (const EscapeError& e) {
        throw Failure(fmt::format("key {}: {}", o.key, e.what()), kExitUsage);
    }
    // An indexed file's records are numbered from 0 to the record count less one.
    const bool beyond =
        f.kind() == FileKind::Indexed && std::stol(recordNumberKey(key)) >= f.recordCount();
    if (beyond || !f.seek(key, o.keyNumber)) failNotFound(o.file, o.key, o.keyNumber);
    Record record;
    if (!f.read(MDK_READ_CURRENT, record)) f.fail(fmt::format("{}: key \"{}\"", o.file, o.key));
    printer.print(record);
    return printer.finish();
}

}  // namespace

void addGet(CLI::App& app, int& status) {
    auto o = std::make_shared<Options>();
    CLI::App* command = app.add_subcommand(
        "get", "print the first record whose key equals KEY; exit status 3 when there is none");
    addFileArgument(command, o->file);
    command
        ->add_option("KEY", o->key,
                     "the key's bytes (escaped as dump writes them); indexed files: the record "
                     "number")
        ->required();
    addKeyNumberOption(command, o->keyNumber);
    addFormatOption(command, o->format, "text");
    addEncodingOption(command, o->encoding);
    addTableOptions(command, o->table, true);
    command->footer(examples({"mdk get customers.dat C00007", "mdk get customers.dat --key 2 ACME",
                              "mdk get products.ind 12 --format jsonl",
                              "mdk get stock.dat S0000003 --table stock --format jsonl"}));
    command->callback([o, &status] { status = run(*o); });
}

}  // namespace mdk
