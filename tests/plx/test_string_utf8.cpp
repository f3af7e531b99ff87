/* UTF-8 characters: cases of the decoding rule, encoding, validity and the UCS-2 conversions.
 * The rule over random bytes is checked against the fuzz target's reference decoder in the
 * corpus replay. */
#include <stdint.h>
#include <string.h>

#include <random>
#include <string>
#include <vector>

#include "plx/plx_string_utf8.h"
#include "test_support.h"

namespace {

constexpr uint32_t kInvalid = 0x900503A0u;

/* Independent reading of the rule: a table of lead-byte classes, then follow bytes. */
struct RefChar {
    uint32_t code;
    uint32_t bytes;
};
struct RefDecode {
    std::vector<RefChar> chars; /* characters before the terminator or the first bad one */
    bool valid;                 /* no bad sequence before the terminator */
};

RefDecode ref_decode(const std::string &s) {
    RefDecode r{{}, true};
    for (size_t i = 0; i < s.size();) {
        unsigned b = static_cast<unsigned char>(s[i]);
        uint32_t n = b <= 0x7F ? 1 : (b >= 0xC0 && b <= 0xDF) ? 2 : (b >= 0xE0 && b <= 0xEF) ? 3 : 0;
        uint32_t code = n == 1 ? b : n == 2 ? (b & 0x1F) : (b & 0x0F);
        for (uint32_t k = 1; n != 0 && k < n; ++k) {
            if (i + k >= s.size() || (static_cast<unsigned char>(s[i + k]) >> 6) != 2) n = 0;
            else code = code << 6 | (s[i + k] & 0x3F);
        }
        if (n == 0) {
            r.valid = false;
            break;
        }
        r.chars.push_back({code, n});
        i += n;
    }
    return r;
}

/* Long text, so that the block scan runs many blocks and carries characters across their
 * edges: valid mixed text, then one fault (stray follow byte, cut sequence, byte that leads
 * nothing, early terminator) at every position of a window, at every alignment. */
TEST(Utf8Differential, LongTextWithOneFaultAnywhere) {
    std::mt19937 rng(7);
    std::string base;
    while (base.size() < 300) {
        uint32_t kind = rng() % 4;
        if (kind == 0) base += static_cast<char>('a' + rng() % 26);
        if (kind == 1) base += "\xC3\xA9";
        if (kind == 2) base += "\xE4\xB8\xAD";
        if (kind == 3) base += "\xC0\x80 ";
    }
    static const char *const kFaults[] = {"\x80", "\xC3", "\xE4\xB8", "\xF4", "\xFF", ""};
    std::vector<char> storage(base.size() + 64);
    for (size_t align = 0; align < 16; ++align) {
        char *s = storage.data() + (16 - reinterpret_cast<uintptr_t>(storage.data()) % 16) + align;
        for (size_t at = 0; at < 70; ++at) {
            for (const char *fault : kFaults) {
                std::string text = base;
                text.insert(at, fault, strlen(fault) + (*fault ? 0 : 1));
                text.resize(strlen(text.c_str()));
                memcpy(s, text.c_str(), text.size() + 1);
                RefDecode ref = ref_decode(text);
                ASSERT_EQ(ref.valid, plx_string_isvalid(s) == 1) << "align " << align << " at " << at;
                ASSERT_EQ(ref.chars.size() + (ref.valid ? 0 : 1), plx_string_charlen(s))
                    << "align " << align << " at " << at << " fault " << fault;
            }
        }
    }
}

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
