// The service's server loop on a thread of its own, against the simulated driver, with a
// control panel client: the road of one sample rate change, every request and its
// failures, payloads of the wrong size, the driver's notifications and what the server
// does about them, the last device going and coming back, and a second server.
#include <gtest/gtest.h>

#include <windows.h>

#include <algorithm>
#include <cstdio>
#include <cstring>
#include <functional>
#include <string>
#include <vector>

#include "CustomServer.h"
#include "ServiceTestSupport.h"
#include "SoundDeviceTables.h"
#include "VolumeConversion.h"

namespace {

const wchar_t* const kName = TARVO_DEVICE_OBJECT_NAME;
const wchar_t* const kSerial = L"SL1";
const wchar_t* const kSecondSerial = L"SL2";

using Lines = std::vector<std::string>;
using Codes = std::vector<uint32_t>;

class ServerLoopTest : public testing::Test {
protected:
    void SetUp() override
    {
        ASSERT_EQ(0u, sim.Open());
        ASSERT_EQ(TARVO_STATUS_SUCCESS, sim.Reset());
        DeleteDeviceKey(kSerial);
        DeleteDeviceKey(kSecondSerial);
    }
    void TearDown() override
    {
        EXPECT_EQ(TARVO_STATUS_SUCCESS, thread.Stop());
        client.Detach();
        (void)sim.Reset();
        DeleteDeviceKey(kSerial);
        DeleteDeviceKey(kSecondSerial);
    }

    void Plug(const wchar_t* serial = kSerial)
    {
        TarvoDeviceKey key = {};
        ASSERT_EQ(TARVO_STATUS_SUCCESS, sim.Plug(SimControl::PlugRecord(serial), &key));
        if (serial == kSerial)
            deviceKey = key;
    }

    void SetUsers(uint32_t count1, uint32_t count2 = 0, uint32_t count3 = 0)
    {
        SimUsersRecord users = {};
        users.counts[0] = count1;
        users.counts[1] = count2;
        users.counts[2] = count3;
        ASSERT_EQ(TARVO_STATUS_SUCCESS, sim.SetUsers(users));
    }

    // Sets the users and waits until the server has stepped the stream for them: Running
    // with users of the stream (counters 1 and 2 here), Ready without.
    void SetUsersAndSettle(uint32_t count1, uint32_t count2 = 0, uint32_t count3 = 0)
    {
        SetUsers(count1, count2, count3);
        const uint32_t wanted = count1 != 0 || count2 != 0 ? TARVO_STREAM_RUNNING : TARVO_STREAM_READY;
        ASSERT_TRUE(Eventually([&] { return State().status.state == wanted; }));
    }

    // The client connects first, then the server starts; its first device list ends
    // with notification 3030, after which the loop waits idle.
    void StartServer()
    {
        ASSERT_EQ(TARVO_STATUS_SUCCESS, client.OpenAsClient(kName));
        ASSERT_EQ(0u, thread.Start());
        ASSERT_TRUE(client.WaitFor(TARVO_NOTIFY_DEVICE_LIST_CHANGED));
        (void)client.TakeCodes();
    }

    SimStateRecord State()
    {
        SimStateRecord state = {};
        EXPECT_EQ(TARVO_STATUS_SUCCESS, sim.GetState(state));
        return state;
    }

    bool ServerRoleHeld()
    {
        static SimConnectionList list;
        if (sim.GetConnections(list) != TARVO_STATUS_SUCCESS)
            return false;
        for (uint32_t i = 0; i < list.count && i < SIM_MAX_CONNECTIONS; ++i)
            if (list.connections[i].role == TARVO_ROLE_SERVER)
                return true;
        return false;
    }

    // A request with any payload, answered by the server: the reply's status.
    TarvoStatus Send(uint32_t code, const void* payload, uint32_t size, TarvoMessage* replyOut = nullptr)
    {
        TarvoMessage request;
        request.Init(TARVO_MSG_REQUEST, code);
        EXPECT_EQ(TARVO_STATUS_SUCCESS, request.SetPayload(payload, size));
        TarvoMessage reply;
        const TarvoStatus status = client.Transact(request, reply, 10000);
        if (status != TARVO_STATUS_SUCCESS)
            return status;
        if (replyOut != nullptr)
            *replyOut = reply;
        return reply.status;
    }

    // The service's own notifications among the codes (the driver's are left out).
    static Codes ServiceCodes(const Codes& codes)
    {
        Codes service;
        for (uint32_t code : codes)
            if (code == TARVO_NOTIFY_STREAM_RECONFIGURED || code == TARVO_NOTIFY_SAMPLE_RATE_CHANGED ||
                code == TARVO_NOTIFY_DEVICE_LIST_CHANGED)
                service.push_back(code);
        return service;
    }

    // Sum of the requests of one connection since the counts were cleared.
    uint32_t RequestsOf(uint32_t connectionId)
    {
        static SimCountList counts;
        if (sim.GetCounts(counts) != TARVO_STATUS_SUCCESS)
            return 0;
        uint32_t total = 0;
        for (uint32_t i = 0; i < counts.count && i < SIM_MAX_COUNT_ENTRIES; ++i)
            if (counts.entries[i].connectionId == connectionId)
                total += counts.entries[i].count;
        return total;
    }

    SimControl sim;
    CustomServer server;
    ServerThread thread{server};
    ListeningClient client;
    TarvoDeviceKey deviceKey = {};
};

TEST_F(ServerLoopTest, SampleRateChangeStepsDownChangesAndStepsUpAgain)
{
    Plug();
    SetUsers(1);
    StartServer();
    ASSERT_EQ(TARVO_STREAM_RUNNING, State().status.state);

    uint32_t serverId = 0;
    uint32_t deviceId = 0;
    ASSERT_EQ(TARVO_STATUS_SUCCESS, SimControl::WhoAmI(server, serverId));
    ASSERT_EQ(TARVO_STATUS_SUCCESS, SimControl::WhoAmI(*server.GetDevice(0), deviceId));
    const uint32_t mark = LastLogSequence(sim);
    ASSERT_EQ(TARVO_STATUS_SUCCESS, sim.ClearCounts());

    EXPECT_EQ(TARVO_STATUS_SUCCESS, client.RequestSampleRate(96000));

    // The policy allows rate changes, so both power commands carry mode 0.
    const Lines expected = {
        "SELECT_SAMPLE_RATE 96000", "C22 0 0", "C22 2 0", "HALT",    "POWER_DOWN 0", "SET_SAMPLE_RATE 96000",
        "POWER_UP 0",               "PREPARE", "C22 0 1", "C22 2 1", "RUN",
    };
    EXPECT_EQ(expected, DescribeLogAfter(sim, mark));
    // The service's notifications were posted before the reply, so they are here now.
    EXPECT_EQ(Codes({TARVO_NOTIFY_STREAM_RECONFIGURED, TARVO_NOTIFY_SAMPLE_RATE_CHANGED}),
              ServiceCodes(client.TakeCodes()));
    const SimStateRecord state = State();
    EXPECT_EQ(96000u, state.status.sampleRate);
    EXPECT_EQ(TARVO_STREAM_RUNNING, state.status.state);

    // The driver's own notification of the new rate (3001) reaches the server too and is
    // fetched after the reply; let that settle before counting.
    uint32_t byServer = RequestsOf(serverId);
    for (uint32_t before = 0; before != byServer;) {
        before = byServer;
        Sleep(300);
        byServer = RequestsOf(serverId);
    }
    const uint32_t byDevice = RequestsOf(deviceId);
    std::printf("sample rate change on one default device: %u control requests (%u on the server's connection, "
                "%u on the device object's), by code:\n",
                byServer + byDevice, byServer, byDevice);
    static SimCountList counts;
    ASSERT_EQ(TARVO_STATUS_SUCCESS, sim.GetCounts(counts));
    for (uint32_t i = 0; i < counts.count && i < SIM_MAX_COUNT_ENTRIES; ++i)
        if (counts.entries[i].connectionId == serverId || counts.entries[i].connectionId == deviceId)
            std::printf("  connection %u code 0x%08X: %u\n", counts.entries[i].connectionId, counts.entries[i].code,
                        counts.entries[i].count);
    EXPECT_EQ(4u, byDevice);  // the four C22 of the two steps that touch Running
}

TEST_F(ServerLoopTest, RequestsThatChangeNothing)
{
    Plug();
    StartServer();
    const uint32_t unknownKey[4] = {deviceKey.key0 + 100, deviceKey.key1, 0, 0};
    const uint32_t render1[4] = {deviceKey.key0, deviceKey.key1, 1, 0};
    const uint32_t rate48000 = 48000;
    const uint32_t rate96000 = 96000;
    const uint32_t policy0 = 0;
    const TarvoBufferSizeSettings buffers = {1, 1, 1};
    struct Case {
        const char* what;
        std::function<void()> before;
        uint32_t code;
        const void* payload;
        uint32_t size;
        TarvoStatus expected;
    };
    const Case cases[] = {
        {"current sample rate", nullptr, TARVO_REQ_SET_SAMPLE_RATE, &rate48000, 4, TARVO_STATUS_SUCCESS},
        {"sample rate while counter 3 locks it", [&] { SetUsersAndSettle(0, 0, 1); }, TARVO_REQ_SET_SAMPLE_RATE, &rate96000,
         4, TARVO_STATUS_SOUND_DEVICE_IN_USE},
        {"buffer sizes while counter 2 locks them", [&] { SetUsersAndSettle(0, 1, 0); }, TARVO_REQ_SET_BUFFER_SIZES,
         &buffers, 12, TARVO_STATUS_SOUND_DEVICE_IN_USE},
        {"current policy", nullptr, TARVO_REQ_SET_POLICY, &policy0, 4, TARVO_STATUS_SUCCESS},
        {"unknown code 5000", nullptr, 5000, nullptr, 0, TARVO_STATUS_INVALID_COMMAND},
        {"11001 with render configuration 1", nullptr, TARVO_REQ_SET_SOUND_DEVICE_CONFIG, render1, 16,
         TARVO_STATUS_INVALID_PARAMETER},
        {"11001 for an unknown device", nullptr, TARVO_REQ_SET_SOUND_DEVICE_CONFIG, unknownKey, 16,
         TARVO_STATUS_OBJECT_NOT_FOUND},
        {"11002 for an unknown device", nullptr, TARVO_REQ_GET_SOUND_DEVICE_CONFIG, unknownKey, 16,
         TARVO_STATUS_OBJECT_NOT_FOUND},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.what);
        SetUsersAndSettle(0);
        if (c.before)
            c.before();
        const uint32_t mark = LastLogSequence(sim);
        (void)client.TakeCodes();
        EXPECT_EQ(c.expected, Send(c.code, c.payload, c.size));
        EXPECT_EQ(Lines(), DescribeLogAfter(sim, mark));
        EXPECT_EQ(Codes(), ServiceCodes(client.TakeCodes()));
    }
    EXPECT_EQ(1u, State().devices[0].wdmPinsCount);  // the table was sent once, at open
}

TEST_F(ServerLoopTest, PayloadsOfTheWrongSizeAreRefusedUnread)
{
    Plug();
    StartServer();
    const uint8_t bytes[20] = {0x00, 0x77, 0x01, 0x00};  // 96000 in the first word if read
    struct Case {
        uint32_t code;
        uint32_t size;
    };
    const Case cases[] = {
        {TARVO_REQ_SET_SAMPLE_RATE, 4},         {TARVO_REQ_SET_BUFFER_SIZES, 12},
        {TARVO_REQ_SELECT_STREAMING_DEVICE, 12}, {TARVO_REQ_DEVICE_BYTE, 1},
        {TARVO_REQ_SET_POLICY, 4},              {TARVO_REQ_SET_SOUND_DEVICE_CONFIG, 16},
        {TARVO_REQ_GET_SOUND_DEVICE_CONFIG, 16},
    };
    const uint32_t mark = LastLogSequence(sim);
    for (const Case& c : cases) {
        SCOPED_TRACE(c.code);
        EXPECT_EQ(TARVO_STATUS_INVALID_LENGTH, Send(c.code, bytes, c.size + 1));
        EXPECT_EQ(TARVO_STATUS_INVALID_MSG_SIZE, Send(c.code, bytes, c.size - 1));
        EXPECT_EQ(TARVO_STATUS_INVALID_MSG_SIZE, Send(c.code, bytes, 0));
    }
    EXPECT_EQ(Lines(), DescribeLogAfter(sim, mark));
    EXPECT_EQ(Codes(), ServiceCodes(client.TakeCodes()));
}

TEST_F(ServerLoopTest, BufferSizesAndStreamingDeviceAreChangedWithTheStreamDown)
{
    Plug();
    SetUsers(1);
    StartServer();
    uint32_t mark = LastLogSequence(sim);
    const TarvoBufferSizeSettings buffers = {4, 2, 1};
    EXPECT_EQ(TARVO_STATUS_SUCCESS, client.RequestBufferSizes(buffers));
    EXPECT_EQ(Lines({"C22 0 0", "C22 2 0", "HALT", "POWER_DOWN 0", "SET_BUFFER_SIZES 4 2 1", "POWER_UP 0", "PREPARE",
                     "C22 0 1", "C22 2 1", "RUN"}),
              DescribeLogAfter(sim, mark));
    EXPECT_EQ(Codes({TARVO_NOTIFY_STREAM_RECONFIGURED}), ServiceCodes(client.TakeCodes()));

    mark = LastLogSequence(sim);
    EXPECT_EQ(TARVO_STATUS_SUCCESS, client.RequestStreamingDevice(deviceKey.key0, deviceKey.key1, false));
    const Lines lines = DescribeLogAfter(sim, mark);
    ASSERT_EQ(10u, lines.size());
    EXPECT_EQ("POWER_DOWN 1", lines[3]);
    EXPECT_EQ("SET_STREAMING_DEVICE 0 " + std::to_string(deviceKey.key0) + " " + std::to_string(deviceKey.key1),
              lines[4]);
    EXPECT_EQ("POWER_UP 1", lines[5]);
    EXPECT_EQ(TARVO_STREAM_RUNNING, State().status.state);
    // The new selection makes the driver post 3005; the server answers it after the reply.
    ASSERT_TRUE(client.WaitFor(TARVO_NOTIFY_DEVICE_LIST_CHANGED));

    // A refused change is the result; the stream is brought back up all the same.
    ASSERT_EQ(TARVO_STATUS_SUCCESS,
              sim.SetFault(TARVO_IOCTL_SET_BUFFER_SIZES, TARVO_STATUS_INVALID_BUFFER_SIZE, SIM_FAULT_ONCE));
    (void)client.TakeCodes();
    EXPECT_EQ(TARVO_STATUS_INVALID_BUFFER_SIZE, client.RequestBufferSizes(buffers));
    EXPECT_EQ(TARVO_STREAM_RUNNING, State().status.state);
    EXPECT_EQ(Codes({TARVO_NOTIFY_STREAM_RECONFIGURED}), ServiceCodes(client.TakeCodes()));

    // A stream that cannot be brought down: 3010 alone, and the change is not made.
    ASSERT_EQ(TARVO_STATUS_SUCCESS, sim.SetFault(TARVO_IOCTL_STREAMING_COMMAND, TARVO_STATUS_FAILED, SIM_FAULT_ONCE));
    mark = LastLogSequence(sim);
    EXPECT_EQ(TARVO_STATUS_FAILED, client.RequestSampleRate(44100));
    EXPECT_EQ(Codes({TARVO_NOTIFY_STREAM_RECONFIGURED}), ServiceCodes(client.TakeCodes()));
    EXPECT_EQ(48000u, State().status.sampleRate);
}

TEST_F(ServerLoopTest, PolicyRefusedByTheDriverIsReportedToTheClient)
{
    Plug();
    StartServer();
    ASSERT_EQ(TARVO_STATUS_SUCCESS, sim.SetFault(TARVO_IOCTL_SET_POLICY, TARVO_STATUS_NOT_ALLOWED, SIM_FAULT_ONCE));
    const TarvoPolicy forbid = {1};
    EXPECT_EQ(TARVO_STATUS_NOT_ALLOWED, client.RequestPolicy(forbid));
    EXPECT_EQ(0u, State().policy);
    EXPECT_EQ(TARVO_STATUS_SUCCESS, client.RequestPolicy(forbid));
    EXPECT_EQ(1u, State().policy);
    // With rate changes forbidden by the policy the stream is powered for all devices.
    const uint32_t mark = LastLogSequence(sim);
    EXPECT_EQ(TARVO_STATUS_SUCCESS, client.RequestSampleRate(44100));
    const Lines lines = DescribeLogAfter(sim, mark);
    EXPECT_NE(lines.end(), std::find(lines.begin(), lines.end(), "POWER_DOWN 1"));
    EXPECT_NE(lines.end(), std::find(lines.begin(), lines.end(), "POWER_UP 1"));
    SetUsersAndSettle(0, 1);
    EXPECT_EQ(TARVO_STATUS_SOUND_DEVICE_IN_USE, client.RequestPolicy(TarvoPolicy{0}));
}

TEST_F(ServerLoopTest, SoundDeviceConfigurationRequests)
{
    const uint32_t one = 1;
    WriteDeviceValue(kSerial, VKN_CAPTURE_CONFIGURATION_VALUE, REG_DWORD, &one, 4);
    Plug();
    SetUsers(1);
    StartServer();
    uint32_t render = 9;
    uint32_t capture = 9;
    EXPECT_EQ(TARVO_STATUS_SUCCESS, client.GetSoundDeviceConfiguration(deviceKey.key0, deviceKey.key1, render, capture));
    EXPECT_EQ(0u, render);
    EXPECT_EQ(1u, capture);

    uint32_t mark = LastLogSequence(sim);
    EXPECT_EQ(TARVO_STATUS_SUCCESS, client.SetSoundDeviceConfiguration(deviceKey.key0, deviceKey.key1, 0, 0));
    EXPECT_EQ(Lines({"C22 0 0", "C22 2 0", "HALT", "POWER_DOWN 0", "SET_WDM_PINS", "POWER_UP 0", "PREPARE", "C22 0 1",
                     "C22 2 1", "RUN"}),
              DescribeLogAfter(sim, mark));
    ASSERT_TRUE(ReadDeviceDword(kSerial, VKN_CAPTURE_CONFIGURATION_VALUE, capture));
    EXPECT_EQ(0u, capture);
    EXPECT_EQ(TARVO_STATUS_SUCCESS, client.GetSoundDeviceConfiguration(deviceKey.key0, deviceKey.key1, render, capture));
    EXPECT_EQ(0u, capture);

    // A sound device table the driver refuses is the client's answer; the stream runs again.
    ASSERT_EQ(TARVO_STATUS_SUCCESS, sim.SetFault(TARVO_IOCTL_SET_WDM_PINS, TARVO_STATUS_NO_RESOURCES, SIM_FAULT_ONCE));
    EXPECT_EQ(TARVO_STATUS_NO_RESOURCES,
              client.SetSoundDeviceConfiguration(deviceKey.key0, deviceKey.key1, 0, 0));
    EXPECT_EQ(TARVO_STREAM_RUNNING, State().status.state);

    SetUsersAndSettle(1, 1);
    mark = LastLogSequence(sim);
    EXPECT_EQ(TARVO_STATUS_SOUND_DEVICE_IN_USE,
              client.SetSoundDeviceConfiguration(deviceKey.key0, deviceKey.key1, 0, 0));
    EXPECT_EQ(Lines(), DescribeLogAfter(sim, mark));
}

TEST_F(ServerLoopTest, StreamUsersComingAndGoingStepTheStream)
{
    Plug();
    StartServer();
    ASSERT_EQ(TARVO_STREAM_READY, State().status.state);
    SetUsers(1);  // the driver posts 3003
    EXPECT_TRUE(Eventually([&] { return State().status.state == TARVO_STREAM_RUNNING; }));
    SetUsers(0);  // 3004
    EXPECT_TRUE(Eventually([&] { return State().status.state == TARVO_STREAM_READY; }));
    // A device's own users (3015, 3016) step the stream the same way.
    const uint32_t mark = LastLogSequence(sim);
    ASSERT_EQ(TARVO_STATUS_SUCCESS, sim.SetDeviceUsers(kSerial, 1));
    ASSERT_EQ(TARVO_STATUS_SUCCESS, sim.SetDeviceUsers(kSerial, 0));
    // Neither has stream users, so nothing is sent; a round trip shows both were handled.
    EXPECT_EQ(TARVO_STATUS_SUCCESS, client.RequestSampleRate(48000));
    EXPECT_EQ(Lines(), DescribeLogAfter(sim, mark));
}

TEST_F(ServerLoopTest, ListRequestOfAnArrivingClientIsAnswered)
{
    Plug();
    StartServer();
    ListeningClient arriving;
    ASSERT_EQ(TARVO_STATUS_SUCCESS, arriving.OpenAsClient(kName));  // the driver posts 3020 to the server
    EXPECT_TRUE(arriving.WaitFor(TARVO_NOTIFY_DEVICE_LIST_CHANGED));
    arriving.Detach();
}

TEST_F(ServerLoopTest, VolumesFollowTheMixerAndTheSoundDevices)
{
    Plug();
    StartServer();
    TarvoDevice device;  // the control panel's view of the device
    TarvoDeviceEntry entry = State().devices[0].entry;
    ASSERT_EQ(TARVO_STATUS_SUCCESS, device.Open(kName, entry));

    // Mixer → stored volumes: setting a volume posts 3051.
    TarvoVolumeEntry volume = {};
    volume.pin = {TARVO_PIN_ANALOG, 4, {0, 0}};
    volume.volume = -6000;
    ASSERT_EQ(TARVO_STATUS_SUCCESS, device.SetVolumes(&volume, 1));
    static SimDeviceSentRecord sent;
    EXPECT_TRUE(Eventually([&] { return sim.GetDeviceSent(0, sent) == TARVO_STATUS_SUCCESS && sent.storedCount == 8; }));
    EXPECT_EQ(ToFixedPoint(-6000), sent.stored[2].volumes[0]);

    // Stored volumes → mixer: the system opening render device 5 posts 3060.
    TarvoStoredVolumes stored = {};
    stored.table = TARVO_STORED_VOLUMES_RENDER_TABLE;
    stored.index = 5;
    stored.volumes[0] = VKN_FIXED_MINUS_INFINITY;
    stored.volumes[1] = 100 * 65536;
    ASSERT_EQ(TARVO_STATUS_SUCCESS, device.SetStoredVolumes(stored));
    ASSERT_EQ(TARVO_STATUS_SUCCESS, sim.SoundDeviceEvent(kSerial, SIM_SOUND_TABLE_RENDER, 5));
    TarvoVolumeEntry pins[2] = {};
    pins[0].pin = {TARVO_PIN_ANALOG, 10, {0, 0}};
    pins[1].pin = {TARVO_PIN_ANALOG, 11, {0, 0}};
    EXPECT_TRUE(Eventually([&] {
        return device.GetVolumes(pins, 2) == TARVO_STATUS_SUCCESS && pins[0].volume == -9000 && pins[1].volume == 9000;
    }));
}

TEST_F(ServerLoopTest, NotificationsWhosePayloadCannotBeReadAreDropped)
{
    Plug();
    StartServer();
    uint32_t serverId = 0;
    ASSERT_EQ(TARVO_STATUS_SUCCESS, SimControl::WhoAmI(server, serverId));
    const uint32_t key[4] = {deviceKey.key0, deviceKey.key1, SIM_SOUND_TABLE_RENDER, 0};
    struct Case {
        uint32_t code;
        uint32_t size;
    };
    // Each would save or set volumes if it were read.
    const Case cases[] = {
        {TARVO_NOTIFY_VOLUMES_CHANGED, 4},  {TARVO_NOTIFY_VOLUMES_CHANGED, 12},
        {TARVO_NOTIFY_SOUND_DEVICE_EVENT, 8}, {TARVO_NOTIFY_SOUND_DEVICE_EVENT, 20},
        {TARVO_NOTIFY_DEVICE_STREAM_WANTED, 0}, {TARVO_NOTIFY_DEVICE_STREAM_RELEASED, 16},
    };
    const uint32_t mark = LastLogSequence(sim);
    for (const Case& c : cases) {
        TarvoMessage record;
        record.Init(TARVO_MSG_NOTIFICATION, c.code);
        memcpy(record.payload, key, sizeof key);
        record.payloadSize = c.size;
        ASSERT_EQ(TARVO_STATUS_SUCCESS, sim.InjectRecord(serverId, SIM_QUEUE_NOTIFICATION, record));
    }
    // Unknown codes and a payload size beyond the record are dropped too.
    TarvoMessage odd;
    odd.Init(TARVO_MSG_NOTIFICATION, 3999);
    ASSERT_EQ(TARVO_STATUS_SUCCESS, sim.InjectRecord(serverId, SIM_QUEUE_NOTIFICATION, odd));
    odd.code = TARVO_NOTIFY_VOLUMES_CHANGED;
    odd.payloadSize = 0xFFFFFFF0;
    ASSERT_EQ(TARVO_STATUS_SUCCESS, sim.InjectRecord(serverId, SIM_QUEUE_NOTIFICATION, odd, 40));
    // Then one that is read: it saves the volumes, so the ones before were handled.
    TarvoMessage good;
    good.Init(TARVO_MSG_NOTIFICATION, TARVO_NOTIFY_VOLUMES_CHANGED);
    ASSERT_EQ(TARVO_STATUS_SUCCESS, good.SetPayload(key, 8));
    ASSERT_EQ(TARVO_STATUS_SUCCESS, sim.InjectRecord(serverId, SIM_QUEUE_NOTIFICATION, good));
    EXPECT_TRUE(Eventually([&] { return LogAfter(sim, mark).size() == 8; }));
    const Lines lines = DescribeLogAfter(sim, mark);
    EXPECT_EQ(Lines(8, "SET_STORED_VOLUMES 2 " + std::string("0")).size(), lines.size());
    for (size_t i = 0; i < lines.size(); ++i)
        EXPECT_EQ("SET_STORED_VOLUMES 2 " + std::to_string(i), lines[i]);
    EXPECT_EQ(TARVO_STATUS_SUCCESS, client.RequestSampleRate(48000));  // and it still answers
}

TEST_F(ServerLoopTest, LastDeviceGoneClosesTheConnectionAndAnArrivalOpensItAgain)
{
    Plug();
    StartServer();
    ASSERT_TRUE(ServerRoleHeld());
    ASSERT_EQ(TARVO_STATUS_SUCCESS, sim.Unplug(kSerial));
    ASSERT_TRUE(client.WaitFor(TARVO_NOTIFY_DEVICE_LIST_CHANGED));
    EXPECT_EQ(Codes({TARVO_NOTIFY_STREAM_RECONFIGURED, TARVO_NOTIFY_DEVICE_LIST_CHANGED}),
              ServiceCodes(client.TakeCodes()));
    EXPECT_TRUE(Eventually([&] { return !ServerRoleHeld(); }));
    EXPECT_EQ(TARVO_STATUS_NO_SERVER, client.RequestSampleRate(44100));

    // Without a connection the server hears of a new device only through an arrival.
    Plug();
    thread.Arrive();
    ASSERT_TRUE(client.WaitFor(TARVO_NOTIFY_DEVICE_LIST_CHANGED));
    EXPECT_TRUE(ServerRoleHeld());
    EXPECT_EQ(TARVO_STREAM_READY, State().status.state);
    EXPECT_EQ(TARVO_STATUS_SUCCESS, client.RequestSampleRate(44100));
    EXPECT_EQ(44100u, State().status.sampleRate);
}

TEST_F(ServerLoopTest, DevicePluggedBeforeAnEmptyListClosesTheConnectionKeepsItOpen)
{
    // The server's first list comes late and empty; the device plugged meanwhile is
    // announced by a 3005 the server handles in the same wake-up that would close it.
    ASSERT_EQ(TARVO_STATUS_SUCCESS, sim.SetDelay(TARVO_IOCTL_GET_DEVICE_LIST, 500));
    ASSERT_EQ(TARVO_STATUS_SUCCESS, client.OpenAsClient(kName));
    ASSERT_EQ(0u, thread.Start());
    ASSERT_TRUE(Eventually([&] { return ServerRoleHeld(); }));
    Plug();
    ASSERT_TRUE(client.WaitFor(TARVO_NOTIFY_DEVICE_LIST_CHANGED));  // the empty list
    ASSERT_EQ(TARVO_STATUS_SUCCESS, sim.SetDelay(TARVO_IOCTL_GET_DEVICE_LIST, 0));
    ASSERT_TRUE(client.WaitFor(TARVO_NOTIFY_DEVICE_LIST_CHANGED));  // the list with the device
    Sleep(300);
    EXPECT_TRUE(ServerRoleHeld());
    EXPECT_EQ(TARVO_STATUS_SUCCESS, client.RequestSampleRate(44100));
}

TEST_F(ServerLoopTest, SecondServerReturnsAtOnce)
{
    Plug();
    StartServer();
    CustomServer second;
    ServerThread secondThread(second);
    ASSERT_EQ(0u, secondThread.Start());
    ASSERT_TRUE(secondThread.Ended(5000));
    EXPECT_EQ(TARVO_STATUS_ALREADY_DONE, secondThread.Result());
    EXPECT_FALSE(second.IsOpen());
    EXPECT_EQ(TARVO_STATUS_SUCCESS, client.RequestSampleRate(48000));  // the first still serves
}

}  // namespace
