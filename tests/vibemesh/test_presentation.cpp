/* Presentations, mood layouts, mood names and filters, through the exported API. */
#include <stdlib.h>
#include <string.h>

#include <set>

#include "grid_test.h"

namespace vt {
namespace {

class Presentation : public GridTest {
protected:
    veltra_vibemesh_presentation_handle_t create(uint32_t type) {
        veltra_vibemesh_presentation_handle_t p = nullptr;
        EXPECT_CODE(0u, veltra_vibemesh_presentation_create(user_, type, nullptr, nullptr, &p));
        return p;
    }
    /* The conditions a find on cell (1, 1) hands to the datasource. */
    std::vector<std::string> find_conditions() {
        ds_.clear_calls();
        veltra_vibemesh_result_handle_t r = nullptr;
        EXPECT_CODE(0u, find(1, 1, &r));
        veltra_vibemesh_results_release(r);
        return conditions();
    }
};

TEST_F(Presentation, CreateTypeAndRelease) {
    uint32_t x = 0, y = 0, seq = 0, refs = veltra_manager_user_refcount(user_);
    EXPECT_CODE(0u, veltra_vibemesh_presentation_type_dimension(0x12345u, &x, &y));
    EXPECT_EQ(0x123u, x); /* every bit above bit 7 is width */
    EXPECT_EQ(0x45u, y);
    expect_invalid(veltra_vibemesh_presentation_type_dimension(0xA0A, &x, nullptr),
                   "veltra_vibemesh_presentation_type_dimension",
                   "'p_x_size' and 'p_y_size'  cannot be null");
    seq = last_error().sequence;
    veltra_vibemesh_presentation_handle_t p = nullptr;
    EXPECT_CODE(0x90A80001u,
                veltra_vibemesh_presentation_create(nullptr, 0x505, nullptr, nullptr, &p));
    EXPECT_EQ(seq, last_error().sequence); /* a null handle records nothing */
    uint32_t handles = veltra_manager_handle_count();
    expect_invalid(veltra_vibemesh_presentation_create(user_, 0x505, nullptr, nullptr, nullptr),
                   "veltra_vibemesh_presentation_create", "'ph_presentation' cannot be null");
    EXPECT_EQ(handles, veltra_manager_handle_count());

    p = create(0x1234);
    EXPECT_EQ(refs + 1, veltra_manager_user_refcount(user_));
    EXPECT_CODE(0u, veltra_vibemesh_presentation_get_type(p, &x));
    EXPECT_EQ(0x1234u, x);
    EXPECT_CODE(0u, veltra_vibemesh_presentation_release(p));
    EXPECT_EQ(refs, veltra_manager_user_refcount(user_));
}

/* The stand-in list manager's entry for a mood id at a level, or null. */
const veltra_manager_list_entry_t *mood_entry(const std::string &id, uint32_t level) {
    const veltra_manager_list_entry_t *entries = nullptr;
    uint32_t count = 0;
    veltra_manager_list_entries(kMoods, &entries, &count);
    for (uint32_t i = 0; i < count; ++i)
        if (entries[i].id == strtoul(id.c_str(), nullptr, 10) && entries[i].level == level)
            return &entries[i];
    return nullptr;
}

std::string list_name(const char *id, uint32_t level, bool german) {
    const veltra_manager_list_entry_t *e = mood_entry(id, level);
    return e ? (german ? e->name_de : e->name_en) : "?";
}

/* Cell (x, y) -> mood id, or "-" for a refused cell. */
std::string mood_id(veltra_vibemesh_presentation_handle_t p, uint32_t x, uint32_t y) {
    const char *id = nullptr;
    uint32_t code = veltra_vibemesh_presentation_get_mood_id(p, x, y, &id);
    return code == 0 ? id : code == 0x90A80001u ? "-" : "?";
}

TEST_F(Presentation, MoodIdsOfBothLayoutsAndOtherTypes) {
    auto five = presentation_, ten = create(0xA0A), small = create(0x303), wide = create(0xFF40),
         empty = create(0);
    struct Case {
        veltra_vibemesh_presentation_handle_t p;
        uint32_t x, y;
        const char *id;
    } cases[] = {
        {five, 1, 1, "65322"},
        {five, 5, 1, "42960"},
        {five, 6, 1, "-"},
        {five, 1, 6, "-"},
        {five, 0, 1, "-"},
        {five, 1, 0, "-"},
        {ten, 1, 10, "42994"},
        {ten, 11, 1, "-"},
        /* Other types read the 10 x 10 layout and never past it. */
        {small, 3, 3, "42982"},
        {small, 4, 1, "-"},
        {wide, 10, 10, "43034"},
        {wide, 11, 1, "-"},
        {empty, 1, 1, "-"},
    };
    for (const Case &c : cases) EXPECT_EQ(c.id, mood_id(c.p, c.x, c.y)) << c.x << "," << c.y;
    /* The cell is checked before the out pointer. */
    expect_invalid(veltra_vibemesh_presentation_get_mood_name(five, 0, 1, nullptr),
                   "veltra_vibemesh_presentation_get_mood_name",
                   "Invalid Ordinals as either x or y are out of range");
    expect_invalid(veltra_vibemesh_presentation_get_mood_id(five, 1, 1, nullptr),
                   "veltra_vibemesh_presentation_get_mood_id",
                   "'p_mood_id' parameter cannot be null");

    /* No identifier repeats within or across the layouts, each is a mood of the level its
     * layout asks, and a fine cell's parent is the coarse cell over it. */
    std::set<std::string> ids;
    for (uint32_t y = 1; y <= 10; ++y) {
        for (uint32_t x = 1; x <= 10; ++x) {
            if (x <= 5 && y <= 5) {
                ids.insert(mood_id(five, x, y));
                EXPECT_NE(nullptr, mood_entry(mood_id(five, x, y), 1)) << x << "," << y;
            }
            ids.insert(mood_id(ten, x, y));
            const veltra_manager_list_entry_t *fine = mood_entry(mood_id(ten, x, y), 2);
            ASSERT_NE(nullptr, fine) << x << "," << y;
            EXPECT_EQ(mood_id(five, (x + 1) / 2, (y + 1) / 2), std::to_string(fine->parent_id));
        }
    }
    EXPECT_EQ(125u, ids.size());
    for (auto p : {ten, small, wide, empty})
        EXPECT_CODE(0u, veltra_vibemesh_presentation_release(p));
}

TEST_F(Presentation, MoodNamesNeedALocaleAndAreInterned) {
    const char *name = nullptr, *again = nullptr;
    expect_invalid(veltra_vibemesh_presentation_get_mood_name(presentation_, 1, 1, &name),
                   "veltra_vibemesh_presentation_get_mood_name",
                   "'locale' is not set for 'VELTRA_LOCALE_GROUP_MUSIC' or "
                   "'VELTRA_LOCALE_GROUP_MUSIC' ");
    EXPECT_CODE(0x90A802D3u, last_error().source_code);

    ASSERT_CODE(0u, veltra_manager_locale_set_default("veltra_locale_music", "en", "us", "x"));
    ASSERT_CODE(0u, veltra_vibemesh_presentation_get_mood_name(presentation_, 2, 3, &name));
    EXPECT_EQ(list_name("42954", 1, false), name);
    ASSERT_CODE(0u, veltra_vibemesh_presentation_get_mood_name(presentation_, 2, 3, &again));
    EXPECT_EQ(name, again); /* the same interned copy */

    /* The playlist group wins over music; a 10 x 10 grid asks level 2. */
    ASSERT_CODE(0u, veltra_manager_locale_set_default("veltra_locale_playlist", "de", "de", "x"));
    veltra_vibemesh_presentation_handle_t ten = create(0xA0A);
    ASSERT_CODE(0u, veltra_vibemesh_presentation_get_mood_name(ten, 10, 10, &name));
    EXPECT_EQ(list_name("43034", 2, true), name);
    EXPECT_CODE(0u, veltra_vibemesh_presentation_release(ten));
    veltra_manager_locale_set_default("veltra_locale_playlist", nullptr, nullptr, nullptr);
    veltra_manager_locale_set_default("veltra_locale_music", nullptr, nullptr, nullptr);
}

TEST_F(Presentation, FilterArgumentsAreCheckedInOrder) {
    const char *fn = "veltra_vibemesh_presentation_filter_set";
    expect_invalid(set("a\xC3", "", nullptr, ""), fn, "'ident' parameter is not a valid string");
    expect_invalid(set("f", "", nullptr, ""), fn, "'list_type' parameter is not a valid string");
    expect_invalid(set("f", kMoods, nullptr, ""), fn,
                   "'list_type' parameter is not a valid or supported list_type");
    expect_invalid(set("f", kGenres, "rock", ""), fn, "'item_value_id' parameter is not valid id");
    expect_invalid(set("f", kGenres, "1", ""), fn, "'condition_type' parameter is null or empty");
    expect_invalid(set("f", kGenres, "1", "include"), fn, "'condition_type' parameter is invalid");
    fn = "veltra_vibemesh_presentation_filter_remove";
    expect_invalid(remove("other"), fn, "'ident' doesnt exist");
    expect_invalid(remove("M\xE2\x82"), fn, "'ident' parameter is invalid UTF8");
    EXPECT_EQ(1u, find_conditions().size()); /* nothing was set */
}

TEST_F(Presentation, FiltersKeepOneConditionTypePerListAndSetOrder) {
    char id[] = "123", list[64];
    strcpy(list, kGenres);
    EXPECT_CODE(0u, set("g1", list, id, kInclude));
    strcpy(id, "999"); /* the caller's strings are copied */
    memset(list, 'x', sizeof list - 1);
    EXPECT_CODE(0u, set("g2", kGenres, "456", kInclude));
    uint32_t seq = last_error().sequence;
    EXPECT_CODE(0x90A80001u, set("g3", kGenres, "789", kExclude));
    EXPECT_EQ(seq, last_error().sequence); /* no error information for this one */
    EXPECT_CODE(0u, set("e1", kEras, "7", kExclude));
    EXPECT_CODE(0u, set("o1", kOrigins, "0042", kInclude));
    EXPECT_EQ(
        (std::vector<std::string>{cond(kMoods, "65322", kInclude), cond(kGenres, "123", kInclude),
                                  cond(kGenres, "456", kInclude), cond(kEras, "7", kExclude),
                                  cond(kOrigins, "0042", kInclude)}),
        find_conditions());

    /* Identifiers ignore ASCII case; once every genre filter is gone, genres may be excluded. */
    EXPECT_CODE(0x90A8000Cu, set("G1", kGenres, "5", kInclude));
    EXPECT_STREQ("'ident' parameter already exists", last_error().message);
    EXPECT_CODE(0u, remove("g1"));
    EXPECT_CODE(0x90A80001u, set("g3", kGenres, "789", kExclude));
    EXPECT_CODE(0u, remove("G2"));
    EXPECT_CODE(0u, set("g3", kGenres, "789", kExclude));
    EXPECT_CODE(0u, veltra_vibemesh_presentation_filter_remove_all(presentation_));
    EXPECT_EQ(1u, find_conditions().size());
}

TEST_F(Presentation, OutOfMemoryLeavesNothingBehind) {
    veltra_vibemesh_presentation_handle_t p = nullptr;
    auto create_p = [&] {
        return veltra_vibemesh_presentation_create(user_, 0xA0A, nullptr, nullptr, &p);
    };
    auto release_p = [&] {
        if (p) veltra_vibemesh_presentation_release(p);
        p = nullptr;
    };
    EXPECT_GT(oom_sweep({with_text(create_p, "cannot allocate memory for presentation"),
                         release_p,
                         {0x90A80002u}}),
              3u);

    ASSERT_CODE(0u, set("first", kGenres, "5", kInclude));
    auto set_second = [&] { return set("second", kOrigins, "77", kExclude); };
    EXPECT_GT(oom_sweep({with_text(set_second, "cannot allocate a filter"),
                         [&] { remove("second"); },
                         {0x90A80002u}}),
              1u);
    EXPECT_EQ(2u, find_conditions().size()); /* "first" survived every failed run */
}

}  // namespace
}  // namespace vt
