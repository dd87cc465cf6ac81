#include <gtest/gtest.h>

#include <string>

#include "mml/MmlParser.h"

using namespace DUve::Sequencer;

namespace {

const std::u16string kSyntaxError = u"文法エラー";

template <class T>
const T& As(const CMmlParseResult& r, size_t i) {
    EXPECT_LT(i, r.vInstruction.size());
    const auto* p = dynamic_cast<const T*>(r.vInstruction.at(i).get());
    if (!p) {
        ADD_FAILURE() << "instruction " << i << " has another kind";
        static const T empty{};
        return empty;
    }
    return *p;
}

// The parse must have ended with a lone error; returns it.
const CInstructionError& LoneError(const CMmlParseResult& r) {
    EXPECT_EQ(r.vInstruction.size(), 1u);
    return As<CInstructionError>(r, 0);
}

bool IsError(const CMmlParseResult& r) {
    return r.vInstruction.size() == 1 && r.vInstruction[0]->GetKind() == EInstructionKind::Error;
}

}  // namespace

TEST(MmlParser, LettersAndKeywordsIgnoreCase) {
    const auto upper = CMmlParser::Parse(u"C4");
    const auto lower = CMmlParser::Parse(u"c4");
    EXPECT_EQ(As<CInstructionNote>(upper, 0).nTone, As<CInstructionNote>(lower, 0).nTone);
    EXPECT_EQ(As<CInstructionNote>(upper, 0).sLength, u"4");

    const auto decl = CMmlParser::Parse(u"DECLARE PORT x = synth:0;");
    const auto& d = As<CInstructionDeclarePort>(decl, 0);
    EXPECT_EQ(d.sName, u"x");
    EXPECT_EQ(d.sInstrument, u"synth");
    EXPECT_EQ(d.nChannel, 0);
    EXPECT_EQ(d.sText, u"DECLARE PORT x = synth:0;");

    const auto tones = CMmlParser::Parse(u"cdefgabCDEFGAB");
    ASSERT_EQ(tones.vInstruction.size(), 14u);
    const uint8_t expected[] = {0, 2, 4, 5, 7, 9, 11};
    for (size_t i = 0; i < 14; ++i) {
        EXPECT_EQ(As<CInstructionNote>(tones, i).nTone, expected[i % 7]) << i;
        EXPECT_EQ(tones.vInstruction[i]->nPos, static_cast<int32_t>(i));
    }
}

TEST(MmlParser, PortDeclarationBody) {
    // The instrument keeps the spaces before the colon; the channel may end a line.
    const auto spaced = CMmlParser::Parse(u"declare port p = my synth :15\n;");
    const auto& d = As<CInstructionDeclarePort>(spaced, 0);
    EXPECT_EQ(d.sInstrument, u"my synth ");
    EXPECT_EQ(d.nChannel, 15);

    const auto channel = CMmlParser::Parse(u"c declare port p = synth : 16; d");
    EXPECT_EQ(LoneError(channel).sMessage, u"チャンネルは 0～15 で指定して下さい");
    EXPECT_EQ(LoneError(channel).sText, u"declare port p = synth : 16;");
    EXPECT_EQ(LoneError(channel).nPos, 2);

    for (const char16_t* bad : {u"declare port p = synth;", u"declare port p = a:b:1;",
                                u"declare port p = synth:1 ;", u"declare port p = synth:12345;"}) {
        const auto r = CMmlParser::Parse(bad);
        EXPECT_EQ(LoneError(r).sMessage, kSyntaxError);
        EXPECT_EQ(LoneError(r).sText, bad);
    }
    // A name starts with a letter or underscore.
    EXPECT_TRUE(IsError(CMmlParser::Parse(u"declare port 1p = synth:1;")));
    EXPECT_EQ(As<CInstructionDeclarePort>(CMmlParser::Parse(u"declare port _p9 = s:1;"), 0).sName,
              u"_p9");
}

TEST(MmlParser, PortSwitchKeepsTheNameAsWritten) {
    const auto r = CMmlParser::Parse(u"port( p )PORT (q)");
    EXPECT_EQ(As<CInstructionPort>(r, 0).sName, u" p ");
    EXPECT_EQ(As<CInstructionPort>(r, 1).sName, u"q");
    EXPECT_EQ(r.vInstruction[1]->nPos, 9);
}

TEST(MmlParser, NoteAccidentalsAndLengthText) {
    const auto r = CMmlParser::Parse(u"c+4 c 4 . ^ 8 c++ c-+ c-- d - 8");
    ASSERT_EQ(r.vInstruction.size(), 6u);
    EXPECT_EQ(As<CInstructionNote>(r, 0).nAccidental, 1);
    EXPECT_EQ(As<CInstructionNote>(r, 0).sLength, u"4");
    EXPECT_EQ(As<CInstructionNote>(r, 1).sLength, u"4.^8");
    EXPECT_EQ(As<CInstructionNote>(r, 1).sText, u"c 4 . ^ 8 ");  // the whole match
    // Only the last sign of a run counts.
    EXPECT_EQ(As<CInstructionNote>(r, 2).nAccidental, 1);
    EXPECT_EQ(As<CInstructionNote>(r, 3).nAccidental, 1);
    EXPECT_EQ(As<CInstructionNote>(r, 4).nAccidental, -1);
    EXPECT_EQ(As<CInstructionNote>(r, 5).nAccidental, -1);
    EXPECT_EQ(As<CInstructionNote>(r, 5).sLength, u"8");

    const auto rest = CMmlParser::Parse(u"R 2 .\n^4");
    EXPECT_EQ(As<CInstructionRest>(rest, 0).sLength, u"2.^4");
}

TEST(MmlParser, DefaultLengthNeedsWhiteSpaceAfterItsNumber) {
    const auto r = CMmlParser::Parse(u"l8 c l8 . c L2\n");
    EXPECT_EQ(As<CInstructionLength>(r, 0).nLength, 240);
    EXPECT_EQ(As<CInstructionLength>(r, 2).nLength, 360);
    EXPECT_EQ(As<CInstructionLength>(r, 4).nLength, 960);

    const auto glued = CMmlParser::Parse(u"c l8c");
    EXPECT_EQ(LoneError(glued).nPos, 2);
    EXPECT_EQ(LoneError(glued).sText, u"l8c");
    EXPECT_TRUE(IsError(CMmlParser::Parse(u"l0 c")));
}

TEST(MmlParser, ValueRanges) {
    const auto ok = CMmlParser::Parse(u"v0 v127 o-2 o+8 o 3 @0 @127 t120.5 t 60. <>");
    ASSERT_EQ(ok.vInstruction.size(), 11u);
    EXPECT_EQ(As<CInstructionVelocity>(ok, 1).nVelocity, 127);
    EXPECT_EQ(As<CInstructionOctave>(ok, 2).nOctave, -2);
    EXPECT_EQ(As<CInstructionOctave>(ok, 3).nOctave, 8);
    EXPECT_EQ(As<CInstructionOctave>(ok, 4).nOctave, 3);
    EXPECT_EQ(As<CInstructionProgramchange>(ok, 6).nProgram, 127);
    EXPECT_DOUBLE_EQ(As<CInstructionTempo>(ok, 7).dTempo, 120.5);
    EXPECT_DOUBLE_EQ(As<CInstructionTempo>(ok, 8).dTempo, 60.0);
    EXPECT_TRUE(As<CInstructionOctaveUpDown>(ok, 9).bUp);
    EXPECT_FALSE(As<CInstructionOctaveUpDown>(ok, 10).bUp);

    for (const char16_t* bad :
         {u"v128", u"@200", u"o9", u"o-3", u"t0", u"t0.0", u"v99999999999999999999",
          u"@99999999999999999999", u"o99999999999999999999"}) {
        EXPECT_EQ(LoneError(CMmlParser::Parse(bad)).sText, bad);
    }
    // Too large for a double: no infinite tempo.
    EXPECT_TRUE(IsError(CMmlParser::Parse(u"t" + std::u16string(400, u'9'))));
}

TEST(MmlParser, SyntaxErrorDropsEverythingAndRunsToTheLineEnd) {
    const auto r = CMmlParser::Parse(u"c d\ne x f\ng");
    const auto& e = LoneError(r);
    EXPECT_EQ(e.sText, u"x f");
    EXPECT_EQ(e.nPos, 6);
    EXPECT_EQ(e.sMessage, kSyntaxError);
    EXPECT_EQ(CMmlParser::LineOf(r.sText, e.nPos), 2);

    const auto third = CMmlParser::Parse(u"c\n\n  ?");
    EXPECT_EQ(CMmlParser::LineOf(third.sText, LoneError(third).nPos), 3);

    // Characters outside ASCII are errors as well, counted in UTF-16 units.
    const auto wide = CMmlParser::Parse(u"c😀d\nc");
    EXPECT_EQ(LoneError(wide).nPos, 1);
    EXPECT_EQ(LoneError(wide).sText, u"😀d");
}

TEST(MmlParser, LineOfCountsLineFeedsBefore) {
    EXPECT_EQ(CMmlParser::LineOf(u"a\nb\nc", 0), 1);
    EXPECT_EQ(CMmlParser::LineOf(u"a\nb\nc", 1), 1);
    EXPECT_EQ(CMmlParser::LineOf(u"a\nb\nc", 2), 2);
    EXPECT_EQ(CMmlParser::LineOf(u"a\nb\nc", 4), 3);
    EXPECT_EQ(CMmlParser::LineOf(u"a\nb\nc", 1000), 3);
    EXPECT_EQ(CMmlParser::LineOf(u"a\nb\nc", -5), 1);
}

TEST(MmlParser, CommentsLeaveOnlyTheirLineFeeds) {
    const auto inline_ = CMmlParser::Parse(u"/* a */c");
    ASSERT_EQ(inline_.vInstruction.size(), 1u);
    EXPECT_EQ(inline_.vInstruction[0]->nPos, 0);
    EXPECT_EQ(inline_.sText, u"c");

    const auto spanning = CMmlParser::Parse(u"c /* one\ntwo */ d\nx");
    EXPECT_EQ(spanning.sText, u"c \n d\nx");
    EXPECT_EQ(CMmlParser::LineOf(spanning.sText, LoneError(spanning).nPos), 3);

    // Line comments go first: "//" inside a block comment takes its "*/" with it.
    const auto nested = CMmlParser::Parse(u"/* a // b */ c\nd */e");
    EXPECT_EQ(nested.sText, u"\ne");

    EXPECT_EQ(CMmlParser::Parse(u"c//x\n/").sText, u"c\n/");
    EXPECT_EQ(CMmlParser::Parse(u"/*/ c */d").sText, u"d");
    EXPECT_EQ(CMmlParser::Parse(u"/* unclosed c").sText, u"/* unclosed c");

    // Japanese text in comments is fine.
    const auto japanese = CMmlParser::Parse(u"// メロディ\nc /* 伴奏 */ d");
    EXPECT_EQ(japanese.vInstruction.size(), 2u);
}

TEST(MmlParser, EachCommentIsRemovedWhereItStands) {
    // "//ab" is the beginning of "//abc": the second comment must go as a whole.
    const auto r = CMmlParser::Parse(u"c //ab\nd //abc\ne");
    EXPECT_EQ(r.sText, u"c \nd \ne");
    ASSERT_EQ(r.vInstruction.size(), 3u);
    EXPECT_EQ(r.vInstruction[2]->nPos, 6);

    // The same for block comments: "/*a*/" also ends the later "/*b/*a*/".
    const auto block = CMmlParser::Parse(u"/*a*/ c /*b/*a*/ d\n/*a*/e");
    EXPECT_EQ(block.sText, u" c  d\ne");
    EXPECT_EQ(block.vInstruction.size(), 3u);
}

TEST(MmlParser, EngineLimitsBecomeSyntaxErrors) {
    // Patterns with a repeated group run out of the engine's stack on long input; that must
    // come back as a syntax error, not as an exception.
    const std::u16string longComment = u"c\n/*" + std::u16string(300000, u'x') + u"*/ d";
    const auto comment = CMmlParser::Parse(longComment);
    EXPECT_EQ(LoneError(comment).sMessage, kSyntaxError);
    EXPECT_EQ(CMmlParser::LineOf(comment.sText, LoneError(comment).nPos), 2);

    const std::u16string longNote = u"c d" + std::u16string(300000, u'.') + u" e";
    const auto note = CMmlParser::Parse(longNote);
    EXPECT_EQ(LoneError(note).sMessage, kSyntaxError);
    EXPECT_EQ(LoneError(note).nPos, 2);

    // Ordinary sizes are well within the limits; long white space is no problem at all.
    const auto fine =
        CMmlParser::Parse(u"/*" + std::u16string(5000, u'x') + u"*/c" +
                          std::u16string(300000, u' ') + u"d4" + std::u16string(5000, u'.'));
    EXPECT_EQ(fine.vInstruction.size(), 2u);
}

TEST(MmlLength, Evaluation) {
    struct {
        const char16_t* text;
        uint32_t nDefault;
        uint32_t expected;
    } const cases[] = {
        {u"", 480, 480},    {u"", 240, 240},
        {u"4", 240, 480},   {u"8", 480, 240},
        {u"3", 480, 640},   {u"7", 480, 274},
        {u"1", 480, 1920},  {u"4.", 480, 720},
        {u"4..", 480, 840}, {u"4...", 480, 900},
        {u".", 240, 360},   {u"4.^8", 480, 960},
        {u"^", 480, 960},   {u"2^4", 480, 1440},
        {u"4.5", 480, 720}, {u"3000", 480, 0},
        {u"8^^", 100, 440}, {u"1..........................................", 480, 3836},
    };
    for (const auto& c : cases) {
        const auto length = CMmlParser::EvaluateLength(c.text, c.nDefault);
        ASSERT_TRUE(length.has_value()) << std::u16string(c.text).size();
        EXPECT_EQ(*length, c.expected) << std::u16string(c.text).size();
    }
    EXPECT_FALSE(CMmlParser::EvaluateLength(u"0", 480));
    EXPECT_FALSE(CMmlParser::EvaluateLength(u"4^0", 480));
    EXPECT_FALSE(CMmlParser::EvaluateLength(u"99999999999", 480));
    // A total beyond 32 bits is invalid rather than wrapped.
    EXPECT_FALSE(CMmlParser::EvaluateLength(u"^", 0xC0000000u));
}
