#include "ServiceBase.h"

#include "WnEventLog.h"
#include "WnHandle.h"
#include "WnText.h"

namespace {

constexpr uint32_t kVersionMajor = 1;
constexpr uint32_t kVersionMinor = 37;
constexpr uint32_t kVersionBuild = 10;
constexpr uint32_t kInterfaceMajor = 2;
constexpr uint32_t kInterfaceMinor = 0;
constexpr uint32_t kStopPollMs = 100;
constexpr int32_t kStopBudgetMs = 5000;
constexpr const wchar_t* kEventLogName = L"Application";
// The double-zero-terminated list of services this one depends on.
constexpr const wchar_t kDependencies[] = L"eventlog\0PlugPlay\0";

// The running executable's full path; a path longer than the buffer is an error, not a
// cut path.
uint32_t GetExecutablePath(wchar_t (&path)[VKN_MODULE_PATH_CHARS])
{
    const DWORD length = GetModuleFileNameW(nullptr, path, VKN_MODULE_PATH_CHARS);
    if (length == 0)
        return LastErrorOr(ERROR_GEN_FAILURE);
    if (length >= VKN_MODULE_PATH_CHARS)
        return ERROR_INSUFFICIENT_BUFFER;
    return 0;
}

// Connects to the manager and opens the service with the access; the first error.
uint32_t OpenInstalled(WnServiceCtrlMgr& manager, WnServiceCtrl& service, const wchar_t* name, DWORD access)
{
    const uint32_t error = manager.Open(nullptr, SERVICES_ACTIVE_DATABASEW, SC_MANAGER_ALL_ACCESS);
    return error != 0 ? error : service.Open(manager, name, access);
}

}  // namespace

ServiceBase::ServiceBase()
{
    (void)stopEvent.Create(false, false);
    controlForwarder.object = this;
    controlForwarder.function = &ServiceBase::OnServiceControl;
    notificatorForwarder.object = this;
    notificatorForwarder.function = &ServiceBase::OnDeviceEvent;
}

ServiceBase::~ServiceBase()
{
    (void)notificator.Stop(INFINITE);
    serviceNotifications.UnregisterAll();
}

void ServiceBase::OnDeviceEvent(uint32_t, DEV_BROADCAST_HDR*)
{
}

uint32_t ServiceBase::OnServiceControl(uint32_t control, uint32_t eventType, void* eventData)
{
    switch (control) {
    case SERVICE_CONTROL_STOP:
    case SERVICE_CONTROL_SHUTDOWN:
        StopAll();
        break;
    case SERVICE_CONTROL_DEVICEEVENT:
        OnDeviceEvent(eventType, static_cast<DEV_BROADCAST_HDR*>(eventData));
        break;
    default:
        break;  // interrogate and the rest: the status reported last stands
    }
    return NO_ERROR;
}

DWORD WINAPI ServiceBase::HandlerEx(DWORD control, DWORD eventType, void* eventData, void* context)
{
    return static_cast<WnServiceCallbackInterface*>(context)->OnServiceControl(control, eventType, eventData);
}

bool ServiceBase::RegisterControlHandler()
{
    SetLastError(0);
    SERVICE_STATUS_HANDLE handle = RegisterServiceCtrlHandlerExW(GetServiceName(), &ServiceBase::HandlerEx,
                                                                 GetControlContext());
    if (handle == nullptr && GetLastError() != 0)
        return false;
    service.statusHandle = handle;
    (void)stopEvent.Reset();
    return true;
}

bool ServiceBase::SetStatus(uint32_t currentState, uint32_t waitHint, uint32_t checkPoint, uint32_t win32ExitCode,
                            uint32_t serviceSpecificExitCode)
{
    if (service.statusHandle == nullptr)
        return true;  // console mode: nobody to tell
    SERVICE_STATUS status = {};
    status.dwServiceType = serviceType;
    status.dwCurrentState = currentState;
    status.dwControlsAccepted = controlsAccepted;
    status.dwWin32ExitCode = win32ExitCode;
    status.dwServiceSpecificExitCode = serviceSpecificExitCode;
    status.dwCheckPoint = checkPoint;
    status.dwWaitHint = waitHint;
    SetLastError(0);
    return SetServiceStatus(service.statusHandle, &status) || GetLastError() == 0;
}

void ServiceBase::ServiceMain(DWORD, wchar_t**)
{
    if (!RegisterControlHandler())
        return;
    (void)SetStatus(SERVICE_START_PENDING, 3000, 0, 0, 0);

    WnEventLogWriter log;
    uint32_t error = log.Open(GetServiceName());
    if (error != 0) {
        (void)SetStatus(SERVICE_STOPPED, 0, 0, error, error);
        return;
    }

    const wchar_t* failure = nullptr;
    wchar_t path[VKN_MODULE_PATH_CHARS];
    error = GetExecutablePath(path);
    if (error != 0) {
        failure = L"Failed to get module name.";
    } else {
        (void)log.WriteInfo(L"%s started\r\nExePath: %s\r\nVersion %u.%u.%u\r\nInterface Version %u.%u",
                            GetServiceName(), path, kVersionMajor, kVersionMinor, kVersionBuild, kInterfaceMajor,
                            kInterfaceMinor);
        error = AcquireInstanceLock();
        if (error != 0) {
            failure = L"Unable to start because another instance is already running.";
        } else {
            GUID interfaceClass = {};
            GetInterfaceGuid(interfaceClass);
            error = RegisterServiceDeviceEvents(interfaceClass);
            if (error != 0)
                failure = L"Unable to register for PnP notifications.";
        }
    }
    // Reporting SERVICE_STOPPED lets the dispatcher return and the process end while this
    // thread still runs, so it comes last, after everything that uses the service object.
    if (failure != nullptr) {
        // The instance lock, when taken, stays held until the process ends.
        (void)log.WriteError(failure);
        log.Close();
        (void)SetStatus(SERVICE_STOPPED, 0, 0, error, error);
        return;
    }

    (void)SetStatus(SERVICE_RUNNING, 0, 0, 0, 0);
    RunServer();
    ReleaseInstanceLock();
    (void)log.WriteInfo(L"%s terminating.", GetServiceName());
    log.Close();
    (void)SetStatus(SERVICE_STOPPED, 0, 0, 0, 0);
}

uint32_t ServiceBase::RegisterServiceDeviceEvents(const GUID& interfaceClass)
{
    if (service.statusHandle == nullptr)
        return 0;
    return serviceNotifications.Register(service.statusHandle, interfaceClass, DEVICE_NOTIFY_SERVICE_HANDLE);
}

uint32_t ServiceBase::RegisterForDeviceEvents(const GUID& interfaceClass)
{
    if (!notificator.IsStarted()) {
        const uint32_t error = notificator.Start(&notificatorForwarder, nullptr);
        if (error != 0)
            return error;
    }
    return notificator.RegisterDeviceInterface(interfaceClass);
}

void ServiceBase::StopAll()
{
    serviceNotifications.UnregisterAll();
    (void)notificator.Stop(INFINITE);
    (void)stopEvent.Set();
}

// ---- administration ----

uint32_t ServiceBase::Install()
{
    wchar_t path[VKN_MODULE_PATH_CHARS];
    uint32_t error = GetExecutablePath(path);
    if (error != 0)
        return error;
    WnServiceCtrlMgr manager;
    error = manager.Open(nullptr, SERVICES_ACTIVE_DATABASEW, SC_MANAGER_ALL_ACCESS);
    if (error != 0)
        return error;
    // The path is quoted: unquoted, a path with spaces ("C:\Program Files\...") would let
    // the manager run a program placed at the first space. A command line that does not
    // fit whole is refused rather than registered cut.
    wchar_t binaryPath[VKN_BINARY_PATH_CHARS];
    if (FormatText(binaryPath, VKN_BINARY_PATH_CHARS, L"\"%s\" -service", path) != 0)
        return ERROR_BUFFER_OVERFLOW;
    WnServiceCtrl created;
    error = created.Create(manager, GetServiceName(), GetDisplayName(), SERVICE_ALL_ACCESS, serviceType,
                           SERVICE_AUTO_START, SERVICE_ERROR_NORMAL, binaryPath, L"PlugPlay", nullptr, kDependencies,
                           nullptr, nullptr);
    if (error != 0)
        return error;
    (void)created.SetDescription(GetDescription());
    // The service stays installed when its event source cannot be registered.
    return InstallEventSource(kEventLogName, GetServiceName(), path);
}

uint32_t ServiceBase::Uninstall()
{
    WnServiceCtrlMgr manager;
    {
        WnServiceCtrl installed;
        uint32_t error = OpenInstalled(manager, installed, GetServiceName(), DELETE);
        if (error == 0)
            error = installed.Delete();
        if (error != 0)
            return error;
    }
    (void)RemoveEventSource(kEventLogName, GetServiceName());
    return 0;
}

uint32_t ServiceBase::Start()
{
    WnServiceCtrlMgr manager;
    WnServiceCtrl installed;
    const uint32_t error = OpenInstalled(manager, installed, GetServiceName(), SERVICE_START);
    return error != 0 ? error : installed.Start();
}

uint32_t ServiceBase::Stop()
{
    WnServiceCtrlMgr manager;
    WnServiceCtrl installed;
    uint32_t error = OpenInstalled(manager, installed, GetServiceName(), SERVICE_STOP | SERVICE_QUERY_STATUS);
    if (error != 0)
        return error;
    SERVICE_STATUS status = {};
    error = installed.Control(SERVICE_CONTROL_STOP, status);
    if (error != 0)
        return error;
    for (int32_t budget = kStopBudgetMs; budget > 0; budget -= kStopPollMs) {
        error = installed.QueryStatus(status);
        if (error != 0)
            return error;
        if (status.dwCurrentState == SERVICE_STOPPED)
            return 0;
        Sleep(kStopPollMs);
    }
    return ERROR_TIMEOUT;
}
