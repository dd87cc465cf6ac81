// Reads the events of a set of ports straight from the solution file, one row at a time,
// in step order (unsigned), events of one step in the order they were stored. Nothing of
// the sequence is kept in memory: a row's bytes stay valid until the next call.
//
// The stream reads through a connection of its own with a small page cache, so that going
// over a million events neither fills nor keeps the large cache of the solution database's
// connection. It sees what is committed.
#pragma once

#include <cstddef>
#include <cstdint>
#include <filesystem>
#include <map>
#include <memory>
#include <vector>

#include "model/SeqProperty.h"
#include "runtime/RUid.h"

struct sqlite3;
struct sqlite3_stmt;

namespace DUve {

class CSolutionDb;

class CEventStream {
public:
    struct CRow {
        CRUid idEvent;
        size_t nPort = 0;  // index into the port list given to the stream
        uint32_t nStep = 0;
        const uint8_t* pData = nullptr;  // the stored property (serialize id, then fields)
        size_t nData = 0;
    };

    // The events of `ports`. An empty list, a database that is not open or a file that
    // cannot be read gives a stream without rows (Failed() tells the last two apart).
    CEventStream(const CSolutionDb& db, std::vector<CRUid> ports);
    ~CEventStream();
    CEventStream(const CEventStream&) = delete;
    CEventStream& operator=(const CEventStream&) = delete;

    // The next row; false at the end.
    bool Next(CRow& row);
    // The number of rows the stream gives, counted by the storage.
    uint64_t Count();
    bool Failed() const { return m_bFailed; }

    // The property of a stored blob as the solution database reads it: null when the blob
    // holds no event property.
    static std::shared_ptr<const CRSeq::Property::CEventBase> DecodeProperty(const uint8_t* p,
                                                                            size_t n);

private:
    bool Prepare(const char* sqlTemplate, sqlite3_stmt*& stmt);

    std::vector<CRUid> m_vPorts;
    std::map<CRUid, size_t> m_mapPort;
    sqlite3* m_db = nullptr;
    sqlite3_stmt* m_stmt = nullptr;
    bool m_bFailed = false;
    bool m_bDone = false;
};

}  // namespace DUve
