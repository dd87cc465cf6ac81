#include "model/RSeqSolution.h"

#include <algorithm>
#include <cstdio>
#include <exception>
#include <list>
#include <map>

#include "model/SolutionDb.h"
#include "runtime/RStatus.h"
#include "runtime/RForeignOutput.h"

namespace DUve {

using namespace CRSeq;

class CRSeqSolution::CInner {
public:
    enum class EKind { Sequence, Track, Port, Event };

    class CItem {
    public:
        // The index over every live item; it owns none of them.
        using CMap = std::map<CRUid, CItem*>;

        virtual ~CItem() = default;
        virtual const CRUid& GetId() const = 0;
        virtual EKind GetKind() const = 0;
    };

    class CTrack;
    class CPort;
    class CEvent;

    class CSequence : public CItem {
    public:
        static constexpr EKind kKind = EKind::Sequence;
        CSequence(CInner& parent, CSequencePtr info) : m_parent(parent), m_info(std::move(info)) {}
        const CRUid& GetId() const override { return m_info->idSequence; }
        EKind GetKind() const override { return kKind; }

        CInner& m_parent;
        CSequencePtr m_info;
        std::list<std::unique_ptr<CTrack>> m_listTrack;
    };

    class CTrack : public CItem {
    public:
        static constexpr EKind kKind = EKind::Track;
        CTrack(CSequence& parent, CTrackPtr info) : m_parent(parent), m_info(std::move(info)) {}
        const CRUid& GetId() const override { return m_info->idTrack; }
        EKind GetKind() const override { return kKind; }

        CSequence& m_parent;
        CTrackPtr m_info;
        std::list<std::unique_ptr<CPort>> m_listPort;
    };

    class CPort : public CItem {
    public:
        static constexpr EKind kKind = EKind::Port;
        CPort(CTrack& parent, CPortPtr info) : m_parent(parent), m_info(std::move(info)) {}
        const CRUid& GetId() const override { return m_info->idPort; }
        EKind GetKind() const override { return kKind; }

        CTrack& m_parent;
        CPortPtr m_info;
        // Sorted by step, equal steps in insertion order.
        std::vector<std::unique_ptr<CEvent>> m_vEvent;
    };

    class CEvent : public CItem {
    public:
        static constexpr EKind kKind = EKind::Event;
        CEvent(CPort& parent, CEventPtr info) : m_parent(parent), m_info(std::move(info)) {}
        const CRUid& GetId() const override { return m_info->idEvent; }
        EKind GetKind() const override { return kKind; }

        CPort& m_parent;
        CEventPtr m_info;
    };

    // The item of that identifier when it is of kind T.
    template <class T>
    T* Find(const CRUid& id) const {
        const auto it = m_map.find(id);
        if (it == m_map.end() || !it->second || it->second->GetKind() != T::kKind) return nullptr;
        return static_cast<T*>(it->second);
    }

    // Claims the identifier, then lets `make` build the item and link it to its parent.
    // Null when the identifier is taken.
    template <class Make>
    auto Create(const CRUid& id, Make&& make) -> decltype(make()) {
        const auto [it, inserted] = m_map.try_emplace(id, nullptr);
        if (!inserted) return nullptr;
        try {
            auto* item = make();
            it->second = item;
            return item;
        } catch (...) {
            m_map.erase(it);
            throw;
        }
    }

    // Declared before the items so that it outlives them.
    CItem::CMap m_map;
    std::list<std::unique_ptr<CSequence>> m_listSequence;
};

CRSeqSolution::CRSeqSolution() : m_pInner(std::make_unique<CInner>()) {}

CRSeqSolution::~CRSeqSolution() = default;

CRSeqSolution::CSequencePtr CRSeqSolution::CreateSequence(const CRUid& id,
                                                          const Property::CSequence& p) {
    return RunOrReport("creating a sequence in memory", [&]() -> CSequencePtr {
        CInner& inner = *m_pInner;
        const auto* item = inner.Create(id, [&] {
            auto info = std::make_shared<CInfoSequence>(CInfoSequence{id, p});
            auto owned = std::make_unique<CInner::CSequence>(inner, std::move(info));
            auto* raw = owned.get();
            inner.m_listSequence.push_back(std::move(owned));
            return raw;
        });
        return item ? item->m_info : nullptr;
    });
}

CRSeqSolution::CTrackPtr CRSeqSolution::CreateTrack(const CRUid& idSequence, const CRUid& idTrack,
                                                    const Property::CTrack& p) {
    return RunOrReport("creating a track in memory", [&]() -> CTrackPtr {
        CInner& inner = *m_pInner;
        auto* sequence = inner.Find<CInner::CSequence>(idSequence);
        if (!sequence) return nullptr;
        const auto* item = inner.Create(idTrack, [&] {
            auto info = std::make_shared<CInfoTrack>(CInfoTrack{idTrack, sequence->m_info, p, {}});
            auto owned = std::make_unique<CInner::CTrack>(*sequence, std::move(info));
            auto* raw = owned.get();
            sequence->m_listTrack.push_back(std::move(owned));
            return raw;
        });
        return item ? item->m_info : nullptr;
    });
}

CRSeqSolution::CPortPtr CRSeqSolution::CreatePort(const CRUid& idPort, const Property::CPort& p) {
    return RunOrReport("creating a port in memory", [&]() -> CPortPtr {
        CInner& inner = *m_pInner;
        auto* track = inner.Find<CInner::CTrack>(p.idTrack);
        if (!track) return nullptr;
        const auto* item = inner.Create(idPort, [&] {
            auto info = std::make_shared<CInfoPort>(CInfoPort{idPort, track->m_info, p});
            auto owned = std::make_unique<CInner::CPort>(*track, std::move(info));
            auto* raw = owned.get();
            track->m_listPort.push_back(std::move(owned));
            return raw;
        });
        return item ? item->m_info : nullptr;
    });
}

std::vector<CRSeqSolution::CEventPtr> CRSeqSolution::CreateEvent(const CRUid& idPort,
                                                                 const Property::CListEvent& list) {
    return RunOrReport("creating events in memory", [&] {
        std::vector<CEventPtr> created;
        CInner& inner = *m_pInner;
        auto* port = inner.Find<CInner::CPort>(idPort);
        if (!port) return created;
        created.reserve(list.size());
        auto& events = port->m_vEvent;
        events.reserve(events.size() + list.size());
        for (const auto& event : list) {
            if (!event) continue;
            const auto* item = inner.Create(event->idEvent, [&] {
                auto info = std::make_shared<CInfoEvent>(
                    CInfoEvent{event->idEvent, port->m_info, event->nStep, event->property});
                auto owned = std::make_unique<CInner::CEvent>(*port, std::move(info));
                auto* raw = owned.get();
                // After every event at the same step.
                const auto at = std::upper_bound(
                    events.begin(), events.end(), event->nStep,
                    [](uint32_t step, const auto& e) { return step < e->m_info->nStep; });
                events.insert(at, std::move(owned));
                return raw;
            });
            if (item) created.push_back(item->m_info);
        }
        return created;
    });
}

std::pair<CRSeqSolution::CTrackPtr, CRSeqSolution::CTrackPtr> CRSeqSolution::ChangeTrack(
    const CRUid& idTrack, const Property::CTrack* property, const std::u16string* mml) {
    return RunOrReport("changing a track in memory", [&]() -> std::pair<CTrackPtr, CTrackPtr> {
        auto* track = m_pInner->Find<CInner::CTrack>(idTrack);
        if (!track) return {};
        const CTrackPtr previous = track->m_info;
        auto next = std::make_shared<CInfoTrack>(*previous);
        if (property) next->property.sTitle = property->sTitle;
        if (mml) next->sMml = *mml;
        if (next->property == previous->property && next->sMml == previous->sMml)
            return {previous, previous};
        track->m_info = next;
        return {std::move(next), previous};
    });
}

CRSeqSolution::CSequencePtr CRSeqSolution::FindSequence(const CRUid& id) {
    const auto* sequence = m_pInner->Find<CInner::CSequence>(id);
    return sequence ? sequence->m_info : nullptr;
}

std::tuple<CRSeqSolution::CTrackPtr, CRSeqSolution::CSequencePtr> CRSeqSolution::FindTrack(
    const CRUid& id) {
    const auto* track = m_pInner->Find<CInner::CTrack>(id);
    if (!track) return {};
    return {track->m_info, track->m_parent.m_info};
}

std::tuple<CRSeqSolution::CTrackPtr, CRSeqSolution::CSequencePtr, CRSeqSolution::CPortPtr>
CRSeqSolution::FindPort(const CRUid& id) {
    const auto* port = m_pInner->Find<CInner::CPort>(id);
    if (!port) return {};
    const auto& track = port->m_parent;
    return {track.m_info, track.m_parent.m_info, port->m_info};
}

std::tuple<CRSeqSolution::CTrackPtr, CRSeqSolution::CSequencePtr, CRSeqSolution::CPortPtr,
           CRSeqSolution::CEventPtr>
CRSeqSolution::FindEvent(const CRUid& id) {
    const auto* event = m_pInner->Find<CInner::CEvent>(id);
    if (!event) return {};
    const auto& port = event->m_parent;
    const auto& track = port.m_parent;
    return {track.m_info, track.m_parent.m_info, port.m_info, event->m_info};
}

std::vector<CRSeqSolution::CSequencePtr> CRSeqSolution::GetSequences() {
    return RunOrReport("listing sequences", [&] {
        std::vector<CSequencePtr> result;
        result.reserve(m_pInner->m_listSequence.size());
        for (const auto& sequence : m_pInner->m_listSequence) result.push_back(sequence->m_info);
        return result;
    });
}

std::vector<CRSeqSolution::CTrackPtr> CRSeqSolution::GetTracksOfSequence(const CRUid& idSequence) {
    return RunOrReport("listing tracks", [&] {
        std::vector<CTrackPtr> result;
        if (const auto* sequence = m_pInner->Find<CInner::CSequence>(idSequence)) {
            result.reserve(sequence->m_listTrack.size());
            for (const auto& track : sequence->m_listTrack) result.push_back(track->m_info);
        }
        return result;
    });
}

std::vector<CRSeqSolution::CPortPtr> CRSeqSolution::GetPortsOfTrack(const CRUid& idTrack) {
    return RunOrReport("listing ports", [&] {
        std::vector<CPortPtr> result;
        if (const auto* track = m_pInner->Find<CInner::CTrack>(idTrack)) {
            result.reserve(track->m_listPort.size());
            for (const auto& port : track->m_listPort) result.push_back(port->m_info);
        }
        return result;
    });
}

std::vector<
    std::tuple<CRSeqSolution::CTrackPtr, CRSeqSolution::CSequencePtr, CRSeqSolution::CPortPtr>>
CRSeqSolution::GetPortsOfSequence(const CRUid& idSequence) {
    return RunOrReport("listing ports", [&] {
        std::vector<std::tuple<CTrackPtr, CSequencePtr, CPortPtr>> result;
        if (const auto* sequence = m_pInner->Find<CInner::CSequence>(idSequence)) {
            for (const auto& track : sequence->m_listTrack)
                for (const auto& port : track->m_listPort)
                    result.emplace_back(track->m_info, sequence->m_info, port->m_info);
        }
        return result;
    });
}

std::vector<CRSeqSolution::CEventPtr> CRSeqSolution::GetEventsOfPort(const CRUid& idPort) {
    return RunOrReport("listing events", [&] {
        std::vector<CEventPtr> result;
        if (const auto* port = m_pInner->Find<CInner::CPort>(idPort)) {
            result.reserve(port->m_vEvent.size());
            for (const auto& event : port->m_vEvent) result.push_back(event->m_info);
        }
        return result;
    });
}

std::unique_ptr<CRSeqSolution> CRSeqSolution::LoadSequences(CSolutionDb& db, const CRUidSet& ids) {
    return RunOrReport("loading sequences", [&] {
        auto solution = std::make_unique<CRSeqSolution>();
        for (const CRUid& id : ids) LoadSequence(*solution, db, id);
        return solution;
    });
}

void CRSeqSolution::LoadSequence(CRSeqSolution& solution, CSolutionDb& db, const CRUid& id) {
    try {
        const CRUidSet created = LoadSequenceOutline(solution, db, id);
        if (created.empty()) return;
        for (const auto& [idPort, list] : db.SelectEventListsOfPorts(created))
            solution.CreateEvent(idPort, list);
    } catch (const std::exception& e) {
        // What was loaded stays; the rest is missing.
        std::fprintf(OwnStderr(), "palvor: sequence %s loaded only in part: %s\n", id.ToText().c_str(), e.what());
    } catch (...) {
        std::fprintf(OwnStderr(), "palvor: sequence %s loaded only in part: unknown exception\n", id.ToText().c_str());
    }
}

CRUidSet CRSeqSolution::LoadSequenceOutline(CRSeqSolution& solution, CSolutionDb& db,
                                            const CRUid& id) {
    CRUidSet created;
    if (solution.FindSequence(id)) return created;
    const auto property = db.GetSequence(id);
    if (!property || !solution.CreateSequence(id, *property)) return created;
    for (const auto& track : db.SelectTracksOfSequence(id)) {
        if (solution.CreateTrack(id, track->idTrack, track->property))
            solution.ChangeTrack(track->idTrack, nullptr, &track->sMml);
    }
    for (const auto& port : db.SelectPortsOfSequence(id)) {
        if (solution.CreatePort(port->idPort, port->property)) created.insert(port->idPort);
    }
    return created;
}

}  // namespace DUve
