/* The printf engine and its front ends: our own conversions and float digits checked by hand,
 * and the return-value, truncation and out-of-memory rules of the front ends. Random formats
 * against the engine's model and the C library run in the corpus replay of the fuzz target. */
#include <cmath>
#include <cstdarg>
#include <string>

#include "test_support.h"

namespace {

using Printf = vt::StringTest;

/* The text of a format through the bounded front end, with its return value checked. */
std::string F(const char *format, ...) {
    char buffer[2048];
    va_list args;
    va_start(args, format);
    uint32_t n = plx_string_vsnprintf(buffer, sizeof buffer, format, args);
    va_end(args);
    std::string text(buffer);
    EXPECT_EQ(text.empty() ? 0u : text.size() + 1, n) << format;
    return text;
}

TEST_F(Printf, IntegerFlagsLengthsAndOurOwnConversions) {
    EXPECT_EQ("0 101", F("%#x %b", 0, 5));
    EXPECT_EQ("1A2B 0x1A2B 0", F("%p %#p %p", (void *)0x1A2B, (void *)0x1A2B, (void *)0));
    /* the sign is taken before the cut to 16 bits, so this is not the C library's -1 */
    EXPECT_EQ("65535 -1", F("%hd %hd", 0xFFFF, -1));
    /* zero padding survives '-', fills the width before the prefix and overrides a precision */
    EXPECT_EQ("00042|0x0000ff|-0042", F("%-05d|%#06x|%05.2d", 42, 255, -42));
    /* widths of numbers stop at 340, precisions at 310 */
    EXPECT_EQ(340u, F("%999d", 1).size());
    EXPECT_EQ(310u, F("%.999d", 1).size());
    EXPECT_EQ(340u, F("%*d", -999, 1).size());
}

TEST_F(Printf, FloatsUseOurDigitGenerator) {
    EXPECT_EQ("1.500000 0.00 1.234568e+04", F("%f %.2f %e", 1.5, 0.0001, 12345.678));
    EXPECT_EQ("0.0001 1e-05 1e+06", F("%g %g %g", 0.0001, 1e-5, 1e6));
    EXPECT_EQ("1.50000 3 3.0 3.", F("%#g %g %!g %!.0f", 1.5, 3.0, 3.0, 3.0));
    EXPECT_EQ("Inf +Inf -Inf NaN", F("%f %+f %f %f", INFINITY, INFINITY, -INFINITY, NAN));
    EXPECT_EQ("  Inf|-NaN", F("%05f|-%-3e", INFINITY, -NAN));
    EXPECT_EQ("0.000000 0.000000e+00 0 1", F("%f %e %g %.0f", -0.0, 0.0, 0.0, 0.5));
    EXPECT_EQ("-00001.500|+1.5E+00|0.000123", F("%010.3f|%+.1E|%.3g", -1.5, 1.5, 0.0001234));
    EXPECT_EQ("1e-300 2.225074e-308 1E+100", F("%g %e %G", 1e-300, 2.2250738585072014e-308, 1e100));
    /* only 16 significant digits come from the value; the rest are zeros */
    EXPECT_EQ("0.1000000000000000000000", F("%.22f", 0.1));
    std::string wide = F("%.2f", 123456789012345678901.0);
    EXPECT_EQ(24u, wide.size());
    EXPECT_EQ("12345678901234", wide.substr(0, 14));
    EXPECT_EQ("00000.00", wide.substr(16));
    /* a fixed form longer than the work buffer: 309 integer digits and 165 decimals */
    std::string big = F("%.200f", 1e308);
    EXPECT_EQ(309u + 1 + 165, big.size());
    EXPECT_EQ("1000000000000000", big.substr(0, 16));
}

TEST_F(Printf, StringsWordsAndCharacters) {
    EXPECT_EQ("(null)|ab|abc  |", F("%s|%*s|%-*s|", (char *)nullptr, 2, "abc", -5, "abc"));
    EXPECT_EQ("hello|hel|he|(null)|x y z", F("%w|%.3w|%*w|%w|%*w", "  hello world",
                                               "\thello", 2, " hello", (char *)nullptr, 5,
                                               " x y z"));
    EXPECT_EQ("\xE2\x82\xAC|aaa||  b", F("%c|%.3c|%.0c|%3c", 0x20AC, 'a', 'a', 'b'));
    /* a multi-byte character under a precision is repeated whole: the text stays valid UTF-8 */
    EXPECT_EQ("\xC3\xA9\xC3\xA9", F("%.2c", 0xE9));
    char raw[8];
    EXPECT_EQ(4u, plx_string_snprintf(raw, sizeof raw, "a%cb", 0));
    EXPECT_EQ(0, memcmp(raw, "a\0b", 4));
}

TEST_F(Printf, FormatWalking) {
    EXPECT_EQ("100%|%y|  %y|%|%", F("100%%|%%y|%4y|%%|%"));
    EXPECT_EQ("%", F("%-5"));
    EXPECT_EQ("%\xC3\xA9", F("%\xC3\xA9"));
    /* an invalid sequence ends the text after the literal bytes before it */
    EXPECT_EQ("ab1c", F("ab%dc\xFF%d", 1, 2));
    EXPECT_EQ("x", F("x%\x80"));
    EXPECT_EQ("a", F("a\xE2\x82"));
}

TEST_F(Printf, FrontEndsReturnLengthPlusOneAndTruncateAtAByte) {
    char buf[8] = "zzzzzzz";
    EXPECT_EQ(7u, plx_string_snprintf(buf, 4, "%s", "abcdef"));
    EXPECT_STREQ("abc", buf);
    EXPECT_EQ(0u, plx_string_snprintf(nullptr, 4, "x"));
    EXPECT_EQ(0u, plx_string_snprintf(buf, 0, "x"));
    EXPECT_EQ(0u, plx_string_snprintf(buf, sizeof buf, nullptr));
    EXPECT_STREQ("", buf);
    EXPECT_EQ(5u, plx_string_snprintf(buf, 3, "\xE2\x82\xAC%c", 'x'));
    EXPECT_EQ(0, memcmp(buf, "\xE2\x82\0", 3));
    EXPECT_EQ(1000001u, plx_string_snprintf(buf, sizeof buf, "%1000000s", "x"));

    EXPECT_EQ(nullptr, plx_string_mprintf(nullptr));
    char *s = plx_string_mprintf("%0500d|%s", 7, "tail");
    ASSERT_NE(nullptr, s);
    EXPECT_EQ(345u, strlen(s));
    plx_string_free(s);
}

TEST_F(Printf, OutOfMemoryGivesNullOrZeroAndNoLeak) {
    char *s = nullptr;
    vt::OomCase heap{[&] {
                         s = plx_string_mprintf("%s-%600s-%d", "head", "x", 42);
                         return s && strlen(s) == 608 ? 0u : 0x90050002u;
                     },
                     [&] {
                         plx_string_free(s);
                         s = nullptr;
                     },
                     {0x90050002u}};
    EXPECT_GE(vt::oom_sweep(heap), 3u);
    char buf[16];
    vt::OomCase big_float{[&] {
                              uint32_t n = plx_string_snprintf(buf, sizeof buf, "%.100f", 1e300);
                              return n == 302u + 101u ? 0u : 0x90050002u;
                          },
                          [] {},
                          {0x90050002u}};
    EXPECT_EQ(2u, vt::oom_sweep(big_float));
}

}  // namespace
