// Shared by the MML fuzz target and the corpus replay test: parse one input (UTF-8 MML) and
// check what a parse promises: either one lone error or only recognised instructions, in
// text order, each standing at its position in the comment-free text.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>
#include <string_view>

#include "mml/MmlParser.h"
#include "runtime/RString.h"

namespace PalvorFuzz {

inline bool CheckMml(const uint8_t* data, size_t size) {
    using namespace DUve::Sequencer;
    const std::u16string mml =
        DUve::Utf8ToUtf16(std::string_view(reinterpret_cast<const char*>(data), size));
    const CMmlParseResult result = CMmlParser::Parse(mml);
    if (result.sText.size() > mml.size()) return false;  // comments only ever shrink it
    const auto& list = result.vInstruction;
    size_t next = 0;
    for (const auto& instruction : list) {
        if (!instruction || instruction->nPos < 0) return false;
        const size_t pos = static_cast<size_t>(instruction->nPos);
        if (pos < next || pos > result.sText.size()) return false;
        if (result.sText.compare(pos, instruction->sText.size(), instruction->sText) != 0)
            return false;
        if (instruction->GetKind() == EInstructionKind::Error) {
            if (list.size() != 1) return false;
        } else if (instruction->sText.empty()) {
            return false;
        }
        next = pos + instruction->sText.size();
        if (CMmlParser::LineOf(result.sText, instruction->nPos) < 1) return false;
    }
    return true;
}

}  // namespace PalvorFuzz
