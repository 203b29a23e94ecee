// The benchmark's data: N customer records made on demand from their number, so that every
// engine sees exactly the same bytes and the driver itself holds almost no memory.
//
// A record is a 10-byte primary key and four fields: name (20 bytes), city (12), balance as
// numeric text (10, two decimals, 0.00 to 999999.99) and free text (40).  The engines that store
// a record as one byte string use the keyed file's data layout: the fields joined by the field
// separator 0x8A.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>

namespace bench {

inline constexpr size_t kKeyLength = 10;
inline constexpr size_t kNameLength = 20;
inline constexpr size_t kCityLength = 12;
inline constexpr size_t kBalanceLength = 10;
inline constexpr size_t kTextLength = 40;
inline constexpr uint8_t kSeparator = 0x8A;
// The joined data: four fields and three separators.
inline constexpr size_t kDataLength =
    kNameLength + 1 + kCityLength + 1 + kBalanceLength + 1 + kTextLength;
// The filtered scan keeps the records whose balance is below this: 1% of them.
inline constexpr double kFilterLimit = 10000.0;

struct Record {
    char key[kKeyLength];
    char name[kNameLength];
    char city[kCityLength];
    char balance[kBalanceLength];
    char text[kTextLength];

    // The fields joined by separators (kDataLength bytes into `out`).
    void join(uint8_t* out) const;
    // The alternate keys as the peers store them: the name upper-cased, and city + balance.
    std::string upperName() const;
    std::string cityBalance() const;
    double balanceValue() const;
};

class Dataset {
  public:
    explicit Dataset(uint32_t records) : count_(records) {}
    uint32_t count() const { return count_; }

    // Record `id` (0 <= id < count) as first loaded; `version` > 0 gives the record after that
    // many updates: same key, name and city, new balance and text.
    Record record(uint32_t id, uint32_t version = 0) const;
    // The n-th id of a fixed pseudo-random permutation of 0..count-1 (a different one per
    // `stream`): the load order, the lookup order, the update and the remove order.
    uint32_t shuffled(uint64_t n, uint32_t stream) const;

  private:
    uint32_t count_;
};

// Splits the balance field out of joined data and converts it; -1 when the data is malformed.
double balanceOfJoined(const uint8_t* data, size_t length);

}  // namespace bench
