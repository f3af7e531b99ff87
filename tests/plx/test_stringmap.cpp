/* String map: values as strings (copied or referenced), the string check on reads, the table
 * flags passing through, bad input and out of memory. */
#include <string>

#include "test_support.h"

namespace {

constexpr uint32_t kInvalid = 0x900D0001, kNotFound = 0x100D0003;

using StringMap = vt::DatatypesTest;

TEST_F(StringMap, StoresReplacesAndEnumeratesStrings) {
    plx_stringmap_t *m;
    ASSERT_EQ(0u, plx_stringmap_create(&m, 0));
    const char *v = nullptr, *k = nullptr;
    uint32_t n = 5;
    ASSERT_EQ(0u, plx_stringmap_value_add(m, "k", "abc"));
    ASSERT_EQ(0u, plx_stringmap_value_add(m, "K", "de"));  // one key without 0x10: replaced
    ASSERT_EQ(0u, plx_stringmap_value_add(m, "nil", nullptr));
    ASSERT_EQ(0u, plx_stringmap_value_find_ex(m, "k", 0, &v));
    EXPECT_STREQ("de", v);
    ASSERT_EQ(0u, plx_stringmap_value_find_ex(m, "NIL", 0, &v));
    EXPECT_EQ(nullptr, v);
    ASSERT_EQ(0u, plx_stringmap_value_get(m, 1, &k, &v));
    EXPECT_STREQ("nil", k);
    EXPECT_EQ(0x100D0361u, plx_stringmap_value_get(m, 2, &k, &v));
    EXPECT_EQ(kNotFound, plx_stringmap_value_find_ex(m, "k", 1, &v));
    EXPECT_EQ(0u, plx_stringmap_value_count(m, "absent", &n));
    EXPECT_EQ(0u, n);
    EXPECT_EQ(0u, plx_stringmap_value_delete(m, "k"));
    EXPECT_EQ(kNotFound, plx_stringmap_value_delete(m, "k"));
    EXPECT_EQ(0u, plx_stringmap_count(m, &n));
    EXPECT_EQ(1u, n);
    EXPECT_EQ(0u, plx_stringmap_delete(m));
}

TEST_F(StringMap, ReferencedValuesAreTheCallersAndAreCheckedOnRead) {
    plx_stringmap_t *byref, *bycopy, *copy;
    ASSERT_EQ(0u, plx_stringmap_create(&byref, PLX_STRINGMAP_FLAG_VALUE_BY_REFERENCE | PLX_HASHTABLE_FLAG_MULTI_VALUE));
    ASSERT_EQ(0u, plx_stringmap_create(&bycopy, PLX_HASHTABLE_FLAG_UNIQUE_KEYS));
    char text[] = "ab";
    const char *v = nullptr, *k = "untouched";
    for (auto *m : {byref, bycopy}) ASSERT_EQ(0u, plx_stringmap_value_add(m, "k", text));
    EXPECT_EQ(0x900D0368u, plx_stringmap_value_add(bycopy, "k", "x"));
    ASSERT_EQ(0u, plx_stringmap_value_find_ex(bycopy, "k", 0, &v));
    EXPECT_NE(text, v);
    ASSERT_EQ(0u, plx_stringmap_copy(byref, &copy));  // same flags, same referenced strings
    ASSERT_EQ(0u, plx_stringmap_value_add(copy, "k", "second"));
    ASSERT_EQ(0u, plx_stringmap_value_find_ex(copy, "k", 0, &v));
    EXPECT_EQ(text, v);
    text[2] = '!';  // the stored length now ends on a non-zero byte
    v = "untouched";
    EXPECT_EQ(0x900D0360u, plx_stringmap_value_find_ex(byref, "k", 0, &v));
    EXPECT_EQ(0x900D0360u, plx_stringmap_value_get(copy, 0, &k, &v));
    EXPECT_STREQ("untouched", v);
    EXPECT_STREQ("untouched", k);
    for (auto *m : {byref, bycopy, copy}) EXPECT_EQ(0u, plx_stringmap_delete(m));
}

TEST_F(StringMap, BadInputAndOutOfMemory) {
    plx_stringmap_t *m;
    ASSERT_EQ(0u, plx_datatypes_shutdown());
    EXPECT_EQ(0x900D0007u, plx_stringmap_create(&m, 0));
    ASSERT_EQ(0u, plx_datatypes_initialize());
    EXPECT_EQ(kInvalid, plx_stringmap_create(nullptr, 0));
    EXPECT_EQ(0u, plx_stringmap_delete(nullptr));
    EXPECT_EQ(kInvalid, plx_stringmap_value_find_ex(nullptr, "k", 0, nullptr));
    plx_hashtable_t *t;
    ASSERT_EQ(0u, plx_hashtable_create(&t, 0, nullptr));
    auto *foreign = reinterpret_cast<plx_stringmap_t *>(t);
    EXPECT_EQ(0x900D0321u, plx_stringmap_value_add(foreign, "k", "v"));
    EXPECT_EQ(0x900D0321u, plx_stringmap_copy(foreign, &m));
    EXPECT_EQ(0x900D0321u, plx_stringmap_delete(foreign));
    EXPECT_EQ(kInvalid, plx_stringmap_value_count(foreign, "k", nullptr));
    EXPECT_EQ(kInvalid, plx_stringmap_copy(foreign, nullptr));
    EXPECT_EQ(0u, plx_hashtable_delete(t));

    vt::OomCase c;
    c.oom_codes = {0x900D0002, 0x90020002};
    c.scenario = []() -> uint32_t {
        plx_stringmap_t *shared, *copy;
        uint32_t code = plx_stringmap_create(&shared, PLX_HASHTABLE_FLAG_THREADSAFE), n = 0;
        if (code) return code;
        for (int i = 0; i < 20 && code == 0; ++i)
            code = plx_stringmap_value_add(shared, ("key" + std::to_string(i)).c_str(), "value");
        if (code == 0 && (code = plx_stringmap_copy(shared, &copy)) == 0) plx_stringmap_delete(copy);
        plx_stringmap_count(shared, &n);
        EXPECT_TRUE(code != 0 || n == 20);
        plx_stringmap_delete(shared);
        return code;
    };
    EXPECT_GT(vt::oom_sweep(c), 12u);  // map, table, lock, buckets and item chunks, twice
}

}  // namespace
