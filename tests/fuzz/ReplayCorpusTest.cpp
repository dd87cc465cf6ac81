// Replays the fuzzing corpus (seed inputs and anything the fuzzer kept) through both
// families, so every build checks them even where libFuzzer is not available.
#include <gtest/gtest.h>

#include <filesystem>
#include <fstream>
#include <iterator>

#include "FuzzInput.h"

namespace fs = std::filesystem;

TEST(FuzzCorpus, EveryInputLoadsSafelyInBothFamilies) {
    size_t count = 0;
    for (const auto& entry : fs::recursive_directory_iterator(PALVOR_FUZZ_CORPUS)) {
        if (!entry.is_regular_file()) continue;
        std::ifstream in(entry.path(), std::ios::binary);
        const std::vector<uint8_t> data((std::istreambuf_iterator<char>(in)),
                                        std::istreambuf_iterator<char>());
        EXPECT_TRUE(PalvorFuzz::CheckProtocol(data.data(), data.size())) << entry.path();
        EXPECT_TRUE(PalvorFuzz::CheckProperty(data.data(), data.size())) << entry.path();
        ++count;
    }
    EXPECT_GE(count, 10u) << "the seed corpus is missing";
}
