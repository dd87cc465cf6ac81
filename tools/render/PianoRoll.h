// A piano roll of a sequence: every note as a bar in one lane of pitches, a colour for each
// port, its velocity as the shade; bar and beat lines from the meters, tempo marks, and a
// legend with each port's track title. Drawn with Cairo (text through Pango, so any script
// shows) and written as a PNG.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

#include "midi/RTempoTrack.h"
#include "model/SeqProperty.h"

namespace DUve::Render {

struct CRollPort {
    std::string sTrack;  // the title of the port's track
    std::string sTitle;  // the port's own title
    std::string sInstrument;
};

struct CRollNote {
    size_t nPort = 0;
    uint32_t nStep = 0;
    uint32_t nLength = 0;
    uint8_t nNote = 0;
    uint8_t nVelocity = 0;
};

struct CRollMeter {
    uint32_t nStep = 0;
    uint8_t nBeats = 4;
    uint16_t nBeatLength = 480;  // steps per beat
};

// What a picture shows: filled port by port, in the order the legend lists them.
class CRoll {
public:
    size_t AddPort(CRollPort port);
    // Keeps what the picture shows of an event: notes, meters and tempi; the rest is left out.
    void AddEvent(size_t nPort, uint32_t nStep, const CRSeq::Property::CEventBase& event);

    const std::vector<CRollPort>& Ports() const { return m_vPorts; }
    const std::vector<CRollNote>& Notes() const { return m_vNotes; }
    // Meters in step order (a later one at the same step wins); 4/4 from step 0 when none.
    std::vector<CRollMeter> Meters() const;
    const CRTempoTrack& Tempo() const { return m_tempo; }
    // Where the last note ends (0 without notes).
    uint32_t EndStep() const;

private:
    std::vector<CRollPort> m_vPorts;
    std::vector<CRollNote> m_vNotes;
    std::vector<CRollMeter> m_vMeters;
    CRTempoTrack m_tempo;
};

struct CRollOptions {
    int nWidth = 1200;  // pixels; kMinWidth to kMaxWidth
    static constexpr int kMinWidth = 320;
    static constexpr int kMaxWidth = 16384;
};

// Where things go in the picture. Steps run left to right over the bars that hold every
// note (at least one), pitches bottom to top over the notes' range with two semitones to
// spare (at least two octaves).
class CRollLayout {
public:
    CRollLayout(const CRoll& roll, const CRollOptions& options);

    int Width() const { return m_nWidth; }
    int Height() const { return m_nHeight; }
    uint32_t EndStep() const { return m_nEndStep; }  // the end of the last bar shown
    uint8_t LowNote() const { return m_nLow; }
    uint8_t HighNote() const { return m_nHigh; }
    double RowHeight() const { return m_dRow; }

    double StepToX(uint32_t step) const;
    // The top edge of the row of `note` (a note outside the range is clamped to it).
    double NoteTop(uint8_t note) const;
    // The steps where bars begin, and where beats inside a bar begin, up to EndStep().
    const std::vector<uint32_t>& Bars() const { return m_vBars; }
    const std::vector<uint32_t>& Beats() const { return m_vBeats; }

    double LegendTop() const { return kMargin; }
    double RulerTop() const { return m_dRulerTop; }
    double RollLeft() const { return kKeyWidth; }
    double RollTop() const { return m_dRollTop; }

    static constexpr double kMargin = 8;
    static constexpr double kKeyWidth = 48;  // pitch names left of the roll
    static constexpr double kLegendLine = 18;
    static constexpr double kRuler = 20;
    static constexpr size_t kMaxLegendLines = 12;

private:
    int m_nWidth = 0;
    int m_nHeight = 0;
    uint32_t m_nEndStep = 0;
    uint8_t m_nLow = 0;
    uint8_t m_nHigh = 0;
    double m_dRow = 0;
    double m_dRulerTop = 0;
    double m_dRollTop = 0;
    std::vector<uint32_t> m_vBars;
    std::vector<uint32_t> m_vBeats;
};

struct CRgb {
    double r = 0, g = 0, b = 0;
};
// The colour of port n (ten colours, then round again).
CRgb PortColour(size_t nPort);
// A note's fill: the port's colour, lighter the softer it is played.
CRgb NoteShade(const CRgb& colour, uint8_t nVelocity);

// Draws the roll and writes it to `path` as a PNG. False, with the reason in sError, when
// the picture cannot be made or written.
bool WritePng(const CRoll& roll, const CRollOptions& options, const std::string& path,
              std::string& sError);

}  // namespace DUve::Render
