// Property objects: the serializable value types of the sequence data model (sequence,
// track, port, the seven event kinds, one event with its position, and event lists).
// The same bytes travel in protocol commands and are stored in the solution database.
#pragma once

#include <cstdint>
#include <memory>
#include <set>
#include <string>
#include <string_view>
#include <typeinfo>

#include "runtime/RSerialize.h"
#include "runtime/RUid.h"

namespace DUve::CRSeq::Property {

class CEventBase;

class CBase {
public:
    using CFamily = CBase;
    virtual ~CBase() = default;
    virtual uint16_t GetSerializeId() const = 0;
    // Writes the fields to a storing archive; does nothing with a loading one.
    virtual void Serialize(CRArchive& ar) const = 0;
    // This object as an event kind, or null (a cheaper test than a dynamic cast).
    virtual const CEventBase* AsEvent() const { return nullptr; }
    // Registers the twelve classes of this family.
    static void RegisterClasses(CRSerializeT<CBase>::CRegistrar& registrar);
};

using CSerialize = CRSerializeT<CBase>;

struct CSequence : CFieldObjT<CSequence, CBase> {
    static constexpr std::string_view kTypeName = "DUve::CRSeq::Property::CSequence";
    std::u16string sTitle;

    CSequence() = default;
    explicit CSequence(std::u16string title) : sTitle(std::move(title)) {}
    explicit CSequence(CRArchive& ar) { Load(ar); }
    template <class Self, class F>
    static void Fields(Self& s, F&& f) {
        f(s.sTitle);
    }
    bool operator==(const CSequence& o) const { return sTitle == o.sTitle; }
};

struct CTrack : CFieldObjT<CTrack, CBase> {
    static constexpr std::string_view kTypeName = "DUve::CRSeq::Property::CTrack";
    std::u16string sTitle;

    CTrack() = default;
    explicit CTrack(std::u16string title) : sTitle(std::move(title)) {}
    explicit CTrack(CRArchive& ar) { Load(ar); }
    template <class Self, class F>
    static void Fields(Self& s, F&& f) {
        f(s.sTitle);
    }
    bool operator==(const CTrack& o) const { return sTitle == o.sTitle; }
};

struct CPort : CFieldObjT<CPort, CBase> {
    static constexpr std::string_view kTypeName = "DUve::CRSeq::Property::CPort";
    CRUid idTrack;
    std::u16string sTitle;
    std::u16string sInstrument;
    uint8_t nChannel = 0;
    bool bEnable = true;

    CPort() = default;
    CPort(const CRUid& track, std::u16string title, std::u16string instrument, uint8_t channel)
        : idTrack(track),
          sTitle(std::move(title)),
          sInstrument(std::move(instrument)),
          nChannel(channel),
          bEnable(true) {}
    explicit CPort(CRArchive& ar) { Load(ar); }
    template <class Self, class F>
    static void Fields(Self& s, F&& f) {
        f(s.idTrack, s.sTitle, s.sInstrument, s.nChannel, s.bEnable);
    }
    bool operator==(const CPort& o) const {
        return idTrack == o.idTrack && sTitle == o.sTitle && sInstrument == o.sInstrument &&
               nChannel == o.nChannel && bEnable == o.bEnable;
    }
};

// Root of the event kinds.
class CEventBase : public CBase {
public:
    const CEventBase* AsEvent() const final { return this; }
    // True when `other` is of the same kind with all fields equal.
    virtual bool IsEqual(const CEventBase& other) const = 0;
};

// An event kind: fields listed once (CFieldObjT), compared field by field.
template <class T>
class CEventT : public CFieldObjT<T, CEventBase> {
public:
    bool IsEqual(const CEventBase& other) const override {
        const T* pOther = dynamic_cast<const T*>(&other);
        if (!pOther || typeid(other) != typeid(T)) return false;
        const T& a = static_cast<const T&>(*this);
        const T& b = *pOther;
        bool equal = false;
        T::Fields(a, [&](const auto&... fa) {
            T::Fields(b, [&](const auto&... fb) { equal = ((fa == fb) && ...); });
        });
        return equal;
    }
};

struct CEventTempo : CEventT<CEventTempo> {
    static constexpr std::string_view kTypeName = "DUve::CRSeq::Property::CEventTempo";
    double dTempo = 120.0;  // quarter notes per minute

    CEventTempo() = default;
    explicit CEventTempo(double tempo) : dTempo(tempo) {}
    explicit CEventTempo(CRArchive& ar) { Load(ar); }
    template <class Self, class F>
    static void Fields(Self& s, F&& f) {
        f(s.dTempo);
    }
};

struct CEventMeter : CEventT<CEventMeter> {
    static constexpr std::string_view kTypeName = "DUve::CRSeq::Property::CEventMeter";
    uint8_t nBeats = 4;          // numerator
    uint16_t nBeatLength = 480;  // steps per beat: 1920 / denominator

    CEventMeter() = default;
    CEventMeter(uint8_t beats, uint16_t beatLength) : nBeats(beats), nBeatLength(beatLength) {}
    explicit CEventMeter(CRArchive& ar) { Load(ar); }
    template <class Self, class F>
    static void Fields(Self& s, F&& f) {
        f(s.nBeats, s.nBeatLength);
    }
};

struct CEventExclusive : CEventT<CEventExclusive> {
    static constexpr std::string_view kTypeName = "DUve::CRSeq::Property::CEventExclusive";
    CRBytes vData;  // without the leading F0 and the closing F7

    CEventExclusive() = default;
    explicit CEventExclusive(CRBytes data) : vData(std::move(data)) {}
    explicit CEventExclusive(CRArchive& ar) { Load(ar); }
    template <class Self, class F>
    static void Fields(Self& s, F&& f) {
        f(s.vData);
    }
};

struct CEventProgramChange : CEventT<CEventProgramChange> {
    static constexpr std::string_view kTypeName = "DUve::CRSeq::Property::CEventProgramChange";
    uint8_t nProgram = 0;

    CEventProgramChange() = default;
    explicit CEventProgramChange(uint8_t program) : nProgram(program) {}
    explicit CEventProgramChange(CRArchive& ar) { Load(ar); }
    template <class Self, class F>
    static void Fields(Self& s, F&& f) {
        f(s.nProgram);
    }
};

struct CEventPitchBend : CEventT<CEventPitchBend> {
    static constexpr std::string_view kTypeName = "DUve::CRSeq::Property::CEventPitchBend";
    int16_t nBend = 0;  // -8192..8191; the MIDI value is nBend + 8192

    CEventPitchBend() = default;
    explicit CEventPitchBend(int16_t bend) : nBend(bend) {}
    explicit CEventPitchBend(CRArchive& ar) { Load(ar); }
    template <class Self, class F>
    static void Fields(Self& s, F&& f) {
        f(s.nBend);
    }
};

struct CEventNote : CEventT<CEventNote> {
    static constexpr std::string_view kTypeName = "DUve::CRSeq::Property::CEventNote";
    uint8_t nNote = 40;
    uint8_t nVelocity = 127;
    uint32_t nLength = 480;  // steps

    CEventNote() = default;
    CEventNote(uint8_t note, uint8_t velocity, uint32_t length)
        : nNote(note), nVelocity(velocity), nLength(length) {}
    explicit CEventNote(CRArchive& ar) { Load(ar); }
    template <class Self, class F>
    static void Fields(Self& s, F&& f) {
        f(s.nNote, s.nVelocity, s.nLength);
    }
};

struct CEventControlChange : CEventT<CEventControlChange> {
    static constexpr std::string_view kTypeName = "DUve::CRSeq::Property::CEventControlChange";
    uint8_t nControl = 0;
    uint8_t nValue = 0;

    CEventControlChange() = default;
    CEventControlChange(uint8_t control, uint8_t value) : nControl(control), nValue(value) {}
    explicit CEventControlChange(CRArchive& ar) { Load(ar); }
    template <class Self, class F>
    static void Fields(Self& s, F&& f) {
        f(s.nControl, s.nValue);
    }
};

// One event: identifier, position in steps and an immutable event property.
class CEventCommon : public CObjT<CEventCommon, CBase> {
public:
    static constexpr std::string_view kTypeName = "DUve::CRSeq::Property::CEventCommon";
    // Smallest encoded size: identifier, step, serialize id.
    static constexpr size_t kMinEncodedSize = 16 + 4 + 2;

    CRUid idEvent;
    uint32_t nStep = 0;
    std::shared_ptr<const CEventBase> property;

    // Orders by step (unsigned, ascending); a multiset keeps equal steps in insertion order.
    struct CLessStep {
        bool operator()(const std::shared_ptr<const CEventCommon>& a,
                        const std::shared_ptr<const CEventCommon>& b) const {
            return a->nStep < b->nStep;
        }
    };

    CEventCommon() = default;
    CEventCommon(const CRUid& id, uint32_t step, std::shared_ptr<const CEventBase> prop)
        : idEvent(id), nStep(step), property(std::move(prop)) {}
    // Fails (archive error) unless an event kind follows the step.
    explicit CEventCommon(CRArchive& ar);
    void Serialize(CRArchive& ar) const override;
};

using CEventPtr = std::shared_ptr<const CEventCommon>;

// Events ordered by step, ties in insertion order.
class CListEvent : public CObjT<CListEvent, CBase> {
public:
    static constexpr std::string_view kTypeName = "DUve::CRSeq::Property::CListEvent";
    using CSet = std::multiset<CEventPtr, CEventCommon::CLessStep>;
    using const_iterator = CSet::const_iterator;

    CSet vEvents;

    CListEvent() = default;
    explicit CListEvent(CRArchive& ar);
    void Serialize(CRArchive& ar) const override;

    // Goes after every event already at the same step.
    const_iterator Insert(CEventPtr event);
    // Creates the event with a freshly generated identifier and returns that identifier.
    CRUid Insert(uint32_t step, std::shared_ptr<const CEventBase> property);
    const_iterator Erase(const_iterator it) { return vEvents.erase(it); }
    const_iterator begin() const { return vEvents.begin(); }
    const_iterator end() const { return vEvents.end(); }
    size_t size() const { return vEvents.size(); }
    bool empty() const { return vEvents.empty(); }
};

}  // namespace DUve::CRSeq::Property
