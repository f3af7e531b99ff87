/* Default locales and the built-in lists, through the list manager interface. */
#include <string>

#include "test_support.h"

namespace {

constexpr const char kMoods[] = "veltra_list_type_moods";
constexpr const char kMusic[] = "veltra_locale_music";
constexpr const char kPlaylist[] = "veltra_locale_playlist";

class Lists : public vt::ManagerTest {
protected:
    void SetUp() override {
        vt::ManagerTest::SetUp();
        const void *t = nullptr;
        ASSERT_EQ(0u, manager_->interface_get("_veltra_listmanager_interface", 0, 0, &t));
        lm_ = static_cast<const veltra_listmanager_interface_t *>(t);
    }
    void TearDown() override {
        veltra_manager_object_counts_t c{};
        veltra_manager_object_counts(&c);
        EXPECT_EQ(0u, c.lists + c.elements + c.locales) << "list objects left";
        EXPECT_EQ(0u, lm_->interface_release(lm_));
        vt::ManagerTest::TearDown();
    }
    /* The display string of one id, or the failing code as text. */
    std::string name(const char *type, const char *language, uint32_t id, uint32_t level) {
        void *list = nullptr, *element = nullptr;
        uint32_t code = lm_->list_retrieve(type, language, "", "", nullptr, nullptr, nullptr, &list);
        if (code != 0) return "list " + std::to_string(code);
        code = lm_->list_get_element_by_id(list, id, level, &element);
        EXPECT_EQ(0u, lm_->list_release(list));
        if (code != 0) return "element " + std::to_string(code);
        const char *display = nullptr;
        code = lm_->list_element_get_display_string(element, &display);
        EXPECT_EQ(0u, lm_->list_element_release(element));
        return code ? "display " + std::to_string(code) : std::string(display);
    }
    const veltra_listmanager_interface_t *lm_ = nullptr;
};

const std::string kNotFound = "element " + std::to_string(VELTRA_MANAGER_ERR_NOT_FOUND);

TEST_F(Lists, DefaultLocalesPerGroup) {
    void *locale = nullptr;
    EXPECT_EQ(VELTRA_MANAGER_ERR_NOT_FOUND, lm_->locale_default_get(kPlaylist, &locale));
    EXPECT_EQ(VELTRA_MANAGER_ERR_INVALID_ARG,
              veltra_manager_locale_set_default("veltra_locale_video", "eng", nullptr, nullptr));

    ASSERT_EQ(0u, veltra_manager_locale_set_default(kMusic, "ger", "DE", "default"));
    EXPECT_EQ(VELTRA_MANAGER_ERR_NOT_FOUND, lm_->locale_default_get(kPlaylist, &locale));
    ASSERT_EQ(0u, lm_->locale_default_get(kMusic, &locale));
    /* A locale is a snapshot: changing or removing the default leaves it intact. */
    ASSERT_EQ(0u, veltra_manager_locale_set_default(kMusic, "eng", nullptr, nullptr));
    const char *group = nullptr, *language = nullptr, *region = nullptr, *descriptor = nullptr;
    ASSERT_EQ(0u, lm_->locale_info_get(locale, &group, &language, &region, &descriptor, nullptr));
    EXPECT_EQ(std::string(kMusic) + "/ger/DE/default",
              std::string(group) + "/" + language + "/" + region + "/" + descriptor);
    EXPECT_EQ(0u, lm_->locale_release(locale));
    EXPECT_EQ(VELTRA_MANAGER_ERR_BAD_HANDLE, lm_->locale_release(locale));

    ASSERT_EQ(0u, lm_->locale_default_get(kMusic, &locale));
    ASSERT_EQ(0u, lm_->locale_info_get(locale, nullptr, &language, &region, nullptr, nullptr));
    EXPECT_STREQ("eng", language);
    EXPECT_STREQ("", region);
    EXPECT_EQ(0u, lm_->locale_release(locale));

    ASSERT_EQ(0u, veltra_manager_locale_set_default(kMusic, nullptr, nullptr, nullptr));
    EXPECT_EQ(VELTRA_MANAGER_ERR_NOT_FOUND, lm_->locale_default_get(kMusic, &locale));
}

TEST_F(Lists, DisplayStringsFollowTheListLanguage) {
    EXPECT_EQ("Tender Warmth", name(kMoods, "eng", 65322, 1));
    EXPECT_EQ("Zarte Wärme", name(kMoods, "ger", 65322, 1));
    EXPECT_EQ("Zarte Wärme", name(kMoods, "de-AT", 65322, 1));
    /* Unknown or missing languages read English. */
    EXPECT_EQ("Tender Warmth", name(kMoods, "fra", 65322, 1));
    EXPECT_EQ("Tender Warmth", name(kMoods, nullptr, 65322, 1));
}

TEST_F(Lists, LookupFailures) {
    EXPECT_EQ(kNotFound, name(kMoods, "eng", 65322, 2)) << "wrong level";
    EXPECT_EQ(kNotFound, name(kMoods, "eng", 12345, 1)) << "unknown id";
    EXPECT_EQ("list " + std::to_string(VELTRA_MANAGER_ERR_NOT_FOUND),
              name("veltra_list_type_tempos", "eng", 1, 1));

    void *list = nullptr, *element = nullptr;
    int stranger = 0;
    auto *not_a_user = reinterpret_cast<veltra_user_handle_t>(&stranger);
    EXPECT_EQ(VELTRA_MANAGER_ERR_BAD_HANDLE,
              lm_->list_retrieve(kMoods, "eng", "", "", not_a_user, nullptr, nullptr, &list));
    ASSERT_EQ(0u, lm_->list_retrieve(kMoods, "ger", "", "", nullptr, nullptr, nullptr, &list));
    ASSERT_EQ(0u, lm_->list_get_element_by_id(list, 43034, 2, &element));
    EXPECT_EQ(VELTRA_MANAGER_ERR_WRONG_MAGIC, lm_->list_release(element));
    EXPECT_EQ(0u, lm_->list_release(list));
    EXPECT_EQ(VELTRA_MANAGER_ERR_BAD_HANDLE, lm_->list_get_element_by_id(list, 43034, 2, &element));
    /* The element keeps its language and text after its list is gone. */
    const char *display = nullptr;
    ASSERT_EQ(0u, lm_->list_element_get_display_string(element, &display));
    EXPECT_STREQ("Totale Zerstörung", display);
    EXPECT_EQ(0u, lm_->list_element_release(element));
    EXPECT_EQ(VELTRA_MANAGER_ERR_BAD_HANDLE, lm_->list_element_get_display_string(element, &display));
}

/* Which cell holds which mood, and that a fine cell's parent is the coarse cell over it, is
 * checked against the grid module's layouts in the presentation suite. */
TEST_F(Lists, MoodListHasTwoLevelsServedInBothLanguages) {
    const veltra_manager_list_entry_t *entries = nullptr;
    uint32_t count = 0, coarse = 0;
    ASSERT_EQ(0u, veltra_manager_list_entries(kMoods, &entries, &count));
    ASSERT_EQ(125u, count);
    for (uint32_t i = 0; i < count; ++i) {
        const veltra_manager_list_entry_t &e = entries[i];
        coarse += e.level == 1;
        EXPECT_EQ(e.level == 1, e.parent_id == 0) << e.id;
        EXPECT_EQ(std::to_string(e.id), e.key);
        EXPECT_TRUE(plx_string_isvalid(e.name_de)) << e.name_de;
        EXPECT_EQ(e.name_en, name(kMoods, "eng", e.id, e.level));
        EXPECT_EQ(e.name_de, name(kMoods, "ger", e.id, e.level));
    }
    EXPECT_EQ(25u, coarse);
}

}  // namespace
