// The service's device object against the simulated driver and the prefix's registry:
// what it sends a device when it opens (loopback, channel and sound device tables,
// device settings), where the open stops, its registry key and configuration values,
// its streaming hooks and the volume synchronisation in both directions.
#include <gtest/gtest.h>

#include <windows.h>

#include <cstring>
#include <string>
#include <vector>

#include "CustomDevice.h"
#include "CustomServer.h"
#include "ServiceTestSupport.h"
#include "SoundDeviceTables.h"
#include "VolumeConversion.h"
#include "WnRegistryKey.h"
#include "WnText.h"

namespace {

const wchar_t* const kName = TARVO_DEVICE_OBJECT_NAME;
const wchar_t* const kRoot = L"Software\\DRAVLIN\\velkano";
const wchar_t* const kSerial = L"CD1";

std::wstring Name(const wchar_t* text, size_t capacity)
{
    return std::wstring(text, wcsnlen(text, capacity));
}

class CustomDeviceTest : public testing::Test {
protected:
    void SetUp() override
    {
        ASSERT_EQ(0u, sim.Open());
        ASSERT_EQ(TARVO_STATUS_SUCCESS, sim.Reset());
        DeleteDeviceKey(kSerial);
    }
    void TearDown() override
    {
        (void)sim.Reset();
        DeleteDeviceKey(kSerial);
    }

    // A device whose channel groups hold no type-2 item, so it gets hardware channels.
    static SimPlugRecord PlainRecord()
    {
        SimPlugRecord record = SimControl::PlugRecord(kSerial);
        record.options = SIM_PLUG_GROUPS_GIVEN;
        record.groupCount = 2;
        record.type2Array = 0;
        return record;
    }

    // Plugs the device and fills in its list entry as the driver lists it.
    void Plug(const SimPlugRecord& record)
    {
        ASSERT_EQ(TARVO_STATUS_SUCCESS, sim.Plug(record));
        SimStateRecord state = {};
        ASSERT_EQ(TARVO_STATUS_SUCCESS, sim.GetState(state));
        ASSERT_EQ(1u, state.deviceCount);
        entry = state.devices[0].entry;
    }

    TarvoStatus Open(CustomDevice& device) { return device.Open(kName, entry); }

    SimDeviceSentRecord& Sent()
    {
        static SimDeviceSentRecord sent;  // 30 KB: kept off the stack
        memset(&sent, 0, sizeof sent);
        EXPECT_EQ(TARVO_STATUS_SUCCESS, sim.GetDeviceSent(0, sent));
        return sent;
    }

    SimDeviceSummary Summary()
    {
        SimStateRecord state = {};
        EXPECT_EQ(TARVO_STATUS_SUCCESS, sim.GetState(state));
        return state.devices[0];
    }

    SimControl sim;
    TarvoDeviceEntry entry = {};
};

TEST_F(CustomDeviceTest, FreshDeviceGetsItsKeyLoopbackTablesAndSettingsInOrder)
{
    Plug(PlainRecord());
    CustomDevice device(kRoot);
    const uint32_t mark = LastLogSequence(sim);
    ASSERT_EQ(TARVO_STATUS_SUCCESS, Open(device));

    const std::vector<std::string> expected = {
        "SET_ROUTING 1 40", "SET_WEIGHTS", "SET_WDM_CHANNELS", "SET_WDM_PINS",
        "C22 0 0",          "C20 0 8",     "C22 2 0",          "C20 2 8",
    };
    EXPECT_EQ(expected, DescribeLogAfter(sim, mark));

    // The key is created with the "Devices" level and holds no values: configuration 0.
    WnRegistryKey key;
    EXPECT_EQ(0u, key.Open(HKEY_LOCAL_MACHINE, VKN_TEST_DEVICES_KEY L"\\CD1", KEY_READ));
    uint32_t value = 0;
    EXPECT_FALSE(ReadDeviceDword(kSerial, VKN_RENDER_CONFIGURATION_VALUE, value));
    EXPECT_EQ(0u, device.GetRenderConfiguration());
    EXPECT_EQ(0u, device.GetCaptureConfiguration());

    SimDeviceSentRecord& sent = Sent();
    const uint8_t* routing = reinterpret_cast<const uint8_t*>(&sent.routing);
    for (size_t i = 8; i < sizeof sent.routing; ++i)
        ASSERT_EQ(0, routing[i]) << "routing byte " << i;

    const TarvoWdmChannels& channels = sent.wdmChannels;
    ASSERT_EQ(16u, channels.outputCount);
    ASSERT_EQ(18u, channels.inputCount);
    for (uint32_t c = 0; c < 16; ++c) {
        EXPECT_EQ(L"VKN Out " + std::to_wstring(c + 1), Name(channels.outputs[c].name, TARVO_WDM_NAME_CHARS));
        EXPECT_EQ(L"VKN Analog In " + std::to_wstring(c + 1), Name(channels.inputs[c].name, TARVO_WDM_NAME_CHARS));
        EXPECT_EQ(TARVO_WDM_KIND_HARDWARE, channels.inputs[c].kind);
        EXPECT_EQ(c / 2, channels.outputs[c].pairNumber);
        EXPECT_EQ(c % 2, channels.outputs[c].side);
    }
    EXPECT_EQ(L"VKN Virtual In 1", Name(channels.inputs[16].name, TARVO_WDM_NAME_CHARS));
    EXPECT_EQ(L"VKN Virtual In 2", Name(channels.inputs[17].name, TARVO_WDM_NAME_CHARS));
    EXPECT_EQ(TARVO_WDM_KIND_VIRTUAL, channels.inputs[17].kind);
    EXPECT_EQ(1u, channels.inputs[17].side);

    const TarvoWdmPins& pins = sent.wdmPins;
    ASSERT_EQ(8u, pins.renderCount);
    ASSERT_EQ(9u, pins.captureCount);
    for (uint32_t p = 0; p < 8; ++p) {
        const std::wstring numbers = std::to_wstring(2 * p + 1) + L"/" + std::to_wstring(2 * p + 2);
        EXPECT_EQ(L"VKN Out " + numbers, Name(pins.render[p].name, TARVO_WDM_NAME_CHARS));
        EXPECT_EQ(L"VKN Analog In " + numbers, Name(pins.capture[p].name, TARVO_WDM_NAME_CHARS));
        EXPECT_EQ(p, pins.render[p].index);
        EXPECT_EQ(p, pins.render[p].pairs[0]);
        EXPECT_EQ(3u, pins.render[p].hardwareWord);
        EXPECT_EQ(0xFF800000u, pins.capture[p].levelWord);
    }
    EXPECT_EQ(L"VKN Virtual In 1/2", Name(pins.capture[8].name, TARVO_WDM_NAME_CHARS));
    EXPECT_EQ(8u, pins.capture[8].index);
    EXPECT_EQ(0u, pins.capture[8].hardwareWord);
    EXPECT_EQ(0u, pins.capture[8].levelWord);
    // The device keeps the table it sent: the volume synchronisation works on it.
    EXPECT_EQ(0, memcmp(&pins, &device.GetSoundDeviceTable(), sizeof pins));

    // The loopback: the first software output pair into the virtual input pair at 0 dB.
    TarvoWeightEntry weights[2] = {};
    for (uint8_t k = 0; k < 2; ++k) {
        weights[k].outputPin = {TARVO_PIN_VIRTUAL, k, {0, 0}};
        weights[k].inputPin = {TARVO_PIN_OUT, k, {0, 0}};
    }
    ASSERT_EQ(TARVO_STATUS_SUCCESS, device.GetWeights(weights, 2));
    for (const TarvoWeightEntry& weight : weights) {
        EXPECT_EQ(0, weight.weight);
        EXPECT_EQ(TARVO_WEIGHT_FLAG_ON, weight.flags);
    }
    const SimDeviceSummary summary = Summary();
    EXPECT_EQ(2u, summary.weightCount);
}

TEST_F(CustomDeviceTest, RegistryValuesSelectTheSoundDeviceTables)
{
    const uint32_t one = 1;
    const uint32_t seven = 7;
    const wchar_t text[] = L"1";
    struct Value {
        const wchar_t* name;
        DWORD type;
        const void* data;
        DWORD size;
    };
    struct Case {
        const char* what;
        std::vector<Value> values;
        uint32_t renderCount;
        uint32_t captureCount;
        const wchar_t* firstCapture;
    };
    const Case cases[] = {
        {"render 1", {{VKN_RENDER_CONFIGURATION_VALUE, REG_DWORD, &one, 4}}, 0, 9, L"VKN Analog In 1/2"},
        {"both non-zero",
         {{VKN_RENDER_CONFIGURATION_VALUE, REG_DWORD, &one, 4}, {VKN_CAPTURE_CONFIGURATION_VALUE, REG_DWORD, &seven, 4}},
         0, 1, L"VKN Virtual In 1/2"},
        {"REG_SZ render value ignored", {{VKN_RENDER_CONFIGURATION_VALUE, REG_SZ, text, sizeof text}}, 8, 9,
         L"VKN Analog In 1/2"},
        {"binary capture value ignored", {{VKN_CAPTURE_CONFIGURATION_VALUE, REG_BINARY, &one, 4}}, 8, 9,
         L"VKN Analog In 1/2"},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.what);
        ASSERT_EQ(TARVO_STATUS_SUCCESS, sim.Reset());
        DeleteDeviceKey(kSerial);
        for (const Value& v : c.values)
            WriteDeviceValue(kSerial, v.name, v.type, v.data, v.size);
        Plug(PlainRecord());
        CustomDevice device(kRoot);
        ASSERT_EQ(TARVO_STATUS_SUCCESS, Open(device));
        const TarvoWdmPins& pins = Sent().wdmPins;
        EXPECT_EQ(c.renderCount, pins.renderCount);
        ASSERT_EQ(c.captureCount, pins.captureCount);
        EXPECT_EQ(std::wstring(c.firstCapture), Name(pins.capture[0].name, TARVO_WDM_NAME_CHARS));
        EXPECT_EQ(0u, pins.capture[0].index);
        // The channel table does not depend on the configuration.
        EXPECT_EQ(16u, Sent().wdmChannels.outputCount);
    }
}

TEST_F(CustomDeviceTest, ChannelGroupsOfType2RemoveTheHardwareChannels)
{
    struct Case {
        const char* what;
        uint32_t type2Array;
        uint32_t type2Group;
        bool secondRequestFails;
        uint32_t outputs;
        uint32_t inputs;
    };
    const Case cases[] = {
        {"type 2 in the first array of group 0", 1, 0, false, 0, 2},
        {"type 2 in the second array of group 1", 2, 1, false, 0, 2},
        {"second request fails", 1, 0, true, 0, 18},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.what);
        ASSERT_EQ(TARVO_STATUS_SUCCESS, sim.Reset());
        SimPlugRecord record = PlainRecord();
        record.type2Array = c.type2Array;
        record.type2Group = c.type2Group;
        Plug(record);
        if (c.secondRequestFails) {
            ASSERT_EQ(TARVO_STATUS_SUCCESS, sim.SetFault(TARVO_IOCTL_GET_CHANNEL_GROUPS, TARVO_STATUS_FAILED,
                                                         SIM_FAULT_ONCE_AFTER + 1));
        }
        CustomDevice device(kRoot);
        ASSERT_EQ(TARVO_STATUS_SUCCESS, Open(device));
        SimDeviceSentRecord& sent = Sent();
        EXPECT_EQ(c.outputs, sent.wdmChannels.outputCount);
        ASSERT_EQ(c.inputs, sent.wdmChannels.inputCount);
        EXPECT_EQ(c.inputs == 2 ? L"VKN Virtual In 1" : L"VKN Analog In 1",
                  Name(sent.wdmChannels.inputs[0].name, TARVO_WDM_NAME_CHARS));
        // The sound device tables are not affected by the groups.
        EXPECT_EQ(8u, sent.wdmPins.renderCount);
        EXPECT_EQ(9u, sent.wdmPins.captureCount);
    }
}

TEST_F(CustomDeviceTest, OpenStopsAtTheFirstFailingStep)
{
    // The log holds what the driver carried out; a faulted request is counted, not logged.
    struct Case {
        uint32_t code;
        uint32_t mode;
        uint32_t sent;  // requests of the faulted code
        std::vector<std::string> logged;
    };
    const Case cases[] = {
        {TARVO_IOCTL_SET_ROUTING, SIM_FAULT_ONCE, 1, {}},
        {TARVO_IOCTL_SET_WEIGHTS, SIM_FAULT_ONCE, 1, {"SET_ROUTING 1 40"}},
        {TARVO_IOCTL_SET_WDM_CHANNELS, SIM_FAULT_ONCE, 1, {"SET_ROUTING 1 40", "SET_WEIGHTS"}},
        {TARVO_IOCTL_SET_WDM_PINS, SIM_FAULT_ONCE, 1, {"SET_ROUTING 1 40", "SET_WEIGHTS", "SET_WDM_CHANNELS"}},
        // Both groups of device settings are always sent; group 0's failure is the result.
        {TARVO_IOCTL_C22,
         SIM_FAULT_ONCE,
         2,
         {"SET_ROUTING 1 40", "SET_WEIGHTS", "SET_WDM_CHANNELS", "SET_WDM_PINS", "C22 2 0", "C20 2 8"}},
        {TARVO_IOCTL_C20,
         SIM_FAULT_ONCE_AFTER + 1,
         2,
         {"SET_ROUTING 1 40", "SET_WEIGHTS", "SET_WDM_CHANNELS", "SET_WDM_PINS", "C22 0 0", "C20 0 8", "C22 2 0"}},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(DescribeLogEntry(SimLogEntry{0, c.code, 0, 0, 0, 0, {}}));
        ASSERT_EQ(TARVO_STATUS_SUCCESS, sim.Reset());
        Plug(PlainRecord());
        ASSERT_EQ(TARVO_STATUS_SUCCESS, sim.SetFault(c.code, TARVO_STATUS_NO_RESOURCES, c.mode));
        CustomDevice device(kRoot);
        EXPECT_EQ(TARVO_STATUS_NO_RESOURCES, Open(device));
        EXPECT_FALSE(device.IsOpen());
        EXPECT_EQ(c.logged, DescribeLogAfter(sim, 0));
        EXPECT_EQ(c.sent, sim.CountOf(SIM_TOTAL_CONNECTION_ID, c.code));
    }
}

// A server whose device objects get a timer that cannot be armed (a period of 0 is
// refused), as when the system has no timer to give.
class TimerlessServer : public CustomServer {
protected:
    std::unique_ptr<TarvoDevice> CreateDevice() override { return std::make_unique<CustomDevice>(kRoot, 0); }
};

TEST_F(CustomDeviceTest, TimerThatCannotBeArmedFailsTheOpenAndLeavesTheDeviceOut)
{
    Plug(PlainRecord());
    CustomDevice device(kRoot, 0);
    EXPECT_EQ(TARVO_STATUS_FAILED, Open(device));
    EXPECT_FALSE(device.IsOpen());

    TimerlessServer server;
    ASSERT_EQ(TARVO_STATUS_SUCCESS, server.OpenAsServer(kName));
    bool changed = true;
    EXPECT_EQ(TARVO_STATUS_SUCCESS, server.UpdateDeviceList(changed));
    EXPECT_FALSE(changed);
    EXPECT_EQ(0u, server.GetDeviceCount());
    // The same server with a working timer lists it.
    CustomServer working;
    server.Detach();
    ASSERT_EQ(TARVO_STATUS_SUCCESS, working.OpenAsServer(kName));
    EXPECT_EQ(TARVO_STATUS_SUCCESS, working.UpdateDeviceList(changed));
    EXPECT_TRUE(changed);
    EXPECT_EQ(1u, working.GetDeviceCount());
}

TEST_F(CustomDeviceTest, TimerRoutineRunsInTheOpeningThreadsAlertableWait)
{
    Plug(PlainRecord());
    CustomDevice device(kRoot);
    ASSERT_EQ(TARVO_STATUS_SUCCESS, Open(device));
    // The first expiry comes right after arming; the routine needs an alertable wait.
    EXPECT_EQ(WAIT_IO_COMPLETION, SleepEx(2000, TRUE));
}

TEST_F(CustomDeviceTest, DeviceSettingsFollowTheStreamingSteps)
{
    Plug(PlainRecord());
    CustomDevice device(kRoot);
    ASSERT_EQ(TARVO_STATUS_SUCCESS, Open(device));
    struct Case {
        uint32_t from;
        uint32_t to;
        bool firstFails;
        TarvoStatus result;
        std::vector<std::string> logged;
    };
    const Case cases[] = {
        {TARVO_STREAM_DOWN, TARVO_STREAM_READY, false, TARVO_STATUS_SUCCESS, {}},
        {TARVO_STREAM_READY, TARVO_STREAM_DOWN, false, TARVO_STATUS_SUCCESS, {}},
        {TARVO_STREAM_READY, TARVO_STREAM_PREPARED, false, TARVO_STATUS_SUCCESS, {}},
        {TARVO_STREAM_PREPARED, TARVO_STREAM_RUNNING, false, TARVO_STATUS_SUCCESS, {"C22 0 1", "C22 2 1"}},
        {TARVO_STREAM_PREPARED, TARVO_STREAM_RUNNING, true, TARVO_STATUS_NO_DEVICE, {"C22 2 1"}},
        {TARVO_STREAM_RUNNING, TARVO_STREAM_READY, false, TARVO_STATUS_SUCCESS, {"C22 0 0", "C22 2 0"}},
        // Stepping down from Prepared tells both groups even when the first refuses.
        {TARVO_STREAM_PREPARED, TARVO_STREAM_READY, true, TARVO_STATUS_NO_DEVICE, {"C22 2 0"}},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(testing::Message() << c.from << " -> " << c.to << (c.firstFails ? " first fails" : ""));
        if (c.firstFails) {
            ASSERT_EQ(TARVO_STATUS_SUCCESS, sim.SetFault(TARVO_IOCTL_C22, TARVO_STATUS_NO_DEVICE, SIM_FAULT_ONCE));
        }
        const uint32_t mark = LastLogSequence(sim);
        ASSERT_EQ(TARVO_STATUS_SUCCESS, sim.ClearCounts());
        EXPECT_EQ(c.result, device.BeforeTransition(c.from, c.to, 48000));
        // A refused request is counted but not logged.
        EXPECT_EQ(c.logged, DescribeLogAfter(sim, mark));
        EXPECT_EQ(c.logged.size() + (c.firstFails ? 1 : 0), sim.CountOf(SIM_TOTAL_CONNECTION_ID, TARVO_IOCTL_C22));
    }
}

TEST_F(CustomDeviceTest, SaveVolumesStoresTheMixerVolumesOfEveryRenderDevice)
{
    Plug(PlainRecord());
    CustomDevice device(kRoot);
    ASSERT_EQ(TARVO_STATUS_SUCCESS, Open(device));
    // Pair 1 (channels 2, 3) at -60.00 dB, the right one muted; the rest never set (0 dB).
    TarvoVolumeEntry volumes[2] = {};
    volumes[0].pin = {TARVO_PIN_ANALOG, 2, {0, 0}};
    volumes[0].volume = -6000;
    volumes[1].pin = {TARVO_PIN_ANALOG, 3, {0, 0}};
    volumes[1].volume = -6000;
    volumes[1].flags = TARVO_VOLUME_FLAG_MUTED;
    ASSERT_EQ(TARVO_STATUS_SUCCESS, device.SetVolumes(volumes, 2));

    device.SaveVolumes();
    SimDeviceSentRecord& sent = Sent();
    ASSERT_EQ(8u, sent.storedCount);
    for (uint32_t i = 0; i < 8; ++i) {
        const TarvoStoredVolumes& stored = sent.stored[i];
        EXPECT_EQ(TARVO_STORED_VOLUMES_RENDER_TABLE, stored.table);
        EXPECT_EQ(i, stored.index);
        const int32_t expected = i == 1 ? -6000 * 65536 / 100 : 0;
        EXPECT_EQ(expected, stored.volumes[0]) << "entry " << i;
        EXPECT_EQ(expected, stored.volumes[1]) << "entry " << i;
        EXPECT_EQ(0u, stored.flags[0]);
        EXPECT_EQ(i == 1 ? 1u : 0u, stored.flags[1]);
        EXPECT_EQ(0, stored.volumes[2]);  // one pair per entry: the rest stays zero
    }
    EXPECT_EQ(-3932160, sent.stored[1].volumes[0]);
}

TEST_F(CustomDeviceTest, SaveVolumesStopsAtTheFirstFailingRequest)
{
    struct Case {
        uint32_t code;
        uint32_t passes;
        uint32_t stored;
    };
    const Case cases[] = {
        {TARVO_IOCTL_GET_VOLUMES, 0, 0},
        {TARVO_IOCTL_GET_VOLUMES, 3, 3},
        {TARVO_IOCTL_SET_STORED_VOLUMES, 5, 5},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(testing::Message() << std::hex << c.code << " after " << c.passes);
        ASSERT_EQ(TARVO_STATUS_SUCCESS, sim.Reset());
        Plug(PlainRecord());
        CustomDevice device(kRoot);
        ASSERT_EQ(TARVO_STATUS_SUCCESS, Open(device));
        ASSERT_EQ(TARVO_STATUS_SUCCESS, sim.SetFault(c.code, TARVO_STATUS_FAILED, SIM_FAULT_ONCE_AFTER + c.passes));
        device.SaveVolumes();
        EXPECT_EQ(c.stored, Sent().storedCount);
    }
}

TEST_F(CustomDeviceTest, RenderVolumeChangeSetsTheMixerFromTheStoredVolumes)
{
    Plug(PlainRecord());
    CustomDevice device(kRoot);
    ASSERT_EQ(TARVO_STATUS_SUCCESS, Open(device));
    TarvoStoredVolumes stored = {};
    stored.table = TARVO_STORED_VOLUMES_RENDER_TABLE;
    stored.index = 3;
    stored.volumes[0] = VKN_FIXED_MINUS_INFINITY;
    stored.volumes[1] = 100 * 65536;  // +100 dB: beyond the mixer's range
    stored.flags[0] = 1;
    ASSERT_EQ(TARVO_STATUS_SUCCESS, device.SetStoredVolumes(stored));

    const uint32_t mark = LastLogSequence(sim);
    device.OnRenderVolumeChanged(3);
    EXPECT_EQ(std::vector<std::string>{"SET_VOLUMES"}, DescribeLogAfter(sim, mark));
    TarvoVolumeEntry volumes[2] = {};
    volumes[0].pin = {TARVO_PIN_ANALOG, 6, {0, 0}};
    volumes[1].pin = {TARVO_PIN_ANALOG, 7, {0, 0}};
    ASSERT_EQ(TARVO_STATUS_SUCCESS, device.GetVolumes(volumes, 2));
    EXPECT_EQ(-9000, volumes[0].volume);
    EXPECT_EQ(TARVO_VOLUME_FLAG_MUTED, volumes[0].flags);
    EXPECT_EQ(9000, volumes[1].volume);
    EXPECT_EQ(0, volumes[1].flags);

    // An index at the table's count, and a stored record that cannot be read, send nothing.
    const uint32_t before = LastLogSequence(sim);
    device.OnRenderVolumeChanged(8);
    ASSERT_EQ(TARVO_STATUS_SUCCESS,
              sim.SetFault(TARVO_IOCTL_GET_STORED_VOLUMES, TARVO_STATUS_FAILED, SIM_FAULT_ONCE));
    device.OnRenderVolumeChanged(0);
    EXPECT_TRUE(DescribeLogAfter(sim, before).empty());
}

TEST_F(CustomDeviceTest, SoundDeviceConfigurationIsStoredAndTheTableSentAgain)
{
    const uint32_t one = 1;
    WriteDeviceValue(kSerial, VKN_RENDER_CONFIGURATION_VALUE, REG_DWORD, &one, 4);
    Plug(PlainRecord());
    CustomDevice device(kRoot);
    ASSERT_EQ(TARVO_STATUS_SUCCESS, Open(device));
    EXPECT_EQ(1u, device.GetRenderConfiguration());
    EXPECT_EQ(0u, Sent().wdmPins.renderCount);

    // Only configuration 0 is built: another value changes nothing.
    const uint32_t refused[4] = {entry.key0, entry.key1, 1, 0};
    uint32_t mark = LastLogSequence(sim);
    EXPECT_EQ(TARVO_STATUS_INVALID_PARAMETER, device.SetSoundDeviceConfiguration(refused));
    EXPECT_TRUE(DescribeLogAfter(sim, mark).empty());
    EXPECT_EQ(1u, device.GetRenderConfiguration());

    const uint32_t wanted[4] = {entry.key0, entry.key1, 0, 0};
    EXPECT_EQ(TARVO_STATUS_SUCCESS, device.SetSoundDeviceConfiguration(wanted));
    EXPECT_EQ(std::vector<std::string>{"SET_WDM_PINS"}, DescribeLogAfter(sim, mark));
    EXPECT_EQ(8u, Sent().wdmPins.renderCount);
    uint32_t render = 5;
    uint32_t capture = 5;
    ASSERT_TRUE(ReadDeviceDword(kSerial, VKN_RENDER_CONFIGURATION_VALUE, render));
    ASSERT_TRUE(ReadDeviceDword(kSerial, VKN_CAPTURE_CONFIGURATION_VALUE, capture));
    EXPECT_EQ(0u, render);
    EXPECT_EQ(0u, capture);

    // A refused table is the result; the values are stored all the same.
    mark = LastLogSequence(sim);
    ASSERT_EQ(TARVO_STATUS_SUCCESS, sim.SetFault(TARVO_IOCTL_SET_WDM_PINS, TARVO_STATUS_NO_DEVICE, SIM_FAULT_ONCE));
    EXPECT_EQ(TARVO_STATUS_NO_DEVICE, device.SetSoundDeviceConfiguration(wanted));
}

TEST_F(CustomDeviceTest, SerialNumberThatNamesNoKeyOfItsOwnIsNotUsedAsAKey)
{
    // Written straight into "Devices": a device whose serial is empty must not read it.
    const uint32_t one = 1;
    {
        WnRegistryKey devices;
        ASSERT_EQ(0u, devices.Create(HKEY_LOCAL_MACHINE, VKN_TEST_DEVICES_KEY, KEY_READ | KEY_WRITE));
        ASSERT_EQ(0u, devices.WriteDword(VKN_RENDER_CONFIGURATION_VALUE, one));
    }
    for (const wchar_t* serial : {L"", L"..\\CD1"}) {
        SCOPED_TRACE(testing::Message() << "serial \"" << std::string(serial, serial + wcslen(serial)) << "\"");
        ASSERT_EQ(TARVO_STATUS_SUCCESS, sim.Reset());
        Plug(PlainRecord());
        CopyText(entry.serialNumber, serial, TARVO_SERIAL_CHARS);
        CustomDevice device(kRoot);
        // Registry trouble does not fail the open: the configuration stays 0.
        ASSERT_EQ(TARVO_STATUS_SUCCESS, Open(device));
        EXPECT_EQ(0u, device.GetRenderConfiguration());
        EXPECT_EQ(ERROR_INVALID_NAME, device.LoadConfiguration());
        EXPECT_EQ(ERROR_INVALID_NAME, device.SaveConfiguration());
    }
    WnRegistryKey devices;
    ASSERT_EQ(0u, devices.Open(HKEY_LOCAL_MACHINE, VKN_TEST_DEVICES_KEY, KEY_READ | KEY_WRITE));
    RegDeleteValueW(devices.Get(), VKN_RENDER_CONFIGURATION_VALUE);
}

}  // namespace
