/* Shared fixture of the mood-grid suites: the stand-in manager, the module started, one user,
 * one scripted datasource opened as a provider, and one 5 x 5 presentation. */
#ifndef VELTRA_GRID_TEST_H
#define VELTRA_GRID_TEST_H

#include <stdio.h>

#include <functional>
#include <string>
#include <vector>

#include "fake_manager.h"
#include "scripted_datasource.h"
#include "test_support.h"
#include "veltra_vibemesh.h"

namespace vt {

/* Error codes compare and print in hex. */
struct Hex {
    uint32_t v;
    bool operator==(const Hex &o) const { return v == o.v; }
};
inline void PrintTo(const Hex &h, std::ostream *os) {
    char buf[16];
    snprintf(buf, sizeof buf, "0x%08X", h.v);
    *os << buf;
}
#define EXPECT_CODE(expected, actual) EXPECT_EQ(vt::Hex{(expected)}, vt::Hex{(actual)})
#define ASSERT_CODE(expected, actual) ASSERT_EQ(vt::Hex{(expected)}, vt::Hex{(actual)})

inline constexpr const char kGenres[] = VELTRA_LIST_TYPE_GENRES;
inline constexpr const char kOrigins[] = VELTRA_LIST_TYPE_ORIGINS;
inline constexpr const char kEras[] = VELTRA_LIST_TYPE_ERAS;
inline constexpr const char kMoods[] = VELTRA_LIST_TYPE_MOODS;
inline constexpr const char kInclude[] = VELTRA_VIBEMESH_FILTER_CONDITION_INCLUDE;
inline constexpr const char kExclude[] = VELTRA_VIBEMESH_FILTER_CONDITION_EXCLUDE;

inline veltra_manager_errorinfo_t last_error() {
    veltra_manager_errorinfo_t e{};
    veltra_manager_errorinfo_get(&e);
    return e;
}

/* Runs an argument check that must fail with 0x90A80001 and record (function, message). */
inline void expect_invalid(uint32_t code, const char *function, const char *message) {
    veltra_manager_errorinfo_t e = last_error();
    EXPECT_CODE(0x90A80001u, code) << message;
    EXPECT_CODE(0x90A80001u, e.error_code);
    EXPECT_STREQ(function, e.function_name);
    EXPECT_STREQ(message, e.message);
}

/* Wraps an out-of-memory scenario: a failure that records error information records `text`. */
inline std::function<uint32_t()> with_text(std::function<uint32_t()> scenario, const char *text) {
    return [scenario, text] {
        uint32_t seq = last_error().sequence;
        uint32_t code = scenario();
        if (code != 0 && last_error().sequence != seq) {
            EXPECT_STREQ(text, last_error().message);
        }
        return code;
    };
}

/* A condition as the datasource saw it: "list type|value|condition type". */
inline std::string cond(const std::string &list, const std::string &value,
                        const std::string &type) {
    return list + "|" + value + "|" + type;
}

class GridTest : public ManagerTest {
protected:
    void SetUp() override {
        ManagerTest::SetUp();
        ASSERT_CODE(0u, veltra_vibemesh_initialize(manager_));
        ASSERT_CODE(0u, veltra_manager_user_create("driver", &user_));
        ASSERT_CODE(0u, ds_.publish());
        ASSERT_CODE(0u, veltra_vibemesh_provider_enum(0, &provider_));
        ASSERT_CODE(0u, veltra_vibemesh_presentation_create(user_, 0x505, callback, &cookie_,
                                                            &presentation_));
    }
    void TearDown() override {
        if (presentation_) {
            EXPECT_CODE(0u, veltra_vibemesh_presentation_release(presentation_));
        }
        if (provider_) {
            EXPECT_CODE(0u, veltra_vibemesh_provider_release(provider_));
        }
        EXPECT_EQ(0, ds_.live_queries());
        EXPECT_CODE(0u, veltra_vibemesh_shutdown());
        ds_.withdraw();
        if (user_) veltra_manager_user_release(user_);
        veltra_manager_object_counts_t c{};
        veltra_manager_object_counts(&c);
        EXPECT_EQ(0u, c.lists + c.elements + c.locales) << "list objects left unreleased";
        ManagerTest::TearDown();
    }

    uint32_t find(uint32_t x, uint32_t y, veltra_vibemesh_result_handle_t *r) {
        return veltra_vibemesh_presentation_find_recommendations(presentation_, provider_, x, y, r);
    }
    uint32_t set(const char *ident, const char *list, const char *id, const char *condition) {
        return veltra_vibemesh_presentation_filter_set(presentation_, ident, list, id, condition);
    }
    uint32_t remove(const char *ident) {
        return veltra_vibemesh_presentation_filter_remove(presentation_, ident);
    }
    std::vector<std::string> conditions() const {
        std::vector<std::string> out;
        for (const DsCall &c : ds_.calls(DsSlot::AddCondition))
            out.push_back(cond(c.list_type, c.value, c.condition_type));
        return out;
    }
    std::vector<DsSlot> slots() const {
        std::vector<DsSlot> out;
        for (const DsCall &c : ds_.calls()) out.push_back(c.slot);
        return out;
    }

    static void callback(void *) {}
    int cookie_ = 0;
    ScriptedDatasource ds_;
    veltra_user_handle_t user_ = nullptr;
    veltra_vibemesh_provider_handle_t provider_ = nullptr;
    veltra_vibemesh_presentation_handle_t presentation_ = nullptr;
};

}  // namespace vt

#endif
