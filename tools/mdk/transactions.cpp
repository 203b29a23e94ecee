#include "mdk/transactions.h"

#include <fmt/format.h>

#include "mdk/failure.h"

namespace mdk {

void addTransactionOptions(CLI::App* command, TransactionOptions& options) {
    CLI::Option* whole = command->add_flag(
        "--transaction", options.whole,
        "load every row in one transaction: all rows go in, or when any is refused none does "
        "(the file is left as it was)");
    command
        ->add_option("--commit-every", options.every,
                     "one transaction per N input rows, each committed when it is full; a load "
                     "that stops keeps the batches committed before it")
        ->type_name("N")
        ->check(CLI::PositiveNumber)
        ->excludes(whole);
}

LoadTransactions::LoadTransactions(Environment& env, OpenFile& file,
                                   const TransactionOptions& options)
    : env_(env), file_(file), options_(options) {
    if (!active()) return;
    if (file.kind() != FileKind::Classic) {
        throw Failure(file.path() +
                          ": --transaction and --commit-every work on classic keyed files only: "
                          "other files take no part in transactions, their writes reach the "
                          "file at once",
                      kExitUsage);
    }
    begin();
}

LoadTransactions::~LoadTransactions() {
    if (open_) MDK_RollbackTX(env_.get());
}

void LoadTransactions::begin() {
    const int32_t rc = MDK_BeginTX(env_.get());
    if (rc != 0) {
        throw Failure(fmt::format("{}: beginning a transaction: {}", file_.path(),
                                  codeText(rc < -1 ? -rc : MDK_E_TXBEGIN)),
                      kExitFailure, rc < -1 ? -rc : MDK_E_TXBEGIN);
    }
    open_ = true;
}

void LoadTransactions::commit(long line) {
    open_ = false;
    if (MDK_CommitTX(env_.get()) != 0) {
        // A failed commit rolls its transaction back: what earlier commits wrote stays.
        const std::string kept =
            committedLine_ > 0
                ? fmt::format("the rows up to line {} are in the file", committedLine_)
                : std::string("nothing of this load is in the file");
        throw Failure(fmt::format("{}: the commit of the rows up to line {} failed and none of "
                                  "them is kept: {}; {}",
                                  file_.path(), line, libraryText(file_.get()), kept),
                      kExitFailure, MDK_geterrno(file_.get()));
    }
    committedLine_ = line;
    ++batches_;
}

void LoadTransactions::rowDone(long line) {
    if (!active()) return;
    lastLine_ = line;
    ++rowsInBatch_;
    if (options_.every > 0 && rowsInBatch_ >= options_.every) {
        commit(line);
        rowsInBatch_ = 0;
        begin();
    }
}

std::string LoadTransactions::finish(long refused) {
    if (!active()) return "";
    if (options_.whole && refused > 0) {
        open_ = false;
        rolledBack_ = true;
        if (MDK_RollbackTX(env_.get()) != 0) file_.fail(file_.path() + ": rolling back the load");
        return "";
    }
    if (rowsInBatch_ > 0) {
        commit(lastLine_);
    } else if (open_) {
        open_ = false;
        MDK_RollbackTX(env_.get());  // an empty transaction: nothing to keep
    }
    if (options_.whole) return " (in one transaction)";
    return fmt::format(" (in {} transaction{} of up to {} rows)", batches_,
                       batches_ == 1 ? "" : "s", options_.every);
}

}  // namespace mdk
