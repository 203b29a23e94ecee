#include "restrict/compare.h"

#include <algorithm>
#include <cstring>

#include "common/bytes.h"
#include "mdnio.h"
#include "restrict/parse_number.h"

namespace mdnio::filter {

namespace {

constexpr double kEqualWithin = 1e-14;

}  // namespace

int compareBytes(std::span<const uint8_t> record, size_t at, const char* constant, size_t length) {
    const size_t available = at < record.size() ? record.size() - at : 0;
    const size_t common = std::min(available, length);
    if (common > 0) {
        const int c = std::memcmp(record.data() + at, constant, common);
        if (c != 0) return c < 0 ? -1 : 1;
    }
    return common < length ? -1 : 0;
}

std::optional<int> compareNumber(std::span<const uint8_t> record, size_t at, size_t end,
                                 int32_t width, int32_t separator, double divisor,
                                 double constant) {
    end = std::min(end, record.size());
    size_t stop = at < end ? std::min(end, at + static_cast<size_t>(std::max(width, 0))) : at;
    if (separator >= 0 && stop > at) {
        stop =
            at + common::findByte(record.data() + at, stop - at, static_cast<uint8_t>(separator));
    }
    double value = 0.0;
    const char* text = at < record.size() ? reinterpret_cast<const char*>(record.data() + at) : "";
    if (!parseNumber(text, static_cast<int32_t>(stop - at), &value)) return std::nullopt;
    if (divisor != 1.0 && value != 0.0) value /= divisor;
    const double difference = value - constant;
    if (difference > -kEqualWithin && difference < kEqualWithin) return 0;
    return difference < 0 ? -1 : 1;
}

std::optional<bool> operatorHolds(int32_t op, int comparison) {
    switch (op) {
        case MDK_OP_NONE:
            return true;
        case MDK_OP_EQ:
            return comparison == 0;
        case MDK_OP_NE:
            return comparison != 0;
        case MDK_OP_LE:
            return comparison <= 0;
        case MDK_OP_LT:
            return comparison < 0;
        case MDK_OP_GE:
            return comparison >= 0;
        case MDK_OP_GT:
            return comparison > 0;
        default:
            return std::nullopt;
    }
}

}  // namespace mdnio::filter
