// The simulated driver's behaviour, apart from the kernel glue that feeds it requests:
// connections with their roles and events, the request table with the exact buffer
// sizes of every code, request counts, injected faults and delays. It runs under the
// glue's one lock and touches no kernel interface itself; the few things that need the
// kernel (holding and signalling a caller's events) go through SimEventOps.
//
// Freestanding C++: no constructors run for the one global SimLogic (it is zero
// initialised and set up by Init), no allocation, no exceptions.
#pragma once

#include <cstddef>
#include <cstdint>

#include "SimDevices.h"
#include "SimMessages.h"
#include "SimTestInterface.h"

// Kernel services for wake-up events, provided by the glue.
struct SimEventOps {
    // Gives the driver its own handle of an event handle of the calling process; called
    // only while the caller's request is being dispatched. Success or a TarvoStatus.
    TarvoStatus (*capture)(uint64_t callerHandle, void** held);
    void (*release)(void* held);
    void (*signal)(void* held);
};

// Room for every code the request table can ever hold (contract and test interface).
constexpr uint32_t SIM_MAX_REQUEST_CODES = 128;
// Largest input record of any request; inputs are copied off the shared system buffer
// into one scratch record of the logic (requests are dispatched one at a time).
constexpr uint32_t SIM_MAX_INPUT_SIZE = 10240;

// How a request's buffer sizes are checked against its table entry.
enum SimSizeRule : uint8_t {
    SIM_SIZE_EXACT = 0,    // inSize and outSize exactly as in the table
    SIM_SIZE_IN_UP_TO,     // input of 1..inSize bytes (a record posted with its exact length)
    SIM_SIZE_OUT_UP_TO,    // output of 0..outSize bytes, a whole number of outUnit entries
    SIM_SIZE_ARRAY,        // in place: inSize == outSize == n * unit, 1 <= n <= table inSize / unit
};

constexpr uint32_t SIM_DEFAULT_DRIVER_MAJOR = 3;
constexpr uint32_t SIM_DEFAULT_DRIVER_MINOR = 12;
constexpr uint32_t SIM_DEFAULT_DRIVER_BUILD = 4;
constexpr uint32_t SIM_DEFAULT_BUILD_FLAGS = 0;

// One open of the device object. The glue allocates it; the logic fills it.
struct SimConnection {
    uint32_t id;
    uint32_t processId;
    uint32_t role;  // SIM_NO_ROLE until SET_ROLE succeeded
    uint32_t setEventsCount;
    TarvoSetEventsRecord events;  // last accepted SET_EVENTS record, as received
    void* heldEvents[2];          // the driver's own handles: message, notification
    uint32_t counts[SIM_MAX_REQUEST_CODES];  // by index in the request table
    bool open;                    // false before Open and after Cleanup
    uint32_t boundDevice;         // plug id of the device OPEN_DEVICE bound it to; 0: unbound
    SimMailbox mailbox;           // message relay queues (SimMessages.cpp)
};

struct SimRequestResult {
    TarvoStatus status;
    uint32_t bytesWritten;  // valid output bytes (0 on failure)
    uint32_t delayMs;       // complete the request this much later; 0: at once
};

class SimLogic {
public:
    void Init(const SimEventOps& ops);

    // A new connection; false when SIM_MAX_CONNECTIONS are already open.
    bool Open(SimConnection& connection, uint32_t processId);
    // The last handle of the connection is closed: frees its role and events. Harmless twice.
    void Cleanup(SimConnection& connection);

    // One control request. The buffer is the METHOD_BUFFERED system buffer: it holds the
    // input (inSize bytes) and receives the output (at most outSize bytes); its size is
    // max(inSize, outSize). Nothing outside it is read or written.
    SimRequestResult Dispatch(SimConnection& connection, uint32_t code, void* buffer, uint32_t inSize,
                              uint32_t outSize);

    // Withdraws all events of all connections (driver unload).
    void ReleaseAll();

    // At least one simulated device is plugged (the glue announces the device interface then).
    bool HasDevices() const { return deviceCount != 0; }

    // Queues a notification (code, payload of size bytes) for every connection with a
    // notification event and signals those events. Provided by the message relay.
    void PostDriverNotification(uint32_t code, const void* payload, uint32_t size);

private:
    struct Request {
        SimConnection& connection;
        const uint8_t* in;  // private copy of the input record
        uint8_t* out;       // system buffer, outSize bytes
        uint32_t written;
        uint32_t inSize;    // as checked against the table entry's size rule
        uint32_t outSize;
    };
    typedef TarvoStatus (SimLogic::*Handler)(Request& request);
    struct RequestEntry {
        uint32_t code;
        uint32_t inSize;
        uint32_t outSize;
        bool counted;  // requests of the contract; test-interface requests are not counted
        Handler handler;
        SimSizeRule sizeRule;  // SIM_SIZE_EXACT where not given
        uint32_t unit;         // entry size for SIM_SIZE_OUT_UP_TO and SIM_SIZE_ARRAY
    };
    struct FaultEntry {
        uint32_t code;
        TarvoStatus status;
        uint32_t mode;
        uint32_t passesLeft;  // SIM_FAULT_ONCE_AFTER: requests still let through
    };
    struct DelayEntry {
        uint32_t code;
        uint32_t milliseconds;
    };

    static const RequestEntry kRequests[];
    static const uint32_t kRequestCount;

    static int FindRequest(uint32_t code);
    static TarvoStatus CheckSizes(const RequestEntry& entry, uint32_t inSize, uint32_t outSize);
    SimConnection* FindConnection(uint32_t connectionId);
    void ResetSimulation();
    void ClearCountsOfAll();
    void ReleaseEvents(SimConnection& connection);

    // Contract requests.
    TarvoStatus OnGetDriverInfo(Request& request);
    TarvoStatus OnSetEvents(Request& request);
    TarvoStatus OnSetRole(Request& request);
    // Test interface.
    TarvoStatus OnReset(Request& request);
    TarvoStatus OnSetDriverInfo(Request& request);
    TarvoStatus OnSetFault(Request& request);
    TarvoStatus OnSetDelay(Request& request);
    TarvoStatus OnGetCounts(Request& request);
    TarvoStatus OnClearCounts(Request& request);
    TarvoStatus OnGetConnections(Request& request);
    TarvoStatus OnWhoAmI(Request& request);
    TarvoStatus OnSignalEvents(Request& request);

    // Message relay (SimMessages.cpp).
    TarvoStatus OnPostMessage(Request& request);
    TarvoStatus OnGetMessage(Request& request);
    TarvoStatus OnGetNotification(Request& request);
    TarvoStatus OnInjectRecord(Request& request);  // test interface
    TarvoStatus RelayRequest(SimConnection& poster, TarvoMessage& record);
    TarvoStatus RelayReply(TarvoMessage& record);
    TarvoStatus Broadcast(const TarvoMessage& record, bool fromDriver);
    void ClearMailbox(SimConnection& connection);

    // Devices, device requests and the common streaming state (SimDevices.cpp,
    // SimStreaming.cpp).
    void ResetDevices();
    void ResetStreaming();
    void NotifyDriverChange(uint32_t code, const SimDevice* device);
    SimDevice* FindDeviceByPlugId(uint32_t plugId);
    SimDevice* FindDeviceByKey(uint32_t key0, uint32_t key1);
    SimDevice* FindDeviceBySerial(const wchar_t* serialNumber);
    TarvoStatus BoundDevice(Request& request, SimDevice*& device);
    TarvoStatus Logged(Request& request, uint32_t code, TarvoStatus status);
    void RefreshStreamingFlags();
    uint32_t StreamUsers() const;
    TarvoStatus OnGetDeviceList(Request& request);
    TarvoStatus OnOpenDevice(Request& request);
    TarvoStatus OnGetInputChannels(Request& request);
    TarvoStatus OnGetOutputChannels(Request& request);
    TarvoStatus OnGetChannelInfo(Request& request);
    TarvoStatus OnGetSampleRates(Request& request);
    TarvoStatus OnGetBufferSizes(Request& request);
    TarvoStatus OnGetStreamingStatus(Request& request);
    TarvoStatus OnGetErrorCounters(Request& request);
    TarvoStatus OnGetPolicy(Request& request);
    TarvoStatus OnStreamingCommand(Request& request);
    TarvoStatus OnSetSampleRate(Request& request);
    TarvoStatus OnSetBufferSizes(Request& request);
    TarvoStatus OnSelectSampleRate(Request& request);
    TarvoStatus OnSetPolicy(Request& request);
    TarvoStatus OnSetStreamingDevice(Request& request);
    TarvoStatus OnGetSpdifStatus(Request& request);
    TarvoStatus OnSetSpdifPassThrough(Request& request);
    TarvoStatus OnGetSpdifPassThrough(Request& request);
    TarvoStatus OnGetInputLevels(Request& request);
    TarvoStatus OnGetOutputLevels(Request& request);
    TarvoStatus OnGetMixerPins(Request& request);
    TarvoStatus OnGetVolumes(Request& request);
    TarvoStatus OnSetVolumes(Request& request);
    TarvoStatus OnGetWeights(Request& request);
    TarvoStatus OnSetWeights(Request& request);
    TarvoStatus OnSetVolumeBypass(Request& request);
    TarvoStatus OnGetVolumeBypass(Request& request);
    TarvoStatus OnSetMuteBypass(Request& request);
    TarvoStatus OnGetMuteBypass(Request& request);
    TarvoStatus OnGetStoredVolumes(Request& request);
    TarvoStatus OnSetStoredVolumes(Request& request);
    TarvoStatus OnSetPluginParameters(Request& request);
    TarvoStatus OnGetPluginParameters(Request& request);
    TarvoStatus OnGetChannelGroups(Request& request);
    TarvoStatus OnSetRouting(Request& request);
    TarvoStatus OnSetWdmChannels(Request& request);
    TarvoStatus OnSetWdmPins(Request& request);
    TarvoStatus OnC20(Request& request);
    TarvoStatus OnC22(Request& request);
    TarvoStatus OnSimPlug(Request& request);
    TarvoStatus OnSimUnplug(Request& request);
    TarvoStatus OnSimUnplugAll(Request& request);
    TarvoStatus OnSimRekey(Request& request);
    TarvoStatus OnSimSetUsers(Request& request);
    TarvoStatus OnSimSetDeviceUsers(Request& request);
    TarvoStatus OnSimSetPins(Request& request);
    TarvoStatus OnSimSoundDeviceEvent(Request& request);
    TarvoStatus OnSimRaiseErrors(Request& request);
    TarvoStatus OnSimGetState(Request& request);
    TarvoStatus OnSimGetDeviceSent(Request& request);
    TarvoStatus OnSimGetLog(Request& request);

    SimEventOps eventOps;
    TarvoDriverInfo driverInfo;
    uint32_t nextConnectionId;
    uint32_t connectionCount;
    SimConnection* connections[SIM_MAX_CONNECTIONS];  // open connections in order of opening
    SimConnection* server;                            // holder of role 0, or null
    uint32_t totals[SIM_MAX_REQUEST_CODES];
    uint32_t faultCount;
    FaultEntry faults[SIM_MAX_FAULTS];
    uint32_t delayCount;
    DelayEntry delays[SIM_MAX_DELAYS];
    uint8_t inputScratch[SIM_MAX_INPUT_SIZE];  // private copy of the current request's input
    uint32_t deviceCount;
    SimDevice devices[TARVO_MAX_DEVICES];  // in list order
    uint32_t nextPlugId;                   // never reset while loaded: keys are never reused
    SimStreaming streaming;
    uint32_t nextMessageTicket;  // stamped into echo1 of relayed requests; 0 never used
};
