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
    uint32_t users;  // SIM_IOCTL_SET_DEVICE_USERS: applications using this device alone
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
