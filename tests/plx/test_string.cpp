/* General string operations: lengths, comparison, search, bounded copies, duplication,
 * editing in place and numbers. */
#include <ctype.h>

#include <cmath>
#include <string>

#include "test_support.h"

namespace {

TEST(StringLength, BytesAndBounds) {
    EXPECT_EQ(1u, plx_string_bytelen(""));
    EXPECT_EQ(0u, plx_string_bytelen(nullptr));
    EXPECT_EQ(4u, plx_string_bytenlen("abc", 9));
    /* The bounded forms never read past max: this buffer has no terminator. */
    const char unterminated[3] = {'x', 'y', 'z'};
    EXPECT_EQ(3u, plx_string_bytenlen(unterminated, 3));
    EXPECT_EQ(2u, plx_string_bytenlen_nonull(unterminated, 2));
}

TEST(StringCompare, OrderNullsAndCase) {
    EXPECT_EQ(-1, plx_string_strcmp(nullptr, ""));
    EXPECT_EQ(1, plx_string_strcmp("\xC3\xA9", "z")) << "bytes compare unsigned";
    EXPECT_EQ(1, plx_string_stricmp("abcd", "ABC"));
    EXPECT_EQ(0, plx_string_strnicmp("abcX", "ABCy", 3));
    EXPECT_EQ(-1, plx_string_strncmp("ab", "abc", 5));
    EXPECT_EQ(0, plx_string_strncmp("x", "", 0));
    EXPECT_EQ(1, plx_string_strncmp("Ab", "AB", 2));
    EXPECT_EQ(1, plx_string_equal("Hello", "hELLO", 1));
    EXPECT_EQ(0, plx_string_equal("ab", "abc", 1));
    EXPECT_EQ(1, plx_string_equal("ab", "ab", 0));
    EXPECT_EQ(0, plx_string_equal("ab", "aB", 0));
}

TEST(StringCompare, MatchingPrefixLengthsUseReversedCaseRule) {
    const char *a = "Caf\xC3\xA9s";
    const char *b = "cAF\xC3\xA9X";
    const char *pa = nullptr;
    const char *pb = nullptr;
    EXPECT_EQ(4u, plx_string_strcmp_len(a, b, &pa, &pb)) << "strcmp_len ignores case";
    EXPECT_EQ(a + 6, pa) << "positions follow the last characters compared";
    EXPECT_EQ(b + 6, pb);
    EXPECT_EQ(0u, plx_string_stricmp_len(a, b, &pa, &pb)) << "stricmp_len respects case";
}

TEST(StringSearch, CharactersSubstringsAndTokens) {
    const char *s = "a\xE2\x82\xAC" "b\xE2\x82\xAC";
    EXPECT_EQ(s + 1, plx_string_strchr(s, 0x20AC));
    EXPECT_EQ(s + 5, plx_string_strrchr(s, 0x20AC));
    EXPECT_EQ(nullptr, plx_string_strchr(s, 0)) << "the terminator is never found";
    EXPECT_EQ(nullptr, plx_string_strchr("a\xFFz", 'z')) << "search stops at a bad sequence";

    const char *hay = "xxabab";
    EXPECT_EQ(hay + 2, plx_string_strstr(hay, "ab"));
    EXPECT_EQ(hay + 4, plx_string_strrstr(hay, "ab"));
    EXPECT_EQ(nullptr, plx_string_strstr("x\xFF" "ab", "ab"));
    const char *end = hay;
    uint32_t count = 9;
    EXPECT_EQ(s + 1, plx_string_substring(s, "\xE2\x82\xAC" "b", &end, &count));
    EXPECT_EQ(s + 5, end);
    EXPECT_EQ(2u, count);
    EXPECT_EQ(nullptr, plx_string_substring(nullptr, "a", &end, &count));
    EXPECT_EQ(nullptr, end) << "outs are cleared first";

    char text[] = "  a,b";
    char *save = nullptr;
    char delim = 'x';
    EXPECT_STREQ("a", plx_string_strtok(text, " ,", &save, &delim));
    EXPECT_EQ(',', delim);
    EXPECT_STREQ("b", plx_string_strtok(nullptr, " ,", &save, &delim));
    EXPECT_EQ(0, delim);
    EXPECT_EQ(nullptr, plx_string_strtok(nullptr, " ,", &save, &delim));
    EXPECT_EQ(nullptr, save);
}

std::string copy_into(uint32_t size, const char *src, uint32_t limit = 0xFFFFFFFFu) {
    char buf[16];
    memset(buf, '#', sizeof buf);
    plx_string_strncpy(buf, size, src, limit);
    return std::string(buf, strnlen(buf, sizeof buf));
}

TEST(StringCopy, BoundsNeverSplitACharacter) {
    EXPECT_EQ("\xE2\x82\xAC", copy_into(4, "\xE2\x82\xAC" "x"));
    EXPECT_EQ("", copy_into(3, "\xE2\x82\xAC" "x"));
    EXPECT_EQ("a\xC3\xA9", copy_into(16, "a\xC3\xA9" "bc", 2));
    EXPECT_EQ("ab", copy_into(16, "ab\xFF" "cd")) << "a bad lead byte ends the copy";
    EXPECT_EQ("ab", copy_into(16, "ab\xE2\x82")) << "so does a sequence cut by the terminator";

    char buf[4] = {'#', '#', '#', '#'};
    EXPECT_EQ(buf, plx_string_strcpy(buf, 0, "abc"));
    EXPECT_EQ('#', buf[0]) << "size 0 leaves the destination untouched";

    char cat[8] = "ab";
    plx_string_strcat(cat, sizeof cat, "cdefghij");
    EXPECT_STREQ("abcdefg", cat);
    plx_string_strcat(cat, sizeof cat, "z");
    EXPECT_STREQ("abcdefg", cat) << "a full destination takes nothing";
    char ncat[8] = "ab";
    plx_string_strncat(ncat, sizeof ncat, "\xC3\xA9\xC3\xA9\xC3\xA9", 2);
    EXPECT_STREQ("ab\xC3\xA9\xC3\xA9", ncat);
}

class StringAlloc : public vt::ManagerTest {};

TEST_F(StringAlloc, DuplicatesAndTheirFailures) {
    char *d = plx_string_strndup("\xE2\x82\xAC\xE2\x82\xAC" "abc", 2);
    EXPECT_STREQ("\xE2\x82\xAC\xE2\x82\xAC", d);
    plx_string_free(d);

    d = plx_string_strdupn("abc", 6, '*');
    EXPECT_EQ(0, memcmp(d, "abc**\0", 6)) << "fill stays between the text and the last byte";
    plx_string_free(d);
    EXPECT_EQ(nullptr, plx_string_strdupn(nullptr, 6, '*'));

    d = plx_string_worddup("\t\xC3\xA9t\xC3\xA9\n");
    EXPECT_STREQ("\xC3\xA9t\xC3\xA9", d);
    plx_string_free(d);
    EXPECT_EQ(nullptr, plx_string_worddup("   "));
    EXPECT_EQ(nullptr, plx_string_worddup(" \xFF" "abc"));

    veltra_manager_memory_fail_after(0, 1);
    EXPECT_EQ(nullptr, plx_string_strdup("x"));
    EXPECT_EQ(nullptr, plx_string_strndup("x", 1));
    EXPECT_EQ(nullptr, plx_string_strdupn("x", 4, 0));
    EXPECT_EQ(nullptr, plx_string_worddup("x"));
}

TEST(StringEdit, CaseTrimAndReverse) {
    char mixed[] = "Mix\xC3\x89" "d 9";
    plx_string_toupper(mixed);
    EXPECT_STREQ("MIX\xC3\x89" "D 9", mixed);
    plx_string_tolower(mixed);
    EXPECT_STREQ("mix\xC3\x89" "d 9", mixed) << "only ASCII letters change";

    char padded[] = " \t ab c \r\n";
    plx_string_trim(padded);
    EXPECT_STREQ("ab c", padded);

    char rev[] = "a\xC3\xA9\xE2\x82\xAC" "b";
    EXPECT_EQ(rev, plx_string_reverse(rev));
    EXPECT_STREQ("b\xE2\x82\xAC\xC3\xA9" "a", rev);
    char bad[] = "ab\xF0\x9F\x98\x80";
    plx_string_reverse(bad);
    EXPECT_STREQ("ab\xF0\x9F\x98\x80", bad) << "an invalid lead byte leaves the string alone";

    std::string longer, expected; /* longer than any stack buffer would be */
    for (int i = 0; i < 150; ++i) longer += "x\xC3\xA9", expected += "\xC3\xA9x";
    EXPECT_EQ(expected, plx_string_reverse(longer.data()));
}

/* The C locale's classes, whatever locale the host has set. */
TEST(StringClasses, MatchTheCLocale) {
    for (uint32_t c = 0; c < 0x100; ++c) {
        EXPECT_EQ(isspace(int(c)) != 0, plx_string_isspace(c) != 0) << c;
        EXPECT_EQ(isprint(int(c)) != 0, plx_string_isprint(c) != 0) << c;
        EXPECT_EQ(isxdigit(int(c)) != 0, plx_string_isxdigit(c) != 0) << c;
        EXPECT_EQ(isalnum(int(c)) != 0, plx_string_isalnum(c) != 0) << c;
        EXPECT_EQ(tolower(int(c)), plx_string_char_tolower(c)) << c;
    }
}

TEST(StringNumbers, DecimalFormatting) {
    char buf[16];
    EXPECT_STREQ("-42", plx_string_i32toa(-42, buf, 4));
    EXPECT_STREQ("42", plx_string_i32toa(-42, buf, 3)) << "no room for the sign";
    EXPECT_STREQ("45", plx_string_i32toa(12345, buf, 3)) << "lowest-order digits survive";
    EXPECT_STREQ("-2147483648", plx_string_i32toa(INT32_MIN, buf, 12));
    EXPECT_STREQ("", plx_string_u32toa(7, buf, 1));
    buf[0] = '#';
    EXPECT_EQ(buf, plx_string_u32toa(7, buf, 0));
    EXPECT_EQ('#', buf[0]);
}

TEST(StringNumbers, Parsing) {
    EXPECT_DOUBLE_EQ(150.0, plx_string_atof64("1.5e2"));
    EXPECT_DOUBLE_EQ(0.0, plx_string_atof64("-1"));
    EXPECT_EQ(HUGE_VAL, plx_string_atof64("1e999999999999999999"));
    EXPECT_EQ(0.0, plx_string_atof64("1e-999999999999999999"));

    struct {
        const char *text;
        uint8_t value;
    } bools[] = {{"YES", 1}, {"y", 1}, {"yeah", 0}, {"True", 1}, {"t", 0}, {"oN", 1},
                 {"off", 0}, {"7x", 1}, {"0", 0},   {"00", 0},   {"01", 1}, {"", 0}};
    for (const auto &b : bools) EXPECT_EQ(b.value, plx_string_atobool(b.text)) << b.text;

    /* 32-bit results whatever the width of the host's long. */
    EXPECT_EQ(4294967295u, plx_string_atou32("4294967296"));
    EXPECT_EQ(4294967291u, plx_string_atou32("-5"));
    EXPECT_EQ(4294967291u, plx_string_atou32("\r-5")) << "leading blanks include CR";
    EXPECT_EQ(INT32_MAX, plx_string_atoi32("99999999999"));
    EXPECT_EQ(INT32_MIN, plx_string_atoi32("-99999999999"));
    EXPECT_EQ(0ul, plx_string_strtoul(nullptr, nullptr, 10));
}

}  // namespace
