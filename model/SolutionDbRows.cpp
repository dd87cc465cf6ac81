#include "model/SolutionDbRows.h"

#include <cstring>
#include <string_view>

#include "runtime/RString.h"

namespace DUve::SolutionDbRows {

using namespace CRSeq;

const CTable kSequence{
    "sequence", "idSequence, sTitle",
    "SELECT * FROM sqlite_master WHERE type='table' AND name='sequence'",
    "CREATE TABLE sequence ( idSequence BLOB PRIMARY KEY, sTitle TEXT )"};
const CTable kTrack{
    "track", "idTrack, idSequence, sTitle, sMml",
    "SELECT * FROM sqlite_master WHERE type='table' AND name='track'",
    "CREATE TABLE track ( idTrack BLOB PRIMARY KEY, idSequence BLOB, sTitle TEXT, sMml TEXT )"};
const CTable kPort{
    "port", "idPort, idSequence, idTrack, sTitle, sInstrument, nChannel, bEnable",
    "SELECT * FROM sqlite_master WHERE type='table' AND name='port'",
    "CREATE TABLE port ( idPort BLOB PRIMARY KEY, idSequence BLOB, idTrack BLOB, sTitle TEXT, "
    "sInstrument TEXT, nChannel INTEGER, bEnable INTEGER)"};
const CTable kEvent{
    "event", "idEvent, idPort, nStep, propertyId, propertyData",
    "SELECT * FROM sqlite_master WHERE type='table' AND name='event'",
    "CREATE TABLE event ( idEvent BLOB PRIMARY KEY, idPort BLOB, nStep INTEGER, propertyId "
    "INTEGER, propertyData BLOB)"};
const CTable* const kTables[4] = {&kSequence, &kTrack, &kPort, &kEvent};

std::string SelectFrom(const CTable& table) {
    return std::string("SELECT ") + table.sColumns + " FROM " + table.sName;
}

namespace {

// A BLOB shorter than an identifier reads as null, a longer one is cut.
CRUid ColumnUid(sqlite3_stmt* st, int col) {
    CRUid id;
    const void* p = sqlite3_column_blob(st, col);
    const int n = sqlite3_column_bytes(st, col);
    if (p && n >= static_cast<int>(CRUid::kSize)) std::memcpy(id.Data(), p, CRUid::kSize);
    return id;
}

std::u16string ColumnText(sqlite3_stmt* st, int col) {
    const unsigned char* p = sqlite3_column_text(st, col);
    const int n = sqlite3_column_bytes(st, col);
    if (!p || n <= 0) return {};
    return Utf8ToUtf16(std::string_view(reinterpret_cast<const char*>(p), n));
}

// The event property of a propertyData BLOB, or null when it does not hold one.
std::shared_ptr<const Property::CEventBase> ColumnEventProperty(sqlite3_stmt* st, int col) {
    const void* p = sqlite3_column_blob(st, col);
    const int n = sqlite3_column_bytes(st, col);
    if (!p || n < 2) return nullptr;
    auto objects = Property::CSerialize::LoadObjects(static_cast<const uint8_t*>(p),
                                                     static_cast<size_t>(n), 1);
    if (objects.size() != 1 || !objects[0]) return nullptr;
    const Property::CEventBase* event = objects[0]->AsEvent();
    if (!event) return nullptr;
    return std::shared_ptr<const Property::CEventBase>(std::move(objects[0]), event);
}

// Binds the parameters a statement has: a write names only the columns it sets.
class CBinder {
public:
    explicit CBinder(sqlite3_stmt* st) : m_st(st), m_nCount(sqlite3_bind_parameter_count(st)) {}
    void Uid(int i, const CRUid& id) {
        if (i <= m_nCount) sqlite3_bind_blob(m_st, i, id.Data(), CRUid::kSize, SQLITE_TRANSIENT);
    }
    void Text(int i, const std::u16string& text) {
        if (i > m_nCount) return;
        const std::string utf8 = Utf16ToUtf8(text);
        sqlite3_bind_text(m_st, i, utf8.data(), static_cast<int>(utf8.size()), SQLITE_TRANSIENT);
    }
    void Int(int i, int64_t v) {
        if (i <= m_nCount) sqlite3_bind_int64(m_st, i, v);
    }

private:
    sqlite3_stmt* m_st;
    int m_nCount;
};

}  // namespace

void Read(sqlite3_stmt* st, CSolutionDb::CSequence& row) {
    row.idSequence = ColumnUid(st, 0);
    row.property.sTitle = ColumnText(st, 1);
}

void Bind(sqlite3_stmt* st, const CSolutionDb::CSequence& row) {
    CBinder b(st);
    b.Uid(1, row.idSequence);
    b.Text(2, row.property.sTitle);
}

void Read(sqlite3_stmt* st, CSolutionDb::CTrack& row) {
    row.idTrack = ColumnUid(st, 0);
    row.idSequence = ColumnUid(st, 1);
    row.property.sTitle = ColumnText(st, 2);
    row.sMml = ColumnText(st, 3);
}

void Bind(sqlite3_stmt* st, const CSolutionDb::CTrack& row) {
    CBinder b(st);
    b.Uid(1, row.idTrack);
    b.Uid(2, row.idSequence);
    b.Text(3, row.property.sTitle);
    b.Text(4, row.sMml);
}

void Read(sqlite3_stmt* st, CSolutionDb::CPort& row) {
    row.idPort = ColumnUid(st, 0);
    row.idSequence = ColumnUid(st, 1);
    row.property.idTrack = ColumnUid(st, 2);
    row.property.sTitle = ColumnText(st, 3);
    row.property.sInstrument = ColumnText(st, 4);
    row.property.nChannel = static_cast<uint8_t>(sqlite3_column_int64(st, 5));
    row.property.bEnable = sqlite3_column_int64(st, 6) != 0;
}

void Bind(sqlite3_stmt* st, const CSolutionDb::CPort& row) {
    CBinder b(st);
    b.Uid(1, row.idPort);
    b.Uid(2, row.idSequence);
    b.Uid(3, row.property.idTrack);
    b.Text(4, row.property.sTitle);
    b.Text(5, row.property.sInstrument);
    b.Int(6, row.property.nChannel);
    b.Int(7, row.property.bEnable ? 1 : 0);
}

bool Read(sqlite3_stmt* st, CSolutionDb::CEvent& row) {
    auto property = ColumnEventProperty(st, 4);
    if (!property) return false;
    row.idEvent = ColumnUid(st, 0);
    row.idPort = ColumnUid(st, 1);
    // Steps are stored as signed 32-bit values; the low 32 bits give the unsigned step back.
    row.nStep = static_cast<uint32_t>(sqlite3_column_int64(st, 2));
    row.property = std::move(property);
    return true;
}

bool CEventWriter::Bind(sqlite3_stmt* st, const CRUid& idPort, const Property::CEventCommon& event) {
    m_data.clear();
    if (!event.property || !Property::CSerialize::AppendObject(m_data, *event.property) ||
        m_data.empty())
        return false;
    // The identifiers live in the caller's objects and the data here until the next Bind:
    // the statement reads them in place.
    sqlite3_bind_blob(st, 1, event.idEvent.Data(), CRUid::kSize, SQLITE_STATIC);
    sqlite3_bind_blob(st, 2, idPort.Data(), CRUid::kSize, SQLITE_STATIC);
    sqlite3_bind_int(st, 3, static_cast<int32_t>(event.nStep));
    sqlite3_bind_int(st, 4, event.property->GetSerializeId());
    sqlite3_bind_blob(st, 5, m_data.data(), static_cast<int>(m_data.size()), SQLITE_STATIC);
    return true;
}

}  // namespace DUve::SolutionDbRows
