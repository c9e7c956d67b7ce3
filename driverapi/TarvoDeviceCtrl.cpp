#include "TarvoDeviceCtrl.h"

TarvoStatus TarvoDeviceCtrl::BeforeTransition(uint32_t, uint32_t, uint32_t)
{
    return TARVO_STATUS_SUCCESS;
}

void TarvoDeviceCtrl::AfterTransition(uint32_t, uint32_t, uint32_t)
{
}

void TarvoDeviceCtrl::TransitionFailed(uint32_t, uint32_t, TarvoStatus)
{
}

void TarvoDeviceCtrl::SaveVolumes()
{
}

void TarvoDeviceCtrl::OnCaptureVolumeChanged(uint32_t)
{
}

void TarvoDeviceCtrl::OnRenderVolumeChanged(uint32_t)
{
}

TarvoStatus TarvoDeviceCtrl::OnDeviceRequest(uint8_t)
{
    return TARVO_STATUS_SUCCESS;
}

TarvoStatus TarvoDeviceCtrl::PrepareStart()
{
    return TARVO_STATUS_SUCCESS;
}
