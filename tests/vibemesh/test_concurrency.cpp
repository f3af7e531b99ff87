/* Several threads on several presentations sharing one provider; releases racing with calls. */
#include <atomic>
#include <string>
#include <thread>

#include "grid_test.h"

namespace vt {
namespace {

class Concurrency : public GridTest {};

TEST_F(Concurrency, FindsEstimatesAndFilterChangesInParallel) {
    ds_.results = {{"a", "g1"}, {"b", "g2"}, {"c", "g1"}, {"d", "g3"}};
    ds_.estimate = 4;
    veltra_vibemesh_presentation_handle_t grids[3] = {presentation_};
    ASSERT_CODE(0u, veltra_vibemesh_presentation_create(user_, 0xA0A, nullptr, nullptr, &grids[1]));
    ASSERT_CODE(0u, veltra_vibemesh_presentation_create(user_, 0x505, nullptr, nullptr, &grids[2]));

    constexpr int kThreads = 4, kRounds = 60;
    std::atomic<int> failures{0};
    auto worker = [&](int t) {
        veltra_vibemesh_presentation_handle_t p = grids[t % 3];
        auto check = [&](uint32_t code) {
            if (code != 0) failures.fetch_add(1);
        };
        for (int i = 0; i < kRounds; ++i) {
            std::string ident = "t" + std::to_string(t) + "-" + std::to_string(i);
            check(veltra_vibemesh_presentation_filter_set(p, ident.c_str(), kGenres,
                                                          std::to_string(i + 1).c_str(), kInclude));
            veltra_vibemesh_result_handle_t r = nullptr;
            uint32_t x = 1 + i % 5, y = 1 + t % 5;
            check(veltra_vibemesh_presentation_find_recommendations(p, provider_, x, y, &r));
            uint32_t count = 0;
            check(veltra_vibemesh_results_count(r, &count));
            if (count != 4) failures.fetch_add(1);
            for (uint32_t k = 0; k < count; ++k) {
                const char *ident_out = nullptr, *group = nullptr;
                check(veltra_vibemesh_results_enum(r, k, &ident_out, &group));
            }
            check(veltra_vibemesh_results_release(r));
            uint32_t estimate = 0;
            check(veltra_vibemesh_presentation_find_recommendations_estimate(p, provider_, x, y,
                                                                             &estimate));
            const char *id = nullptr;
            check(veltra_vibemesh_presentation_get_mood_id(p, x, y, &id));
            check(veltra_vibemesh_presentation_filter_remove(p, ident.c_str()));
        }
    };
    std::vector<std::thread> threads;
    for (int t = 0; t < kThreads; ++t) threads.emplace_back(worker, t);
    for (std::thread &th : threads) th.join();

    EXPECT_EQ(0, failures.load());
    EXPECT_EQ(0, ds_.live_queries());
    EXPECT_EQ(size_t(kThreads * kRounds * 2), ds_.calls(DsSlot::QueryRelease).size());
    for (int i = 1; i < 3; ++i) EXPECT_CODE(0u, veltra_vibemesh_presentation_release(grids[i]));
}

TEST_F(Concurrency, ReleaseRacingWithCallsNeverPullsTheRecordAway) {
    /* A failed handle check: folded manager code, neither busy nor a null handle. */
    auto handle_failure = [](uint32_t code) {
        return (code & 0xFFFE0000u) == 0x90A80000u && code != 0x90A80006u && code != 0x90A80001u;
    };
    std::atomic<int> unexpected{0};
    std::atomic<bool> running{false};
    std::thread user([&] {
        /* Calls succeed until the release wins; from then on they fail the handle check. */
        for (uint32_t type = 0;;) {
            veltra_vibemesh_result_handle_t r = nullptr;
            uint32_t b = veltra_vibemesh_presentation_find_recommendations(presentation_, provider_,
                                                                           1, 1, &r);
            if (r) veltra_vibemesh_results_release(r);
            uint32_t a = veltra_vibemesh_presentation_get_type(presentation_, &type);
            if (b != 0 && !handle_failure(b)) unexpected.fetch_add(1);
            if (a == 0) {
                running.store(true);
                continue;
            }
            if (!handle_failure(a)) unexpected.fetch_add(1);
            break;
        }
    });
    while (!running.load()) std::this_thread::yield();
    uint32_t code;
    do {
        code = veltra_vibemesh_presentation_release(presentation_);
        if (code != 0 && code != 0x90A80006u) unexpected.fetch_add(1);
    } while (code != 0);
    user.join();
    presentation_ = nullptr;
    EXPECT_EQ(0, unexpected.load());
}

}  // namespace
}  // namespace vt
