#include <gtest/gtest.h>

#include <cairo.h>

#include <cmath>
#include <memory>

#include "support/TempDir.h"
#include "tools/render/PianoRoll.h"

using namespace DUve;
using namespace DUve::Render;
namespace P = DUve::CRSeq::Property;

namespace {

// A PNG read back, pixel by pixel.
class CPicture {
public:
    explicit CPicture(const std::string& path)
        : m_surface(cairo_image_surface_create_from_png(path.c_str()), cairo_surface_destroy) {}
    bool Ok() const { return cairo_surface_status(m_surface.get()) == CAIRO_STATUS_SUCCESS; }
    int Width() const { return cairo_image_surface_get_width(m_surface.get()); }
    int Height() const { return cairo_image_surface_get_height(m_surface.get()); }
    CRgb At(double x, double y) const {
        const auto* data = cairo_image_surface_get_data(m_surface.get());
        const int stride = cairo_image_surface_get_stride(m_surface.get());
        const uint32_t px = *reinterpret_cast<const uint32_t*>(
            data + int(y) * stride + int(x) * 4);
        return {((px >> 16) & 0xFF) / 255.0, ((px >> 8) & 0xFF) / 255.0, (px & 0xFF) / 255.0};
    }

private:
    std::unique_ptr<cairo_surface_t, void (*)(cairo_surface_t*)> m_surface;
};

bool Near(const CRgb& a, const CRgb& b) {
    return std::abs(a.r - b.r) < 0.02 && std::abs(a.g - b.g) < 0.02 && std::abs(a.b - b.b) < 0.02;
}
double Lightness(const CRgb& c) {
    return c.r + c.g + c.b;
}

P::CEventNote Note(uint8_t note, uint8_t velocity, uint32_t length) {
    P::CEventNote e;
    e.nNote = note;
    e.nVelocity = velocity;
    e.nLength = length;
    return e;
}

}  // namespace

// Two ports, notes of known steps, pitches and velocities, and a change to 3/4 in bar 3:
// every note is drawn in its port's colour where its step and pitch put it, the softer note
// lighter, nothing of it in the rows beside it, and the bar lines follow the meters.
TEST(PianoRoll, NotesSitWhereTheirStepAndPitchPutThem) {
    CRoll roll;
    const size_t melody = roll.AddPort({"Melody", "lead", "synth"});
    const size_t bass = roll.AddPort({"Bass", "", ""});
    struct CCase {
        size_t port;
        uint32_t step;
        uint8_t note, velocity;
        uint32_t length;
    } cases[] = {
        {melody, 0, 72, 127, 480},   {melody, 480, 74, 127, 480}, {melody, 960, 76, 40, 960},
        {bass, 0, 48, 100, 1920},    {bass, 3840, 43, 100, 1440},
    };
    for (const auto& c : cases) roll.AddEvent(c.port, c.step, Note(c.note, c.velocity, c.length));
    P::CEventMeter waltz;
    waltz.nBeats = 3;
    waltz.nBeatLength = 480;
    roll.AddEvent(bass, 3840, waltz);
    P::CEventTempo tempo;
    tempo.dTempo = 96;
    roll.AddEvent(melody, 0, tempo);

    PalvorTest::CTempDir dir;
    const std::string path = (dir.Path() / "roll.png").string();
    std::string error;
    ASSERT_TRUE(WritePng(roll, {800}, path, error)) << error;
    const CPicture picture(path);
    ASSERT_TRUE(picture.Ok());
    const CRollLayout layout(roll, {800});
    EXPECT_EQ(picture.Width(), 800);
    EXPECT_EQ(picture.Height(), layout.Height());

    // Bars: 4/4, 4/4, then 3/4 from step 3840: the last note ends the third bar.
    EXPECT_EQ(layout.Bars(), (std::vector<uint32_t>{0, 1920, 3840}));
    EXPECT_EQ(layout.EndStep(), 5280u);
    EXPECT_EQ(layout.Beats().size(), 3u + 3u + 2u);
    EXPECT_LE(layout.LowNote(), 41);
    EXPECT_GE(layout.HighNote(), 78);
    EXPECT_NEAR(layout.StepToX(960) - layout.StepToX(0), 2 * (layout.StepToX(480) - layout.StepToX(0)), 1e-9);
    EXPECT_LE(layout.StepToX(layout.EndStep()), 800);

    const double row = layout.RowHeight();
    for (const auto& c : cases) {
        SCOPED_TRACE("note " + std::to_string(c.note) + " at step " + std::to_string(c.step));
        const double x0 = std::round(layout.StepToX(c.step));
        const double x1 = std::round(layout.StepToX(c.step + c.length));
        const double y = layout.NoteTop(c.note);
        const double cx = std::floor((x0 + x1) / 2) + 0.5;
        EXPECT_TRUE(Near(picture.At(cx, y + row / 2), NoteShade(PortColour(c.port), c.velocity)));
        EXPECT_TRUE(Near(picture.At(x0 + 0.5, y + row / 2), PortColour(c.port)));  // its edge
        EXPECT_FALSE(Near(picture.At(x0 - 2, y + row / 2), PortColour(c.port)));   // before it
        for (double beside : {y - row / 2, y + row * 1.5})
            EXPECT_FALSE(Near(picture.At(cx, beside), NoteShade(PortColour(c.port), c.velocity)));
    }
    const auto loud = picture.At(layout.StepToX(240), layout.NoteTop(72) + row / 2);
    const auto soft = picture.At(layout.StepToX(1440), layout.NoteTop(76) + row / 2);
    EXPECT_LT(Lightness(loud), Lightness(soft));

    // Bar lines cross empty rows; between them the rows stay clear.
    const double emptyRow = layout.NoteTop(60) + row / 2;
    for (uint32_t bar : {1920u, 3840u})
        EXPECT_LT(Lightness(picture.At(std::floor(layout.StepToX(bar)), emptyRow)), 2.0) << bar;
    EXPECT_GT(Lightness(picture.At(layout.StepToX(4000), emptyRow)), 2.8);
}

// Nothing to draw still gives a picture of one bar over two octaves; one that cannot be
// written says why.
TEST(PianoRoll, EmptyRollsAndUnwritablePaths) {
    CRoll roll;
    const CRollLayout layout(roll, {10});
    EXPECT_EQ(layout.Width(), CRollOptions::kMinWidth);
    EXPECT_EQ(layout.Bars().size(), 1u);
    EXPECT_EQ(layout.EndStep(), 1920u);
    EXPECT_GE(layout.HighNote() - layout.LowNote(), 24);

    std::string error;
    EXPECT_FALSE(WritePng(roll, {}, "/nonexistent-folder/roll.png", error));
    EXPECT_NE(error.find("/nonexistent-folder/roll.png"), std::string::npos) << error;
}
