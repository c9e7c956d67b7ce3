// Plug-and-play notifications about device interface classes. WnDeviceNotificationList
// registers interface classes for a window or a service status handle and unregisters
// them all at once. WnPnPNotificator gives a program without windows of its own (the
// service in console mode) a thread with a hidden window and a message loop that receives
// the WM_DEVICECHANGE messages, and passes interface arrivals and removals to a callback.
// Operations return Win32 error codes (0 = success) and never throw.
#pragma once

#include <windows.h>
#include <dbt.h>

#include <atomic>
#include <cstdint>

#include "WnCallbacks.h"
#include "WnThread.h"

// Registrations of device interface classes for one recipient each, undone together.
// Safe to use from any thread: its own lock serialises Register and UnregisterAll.
class WnDeviceNotificationList {
public:
    WnDeviceNotificationList();
    ~WnDeviceNotificationList();  // unregisters everything

    WnDeviceNotificationList(const WnDeviceNotificationList&) = delete;
    WnDeviceNotificationList& operator=(const WnDeviceNotificationList&) = delete;

    // flags DEVICE_NOTIFY_WINDOW_HANDLE with a window handle, DEVICE_NOTIFY_SERVICE_HANDLE
    // with a service status handle. The error of RegisterDeviceNotificationW on failure.
    uint32_t Register(HANDLE recipient, const GUID& interfaceClass, DWORD flags);
    // Unregistration failures are ignored.
    void UnregisterAll();

private:
    struct Node {
        Node* previous;
        Node* next;
        GUID interfaceClass;
        HDEVNOTIFY notification;
    };

    CRITICAL_SECTION lock;
    Node* first = nullptr;
    Node* last = nullptr;
};

class WnPnPNotificatorCallbackInterface {
public:
    // eventType is DBT_DEVICEARRIVAL or DBT_DEVICEREMOVECOMPLETE; header is the message's
    // broadcast (a DEV_BROADCAST_DEVICEINTERFACE_W), valid only during the call.
    virtual void OnDeviceChange(uint32_t eventType, DEV_BROADCAST_HDR* header) = 0;
protected:
    ~WnPnPNotificatorCallbackInterface() = default;
};

// Binds the callback to a member function of an owner; it does nothing while unbound.
template <class T>
class WnPnPNotificatorCallbackForwarderT : public WnPnPNotificatorCallbackInterface {
public:
    using Function = void (T::*)(uint32_t, DEV_BROADCAST_HDR*);
    void OnDeviceChange(uint32_t eventType, DEV_BROADCAST_HDR* header) override
    {
        if (object != nullptr && function != nullptr)
            (object->*function)(eventType, header);
    }

    T* object = nullptr;
    Function function = nullptr;
};

// A hidden window on a thread of its own. Its class and window names carry the process id
// and the thread's id, so several notificators of one process never collide.
//
// The callback runs on the notificator's thread without the lock (Stop holds the lock
// while it waits for that thread), so it must not call Start or Stop of the same
// notificator.
class WnPnPNotificator : public WnThreadCallbackInterface {
public:
    WnPnPNotificator();
    ~WnPnPNotificator();  // Stop with no time limit

    WnPnPNotificator(const WnPnPNotificator&) = delete;
    WnPnPNotificator& operator=(const WnPnPNotificator&) = delete;

    // Starts the thread and waits up to 10 s for its window. ERROR_INVALID_PARAMETER (87)
    // for a null callback, ERROR_ALREADY_INITIALIZED (1247) while started, ERROR_TIMEOUT
    // (1460) when the window did not come in time (the thread is left as it is), or the
    // error of creating the window. module null: this program's module.
    uint32_t Start(WnPnPNotificatorCallbackInterface* callback, HINSTANCE module);
    // Closes the window and waits for the thread; the wait's result (WAIT_TIMEOUT leaves the
    // notificator started). Every registration is dropped in any case. 0 when not started.
    uint32_t Stop(uint32_t timeoutMs);
    // Registers the class for the window; ERROR_INVALID_DATA (13) while not started.
    uint32_t RegisterDeviceInterface(const GUID& interfaceClass);
    bool IsStarted();

    // The notificator thread: the window and its message loop.
    uint32_t Run() override;
    virtual LRESULT HandleMessage(HWND hwnd, UINT message, WPARAM wParam, LPARAM lParam);

private:
    static LRESULT CALLBACK WindowProcedure(HWND hwnd, UINT message, WPARAM wParam, LPARAM lParam);

    CRITICAL_SECTION lock;
    bool started = false;
    HINSTANCE module = nullptr;
    // Cleared by the thread as it ends, which Stop may be waiting for under the lock.
    std::atomic<HWND> window{nullptr};
    WnPnPNotificatorCallbackInterface* callback = nullptr;
    WnThread thread;
    WnEvent readyEvent;
    uint32_t windowResult = 0;
    WnDeviceNotificationList notifications;
};
