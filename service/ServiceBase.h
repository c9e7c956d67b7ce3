// A Windows service that is also a console program: its identity, its status reports to
// the service control manager, its control handler, its device interface subscriptions
// (through the manager in service mode, through a hidden window in console mode), the
// stop of everything, and the administration of its own registration (install,
// uninstall, start, stop). Derived classes give the names and the work.
#pragma once

#include <windows.h>
#include <dbt.h>

#include <cstdint>

#include "WnCallbacks.h"
#include "WnHandle.h"
#include "WnPnPNotificator.h"
#include "WnServiceCtrl.h"

// Characters of the executable's path, the terminator included.
constexpr uint32_t VKN_MODULE_PATH_CHARS = 260;
// Characters of the registered command line: the quoted path and " -service".
constexpr uint32_t VKN_BINARY_PATH_CHARS = 280;

class ServiceBase {
public:
    ServiceBase();
    virtual ~ServiceBase();

    ServiceBase(const ServiceBase&) = delete;
    ServiceBase& operator=(const ServiceBase&) = delete;

    virtual const wchar_t* GetServiceName() const = 0;
    virtual const wchar_t* GetDisplayName() const = 0;
    virtual const wchar_t* GetDescription() const = 0;
    // The routine the service control dispatcher runs for this service.
    virtual LPSERVICE_MAIN_FUNCTIONW GetServiceMain() const = 0;
    // Runs the service in the calling thread (console mode); the result is informational.
    virtual int RunConsole() = 0;
    // A device interface event of the subscribed class (DBT_DEVICEARRIVAL, ...).
    virtual void OnDeviceEvent(uint32_t eventType, DEV_BROADCAST_HDR* eventData);
    // A control request of the service control manager; always answered with NO_ERROR.
    virtual uint32_t OnServiceControl(uint32_t control, uint32_t eventType, void* eventData);

    // The body of the service routine (service mode).
    void ServiceMain(DWORD argc, wchar_t** argv);
    bool RegisterControlHandler();
    bool SetStatus(uint32_t currentState, uint32_t waitHint, uint32_t checkPoint, uint32_t win32ExitCode,
                   uint32_t serviceSpecificExitCode);
    // Service mode: registered against the status handle (nothing without one).
    uint32_t RegisterServiceDeviceEvents(const GUID& interfaceClass);
    // Console mode: through the notificator's hidden window, started on first use.
    uint32_t RegisterForDeviceEvents(const GUID& interfaceClass);
    // Drops every device subscription, stops the notificator and signals the stop event.
    // Callable from any thread.
    void StopAll();

    // Administration through the service control manager; Win32 error codes.
    uint32_t Install();
    uint32_t Uninstall();
    uint32_t Start();
    uint32_t Stop();

    // The HandlerEx routine registered with the manager; context is the control forwarder.
    static DWORD WINAPI HandlerEx(DWORD control, DWORD eventType, void* eventData, void* context);
    // What RegisterControlHandler passes as HandlerEx's context.
    void* GetControlContext() { return &controlForwarder; }

protected:
    // What the service routine needs of the derived service.
    virtual uint32_t AcquireInstanceLock() = 0;  // 0, or why not (183: another instance)
    virtual void ReleaseInstanceLock() = 0;
    virtual void GetInterfaceGuid(GUID& interfaceClass) const = 0;
    // The service's work; returns when the stop event is signalled.
    virtual void RunServer() = 0;

    WnService service;
    WnServiceCallbackForwarderT<ServiceBase> controlForwarder;
    WnDeviceNotificationList serviceNotifications;
    uint32_t serviceType = SERVICE_WIN32_OWN_PROCESS;
    uint32_t controlsAccepted = SERVICE_ACCEPT_STOP | SERVICE_ACCEPT_SHUTDOWN;
    WnEvent stopEvent;
    WnPnPNotificator notificator;
    WnPnPNotificatorCallbackForwarderT<ServiceBase> notificatorForwarder;
};
