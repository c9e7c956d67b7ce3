// A connection to the driver: a context with a role, optional wake-up events and its
// list of device objects, one per device the driver lists.
#pragma once

#include <memory>
#include <vector>

#include "TarvoApiContext.h"
#include "TarvoDevice.h"
#include "TarvoMessage.h"

// A connection: a context with a role, optional wake-up events, and (later) its device
// list and message queues.
class TarvoDriver : public TarvoApiContext {
public:
    TarvoDriver();
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

    // Fetches the device list and reconciles the device objects with it: an object whose
    // device (vendor id, product id, serial number) is still listed is kept with its
    // open handle and takes the new entry (key and flags follow the driver); new devices
    // get an object from CreateDevice, bound to its device; objects of devices no
    // longer listed are destroyed. changed tells whether objects came or went. A count
    // above 8 is read as 8: the record holds no more entries. Pointers to device objects
    // are not valid across this call.
    [[nodiscard]] TarvoStatus UpdateDeviceList(bool& changed);
    uint32_t GetDeviceCount() const { return static_cast<uint32_t>(devices.size()); }
    TarvoDevice* GetDevice(uint32_t index) const;
    TarvoDevice* FindDevice(uint32_t key0, uint32_t key1) const;
    [[nodiscard]] TarvoStatus GetDeviceList(TarvoDeviceList& out);

    // Message channel. A post sends the record's 32 + payloadSize bytes (a payloadSize
    // above 512 is refused here with TARVO_STATUS_INVALID_MSG_SIZE: the record holds no
    // more). A fetch zeroes type and code first and takes the next record of the queue,
    // or fails with TARVO_STATUS_NO_MORE_ITEMS. (windows.h maps the first two names to
    // their W forms; that is consistent wherever this header is seen.)
    [[nodiscard]] TarvoStatus PostMessage(const TarvoMessage& record);
    [[nodiscard]] TarvoStatus GetMessage(TarvoMessage& record);
    [[nodiscard]] TarvoStatus GetNotification(TarvoMessage& record);

    const wchar_t* GetDriverName() const { return driverName; }
    HANDLE GetMessageEvent() const { return messageEvent.Get(); }
    HANDLE GetNotificationEvent() const { return notificationEvent.Get(); }

protected:
    // The factory of device objects; subclasses create their own device class.
    virtual std::unique_ptr<TarvoDevice> CreateDevice();

    std::vector<std::unique_ptr<TarvoDevice>> devices;  // in the order of the driver's list
    WnEvent messageEvent;       // auto-reset; a request or reply waits for this connection
    WnEvent notificationEvent;  // auto-reset; a notification waits for this connection
    wchar_t driverName[TARVO_DRIVER_NAME_CHARS] = {};

private:
    TarvoStatus OpenWithEvents(const wchar_t* name, uint32_t role);
    TarvoStatus OpenWithoutEvents(const wchar_t* name, uint32_t role);
};
