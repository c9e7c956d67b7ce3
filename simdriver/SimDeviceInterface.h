// The test interface of the simulated devices and the common streaming state: plugging and
// unplugging devices, playing the audio applications that use the stream, raising error
// counters, and reading back everything the driver was sent. Same device type and rules as
// the rest of the test interface (SimTestInterface.h includes this header); functions
// 0x820 and up.
#pragma once

#include <cstddef>
#include <cstdint>

#include "TarvoIoctl.h"

// Plugs a device: in SimPlugRecord, out TarvoDeviceKey (the key the driver gave it).
// TARVO_STATUS_NO_RESOURCES when 8 devices are plugged. Posts 3005.
constexpr uint32_t SIM_IOCTL_PLUG = (0x8F00u << 16) | (0x820u << 2);
// Unplugs every device with the serial number: in SimSerialRecord. OBJECT_NOT_FOUND when none.
constexpr uint32_t SIM_IOCTL_UNPLUG = (0x8F00u << 16) | (0x821u << 2);
constexpr uint32_t SIM_IOCTL_UNPLUG_ALL = (0x8F00u << 16) | (0x822u << 2);  // in none
// Sets the five user counters: in SimUsersRecord. Posts 3003 / 3004 when the stream gains
// its first user / loses its last one.
constexpr uint32_t SIM_IOCTL_SET_USERS = (0x8F00u << 16) | (0x823u << 2);
// Adds to the error counters: in TarvoErrorCounters. A streaming error while Prepared or
// Running puts the stream into Error.
constexpr uint32_t SIM_IOCTL_RAISE_ERRORS = (0x8F00u << 16) | (0x824u << 2);
constexpr uint32_t SIM_IOCTL_GET_STATE = (0x8F00u << 16) | (0x825u << 2);        // out SimStateRecord
// What one device was sent: in u32 index in the device list, out SimDeviceSentRecord.
constexpr uint32_t SIM_IOCTL_GET_DEVICE_SENT = (0x8F00u << 16) | (0x826u << 2);
constexpr uint32_t SIM_IOCTL_GET_LOG = (0x8F00u << 16) | (0x827u << 2);          // out SimLogRecord
// The device re-enumerates: in SimRekeyRecord. It stays plugged (bound handles keep
// working) but gets a new key and the given flags. Posts 3005, then 3006 when the device
// streams (flag bit 16) and the stream is Ready, Prepared or Running.
constexpr uint32_t SIM_IOCTL_REKEY = (0x8F00u << 16) | (0x828u << 2);
// Sets the users of one device (a WDM application playing or recording through it alone):
// in SimDeviceUsersRecord. Posts 3015 / 3016 with the device key when the device gains its
// first user / loses its last one; OBJECT_NOT_FOUND for an unknown serial number.
constexpr uint32_t SIM_IOCTL_SET_DEVICE_USERS = (0x8F00u << 16) | (0x830u << 2);
// Gives one pin list of a device a new length (the device changed its mixer): in
// SimPinsRecord. Posts 3050 with the device key when the length changes.
constexpr uint32_t SIM_IOCTL_SET_PINS = (0x8F00u << 16) | (0x831u << 2);
// The system opens a WDM sound device of a device: in SimSoundDeviceEventRecord. The entry
// must exist in the last SET_WDM_PINS table the device was sent (else OBJECT_NOT_FOUND).
// Posts 3060 with key, table and index.
constexpr uint32_t SIM_IOCTL_SOUND_DEVICE_EVENT = (0x8F00u << 16) | (0x832u << 2);

// SimPlugRecord.options: which optional parts of the record are given. Without a bit the
// simulator's default is used (simdriver/README.md lists them).
constexpr uint32_t SIM_PLUG_FLAGS_GIVEN = 0x01;     // flags (else: high speed)
constexpr uint32_t SIM_PLUG_PINS_GIVEN = 0x02;      // pinCounts (else 12, 10, 8)
constexpr uint32_t SIM_PLUG_CHANNELS_GIVEN = 0x04;  // inputChannels, outputChannels (else 8, 8)
constexpr uint32_t SIM_PLUG_GROUPS_GIVEN = 0x08;    // groupCount, type2Array, type2Group (else 2, 1, 0)
constexpr uint32_t SIM_PLUG_NO_SPDIF = 0x10;        // the device has no SPDIF input

constexpr uint32_t SIM_MAX_PINS = 32;             // per pin list selector
constexpr uint32_t SIM_MAX_DEVICE_CHANNELS = 32;  // per direction
constexpr uint32_t SIM_MAX_LOG_ENTRIES = 64;
constexpr uint32_t SIM_LOG_DATA_BYTES = 16;
constexpr uint32_t SIM_MAX_STORED_VOLUMES = 32;   // render table entries with a stored record
constexpr uint32_t SIM_MAX_GROUP_VALUES = 4;      // C20/C22 groups 0..3

#pragma pack(push, 1)

struct SimPlugRecord {
    uint32_t options;  // SIM_PLUG_* bits
    uint32_t flags;    // device entry flags; bit 16 follows the streaming selection
    uint16_t vendorId;   // 0: default
    uint16_t productId;  // 0: default
    wchar_t serialNumber[TARVO_SERIAL_CHARS];  // empty: default
    wchar_t deviceName[TARVO_DEVICE_NAME_CHARS];  // empty: default
    uint32_t pinCounts[3];  // per selector 0, 1, 2; at most SIM_MAX_PINS
    uint32_t inputChannels;   // at most SIM_MAX_DEVICE_CHANNELS
    uint32_t outputChannels;
    uint32_t groupCount;  // at most TARVO_MAX_CHANNEL_GROUPS
    uint32_t type2Array;  // 0 no type-2 item, 1 in the first item array, 2 in the second
    uint32_t type2Group;  // the group that holds it
};

struct SimSerialRecord {
    wchar_t serialNumber[TARVO_SERIAL_CHARS];
};

struct SimRekeyRecord {
    wchar_t serialNumber[TARVO_SERIAL_CHARS];  // the first listed device with it
    uint32_t flags;
};

struct SimUsersRecord {
    uint32_t counts[5];  // userCount1 .. userCount5
};

struct SimDeviceUsersRecord {
    wchar_t serialNumber[TARVO_SERIAL_CHARS];  // the first listed device with it
    uint32_t users;
};

struct SimPinsRecord {
    wchar_t serialNumber[TARVO_SERIAL_CHARS];  // the first listed device with it
    uint32_t selector;  // pin list 0, 1 or 2
    uint32_t count;     // at most SIM_MAX_PINS
};

constexpr uint32_t SIM_SOUND_TABLE_CAPTURE = 1;
constexpr uint32_t SIM_SOUND_TABLE_RENDER = 2;

struct SimSoundDeviceEventRecord {
    wchar_t serialNumber[TARVO_SERIAL_CHARS];  // the first listed device with it
    uint32_t table;  // SIM_SOUND_TABLE_*
    uint32_t index;  // entry in that table of the last SET_WDM_PINS
};

struct SimDeviceSummary {
    TarvoDeviceEntry entry;
    uint32_t options;            // SIM_PLUG_* of the plug record
    uint32_t pinCounts[3];
    uint32_t inputChannels;
    uint32_t outputChannels;
    uint32_t boundConnections;   // open connections bound to it
    uint32_t routingCount;       // SET_ROUTING accepted
    uint32_t wdmChannelsCount;   // SET_WDM_CHANNELS accepted
    uint32_t wdmPinsCount;       // SET_WDM_PINS accepted
    uint32_t c20Mask;            // bit g: C20 received for group g
    uint32_t c22Mask;
    uint32_t c20Values[SIM_MAX_GROUP_VALUES];  // last value per group
    uint32_t c22Values[SIM_MAX_GROUP_VALUES];
    uint32_t spdifPassThrough;   // as GET answers it (0 off, 2 on)
    uint8_t volumeBypass;
    uint8_t muteBypass;
    uint8_t reserved[2];
    uint32_t volumeCount;        // pins with a set volume
    uint32_t weightCount;        // crossing points with a set weight
};

struct SimStateRecord {
    TarvoStreamingStatus status;
    TarvoBufferSizes bufferSizes;
    TarvoErrorCounters errors;
    uint32_t policy;
    uint32_t selectedRate;  // last SELECT_SAMPLE_RATE, 0 when none
    uint32_t streamingKey0;  // mode 0: the streaming device, 0/0 when none picked
    uint32_t streamingKey1;
    uint32_t deviceCount;
    SimDeviceSummary devices[TARVO_MAX_DEVICES];
};

struct SimDeviceSentRecord {
    uint32_t index;
    uint32_t storedCount;  // entries of stored used, in order of first setting
    TarvoRoutingRecord routing;    // last accepted, zero when none
    TarvoWdmChannels wdmChannels;  // last accepted
    TarvoWdmPins wdmPins;          // last accepted
    TarvoStoredVolumes stored[SIM_MAX_STORED_VOLUMES];
};

struct SimLogEntry {
    uint32_t sequence;      // 1, 2, ... since the last reset
    uint32_t code;
    uint32_t connectionId;
    uint32_t deviceKey0;    // the bound device for device requests, else 0
    uint32_t status;        // the request's outcome
    uint32_t inSize;
    uint8_t data[SIM_LOG_DATA_BYTES];  // the first input bytes, zero-padded
};

// The streaming commands and set requests received (well-formed ones, accepted or
// refused), oldest first; the oldest are dropped beyond SIM_MAX_LOG_ENTRIES.
struct SimLogRecord {
    uint32_t count;
    uint32_t dropped;
    SimLogEntry entries[SIM_MAX_LOG_ENTRIES];
};

#pragma pack(pop)

static_assert(sizeof(SimPlugRecord) == 168, "plug record");
static_assert(offsetof(SimPlugRecord, pinCounts) == 136, "plug record");
static_assert(sizeof(SimSerialRecord) == 40, "serial record");
static_assert(sizeof(SimRekeyRecord) == 44, "rekey record");
static_assert(sizeof(SimUsersRecord) == 20, "users record");
static_assert(sizeof(SimDeviceUsersRecord) == 44, "device users record");
static_assert(sizeof(SimPinsRecord) == 48, "pins record");
static_assert(sizeof(SimSoundDeviceEventRecord) == 48, "sound device event record");
static_assert(sizeof(SimDeviceSummary) == 140 + 96, "device summary");
static_assert(offsetof(SimStateRecord, devices) == 36 + 32 + 20 + 20, "state record");
static_assert(sizeof(SimLogEntry) == 40, "log entry");
static_assert(offsetof(SimLogRecord, entries) == 8, "log record");
static_assert(offsetof(SimDeviceSentRecord, wdmChannels) == 8 + 136, "device sent record");
