// The notifications the driver posts itself: each one is caused by the change it names,
// reaches every connection with a notification event (and no other) with its code and
// payload, and an action that changes nothing posts nothing. Checked through the control
// panel's client class against the simulated driver.
#include <windows.h>

#include <gtest/gtest.h>

#include <functional>
#include <vector>

#include "SimControl.h"
#include "TarvoClient.h"
#include "TarvoDevice.h"
#include "TarvoDriver.h"

namespace {

const wchar_t* const kName = TARVO_DEVICE_OBJECT_NAME;
const wchar_t* const kSerial = L"N1";

struct Expected {
    uint32_t code;
    std::vector<uint32_t> payload;  // little-endian words
};

// Public: the case table's actions reach the fixture through a reference.
class DriverNotificationTest : public testing::Test {
public:
    void SetUp() override { ASSERT_EQ(0u, sim.Open()); }
    void TearDown() override
    {
        CloseAll();
        (void)sim.Reset();
    }

    // A fresh simulation: one device N1 plugged and bound, two listening clients and a
    // viewer opened after the plug, so no queue holds anything yet.
    void Prepare()
    {
        CloseAll();
        ASSERT_EQ(TARVO_STATUS_SUCCESS, sim.Reset());
        ASSERT_EQ(TARVO_STATUS_SUCCESS, sim.Plug(SimControl::PlugRecord(kSerial), &key));
        TarvoDeviceEntry entry = {};
        entry.key0 = key.key0;
        entry.key1 = key.key1;
        ASSERT_EQ(TARVO_STATUS_SUCCESS, device.Open(kName, entry));
        for (TarvoClient* listener : {&first, &second})
            ASSERT_EQ(TARVO_STATUS_SUCCESS, listener->OpenAsClient(kName));
        ASSERT_EQ(TARVO_STATUS_SUCCESS, viewer.OpenAsViewer(kName));
    }

    void CloseAll()
    {
        first.Detach();
        second.Detach();
        viewer.Detach();
        server.Detach();
        arriving.Detach();
        device.Close();
    }

    // Fetches everything waiting and consumes a pending signal of the auto-reset event.
    static std::vector<TarvoMessage> Drain(TarvoClient& listener)
    {
        (void)WaitForSingleObject(listener.GetNotificationEvent(), 0);
        std::vector<TarvoMessage> records;
        TarvoMessage m;
        m.Init(TARVO_MSG_NONE, 0);
        TarvoStatus status;
        while ((status = listener.GetNotification(m)) == TARVO_STATUS_SUCCESS)
            records.push_back(m);
        EXPECT_EQ(TARVO_STATUS_NO_MORE_ITEMS, status);
        return records;
    }

    void DrainAll()
    {
        for (TarvoClient* listener : {&first, &second, &server, &arriving})
            if (listener->IsOpen())
                (void)Drain(*listener);
    }

    static void ExpectRecords(TarvoClient& listener, const std::vector<Expected>& expected)
    {
        if (!expected.empty())
            EXPECT_EQ(static_cast<DWORD>(WAIT_OBJECT_0), WaitForSingleObject(listener.GetNotificationEvent(), 2000))
                << "notification event not signalled";
        else
            EXPECT_EQ(static_cast<DWORD>(WAIT_TIMEOUT), WaitForSingleObject(listener.GetNotificationEvent(), 50))
                << "signalled although nothing was posted";
        // Non-fatal throughout, so one wrong case does not hide the cases after it.
        const std::vector<TarvoMessage> got = Drain(listener);
        EXPECT_EQ(expected.size(), got.size());
        for (size_t i = 0; i < got.size() && i < expected.size(); ++i) {
            SCOPED_TRACE(testing::Message() << "record " << i);
            EXPECT_EQ(TARVO_MSG_HEADER_SIZE, got[i].headerSize);
            EXPECT_EQ(TARVO_MSG_NOTIFICATION, got[i].type);
            EXPECT_EQ(expected[i].code, got[i].code);
            EXPECT_EQ(0u, got[i].sequence);
            EXPECT_EQ(0u, got[i].status);
            const std::vector<uint32_t>& words = expected[i].payload;
            uint32_t read[4] = {};
            uint32_t size = sizeof(read);
            if (words.size() * 4 != got[i].payloadSize || got[i].GetPayload(read, size) != TARVO_STATUS_SUCCESS) {
                ADD_FAILURE() << "payload of " << got[i].payloadSize << " bytes, expected " << words.size() * 4;
                continue;
            }
            for (size_t w = 0; w < words.size(); ++w)
                EXPECT_EQ(words[w], read[w]) << "payload word " << w;
        }
    }

    TarvoStatus SetUsers(uint32_t users)
    {
        const SimUsersRecord record = {{users, 0, 0, 0, 0}};
        return sim.SetUsers(record);
    }

    SimControl sim;
    TarvoDeviceKey key = {};
    TarvoDevice device;           // bound to N1
    TarvoClient first, second;    // listeners: role 2 with a notification event
    TarvoClient viewer;           // role 3, no events: never queued anything
    TarvoClient server, arriving; // opened by single cases
};

struct Case {
    const char* name;
    std::function<void(DriverNotificationTest&)> setup;  // its notifications are drained
    std::function<TarvoStatus()> action;
    TarvoStatus status;
    std::function<std::vector<Expected>()> expected;
    bool repeatPostsNothing;  // the same action again changes nothing
};

TEST_F(DriverNotificationTest, EachChangeReachesEveryListenerWithItsCodeAndPayload)
{
    DriverNotificationTest& t = *this;
    const auto none = [](DriverNotificationTest&) {};
    const auto keyed = [&t](uint32_t code) { return std::vector<Expected>{{code, {t.key.key0, t.key.key1}}}; };
    const auto bare = [](std::vector<uint32_t> codes) {
        std::vector<Expected> e;
        for (uint32_t c : codes)
            e.push_back({c, {}});
        return e;
    };
    const auto powerUp = [](DriverNotificationTest& f) {
        ASSERT_EQ(TARVO_STATUS_SUCCESS, f.viewer.StreamingCommand(TARVO_STREAM_CMD_POWER_UP, 0));
    };
    const auto wdmPins = [](DriverNotificationTest& f) {
        TarvoWdmPins pins = {};
        pins.captureCount = 2;
        pins.renderCount = 3;
        ASSERT_EQ(TARVO_STATUS_SUCCESS, f.device.SetWdmPins(pins));
    };

    const Case cases[] = {
        {"rate change 3001", none, [&t] { return t.viewer.SetSampleRate(96000); }, TARVO_STATUS_SUCCESS,
         [&] { return bare({TARVO_NOTIFY_STREAM_SETTINGS_CHANGED}); }, true},
        {"buffer change 3001", none,
         [&t] { return t.viewer.SetBufferSizes(TarvoBufferSizeSettings{3, 2, 1}); }, TARVO_STATUS_SUCCESS,
         [&] { return bare({TARVO_NOTIFY_STREAM_SETTINGS_CHANGED}); }, false},
        {"first stream user 3003", none, [&t] { return t.SetUsers(1); }, TARVO_STATUS_SUCCESS,
         [&] { return bare({TARVO_NOTIFY_STREAM_WANTED}); }, true},
        {"last stream user gone 3004", [](DriverNotificationTest& f) { ASSERT_EQ(TARVO_STATUS_SUCCESS, f.SetUsers(2)); },
         [&t] { return t.SetUsers(0); }, TARVO_STATUS_SUCCESS, [&] { return bare({TARVO_NOTIFY_STREAM_RELEASED}); },
         true},
        {"plug 3005", none, [&t] { return t.sim.Plug(SimControl::PlugRecord(L"N2")); }, TARVO_STATUS_SUCCESS,
         [&] { return bare({TARVO_NOTIFY_DEVICES_CHANGED}); }, false},
        {"rekey of the streaming device while Ready 3005 3006", powerUp,
         [&t] { return t.sim.Rekey(kSerial, TARVO_DEVICE_FLAG_HIGH_SPEED); }, TARVO_STATUS_SUCCESS,
         [&] { return bare({TARVO_NOTIFY_DEVICES_CHANGED, TARVO_NOTIFY_STREAM_RESTART}); }, false},
        {"streaming device loses high speed while Running 3005 3006",
         [](DriverNotificationTest& f) {
             ASSERT_EQ(TARVO_STATUS_SUCCESS, f.SetUsers(1));
             for (uint32_t command : {TARVO_STREAM_CMD_POWER_UP, TARVO_STREAM_CMD_PREPARE, TARVO_STREAM_CMD_RUN})
                 ASSERT_EQ(TARVO_STATUS_SUCCESS, f.viewer.StreamingCommand(command, 0));
         },
         [&t] { return t.sim.Rekey(kSerial, 0); }, TARVO_STATUS_SUCCESS,
         [&] { return bare({TARVO_NOTIFY_DEVICES_CHANGED, TARVO_NOTIFY_STREAM_RESTART}); }, false},
        {"rekey while Down: no restart", none, [&t] { return t.sim.Rekey(kSerial, TARVO_DEVICE_FLAG_HIGH_SPEED); },
         TARVO_STATUS_SUCCESS, [&] { return bare({TARVO_NOTIFY_DEVICES_CHANGED}); }, false},
        {"rekey of a device that does not stream while Ready: no restart",
         [](DriverNotificationTest& f) {
             ASSERT_EQ(TARVO_STATUS_SUCCESS, f.sim.Plug(SimControl::PlugRecord(L"N2")));
             ASSERT_EQ(TARVO_STATUS_SUCCESS,
                       f.viewer.SetStreamingDevice(TarvoStreamingDeviceRecord{0, f.key.key0, f.key.key1}));
             ASSERT_EQ(TARVO_STATUS_SUCCESS, f.viewer.StreamingCommand(TARVO_STREAM_CMD_POWER_UP, 0));
         },
         [&t] { return t.sim.Rekey(L"N2", TARVO_DEVICE_FLAG_HIGH_SPEED); }, TARVO_STATUS_SUCCESS,
         [&] { return bare({TARVO_NOTIFY_DEVICES_CHANGED}); }, false},
        {"first device user 3015", none, [&t] { return t.sim.SetDeviceUsers(kSerial, 2); }, TARVO_STATUS_SUCCESS,
         [&] { return keyed(TARVO_NOTIFY_DEVICE_STREAM_WANTED); }, true},
        {"last device user gone 3016",
         [](DriverNotificationTest& f) { ASSERT_EQ(TARVO_STATUS_SUCCESS, f.sim.SetDeviceUsers(kSerial, 1)); },
         [&t] { return t.sim.SetDeviceUsers(kSerial, 0); }, TARVO_STATUS_SUCCESS,
         [&] { return keyed(TARVO_NOTIFY_DEVICE_STREAM_RELEASED); }, true},
        {"users of an unknown device", none, [&t] { return t.sim.SetDeviceUsers(L"NONE", 1); },
         TARVO_STATUS_OBJECT_NOT_FOUND, [] { return std::vector<Expected>{}; }, false},
        {"client arrives while a server is registered 3020",
         [](DriverNotificationTest& f) { ASSERT_EQ(TARVO_STATUS_SUCCESS, f.server.OpenAsServer(kName)); },
         [&t] { return t.arriving.OpenAsClient(kName); }, TARVO_STATUS_SUCCESS,
         [&] { return bare({TARVO_NOTIFY_LIST_REQUEST}); }, false},
        {"pass-through 3040", none, [&t] { return t.device.SetSpdifPassThrough(0, 0, true); }, TARVO_STATUS_SUCCESS,
         [&] { return keyed(TARVO_NOTIFY_DEVICE_SETTINGS_CHANGED); }, false},
        {"mixer pin list length 3050", none, [&t] { return t.sim.SetPins(kSerial, 1, 4); }, TARVO_STATUS_SUCCESS,
         [&] { return keyed(TARVO_NOTIFY_MIXER_CHANGED); }, true},
        {"pin list too long", none, [&t] { return t.sim.SetPins(kSerial, 1, SIM_MAX_PINS + 1); },
         TARVO_STATUS_INVALID_PARAMETER, [] { return std::vector<Expected>{}; }, false},
        {"volumes 3051", none,
         [&t] {
             TarvoVolumeEntry entry = {{TARVO_PIN_ANALOG, 1, {0, 0}}, 0, 0, -1200};
             return t.device.SetVolumes(&entry, 1);
         },
         TARVO_STATUS_SUCCESS, [&] { return keyed(TARVO_NOTIFY_VOLUMES_CHANGED); }, false},
        {"weights 3052", none,
         [&t] {
             TarvoWeightEntry entry = {{TARVO_PIN_ANALOG, 0, {0, 0}}, {TARVO_PIN_ANALOG, 1, {1, 0}}, -600,
                                       TARVO_WEIGHT_FLAG_ON};
             return t.device.SetWeights(&entry, 1);
         },
         TARVO_STATUS_SUCCESS, [&] { return keyed(TARVO_NOTIFY_WEIGHTS_CHANGED); }, false},
        {"render sound device opened 3060", wdmPins,
         [&t] { return t.sim.SoundDeviceEvent(kSerial, SIM_SOUND_TABLE_RENDER, 2); }, TARVO_STATUS_SUCCESS,
         [&] {
             return std::vector<Expected>{{TARVO_NOTIFY_SOUND_DEVICE_EVENT, {t.key.key0, t.key.key1, 2, 2}}};
         },
         false},
        {"capture sound device opened 3060", wdmPins,
         [&t] { return t.sim.SoundDeviceEvent(kSerial, SIM_SOUND_TABLE_CAPTURE, 1); }, TARVO_STATUS_SUCCESS,
         [&] {
             return std::vector<Expected>{{TARVO_NOTIFY_SOUND_DEVICE_EVENT, {t.key.key0, t.key.key1, 1, 1}}};
         },
         false},
        {"capture entry beyond the table sent", wdmPins,
         [&t] { return t.sim.SoundDeviceEvent(kSerial, SIM_SOUND_TABLE_CAPTURE, 2); },
         TARVO_STATUS_OBJECT_NOT_FOUND, [] { return std::vector<Expected>{}; }, false},
        {"sound device before any table was sent", none,
         [&t] { return t.sim.SoundDeviceEvent(kSerial, SIM_SOUND_TABLE_RENDER, 0); }, TARVO_STATUS_OBJECT_NOT_FOUND,
         [] { return std::vector<Expected>{}; }, false},
        {"unknown sound device table", wdmPins, [&t] { return t.sim.SoundDeviceEvent(kSerial, 3, 0); },
         TARVO_STATUS_INVALID_PARAMETER, [] { return std::vector<Expected>{}; }, false},
    };

    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        Prepare();
        if (HasFatalFailure())
            return;
        c.setup(*this);
        if (HasFatalFailure())
            return;
        DrainAll();
        EXPECT_EQ(c.status, c.action());
        const std::vector<Expected> expected = c.expected();
        for (TarvoClient* listener : {&first, &second}) {
            SCOPED_TRACE(listener == &first ? "first listener" : "second listener");
            ExpectRecords(*listener, expected);
        }
        if (server.IsOpen()) {
            SCOPED_TRACE("server");
            ExpectRecords(server, expected);
        }
        TarvoMessage m;
        m.Init(TARVO_MSG_NONE, 0);
        EXPECT_EQ(TARVO_STATUS_NO_MORE_ITEMS, viewer.GetNotification(m)) << "the viewer has no event";
        if (c.repeatPostsNothing) {
            SCOPED_TRACE("repeated");
            DrainAll();
            EXPECT_EQ(c.status, c.action());
            ExpectRecords(first, {});
        }
    }
}

// The arriving client takes role 2 with both events registered, so it is asked along;
// taking the role again, or arriving with no device plugged or no server, asks nothing.
TEST_F(DriverNotificationTest, ListRequestOnlyWhenAClientArrivesWithServerAndDevices)
{
    Prepare();
    ASSERT_EQ(TARVO_STATUS_SUCCESS, server.OpenAsServer(kName));
    ASSERT_EQ(TARVO_STATUS_SUCCESS, arriving.OpenAsClient(kName));
    ExpectRecords(arriving, {{TARVO_NOTIFY_LIST_REQUEST, {}}});
    DrainAll();
    ASSERT_EQ(TARVO_STATUS_SUCCESS, arriving.SetRole(TARVO_ROLE_CLIENT));
    ExpectRecords(server, {});

    // A viewer connection has no role 2.
    TarvoClient other;
    ASSERT_EQ(TARVO_STATUS_SUCCESS, other.OpenAsViewer(kName));
    ExpectRecords(server, {});
    other.Detach();

    arriving.Detach();
    ASSERT_EQ(TARVO_STATUS_SUCCESS, sim.UnplugAll());
    DrainAll();
    ASSERT_EQ(TARVO_STATUS_SUCCESS, arriving.OpenAsClient(kName));
    ExpectRecords(server, {});
    ExpectRecords(first, {});

    server.Detach();
    arriving.Detach();
    ASSERT_EQ(TARVO_STATUS_SUCCESS, sim.Plug(SimControl::PlugRecord(L"N3")));
    DrainAll();
    ASSERT_EQ(TARVO_STATUS_SUCCESS, arriving.OpenAsClient(kName));
    ExpectRecords(first, {});
}

// Streaming-device users are counted per device: another device gaining its first user
// is its own 3015, and unplugging a device with users takes them without a 3016.
TEST_F(DriverNotificationTest, DeviceUsersAreKeptPerDevice)
{
    Prepare();
    TarvoDeviceKey other = {};
    ASSERT_EQ(TARVO_STATUS_SUCCESS, sim.Plug(SimControl::PlugRecord(L"N2"), &other));
    ASSERT_EQ(TARVO_STATUS_SUCCESS, sim.SetDeviceUsers(kSerial, 1));
    DrainAll();
    ASSERT_EQ(TARVO_STATUS_SUCCESS, sim.SetDeviceUsers(L"N2", 1));
    ExpectRecords(first, {{TARVO_NOTIFY_DEVICE_STREAM_WANTED, {other.key0, other.key1}}});
    ASSERT_EQ(TARVO_STATUS_SUCCESS, sim.Unplug(L"N2"));
    ExpectRecords(first, {{TARVO_NOTIFY_DEVICES_CHANGED, {}}});
    ASSERT_EQ(TARVO_STATUS_SUCCESS, sim.SetDeviceUsers(kSerial, 0));
    ExpectRecords(first, {{TARVO_NOTIFY_DEVICE_STREAM_RELEASED, {key.key0, key.key1}}});
}

// A changed pin list is what GET_MIXER_PINS delivers afterwards.
TEST_F(DriverNotificationTest, ChangedPinListIsWhatTheDeviceReports)
{
    Prepare();
    TarvoPin pins[SIM_MAX_PINS] = {};
    uint32_t count = 0;
    ASSERT_EQ(TARVO_STATUS_SUCCESS, device.GetMixerPins(0, pins, SIM_MAX_PINS, count));
    EXPECT_EQ(12u, count);
    ASSERT_EQ(TARVO_STATUS_SUCCESS, sim.SetPins(kSerial, 0, 3));
    ASSERT_EQ(TARVO_STATUS_SUCCESS, device.GetMixerPins(0, pins, SIM_MAX_PINS, count));
    ASSERT_EQ(3u, count);
    for (uint32_t i = 0; i < count; ++i) {
        EXPECT_EQ(TARVO_PIN_ANALOG, pins[i].kind) << i;  // fewer than four: no SPDIF pair
        EXPECT_EQ(i, pins[i].channel);
    }
    ASSERT_EQ(TARVO_STATUS_SUCCESS, sim.SetPins(kSerial, 0, 0));
    ASSERT_EQ(TARVO_STATUS_SUCCESS, device.GetMixerPins(0, pins, SIM_MAX_PINS, count));
    EXPECT_EQ(0u, count);
    ExpectRecords(first, {{TARVO_NOTIFY_MIXER_CHANGED, {key.key0, key.key1}},
                          {TARVO_NOTIFY_MIXER_CHANGED, {key.key0, key.key1}}});
}

}  // namespace
