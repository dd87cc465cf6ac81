#include "mml/MmlCompiler.h"

#include <algorithm>
#include <bit>
#include <cmath>
#include <exception>
#include <optional>
#include <string>
#include <typeinfo>
#include <vector>

#include "mml/MmlParser.h"

namespace DUve::Sequencer {

namespace {

using namespace CRSeq::Property;

constexpr char16_t kNoCurrentPort[] = u"トラックが指定されていません。";
constexpr char16_t kDuplicatePort[] = u"同名のトラックが複数定義されています。[%s]";
constexpr char16_t kUndeclaredPort[] = u"定義されてないトラックが指定されています。[%s]";
constexpr char16_t kBadLength[] = u"音符の長さの指定が不正です。[%s]";
constexpr char16_t kUpdatePortFailed[] = u"ポートのプロパティ設定でエラーが発生しました";
constexpr char16_t kCreatePortFailed[] = u"ポートの作成でエラーが発生しました";
constexpr char16_t kDeleteFailed[] = u"イベントの削除でエラーが発生しました";
constexpr char16_t kInsertFailed[] = u"イベントの作成でエラーが発生しました";
constexpr char16_t kCompleted[] = u"コンパイル完了";

// The message with its "%s" replaced by `arg`.
std::u16string Fill(std::u16string_view message, const std::u16string& arg) {
    std::u16string out(message);
    const size_t at = out.find(u"%s");
    if (at != std::u16string::npos) out.replace(at, 2, arg);
    return out;
}

std::u16string Ascii(const std::string& s) {
    return std::u16string(s.begin(), s.end());
}

struct CPortContext {
    std::u16string sName;
    std::u16string sInstrument;
    uint8_t nChannel = 0;
    uint32_t nPosition = 0;  // step of the next note or rest
    int64_t nOctave = 4;     // no range is enforced on "<" and ">"
    uint8_t nVelocity = 100;
    uint32_t nDefaultLength = CMmlParser::kDefaultLength;
    CListEvent events;
    std::shared_ptr<const CSolutionDb::CPort> bound;  // the existing port of this name
};

// What makes two events of the kinds that MML generates equal (IsEqual): step, kind and
// fields. Events of other kinds, and tempos that equal nothing (NaN), have no key.
struct CMatchKey {
    uint32_t nStep = 0;
    uint8_t nKind = 0;
    uint64_t nValue = 0;

    auto operator<=>(const CMatchKey&) const = default;
};

std::optional<CMatchKey> KeyOf(uint32_t step, const CEventBase& e) {
    const std::type_info& type = typeid(e);
    if (type == typeid(CEventNote)) {
        const auto& n = static_cast<const CEventNote&>(e);
        return CMatchKey{step, 1,
                         (uint64_t{n.nNote} << 40) | (uint64_t{n.nVelocity} << 32) | n.nLength};
    }
    if (type == typeid(CEventTempo)) {
        double d = static_cast<const CEventTempo&>(e).dTempo;
        if (std::isnan(d)) return std::nullopt;
        if (d == 0) d = 0.0;  // -0.0 equals 0.0
        return CMatchKey{step, 2, std::bit_cast<uint64_t>(d)};
    }
    if (type == typeid(CEventProgramChange))
        return CMatchKey{step, 3, static_cast<const CEventProgramChange&>(e).nProgram};
    return std::nullopt;
}

class CCompilation {
public:
    CCompilation(CSolutionDb& db, const CRUid& idTrack, const CMmlParseResult& parsed,
                 CRStringList& messages)
        : m_db(db), m_idTrack(idTrack), m_parsed(parsed), m_vMessages(messages) {}

    // Runs the instructions in memory; false after a fatal error.
    bool Execute() {
        for (const CInstructionPtr& ins : m_parsed.vInstruction) {
            if (!ins || !ExecuteOne(*ins)) return false;
        }
        return true;
    }

    // Writes the result; false after a fatal error (the caller rolls back).
    bool Update(CMmlCompiler::CChanged& changed) {
        for (const auto& port : m_db.SelectPortsOfTrack(m_idTrack)) {
            const auto it = m_mapPort.find(port->property.sTitle);
            if (it != m_mapPort.end() && !it->second.bound) it->second.bound = port;
        }
        for (auto& [name, ctx] : m_mapPort) {
            if (ctx.events.empty()) continue;  // an unused port is left as it is
            if (!UpdatePort(name, ctx, changed)) return false;
        }
        return true;
    }

private:
    bool ExecuteOne(const CInstruction& ins) {
        switch (ins.GetKind()) {
            case EInstructionKind::Error:
                Message(ins, static_cast<const CInstructionError&>(ins).sMessage);
                return false;
            case EInstructionKind::DeclarePort: {
                const auto& d = static_cast<const CInstructionDeclarePort&>(ins);
                const auto [it, inserted] = m_mapPort.try_emplace(d.sName);
                if (!inserted) {
                    Message(ins, Fill(kDuplicatePort, d.sName));
                    return false;
                }
                it->second.sName = d.sName;
                it->second.sInstrument = d.sInstrument;
                it->second.nChannel = d.nChannel;
                return true;
            }
            case EInstructionKind::Port: {
                const auto& p = static_cast<const CInstructionPort&>(ins);
                const auto it = m_mapPort.find(p.sName);
                if (it == m_mapPort.end()) {
                    Message(ins, Fill(kUndeclaredPort, p.sName));
                    return false;
                }
                m_pCurrent = &it->second;
                return true;
            }
            default:
                break;
        }
        if (!m_pCurrent) {
            Message(ins, kNoCurrentPort);
            return false;
        }
        CPortContext& ctx = *m_pCurrent;
        switch (ins.GetKind()) {
            case EInstructionKind::Note:
                Note(static_cast<const CInstructionNote&>(ins), ctx);
                break;
            case EInstructionKind::Rest: {
                const auto& r = static_cast<const CInstructionRest&>(ins);
                ctx.nPosition += Length(ins, r.sLength, ctx);
                break;
            }
            case EInstructionKind::OctaveUpDown:
                ctx.nOctave += static_cast<const CInstructionOctaveUpDown&>(ins).bUp ? 1 : -1;
                break;
            case EInstructionKind::Length:
                ctx.nDefaultLength = static_cast<uint32_t>(
                    std::max(static_cast<const CInstructionLength&>(ins).nLength, 0));
                break;
            case EInstructionKind::Velocity:
                ctx.nVelocity = static_cast<const CInstructionVelocity&>(ins).nVelocity;
                break;
            case EInstructionKind::Octave:
                ctx.nOctave = static_cast<const CInstructionOctave&>(ins).nOctave;
                break;
            case EInstructionKind::Programchange:
                Add(ctx, std::make_shared<const CEventProgramChange>(
                             static_cast<const CInstructionProgramchange&>(ins).nProgram));
                break;
            case EInstructionKind::Tempo:
                Add(ctx, std::make_shared<const CEventTempo>(
                             static_cast<const CInstructionTempo&>(ins).dTempo));
                break;
            default:
                break;
        }
        return true;
    }

    void Note(const CInstructionNote& n, CPortContext& ctx) {
        const int64_t number = (ctx.nOctave + 2) * 12 + n.nTone + n.nAccidental;
        if (number < 0 || number > 127) return;  // out of range: dropped, no time passes
        const uint32_t length = Length(n, n.sLength, ctx);
        Add(ctx, std::make_shared<const CEventNote>(static_cast<uint8_t>(number), ctx.nVelocity,
                                                    length));
        ctx.nPosition += length;  // steps are 32-bit and wrap like them
    }

    // Identifiers are handed out when an event is actually inserted (FreshId): an event
    // that finds its stored equal keeps the stored one, and would waste a generated one.
    static void Add(CPortContext& ctx, std::shared_ptr<const CEventBase> property) {
        ctx.events.Insert(
            std::make_shared<const CEventCommon>(CRUid(), ctx.nPosition, std::move(property)));
    }

    static CEventPtr FreshId(const CEventPtr& event) {
        return std::make_shared<const CEventCommon>(CRUid::Generate(), event->nStep,
                                                    event->property);
    }

    // The length of a note or rest; an invalid text is reported and counts as 0 steps.
    uint32_t Length(const CInstruction& ins, const std::u16string& text, const CPortContext& ctx) {
        const auto length = CMmlParser::EvaluateLength(text, ctx.nDefaultLength);
        if (length) return *length;
        Message(ins, Fill(kBadLength, text));
        return 0;
    }

    void Message(const CInstruction& ins, const std::u16string& message) {
        if (!m_bLineIndex) {
            for (size_t i = 0; i < m_parsed.sText.size(); ++i)
                if (m_parsed.sText[i] == u'\n') m_vLineFeed.push_back(i);
            m_bLineIndex = true;
        }
        const size_t pos = static_cast<size_t>(std::max(ins.nPos, 0));
        const size_t line =
            1 + static_cast<size_t>(std::lower_bound(m_vLineFeed.begin(), m_vLineFeed.end(), pos) -
                                    m_vLineFeed.begin());
        m_vMessages.push_back(Ascii(std::to_string(line)) + u":" + ins.sText + u"\n " + message);
    }

    bool Fatal(const char16_t* message) {
        m_vMessages.emplace_back(message);
        return false;
    }

    bool UpdatePort(const std::u16string& name, CPortContext& ctx,
                    CMmlCompiler::CChanged& changed) {
        CRUid idPort;
        std::vector<std::shared_ptr<const CSolutionDb::CEvent>> existing;
        if (ctx.bound) {
            idPort = ctx.bound->idPort;
            const CPort& stored = ctx.bound->property;
            if (stored.sInstrument != ctx.sInstrument || stored.nChannel != ctx.nChannel) {
                CPort property = stored;
                property.sInstrument = ctx.sInstrument;
                property.nChannel = ctx.nChannel;
                if (!m_db.UpdatePort(idPort, property)) return Fatal(kUpdatePortFailed);
                changed.setIdChangedPort.insert(idPort);
                changed.mapPortProperty[idPort] = std::move(property);
            }
            existing = m_db.SelectEventsOfPort(idPort);
        } else {
            idPort = CRUid::Generate();
            CPort property(m_idTrack, name, ctx.sInstrument, ctx.nChannel);
            if (!m_db.CreatePort(idPort, property)) return Fatal(kCreatePortFailed);
            changed.setIdCreatedPort.insert(idPort);
            changed.mapPortProperty[idPort] = std::move(property);
        }

        CListEvent inserted;
        if (existing.empty()) {
            for (const CEventPtr& event : ctx.events) inserted.Insert(FreshId(event));
        } else {
            CRUidSet removed;
            Match(existing, ctx.events, inserted, removed);
            if (!removed.empty()) {
                const CSolutionDb::CDeleted deleted = m_db.Delete(removed);
                // Everything given must have gone, and nothing but events.
                if (!deleted.setSequence.empty() || !deleted.setTrack.empty() ||
                    !deleted.setPort.empty() || deleted.setEvent.size() != removed.size())
                    return Fatal(kDeleteFailed);
                changed.setIdDeletedEvent.insert(deleted.setEvent.begin(), deleted.setEvent.end());
            }
        }
        if (!inserted.empty() && !m_db.InsertEvents(idPort, inserted)) return Fatal(kInsertFailed);
        changed.mapCreatedEvent[idPort] = std::move(inserted);
        return true;
    }

    // Pairs each generated event (in step order) with the first stored event of the same
    // step that is equal to it and not yet taken. Unpaired generated events go to
    // `inserted`, unpaired stored ones to `removed`. One sort instead of a scan per event.
    static void Match(const std::vector<std::shared_ptr<const CSolutionDb::CEvent>>& existing,
                      const CListEvent& generated, CListEvent& inserted, CRUidSet& removed) {
        std::vector<std::pair<CMatchKey, size_t>> keyed;
        keyed.reserve(existing.size());
        for (size_t i = 0; i < existing.size(); ++i) {
            if (!existing[i]->property) continue;
            if (const auto key = KeyOf(existing[i]->nStep, *existing[i]->property))
                keyed.emplace_back(*key, i);
        }
        std::sort(keyed.begin(), keyed.end());  // equal keys stay in stored order
        std::vector<bool> kept(existing.size(), false);
        std::vector<uint32_t> taken(keyed.size(), 0);  // per run of equal keys, at its start

        for (const CEventPtr& event : generated) {
            const auto key = KeyOf(event->nStep, *event->property);
            bool paired = false;
            if (key) {
                const auto first =
                    std::lower_bound(keyed.begin(), keyed.end(), *key,
                                     [](const auto& a, const CMatchKey& k) { return a.first < k; });
                const size_t start = static_cast<size_t>(first - keyed.begin());
                const size_t at = start + (start < taken.size() ? taken[start] : 0);
                if (at < keyed.size() && keyed[at].first == *key) {
                    ++taken[start];
                    kept[keyed[at].second] = true;
                    paired = true;
                }
            }
            if (!paired) inserted.Insert(FreshId(event));
        }
        for (size_t i = 0; i < existing.size(); ++i)
            if (!kept[i]) removed.insert(existing[i]->idEvent);
    }

    CSolutionDb& m_db;
    const CRUid m_idTrack;
    const CMmlParseResult& m_parsed;
    CRStringList& m_vMessages;
    std::map<std::u16string, CPortContext> m_mapPort;  // by name, code unit order
    CPortContext* m_pCurrent = nullptr;
    std::vector<size_t> m_vLineFeed;
    bool m_bLineIndex = false;
};

}  // namespace

CMmlCompiler::CResult CMmlCompiler::Compile(CSolutionDb& db, const CRUid& idTrack) {
    CResult result;
    try {
        const auto track = db.GetTrack(idTrack);
        if (!track) return result;
        CSolutionDb::CTransaction transaction(db);
        const CMmlParseResult parsed = CMmlParser::Parse(track->sMml);
        CCompilation compilation(db, idTrack, parsed, result.vMessages);
        auto changed = std::make_shared<CChanged>();
        if (!compilation.Execute() || !compilation.Update(*changed) || !transaction.Commit()) {
            transaction.Rollback();
            return result;
        }
        result.vMessages.emplace_back(kCompleted);
        result.changed = std::move(changed);
    } catch (...) {
        // Out of memory and the like: the transaction scope has rolled back on the way out.
        result.changed.reset();
    }
    return result;
}

}  // namespace DUve::Sequencer
