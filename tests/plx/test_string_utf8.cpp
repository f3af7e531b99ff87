/* UTF-8 characters: cases of the decoding rule, encoding, validity and the UCS-2 conversions.
 * The rule over random bytes is checked against the fuzz target's reference decoder in the
 * corpus replay. */
#include <string>

#include "plx/plx_string_utf8.h"
#include "test_support.h"

namespace {

constexpr uint32_t kInvalid = 0x900503A0u;

TEST(Utf8Rule, SequencesThisLibraryRejectsOrAccepts) {
    const char *overlong_nul = "\xC0\x80";
    uint32_t code = 7;
    ASSERT_EQ(0u, _utf8_get_next_char(&overlong_nul, &code));
    EXPECT_EQ(0u, code);

    EXPECT_EQ(1u, plx_string_charnlen("a\xC3\xA9" "b", 2)) << "a character that does not fit";
    EXPECT_EQ(3u, plx_string_charnlen("ab\xFF", 5)) << "an invalid sequence counts once";
    EXPECT_EQ(1u, plx_string_nextcharsize("\x80"));
    EXPECT_EQ(3u, plx_string_nextcharsize("\xE2"));

    EXPECT_EQ(1, plx_string_isempty("\xC0\x80"));
    EXPECT_EQ(0, plx_string_isempty(" "));

    const char *text = "";
    uint32_t bytes = 0;
    EXPECT_EQ(0u, plx_string_charnext(&text, &bytes));
    EXPECT_EQ(1u, bytes) << "the terminator is consumed like any byte";
    EXPECT_EQ(0u, plx_string_charnext(nullptr, nullptr));
}

TEST(Utf8Encode, LengthsMarksAndRoomForTerminator) {
    struct Case {
        uint32_t code;
        std::string bytes;
    } cases[] = {{0x7FF, "\xDF\xBF"},
                 {0x20AC, "\xE2\x82\xAC"},
                 {0x1F600, "\xF0\x9F\x98\x80"},
                 {0x3FFFFFF, "\xFB\xBF\xBF\xBF\xBF"},
                 {0x7FFFFFFF, "\xFD\xBF\xBF\xBF\xBF\xBF"}};
    for (const Case &c : cases) {
        char buf[8] = {};
        uint32_t len = 99;
        /* Exactly the encoding's length is one byte short: the terminator's byte stays free. */
        EXPECT_EQ(buf, plx_string_setchar(buf, static_cast<uint32_t>(c.bytes.size()), c.code, &len));
        EXPECT_EQ(0u, len);
        EXPECT_EQ(0, buf[0]);
        EXPECT_EQ(buf, plx_string_setchar(buf, static_cast<uint32_t>(c.bytes.size()) + 1, c.code, &len));
        EXPECT_EQ(c.bytes.size(), len);
        EXPECT_EQ(c.bytes, std::string(buf, len));
    }
    EXPECT_EQ(nullptr, plx_string_setchar(nullptr, 8, 'a', nullptr));
}

TEST(Ucs2, BufferConversions) {
    const uint16_t units[] = {'h', 0xE9, 0x20AC, 0xD83D, 0};
    char out[32];
    uint32_t size = 3;
    EXPECT_EQ(0x900503A1u, plx_string_ucs2_to_utf8_buf(units, 3, out, &size, 0));
    EXPECT_EQ(0u, size);
    size = sizeof out;
    ASSERT_EQ(0u, plx_string_ucs2_to_utf8_buf(units, sizeof units, out, &size, 0));
    /* A lone surrogate is encoded as it stands; the terminator unit becomes a 0 byte. */
    EXPECT_EQ(std::string("h\xC3\xA9\xE2\x82\xAC\xED\xA0\xBD", 10), std::string(out, size));
    size = 4; /* 'h' and 0xE9 fit with a byte to spare, 0x20AC does not */
    EXPECT_EQ(0x90050008u, plx_string_ucs2_to_utf8_buf(units, sizeof units, out, &size, 0));
    EXPECT_EQ(3u, size);

    uint16_t back[8];
    uint32_t written = 99;
    ASSERT_EQ(0u, plx_string_utf8_to_ucs2_buf("A\xE2\x82\xAC", 4, back, &written, 1));
    EXPECT_EQ(4u, written);
    EXPECT_EQ(0xAC20, back[1]) << "swapped";
    /* A sequence running past the count is invalid even when the bytes behind it are fine. */
    EXPECT_EQ(kInvalid, plx_string_utf8_to_ucs2_buf("A\xE2\x82\xAC", 3, back, &written, 0));
    EXPECT_EQ(2u, written);
}

class Ucs2Alloc : public vt::ManagerTest {};

TEST_F(Ucs2Alloc, RoundTripNullSourceAndOutOfMemory) {
    uint16_t *units = nullptr;
    char *text = nullptr;
    ASSERT_EQ(0u, plx_string_utf8_to_ucs2("z\xC3\xA9\xE2\x82\xAC", &units, 1));
    EXPECT_EQ(8u, plx_string_bytelen_uni(units));
    ASSERT_EQ(0u, plx_string_ucs2_to_utf8(units, &text, 1));
    EXPECT_STREQ("z\xC3\xA9\xE2\x82\xAC", text);
    plx_string_free(units);
    plx_string_free(text);

    /* A null source converts to an empty string. */
    ASSERT_EQ(0u, plx_string_ucs2_to_utf8(nullptr, &text, 0));
    EXPECT_STREQ("", text);
    plx_string_free(text);

    EXPECT_EQ(kInvalid, plx_string_utf8_to_ucs2("a\xFF", &units, 0));
    EXPECT_EQ(nullptr, units);
    veltra_manager_memory_fail_after(0, 0);
    EXPECT_EQ(0x90030002u, plx_string_utf8_to_ucs2("abc", &units, 0));
    veltra_manager_memory_fail_after(0, 0);
    EXPECT_EQ(0x90030002u, plx_string_ucs2_to_utf8(units, &text, 0));
}

}  // namespace
