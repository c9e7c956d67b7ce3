// Owning wrappers for Windows kernel handles: one wrapper owns at most one handle and
// closes it when destroyed. Operations report Win32 error codes (0 = success) and never
// throw. The wrappers are not locked: each object has one owner.
#pragma once

#include <windows.h>
#include <cstdint>

// The calling thread's last error, or the fallback when the failed call left none: a
// failure must never read as success (0).
inline uint32_t LastErrorOr(uint32_t fallback)
{
    const DWORD error = GetLastError();
    return error != 0 ? error : fallback;
}

class WnHandle {
public:
    WnHandle() = default;
    virtual ~WnHandle();

    WnHandle(const WnHandle&) = delete;
    WnHandle& operator=(const WnHandle&) = delete;

    // Closes a held handle and empties the wrapper. A CloseHandle failure is ignored,
    // and the caller's last-error value survives the call.
    void Close();
    HANDLE Get() const { return handle; }

protected:
    // Takes ownership; a null or INVALID_HANDLE_VALUE result is stored as empty.
    void Adopt(HANDLE h);

    HANDLE handle = nullptr;
};

class WnEvent : public WnHandle {
public:
    ~WnEvent() override = default;
    uint32_t Create(bool manualReset, bool initialState, const wchar_t* name = nullptr,
                    SECURITY_ATTRIBUTES* security = nullptr);
    uint32_t Set();
    uint32_t Reset();
};

class WnMutex : public WnHandle {
public:
    ~WnMutex() override = default;
    // 0: a new mutex was created; ERROR_ALREADY_EXISTS (183): the named mutex existed and
    // the handle to it is kept; anything else: failure, the wrapper stays empty.
    uint32_t Create(bool initialOwner, const wchar_t* name, SECURITY_ATTRIBUTES* security = nullptr);
};
