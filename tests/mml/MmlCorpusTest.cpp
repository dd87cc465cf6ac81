// Replays the MML fuzzing corpus (seed texts and anything the fuzzer kept) through the
// parser, so every build checks them even where libFuzzer is not available.
#include <gtest/gtest.h>

#include <filesystem>
#include <fstream>
#include <iterator>
#include <vector>

#include "fuzz/FuzzMmlInput.h"

namespace fs = std::filesystem;

TEST(MmlFuzzCorpus, EveryInputParsesSafely) {
    const fs::path folder = fs::path(__FILE__).parent_path().parent_path() / "fuzz" / "corpus-mml";
    size_t count = 0;
    for (const auto& entry : fs::recursive_directory_iterator(folder)) {
        if (!entry.is_regular_file()) continue;
        std::ifstream in(entry.path(), std::ios::binary);
        const std::vector<uint8_t> data((std::istreambuf_iterator<char>(in)),
                                        std::istreambuf_iterator<char>());
        EXPECT_TRUE(PalvorFuzz::CheckMml(data.data(), data.size())) << entry.path();
        ++count;
    }
    EXPECT_GE(count, 10u) << "the seed corpus is missing";
}
