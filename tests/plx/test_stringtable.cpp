/* plx_stringtable: interning, ids across removals, the serialized buffer and its round trip
 * through attach, attach's validation, hash collisions, bad input and out of memory. */
#include <algorithm>
#include <string>
#include <vector>

#include "test_support.h"

namespace {

constexpr uint32_t kInvalid = 0x900D0001, kNoMemory = 0x900D0002, kNotInitialized = 0x900D0007;
constexpr uint32_t kWrongMagic = 0x900D0321, kNotFound = 0x100D0003, kOutOfRange = 0x100D0361;

class StringTable : public vt::DatatypesTest {
protected:
    void SetUp() override {
        vt::DatatypesTest::SetUp();
        ASSERT_EQ(0u, plx_stringtable_create(&t_, 0));
    }
    void TearDown() override {
        EXPECT_EQ(0u, plx_stringtable_delete(t_));
        vt::DatatypesTest::TearDown();
    }
    uint32_t add(const char *s) {
        uint32_t id = 0;
        EXPECT_EQ(0u, plx_stringtable_add_value(t_, s, &id)) << s;
        return id;
    }
    std::string bytes(plx_stringtable_t *t) {
        const void *buffer;
        uint32_t size;
        EXPECT_EQ(0u, plx_stringtable_get_buffer(t, &buffer, &size, nullptr));
        return std::string(static_cast<const char *>(buffer), size);
    }
    std::string value(uint32_t id) {
        const char *s = nullptr;
        uint32_t code = plx_stringtable_get_value(t_, id, &s);
        return code ? "#" + std::to_string(code) : std::string(s);
    }
    plx_stringtable_t *t_ = nullptr;
};

TEST(StringTableModule, CreateNeedsDatatypes) {
    plx_stringtable_t *t = nullptr;
    EXPECT_EQ(kNotInitialized, plx_stringtable_create(&t, 0));
    EXPECT_EQ(nullptr, t);
}

/* Ids, counts, the buffer and equal-hash runs are pinned by the model of the fuzz target, which
 * the corpus replay runs; this covers reads of removed or never-given ids and emptying by
 * removal. */
TEST_F(StringTable, RemovalKeepsIdsAndEnumerationSkipsTheGap) {
    add("abc");
    add("de");
    add("fgh");
    ASSERT_EQ(0u, plx_stringtable_remove_value(t_, 2));
    EXPECT_EQ("#" + std::to_string(kNotFound), value(2));
    EXPECT_EQ("#" + std::to_string(kOutOfRange), value(4));
    uint32_t id = 0;
    const char *s = nullptr;
    ASSERT_EQ(0u, plx_stringtable_enum(t_, 0, &id, &s));
    EXPECT_EQ(1u, id);
    ASSERT_EQ(0u, plx_stringtable_enum(t_, 1, &id, &s));
    EXPECT_EQ(3u, id);
    EXPECT_STREQ("fgh", s);
    EXPECT_EQ(kOutOfRange, plx_stringtable_enum(t_, 2, &id, &s));

    /* removing the rest empties the buffer; ids still move on */
    ASSERT_EQ(0u, plx_stringtable_remove_value(t_, 3));
    ASSERT_EQ(0u, plx_stringtable_remove_value(t_, 1));
    EXPECT_EQ("", bytes(t_));
    EXPECT_EQ(4u, add("x"));
}

TEST_F(StringTable, AttachValidatesAndFailsWithoutHarm) {
    ASSERT_EQ(0u, plx_stringtable_attach_buffer(t_, "\0a\0b\0\0\0\0", 9));
    EXPECT_EQ("a", value(1));
    EXPECT_EQ("b", value(2));
    EXPECT_EQ(std::string("\0a\0b\0", 5), bytes(t_));
    const std::string bad[] = {std::string("\0a\0\0b\0", 6), std::string("ab\0", 3),
                               std::string("\0\0\0", 3), std::string("\0a", 2),
                               std::string("\0ab", 3), std::string("\0\0a\0", 4)};
    for (const std::string &b : bad)
        EXPECT_EQ(kInvalid, plx_stringtable_attach_buffer(t_, b.data(), b.size())) << b.size();
    EXPECT_EQ(kInvalid, plx_stringtable_attach_buffer(t_, nullptr, 9));
    EXPECT_EQ(std::string("\0a\0b\0", 5), bytes(t_));
    /* equal strings in a buffer are not merged */
    ASSERT_EQ(0u, plx_stringtable_attach_buffer(t_, "\0a\0a\0", 5));
    EXPECT_EQ("a", value(2));
}

/* Regression: attach sorted its hash index in one go, which ordered equal strings of a buffer
 * by id; storing them one by one, as adds do, puts each before the equal one the search meets,
 * and that order decides which id a lookup by string (or a repeated add) names. */
TEST_F(StringTable, AttachedDuplicatesAreFoundInTheOrderOfSortedStores) {
    struct Case {
        std::string buffer;
        uint32_t id_of_a;
    } cases[] = {{std::string("\0a\0a\0", 5), 2},
                 {std::string("\0a\0a\0a\0", 7), 3},
                 {std::string("\0a\0b\0a\0", 7), 3},
                 {std::string("\0a\0b\0c\0", 7), 1}};
    for (const Case &c : cases) {
        ASSERT_EQ(0u, plx_stringtable_attach_buffer(t_, c.buffer.data(), c.buffer.size()));
        uint32_t id = 0;
        ASSERT_EQ(0u, plx_stringtable_get_value_ref(t_, "a", &id));
        EXPECT_EQ(c.id_of_a, id) << c.buffer.size();
        EXPECT_EQ(c.id_of_a, add("a"));
    }
    /* removals walk down that order, passing over equal strings removed earlier */
    ASSERT_EQ(0u, plx_stringtable_attach_buffer(t_, "\0a\0a\0a\0", 7));
    uint32_t id = 0;
    ASSERT_EQ(0u, plx_stringtable_remove_value(t_, 2));
    ASSERT_EQ(0u, plx_stringtable_remove_value(t_, 3));
    ASSERT_EQ(0u, plx_stringtable_get_value_ref(t_, "a", &id));
    EXPECT_EQ(1u, id);
    ASSERT_EQ(0u, plx_stringtable_remove_value(t_, 1));
    EXPECT_EQ(kNotFound, plx_stringtable_get_value_ref(t_, "a", &id));
    EXPECT_EQ(4u, add("a"));
}

TEST_F(StringTable, AddingAStringThatLivesInTheTablesOwnBuffer) {
    add("abcdefghijklmnop");
    const char *s = nullptr;
    ASSERT_EQ(0u, plx_stringtable_get_value(t_, 1, &s));
    for (int i = 1; i < 16; ++i) {  /* each suffix forces growth while pointing into the buffer */
        ASSERT_EQ(0u, plx_stringtable_get_value(t_, 1, &s));
        EXPECT_EQ(static_cast<uint32_t>(i + 1), add(s + i));
    }
    EXPECT_EQ("p", value(16));
}

TEST_F(StringTable, BadHandlesAndArguments) {
    uint32_t fake[8] = {0x12345678};
    auto *other = reinterpret_cast<plx_stringtable_t *>(fake);
    uint32_t id, count;
    const char *s;
    const void *buffer = nullptr;
    uint32_t size = 5;
    for (uint32_t code : {plx_stringtable_add_value(other, "a", &id),
                          plx_stringtable_count(other, &count), plx_stringtable_clear(other),
                          plx_stringtable_get_value(other, 1, &s),
                          plx_stringtable_get_value_ref(other, "a", &id),
                          plx_stringtable_remove_value(other, 1),
                          plx_stringtable_enum(other, 0, &id, &s),
                          plx_stringtable_get_buffer(other, &buffer, &size, nullptr),
                          plx_stringtable_get_buffer_sync_ref(other, 1, &id),
                          plx_stringtable_attach_buffer(other, "\0a\0", 3),
                          plx_stringtable_delete(other)})
        EXPECT_EQ(kWrongMagic, code);
    EXPECT_EQ(0x12345678u, fake[0]);
    EXPECT_EQ(kInvalid, plx_stringtable_count(t_, nullptr));
    EXPECT_EQ(kInvalid, plx_stringtable_create(nullptr, 0));
    EXPECT_EQ(0u, plx_stringtable_delete(nullptr));
    for (const char *bad : {"", "\xC0\x80"}) /* empty, and empty once decoded */
        EXPECT_EQ(kInvalid, plx_stringtable_add_value(t_, bad, &id));
    EXPECT_EQ(kInvalid, plx_stringtable_add_value(t_, nullptr, &id));
    EXPECT_EQ(kInvalid, plx_stringtable_get_value(t_, 0, &s));
    EXPECT_EQ(kInvalid, plx_stringtable_get_value(t_, 1, nullptr));
    EXPECT_EQ(kInvalid, plx_stringtable_remove_value(t_, 0));
    EXPECT_EQ(kInvalid, plx_stringtable_get_buffer_sync_ref(t_, 0, &id));
    buffer = &id;
    size = 5;
    ASSERT_EQ(0u, plx_stringtable_get_buffer(t_, &buffer, &size, nullptr));
    EXPECT_EQ(nullptr, buffer);
    EXPECT_EQ(0u, size);
}

TEST_F(StringTable, OutOfMemoryLeavesTheTableAsItWas) {
    plx_stringtable_t *t = nullptr;
    vt::OomCase create{[&] { return plx_stringtable_create(&t, 0); },
                       [&] {
                           plx_stringtable_delete(t);
                           t = nullptr;
                       },
                       {kNoMemory, 0x90050002u}};
    EXPECT_GE(vt::oom_sweep(create), 4u);

    for (int i = 0; i < 7; ++i) add(("seed" + std::to_string(i)).c_str());
    std::string before = bytes(t_);
    vt::OomCase grow{[&] {
                         uint32_t code = 0;
                         for (int i = 0; i < 3 && code == 0; ++i)
                             code = plx_stringtable_add_value(
                                 t_, ("new" + std::to_string(i)).c_str(), nullptr);
                         /* whatever failed, every string in the buffer is counted */
                         uint32_t count = 0;
                         plx_stringtable_count(t_, &count);
                         std::string now = bytes(t_);
                         auto zeros = std::count(now.begin(), now.end(), '\0');
                         bool intact = now.compare(0, before.size(), before) == 0 &&
                                       count + 1 == static_cast<uint32_t>(zeros);
                         return intact ? code : 1u;
                     },
                     [&] { plx_stringtable_attach_buffer(t_, before.data(), before.size()); },
                     {kNoMemory, 0x90050002u}};
    EXPECT_GE(vt::oom_sweep(grow), 3u);

    /* the second buffer repeats a string, which takes the path that orders equal strings */
    for (std::string next : {before + std::string("tail\0", 5),
                             before + std::string("seed3\0", 6)}) {
        vt::OomCase attach{[&] {
                               uint32_t code = plx_stringtable_attach_buffer(t_, next.data(),
                                                                             next.size());
                               if (code && bytes(t_) != before) return 1u;
                               return code;
                           },
                           [&] {
                               plx_stringtable_attach_buffer(t_, before.data(), before.size());
                           },
                           {kNoMemory, 0x90050002u}};
        EXPECT_GE(vt::oom_sweep(attach), 4u);
    }
}

}  // namespace
