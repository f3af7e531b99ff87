/* Replays every fuzz target's corpus (its seeds and each input that once exposed a fault), then a
 * few hundred inputs generated from a fixed seed, with the same checks as the fuzzers, in the
 * normal test runs and without libFuzzer. The targets hold the one reference model of each
 * container, so these runs are the containers' model tests. A failing input aborts with the
 * check that failed and its detail (and, for a generated one, its number). */
#define VELTRA_FUZZ_REPLAY 1
#include "../../fuzz/fuzz_hashtable.cpp"
#include "../../fuzz/fuzz_iostream.cpp"
#include "../../fuzz/fuzz_printf.cpp"
#include "../../fuzz/fuzz_stringmap.cpp"
#include "../../fuzz/fuzz_stringtable.cpp"
#include "../../fuzz/fuzz_utf8.cpp"
#include "../../fuzz/fuzz_vector.cpp"
#include "../../fuzz/fuzz_vibemesh.cpp"

#include <signal.h>

#include <random>
#include <vector>

#include "test_support.h"

namespace {

/* Inputs of up to 2 KiB of seeded random bytes: enough operations for each container to
 * grow several times. */
const char *g_target = nullptr;
int g_input = -1;

void name_the_input(int) {
    fprintf(stderr, "generated input %d of %s\n", g_input, g_target);
}

void generated(const char *target, void (*run)(const uint8_t *, size_t), int count = 300) {
    fz::start();
    g_target = target;
    signal(SIGABRT, name_the_input);
    std::mt19937 rng(17);
    std::vector<uint8_t> bytes;
    for (g_input = 0; g_input < count; ++g_input) {
        bytes.resize(rng() % 2048);
        for (uint8_t &b : bytes) b = static_cast<uint8_t>(rng());
        run(bytes.data(), bytes.size());
    }
    signal(SIGABRT, SIG_DFL);
}

void both(const char *target, void (*run)(const uint8_t *, size_t)) {
    fz::start();
    vt::replay_corpus(target, run);
    generated(target, run);
}

TEST(FuzzCorpus, Utf8) { both("utf8", fuzz_utf8::run); }
TEST(FuzzCorpus, Printf) { both("printf", fuzz_printf::run); }
TEST(FuzzCorpus, Vector) { both("vector", fuzz_vector::run); }
TEST(FuzzCorpus, Hashtable) { both("hashtable", fuzz_hashtable::run); }
TEST(FuzzCorpus, Stringmap) { both("stringmap", fuzz_stringmap::run); }
TEST(FuzzCorpus, Stringtable) { both("stringtable", fuzz_stringtable::run); }
TEST(FuzzCorpus, Iostream) { both("iostream", fuzz_iostream::run); }
TEST(FuzzCorpus, Vibemesh) { both("vibemesh", fuzz_vibemesh::run); }

} // namespace
