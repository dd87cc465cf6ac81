#include "tools/play/Playback.h"

#include <cstdio>
#include <memory>
#include <mutex>
#include <set>
#include <thread>
#include <vector>

#include "audio/AudioDevice.h"
#include "audio/PatchBay.h"
#include "midi/RMidiPlayer.h"
#include "runtime/RString.h"
#include "runtime/RWorkerThread.h"
#include "App/cli/Cli.h"
#include "runtime/RForeignOutput.h"

namespace DUve::Play {

using namespace std::chrono_literals;

namespace {

// What the player and the plug-ins tell, kept for the playing thread.
struct CHeard {
    std::mutex mutex;
    CRMidiPlayer::CStatePtr state;                        // the player's latest state
    std::set<const AudioDevice::CDevice::CId*> rendered;  // plug-ins heard from after the stop
    CRThreadMessage::CSender stateSender;
    CRThreadMessage::CSender renderSender;

    CRMidiPlayer::CStatePtr State() {
        std::lock_guard lock(mutex);
        return state;
    }
    size_t Rendered() {
        std::lock_guard lock(mutex);
        return rendered.size();
    }
};

// Receives on a worker of its own.
class CListener {
public:
    CListener(boost::asio::io_context& io, CHeard& heard)
        : m_state(CRThreadBridge::InitializeIoService(io)),
          m_render(CRThreadBridge::InitializeIoService(io)) {
        CRThreadMessage::AddHandler<CRMidiPlayer::CNotifyStateChanged>(
            *m_state, [&heard](const std::shared_ptr<const CRMidiPlayer::CNotifyStateChanged>& n) {
                std::lock_guard lock(heard.mutex);
                if (n->state) heard.state = n->state;
            });
        CRThreadMessage::AddHandler<AudioDevice::Notify::CProcessReplacing>(
            *m_render,
            [&heard](const std::shared_ptr<const AudioDevice::Notify::CProcessReplacing>& n) {
                std::lock_guard lock(heard.mutex);
                heard.rendered.insert(n->pId.get());
            });
        heard.stateSender = m_state->GetSender();
        heard.renderSender = m_render->GetSender();
    }
    static const CRThreadMessage::CRRequestTableT<CListener>& RequestTable() {
        static const CRThreadMessage::CRRequestTableT<CListener> table;
        return table;
    }

private:
    CRThreadBridge::CReceiverPtr m_state;
    CRThreadBridge::CReceiverPtr m_render;  // subscribed to the plug-ins once stopped
};

// Waits until `done` or the limit; false on the limit.
template <class F>
bool WaitUntil(F&& done, std::chrono::milliseconds limit) {
    const auto end = std::chrono::steady_clock::now() + limit;
    while (!done()) {
        if (std::chrono::steady_clock::now() >= end) return false;
        std::this_thread::sleep_for(5ms);
    }
    return true;
}

}  // namespace

CPlayback PlaySong(const CSong& song, const std::optional<std::pair<uint32_t, uint32_t>>& loop,
                   const std::function<bool()>& stop,
                   const std::function<void(const CStatus&)>& show) {
    CHeard heard;
    CRWorkerThreadT<CListener> listener(
        [&heard](boost::asio::io_context& io) { return std::make_unique<CListener>(io, heard); });
    if (!listener.IsStarted()) Cli::Fail(Cli::kFailed, "the listening thread did not start");

    // The devices stay open past the player (declared before it, they go after it), so
    // that what its stop sends them gets out.
    std::vector<AudioDevice::CDevicePtr> vst, midiOut;
    for (const auto& sName : song.vDevices) {
        const auto id = AudioDevice::CControl::CIdInstances::Get().Find(Utf8ToUtf16(sName));
        auto device = id ? id->GetDevice(true) : nullptr;
        if (!device) Cli::Fail(Cli::kFailed, "the device '" + sName + "' could not be opened");
        if (id->Kind() == AudioDevice::EKind::Vst) {
            // As the patch bay opens an instrument it connects; a second open is ignored.
            device->PostRequest(std::make_shared<AudioDevice::Request::COpen>(
                AudioDevice::CPatchBay::kSampleRate, AudioDevice::CPatchBay::kVstBlock,
                AudioDevice::CPatchBay::kVstLookAhead));
            vst.push_back(std::move(device));
        } else {
            midiOut.push_back(std::move(device));
        }
    }

    auto player = CRMidiPlayer::Create();
    if (!player) Cli::Fail(Cli::kFailed, "the MIDI player did not start");
    player->AddNotify(heard.stateSender);
    player->PostRequests(song.records);
    if (loop) player->SetLoop(loop->first, loop->second);
    player->Play();
    if (!WaitUntil(
            [&] {
                auto s = heard.State();
                return s && s->bPlaying;
            },
            kPlayerAnswer))
        Cli::Fail(Cli::kFailed, "the MIDI player did not start playing");

    CPlayback result;
    const double dEnd = song.EndSeconds();
    while (!stop()) {
        const auto pos = heard.State()->Position();
        result.at = {pos.nStep, pos.dSeconds, pos.dTempo};
        if (!loop && pos.dSeconds >= dEnd) {
            result.bEnded = true;
            result.at = {song.nEndStep, dEnd, song.tempo.SecondsToStep(dEnd).second};
            break;
        }
        show(result.at);
        std::this_thread::sleep_for(20ms);
    }

    // The stop ends every sounding note and deletes the player's device queues, which
    // send the note-offs they hold at once.
    player->Stop();
    if (!WaitUntil([&] { return !heard.State()->bPlaying; }, kPlayerAnswer))
        std::fprintf(OwnStderr(), "palvorplay: the MIDI player did not confirm the stop\n");
    const auto stopped = std::chrono::steady_clock::now();
    // A plug-in takes requests in order, and the player posted the deletion of its queues
    // before it confirmed the stop: a block rendered after this subscription holds their
    // note-offs.
    for (const auto& device : vst)
        device->PostRequest(std::make_shared<AudioDevice::Request::CAddNotify>(heard.renderSender));
    if (!WaitUntil([&] { return heard.Rendered() >= vst.size(); }, kFlushLimit)) {
        result.bFlushed = false;
        std::fprintf(OwnStderr(), "palvorplay: a plug-in did not render after the stop\n");
    }
    if (!midiOut.empty()) std::this_thread::sleep_until(stopped + kMidiOutHold);
    player.reset();
    return result;
}

}  // namespace DUve::Play
