// The server's stepping of the driver's streaming state machine, called directly on the
// test thread: the commands it sends, the device hooks around each, the veto of a device
// object, failures and the limit on the number of commands of one sequence.
#include <gtest/gtest.h>

#include <windows.h>

#include <string>
#include <vector>

#include "ServiceTestSupport.h"
#include "TarvoServer.h"

namespace {

const wchar_t* const kName = TARVO_DEVICE_OBJECT_NAME;

using Lines = std::vector<std::string>;

// A device object that writes every hook into a shared list and may veto one step.
class HookDevice : public TarvoDeviceCtrl {
public:
    explicit HookDevice(Lines& hooks) : hooks(hooks) {}
    TarvoStatus BeforeTransition(uint32_t from, uint32_t to, uint32_t) override
    {
        hooks.push_back("before " + std::to_string(from) + " " + std::to_string(to));
        return from == vetoFrom && to == vetoTo ? TARVO_STATUS_NOT_ALLOWED : TARVO_STATUS_SUCCESS;
    }
    void AfterTransition(uint32_t from, uint32_t to, uint32_t) override
    {
        hooks.push_back("after " + std::to_string(from) + " " + std::to_string(to));
    }
    void TransitionFailed(uint32_t from, uint32_t to, TarvoStatus status) override
    {
        hooks.push_back("failed " + std::to_string(from) + " " + std::to_string(to) + " " + TarvoStatusName(status));
    }
    TarvoStatus PrepareStart() override
    {
        hooks.push_back("prepare");
        return prepareStatus;
    }

    static uint32_t vetoFrom;
    static uint32_t vetoTo;
    static TarvoStatus prepareStatus;

private:
    Lines& hooks;
};
uint32_t HookDevice::vetoFrom = 0;
uint32_t HookDevice::vetoTo = 0;
TarvoStatus HookDevice::prepareStatus = TARVO_STATUS_SUCCESS;

class HookServer : public TarvoServer {
public:
    Lines hooks;

protected:
    std::unique_ptr<TarvoDevice> CreateDevice() override { return std::make_unique<HookDevice>(hooks); }
};

class ServerSteppingTest : public testing::Test {
protected:
    void SetUp() override
    {
        HookDevice::vetoFrom = HookDevice::vetoTo = 0;
        HookDevice::prepareStatus = TARVO_STATUS_SUCCESS;
        ASSERT_EQ(0u, sim.Open());
        ASSERT_EQ(TARVO_STATUS_SUCCESS, sim.Reset());
    }
    void TearDown() override
    {
        server.Detach();
        (void)sim.Reset();
    }

    // Plugs a device (default: high speed) and connects the server with its device object.
    void Connect(const SimPlugRecord& record = SimControl::PlugRecord(L"ST1"))
    {
        ASSERT_EQ(TARVO_STATUS_SUCCESS, sim.Plug(record));
        ASSERT_EQ(TARVO_STATUS_SUCCESS, server.OpenAsServer(kName));
        bool changed = false;
        ASSERT_EQ(TARVO_STATUS_SUCCESS, server.UpdateDeviceList(changed));
        ASSERT_EQ(1u, server.GetDeviceCount());
    }

    void SetStreamUsers(uint32_t count1)
    {
        SimUsersRecord users = {};
        users.counts[0] = count1;
        ASSERT_EQ(TARVO_STATUS_SUCCESS, sim.SetUsers(users));
    }

    uint32_t State()
    {
        SimStateRecord state = {};
        EXPECT_EQ(TARVO_STATUS_SUCCESS, sim.GetState(state));
        return state.status.state;
    }

    // Runs one stepping operation and returns the commands it sent and the hooks it called.
    template <class Step>
    TarvoStatus Record(Step step, Lines& commands, Lines& hooks)
    {
        server.hooks.clear();
        const uint32_t mark = LastLogSequence(sim);
        const TarvoStatus status = step();
        commands = DescribeLogAfter(sim, mark);
        hooks = server.hooks;
        return status;
    }

    SimControl sim;
    HookServer server;
};

TEST_F(ServerSteppingTest, GoRunningWithoutUsersStopsAtReady)
{
    Connect();
    Lines commands, hooks;
    EXPECT_EQ(TARVO_STATUS_SUCCESS, Record([&] { return server.GoRunning(1); }, commands, hooks));
    EXPECT_EQ(Lines({"POWER_UP 1"}), commands);
    EXPECT_EQ(Lines({"prepare", "before 1 2", "after 1 2"}), hooks);
    EXPECT_EQ(TARVO_STREAM_READY, State());
    // Already there: nothing more is sent.
    EXPECT_EQ(TARVO_STATUS_SUCCESS, Record([&] { return server.GoRunning(1); }, commands, hooks));
    EXPECT_TRUE(commands.empty());
}

TEST_F(ServerSteppingTest, GoRunningWithUsersReachesRunningAndGoStoppedComesBackDown)
{
    Connect();
    SetStreamUsers(1);
    Lines commands, hooks;
    EXPECT_EQ(TARVO_STATUS_SUCCESS, Record([&] { return server.GoRunning(0); }, commands, hooks));
    EXPECT_EQ(Lines({"POWER_UP 0", "PREPARE", "RUN"}), commands);
    EXPECT_EQ(Lines({"prepare", "before 1 2", "after 1 2", "before 2 3", "after 2 3", "before 3 4", "after 3 4"}),
              hooks);
    EXPECT_EQ(TARVO_STREAM_RUNNING, State());

    EXPECT_EQ(TARVO_STATUS_SUCCESS, Record([&] { return server.GoStopped(1); }, commands, hooks));
    EXPECT_EQ(Lines({"HALT", "POWER_DOWN 1"}), commands);
    EXPECT_EQ(Lines({"before 4 2", "after 4 2", "before 2 1", "after 2 1"}), hooks);
    EXPECT_EQ(TARVO_STREAM_DOWN, State());
}

TEST_F(ServerSteppingTest, VetoStopsAStepUpButNotAStepDown)
{
    Connect();
    SetStreamUsers(1);
    HookDevice::vetoFrom = TARVO_STREAM_READY;
    HookDevice::vetoTo = TARVO_STREAM_PREPARED;
    Lines commands, hooks;
    EXPECT_EQ(TARVO_STATUS_NOT_ALLOWED, Record([&] { return server.GoRunning(0); }, commands, hooks));
    EXPECT_EQ(Lines({"POWER_UP 0"}), commands);
    EXPECT_EQ(Lines({"prepare", "before 1 2", "after 1 2", "before 2 3"}), hooks);
    EXPECT_EQ(TARVO_STREAM_READY, State());

    HookDevice::vetoFrom = 0;
    ASSERT_EQ(TARVO_STATUS_SUCCESS, server.GoRunning(0));
    HookDevice::vetoFrom = TARVO_STREAM_RUNNING;
    HookDevice::vetoTo = TARVO_STREAM_READY;
    EXPECT_EQ(TARVO_STATUS_SUCCESS, Record([&] { return server.GoStopped(0); }, commands, hooks));
    EXPECT_EQ(Lines({"HALT", "POWER_DOWN 0"}), commands);
    EXPECT_EQ(TARVO_STREAM_DOWN, State());

    // PrepareStart's failure stops stepping up before anything is read or sent.
    HookDevice::prepareStatus = TARVO_STATUS_NO_RESOURCES;
    EXPECT_EQ(TARVO_STATUS_NO_RESOURCES, Record([&] { return server.GoRunning(0); }, commands, hooks));
    EXPECT_TRUE(commands.empty());
    EXPECT_EQ(Lines({"prepare"}), hooks);
}

TEST_F(ServerSteppingTest, RefusedCommandsAreReportedWithTheirHooks)
{
    Connect();
    SetStreamUsers(1);
    Lines commands, hooks;
    // PREPARE refused: the step is reported as failed, the status returned.
    ASSERT_EQ(TARVO_STATUS_SUCCESS,
              sim.SetFault(TARVO_IOCTL_STREAMING_COMMAND, TARVO_STATUS_START_CHANNEL_FAILED, SIM_FAULT_ONCE_AFTER + 1));
    EXPECT_EQ(TARVO_STATUS_START_CHANNEL_FAILED, Record([&] { return server.GoRunning(0); }, commands, hooks));
    EXPECT_EQ(Lines({"POWER_UP 0"}), commands);
    EXPECT_EQ(Lines({"prepare", "before 1 2", "after 1 2", "before 2 3", "failed 2 3 TARVO_STATUS_START_CHANNEL_FAILED"}),
              hooks);

    // POWER_DOWN refused: returned without a failure hook.
    ASSERT_EQ(TARVO_STATUS_SUCCESS, sim.SetFault(TARVO_IOCTL_STREAMING_COMMAND, TARVO_STATUS_FAILED, SIM_FAULT_ONCE));
    EXPECT_EQ(TARVO_STATUS_FAILED, Record([&] { return server.GoStopped(0); }, commands, hooks));
    EXPECT_EQ(Lines({"before 2 1"}), hooks);

    // A failing status read ends the sequence with its status.
    ASSERT_EQ(TARVO_STATUS_SUCCESS,
              sim.SetFault(TARVO_IOCTL_GET_STREAMING_STATUS, TARVO_STATUS_DEVICE_REMOVED, SIM_FAULT_ONCE));
    EXPECT_EQ(TARVO_STATUS_DEVICE_REMOVED, server.GoStopped(0));
}

TEST_F(ServerSteppingTest, ErrorStateIsRecoveredOnTheWayUpAndDown)
{
    Connect();
    SetStreamUsers(1);
    ASSERT_EQ(TARVO_STATUS_SUCCESS, server.GoRunning(0));
    TarvoErrorCounters errors = {};
    errors.streaming = 1;
    ASSERT_EQ(TARVO_STATUS_SUCCESS, sim.RaiseErrors(errors));
    ASSERT_EQ(TARVO_STREAM_ERROR, State());
    Lines commands, hooks;
    EXPECT_EQ(TARVO_STATUS_SUCCESS, Record([&] { return server.GoRunning(0); }, commands, hooks));
    EXPECT_EQ(Lines({"RECOVER", "POWER_UP 0", "PREPARE", "RUN"}), commands);

    ASSERT_EQ(TARVO_STATUS_SUCCESS, sim.RaiseErrors(errors));
    EXPECT_EQ(TARVO_STATUS_SUCCESS, Record([&] { return server.GoStopped(0); }, commands, hooks));
    EXPECT_EQ(Lines({"RECOVER"}), commands);
    EXPECT_TRUE(hooks.empty());
}

TEST_F(ServerSteppingTest, GoIdleHaltsOnlyAStreamWithoutUsers)
{
    Connect();
    SetStreamUsers(1);
    ASSERT_EQ(TARVO_STATUS_SUCCESS, server.GoRunning(0));
    Lines commands, hooks;
    EXPECT_EQ(TARVO_STATUS_SUCCESS, Record([&] { return server.GoIdle(); }, commands, hooks));
    EXPECT_TRUE(commands.empty());  // still used

    SetStreamUsers(0);
    EXPECT_EQ(TARVO_STATUS_SUCCESS, Record([&] { return server.GoIdle(); }, commands, hooks));
    EXPECT_EQ(Lines({"HALT"}), commands);
    EXPECT_EQ(Lines({"before 4 2", "after 4 2"}), hooks);
    EXPECT_EQ(TARVO_STREAM_READY, State());
    EXPECT_EQ(TARVO_STATUS_SUCCESS, Record([&] { return server.GoIdle(); }, commands, hooks));
    EXPECT_TRUE(commands.empty());  // Ready already
}

TEST_F(ServerSteppingTest, SequencesThatGoNowhereEndAtTheStepLimit)
{
    // A selected device without high speed: every POWER_UP ends in Not supported, every
    // RECOVER back in Down, for ever.
    SimPlugRecord slow = SimControl::PlugRecord(L"ST1");
    slow.options = SIM_PLUG_FLAGS_GIVEN;
    slow.flags = 0;
    Connect(slow);
    ASSERT_EQ(TARVO_STATUS_SUCCESS, sim.ClearCounts());
    EXPECT_EQ(TARVO_STATUS_INVALID_STATE, server.GoRunning(0));
    EXPECT_EQ(TARVO_MAX_STREAMING_STEPS, sim.CountOf(SIM_TOTAL_CONNECTION_ID, TARVO_IOCTL_STREAMING_COMMAND));

    // A driver that accepts every command and stays where it is, both ways.
    ASSERT_EQ(TARVO_STATUS_SUCCESS, sim.SetFault(TARVO_IOCTL_STREAMING_COMMAND, 0, SIM_FAULT_IGNORE));
    struct Case {
        const char* what;
        TarvoStatus (TarvoServer::*step)(uint32_t);
    };
    const Case cases[] = {{"up", &TarvoServer::GoRunning}, {"down", &TarvoServer::GoStopped}};
    for (const Case& c : cases) {
        SCOPED_TRACE(c.what);
        if (c.step == &TarvoServer::GoStopped) {
            ASSERT_EQ(TARVO_STATUS_SUCCESS, sim.SetFault(TARVO_IOCTL_STREAMING_COMMAND, 0, SIM_FAULT_CLEAR));
            SetStreamUsers(0);
            ASSERT_EQ(TARVO_STATUS_SUCCESS, sim.Reset());
            server.Detach();
            Connect();
            ASSERT_EQ(TARVO_STATUS_SUCCESS, server.GoRunning(0));
            ASSERT_EQ(TARVO_STATUS_SUCCESS, sim.SetFault(TARVO_IOCTL_STREAMING_COMMAND, 0, SIM_FAULT_IGNORE));
        }
        ASSERT_EQ(TARVO_STATUS_SUCCESS, sim.ClearCounts());
        EXPECT_EQ(TARVO_STATUS_INVALID_STATE, (server.*c.step)(0));
        EXPECT_EQ(TARVO_MAX_STREAMING_STEPS, sim.CountOf(SIM_TOTAL_CONNECTION_ID, TARVO_IOCTL_STREAMING_COMMAND));
    }
}

}  // namespace
