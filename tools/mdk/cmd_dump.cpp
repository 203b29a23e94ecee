// mdk dump: every record (or those of a key range) in the order of a key, split into fields.
#include <fmt/format.h>

#include "mdk/columns.h"
#include "mdk/commands.h"
#include "mdk/cursor.h"
#include "mdk/escape.h"
#include "mdk/failure.h"
#include "mdk/rows.h"

namespace mdk {

namespace {

struct Options {
    std::string file, format, from, to;
    int keyNumber = 1;
    bool reverse = false;
    TableChoice table;
};

std::optional<std::string> keyBytes(const std::string& text, const char* option) {
    if (text.empty()) return std::nullopt;
    try {
        return unescape(text);
    } catch (const EscapeError& e) {
        throw Failure(fmt::format("{} {}: {}", option, text, e.what()), kExitUsage);
    }
}

int run(const Options& o) {
    Environment env;
    OpenFile f(env, o.file, Access::ReadOnly);
    const FieldCodec codec(f.separator());
    const Format format = formatNamed(o.format);
    const std::optional<Table> table = chosenTable(env, o.file, o.table);
    RecordPrinter printer(table, o.table, format, codec);
    KeyRange range{o.keyNumber, keyBytes(o.from, "--from"), keyBytes(o.to, "--to")};
    KeyCursor cursor(f, range, o.reverse);
    Record record;
    while (cursor.next(record))
        printer.print(record);
    return printer.finish();
}

}  // namespace

void addDump(CLI::App& app, int& status) {
    auto o = std::make_shared<Options>();
    CLI::App* command = app.add_subcommand(
        "dump",
        "print the records in key order, their data split into fields at the file's "
        "separator; bytes that are not printable are written \\xHH, which load reads back");
    addFileArgument(command, o->file);
    addKeyNumberOption(command, o->keyNumber);
    command->add_option("--from", o->from, "start at the first key at or after this one");
    command->add_option("--to", o->to, "stop after the keys that begin with at most this");
    command->add_flag("--reverse", o->reverse, "from the last key to the first");
    addFormatOption(command, o->format, "text");
    addTableOptions(command, o->table, true);
    command->footer(examples({
        "mdk dump customers.dat",
        "mdk dump customers.dat --dict sales.ini --table CUSTOMERS --format csv",
        "mdk dump customers.dat --key 2 --from B --to D --format jsonl > part.jsonl",
        "mdk dump products.ind --from 5 --to 9 --reverse --format csv",
    }));
    command->callback([o, &status] { status = run(*o); });
}

}  // namespace mdk
