// The transactions of a load.
//
//   --transaction      every row in one transaction: the rows go in all together at the end, or
//                      (when any row was refused) none of them does: the load is rolled back.
//   --commit-every N   one transaction per N input rows, committed as each batch fills: a load
//                      that stops keeps every batch committed before it, and says up to which
//                      input line the file holds the rows.
//
// Inside a transaction nothing reaches the file before the commit, and the file's header lock
// is held from the first write to the commit: other processes wait for the file meanwhile.
// Only classic keyed files take part in transactions; an indexed file's writes reach the file
// at once, so both options are refused for it.
#pragma once

#include <CLI/CLI.hpp>

#include <string>

#include "mdk/session.h"

namespace mdk {

struct TransactionOptions {
    bool whole = false;  // --transaction
    long every = 0;      // --commit-every N; 0: not asked
};

void addTransactionOptions(CLI::App* command, TransactionOptions& options);

class LoadTransactions {
  public:
    // Begins the first transaction when one is asked for; refuses (usage) an indexed file.
    LoadTransactions(Environment& env, OpenFile& file, const TransactionOptions& options);
    // Rolls back a transaction still open: the load ended by a failure.
    ~LoadTransactions();
    LoadTransactions(const LoadTransactions&) = delete;
    LoadTransactions& operator=(const LoadTransactions&) = delete;

    // After each input row, the last one read at `line`: commits a full batch.  Throws Failure
    // when the commit fails (the batch is then rolled back).
    void rowDone(long line);

    // The load is over: commits what is open, or with --transaction and any row refused rolls
    // it all back.  Answers what the summary adds: "" without transactions.  A load cut short
    // (an interrupt) must not call it: the destructor rolls back the open transaction, so that
    // --transaction keeps nothing and --commit-every the batches committed before.
    std::string finish(long refused);

    bool rolledBack() const { return rolledBack_; }
    // The input line up to which the rows are committed (0: none yet).
    long committedLine() const { return committedLine_; }

    // Whether the load runs in transactions at all.
    bool active() const { return options_.whole || options_.every > 0; }

  private:
    void begin();
    void commit(long line);

    Environment& env_;
    OpenFile& file_;
    TransactionOptions options_;
    bool open_ = false;
    bool rolledBack_ = false;
    long rowsInBatch_ = 0;
    long batches_ = 0;
    long lastLine_ = 0;
    long committedLine_ = 0;
};

}  // namespace mdk
