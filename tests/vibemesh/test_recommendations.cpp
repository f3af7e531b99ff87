/* Recommendation queries, result sets and providers, against the scripted datasource. */
#include <map>

#include "grid_test.h"

namespace vt {
namespace {

constexpr char kFind[] = "veltra_vibemesh_presentation_find_recommendations";
using S = DsSlot;

class Recommend : public GridTest {};

TEST_F(Recommend, FindBuildsOneQueryAndCopiesResults) {
    ds_.results = {{"t1", "albumA"}, {"t2", "albumB"}, {"t3", "albumA"}};
    ASSERT_CODE(0u, set("e", kEras, "3", kExclude));
    veltra_vibemesh_result_handle_t r = nullptr;
    ASSERT_CODE(0u, find(5, 5, &r));
    EXPECT_EQ(
        (std::vector<S>{S::QueryCreate, S::AddCondition, S::AddCondition, S::Execute,
                        S::ResultCount, S::ResultGet, S::ResultGet, S::ResultGet, S::QueryRelease}),
        slots());
    DsCall create = ds_.calls(S::QueryCreate).at(0);
    EXPECT_EQ(user_, create.user);
    EXPECT_EQ(&cookie_, create.callback_data);
    EXPECT_EQ(
        (std::vector<std::string>{cond(kMoods, "42958", kInclude), cond(kEras, "3", kExclude)}),
        conditions());

    /* The strings outlive the query: the datasource freed its copies at release. */
    uint32_t count = 0;
    const char *ident[3] = {}, *group[3] = {};
    EXPECT_CODE(0u, veltra_vibemesh_results_count(r, &count));
    EXPECT_EQ(3u, count);
    for (uint32_t i = 0; i < 3; ++i)
        EXPECT_CODE(0u, veltra_vibemesh_results_enum(r, i, &ident[i], &group[i]));
    EXPECT_STREQ("t3", ident[2]);
    EXPECT_STREQ("albumB", group[1]);
    EXPECT_EQ(group[0], group[2]); /* equal groups are stored once */
    EXPECT_CODE(0x90A80361u, veltra_vibemesh_results_enum(r, 3, &ident[0], nullptr));
    expect_invalid(veltra_vibemesh_results_enum(r, 0, nullptr, nullptr),
                   "veltra_vibemesh_results_enum", "'p_ident' parameter is null");
    EXPECT_CODE(0u, veltra_vibemesh_results_release(r));
}

/* Differential: random result lists (short texts from a small alphabet, so idents and groups
 * repeat and collide with each other) against the list itself. Every text comes back equal,
 * equal texts as one stored copy, the first index past the end fails. One list is longer than
 * a set reserves in one go, so its rows grow while they are filled. */
TEST_F(Recommend, EnumerationMatchesTheDatasourceList) {
    uint32_t seed = 12345;
    auto next = [&seed](uint32_t n) {
        seed = seed * 1103515245u + 12345u;
        return (seed >> 16) % n;
    };
    auto text = [&next] {
        std::string t(1 + next(3), 'a');
        for (char &c : t) c = static_cast<char>('a' + next(4));
        return t;
    };
    for (uint32_t size : {0u, 1u, 2u, 17u, 300u, 70000u}) {
        ds_.results.clear();
        for (uint32_t i = 0; i < size; ++i)
            ds_.results.emplace_back(size > 300 ? std::to_string(i) : text(), text());
        veltra_vibemesh_result_handle_t r = nullptr;
        ASSERT_CODE(0u, find(1, 1, &r)) << size;
        uint32_t count = ~0u;
        EXPECT_CODE(0u, veltra_vibemesh_results_count(r, &count));
        EXPECT_EQ(size, count);
        std::map<std::string, const char *> stored;
        bool same = true;
        for (uint32_t i = 0; i < size && same; ++i) {
            const char *ident = nullptr, *group = nullptr, *alone = nullptr;
            ASSERT_CODE(0u, veltra_vibemesh_results_enum(r, i, &ident, &group));
            ASSERT_CODE(0u, veltra_vibemesh_results_enum(r, i, &alone, nullptr));
            same = ds_.results[i].first == ident && ds_.results[i].second == group &&
                   alone == ident && stored.emplace(ident, ident).first->second == ident &&
                   stored.emplace(group, group).first->second == group;
            EXPECT_TRUE(same) << "size " << size << ", result " << i;
        }
        const char *untouched = "-";
        EXPECT_CODE(0x90A80361u, veltra_vibemesh_results_enum(r, size, &untouched, nullptr));
        EXPECT_STREQ("-", untouched);
        EXPECT_CODE(0u, veltra_vibemesh_results_release(r));
    }
}

TEST_F(Recommend, EstimatePassesNoCallbackAndNeverExecutes) {
    ds_.estimate = 4711;
    veltra_vibemesh_presentation_handle_t ten = nullptr;
    ASSERT_CODE(0u, veltra_vibemesh_presentation_create(user_, 0xA0A, callback, &cookie_, &ten));
    uint32_t estimate = 0;
    ASSERT_CODE(0u, veltra_vibemesh_presentation_find_recommendations_estimate(ten, provider_, 10,
                                                                               10, &estimate));
    EXPECT_EQ(4711u, estimate);
    EXPECT_EQ((std::vector<S>{S::QueryCreate, S::AddCondition, S::Estimate, S::QueryRelease}),
              slots());
    EXPECT_EQ(nullptr, ds_.calls(S::QueryCreate).at(0).callback);
    EXPECT_EQ(cond(kMoods, "43034", kInclude), conditions().at(0));
    EXPECT_CODE(0u, veltra_vibemesh_presentation_release(ten));
}

TEST_F(Recommend, ChecksComeFirstAndFailuresAreLogged) {
    veltra_vibemesh_result_handle_t r = nullptr;
    expect_invalid(find(6, 1, nullptr), kFind,
                   "Invalid Ordinals as either x or y are out of range");
    expect_invalid(find(1, 1, nullptr), kFind, "'ph_result' parameter is null");
    expect_invalid(veltra_vibemesh_presentation_find_recommendations_estimate(
                       presentation_, provider_, 1, 1, nullptr),
                   "veltra_vibemesh_presentation_find_recommendations_estimate",
                   "'p_estimate' parameter is null");
    LogCapture log;
    EXPECT_CODE(0x90A80001u, veltra_vibemesh_presentation_find_recommendations(presentation_,
                                                                               nullptr, 0, 0, &r));
    std::vector<LogLine> lines = log.lines();
    ASSERT_EQ(2u, lines.size()); /* the trace, then the handle failure logged by line */
    EXPECT_EQ("vibemesh_api_presentation", lines[1].source);
    EXPECT_TRUE(ds_.calls().empty());
}

/* A failure at any step: the folded code logged, the query released, no set handed out. */
TEST_F(Recommend, FailureAtEveryStepReleasesTheQuery) {
    ds_.results = {{"a", "b"}, {"c", "d"}};
    ASSERT_CODE(0u, set("1", kGenres, "1", kInclude));
    ASSERT_CODE(0u, set("2", kGenres, "2", kInclude));
    struct Case {
        S slot;
        uint32_t skip, code, expected;
    } cases[] = {
        {S::QueryCreate, 0, kDsFailure, 0x90A80042u},
        {S::AddCondition, 1, kDsFailure, 0x90A80042u}, /* the first filter; no second */
        {S::Execute, 0, 0x90500002u, 0x90A80002u}, /* foreign out-of-memory */
        {S::ResultCount, 0, 0x10500003u, 0x10A20003u}, /* foreign not-found */
        {S::ResultGet, 1, kDsFailure, 0x90A80042u},
        {S::QueryRelease, 0, kDsFailure, 0x90A80042u}, /* the set is handed out regardless */
    };
    LogCapture log(1);
    for (const Case &c : cases) {
        for (bool leave_handle : {false, true}) {
            ds_.handle_on_failed_create = leave_handle;
            ds_.clear_calls();
            log.clear();
            ds_.fail(c.slot, c.code, c.skip);
            veltra_vibemesh_result_handle_t r = nullptr;
            uint32_t handles = veltra_manager_handle_count();
            EXPECT_CODE(c.expected, find(1, 1, &r)) << static_cast<int>(c.slot);
            EXPECT_EQ(c.slot == S::QueryRelease, r != nullptr);
            if (r) veltra_vibemesh_results_release(r);
            EXPECT_EQ(handles, veltra_manager_handle_count());
            EXPECT_EQ(0, ds_.live_queries());
            EXPECT_EQ(c.slot != S::QueryCreate || leave_handle,
                      ds_.calls(S::QueryRelease).size() == 1);
            size_t conditions = c.slot == S::QueryCreate ? 0 : c.slot == S::AddCondition ? 2 : 3;
            EXPECT_EQ(conditions, ds_.calls(S::AddCondition).size());
            std::vector<LogLine> errors = log.lines();
            ASSERT_EQ(c.expected >> 31, errors.size());
            if (!errors.empty()) {
                EXPECT_EQ(kFind, errors[0].source);
            }
        }
    }
    ds_.results = {{"x", ""}};
    veltra_vibemesh_result_handle_t r = nullptr;
    EXPECT_CODE(0x90A80001u, find(1, 1, &r)); /* an empty group cannot be stored */
    EXPECT_EQ(nullptr, r);
}

TEST_F(Recommend, ReleaseWhileInUseIsRefused) {
    veltra_manager_errorinfo_t error{};
    uint32_t provider_code = 0;
    ds_.hook = [&](S slot) {
        if (slot != S::Execute) return;
        veltra_vibemesh_presentation_release(presentation_);
        error = last_error();
        provider_code = veltra_vibemesh_provider_release(provider_);
    };
    veltra_vibemesh_result_handle_t r = nullptr;
    ASSERT_CODE(0u, find(1, 1, &r));
    ds_.hook = nullptr;
    EXPECT_CODE(0x90A80006u, error.error_code);
    EXPECT_STREQ("VibeMesh Presentation already in progress", error.message);
    EXPECT_CODE(0x90A80006u, provider_code);
    EXPECT_CODE(0u, veltra_vibemesh_results_release(r));
}

/* A log callback that answers every error line by calling back into the module. */
veltra_vibemesh_presentation_handle_t g_reentry_presentation = nullptr;
uint32_t g_reentry_code = 0;
int g_reentry_lines = 0;
void reentering_log(int32_t, const char *, uint32_t level, uint32_t, const char *, ...) {
    if (level != 1) return;
    ++g_reentry_lines;
    uint32_t type = 0;
    g_reentry_code = veltra_vibemesh_presentation_get_type(g_reentry_presentation, &type);
}

/* Regression: failed handle checks and in-use refusals of a release were logged while the
 * module-wide pin lock was held, so a log callback that used a handle hung. */
TEST_F(Recommend, LogCallbackMayCallBackIntoTheModule) {
    g_reentry_presentation = presentation_;
    g_reentry_code = ~0u;
    g_reentry_lines = 0;
    veltra_manager_log_install(reentering_log, 1);
    veltra_vibemesh_result_handle_t r = nullptr;
    ASSERT_CODE(0u, find(1, 1, &r));
    EXPECT_CODE(0u, veltra_vibemesh_results_release(r));
    EXPECT_NE(0u, veltra_vibemesh_results_release(r)); /* ended: logged by the handle check */
    EXPECT_EQ(1, g_reentry_lines);
    EXPECT_CODE(0u, g_reentry_code);

    g_reentry_code = ~0u;
    uint32_t refused = 0;
    ds_.hook = [&](S slot) {
        if (slot == S::Execute) refused = veltra_vibemesh_presentation_release(presentation_);
    };
    ASSERT_CODE(0u, find(1, 1, &r));
    ds_.hook = nullptr;
    veltra_manager_log_install(nullptr, 0);
    EXPECT_CODE(0x90A80006u, refused);
    EXPECT_EQ(2, g_reentry_lines);
    EXPECT_CODE(0u, g_reentry_code);
    EXPECT_CODE(0u, veltra_vibemesh_results_release(r));
}

TEST_F(Recommend, OutOfMemoryLeavesNoSetAndNoReference) {
    ds_.results = {{"one", "g"}, {"two", "g"}, {"three", "h"}};
    veltra_vibemesh_result_handle_t r = nullptr;
    auto release_r = [&] {
        EXPECT_EQ(0, ds_.live_queries());
        if (r) veltra_vibemesh_results_release(r);
        r = nullptr;
    };
    EXPECT_GT(oom_sweep({[&] { return find(3, 3, &r); }, release_r, {0x90A80002u}}), 3u);

    veltra_vibemesh_provider_handle_t p = nullptr;
    auto open = [&] { return veltra_vibemesh_provider_enum(0, &p); };
    auto close = [&] {
        if (p) veltra_vibemesh_provider_release(p);
        p = nullptr;
        EXPECT_EQ(1u, veltra_manager_interface_refcount(ds_.table())); /* the fixture's */
    };
    EXPECT_GT(oom_sweep({with_text(open, "could not allocate a provider"), close, {0x90A80002u}}),
              1u);
}

class Providers : public ManagerTest {};

TEST_F(Providers, CountOpenReadAndRelease) {
    ASSERT_CODE(0u, veltra_vibemesh_initialize(manager_));
    veltra_vibemesh_provider_handle_t p[4] = {};
    EXPECT_CODE(0x10A20003u, veltra_vibemesh_provider_enum(0, &p[0])); /* the lookup's not-found */

    ScriptedDatasource ds[3];
    ds[1].data["name"] = "Local catalog";
    for (ScriptedDatasource &d : ds) ASSERT_CODE(0u, d.publish());
    uint32_t count = 0;
    EXPECT_CODE(0u, veltra_vibemesh_provider_count(&count));
    EXPECT_EQ(3u, count);
    for (uint32_t i = 0; i < 3; ++i) EXPECT_CODE(0u, veltra_vibemesh_provider_enum(i, &p[i]));
    EXPECT_CODE(0x10A20003u, veltra_vibemesh_provider_enum(3, &p[3]));
    EXPECT_CODE(0u, veltra_vibemesh_provider_enum(1, &p[3])); /* a second, distinct provider */
    EXPECT_NE(p[1], p[3]);
    EXPECT_EQ(2u, veltra_manager_interface_refcount(ds[1].table()));

    const char *value = nullptr;
    EXPECT_CODE(0u, veltra_vibemesh_provider_get_data(p[3], "name", &value));
    EXPECT_STREQ("Local catalog", value);
    expect_invalid(veltra_vibemesh_provider_get_data(p[1], "", &value),
                   "veltra_vibemesh_provider_get_data", "'key' is null");
    expect_invalid(veltra_vibemesh_provider_enum(0, nullptr), "veltra_vibemesh_provider_enum",
                   "'ph_provider'parameter is null");

    for (auto h : p) EXPECT_CODE(0u, veltra_vibemesh_provider_release(h));
    for (ScriptedDatasource &d : ds) EXPECT_EQ(0u, veltra_manager_interface_refcount(d.table()));
    EXPECT_NE(0u, veltra_vibemesh_provider_release(p[0]));
    EXPECT_CODE(0u, veltra_vibemesh_shutdown());
    for (ScriptedDatasource &d : ds) d.withdraw();
}

}  // namespace
}  // namespace vt
