// Owning wrappers of service control manager handles: a base that owns one SC_HANDLE and
// closes it with CloseServiceHandle, a connection to the manager, and one service. Every
// operation returns a Win32 error code (0 = success); none retries or throws.
//
// The manager wrapper must outlive the service wrappers opened through it: declare the
// manager first, so the service is destroyed before it.
#pragma once

#include <windows.h>
#include <cstdint>

class WnServiceCtrlHandle {
public:
    WnServiceCtrlHandle() = default;
    virtual ~WnServiceCtrlHandle();

    WnServiceCtrlHandle(const WnServiceCtrlHandle&) = delete;
    WnServiceCtrlHandle& operator=(const WnServiceCtrlHandle&) = delete;

    // Closes a held handle (a failure is ignored) and empties the wrapper; the caller's
    // last-error value survives the call.
    void Close();
    SC_HANDLE Get() const { return handle; }

protected:
    SC_HANDLE handle = nullptr;
};

class WnServiceCtrlMgr : public WnServiceCtrlHandle {
public:
    ~WnServiceCtrlMgr() override = default;
    // machineName null: the local machine; databaseName e.g. SERVICES_ACTIVE_DATABASEW.
    uint32_t Open(const wchar_t* machineName, const wchar_t* databaseName, DWORD desiredAccess);
};

class WnServiceCtrl : public WnServiceCtrlHandle {
public:
    ~WnServiceCtrl() override = default;

    // CreateServiceW with exactly these arguments on the manager's handle.
    uint32_t Create(const WnServiceCtrlMgr& manager, const wchar_t* serviceName, const wchar_t* displayName,
                    DWORD desiredAccess, DWORD serviceType, DWORD startType, DWORD errorControl,
                    const wchar_t* binaryPath, const wchar_t* loadOrderGroup, DWORD* tagId,
                    const wchar_t* dependencies, const wchar_t* account, const wchar_t* password);
    uint32_t Open(const WnServiceCtrlMgr& manager, const wchar_t* serviceName, DWORD desiredAccess);

    uint32_t SetDescription(const wchar_t* text);
    uint32_t Delete();
    uint32_t Start();  // no arguments
    uint32_t Control(DWORD control, SERVICE_STATUS& status);
    uint32_t QueryStatus(SERVICE_STATUS& status);
};

// The running service's side: the status handle its control handler was registered with
// (null until then, and in console mode). The handle belongs to the service control
// manager and is never closed.
class WnService {
public:
    WnService() = default;
    virtual ~WnService() = default;

    WnService(const WnService&) = delete;
    WnService& operator=(const WnService&) = delete;

    SERVICE_STATUS_HANDLE statusHandle = nullptr;
};
