#include "WnHandle.h"

WnHandle::~WnHandle()
{
    Close();
}

void WnHandle::Close()
{
    if (handle != nullptr) {
        const DWORD savedError = GetLastError();
        CloseHandle(handle);
        handle = nullptr;
        SetLastError(savedError);
    }
}

void WnHandle::Adopt(HANDLE h)
{
    handle = (h == INVALID_HANDLE_VALUE) ? nullptr : h;
}

uint32_t WnEvent::Create(bool manualReset, bool initialState, const wchar_t* name, SECURITY_ATTRIBUTES* security)
{
    Close();
    HANDLE h = CreateEventW(security, manualReset, initialState, name);
    if (h == nullptr)
        return GetLastError();
    Adopt(h);
    return 0;
}

uint32_t WnEvent::Set()
{
    return SetEvent(handle) ? 0 : GetLastError();
}

uint32_t WnEvent::Reset()
{
    return ResetEvent(handle) ? 0 : GetLastError();
}

uint32_t WnMutex::Create(bool initialOwner, const wchar_t* name, SECURITY_ATTRIBUTES* security)
{
    Close();
    HANDLE h = CreateMutexW(security, initialOwner, name);
    const uint32_t error = GetLastError();  // 183 tells an existing mutex apart from a new one
    Adopt(h);
    return (h == nullptr && error == 0) ? ERROR_INVALID_HANDLE : error;
}
