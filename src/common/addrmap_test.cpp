#include "common/addrmap.h"

#include <gtest/gtest.h>

#include <map>
#include <random>

namespace mdnio::common {
namespace {

// Checks every address of the model, and a few that are not in it, against the map.
void expectSame(const AddressMap& map, const std::map<uint32_t, uint32_t>& model, uint32_t range) {
    ASSERT_EQ(map.size(), model.size());
    for (uint32_t a = 1; a <= range; a++) {
        auto it = model.find(a);
        const uint32_t* got = map.find(a);
        if (it == model.end()) {
            ASSERT_EQ(got, nullptr) << "address " << a;
        } else {
            ASSERT_NE(got, nullptr) << "address " << a;
            ASSERT_EQ(*got, it->second) << "address " << a;
        }
    }
}

// Random puts and erases against an ordered map.  The address range is kept small, so that
// runs of neighbouring entries wrap round the end of the table and erases shift them back.
TEST(AddressMap, FollowsAModelThroughPutsAndErases) {
    struct Case {
        uint32_t range;
        uint32_t step;  // addresses are multiples of it, like block addresses
        int operations;
    };
    for (const Case& c : {Case{40, 1, 4000}, Case{300, 4096, 20000}, Case{3000, 512, 20000}}) {
        SCOPED_TRACE(c.range);
        std::mt19937 random(c.range);
        AddressMap map;
        std::map<uint32_t, uint32_t> model;
        for (int i = 0; i < c.operations; i++) {
            const uint32_t address = (1 + random() % c.range) * c.step;
            if (random() % 3 == 0) {
                map.erase(address);
                model.erase(address);
            } else {
                const uint32_t position = random();
                map.put(address, position);
                model[address] = position;
            }
            if (i % 997 == 0) {
                ASSERT_EQ(map.size(), model.size());
                for (const auto& [a, p] : model) {
                    ASSERT_NE(map.find(a), nullptr) << a;
                    ASSERT_EQ(*map.find(a), p);
                }
            }
        }
        if (c.step == 1) expectSame(map, model, c.range + 10);
        map.clear();
        model.clear();
        if (c.step == 1) expectSame(map, model, c.range + 10);
    }
}

TEST(AddressMap, EmptyMapAndAddressZero) {
    AddressMap map;
    EXPECT_EQ(map.find(4096), nullptr);
    EXPECT_EQ(map.find(0), nullptr);
    map.erase(4096);  // nothing to erase: no effect
    EXPECT_EQ(map.size(), 0u);
    map.put(4096, 7);
    EXPECT_EQ(map.find(0), nullptr);
    map.erase(0);
    ASSERT_NE(map.find(4096), nullptr);
    EXPECT_EQ(*map.find(4096), 7u);
}

TEST(AddressMap, GrowingKeepsEveryEntry) {
    AddressMap map;
    map.reserve(10);
    for (uint32_t i = 1; i <= 100000; i++)
        map.put(i * 4096, i);
    ASSERT_EQ(map.size(), 100000u);
    for (uint32_t i = 1; i <= 100000; i++) {
        const uint32_t* p = map.find(i * 4096);
        ASSERT_NE(p, nullptr);
        ASSERT_EQ(*p, i);
    }
    EXPECT_EQ(map.find(100001u * 4096), nullptr);
}

}  // namespace
}  // namespace mdnio::common
