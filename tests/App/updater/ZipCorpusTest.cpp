// Replays the update archive fuzz corpus through the reader, so every build checks it even
// where libFuzzer is not available.
#include <gtest/gtest.h>

#include <filesystem>
#include <fstream>
#include <iterator>
#include <vector>

#include "fuzz/ZipFuzzCheck.h"

namespace fs = std::filesystem;

TEST(ZipCorpus, EveryArchiveReadsSafely) {
    const fs::path folder = fs::path(__FILE__).parent_path().parent_path().parent_path() / "fuzz" /
                            "corpus-zip";
    size_t count = 0;
    for (const auto& entry : fs::directory_iterator(folder)) {
        std::ifstream in(entry.path(), std::ios::binary);
        const std::vector<uint8_t> data{std::istreambuf_iterator<char>(in), {}};
        EXPECT_TRUE(PalvorFuzz::CheckZip(data.data(), data.size())) << entry.path();
        ++count;
    }
    EXPECT_GE(count, 10u) << "the seed corpus is missing";
}
