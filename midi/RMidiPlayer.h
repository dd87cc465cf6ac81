// The MIDI player: plays one sequence on the MIDI devices its ports name and renders it as
// a Standard MIDI File. Two services on two worker threads: the player service (CMain)
// keeps the master score and tempo map and answers export requests; the playback service
// (MidiPlayer::CPlayer) owns the play state and pushes time-stamped MIDI to the devices
// 200 ms ahead of the clock. Also the translation of model events into score input records
// and ExportSmf, the blocking export helper of the sequencer service.
#pragma once

#include <atomic>
#include <chrono>
#include <cstdint>
#include <functional>
#include <memory>
#include <string>
#include <vector>

#include "midi/RTempoTrack.h"
#include "midi/Score.h"
#include "model/RSeqSolution.h"
#include "runtime/RThreadMessage.h"
#include "runtime/RWorkerThread.h"

namespace DUve {

class CSolutionDb;

class CRMidiPlayer : public std::enable_shared_from_this<CRMidiPlayer> {
public:
    using CBytes = MidiPlayer::CBytes;
    using CFileBytes = std::shared_ptr<const std::vector<uint8_t>>;
    using CTempoTrackPtr = std::shared_ptr<const CRTempoTrack>;

    // Scheduling ticks run while playing, shared with the playback service.
    using CTickCount = std::shared_ptr<std::atomic<uint64_t>>;

    // Ticks of the process clock per second (song times are counted in these ticks).
    static constexpr int64_t kFrequency = 1000000000;
    // The process clock in ticks.
    static int64_t Counter();

    // The play state; immutable once published, replaced as a whole on every change.
    struct CState {
        int64_t nBaseCounter = 0;  // counter when the state was made
        int64_t nBaseTime = 0;     // song time (ticks from step 0, unfolded) at that moment
        bool bPlaying = false;
        CTempoTrackPtr tempoTrack;
        uint32_t nLoopBegin = 0;
        uint32_t nLoopEnd = 0;

        // A song time folded into the loop.
        struct CFolded {
            int64_t nTime = 0;
            double dSeconds = 0.0;
            int64_t nPass = 0;
        };
        struct CPosition {
            int64_t nTime = 0;
            double dSeconds = 0.0;
            uint32_t nStep = 0;
            int64_t nPass = 0;
            double dTempo = CRTempoTrack::kDefaultTempo;
        };

        // Song time at `counter`.
        int64_t SongTime(int64_t counter) const {
            return bPlaying ? counter - nBaseCounter + nBaseTime : nBaseTime;
        }
        // Loop bounds in seconds; the loop is active when end > begin.
        double LoopBeginSeconds() const;
        double LoopEndSeconds() const;
        CFolded Fold(int64_t nTime) const;
        CPosition PositionAt(int64_t nTime) const;
        CPosition Position() const { return PositionAt(SongTime(Counter())); }
        // Process-clock seconds at which song time nTime plays.
        double AbsoluteTime(int64_t nTime) const {
            return double(nTime + nBaseCounter - nBaseTime) / double(kFrequency);
        }
        const CRTempoTrack& Tempo() const;
    };
    using CStatePtr = std::shared_ptr<const CState>;

    // ---- requests (all posted to the player service)
    struct CRequest : CRThreadMessage::CMessage {};

    // Score input records: the fields every record starts with.
    struct CScoreRecord : CRequest {
        CScoreRecord(bool add, uint32_t step, std::u16string instrument)
            : bAdd(add), nStep(step), sInstrument(std::move(instrument)) {}
        bool bAdd;
        uint32_t nStep;
        std::u16string sInstrument;
    };

    struct Request {
        struct CEventMidiNote : CScoreRecord {
            CEventMidiNote(bool add, uint32_t step, std::u16string instrument, uint8_t channel,
                           uint8_t note, uint8_t velocity, uint32_t length)
                : CScoreRecord(add, step, std::move(instrument)),
                  nChannel(channel),
                  nNote(note),
                  nVelocity(velocity),
                  nLength(length) {}
            uint8_t nChannel;
            uint8_t nNote;
            uint8_t nVelocity;
            uint32_t nLength;
        };
        // One complete channel message.
        struct CEventMidi : CScoreRecord {
            CEventMidi(bool add, uint32_t step, std::u16string instrument, CBytes bytes)
                : CScoreRecord(add, step, std::move(instrument)), vBytes(std::move(bytes)) {}
            CBytes vBytes;
        };
        // Exclusive data without the leading 0xF0 and the closing 0xF7.
        struct CEventMidiSysEx : CScoreRecord {
            CEventMidiSysEx(bool add, uint32_t step, std::u16string instrument, CBytes data)
                : CScoreRecord(add, step, std::move(instrument)), vData(std::move(data)) {}
            CBytes vData;
        };
        struct CEventTempo : CRequest {
            CEventTempo(bool add, uint32_t step, double tempo)
                : bAdd(add), nStep(step), dTempo(tempo) {}
            bool bAdd;
            uint32_t nStep;
            double dTempo;
        };
        struct CAddNotify : CRequest {
            explicit CAddNotify(CRThreadMessage::CSender s) : sender(std::move(s)) {}
            CRThreadMessage::CSender sender;
        };
        // The callback receives the file. With a reply sender it runs on that receiver's
        // thread (the receiver must have called AcceptExportReplies; a receiver that is
        // gone gets nothing); without one it runs on the player service thread.
        struct CExportSmf : CRequest {
            CExportSmf(std::function<void(CFileBytes)> f, CRThreadMessage::CSender r = {})
                : callback(std::move(f)), reply(std::move(r)) {}
            std::function<void(CFileBytes)> callback;
            CRThreadMessage::CSender reply;
        };
        struct CPlay : CRequest {};
        struct CStop : CRequest {};
        struct CSeek : CRequest {
            explicit CSeek(uint32_t step) : nStep(step) {}
            uint32_t nStep;
        };
        struct CSetLoop : CRequest {
            CSetLoop(uint32_t begin, uint32_t end) : nBegin(begin), nEnd(end) {}
            uint32_t nBegin;
            uint32_t nEnd;
        };
    };

    // Posted to every subscriber after Play, Stop, Seek, SetLoop and a tempo-map change.
    struct CNotifyStateChanged : CRThreadMessage::CMessage {
        CNotifyStateChanged(std::weak_ptr<CRMidiPlayer> p, CStatePtr s)
            : player(std::move(p)), state(std::move(s)) {}
        std::weak_ptr<CRMidiPlayer> player;
        CStatePtr state;  // the state just published
    };

    // The message that carries an export callback to a reply receiver's thread.
    struct CExportReply : CRThreadMessage::CMessage {
        CExportReply(std::function<void(CFileBytes)> f, CFileBytes b)
            : callback(std::move(f)), vBytes(std::move(b)) {}
        std::function<void(CFileBytes)> callback;
        CFileBytes vBytes;
    };
    // Makes `receiver` run the export callbacks sent to it (call on its thread).
    static void AcceptExportReplies(const CRThreadBridge::CReceiver& receiver);

    class CMain;

    // Starts both services; null when they could not start. The last reference must not be
    // dropped on the player's own threads (inside an export callback run there, say): the
    // destructor joins them.
    static std::shared_ptr<CRMidiPlayer> Create();
    ~CRMidiPlayer();
    CRMidiPlayer(const CRMidiPlayer&) = delete;
    CRMidiPlayer& operator=(const CRMidiPlayer&) = delete;

    // Each posts to the player service and returns at once.
    void PostRequests(CRThreadMessage::CBatch requests);
    void PostRequest(CRThreadMessage::CMessagePtr request) { PostRequests({std::move(request)}); }
    void AddNotify(CRThreadMessage::CSender receiver);
    void ExportSmf(std::function<void(CFileBytes)> callback, CRThreadMessage::CSender reply = {});
    // Runs `f` on the player service's thread, in order with the requests (diagnostics
    // and tests).
    void RunOnServiceThread(std::function<void()> f);
    // The scheduling ticks run so far (each dispatches up to the look-ahead ahead of the
    // process clock as the tick read it): a test that moves a manual clock waits for the
    // next ones to know that what falls in the look-ahead has been handed to the devices.
    uint64_t Ticks() const { return m_ticks->load(std::memory_order_acquire); }
    void Play();
    void Stop();
    void Seek(uint32_t nStep);
    // An end that is not after the begin switches the loop off.
    void SetLoop(uint32_t nBegin, uint32_t nEnd);

    // The score input record of one model event of a port (add or remove); null for the
    // kinds the player does not play (meter).
    static CRThreadMessage::CMessagePtr MakeRecord(bool bAdd, const CRSeq::Property::CPort& port,
                                                   uint32_t nStep,
                                                   const CRSeq::Property::CEventBase& event);
    // One add record for every event of every enabled port of the sequence, in port order.
    static CRThreadMessage::CBatch MakeRecords(CRSeqSolution& solution, const CRUid& idSequence);

private:
    CRMidiPlayer() = default;
    bool Start();
    CTickCount m_ticks = std::make_shared<std::atomic<uint64_t>>(0);
    std::unique_ptr<CRWorkerThreadT<CMain>> m_worker;
};

// Renders the sequence through a new player and returns the SMF bytes; empty when the
// player did not answer within `timeout`. A sequence that is unknown or has no events on
// enabled ports gives a file with one empty track (only its end-of-track). The wait is
// bounded by `timeout` whatever the player does: a player that has not answered is left
// to finish (and be destroyed) on the reaper's thread. `prepare`, when given, runs with
// the player before the export is asked (tests).
std::vector<uint8_t> ExportSmf(CSolutionDb& db, const CRUid& idSequence,
                               std::chrono::milliseconds timeout,
                               const std::function<void(CRMidiPlayer&)>& prepare = {});

}  // namespace DUve
