// Driver access: the context that owns one open handle to the driver's device object
// with the single request primitive, and the connection built on it.
#pragma once

#include <windows.h>
#include <cstdint>

#include "TarvoIoctl.h"
#include "TarvoStatus.h"
#include "WnHandle.h"

constexpr uint32_t TARVO_DRIVER_NAME_CHARS = 100;  // 99 characters and the terminator
constexpr uint32_t TARVO_DEVICE_PATH_CHARS = 300;

// Owns one open handle to the device object. Every control request goes through
// DeviceControl, which holds the context's lock for the whole request: requests on one
// context are strictly serial, different contexts run in parallel.
//
//   TarvoApiContext context;
//   if (context.Open(TARVO_DEVICE_OBJECT_NAME) == TARVO_STATUS_SUCCESS) {
//       TarvoDriverInfo info;
//       context.GetDriverInfo(info);
//   }
class TarvoApiContext {
public:
    TarvoApiContext();
    virtual ~TarvoApiContext();

    TarvoApiContext(const TarvoApiContext&) = delete;
    TarvoApiContext& operator=(const TarvoApiContext&) = delete;

    // Opens "\\.\<name>" and checks the interface version. TARVO_STATUS_REJECTED when
    // already open; the Win32 error of CreateFileW; TARVO_STATUS_VERSION_MISMATCH when
    // the driver's interface major version is not 2. A failure leaves the context closed.
    [[nodiscard]] TarvoStatus Open(const wchar_t* name);
    void Close();
    bool IsOpen() const { return handle != nullptr; }

    // The request primitive. Waits as long as the driver takes (no time-out). The byte
    // count is stored in *bytesReturned when given, also on failure.
    [[nodiscard]] TarvoStatus DeviceControl(uint32_t code, const void* inBuffer, uint32_t inSize,
                                            void* outBuffer, uint32_t outSize,
                                            uint32_t* bytesReturned = nullptr);

    // out is written only on success.
    [[nodiscard]] TarvoStatus GetDriverInfo(TarvoDriverInfo& out);

protected:
    CRITICAL_SECTION lock;  // recursive: Open calls Close and DeviceControl while holding it
    HANDLE volatile handle = nullptr;
    WnEvent ioEvent;
};

// A connection: a context with a role, optional wake-up events, and (later) its device
// list and message queues.
class TarvoDriver : public TarvoApiContext {
public:
    TarvoDriver() = default;
    ~TarvoDriver() override;

    // Stores the name, opens, creates the wanted events (existing ones are reused) and
    // registers them with the driver. A failure after the open closes the handle again.
    [[nodiscard]] TarvoStatus Attach(const wchar_t* name, bool wantMessageEvent, bool wantNotificationEvent);
    [[nodiscard]] TarvoStatus SetEvents(HANDLE messageEvent, HANDLE notificationEvent);
    [[nodiscard]] TarvoStatus SetRole(uint32_t role);

    // Each returns success at once on an open connection. A refused role detaches again
    // and returns the driver's status (TARVO_STATUS_ALREADY_DONE: the server role is taken).
    [[nodiscard]] TarvoStatus OpenAsServer(const wchar_t* name);
    [[nodiscard]] TarvoStatus OpenAsClient(const wchar_t* name);
    [[nodiscard]] TarvoStatus OpenAsViewer(const wchar_t* name);
    [[nodiscard]] TarvoStatus OpenAsMixerViewer(const wchar_t* name);

    // Withdraws the events, closes the handle and both events.
    void Detach();

    const wchar_t* GetDriverName() const { return driverName; }
    HANDLE GetMessageEvent() const { return messageEvent.Get(); }
    HANDLE GetNotificationEvent() const { return notificationEvent.Get(); }

protected:
    WnEvent messageEvent;       // auto-reset; a request or reply waits for this connection
    WnEvent notificationEvent;  // auto-reset; a notification waits for this connection
    wchar_t driverName[TARVO_DRIVER_NAME_CHARS] = {};

private:
    TarvoStatus OpenWithEvents(const wchar_t* name, uint32_t role);
    TarvoStatus OpenWithoutEvents(const wchar_t* name, uint32_t role);
};
