#include "mml/MmlParser.h"

#include <algorithm>
#include <array>
#include <boost/regex.hpp>
#include <charconv>
#include <exception>
#include <limits>

namespace DUve::Sequencer {

namespace {

// The regular expressions run on std::wstring (32-bit wchar_t) with one element per UTF-16
// code unit, so positions and lengths are the same in both texts. The MML syntax itself
// is ASCII; other characters only appear in comments and names.
std::wstring ToWide(std::u16string_view s) {
    return std::wstring(s.begin(), s.end());
}

std::u16string ToU16(std::wstring::const_iterator first, std::wstring::const_iterator last) {
    std::u16string out;
    out.reserve(static_cast<size_t>(last - first));
    for (; first != last; ++first) out.push_back(static_cast<char16_t>(*first));
    return out;
}

std::u16string ToU16(const std::wstring& s) {
    return ToU16(s.begin(), s.end());
}

constexpr char16_t kSyntaxError[] = u"文法エラー";
constexpr char16_t kChannelError[] = u"チャンネルは 0～15 で指定して下さい";

constexpr auto kPerl = boost::regex_constants::perl;
constexpr auto kNoCase = boost::regex_constants::perl | boost::regex_constants::icase;

struct CPatterns {
    boost::wregex reSpace{LR"(\s+)", kPerl};
    boost::wregex reDeclare{LR"(declare\s+port\s+([A-Z_]\w*)\s*=\s*([^;]+);)", kNoCase};
    boost::wregex reDeclareBody{LR"(([^:]*)\s*:\s*([0-9]{1,4})$)", kNoCase};
    boost::wregex rePort{LR"(port\s*\(([^\)]*)\))", kNoCase};
    boost::wregex reRest{LR"(r((\s|[0-9]|\.|\^)*))", kNoCase};
    boost::wregex reNote{LR"(([a-g])\s*(\+|-)*((\s|[0-9]|\.|\^)*))", kNoCase};
    boost::wregex reLength{LR"(l\s*([0-9]+\s\.*))", kNoCase};
    boost::wregex reVelocity{LR"(v\s*([0-9]+))", kNoCase};
    boost::wregex reOctave{LR"(o\s*((\-|\+)?[0-9]+))", kNoCase};
    boost::wregex reProgram{LR"(@\s*([0-9]+))", kNoCase};
    boost::wregex reTempo{LR"(t\s*([0-9]+\.?[0-9]*))", kNoCase};
    boost::wregex reRestOfLine{LR"([^\n]*)", kPerl};
    boost::wregex reLineComment{LR"(//[^\n]*)", kPerl};
    // mod_s: the dot matches line breaks too, so a block comment may span lines.
    boost::wregex reBlockComment{LR"(/\*((?!\*/).)*\*/)", kPerl | boost::regex_constants::mod_s};

    // ASCII characters that "\s" matches; a token other than white space can start
    // only with the ASCII character its pattern names, which saves trying the others.
    std::array<bool, 128> bSpace{};

    CPatterns() {
        boost::wsmatch m;
        for (wchar_t c = 0; c < 128; ++c) {
            const std::wstring one(1, c);
            bSpace[static_cast<size_t>(c)] =
                boost::regex_search(one, m, reSpace, boost::match_continuous);
        }
    }
};

const CPatterns& Patterns() {
    static const CPatterns s_patterns;
    return s_patterns;
}

// A match that must begin exactly at `pos` (the text before it is visible to anchors).
bool MatchAt(const std::wstring& s, size_t pos, const boost::wregex& re, boost::wsmatch& m) {
    auto flags = boost::match_continuous;
    if (pos > 0) flags |= boost::match_prev_avail;
    return boost::regex_search(s.cbegin() + static_cast<std::ptrdiff_t>(pos), s.cend(), m, re,
                               flags);
}

int32_t ToPos(size_t pos) {
    return static_cast<int32_t>(
        std::min<size_t>(pos, static_cast<size_t>(std::numeric_limits<int32_t>::max())));
}

// The length characters of a captured length text: digits, dots and ties. The captures
// hold nothing else but white space, which this drops.
std::u16string LengthText(const boost::wssub_match& sub) {
    std::u16string out;
    for (auto it = sub.first; it != sub.second; ++it) {
        const wchar_t c = *it;
        if ((c >= L'0' && c <= L'9') || c == L'.' || c == L'^')
            out.push_back(static_cast<char16_t>(c));
    }
    return out;
}

// Unsigned decimal of a capture made of digits; nothing when it does not fit 32 bits.
template <class Char>
std::optional<uint32_t> ReadUnsigned(const Char* first, const Char* last) {
    if (first == last) return std::nullopt;
    uint64_t v = 0;
    for (; first != last; ++first) {
        if (*first < '0' || *first > '9') return std::nullopt;
        v = v * 10 + static_cast<uint64_t>(*first - '0');
        if (v > std::numeric_limits<uint32_t>::max()) return std::nullopt;
    }
    return static_cast<uint32_t>(v);
}

std::optional<uint32_t> ReadUnsigned(const boost::wssub_match& sub) {
    const std::wstring s = sub.str();
    return ReadUnsigned(s.data(), s.data() + s.size());
}

// Signed decimal with an optional sign.
std::optional<int64_t> ReadSigned(const boost::wssub_match& sub) {
    const std::wstring s = sub.str();
    size_t i = 0;
    bool negative = false;
    if (!s.empty() && (s[0] == L'-' || s[0] == L'+')) {
        negative = s[0] == L'-';
        i = 1;
    }
    const auto v = ReadUnsigned(s.data() + i, s.data() + s.size());
    if (!v) return std::nullopt;
    return negative ? -static_cast<int64_t>(*v) : static_cast<int64_t>(*v);
}

// Decimal number with an optional fraction ("120", "120.", "120.5"); nothing when it is
// out of the range of a double.
std::optional<double> ReadDouble(const boost::wssub_match& sub) {
    std::string narrow;
    for (auto it = sub.first; it != sub.second; ++it) {
        if (*it > 127) return std::nullopt;
        narrow.push_back(static_cast<char>(*it));
    }
    double v = 0;
    const auto [end, ec] = std::from_chars(narrow.data(), narrow.data() + narrow.size(), v);
    if (ec != std::errc() || end != narrow.data() + narrow.size()) return std::nullopt;
    return v;
}

class CTokenizer {
public:
    explicit CTokenizer(const std::wstring& text) : m_s(text), m_p(Patterns()) {}

    // Fills `out`; on a syntax error `out` holds only the error.
    void Run(std::vector<CInstructionPtr>& out) {
        size_t cur = 0;
        try {
            while (cur < m_s.size()) {
                if (!Step(cur, out)) return;
            }
        } catch (const std::exception&) {
            // The engine gave up (too complex or too deep); report it as a syntax error here.
            out.clear();
            out.push_back(Error(cur, RestOfLine(cur), kSyntaxError));
        }
    }

    std::u16string RestOfLine(size_t pos) const {
        try {
            boost::wsmatch m;
            if (MatchAt(m_s, pos, m_p.reRestOfLine, m)) return ToU16(m[0].first, m[0].second);
        } catch (const std::exception&) {
        }
        const size_t end = std::min(m_s.find(L'\n', pos), m_s.size());
        return ToU16(m_s.cbegin() + static_cast<std::ptrdiff_t>(pos),
                     m_s.cbegin() + static_cast<std::ptrdiff_t>(end));
    }

    static CInstructionPtr Error(size_t pos, std::u16string text, std::u16string message) {
        auto e = std::make_shared<CInstructionError>();
        e->nPos = ToPos(pos);
        e->sText = std::move(text);
        e->sMessage = std::move(message);
        return e;
    }

private:
    template <class T>
    std::shared_ptr<T> Make(size_t pos, const boost::wsmatch& m) const {
        auto i = std::make_shared<T>();
        i->nPos = ToPos(pos);
        i->sText = ToU16(m[0].first, m[0].second);
        return i;
    }

    // One token at `cur`; false when parsing ended with an error.
    bool Step(size_t& cur, std::vector<CInstructionPtr>& out) {
        const wchar_t c = m_s[cur];
        const bool bAscii = c >= 0 && c < 128;
        const wchar_t lower = bAscii && c >= L'A' && c <= L'Z' ? c + (L'a' - L'A') : c;
        const auto may = [&](wchar_t first) { return !bAscii || lower == first; };
        boost::wsmatch m;

        if (!bAscii || m_p.bSpace[static_cast<size_t>(c)]) {
            if (MatchAt(m_s, cur, m_p.reSpace, m)) {
                cur += static_cast<size_t>(m.length(0));
                return true;
            }
        }
        if (may(L'd') && MatchAt(m_s, cur, m_p.reDeclare, m)) return Declare(cur, m, out);
        if (may(L'p') && MatchAt(m_s, cur, m_p.rePort, m)) {
            auto i = Make<CInstructionPort>(cur, m);
            i->sName = ToU16(m[1].first, m[1].second);
            return Append(cur, std::move(i), out);
        }
        if (may(L'r') && MatchAt(m_s, cur, m_p.reRest, m)) {
            auto i = Make<CInstructionRest>(cur, m);
            i->sLength = LengthText(m[1]);
            return Append(cur, std::move(i), out);
        }
        if ((!bAscii || (lower >= L'a' && lower <= L'g')) && MatchAt(m_s, cur, m_p.reNote, m)) {
            static constexpr uint8_t kTone[] = {9, 11, 0, 2, 4, 5, 7};  // a b c d e f g
            const wchar_t letter = *m[1].first;
            const wchar_t l = letter >= L'A' && letter <= L'Z' ? letter + (L'a' - L'A') : letter;
            if (l < L'a' || l > L'g') return Fail(cur, out);
            auto i = Make<CInstructionNote>(cur, m);
            i->nTone = kTone[l - L'a'];
            int accidental = 0;
            for (auto it = m[2].first; it != m[2].second; ++it) accidental += *it == L'+' ? 1 : -1;
            i->nAccidental = static_cast<int8_t>(std::clamp(accidental, -128, 127));
            i->sLength = LengthText(m[3]);
            return Append(cur, std::move(i), out);
        }
        if (may(L'l') && MatchAt(m_s, cur, m_p.reLength, m)) {
            const std::u16string text = LengthText(m[1]);
            const auto length = CMmlParser::EvaluateLength(text, CMmlParser::kDefaultLength);
            if (length && *length <= static_cast<uint32_t>(std::numeric_limits<int32_t>::max())) {
                auto i = Make<CInstructionLength>(cur, m);
                i->nLength = static_cast<int32_t>(*length);
                return Append(cur, std::move(i), out);
            }
        }
        if (may(L'v') && MatchAt(m_s, cur, m_p.reVelocity, m)) {
            const auto v = ReadUnsigned(m[1]);
            if (v && *v <= 127) {
                auto i = Make<CInstructionVelocity>(cur, m);
                i->nVelocity = static_cast<uint8_t>(*v);
                return Append(cur, std::move(i), out);
            }
        }
        if (may(L'o') && MatchAt(m_s, cur, m_p.reOctave, m)) {
            const auto v = ReadSigned(m[1]);
            if (v && *v >= -2 && *v <= 8) {
                auto i = Make<CInstructionOctave>(cur, m);
                i->nOctave = static_cast<int32_t>(*v);
                return Append(cur, std::move(i), out);
            }
        }
        if (may(L'@') && MatchAt(m_s, cur, m_p.reProgram, m)) {
            const auto v = ReadUnsigned(m[1]);
            if (v && *v <= 127) {
                auto i = Make<CInstructionProgramchange>(cur, m);
                i->nProgram = static_cast<uint8_t>(*v);
                return Append(cur, std::move(i), out);
            }
        }
        if (may(L't') && MatchAt(m_s, cur, m_p.reTempo, m)) {
            const auto v = ReadDouble(m[1]);
            if (v && *v > 0) {
                auto i = Make<CInstructionTempo>(cur, m);
                i->dTempo = *v;
                return Append(cur, std::move(i), out);
            }
        }
        if (c == L'<' || c == L'>') {
            auto i = std::make_shared<CInstructionOctaveUpDown>();
            i->nPos = ToPos(cur);
            i->sText = std::u16string(1, static_cast<char16_t>(c));
            i->bUp = c == L'<';
            return Append(cur, std::move(i), out);
        }
        return Fail(cur, out);
    }

    bool Declare(size_t& cur, const boost::wsmatch& m, std::vector<CInstructionPtr>& out) {
        const std::wstring body = m[2].str();
        boost::wsmatch b;
        std::optional<uint32_t> channel;
        if (boost::regex_search(body.cbegin(), body.cend(), b, m_p.reDeclareBody,
                                boost::match_continuous))
            channel = ReadUnsigned(b[2]);
        if (!channel) {
            out.clear();
            out.push_back(Error(cur, ToU16(m[0].first, m[0].second), kSyntaxError));
            return false;
        }
        if (*channel > 15) {
            out.clear();
            out.push_back(Error(cur, ToU16(m[0].first, m[0].second), kChannelError));
            return false;
        }
        auto i = Make<CInstructionDeclarePort>(cur, m);
        i->sName = ToU16(m[1].first, m[1].second);
        i->sInstrument = ToU16(b[1].first, b[1].second);
        i->nChannel = static_cast<uint8_t>(*channel);
        return Append(cur, std::move(i), out);
    }

    bool Append(size_t& cur, std::shared_ptr<CInstruction> i, std::vector<CInstructionPtr>& out) {
        // Every pattern consumes at least its first character; never stand still.
        cur += std::max<size_t>(i->sText.size(), 1);
        out.push_back(std::move(i));
        return true;
    }

    bool Fail(size_t cur, std::vector<CInstructionPtr>& out) const {
        out.clear();
        out.push_back(Error(cur, RestOfLine(cur), kSyntaxError));
        return false;
    }

    const std::wstring& m_s;
    const CPatterns& m_p;
};

// Removes line comments, then block comments (keeping their line feeds), each where it
// stands. The next search starts where the removed comment ended: the text before it held
// no comment opening, and no new one forms across the removal (for a line comment a line
// feed or the end follows; a "/" right before a block comment would have begun a line
// comment). False when the regular-expression engine gave up; `text` then holds what was
// cleaned so far and `errorPos` where.
bool RemoveComments(std::wstring& text, size_t& errorPos) {
    const CPatterns& p = Patterns();
    std::wstring out;
    out.reserve(text.size());
    size_t pos = 0;
    const auto fail = [&] {
        errorPos = out.size();
        out.append(text, pos, std::wstring::npos);
        text.swap(out);
        return false;
    };
    try {
        boost::wsmatch m;
        for (;;) {
            const size_t start = text.find(L"//", pos);
            if (start == std::wstring::npos) break;
            out.append(text, pos, start - pos);
            pos = start;
            if (!MatchAt(text, start, p.reLineComment, m)) break;
            pos = start + static_cast<size_t>(m.length(0));
        }
        out.append(text, pos, std::wstring::npos);
        text.swap(out);
        out.clear();
        pos = 0;

        for (;;) {
            const size_t start = text.find(L"/*", pos);
            // A comment needs a closing "*/" after its opening; without one no later
            // opening can close either.
            if (start == std::wstring::npos || text.find(L"*/", start + 2) == std::wstring::npos)
                break;
            out.append(text, pos, start - pos);
            pos = start;
            if (!MatchAt(text, start, p.reBlockComment, m)) break;
            const size_t end = start + static_cast<size_t>(m.length(0));
            const size_t lineFeeds = static_cast<size_t>(
                std::count(text.begin() + static_cast<std::ptrdiff_t>(start),
                           text.begin() + static_cast<std::ptrdiff_t>(end), L'\n'));
            out.append(lineFeeds, L'\n');
            pos = end;
        }
        out.append(text, pos, std::wstring::npos);
        text.swap(out);
        return true;
    } catch (const std::exception&) {
        return fail();
    }
}

}  // namespace

CMmlParseResult CMmlParser::Parse(const std::u16string& mml) {
    CMmlParseResult result;
    try {
        std::wstring text = ToWide(mml);
        size_t errorPos = 0;
        if (!RemoveComments(text, errorPos)) {
            const CTokenizer tokenizer(text);
            result.vInstruction.push_back(
                CTokenizer::Error(errorPos, tokenizer.RestOfLine(errorPos), kSyntaxError));
        } else {
            CTokenizer(text).Run(result.vInstruction);
        }
        result.sText = ToU16(text);
    } catch (const std::exception&) {
        // Out of memory: an error that needs no further allocation of the text.
        result.sText.clear();
        result.vInstruction.clear();
        result.vInstruction.push_back(CTokenizer::Error(0, {}, kSyntaxError));
    }
    return result;
}

int CMmlParser::LineOf(std::u16string_view text, int64_t pos) {
    const size_t end = static_cast<size_t>(std::clamp<int64_t>(pos, 0, text.size()));
    const auto n = std::count(text.begin(), text.begin() + static_cast<std::ptrdiff_t>(end), u'\n');
    return static_cast<int>(std::min<std::ptrdiff_t>(n, std::numeric_limits<int>::max() - 1)) + 1;
}

std::optional<uint32_t> CMmlParser::EvaluateLength(std::u16string_view text, uint32_t nDefault) {
    uint64_t total = 0;
    size_t i = 0;
    for (;;) {
        uint64_t segment = nDefault;
        size_t digits = i;
        while (digits < text.size() && text[digits] >= u'0' && text[digits] <= u'9') ++digits;
        if (digits > i) {
            const auto n = ReadUnsigned(text.data() + i, text.data() + digits);
            if (!n || *n == 0) return std::nullopt;
            segment = kWholeNote / *n;
            i = digits;
        }
        uint64_t term = segment;
        while (i < text.size() && text[i] == u'.') {
            term /= 2;
            segment += term;
            ++i;
        }
        total += segment;
        if (total > std::numeric_limits<uint32_t>::max()) return std::nullopt;
        if (i < text.size() && text[i] == u'^') {
            ++i;
            continue;
        }
        return static_cast<uint32_t>(total);
    }
}

}  // namespace DUve::Sequencer
