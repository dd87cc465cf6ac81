#include "tools/render/PianoRoll.h"

#include <cairo.h>
#include <pango/pangocairo.h>

#include <algorithm>
#include <cmath>
#include <cstdio>
#include <memory>

namespace DUve::Render {

namespace P = CRSeq::Property;

// ======================================================================= roll

size_t CRoll::AddPort(CRollPort port) {
    m_vPorts.push_back(std::move(port));
    return m_vPorts.size() - 1;
}

void CRoll::AddEvent(size_t nPort, uint32_t nStep, const P::CEventBase& event) {
    if (const auto* note = dynamic_cast<const P::CEventNote*>(&event)) {
        if (note->nLength > 0) m_vNotes.push_back({nPort, nStep, note->nLength, note->nNote, note->nVelocity});
    } else if (const auto* meter = dynamic_cast<const P::CEventMeter*>(&event)) {
        if (meter->nBeats > 0 && meter->nBeatLength > 0)
            m_vMeters.push_back({nStep, meter->nBeats, meter->nBeatLength});
    } else if (const auto* tempo = dynamic_cast<const P::CEventTempo*>(&event)) {
        m_tempo.Insert(nStep, tempo->dTempo);  // a tempo that is no number is not drawn
    }
}

std::vector<CRollMeter> CRoll::Meters() const {
    std::vector<CRollMeter> meters = m_vMeters;
    std::stable_sort(meters.begin(), meters.end(),
                     [](const CRollMeter& a, const CRollMeter& b) { return a.nStep < b.nStep; });
    std::vector<CRollMeter> out;
    for (const auto& m : meters) {
        if (!out.empty() && out.back().nStep == m.nStep)
            out.back() = m;
        else
            out.push_back(m);
    }
    if (out.empty() || out.front().nStep != 0) out.insert(out.begin(), CRollMeter{});
    return out;
}

uint32_t CRoll::EndStep() const {
    uint64_t end = 0;
    for (const auto& n : m_vNotes) end = std::max<uint64_t>(end, uint64_t(n.nStep) + n.nLength);
    return static_cast<uint32_t>(std::min<uint64_t>(end, UINT32_MAX));
}

// ======================================================================= layout

namespace {
// Bars and beats of the meters up to at least `end` (whole bars); a meter change starts a
// new bar.
void BarsAndBeats(const std::vector<CRollMeter>& meters, uint32_t end, std::vector<uint32_t>& bars,
                  std::vector<uint32_t>& beats, uint32_t& barsEnd) {
    constexpr size_t kMaxBars = 4096;  // beyond this, lines would be closer than a pixel
    uint64_t step = 0;
    size_t m = 0;
    while (bars.size() < kMaxBars) {
        while (m + 1 < meters.size() && meters[m + 1].nStep <= step) ++m;
        const uint64_t bar = uint64_t(meters[m].nBeats) * meters[m].nBeatLength;
        if (step >= end && !bars.empty()) break;
        bars.push_back(static_cast<uint32_t>(step));
        for (uint32_t b = 1; b < meters[m].nBeats; ++b)
            beats.push_back(static_cast<uint32_t>(step + uint64_t(b) * meters[m].nBeatLength));
        uint64_t next = step + bar;
        if (m + 1 < meters.size() && meters[m + 1].nStep < next) next = meters[m + 1].nStep;
        if (next > UINT32_MAX) {
            step = UINT32_MAX;
            break;
        }
        step = next;
    }
    barsEnd = static_cast<uint32_t>(std::max<uint64_t>(step, 1));
}
}  // namespace

CRollLayout::CRollLayout(const CRoll& roll, const CRollOptions& options) {
    m_nWidth = std::clamp(options.nWidth, CRollOptions::kMinWidth, CRollOptions::kMaxWidth);

    int low = 127, high = 0;
    for (const auto& n : roll.Notes()) low = std::min<int>(low, n.nNote), high = std::max<int>(high, n.nNote);
    if (low > high) low = 48, high = 72;
    low = std::max(0, low - 2);
    high = std::min(127, high + 2);
    while (high - low < 24) {
        if (low > 0) --low;
        if (high - low < 24 && high < 127) ++high;
    }
    m_nLow = static_cast<uint8_t>(low);
    m_nHigh = static_cast<uint8_t>(high);
    const int rows = high - low + 1;
    m_dRow = std::clamp(std::round(480.0 / rows), 4.0, 14.0);

    BarsAndBeats(roll.Meters(), roll.EndStep(), m_vBars, m_vBeats, m_nEndStep);

    const size_t legend = std::min(roll.Ports().size(), kMaxLegendLines + 1);
    m_dRulerTop = kMargin + kLegendLine * static_cast<double>(std::max<size_t>(legend, 1)) + 4;
    m_dRollTop = m_dRulerTop + kRuler;
    m_nHeight = static_cast<int>(std::ceil(m_dRollTop + m_dRow * rows + kMargin));
}

double CRollLayout::StepToX(uint32_t step) const {
    const double width = m_nWidth - kKeyWidth - kMargin;
    return kKeyWidth + width * (static_cast<double>(step) / m_nEndStep);
}

double CRollLayout::NoteTop(uint8_t note) const {
    const uint8_t n = std::clamp(note, m_nLow, m_nHigh);
    return m_dRollTop + m_dRow * (m_nHigh - n);
}

// ======================================================================= colours

CRgb PortColour(size_t nPort) {
    static constexpr CRgb kColours[] = {
        {0.12, 0.47, 0.71}, {1.00, 0.50, 0.05}, {0.17, 0.63, 0.17}, {0.84, 0.15, 0.16},
        {0.58, 0.40, 0.74}, {0.55, 0.34, 0.29}, {0.89, 0.47, 0.76}, {0.50, 0.50, 0.50},
        {0.74, 0.74, 0.13}, {0.09, 0.75, 0.81},
    };
    return kColours[nPort % std::size(kColours)];
}

CRgb NoteShade(const CRgb& colour, uint8_t nVelocity) {
    const double a = 0.25 + 0.75 * std::min<uint8_t>(nVelocity, 127) / 127.0;
    return {1 - a * (1 - colour.r), 1 - a * (1 - colour.g), 1 - a * (1 - colour.b)};
}

// ======================================================================= drawing

namespace {

struct CSurfaceDeleter {
    void operator()(cairo_surface_t* s) const { cairo_surface_destroy(s); }
};
struct CContextDeleter {
    void operator()(cairo_t* c) const { cairo_destroy(c); }
};
struct CObjectDeleter {
    void operator()(void* p) const { g_object_unref(p); }
};
struct CFontDeleter {
    void operator()(PangoFontDescription* f) const { pango_font_description_free(f); }
};

void SetColour(cairo_t* cr, const CRgb& c) {
    cairo_set_source_rgb(cr, c.r, c.g, c.b);
}

// Draws text with its top left corner (or its top right, when `right`) at (x, y).
void Text(cairo_t* cr, PangoLayout* layout, const std::string& text, double x, double y,
          bool right = false) {
    pango_layout_set_text(layout, text.c_str(), static_cast<int>(text.size()));
    int w = 0, h = 0;
    pango_layout_get_pixel_size(layout, &w, &h);
    cairo_move_to(cr, right ? x - w : x, y);
    pango_cairo_show_layout(cr, layout);
}

std::string NoteName(int note) {
    static const char* kNames[] = {"C", "C#", "D", "D#", "E", "F", "F#", "G", "G#", "A", "A#", "B"};
    std::string s = kNames[note % 12];
    return s += std::to_string(note / 12 - 1);
}

bool IsBlackKey(int note) {
    const int k = note % 12;
    return k == 1 || k == 3 || k == 6 || k == 8 || k == 10;
}

std::string Tempo(double tempo) {
    char text[32];
    std::snprintf(text, sizeof text, "\u2669=%g", std::round(tempo * 10) / 10);
    return text;
}

void Draw(cairo_t* cr, PangoLayout* text, const CRoll& roll, const CRollLayout& l) {
    const double left = l.RollLeft();
    const double right = l.StepToX(l.EndStep());
    const double top = l.RollTop();
    const double bottom = l.NoteTop(l.LowNote()) + l.RowHeight();

    SetColour(cr, {1, 1, 1});
    cairo_paint(cr);

    // Legend: a swatch and "track / port" for each port.
    const auto& ports = roll.Ports();
    for (size_t i = 0; i < ports.size() && i <= CRollLayout::kMaxLegendLines; ++i) {
        const double y = l.LegendTop() + CRollLayout::kLegendLine * static_cast<double>(i);
        SetColour(cr, {0.15, 0.15, 0.15});
        if (i == CRollLayout::kMaxLegendLines) {
            Text(cr, text, "\u2026 and " + std::to_string(ports.size() - i) + " more ports", left, y);
            break;
        }
        std::string label = ports[i].sTrack.empty() ? "(untitled track)" : ports[i].sTrack;
        if (!ports[i].sTitle.empty()) label += " / " + ports[i].sTitle;
        if (!ports[i].sInstrument.empty()) label += "  (" + ports[i].sInstrument + ")";
        Text(cr, text, label, left + 18, y);
        SetColour(cr, PortColour(i));
        cairo_rectangle(cr, left, y + 3, 12, 11);
        cairo_fill(cr);
    }

    // Rows: black keys shaded, a line under every C, pitch names of the Cs.
    for (int n = l.LowNote(); n <= l.HighNote(); ++n) {
        const double y = l.NoteTop(static_cast<uint8_t>(n));
        if (IsBlackKey(n)) {
            SetColour(cr, {0.93, 0.93, 0.95});
            cairo_rectangle(cr, left, y, right - left, l.RowHeight());
            cairo_fill(cr);
        }
        if (n % 12 == 0) {
            SetColour(cr, {0.80, 0.80, 0.84});
            cairo_rectangle(cr, left, y + l.RowHeight() - 1, right - left, 1);
            cairo_fill(cr);
            SetColour(cr, {0.30, 0.30, 0.30});
            Text(cr, text, NoteName(n), left - 6, y + l.RowHeight() / 2 - 7, true);
        }
    }

    // Beat and bar lines, bar numbers and tempo marks in the ruler.
    SetColour(cr, {0.86, 0.86, 0.88});
    for (uint32_t beat : l.Beats()) {
        cairo_rectangle(cr, std::floor(l.StepToX(beat)), top, 1, bottom - top);
        cairo_fill(cr);
    }
    const size_t every = std::max<size_t>(1, static_cast<size_t>(std::ceil(
                                                 36.0 * l.Bars().size() / std::max(1.0, right - left))));
    for (size_t i = 0; i < l.Bars().size(); ++i) {
        const double x = std::floor(l.StepToX(l.Bars()[i]));
        SetColour(cr, {0.55, 0.55, 0.60});
        cairo_rectangle(cr, x, l.RulerTop() + 4, 1, bottom - l.RulerTop() - 4);
        cairo_fill(cr);
        if (i % every == 0) {
            SetColour(cr, {0.25, 0.25, 0.25});
            Text(cr, text, std::to_string(i + 1), x + 3, l.RulerTop() + 2);
        }
    }
    SetColour(cr, {0.55, 0.55, 0.60});
    cairo_rectangle(cr, std::floor(right) - 1, l.RulerTop() + 4, 1, bottom - l.RulerTop() - 4);
    cairo_fill(cr);
    SetColour(cr, {0.45, 0.10, 0.10});
    double lastTempoX = -1e9;
    for (const auto& point : roll.Tempo()) {
        const double x = l.StepToX(point.nStep);
        if (x < lastTempoX + 56 || point.nStep > l.EndStep()) continue;  // marks do not overlap
        Text(cr, text, Tempo(point.dTempo), x + 24, l.RulerTop() + 2);
        lastTempoX = x;
    }

    // Notes, softer ones lighter, each with an edge in its port's colour.
    for (const auto& n : roll.Notes()) {
        const CRgb colour = PortColour(n.nPort);
        // Whole pixels, so edges stay sharp.
        const double x0 = std::round(l.StepToX(n.nStep));
        const double x1 = std::round(l.StepToX(static_cast<uint32_t>(
            std::min<uint64_t>(uint64_t(n.nStep) + n.nLength, l.EndStep()))));
        const double w = std::max(2.0, x1 - x0);
        const double y = l.NoteTop(n.nNote);
        SetColour(cr, NoteShade(colour, n.nVelocity));
        cairo_rectangle(cr, x0, y, w, l.RowHeight());
        cairo_fill(cr);
        SetColour(cr, colour);
        cairo_set_line_width(cr, 1);
        cairo_rectangle(cr, x0 + 0.5, y + 0.5, w - 1, l.RowHeight() - 1);
        cairo_stroke(cr);
    }
}

}  // namespace

bool WritePng(const CRoll& roll, const CRollOptions& options, const std::string& path,
              std::string& sError) {
    const CRollLayout layout(roll, options);
    std::unique_ptr<cairo_surface_t, CSurfaceDeleter> surface(
        cairo_image_surface_create(CAIRO_FORMAT_RGB24, layout.Width(), layout.Height()));
    if (cairo_surface_status(surface.get()) != CAIRO_STATUS_SUCCESS) {
        sError = std::string("cannot make the picture: ") +
                 cairo_status_to_string(cairo_surface_status(surface.get()));
        return false;
    }
    std::unique_ptr<cairo_t, CContextDeleter> cr(cairo_create(surface.get()));
    std::unique_ptr<PangoLayout, CObjectDeleter> text(pango_cairo_create_layout(cr.get()));
    std::unique_ptr<PangoFontDescription, CFontDeleter> font(
        pango_font_description_from_string("Sans 9"));
    pango_layout_set_font_description(text.get(), font.get());
    Draw(cr.get(), text.get(), roll, layout);
    cairo_surface_flush(surface.get());
    const cairo_status_t status = cairo_surface_write_to_png(surface.get(), path.c_str());
    if (status != CAIRO_STATUS_SUCCESS) {
        sError = "cannot write '" + path + "': " + cairo_status_to_string(status);
        return false;
    }
    return true;
}

}  // namespace DUve::Render
