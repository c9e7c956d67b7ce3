#include "SimLogic.h"

namespace {

// Byte copies without the C runtime (the compiler may still turn them into the kernel's
// memcpy/memset, which the kernel exports).
void CopyBytes(void* to, const void* from, uint32_t size)
{
    uint8_t* d = static_cast<uint8_t*>(to);
    const uint8_t* s = static_cast<const uint8_t*>(from);
    for (uint32_t i = 0; i < size; ++i)
        d[i] = s[i];
}

void ZeroBytes(void* to, uint32_t size)
{
    uint8_t* d = static_cast<uint8_t*>(to);
    for (uint32_t i = 0; i < size; ++i)
        d[i] = 0;
}

template <typename T>
T ReadRecord(const uint8_t* in)
{
    T record;
    CopyBytes(&record, in, sizeof(T));
    return record;
}

template <typename T>
void WriteRecord(uint8_t* out, const T& record)
{
    CopyBytes(out, &record, sizeof(T));
}

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
            result.status = faults[i].status;
            if (faults[i].mode == SIM_FAULT_ONCE)
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
    connection.role = record.role;
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
    if (record.mode != SIM_FAULT_CLEAR && record.mode != SIM_FAULT_ONCE && record.mode != SIM_FAULT_PERSISTENT)
        return TARVO_STATUS_INVALID_PARAMETER;
    if (record.mode != SIM_FAULT_CLEAR && !IsFailureStatus(record.status))
        return TARVO_STATUS_INVALID_PARAMETER;

    for (uint32_t i = 0; i < faultCount; ++i) {
        if (faults[i].code != record.code)
            continue;
        if (record.mode == SIM_FAULT_CLEAR)
            faults[i] = faults[--faultCount];
        else
            faults[i] = {record.code, record.status, record.mode};
        return TARVO_STATUS_SUCCESS;
    }
    if (record.mode == SIM_FAULT_CLEAR)
        return TARVO_STATUS_SUCCESS;
    if (faultCount >= SIM_MAX_FAULTS)
        return TARVO_STATUS_NO_RESOURCES;
    faults[faultCount++] = {record.code, record.status, record.mode};
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
