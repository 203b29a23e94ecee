// mdk load: rows of jsonl or csv (as dump writes them) into a file.  A row the library refuses
// is reported with its line and the library's message, and the load goes on with the next one
// unless --stop-on-error asks otherwise.  SIGINT and SIGTERM stop it after the row it is
// writing, with the counts and the last line read, so that the user knows where to resume.
#include <fmt/format.h>
#include <sys/stat.h>

#include <fstream>
#include <iostream>

#include "mdk/columns.h"
#include "mdk/commands.h"
#include "mdk/encoding.h"
#include "mdk/failure.h"
#include "mdk/interrupt.h"
#include "mdk/progress.h"
#include "mdk/refusals.h"
#include "mdk/rows.h"
#include "mdk/transactions.h"
#include "mdk/writer.h"

namespace mdk {

namespace {

struct Options {
    std::string file, input, format, encoding;
    bool update = false;
    bool stopOnError = false;
    bool truncate = false;
    bool allRefusals = false;
    TransactionOptions transactions;
    TableChoice table;
};

struct Counts {
    long inserted = 0, updated = 0, refused = 0;
    long cut = 0;  // of the inserted and updated
};

// Bytes to read, for the bar's percentage; 0 when the input is not a regular file.
long long inputSize(const std::string& path) {
    struct stat st {};
    const int rc = path.empty() ? fstat(0, &st) : stat(path.c_str(), &st);
    return rc == 0 && S_ISREG(st.st_mode) ? static_cast<long long>(st.st_size) : 0;
}

// The format --format names, or the one the input file's name says; none: the first line tells.
std::optional<Format> givenFormat(const Options& o) {
    if (!o.format.empty()) return formatNamed(o.format);
    return o.input.empty() ? std::nullopt : formatOfName(o.input);
}

constexpr const char* kCannotHold = "text the file cannot hold";

// A row written, or refused with its reason and the kind of reason.
WriteOutcome loadRow(OpenFile& f, const FieldCodec& codec, const Options& o,
                     const std::optional<Row>& row, const std::string& error, Format format,
                     bool refusedText) {
    if (!row && refusedText) return {WriteOutcome::Refused, error, false, kCannotHold};
    if (!row) {
        return {WriteOutcome::Refused, error, false,
                format == Format::Jsonl ? "not a jsonl row" : "not a csv row"};
    }
    const WriteMode mode = o.update ? WriteMode::Either : WriteMode::Insert;
    try {
        return writeRecord(f, recordOf(*row, codec, f.kind()), mode, o.truncate);
    } catch (const SeparatorError& e) {
        return {WriteOutcome::Refused, e.what(), false, "a field holding the file's separator"};
    } catch (const EncodingError& e) {
        return {WriteOutcome::Refused, e.what(), false, kCannotHold};
    } catch (const EscapeError& e) {
        return {WriteOutcome::Refused, e.what(), false, "malformed text"};
    }
}

void count(Counts& counts, const WriteOutcome& outcome) {
    if (outcome.kind == WriteOutcome::Inserted) ++counts.inserted;
    if (outcome.kind == WriteOutcome::Updated) ++counts.updated;
    if (outcome.kind == WriteOutcome::Refused) ++counts.refused;
    if (outcome.cut) ++counts.cut;
}

// What an interrupted load keeps of the rows it read.
std::string keptText(const LoadTransactions& transactions) {
    if (!transactions.active()) return "the rows up to it are counted above";
    if (transactions.committedLine() == 0) return "its transaction is rolled back, nothing is kept";
    return fmt::format("the rows up to line {} are committed, the rest rolled back",
                       transactions.committedLine());
}

// After the counts: how the rows were read when the format was not given, if any was refused,
// and where an interrupted load stopped.  Answers the exit status.
int finish(const Options& o, const Counts& counts, RowReader& reader, const std::string& source,
           int signal, LoadTransactions& transactions) {
    // An interrupted load leaves its open transaction to the destructor, which rolls it back.
    const std::string inTransactions = signal ? "" : transactions.finish(counts.refused);
    if (transactions.rolledBack()) {
        fmt::print(
            "{}: rolled back, nothing loaded: refused {}, and the {} accepted rows are not "
            "kept (--transaction loads all rows or none)\n",
            o.file, counts.refused, counts.inserted + counts.updated);
        return kExitFailure;
    }
    fmt::print("{}: inserted {}, updated {}, refused {}{}{}{}\n", o.file, counts.inserted,
               counts.updated, counts.refused,
               counts.cut ? fmt::format(" ({} cut to the record size)", counts.cut) : "",
               counts.refused && o.stopOnError ? " (stopped at the first refused row)" : "",
               inTransactions);
    if (counts.refused && !reader.formatGiven()) {
        fmt::print(stderr, "{}: rows read as {}, as the first line showed (--format chooses)\n",
                   source, reader.format() == Format::Csv ? "csv" : "jsonl");
    }
    if (signal) {
        std::fflush(stdout);
        fmt::print(stderr,
                   "mdk: {}: stopped by {} after line {} of {}: {}, those after it were not "
                   "read\n",
                   o.file, signalName(signal), reader.line(), source, keptText(transactions));
        return 128 + signal;
    }
    return counts.refused ? kExitFailure : kExitOk;
}

int run(const Options& o) {
    Environment env;
    OpenFile f(env, o.file, Access::ReadWrite);
    // The table is read before a transaction holds the file: it may be the file's own dictionary.
    const std::optional<Table> table = chosenTable(env, o.file, o.table);
    LoadTransactions transactions(env, f, o.transactions);
    std::ifstream file;
    if (!o.input.empty()) {
        file.open(o.input, std::ios::binary);
        if (!file) throw Failure(o.input + ": cannot be read", kExitUsage);
    }
    std::istream& in = o.input.empty() ? std::cin : file;
    const std::string source = o.input.empty() ? "stdin" : o.input;
    const StopRequest stop;
    RowReader reader(in, givenFormat(o), encodingNamed(o.encoding) == Encoding::Utf8);
    const Format format = reader.format();
    const FieldCodec codec = textCodec(f, o.encoding, format);
    if (table) reader.parseWith(NamedRowParser(*table, format, codec.encoding()));
    Progress progress(inputSize(o.input));
    RefusalLog refusals(source, o.allRefusals);
    Counts counts;

    std::optional<Row> row;
    std::string error;
    while (!stop.signal() && reader.next(row, error)) {
        const WriteOutcome outcome = loadRow(f, codec, o, row, error, format, reader.refusedText());
        count(counts, outcome);
        if (outcome.kind == WriteOutcome::Refused) {
            progress.clear();
            refusals.add(reader.line(), row ? row->key : "", outcome.category, outcome.why);
        }
        progress.update(reader.bytesRead(), counts.inserted + counts.updated + counts.refused);
        transactions.rowDone(reader.line());
        if (outcome.kind == WriteOutcome::Refused && o.stopOnError) break;
    }
    progress.clear();
    refusals.summarize();
    return finish(o, counts, reader, source, stop.signal(), transactions);
}

}  // namespace

void addLoad(CLI::App& app, int& status) {
    auto o = std::make_shared<Options>();
    CLI::App* command = app.add_subcommand(
        "load",
        "add records from jsonl or csv rows (the forms dump writes); refused rows are "
        "reported with their line (the first 5 of each kind, the others counted) and the load "
        "goes on; exit status 1 when any was refused, 128 + the signal when SIGINT or SIGTERM "
        "stopped it");
    addFileArgument(command, o->file);
    command->add_option("--input,-i", o->input, "read this file instead of standard input");
    command
        ->add_option("--format", o->format,
                     "jsonl or csv (default: the --input's extension .csv, .jsonl, .ndjson or "
                     ".json, else the first line: jsonl when it starts with {)")
        ->check(CLI::IsMember({"jsonl", "csv"}));
    command->add_flag("--update", o->update,
                      "replace a record whose key is there already (otherwise the row is refused)");
    command->add_flag("--stop-on-error", o->stopOnError, "stop at the first refused row");
    command->add_flag("--truncate", o->truncate,
                      "indexed files: store the first record-size bytes of longer data instead of "
                      "refusing the row");
    command->add_flag("--all-refusals", o->allRefusals,
                      "list every refused row, not only the first 5 of each kind");
    addEncodingOption(command, o->encoding);
    addTransactionOptions(command, o->transactions);
    addTableOptions(command, o->table, false);
    command->footer(examples({
        "mdk load customers.dat --input customers.jsonl",
        "mdk dump old.dat --format csv | mdk load new.dat --format csv --update",
        "mdk load customers.dat --input customers.csv --transaction",
        "mdk load copy.dat --dict stock.dat --table stock --input stock.csv",
    }));
    command->callback([o, &status] { status = run(*o); });
}

}  // namespace mdk
