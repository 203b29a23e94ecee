// LMDB: a database of records by primary key and two databases of sorted duplicates (name
// upper-cased -> primary key, city and balance -> primary key) that the program keeps in step
// itself, as LMDB users do.  Write-mapped, without syncs; the bulk load is one write
// transaction, every update and remove its own.
#include <lmdb.h>

#include <cctype>
#include <cstring>
#include <stdexcept>

#include "engine.h"

namespace bench {

namespace {

class LmdbEngine : public Engine {
  public:
    ~LmdbEngine() override { close(); }
    std::string engine() const override { return "lmdb"; }
    std::string variant() const override { return "writemap,nosync"; }

    void create(const std::string& directory) override {
        close();
        check(mdb_env_create(&env_), "env");
        check(mdb_env_set_maxdbs(env_, 3), "maxdbs");
        check(mdb_env_set_mapsize(env_, size_t{64} << 30), "mapsize");
        check(
            mdb_env_open(env_, directory.c_str(), MDB_NOSYNC | MDB_NOMETASYNC | MDB_WRITEMAP, 0644),
            "open");
        MDB_txn* txn = begin(0);
        check(mdb_dbi_open(txn, "customers", MDB_CREATE, &primary_), "dbi");
        check(mdb_dbi_open(txn, "name", MDB_CREATE | MDB_DUPSORT, &byName_), "dbi");
        check(mdb_dbi_open(txn, "city", MDB_CREATE | MDB_DUPSORT, &byCity_), "dbi");
        check(mdb_txn_commit(txn), "commit");
        check(mdb_txn_begin(env_, nullptr, MDB_RDONLY, &reader_), "reader");
        mdb_txn_reset(reader_);
    }

    void load(const Dataset& ds, const std::string&) override {
        MDB_txn* txn = begin(0);
        uint8_t data[kDataLength];
        for (uint32_t n = 0; n < ds.count(); n++) {
            Record r = ds.record(ds.shuffled(n, kLoadStream));
            r.join(data);
            putRecord(txn, r, data);
        }
        check(mdb_txn_commit(txn), "commit");
    }

    uint64_t lookup(const Record& r) override {
        check(mdb_txn_renew(reader_), "renew");
        MDB_val key = val(r.key, kKeyLength);
        MDB_val data;
        uint64_t found = 0;
        if (mdb_get(reader_, primary_, &key, &data) == 0) {
            std::memcpy(buffer_, data.mv_data, std::min(data.mv_size, sizeof buffer_));
            found = data.mv_size == kDataLength;
        }
        mdb_txn_reset(reader_);
        return found;
    }

    uint64_t scanPrimary() override {
        return scan(primary_, false, [](const MDB_val&) { return true; });
    }
    uint64_t scanName() override {
        return scan(byName_, true, [](const MDB_val&) { return true; });
    }
    uint64_t scanFiltered() override {
        return scan(primary_, false, [](const MDB_val& data) {
            double b = balanceOfJoined(static_cast<const uint8_t*>(data.mv_data), data.mv_size);
            return b >= 0 && b < kFilterLimit;
        });
    }

    void update(const Record& r) override {
        MDB_txn* txn = begin(0);
        uint8_t data[kDataLength];
        r.join(data);
        dropIndexEntries(txn, r);
        putRecord(txn, r, data);
        check(mdb_txn_commit(txn), "commit");
    }

    void remove(const Record& r) override {
        MDB_txn* txn = begin(0);
        dropIndexEntries(txn, r);
        MDB_val key = val(r.key, kKeyLength);
        check(mdb_del(txn, primary_, &key, nullptr), "del");
        check(mdb_txn_commit(txn), "commit");
    }

    void close() override {
        if (reader_) mdb_txn_abort(reader_);
        reader_ = nullptr;
        if (env_) mdb_env_close(env_);
        env_ = nullptr;
    }

  private:
    static MDB_val val(const void* bytes, size_t n) { return MDB_val{n, const_cast<void*>(bytes)}; }

    MDB_txn* begin(unsigned flags) {
        MDB_txn* txn = nullptr;
        check(mdb_txn_begin(env_, nullptr, flags, &txn), "begin");
        return txn;
    }

    void putRecord(MDB_txn* txn, const Record& r, const uint8_t* data) {
        MDB_val key = val(r.key, kKeyLength);
        MDB_val value = val(data, kDataLength);
        check(mdb_put(txn, primary_, &key, &value, 0), "put");
        std::string name = r.upperName();
        std::string city = r.cityBalance();
        MDB_val nameKey = val(name.data(), name.size());
        MDB_val cityKey = val(city.data(), city.size());
        check(mdb_put(txn, byName_, &nameKey, &key, 0), "put name");
        check(mdb_put(txn, byCity_, &cityKey, &key, 0), "put city");
    }

    // Removes the index entries of the stored record with r's key (which must exist).
    void dropIndexEntries(MDB_txn* txn, const Record& r) {
        MDB_val key = val(r.key, kKeyLength);
        MDB_val old;
        check(mdb_get(txn, primary_, &key, &old), "get");
        const auto* bytes = static_cast<const uint8_t*>(old.mv_data);
        Record stored = r;
        std::memcpy(stored.name, bytes, kNameLength);
        std::memcpy(stored.city, bytes + kNameLength + 1, kCityLength);
        std::memcpy(stored.balance, bytes + kNameLength + 1 + kCityLength + 1, kBalanceLength);
        std::string name = stored.upperName();
        std::string city = stored.cityBalance();
        MDB_val nameKey = val(name.data(), name.size());
        MDB_val cityKey = val(city.data(), city.size());
        check(mdb_del(txn, byName_, &nameKey, &key), "del name");
        check(mdb_del(txn, byCity_, &cityKey, &key), "del city");
    }

    template <class Keep>
    uint64_t scan(MDB_dbi dbi, bool secondary, Keep keep) {
        check(mdb_txn_renew(reader_), "renew");
        MDB_cursor* cursor = nullptr;
        check(mdb_cursor_open(reader_, dbi, &cursor), "cursor");
        MDB_val key;
        MDB_val data;
        uint64_t count = 0;
        int rc;
        while ((rc = mdb_cursor_get(cursor, &key, &data, MDB_NEXT)) == 0) {
            if (secondary) {
                // The duplicate is the primary key: fetch the record it names.
                MDB_val pk = data;
                check(mdb_get(reader_, primary_, &pk, &data), "get");
            }
            if (!keep(data)) continue;
            std::memcpy(buffer_, data.mv_data, std::min(data.mv_size, sizeof buffer_));
            count++;
        }
        mdb_cursor_close(cursor);
        mdb_txn_reset(reader_);
        if (rc != MDB_NOTFOUND) check(rc, "scan");
        return count;
    }

    static void check(int rc, const char* what) {
        if (rc != 0)
            throw std::runtime_error(std::string("lmdb: ") + what + ": " + mdb_strerror(rc));
    }

    MDB_env* env_ = nullptr;
    MDB_txn* reader_ = nullptr;
    MDB_dbi primary_ = 0;
    MDB_dbi byName_ = 0;
    MDB_dbi byCity_ = 0;
    uint8_t buffer_[kDataLength + 16];
};

}  // namespace

std::unique_ptr<Engine> lmdbEngine() {
    return std::make_unique<LmdbEngine>();
}

}  // namespace bench
