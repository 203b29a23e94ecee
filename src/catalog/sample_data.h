// The sample data set: a few small data files and the three kinds of dictionary over them,
// made from the file builders and the public interface.  samples/make_samples writes it into
// a directory; the catalog's tests list it.
//
//   customers.dat  classic keyed, 36 records; key 0 the customer number (key area, 6 bytes),
//                  key 1 the name, key 2 city and region; carries an embedded dictionary
//   orders.dat     classic keyed, 48 records; key 0 the order number (8 bytes), key 1 customer
//   stock.dat      classic keyed, 24 records, with an embedded dictionary
//   products.ind   indexed, 20 records of 40 bytes
//   sales.ini      .ini dictionary: CUSTOMERS (customers.dat) and ORDERS (orders.dat, with
//                  its columns in orders_cols.ini)
//   orders_cols.ini  column source of ORDERS
//   meridane.ddf   keyed dictionary file (separator '|'): STOCK and CUSTOMERS
#pragma once

#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

#include "mdnio.h"

namespace mdnio::catalog::samples {

inline constexpr char kCustomersFile[] = "customers.dat";
inline constexpr char kOrdersFile[] = "orders.dat";
inline constexpr char kStockFile[] = "stock.dat";
inline constexpr char kProductsFile[] = "products.ind";
inline constexpr char kIniDictionary[] = "sales.ini";
inline constexpr char kOrdersColumnSource[] = "orders_cols.ini";
inline constexpr char kKeyedDictionary[] = "meridane.ddf";

inline constexpr int kCustomerCount = 36;
inline constexpr int kOrderCount = 48;
inline constexpr int kStockCount = 24;
inline constexpr int kProductCount = 20;

// The field separator of the classic sample data files, and of the keyed dictionary file.
inline constexpr uint8_t kDataSeparator = 0x8A;
inline constexpr uint8_t kDictionarySeparator = '|';

// Creates every file of the data set in `directory`, which must exist and must not hold any of
// them yet.  0, or a library error code with the reason in *why (when not null).
int makeSampleData(const std::string& directory, std::string* why);

// One column of an embedded dictionary, and the dictionary record it becomes.
struct DictionaryElement {
    std::string name;
    char type = 'S';
    std::string length;  // "9" or "9.2"
    char storage = 'D';
    std::string item4;
    std::string format;
    std::string flags;  // 'H' hide, 'N' no show
    std::string tag = std::string("\0\0\xB9", 3);
    std::string item6;  // not read; long values test two-byte item lengths
};
std::vector<uint8_t> encodeElement(const DictionaryElement& element);

// Writes an embedded dictionary into the open keyed file: a header record 0, the key elements
// at -1, -2, ... and the data elements at 1, 2, ....  0, or -1 with the code in the handle.
int32_t writeEmbeddedDictionary(MdkFile* file, const std::vector<DictionaryElement>& keyElements,
                                const std::vector<DictionaryElement>& dataElements);

}  // namespace mdnio::catalog::samples
