// The queries of the solution database. Every read selects its table's whole column list
// and maps rows with the table's row mapper; every write binds a record with it.
#include "model/SolutionDb.h"

#include <algorithm>
#include <string_view>
#include <type_traits>

#include "model/SolutionDbRows.h"
#include "model/SolutionDbStatement.h"

namespace DUve {

using namespace CRSeq;
namespace Rows = SolutionDbRows;

namespace {

bool IsConstraint(int rc) {
    return (rc & 0xff) == SQLITE_CONSTRAINT;
}

// The SQL template with its "%s" replaced by the BLOB literals of the set.
std::string WithIdList(std::string_view sqlTemplate, const CRUidSet& ids) {
    const size_t at = sqlTemplate.find("%s");
    std::string sql(sqlTemplate.substr(0, at));
    sql += SolutionDbInner::BlobList(ids);
    sql += sqlTemplate.substr(at + 2);
    return sql;
}

const std::string& SelectSequence() {
    static const std::string sql = Rows::SelectFrom(Rows::kSequence);
    return sql;
}
const std::string& SelectTrack() {
    static const std::string sql = Rows::SelectFrom(Rows::kTrack);
    return sql;
}
const std::string& SelectPort() {
    static const std::string sql = Rows::SelectFrom(Rows::kPort);
    return sql;
}
const std::string& SelectEvent() {
    static const std::string sql = Rows::SelectFrom(Rows::kEvent);
    return sql;
}

}  // namespace

namespace {

// Every row of a statement, mapped; rows the mapper refuses are skipped.
template <class TRow, class TStatement>
std::vector<std::shared_ptr<const TRow>> ReadAll(TStatement& st) {
    std::vector<std::shared_ptr<const TRow>> result;
    while (st.Step() == SQLITE_ROW) {
        auto row = std::make_shared<TRow>();
        if constexpr (std::is_same_v<decltype(Rows::Read(st.Get(), *row)), bool>) {
            if (!Rows::Read(st.Get(), *row)) continue;
        } else {
            Rows::Read(st.Get(), *row);
        }
        result.push_back(std::move(row));
    }
    return result;
}

// The first row of a statement, mapped, or nothing.
template <class TRow, class TStatement>
std::shared_ptr<const TRow> ReadOne(TStatement& st) {
    if (st.Step() != SQLITE_ROW) return nullptr;
    auto row = std::make_shared<TRow>();
    if constexpr (std::is_same_v<decltype(Rows::Read(st.Get(), *row)), bool>) {
        if (!Rows::Read(st.Get(), *row)) return nullptr;
    } else {
        Rows::Read(st.Get(), *row);
    }
    return row;
}

}  // namespace

// --- Sequences ---

std::shared_ptr<const Property::CSequence> CSolutionDb::GetSequence(const CRUid& id) {
    return Operation("reading a sequence", [&]() -> std::shared_ptr<const Property::CSequence> {
        CStatement st(*this, SelectSequence() + " WHERE idSequence=?1");
        st.BindUid(1, id);
        const auto row = ReadOne<CSequence>(st);
        if (!row) return nullptr;
        return std::make_shared<const Property::CSequence>(row->property);
    });
}

std::vector<std::shared_ptr<const CSolutionDb::CSequence>> CSolutionDb::SelectSequences(
    const CRUidSet& ids) {
    return Operation("reading sequences", [&] {
        if (ids.empty()) return std::vector<std::shared_ptr<const CSequence>>();
        CStatement st(*this, WithIdList(SelectSequence() + " WHERE idSequence IN (%s)", ids), false);
        return ReadAll<CSequence>(st);
    });
}

std::vector<std::shared_ptr<const CSolutionDb::CSequence>> CSolutionDb::SelectAllSequences() {
    return Operation("reading the sequences", [&] {
        CStatement st(*this, SelectSequence());
        return ReadAll<CSequence>(st);
    });
}

bool CSolutionDb::CreateSequence(const CRUid& id, const Property::CSequence& p) {
    return Operation("creating a sequence", [&] {
        const CSequence row{id, p};
        CTransaction tr(*this);
        {
            // An identifier that exists keeps its row; the update below overwrites it.
            CStatement st(*this, "INSERT INTO sequence (idSequence) VALUES(?1)");
            st.BindRow(row);
            st.Step(true);
        }
        if (UpdateSequence(id, p)) return tr.Commit();
        tr.Rollback();
        return false;
    });
}

bool CSolutionDb::UpdateSequence(const CRUid& id, const Property::CSequence& p) {
    return Operation("changing a sequence", [&] {
        const CSequence row{id, p};
        CTransaction tr(*this);
        {
            CStatement st(*this, "UPDATE sequence SET sTitle=?2 WHERE idSequence=?1");
            st.BindRow(row);
            if (st.RunChanging()) return tr.Commit();
        }
        tr.Rollback();
        return false;
    });
}

// --- Tracks ---

bool CSolutionDb::CreateTrack(const CRUid& idTrack, const CRUid& idSequence,
                              const Property::CTrack& p) {
    return Operation("creating a track", [&] {
        const CTrack row{idTrack, idSequence, p, {}};
        CTransaction tr(*this);
        if (!GetSequence(idSequence)) {
            tr.Rollback();
            return false;
        }
        int rc;
        {
            CStatement st(*this, "INSERT INTO track (idTrack,idSequence) VALUES(?1,?2)");
            st.BindRow(row);
            rc = st.Step(true);
        }
        if (IsConstraint(rc)) {
            // The track exists: it is overwritten only where it already belongs.
            const auto stored = GetTrack(idTrack);
            if (!stored || stored->idSequence != idSequence) {
                tr.Rollback();
                return false;
            }
        }
        if (UpdateTrack(idTrack, p)) return tr.Commit();
        tr.Rollback();
        return false;
    });
}

bool CSolutionDb::UpdateTrack(const CRUid& idTrack, const Property::CTrack& p) {
    return Operation("changing a track", [&] {
        CTrack row;
        row.idTrack = idTrack;
        row.property = p;
        CTransaction tr(*this);
        {
            CStatement st(*this, "UPDATE track SET sTitle=?3 WHERE idTrack=?1");
            st.BindRow(row);
            if (st.RunChanging()) return tr.Commit();
        }
        tr.Rollback();
        return false;
    });
}

std::shared_ptr<const CSolutionDb::CTrack> CSolutionDb::GetTrack(const CRUid& id) {
    return Operation("reading a track", [&] {
        CStatement st(*this, SelectTrack() + " WHERE idTrack=?1");
        st.BindUid(1, id);
        return ReadOne<CTrack>(st);
    });
}

std::vector<std::shared_ptr<const CSolutionDb::CTrack>> CSolutionDb::SelectTracks(
    const CRUidSet& ids) {
    return Operation("reading tracks", [&] {
        if (ids.empty()) return std::vector<std::shared_ptr<const CTrack>>();
        CStatement st(*this, WithIdList(SelectTrack() + " WHERE idTrack IN (%s)", ids), false);
        return ReadAll<CTrack>(st);
    });
}

std::vector<std::shared_ptr<const CSolutionDb::CTrack>> CSolutionDb::SelectTracksOfSequence(
    const CRUid& idSequence) {
    return Operation("reading the tracks of a sequence", [&] {
        CStatement st(*this, SelectTrack() + " WHERE idSequence=?1");
        st.BindUid(1, idSequence);
        return ReadAll<CTrack>(st);
    });
}

std::pair<std::shared_ptr<const CSolutionDb::CTrack>, bool> CSolutionDb::ChangeMml(
    const CRUid& idTrack, const std::u16string& mml) {
    using CResult = std::pair<std::shared_ptr<const CTrack>, bool>;
    return Operation("changing the MML of a track", [&]() -> CResult {
        const auto stored = GetTrack(idTrack);
        if (!stored) return {nullptr, false};
        if (stored->sMml == mml) return {stored, false};
        auto changed = std::make_shared<CTrack>(*stored);
        changed->sMml = mml;
        CTransaction tr(*this);
        {
            CStatement st(*this, "UPDATE track SET sMml=?4 WHERE idTrack=?1");
            st.BindRow(*changed);
            if (st.Step() == SQLITE_DONE && sqlite3_changes(m_db) == 1) {
                st.Reset();  // the statement must be done before the commit
                if (!tr.Commit()) return {stored, false};
                return {std::move(changed), true};
            }
        }
        tr.Rollback();
        return {stored, false};
    });
}

// --- Ports ---

std::shared_ptr<const CSolutionDb::CTrack> CSolutionDb::CreatePort(const CRUid& idPort,
                                                                   const Property::CPort& p) {
    return Operation("creating a port", [&]() -> std::shared_ptr<const CTrack> {
        auto track = GetTrack(p.idTrack);
        if (!track) return nullptr;
        const CPort row{idPort, track->idSequence, p};
        CTransaction tr(*this);
        int rc;
        {
            CStatement st(*this, "INSERT INTO port (idPort,idSequence) VALUES(?1,?2)");
            st.BindRow(row);
            rc = st.Step(true);
        }
        if (IsConstraint(rc)) {
            // The port exists: its stored sequence must stay the one of its track.
            const auto stored = GetPort(idPort);
            if (!stored || stored->idSequence != track->idSequence) {
                tr.Rollback();
                return nullptr;
            }
        }
        if (UpdatePort(idPort, p) && tr.Commit()) return track;
        tr.Rollback();
        return nullptr;
    });
}

bool CSolutionDb::UpdatePort(const CRUid& idPort, const Property::CPort& p) {
    return Operation("changing a port", [&] {
        const CPort row{idPort, {}, p};
        CTransaction tr(*this);
        {
            CStatement st(*this,
                          "UPDATE port SET idTrack=?3, sTitle=?4, sInstrument=?5, nChannel=?6, "
                          "bEnable=?7 WHERE idPort=?1");
            st.BindRow(row);
            if (st.RunChanging()) return tr.Commit();
        }
        tr.Rollback();
        return false;
    });
}

std::shared_ptr<const CSolutionDb::CPort> CSolutionDb::GetPort(const CRUid& id) {
    return Operation("reading a port", [&] {
        CStatement st(*this, SelectPort() + " WHERE idPort=?1");
        st.BindUid(1, id);
        return ReadOne<CPort>(st);
    });
}

std::vector<std::shared_ptr<const CSolutionDb::CPort>> CSolutionDb::SelectPorts(
    const CRUidSet& ids) {
    return Operation("reading ports", [&] {
        if (ids.empty()) return std::vector<std::shared_ptr<const CPort>>();
        CStatement st(*this, WithIdList(SelectPort() + " WHERE idPort IN (%s)", ids), false);
        return ReadAll<CPort>(st);
    });
}

std::vector<std::shared_ptr<const CSolutionDb::CPort>> CSolutionDb::SelectPortsOfTrack(
    const CRUid& idTrack) {
    return Operation("reading the ports of a track", [&] {
        CStatement st(*this, SelectPort() + " WHERE idTrack=?1");
        st.BindUid(1, idTrack);
        return ReadAll<CPort>(st);
    });
}

std::vector<std::shared_ptr<const CSolutionDb::CPort>> CSolutionDb::SelectPortsOfTracks(
    const CRUidSet& ids) {
    return Operation("reading the ports of tracks", [&] {
        if (ids.empty()) return std::vector<std::shared_ptr<const CPort>>();
        CStatement st(*this, WithIdList(SelectPort() + " WHERE idTrack IN (%s)", ids), false);
        return ReadAll<CPort>(st);
    });
}

std::vector<std::shared_ptr<const CSolutionDb::CPort>> CSolutionDb::SelectPortsOfSequence(
    const CRUid& idSequence) {
    return Operation("reading the ports of a sequence", [&] {
        CStatement st(*this, SelectPort() + " WHERE idSequence=?1");
        st.BindUid(1, idSequence);
        return ReadAll<CPort>(st);
    });
}

// --- Events ---

std::shared_ptr<const CSolutionDb::CPort> CSolutionDb::InsertEvents(
    const CRUid& idPort, const Property::CListEvent& events,
    std::vector<const Property::CEventCommon*>* pSkipped) {
    return Operation("storing events", [&]() -> std::shared_ptr<const CPort> {
        CTransaction tr(*this);
        auto port = GetPort(idPort);
        if (!port) {
            tr.Rollback();
            return nullptr;
        }
        bool ok = true;
        {
            CStatement st(*this, "INSERT INTO event (" + std::string(Rows::kEvent.sColumns) +
                                     ") VALUES(?1,?2,?3,?4,?5)");
            sqlite3_stmt* const stmt = st.Get();
            ok = stmt != nullptr;
            Rows::CEventWriter writer;
            for (auto it = events.begin(); ok && it != events.end(); ++it) {
                const Property::CEventCommon* event = it->get();
                sqlite3_reset(stmt);
                if (!event || !writer.Bind(stmt, port->idPort, *event)) {
                    ok = false;
                    break;
                }
                // An identifier already stored keeps its row.
                const int rc = st.Step(true);
                if (rc != SQLITE_DONE && !IsConstraint(rc)) ok = false;
                if (IsConstraint(rc) && pSkipped) pSkipped->push_back(event);
            }
        }
        if (ok && tr.Commit()) return port;
        tr.Rollback();
        if (pSkipped) pSkipped->clear();
        return nullptr;
    });
}

Property::CListEvent CSolutionDb::Without(const Property::CListEvent& events,
                                         const std::vector<const Property::CEventCommon*>& skipped) {
    Property::CListEvent rest;
    for (const auto& e : events)
        if (std::find(skipped.begin(), skipped.end(), e.get()) == skipped.end()) rest.Insert(e);
    return rest;
}

std::shared_ptr<const CSolutionDb::CEvent> CSolutionDb::GetEvent(const CRUid& id) {
    return Operation("reading an event", [&] {
        CStatement st(*this, SelectEvent() + " WHERE idEvent=?1");
        st.BindUid(1, id);
        return ReadOne<CEvent>(st);
    });
}

std::vector<std::shared_ptr<const CSolutionDb::CEvent>> CSolutionDb::SelectEventsOfPorts(
    const CRUidSet& ids) {
    return Operation("reading the events of ports", [&] {
        if (ids.empty()) return std::vector<std::shared_ptr<const CEvent>>();
        CStatement st(*this, WithIdList(SelectEvent() + " WHERE idPort IN (%s)", ids), false);
        return ReadAll<CEvent>(st);
    });
}

std::vector<std::shared_ptr<const CSolutionDb::CEvent>> CSolutionDb::SelectEventsOfPort(
    const CRUid& idPort) {
    return Operation("reading the events of a port", [&] {
        std::vector<std::shared_ptr<const CEvent>> result;
        {
            CStatement st(*this, SelectEvent() + " WHERE idPort=?1 ORDER BY nStep ASC");
            st.BindUid(1, idPort);
            result = ReadAll<CEvent>(st);
        }
        // The column holds steps of 2^31 and above as negative numbers, which the query
        // sorts first; order them as the unsigned steps they are.
        std::stable_sort(result.begin(), result.end(),
                         [](const auto& a, const auto& b) { return a->nStep < b->nStep; });
        return result;
    });
}

std::map<CRUid, Property::CListEvent> CSolutionDb::SelectEventListsOfPorts(const CRUidSet& ids) {
    return Operation("reading the events of ports", [&] {
        std::map<CRUid, Property::CListEvent> result;
        for (const auto& row : SelectEventsOfPorts(ids)) {
            result[row->idPort].Insert(std::make_shared<const Property::CEventCommon>(
                row->idEvent, row->nStep, row->property));
        }
        return result;
    });
}

// --- Deleting ---

CSolutionDb::CDeleted CSolutionDb::Delete(const CRUidSet& ids) {
    return Operation("deleting", [&]() -> CDeleted {
        CTransaction tr(*this);
        CDeleted result;
        CRUidSet pending = ids;
        CRUidSet trackIds;
        CRUidSet portIds;

        for (const auto& sequence : SelectSequences(pending)) {
            result.setSequence.insert(sequence->idSequence);
            pending.erase(sequence->idSequence);
            for (const auto& track : SelectTracksOfSequence(sequence->idSequence)) {
                trackIds.insert(track->idTrack);
                pending.erase(track->idTrack);
            }
        }
        for (const auto& track : SelectTracks(pending)) {
            result.setTrack.insert(track->idTrack);
            trackIds.insert(track->idTrack);
            pending.erase(track->idTrack);
        }
        for (const auto& port : SelectPortsOfTracks(trackIds)) {
            portIds.insert(port->idPort);
            pending.erase(port->idPort);
        }
        for (const auto& port : SelectPorts(pending)) {
            result.setPort.insert(port->idPort);
            portIds.insert(port->idPort);
            pending.erase(port->idPort);
        }
        // What is left can only name single events; those under a removed port go with it.
        if (!pending.empty()) {
            for (const auto& event : SelectEventsOfPorts(portIds)) pending.erase(event->idEvent);
            for (const CRUid& id : pending)
                if (GetEvent(id)) result.setEvent.insert(id);
        }

        const auto remove = [this](std::string_view sqlTemplate, const CRUidSet& set) {
            if (set.empty()) return true;
            CStatement st(*this, WithIdList(sqlTemplate, set), false);
            return st.Run();
        };
        const bool ok =
            remove("DELETE FROM sequence WHERE idSequence IN (%s)", result.setSequence) &&
            remove("DELETE FROM track WHERE idTrack IN (%s)", trackIds) &&
            remove("DELETE FROM port WHERE idPort IN (%s)", portIds) &&
            remove("DELETE FROM event WHERE idPort IN (%s)", portIds) &&
            remove("DELETE FROM event WHERE idEvent IN (%s)", result.setEvent);
        if (ok && tr.Commit()) return result;
        tr.Rollback();
        return CDeleted{};
    });
}

}  // namespace DUve
