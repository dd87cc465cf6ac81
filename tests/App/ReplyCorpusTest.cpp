// Replays the admission reply fuzz corpus, so every build checks it even where libFuzzer is
// not available. Seeds named admit-* must admit and refuse-* must refuse.
#include <gtest/gtest.h>

#include <filesystem>
#include <fstream>
#include <iterator>
#include <vector>

#include "fuzz/ReplyFuzzCheck.h"

namespace fs = std::filesystem;

TEST(ReplyCorpus, EveryReplyIsJudgedSafelyAndSeedsAsNamed) {
    const fs::path folder = fs::path(__FILE__).parent_path().parent_path() / "fuzz" / "corpus-reply";
    size_t count = 0;
    for (const auto& entry : fs::directory_iterator(folder)) {
        std::ifstream in(entry.path(), std::ios::binary);
        const std::vector<uint8_t> data{std::istreambuf_iterator<char>(in), {}};
        bool broken = false;
        const bool admits = PalvorFuzz::ReplyAdmits(data.data(), data.size(), broken);
        EXPECT_FALSE(broken) << entry.path();
        const std::string name = entry.path().filename().string();
        if (name.starts_with("admit-") || name.starts_with("refuse-")) {
            EXPECT_EQ(admits, name.starts_with("admit-")) << name;
        }
        ++count;
    }
    EXPECT_GE(count, 10u) << "the seed corpus is missing";
}
