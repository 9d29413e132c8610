// The range option of attribute names, as servers that range values send them.
#include "value_range_name.h"

#include <gtest/gtest.h>

#include <cstring>
#include <string>

namespace {

using quenby::ValueRange;

struct NameCase {
    const char* name;
    size_t length;  // bytes of name that the server sent; 0: all of it
    bool ranged;
    size_t plainLength;
    long low;
    long high;
};

const NameCase nameCases[] = {
    {"member;range=0-99", 0, true, 6, 0, 99},
    {"member;range=300-*", 0, true, 6, 300, -1},
    {"member;Range=0-1499", 0, true, 6, 0, 1499},
    {"member;binary;range=5-9", 0, true, 13, 5, 9},
    // Backwards ranges are read as sent; the follow-up decides they do not continue.
    {"member;range=9-5", 0, true, 6, 9, 5},
    // Only the bytes the server sent count: no terminator is relied on.
    {"member;range=1-23", 16, true, 6, 1, 2},
    {"member", 0, false, 0, 0, 0},
    {"member;binary", 0, false, 0, 0, 0},
    {"member;ranged=0-9", 0, false, 0, 0, 0},
    {"member;range=", 0, false, 0, 0, 0},
    {"member;range=5", 0, false, 0, 0, 0},
    {"member;range=5-", 0, false, 0, 0, 0},
    {"member;range=-5", 0, false, 0, 0, 0},
    {"member;range=a-9", 0, false, 0, 0, 0},
    {"member;range=5-*x", 0, false, 0, 0, 0},
    {"member;range=5-9x", 0, false, 0, 0, 0},
    {"member;range=0-99;binary", 0, false, 0, 0, 0},
    {"member;range=99999999999999999999-*", 0, false, 0, 0, 0},
    {"member;range=0-99999999999999999999", 0, false, 0, 0, 0},
};

TEST(ValueRangeName, ReadsTheRangeOptionOrNone) {
    for (const NameCase& c : nameCases) {
        std::string bytes(c.name);
        const struct berval name = {c.length != 0 ? c.length : bytes.size(), &bytes[0]};
        ValueRange range = {99, 99, 99};
        EXPECT_EQ(quenby::parseValueRange(name, &range), c.ranged) << c.name;
        if (!c.ranged) {
            EXPECT_EQ(range.plainLength, 99u) << c.name << ": left as it was";
            continue;
        }
        EXPECT_EQ(range.plainLength, c.plainLength) << c.name;
        EXPECT_EQ(range.low, c.low) << c.name;
        EXPECT_EQ(range.high, c.high) << c.name;
    }
}

TEST(ValueRangeName, CountsValuesUpToTheEnd) {
    char a[] = "a", b[] = "b";
    struct berval values[] = {{1, a}, {1, b}, {0, nullptr}};
    EXPECT_EQ(quenby::countValues(values), 2);
    EXPECT_EQ(quenby::countValues(values + 2), 0);
    EXPECT_EQ(quenby::countValues(nullptr), 0);
}

}  // namespace
