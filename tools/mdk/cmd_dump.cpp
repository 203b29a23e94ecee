// mdk dump: every record (or those of a key range) in the order of a key, split into fields.
#include <fmt/format.h>

#include "mdk/columns.h"
#include "mdk/commands.h"
#include "mdk/cursor.h"
#include "mdk/encoding.h"
#include "mdk/failure.h"
#include "mdk/rows.h"
#include "mdk/salvage.h"

namespace mdk {

namespace {

struct Options {
    std::string file, format, from, to, encoding;
    int keyNumber = 1;
    bool reverse = false;
    bool count = false;
    long limit = -1;  // -1: no limit
    bool salvage = false;
    TableChoice table;
};

std::optional<std::string> keyBytes(const std::string& text, const char* option,
                                    Encoding encoding) {
    if (text.empty()) return std::nullopt;
    try {
        return encodeText(text, encoding);
    } catch (const EscapeError& e) {
        throw Failure(fmt::format("{} {}: {}", option, text, e.what()), kExitUsage);
    }
}

int run(const Options& o) {
    Environment env;
    OpenFile f(env, o.file, Access::ReadOnly);
    const Format format = formatNamed(o.format);
    const FieldCodec codec = textCodec(f, o.encoding, format);
    const Encoding e = codec.encoding();
    const std::optional<Table> table = chosenTable(env, o.file, o.table);
    RecordPrinter printer(table, o.table, format, codec);
    KeyRange range{o.keyNumber, keyBytes(o.from, "--from", e), keyBytes(o.to, "--to", e)};
    KeyCursor cursor(f, range, o.reverse);
    Record record;
    long records = 0;
    while ((o.limit < 0 || records < o.limit) && cursor.next(record)) {
        ++records;
        if (!o.count) printer.print(record);
    }
    if (o.count) fmt::print("{}\n", records);
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
    addLimitAndCount(command, o->limit, o->count);
    addFormatOption(command, o->format, "text");
    addEncodingOption(command, o->encoding);
    addTableOptions(command, o->table, true);
    command
        ->add_flag("--salvage", o->salvage,
                   "for a damaged file: the records in the order they lie in it, passing over "
                   "what cannot be read; standard error ends with the counts of records saved "
                   "and places skipped (exit status 1 when a place was skipped)")
        ->excludes("--key")
        ->excludes("--from")
        ->excludes("--to")
        ->excludes("--reverse")
        ->excludes("--limit")
        ->excludes("--count")
        ->excludes("--dict")
        ->excludes("--table")
        ->excludes("--columns");
    command->footer(examples({
        "mdk dump customers.dat",
        "mdk dump customers.dat --dict sales.ini --table CUSTOMERS --format csv",
        "mdk dump customers.dat --key 2 --from B --to D --format jsonl > part.jsonl",
        "mdk dump products.ind --from 5 --to 9 --reverse --format csv",
        "mdk dump customers.dat --reverse --limit 10",
        "mdk dump customers.dat --key 2 --from B --to B --count",
        "mdk dump damaged.dat --salvage --format jsonl > saved.jsonl",
    }));
    command->callback([o, &status] {
        status = o->salvage ? salvage(o->file, formatNamed(o->format), o->encoding) : run(*o);
    });
}

}  // namespace mdk
