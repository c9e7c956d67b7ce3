// velkanodemo: opens a connection to the driver the way both programs do and shows what
// the driver reports about itself and the devices it lists.
#include <cstdio>

#include "TarvoDriver.h"

int wmain()
{
    TarvoDriver driver;
    TarvoStatus status = driver.OpenAsViewer(TARVO_DEVICE_OBJECT_NAME);
    if (status != TARVO_STATUS_SUCCESS) {
        std::printf("Cannot open the driver: %s (0x%08X).\n", TarvoStatusName(status), status);
        return 1;
    }
    TarvoDriverInfo info;
    status = driver.GetDriverInfo(info);
    if (status != TARVO_STATUS_SUCCESS) {
        std::printf("Cannot read the driver information: %s (0x%08X).\n", TarvoStatusName(status), status);
        return 1;
    }
    std::printf("Driver connection opened (role viewer).\n");
    std::printf("Interface Version %u.%u\n", info.interfaceMajor, info.interfaceMinor);
    std::printf("Driver Version %u.%u.%u%s\n", info.driverMajor, info.driverMinor, info.driverBuild,
                (info.buildFlags & TARVO_BUILD_FLAG_DEBUG) ? " (debug build)" : "");
    std::printf("Build flags 0x%08X\n", info.buildFlags);

    bool changed = false;
    status = driver.UpdateDeviceList(changed);
    if (status != TARVO_STATUS_SUCCESS) {
        std::printf("Cannot read the device list: %s (0x%08X).\n", TarvoStatusName(status), status);
        return 1;
    }
    std::printf("Devices: %u\n", driver.GetDeviceCount());
    for (uint32_t i = 0; i < driver.GetDeviceCount(); ++i) {
        const TarvoDeviceEntry& entry = driver.GetDevice(i)->GetEntry();
        std::printf("  %u: %ls (serial %ls, vendor 0x%04X, product 0x%04X, key 0x%08X:0x%08X)%s%s%s\n", i,
                    entry.deviceName, entry.serialNumber, entry.vendorId, entry.productId, entry.key0, entry.key1,
                    (entry.flags & TARVO_DEVICE_FLAG_HIGH_SPEED) ? " high speed" : "",
                    (entry.flags & TARVO_DEVICE_FLAG_PLUGIN) ? " plug-in" : "",
                    (entry.flags & TARVO_DEVICE_FLAG_STREAMING) ? " streaming" : "");
    }
    return 0;
}
