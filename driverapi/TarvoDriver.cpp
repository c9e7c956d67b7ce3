#include "TarvoDriver.h"

#include <cstring>
#include <cwchar>

#include "WnText.h"

namespace {

uint64_t HandleSlot(HANDLE h)
{
    // Handle values fit in 32 bits on every Windows; the slot carries them zero-extended.
    return static_cast<uint32_t>(reinterpret_cast<uintptr_t>(h));
}

}  // namespace

TarvoApiContext::TarvoApiContext()
{
    InitializeCriticalSection(&lock);
}

TarvoApiContext::~TarvoApiContext()
{
    Close();
    DeleteCriticalSection(&lock);
}

TarvoStatus TarvoApiContext::Open(const wchar_t* name)
{
    EnterCriticalSection(&lock);
    TarvoStatus status = TARVO_STATUS_SUCCESS;
    if (handle != nullptr) {
        status = TARVO_STATUS_REJECTED;
    } else if (ioEvent.Get() == nullptr && (status = ioEvent.Create(true, false)) != 0) {
        // event creation failed; status holds the Win32 error
    } else {
        wchar_t path[TARVO_DEVICE_PATH_CHARS];
        (void)FormatText(path, TARVO_DEVICE_PATH_CHARS, L"\\\\.\\%s", name != nullptr ? name : L"");  // a longer path is cut
        HANDLE h = CreateFileW(path, GENERIC_READ | GENERIC_WRITE, FILE_SHARE_READ | FILE_SHARE_WRITE, nullptr,
                               OPEN_EXISTING, FILE_FLAG_OVERLAPPED, nullptr);
        if (h == INVALID_HANDLE_VALUE) {
            status = GetLastError();
            Close();
        } else {
            handle = h;
            TarvoDriverInfo info;
            status = GetDriverInfo(info);
            if (status == TARVO_STATUS_SUCCESS && info.interfaceMajor != TARVO_INTERFACE_VERSION_MAJOR)
                status = TARVO_STATUS_VERSION_MISMATCH;
            if (status != TARVO_STATUS_SUCCESS)
                Close();
        }
    }
    LeaveCriticalSection(&lock);
    return status;
}

void TarvoApiContext::Close()
{
    EnterCriticalSection(&lock);
    if (handle != nullptr) {
        const DWORD savedError = GetLastError();
        CloseHandle(handle);
        SetLastError(savedError);
        handle = nullptr;
    }
    ioEvent.Close();
    LeaveCriticalSection(&lock);
}

TarvoStatus TarvoApiContext::DeviceControl(uint32_t code, const void* inBuffer, uint32_t inSize, void* outBuffer,
                                           uint32_t outSize, uint32_t* bytesReturned)
{
    EnterCriticalSection(&lock);
    if (handle == nullptr) {
        LeaveCriticalSection(&lock);
        return TARVO_STATUS_NOT_OPENED;
    }
    OVERLAPPED overlapped = {};
    overlapped.hEvent = ioEvent.Get();
    DWORD count = 0;
    TarvoStatus status = TARVO_STATUS_SUCCESS;
    if (!DeviceIoControl(handle, code, const_cast<void*>(inBuffer), inSize, outBuffer, outSize, &count,
                         &overlapped)) {
        status = GetLastError();
        if (status == ERROR_IO_PENDING)
            status = GetOverlappedResult(handle, &overlapped, &count, TRUE) ? TARVO_STATUS_SUCCESS : GetLastError();
    }
    if (bytesReturned != nullptr)
        *bytesReturned = count;
    LeaveCriticalSection(&lock);
    return status;
}

TarvoStatus TarvoApiContext::GetDriverInfo(TarvoDriverInfo& out)
{
    TarvoDriverInfo info;
    const TarvoStatus status = DeviceControl(TARVO_IOCTL_GET_DRIVER_INFO, nullptr, 0, &info, sizeof info);
    if (status == TARVO_STATUS_SUCCESS)
        out = info;
    return status;
}

TarvoDriver::TarvoDriver()
{
    devices.reserve(TARVO_MAX_DEVICES);  // list updates then never allocate for the vector
}

TarvoDriver::~TarvoDriver()
{
    Detach();
    devices.clear();
}

TarvoStatus TarvoDriver::Attach(const wchar_t* name, bool wantMessageEvent, bool wantNotificationEvent)
{
    CopyText(driverName, name, TARVO_DRIVER_NAME_CHARS);
    TarvoStatus status = Open(name);
    if (status != TARVO_STATUS_SUCCESS)
        return status;
    if (wantMessageEvent && messageEvent.Get() == nullptr && (status = messageEvent.Create(false, false)) != 0) {
        Close();
        return status;
    }
    if (wantNotificationEvent && notificationEvent.Get() == nullptr &&
        (status = notificationEvent.Create(false, false)) != 0) {
        Close();
        return status;
    }
    status = SetEvents(wantMessageEvent ? messageEvent.Get() : nullptr,
                       wantNotificationEvent ? notificationEvent.Get() : nullptr);
    if (status != TARVO_STATUS_SUCCESS)
        Close();
    return status;
}

TarvoStatus TarvoDriver::SetEvents(HANDLE message, HANDLE notification)
{
    TarvoSetEventsRecord record = {HandleSlot(message), HandleSlot(notification)};
    return DeviceControl(TARVO_IOCTL_SET_EVENTS, &record, sizeof record, nullptr, 0);
}

TarvoStatus TarvoDriver::SetRole(uint32_t role)
{
    TarvoRoleRecord record = {role};
    return DeviceControl(TARVO_IOCTL_SET_ROLE, &record, sizeof record, nullptr, 0);
}

TarvoStatus TarvoDriver::OpenWithEvents(const wchar_t* name, uint32_t role)
{
    if (IsOpen())
        return TARVO_STATUS_SUCCESS;
    TarvoStatus status = Attach(name, true, true);
    if (status != TARVO_STATUS_SUCCESS)
        return status;
    status = SetRole(role);
    if (status != TARVO_STATUS_SUCCESS)
        Detach();
    return status;
}

TarvoStatus TarvoDriver::OpenWithoutEvents(const wchar_t* name, uint32_t role)
{
    if (IsOpen())
        return TARVO_STATUS_SUCCESS;
    CopyText(driverName, name, TARVO_DRIVER_NAME_CHARS);
    TarvoStatus status = Open(name);
    if (status != TARVO_STATUS_SUCCESS)
        return status;
    status = SetEvents(nullptr, nullptr);
    if (status != TARVO_STATUS_SUCCESS) {
        Close();
        return status;
    }
    status = SetRole(role);
    if (status != TARVO_STATUS_SUCCESS)
        Detach();
    return status;
}

TarvoStatus TarvoDriver::OpenAsServer(const wchar_t* name)
{
    return OpenWithEvents(name, TARVO_ROLE_SERVER);
}

TarvoStatus TarvoDriver::OpenAsClient(const wchar_t* name)
{
    return OpenWithEvents(name, TARVO_ROLE_CLIENT);
}

TarvoStatus TarvoDriver::OpenAsViewer(const wchar_t* name)
{
    return OpenWithoutEvents(name, TARVO_ROLE_VIEWER);
}

TarvoStatus TarvoDriver::OpenAsMixerViewer(const wchar_t* name)
{
    return OpenWithoutEvents(name, TARVO_ROLE_MIXER_VIEWER);
}

void TarvoDriver::Detach()
{
    (void)SetEvents(nullptr, nullptr);  // fails harmlessly with NOT_OPENED when closed
    Close();
    messageEvent.Close();
    notificationEvent.Close();
}

std::unique_ptr<TarvoDevice> TarvoDriver::CreateDevice()
{
    return std::make_unique<TarvoDevice>();
}

TarvoStatus TarvoDriver::GetDeviceList(TarvoDeviceList& out)
{
    return DeviceControl(TARVO_IOCTL_GET_DEVICE_LIST, nullptr, 0, &out, sizeof out);
}

TarvoStatus TarvoDriver::PostMessage(const TarvoMessage& record)
{
    if (record.payloadSize > TARVO_MSG_MAX_PAYLOAD)
        return TARVO_STATUS_INVALID_MSG_SIZE;
    return DeviceControl(TARVO_IOCTL_POST_MESSAGE, &record, record.PostedSize(), nullptr, 0);
}

TarvoStatus TarvoDriver::GetMessage(TarvoMessage& record)
{
    record.type = TARVO_MSG_NONE;
    record.code = 0;
    return DeviceControl(TARVO_IOCTL_GET_MESSAGE, nullptr, 0, &record, sizeof record);
}

TarvoStatus TarvoDriver::GetNotification(TarvoMessage& record)
{
    record.type = TARVO_MSG_NONE;
    record.code = 0;
    return DeviceControl(TARVO_IOCTL_GET_NOTIFICATION, nullptr, 0, &record, sizeof record);
}

namespace {

bool SameIdentity(const TarvoDeviceEntry& a, const TarvoDeviceEntry& b)
{
    return a.vendorId == b.vendorId && a.productId == b.productId &&
           wcsncmp(a.serialNumber, b.serialNumber, TARVO_SERIAL_CHARS) == 0;
}

}  // namespace

TarvoStatus TarvoDriver::UpdateDeviceList(bool& changed)
{
    changed = false;
    std::unique_ptr<TarvoDevice> previous[TARVO_MAX_DEVICES];
    const size_t previousCount = devices.size() < TARVO_MAX_DEVICES ? devices.size() : TARVO_MAX_DEVICES;
    for (size_t i = 0; i < previousCount; ++i)
        previous[i] = std::move(devices[i]);
    devices.clear();

    TarvoDeviceList list;
    memset(&list, 0, sizeof list);
    const TarvoStatus status = GetDeviceList(list);
    if (status == TARVO_STATUS_SUCCESS) {
        const uint32_t count = list.count < TARVO_MAX_DEVICES ? list.count : TARVO_MAX_DEVICES;
        for (uint32_t i = 0; i < count; ++i) {
            const TarvoDeviceEntry& listed = list.entries[i];
            std::unique_ptr<TarvoDevice>* kept = nullptr;
            for (size_t j = 0; j < previousCount && kept == nullptr; ++j)
                if (previous[j] && SameIdentity(previous[j]->entry, listed))
                    kept = &previous[j];
            if (kept != nullptr) {
                (*kept)->entry = listed;  // key and flags follow the driver
                devices.push_back(std::move(*kept));
                continue;
            }
            std::unique_ptr<TarvoDevice> added = CreateDevice();
            if (added && added->Open(driverName, listed) == TARVO_STATUS_SUCCESS) {
                devices.push_back(std::move(added));
                changed = true;
            }
        }
    }
    for (size_t j = 0; j < previousCount; ++j)
        if (previous[j]) {
            previous[j].reset();  // the device is gone
            changed = true;
        }
    return status;
}

TarvoDevice* TarvoDriver::GetDevice(uint32_t index) const
{
    return index < devices.size() ? devices[index].get() : nullptr;
}

TarvoDevice* TarvoDriver::FindDevice(uint32_t key0, uint32_t key1) const
{
    for (const auto& device : devices)
        if (device->entry.key0 == key0 && device->entry.key1 == key1)
            return device.get();
    return nullptr;
}
