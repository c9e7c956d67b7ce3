#include "SimControl.h"

#include <cwchar>

#include "WnHandle.h"
#include "WnServiceCtrl.h"

namespace {

constexpr const wchar_t* kDevicePath = L"\\\\.\\" TARVO_DEVICE_OBJECT_NAME;
constexpr uint32_t kPathChars = MAX_PATH * 2;
constexpr uint32_t kPollMs = 50;
constexpr uint32_t kStopWaitMs = 10000;

// A failed call that left no error still fails: the fallback stands in for it.
// The driver file next to the running program.
uint32_t DefaultSysPath(wchar_t* path, uint32_t chars)
{
    const DWORD length = GetModuleFileNameW(nullptr, path, chars);
    if (length == 0 || length >= chars)
        return LastErrorOr(ERROR_INSUFFICIENT_BUFFER);
    wchar_t* slash = std::wcsrchr(path, L'\\');
    wchar_t* name = slash != nullptr ? slash + 1 : path;
    const size_t room = chars - static_cast<size_t>(name - path);
    if (std::wcslen(SIM_DRIVER_FILE_NAME) >= room)
        return ERROR_INSUFFICIENT_BUFFER;
    std::wcscpy(name, SIM_DRIVER_FILE_NAME);
    return 0;
}

// The service manager needs a full Windows path. A Linux path ("/x/y") names the same file
// as Z:\x\y under Wine; anything else is made absolute against the current directory.
uint32_t FullSysPath(const wchar_t* given, wchar_t* path, uint32_t chars)
{
    if (given[0] == L'/') {
        const size_t length = std::wcslen(given);
        if (length + 3 > chars)
            return ERROR_INSUFFICIENT_BUFFER;
        path[0] = L'Z';
        path[1] = L':';
        for (size_t i = 0; i <= length; ++i)
            path[i + 2] = given[i] == L'/' ? L'\\' : given[i];
        return 0;
    }
    const DWORD length = GetFullPathNameW(given, chars, path, nullptr);
    if (length == 0 || length >= chars)
        return LastErrorOr(ERROR_INSUFFICIENT_BUFFER);
    return 0;
}

uint32_t OpenService(DWORD access, WnServiceCtrlMgr& manager, WnServiceCtrl& service)
{
    const uint32_t error = manager.Open(nullptr, nullptr, SC_MANAGER_ALL_ACCESS);
    return error != 0 ? error : service.Open(manager, SIM_DRIVER_SERVICE_NAME, access);
}

uint32_t WaitForState(WnServiceCtrl& service, DWORD wanted, uint32_t timeoutMs)
{
    const DWORD start = GetTickCount();
    for (;;) {
        SERVICE_STATUS status = {};
        const uint32_t error = service.QueryStatus(status);
        if (error != 0)
            return error;
        if (status.dwCurrentState == wanted)
            return 0;
        if (GetTickCount() - start >= timeoutMs)
            return ERROR_TIMEOUT;
        Sleep(kPollMs);
    }
}

bool DeviceOpens()
{
    HANDLE h = CreateFileW(kDevicePath, GENERIC_READ | GENERIC_WRITE, FILE_SHARE_READ | FILE_SHARE_WRITE, nullptr,
                           OPEN_EXISTING, 0, nullptr);
    if (h == INVALID_HANDLE_VALUE)
        return false;
    CloseHandle(h);
    return true;
}

}  // namespace

namespace SimDriverService {

uint32_t Install(const wchar_t* sysPath)
{
    wchar_t path[kPathChars];
    const uint32_t pathError =
        sysPath != nullptr ? FullSysPath(sysPath, path, kPathChars) : DefaultSysPath(path, kPathChars);
    if (pathError != 0)
        return pathError;
    if (GetFileAttributesW(path) == INVALID_FILE_ATTRIBUTES)
        return LastErrorOr(ERROR_FILE_NOT_FOUND);

    WnServiceCtrlMgr manager;
    uint32_t error = manager.Open(nullptr, nullptr, SC_MANAGER_ALL_ACCESS);
    if (error != 0)
        return error;
    WnServiceCtrl service;
    error = service.Create(manager, SIM_DRIVER_SERVICE_NAME, L"Velkano simulated driver", SERVICE_ALL_ACCESS,
                           SERVICE_KERNEL_DRIVER, SERVICE_DEMAND_START, SERVICE_ERROR_NORMAL, path, nullptr, nullptr,
                           nullptr, nullptr, nullptr);
    if (error != ERROR_SERVICE_EXISTS)
        return error;
    error = service.Open(manager, SIM_DRIVER_SERVICE_NAME, SERVICE_ALL_ACCESS);
    if (error != 0)
        return error;
    if (!ChangeServiceConfigW(service.Get(), SERVICE_KERNEL_DRIVER, SERVICE_DEMAND_START, SERVICE_ERROR_NORMAL, path,
                              nullptr, nullptr, nullptr, nullptr, nullptr, nullptr))
        return LastErrorOr(ERROR_GEN_FAILURE);
    return 0;
}

uint32_t Uninstall()
{
    WnServiceCtrlMgr manager;
    WnServiceCtrl service;
    uint32_t error = OpenService(SERVICE_ALL_ACCESS, manager, service);
    if (error != 0)
        return error;
    SERVICE_STATUS status = {};
    if (service.Control(SERVICE_CONTROL_STOP, status) == 0)
        (void)WaitForState(service, SERVICE_STOPPED, kStopWaitMs);
    return service.Delete();
}

uint32_t Start()
{
    WnServiceCtrlMgr manager;
    WnServiceCtrl service;
    const uint32_t error = OpenService(SERVICE_ALL_ACCESS, manager, service);
    if (error != 0)
        return error;
    const uint32_t startError = service.Start();
    return startError == ERROR_SERVICE_ALREADY_RUNNING ? 0 : startError;
}

uint32_t Stop()
{
    WnServiceCtrlMgr manager;
    WnServiceCtrl service;
    const uint32_t error = OpenService(SERVICE_ALL_ACCESS, manager, service);
    if (error != 0)
        return error;
    SERVICE_STATUS status = {};
    const uint32_t stopError = service.Control(SERVICE_CONTROL_STOP, status);
    if (stopError == ERROR_SERVICE_NOT_ACTIVE)
        return 0;
    if (stopError != 0)
        return stopError;
    return WaitForState(service, SERVICE_STOPPED, kStopWaitMs);
}

uint32_t EnsureRunning(uint32_t timeoutMs)
{
    uint32_t error = 0;
    const uint32_t state = QueryState(&error);
    if (state != SERVICE_RUNNING) {
        // Not loaded: (re)point the service at the driver next to this program first, so a
        // service left from another build tree does not load a stale file.
        error = Install(nullptr);
        if (error != 0)
            return error;
        error = Start();
        if (error != 0)
            return error;
    }
    const DWORD start = GetTickCount();
    while (!DeviceOpens()) {
        if (GetTickCount() - start >= timeoutMs)
            return ERROR_TIMEOUT;
        Sleep(kPollMs);
    }
    return 0;
}

uint32_t QueryState(uint32_t* error)
{
    WnServiceCtrlMgr manager;
    WnServiceCtrl service;
    SERVICE_STATUS status = {};
    uint32_t result = OpenService(SERVICE_QUERY_STATUS, manager, service);
    if (result == 0)
        result = service.QueryStatus(status);
    if (error != nullptr)
        *error = result;
    return result == 0 ? status.dwCurrentState : 0;
}

}  // namespace SimDriverService

uint32_t SimControl::Open()
{
    if (IsOpen())
        return 0;
    // Synchronous handle: the test interface never pends, and the caller simply waits.
    HANDLE h = CreateFileW(kDevicePath, GENERIC_READ | GENERIC_WRITE, FILE_SHARE_READ | FILE_SHARE_WRITE, nullptr,
                           OPEN_EXISTING, 0, nullptr);
    if (h == INVALID_HANDLE_VALUE)
        return LastErrorOr(ERROR_FILE_NOT_FOUND);
    device.Reset(h);
    return 0;
}

void SimControl::Close()
{
    device.Close();
}

TarvoStatus SimControl::Request(uint32_t code, const void* in, uint32_t inSize, void* out, uint32_t outSize,
                                uint32_t* bytesReturned)
{
    if (!IsOpen())
        return TARVO_STATUS_NOT_OPENED;
    DWORD count = 0;
    const BOOL ok = DeviceIoControl(device.Get(), code, const_cast<void*>(in), inSize, out, outSize, &count, nullptr);
    const TarvoStatus status = ok ? TARVO_STATUS_SUCCESS : LastErrorOr(TARVO_STATUS_FAILED);
    if (bytesReturned != nullptr)
        *bytesReturned = count;
    return status;
}

TarvoStatus SimControl::Reset()
{
    return Request(SIM_IOCTL_RESET, nullptr, 0, nullptr, 0);
}

TarvoStatus SimControl::SetDriverInfo(const TarvoDriverInfo& info)
{
    return Request(SIM_IOCTL_SET_DRIVER_INFO, &info, sizeof(info), nullptr, 0);
}

TarvoStatus SimControl::SetFault(uint32_t code, TarvoStatus status, uint32_t mode)
{
    const SimFaultRecord record = {code, status, mode};
    return Request(SIM_IOCTL_SET_FAULT, &record, sizeof(record), nullptr, 0);
}

TarvoStatus SimControl::SetDelay(uint32_t code, uint32_t milliseconds)
{
    const SimDelayRecord record = {code, milliseconds};
    return Request(SIM_IOCTL_SET_DELAY, &record, sizeof(record), nullptr, 0);
}

TarvoStatus SimControl::GetCounts(SimCountList& list)
{
    return Request(SIM_IOCTL_GET_COUNTS, nullptr, 0, &list, sizeof(list));
}

TarvoStatus SimControl::ClearCounts()
{
    return Request(SIM_IOCTL_CLEAR_COUNTS, nullptr, 0, nullptr, 0);
}

TarvoStatus SimControl::GetConnections(SimConnectionList& list)
{
    return Request(SIM_IOCTL_GET_CONNECTIONS, nullptr, 0, &list, sizeof(list));
}

TarvoStatus SimControl::SignalEvents(uint32_t connectionId, uint32_t which)
{
    const SimSignalRecord record = {connectionId, which};
    return Request(SIM_IOCTL_SIGNAL_EVENTS, &record, sizeof(record), nullptr, 0);
}

TarvoStatus SimControl::InjectRecord(uint32_t connectionId, uint32_t queue, const TarvoMessage& record,
                                     uint32_t length)
{
    if (length == 0)
        length = record.payloadSize <= TARVO_MSG_MAX_PAYLOAD ? record.PostedSize() : TARVO_MSG_RECORD_SIZE;
    SimInjectRecord inject;
    inject.connectionId = connectionId;
    inject.queue = queue;
    inject.length = length;
    inject.record = record;
    return Request(SIM_IOCTL_INJECT_RECORD, &inject, sizeof(inject), nullptr, 0);
}

uint32_t SimControl::CountOf(uint32_t connectionId, uint32_t code)
{
    SimCountList list;
    if (GetCounts(list) != TARVO_STATUS_SUCCESS)
        return 0;
    const uint32_t used = list.count < SIM_MAX_COUNT_ENTRIES ? list.count : SIM_MAX_COUNT_ENTRIES;
    for (uint32_t i = 0; i < used; ++i)
        if (list.entries[i].connectionId == connectionId && list.entries[i].code == code)
            return list.entries[i].count;
    return 0;
}

TarvoStatus SimControl::WhoAmI(TarvoApiContext& context, uint32_t& connectionId)
{
    SimConnectionIdRecord record = {};
    uint32_t bytes = 0;
    const TarvoStatus status =
        context.DeviceControl(SIM_IOCTL_WHO_AM_I, nullptr, 0, &record, sizeof(record), &bytes);
    if (status != TARVO_STATUS_SUCCESS)
        return status;
    if (bytes != sizeof(record))
        return TARVO_STATUS_INVALID_LENGTH;
    connectionId = record.connectionId;
    return TARVO_STATUS_SUCCESS;
}

const char* SimRequestName(uint32_t code)
{
    static const struct {
        uint32_t code;
        const char* name;
    } kNames[] = {
        {TARVO_IOCTL_STREAMING_COMMAND, "STREAMING_COMMAND"}, {TARVO_IOCTL_SET_SAMPLE_RATE, "SET_SAMPLE_RATE"},
        {TARVO_IOCTL_SELECT_SAMPLE_RATE, "SELECT_SAMPLE_RATE"}, {TARVO_IOCTL_SET_BUFFER_SIZES, "SET_BUFFER_SIZES"},
        {TARVO_IOCTL_SET_POLICY, "SET_POLICY"}, {TARVO_IOCTL_SET_STREAMING_DEVICE, "SET_STREAMING_DEVICE"},
        {TARVO_IOCTL_SET_SPDIF_PASS_THROUGH, "SET_SPDIF_PASS_THROUGH"},
        {TARVO_IOCTL_SET_VOLUME_BYPASS, "SET_VOLUME_BYPASS"}, {TARVO_IOCTL_SET_MUTE_BYPASS, "SET_MUTE_BYPASS"},
        {TARVO_IOCTL_SET_VOLUMES, "SET_VOLUMES"}, {TARVO_IOCTL_SET_WEIGHTS, "SET_WEIGHTS"},
        {TARVO_IOCTL_SET_STORED_VOLUMES, "SET_STORED_VOLUMES"},
        {TARVO_IOCTL_SET_PLUGIN_PARAMETERS, "SET_PLUGIN_PARAMETERS"}, {TARVO_IOCTL_SET_ROUTING, "SET_ROUTING"},
        {TARVO_IOCTL_SET_WDM_CHANNELS, "SET_WDM_CHANNELS"}, {TARVO_IOCTL_SET_WDM_PINS, "SET_WDM_PINS"},
        {TARVO_IOCTL_C20, "C20"}, {TARVO_IOCTL_C22, "C22"},
    };
    for (const auto& entry : kNames)
        if (entry.code == code)
            return entry.name;
    return nullptr;
}
