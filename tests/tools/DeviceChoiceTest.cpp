// Which device plays a port: --device, the port's instrument, the first MIDI device.
#include <gtest/gtest.h>

#include <optional>
#include <string>
#include <vector>

#include "App/cli/Cli.h"
#include "tools/play/DeviceChoice.h"
#include "tools/play/PlayOptions.h"

namespace {

using namespace DUve;
using namespace DUve::Play;
using DUve::AudioDevice::EKind;

const std::vector<CDeviceEntry> kDevices = {
    {"Midi Through", EKind::MidiOut, true}, {"Keys", EKind::MidiOut, true},
    {"Reverb", EKind::Vst, false},          {"Synth", EKind::Vst, true},
    {"system", EKind::Asio, false},         {"Default", EKind::DirectSound, false},
};

TEST(PlayDevices, EachPortPlaysWhereItsInstrumentSaysOrOnTheFirstMidiDevice) {
    struct CCase {
        std::optional<std::string> device;
        std::string sInstrument;
        std::string sPlaysOn;
    };
    const CCase cases[] = {
        {std::nullopt, "Keys", "Keys"},
        {std::nullopt, "Synth", "Synth"},
        {std::nullopt, "", "Midi Through"},
        {std::nullopt, "MIDI Out", "Midi Through"},  // names no device
        {std::nullopt, "keys", "Midi Through"},      // names are exact
        {std::nullopt, "Reverb", "Midi Through"},    // a device that takes no MIDI
        {std::nullopt, "Default", "Midi Through"},
        {"Synth", "Keys", "Synth"},  // --device wins over the instrument
        {"Keys", "", "Keys"},
    };
    for (const auto& c : cases) {
        const CDevicePlan plan(kDevices, c.device);
        EXPECT_EQ(plan.For(c.sInstrument), c.sPlaysOn)
            << c.device.value_or("-") << " / " << c.sInstrument;
    }
    EXPECT_EQ(CDevicePlan(kDevices, std::nullopt).Fallback(), "Midi Through");
}

TEST(PlayDevices, RefusedChoicesSayWhatThereIs) {
    struct CCase {
        std::vector<CDeviceEntry> devices;
        std::optional<std::string> device;
        int nCode;
        std::string sMessage;
    };
    const CCase cases[] = {
        {kDevices, "Nope", Cli::kUsage,
         "no device 'Nope'; the devices are: 'Midi Through', 'Keys', 'Reverb', 'Synth', 'system', "
         "'Default'"},
        {kDevices, "Reverb", Cli::kUsage,
         "'Reverb' (VST) takes no MIDI; the devices that do are: 'Midi Through', 'Keys', 'Synth'"},
        {kDevices, "system", Cli::kUsage,
         "'system' (audio output (JACK)) takes no MIDI; the devices that do are: 'Midi Through', "
         "'Keys', 'Synth'"},
        {{}, "Keys", Cli::kUsage, "no device 'Keys'; the devices are: none"},
        {{}, std::nullopt, kNoMidiDevice, "no MIDI device found"},
        {{{"Default", EKind::DirectSound, false}},
         std::nullopt,
         kNoMidiDevice,
         "no MIDI device found"},
    };
    for (const auto& c : cases) {
        try {
            CDevicePlan plan(c.devices, c.device);
            ADD_FAILURE() << "accepted: " << c.sMessage;
        } catch (const Cli::CExit& e) {
            EXPECT_EQ(e.nCode, c.nCode) << c.sMessage;
            EXPECT_EQ(e.sMessage, c.sMessage);
        }
    }
}

}  // namespace
