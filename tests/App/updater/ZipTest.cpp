#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "App/RZip.h"
#include "App/updater/UpdaterSupport.h"

using namespace DUve;
using namespace UpdaterTest;

namespace {

// Text-like data that deflates well, so the stream spans many 4096-byte rounds both ways.
Bytes Words(size_t n, uint32_t seed) {
    static const char* const kWords[] = {"tempo ", "track ",    "note ", "velocity ",
                                         "port ",  "sequence ", "\n",    "mml "};
    std::mt19937 rng(seed);
    std::string text;
    while (text.size() < n) text += kWords[rng() % 8];
    text.resize(n);
    return ToBytes(text);
}

TEST(ZipInflate, LargeStreamsComeBackWhole) {
    const Bytes text = Words(6 * 1024 * 1024, 1);
    const Bytes noise = RandomBytes(3 * 1024 * 1024 + 17, 2);
    for (const Bytes* data : {&text, &noise}) {
        const Bytes deflated = RawDeflate(*data);
        ASSERT_GT(deflated.size(), 8 * 4096u);
        const auto inflated = CRZip::Inflate(deflated);
        ASSERT_TRUE(inflated);
        EXPECT_TRUE(*inflated == *data);
    }
}

TEST(ZipInflate, ShortLastRoundMayFillManyOutputBuffers) {
    // Under Z_FINISH zlib reports every full output buffer as Z_BUF_ERROR; that is progress.
    const Bytes zeros(2 * 1024 * 1024, 0);
    const Bytes deflated = RawDeflate(zeros);
    ASSERT_LT(deflated.size(), 4096u);
    const auto inflated = CRZip::Inflate(deflated);
    ASSERT_TRUE(inflated);
    EXPECT_TRUE(*inflated == zeros);
}

TEST(ZipInflate, StreamFillingWholeRoundsEndsCleanly) {
    // A stored deflate block takes 5 bytes more than its data: 3 rounds of input exactly.
    const Bytes data = RandomBytes(3 * 4096 - 5, 3);
    const Bytes deflated = RawDeflate(data, 0);
    ASSERT_EQ(deflated.size(), 3 * 4096u);
    const auto inflated = CRZip::Inflate(deflated);
    ASSERT_TRUE(inflated);
    EXPECT_EQ(*inflated, data);
}

TEST(ZipInflate, DamagedTruncatedOrOversizedStreamsFail) {
    const Bytes data = Words(200 * 1024, 4);
    const Bytes deflated = RawDeflate(data);
    const Bytes truncated(deflated.begin(), deflated.begin() + deflated.size() / 2);
    Bytes damaged = deflated;
    damaged[0] = 0xFF;  // block type 3 does not exist
    EXPECT_FALSE(CRZip::Inflate(truncated));
    EXPECT_FALSE(CRZip::Inflate(damaged));
    EXPECT_FALSE(CRZip::Inflate(deflated, data.size() - 1));
    EXPECT_TRUE(CRZip::Inflate(deflated, data.size()));
}

TEST(ZipContent, StoredDeflatedAndEmptyEntries) {
    const Bytes data = Words(50000, 5);
    const CZip zip = MakeZip({{"a", data}, {"b", data, true}, {"c", data, true, true}});
    auto fileAt = [&](size_t i) {
        const size_t offset = zip.vDataOffsets[i] - 30 - 1;
        return CRZip::ParseFileInfo(std::span(zip.vBytes).subspan(offset));
    };
    const auto stored = fileAt(0);
    const auto deflated = fileAt(1);
    const auto described = fileAt(2);
    ASSERT_TRUE(stored && deflated && described);
    EXPECT_EQ(stored->sName, "a");
    EXPECT_EQ(*CRZip::GetContent(*stored), data);
    const auto content = CRZip::GetContent(*deflated);
    ASSERT_TRUE(content);
    EXPECT_EQ(*content, data);
    // Inflated once while someone holds the content.
    EXPECT_EQ(CRZip::GetContent(*deflated), content);
    // Sizes are in a data descriptor only: the local header promises no data.
    EXPECT_EQ(described->nCompressedSize, 0u);
    EXPECT_TRUE(CRZip::GetContent(*described)->empty());
    // One byte short of the compressed data leaves the file incomplete.
    const auto bytes = std::span(zip.vBytes).subspan(zip.vDataOffsets[1] - 31);
    EXPECT_FALSE(CRZip::ParseFileInfo(bytes.first(31 + deflated->nCompressedSize - 1)));
    EXPECT_TRUE(CRZip::ParseFileInfo(bytes.first(31 + deflated->nCompressedSize)));
}

TEST(ZipDirectory, ParsingStopsWhereTheDataEnds) {
    const CZip zip = MakeZip({{"one", ToBytes("1")}, {"two", ToBytes("22")}}, "");
    const auto end = CRZip::ParseEndRecord(std::span(zip.vBytes).last(22));
    ASSERT_EQ(end.nSignature, CRZip::kEndSignature);
    ASSERT_EQ(end.nEntriesOnDisk, 2u);
    const auto dir = std::span(zip.vBytes).subspan(end.nDirectoryOffset, end.nDirectorySize);
    struct {
        uint32_t nCount;
        size_t nBytes;
        std::vector<std::string> names;
    } cases[] = {
        {2, dir.size(), {"one", "two"}},
        {60000, dir.size(), {"one", "two"}},  // more entries declared than present
        {2, dir.size() - 1, {"one"}},         // the second name runs past the data
        {2, 46 + 2, {}},                      // the first name runs past the data
        {2, 45, {}},                          // not even a fixed header
    };
    for (const auto& c : cases) {
        std::vector<std::string> names;
        for (const auto& e : CRZip::ParseCentralDirectory(dir.first(c.nBytes), c.nCount))
            names.push_back(e.sName);
        EXPECT_EQ(names, c.names) << c.nCount << " entries in " << c.nBytes << " bytes";
    }
    const auto entries = CRZip::ParseCentralDirectory(dir, 2);
    EXPECT_EQ(entries[1].nCrc32, Crc(ToBytes("22")));
    EXPECT_EQ(entries[1].nLocalHeaderOffset, zip.vDataOffsets[1] - 30 - 3);
}

TEST(ZipDirectory, NamesDecodeByTheirFlag) {
    CRZip::CDirEntry latin1;
    latin1.sName = "caf\xE9";
    EXPECT_EQ(latin1.NameUtf8(), "caf\xC3\xA9");
    CRZip::CDirEntry utf8 = latin1;
    utf8.sName = "caf\xC3\xA9";
    utf8.nFlags = CRZip::kFlagUtf8Name;
    EXPECT_EQ(utf8.NameUtf8(), "caf\xC3\xA9");
}

struct CCall {
    size_t nReceived;
    uint64_t nLength;
};

TEST(ZipHttp, HandlerSeesStartEachPieceAndEnd) {
    const Bytes file = RandomBytes(100 * 1024, 6);
    CRangeServer server(file);
    std::vector<CCall> calls;
    const auto body = HttpDownload(
        [&](const Bytes& received, uint64_t length) {
            calls.push_back({received.size(), length});
            return true;
        },
        "Range:bytes=1000-", server.Url(), "", "");
    EXPECT_TRUE(body == Bytes(file.begin() + 1000, file.end()));
    ASSERT_GE(calls.size(), 3u);
    EXPECT_EQ(calls.front().nReceived, 0u);
    EXPECT_EQ(calls.back().nReceived, body.size());
    EXPECT_EQ(calls[calls.size() - 2].nReceived, body.size());  // the once-more call at the end
    for (const auto& call : calls) EXPECT_EQ(call.nLength, body.size());
}

TEST(ZipHttp, HandlerStopsTheTransfer) {
    const Bytes file = RandomBytes(4 * 1024 * 1024, 8);
    CRangeServer server(file, ServeOptions([](auto& o) { o.bSendLength = false; }));
    uint64_t length = 0;
    const auto body = HttpDownload(
        [&](const Bytes& received, uint64_t announced) {
            length = announced;
            return received.size() < 20000;
        },
        "", server.Url(), "", "");
    EXPECT_EQ(length, kUnknownLength);
    EXPECT_GE(body.size(), 20000u);
    EXPECT_LE(body.size(), 20000u + 16 * 1024);  // stopped within a piece or two
    EXPECT_TRUE(std::equal(body.begin(), body.end(), file.begin()));
}

TEST(ZipHttp, OnlySuccessfulRepliesYieldBytes) {
    CRangeServer server(RandomBytes(1000, 9));
    int calls = 0;
    const ProgressHandler count = [&](const Bytes&, uint64_t) { return ++calls, true; };
    EXPECT_TRUE(HttpDownload(count, "", server.Url("/palvor/missing.zip"), "", "").empty());
    EXPECT_TRUE(HttpDownload(count, "Range:bytes=1000-", server.Url(), "", "").empty());  // 416
    EXPECT_TRUE(HttpDownload(count, "", "ftp://127.0.0.1/palvor", "", "").empty());
    EXPECT_EQ(calls, 0);
    CHttpOptions small;
    small.nMaxBytes = 999;
    EXPECT_TRUE(HttpDownload(nullptr, "", server.Url(), "", "", small).empty());
    EXPECT_EQ(HttpDownload(nullptr, "", server.Url(), "", "").size(), 1000u);
}

TEST(ZipRead, ArchivePartsThroughRangeRequests) {
    const Bytes exe = Words(30000, 10);
    const CZip zip = MakeZip({{"palvorserver", exe, true}, {"big", RandomBytes(3 << 20, 11)}});
    CRangeServer server(zip.vBytes);
    const CRZip reader;
    const uint64_t size = reader.ReadArchiveSize(server.Url());
    ASSERT_EQ(size, zip.vBytes.size());
    const auto end = reader.ReadEndRecord(server.Url(), size);
    const auto entries = reader.ReadCentralDirectory(server.Url(), end, size);
    ASSERT_EQ(entries.size(), 2u);
    EXPECT_EQ(entries[1].sName, "big");
    const auto info = reader.ReadFileInfo(server.Url(), entries[0].nLocalHeaderOffset);
    ASSERT_TRUE(info);
    EXPECT_EQ(info->sName, "palvorserver");
    const auto content = CRZip::GetContent(*info);
    ASSERT_TRUE(content);
    EXPECT_EQ(*content, exe);
}

}  // namespace
