// Plays a song through the MIDI player on the devices its records name, until it ends or
// is stopped; before returning, every note it started has been ended on its device.
#pragma once

#include <chrono>
#include <cstdint>
#include <functional>
#include <optional>
#include <utility>

#include "tools/play/PlayStatus.h"
#include "tools/play/Song.h"

namespace DUve::Play {

// How long the player may take to start or stop.
constexpr std::chrono::milliseconds kPlayerAnswer{5000};
// How long plug-ins get to take in the note-offs of the stop.
constexpr std::chrono::milliseconds kFlushLimit{2000};
// MIDI outputs confirm nothing: they stay open this long after the stop, longer than any
// port's scheduling lead, so that the note-offs leave before the port closes.
constexpr std::chrono::milliseconds kMidiOutHold{300};

struct CPlayback {
    bool bEnded = false;   // played to the end rather than stopped
    CStatus at;            // the last position (the end when it ended)
    bool bFlushed = true;  // every plug-in rendered after the stop
};

// `loop`: steps to repeat (then it never ends by itself). `stop` is asked every 20 ms
// and `show` gets the position as often. A plug-in among the devices is opened here, so
// that it renders also when no audio output takes its sound. Fails with Cli::kFailed
// when the player or a device cannot start.
CPlayback PlaySong(const CSong& song, const std::optional<std::pair<uint32_t, uint32_t>>& loop,
                   const std::function<bool()>& stop,
                   const std::function<void(const CStatus&)>& show);

}  // namespace DUve::Play
