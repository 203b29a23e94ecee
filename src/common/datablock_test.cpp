#include "common/datablock.h"

#include <gtest/gtest.h>

#include <map>
#include <random>
#include <string>
#include <vector>

#include "mdnio.h"

namespace mdnio::common {
namespace {

using Bytes = std::vector<uint8_t>;

constexpr size_t kB = 64;  // small blocks keep the hand-made images readable
const RecordShape kShape{RecordShape::Kind::Data, 2, 0};

void put(Bytes& block, size_t at, const Bytes& bytes) {
    std::copy(bytes.begin(), bytes.end(), block.begin() + static_cast<std::ptrdiff_t>(at));
}

const Bytes kRecordA = {2, 'k', '1', 0x00, 0x03, 'a', 'b', 'c'};            // 8 bytes
const Bytes kRecordB = {2, 'k', '2', 0x00, 0x05, 'v', 'w', 'x', 'y', 'z'};  // 10 bytes

// Two records: slot 1 at body position 50 (the end), slot 2 at 40; F = 40 - 6 = 34.
Bytes twoRecordBlock() {
    Bytes b(kB, 0);
    put(b, 0, {0x80, 0x00, 0x00, 0x12, 0x00, 0x02, 0x00, 34, 0x00, 50, 0x00, 40});
    put(b, 6 + 50, kRecordA);
    put(b, 6 + 40, kRecordB);
    return b;
}

Bytes bytesOf(const RecordRef& r) {
    return Bytes(r.bytes.begin(), r.bytes.end());
}

TEST(RecordSize, DataAndChainedRecords) {
    EXPECT_EQ(recordSize(kRecordA, kShape), 8);
    const Bytes continued = {2, 'k', '1', 0x80, 0x03, 'a', 'b', 'c', 0, 0, 0, 0};
    EXPECT_EQ(recordSize(continued, kShape), 12);
    EXPECT_EQ(recordSize(continued, RecordShape{RecordShape::Kind::Data, 2, 4}), 16);
    EXPECT_EQ(recordSize(Bytes{2, 'k', '1', 0x00}, kShape), -1);
    const RecordShape chained{RecordShape::Kind::Chained, 0, 0};
    EXPECT_EQ(recordSize(Bytes{0, 0, 0, 0, 0, 0, 0, 0, 0x00, 0x0C, 'p', 'q'}, chained), 12);
    EXPECT_EQ(recordSize(Bytes{0, 0, 0, 0, 0, 0, 0, 0, 0x00, 0x09}, chained), -1);
    EXPECT_EQ(recordSize(Bytes{0, 0, 0, 0, 0, 0, 0, 0, 0x00}, chained), -1);
}

TEST(SlottedBlock, InitAndRead) {
    Bytes b(kB, 0xAA);
    initSlottedBlock(b, kDataBlockType, 0x00012300);
    Bytes expected(kB, 0);
    put(expected, 0, {0x80, 0x00, 0x01, 0x23, 0x00, 0x00, 0x00, kB - 8});
    EXPECT_EQ(b, expected);
    EXPECT_EQ(validateSlottedBlock(b, kShape, 0), MDK_OK);

    const Bytes two = twoRecordBlock();
    EXPECT_EQ(validateSlottedBlock(two, kShape, 0), MDK_OK);
    EXPECT_EQ(slotCount(two), 2);
    EXPECT_EQ(freeBytes(two), 34);
    EXPECT_EQ(slotPosition(two, 1), 50);
    EXPECT_EQ(slotPosition(two, 2), 40);
    EXPECT_EQ(slotPosition(two, 3), 0);
    EXPECT_EQ(bytesOf(readRecord(two, 1, kShape, 0)), kRecordA);
    EXPECT_EQ(bytesOf(readRecord(two, 2, kShape, 0)), kRecordB);
    EXPECT_EQ(readRecord(two, 2, kShape, 0).position, 40u);
}

TEST(SlottedBlock, ValidateAndReadRefuseBadContent) {
    struct Case {
        const char* name;
        size_t at;
        Bytes bytes;
        unsigned slot;  // the slot read afterwards
        size_t maxRecord;
        int validateCode;
        int readCode;
    };
    const std::vector<Case> cases = {
        {"free count two too high", 6, {0x00, 36}, 1, 0, MDK_E_KEYADDR, MDK_OK},
        {"free count two too low", 6, {0x00, 32}, 1, 0, MDK_E_KEYADDR, MDK_OK},
        {"free count past the block", 6, {0x01, 0x00}, 1, 0, MDK_E_KEYADDR, MDK_OK},
        {"slot past the block end", 8, {0x00, 59}, 1, 0, MDK_E_OFFSET, MDK_E_OFFSET},
        {"slot at the block end", 8, {0x00, 58}, 1, 0, MDK_E_OFFSET, MDK_E_OFFSET},
        {"record runs past the end", 6 + 50 + 3, {0x00, 0x04}, 1, 0, MDK_E_OFFSET, MDK_E_OFFSET},
        {"continued record's link runs past the end",
         6 + 50 + 3,
         {0x80, 0x03},
         1,
         0,
         MDK_E_OFFSET,
         MDK_E_OFFSET},
        {"record above the maximum size", 0, {0x80}, 2, 9, MDK_E_RECSIZE, MDK_E_RECSIZE},
        {"two slots on one record", 8, {0x00, 40}, 2, 0, MDK_E_KEYADDR, MDK_OK},
        {"slot table past the block", 5, {30}, 1, 0, MDK_E_KEYADDR, MDK_OK},
        {"unused slot", 10, {0x00, 0x00}, 2, 0, MDK_E_KEYADDR, MDK_E_KEY},
        {"slot beyond the count", 5, {1}, 2, 0, MDK_E_KEYADDR, MDK_E_KEY},
        {"slot 0", 0, {0x80}, 0, 0, MDK_OK, MDK_E_KEY},
    };
    for (const Case& c : cases) {
        Bytes b = twoRecordBlock();
        put(b, c.at, c.bytes);
        EXPECT_EQ(validateSlottedBlock(b, kShape, c.maxRecord), c.validateCode) << c.name;
        EXPECT_EQ(readRecord(b, c.slot, kShape, c.maxRecord).code, c.readCode) << c.name;
    }
}

TEST(SlottedBlock, RemoveMovesRecordsUpAndDropsTrailingSlots) {
    // Removing slot 1 (the top record): record B moves up by 8, its slot follows.
    Bytes b = twoRecordBlock();
    ASSERT_EQ(removeRecord(b, 1, 8), MDK_OK);
    Bytes expected(kB, 0);
    put(expected, 0, {0x80, 0x00, 0x00, 0x12, 0x00, 0x02, 0x00, 42, 0x00, 0x00, 0x00, 48});
    put(expected, 6 + 48, kRecordB);
    EXPECT_EQ(b, expected);
    EXPECT_EQ(validateSlottedBlock(b, kShape, 0), MDK_OK);

    // Then slot 2: the block is empty again, count 0 and F = B - 8.
    ASSERT_EQ(removeRecord(b, 2, 10), MDK_OK);
    Bytes empty(kB, 0);
    put(empty, 0, {0x80, 0x00, 0x00, 0x12, 0x00, 0x00, 0x00, kB - 8});
    EXPECT_EQ(b, empty);

    // Removing slot 2 first drops it from the table at once.
    Bytes c = twoRecordBlock();
    ASSERT_EQ(removeRecord(c, 2, 10), MDK_OK);
    Bytes expectedC(kB, 0);
    put(expectedC, 0, {0x80, 0x00, 0x00, 0x12, 0x00, 0x01, 0x00, 46, 0x00, 50});
    put(expectedC, 6 + 50, kRecordA);
    EXPECT_EQ(c, expectedC);
}

TEST(SlottedBlock, RemoveRefusesBadSlots) {
    struct Case {
        const char* name;
        unsigned slot;
        size_t size;
        int code;
    };
    const std::vector<Case> cases = {
        {"slot 0", 0, 8, MDK_E_KEY},
        {"beyond the count", 3, 8, MDK_E_KEY},
        {"size past the block", 1, 9, MDK_E_OFFSET},
        {"size 0", 1, 0, MDK_E_OFFSET},
    };
    for (const Case& c : cases) {
        Bytes b = twoRecordBlock();
        EXPECT_EQ(removeRecord(b, c.slot, c.size), c.code) << c.name;
        EXPECT_EQ(b, twoRecordBlock()) << c.name;
    }
}

TEST(SlottedBlock, ReserveTakesTheLowestFreeSlotBelowTheLowestRecord) {
    Bytes b(kB, 0);
    initSlottedBlock(b, kDataBlockType, 0x1200);
    EXPECT_EQ(findFreeSlot(b), 1u);
    EXPECT_EQ(spaceNeeded(b, 8), 10u);
    const SlotPlace first = reserveRecord(b, 8);
    EXPECT_EQ(first.slot, 1u);
    EXPECT_EQ(first.position, 50u);  // table end 4 + F 54 - 8
    EXPECT_EQ(freeBytes(b), 46);
    put(b, 6 + first.position, kRecordA);
    const SlotPlace second = reserveRecord(b, 10);
    EXPECT_EQ(second.slot, 2u);
    EXPECT_EQ(second.position, 40u);
    put(b, 6 + second.position, kRecordB);
    EXPECT_EQ(b, twoRecordBlock());

    // A freed slot in the middle is reused without growing the table.
    Bytes c = twoRecordBlock();
    ASSERT_EQ(removeRecord(c, 1, 8), MDK_OK);
    EXPECT_EQ(findFreeSlot(c), 1u);
    EXPECT_EQ(spaceNeeded(c, 8), 8u);
    const SlotPlace again = reserveRecord(c, 8);
    EXPECT_EQ(again.slot, 1u);
    EXPECT_EQ(again.position, 40u);
    EXPECT_EQ(slotCount(c), 2);
    EXPECT_EQ(freeBytes(c), 34);
}

TEST(SlottedBlock, ReserveHonoursRoomAndSlotLimit) {
    Bytes b = twoRecordBlock();  // F = 34
    Bytes tooBig = b;
    EXPECT_EQ(reserveRecord(tooBig, 33).slot, 0u);  // 33 + 2 > 34
    EXPECT_EQ(tooBig, b);
    const SlotPlace exact = reserveRecord(b, 32);
    EXPECT_EQ(exact.slot, 3u);
    EXPECT_EQ(exact.position, 8u);  // right after the 3-slot table
    EXPECT_EQ(freeBytes(b), 0);
    EXPECT_EQ(reserveRecord(b, 1).slot, 0u);

    Bytes big(4096, 0);
    initSlottedBlock(big, kDataBlockType, 0);
    for (unsigned i = 1; i <= kMaxSlots; ++i)
        ASSERT_EQ(reserveRecord(big, 5).slot, i);
    EXPECT_EQ(findFreeSlot(big), 0u);
    EXPECT_EQ(reserveRecord(big, 5).slot, 0u);
    EXPECT_EQ(freeBytes(big), 4096 - 8 - 255 * 7);
}

TEST(SlottedBlock, ResizeInPlace) {
    struct Case {
        const char* name;
        size_t newSize;
        size_t position;   // returned body position, 0 = not in place
        size_t positionB;  // slot 2 afterwards
        uint16_t free;
    };
    const std::vector<Case> cases = {
        {"same size", 8, 50, 40, 34},     {"shrink", 5, 53, 43, 37},
        {"grow", 12, 46, 36, 30},         {"grow into all the free space", 8 + 34, 16, 6, 0},
        {"too large", 8 + 35, 0, 40, 34},
    };
    for (const Case& c : cases) {
        Bytes b = twoRecordBlock();
        EXPECT_EQ(resizeRecord(b, 1, 8, c.newSize), c.position) << c.name;
        EXPECT_EQ(slotPosition(b, 2), c.positionB) << c.name;
        EXPECT_EQ(freeBytes(b), c.free) << c.name;
        if (c.position == 0) {
            EXPECT_EQ(b, twoRecordBlock()) << c.name;
            continue;
        }
        EXPECT_EQ(slotPosition(b, 1), c.position) << c.name;
        EXPECT_EQ(bytesOf(readRecord(b, 2, kShape, 0)), kRecordB) << c.name;
        // Write a record of the new size and check the block is consistent.
        Bytes rec(c.newSize, 'r');
        rec[0] = 2;
        rec[3] = 0;
        rec[4] = static_cast<uint8_t>(c.newSize - 5);
        put(b, 6 + c.position, rec);
        EXPECT_EQ(validateSlottedBlock(b, kShape, 0), MDK_OK) << c.name;
    }
    // Shrinking zeroes the bytes the moved records left.
    Bytes b = twoRecordBlock();
    ASSERT_EQ(resizeRecord(b, 1, 8, 5), 53u);
    EXPECT_EQ(Bytes(b.begin() + 6 + 40, b.begin() + 6 + 43), Bytes(3, 0));
    Bytes bad = twoRecordBlock();
    EXPECT_EQ(resizeRecord(bad, 3, 8, 5), 0u);
    EXPECT_EQ(resizeRecord(bad, 1, 9, 5), 0u);  // old size past the block
}

// Random reserve / remove / resize against a model of the block's records.  Every operation also
// names the parts of the block it changed (with the record the caller writes after a reserve or
// a resize): writing back only those parts must lose nothing.
TEST(SlottedBlock, RandomOperationsKeepTheBlockConsistent) {
    std::mt19937 rng(77);
    std::uniform_int_distribution<int> op(0, 2);
    std::uniform_int_distribution<int> len(0, 40);
    Bytes b(1024, 0);
    initSlottedBlock(b, kDataBlockType, 0x400);
    std::map<unsigned, Bytes> model;
    auto makeRecord = [&](size_t dataLen, uint8_t fill) {
        Bytes r = {2, 'k', fill, static_cast<uint8_t>(dataLen >> 8), static_cast<uint8_t>(dataLen)};
        r.insert(r.end(), dataLen, fill);
        return r;
    };
    for (int step = 0; step < 4000; ++step) {
        const int o = op(rng);
        const auto fill = static_cast<uint8_t>(step);
        const Bytes before = b;
        BlockParts parts(b.size());
        if (o == 0 || model.empty()) {
            const Bytes r = makeRecord(static_cast<size_t>(len(rng)), fill);
            const bool room = spaceNeeded(b, r.size()) <= freeBytes(b) && findFreeSlot(b) != 0;
            const SlotPlace p = reserveRecord(b, r.size(), &parts);
            ASSERT_EQ(p.slot != 0, room);
            if (p.slot != 0) {
                ASSERT_EQ(model.count(p.slot), 0u);
                put(b, 6 + p.position, r);
                model[p.slot] = r;
            }
        } else {
            auto it = model.begin();
            std::advance(it, std::uniform_int_distribution<size_t>(0, model.size() - 1)(rng));
            if (o == 1) {
                ASSERT_EQ(removeRecord(b, it->first, it->second.size(), &parts), MDK_OK);
                model.erase(it);
            } else {
                const Bytes r = makeRecord(static_cast<size_t>(len(rng)), fill);
                const bool fits = r.size() <= it->second.size() + freeBytes(b);
                const size_t pos = resizeRecord(b, it->first, it->second.size(), r.size(), &parts);
                ASSERT_EQ(pos != 0, fits);
                if (pos != 0) {
                    put(b, 6 + pos, r);
                    it->second = r;
                }
            }
        }
        ASSERT_EQ(validateSlottedBlock(b, kShape, 0), MDK_OK) << step;
        ASSERT_EQ(firstUnmarkedDifference(before, b, parts.bits()), kNoDifference) << step;
        for (const auto& [slot, bytes] : model) {
            ASSERT_EQ(bytesOf(readRecord(b, slot, kShape, 0)), bytes) << step;
        }
        const unsigned highest = model.empty() ? 0 : model.rbegin()->first;
        ASSERT_EQ(slotCount(b), highest) << step;  // trailing unused slots are dropped
    }
}

}  // namespace
}  // namespace mdnio::common
