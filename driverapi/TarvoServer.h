// The driver's server: the one connection in the server role (role 0), with the device
// objects of the connected devices, and the service's working loop. Every change of the
// common streaming configuration is made here, by stepping the driver's streaming state
// machine down before the change and up again afterwards, and by telling the device
// objects about each step. The loop, the stepping and every handler run on the one
// thread that calls Run.
#pragma once

#include <windows.h>

#include "TarvoDeviceCtrl.h"
#include "TarvoDriver.h"
#include "TarvoMessage.h"

// A stepping sequence sends at most this many streaming commands. Reaching the state
// wanted takes at most four (recover, power up, prepare, run); a driver that accepts
// commands without changing its state, or that falls back into an error state after
// every recovery, would otherwise keep the server looping for ever. The sequence then
// ends with TARVO_STATUS_INVALID_STATE.
constexpr uint32_t TARVO_MAX_STREAMING_STEPS = 8;

class TarvoServer : public TarvoDriver {
public:
    TarvoServer() = default;
    ~TarvoServer() override = default;

    // Identity of the service and of the driver it serves.
    virtual const wchar_t* GetServiceName() const;
    virtual const wchar_t* GetDisplayName() const;
    virtual const wchar_t* GetDescription() const;
    virtual void GetInterfaceGuid(GUID& guid) const;
    // The driver's device object name (the text form of the interface GUID). This is
    // what the server opens; TarvoDriver::GetDriverName tells the name of an open
    // connection, which for a server is the same text.
    virtual const wchar_t* GetDriverName() const;
    // Under HKEY_LOCAL_MACHINE: the service's settings and its per-device keys.
    virtual const wchar_t* GetRegistryRoot() const;

    // The server loop: connects, then handles stop, arrival, message and notification
    // events until stopEvent is signalled (TARVO_STATUS_SUCCESS). Returns at once with
    // TARVO_STATUS_ALREADY_DONE when another server holds the driver's server role, and
    // with TARVO_STATUS_FAILED when a wait was abandoned. Raises the calling thread to
    // time-critical priority.
    TarvoStatus Run(HANDLE stopEvent, HANDLE arrivalEvent);
    // Opens the connection in the server role unless it is open.
    [[nodiscard]] TarvoStatus Reconnect();

    // Step the stream up (towards Running, stopping at Ready while it has no users), down
    // (to Down) and idle (Prepared or Running without users: back to Ready). mode is the
    // argument of POWER_UP and POWER_DOWN.
    [[nodiscard]] TarvoStatus GoRunning(uint32_t mode);
    [[nodiscard]] TarvoStatus GoStopped(uint32_t mode);
    [[nodiscard]] TarvoStatus GoIdle();

    // Posts a notification with the code and no payload (a 32-byte record).
    [[nodiscard]] TarvoStatus PostNotification(uint32_t code);

    // Drains the message queue: every request (type 1) is answered with a 2001 reply
    // that HandleRequest may change, unless it returns TARVO_STATUS_PENDING (then it owes
    // the reply itself); records of other types are dropped. Called on the server thread
    // whenever the message event is signalled; one signal may stand for several records.
    void ProcessMessages();
    // Drains the notification queue, handing every type-3 record to HandleNotification.
    void ProcessNotifications();

    // Set when the device list has become empty: the loop detaches at the end of its
    // current wake-up (the device objects stay).
    bool closePending = false;

protected:
    std::unique_ptr<TarvoDevice> CreateDevice() override;

    // After the device objects came or went: the stream is set up for them, or with none
    // left the connection is closed; the clients hear of it.
    virtual void OnDevicesChanged();

    // The dispatch of one request. reply arrives as a 2001 reply carrying
    // TARVO_STATUS_INVALID_COMMAND; the handler may change its code and payload. The
    // returned status goes into the reply. A payload of the wrong size is the status.
    virtual TarvoStatus HandleRequest(const TarvoMessage& request, TarvoMessage& reply);
    // Requests the base does not know; default: TARVO_STATUS_INVALID_COMMAND.
    virtual TarvoStatus HandleCustomRequest(const TarvoMessage& request, TarvoMessage& reply);
    virtual TarvoStatus OnSetSampleRate(uint32_t rate);
    virtual TarvoStatus OnSetBufferSizes(const TarvoBufferSizeSettings& settings);
    virtual TarvoStatus OnSetStreamingDevice(const TarvoStreamingDeviceRecord& record);
    virtual TarvoStatus OnDeviceRequest(uint8_t value);
    virtual TarvoStatus OnSetPolicy(uint32_t policy);

    // The dispatch of one driver notification; a payload that cannot be read drops it.
    virtual void HandleNotification(const TarvoMessage& notification);
    // Notifications the base does not know; default: nothing.
    virtual void HandleCustomNotification(const TarvoMessage& notification);
    virtual TarvoStatus OnStreamWanted();
    virtual TarvoStatus OnStreamReleased();
    virtual TarvoStatus OnStreamRestart();
    virtual void OnDeviceListChange();
    virtual TarvoStatus OnDeviceStreamWanted(uint32_t key0, uint32_t key1);
    virtual TarvoStatus OnDeviceStreamReleased(uint32_t key0, uint32_t key1);
    virtual TarvoStatus OnListRequest();
    virtual void OnVolumesChanged(uint32_t key0, uint32_t key1);
    virtual void OnSoundDeviceEvent(const uint32_t (&record)[4]);

    // Whether anything uses the stream itself (counters 1, 2, 4 or 5).
    virtual bool HasStreamUsers(const TarvoStreamingStatus& status);
    // The device objects' hooks, in list order; BeforeTransition and PrepareStart stop at
    // the first failure and return it.
    virtual TarvoStatus BeforeTransition(uint32_t from, uint32_t to, uint32_t sampleRate);
    virtual void AfterTransition(uint32_t from, uint32_t to, uint32_t sampleRate);
    virtual void TransitionFailed(uint32_t from, uint32_t to, TarvoStatus status);
    virtual TarvoStatus PrepareStart();

    // Reads the streaming status for a configuration change: TARVO_STATUS_SOUND_DEVICE_IN_USE
    // while counter 2 is set, or counter 3 when it locks this change too (sample rate,
    // buffer sizes, streaming device).
    TarvoStatus ReadStatusForChange(TarvoStreamingStatus& status, bool lockedByCounter3);
    // Steps the stream down, makes the change and steps it up again; the change is not
    // made when the stream cannot be brought down. The change's failure is the result,
    // else the failure of stepping up.
    template <class Change>
    TarvoStatus WithStreamStopped(uint32_t mode, Change change)
    {
        TarvoStatus status = GoStopped(mode);
        if (status != TARVO_STATUS_SUCCESS)
            return status;
        status = change();
        const TarvoStatus restarted = GoRunning(mode);
        return status != TARVO_STATUS_SUCCESS ? status : restarted;
    }

    // A change that counters 2 and 3 lock (buffer sizes, streaming device), made with the
    // stream down; the clients hear of the attempt (3010) once the stream was touched.
    template <class Change>
    TarvoStatus ChangeLockedConfiguration(uint32_t mode, Change change)
    {
        TarvoStreamingStatus stream = {};
        TarvoStatus status = ReadStatusForChange(stream, true);
        if (status != TARVO_STATUS_SUCCESS)
            return status;
        status = WithStreamStopped(mode, change);
        (void)PostNotification(TARVO_NOTIFY_STREAM_RECONFIGURED);
        return status;
    }

    // The device object at index when it takes part in the server's hooks, else null.
    TarvoDeviceCtrl* GetDeviceCtrl(uint32_t index) const;
    TarvoDeviceCtrl* FindDeviceCtrl(uint32_t key0, uint32_t key1) const;

private:
    // Connects at the loop's start; false when another server holds the role.
    bool Connect();
    // The streaming status; TARVO_STATUS_INVALID_STATE when the driver names a state the
    // stepping does not know.
    TarvoStatus ReadKnownState(TarvoStreamingStatus& stream);
    // One step of the stream by a streaming command, with the device objects told of its
    // outcome (their BeforeTransition is the caller's: only steps up may be vetoed).
    TarvoStatus StepStream(uint32_t from, uint32_t to, uint32_t sampleRate, uint32_t command, uint32_t argument);
};
