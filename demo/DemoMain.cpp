// velkanodemo: opens a connection to the driver the way both programs do and shows what
// the driver reports about itself.
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
    return 0;
}
