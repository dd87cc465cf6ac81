#include "model/EventStream.h"

#include <sqlite3.h>

#include <cstdio>
#include <cstring>
#include <string>

#include "model/SolutionDb.h"
#include "runtime/RForeignOutput.h"

namespace DUve {

namespace {
// Page cache of the stream's connection; the sorter of the step order spills to a
// temporary file beyond about this much.
constexpr const char* kCache = "PRAGMA cache_size=-2048";
// Steps are stored as signed 32-bit values: the low 32 bits order them unsigned. Within a
// step the rowid keeps the order in which the rows were stored.
constexpr const char* kSelect =
    "SELECT idEvent, idPort, nStep, propertyData FROM event WHERE idPort IN (%s) "
    "ORDER BY (nStep & 4294967295), rowid";
constexpr const char* kCount = "SELECT count(*) FROM event WHERE idPort IN (%s)";

}  // namespace

CEventStream::CEventStream(const CSolutionDb& db, std::vector<CRUid> ports)
    : m_vPorts(std::move(ports)) {
    for (size_t i = 0; i < m_vPorts.size(); ++i) m_mapPort.emplace(m_vPorts[i], i);
    if (m_vPorts.empty()) return;
    if (!db.IsOpen()) {
        m_bFailed = true;
        return;
    }
    if (sqlite3_open_v2(db.GetPath().c_str(), &m_db, SQLITE_OPEN_READWRITE, nullptr) != SQLITE_OK ||
        sqlite3_exec(m_db, kCache, nullptr, nullptr, nullptr) != SQLITE_OK ||
        !Prepare(kSelect, m_stmt)) {
        std::fprintf(OwnStderr(), "palvor: events of %s cannot be read: %s\n",
                     db.GetPath().string().c_str(), m_db ? sqlite3_errmsg(m_db) : "no memory");
        m_bFailed = true;
    }
}

CEventStream::~CEventStream() {
    sqlite3_finalize(m_stmt);
    sqlite3_close(m_db);
}

bool CEventStream::Prepare(const char* sqlTemplate, sqlite3_stmt*& stmt) {
    std::string sql = sqlTemplate;
    sql.replace(sql.find("%s"), 2, SolutionDbInner::BlobList(m_vPorts));
    return sqlite3_prepare_v2(m_db, sql.c_str(), -1, &stmt, nullptr) == SQLITE_OK;
}

bool CEventStream::Next(CRow& row) {
    while (m_stmt && !m_bDone) {
        const int rc = sqlite3_step(m_stmt);
        if (rc != SQLITE_ROW) {
            if (rc != SQLITE_DONE) {
                std::fprintf(OwnStderr(), "palvor: reading events stopped: %s\n", sqlite3_errmsg(m_db));
                m_bFailed = true;
            }
            m_bDone = true;
            break;
        }
        // Identifiers shorter than 16 bytes read as null, as the solution database reads them.
        CRUid idPort;
        const void* port = sqlite3_column_blob(m_stmt, 1);
        if (port && sqlite3_column_bytes(m_stmt, 1) >= static_cast<int>(CRUid::kSize))
            std::memcpy(idPort.Data(), port, CRUid::kSize);
        const auto it = m_mapPort.find(idPort);
        if (it == m_mapPort.end()) continue;
        row.idEvent = CRUid();
        const void* id = sqlite3_column_blob(m_stmt, 0);
        if (id && sqlite3_column_bytes(m_stmt, 0) >= static_cast<int>(CRUid::kSize))
            std::memcpy(row.idEvent.Data(), id, CRUid::kSize);
        row.nPort = it->second;
        row.nStep = static_cast<uint32_t>(sqlite3_column_int64(m_stmt, 2));
        row.pData = static_cast<const uint8_t*>(sqlite3_column_blob(m_stmt, 3));
        row.nData = static_cast<size_t>(sqlite3_column_bytes(m_stmt, 3));
        return true;
    }
    return false;
}

uint64_t CEventStream::Count() {
    sqlite3_stmt* stmt = nullptr;
    uint64_t n = 0;
    if (m_db && Prepare(kCount, stmt) && sqlite3_step(stmt) == SQLITE_ROW)
        n = static_cast<uint64_t>(sqlite3_column_int64(stmt, 0));
    sqlite3_finalize(stmt);
    return n;
}

std::shared_ptr<const CRSeq::Property::CEventBase> CEventStream::DecodeProperty(const uint8_t* p,
                                                                                size_t n) {
    namespace P = CRSeq::Property;
    if (!p || n < 2) return nullptr;
    auto objects = P::CSerialize::LoadObjects(p, n, 1);
    if (objects.size() != 1 || !objects[0]) return nullptr;
    const P::CEventBase* event = objects[0]->AsEvent();
    if (!event) return nullptr;
    return std::shared_ptr<const P::CEventBase>(std::move(objects[0]), event);
}

}  // namespace DUve
