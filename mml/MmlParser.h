// MML parser: removes the comments of a track's MML text and cuts the rest into a list of
// instructions (port declarations and switches, notes, rests, lengths, octaves, velocity,
// program and tempo), each remembering the text it was made from and where it stood.
// Positions count UTF-16 code units of the comment-free text.
#pragma once

#include <cstdint>
#include <memory>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

namespace DUve::Sequencer {

enum class EInstructionKind {
    Error,
    DeclarePort,
    Port,
    Note,
    Rest,
    OctaveUpDown,
    Length,
    Velocity,
    Octave,
    Programchange,
    Tempo,
};

class CInstruction {
public:
    virtual ~CInstruction() = default;
    virtual EInstructionKind GetKind() const = 0;

    int32_t nPos = 0;      // offset of the instruction in the comment-free text
    std::u16string sText;  // the whole text the instruction was made from
};

template <EInstructionKind Kind>
class CInstructionT : public CInstruction {
public:
    static constexpr EInstructionKind kKind = Kind;
    EInstructionKind GetKind() const override { return Kind; }
};

class CInstructionError : public CInstructionT<EInstructionKind::Error> {
public:
    std::u16string sMessage;
};

class CInstructionDeclarePort : public CInstructionT<EInstructionKind::DeclarePort> {
public:
    std::u16string sName;
    std::u16string sInstrument;
    uint8_t nChannel = 0;  // 0-15
};

class CInstructionPort : public CInstructionT<EInstructionKind::Port> {
public:
    std::u16string sName;
};

class CInstructionNote : public CInstructionT<EInstructionKind::Note> {
public:
    uint8_t nTone = 0;  // semitone of the letter: c 0, d 2, e 4, f 5, g 7, a 9, b 11
    int8_t nAccidental = 0;
    std::u16string sLength;  // length text without white space, evaluated when compiling
};

class CInstructionRest : public CInstructionT<EInstructionKind::Rest> {
public:
    std::u16string sLength;
};

class CInstructionOctaveUpDown : public CInstructionT<EInstructionKind::OctaveUpDown> {
public:
    bool bUp = false;  // "<" up, ">" down
};

class CInstructionLength : public CInstructionT<EInstructionKind::Length> {
public:
    int32_t nLength = 480;  // new default length in steps
};

class CInstructionVelocity : public CInstructionT<EInstructionKind::Velocity> {
public:
    uint8_t nVelocity = 100;  // 0-127
};

class CInstructionOctave : public CInstructionT<EInstructionKind::Octave> {
public:
    int32_t nOctave = 4;  // -2 to 8
};

class CInstructionProgramchange : public CInstructionT<EInstructionKind::Programchange> {
public:
    uint8_t nProgram = 0;  // 0-127
};

class CInstructionTempo : public CInstructionT<EInstructionKind::Tempo> {
public:
    double dTempo = 120.0;  // quarter notes per minute, above 0
};

using CInstructionPtr = std::shared_ptr<const CInstruction>;

struct CMmlParseResult {
    std::u16string sText;                       // the comment-free text positions refer to
    std::vector<CInstructionPtr> vInstruction;  // a lone CInstructionError on a syntax error
};

class CMmlParser {
public:
    static constexpr uint32_t kWholeNote = 1920;  // steps
    static constexpr uint32_t kDefaultLength = 480;

    // Removes the comments and tokenises. Never fails and never throws: a syntax error
    // (including a pattern the regular-expression engine gives up on) leaves exactly one
    // CInstructionError in the list.
    static CMmlParseResult Parse(const std::u16string& mml);

    // 1 plus the line feeds before `pos` in `text` (positions outside are clamped).
    static int LineOf(std::u16string_view text, int64_t pos);

    // Steps of a length text without white space: segments joined by "^", each the
    // default or 1920 / n, grown by its dots. Nothing when a number reads as 0 or does
    // not fit, or when the total exceeds 32 bits.
    static std::optional<uint32_t> EvaluateLength(std::u16string_view text, uint32_t nDefault);
};

}  // namespace DUve::Sequencer
