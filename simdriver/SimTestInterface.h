// The simulated driver's private test interface: requests that only tests, benchmarks
// and the velkanosim tool send. They use their own device type, so no code can collide
// with a request of the driver contract, and they are never counted in the request
// counts, so a test can inspect the driver without disturbing what it measures.
#pragma once

#include <cstddef>
#include <cstdint>

#include "TarvoIoctl.h"
#include "TarvoMessage.h"

constexpr uint32_t SIM_IOCTL_DEVICE_TYPE = 0x8F00;
constexpr uint32_t SimIoctlCode(uint32_t function)
{
    return (SIM_IOCTL_DEVICE_TYPE << 16) | (function << 2);  // METHOD_BUFFERED, any access
}

// Back to the state of a fresh load: default versions, no faults or delays, counts zero.
// Open connections stay open; their roles and events are kept.
constexpr uint32_t SIM_IOCTL_RESET = SimIoctlCode(0x800);             // in none, out none
// Versions and build flags GET_DRIVER_INFO reports from now on.
constexpr uint32_t SIM_IOCTL_SET_DRIVER_INFO = SimIoctlCode(0x801);   // in TarvoDriverInfo
constexpr uint32_t SIM_IOCTL_SET_FAULT = SimIoctlCode(0x802);         // in SimFaultRecord
constexpr uint32_t SIM_IOCTL_SET_DELAY = SimIoctlCode(0x803);         // in SimDelayRecord
constexpr uint32_t SIM_IOCTL_GET_COUNTS = SimIoctlCode(0x804);        // out SimCountList
constexpr uint32_t SIM_IOCTL_CLEAR_COUNTS = SimIoctlCode(0x805);      // in none, out none
constexpr uint32_t SIM_IOCTL_GET_CONNECTIONS = SimIoctlCode(0x806);   // out SimConnectionList
// The id of the connection the request is sent on.
constexpr uint32_t SIM_IOCTL_WHO_AM_I = SimIoctlCode(0x807);          // out SimConnectionIdRecord
// Signals the events a connection registered with SET_EVENTS, as the driver does when a
// message or notification waits for it.
constexpr uint32_t SIM_IOCTL_SIGNAL_EVENTS = SimIoctlCode(0x808);     // in SimSignalRecord
// Places one record, unchecked, into a queue of a connection and signals the queue's event,
// so a test can hand a receiver records the relay itself never queues (a wrong type, a
// payload that does not fit the code or the length).
constexpr uint32_t SIM_IOCTL_INJECT_RECORD = SimIoctlCode(0x840);     // in SimInjectRecord

constexpr uint32_t SIM_FAULT_CLEAR = 0;        // stop failing the code
constexpr uint32_t SIM_FAULT_ONCE = 1;         // fail the next request with the code, then clear
constexpr uint32_t SIM_FAULT_PERSISTENT = 2;   // fail every request with the code until cleared
// Accept every request with the code (status 0) without carrying it out, until cleared:
// a driver that takes a command and stays where it was.
constexpr uint32_t SIM_FAULT_IGNORE = 3;
// SIM_FAULT_ONCE_AFTER + n: let n requests with the code pass, fail the next one, then clear.
constexpr uint32_t SIM_FAULT_ONCE_AFTER = 0x100;
constexpr uint32_t SIM_FAULT_MAX_PASSES = 0xFF;

constexpr uint32_t SIM_SIGNAL_MESSAGE = 0x1;
constexpr uint32_t SIM_SIGNAL_NOTIFICATION = 0x2;

constexpr uint32_t SIM_QUEUE_MESSAGE = 0;
constexpr uint32_t SIM_QUEUE_NOTIFICATION = 1;

constexpr uint32_t SIM_NO_ROLE = 0xFFFFFFFF;
constexpr uint32_t SIM_TOTAL_CONNECTION_ID = 0;  // connection id of the all-connections totals
constexpr uint32_t SIM_MAX_FAULTS = 16;
constexpr uint32_t SIM_MAX_DELAYS = 16;
constexpr uint32_t SIM_MAX_CONNECTIONS = 64;
constexpr uint32_t SIM_MAX_COUNT_ENTRIES = 256;
constexpr uint32_t SIM_MAX_DELAY_MS = 60000;

#pragma pack(push, 1)

struct SimFaultRecord {
    uint32_t code;    // control code to fail
    uint32_t status;  // status to complete it with
    uint32_t mode;    // SIM_FAULT_*
};

struct SimDelayRecord {
    uint32_t code;          // control code to complete late
    uint32_t milliseconds;  // 0 clears; at most SIM_MAX_DELAY_MS
};

struct SimCodeCount {
    uint32_t connectionId;  // SIM_TOTAL_CONNECTION_ID for the totals since the last reset
    uint32_t code;
    uint32_t count;
};

struct SimCountList {
    uint32_t count;  // entries used
    uint32_t reserved;
    SimCodeCount entries[SIM_MAX_COUNT_ENTRIES];
};

struct SimConnectionInfo {
    uint32_t connectionId;       // 1, 2, ... in order of opening; never reused in a load
    uint32_t processId;          // the process that opened it
    uint32_t role;               // SIM_NO_ROLE until SET_ROLE succeeded
    uint32_t setEventsCount;     // SET_EVENTS requests accepted on this connection
    TarvoSetEventsRecord events; // the last SET_EVENTS record, exactly as received
    uint32_t eventsHeld;         // SIM_SIGNAL_* bits: events the driver holds a handle of
    uint32_t reserved;
};

struct SimConnectionList {
    uint32_t count;
    uint32_t reserved;
    SimConnectionInfo connections[SIM_MAX_CONNECTIONS];
};

struct SimConnectionIdRecord {
    uint32_t connectionId;
};

struct SimSignalRecord {
    uint32_t connectionId;
    uint32_t which;  // SIM_SIGNAL_* bits
};

struct SimInjectRecord {
    uint32_t connectionId;
    uint32_t queue;        // SIM_QUEUE_*
    uint32_t length;       // leading bytes of record stored, 32..544; the rest is queued as zero
    TarvoMessage record;   // stored as given: no field is checked
};

#pragma pack(pop)

static_assert(sizeof(SimFaultRecord) == 12, "fault record");
static_assert(sizeof(SimDelayRecord) == 8, "delay record");
static_assert(sizeof(SimCodeCount) == 12, "count entry");
static_assert(offsetof(SimCountList, entries) == 8, "count list");
static_assert(sizeof(SimConnectionInfo) == 40, "connection info");
static_assert(offsetof(SimConnectionInfo, events) == 16, "connection info");
static_assert(offsetof(SimConnectionList, connections) == 8, "connection list");
static_assert(offsetof(SimInjectRecord, record) == 12, "inject record");
static_assert(sizeof(SimInjectRecord) == 12 + TARVO_MSG_RECORD_SIZE, "inject record");

// Devices and the common streaming state.
#include "SimDeviceInterface.h"
