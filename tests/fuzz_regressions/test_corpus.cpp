/* Replays every fuzz target's corpus (its seeds and each input that once exposed a fault) with
 * the same checks as the fuzzers, in the normal test runs and without libFuzzer. A failing input
 * aborts with the check that failed and its detail. */
#define VELTRA_FUZZ_REPLAY 1
#include "../../fuzz/fuzz_hashtable.cpp"
#include "../../fuzz/fuzz_iostream.cpp"
#include "../../fuzz/fuzz_printf.cpp"
#include "../../fuzz/fuzz_stringmap.cpp"
#include "../../fuzz/fuzz_stringtable.cpp"
#include "../../fuzz/fuzz_utf8.cpp"
#include "../../fuzz/fuzz_vector.cpp"
#include "../../fuzz/fuzz_vibemesh.cpp"

#include <algorithm>
#include <filesystem>
#include <fstream>
#include <iterator>

#include "test_support.h"

namespace {

namespace fs = std::filesystem;

void replay(const char *target, void (*run)(const uint8_t *, size_t)) {
    fz::start();
    const fs::path dir =
        fs::path(__FILE__).parent_path().parent_path().parent_path() / "fuzz" / "corpus" / target;
    ASSERT_TRUE(fs::is_directory(dir)) << dir;
    std::vector<fs::path> inputs;
    for (const auto &entry : fs::directory_iterator(dir))
        if (entry.is_regular_file()) inputs.push_back(entry.path());
    std::sort(inputs.begin(), inputs.end());
    ASSERT_FALSE(inputs.empty()) << "no seed in " << dir;
    for (const fs::path &input : inputs) {
        std::ifstream in(input, std::ios::binary);
        std::vector<uint8_t> bytes((std::istreambuf_iterator<char>(in)),
                                   std::istreambuf_iterator<char>());
        SCOPED_TRACE(input.filename().string());
        fprintf(stderr, "replaying %s/%s\n", target, input.filename().c_str());
        run(bytes.data(), bytes.size());
    }
}

TEST(FuzzCorpus, Utf8) { replay("utf8", fuzz_utf8::run); }
TEST(FuzzCorpus, Printf) { replay("printf", fuzz_printf::run); }
TEST(FuzzCorpus, Vector) { replay("vector", fuzz_vector::run); }
TEST(FuzzCorpus, Hashtable) { replay("hashtable", fuzz_hashtable::run); }
TEST(FuzzCorpus, Stringmap) { replay("stringmap", fuzz_stringmap::run); }
TEST(FuzzCorpus, Stringtable) { replay("stringtable", fuzz_stringtable::run); }
TEST(FuzzCorpus, Iostream) { replay("iostream", fuzz_iostream::run); }
TEST(FuzzCorpus, Vibemesh) { replay("vibemesh", fuzz_vibemesh::run); }

} // namespace
