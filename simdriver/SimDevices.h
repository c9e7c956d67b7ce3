// State of the simulated devices and of the common streaming state, held by SimLogic.
// Plain data: zeroed by SimLogic::Init and set up by its reset.
#pragma once

#include <cstdint>

#include "SimDeviceInterface.h"

constexpr uint32_t SIM_MAX_VOLUMES = 64;  // pins with a set volume, per device
constexpr uint32_t SIM_MAX_WEIGHTS = 26 * 18;  // crossing points with a set weight, per device
constexpr uint32_t SIM_PLUGIN_CHANNELS = 8;
constexpr uint32_t SIM_PLUGIN_MAX_DELAY_MS = 200;
constexpr uint32_t SIM_OFFERED_RATE_COUNT = 10;

// The driver's notification codes the simulator posts.
constexpr uint32_t SIM_NOTIFY_STREAM_SETTINGS_CHANGED = 3001;
constexpr uint32_t SIM_NOTIFY_STREAM_WANTED = 3003;
constexpr uint32_t SIM_NOTIFY_STREAM_RELEASED = 3004;
constexpr uint32_t SIM_NOTIFY_DEVICES_CHANGED = 3005;
constexpr uint32_t SIM_NOTIFY_DEVICE_SETTINGS_CHANGED = 3040;
constexpr uint32_t SIM_NOTIFY_VOLUMES_CHANGED = 3051;
constexpr uint32_t SIM_NOTIFY_WEIGHTS_CHANGED = 3052;

struct SimVolume {
    uint16_t pin;  // kind << 8 | channel
    uint8_t flags;
    uint8_t reserved;
    int16_t volume;
};

struct SimWeight {
    uint16_t outputPin;
    uint16_t inputPin;
    int16_t weight;
    uint16_t flags;
};

struct SimDevice {
    uint32_t plugId;  // unique while the driver is loaded; what OPEN_DEVICE binds a handle to
    SimDeviceSummary summary;  // entry and counters, as GET_STATE reports them
    TarvoPin pins[3][SIM_MAX_PINS];
    TarvoChannelGroups groups;
    uint32_t volumeCount;
    SimVolume volumes[SIM_MAX_VOLUMES];
    uint32_t weightCount;
    SimWeight weights[SIM_MAX_WEIGHTS];
    uint32_t pluginDelay[SIM_PLUGIN_CHANNELS];
    uint32_t pluginAmplification[SIM_PLUGIN_CHANNELS];
    SimDeviceSentRecord sent;
};

struct SimStreaming {
    TarvoStreamingStatus status;
    TarvoBufferSizeSettings buffers;
    TarvoErrorCounters errors;
    uint32_t policy;
    uint32_t selectedRate;
    uint32_t streamingKey0;
    uint32_t streamingKey1;
    uint32_t levelTick;  // advances with every level request, so levels move between polls
    uint32_t logSequence;
    SimLogRecord log;
};
