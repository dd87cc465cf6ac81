#include <gtest/gtest.h>

#include <filesystem>
#include <fstream>
#include <iterator>
#include <vector>

#include "fuzz/SmfFuzzCheck.h"

namespace fs = std::filesystem;

TEST(SmfCorpus, EverySeedReadsAndSurvivesWritingBack) {
    const fs::path folder = fs::path(__FILE__).parent_path().parent_path() / "fuzz" / "corpus-smf";
    ASSERT_TRUE(fs::is_directory(folder)) << folder;
    size_t files = 0, read = 0;
    for (const auto& entry : fs::directory_iterator(folder)) {
        if (!entry.is_regular_file()) continue;
        std::ifstream in(entry.path(), std::ios::binary);
        const std::vector<uint8_t> bytes{std::istreambuf_iterator<char>(in),
                                         std::istreambuf_iterator<char>()};
        ++files;
        EXPECT_TRUE(PalvorFuzz::CheckSmf(bytes.data(), bytes.size())) << entry.path();
        DUve::CRSmf smf;
        if (smf.Read(bytes)) ++read;
        // Every prefix as well: a file cut anywhere is read without fault.
        for (size_t n = 0; n < bytes.size(); ++n)
            ASSERT_TRUE(PalvorFuzz::CheckSmf(bytes.data(), n)) << entry.path() << " cut at " << n;
    }
    EXPECT_GE(files, 10u);
    EXPECT_GT(read, files / 2);  // most seeds are valid files
}
