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

#pragma pack(pop)

static_assert(sizeof(TarvoDriverInfo) == 24, "driver info record");
static_assert(offsetof(TarvoDriverInfo, buildFlags) == 20, "driver info record");
static_assert(sizeof(TarvoSetEventsRecord) == 16, "set events record");
static_assert(offsetof(TarvoSetEventsRecord, notificationEvent) == 8, "set events record");
static_assert(sizeof(TarvoRoleRecord) == 4, "role record");
