// The examples of the protocol reference (docs/protocol.md) are the server's own bytes:
// every ```hex block decodes with the decoder the server runs on a frame's payload into
// the commands it describes, encodes back to the very same bytes, and names those
// commands in its comments; and every command the protocol registers has an example.
#include <gtest/gtest.h>

#include <cctype>
#include <fstream>
#include <regex>
#include <set>
#include <sstream>
#include <string>
#include <vector>

#include "server/Frame.h"
#include "server/Protocol.h"
#include "support/Bytes.h"

using namespace DUve;
using namespace DUve::Sequencer;
using PalvorTest::ToHex;

namespace {

const std::string kDoc = std::string(PALVOR_DOCS_DIR) + "/protocol.md";

// One ```hex block: where it starts, its bytes, its comments, and how many commands it
// holds (one, unless its first line is a comment saying "N commands").
struct CBlock {
    int nLine = 0;
    CRBytes bytes;
    std::string sComments;
    size_t nCommands = 1;
    std::string sError;  // a token that is not one byte in hex
};

std::vector<CBlock> HexBlocks(std::istream& in) {
    std::vector<CBlock> blocks;
    CBlock* open = nullptr;
    bool firstLine = false;
    std::string line;
    for (int n = 1; std::getline(in, line); ++n) {
        if (!open) {
            if (line.rfind("```hex", 0) == 0 && line.find_first_not_of(' ', 6) == std::string::npos) {
                open = &blocks.emplace_back();
                open->nLine = n;
                firstLine = true;
            }
            continue;
        }
        if (line.rfind("```", 0) == 0) {
            open = nullptr;
            continue;
        }
        const size_t hash = line.find('#');
        const std::string code = line.substr(0, hash);
        const std::string comment = hash == std::string::npos ? "" : line.substr(hash + 1);
        open->sComments += comment + "\n";
        std::smatch m;
        static const std::regex kCount(R"(\b(\d+) commands\b)");
        if (firstLine && code.find_first_not_of(" \t") == std::string::npos &&
            std::regex_search(comment, m, kCount))
            open->nCommands = std::stoul(m[1]);
        firstLine = false;
        std::istringstream tokens(code);
        for (std::string t; tokens >> t;) {
            if (t.size() != 2 || !std::isxdigit(static_cast<unsigned char>(t[0])) ||
                !std::isxdigit(static_cast<unsigned char>(t[1]))) {
                if (open->sError.empty())
                    open->sError = "line " + std::to_string(n) + ": '" + t + "' is not a hex byte";
                continue;
            }
            open->bytes.push_back(static_cast<uint8_t>(std::stoul(t, nullptr, 16)));
        }
    }
    return blocks;
}

// A block is a whole frame when its first four bytes announce exactly the rest.
bool IsFrame(const CRBytes& b) {
    if (b.size() < kFrameHeaderSize) return false;
    const uint8_t header[kFrameHeaderSize] = {b[0], b[1], b[2], b[3]};
    return DecodeFrameHeader(header) == b.size() - kFrameHeaderSize;
}

std::string ShortName(uint16_t id) {
    const std::string_view name = CProtocol::ClassName(id);
    return std::string(name.substr(name.rfind(':') + 1));
}

}  // namespace

TEST(ProtocolDoc, EveryHexExampleIsTheEncodingOfItsCommandsAndEveryCommandHasOne) {
    std::ifstream file(kDoc);
    ASSERT_TRUE(file) << "cannot read " << kDoc;
    const std::vector<CBlock> blocks = HexBlocks(file);
    ASSERT_FALSE(blocks.empty()) << kDoc << " has no hex example";

    std::set<uint16_t> shown;
    for (const CBlock& block : blocks) {
        const std::string where = "protocol.md:" + std::to_string(block.nLine) + ": ";
        if (!block.sError.empty()) {
            ADD_FAILURE() << where << block.sError;
            continue;
        }
        const bool frame = IsFrame(block.bytes);
        const CRBytes payload(block.bytes.begin() + (frame ? kFrameHeaderSize : 0), block.bytes.end());
        const auto commands = CProtocol::CSerialize::LoadObjects(payload);
        if (commands.size() != block.nCommands) {
            ADD_FAILURE() << where << "decodes to " << commands.size() << " commands, the block says "
                          << block.nCommands << ": " << ToHex(block.bytes);
            continue;
        }
        CRBytes again = CProtocol::CSerialize::SaveObjects(commands);
        if (frame) again = EncodeFrame(again);
        EXPECT_EQ(ToHex(again), ToHex(block.bytes))
            << where << "the encoder writes other bytes for what this block decodes to";
        for (const auto& command : commands) {
            const uint16_t id = command->GetSerializeId();
            shown.insert(id);
            EXPECT_NE(block.sComments.find(ShortName(id)), std::string::npos)
                << where << "holds a " << ShortName(id) << " that its comments do not name";
        }
    }
    for (const auto& [id, factory] : CProtocol::CSerialize::Registry())
        EXPECT_TRUE(shown.count(id)) << CProtocol::ClassName(id) << " has no example in " << kDoc;
}

TEST(ProtocolDoc, ReaderTellsBrokenBlocksApart) {
    // The reader itself, on copies of what a reference page holds: a block that does not
    // round-trip must be visible as such, or the check above proves nothing.
    const struct {
        const char* szText;
        size_t nBlocks, nBytes, nCommands;
        bool bError, bFrame;
    } cases[] = {
        {"```hex\n12 00 00 00 5c f8  # echo\nec ec ec ec ec ec ec ec ec ec ec ec ec ec ec ec\n```\n",
         1, 22, 1, false, true},
        {"text\n```hex\n# 2 commands\n77 4a 00 00 00 00 77 4a 00 00 00 00\n```\n```text\n00\n```\n", 1, 12, 2,
         false, false},
        {"```hex\n77 4a 0 00 00 00\n```\n", 1, 5, 1, true, false},
        {"```hexdump\n00\n```\n", 0, 0, 0, false, false},
    };
    for (const auto& c : cases) {
        std::istringstream in(c.szText);
        const auto blocks = HexBlocks(in);
        ASSERT_EQ(blocks.size(), c.nBlocks) << c.szText;
        if (!c.nBlocks) continue;
        EXPECT_EQ(blocks[0].bytes.size(), c.nBytes) << c.szText;
        EXPECT_EQ(blocks[0].nCommands, c.nCommands) << c.szText;
        EXPECT_EQ(!blocks[0].sError.empty(), c.bError) << c.szText;
        EXPECT_EQ(IsFrame(blocks[0].bytes), c.bFrame) << c.szText;
    }
    // An echo that lost one identifier byte still loads, but no longer encodes to itself.
    const CRBytes cut = PalvorTest::Hex("5c f8 ec ec ec ec ec ec ec ec ec ec ec ec ec ec ec");
    const auto loaded = CProtocol::CSerialize::LoadObjects(cut);
    ASSERT_EQ(loaded.size(), 1u);
    EXPECT_NE(ToHex(CProtocol::CSerialize::SaveObjects(loaded)), ToHex(cut));
}
