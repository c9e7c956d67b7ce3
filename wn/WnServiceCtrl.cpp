#include "WnServiceCtrl.h"

#include "WnHandle.h"

namespace {

// A failed call that left no error code is still a failure.
uint32_t FailureCode()
{
    return LastErrorOr(ERROR_GEN_FAILURE);
}

uint32_t Result(BOOL ok)
{
    return ok ? 0 : FailureCode();
}

}  // namespace

WnServiceCtrlHandle::~WnServiceCtrlHandle()
{
    Close();
}

void WnServiceCtrlHandle::Close()
{
    if (handle != nullptr) {
        const DWORD savedError = GetLastError();
        CloseServiceHandle(handle);
        handle = nullptr;
        SetLastError(savedError);
    }
}

uint32_t WnServiceCtrlMgr::Open(const wchar_t* machineName, const wchar_t* databaseName, DWORD desiredAccess)
{
    Close();
    handle = OpenSCManagerW(machineName, databaseName, desiredAccess);
    return handle != nullptr ? 0 : FailureCode();
}

uint32_t WnServiceCtrl::Create(const WnServiceCtrlMgr& manager, const wchar_t* serviceName,
                               const wchar_t* displayName, DWORD desiredAccess, DWORD serviceType, DWORD startType,
                               DWORD errorControl, const wchar_t* binaryPath, const wchar_t* loadOrderGroup,
                               DWORD* tagId, const wchar_t* dependencies, const wchar_t* account,
                               const wchar_t* password)
{
    Close();
    handle = CreateServiceW(manager.Get(), serviceName, displayName, desiredAccess, serviceType, startType,
                            errorControl, binaryPath, loadOrderGroup, tagId, dependencies, account, password);
    return handle != nullptr ? 0 : FailureCode();
}

uint32_t WnServiceCtrl::Open(const WnServiceCtrlMgr& manager, const wchar_t* serviceName, DWORD desiredAccess)
{
    Close();
    handle = OpenServiceW(manager.Get(), serviceName, desiredAccess);
    return handle != nullptr ? 0 : FailureCode();
}

uint32_t WnServiceCtrl::SetDescription(const wchar_t* text)
{
    SERVICE_DESCRIPTIONW description;
    description.lpDescription = const_cast<wchar_t*>(text);  // the call only reads it
    return Result(ChangeServiceConfig2W(handle, SERVICE_CONFIG_DESCRIPTION, &description));
}

uint32_t WnServiceCtrl::Delete()
{
    return Result(DeleteService(handle));
}

uint32_t WnServiceCtrl::Start()
{
    return Result(StartServiceW(handle, 0, nullptr));
}

uint32_t WnServiceCtrl::Control(DWORD control, SERVICE_STATUS& status)
{
    return Result(ControlService(handle, control, &status));
}

uint32_t WnServiceCtrl::QueryStatus(SERVICE_STATUS& status)
{
    return Result(QueryServiceStatus(handle, &status));
}
