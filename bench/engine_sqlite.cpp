// SQLite: one table keyed by the primary key (WITHOUT ROWID, so that the table itself is the
// primary-key B-tree), an index on upper(name) and one on (city, balance).  Journal in WAL mode
// with synchronous off: nothing is synced, as with the keyed file.
#include <sqlite3.h>

#include <cstring>
#include <stdexcept>

#include "engine.h"

namespace bench {

namespace {

class SqliteEngine : public Engine {
  public:
    ~SqliteEngine() override { close(); }
    std::string engine() const override { return "sqlite"; }
    std::string variant() const override { return "wal,sync=off"; }

    void create(const std::string& directory) override {
        close();
        std::string path = directory + "/customers.sqlite";
        if (sqlite3_open(path.c_str(), &db_) != SQLITE_OK) fail("open");
        exec("PRAGMA journal_mode=WAL");
        exec("PRAGMA synchronous=OFF");
        exec("PRAGMA cache_size=-65536");  // 64 MiB, as Berkeley DB gets
        exec(
            "CREATE TABLE customers(id TEXT PRIMARY KEY, name TEXT, city TEXT, balance NUMERIC, "
            "note TEXT) WITHOUT ROWID");
        exec("CREATE INDEX customers_name ON customers(upper(name))");
        exec("CREATE INDEX customers_city ON customers(city, balance)");
        insert_ = prepare("INSERT INTO customers VALUES(?1, ?2, ?3, ?4, ?5)");
        lookup_ = prepare("SELECT id, name, city, balance, note FROM customers WHERE id = ?1");
        update_ = prepare("UPDATE customers SET name=?2, city=?3, balance=?4, note=?5 WHERE id=?1");
        remove_ = prepare("DELETE FROM customers WHERE id = ?1");
        byKey_ = prepare("SELECT id, name, city, balance, note FROM customers ORDER BY id");
        byName_ =
            prepare("SELECT id, name, city, balance, note FROM customers ORDER BY upper(name)");
        filtered_ =
            prepare("SELECT id, name, city, balance, note FROM customers WHERE balance < 10000");
    }

    void load(const Dataset& ds, const std::string&) override {
        exec("BEGIN");
        for (uint32_t n = 0; n < ds.count(); n++) {
            Record r = ds.record(ds.shuffled(n, kLoadStream));
            bindRecord(insert_, r);
            step(insert_);
        }
        exec("COMMIT");
    }

    uint64_t lookup(const Record& r) override {
        sqlite3_bind_text(lookup_, 1, r.key, kKeyLength, SQLITE_STATIC);
        uint64_t found = 0;
        if (sqlite3_step(lookup_) == SQLITE_ROW) {
            touchRow(lookup_);
            found = std::memcmp(sqlite3_column_text(lookup_, 0), r.key, kKeyLength) == 0;
        }
        sqlite3_reset(lookup_);
        return found;
    }

    uint64_t scanPrimary() override { return scan(byKey_); }
    uint64_t scanName() override { return scan(byName_); }
    uint64_t scanFiltered() override { return scan(filtered_); }

    void update(const Record& r) override {
        bindRecord(update_, r);
        step(update_);
    }

    void remove(const Record& r) override {
        sqlite3_bind_text(remove_, 1, r.key, kKeyLength, SQLITE_STATIC);
        step(remove_);
    }

    void close() override {
        for (sqlite3_stmt** s :
             {&insert_, &lookup_, &update_, &remove_, &byKey_, &byName_, &filtered_}) {
            sqlite3_finalize(*s);
            *s = nullptr;
        }
        if (db_) sqlite3_close(db_);
        db_ = nullptr;
    }

  private:
    void bindRecord(sqlite3_stmt* s, const Record& r) {
        sqlite3_bind_text(s, 1, r.key, kKeyLength, SQLITE_STATIC);
        sqlite3_bind_text(s, 2, r.name, kNameLength, SQLITE_STATIC);
        sqlite3_bind_text(s, 3, r.city, kCityLength, SQLITE_STATIC);
        sqlite3_bind_text(s, 4, r.balance, kBalanceLength, SQLITE_STATIC);
        sqlite3_bind_text(s, 5, r.text, kTextLength, SQLITE_STATIC);
    }

    // Fetches every column, as a caller that wants the record would.
    void touchRow(sqlite3_stmt* s) {
        for (int c = 0; c < 5; c++)
            sink_ += static_cast<size_t>(sqlite3_column_bytes(s, c));
        sink_ += static_cast<size_t>(sqlite3_column_text(s, 1)[0]);
    }

    uint64_t scan(sqlite3_stmt* s) {
        uint64_t count = 0;
        int rc;
        while ((rc = sqlite3_step(s)) == SQLITE_ROW) {
            touchRow(s);
            count++;
        }
        sqlite3_reset(s);
        if (rc != SQLITE_DONE) fail("scan");
        return count;
    }

    void step(sqlite3_stmt* s) {
        int rc = sqlite3_step(s);
        sqlite3_reset(s);
        if (rc != SQLITE_DONE) fail("step");
    }

    void exec(const char* sql) {
        if (sqlite3_exec(db_, sql, nullptr, nullptr, nullptr) != SQLITE_OK) fail(sql);
    }

    sqlite3_stmt* prepare(const char* sql) {
        sqlite3_stmt* s = nullptr;
        if (sqlite3_prepare_v2(db_, sql, -1, &s, nullptr) != SQLITE_OK) fail(sql);
        return s;
    }

    [[noreturn]] void fail(const char* what) {
        throw std::runtime_error(std::string("sqlite: ") + what + ": " +
                                 (db_ ? sqlite3_errmsg(db_) : "no database"));
    }

    sqlite3* db_ = nullptr;
    sqlite3_stmt* insert_ = nullptr;
    sqlite3_stmt* lookup_ = nullptr;
    sqlite3_stmt* update_ = nullptr;
    sqlite3_stmt* remove_ = nullptr;
    sqlite3_stmt* byKey_ = nullptr;
    sqlite3_stmt* byName_ = nullptr;
    sqlite3_stmt* filtered_ = nullptr;
    size_t sink_ = 0;  // keeps the column reads from being optimised away
};

}  // namespace

std::unique_ptr<Engine> sqliteEngine() {
    return std::make_unique<SqliteEngine>();
}

}  // namespace bench
