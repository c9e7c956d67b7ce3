// The common streaming state of the simulated driver: the state machine stepped by the
// streaming commands, sample rates, buffer size classes with their latencies, the user
// counters the test interface sets, error counters, policy, the streaming selection, and
// the log of streaming commands and set requests. README.md ("Streaming") documents the
// choices.
#include "SimLogic.h"

#include "SimBytes.h"

namespace {

constexpr uint32_t kOfferedRates[SIM_OFFERED_RATE_COUNT] = {
    44100, 48000, 88200, 96000, 176400, 192000, 352800, 384000, TARVO_RATE_DSD64, TARVO_RATE_DSD128};
constexpr uint32_t kDefaultRate = 48000;
// Buffer lengths in samples at 44.1/48 kHz, per class; higher rates scale them.
constexpr uint32_t kStreamingSamples[] = {32, 64, 128, 256, 512, 1024};
constexpr uint32_t kAsioSamples[] = {64, 128, 256, 512};
constexpr uint32_t kStreamingClassCount = sizeof(kStreamingSamples) / sizeof(kStreamingSamples[0]);
constexpr uint32_t kAsioClassCount = sizeof(kAsioSamples) / sizeof(kAsioSamples[0]);
constexpr TarvoBufferSizeSettings kDefaultBuffers = {2, 1, 1};

bool IsOfferedRate(uint32_t rate)
{
    for (uint32_t offered : kOfferedRates)
        if (offered == rate)
            return true;
    return false;
}

// Buffers hold about the same time at every rate: the sample count grows with the rate.
uint32_t RateMultiplier(uint32_t rate)
{
    if (rate <= 48000)
        return 1;
    if (rate <= 96000)
        return 2;
    if (rate <= 192000)
        return 4;
    if (rate <= 384000)
        return 8;
    return rate == TARVO_RATE_DSD64 ? 64 : 128;
}

uint32_t LatencyUs(uint32_t samples, uint32_t rate)
{
    return rate != 0 ? static_cast<uint32_t>(static_cast<uint64_t>(samples) * 1000000u / rate) : 0;
}

}  // namespace

void SimLogic::ResetStreaming()
{
    ZeroBytes(&streaming, sizeof(streaming));
    streaming.status.state = TARVO_STREAM_DOWN;
    streaming.status.mode = 1;  // all devices stream together
    streaming.status.sampleRate = kDefaultRate;
    streaming.buffers = kDefaultBuffers;
    RefreshStreamingFlags();
}

// Flag bit 16 of every entry follows the streaming selection: all devices in mode 1, the
// picked one in mode 0.
void SimLogic::RefreshStreamingFlags()
{
    for (uint32_t i = 0; i < deviceCount; ++i) {
        TarvoDeviceEntry& entry = devices[i].summary.entry;
        const bool selected = streaming.status.mode == 1 ||
                              (entry.key0 == streaming.streamingKey0 && entry.key1 == streaming.streamingKey1);
        entry.flags = selected ? entry.flags | TARVO_DEVICE_FLAG_STREAMING : entry.flags & ~TARVO_DEVICE_FLAG_STREAMING;
    }
}

uint32_t SimLogic::StreamUsers() const
{
    const TarvoStreamingStatus& s = streaming.status;
    return s.userCount1 + s.userCount2 + s.userCount4 + s.userCount5;
}

// Appends a received request to the bounded log (the oldest entry goes when it is full)
// and passes its status on.
TarvoStatus SimLogic::Logged(Request& request, uint32_t code, TarvoStatus status)
{
    SimLogRecord& log = streaming.log;
    if (log.count == SIM_MAX_LOG_ENTRIES) {
        for (uint32_t i = 1; i < SIM_MAX_LOG_ENTRIES; ++i)
            log.entries[i - 1] = log.entries[i];
        --log.count;
        ++log.dropped;
    }
    SimLogEntry& entry = log.entries[log.count++];
    ZeroBytes(&entry, sizeof(entry));
    entry.sequence = ++streaming.logSequence;
    entry.code = code;
    entry.connectionId = request.connection.id;
    const SimDevice* device = FindDeviceByPlugId(request.connection.boundDevice);
    entry.deviceKey0 = device != nullptr && request.connection.boundDevice != 0 ? device->summary.entry.key0 : 0;
    entry.status = status;
    entry.inSize = request.inSize;
    CopyBytes(entry.data, request.in, request.inSize < SIM_LOG_DATA_BYTES ? request.inSize : SIM_LOG_DATA_BYTES);
    return status;
}

// ---- information ----

TarvoStatus SimLogic::OnGetSampleRates(Request& request)
{
    TarvoSampleRates rates;
    ZeroBytes(&rates, sizeof(rates));
    rates.currentRate = streaming.status.sampleRate;
    rates.count = SIM_OFFERED_RATE_COUNT;
    for (uint32_t i = 0; i < SIM_OFFERED_RATE_COUNT; ++i)
        rates.rates[i] = kOfferedRates[i];
    WriteRecord(request.out, rates);
    request.written = sizeof(rates);
    return TARVO_STATUS_SUCCESS;
}

TarvoStatus SimLogic::OnGetBufferSizes(Request& request)
{
    TarvoBufferSizes sizes;
    ZeroBytes(&sizes, sizeof(sizes));
    sizes.settings = streaming.buffers;
    const uint32_t rate = streaming.status.sampleRate;
    const uint32_t multiplier = RateMultiplier(rate);
    const uint32_t streamingSamples = kStreamingSamples[streaming.buffers.streamingClass] * multiplier;
    const uint32_t asioSamples = kAsioSamples[streaming.buffers.asioClass] * multiplier;
    sizes.streamingLatencyUs = LatencyUs(streamingSamples, rate);
    sizes.asioLatencyUs = LatencyUs(asioSamples, rate);
    sizes.asioLengthSamples = asioSamples;
    WriteRecord(request.out, sizes);
    request.written = sizeof(sizes);
    return TARVO_STATUS_SUCCESS;
}

TarvoStatus SimLogic::OnGetStreamingStatus(Request& request)
{
    WriteRecord(request.out, streaming.status);
    request.written = sizeof(TarvoStreamingStatus);
    return TARVO_STATUS_SUCCESS;
}

TarvoStatus SimLogic::OnGetErrorCounters(Request& request)
{
    WriteRecord(request.out, streaming.errors);
    request.written = sizeof(TarvoErrorCounters);
    return TARVO_STATUS_SUCCESS;
}

TarvoStatus SimLogic::OnGetPolicy(Request& request)
{
    const TarvoPolicy policy = {streaming.policy};
    WriteRecord(request.out, policy);
    request.written = sizeof(policy);
    return TARVO_STATUS_SUCCESS;
}

// ---- control ----

// One step of the state machine; a command that makes no sense in the current state is
// refused with NOT_POSSIBLE and changes nothing.
TarvoStatus SimLogic::OnStreamingCommand(Request& request)
{
    const TarvoStreamingCommandRecord record = ReadRecord<TarvoStreamingCommandRecord>(request.in);
    uint32_t& state = streaming.status.state;
    TarvoStatus status = TARVO_STATUS_SUCCESS;
    switch (record.command) {
    case TARVO_STREAM_CMD_RECOVER:
        if (state == TARVO_STREAM_ERROR || state == TARVO_STREAM_NOT_SUPPORTED)
            state = TARVO_STREAM_DOWN;
        else
            status = TARVO_STATUS_NOT_POSSIBLE;
        break;
    case TARVO_STREAM_CMD_POWER_UP:
        if (state != TARVO_STREAM_DOWN) {
            status = TARVO_STATUS_NOT_POSSIBLE;
        } else if (deviceCount == 0) {
            status = TARVO_STATUS_NO_DEVICES;
        } else {
            // Streaming needs high speed on every device that streams.
            bool fullSpeed = false;
            bool anySelected = false;
            for (uint32_t i = 0; i < deviceCount; ++i) {
                const uint32_t flags = devices[i].summary.entry.flags;
                if ((flags & TARVO_DEVICE_FLAG_STREAMING) == 0)
                    continue;
                anySelected = true;
                if ((flags & TARVO_DEVICE_FLAG_HIGH_SPEED) == 0)
                    fullSpeed = true;
            }
            if (!anySelected)
                status = TARVO_STATUS_NO_STREAMING_DEVICE;
            else
                state = fullSpeed ? TARVO_STREAM_NOT_SUPPORTED : TARVO_STREAM_READY;
        }
        break;
    case TARVO_STREAM_CMD_POWER_DOWN:
        if (state == TARVO_STREAM_READY)
            state = TARVO_STREAM_DOWN;
        else
            status = TARVO_STATUS_NOT_POSSIBLE;
        break;
    case TARVO_STREAM_CMD_PREPARE:
        if (state == TARVO_STREAM_READY && StreamUsers() != 0)
            state = TARVO_STREAM_PREPARED;
        else
            status = TARVO_STATUS_NOT_POSSIBLE;
        break;
    case TARVO_STREAM_CMD_RUN:
        if (state == TARVO_STREAM_PREPARED)
            state = TARVO_STREAM_RUNNING;
        else
            status = TARVO_STATUS_NOT_POSSIBLE;
        break;
    case TARVO_STREAM_CMD_HALT:
        if (state == TARVO_STREAM_PREPARED || state == TARVO_STREAM_RUNNING)
            state = TARVO_STREAM_READY;
        else
            status = TARVO_STATUS_NOT_POSSIBLE;
        break;
    default:
        status = TARVO_STATUS_INVALID_COMMAND;
        break;
    }
    return Logged(request, TARVO_IOCTL_STREAMING_COMMAND, status);
}

TarvoStatus SimLogic::OnSetSampleRate(Request& request)
{
    const TarvoSampleRateRecord record = ReadRecord<TarvoSampleRateRecord>(request.in);
    TarvoStatus status = TARVO_STATUS_SUCCESS;
    if (!IsOfferedRate(record.rate))
        status = TARVO_STATUS_UNSUPPORTED_SAMPLE_RATE;
    else if (streaming.status.state != TARVO_STREAM_DOWN)
        status = TARVO_STATUS_NOT_POSSIBLE;
    if (status == TARVO_STATUS_SUCCESS && record.rate != streaming.status.sampleRate) {
        streaming.status.sampleRate = record.rate;
        NotifyDriverChange(TARVO_NOTIFY_STREAM_SETTINGS_CHANGED, nullptr);
    }
    return Logged(request, TARVO_IOCTL_SET_SAMPLE_RATE, status);
}

// An announcement: remembered, nothing changes yet.
TarvoStatus SimLogic::OnSelectSampleRate(Request& request)
{
    const TarvoSampleRateRecord record = ReadRecord<TarvoSampleRateRecord>(request.in);
    TarvoStatus status = TARVO_STATUS_SUCCESS;
    if (!IsOfferedRate(record.rate))
        status = TARVO_STATUS_UNSUPPORTED_SAMPLE_RATE;
    else
        streaming.selectedRate = record.rate;
    return Logged(request, TARVO_IOCTL_SELECT_SAMPLE_RATE, status);
}

TarvoStatus SimLogic::OnSetBufferSizes(Request& request)
{
    const TarvoBufferSizeSettings record = ReadRecord<TarvoBufferSizeSettings>(request.in);
    TarvoStatus status = TARVO_STATUS_SUCCESS;
    if (record.streamingClass >= kStreamingClassCount || record.asioClass >= kAsioClassCount)
        status = TARVO_STATUS_INVALID_PARAMETER;
    else if (streaming.status.state != TARVO_STREAM_DOWN)
        status = TARVO_STATUS_NOT_POSSIBLE;
    if (status == TARVO_STATUS_SUCCESS) {
        streaming.buffers = record;
        NotifyDriverChange(TARVO_NOTIFY_STREAM_SETTINGS_CHANGED, nullptr);
    }
    return Logged(request, TARVO_IOCTL_SET_BUFFER_SIZES, status);
}

TarvoStatus SimLogic::OnSetPolicy(Request& request)
{
    streaming.policy = ReadRecord<TarvoPolicy>(request.in).flags;
    return Logged(request, TARVO_IOCTL_SET_POLICY, TARVO_STATUS_SUCCESS);
}

TarvoStatus SimLogic::OnSetStreamingDevice(Request& request)
{
    const TarvoStreamingDeviceRecord record = ReadRecord<TarvoStreamingDeviceRecord>(request.in);
    TarvoStatus status = TARVO_STATUS_SUCCESS;
    if (record.allDevices > 1)
        status = TARVO_STATUS_INVALID_PARAMETER;
    else if (streaming.status.state != TARVO_STREAM_DOWN)
        status = TARVO_STATUS_NOT_POSSIBLE;
    else if (record.allDevices == 0 && (record.key0 != 0 || record.key1 != 0) &&
             FindDeviceByKey(record.key0, record.key1) == nullptr)
        status = TARVO_STATUS_NO_DEVICE;
    if (status == TARVO_STATUS_SUCCESS) {
        streaming.status.mode = record.allDevices;
        streaming.streamingKey0 = record.allDevices != 0 ? 0 : record.key0;
        streaming.streamingKey1 = record.allDevices != 0 ? 0 : record.key1;
        RefreshStreamingFlags();
        NotifyDriverChange(TARVO_NOTIFY_DEVICES_CHANGED, nullptr);  // the entries' flags changed
    }
    return Logged(request, TARVO_IOCTL_SET_STREAMING_DEVICE, status);
}

// ---- test interface ----

TarvoStatus SimLogic::OnSimSetUsers(Request& request)
{
    const SimUsersRecord record = ReadRecord<SimUsersRecord>(request.in);
    const bool hadUsers = StreamUsers() != 0;
    TarvoStreamingStatus& s = streaming.status;
    s.userCount1 = record.counts[0];
    s.userCount2 = record.counts[1];
    s.userCount3 = record.counts[2];
    s.userCount4 = record.counts[3];
    s.userCount5 = record.counts[4];
    const bool hasUsers = StreamUsers() != 0;
    if (!hadUsers && hasUsers)
        NotifyDriverChange(TARVO_NOTIFY_STREAM_WANTED, nullptr);
    else if (hadUsers && !hasUsers)
        NotifyDriverChange(TARVO_NOTIFY_STREAM_RELEASED, nullptr);
    return TARVO_STATUS_SUCCESS;
}

TarvoStatus SimLogic::OnSimRaiseErrors(Request& request)
{
    const TarvoErrorCounters record = ReadRecord<TarvoErrorCounters>(request.in);
    streaming.errors.streaming += record.streaming;
    streaming.errors.fifo += record.fifo;
    streaming.errors.asio += record.asio;
    streaming.errors.wdmAudio += record.wdmAudio;
    streaming.errors.wdmMidi += record.wdmMidi;
    uint32_t& state = streaming.status.state;
    if (record.streaming != 0 && (state == TARVO_STREAM_PREPARED || state == TARVO_STREAM_RUNNING))
        state = TARVO_STREAM_ERROR;
    return TARVO_STATUS_SUCCESS;
}

TarvoStatus SimLogic::OnSimGetLog(Request& request)
{
    CopyBytes(request.out, &streaming.log, sizeof(SimLogRecord));
    request.written = sizeof(SimLogRecord);
    return TARVO_STATUS_SUCCESS;
}
