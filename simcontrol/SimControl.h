// Control of the simulated driver for tests, benchmarks and the velkanosim tool: the
// kernel driver service that loads it, and a control connection that speaks its private
// test interface. The control connection opens the device object without the interface
// version check, so it keeps working while a test makes the driver report another version.
#pragma once

#include <windows.h>
#include <cstdint>

#include "SimTestInterface.h"
#include "TarvoDriver.h"
#include "WnHandle.h"

// Name of the kernel driver service that loads the simulated driver.
#define SIM_DRIVER_SERVICE_NAME L"velkanosim"
// File name of the built driver; by default it is looked for next to the running program.
#define SIM_DRIVER_FILE_NAME L"velkanosim.sys"

// Service management; each returns a Win32 error code (0 = success).
namespace SimDriverService {
// Creates the kernel driver service for the given .sys path (null: next to this program),
// or points an existing one at that path.
uint32_t Install(const wchar_t* sysPath = nullptr);
uint32_t Uninstall();  // stops it first if running
uint32_t Start();      // success when already running
uint32_t Stop();       // success when already stopped
// Installs when missing and starts when not running, then waits until the device object
// opens (up to timeoutMs).
uint32_t EnsureRunning(uint32_t timeoutMs = 10000);
// SERVICE_RUNNING, SERVICE_STOPPED, ... or 0 with *error set when the service cannot be queried.
uint32_t QueryState(uint32_t* error);
}  // namespace SimDriverService

// The name of a request code the simulator keeps in its log, as the tool and the tests
// show it ("SET_WDM_PINS"); null for any other code.
const char* SimRequestName(uint32_t code);

class SimControl {
public:
    // Opens a control connection; the Win32 error of CreateFileW on failure.
    uint32_t Open();
    void Close();
    bool IsOpen() const { return device.Get() != nullptr; }

    // The simulation's statuses (TarvoStatus values, or Win32 errors of the transport).
    TarvoStatus Reset();
    TarvoStatus SetDriverInfo(const TarvoDriverInfo& info);
    TarvoStatus SetFault(uint32_t code, TarvoStatus status, uint32_t mode);
    TarvoStatus SetDelay(uint32_t code, uint32_t milliseconds);
    TarvoStatus GetCounts(SimCountList& list);
    TarvoStatus ClearCounts();
    TarvoStatus GetConnections(SimConnectionList& list);
    TarvoStatus SignalEvents(uint32_t connectionId, uint32_t which);
    // Queues the first length bytes of the record unchecked (SIM_QUEUE_*) and signals the
    // queue's event if the connection holds one; length 0: the header and payloadSize
    // bytes, capped at the record's 544.
    TarvoStatus InjectRecord(uint32_t connectionId, uint32_t queue, const TarvoMessage& record,
                             uint32_t length = 0);

    // Count of requests with the code on one connection (SIM_TOTAL_CONNECTION_ID: all
    // connections since the last reset or clear); 0 when none or when the query fails.
    uint32_t CountOf(uint32_t connectionId, uint32_t code);

    // The id the driver gave the connection of a library context (sent through the
    // context's own request primitive, so it works on its overlapped handle).
    static TarvoStatus WhoAmI(TarvoApiContext& context, uint32_t& connectionId);

    // Simulated devices and the common streaming state (SimControlDevices.cpp).
    // A plug record with the serial number and name given (null or empty: the defaults)
    // and nothing else: every other field takes the simulator's default.
    static SimPlugRecord PlugRecord(const wchar_t* serialNumber = nullptr, const wchar_t* deviceName = nullptr);
    TarvoStatus Plug(const SimPlugRecord& record, TarvoDeviceKey* key = nullptr);
    TarvoStatus Unplug(const wchar_t* serialNumber);
    TarvoStatus UnplugAll();
    TarvoStatus Rekey(const wchar_t* serialNumber, uint32_t flags);
    TarvoStatus SetUsers(const SimUsersRecord& users);
    TarvoStatus SetDeviceUsers(const wchar_t* serialNumber, uint32_t users);
    TarvoStatus SetPins(const wchar_t* serialNumber, uint32_t selector, uint32_t count);
    TarvoStatus SoundDeviceEvent(const wchar_t* serialNumber, uint32_t table, uint32_t index);
    TarvoStatus RaiseErrors(const TarvoErrorCounters& add);
    TarvoStatus GetState(SimStateRecord& state);
    TarvoStatus GetDeviceSent(uint32_t index, SimDeviceSentRecord& sent);
    TarvoStatus GetLog(SimLogRecord& log);

    // One synchronous request on the control connection.
    TarvoStatus Request(uint32_t code, const void* in, uint32_t inSize, void* out, uint32_t outSize,
                        uint32_t* bytesReturned = nullptr);

private:
    class DeviceHandle : public WnHandle {
    public:
        void Reset(HANDLE h) { Close(); Adopt(h); }
    };
    DeviceHandle device;
};
