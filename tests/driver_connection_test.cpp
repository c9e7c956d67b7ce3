// Opening connections, the request primitive and roles, against the simulated driver.
#include <gtest/gtest.h>

#include <string>

#include "SimControl.h"
#include "TarvoDriver.h"

namespace {

constexpr const wchar_t* kName = TARVO_DEVICE_OBJECT_NAME;

class DriverConnectionTest : public testing::Test {
protected:
    void SetUp() override
    {
        ASSERT_EQ(0u, sim.Open());
        ASSERT_EQ(TARVO_STATUS_SUCCESS, sim.Reset());
    }
    void TearDown() override { (void)sim.Reset(); }

    // The simulator's view of one of our connections.
    SimConnectionInfo InfoOf(TarvoApiContext& context)
    {
        uint32_t id = 0;
        EXPECT_EQ(TARVO_STATUS_SUCCESS, SimControl::WhoAmI(context, id));
        SimConnectionList list = {};
        EXPECT_EQ(TARVO_STATUS_SUCCESS, sim.GetConnections(list));
        for (uint32_t i = 0; i < list.count && i < SIM_MAX_CONNECTIONS; ++i)
            if (list.connections[i].connectionId == id)
                return list.connections[i];
        ADD_FAILURE() << "connection " << id << " not listed";
        return SimConnectionInfo{};
    }

    // Connections of this test process the simulator has open.
    uint32_t OwnConnectionCount()
    {
        SimConnectionList list = {};
        EXPECT_EQ(TARVO_STATUS_SUCCESS, sim.GetConnections(list));
        uint32_t count = 0;
        for (uint32_t i = 0; i < list.count && i < SIM_MAX_CONNECTIONS; ++i)
            count += list.connections[i].processId == GetCurrentProcessId();
        return count;
    }

    SimControl sim;
};

TEST_F(DriverConnectionTest, OpenReadsDriverInfoAndChecksTheInterfaceVersion)
{
    const TarvoDriverInfo reported = {2, 77, 5, 6, 7, TARVO_BUILD_FLAG_DEBUG};
    ASSERT_EQ(TARVO_STATUS_SUCCESS, sim.SetDriverInfo(reported));
    TarvoApiContext context;
    ASSERT_EQ(TARVO_STATUS_SUCCESS, context.Open(kName));  // any minor version is accepted
    EXPECT_TRUE(context.IsOpen());
    TarvoDriverInfo info = {};
    ASSERT_EQ(TARVO_STATUS_SUCCESS, context.GetDriverInfo(info));
    EXPECT_EQ(0, memcmp(&reported, &info, sizeof info));
    // One GET_DRIVER_INFO by Open, one by the call above.
    EXPECT_EQ(2u, sim.CountOf(InfoOf(context).connectionId, TARVO_IOCTL_GET_DRIVER_INFO));
}

TEST_F(DriverConnectionTest, InterfaceMajorOtherThanTwoIsAMismatchAndLeavesTheContextClosed)
{
    const uint32_t connectionsBefore = OwnConnectionCount();
    for (uint32_t major : {3u, 1u, 0u}) {
        const TarvoDriverInfo reported = {major, 0, 1, 0, 0, 0};
        ASSERT_EQ(TARVO_STATUS_SUCCESS, sim.SetDriverInfo(reported));
        TarvoApiContext context;
        EXPECT_EQ(TARVO_STATUS_VERSION_MISMATCH, context.Open(kName)) << major;
        EXPECT_FALSE(context.IsOpen());
        TarvoDriverInfo info;
        EXPECT_EQ(TARVO_STATUS_NOT_OPENED, context.GetDriverInfo(info));
        EXPECT_EQ(connectionsBefore, OwnConnectionCount()) << "the handle was not closed again";
    }
}

TEST_F(DriverConnectionTest, SecondOpenIsRejectedAndTheFirstHandleStaysUsable)
{
    TarvoApiContext context;
    ASSERT_EQ(TARVO_STATUS_SUCCESS, context.Open(kName));
    const uint32_t id = InfoOf(context).connectionId;
    EXPECT_EQ(TARVO_STATUS_REJECTED, context.Open(kName));
    EXPECT_TRUE(context.IsOpen());
    uint32_t idAfter = 0;
    ASSERT_EQ(TARVO_STATUS_SUCCESS, SimControl::WhoAmI(context, idAfter));
    EXPECT_EQ(id, idAfter);
    TarvoDriverInfo info;
    EXPECT_EQ(TARVO_STATUS_SUCCESS, context.GetDriverInfo(info));
}

TEST_F(DriverConnectionTest, RequestAfterCloseIsNotOpenedAndCloseIsHarmlessTwice)
{
    TarvoApiContext context;
    ASSERT_EQ(TARVO_STATUS_SUCCESS, context.Open(kName));
    context.Close();
    context.Close();
    EXPECT_FALSE(context.IsOpen());
    uint32_t bytes = 77;
    TarvoDriverInfo info;
    EXPECT_EQ(TARVO_STATUS_NOT_OPENED,
              context.DeviceControl(TARVO_IOCTL_GET_DRIVER_INFO, nullptr, 0, &info, sizeof info, &bytes));
    EXPECT_EQ(77u, bytes);  // the platform was not called
    ASSERT_EQ(TARVO_STATUS_SUCCESS, context.Open(kName));  // and it opens again
}

TEST_F(DriverConnectionTest, InjectedStatusArrivesUnchangedAndLeavesOutputUntouched)
{
    TarvoApiContext context;
    ASSERT_EQ(TARVO_STATUS_SUCCESS, context.Open(kName));
    for (TarvoStatus injected : {TARVO_STATUS_INVALID_IOCTL, TARVO_STATUS_DEVICE_REMOVED, TARVO_STATUS_PENDING}) {
        ASSERT_EQ(TARVO_STATUS_SUCCESS, sim.SetFault(TARVO_IOCTL_GET_DRIVER_INFO, injected, SIM_FAULT_ONCE));
        TarvoDriverInfo info;
        memset(&info, 0xAB, sizeof info);
        const TarvoDriverInfo before = info;
        EXPECT_EQ(injected, context.GetDriverInfo(info));
        EXPECT_EQ(0, memcmp(&before, &info, sizeof info));
        EXPECT_EQ(TARVO_STATUS_SUCCESS, context.GetDriverInfo(info));  // once: the next one succeeds
        EXPECT_EQ(TARVO_INTERFACE_VERSION_MAJOR, info.interfaceMajor);
    }
}

TEST_F(DriverConnectionTest, BytesReturnedIsStoredAlsoOnFailure)
{
    TarvoApiContext context;
    ASSERT_EQ(TARVO_STATUS_SUCCESS, context.Open(kName));
    TarvoDriverInfo info;
    uint32_t bytes = 0;
    ASSERT_EQ(TARVO_STATUS_SUCCESS,
              context.DeviceControl(TARVO_IOCTL_GET_DRIVER_INFO, nullptr, 0, &info, sizeof info, &bytes));
    EXPECT_EQ(sizeof info, bytes);
    bytes = 77;
    EXPECT_EQ(TARVO_STATUS_INVALID_OUTBUFFER_SIZE,
              context.DeviceControl(TARVO_IOCTL_GET_DRIVER_INFO, nullptr, 0, &info, sizeof info - 1, &bytes));
    EXPECT_EQ(0u, bytes);
}

TEST_F(DriverConnectionTest, FailingInfoRequestDuringOpenIsReturnedAndClosesTheContext)
{
    ASSERT_EQ(TARVO_STATUS_SUCCESS, sim.SetFault(TARVO_IOCTL_GET_DRIVER_INFO, TARVO_STATUS_NO_RESOURCES, SIM_FAULT_ONCE));
    TarvoApiContext context;
    EXPECT_EQ(TARVO_STATUS_NO_RESOURCES, context.Open(kName));
    EXPECT_FALSE(context.IsOpen());
}

TEST_F(DriverConnectionTest, PendedRequestCompletesThroughTheOverlappedWait)
{
    TarvoApiContext context;
    ASSERT_EQ(TARVO_STATUS_SUCCESS, context.Open(kName));
    ASSERT_EQ(TARVO_STATUS_SUCCESS, sim.SetDelay(TARVO_IOCTL_GET_DRIVER_INFO, 300));
    TarvoDriverInfo info = {};
    const ULONGLONG start = GetTickCount64();
    EXPECT_EQ(TARVO_STATUS_SUCCESS, context.GetDriverInfo(info));
    const ULONGLONG elapsed = GetTickCount64() - start;
    EXPECT_EQ(TARVO_INTERFACE_VERSION_MAJOR, info.interfaceMajor);
    EXPECT_GE(elapsed, 250u) << "the request was not held by the driver";

    // A late completion with a failure status also comes through the wait unchanged.
    ASSERT_EQ(TARVO_STATUS_SUCCESS, sim.SetFault(TARVO_IOCTL_GET_DRIVER_INFO, TARVO_STATUS_ABORTED, SIM_FAULT_ONCE));
    EXPECT_EQ(TARVO_STATUS_ABORTED, context.GetDriverInfo(info));
}

TEST_F(DriverConnectionTest, ClientSendsEachEventHandleInAnEightByteSlotAndTheDriverCanSignalThem)
{
    TarvoDriver client;
    ASSERT_EQ(TARVO_STATUS_SUCCESS, client.OpenAsClient(kName));
    ASSERT_NE(nullptr, client.GetMessageEvent());
    ASSERT_NE(nullptr, client.GetNotificationEvent());
    const SimConnectionInfo info = InfoOf(client);
    EXPECT_EQ(TARVO_ROLE_CLIENT, info.role);
    EXPECT_EQ(1u, info.setEventsCount);
    const uint64_t message = reinterpret_cast<uintptr_t>(client.GetMessageEvent());
    const uint64_t notification = reinterpret_cast<uintptr_t>(client.GetNotificationEvent());
    EXPECT_EQ(message & 0xFFFFFFFFu, info.events.messageEvent);
    EXPECT_EQ(notification & 0xFFFFFFFFu, info.events.notificationEvent);
    EXPECT_EQ(SIM_SIGNAL_MESSAGE | SIM_SIGNAL_NOTIFICATION, info.eventsHeld);

    ASSERT_EQ(TARVO_STATUS_SUCCESS, sim.SignalEvents(info.connectionId, SIM_SIGNAL_NOTIFICATION));
    EXPECT_EQ(WAIT_OBJECT_0, WaitForSingleObject(client.GetNotificationEvent(), 2000));
    EXPECT_EQ(static_cast<DWORD>(WAIT_TIMEOUT), WaitForSingleObject(client.GetMessageEvent(), 0));
    ASSERT_EQ(TARVO_STATUS_SUCCESS, sim.SignalEvents(info.connectionId, SIM_SIGNAL_MESSAGE));
    EXPECT_EQ(WAIT_OBJECT_0, WaitForSingleObject(client.GetMessageEvent(), 2000));
}

TEST_F(DriverConnectionTest, ViewersSendZeroSlotsAndNoEvents)
{
    TarvoDriver viewer;
    TarvoDriver mixerViewer;
    ASSERT_EQ(TARVO_STATUS_SUCCESS, viewer.OpenAsViewer(kName));
    ASSERT_EQ(TARVO_STATUS_SUCCESS, mixerViewer.OpenAsMixerViewer(kName));
    const struct {
        TarvoDriver* driver;
        uint32_t role;
    } cases[] = {{&viewer, TARVO_ROLE_VIEWER}, {&mixerViewer, TARVO_ROLE_MIXER_VIEWER}};
    for (const auto& c : cases) {
        const SimConnectionInfo info = InfoOf(*c.driver);
        EXPECT_EQ(c.role, info.role);
        EXPECT_EQ(1u, info.setEventsCount);
        EXPECT_EQ(0u, info.events.messageEvent);
        EXPECT_EQ(0u, info.events.notificationEvent);
        EXPECT_EQ(0u, info.eventsHeld);
        EXPECT_EQ(nullptr, c.driver->GetMessageEvent());
    }
}

TEST_F(DriverConnectionTest, OpenOnAnOpenConnectionSucceedsAndSendsNothing)
{
    TarvoDriver client;
    ASSERT_EQ(TARVO_STATUS_SUCCESS, client.OpenAsClient(kName));
    const uint32_t id = InfoOf(client).connectionId;
    ASSERT_EQ(TARVO_STATUS_SUCCESS, sim.ClearCounts());
    EXPECT_EQ(TARVO_STATUS_SUCCESS, client.OpenAsClient(kName));
    EXPECT_EQ(TARVO_STATUS_SUCCESS, client.OpenAsViewer(kName));
    EXPECT_EQ(TARVO_STATUS_SUCCESS, client.OpenAsServer(kName));
    SimCountList counts = {};
    ASSERT_EQ(TARVO_STATUS_SUCCESS, sim.GetCounts(counts));
    for (uint32_t i = 0; i < counts.count; ++i)
        EXPECT_NE(id, counts.entries[i].connectionId) << "code " << std::hex << counts.entries[i].code;
    EXPECT_EQ(TARVO_ROLE_CLIENT, InfoOf(client).role);
}

TEST_F(DriverConnectionTest, SecondServerIsRefusedAndDetachedAndTheRoleIsFreedByClose)
{
    TarvoDriver first;
    ASSERT_EQ(TARVO_STATUS_SUCCESS, first.OpenAsServer(kName));
    TarvoDriver second;
    EXPECT_EQ(TARVO_STATUS_ALREADY_DONE, second.OpenAsServer(kName));
    EXPECT_FALSE(second.IsOpen());
    EXPECT_EQ(nullptr, second.GetMessageEvent());
    EXPECT_EQ(nullptr, second.GetNotificationEvent());

    first.Detach();
    EXPECT_FALSE(first.IsOpen());
    EXPECT_EQ(TARVO_STATUS_SUCCESS, second.OpenAsServer(kName));
    EXPECT_EQ(TARVO_ROLE_SERVER, InfoOf(second).role);
}

TEST_F(DriverConnectionTest, DetachAndReattachAnyNumberOfTimes)
{
    TarvoDriver client;
    for (int round = 0; round < 3; ++round) {
        ASSERT_EQ(TARVO_STATUS_SUCCESS, client.OpenAsClient(kName)) << round;
        const SimConnectionInfo info = InfoOf(client);
        EXPECT_EQ(TARVO_ROLE_CLIENT, info.role);
        client.Detach();
        EXPECT_FALSE(client.IsOpen());
        client.Detach();  // harmless when closed
    }
}

TEST_F(DriverConnectionTest, AttachReusesItsEventsAndWithdrawsNone)
{
    TarvoDriver driver;
    ASSERT_EQ(TARVO_STATUS_SUCCESS, driver.Attach(kName, true, false));
    HANDLE message = driver.GetMessageEvent();
    ASSERT_NE(nullptr, message);
    EXPECT_EQ(nullptr, driver.GetNotificationEvent());
    SimConnectionInfo info = InfoOf(driver);
    EXPECT_EQ(SIM_SIGNAL_MESSAGE, info.eventsHeld);
    EXPECT_EQ(0u, info.events.notificationEvent);
    driver.Close();
    ASSERT_EQ(TARVO_STATUS_SUCCESS, driver.Attach(kName, true, true));
    EXPECT_EQ(message, driver.GetMessageEvent());  // the existing event is reused
    info = InfoOf(driver);
    EXPECT_EQ(SIM_SIGNAL_MESSAGE | SIM_SIGNAL_NOTIFICATION, info.eventsHeld);
}

TEST_F(DriverConnectionTest, FailingSetEventsOrRoleUndoesTheOpen)
{
    ASSERT_EQ(TARVO_STATUS_SUCCESS, sim.SetFault(TARVO_IOCTL_SET_EVENTS, TARVO_STATUS_NO_MEMORY, SIM_FAULT_ONCE));
    TarvoDriver client;
    EXPECT_EQ(TARVO_STATUS_NO_MEMORY, client.OpenAsClient(kName));
    EXPECT_FALSE(client.IsOpen());

    ASSERT_EQ(TARVO_STATUS_SUCCESS, sim.SetFault(TARVO_IOCTL_SET_ROLE, TARVO_STATUS_NOT_ALLOWED, SIM_FAULT_ONCE));
    TarvoDriver viewer;
    EXPECT_EQ(TARVO_STATUS_NOT_ALLOWED, viewer.OpenAsViewer(kName));
    EXPECT_FALSE(viewer.IsOpen());
    EXPECT_EQ(TARVO_STATUS_SUCCESS, viewer.OpenAsViewer(kName));
}

TEST_F(DriverConnectionTest, LongNameIsCutTo99CharactersAndTheOpenFailsWithTheWin32Error)
{
    const std::wstring longName(120, L'N');
    TarvoDriver driver;
    const TarvoStatus status = driver.Attach(longName.c_str(), true, true);
    EXPECT_EQ(static_cast<TarvoStatus>(ERROR_FILE_NOT_FOUND), status);
    EXPECT_FALSE(driver.IsOpen());
    EXPECT_EQ(longName.substr(0, 99), std::wstring(driver.GetDriverName()));
}

TEST_F(DriverConnectionTest, PathLongerThanItsBufferIsCutNotOverrun)
{
    const std::wstring hugeName(400, L'x');
    TarvoApiContext context;
    const TarvoStatus status = context.Open(hugeName.c_str());
    EXPECT_NE(TARVO_STATUS_SUCCESS, status);
    EXPECT_FALSE(context.IsOpen());
}

// Runs last in this program: it unloads the driver and loads it again.
TEST_F(DriverConnectionTest, DriverNotLoadedGivesTheCreateFileErrorAndStaysClosed)
{
    sim.Close();
    ASSERT_EQ(0u, SimDriverService::Stop());
    TarvoDriver client;
    const TarvoStatus status = client.OpenAsClient(kName);
    EXPECT_EQ(static_cast<TarvoStatus>(ERROR_FILE_NOT_FOUND), status) << std::hex << status;
    EXPECT_FALSE(client.IsOpen());
    EXPECT_EQ(nullptr, client.GetMessageEvent());
    ASSERT_EQ(0u, SimDriverService::EnsureRunning());
    ASSERT_EQ(0u, sim.Open());
    EXPECT_EQ(TARVO_STATUS_SUCCESS, client.OpenAsClient(kName));
}

}  // namespace
