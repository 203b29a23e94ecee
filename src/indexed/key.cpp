#include "indexed/key.h"

#include "indexed/format.h"

namespace mdnio::indexed {

bool parseKeyDigits(const uint8_t* key, int32_t length, int64_t* number) {
    int64_t value = 0;
    for (int32_t i = 0; i < length; i++) {
        if (key[i] < '0' || key[i] > '9') return false;
        value = value * 10 + (key[i] - '0');
    }
    *number = value;
    return true;
}

bool nameableByKey(int64_t number) {
    return number >= 0 && number <= kLastRecord;
}

void formatKey(int64_t number, uint8_t* out) {
    for (int i = kKeyDigits - 1; i >= 0; i--) {
        out[i] = static_cast<uint8_t>('0' + number % 10);
        number /= 10;
    }
}

}  // namespace mdnio::indexed
