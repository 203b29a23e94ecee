// mdk load: rows of jsonl or csv (as dump writes them) into a file.  A row the library refuses
// is reported with its line and the library's message, and the load goes on with the next one
// unless --stop-on-error asks otherwise.
#include <fmt/format.h>
#include <sys/stat.h>

#include <fstream>
#include <iostream>

#include "mdk/columns.h"
#include "mdk/commands.h"
#include "mdk/escape.h"
#include "mdk/failure.h"
#include "mdk/progress.h"
#include "mdk/rows.h"
#include "mdk/writer.h"

namespace mdk {

namespace {

struct Options {
    std::string file, input, format;
    bool update = false;
    bool stopOnError = false;
    TableChoice table;
};

struct Counts {
    long inserted = 0, updated = 0, refused = 0;
};

// Bytes to read, for the bar's percentage; 0 when the input is not a regular file.
long long inputSize(const std::string& path) {
    struct stat st {};
    const int rc = path.empty() ? fstat(0, &st) : stat(path.c_str(), &st);
    return rc == 0 && S_ISREG(st.st_mode) ? static_cast<long long>(st.st_size) : 0;
}

Format inputFormat(const Options& o) {
    if (!o.format.empty()) return formatNamed(o.format);
    const bool csv = o.input.size() >= 4 && o.input.compare(o.input.size() - 4, 4, ".csv") == 0;
    return csv ? Format::Csv : Format::Jsonl;
}

int run(const Options& o) {
    Environment env;
    OpenFile f(env, o.file, Access::ReadWrite);
    const FieldCodec codec(f.separator());
    std::ifstream file;
    if (!o.input.empty()) {
        file.open(o.input, std::ios::binary);
        if (!file) throw Failure(o.input + ": cannot be read", kExitUsage);
    }
    std::istream& in = o.input.empty() ? std::cin : file;
    const std::string source = o.input.empty() ? "stdin" : o.input;
    const std::optional<Table> table = chosenTable(env, o.file, o.table);
    RowReader::LineParser named;
    if (table) named = NamedRowParser(*table, inputFormat(o));
    RowReader reader(in, inputFormat(o), named);
    Progress progress(inputSize(o.input));
    Counts counts;
    const WriteMode mode = o.update ? WriteMode::Either : WriteMode::Insert;

    std::optional<Row> row;
    std::string error;
    while (reader.next(row, error)) {
        WriteOutcome outcome{WriteOutcome::Refused, error};
        if (row) {
            try {
                outcome = writeRecord(f, recordOf(*row, codec, f.kind()), mode);
            } catch (const EscapeError& e) {
                outcome.why = e.what();
            }
        }
        switch (outcome.kind) {
            case WriteOutcome::Inserted:
                ++counts.inserted;
                break;
            case WriteOutcome::Updated:
                ++counts.updated;
                break;
            case WriteOutcome::Refused:
                ++counts.refused;
                progress.clear();
                fmt::print(stderr, "{}:{}: refused{}: {}\n", source, reader.line(),
                           row ? fmt::format(" key \"{}\"", row->key) : std::string(), outcome.why);
                break;
        }
        const long rows = counts.inserted + counts.updated + counts.refused;
        progress.update(reader.bytesRead(), rows);
        if (outcome.kind == WriteOutcome::Refused && o.stopOnError) break;
    }
    progress.clear();
    fmt::print("{}: inserted {}, updated {}, refused {}{}\n", o.file, counts.inserted,
               counts.updated, counts.refused,
               counts.refused && o.stopOnError ? " (stopped at the first refused row)" : "");
    return counts.refused ? kExitFailure : kExitOk;
}

}  // namespace

void addLoad(CLI::App& app, int& status) {
    auto o = std::make_shared<Options>();
    CLI::App* command = app.add_subcommand(
        "load",
        "add records from jsonl or csv rows (the forms dump writes); refused rows are "
        "reported with their line and the load goes on; exit status 1 when any was "
        "refused");
    addFileArgument(command, o->file);
    command->add_option("--input,-i", o->input, "read this file instead of standard input");
    command
        ->add_option("--format", o->format,
                     "jsonl or csv (default: csv for an --input ending in .csv, else jsonl)")
        ->check(CLI::IsMember({"jsonl", "csv"}));
    command->add_flag("--update", o->update,
                      "replace a record whose key is there already (otherwise the row is refused)");
    command->add_flag("--stop-on-error", o->stopOnError, "stop at the first refused row");
    addTableOptions(command, o->table, false);
    command->footer(examples({
        "mdk load customers.dat --input customers.jsonl",
        "mdk dump old.dat --format csv | mdk load new.dat --format csv --update",
        "mdk load copy.dat --dict stock.dat --table stock --input stock.csv",
    }));
    command->callback([o, &status] { status = run(*o); });
}

}  // namespace mdk
