/* Replays the catalog fuzz target's corpus (its seeds and each input that once exposed a fault)
 * with the fuzzer's checks, in the normal test runs and without libFuzzer. */
#define VELTRA_FUZZ_REPLAY 1
#include "../../fuzz/fuzz_catalog.cpp"

#include "test_support.h"

namespace {

TEST(FuzzCorpus, Catalog) {
    fz::start();
    vt::replay_corpus("catalog", fuzz_catalog::run);
}

}  // namespace
