#include "TarvoDevice.h"

#include "WnText.h"

TarvoStatus TarvoDevice::Open(const wchar_t* name, const TarvoDeviceEntry& listEntry)
{
    CopyText(driverName, name, TARVO_DRIVER_NAME_CHARS);
    entry = listEntry;
    TarvoStatus status = TarvoApiContext::Open(name);
    if (status != TARVO_STATUS_SUCCESS)
        return status;
    const TarvoDeviceKey key = {entry.key0, entry.key1};
    status = DeviceControl(TARVO_IOCTL_OPEN_DEVICE, &key, sizeof key, nullptr, 0);
    if (status == TARVO_STATUS_SUCCESS)
        status = OnOpen();
    if (status != TARVO_STATUS_SUCCESS)
        Close();
    return status;
}
