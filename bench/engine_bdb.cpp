// Berkeley DB: a B-tree of records by primary key with two secondary B-trees (sorted
// duplicates) kept by the library itself through DB->associate.  A private environment with a
// 64 MiB memory pool and no locking, logging or transactions: its fastest mode, and nothing is
// synced.
#include <db.h>

#include <cctype>
#include <cstdlib>
#include <cstring>
#include <stdexcept>

#include "engine.h"

namespace bench {

namespace {

// Where the city field starts in the joined data; city, separator and balance are contiguous,
// which makes them one secondary key without a copy.
constexpr size_t kCityAt = kNameLength + 1;
constexpr size_t kCityBalanceLength = kCityLength + 1 + kBalanceLength;

int nameKey(DB*, const DBT*, const DBT* data, DBT* result) {
    if (data->size < kNameLength) return DB_DONOTINDEX;
    auto* copy = static_cast<char*>(std::malloc(kNameLength));
    if (!copy) return ENOMEM;
    const auto* name = static_cast<const unsigned char*>(data->data);
    for (size_t i = 0; i < kNameLength; i++)
        copy[i] = static_cast<char>(std::toupper(name[i]));
    std::memset(result, 0, sizeof *result);
    result->data = copy;
    result->size = kNameLength;
    result->flags = DB_DBT_APPMALLOC;
    return 0;
}

int cityKey(DB*, const DBT*, const DBT* data, DBT* result) {
    if (data->size < kCityAt + kCityBalanceLength) return DB_DONOTINDEX;
    std::memset(result, 0, sizeof *result);
    result->data = static_cast<uint8_t*>(data->data) + kCityAt;
    result->size = kCityBalanceLength;
    return 0;
}

class BdbEngine : public Engine {
  public:
    ~BdbEngine() override { close(); }
    std::string engine() const override { return "bdb"; }
    std::string variant() const override { return "btree,private env"; }

    void create(const std::string& directory) override {
        close();
        check(db_env_create(&env_, 0), "env");
        check(env_->set_cachesize(env_, 0, 64u << 20, 1), "cache size");
        check(env_->open(env_, directory.c_str(), DB_CREATE | DB_INIT_MPOOL | DB_PRIVATE, 0),
              "env open");
        primary_ = open("customers.db", false);
        byName_ = open("customers_name.db", true);
        byCity_ = open("customers_city.db", true);
        check(primary_->associate(primary_, nullptr, byName_, nameKey, 0), "associate");
        check(primary_->associate(primary_, nullptr, byCity_, cityKey, 0), "associate");
    }

    void load(const Dataset& ds, const std::string&) override {
        uint8_t data[kDataLength];
        for (uint32_t n = 0; n < ds.count(); n++) {
            Record r = ds.record(ds.shuffled(n, kLoadStream));
            r.join(data);
            put(r, data);
        }
    }

    uint64_t lookup(const Record& r) override {
        DBT key = dbt(r.key, kKeyLength);
        DBT data{};
        data.data = buffer_;
        data.ulen = sizeof buffer_;
        data.flags = DB_DBT_USERMEM;
        int rc = primary_->get(primary_, nullptr, &key, &data, 0);
        if (rc == DB_NOTFOUND) return 0;
        check(rc, "get");
        return data.size == kDataLength ? 1 : 0;
    }

    uint64_t scanPrimary() override {
        return scan(primary_, [](const DBT&) { return true; });
    }
    uint64_t scanName() override {
        return scan(byName_, [](const DBT&) { return true; });
    }
    uint64_t scanFiltered() override {
        return scan(primary_, [](const DBT& data) {
            double b = balanceOfJoined(static_cast<const uint8_t*>(data.data), data.size);
            return b >= 0 && b < kFilterLimit;
        });
    }

    void update(const Record& r) override {
        uint8_t data[kDataLength];
        r.join(data);
        put(r, data);
    }

    void remove(const Record& r) override {
        DBT key = dbt(r.key, kKeyLength);
        check(primary_->del(primary_, nullptr, &key, 0), "del");
    }

    void close() override {
        for (DB** d : {&byName_, &byCity_, &primary_}) {
            if (*d) (*d)->close(*d, 0);
            *d = nullptr;
        }
        if (env_) env_->close(env_, 0);
        env_ = nullptr;
    }

  private:
    static DBT dbt(const void* bytes, size_t n) {
        DBT d{};
        d.data = const_cast<void*>(bytes);
        d.size = static_cast<u_int32_t>(n);
        return d;
    }

    DB* open(const char* name, bool duplicates) {
        DB* db = nullptr;
        check(db_create(&db, env_, 0), "create");
        if (duplicates) check(db->set_flags(db, DB_DUP | DB_DUPSORT), "flags");
        int rc = db->open(db, nullptr, name, nullptr, DB_BTREE, DB_CREATE, 0644);
        if (rc) {
            db->close(db, 0);
            check(rc, name);
        }
        return db;
    }

    void put(const Record& r, const uint8_t* bytes) {
        DBT key = dbt(r.key, kKeyLength);
        DBT data = dbt(bytes, kDataLength);
        check(primary_->put(primary_, nullptr, &key, &data, 0), "put");
    }

    template <class Keep>
    uint64_t scan(DB* db, Keep keep) {
        DBC* cursor = nullptr;
        check(db->cursor(db, nullptr, &cursor, 0), "cursor");
        DBT key{};
        DBT data{};
        uint64_t count = 0;
        int rc;
        while ((rc = cursor->get(cursor, &key, &data, DB_NEXT)) == 0) {
            if (!keep(data)) continue;
            std::memcpy(buffer_, data.data, std::min<size_t>(data.size, sizeof buffer_));
            count++;
        }
        cursor->close(cursor);
        if (rc != DB_NOTFOUND) check(rc, "scan");
        return count;
    }

    static void check(int rc, const char* what) {
        if (rc != 0) throw std::runtime_error(std::string("bdb: ") + what + ": " + db_strerror(rc));
    }

    DB_ENV* env_ = nullptr;
    DB* primary_ = nullptr;
    DB* byName_ = nullptr;
    DB* byCity_ = nullptr;
    uint8_t buffer_[kDataLength + 16];
};

}  // namespace

std::unique_ptr<Engine> bdbEngine() {
    return std::make_unique<BdbEngine>();
}

}  // namespace bench
