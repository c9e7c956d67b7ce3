// The velkanosvc service object: identity from its server, one instance per machine
// session (a named mutex), device arrivals passed to the server loop through an event,
// and the server loop itself as the service's work.
#pragma once

#include <memory>

#include "CustomServer.h"
#include "ServiceBase.h"

class TarvoService : public ServiceBase {
public:
    TarvoService();
    ~TarvoService() override;

    const wchar_t* GetServiceName() const override;
    const wchar_t* GetDisplayName() const override;
    const wchar_t* GetDescription() const override;
    // The process's service routine: ServiceMain of the service object made the process's
    // own with MakeProcessService.
    LPSERVICE_MAIN_FUNCTIONW GetServiceMain() const override;
    // 1 with a message on standard output when another instance runs or the device
    // subscription fails; 0 after the server loop ended.
    int RunConsole() override;
    // A device arrival of the driver's interface class wakes the server loop.
    void OnDeviceEvent(uint32_t eventType, DEV_BROADCAST_HDR* eventData) override;

    uint32_t AcquireInstanceLock() override;
    void ReleaseInstanceLock() override;
    void RunServer() override;

    // The object the service routine calls; the program's one service object.
    void MakeProcessService();

    CustomServer& GetServer() { return *server; }
    HANDLE GetArrivalEvent() const { return arrivalEvent.Get(); }
    HANDLE GetStopEvent() const { return stopEvent.Get(); }

protected:
    void GetInterfaceGuid(GUID& interfaceClass) const override;

private:
    std::unique_ptr<CustomServer> server;
    WnMutex instanceMutex;
    WnEvent arrivalEvent;
};
