// Tests of the simulated driver itself, through the real path: requests from this process
// cross Wine to the loaded velkanosim.sys. The test main has made sure it runs.
#include <gtest/gtest.h>

#include <windows.h>

#include <cstring>
#include <random>
#include <vector>

#include "SimControl.h"
#include "TarvoDriver.h"
#include "TarvoIoctl.h"

namespace {

const wchar_t* const kDevicePath = L"\\\\.\\" TARVO_DEVICE_OBJECT_NAME;

// One raw connection to the device object, synchronous or overlapped.
class DeviceFile : public WnHandle {
public:
    uint32_t Open(bool overlappedHandle = false)
    {
        Close();
        overlapped = overlappedHandle;
        HANDLE h = CreateFileW(kDevicePath, GENERIC_READ | GENERIC_WRITE, FILE_SHARE_READ | FILE_SHARE_WRITE, nullptr,
                               OPEN_EXISTING, overlapped ? FILE_FLAG_OVERLAPPED : 0, nullptr);
        if (h == INVALID_HANDLE_VALUE)
            return GetLastError();
        Adopt(h);
        if (overlapped)
            return ioEvent.Create(true, false);
        return 0;
    }

    // A request that waits for its completion; the status is the caller's last error.
    TarvoStatus Request(uint32_t code, const void* in, uint32_t inSize, void* out, uint32_t outSize,
                        DWORD* bytes = nullptr)
    {
        DWORD count = 0;  // Wine leaves it unwritten when a request fails
        TarvoStatus status = TARVO_STATUS_SUCCESS;
        if (!overlapped) {
            if (!DeviceIoControl(handle, code, const_cast<void*>(in), inSize, out, outSize, &count, nullptr))
                status = GetLastError();
        } else {
            OVERLAPPED o = {};
            o.hEvent = ioEvent.Get();
            if (!DeviceIoControl(handle, code, const_cast<void*>(in), inSize, out, outSize, &count, &o)) {
                status = GetLastError();
                if (status == ERROR_IO_PENDING)
                    status = GetOverlappedResult(handle, &o, &count, TRUE) ? 0 : GetLastError();
            }
        }
        if (bytes != nullptr)
            *bytes = count;
        return status;
    }

    uint32_t Id()
    {
        SimConnectionIdRecord record = {};
        return Request(SIM_IOCTL_WHO_AM_I, nullptr, 0, &record, sizeof(record)) == 0 ? record.connectionId : 0;
    }

    TarvoStatus SetRole(uint32_t role)
    {
        const TarvoRoleRecord record = {role};
        return Request(TARVO_IOCTL_SET_ROLE, &record, sizeof(record), nullptr, 0);
    }

    TarvoStatus SetEvents(uint64_t message, uint64_t notification)
    {
        const TarvoSetEventsRecord record = {message, notification};
        return Request(TARVO_IOCTL_SET_EVENTS, &record, sizeof(record), nullptr, 0);
    }

    TarvoStatus GetDriverInfo(TarvoDriverInfo& info)
    {
        return Request(TARVO_IOCTL_GET_DRIVER_INFO, nullptr, 0, &info, sizeof(info));
    }

    HANDLE EventHandle() const { return ioEvent.Get(); }

private:
    bool overlapped = false;
    WnEvent ioEvent;
};

uint64_t HandleValue(HANDLE h)
{
    return static_cast<uint64_t>(reinterpret_cast<ULONG_PTR>(h));
}

class SimDriverTest : public testing::Test {
protected:
    void SetUp() override
    {
        ASSERT_EQ(0u, control.Open());
        ASSERT_EQ(TARVO_STATUS_SUCCESS, control.Reset());
    }
    void TearDown() override
    {
        if (control.IsOpen())
            control.Reset();
    }

    // The connection's entry in GET_CONNECTIONS; false when it is not listed.
    bool FindConnection(uint32_t id, SimConnectionInfo& info)
    {
        SimConnectionList list;
        if (control.GetConnections(list) != TARVO_STATUS_SUCCESS)
            return false;
        for (uint32_t i = 0; i < list.count && i < SIM_MAX_CONNECTIONS; ++i) {
            if (list.connections[i].connectionId == id) {
                info = list.connections[i];
                return true;
            }
        }
        return false;
    }

    SimControl control;
};

// ---- buffer sizes and codes ----

struct SizeCase {
    const char* name;
    uint32_t code;
    uint32_t inSize;   // the exact size the request takes
    uint32_t outSize;
};

const SizeCase kSizeCases[] = {
    {"GET_DRIVER_INFO", TARVO_IOCTL_GET_DRIVER_INFO, 0, sizeof(TarvoDriverInfo)},
    {"SET_EVENTS", TARVO_IOCTL_SET_EVENTS, sizeof(TarvoSetEventsRecord), 0},
    {"SET_ROLE", TARVO_IOCTL_SET_ROLE, sizeof(TarvoRoleRecord), 0},
    {"SIM_RESET", SIM_IOCTL_RESET, 0, 0},
    {"SIM_SET_DRIVER_INFO", SIM_IOCTL_SET_DRIVER_INFO, sizeof(TarvoDriverInfo), 0},
    {"SIM_SET_FAULT", SIM_IOCTL_SET_FAULT, sizeof(SimFaultRecord), 0},
    {"SIM_SET_DELAY", SIM_IOCTL_SET_DELAY, sizeof(SimDelayRecord), 0},
    {"SIM_GET_COUNTS", SIM_IOCTL_GET_COUNTS, 0, sizeof(SimCountList)},
    {"SIM_CLEAR_COUNTS", SIM_IOCTL_CLEAR_COUNTS, 0, 0},
    {"SIM_GET_CONNECTIONS", SIM_IOCTL_GET_CONNECTIONS, 0, sizeof(SimConnectionList)},
    {"SIM_WHO_AM_I", SIM_IOCTL_WHO_AM_I, 0, sizeof(SimConnectionIdRecord)},
    {"SIM_SIGNAL_EVENTS", SIM_IOCTL_SIGNAL_EVENTS, sizeof(SimSignalRecord), 0},
};

// Every request takes exactly its sizes: one byte short or long on either side is refused
// with the side's status, writes nothing, and changes nothing the next request sees.
TEST_F(SimDriverTest, WrongBufferSizesAreRefusedPerSide)
{
    DeviceFile file;
    ASSERT_EQ(0u, file.Open());
    std::vector<uint8_t> in(8192, 0);
    std::vector<uint8_t> out(8192, 0xCD);
    for (const SizeCase& c : kSizeCases) {
        struct Variant {
            const char* what;
            int inDelta;
            int outDelta;
            TarvoStatus expected;
        };
        const Variant variants[] = {
            {"short input", -1, 0, TARVO_STATUS_INVALID_INBUFFER_SIZE},
            {"long input", +1, 0, TARVO_STATUS_INVALID_INBUFFER_SIZE},
            {"much longer input", +4000, 0, TARVO_STATUS_INVALID_INBUFFER_SIZE},
            {"short output", 0, -1, TARVO_STATUS_INVALID_OUTBUFFER_SIZE},
            {"long output", 0, +1, TARVO_STATUS_INVALID_OUTBUFFER_SIZE},
        };
        for (const Variant& v : variants) {
            if ((v.inDelta < 0 && c.inSize == 0) || (v.outDelta < 0 && c.outSize == 0))
                continue;  // no shorter buffer than none
            SCOPED_TRACE(testing::Message() << c.name << ", " << v.what);
            std::fill(out.begin(), out.end(), 0xCD);
            DWORD bytes = 0;
            const TarvoStatus status =
                file.Request(c.code, in.data(), c.inSize + v.inDelta, out.data(), c.outSize + v.outDelta, &bytes);
            EXPECT_EQ(v.expected, status);
            EXPECT_EQ(0u, bytes);
            EXPECT_EQ(0xCD, out[0]);
        }
    }
    // A refused SET_ROLE of role 0 (all-zero input) must not have granted the role.
    SimConnectionInfo info = {};
    ASSERT_TRUE(FindConnection(file.Id(), info));
    EXPECT_EQ(SIM_NO_ROLE, info.role);
    EXPECT_EQ(0u, info.setEventsCount);
}

TEST_F(SimDriverTest, ExactSizesAreAcceptedAndOutputStaysInsideTheBuffer)
{
    DeviceFile file;
    ASSERT_EQ(0u, file.Open());
    uint8_t out[64];
    std::memset(out, 0xCD, sizeof(out));
    DWORD bytes = 0;
    ASSERT_EQ(TARVO_STATUS_SUCCESS, file.Request(TARVO_IOCTL_GET_DRIVER_INFO, nullptr, 0, out, 24, &bytes));
    EXPECT_EQ(24u, bytes);
    for (size_t i = 24; i < sizeof(out); ++i)
        EXPECT_EQ(0xCD, out[i]) << "byte " << i;
    TarvoDriverInfo info;
    std::memcpy(&info, out, sizeof(info));
    EXPECT_EQ(2u, info.interfaceMajor);
    EXPECT_EQ(0u, info.interfaceMinor);
    EXPECT_EQ(3u, info.driverMajor);
    EXPECT_EQ(12u, info.driverMinor);
    EXPECT_EQ(4u, info.driverBuild);
    EXPECT_EQ(0u, info.buildFlags);

    DWORD noBytes = 0;
    EXPECT_EQ(TARVO_STATUS_SUCCESS, file.Request(SIM_IOCTL_CLEAR_COUNTS, nullptr, 0, nullptr, 0, &noBytes));
    EXPECT_EQ(0u, noBytes);
}

TEST_F(SimDriverTest, UnknownCodesAreRefusedAndNotCounted)
{
    DeviceFile file;
    ASSERT_EQ(0u, file.Open());
    const uint32_t codes[] = {
        TarvoIoctlCode(0x800),                 // contract device type, unused function
        TarvoIoctlCode(0x802),
        TarvoIoctlCode(0xFFF),
        TARVO_IOCTL_GET_DRIVER_INFO | 3,       // known function, METHOD_NEITHER
        TARVO_IOCTL_GET_DRIVER_INFO | 1,       // METHOD_IN_DIRECT
        TARVO_IOCTL_SET_ROLE | 2,              // METHOD_OUT_DIRECT
        TARVO_IOCTL_GET_DRIVER_INFO | 0x4000,  // other access bits
        SimIoctlCode(0x7FF),
        SimIoctlCode(0x809 + 0x100),
        SIM_IOCTL_WHO_AM_I | 3,
        0x00222000,                            // another device type
        0x00000000,
        0xFFFFFFFF,
    };
    uint8_t buffer[256] = {};
    for (uint32_t code : codes) {
        SCOPED_TRACE(testing::Message() << std::hex << "code 0x" << code);
        DWORD bytes = 0;
        EXPECT_EQ(TARVO_STATUS_INVALID_IOCTL, file.Request(code, buffer, 16, buffer, sizeof(buffer), &bytes));
        EXPECT_EQ(0u, bytes);
    }
    SimCountList list;
    ASSERT_EQ(TARVO_STATUS_SUCCESS, control.GetCounts(list));
    EXPECT_EQ(0u, list.count);
    TarvoDriverInfo info = {};
    EXPECT_EQ(TARVO_STATUS_SUCCESS, file.GetDriverInfo(info));
}

// ---- connections and roles ----

TEST_F(SimDriverTest, ConnectionsAreListedWithIdsInOrderAndTheirProcess)
{
    DeviceFile a, b;
    ASSERT_EQ(0u, a.Open());
    ASSERT_EQ(0u, b.Open(true));
    const uint32_t idA = a.Id();
    const uint32_t idB = b.Id();
    ASSERT_NE(0u, idA);
    EXPECT_GT(idB, idA);
    SimConnectionInfo info = {};
    ASSERT_TRUE(FindConnection(idB, info));
    EXPECT_EQ(GetCurrentProcessId(), info.processId);
    EXPECT_EQ(SIM_NO_ROLE, info.role);
    EXPECT_EQ(0u, info.eventsHeld);

    b.Close();
    EXPECT_FALSE(FindConnection(idB, info));
    EXPECT_TRUE(FindConnection(idA, info));
    DeviceFile c;
    ASSERT_EQ(0u, c.Open());
    EXPECT_GT(c.Id(), idB);  // ids are never reused
}

TEST_F(SimDriverTest, ServerRoleGoesToOneConnectionAtATime)
{
    DeviceFile a, b, c;
    ASSERT_EQ(0u, a.Open());
    ASSERT_EQ(0u, b.Open());
    ASSERT_EQ(0u, c.Open());
    ASSERT_EQ(TARVO_STATUS_SUCCESS, a.SetRole(TARVO_ROLE_SERVER));
    EXPECT_EQ(TARVO_STATUS_ALREADY_DONE, b.SetRole(TARVO_ROLE_SERVER));
    EXPECT_EQ(TARVO_STATUS_SUCCESS, a.SetRole(TARVO_ROLE_SERVER));  // the holder asking again
    // Other roles go to any number of connections.
    EXPECT_EQ(TARVO_STATUS_SUCCESS, b.SetRole(TARVO_ROLE_CLIENT));
    EXPECT_EQ(TARVO_STATUS_SUCCESS, c.SetRole(TARVO_ROLE_CLIENT));
    EXPECT_EQ(TARVO_STATUS_SUCCESS, c.SetRole(TARVO_ROLE_VIEWER));
    EXPECT_EQ(TARVO_STATUS_SUCCESS, c.SetRole(TARVO_ROLE_MIXER_VIEWER));

    SimConnectionInfo info = {};
    ASSERT_TRUE(FindConnection(b.Id(), info));
    EXPECT_EQ(TARVO_ROLE_CLIENT, info.role);  // the refused request did not change it

    // Closing the holder frees the role.
    a.Close();
    EXPECT_EQ(TARVO_STATUS_SUCCESS, b.SetRole(TARVO_ROLE_SERVER));
    EXPECT_EQ(TARVO_STATUS_ALREADY_DONE, c.SetRole(TARVO_ROLE_SERVER));
    // So does the holder taking another role.
    EXPECT_EQ(TARVO_STATUS_SUCCESS, b.SetRole(TARVO_ROLE_VIEWER));
    EXPECT_EQ(TARVO_STATUS_SUCCESS, c.SetRole(TARVO_ROLE_SERVER));
}

TEST_F(SimDriverTest, UnknownRolesAreRefusedAndLeaveTheRole)
{
    DeviceFile file;
    ASSERT_EQ(0u, file.Open());
    ASSERT_EQ(TARVO_STATUS_SUCCESS, file.SetRole(TARVO_ROLE_VIEWER));
    for (uint32_t role : {1u, 5u, 0x100u, SIM_NO_ROLE}) {
        SCOPED_TRACE(testing::Message() << "role " << role);
        EXPECT_EQ(TARVO_STATUS_INVALID_PARAMETER, file.SetRole(role));
    }
    SimConnectionInfo info = {};
    ASSERT_TRUE(FindConnection(file.Id(), info));
    EXPECT_EQ(TARVO_ROLE_VIEWER, info.role);
}

// ---- counts ----

TEST_F(SimDriverTest, CountsArePerConnectionAndInTotalWithoutTestRequests)
{
    DeviceFile a, b;
    ASSERT_EQ(0u, a.Open());
    ASSERT_EQ(0u, b.Open(true));
    const uint32_t idA = a.Id();
    const uint32_t idB = b.Id();
    TarvoDriverInfo info;
    for (int i = 0; i < 3; ++i)
        ASSERT_EQ(TARVO_STATUS_SUCCESS, a.GetDriverInfo(info));
    for (int i = 0; i < 2; ++i)
        ASSERT_EQ(TARVO_STATUS_SUCCESS, b.GetDriverInfo(info));
    ASSERT_EQ(TARVO_STATUS_SUCCESS, b.SetRole(TARVO_ROLE_VIEWER));
    // A malformed request was still received, so it counts.
    EXPECT_EQ(TARVO_STATUS_INVALID_OUTBUFFER_SIZE, b.Request(TARVO_IOCTL_GET_DRIVER_INFO, nullptr, 0, &info, 23));

    EXPECT_EQ(3u, control.CountOf(idA, TARVO_IOCTL_GET_DRIVER_INFO));
    EXPECT_EQ(3u, control.CountOf(idB, TARVO_IOCTL_GET_DRIVER_INFO));
    EXPECT_EQ(1u, control.CountOf(idB, TARVO_IOCTL_SET_ROLE));
    EXPECT_EQ(0u, control.CountOf(idA, TARVO_IOCTL_SET_ROLE));
    EXPECT_EQ(6u, control.CountOf(SIM_TOTAL_CONNECTION_ID, TARVO_IOCTL_GET_DRIVER_INFO));
    EXPECT_EQ(1u, control.CountOf(SIM_TOTAL_CONNECTION_ID, TARVO_IOCTL_SET_ROLE));

    // The listing holds exactly these entries, totals first; no test-interface code.
    SimCountList list;
    ASSERT_EQ(TARVO_STATUS_SUCCESS, control.GetCounts(list));
    ASSERT_EQ(5u, list.count);
    EXPECT_EQ(SIM_TOTAL_CONNECTION_ID, list.entries[0].connectionId);
    EXPECT_EQ(SIM_TOTAL_CONNECTION_ID, list.entries[1].connectionId);
    for (uint32_t i = 0; i < list.count; ++i)
        EXPECT_EQ(TARVO_IOCTL_DEVICE_TYPE, list.entries[i].code >> 16) << "entry " << i;

    // A closed connection leaves the listing; the totals keep its requests.
    a.Close();
    EXPECT_EQ(0u, control.CountOf(idA, TARVO_IOCTL_GET_DRIVER_INFO));
    EXPECT_EQ(6u, control.CountOf(SIM_TOTAL_CONNECTION_ID, TARVO_IOCTL_GET_DRIVER_INFO));

    ASSERT_EQ(TARVO_STATUS_SUCCESS, control.ClearCounts());
    ASSERT_EQ(TARVO_STATUS_SUCCESS, control.GetCounts(list));
    EXPECT_EQ(0u, list.count);
    ASSERT_EQ(TARVO_STATUS_SUCCESS, b.GetDriverInfo(info));
    EXPECT_EQ(1u, control.CountOf(idB, TARVO_IOCTL_GET_DRIVER_INFO));
}

// Reset returns the simulation to a fresh load but keeps the open connections as they are.
TEST_F(SimDriverTest, ResetRestoresDefaultsAndKeepsConnections)
{
    DeviceFile file;
    ASSERT_EQ(0u, file.Open());
    ASSERT_EQ(TARVO_STATUS_SUCCESS, file.SetRole(TARVO_ROLE_SERVER));
    const TarvoDriverInfo changed = {7, 1, 9, 8, 7, TARVO_BUILD_FLAG_DEBUG};
    ASSERT_EQ(TARVO_STATUS_SUCCESS, control.SetDriverInfo(changed));
    TarvoDriverInfo info = {};
    ASSERT_EQ(TARVO_STATUS_SUCCESS, file.GetDriverInfo(info));
    EXPECT_EQ(0, std::memcmp(&changed, &info, sizeof(info)));
    ASSERT_EQ(TARVO_STATUS_SUCCESS, control.SetFault(TARVO_IOCTL_SET_EVENTS, TARVO_STATUS_NO_DEVICE, SIM_FAULT_PERSISTENT));
    ASSERT_EQ(TARVO_STATUS_SUCCESS, control.SetDelay(TARVO_IOCTL_SET_EVENTS, 5000));

    ASSERT_EQ(TARVO_STATUS_SUCCESS, control.Reset());
    ASSERT_EQ(TARVO_STATUS_SUCCESS, file.GetDriverInfo(info));
    const TarvoDriverInfo defaults = {2, 0, 3, 12, 4, 0};
    EXPECT_EQ(0, std::memcmp(&defaults, &info, sizeof(info)));
    const DWORD start = GetTickCount();
    EXPECT_EQ(TARVO_STATUS_SUCCESS, file.SetEvents(0, 0));  // neither failed nor late
    EXPECT_LT(GetTickCount() - start, 2000u);
    EXPECT_EQ(1u, control.CountOf(SIM_TOTAL_CONNECTION_ID, TARVO_IOCTL_SET_EVENTS));
    EXPECT_EQ(1u, control.CountOf(SIM_TOTAL_CONNECTION_ID, TARVO_IOCTL_GET_DRIVER_INFO));  // only the one after it

    DeviceFile other;
    ASSERT_EQ(0u, other.Open());
    EXPECT_EQ(TARVO_STATUS_ALREADY_DONE, other.SetRole(TARVO_ROLE_SERVER));  // the role survived
}

// ---- faults ----

TEST_F(SimDriverTest, FaultOnceFailsOneRequestAndPersistentUntilCleared)
{
    struct FaultCase {
        const char* name;
        uint32_t mode;
        TarvoStatus status;
        bool failsAgain;
    };
    const FaultCase cases[] = {
        {"once", SIM_FAULT_ONCE, TARVO_STATUS_NO_DEVICE, false},
        {"persistent", SIM_FAULT_PERSISTENT, TARVO_STATUS_DEVICE_REMOVED, true},
    };
    DeviceFile file;
    ASSERT_EQ(0u, file.Open());
    for (const FaultCase& c : cases) {
        SCOPED_TRACE(c.name);
        ASSERT_EQ(TARVO_STATUS_SUCCESS, control.SetFault(TARVO_IOCTL_GET_DRIVER_INFO, c.status, c.mode));
        TarvoDriverInfo info = {};
        // A malformed request is refused as usual and does not use the fault up.
        EXPECT_EQ(TARVO_STATUS_INVALID_OUTBUFFER_SIZE, file.Request(TARVO_IOCTL_GET_DRIVER_INFO, nullptr, 0, &info, 4));
        DWORD bytes = 0;
        EXPECT_EQ(c.status, file.Request(TARVO_IOCTL_GET_DRIVER_INFO, nullptr, 0, &info, sizeof(info), &bytes));
        EXPECT_EQ(0u, bytes);
        for (int i = 0; i < 3; ++i)
            EXPECT_EQ(c.failsAgain ? c.status : TARVO_STATUS_SUCCESS, file.GetDriverInfo(info)) << "request " << i;
        // Other codes are untouched.
        EXPECT_EQ(TARVO_STATUS_SUCCESS, file.SetRole(TARVO_ROLE_VIEWER));
        ASSERT_EQ(TARVO_STATUS_SUCCESS, control.SetFault(TARVO_IOCTL_GET_DRIVER_INFO, 0, SIM_FAULT_CLEAR));
        EXPECT_EQ(TARVO_STATUS_SUCCESS, file.GetDriverInfo(info));
        EXPECT_EQ(2u, info.interfaceMajor);
    }
    // Faulted requests were received: all counted.
    EXPECT_EQ(12u, control.CountOf(file.Id(), TARVO_IOCTL_GET_DRIVER_INFO));
}

TEST_F(SimDriverTest, FaultAfterPassesFailsOnlyTheLaterRequest)
{
    DeviceFile file;
    ASSERT_EQ(0u, file.Open());
    TarvoDriverInfo info = {};
    ASSERT_EQ(TARVO_STATUS_SUCCESS,
              control.SetFault(TARVO_IOCTL_GET_DRIVER_INFO, TARVO_STATUS_FAILED, SIM_FAULT_ONCE_AFTER + 2));
    EXPECT_EQ(TARVO_STATUS_SUCCESS, file.GetDriverInfo(info));
    EXPECT_EQ(TARVO_STATUS_SUCCESS, file.GetDriverInfo(info));
    EXPECT_EQ(TARVO_STATUS_FAILED, file.GetDriverInfo(info));
    EXPECT_EQ(TARVO_STATUS_SUCCESS, file.GetDriverInfo(info));
}

TEST_F(SimDriverTest, IgnoredStreamingCommandIsAcceptedAndChangesNothing)
{
    ASSERT_EQ(TARVO_STATUS_SUCCESS, control.Plug(SimControl::PlugRecord()));
    DeviceFile file;
    ASSERT_EQ(0u, file.Open());
    ASSERT_EQ(TARVO_STATUS_SUCCESS, control.SetFault(TARVO_IOCTL_STREAMING_COMMAND, 0, SIM_FAULT_IGNORE));
    const TarvoStreamingCommandRecord powerUp = {TARVO_STREAM_CMD_POWER_UP, 0};
    TarvoStreamingStatus status = {};
    for (int i = 0; i < 2; ++i) {
        EXPECT_EQ(TARVO_STATUS_SUCCESS, file.Request(TARVO_IOCTL_STREAMING_COMMAND, &powerUp, sizeof powerUp, nullptr, 0));
        ASSERT_EQ(TARVO_STATUS_SUCCESS,
                  file.Request(TARVO_IOCTL_GET_STREAMING_STATUS, nullptr, 0, &status, sizeof status));
        EXPECT_EQ(TARVO_STREAM_DOWN, status.state) << "request " << i;
    }
    ASSERT_EQ(TARVO_STATUS_SUCCESS, control.SetFault(TARVO_IOCTL_STREAMING_COMMAND, 0, SIM_FAULT_CLEAR));
    EXPECT_EQ(TARVO_STATUS_SUCCESS, file.Request(TARVO_IOCTL_STREAMING_COMMAND, &powerUp, sizeof powerUp, nullptr, 0));
    ASSERT_EQ(TARVO_STATUS_SUCCESS, file.Request(TARVO_IOCTL_GET_STREAMING_STATUS, nullptr, 0, &status, sizeof status));
    EXPECT_EQ(TARVO_STREAM_READY, status.state);
}

TEST_F(SimDriverTest, FaultedSetRoleDoesNotTakeTheRole)
{
    DeviceFile a, b;
    ASSERT_EQ(0u, a.Open());
    ASSERT_EQ(0u, b.Open());
    ASSERT_EQ(TARVO_STATUS_SUCCESS, control.SetFault(TARVO_IOCTL_SET_ROLE, TARVO_STATUS_IN_USE, SIM_FAULT_ONCE));
    EXPECT_EQ(TARVO_STATUS_IN_USE, a.SetRole(TARVO_ROLE_SERVER));
    EXPECT_EQ(TARVO_STATUS_SUCCESS, b.SetRole(TARVO_ROLE_SERVER));
}

TEST_F(SimDriverTest, BadFaultAndDelayRecordsAreRefused)
{
    struct FaultRecordCase {
        const char* name;
        SimFaultRecord record;
    };
    const FaultRecordCase faults[] = {
        {"test-interface code", {SIM_IOCTL_GET_COUNTS, TARVO_STATUS_FAILED, SIM_FAULT_PERSISTENT}},
        {"unknown code", {TarvoIoctlCode(0xFFE), TARVO_STATUS_FAILED, SIM_FAULT_ONCE}},
        {"success status", {TARVO_IOCTL_GET_DRIVER_INFO, TARVO_STATUS_SUCCESS, SIM_FAULT_ONCE}},
        {"Win32 error status", {TARVO_IOCTL_GET_DRIVER_INFO, ERROR_ACCESS_DENIED, SIM_FAULT_ONCE}},
        {"warning severity", {TARVO_IOCTL_GET_DRIVER_INFO, 0x80000005, SIM_FAULT_ONCE}},
        {"ignore with a failure status", {TARVO_IOCTL_GET_DRIVER_INFO, TARVO_STATUS_FAILED, SIM_FAULT_IGNORE}},
        {"unknown mode", {TARVO_IOCTL_GET_DRIVER_INFO, TARVO_STATUS_FAILED, 4}},
        {"too many passes", {TARVO_IOCTL_GET_DRIVER_INFO, TARVO_STATUS_FAILED, SIM_FAULT_ONCE_AFTER + 256}},
    };
    for (const FaultRecordCase& c : faults) {
        SCOPED_TRACE(c.name);
        EXPECT_EQ(TARVO_STATUS_INVALID_PARAMETER, control.SetFault(c.record.code, c.record.status, c.record.mode));
    }
    EXPECT_EQ(TARVO_STATUS_INVALID_PARAMETER, control.SetDelay(SIM_IOCTL_RESET, 100));
    EXPECT_EQ(TARVO_STATUS_INVALID_PARAMETER, control.SetDelay(TarvoIoctlCode(0xFFE), 100));
    EXPECT_EQ(TARVO_STATUS_INVALID_PARAMETER, control.SetDelay(TARVO_IOCTL_GET_DRIVER_INFO, SIM_MAX_DELAY_MS + 1));
    EXPECT_EQ(TARVO_STATUS_SUCCESS, control.SetDelay(TARVO_IOCTL_GET_DRIVER_INFO, 0));  // clearing nothing is fine
    EXPECT_EQ(TARVO_STATUS_SUCCESS, control.SetFault(TARVO_IOCTL_SET_ROLE, 0, SIM_FAULT_CLEAR));

    // None of them took effect.
    DeviceFile file;
    ASSERT_EQ(0u, file.Open(true));
    TarvoDriverInfo info = {};
    const DWORD start = GetTickCount();
    EXPECT_EQ(TARVO_STATUS_SUCCESS, file.GetDriverInfo(info));
    EXPECT_LT(GetTickCount() - start, 2000u);
}

// ---- delays ----

TEST_F(SimDriverTest, DelayedRequestPendsThenCompletesWithItsOutput)
{
    constexpr uint32_t kDelayMs = 300;
    ASSERT_EQ(TARVO_STATUS_SUCCESS, control.SetDelay(TARVO_IOCTL_GET_DRIVER_INFO, kDelayMs));
    DeviceFile file;
    ASSERT_EQ(0u, file.Open(true));
    TarvoDriverInfo info = {};
    OVERLAPPED o = {};
    o.hEvent = file.EventHandle();
    DWORD bytes = 0;
    const DWORD start = GetTickCount();
    ASSERT_FALSE(DeviceIoControl(file.Get(), TARVO_IOCTL_GET_DRIVER_INFO, nullptr, 0, &info, sizeof(info), &bytes, &o));
    ASSERT_EQ(static_cast<DWORD>(ERROR_IO_PENDING), GetLastError());
    EXPECT_EQ(static_cast<DWORD>(WAIT_TIMEOUT), WaitForSingleObject(o.hEvent, 50));
    ASSERT_TRUE(GetOverlappedResult(file.Get(), &o, &bytes, TRUE));
    const DWORD elapsed = GetTickCount() - start;
    EXPECT_EQ(sizeof(info), bytes);
    EXPECT_EQ(2u, info.interfaceMajor);
    EXPECT_EQ(12u, info.driverMinor);
    EXPECT_GE(elapsed, kDelayMs - 20);  // tick granularity
    EXPECT_LT(elapsed, kDelayMs + 3000);

    // Cleared: the next request completes at once.
    ASSERT_EQ(TARVO_STATUS_SUCCESS, control.SetDelay(TARVO_IOCTL_GET_DRIVER_INFO, 0));
    ResetEvent(o.hEvent);
    EXPECT_TRUE(DeviceIoControl(file.Get(), TARVO_IOCTL_GET_DRIVER_INFO, nullptr, 0, &info, sizeof(info), &bytes, &o));
}

TEST_F(SimDriverTest, DelayedFaultCompletesLateWithTheFaultStatus)
{
    ASSERT_EQ(TARVO_STATUS_SUCCESS, control.SetDelay(TARVO_IOCTL_SET_ROLE, 200));
    ASSERT_EQ(TARVO_STATUS_SUCCESS, control.SetFault(TARVO_IOCTL_SET_ROLE, TARVO_STATUS_TIMEOUT, SIM_FAULT_ONCE));
    DeviceFile file;
    ASSERT_EQ(0u, file.Open(true));
    const DWORD start = GetTickCount();
    EXPECT_EQ(TARVO_STATUS_TIMEOUT, file.SetRole(TARVO_ROLE_CLIENT));
    EXPECT_GE(GetTickCount() - start, 180u);
    EXPECT_EQ(TARVO_STATUS_SUCCESS, file.SetRole(TARVO_ROLE_CLIENT));  // late, but carried out
    SimConnectionInfo info = {};
    ASSERT_TRUE(FindConnection(file.Id(), info));
    EXPECT_EQ(TARVO_ROLE_CLIENT, info.role);
}

// Several delayed requests on different connections complete in the order of their due times.
TEST_F(SimDriverTest, DelayedRequestsCompleteIndependently)
{
    ASSERT_EQ(TARVO_STATUS_SUCCESS, control.SetDelay(TARVO_IOCTL_GET_DRIVER_INFO, 600));
    ASSERT_EQ(TARVO_STATUS_SUCCESS, control.SetDelay(TARVO_IOCTL_SET_ROLE, 150));
    DeviceFile slow, fast;
    ASSERT_EQ(0u, slow.Open(true));
    ASSERT_EQ(0u, fast.Open(true));
    TarvoDriverInfo info = {};
    OVERLAPPED slowO = {};
    slowO.hEvent = slow.EventHandle();
    OVERLAPPED fastO = {};
    fastO.hEvent = fast.EventHandle();
    DWORD bytes = 0;
    ASSERT_FALSE(DeviceIoControl(slow.Get(), TARVO_IOCTL_GET_DRIVER_INFO, nullptr, 0, &info, sizeof(info), &bytes, &slowO));
    ASSERT_EQ(static_cast<DWORD>(ERROR_IO_PENDING), GetLastError());
    const TarvoRoleRecord role = {TARVO_ROLE_VIEWER};
    ASSERT_FALSE(DeviceIoControl(fast.Get(), TARVO_IOCTL_SET_ROLE, const_cast<TarvoRoleRecord*>(&role), sizeof(role),
                                 nullptr, 0, &bytes, &fastO));
    ASSERT_EQ(static_cast<DWORD>(ERROR_IO_PENDING), GetLastError());
    HANDLE events[2] = {slowO.hEvent, fastO.hEvent};
    EXPECT_EQ(static_cast<DWORD>(WAIT_OBJECT_0 + 1), WaitForMultipleObjects(2, events, FALSE, 5000));
    EXPECT_EQ(static_cast<DWORD>(WAIT_TIMEOUT), WaitForSingleObject(slowO.hEvent, 0));
    EXPECT_TRUE(GetOverlappedResult(fast.Get(), &fastO, &bytes, TRUE));
    EXPECT_TRUE(GetOverlappedResult(slow.Get(), &slowO, &bytes, TRUE));
    EXPECT_EQ(sizeof(info), bytes);
}

TEST_F(SimDriverTest, PendingRequestIsCancelledByCancelIoAndByClosing)
{
    ASSERT_EQ(TARVO_STATUS_SUCCESS, control.SetDelay(TARVO_IOCTL_GET_DRIVER_INFO, 20000));
    TarvoDriverInfo info = {};
    DWORD bytes = 0;
    {
        DeviceFile file;
        ASSERT_EQ(0u, file.Open(true));
        OVERLAPPED o = {};
        o.hEvent = file.EventHandle();
        ASSERT_FALSE(DeviceIoControl(file.Get(), TARVO_IOCTL_GET_DRIVER_INFO, nullptr, 0, &info, sizeof(info), &bytes, &o));
        ASSERT_EQ(static_cast<DWORD>(ERROR_IO_PENDING), GetLastError());
        const DWORD start = GetTickCount();
        ASSERT_TRUE(CancelIo(file.Get()));
        EXPECT_FALSE(GetOverlappedResult(file.Get(), &o, &bytes, TRUE));
        EXPECT_EQ(static_cast<DWORD>(ERROR_OPERATION_ABORTED), GetLastError());
        EXPECT_LT(GetTickCount() - start, 5000u);
    }
    {
        DeviceFile file;
        ASSERT_EQ(0u, file.Open(true));
        WnEvent done;
        ASSERT_EQ(0u, done.Create(true, false));
        OVERLAPPED o = {};
        o.hEvent = done.Get();
        ASSERT_FALSE(DeviceIoControl(file.Get(), TARVO_IOCTL_GET_DRIVER_INFO, nullptr, 0, &info, sizeof(info), &bytes, &o));
        ASSERT_EQ(static_cast<DWORD>(ERROR_IO_PENDING), GetLastError());
        const uint32_t id = file.Id();  // the connection still answers while a request pends
        ASSERT_NE(0u, id);
        file.Close();
        EXPECT_EQ(static_cast<DWORD>(WAIT_OBJECT_0), WaitForSingleObject(done.Get(), 5000));
        SimConnectionInfo gone = {};
        EXPECT_FALSE(FindConnection(id, gone));
    }
}

// ---- events ----

TEST_F(SimDriverTest, SignalEventsWakesTheRegisteredEventsOfThisProcess)
{
    WnEvent message, notification;
    ASSERT_EQ(0u, message.Create(false, false));
    ASSERT_EQ(0u, notification.Create(false, false));
    DeviceFile file;
    ASSERT_EQ(0u, file.Open());
    const uint32_t id = file.Id();

    ASSERT_EQ(TARVO_STATUS_SUCCESS, file.SetEvents(HandleValue(message.Get()), 0));
    SimConnectionInfo info = {};
    ASSERT_TRUE(FindConnection(id, info));
    EXPECT_EQ(SIM_SIGNAL_MESSAGE, info.eventsHeld);
    EXPECT_EQ(HandleValue(message.Get()), info.events.messageEvent);
    EXPECT_EQ(0u, info.events.notificationEvent);
    EXPECT_EQ(1u, info.setEventsCount);

    EXPECT_EQ(static_cast<DWORD>(WAIT_TIMEOUT), WaitForSingleObject(message.Get(), 0));
    ASSERT_EQ(TARVO_STATUS_SUCCESS, control.SignalEvents(id, SIM_SIGNAL_MESSAGE));
    EXPECT_EQ(static_cast<DWORD>(WAIT_OBJECT_0), WaitForSingleObject(message.Get(), 2000));
    EXPECT_EQ(TARVO_STATUS_NOT_POSSIBLE, control.SignalEvents(id, SIM_SIGNAL_NOTIFICATION));
    EXPECT_EQ(TARVO_STATUS_NOT_POSSIBLE, control.SignalEvents(id, SIM_SIGNAL_MESSAGE | SIM_SIGNAL_NOTIFICATION));
    EXPECT_EQ(static_cast<DWORD>(WAIT_TIMEOUT), WaitForSingleObject(message.Get(), 0));  // nothing signalled

    // Replaced by both events; each is signalled on its own.
    ASSERT_EQ(TARVO_STATUS_SUCCESS, file.SetEvents(HandleValue(message.Get()), HandleValue(notification.Get())));
    ASSERT_EQ(TARVO_STATUS_SUCCESS, control.SignalEvents(id, SIM_SIGNAL_NOTIFICATION));
    EXPECT_EQ(static_cast<DWORD>(WAIT_OBJECT_0), WaitForSingleObject(notification.Get(), 2000));
    EXPECT_EQ(static_cast<DWORD>(WAIT_TIMEOUT), WaitForSingleObject(message.Get(), 0));
    ASSERT_EQ(TARVO_STATUS_SUCCESS, control.SignalEvents(id, SIM_SIGNAL_MESSAGE | SIM_SIGNAL_NOTIFICATION));
    HANDLE both[2] = {message.Get(), notification.Get()};
    EXPECT_EQ(static_cast<DWORD>(WAIT_OBJECT_0), WaitForMultipleObjects(2, both, TRUE, 2000));

    // Withdrawn: the driver holds nothing any more.
    ASSERT_EQ(TARVO_STATUS_SUCCESS, file.SetEvents(0, 0));
    ASSERT_TRUE(FindConnection(id, info));
    EXPECT_EQ(0u, info.eventsHeld);
    EXPECT_EQ(3u, info.setEventsCount);
    EXPECT_EQ(TARVO_STATUS_NOT_POSSIBLE, control.SignalEvents(id, SIM_SIGNAL_MESSAGE));
}

TEST_F(SimDriverTest, BadSignalAndEventRecordsAreRefused)
{
    WnEvent message;
    ASSERT_EQ(0u, message.Create(false, false));
    DeviceFile file;
    ASSERT_EQ(0u, file.Open());
    const uint32_t id = file.Id();
    ASSERT_EQ(TARVO_STATUS_SUCCESS, file.SetEvents(HandleValue(message.Get()), 0));

    EXPECT_EQ(TARVO_STATUS_INVALID_PARAMETER, control.SignalEvents(id, 0));
    EXPECT_EQ(TARVO_STATUS_INVALID_PARAMETER, control.SignalEvents(id, 0x4));
    EXPECT_EQ(TARVO_STATUS_OBJECT_NOT_FOUND, control.SignalEvents(id + 1000, SIM_SIGNAL_MESSAGE));
    EXPECT_EQ(TARVO_STATUS_OBJECT_NOT_FOUND, control.SignalEvents(SIM_TOTAL_CONNECTION_ID, SIM_SIGNAL_MESSAGE));

    // A value that is no handle of this process is refused and the old events stay.
    EXPECT_EQ(TARVO_STATUS_INVALID_PARAMETER, file.SetEvents(0x7FFFFFF0, 0));
    EXPECT_EQ(TARVO_STATUS_INVALID_PARAMETER, file.SetEvents(HandleValue(message.Get()), 0xFFFFFFFFFFFF0000ULL));
    SimConnectionInfo info = {};
    ASSERT_TRUE(FindConnection(id, info));
    EXPECT_EQ(SIM_SIGNAL_MESSAGE, info.eventsHeld);
    EXPECT_EQ(1u, info.setEventsCount);
    EXPECT_EQ(HandleValue(message.Get()), info.events.messageEvent);
    ASSERT_EQ(TARVO_STATUS_SUCCESS, control.SignalEvents(id, SIM_SIGNAL_MESSAGE));
    EXPECT_EQ(static_cast<DWORD>(WAIT_OBJECT_0), WaitForSingleObject(message.Get(), 2000));
}

// The library's connection registers its events through SET_EVENTS; the driver can wake
// them, and WhoAmI finds the connection through the library's overlapped request path.
TEST_F(SimDriverTest, LibraryClientEventsAreSignalled)
{
    TarvoDriver driver;
    ASSERT_EQ(TARVO_STATUS_SUCCESS, driver.OpenAsClient(TARVO_DEVICE_OBJECT_NAME));
    uint32_t id = 0;
    ASSERT_EQ(TARVO_STATUS_SUCCESS, SimControl::WhoAmI(driver, id));
    SimConnectionInfo info = {};
    ASSERT_TRUE(FindConnection(id, info));
    EXPECT_EQ(TARVO_ROLE_CLIENT, info.role);
    EXPECT_EQ(SIM_SIGNAL_MESSAGE | SIM_SIGNAL_NOTIFICATION, info.eventsHeld);
    ASSERT_EQ(TARVO_STATUS_SUCCESS, control.SignalEvents(id, SIM_SIGNAL_NOTIFICATION));
    EXPECT_EQ(static_cast<DWORD>(WAIT_OBJECT_0), WaitForSingleObject(driver.GetNotificationEvent(), 2000));
    EXPECT_EQ(static_cast<DWORD>(WAIT_TIMEOUT), WaitForSingleObject(driver.GetMessageEvent(), 0));
    driver.Detach();
    EXPECT_FALSE(FindConnection(id, info));
}

// ---- robustness ----

// Thousands of random requests with random codes in both device types and random buffer
// sizes: the driver answers each with a status and keeps working. SET_DELAY is left out,
// since a random delay would only make the run slow.
TEST_F(SimDriverTest, RandomGarbageRequestsLeaveTheDriverWorking)
{
    DeviceFile file;
    ASSERT_EQ(0u, file.Open());
    std::mt19937 random(20240611);
    std::vector<uint8_t> in(4096);
    std::vector<uint8_t> out(4096);
    const uint32_t known[] = {TARVO_IOCTL_GET_DRIVER_INFO, TARVO_IOCTL_SET_EVENTS, TARVO_IOCTL_SET_ROLE,
                              SIM_IOCTL_RESET, SIM_IOCTL_SET_DRIVER_INFO, SIM_IOCTL_SET_FAULT, SIM_IOCTL_GET_COUNTS,
                              SIM_IOCTL_CLEAR_COUNTS, SIM_IOCTL_GET_CONNECTIONS, SIM_IOCTL_WHO_AM_I,
                              SIM_IOCTL_SIGNAL_EVENTS};
    const uint32_t exactIn[] = {0, 16, 4, 0, 24, 12, 0, 0, 0, 0, 8};
    const uint32_t exactOut[] = {24, 0, 0, 0, 0, 0, sizeof(SimCountList), 0, sizeof(SimConnectionList), 4, 0};
    int answered = 0;
    constexpr int kRequests = 4000;
    for (int i = 0; i < kRequests; ++i) {
        for (auto& b : in)
            b = static_cast<uint8_t>(random());
        uint32_t code;
        uint32_t inSize = random() % 4097;
        uint32_t outSize = random() % 4097;
        const uint32_t pick = random() % 4;
        if (pick == 0) {
            const uint32_t k = random() % (sizeof(known) / sizeof(known[0]));
            code = known[k];
            if (random() % 2 == 0) {  // well-formed sizes with random content
                inSize = exactIn[k];
                outSize = exactOut[k];
            }
        } else {
            const uint32_t type = (random() % 2 == 0) ? TARVO_IOCTL_DEVICE_TYPE : SIM_IOCTL_DEVICE_TYPE;
            code = (type << 16) | (random() & 0xFFFF);
            if (pick == 1)  // near the used functions, any method and access bits
                code = (type << 16) | ((random() % 2) << 14) | ((0x7F8 + random() % 24) << 2) | (random() % 4);
        }
        if (code == SIM_IOCTL_SET_DELAY)
            continue;
        DWORD bytes = 0;
        const TarvoStatus status = file.Request(code, in.data(), inSize, out.data(), outSize, &bytes);
        ASSERT_LE(bytes, outSize) << "code 0x" << std::hex << code;
        if (status != TARVO_STATUS_SUCCESS) {
            EXPECT_EQ(0u, bytes) << "code 0x" << std::hex << code;
        }
        ++answered;
    }
    EXPECT_GT(answered, kRequests * 9 / 10);

    ASSERT_EQ(TARVO_STATUS_SUCCESS, control.Reset());
    TarvoDriverInfo info = {};
    ASSERT_EQ(TARVO_STATUS_SUCCESS, file.GetDriverInfo(info));
    EXPECT_EQ(2u, info.interfaceMajor);
    EXPECT_EQ(3u, info.driverMajor);
    DeviceFile fresh;
    ASSERT_EQ(0u, fresh.Open(true));
    ASSERT_EQ(TARVO_STATUS_SUCCESS, fresh.GetDriverInfo(info));
    EXPECT_EQ(4u, info.driverBuild);
}

}  // namespace
