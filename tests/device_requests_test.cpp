// Device control and configuration requests on device handles, against the simulated
// driver's devices: in-place entry arrays, out-parameters on failure, read-back of what
// the service sends, and parallel requests on two device handles.
#include <gtest/gtest.h>

#include <windows.h>

#include <cstring>

#include "SimControl.h"
#include "TarvoDriver.h"
#include "WnText.h"
#include "WnThread.h"

namespace {

class DeviceRequestsTest : public testing::Test {
protected:
    void SetUp() override
    {
        ASSERT_EQ(0u, sim.Open());
        ASSERT_EQ(TARVO_STATUS_SUCCESS, sim.Reset());
    }
    void TearDown() override { sim.Reset(); }

    // Plugs the record's device and binds a device object to it.
    void PlugAndOpen(const SimPlugRecord& record, TarvoDevice& device)
    {
        TarvoDeviceKey key = {};
        ASSERT_EQ(TARVO_STATUS_SUCCESS, sim.Plug(record, &key));
        TarvoDeviceEntry entry = {};
        entry.key0 = key.key0;
        entry.key1 = key.key1;
        ASSERT_EQ(TARVO_STATUS_SUCCESS, device.Open(TARVO_DEVICE_OBJECT_NAME, entry));
    }

    SimPlugRecord WithPins(const wchar_t* serial, uint32_t outputs, uint32_t hardware, uint32_t software)
    {
        SimPlugRecord record = SimControl::PlugRecord(serial);
        record.options = SIM_PLUG_PINS_GIVEN;
        record.pinCounts[0] = outputs;
        record.pinCounts[1] = hardware;
        record.pinCounts[2] = software;
        return record;
    }

    SimControl sim;
};

TEST_F(DeviceRequestsTest, MixerPinsDeliverWhatFits)
{
    TarvoDevice device;
    PlugAndOpen(WithPins(L"M1", 12, 7, 0), device);
    struct Case {
        uint32_t selector;
        uint32_t capacity;
        uint32_t count;
    };
    const Case cases[] = {
        {TARVO_PINS_MIXER_OUTPUTS, 10, 10},  // 40 bytes give 10
        {TARVO_PINS_MIXER_OUTPUTS, 26, 12},
        {TARVO_PINS_HARDWARE_INPUTS, 18, 7},  // an odd count
        {TARVO_PINS_SOFTWARE_OUTPUTS, 18, 0},  // no pins
    };
    for (const Case& c : cases) {
        TarvoPin pins[26] = {};
        uint32_t count = 99;
        EXPECT_EQ(TARVO_STATUS_SUCCESS, device.GetMixerPins(c.selector, pins, c.capacity, count));
        EXPECT_EQ(c.count, count) << "selector " << c.selector << " capacity " << c.capacity;
        for (uint32_t i = 0; i < count; ++i)
            EXPECT_EQ(i, pins[i].channel);
    }
}

TEST_F(DeviceRequestsTest, MixerPinCountIsStoredOnFailure)
{
    TarvoDevice device;
    PlugAndOpen(WithPins(L"M1", 12, 7, 0), device);
    TarvoPin pins[4] = {};
    uint32_t count = 99;
    EXPECT_EQ(TARVO_STATUS_INVALID_PARAMETER, device.GetMixerPins(3, pins, 4, count));
    EXPECT_EQ(0u, count);
    count = 99;
    ASSERT_EQ(TARVO_STATUS_SUCCESS, sim.Unplug(L"M1"));
    EXPECT_EQ(TARVO_STATUS_DEVICE_REMOVED, device.GetMixerPins(0, pins, 4, count));
    EXPECT_EQ(0u, count);
}

TEST_F(DeviceRequestsTest, SpdifStatusWithoutInputLeavesTheRecord)
{
    SimPlugRecord record = SimControl::PlugRecord(L"NS");
    record.options = SIM_PLUG_NO_SPDIF;
    TarvoDevice device;
    PlugAndOpen(record, device);
    TarvoSpdifStatus status = {0x11, 0x22, 0x33, 0x44};
    EXPECT_EQ(TARVO_STATUS_OBJECT_NOT_FOUND, device.GetSpdifStatus(0, status));
    EXPECT_EQ(0x11u, status.inputNumber);
    EXPECT_EQ(0x22u, status.state);
    EXPECT_EQ(0x33u, status.format);
    EXPECT_EQ(0x44u, status.sampleRate);

    TarvoDevice withSpdif;
    PlugAndOpen(SimControl::PlugRecord(L"WS"), withSpdif);
    ASSERT_EQ(TARVO_STATUS_SUCCESS, withSpdif.GetSpdifStatus(0, status));
    EXPECT_EQ(0u, status.inputNumber);
    EXPECT_EQ(0u, status.state);  // the stream is down: not streaming
}

TEST_F(DeviceRequestsTest, PassThroughOnReadsBackAsTwo)
{
    TarvoDevice device;
    PlugAndOpen(SimControl::PlugRecord(L"P1"), device);
    bool on = true;
    ASSERT_EQ(TARVO_STATUS_SUCCESS, device.GetSpdifPassThrough(0, 0, on));
    EXPECT_FALSE(on);
    ASSERT_EQ(TARVO_STATUS_SUCCESS, device.SetSpdifPassThrough(0, 0, true));
    TarvoSpdifPassThroughRecord raw = {0, 0, 0};
    TarvoSpdifPassThroughRecord answer = raw;
    ASSERT_EQ(TARVO_STATUS_SUCCESS,
              device.DeviceControl(TARVO_IOCTL_GET_SPDIF_PASS_THROUGH, &raw, sizeof raw, &answer, sizeof answer));
    EXPECT_EQ(2u, answer.value);
    ASSERT_EQ(TARVO_STATUS_SUCCESS, device.GetSpdifPassThrough(0, 0, on));
    EXPECT_TRUE(on);
    // Unbound: refused, and the bool stays as it was.
    TarvoDriver connection;
    ASSERT_EQ(TARVO_STATUS_SUCCESS, connection.OpenAsViewer(TARVO_DEVICE_OBJECT_NAME));
    on = false;
    EXPECT_EQ(TARVO_STATUS_NO_DEVICE, connection.GetSpdifPassThrough(0, 0, on));
    EXPECT_FALSE(on);
}

TEST_F(DeviceRequestsTest, BypassSwitchesKeepWhatWasSet)
{
    TarvoDevice device;
    PlugAndOpen(SimControl::PlugRecord(L"B1"), device);
    ASSERT_EQ(TARVO_STATUS_SUCCESS, device.SetVolumeBypass(1));
    ASSERT_EQ(TARVO_STATUS_SUCCESS, device.SetMuteBypass(0));
    uint8_t volume = 0, mute = 9;
    ASSERT_EQ(TARVO_STATUS_SUCCESS, device.GetVolumeBypass(volume));
    ASSERT_EQ(TARVO_STATUS_SUCCESS, device.GetMuteBypass(mute));
    EXPECT_EQ(1, volume);
    EXPECT_EQ(0, mute);
    EXPECT_EQ(TARVO_STATUS_INVALID_PARAMETER, device.SetMuteBypass(2));
}

TEST_F(DeviceRequestsTest, VolumesAndWeightsWorkInPlaceAndKeepWhatWasSet)
{
    TarvoDevice device;
    PlugAndOpen(SimControl::PlugRecord(L"V1"), device);
    TarvoVolumeEntry volumes[3] = {};
    for (uint8_t i = 0; i < 3; ++i) {
        volumes[i].pin = {TARVO_PIN_ANALOG, i, {0, 0}};
        volumes[i].volume = static_cast<int16_t>(-100 * (i + 1));
    }
    volumes[2].flags = TARVO_VOLUME_FLAG_MUTED;
    ASSERT_EQ(TARVO_STATUS_SUCCESS, device.SetVolumes(volumes, 3));
    TarvoVolumeEntry readBack[4] = {};
    for (uint8_t i = 0; i < 4; ++i)
        readBack[i].pin = {TARVO_PIN_ANALOG, static_cast<uint8_t>(3 - i), {0, 0}};
    ASSERT_EQ(TARVO_STATUS_SUCCESS, device.GetVolumes(readBack, 4));
    EXPECT_EQ(0, readBack[0].volume);  // channel 3 was never set
    EXPECT_EQ(TARVO_VOLUME_FLAG_MUTED, readBack[1].flags);
    EXPECT_EQ(-300, readBack[1].volume);
    EXPECT_EQ(-200, readBack[2].volume);
    EXPECT_EQ(0, readBack[2].flags);
    EXPECT_EQ(-100, readBack[3].volume);

    TarvoWeightEntry weights[2] = {};
    weights[0] = {{TARVO_PIN_ANALOG, 0, {0, 0}}, {TARVO_PIN_OUT, 1, {2, 0}}, -600, TARVO_WEIGHT_FLAG_ON};
    weights[1] = {{TARVO_PIN_ANALOG, 1, {0, 0}}, {TARVO_PIN_OUT, 1, {2, 0}}, 250, 0};
    ASSERT_EQ(TARVO_STATUS_SUCCESS, device.SetWeights(weights, 2));
    TarvoWeightEntry query[2] = {weights[1], weights[0]};
    query[0].weight = query[1].weight = 0;
    query[0].flags = query[1].flags = 0;
    ASSERT_EQ(TARVO_STATUS_SUCCESS, device.GetWeights(query, 2));
    EXPECT_EQ(250, query[0].weight);
    EXPECT_EQ(0, query[0].flags);
    EXPECT_EQ(-600, query[1].weight);
    EXPECT_EQ(TARVO_WEIGHT_FLAG_ON, query[1].flags);

    SimStateRecord state;
    ASSERT_EQ(TARVO_STATUS_SUCCESS, sim.GetState(state));
    EXPECT_EQ(3u, state.devices[0].volumeCount);
    EXPECT_EQ(2u, state.devices[0].weightCount);
}

TEST_F(DeviceRequestsTest, LevelsMoveBetweenPolls)
{
    TarvoDevice device;
    PlugAndOpen(SimControl::PlugRecord(L"L1"), device);
    TarvoLevelEntry first[2] = {}, second[2] = {};
    first[0].pin = second[0].pin = {TARVO_PIN_ANALOG, 0, {1, 0}};
    first[1].pin = second[1].pin = {TARVO_PIN_SPDIF, 1, {1, 0}};
    ASSERT_EQ(TARVO_STATUS_SUCCESS, device.GetInputLevels(first, 2));
    ASSERT_EQ(TARVO_STATUS_SUCCESS, device.GetInputLevels(second, 2));
    EXPECT_NE(first[0].level, second[0].level);
    for (const TarvoLevelEntry& entry : {first[0], first[1], second[0], second[1]}) {
        EXPECT_GE(entry.level, -6000);
        EXPECT_LE(entry.level, 0);
    }
    EXPECT_EQ(TARVO_PIN_SPDIF, second[1].pin.kind);  // pins come back as sent
    EXPECT_EQ(1, second[1].pin.extra[0]);
    // A muted output is silent.
    TarvoVolumeEntry mute = {{TARVO_PIN_ANALOG, 0, {0, 0}}, 0, TARVO_VOLUME_FLAG_MUTED, 0};
    ASSERT_EQ(TARVO_STATUS_SUCCESS, device.SetVolumes(&mute, 1));
    TarvoLevelEntry out = {{TARVO_PIN_ANALOG, 0, {0, 0}}, 0, 0};
    ASSERT_EQ(TARVO_STATUS_SUCCESS, device.GetOutputLevels(&out, 1));
    EXPECT_EQ(-6000, out.level);
}

TEST_F(DeviceRequestsTest, StoredVolumesKeepTheRecord)
{
    TarvoDevice device;
    PlugAndOpen(SimControl::PlugRecord(L"SV"), device);
    TarvoStoredVolumes record;
    std::memset(&record, 0, sizeof record);
    record.table = TARVO_STORED_VOLUMES_RENDER_TABLE;
    record.index = 5;
    record.volumes[0] = -6 * 65536;
    record.volumes[1] = 3 * 65536;
    record.flags[1] = 1;
    ASSERT_EQ(TARVO_STATUS_SUCCESS, device.SetStoredVolumes(record));
    TarvoStoredVolumes back;
    std::memset(&back, 0xEE, sizeof back);
    ASSERT_EQ(TARVO_STATUS_SUCCESS, device.GetStoredVolumes(TARVO_STORED_VOLUMES_RENDER_TABLE, 5, back));
    EXPECT_EQ(0, std::memcmp(&record, &back, sizeof record));
    ASSERT_EQ(TARVO_STATUS_SUCCESS, device.GetStoredVolumes(TARVO_STORED_VOLUMES_RENDER_TABLE, 6, back));
    EXPECT_EQ(6u, back.index);
    EXPECT_EQ(0, back.volumes[0]);
    std::memset(&back, 0xEE, sizeof back);
    EXPECT_EQ(TARVO_STATUS_INVALID_PARAMETER, device.GetStoredVolumes(1, 5, back));
    EXPECT_EQ(0xEEEEEEEEu, back.table);  // untouched on failure
}

TEST_F(DeviceRequestsTest, PluginParametersOnlyWithThePlugin)
{
    SimPlugRecord record = SimControl::PlugRecord(L"PI");
    record.options = SIM_PLUG_FLAGS_GIVEN;
    record.flags = TARVO_DEVICE_FLAG_HIGH_SPEED | TARVO_DEVICE_FLAG_PLUGIN;
    TarvoDevice device;
    PlugAndOpen(record, device);
    TarvoPluginParameters block;
    std::memset(&block, 0, sizeof block);
    block.id = TARVO_PLUGIN_DELAY;
    block.value = 2;
    block.pairs[0] = {2, 40};
    block.pairs[1] = {3, 40};
    ASSERT_EQ(TARVO_STATUS_SUCCESS, device.SetPluginParameters(block, sizeof block));
    std::memset(&block, 0, sizeof block);
    block.id = TARVO_PLUGIN_DELAY;
    block.value = 1;
    block.pairs[0].channel = 3;
    ASSERT_EQ(TARVO_STATUS_SUCCESS, device.GetPluginParameters(block, sizeof block));
    EXPECT_EQ(40u, block.pairs[0].value);
    std::memset(&block, 0, sizeof block);
    block.id = TARVO_PLUGIN_CHANNEL_COUNT;
    ASSERT_EQ(TARVO_STATUS_SUCCESS, device.GetPluginParameters(block, sizeof block));
    EXPECT_EQ(8u, block.value);
    block.id = TARVO_PLUGIN_MAX_DELAY;
    ASSERT_EQ(TARVO_STATUS_SUCCESS, device.GetPluginParameters(block, sizeof block));
    EXPECT_EQ(200u, block.value);
    // Beyond the maximum delay: refused, nothing changes.
    std::memset(&block, 0, sizeof block);
    block.id = TARVO_PLUGIN_DELAY;
    block.value = 2;
    block.pairs[0] = {3, 10};
    block.pairs[1] = {4, 201};
    EXPECT_EQ(TARVO_STATUS_INVALID_PARAMETER, device.SetPluginParameters(block, sizeof block));
    std::memset(&block, 0, sizeof block);
    block.id = TARVO_PLUGIN_DELAY;
    block.value = 1;
    block.pairs[0].channel = 3;
    ASSERT_EQ(TARVO_STATUS_SUCCESS, device.GetPluginParameters(block, sizeof block));
    EXPECT_EQ(40u, block.pairs[0].value);

    TarvoDevice plain;
    PlugAndOpen(SimControl::PlugRecord(L"NP"), plain);
    block.id = TARVO_PLUGIN_CHANNEL_COUNT;
    EXPECT_EQ(TARVO_STATUS_NOT_SUPPORTED, plain.GetPluginParameters(block, sizeof block));
}

// Whether any group of the device has a type-2 item, in either array.
bool HasType2(const TarvoChannelGroups& groups)
{
    const uint32_t count = groups.count < TARVO_MAX_CHANNEL_GROUPS ? groups.count : TARVO_MAX_CHANNEL_GROUPS;
    for (uint32_t g = 0; g < count; ++g)
        for (uint32_t i = 0; i < TARVO_CHANNEL_GROUP_ITEMS; ++i)
            if (groups.groups[g].firstItems[i].type == 2 || groups.groups[g].secondItems[i].type == 2)
                return true;
    return false;
}

TEST_F(DeviceRequestsTest, ChannelGroupsWithTheType2ItemAnywhere)
{
    struct Case {
        const wchar_t* serial;
        uint32_t groupCount;
        uint32_t type2Array;
        uint32_t type2Group;
        bool first;
        bool second;
    };
    const Case cases[] = {
        {L"G0", 3, 0, 0, false, false},
        {L"G1", 3, 1, 1, true, false},
        {L"G2", 3, 2, 2, false, true},  // only in the second array
        {L"G3", 0, 0, 0, false, false},
    };
    for (const Case& c : cases) {
        SimPlugRecord record = SimControl::PlugRecord(c.serial);
        record.options = SIM_PLUG_GROUPS_GIVEN;
        record.groupCount = c.groupCount;
        record.type2Array = c.type2Array;
        record.type2Group = c.type2Group;
        TarvoDevice device;
        PlugAndOpen(record, device);
        TarvoChannelGroups groups;
        std::memset(&groups, 0, sizeof groups);
        ASSERT_EQ(TARVO_STATUS_SUCCESS, device.GetChannelGroups(groups));
        EXPECT_EQ(c.groupCount, groups.count);
        bool inFirst = false, inSecond = false;
        for (uint32_t g = 0; g < groups.count; ++g)
            for (uint32_t i = 0; i < TARVO_CHANNEL_GROUP_ITEMS; ++i) {
                inFirst = inFirst || groups.groups[g].firstItems[i].type == 2;
                inSecond = inSecond || groups.groups[g].secondItems[i].type == 2;
            }
        EXPECT_EQ(c.first, inFirst) << c.serial;
        EXPECT_EQ(c.second, inSecond) << c.serial;
        EXPECT_EQ(c.first || c.second, HasType2(groups)) << c.serial;
    }
    SimPlugRecord bad = SimControl::PlugRecord(L"GX");
    bad.options = SIM_PLUG_GROUPS_GIVEN;
    bad.groupCount = 2;
    bad.type2Array = 2;
    bad.type2Group = 2;
    EXPECT_EQ(TARVO_STATUS_INVALID_PARAMETER, sim.Plug(bad));
}

TEST_F(DeviceRequestsTest, FullChannelTableAndPinTableAreKept)
{
    TarvoDevice device;
    PlugAndOpen(SimControl::PlugRecord(L"C1"), device);
    static TarvoWdmChannels channels;
    std::memset(&channels, 0, sizeof channels);
    for (uint32_t i = 0; i < TARVO_WDM_TABLE_ENTRIES; ++i) {
        TarvoWdmChannelEntry& entry = channels.outputs[i];
        entry.kind = TARVO_WDM_KIND_HARDWARE;
        entry.pairNumber = i / 2;
        entry.side = i % 2;
        FormatText(entry.name, TARVO_WDM_NAME_CHARS, L"VKN Out %u", i + 1);
    }
    channels.outputCount = TARVO_WDM_TABLE_ENTRIES;
    ASSERT_EQ(TARVO_STATUS_SUCCESS, device.SetWdmChannels(channels));
    static TarvoWdmPins pins;
    std::memset(&pins, 0, sizeof pins);
    pins.renderCount = 1;
    pins.render[0].kind = TARVO_WDM_KIND_VIRTUAL;
    pins.render[0].pairCount = 1;
    FormatText(pins.render[0].name, TARVO_WDM_NAME_CHARS, L"VKN Virtual %u/%u", 1, 2);
    ASSERT_EQ(TARVO_STATUS_SUCCESS, device.SetWdmPins(pins));
    TarvoRoutingRecord routing;
    std::memset(&routing, 0, sizeof routing);
    routing.preset = 1;
    routing.value = 40;
    ASSERT_EQ(TARVO_STATUS_SUCCESS, device.SetRouting(routing));
    ASSERT_EQ(TARVO_STATUS_SUCCESS, device.SendC22(0, 0));
    ASSERT_EQ(TARVO_STATUS_SUCCESS, device.SendC20(2, 8));
    EXPECT_EQ(TARVO_STATUS_INVALID_PARAMETER, device.SendC20(4, 8));

    static SimDeviceSentRecord sent;
    ASSERT_EQ(TARVO_STATUS_SUCCESS, sim.GetDeviceSent(0, sent));
    EXPECT_EQ(0, std::memcmp(&channels, &sent.wdmChannels, sizeof channels));
    EXPECT_EQ(32u, sent.wdmChannels.outputCount);
    EXPECT_STREQ(L"VKN Out 32", sent.wdmChannels.outputs[31].name);
    EXPECT_EQ(0, std::memcmp(&pins, &sent.wdmPins, sizeof pins));
    EXPECT_EQ(0, std::memcmp(&routing, &sent.routing, sizeof routing));
    SimStateRecord state;
    ASSERT_EQ(TARVO_STATUS_SUCCESS, sim.GetState(state));
    EXPECT_EQ(0x1u, state.devices[0].c22Mask);
    EXPECT_EQ(0x4u, state.devices[0].c20Mask);
    EXPECT_EQ(8u, state.devices[0].c20Values[2]);
    EXPECT_EQ(1u, state.devices[0].wdmChannelsCount);

    // A count above the table is refused, and the kept table stays.
    channels.inputCount = TARVO_WDM_TABLE_ENTRIES + 1;
    EXPECT_EQ(TARVO_STATUS_INVALID_PARAMETER, device.SetWdmChannels(channels));
    ASSERT_EQ(TARVO_STATUS_SUCCESS, sim.GetDeviceSent(0, sent));
    EXPECT_EQ(0u, sent.wdmChannels.inputCount);
}

// One device request on its own thread, timed from the moment the thread runs it.
class TimedRequest {
public:
    explicit TimedRequest(TarvoDevice& target, bool slowRequest) : device(target), slow(slowRequest)
    {
        forwarder.object = this;
        forwarder.function = &TimedRequest::Run;
    }

    uint32_t Start() { return thread.Start(&forwarder); }
    uint32_t Wait(uint32_t timeoutMs) { return thread.Wait(timeoutMs); }

    TarvoStatus status = TARVO_STATUS_FAILED;
    DWORD elapsedMs = 0;

private:
    uint32_t Run()
    {
        const DWORD start = GetTickCount();
        if (slow) {
            TarvoSpdifStatus record = {};
            status = device.GetSpdifStatus(0, record);
        } else {
            uint8_t state = 0;
            status = device.GetVolumeBypass(state);
        }
        elapsedMs = GetTickCount() - start;
        return 0;
    }

    TarvoDevice& device;
    bool slow;
    WnThreadCallbackForwarderT<TimedRequest> forwarder;
    WnThread thread;
};

// A slow request on one device handle does not hold up a request on another one.
TEST_F(DeviceRequestsTest, TwoDeviceHandlesRunInParallel)
{
    TarvoDevice slowDevice, fastDevice;
    PlugAndOpen(SimControl::PlugRecord(L"D1"), slowDevice);
    PlugAndOpen(SimControl::PlugRecord(L"D2"), fastDevice);
    constexpr DWORD kDelayMs = 1500;
    ASSERT_EQ(TARVO_STATUS_SUCCESS, sim.SetDelay(TARVO_IOCTL_GET_SPDIF_STATUS, kDelayMs));
    TimedRequest slow(slowDevice, true);
    TimedRequest fast(fastDevice, false);
    ASSERT_EQ(0u, slow.Start());
    Sleep(200);  // the slow request is pending in the driver by now
    ASSERT_EQ(0u, fast.Start());
    ASSERT_EQ(0u, fast.Wait(5000));
    ASSERT_EQ(0u, slow.Wait(10000));
    EXPECT_EQ(TARVO_STATUS_SUCCESS, fast.status);
    EXPECT_EQ(TARVO_STATUS_SUCCESS, slow.status);
    EXPECT_LT(fast.elapsedMs, 500u);
    EXPECT_GE(slow.elapsedMs + 20, kDelayMs);  // tick granularity
}

// The same two requests on one device handle are serial: the second waits for the first.
TEST_F(DeviceRequestsTest, OneDeviceHandleIsSerial)
{
    TarvoDevice device;
    PlugAndOpen(SimControl::PlugRecord(L"D1"), device);
    constexpr DWORD kDelayMs = 1000;
    ASSERT_EQ(TARVO_STATUS_SUCCESS, sim.SetDelay(TARVO_IOCTL_GET_SPDIF_STATUS, kDelayMs));
    TimedRequest slow(device, true);
    TimedRequest fast(device, false);
    ASSERT_EQ(0u, slow.Start());
    Sleep(200);
    ASSERT_EQ(0u, fast.Start());
    ASSERT_EQ(0u, fast.Wait(5000));
    ASSERT_EQ(0u, slow.Wait(10000));
    EXPECT_EQ(TARVO_STATUS_SUCCESS, fast.status);
    EXPECT_GE(fast.elapsedMs, 500u);
}

}  // namespace
