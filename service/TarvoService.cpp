#include "TarvoService.h"

#include <cstdio>

#include "WnText.h"

namespace {

constexpr size_t kMutexNameChars = 500;

TarvoService* processService = nullptr;

void WINAPI ProcessServiceMain(DWORD argc, wchar_t** argv)
{
    if (processService != nullptr)
        processService->ServiceMain(argc, argv);
}

}  // namespace

TarvoService::TarvoService() : server(std::make_unique<CustomServer>())
{
    (void)arrivalEvent.Create(false, false);
}

TarvoService::~TarvoService()
{
    // The notificator's thread calls into this object: it ends before the server and the
    // arrival event go (a console run that ended on its own leaves it running).
    (void)notificator.Stop(INFINITE);
    if (processService == this)
        processService = nullptr;
    server.reset();
}

void TarvoService::MakeProcessService()
{
    processService = this;
}

const wchar_t* TarvoService::GetServiceName() const
{
    return server->GetServiceName();
}

const wchar_t* TarvoService::GetDisplayName() const
{
    return server->GetDisplayName();
}

const wchar_t* TarvoService::GetDescription() const
{
    return server->GetDescription();
}

LPSERVICE_MAIN_FUNCTIONW TarvoService::GetServiceMain() const
{
    return &ProcessServiceMain;
}

void TarvoService::GetInterfaceGuid(GUID& interfaceClass) const
{
    server->GetInterfaceGuid(interfaceClass);
}

void TarvoService::OnDeviceEvent(uint32_t eventType, DEV_BROADCAST_HDR*)
{
    if (eventType == DBT_DEVICEARRIVAL)
        (void)arrivalEvent.Set();
}

uint32_t TarvoService::AcquireInstanceLock()
{
    // No namespace prefix: the lock is per logon session, as the driver guards the rest.
    wchar_t name[kMutexNameChars];
    CopyText(name, GetServiceName(), kMutexNameChars);
    AppendText(name, L"-", kMutexNameChars);
    AppendText(name, server->GetDriverName(), kMutexNameChars);
    instanceMutex.Close();
    return instanceMutex.Create(true, name);
}

void TarvoService::ReleaseInstanceLock()
{
    instanceMutex.Close();
}

void TarvoService::RunServer()
{
    (void)server->Run(stopEvent.Get(), arrivalEvent.Get());
}

int TarvoService::RunConsole()
{
    if (AcquireInstanceLock() != 0) {
        std::fputws(L"Cannot start, another instance is already running.\n", stdout);
        std::fflush(stdout);
        return 1;
    }
    GUID interfaceClass = {};
    GetInterfaceGuid(interfaceClass);
    if (RegisterForDeviceEvents(interfaceClass) != 0) {
        std::fputws(L"Failed to register PnP notifications.\n", stdout);
        std::fflush(stdout);
        return 1;
    }
    RunServer();
    ReleaseInstanceLock();
    return 0;
}
