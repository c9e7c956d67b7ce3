// What the tests of the service's server and device objects share: a server loop on a
// thread of its own, a listening control panel client, the simulator's log of received
// commands as readable lines, and the device keys in the registry.
#pragma once

#include <windows.h>

#include <functional>
#include <string>
#include <vector>

#include "SimControl.h"
#include "TarvoClient.h"
#include "TarvoServer.h"
#include "WnThread.h"

// The service's per-device keys live below this key of HKEY_LOCAL_MACHINE.
#define VKN_TEST_DEVICES_KEY L"Software\\DRAVLIN\\velkano\\Devices"

// Removes the device key of a serial number (and nothing else); missing is fine.
void DeleteDeviceKey(const wchar_t* serialNumber);
// Writes a value into the device key of a serial number, creating the key.
void WriteDeviceValue(const wchar_t* serialNumber, const wchar_t* name, DWORD type, const void* data, DWORD size);
// Reads a REG_DWORD of the device key; false when missing or of another type.
bool ReadDeviceDword(const wchar_t* serialNumber, const wchar_t* name, uint32_t& value);

// Polls until the condition holds or the time is up; the result of the last poll.
bool Eventually(const std::function<bool()>& condition, uint32_t timeoutMs = 5000);

// One line per logged request: its name and the words a reader compares, e.g.
// "POWER_UP 1", "SET_SAMPLE_RATE 96000", "C22 2 0", "SET_WDM_PINS".
std::string DescribeLogEntry(const SimLogEntry& entry);
// The simulator's log entries after the given sequence number, oldest first.
std::vector<SimLogEntry> LogAfter(SimControl& sim, uint32_t sequence);
std::vector<std::string> DescribeLogAfter(SimControl& sim, uint32_t sequence);
// The sequence number of the newest log entry (0 for an empty log).
uint32_t LastLogSequence(SimControl& sim);

// Runs a server's loop on its own thread, with its own stop and arrival events.
class ServerThread {
public:
    explicit ServerThread(TarvoServer& server) : server(server) {}
    ~ServerThread() { (void)Stop(); }

    uint32_t Start();
    void Arrive() { (void)arrival.Set(); }
    // Signals stop and waits for the loop to return; its status.
    TarvoStatus Stop();
    // Waits for the loop to return on its own; false when it still runs.
    bool Ended(uint32_t timeoutMs);
    TarvoStatus Result() const { return result; }

private:
    uint32_t Body();

    TarvoServer& server;
    WnEvent stop;
    WnEvent arrival;
    WnThread thread;
    WnThreadCallbackForwarderT<ServerThread> forwarder;
    TarvoStatus result = TARVO_STATUS_PENDING;
    bool started = false;
};

// A control panel connection that also collects the notifications it is sent.
class ListeningClient : public TarvoCplClient {
public:
    // Waits until a notification with the code arrives (collecting all others on the
    // way); false after the time-out.
    bool WaitFor(uint32_t code, uint32_t timeoutMs = 10000);
    // Fetches what is queued now and returns every code collected since the last call.
    std::vector<uint32_t> TakeCodes();

private:
    void Drain();
    std::vector<uint32_t> codes;
    size_t matched = 0;  // codes before this index were consumed by WaitFor
};
