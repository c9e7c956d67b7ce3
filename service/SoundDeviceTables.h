// What the service tells the driver to publish for a device: its named WDM channels and
// its stereo WDM sound devices. The records are built here as plain functions, so the
// tables can be checked without a device; the device object sends them.
#pragma once

#include <cstdint>

#include "TarvoApiContext.h"

constexpr uint32_t VKN_HARDWARE_CHANNELS = 16;  // per direction
constexpr uint32_t VKN_HARDWARE_PAIRS = 8;
constexpr uint32_t VKN_LEVEL_WORD_HARDWARE = 0xFF800000;  // -128.0 dB in 16.16 fixed point
constexpr uint32_t VKN_HARDWARE_ENTRY_WORD = 3;

// Registry values of a device's sound device configuration; 0 (or missing) means one
// stereo sound device per hardware channel pair, any other value none for that side.
#define VKN_RENDER_CONFIGURATION_VALUE L"WdmRenderSoundDeviceConfiguration"
#define VKN_CAPTURE_CONFIGURATION_VALUE L"WdmCaptureSoundDeviceConfiguration"

// Whether any item, in either array, of any group inside the record has type 2. Only
// the groups the record holds are read, whatever count the driver reports; a failing
// request answers false.
bool HasChannelGroupType2(TarvoApiContext& device);

// The channel record: 16 hardware outputs unless withoutHardwareOutputs, 16 hardware
// inputs unless withoutHardwareInputs, then always the two virtual inputs.
void BuildChannelTable(bool withoutHardwareOutputs, bool withoutHardwareInputs, TarvoWdmChannels& table);
// The sound device record for a render and a capture configuration.
void BuildSoundDeviceTable(uint32_t renderConfiguration, uint32_t captureConfiguration, TarvoWdmPins& table);

// Builds and sends the channel table; hardware channels are published only while the
// device reports no type-2 channel group (asked once per direction).
TarvoStatus SendChannelTable(TarvoApiContext& device);
// Builds the sound device table into the caller's record (the device keeps it) and sends it.
TarvoStatus SendSoundDeviceTable(TarvoApiContext& device, uint32_t renderConfiguration,
                                 uint32_t captureConfiguration, TarvoWdmPins& table);
