// Numbers and formats as the reader matches them.

#include <gtest/gtest.h>

#include "image/value_scan.h"

namespace {

int32_t readOne(const std::string& text, bool* ok = nullptr, size_t* end = nullptr) {
    size_t pos = 0;
    int32_t v = 12345;
    bool good = scanInteger(text, pos, v);
    if (ok) *ok = good;
    if (end) *end = pos;
    return v;
}

TEST(ValueScan, IntegerConventions) {
    struct Case {
        const char* text;
        int32_t value;
        size_t end;
    } cases[] = {
        {"42", 42, 2},
        {"-5", -5, 2},
        {"+7", 7, 2},
        {"0x1F", 31, 4},
        {"0X1f", 31, 4},
        {"-0x10", -16, 5},
        {"017", 15, 3},
        {"08", 0, 1},  // 8 is no octal digit
        {"0", 0, 1},
        {"0xg", 0, 1},
        {"  12,", 12, 4},
        {"\t9", 9, 2},
        {"2147483647", 2147483647, 10},
        {"-2147483648", INT32_MIN, 11},
        // Beyond 32 bits the low 32 bits are kept; beyond 64 the long's limit.
        {"4294967295", -1, 10},
        {"4294967296", 0, 10},
        {"99999999999999999999", -1, 20},
        {"-99999999999999999999", 0, 21},
        {"0xFFFFFFFFFFFFFFFFFFFF", -1, 22},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.text);
        bool ok = false;
        size_t end = 0;
        EXPECT_EQ(readOne(c.text, &ok, &end), c.value);
        EXPECT_TRUE(ok);
        EXPECT_EQ(end, c.end);
    }
    for (const char* bad : {"", "-", "+ 1", "x1", ";1", " ", "- 3"}) {
        SCOPED_TRACE(bad);
        bool ok = true;
        EXPECT_EQ(readOne(bad, &ok), 12345);  // untouched
        EXPECT_FALSE(ok);
    }
}

TEST(ValueScan, FormatMatching) {
    int32_t v[4] = {};
    // A blank in the format matches any run of blanks, including none.
    EXPECT_EQ(scanValues("7:3,-5", "%i: %i,%i", v, 4), 3);
    EXPECT_EQ(v[2], -5);
    EXPECT_EQ(scanValues("7:     3,  -5   ;  12; comment", "%i: %i,%i", v, 4), 3);
    EXPECT_EQ(v[1], 3);
    // A blank before a colon or comma ends the match.
    EXPECT_EQ(scanValues("7 : 3,4", "%i: %i,%i", v, 4), 1);
    EXPECT_EQ(scanValues("7: 3 ,4", "%i: %i,%i", v, 4), 2);
    // Missing fields: the count says how far it got.
    EXPECT_EQ(scanValues("5: 2", "%i: %i,%i", v, 4), 2);
    EXPECT_EQ(scanValues("5: 2,", "%i: %i,%i", v, 4), 2);
    // No more numbers are stored than there is room for.
    EXPECT_EQ(scanValues("1: 2,3,4,5", "%i: %i,%i,%i,%i", v, 2), 2);
    // Embedded NUL bytes are plain mismatching characters.
    EXPECT_EQ(scanValues(std::string_view("9:\0 1,2", 7), "%i: %i,%i", v, 4), 1);
}

TEST(ValueScan, Words) {
    int32_t v[1];
    std::string word;
    EXPECT_EQ(scanValues("2: KR55               ;   1; Model", "%i: %s", v, 1, &word), 2);
    EXPECT_EQ(word, "KR55");
    EXPECT_EQ(scanValues("2:KR54;   1;", "%i: %s", v, 1, &word), 2);
    EXPECT_EQ(word, "KR54;");
    word = "unchanged";
    EXPECT_EQ(scanValues("2:   ", "%i: %s", v, 1, &word), 1);
    EXPECT_EQ(word, "unchanged");
}

}  // namespace
