// The driver contract: control codes and the fixed-size little-endian records they
// carry. This one header is used by the library, the simulated driver and the tests, so
// the layouts are written once; every size and offset the protocol fixes is checked here.
#pragma once

#include <cstddef>
#include <cstdint>

#include "TarvoStatus.h"

// All requests are METHOD_BUFFERED on device type 0x8088.
constexpr uint32_t TARVO_IOCTL_DEVICE_TYPE = 0x8088;
constexpr uint32_t TarvoIoctlCode(uint32_t function)
{
    return (TARVO_IOCTL_DEVICE_TYPE << 16) | (function << 2);
}

// Device object name, also the device interface class announced by plug-and-play.
#define TARVO_DEVICE_OBJECT_NAME L"{7BEDFC26-BEC9-474c-B164-791405573A9A}"

// Connection and roles.
constexpr uint32_t TARVO_IOCTL_GET_DRIVER_INFO = 0x80882004;
constexpr uint32_t TARVO_IOCTL_SET_EVENTS = 0x80882058;
constexpr uint32_t TARVO_IOCTL_SET_ROLE = 0x80882064;
static_assert(TarvoIoctlCode(0x801) == TARVO_IOCTL_GET_DRIVER_INFO, "control code layout");

constexpr uint32_t TARVO_INTERFACE_VERSION_MAJOR = 2;
constexpr uint32_t TARVO_INTERFACE_VERSION_MINOR = 0;

constexpr uint32_t TARVO_ROLE_SERVER = 0;
constexpr uint32_t TARVO_ROLE_CLIENT = 2;
constexpr uint32_t TARVO_ROLE_VIEWER = 3;
constexpr uint32_t TARVO_ROLE_MIXER_VIEWER = 4;

constexpr uint32_t TARVO_BUILD_FLAG_DEBUG = 0x1;

// Message channel (records in TarvoMessage.h): post takes the record's 32 + payloadSize
// bytes; the fetches return 544 bytes.
constexpr uint32_t TARVO_IOCTL_POST_MESSAGE = 0x80882040;
constexpr uint32_t TARVO_IOCTL_GET_MESSAGE = 0x80882044;
constexpr uint32_t TARVO_IOCTL_GET_NOTIFICATION = 0x80882048;

// Device list.
constexpr uint32_t TARVO_IOCTL_GET_DEVICE_LIST = 0x80882080;
constexpr uint32_t TARVO_IOCTL_OPEN_DEVICE = 0x80882084;

// Common streaming state: information.
constexpr uint32_t TARVO_IOCTL_GET_INPUT_CHANNELS = 0x80882090;
constexpr uint32_t TARVO_IOCTL_GET_OUTPUT_CHANNELS = 0x80882094;
constexpr uint32_t TARVO_IOCTL_GET_CHANNEL_INFO = 0x80882098;
constexpr uint32_t TARVO_IOCTL_GET_SAMPLE_RATES = 0x808820C0;
constexpr uint32_t TARVO_IOCTL_GET_BUFFER_SIZES = 0x808820C4;
constexpr uint32_t TARVO_IOCTL_GET_STREAMING_STATUS = 0x808820D0;
constexpr uint32_t TARVO_IOCTL_GET_ERROR_COUNTERS = 0x808820D4;
constexpr uint32_t TARVO_IOCTL_GET_POLICY = 0x80882410;

// Common streaming state: control (sent by the service only).
constexpr uint32_t TARVO_IOCTL_STREAMING_COMMAND = 0x80882100;
constexpr uint32_t TARVO_IOCTL_SET_SAMPLE_RATE = 0x80882400;
constexpr uint32_t TARVO_IOCTL_SET_BUFFER_SIZES = 0x80882404;
constexpr uint32_t TARVO_IOCTL_SELECT_SAMPLE_RATE = 0x80882408;
constexpr uint32_t TARVO_IOCTL_SET_POLICY = 0x8088240C;
constexpr uint32_t TARVO_IOCTL_SET_STREAMING_DEVICE = 0x80882440;

// Device controls, sent on a device's own handle.
constexpr uint32_t TARVO_IOCTL_GET_SPDIF_STATUS = 0x80882C80;
constexpr uint32_t TARVO_IOCTL_SET_SPDIF_PASS_THROUGH = 0x80882C84;
constexpr uint32_t TARVO_IOCTL_GET_SPDIF_PASS_THROUGH = 0x80882C88;
constexpr uint32_t TARVO_IOCTL_GET_INPUT_LEVELS = 0x80882CC0;
constexpr uint32_t TARVO_IOCTL_GET_OUTPUT_LEVELS = 0x80882CC4;
constexpr uint32_t TARVO_IOCTL_GET_MIXER_PINS = 0x80882CE0;
constexpr uint32_t TARVO_IOCTL_GET_VOLUMES = 0x80882D00;
constexpr uint32_t TARVO_IOCTL_GET_WEIGHTS = 0x80882D04;
constexpr uint32_t TARVO_IOCTL_SET_VOLUMES = 0x80882D10;
constexpr uint32_t TARVO_IOCTL_SET_WEIGHTS = 0x80882D14;
constexpr uint32_t TARVO_IOCTL_SET_VOLUME_BYPASS = 0x80882D18;
constexpr uint32_t TARVO_IOCTL_GET_VOLUME_BYPASS = 0x80882D1C;
constexpr uint32_t TARVO_IOCTL_SET_MUTE_BYPASS = 0x80882D20;
constexpr uint32_t TARVO_IOCTL_GET_MUTE_BYPASS = 0x80882D24;
constexpr uint32_t TARVO_IOCTL_GET_STORED_VOLUMES = 0x80882DC0;
constexpr uint32_t TARVO_IOCTL_SET_STORED_VOLUMES = 0x80882DC4;
constexpr uint32_t TARVO_IOCTL_SET_PLUGIN_PARAMETERS = 0x80882E40;
constexpr uint32_t TARVO_IOCTL_GET_PLUGIN_PARAMETERS = 0x80882E44;

// Device configuration, sent by the service on a device's own handle.
constexpr uint32_t TARVO_IOCTL_GET_CHANNEL_GROUPS = 0x80882C00;
constexpr uint32_t TARVO_IOCTL_SET_ROUTING = 0x80882C20;
constexpr uint32_t TARVO_IOCTL_SET_WDM_CHANNELS = 0x80882C40;
constexpr uint32_t TARVO_IOCTL_SET_WDM_PINS = 0x80882C44;
constexpr uint32_t TARVO_IOCTL_C20 = 0x80883080;
constexpr uint32_t TARVO_IOCTL_C22 = 0x80883088;

// Streaming states and commands.
constexpr uint32_t TARVO_STREAM_UNDEFINED = 0;
constexpr uint32_t TARVO_STREAM_DOWN = 1;
constexpr uint32_t TARVO_STREAM_READY = 2;
constexpr uint32_t TARVO_STREAM_PREPARED = 3;
constexpr uint32_t TARVO_STREAM_RUNNING = 4;
constexpr uint32_t TARVO_STREAM_ERROR = 5;
constexpr uint32_t TARVO_STREAM_NOT_SUPPORTED = 6;

constexpr uint32_t TARVO_STREAM_CMD_RECOVER = 1;
constexpr uint32_t TARVO_STREAM_CMD_POWER_UP = 2;
constexpr uint32_t TARVO_STREAM_CMD_POWER_DOWN = 3;
constexpr uint32_t TARVO_STREAM_CMD_PREPARE = 4;
constexpr uint32_t TARVO_STREAM_CMD_RUN = 5;
constexpr uint32_t TARVO_STREAM_CMD_HALT = 6;

// Sample rates that denote the two DSD modes.
constexpr uint32_t TARVO_RATE_DSD64 = 2822400;
constexpr uint32_t TARVO_RATE_DSD128 = 5644800;

// Device entry flags.
constexpr uint32_t TARVO_DEVICE_FLAG_HIGH_SPEED = 0x00000001;
constexpr uint32_t TARVO_DEVICE_FLAG_PLUGIN = 0x00000100;
constexpr uint32_t TARVO_DEVICE_FLAG_STREAMING = 0x00010000;

// Record capacities.
constexpr uint32_t TARVO_MAX_DEVICES = 8;
constexpr uint32_t TARVO_SERIAL_CHARS = 20;
constexpr uint32_t TARVO_DEVICE_NAME_CHARS = 42;
constexpr uint32_t TARVO_MAX_CHANNELS = 96;
constexpr uint32_t TARVO_CHANNEL_NAME_CHARS = 42;
constexpr uint32_t TARVO_MAX_SAMPLE_RATES = 12;
constexpr uint32_t TARVO_STORED_VOLUME_CHANNELS = 16;
constexpr uint32_t TARVO_PLUGIN_MAX_PAIRS = 64;
constexpr uint32_t TARVO_MAX_CHANNEL_GROUPS = 12;
constexpr uint32_t TARVO_CHANNEL_GROUP_ITEMS = 16;
constexpr uint32_t TARVO_WDM_TABLE_ENTRIES = 32;
constexpr uint32_t TARVO_WDM_NAME_CHARS = 41;
constexpr uint32_t TARVO_WDM_KIND_HARDWARE = 1;
constexpr uint32_t TARVO_WDM_KIND_VIRTUAL = 40;

// Mixer pin list selectors and signal kinds.
constexpr uint32_t TARVO_PINS_MIXER_OUTPUTS = 0;
constexpr uint32_t TARVO_PINS_HARDWARE_INPUTS = 1;
constexpr uint32_t TARVO_PINS_SOFTWARE_OUTPUTS = 2;
constexpr uint8_t TARVO_PIN_ANALOG = 0;
constexpr uint8_t TARVO_PIN_SPDIF = 1;
constexpr uint8_t TARVO_PIN_OUT = 2;
constexpr uint8_t TARVO_PIN_SPDIF_PLAYBACK = 3;
constexpr uint8_t TARVO_PIN_VIRTUAL = 5;

constexpr uint32_t TARVO_STORED_VOLUMES_RENDER_TABLE = 2;

constexpr uint32_t TARVO_PLUGIN_CHANNEL_COUNT = 0;
constexpr uint32_t TARVO_PLUGIN_MAX_DELAY = 1;
constexpr uint32_t TARVO_PLUGIN_DELAY = 2;
constexpr uint32_t TARVO_PLUGIN_AMPLIFICATION = 3;

#pragma pack(push, 1)

struct TarvoDriverInfo {
    uint32_t interfaceMajor;
    uint32_t interfaceMinor;
    uint32_t driverMajor;
    uint32_t driverMinor;
    uint32_t driverBuild;  // the third number of the driver version
    uint32_t buildFlags;
};

// Event handles travel zero-extended in 64-bit slots whatever the caller's word size;
// 0 means no event, both 0 withdraws the events.
struct TarvoSetEventsRecord {
    uint64_t messageEvent;
    uint64_t notificationEvent;
};

struct TarvoRoleRecord {
    uint32_t role;
};

static_assert(sizeof(wchar_t) == 2, "texts of the records are UTF-16");

struct TarvoDeviceKey {
    uint32_t key0;
    uint32_t key1;
};

struct TarvoDeviceEntry {
    uint32_t key0;
    uint32_t key1;
    uint16_t vendorId;
    uint16_t productId;
    wchar_t serialNumber[TARVO_SERIAL_CHARS];
    wchar_t deviceName[TARVO_DEVICE_NAME_CHARS];
    uint32_t flags;
};

// At most 8 entries exist, whatever count says; readers clamp the count to 8.
struct TarvoDeviceList {
    uint32_t count;
    TarvoDeviceEntry entries[TARVO_MAX_DEVICES];
};

struct TarvoChannelId {
    uint32_t word0;
    uint32_t word1;
};

struct TarvoChannelList {
    uint32_t count;  // at most 96 are in the record
    TarvoChannelId channels[TARVO_MAX_CHANNELS];
};

struct TarvoChannelInfo {
    uint32_t reserved0[2];
    uint32_t key0;  // owning device
    uint32_t key1;
    uint32_t reserved1[2];
    wchar_t name[TARVO_CHANNEL_NAME_CHARS];
};

struct TarvoSampleRates {
    uint32_t currentRate;
    uint32_t count;  // at most 12 are in the record
    uint32_t rates[TARVO_MAX_SAMPLE_RATES];
};

// The settings part of the buffer sizes: sent unchanged in the set request.
struct TarvoBufferSizeSettings {
    uint32_t streamingClass;  // 0 Minimum .. 5 Safe
    uint32_t asioClass;       // 0 Minimum .. 3 Maximum
    uint32_t thirdSetting;    // handed back unchanged
};

struct TarvoBufferSizes {
    TarvoBufferSizeSettings settings;
    uint32_t streamingLatencyUs;
    uint32_t asioLatencyUs;
    uint32_t asioLengthSamples;
    uint32_t reserved[2];
};

struct TarvoStreamingStatus {
    uint32_t state;  // TARVO_STREAM_*
    uint32_t mode;   // 0 one device streams, 1 all devices together
    uint32_t sampleRate;
    uint32_t userCount1;  // a user of the stream
    uint32_t userCount2;  // a user that locks every configuration change
    uint32_t userCount3;  // locks sample rate, buffer sizes and streaming device
    uint32_t userCount4;
    uint32_t userCount5;
    uint32_t reserved;
};

struct TarvoErrorCounters {
    uint32_t streaming;
    uint32_t fifo;
    uint32_t asio;
    uint32_t wdmAudio;
    uint32_t wdmMidi;
};

struct TarvoPolicy {
    uint32_t flags;  // bit 0: sample rate changes forbidden
};

struct TarvoStreamingCommandRecord {
    uint32_t command;   // TARVO_STREAM_CMD_*
    uint32_t argument;  // mode flag for POWER_UP and POWER_DOWN, else 0
};

struct TarvoSampleRateRecord {
    uint32_t rate;
};

struct TarvoStreamingDeviceRecord {
    uint32_t allDevices;  // 1 all devices stream together, 0 one device
    uint32_t key0;
    uint32_t key1;
};

struct TarvoPin {
    uint8_t kind;     // TARVO_PIN_*
    uint8_t channel;  // 0-based
    uint8_t extra[2]; // carried along unchanged
};

struct TarvoLevelEntry {
    TarvoPin pin;
    int16_t level;  // hundredths of a dB
    uint16_t reserved;
};

constexpr uint8_t TARVO_VOLUME_FLAG_MUTED = 0x01;

struct TarvoVolumeEntry {
    TarvoPin pin;
    uint8_t zero;
    uint8_t flags;   // TARVO_VOLUME_FLAG_MUTED
    int16_t volume;  // hundredths of a dB
};

constexpr uint16_t TARVO_WEIGHT_FLAG_ON = 0x0001;

struct TarvoWeightEntry {
    TarvoPin outputPin;
    TarvoPin inputPin;
    int16_t weight;  // hundredths of a dB
    uint16_t flags;  // TARVO_WEIGHT_FLAG_ON
};

struct TarvoSpdifStatus {
    uint32_t inputNumber;
    uint32_t state;   // 0 not streaming, 1 no signal, 2 synchronizing, 3 locked
    uint32_t format;  // in state 3: 0 unknown, 1 PCM, 2 non-PCM
    uint32_t sampleRate;
};

struct TarvoSpdifPassThroughRecord {
    uint32_t selector1;
    uint32_t selector2;
    uint32_t value;  // non-zero = on
};

struct TarvoStoredVolumes {
    uint32_t table;  // TARVO_STORED_VOLUMES_RENDER_TABLE
    uint32_t index;  // entry index within that table
    int32_t volumes[TARVO_STORED_VOLUME_CHANNELS];  // signed 16.16 fixed point dB
    uint32_t flags[TARVO_STORED_VOLUME_CHANNELS];   // bit 0 = muted
};

struct TarvoPluginPair {
    uint32_t channel;
    uint32_t value;  // milliseconds, or thousandths for the amplification
};

// Ids 0 and 1 answer in value; ids 2 and 3 carry a pair count in value and the pairs.
struct TarvoPluginParameters {
    uint32_t id;  // TARVO_PLUGIN_*
    uint32_t value;
    TarvoPluginPair pairs[TARVO_PLUGIN_MAX_PAIRS];
};

struct TarvoChannelGroupItem {
    uint32_t type;
    uint32_t data;
};

struct TarvoChannelGroup {
    TarvoChannelGroupItem firstItems[TARVO_CHANNEL_GROUP_ITEMS];
    TarvoChannelGroupItem secondItems[TARVO_CHANNEL_GROUP_ITEMS];
    uint8_t reserved[40];
};

struct TarvoChannelGroups {
    uint32_t count;  // at most 12 are in the record
    uint32_t reserved;
    TarvoChannelGroup groups[TARVO_MAX_CHANNEL_GROUPS];
    uint8_t trailing[64];
};

struct TarvoRoutingRecord {
    uint32_t preset;  // the service sends 1
    uint32_t value;   // the service sends 40
    uint8_t zero[128];
};

struct TarvoWdmChannelEntry {
    uint32_t kind;        // TARVO_WDM_KIND_*
    uint32_t pairNumber;  // channel number / 2
    uint32_t side;        // channel number % 2
    wchar_t name[TARVO_WDM_NAME_CHARS];
    uint16_t zero;
};

struct TarvoWdmChannels {
    uint32_t inputCount;
    TarvoWdmChannelEntry inputs[TARVO_WDM_TABLE_ENTRIES];
    uint32_t outputCount;
    TarvoWdmChannelEntry outputs[TARVO_WDM_TABLE_ENTRIES];
};

struct TarvoWdmPinEntry {
    uint32_t kind;       // TARVO_WDM_KIND_*
    uint32_t pairCount;  // the service uses 1
    uint32_t pairs[8];
    uint32_t stateWord;  // entries reading 2 are skipped when volumes are saved
    uint32_t hardwareWord;  // 3 for hardware entries, 0 for virtual ones
    wchar_t name[TARVO_WDM_NAME_CHARS];
    uint8_t zero[6];
    uint32_t index;      // index within its table; the stored volume record uses it
    uint32_t levelWord;  // 0xFF800000 for hardware entries, 0 for virtual ones
    uint32_t zeroTail;
};

struct TarvoWdmPins {
    uint32_t captureCount;
    TarvoWdmPinEntry capture[TARVO_WDM_TABLE_ENTRIES];
    uint32_t renderCount;
    TarvoWdmPinEntry render[TARVO_WDM_TABLE_ENTRIES];
};

struct TarvoGroupValueRecord {
    uint32_t group;
    uint32_t value;
};

#pragma pack(pop)

static_assert(sizeof(TarvoDriverInfo) == 24, "driver info record");
static_assert(offsetof(TarvoDriverInfo, buildFlags) == 20, "driver info record");
static_assert(sizeof(TarvoSetEventsRecord) == 16, "set events record");
static_assert(offsetof(TarvoSetEventsRecord, notificationEvent) == 8, "set events record");
static_assert(sizeof(TarvoRoleRecord) == 4, "role record");

#define TARVO_CHECK_RECORD(type, size) static_assert(sizeof(type) == (size), #type " size")
#define TARVO_CHECK_OFFSET(type, field, offset) static_assert(offsetof(type, field) == (offset), #type "." #field)
TARVO_CHECK_RECORD(TarvoDeviceEntry, 140);
TARVO_CHECK_OFFSET(TarvoDeviceEntry, vendorId, 8);
TARVO_CHECK_OFFSET(TarvoDeviceEntry, productId, 10);
TARVO_CHECK_OFFSET(TarvoDeviceEntry, serialNumber, 12);
TARVO_CHECK_OFFSET(TarvoDeviceEntry, deviceName, 52);
TARVO_CHECK_OFFSET(TarvoDeviceEntry, flags, 136);
TARVO_CHECK_RECORD(TarvoDeviceList, 1124);
TARVO_CHECK_OFFSET(TarvoDeviceList, entries, 4);
TARVO_CHECK_RECORD(TarvoDeviceKey, 8);
TARVO_CHECK_RECORD(TarvoChannelList, 772);
TARVO_CHECK_RECORD(TarvoChannelInfo, 108);
TARVO_CHECK_OFFSET(TarvoChannelInfo, key0, 8);
TARVO_CHECK_OFFSET(TarvoChannelInfo, key1, 12);
TARVO_CHECK_OFFSET(TarvoChannelInfo, name, 24);
TARVO_CHECK_RECORD(TarvoSampleRates, 56);
TARVO_CHECK_RECORD(TarvoBufferSizeSettings, 12);
TARVO_CHECK_RECORD(TarvoBufferSizes, 32);
TARVO_CHECK_OFFSET(TarvoBufferSizes, streamingLatencyUs, 12);
TARVO_CHECK_OFFSET(TarvoBufferSizes, asioLengthSamples, 20);
TARVO_CHECK_RECORD(TarvoStreamingStatus, 36);
TARVO_CHECK_OFFSET(TarvoStreamingStatus, userCount1, 12);
TARVO_CHECK_OFFSET(TarvoStreamingStatus, userCount5, 28);
TARVO_CHECK_RECORD(TarvoErrorCounters, 20);
TARVO_CHECK_RECORD(TarvoPolicy, 4);
TARVO_CHECK_RECORD(TarvoStreamingCommandRecord, 8);
TARVO_CHECK_RECORD(TarvoSampleRateRecord, 4);
TARVO_CHECK_RECORD(TarvoStreamingDeviceRecord, 12);
TARVO_CHECK_RECORD(TarvoPin, 4);
TARVO_CHECK_RECORD(TarvoLevelEntry, 8);
TARVO_CHECK_OFFSET(TarvoLevelEntry, level, 4);
TARVO_CHECK_RECORD(TarvoVolumeEntry, 8);
TARVO_CHECK_OFFSET(TarvoVolumeEntry, flags, 5);
TARVO_CHECK_OFFSET(TarvoVolumeEntry, volume, 6);
TARVO_CHECK_RECORD(TarvoWeightEntry, 12);
TARVO_CHECK_OFFSET(TarvoWeightEntry, weight, 8);
TARVO_CHECK_OFFSET(TarvoWeightEntry, flags, 10);
TARVO_CHECK_RECORD(TarvoSpdifStatus, 16);
TARVO_CHECK_RECORD(TarvoSpdifPassThroughRecord, 12);
TARVO_CHECK_RECORD(TarvoStoredVolumes, 136);
TARVO_CHECK_OFFSET(TarvoStoredVolumes, volumes, 8);
TARVO_CHECK_OFFSET(TarvoStoredVolumes, flags, 72);
TARVO_CHECK_RECORD(TarvoPluginParameters, 520);
TARVO_CHECK_OFFSET(TarvoPluginParameters, pairs, 8);
TARVO_CHECK_RECORD(TarvoChannelGroup, 296);
TARVO_CHECK_RECORD(TarvoChannelGroups, 3624);
TARVO_CHECK_OFFSET(TarvoChannelGroups, groups, 8);
static_assert(offsetof(TarvoChannelGroups, groups) + offsetof(TarvoChannelGroup, secondItems) == 136,
              "second item array of group 0");
TARVO_CHECK_RECORD(TarvoRoutingRecord, 136);
TARVO_CHECK_RECORD(TarvoWdmChannelEntry, 96);
TARVO_CHECK_OFFSET(TarvoWdmChannelEntry, name, 12);
TARVO_CHECK_OFFSET(TarvoWdmChannelEntry, zero, 94);
TARVO_CHECK_RECORD(TarvoWdmChannels, 6152);
TARVO_CHECK_OFFSET(TarvoWdmChannels, outputCount, 3076);
TARVO_CHECK_OFFSET(TarvoWdmChannels, outputs, 3080);
TARVO_CHECK_RECORD(TarvoWdmPinEntry, 148);
TARVO_CHECK_OFFSET(TarvoWdmPinEntry, stateWord, 40);
TARVO_CHECK_OFFSET(TarvoWdmPinEntry, hardwareWord, 44);
TARVO_CHECK_OFFSET(TarvoWdmPinEntry, name, 48);
TARVO_CHECK_OFFSET(TarvoWdmPinEntry, zero, 130);
TARVO_CHECK_OFFSET(TarvoWdmPinEntry, index, 136);
TARVO_CHECK_OFFSET(TarvoWdmPinEntry, levelWord, 140);
TARVO_CHECK_RECORD(TarvoWdmPins, 9480);
TARVO_CHECK_OFFSET(TarvoWdmPins, renderCount, 4740);
TARVO_CHECK_OFFSET(TarvoWdmPins, render, 4744);
TARVO_CHECK_RECORD(TarvoGroupValueRecord, 8);
#undef TARVO_CHECK_RECORD
#undef TARVO_CHECK_OFFSET
