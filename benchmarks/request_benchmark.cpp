// Prints what one control request costs against the simulated driver, and the cost of a
// device list update with an unchanged set, in requests and in raw-request units. Figures
// only: the transport of this machine (every request crosses processes) is what it is.
#include <windows.h>

#include <cstdio>

#include "SimControl.h"
#include "TarvoDriver.h"

namespace {

double SecondsNow()
{
    LARGE_INTEGER frequency, counter;
    QueryPerformanceFrequency(&frequency);
    QueryPerformanceCounter(&counter);
    return static_cast<double>(counter.QuadPart) / static_cast<double>(frequency.QuadPart);
}

}  // namespace

int main()
{
    if (SimDriverService::EnsureRunning() != 0) {
        std::printf("The simulated driver is not available.\n");
        return 1;
    }
    SimControl sim;
    if (sim.Open() != 0 || sim.Reset() != TARVO_STATUS_SUCCESS) {
        std::printf("Cannot reach the simulated driver's test interface.\n");
        return 1;
    }
    // Two devices, as on a desk with two interfaces.
    if (sim.Plug(SimControl::PlugRecord(L"BENCH0001")) != TARVO_STATUS_SUCCESS ||
        sim.Plug(SimControl::PlugRecord(L"BENCH0002")) != TARVO_STATUS_SUCCESS) {
        std::printf("Cannot plug the simulated devices.\n");
        return 1;
    }
    TarvoDriver driver;
    if (driver.OpenAsViewer(TARVO_DEVICE_OBJECT_NAME) != TARVO_STATUS_SUCCESS) {
        std::printf("Cannot open a connection.\n");
        return 1;
    }
    uint32_t id = 0;
    (void)SimControl::WhoAmI(driver, id);

    constexpr int kRounds = 2000;
    TarvoDriverInfo info;
    double start = SecondsNow();
    for (int i = 0; i < kRounds; ++i)
        (void)driver.GetDriverInfo(info);
    const double rawSeconds = (SecondsNow() - start) / kRounds;
    std::printf("raw request (GET_DRIVER_INFO): %.1f us\n", rawSeconds * 1e6);

    bool changed = false;
    (void)driver.UpdateDeviceList(changed);  // first update opens the device objects
    (void)sim.ClearCounts();
    start = SecondsNow();
    for (int i = 0; i < kRounds; ++i)
        (void)driver.UpdateDeviceList(changed);
    const double updateSeconds = (SecondsNow() - start) / kRounds;
    uint32_t requests = 0;
    SimCountList counts = {};
    if (sim.GetCounts(counts) == TARVO_STATUS_SUCCESS)
        for (uint32_t i = 0; i < counts.count && i < SIM_MAX_COUNT_ENTRIES; ++i)
            if (counts.entries[i].connectionId == SIM_TOTAL_CONNECTION_ID)
                requests += counts.entries[i].count;
    std::printf("unchanged device list update (%u devices): %.1f us, %.2f raw requests, %.2f requests sent each\n",
                driver.GetDeviceCount(), updateSeconds * 1e6, updateSeconds / rawSeconds,
                static_cast<double>(requests) / kRounds);
    (void)sim.Reset();
    return 0;
}
