// mdk dump: every record (or those of a key range) in the order of a key, split into fields.
#include <fmt/format.h>

#include "mdk/commands.h"
#include "mdk/cursor.h"
#include "mdk/escape.h"
#include "mdk/failure.h"
#include "mdk/rows.h"
#include "mdk/salvage.h"

namespace mdk {

namespace {

struct Options {
    std::string file, format, from, to;
    int keyNumber = 1;
    bool reverse = false;
    bool salvage = false;
};

std::optional<std::string> keyBytes(const std::string& text, const char* option) {
    if (text.empty()) return std::nullopt;
    try {
        return unescape(text);
    } catch (const EscapeError& e) {
        throw Failure(fmt::format("{} {}: {}", option, text, e.what()), kExitUsage);
    }
}

void run(const Options& o) {
    Environment env;
    OpenFile f(env, o.file, Access::ReadOnly);
    const FieldCodec codec(f.separator());
    const Format format = formatNamed(o.format);
    KeyRange range{o.keyNumber, keyBytes(o.from, "--from"), keyBytes(o.to, "--to")};
    KeyCursor cursor(f, range, o.reverse);
    Record record;
    while (cursor.next(record))
        writeRow(stdout, format, rowOf(record, codec));
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
    command
        ->add_flag("--salvage", o->salvage,
                   "for a damaged file: the records in the order they lie in it, passing over "
                   "what cannot be read; standard error ends with the counts of records saved "
                   "and places skipped (exit status 1 when a place was skipped)")
        ->excludes("--key")
        ->excludes("--from")
        ->excludes("--to")
        ->excludes("--reverse");
    command->footer(examples({
        "mdk dump customers.dat",
        "mdk dump customers.dat --key 2 --from B --to D --format jsonl > part.jsonl",
        "mdk dump products.ind --from 5 --to 9 --reverse --format csv",
        "mdk dump damaged.dat --salvage --format jsonl > saved.jsonl",
    }));
    command->callback([o, &status] {
        if (o->salvage) {
            status = salvage(o->file, formatNamed(o->format));
            return;
        }
        run(*o);
        status = kExitOk;
    });
}

}  // namespace mdk
