// mdnio: a classic keyed file with the primary key in the key area and two alternate keys, in
// block mode (4096-byte blocks) and in slot mode, with the environment's background flush off
// and on.
#include <mdnio.h>

#include <cstring>
#include <stdexcept>

#include "engine.h"
#include "mdnio_devtools.h"

namespace bench {

namespace {

using mdnio::devtools::keySegment;

class MdnioEngine : public Engine {
  public:
    // `lockOnDemand`: lock option 1, record locks only where a call asks for them (a read with
    // MDK_READ_LOCK, every write), as the peers' readers take none.
    MdnioEngine(bool blockMode, bool backgroundFlush, bool lockOnDemand = false)
        : blockMode_(blockMode), backgroundFlush_(backgroundFlush), lockOnDemand_(lockOnDemand) {}
    ~MdnioEngine() override { close(); }

    std::string engine() const override { return "mdnio"; }
    std::string variant() const override {
        return std::string(blockMode_ ? "block" : "slot") + (backgroundFlush_ ? "+flush" : "") +
               (lockOnDemand_ ? "+ondemand" : "");
    }
    std::vector<std::string> loadModes() const override { return {"bulk_load", "bulk_load_no_tx"}; }

    void create(const std::string& directory) override {
        close();
        mdnio::devtools::ClassicLayout layout;
        layout.blockMode = blockMode_;
        layout.blockSize = 4096;
        layout.recordSize = static_cast<int>(kDataLength);
        layout.keyAreaSize = static_cast<int>(kKeyLength);
        // Key 1: the primary key in the key area.  Key 2: the name, upper-cased, with
        // duplicates.  Key 3: city and balance.  Fields count from 1 after the key area.
        layout.keys.push_back({{keySegment(mdnio::devtools::kKeyAreaField, 0, kKeyLength)}});
        layout.keys.push_back({{keySegment(1, 0, kNameLength, MDK_SEG_UPPER)}});
        layout.keys.push_back({{keySegment(2, 0, kCityLength), keySegment(3, 0, kBalanceLength)}});
        std::string path = directory + "/customers.dat";
        std::string why;
        if (mdnio::devtools::createClassicFile(path, layout, &why) != 0)
            throw std::runtime_error("mdnio: cannot make the file: " + why);
        env_ = MDK_AllocEnv();
        if (!env_) throw std::runtime_error("mdnio: no environment");
        MDSetEnvMode(env_, MDK_MODE_BACKGROUND_FLUSH, backgroundFlush_ ? 1 : 0);
        if (lockOnDemand_) MDSetEnvMode(env_, MDK_MODE_LOCK_OPTIONS, MDK_LOCK_MARKED_ONLY);
        int32_t err = 0;
        file_ = MDK_OpenExt(env_, path.c_str(), nullptr, 0, 0, &err);
        if (file_ == MDK_INVALID_FILE) {
            file_ = nullptr;
            throw std::runtime_error("mdnio: open failed with code " + std::to_string(err));
        }
    }

    void load(const Dataset& ds, const std::string& mode) override {
        bool tx = mode == "bulk_load";
        if (tx && MDK_BeginTX(env_) != 0) fail("begin");
        uint8_t data[kDataLength];
        for (uint32_t n = 0; n < ds.count(); n++) {
            Record r = ds.record(ds.shuffled(n, kLoadStream));
            r.join(data);
            if (MDK_insert(file_, data, kDataLength, r.key, kKeyLength) != 0) fail("insert");
        }
        if (tx && MDK_CommitTX(env_) != 0) fail("commit");
    }

    uint64_t lookup(const Record& r) override {
        if (MDK_seek(file_, r.key, kKeyLength, 1) != 0) return 0;
        int32_t n = MDK_read(file_, buffer_, sizeof buffer_, MDK_READ_CURRENT);
        return n > 0 && std::memcmp(buffer_, r.key, kKeyLength) == 0 ? 1 : 0;
    }

    uint64_t scanPrimary() override { return scanKey(1); }
    uint64_t scanName() override { return scanKey(2); }

    uint64_t scanFiltered() override { return restrictedScan(false); }

    // Block mode reads in physical order (the data blocks in file order), the order SQLite's
    // WHERE without ORDER BY takes; slot mode offers no such order.
    bool hasStoredOrderScan() const override { return blockMode_; }
    uint64_t scanFilteredStored() override { return restrictedScan(true); }

    void update(const Record& r) override {
        uint8_t data[kDataLength];
        r.join(data);
        if (MDK_update(file_, data, kDataLength, r.key, kKeyLength) != 0) fail("update");
    }

    void remove(const Record& r) override {
        if (MDK_remove(file_, r.key, kKeyLength) != 0) fail("remove");
    }

    void close() override {
        if (file_) MDK_close(file_);
        if (env_) MDK_DeAllocEnv(env_);
        file_ = nullptr;
        env_ = nullptr;
    }

  private:
    uint64_t restrictedScan(bool physicalOrder) {
        // balance < 10000, compared as a number: the restricted read skips the other 99% of the
        // records inside the library.
        static const char limit[] = "10000";
        MdkRestrictEntry entry{};
        entry.fieldNumber = 3;
        entry.width = static_cast<int32_t>(kBalanceLength);
        entry.op = MDK_OP_LT | MDK_OP_NUMERIC;
        entry.length = static_cast<int32_t>(sizeof limit - 1);
        entry.value = limit;
        if (MDK_PutRestrictInfo(file_, 0, &entry) != 0) fail("restrict");
        // MDK_SEEK_PHYSICAL turns physical order on and stands before the first record.
        MDK_seek(file_, "", 0, physicalOrder ? MDK_SEEK_PHYSICAL : 1);
        uint64_t count = 0;
        for (;;) {
            int32_t n = MDK_RestrictedRead(file_, buffer_, sizeof buffer_, MDK_READ_NEXT, nullptr,
                                           nullptr, nullptr, 0, MDK_RESTRICT_FILTER);
            if (n == -4) break;
            if (n < 0) fail("restricted read");
            count++;
        }
        // An entry of length 0 ends the program: the handle reads unfiltered again.
        MdkRestrictEntry end{};
        end.value = limit;
        MDK_PutRestrictInfo(file_, 0, &end);
        if (physicalOrder) MDK_RawReadMode(file_, 0);
        return count;
    }

    uint64_t scanKey(int32_t key) {
        // An empty search value stands before the first entry of the key.
        MDK_seek(file_, "", 0, key);
        uint64_t count = 0;
        while (MDK_read(file_, buffer_, sizeof buffer_, MDK_READ_NEXT) > 0)
            count++;
        if (MDK_geterrno(file_) != MDK_E_EOF) fail("scan");
        return count;
    }

    [[noreturn]] void fail(const char* what) {
        throw std::runtime_error(std::string("mdnio: ") + what + ": " + MDK_strerr(file_));
    }

    bool blockMode_;
    bool backgroundFlush_;
    bool lockOnDemand_;
    MdkEnv* env_ = nullptr;
    MdkFile* file_ = nullptr;
    uint8_t buffer_[kKeyLength + kDataLength + 16];
};

}  // namespace

std::vector<std::unique_ptr<Engine>> mdnioEngines() {
    std::vector<std::unique_ptr<Engine>> engines;
    for (bool block : {true, false}) {
        for (bool flush : {false, true})
            engines.push_back(std::make_unique<MdnioEngine>(block, flush));
        engines.push_back(std::make_unique<MdnioEngine>(block, true, true));
    }
    return engines;
}

}  // namespace bench
