// A registered connection of a command-line program to a server, with what the program
// knows of the solution: the sequences of the greeting and, once opened, their tracks,
// MML, ports and events. Every request is followed by an echo, so when a call returns the
// server has handled it. Failures throw CExit with the programs' exit codes.
#pragma once

#include <map>
#include <memory>
#include <utility>
#include <vector>

#include "model/SeqProperty.h"
#include "server/RSeqClient.h"
#include "App/cli/Cli.h"

namespace DUve::Cli {

// What the client knows of the solution.
struct CMirror {
    std::map<CRUid, CRSeq::Property::CSequence> sequences;  // from the greeting
    struct CTrack {
        CRUid idSequence;
        CRSeq::Property::CTrack property;
        std::u16string sMml;
    };
    std::map<CRUid, CTrack> tracks;
    std::map<CRUid, CRSeq::Property::CPort> ports;
    // event id -> (port id, event)
    std::map<CRUid, std::pair<CRUid, std::shared_ptr<const CRSeq::Property::CEventCommon>>> events;

    // Takes in what a command tells of the solution.
    void Apply(const Sequencer::CProtocol::CPtr& c);
};

class CSession {
public:
    using CCommands = Sequencer::CRSeqClient::CCommands;

    explicit CSession(CConnection connection) : m_connection(std::move(connection)) {}

    // Connects and registers; fails with kConnection.
    void Connect();
    // Sends the commands and an echo; returns what came back before the echo. Fails with
    // kConnection.
    CCommands Request(const CCommands& commands);
    // Opens sequences (all known when `ids` is empty) so their content and changes arrive.
    CCommands Open(CRUidSet ids);
    // The sequence as a Standard MIDI File rendered by the server. Fails with kUnknownId
    // for a sequence the greeting did not name, kFailed when the server gave no file.
    std::vector<uint8_t> ExportSmf(const CRUid& idSequence);

    CMirror& Mirror() { return m_mirror; }
    // The sequences in the order of the greeting.
    const std::vector<CRUid>& SequenceOrder() const { return m_vOrder; }
    Sequencer::CRSeqClient& Raw() { return m_client; }
    const CConnection& Connection() const { return m_connection; }

private:
    CConnection m_connection;
    Sequencer::CRSeqClient m_client;
    CMirror m_mirror;
    std::vector<CRUid> m_vOrder;
};

// The first command of type T among `commands`; null when there is none.
template <class T>
std::shared_ptr<const T> Find(const CSession::CCommands& commands) {
    for (const auto& c : commands)
        if (auto t = std::dynamic_pointer_cast<const T>(c)) return t;
    return nullptr;
}

}  // namespace DUve::Cli
