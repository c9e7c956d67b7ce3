#include "SimLogic.h"

#include "SimBytes.h"

namespace {

bool IsValidRole(uint32_t role)
{
    return role == TARVO_ROLE_SERVER || role == TARVO_ROLE_CLIENT || role == TARVO_ROLE_VIEWER ||
           role == TARVO_ROLE_MIXER_VIEWER;
}

// Only error-severity values make a request fail on the caller's side; anything else would
// reach it as success.
bool IsFailureStatus(TarvoStatus status)
{
    return (status & 0xC0000000U) == 0xC0000000U;
}

constexpr uint32_t kMessageSlot = 0;
constexpr uint32_t kNotificationSlot = 1;
constexpr uint32_t kSignalBits[2] = {SIM_SIGNAL_MESSAGE, SIM_SIGNAL_NOTIFICATION};

uint32_t HeldBits(const SimConnection& connection)
{
    uint32_t bits = 0;
    for (uint32_t slot = 0; slot < 2; ++slot)
        if (connection.heldEvents[slot] != nullptr)
            bits |= kSignalBits[slot];
    return bits;
}

}  // namespace

// Every request the simulator answers, with the buffer sizes it accepts (exact unless a
// size rule says otherwise). New requests of the contract are added here with counted = true.
const SimLogic::RequestEntry SimLogic::kRequests[] = {
    {TARVO_IOCTL_GET_DRIVER_INFO, 0, sizeof(TarvoDriverInfo), true, &SimLogic::OnGetDriverInfo, SIM_SIZE_EXACT, 0},
    {TARVO_IOCTL_SET_EVENTS, sizeof(TarvoSetEventsRecord), 0, true, &SimLogic::OnSetEvents, SIM_SIZE_EXACT, 0},
    {TARVO_IOCTL_SET_ROLE, sizeof(TarvoRoleRecord), 0, true, &SimLogic::OnSetRole, SIM_SIZE_EXACT, 0},

    {SIM_IOCTL_RESET, 0, 0, false, &SimLogic::OnReset, SIM_SIZE_EXACT, 0},
    {SIM_IOCTL_SET_DRIVER_INFO, sizeof(TarvoDriverInfo), 0, false, &SimLogic::OnSetDriverInfo, SIM_SIZE_EXACT, 0},
    {SIM_IOCTL_SET_FAULT, sizeof(SimFaultRecord), 0, false, &SimLogic::OnSetFault, SIM_SIZE_EXACT, 0},
    {SIM_IOCTL_SET_DELAY, sizeof(SimDelayRecord), 0, false, &SimLogic::OnSetDelay, SIM_SIZE_EXACT, 0},
    {SIM_IOCTL_GET_COUNTS, 0, sizeof(SimCountList), false, &SimLogic::OnGetCounts, SIM_SIZE_EXACT, 0},
    {SIM_IOCTL_CLEAR_COUNTS, 0, 0, false, &SimLogic::OnClearCounts, SIM_SIZE_EXACT, 0},
    {SIM_IOCTL_GET_CONNECTIONS, 0, sizeof(SimConnectionList), false, &SimLogic::OnGetConnections, SIM_SIZE_EXACT, 0},
    {SIM_IOCTL_WHO_AM_I, 0, sizeof(SimConnectionIdRecord), false, &SimLogic::OnWhoAmI, SIM_SIZE_EXACT, 0},
    {SIM_IOCTL_SIGNAL_EVENTS, sizeof(SimSignalRecord), 0, false, &SimLogic::OnSignalEvents, SIM_SIZE_EXACT, 0},

    // Message relay (SimMessages.cpp): a post carries 1..544 bytes, checked by the handler.
    {TARVO_IOCTL_POST_MESSAGE, sizeof(TarvoMessage), 0, true, &SimLogic::OnPostMessage, SIM_SIZE_IN_UP_TO, 0},
    {TARVO_IOCTL_GET_MESSAGE, 0, sizeof(TarvoMessage), true, &SimLogic::OnGetMessage, SIM_SIZE_EXACT, 0},
    {TARVO_IOCTL_GET_NOTIFICATION, 0, sizeof(TarvoMessage), true, &SimLogic::OnGetNotification, SIM_SIZE_EXACT, 0},
    {SIM_IOCTL_INJECT_RECORD, sizeof(SimInjectRecord), 0, false, &SimLogic::OnInjectRecord, SIM_SIZE_EXACT, 0},

    // Devices and the common streaming state (SimDevices.cpp, SimStreaming.cpp).
    {TARVO_IOCTL_GET_DEVICE_LIST, 0, sizeof(TarvoDeviceList), true, &SimLogic::OnGetDeviceList, SIM_SIZE_EXACT, 0},
    {TARVO_IOCTL_OPEN_DEVICE, sizeof(TarvoDeviceKey), 0, true, &SimLogic::OnOpenDevice, SIM_SIZE_EXACT, 0},
    {TARVO_IOCTL_GET_INPUT_CHANNELS, 0, sizeof(TarvoChannelList), true, &SimLogic::OnGetInputChannels, SIM_SIZE_EXACT, 0},
    {TARVO_IOCTL_GET_OUTPUT_CHANNELS, 0, sizeof(TarvoChannelList), true, &SimLogic::OnGetOutputChannels, SIM_SIZE_EXACT, 0},
    {TARVO_IOCTL_GET_CHANNEL_INFO, sizeof(TarvoChannelId), sizeof(TarvoChannelInfo), true, &SimLogic::OnGetChannelInfo, SIM_SIZE_EXACT, 0},
    {TARVO_IOCTL_GET_SAMPLE_RATES, 0, sizeof(TarvoSampleRates), true, &SimLogic::OnGetSampleRates, SIM_SIZE_EXACT, 0},
    {TARVO_IOCTL_GET_BUFFER_SIZES, 0, sizeof(TarvoBufferSizes), true, &SimLogic::OnGetBufferSizes, SIM_SIZE_EXACT, 0},
    {TARVO_IOCTL_GET_STREAMING_STATUS, 0, sizeof(TarvoStreamingStatus), true, &SimLogic::OnGetStreamingStatus, SIM_SIZE_EXACT, 0},
    {TARVO_IOCTL_GET_ERROR_COUNTERS, 0, sizeof(TarvoErrorCounters), true, &SimLogic::OnGetErrorCounters, SIM_SIZE_EXACT, 0},
    {TARVO_IOCTL_GET_POLICY, 0, sizeof(TarvoPolicy), true, &SimLogic::OnGetPolicy, SIM_SIZE_EXACT, 0},
    {TARVO_IOCTL_STREAMING_COMMAND, sizeof(TarvoStreamingCommandRecord), 0, true, &SimLogic::OnStreamingCommand, SIM_SIZE_EXACT, 0},
    {TARVO_IOCTL_SET_SAMPLE_RATE, sizeof(TarvoSampleRateRecord), 0, true, &SimLogic::OnSetSampleRate, SIM_SIZE_EXACT, 0},
    {TARVO_IOCTL_SET_BUFFER_SIZES, sizeof(TarvoBufferSizeSettings), 0, true, &SimLogic::OnSetBufferSizes, SIM_SIZE_EXACT, 0},
    {TARVO_IOCTL_SELECT_SAMPLE_RATE, sizeof(TarvoSampleRateRecord), 0, true, &SimLogic::OnSelectSampleRate, SIM_SIZE_EXACT, 0},
    {TARVO_IOCTL_SET_POLICY, sizeof(TarvoPolicy), 0, true, &SimLogic::OnSetPolicy, SIM_SIZE_EXACT, 0},
    {TARVO_IOCTL_SET_STREAMING_DEVICE, sizeof(TarvoStreamingDeviceRecord), 0, true, &SimLogic::OnSetStreamingDevice, SIM_SIZE_EXACT, 0},
    {TARVO_IOCTL_GET_SPDIF_STATUS, sizeof(TarvoSpdifStatus), sizeof(TarvoSpdifStatus), true, &SimLogic::OnGetSpdifStatus, SIM_SIZE_EXACT, 0},
    {TARVO_IOCTL_SET_SPDIF_PASS_THROUGH, sizeof(TarvoSpdifPassThroughRecord), 0, true, &SimLogic::OnSetSpdifPassThrough, SIM_SIZE_EXACT, 0},
    {TARVO_IOCTL_GET_SPDIF_PASS_THROUGH, sizeof(TarvoSpdifPassThroughRecord), sizeof(TarvoSpdifPassThroughRecord), true, &SimLogic::OnGetSpdifPassThrough, SIM_SIZE_EXACT, 0},
    {TARVO_IOCTL_GET_INPUT_LEVELS, 64 * sizeof(TarvoLevelEntry), 64 * sizeof(TarvoLevelEntry), true, &SimLogic::OnGetInputLevels, SIM_SIZE_ARRAY, sizeof(TarvoLevelEntry)},
    {TARVO_IOCTL_GET_OUTPUT_LEVELS, 64 * sizeof(TarvoLevelEntry), 64 * sizeof(TarvoLevelEntry), true, &SimLogic::OnGetOutputLevels, SIM_SIZE_ARRAY, sizeof(TarvoLevelEntry)},
    {TARVO_IOCTL_GET_MIXER_PINS, sizeof(uint32_t), 64 * sizeof(TarvoPin), true, &SimLogic::OnGetMixerPins, SIM_SIZE_OUT_UP_TO, sizeof(TarvoPin)},
    {TARVO_IOCTL_GET_VOLUMES, SIM_MAX_VOLUMES * sizeof(TarvoVolumeEntry), SIM_MAX_VOLUMES * sizeof(TarvoVolumeEntry), true, &SimLogic::OnGetVolumes, SIM_SIZE_ARRAY, sizeof(TarvoVolumeEntry)},
    {TARVO_IOCTL_SET_VOLUMES, SIM_MAX_VOLUMES * sizeof(TarvoVolumeEntry), SIM_MAX_VOLUMES * sizeof(TarvoVolumeEntry), true, &SimLogic::OnSetVolumes, SIM_SIZE_ARRAY, sizeof(TarvoVolumeEntry)},
    {TARVO_IOCTL_GET_WEIGHTS, SIM_MAX_WEIGHTS * sizeof(TarvoWeightEntry), SIM_MAX_WEIGHTS * sizeof(TarvoWeightEntry), true, &SimLogic::OnGetWeights, SIM_SIZE_ARRAY, sizeof(TarvoWeightEntry)},
    {TARVO_IOCTL_SET_WEIGHTS, SIM_MAX_WEIGHTS * sizeof(TarvoWeightEntry), SIM_MAX_WEIGHTS * sizeof(TarvoWeightEntry), true, &SimLogic::OnSetWeights, SIM_SIZE_ARRAY, sizeof(TarvoWeightEntry)},
    {TARVO_IOCTL_SET_VOLUME_BYPASS, 1, 0, true, &SimLogic::OnSetVolumeBypass, SIM_SIZE_EXACT, 0},
    {TARVO_IOCTL_GET_VOLUME_BYPASS, 0, 1, true, &SimLogic::OnGetVolumeBypass, SIM_SIZE_EXACT, 0},
    {TARVO_IOCTL_SET_MUTE_BYPASS, 1, 0, true, &SimLogic::OnSetMuteBypass, SIM_SIZE_EXACT, 0},
    {TARVO_IOCTL_GET_MUTE_BYPASS, 0, 1, true, &SimLogic::OnGetMuteBypass, SIM_SIZE_EXACT, 0},
    {TARVO_IOCTL_GET_STORED_VOLUMES, sizeof(TarvoStoredVolumes), sizeof(TarvoStoredVolumes), true, &SimLogic::OnGetStoredVolumes, SIM_SIZE_EXACT, 0},
    {TARVO_IOCTL_SET_STORED_VOLUMES, sizeof(TarvoStoredVolumes), 0, true, &SimLogic::OnSetStoredVolumes, SIM_SIZE_EXACT, 0},
    {TARVO_IOCTL_SET_PLUGIN_PARAMETERS, sizeof(TarvoPluginParameters), 0, true, &SimLogic::OnSetPluginParameters, SIM_SIZE_EXACT, 0},
    {TARVO_IOCTL_GET_PLUGIN_PARAMETERS, sizeof(TarvoPluginParameters), sizeof(TarvoPluginParameters), true, &SimLogic::OnGetPluginParameters, SIM_SIZE_EXACT, 0},
    {TARVO_IOCTL_GET_CHANNEL_GROUPS, 0, sizeof(TarvoChannelGroups), true, &SimLogic::OnGetChannelGroups, SIM_SIZE_EXACT, 0},
    {TARVO_IOCTL_SET_ROUTING, sizeof(TarvoRoutingRecord), 0, true, &SimLogic::OnSetRouting, SIM_SIZE_EXACT, 0},
    {TARVO_IOCTL_SET_WDM_CHANNELS, sizeof(TarvoWdmChannels), 0, true, &SimLogic::OnSetWdmChannels, SIM_SIZE_EXACT, 0},
    {TARVO_IOCTL_SET_WDM_PINS, sizeof(TarvoWdmPins), 0, true, &SimLogic::OnSetWdmPins, SIM_SIZE_EXACT, 0},
    {TARVO_IOCTL_C20, sizeof(TarvoGroupValueRecord), 0, true, &SimLogic::OnC20, SIM_SIZE_EXACT, 0},
    {TARVO_IOCTL_C22, sizeof(TarvoGroupValueRecord), 0, true, &SimLogic::OnC22, SIM_SIZE_EXACT, 0},
    {SIM_IOCTL_PLUG, sizeof(SimPlugRecord), sizeof(TarvoDeviceKey), false, &SimLogic::OnSimPlug, SIM_SIZE_EXACT, 0},
    {SIM_IOCTL_UNPLUG, sizeof(SimSerialRecord), 0, false, &SimLogic::OnSimUnplug, SIM_SIZE_EXACT, 0},
    {SIM_IOCTL_UNPLUG_ALL, 0, 0, false, &SimLogic::OnSimUnplugAll, SIM_SIZE_EXACT, 0},
    {SIM_IOCTL_REKEY, sizeof(SimRekeyRecord), 0, false, &SimLogic::OnSimRekey, SIM_SIZE_EXACT, 0},
    {SIM_IOCTL_SET_USERS, sizeof(SimUsersRecord), 0, false, &SimLogic::OnSimSetUsers, SIM_SIZE_EXACT, 0},
    {SIM_IOCTL_SET_DEVICE_USERS, sizeof(SimDeviceUsersRecord), 0, false, &SimLogic::OnSimSetDeviceUsers, SIM_SIZE_EXACT, 0},
    {SIM_IOCTL_SET_PINS, sizeof(SimPinsRecord), 0, false, &SimLogic::OnSimSetPins, SIM_SIZE_EXACT, 0},
    {SIM_IOCTL_SOUND_DEVICE_EVENT, sizeof(SimSoundDeviceEventRecord), 0, false, &SimLogic::OnSimSoundDeviceEvent, SIM_SIZE_EXACT, 0},
    {SIM_IOCTL_RAISE_ERRORS, sizeof(TarvoErrorCounters), 0, false, &SimLogic::OnSimRaiseErrors, SIM_SIZE_EXACT, 0},
    {SIM_IOCTL_GET_STATE, 0, sizeof(SimStateRecord), false, &SimLogic::OnSimGetState, SIM_SIZE_EXACT, 0},
    {SIM_IOCTL_GET_DEVICE_SENT, sizeof(uint32_t), sizeof(SimDeviceSentRecord), false, &SimLogic::OnSimGetDeviceSent, SIM_SIZE_EXACT, 0},
    {SIM_IOCTL_GET_LOG, 0, sizeof(SimLogRecord), false, &SimLogic::OnSimGetLog, SIM_SIZE_EXACT, 0},
};
const uint32_t SimLogic::kRequestCount = sizeof(kRequests) / sizeof(kRequests[0]);

void SimLogic::Init(const SimEventOps& ops)
{
    static_assert(sizeof(kRequests) / sizeof(kRequests[0]) <= SIM_MAX_REQUEST_CODES,
                  "request table outgrew the count arrays");
    ZeroBytes(this, sizeof(*this));
    eventOps = ops;
    nextConnectionId = 1;
    ResetSimulation();
}

void SimLogic::ResetSimulation()
{
    driverInfo.interfaceMajor = TARVO_INTERFACE_VERSION_MAJOR;
    driverInfo.interfaceMinor = TARVO_INTERFACE_VERSION_MINOR;
    driverInfo.driverMajor = SIM_DEFAULT_DRIVER_MAJOR;
    driverInfo.driverMinor = SIM_DEFAULT_DRIVER_MINOR;
    driverInfo.driverBuild = SIM_DEFAULT_DRIVER_BUILD;
    driverInfo.buildFlags = SIM_DEFAULT_BUILD_FLAGS;
    faultCount = 0;
    delayCount = 0;
    ClearCountsOfAll();
    ResetDevices();
    ResetStreaming();
}

void SimLogic::ClearCountsOfAll()
{
    ZeroBytes(totals, sizeof(totals));
    for (uint32_t i = 0; i < connectionCount; ++i)
        ZeroBytes(connections[i]->counts, sizeof(connections[i]->counts));
}

bool SimLogic::Open(SimConnection& connection, uint32_t processId)
{
    if (connectionCount >= SIM_MAX_CONNECTIONS)
        return false;
    ZeroBytes(&connection, sizeof(connection));
    connection.id = nextConnectionId++;
    connection.processId = processId;
    connection.role = SIM_NO_ROLE;
    connection.open = true;
    connections[connectionCount++] = &connection;
    return true;
}

void SimLogic::Cleanup(SimConnection& connection)
{
    if (!connection.open)
        return;
    connection.open = false;
    if (server == &connection)
        server = nullptr;
    ReleaseEvents(connection);
    ClearMailbox(connection);  // its queued records go with it
    for (uint32_t i = 0; i < connectionCount; ++i) {
        if (connections[i] != &connection)
            continue;
        for (uint32_t j = i + 1; j < connectionCount; ++j)
            connections[j - 1] = connections[j];
        --connectionCount;
        connections[connectionCount] = nullptr;
        break;
    }
}

void SimLogic::ReleaseAll()
{
    for (uint32_t i = 0; i < connectionCount; ++i)
        ReleaseEvents(*connections[i]);
}

void SimLogic::ReleaseEvents(SimConnection& connection)
{
    for (void*& held : connection.heldEvents) {
        if (held != nullptr)
            eventOps.release(held);
        held = nullptr;
    }
}

int SimLogic::FindRequest(uint32_t code)
{
    for (uint32_t i = 0; i < kRequestCount; ++i)
        if (kRequests[i].code == code)
            return static_cast<int>(i);
    return -1;
}

SimConnection* SimLogic::FindConnection(uint32_t connectionId)
{
    for (uint32_t i = 0; i < connectionCount; ++i)
        if (connections[i]->id == connectionId)
            return connections[i];
    return nullptr;
}

TarvoStatus SimLogic::CheckSizes(const RequestEntry& entry, uint32_t inSize, uint32_t outSize)
{
    switch (entry.sizeRule) {
    case SIM_SIZE_IN_UP_TO:
        if (inSize == 0 || inSize > entry.inSize)
            return TARVO_STATUS_INVALID_INBUFFER_SIZE;
        return outSize == entry.outSize ? TARVO_STATUS_SUCCESS : TARVO_STATUS_INVALID_OUTBUFFER_SIZE;
    case SIM_SIZE_OUT_UP_TO:
        if (inSize != entry.inSize)
            return TARVO_STATUS_INVALID_INBUFFER_SIZE;
        return outSize <= entry.outSize && outSize % entry.unit == 0 ? TARVO_STATUS_SUCCESS
                                                                     : TARVO_STATUS_INVALID_OUTBUFFER_SIZE;
    case SIM_SIZE_ARRAY:
        if (inSize == 0 || inSize > entry.inSize || inSize % entry.unit != 0)
            return TARVO_STATUS_INVALID_INBUFFER_SIZE;
        return outSize == inSize ? TARVO_STATUS_SUCCESS : TARVO_STATUS_INVALID_OUTBUFFER_SIZE;
    case SIM_SIZE_EXACT:
    default:
        if (inSize != entry.inSize)
            return TARVO_STATUS_INVALID_INBUFFER_SIZE;
        return outSize == entry.outSize ? TARVO_STATUS_SUCCESS : TARVO_STATUS_INVALID_OUTBUFFER_SIZE;
    }
}

SimRequestResult SimLogic::Dispatch(SimConnection& connection, uint32_t code, void* buffer, uint32_t inSize,
                                    uint32_t outSize)
{
    SimRequestResult result = {TARVO_STATUS_SUCCESS, 0, 0};
    if (!connection.open) {
        result.status = TARVO_STATUS_NOT_OPENED;
        return result;
    }
    const int index = FindRequest(code);
    if (index < 0) {
        result.status = TARVO_STATUS_INVALID_IOCTL;
        return result;
    }
    const RequestEntry& entry = kRequests[index];

    // A counted code is counted whatever becomes of the request: the count says what the
    // driver received.
    if (entry.counted) {
        ++connection.counts[index];
        ++totals[index];
        for (uint32_t i = 0; i < delayCount; ++i)
            if (delays[i].code == code)
                result.delayMs = delays[i].milliseconds;
    }

    result.status = CheckSizes(entry, inSize, outSize);
    if (result.status != TARVO_STATUS_SUCCESS)
        return result;
    if (inSize > SIM_MAX_INPUT_SIZE || ((inSize != 0 || outSize != 0) && buffer == nullptr)) {
        result.status = TARVO_STATUS_INVALID_PARAMETER;
        return result;
    }

    // A fault replaces a well-formed request's outcome; the request is not carried out.
    if (entry.counted) {
        for (uint32_t i = 0; i < faultCount; ++i) {
            if (faults[i].code != code)
                continue;
            if (faults[i].passesLeft > 0) {
                --faults[i].passesLeft;
                break;
            }
            result.status = faults[i].status;
            if (faults[i].mode != SIM_FAULT_PERSISTENT && faults[i].mode != SIM_FAULT_IGNORE)
                faults[i] = faults[--faultCount];
            return result;
        }
    }

    // The input and output share the system buffer: the handler reads a private copy.
    CopyBytes(inputScratch, buffer, inSize);
    Request request = {connection, inputScratch, static_cast<uint8_t*>(buffer), 0, inSize, outSize};
    result.status = (this->*entry.handler)(request);
    if (result.status == TARVO_STATUS_SUCCESS)
        result.bytesWritten = request.written <= outSize ? request.written : outSize;
    return result;
}

// ---- requests of the contract ----

TarvoStatus SimLogic::OnGetDriverInfo(Request& request)
{
    WriteRecord(request.out, driverInfo);
    request.written = sizeof(driverInfo);
    return TARVO_STATUS_SUCCESS;
}

// Replaces the connection's events: the new handles are taken before the old ones are let
// go, so a refused record leaves the previous events in place.
TarvoStatus SimLogic::OnSetEvents(Request& request)
{
    const TarvoSetEventsRecord record = ReadRecord<TarvoSetEventsRecord>(request.in);
    const uint64_t wanted[2] = {record.messageEvent, record.notificationEvent};
    void* taken[2] = {nullptr, nullptr};
    for (uint32_t slot = 0; slot < 2; ++slot) {
        if (wanted[slot] == 0)
            continue;
        const TarvoStatus status = eventOps.capture(wanted[slot], &taken[slot]);
        if (status != TARVO_STATUS_SUCCESS) {
            for (void* held : taken)
                if (held != nullptr)
                    eventOps.release(held);
            return status;
        }
    }
    SimConnection& connection = request.connection;
    ReleaseEvents(connection);
    connection.heldEvents[kMessageSlot] = taken[kMessageSlot];
    connection.heldEvents[kNotificationSlot] = taken[kNotificationSlot];
    connection.events = record;
    ++connection.setEventsCount;
    return TARVO_STATUS_SUCCESS;
}

TarvoStatus SimLogic::OnSetRole(Request& request)
{
    const TarvoRoleRecord record = ReadRecord<TarvoRoleRecord>(request.in);
    if (!IsValidRole(record.role))
        return TARVO_STATUS_INVALID_PARAMETER;
    SimConnection& connection = request.connection;
    if (record.role == TARVO_ROLE_SERVER) {
        if (server != nullptr && server != &connection)
            return TARVO_STATUS_ALREADY_DONE;
        server = &connection;
    } else if (server == &connection) {
        server = nullptr;  // the server steps down to another role
    }
    const bool newClient = record.role == TARVO_ROLE_CLIENT && connection.role != TARVO_ROLE_CLIENT;
    connection.role = record.role;
    // A control panel that arrives needs the device list from the service; with no device
    // plugged its empty start is already right, and a plug later posts 3005.
    if (newClient && server != nullptr && deviceCount != 0)
        NotifyDriverChange(TARVO_NOTIFY_LIST_REQUEST, nullptr);
    return TARVO_STATUS_SUCCESS;
}

// ---- test interface ----

TarvoStatus SimLogic::OnReset(Request&)
{
    ResetSimulation();
    return TARVO_STATUS_SUCCESS;
}

TarvoStatus SimLogic::OnSetDriverInfo(Request& request)
{
    driverInfo = ReadRecord<TarvoDriverInfo>(request.in);
    return TARVO_STATUS_SUCCESS;
}

TarvoStatus SimLogic::OnSetFault(Request& request)
{
    const SimFaultRecord record = ReadRecord<SimFaultRecord>(request.in);
    const int index = FindRequest(record.code);
    if (index < 0 || !kRequests[index].counted)
        return TARVO_STATUS_INVALID_PARAMETER;
    const bool onceAfter =
        record.mode >= SIM_FAULT_ONCE_AFTER && record.mode <= SIM_FAULT_ONCE_AFTER + SIM_FAULT_MAX_PASSES;
    if (record.mode != SIM_FAULT_CLEAR && record.mode != SIM_FAULT_ONCE && record.mode != SIM_FAULT_PERSISTENT &&
        record.mode != SIM_FAULT_IGNORE && !onceAfter)
        return TARVO_STATUS_INVALID_PARAMETER;
    // Ignoring answers success; every other fault needs a failure status.
    if (record.mode == SIM_FAULT_IGNORE ? record.status != TARVO_STATUS_SUCCESS
                                        : record.mode != SIM_FAULT_CLEAR && !IsFailureStatus(record.status))
        return TARVO_STATUS_INVALID_PARAMETER;
    const FaultEntry fault = {record.code, record.status, record.mode,
                              onceAfter ? record.mode - SIM_FAULT_ONCE_AFTER : 0};

    for (uint32_t i = 0; i < faultCount; ++i) {
        if (faults[i].code != record.code)
            continue;
        if (record.mode == SIM_FAULT_CLEAR)
            faults[i] = faults[--faultCount];
        else
            faults[i] = fault;
        return TARVO_STATUS_SUCCESS;
    }
    if (record.mode == SIM_FAULT_CLEAR)
        return TARVO_STATUS_SUCCESS;
    if (faultCount >= SIM_MAX_FAULTS)
        return TARVO_STATUS_NO_RESOURCES;
    faults[faultCount++] = fault;
    return TARVO_STATUS_SUCCESS;
}

TarvoStatus SimLogic::OnSetDelay(Request& request)
{
    const SimDelayRecord record = ReadRecord<SimDelayRecord>(request.in);
    const int index = FindRequest(record.code);
    if (index < 0 || !kRequests[index].counted)
        return TARVO_STATUS_INVALID_PARAMETER;
    if (record.milliseconds > SIM_MAX_DELAY_MS)
        return TARVO_STATUS_INVALID_PARAMETER;

    for (uint32_t i = 0; i < delayCount; ++i) {
        if (delays[i].code != record.code)
            continue;
        if (record.milliseconds == 0)
            delays[i] = delays[--delayCount];
        else
            delays[i].milliseconds = record.milliseconds;
        return TARVO_STATUS_SUCCESS;
    }
    if (record.milliseconds == 0)
        return TARVO_STATUS_SUCCESS;
    if (delayCount >= SIM_MAX_DELAYS)
        return TARVO_STATUS_NO_RESOURCES;
    delays[delayCount++] = {record.code, record.milliseconds};
    return TARVO_STATUS_SUCCESS;
}

// Totals first, then each open connection in order of opening; only non-zero counts. The
// list is cut at SIM_MAX_COUNT_ENTRIES, so the totals are always complete.
TarvoStatus SimLogic::OnGetCounts(Request& request)
{
    ZeroBytes(request.out, sizeof(SimCountList));
    SimCountList* list = reinterpret_cast<SimCountList*>(request.out);  // packed: no alignment needs
    uint32_t used = 0;
    auto add = [&](uint32_t connectionId, uint32_t index, uint32_t count) {
        if (count == 0 || used >= SIM_MAX_COUNT_ENTRIES)
            return;
        list->entries[used].connectionId = connectionId;
        list->entries[used].code = kRequests[index].code;
        list->entries[used].count = count;
        ++used;
    };
    for (uint32_t index = 0; index < kRequestCount; ++index)
        add(SIM_TOTAL_CONNECTION_ID, index, totals[index]);
    for (uint32_t i = 0; i < connectionCount; ++i)
        for (uint32_t index = 0; index < kRequestCount; ++index)
            add(connections[i]->id, index, connections[i]->counts[index]);
    list->count = used;
    request.written = sizeof(SimCountList);
    return TARVO_STATUS_SUCCESS;
}

TarvoStatus SimLogic::OnClearCounts(Request&)
{
    ClearCountsOfAll();
    return TARVO_STATUS_SUCCESS;
}

TarvoStatus SimLogic::OnGetConnections(Request& request)
{
    ZeroBytes(request.out, sizeof(SimConnectionList));
    SimConnectionList* list = reinterpret_cast<SimConnectionList*>(request.out);
    for (uint32_t i = 0; i < connectionCount; ++i) {
        const SimConnection& connection = *connections[i];
        SimConnectionInfo& info = list->connections[i];
        info.connectionId = connection.id;
        info.processId = connection.processId;
        info.role = connection.role;
        info.setEventsCount = connection.setEventsCount;
        info.events = connection.events;
        info.eventsHeld = HeldBits(connection);
    }
    list->count = connectionCount;
    request.written = sizeof(SimConnectionList);
    return TARVO_STATUS_SUCCESS;
}

TarvoStatus SimLogic::OnWhoAmI(Request& request)
{
    SimConnectionIdRecord record = {request.connection.id};
    WriteRecord(request.out, record);
    request.written = sizeof(record);
    return TARVO_STATUS_SUCCESS;
}

// Signals nothing unless every asked-for event is held, so a test learns when its
// registration did not take.
TarvoStatus SimLogic::OnSignalEvents(Request& request)
{
    const SimSignalRecord record = ReadRecord<SimSignalRecord>(request.in);
    if (record.which == 0 || (record.which & ~(SIM_SIGNAL_MESSAGE | SIM_SIGNAL_NOTIFICATION)) != 0)
        return TARVO_STATUS_INVALID_PARAMETER;
    SimConnection* target = FindConnection(record.connectionId);
    if (target == nullptr)
        return TARVO_STATUS_OBJECT_NOT_FOUND;
    if ((HeldBits(*target) & record.which) != record.which)
        return TARVO_STATUS_NOT_POSSIBLE;
    for (uint32_t slot = 0; slot < 2; ++slot)
        if ((record.which & kSignalBits[slot]) != 0)
            eventOps.signal(target->heldEvents[slot]);
    return TARVO_STATUS_SUCCESS;
}
