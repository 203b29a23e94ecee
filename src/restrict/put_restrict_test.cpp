// Storing restrict entries one by one: which indices are taken, how constants are copied, and
// what a numeric constant keeps.
#include <gtest/gtest.h>

#include <cstring>
#include <string>

#include "restrict/sample_files.h"

namespace mdnio::filter::test {
namespace {

class PutRestrictInfo : public SampleTest {
  protected:
    void SetUp() override {
        SampleTest::SetUp();
        file = openFile(env, sample(Kind::Classic));
        ASSERT_NE(file, MDK_INVALID_FILE);
    }
    void TearDown() override {
        closeFile(file);
        SampleTest::TearDown();
    }

    int32_t store(int32_t index, const std::string& constant, int32_t op = MDK_OP_EQ,
                  int32_t field = 1) {
        MdkRestrictEntry e{field,          0, 10, op, 2, static_cast<int32_t>(constant.size()), 0,
                           constant.data()};
        return MDK_PutRestrictInfo(file, index, &e);
    }

    MdkFile* file = MDK_INVALID_FILE;
};

TEST_F(PutRestrictInfo, IndicesOutsideTheProgramAreRefused) {
    ASSERT_EQ(store(3, "Adams"), 0);
    struct Case {
        int32_t index;
        int32_t result;
        int32_t error;
    };
    for (const Case& c : {Case{50, -1, MDK_E_RESTRICTINDEX}, Case{-2, -1, MDK_E_RESTRICTINDEX},
                          Case{1000, -1, MDK_E_RESTRICTINDEX},
                          Case{INT32_MIN, -1, MDK_E_RESTRICTINDEX}, Case{-1, 0, MDK_OK}}) {
        file->error = MDK_OK;
        EXPECT_EQ(store(c.index, "Zed"), c.result) << c.index;
        EXPECT_EQ(MDK_geterrno(file), c.error) << c.index;
        // Nothing was stored, and the program is the one it was.
        EXPECT_EQ(file->restrictLast, 3) << c.index;
        EXPECT_STREQ(file->restrict[3].value, "Adams") << c.index;
        for (int i = 0; i < kRestrictSlots; ++i) {
            if (i != 3) {
                EXPECT_EQ(file->restrict[i].value, nullptr) << c.index << " slot " << i;
            }
        }
    }
    // Index -1 asks for no entry at all.
    EXPECT_EQ(MDK_PutRestrictInfo(file, -1, nullptr), 0);
}

TEST_F(PutRestrictInfo, MinusOneOnAFreshHandleLeavesItWithoutProgram) {
    EXPECT_EQ(store(-1, "x"), 0);
    EXPECT_EQ(file->restrictOwner, nullptr);
    EXPECT_EQ(file->restrictLast, 0);
}

TEST_F(PutRestrictInfo, StoringTakesOwnershipAndTracksTheHighestIndex) {
    ASSERT_EQ(store(0, "Adams"), 0);
    EXPECT_EQ(file->restrictOwner, file);
    EXPECT_EQ(file->restrictLast, 0);
    ASSERT_EQ(store(7, "B"), 0);
    ASSERT_EQ(store(2, "C"), 0);
    EXPECT_EQ(file->restrictLast, 7);  // never lowered
    const RestrictSlot& s = file->restrict[7];
    EXPECT_EQ(s.fieldNumber, 1);
    EXPECT_EQ(s.width, 10);
    EXPECT_EQ(s.op, MDK_OP_EQ);
    EXPECT_EQ(s.scale, 2);
    EXPECT_EQ(s.length, 1);
}

TEST_F(PutRestrictInfo, ConstantsAreCopiedLongerReplacedShorterReused) {
    std::string caller = "ab";
    ASSERT_EQ(store(0, caller), 0);
    caller[0] = 'z';  // the library keeps its own copy
    RestrictSlot& s = file->restrict[0];
    EXPECT_EQ(std::string(s.value, 2), "ab");
    EXPECT_EQ(s.capacity, 33);  // room for any constant up to 32 bytes and its terminator

    const std::string longer(40, 'L');
    ASSERT_EQ(store(0, longer), 0);
    EXPECT_EQ(s.capacity, 41);
    EXPECT_EQ(std::string(s.value, 40), longer);
    EXPECT_EQ(s.value[40], '\0');
    EXPECT_EQ(s.length, 40);

    const char* kept = s.value;
    ASSERT_EQ(store(0, "xy"), 0);
    EXPECT_EQ(s.value, kept);  // reused, not reallocated
    EXPECT_EQ(s.capacity, 41);
    EXPECT_EQ(s.length, 2);
    EXPECT_EQ(std::string(s.value, 2), "xy");
    for (int i = 2; i < s.capacity; ++i)
        EXPECT_EQ(s.value[i], '\0') << i;  // zero-filled first
}

TEST_F(PutRestrictInfo, ANumericConstantThatIsNoNumberKeepsThePreviousOne) {
    const int32_t numericEq = MDK_OP_NUMERIC | MDK_OP_EQ;
    ASSERT_EQ(store(0, "abc", numericEq, 3), 0);
    EXPECT_EQ(file->restrict[0].number, 0.0);  // a slot never given a number
    ASSERT_EQ(store(0, "12.5", numericEq, 3), 0);
    EXPECT_EQ(file->restrict[0].number, 12.5);
    ASSERT_EQ(store(0, "abc", numericEq, 3), 0);
    EXPECT_EQ(file->restrict[0].number, 12.5);
    EXPECT_EQ(std::string(file->restrict[0].value), "abc");
    // A byte entry does not touch the numeric constant either.
    ASSERT_EQ(store(0, "99", MDK_OP_EQ, 3), 0);
    EXPECT_EQ(file->restrict[0].number, 12.5);
    // The text ends at the first zero byte of the constant.
    ASSERT_EQ(store(0,
                    std::string("7\0"
                                "9",
                                3),
                    numericEq, 3),
              0);
    EXPECT_EQ(file->restrict[0].number, 7.0);

    // The kept constant is the one the reads apply: balances of 12.50 (scale 2).
    ASSERT_EQ(store(0, "12.5", numericEq, 3), 0);
    ASSERT_EQ(store(0, "abc", numericEq, 3), 0);
    ScanResult r = restrictedScan(file, Kind::Classic, "", 2);
    EXPECT_EQ(r.people, (std::vector<int>{1, 4}));
    EXPECT_EQ(r.end, -4);
}

TEST_F(PutRestrictInfo, MalformedEntriesAreRefusedAndChangeNothing) {
    ASSERT_EQ(store(0, "Adams"), 0);
    const char* before = file->restrict[0].value;
    struct Case {
        const char* what;
        MdkRestrictEntry entry;
        int32_t error;
    };
    const Case cases[] = {
        {"negative length", {1, 0, 0, MDK_OP_EQ, 0, -1, 0, "x"}, MDK_E_LENGTH},
        {"negative field", {-1, 0, 0, MDK_OP_EQ, 0, 1, 0, "x"}, MDK_E_LENGTH},
        {"negative offset", {1, -4, 0, MDK_OP_EQ, 0, 1, 0, "x"}, MDK_E_LENGTH},
        {"negative width", {1, 0, -1, MDK_OP_EQ, 0, 1, 0, "x"}, MDK_E_LENGTH},
        {"missing constant", {1, 0, 0, MDK_OP_EQ, 0, 3, 0, nullptr}, MDK_E_MISSING},
    };
    for (const Case& c : cases) {
        EXPECT_EQ(MDK_PutRestrictInfo(file, 0, &c.entry), -1) << c.what;
        EXPECT_EQ(MDK_geterrno(file), c.error) << c.what;
        EXPECT_EQ(file->restrict[0].value, before) << c.what;
        EXPECT_EQ(file->restrict[0].length, 5) << c.what;
        EXPECT_EQ(file->restrict[0].fieldNumber, 1) << c.what;
    }
    EXPECT_EQ(MDK_PutRestrictInfo(file, 0, nullptr), -1);
    EXPECT_EQ(MDK_geterrno(file), MDK_E_MISSING);
    // A zero-length constant needs no bytes.
    MdkRestrictEntry empty{1, 0, 0, MDK_OP_EQ, 0, 0, 0, nullptr};
    EXPECT_EQ(MDK_PutRestrictInfo(file, 1, &empty), 0);
}

}  // namespace
}  // namespace mdnio::filter::test
