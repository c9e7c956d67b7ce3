#include "TarvoDriver.h"

#include <cstdio>
#include <cwchar>

namespace {

// Cuts at capacity - 1 characters and always terminates.
void CopyName(wchar_t* target, size_t capacity, const wchar_t* source)
{
    size_t i = 0;
    if (source != nullptr)
        for (; i + 1 < capacity && source[i] != L'\0'; ++i)
            target[i] = source[i];
    target[i] = L'\0';
}

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
        // swprintf cuts a longer result and reports -1; the buffer stays terminated.
        if (swprintf(path, TARVO_DEVICE_PATH_CHARS, L"\\\\.\\%ls", name != nullptr ? name : L"") < 0)
            path[TARVO_DEVICE_PATH_CHARS - 1] = L'\0';
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

TarvoDriver::~TarvoDriver()
{
    Detach();
}

TarvoStatus TarvoDriver::Attach(const wchar_t* name, bool wantMessageEvent, bool wantNotificationEvent)
{
    CopyName(driverName, TARVO_DRIVER_NAME_CHARS, name);
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
    CopyName(driverName, TARVO_DRIVER_NAME_CHARS, name);
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
