// The sample data set (see sample_data.h): its records, dictionaries and the files they go to.
#include "catalog/sample_data.h"

#include <cstdio>
#include <utility>

#include "indexed/builder.h"
#include "keyed/builder.h"
#include "platform/platform.h"

namespace mdnio::catalog::samples {

namespace {

using Record = std::pair<std::string, std::string>;  // key area, data

std::string printed(const char* format, int a, int b = 0) {
    char text[64];
    std::snprintf(text, sizeof text, format, a, b);
    return text;
}

std::string money(int cents) {
    return printed("%d.%02d", cents / 100, cents % 100);
}

// Data fields joined by the data files' separator.
std::string fields(std::initializer_list<std::string> parts) {
    std::string out;
    bool first = true;
    for (const std::string& p : parts) {
        if (!first) out.push_back(static_cast<char>(kDataSeparator));
        out += p;
        first = false;
    }
    return out;
}

common::Segment segment(uint16_t field, uint16_t offset, uint8_t length, uint16_t options = 0) {
    return keyed::makeSegment(field, offset, length, options);
}

keyed::ClassicLayout classic(int recordSize, int keyAreaSize,
                             const std::vector<std::vector<common::Segment>>& keys) {
    keyed::ClassicLayout l;
    l.recordSize = recordSize;
    l.keyAreaSize = keyAreaSize;
    for (const std::vector<common::Segment>& key : keys)
        keyed::addKeys(l, {{key}});
    return l;
}

// ---- the records ------------------------------------------------------------------------

const char* const kFirstNames[] = {"Acme", "Baxter", "Corbel", "Dunmore", "Elling", "Fairway"};
const char* const kSecondNames[] = {"Trading", "Supplies", "Holdings",
                                    "Works",   "Foods",    "Textiles"};
const char* const kCities[] = {"Lisbon", "Oslo",  "Dublin", "Turin", "Ghent",
                               "Bergen", "Leeds", "Porto",  "Lyon"};
const char* const kRegions[] = {"NO", "SO", "EA", "WE"};
const char* const kGoods[] = {"Bolts",    "Nuts",   "Washers", "Hinges",
                              "Brackets", "Screws", "Rivets",  "Clamps"};

std::string customerNumber(int i) {
    return printed("C%05d", i + 1);
}

// Region (2 fixed bytes) and name | city | balance.
std::vector<Record> customers() {
    std::vector<Record> out;
    for (int i = 0; i < kCustomerCount; ++i) {
        std::string name = std::string(kFirstNames[i / 6]) + " " + kSecondNames[i % 6];
        out.emplace_back(customerNumber(i), fields({kRegions[i % 4] + name, kCities[(i * 5) % 9],
                                                    money((i * 7919) % 100000)}));
    }
    return out;
}

// Customer number (6 fixed bytes), quantity (4 fixed digits) and item | date | amount.
std::vector<Record> orders() {
    std::vector<Record> out;
    for (int i = 0; i < kOrderCount; ++i) {
        std::string fixed =
            customerNumber((i * 7) % kCustomerCount) + printed("%04d", i * 3 % 50 + 1);
        out.emplace_back(
            printed("O%07d", i + 1),
            fields({fixed + kGoods[i % 8], printed("2024%02d%02d", i % 12 + 1, i % 28 + 1),
                    money(1250 + i * 375)}));
    }
    return out;
}

// Location (5 fixed bytes), bin (3 fixed digits) and description | on hand | price | supplier |
// reorder level.
std::vector<Record> stock() {
    std::vector<Record> out;
    for (int i = 0; i < kStockCount; ++i) {
        std::string location = std::string(1, static_cast<char>('A' + i / 8)) +
                               printed("%02d-%d", i % 8 + 1, i % 3 + 1);
        out.emplace_back(printed("S%07d", i + 1),
                         fields({location + printed("%03d", i * 11 % 1000) + kGoods[i % 8],
                                 printed("%d", i * 13 % 500), money(15 + i * 40),
                                 printed("SUP%03d", i % 5 + 1), printed("%d", 50 + i % 4 * 25)}));
    }
    return out;
}

// The keyed dictionary file's records: a 6-character key, then fields separated by '|':
// 1 name, 2 file, 3 short code, 4 description, 5 and 6 empty, 7 department, 8 class,
// 9 to 11 empty, 12 remark.
std::vector<Record> dictionaryRecords() {
    return {
        {"000000", "Sample dictionary of the mdnio data set"},
        {"000100", "STOCK|stock.dat|SK|Stock on hand|||Warehouse|S||||Counted every week"},
        {"000150", "*The tables below are kept by accounts"},
        {"000200", "CUSTOMERS|.\\customers.dat|CU|Customer master|||Sales|C||||Kept by accounts"},
    };
}

// ---- the dictionaries -------------------------------------------------------------------

constexpr char kSalesIni[] =
    "; The sample .ini dictionary: two tables over classic keyed files.\n"
    "[*Tables*]\n"
    "CUSTOMERS=customers.dat\n"
    "ORDERS=orders.dat;orders_cols.ini\n"
    "\n"
    "[CUSTOMERS]\n"
    "CUSTNO=STRING LENGTH=6 KEY\n"
    "REGION=FIXED LENGTH=2 CLASS=RIGHT48\n"
    "NAME=LENGTH=30 MUSTBE>\"A, B\"\n"
    "CITY=STR LEN=15 SAMEAS=TOWN\n"
    "BALANCE=NUMERIC, LENGTH=9.2, FORMAT=\"ZZZ,ZZ9.99\" CLASS=RIGHT\n";

constexpr char kOrdersIni[] =
    "; Columns of the ORDERS table of sales.ini.\n"
    "[ORDERS]\n"
    "ORDERNO=LENGTH=8 RECTYPE=\"O\"\n"
    "CUSTNO=FIXED LENGTH=6 SAMEAS=\"CUSTOMERS.CUSTNO\"\n"
    "QTY=NUM FIXED LENGTH=4\n"
    "ITEM=LENGTH=20 NOSHOW\n"
    "ORDERDATE=NUMERIC LENGTH=8 FORMAT=\"YYYYMMDD\"\n"
    "AMOUNT=NUMERIC LENGTH=9.2 HIDE\n";

DictionaryElement element(std::string name, char type, std::string length, char storage) {
    DictionaryElement e;
    e.name = std::move(name);
    e.type = type;
    e.length = std::move(length);
    e.storage = storage;
    return e;
}

std::vector<DictionaryElement> customerKeyElements() {
    return {element("CUSTNO", 'S', "6", 'D')};
}

std::vector<DictionaryElement> customerDataElements() {
    DictionaryElement balance = element("BALANCE", 'N', "9.2", 'D');
    balance.format = "ZZZ,ZZ9.99";
    return {element("REGION", 'S', "2", 'F'), element("NAME", 'S', "30", 'D'),
            element("CITY", 'S', "15", 'D'), balance};
}

std::vector<DictionaryElement> stockKeyElements() {
    return {element("STOCKNO", 'S', "8", 'D')};
}

// Besides the columns: an element with a two-byte item length, elements whose tags are passed
// over, a column that is not stored in the record (storage V) and a short tag.
std::vector<DictionaryElement> stockDataElements() {
    DictionaryElement location = element("LOCATION", 'S', "5", 'F');
    location.item4 = "AISLE";
    DictionaryElement description = element("DESCRIPTION", 'S', "10", 'D');
    description.item6 = std::string(200, 'x');
    DictionaryElement old = element("OLDPRICE", 'N', "9.2", 'D');
    old.tag = "VAR1";
    DictionaryElement price = element("PRICE", 'N', "9.2", 'D');
    price.format = "ZZZZ9.99";
    price.flags = "N";
    DictionaryElement supplier = element("SUPPLIER", 'S', "6", 'Z');
    supplier.item4 = "SUPPLIER-CODE";
    supplier.flags = "H";
    DictionaryElement reorder = element("REORDER", 'N', "4", 'D');
    reorder.tag = "\x01";
    DictionaryElement extra = element("EXTRA", 'S', "4", 'D');
    extra.tag = "NOTE";
    return {location,
            element("BIN", 'N', "3", 'F'),
            description,
            element("ONHAND", 'N', "4", 'D'),
            old,
            price,
            element("MARGIN", 'N', "5.1", 'V'),
            supplier,
            reorder,
            extra};
}

// ---- writing ----------------------------------------------------------------------------

class Maker {
  public:
    Maker(const std::string& directory, std::string* why) : directory_(directory), why_(why) {}
    ~Maker() {
        if (env_) MDK_DeAllocEnv(env_);
    }
    Maker(const Maker&) = delete;
    Maker& operator=(const Maker&) = delete;

    int make() {
        env_ = MDK_AllocEnv();
        if (!env_) return fail(MDK_E_MEMORY, "no environment");
        keyed::ClassicLayout customersLayout = classic(80, 6,
                                                       {{segment(common::kKeyAreaField, 0, 6)},
                                                        {segment(1, 2, 20, common::kOptUpper)},
                                                        {segment(2, 0, 15), segment(1, 0, 2)}});
        keyed::ClassicLayout ordersLayout =
            classic(80, 8, {{segment(common::kKeyAreaField, 0, 8)}, {segment(1, 0, 6)}});
        keyed::ClassicLayout stockLayout =
            classic(80, 8, {{segment(common::kKeyAreaField, 0, 8)}, {segment(1, 0, 8)}});
        keyed::ClassicLayout dictionaryLayout =
            classic(400, 6, {{segment(common::kKeyAreaField, 0, 6)}});
        dictionaryLayout.separator = keyed::ClassicLayout::Separator::Byte;
        dictionaryLayout.separatorByte = kDictionarySeparator;

        if (int rc = classicFile(kCustomersFile, customersLayout, customers(),
                                 customerKeyElements(), customerDataElements()))
            return rc;
        if (int rc = classicFile(kOrdersFile, ordersLayout, orders(), {}, {})) return rc;
        if (int rc = classicFile(kStockFile, stockLayout, stock(), stockKeyElements(),
                                 stockDataElements()))
            return rc;
        if (int rc = classicFile(kKeyedDictionary, dictionaryLayout, dictionaryRecords(), {}, {}))
            return rc;
        if (int rc = productsFile()) return rc;
        if (int rc = textFile(kIniDictionary, kSalesIni)) return rc;
        return textFile(kOrdersColumnSource, kOrdersIni);
    }

  private:
    std::string path(const char* name) const { return directory_ + "/" + name; }

    int fail(int code, const std::string& what) {
        if (why_) *why_ = what;
        return code;
    }

    int classicFile(const char* name, const keyed::ClassicLayout& layout,
                    const std::vector<Record>& records, const std::vector<DictionaryElement>& keys,
                    const std::vector<DictionaryElement>& data) {
        std::string reason;
        if (int rc = keyed::buildClassicFile(path(name), layout, &reason))
            return fail(rc, std::string(name) + ": " + reason);
        int32_t error = 0;
        MdkFile* f = MDK_OpenExt(env_, path(name).c_str(), nullptr, 0, 0, &error);
        if (f == MDK_INVALID_FILE) return fail(error, std::string(name) + ": cannot open");
        int rc = 0;
        for (const Record& r : records) {
            if (MDK_insert(f, r.second.data(), static_cast<int32_t>(r.second.size()),
                           r.first.data(), static_cast<int32_t>(r.first.size())) != 0) {
                rc = fail(MDK_geterrno(f), std::string(name) + ": cannot insert " + r.first);
                break;
            }
        }
        if (rc == 0 && (!keys.empty() || !data.empty()) &&
            writeEmbeddedDictionary(f, keys, data) != 0)
            rc = fail(MDK_geterrno(f), std::string(name) + ": cannot write the dictionary");
        if (MDK_close(f) != 0 && rc == 0)
            rc = fail(MDK_E_WRITE, std::string(name) + ": cannot close");
        return rc;
    }

    // Product code (8), description (24, blank-padded) and price (8, right-aligned).
    int productsFile() {
        constexpr int kLength = 40;
        if (int rc = indexed::buildIndexedFile(path(kProductsFile), kLength, 0))
            return fail(rc, std::string(kProductsFile) + ": cannot create");
        int32_t error = 0;
        MdkFile* f = MDK_OpenExt(env_, path(kProductsFile).c_str(), nullptr, 0, 0, &error);
        if (f == MDK_INVALID_FILE) return fail(error, std::string(kProductsFile) + ": cannot open");
        int rc = 0;
        for (int i = 0; i < kProductCount; ++i) {
            char record[kLength + 1];
            std::snprintf(
                record, sizeof record, "P%07d%-24s%8s", i + 1,
                (std::string(kGoods[i % 8]) + " pack " + printed("%d", i / 8 + 1)).c_str(),
                money(99 + i * 250).c_str());
            std::string key = printed("%08d", i);
            if (MDK_write(f, record, kLength, key.data(), static_cast<int32_t>(key.size())) != 0) {
                rc = fail(MDK_geterrno(f), std::string(kProductsFile) + ": cannot write " + key);
                break;
            }
        }
        MDK_close(f);
        return rc;
    }

    int textFile(const char* name, std::string_view text) {
        int fd = platform::createFile(path(name).c_str());
        if (fd < 0) return fail(MDK_E_OPEN, std::string(name) + ": cannot create");
        platform::IoResult io = platform::writeAt(fd, text.data(), text.size(), 0);
        platform::closeFile(fd);
        if (io.status != platform::IoStatus::Ok || io.count != static_cast<int64_t>(text.size()))
            return fail(MDK_E_WRITE, std::string(name) + ": cannot write");
        return 0;
    }

    std::string directory_;
    std::string* why_;
    MdkEnv* env_ = nullptr;
};

}  // namespace

int makeSampleData(const std::string& directory, std::string* why) {
    Maker maker(directory, why);
    return maker.make();
}

}  // namespace mdnio::catalog::samples
