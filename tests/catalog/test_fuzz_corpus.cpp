/* Replays the catalog fuzz target's corpus (its seeds and each input that once exposed a fault)
 * with the fuzzer's checks, in the normal test runs and without libFuzzer. */
#define VELTRA_FUZZ_REPLAY 1
#include "../../fuzz/fuzz_catalog.cpp"

#include <algorithm>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <vector>

#include "test_support.h"

namespace {

namespace fs = std::filesystem;

TEST(FuzzCorpus, Catalog) {
    fz::start();
    const fs::path dir = fs::path(__FILE__).parent_path().parent_path().parent_path() / "fuzz" / "corpus" / "catalog";
    std::vector<fs::path> inputs;
    for (const auto &entry : fs::directory_iterator(dir))
        if (entry.is_regular_file()) inputs.push_back(entry.path());
    std::sort(inputs.begin(), inputs.end());
    ASSERT_FALSE(inputs.empty()) << "no seed in " << dir;
    for (const fs::path &input : inputs) {
        std::ifstream in(input, std::ios::binary);
        std::vector<uint8_t> bytes((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
        SCOPED_TRACE(input.filename().string());
        fuzz_catalog::run(bytes.data(), bytes.size());
    }
}

}  // namespace
