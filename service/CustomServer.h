// The service's server: its device objects are CustomDevice, and it answers the control
// panel's two sound device configuration requests.
#pragma once

#include "TarvoServer.h"

class CustomServer : public TarvoServer {
public:
    CustomServer() = default;
    ~CustomServer() override = default;

protected:
    std::unique_ptr<TarvoDevice> CreateDevice() override;
    TarvoStatus HandleCustomRequest(const TarvoMessage& request, TarvoMessage& reply) override;

private:
    TarvoStatus OnSetSoundDeviceConfiguration(const TarvoMessage& request);
    TarvoStatus OnGetSoundDeviceConfiguration(const TarvoMessage& request, TarvoMessage& reply);
};
