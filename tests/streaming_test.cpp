// The common streaming state through the library's wrappers against the simulated driver:
// the bytes the control requests send, the state machine, sample rates and latencies.
#include <gtest/gtest.h>

#include <cstring>

#include "SimControl.h"
#include "TarvoDriver.h"
#include "TarvoTexts.h"

namespace {

class StreamingTest : public testing::Test {
protected:
    void SetUp() override
    {
        ASSERT_EQ(0u, sim.Open());
        ASSERT_EQ(TARVO_STATUS_SUCCESS, sim.Reset());
        ASSERT_EQ(TARVO_STATUS_SUCCESS, sim.Plug(SimControl::PlugRecord(L"S1"), &deviceKey));
        ASSERT_EQ(TARVO_STATUS_SUCCESS, driver.OpenAsViewer(TARVO_DEVICE_OBJECT_NAME));
        ASSERT_EQ(TARVO_STATUS_SUCCESS, SimControl::WhoAmI(driver, connectionId));
    }
    void TearDown() override { sim.Reset(); }

    uint32_t State()
    {
        TarvoStreamingStatus status = {};
        EXPECT_EQ(TARVO_STATUS_SUCCESS, driver.GetStreamingStatus(status));
        return status.state;
    }

    void SetUsers(uint32_t first)
    {
        const SimUsersRecord users = {{first, 0, 0, 0, 0}};
        ASSERT_EQ(TARVO_STATUS_SUCCESS, sim.SetUsers(users));
    }

    // The last logged request; fails the test when the log is empty.
    SimLogEntry LastLogged()
    {
        SimLogRecord log;
        EXPECT_EQ(TARVO_STATUS_SUCCESS, sim.GetLog(log));
        SimLogEntry entry = {};
        if (log.count != 0)
            entry = log.entries[log.count - 1];
        else
            ADD_FAILURE() << "nothing logged";
        return entry;
    }

    SimControl sim;
    TarvoDriver driver;
    TarvoDeviceKey deviceKey = {};
    uint32_t connectionId = 0;
};

TEST_F(StreamingTest, PrepareSendsExactlyItsEightBytes)
{
    SetUsers(1);
    ASSERT_EQ(TARVO_STATUS_SUCCESS, driver.StreamingCommand(TARVO_STREAM_CMD_POWER_UP, 0));
    ASSERT_EQ(TARVO_STATUS_SUCCESS, driver.StreamingCommand(TARVO_STREAM_CMD_PREPARE, 0));
    const SimLogEntry entry = LastLogged();
    EXPECT_EQ(TARVO_IOCTL_STREAMING_COMMAND, entry.code);
    EXPECT_EQ(connectionId, entry.connectionId);
    EXPECT_EQ(TARVO_STATUS_SUCCESS, entry.status);
    ASSERT_EQ(8u, entry.inSize);
    const uint8_t expected[SIM_LOG_DATA_BYTES] = {0x04, 0, 0, 0, 0, 0, 0, 0};
    EXPECT_EQ(0, std::memcmp(expected, entry.data, sizeof(expected)));
    EXPECT_EQ(TARVO_STREAM_PREPARED, State());
}

TEST_F(StreamingTest, AllDevicesRecordIsSentAsOneAndEightZeros)
{
    ASSERT_EQ(TARVO_STATUS_SUCCESS, driver.SetStreamingDevice(TarvoStreamingDeviceRecord{1, 0, 0}));
    const SimLogEntry entry = LastLogged();
    EXPECT_EQ(TARVO_IOCTL_SET_STREAMING_DEVICE, entry.code);
    ASSERT_EQ(12u, entry.inSize);
    const uint8_t expected[SIM_LOG_DATA_BYTES] = {0x01};
    EXPECT_EQ(0, std::memcmp(expected, entry.data, sizeof(expected)));
}

// Each step walks the machine from Down; a command outside its states is refused and
// leaves the state as it was.
TEST_F(StreamingTest, StateMachineRefusesOutOfOrderCommands)
{
    struct Step {
        uint32_t command;
        TarvoStatus status;
        uint32_t stateAfter;
    };
    const Step steps[] = {
        {TARVO_STREAM_CMD_RUN, TARVO_STATUS_NOT_POSSIBLE, TARVO_STREAM_DOWN},
        {TARVO_STREAM_CMD_PREPARE, TARVO_STATUS_NOT_POSSIBLE, TARVO_STREAM_DOWN},
        {TARVO_STREAM_CMD_HALT, TARVO_STATUS_NOT_POSSIBLE, TARVO_STREAM_DOWN},
        {TARVO_STREAM_CMD_RECOVER, TARVO_STATUS_NOT_POSSIBLE, TARVO_STREAM_DOWN},
        {TARVO_STREAM_CMD_POWER_UP, TARVO_STATUS_SUCCESS, TARVO_STREAM_READY},
        {TARVO_STREAM_CMD_POWER_UP, TARVO_STATUS_NOT_POSSIBLE, TARVO_STREAM_READY},
        {TARVO_STREAM_CMD_PREPARE, TARVO_STATUS_NOT_POSSIBLE, TARVO_STREAM_READY},  // no users yet
        {TARVO_STREAM_CMD_RUN, TARVO_STATUS_NOT_POSSIBLE, TARVO_STREAM_READY},
        {0, TARVO_STATUS_INVALID_COMMAND, TARVO_STREAM_READY},
        {7, TARVO_STATUS_INVALID_COMMAND, TARVO_STREAM_READY},
    };
    for (const Step& step : steps) {
        EXPECT_EQ(step.status, driver.StreamingCommand(step.command, 0)) << "command " << step.command;
        EXPECT_EQ(step.stateAfter, State()) << "after command " << step.command;
    }
    SetUsers(1);
    const Step up[] = {
        {TARVO_STREAM_CMD_PREPARE, TARVO_STATUS_SUCCESS, TARVO_STREAM_PREPARED},
        {TARVO_STREAM_CMD_POWER_DOWN, TARVO_STATUS_NOT_POSSIBLE, TARVO_STREAM_PREPARED},
        {TARVO_STREAM_CMD_RUN, TARVO_STATUS_SUCCESS, TARVO_STREAM_RUNNING},
        {TARVO_STREAM_CMD_RUN, TARVO_STATUS_NOT_POSSIBLE, TARVO_STREAM_RUNNING},
        {TARVO_STREAM_CMD_HALT, TARVO_STATUS_SUCCESS, TARVO_STREAM_READY},
        {TARVO_STREAM_CMD_POWER_DOWN, TARVO_STATUS_SUCCESS, TARVO_STREAM_DOWN},
    };
    for (const Step& step : up) {
        EXPECT_EQ(step.status, driver.StreamingCommand(step.command, 0)) << "command " << step.command;
        EXPECT_EQ(step.stateAfter, State()) << "after command " << step.command;
    }
}

TEST_F(StreamingTest, ErrorAndNotSupportedAreLeftWithRecover)
{
    SetUsers(1);
    ASSERT_EQ(TARVO_STATUS_SUCCESS, driver.StreamingCommand(TARVO_STREAM_CMD_POWER_UP, 0));
    ASSERT_EQ(TARVO_STATUS_SUCCESS, driver.StreamingCommand(TARVO_STREAM_CMD_PREPARE, 0));
    ASSERT_EQ(TARVO_STATUS_SUCCESS, driver.StreamingCommand(TARVO_STREAM_CMD_RUN, 0));
    ASSERT_EQ(TARVO_STATUS_SUCCESS, sim.RaiseErrors(TarvoErrorCounters{1, 2, 0, 0, 3}));
    EXPECT_EQ(TARVO_STREAM_ERROR, State());
    TarvoErrorCounters errors = {};
    ASSERT_EQ(TARVO_STATUS_SUCCESS, driver.GetErrorCounters(errors));
    EXPECT_EQ(1u, errors.streaming);
    EXPECT_EQ(2u, errors.fifo);
    EXPECT_EQ(3u, errors.wdmMidi);
    EXPECT_EQ(TARVO_STATUS_NOT_POSSIBLE, driver.StreamingCommand(TARVO_STREAM_CMD_HALT, 0));
    ASSERT_EQ(TARVO_STATUS_SUCCESS, driver.StreamingCommand(TARVO_STREAM_CMD_RECOVER, 0));
    EXPECT_EQ(TARVO_STREAM_DOWN, State());

    // A full-speed device among the streaming ones: streaming is not supported.
    SimPlugRecord slow = SimControl::PlugRecord(L"SLOW");
    slow.options = SIM_PLUG_FLAGS_GIVEN;
    slow.flags = 0;
    ASSERT_EQ(TARVO_STATUS_SUCCESS, sim.Plug(slow));
    ASSERT_EQ(TARVO_STATUS_SUCCESS, driver.StreamingCommand(TARVO_STREAM_CMD_POWER_UP, 1));
    EXPECT_EQ(TARVO_STREAM_NOT_SUPPORTED, State());
    ASSERT_EQ(TARVO_STATUS_SUCCESS, driver.StreamingCommand(TARVO_STREAM_CMD_RECOVER, 0));
    EXPECT_EQ(TARVO_STREAM_DOWN, State());
    // Streaming only the high-speed device works.
    ASSERT_EQ(TARVO_STATUS_SUCCESS,
              driver.SetStreamingDevice(TarvoStreamingDeviceRecord{0, deviceKey.key0, deviceKey.key1}));
    ASSERT_EQ(TARVO_STATUS_SUCCESS, driver.StreamingCommand(TARVO_STREAM_CMD_POWER_UP, 1));
    EXPECT_EQ(TARVO_STREAM_READY, State());
}

TEST_F(StreamingTest, PowerUpWithoutDevicesIsRefused)
{
    ASSERT_EQ(TARVO_STATUS_SUCCESS, sim.UnplugAll());
    EXPECT_EQ(TARVO_STATUS_NO_DEVICES, driver.StreamingCommand(TARVO_STREAM_CMD_POWER_UP, 0));
    EXPECT_EQ(TARVO_STREAM_DOWN, State());
}

TEST_F(StreamingTest, SampleRatesIncludeBothDsdRates)
{
    TarvoSampleRates rates = {};
    ASSERT_EQ(TARVO_STATUS_SUCCESS, driver.GetSampleRates(rates));
    ASSERT_LE(rates.count, TARVO_MAX_SAMPLE_RATES);
    bool dsd64 = false, dsd128 = false, current = false;
    for (uint32_t i = 0; i < rates.count; ++i) {
        dsd64 = dsd64 || rates.rates[i] == TARVO_RATE_DSD64;
        dsd128 = dsd128 || rates.rates[i] == TARVO_RATE_DSD128;
        current = current || rates.rates[i] == rates.currentRate;
    }
    EXPECT_TRUE(dsd64);
    EXPECT_TRUE(dsd128);
    EXPECT_TRUE(current);
    EXPECT_FALSE(TarvoIsDsdRate(rates.currentRate));

    ASSERT_EQ(TARVO_STATUS_SUCCESS, driver.SetSampleRate(TARVO_RATE_DSD128));
    ASSERT_EQ(TARVO_STATUS_SUCCESS, driver.GetSampleRates(rates));
    EXPECT_EQ(TARVO_RATE_DSD128, rates.currentRate);
    EXPECT_TRUE(TarvoIsDsdRate(rates.currentRate));
    TarvoStreamingStatus status = {};
    ASSERT_EQ(TARVO_STATUS_SUCCESS, driver.GetStreamingStatus(status));
    EXPECT_EQ(TARVO_RATE_DSD128, status.sampleRate);
}

TEST_F(StreamingTest, SetSampleRateOnlyInDownAndOnlyOfferedRates)
{
    EXPECT_EQ(TARVO_STATUS_UNSUPPORTED_SAMPLE_RATE, driver.SetSampleRate(12345));
    EXPECT_EQ(TARVO_STATUS_UNSUPPORTED_SAMPLE_RATE, driver.SelectSampleRate(0));
    ASSERT_EQ(TARVO_STATUS_SUCCESS, driver.SelectSampleRate(96000));
    ASSERT_EQ(TARVO_STATUS_SUCCESS, driver.StreamingCommand(TARVO_STREAM_CMD_POWER_UP, 0));
    EXPECT_EQ(TARVO_STATUS_NOT_POSSIBLE, driver.SetSampleRate(96000));
    EXPECT_EQ(TARVO_STATUS_NOT_POSSIBLE, driver.SetBufferSizes(TarvoBufferSizeSettings{0, 0, 1}));
    EXPECT_EQ(TARVO_STATUS_NOT_POSSIBLE, driver.SetStreamingDevice(TarvoStreamingDeviceRecord{1, 0, 0}));
    TarvoSampleRates rates = {};
    ASSERT_EQ(TARVO_STATUS_SUCCESS, driver.GetSampleRates(rates));
    EXPECT_EQ(48000u, rates.currentRate);
    ASSERT_EQ(TARVO_STATUS_SUCCESS, driver.StreamingCommand(TARVO_STREAM_CMD_POWER_DOWN, 0));
    ASSERT_EQ(TARVO_STATUS_SUCCESS, driver.SetSampleRate(96000));
    SimStateRecord state;
    ASSERT_EQ(TARVO_STATUS_SUCCESS, sim.GetState(state));
    EXPECT_EQ(96000u, state.status.sampleRate);
    EXPECT_EQ(96000u, state.selectedRate);
}

// Latency = buffer samples / rate; the sample count doubles with each rate family, so the
// time stays the same across 48, 96 and 192 kHz.
TEST_F(StreamingTest, LatenciesDependOnClassAndRate)
{
    struct Case {
        uint32_t rate;
        TarvoBufferSizeSettings settings;
        uint32_t streamingUs;
        uint32_t asioUs;
        uint32_t asioSamples;
    };
    const Case cases[] = {
        {48000, {2, 1, 1}, 2666, 2666, 128},
        {48000, {0, 0, 1}, 666, 1333, 64},
        {48000, {5, 3, 7}, 21333, 10666, 512},
        {44100, {2, 1, 1}, 2902, 2902, 128},
        {96000, {2, 1, 1}, 2666, 2666, 256},
        {TARVO_RATE_DSD64, {3, 2, 1}, 5804, 5804, 16384},
    };
    for (const Case& c : cases) {
        ASSERT_EQ(TARVO_STATUS_SUCCESS, driver.SetSampleRate(c.rate));
        ASSERT_EQ(TARVO_STATUS_SUCCESS, driver.SetBufferSizes(c.settings));
        TarvoBufferSizes sizes = {};
        ASSERT_EQ(TARVO_STATUS_SUCCESS, driver.GetBufferSizes(sizes));
        EXPECT_EQ(c.settings.streamingClass, sizes.settings.streamingClass);
        EXPECT_EQ(c.settings.asioClass, sizes.settings.asioClass);
        EXPECT_EQ(c.settings.thirdSetting, sizes.settings.thirdSetting);
        EXPECT_EQ(c.streamingUs, sizes.streamingLatencyUs) << c.rate;
        EXPECT_EQ(c.asioUs, sizes.asioLatencyUs) << c.rate;
        EXPECT_EQ(c.asioSamples, sizes.asioLengthSamples) << c.rate;
    }
    EXPECT_EQ(TARVO_STATUS_INVALID_PARAMETER, driver.SetBufferSizes(TarvoBufferSizeSettings{6, 0, 0}));
    EXPECT_EQ(TARVO_STATUS_INVALID_PARAMETER, driver.SetBufferSizes(TarvoBufferSizeSettings{0, 4, 0}));
}

TEST_F(StreamingTest, UserCountersAndPolicyAreReported)
{
    const SimUsersRecord users = {{1, 2, 3, 4, 5}};
    ASSERT_EQ(TARVO_STATUS_SUCCESS, sim.SetUsers(users));
    TarvoStreamingStatus status = {};
    ASSERT_EQ(TARVO_STATUS_SUCCESS, driver.GetStreamingStatus(status));
    EXPECT_EQ(1u, status.userCount1);
    EXPECT_EQ(2u, status.userCount2);
    EXPECT_EQ(3u, status.userCount3);
    EXPECT_EQ(4u, status.userCount4);
    EXPECT_EQ(5u, status.userCount5);
    EXPECT_EQ(1u, status.mode);
    ASSERT_EQ(TARVO_STATUS_SUCCESS, driver.SetPolicy(TarvoPolicy{0x80000001u}));
    TarvoPolicy policy = {};
    ASSERT_EQ(TARVO_STATUS_SUCCESS, driver.GetPolicy(policy));
    EXPECT_EQ(0x80000001u, policy.flags);
}

// Only userCount3 set: no user of the stream, so PREPARE is refused.
TEST_F(StreamingTest, UserCount3AloneIsNoUser)
{
    const SimUsersRecord users = {{0, 0, 1, 0, 0}};
    ASSERT_EQ(TARVO_STATUS_SUCCESS, sim.SetUsers(users));
    ASSERT_EQ(TARVO_STATUS_SUCCESS, driver.StreamingCommand(TARVO_STREAM_CMD_POWER_UP, 0));
    EXPECT_EQ(TARVO_STATUS_NOT_POSSIBLE, driver.StreamingCommand(TARVO_STREAM_CMD_PREPARE, 0));
    const SimUsersRecord player = {{0, 0, 0, 0, 1}};
    ASSERT_EQ(TARVO_STATUS_SUCCESS, sim.SetUsers(player));
    EXPECT_EQ(TARVO_STATUS_SUCCESS, driver.StreamingCommand(TARVO_STREAM_CMD_PREPARE, 0));
}

TEST_F(StreamingTest, StreamingDeviceSelectionMovesFlagBit16)
{
    TarvoDeviceKey second = {};
    ASSERT_EQ(TARVO_STATUS_SUCCESS, sim.Plug(SimControl::PlugRecord(L"S2"), &second));
    ASSERT_EQ(TARVO_STATUS_SUCCESS, driver.SetStreamingDevice(TarvoStreamingDeviceRecord{0, second.key0, second.key1}));
    TarvoDeviceList list;
    ASSERT_EQ(TARVO_STATUS_SUCCESS, driver.GetDeviceList(list));
    EXPECT_EQ(0u, list.entries[0].flags & TARVO_DEVICE_FLAG_STREAMING);
    EXPECT_NE(0u, list.entries[1].flags & TARVO_DEVICE_FLAG_STREAMING);
    TarvoStreamingStatus status = {};
    ASSERT_EQ(TARVO_STATUS_SUCCESS, driver.GetStreamingStatus(status));
    EXPECT_EQ(0u, status.mode);
    EXPECT_EQ(TARVO_STATUS_NO_DEVICE,
              driver.SetStreamingDevice(TarvoStreamingDeviceRecord{0, second.key0 + 99, second.key1}));
    EXPECT_EQ(TARVO_STATUS_INVALID_PARAMETER, driver.SetStreamingDevice(TarvoStreamingDeviceRecord{2, 0, 0}));
}

// The channel lists span all devices; each id leads to its owner and name.
TEST_F(StreamingTest, ChannelListsAcrossDevices)
{
    SimPlugRecord record = SimControl::PlugRecord(L"S2");
    record.options = SIM_PLUG_CHANNELS_GIVEN;
    record.inputChannels = 3;
    record.outputChannels = 0;
    TarvoDeviceKey second = {};
    ASSERT_EQ(TARVO_STATUS_SUCCESS, sim.Plug(record, &second));
    TarvoChannelList inputs = {}, outputs = {};
    ASSERT_EQ(TARVO_STATUS_SUCCESS, driver.GetInputChannels(inputs));
    ASSERT_EQ(TARVO_STATUS_SUCCESS, driver.GetOutputChannels(outputs));
    EXPECT_EQ(8u + 3u, inputs.count);
    EXPECT_EQ(8u, outputs.count);
    TarvoChannelInfo info = {};
    ASSERT_EQ(TARVO_STATUS_SUCCESS, driver.GetChannelInfo(inputs.channels[10].word0, inputs.channels[10].word1, info));
    EXPECT_EQ(second.key0, info.key0);
    EXPECT_EQ(second.key1, info.key1);
    EXPECT_STREQ(L"Analog In 3", info.name);
    ASSERT_EQ(TARVO_STATUS_SUCCESS, driver.GetChannelInfo(outputs.channels[0].word0, outputs.channels[0].word1, info));
    EXPECT_EQ(deviceKey.key0, info.key0);
    EXPECT_STREQ(L"Analog Out 1", info.name);
    // A channel of an unplugged device is gone.
    const TarvoChannelId gone = inputs.channels[10];
    ASSERT_EQ(TARVO_STATUS_SUCCESS, sim.Unplug(L"S2"));
    TarvoChannelInfo untouched = {};
    untouched.key0 = 0xABCD;
    EXPECT_EQ(TARVO_STATUS_OBJECT_NOT_FOUND, driver.GetChannelInfo(gone.word0, gone.word1, untouched));
    EXPECT_EQ(0xABCDu, untouched.key0);
}

// Four devices of 32 inputs make 128 channels; the list holds 96.
TEST_F(StreamingTest, ChannelListStopsAtItsCapacity)
{
    ASSERT_EQ(TARVO_STATUS_SUCCESS, sim.UnplugAll());
    for (const wchar_t* serial : {L"W1", L"W2", L"W3", L"W4"}) {
        SimPlugRecord record = SimControl::PlugRecord(serial);
        record.options = SIM_PLUG_CHANNELS_GIVEN;
        record.inputChannels = SIM_MAX_DEVICE_CHANNELS;
        ASSERT_EQ(TARVO_STATUS_SUCCESS, sim.Plug(record));
    }
    TarvoChannelList inputs = {};
    ASSERT_EQ(TARVO_STATUS_SUCCESS, driver.GetInputChannels(inputs));
    EXPECT_EQ(TARVO_MAX_CHANNELS, inputs.count);
}

}  // namespace
