/* The string accumulator: placement over a caller's block or the heap, growth, short appends
 * against a model, ranges, detach, and failed growth that leaves the text as it was. */
#include <memory>
#include <random>
#include <string>

#include "fake_manager.h"
#include "plx/plx_string_printf.h"
#include "test_support.h"

namespace {

constexpr uint32_t kInvalid = 0x90050001, kNoMemory = 0x90050002;

class Accum : public vt::StringTest {
protected:
    void TearDown() override {
        EXPECT_EQ(0u, plx_string_accum_delete(a_));
        vt::StringTest::TearDown();
    }
    std::string text() {
        const char *s = nullptr;
        uint32_t size = 0;
        plx_string_accum_get_string(a_, &s, &size);
        return size ? std::string(s, size - 1) : std::string();
    }
    plx_string_accum_t *a_ = nullptr;
    alignas(8) char block_[300];  /* outlives a_, which TearDown deletes */
};

TEST_F(Accum, HeapPlacementAndEmptyAccumulators) {
    char tiny[sizeof(plx_string_accum_s)];
    ASSERT_EQ(0u, plx_string_accum_create(&a_, tiny, sizeof tiny));
    EXPECT_NE(reinterpret_cast<void *>(tiny), reinterpret_cast<void *>(a_));
    EXPECT_EQ(0u, plx_string_accum_delete(a_));

    ASSERT_EQ(0u, plx_string_accum_create(&a_, nullptr, 0));
    const char *s = "x";
    uint32_t size = 9;
    EXPECT_EQ(0u, plx_string_accum_get_string(a_, &s, &size));
    EXPECT_EQ(nullptr, s);
    EXPECT_EQ(0u, size);
    char *out = nullptr;
    ASSERT_EQ(0u, plx_string_accum_detach(a_, &out, &size));
    EXPECT_STREQ("", out);
    EXPECT_EQ(0u, size);
    plx_string_free(out);
}

TEST_F(Accum, AppendFormsClearAndRemoveRange) {
    ASSERT_EQ(0u, plx_string_accum_create(&a_, nullptr, 0));
    ASSERT_EQ(0u, plx_string_accum_append_chars(a_, "a\xE2\x82\xAC" "b", 2, nullptr));
    ASSERT_EQ(0u, plx_string_accum_append_format(a_, "[%d|%s]", 7, "z"));
    EXPECT_EQ(0u, plx_string_accum_append_format(a_, nullptr));
    EXPECT_EQ("a\xE2\x82\xAC[7|z]", text());

    struct Cut {
        uint32_t start, count, code, removed;
        const char *left;
    } cuts[] = {{1, 2, 0, 2, "adef"}, {4, 3, 0, 2, "abcd"}, {6, 1, 0, 0, "abcdef"},
                {4, 4, kInvalid, 0, "abcdef"}, {1, 0, kInvalid, 0, "abcdef"},
                {0xFFFFFFFF, 2, kInvalid, 0, "abcdef"}};
    for (const Cut &c : cuts) {
        plx_string_accum_clear(a_);
        plx_string_accum_append(a_, "abcdef", nullptr);
        uint32_t removed = 99;
        EXPECT_EQ(c.code, plx_string_accum_remove_range(a_, c.start, c.count, &removed));
        EXPECT_EQ(c.left, text()) << c.start << "+" << c.count;
        if (c.code == 0) {
            EXPECT_EQ(c.removed, removed);
        }
    }
}

TEST_F(Accum, DetachHandsOverACopyAndLeavesItReusable) {
    for (void *where : {static_cast<void *>(block_), static_cast<void *>(nullptr)}) {
        ASSERT_EQ(0u, plx_string_accum_create(&a_, where, 64));
        plx_string_accum_append(a_, "abc", nullptr);
        char *out = nullptr;
        uint32_t size = 0;
        ASSERT_EQ(0u, plx_string_accum_detach(a_, &out, &size));
        EXPECT_STREQ("abc", out);
        EXPECT_EQ(4u, size);
        EXPECT_EQ("", text());
        ASSERT_EQ(0u, plx_string_accum_append(a_, "de", nullptr));
        EXPECT_EQ("de", text());
        EXPECT_STREQ("abc", out);
        plx_string_free(out);
        plx_string_accum_delete(a_);
        a_ = nullptr;
    }
}

TEST_F(Accum, NullArgumentsAreInvalid) {
    char *out;
    uint32_t size;
    ASSERT_EQ(0u, plx_string_accum_create(&a_, nullptr, 0));
    const uint32_t codes[] = {
        plx_string_accum_create(nullptr, nullptr, 0),
        plx_string_accum_append(nullptr, "x", nullptr),
        plx_string_accum_append_bytes(nullptr, "x", 1, nullptr),
        plx_string_accum_append_chars(nullptr, "x", 1, nullptr),
        plx_string_accum_append_format(nullptr, "x"),
        plx_string_accum_remove_range(nullptr, 0, 1, nullptr),
        plx_string_accum_clear(nullptr),
        plx_string_accum_bytelen(a_, nullptr),
        plx_string_accum_get_string(nullptr, nullptr, &size),
        plx_string_accum_detach(nullptr, &out, nullptr),
        plx_string_accum_detach(a_, nullptr, nullptr)};
    for (uint32_t code : codes) EXPECT_EQ(kInvalid, code);
}

/* Regression: the header had grown by three private fields, so a caller's block held fewer
 * bytes of text before the first heap allocation than its size less the five-field header. */
TEST_F(Accum, HeaderTakesOnlyItsFiveFieldsOfACallersBlock) {
    constexpr uint32_t kHeader = sizeof(void *) == 8 ? 24 : 16;
    uint64_t before = vt::live_blocks();
    ASSERT_EQ(0u, plx_string_accum_create(&a_, block_, 300));
    EXPECT_EQ(reinterpret_cast<void *>(block_), reinterpret_cast<void *>(a_));
    std::string fits(300 - kHeader - 1, 'f');
    ASSERT_EQ(0u, plx_string_accum_append(a_, fits.c_str(), nullptr));
    EXPECT_EQ(before, vt::live_blocks());
    ASSERT_EQ(0u, plx_string_accum_append(a_, "+", nullptr));
    EXPECT_EQ(before + 1, vt::live_blocks());
    const char *buffer = nullptr;
    ASSERT_EQ(0u, plx_string_accum_append_bytes(a_, "x\0y", 3, &buffer));
    EXPECT_EQ(buffer, a_->buffer);
    EXPECT_EQ(fits + "+" + std::string("x\0y", 3), text());
}

/* Regression: appending nothing to an accumulator without a buffer left it without one, so a
 * caller reading the text after empty pieces got a null pointer instead of "". */
TEST_F(Accum, AppendingNothingStillGivesATerminatedText) {
    using Append = uint32_t (*)(plx_string_accum_t *, const char **);
    const Append appends[] = {
        [](plx_string_accum_t *a, const char **p) { return plx_string_accum_append(a, "", p); },
        [](plx_string_accum_t *a, const char **p) { return plx_string_accum_append(a, nullptr, p); },
        [](plx_string_accum_t *a, const char **p) { return plx_string_accum_append_bytes(a, nullptr, 3, p); },
        [](plx_string_accum_t *a, const char **p) { return plx_string_accum_append_chars(a, "\xFF", 1, p); },
        [](plx_string_accum_t *a, const char **p) {
            uint32_t code = plx_string_accum_append_format(a, "%s", "");
            plx_string_accum_get_string(a, p, nullptr);
            return code;
        }};
    for (auto append : appends) {
        ASSERT_EQ(0u, plx_string_accum_create(&a_, nullptr, 0));
        const char *buffer = nullptr;
        ASSERT_EQ(0u, append(a_, &buffer));
        ASSERT_NE(nullptr, buffer);
        EXPECT_STREQ("", buffer);
        uint32_t size = 9;
        ASSERT_EQ(0u, plx_string_accum_bytelen(a_, &size));
        EXPECT_EQ(0u, size);
        plx_string_accum_delete(a_);
        a_ = nullptr;
    }
    /* an empty format appends nothing at all */
    ASSERT_EQ(0u, plx_string_accum_create(&a_, nullptr, 0));
    ASSERT_EQ(0u, plx_string_accum_append_format(a_, ""));
    const char *buffer = "x";
    plx_string_accum_get_string(a_, &buffer, nullptr);
    EXPECT_EQ(nullptr, buffer);
}

TEST_F(Accum, AppendingItsOwnTextSurvivesGrowth) {
    ASSERT_EQ(0u, plx_string_accum_create(&a_, nullptr, 0));
    const char *buffer = nullptr;
    ASSERT_EQ(0u, plx_string_accum_append(a_, "aaaaaaaa", nullptr));  /* capacity 18 */
    ASSERT_EQ(0u, plx_string_accum_append(a_, "b", &buffer));
    ASSERT_EQ(0u, plx_string_accum_append(a_, buffer, &buffer));  /* needs 19: reallocates */
    ASSERT_EQ(0u, plx_string_accum_append_bytes(a_, buffer + 8, 2, nullptr));
    EXPECT_EQ("aaaaaaaabaaaaaaaabba", text());
}

/* Appends of 0 to 20 bytes, from outside and from the text itself, against a std::string: over
 * a caller's heap block the text must fill it to the last byte before the first allocation
 * and not write one byte past it. */
TEST_F(Accum, ShortAppendsFillACallersBlockToItsLastByte) {
    std::mt19937 rng(5);
    const std::string source = "0123456789abcdefghijklmnopqrstuvwxyz";
    for (uint32_t size : {40u, 47u, 64u, 100u}) {
        std::unique_ptr<char[]> block(new char[size]);  // exact size: ASan sees an overrun
        ASSERT_EQ(0u, plx_string_accum_create(&a_, block.get(), size));
        const uint32_t room = a_->capacity;  // text bytes plus terminator before growing
        const uint64_t before = vt::live_blocks();
        std::string model;
        while (model.size() < 3 * room) {
            uint32_t n = rng() % 21;
            const char *from = source.data() + rng() % (source.size() - 20);
            if (rng() % 3 == 0 && !model.empty()) {  // a piece of the text itself
                n = std::min<uint32_t>(n, uint32_t(model.size()));
                from = a_->buffer + rng() % (model.size() - n + 1);
            }
            const bool fits = model.size() + n + 1 <= room;
            const bool grown = vt::live_blocks() != before;
            model.append(from, n);
            const char *buffer = nullptr;
            ASSERT_EQ(0u, plx_string_accum_append_bytes(a_, from, n, &buffer));
            ASSERT_EQ(model, text()) << size;
            ASSERT_EQ(n ? a_->buffer : nullptr, buffer);
            if (!grown) {
                ASSERT_EQ(fits, vt::live_blocks() == before) << size << " " << model.size();
            }
        }
        plx_string_accum_delete(a_);
        a_ = nullptr;
    }
}

/* A plain append that cannot grow fails for itself only; a formatting append returns 0 and
 * keeps the text whole, and the failure shows in the log. */
TEST_F(Accum, FailedGrowthLeavesTheTextAndTheNextAppendGoesOn) {
    ASSERT_EQ(0u, plx_string_accum_create(&a_, block_, 64));
    ASSERT_EQ(0u, plx_string_accum_append(a_, "head ", nullptr));
    veltra_manager_memory_fail_after(0, 1);
    EXPECT_EQ(kNoMemory, plx_string_accum_append(a_, std::string(100, 'x').c_str(), nullptr));
    EXPECT_EQ("head ", text());
    {
        vt::LogCapture log(1);
        EXPECT_EQ(0u, plx_string_accum_append_format(a_, "%s|%200d", "part", 7));
        EXPECT_EQ("head ", text());
        auto lines = log.lines();
        ASSERT_EQ(1u, lines.size());
        EXPECT_EQ(kNoMemory, lines[0].code);
    }
    /* a piece that still fits goes in */
    EXPECT_EQ(0u, plx_string_accum_append(a_, "tail", nullptr));
    EXPECT_EQ("head tail", text());
    veltra_manager_memory_fail_after(VELTRA_MANAGER_FAIL_NEVER, 0);
    ASSERT_EQ(0u, plx_string_accum_append_format(a_, "%s-%150d", "again", 1));
    EXPECT_EQ(9u + 156u, text().size());
}

/* Padding goes in as pieces of at most 29 spaces, whole pieces first, so the text grows as
 * those appends would: over a 300-byte block, "%400s" leaves capacity 582, not 800. */
TEST_F(Accum, PaddingOfOnePieceGrewTheTextTooFar) {
    ASSERT_EQ(0u, plx_string_accum_create(&a_, block_, sizeof block_));
    ASSERT_EQ(0u, plx_string_accum_append_format(a_, "%400s", "x"));
    EXPECT_EQ(std::string(399, ' ') + "x", text());
    EXPECT_EQ(582u, a_->capacity);
    plx_string_accum_delete(a_);
    ASSERT_EQ(0u, plx_string_accum_create(&a_, block_, sizeof block_));
    ASSERT_EQ(0u, plx_string_accum_append_format(a_, "%340d", 7));  /* widths stop at 340 */
    EXPECT_EQ(582u, a_->capacity);
}

TEST_F(Accum, OutOfMemoryAtEveryStep) {
    char *out = nullptr;
    vt::OomCase c{[&] {
                      plx_string_accum_t *a = nullptr;
                      uint32_t code = plx_string_accum_create(&a, nullptr, 4);
                      if (code) return code;
                      plx::ScopeExit gone([&] { plx_string_accum_delete(a); });
                      for (int i = 0; i < 20 && code == 0; ++i) {
                          uint32_t before = 0, after = 0;
                          plx_string_accum_bytelen(a, &before);
                          code = plx_string_accum_append_format(a, "%08d;", i);
                          plx_string_accum_bytelen(a, &after);
                          /* the formatted piece is all there, or the text is as it was */
                          if (code == 0 && after != (before ? before : 1) + 9)
                              code = after == before ? kNoMemory : 1u;
                      }
                      if (code == 0) code = plx_string_accum_detach(a, &out, nullptr);
                      if (code == 0 && strlen(out) != 180) code = 1;
                      return code;
                  },
                  [&] {
                      plx_string_free(out);
                      out = nullptr;
                  },
                  {kNoMemory}};
    EXPECT_GT(vt::oom_sweep(c), 4u);
}

}  // namespace
