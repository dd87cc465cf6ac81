// The tables of the solution database: each table's schema, its one column list, and its
// row mapper, which reads a row of that list into a record and binds a record to the
// parameters ?1..?n of a statement, numbered in the same order. Every query selects the
// whole list ("SELECT <columns> FROM <table> ..."), and every write names its values by
// those numbers ("UPDATE port SET sTitle=?4 ... WHERE idPort=?1"), so a column's place is
// written down once. (Used by the solution database's own files only.)
#pragma once

#include <sqlite3.h>

#include <string>

#include "model/SolutionDb.h"

namespace DUve::SolutionDbRows {

struct CTable {
    const char* sName;
    const char* sColumns;  // the column list, in the order of the row mapper
    const char* sCheck;    // finds the table in sqlite_master
    const char* sCreate;
};

extern const CTable kSequence, kTrack, kPort, kEvent;
// In the order they are checked and created.
extern const CTable* const kTables[4];

// "SELECT <columns> FROM <table>"
std::string SelectFrom(const CTable& table);

// sequence: idSequence, sTitle
void Read(sqlite3_stmt* st, CSolutionDb::CSequence& row);
void Bind(sqlite3_stmt* st, const CSolutionDb::CSequence& row);

// track: idTrack, idSequence, sTitle, sMml
void Read(sqlite3_stmt* st, CSolutionDb::CTrack& row);
void Bind(sqlite3_stmt* st, const CSolutionDb::CTrack& row);

// port: idPort, idSequence, idTrack, sTitle, sInstrument, nChannel, bEnable
void Read(sqlite3_stmt* st, CSolutionDb::CPort& row);
void Bind(sqlite3_stmt* st, const CSolutionDb::CPort& row);

// event: idEvent, idPort, nStep, propertyId, propertyData. False (and the row untouched)
// when propertyData does not hold exactly one event property.
bool Read(sqlite3_stmt* st, CSolutionDb::CEvent& row);

// Binds events to the event table's parameters. It keeps the serialized property of the
// last bound row, which the statement reads without a copy until the next Bind.
class CEventWriter {
public:
    // False when the event has no property or it serializes to nothing.
    bool Bind(sqlite3_stmt* st, const CRUid& idPort, const CRSeq::Property::CEventCommon& event);

private:
    CRBytes m_data;
};

}  // namespace DUve::SolutionDbRows
