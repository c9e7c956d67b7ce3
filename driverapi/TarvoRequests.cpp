// The one-line wrappers of the control requests. Records with an output go through a
// copy on the stack, so the caller's record changes only when the request succeeded.
#include <cstring>

#include "TarvoApiContext.h"

namespace {

template <class Record>
TarvoStatus Fetch(TarvoApiContext& context, uint32_t code, const void* in, uint32_t inSize, Record& out)
{
    Record result;
    memcpy(&result, &out, sizeof result);  // bytes the driver does not write keep the caller's values
    const TarvoStatus status = context.DeviceControl(code, in, inSize, &result, sizeof result);
    if (status == TARVO_STATUS_SUCCESS)
        memcpy(&out, &result, sizeof result);
    return status;
}

template <class Record>
TarvoStatus Send(TarvoApiContext& context, uint32_t code, const Record& in)
{
    return context.DeviceControl(code, &in, sizeof in, nullptr, 0);
}

}  // namespace

TarvoStatus TarvoApiContext::GetInputChannels(TarvoChannelList& out)
{
    return Fetch(*this, TARVO_IOCTL_GET_INPUT_CHANNELS, nullptr, 0, out);
}

TarvoStatus TarvoApiContext::GetOutputChannels(TarvoChannelList& out)
{
    return Fetch(*this, TARVO_IOCTL_GET_OUTPUT_CHANNELS, nullptr, 0, out);
}

TarvoStatus TarvoApiContext::GetChannelInfo(uint32_t idWord0, uint32_t idWord1, TarvoChannelInfo& out)
{
    const TarvoChannelId id = {idWord0, idWord1};
    return Fetch(*this, TARVO_IOCTL_GET_CHANNEL_INFO, &id, sizeof id, out);
}

TarvoStatus TarvoApiContext::GetSampleRates(TarvoSampleRates& out)
{
    return Fetch(*this, TARVO_IOCTL_GET_SAMPLE_RATES, nullptr, 0, out);
}

TarvoStatus TarvoApiContext::GetBufferSizes(TarvoBufferSizes& out)
{
    return Fetch(*this, TARVO_IOCTL_GET_BUFFER_SIZES, nullptr, 0, out);
}

TarvoStatus TarvoApiContext::GetStreamingStatus(TarvoStreamingStatus& out)
{
    return Fetch(*this, TARVO_IOCTL_GET_STREAMING_STATUS, nullptr, 0, out);
}

TarvoStatus TarvoApiContext::GetErrorCounters(TarvoErrorCounters& out)
{
    return Fetch(*this, TARVO_IOCTL_GET_ERROR_COUNTERS, nullptr, 0, out);
}

TarvoStatus TarvoApiContext::GetPolicy(TarvoPolicy& out)
{
    return Fetch(*this, TARVO_IOCTL_GET_POLICY, nullptr, 0, out);
}

TarvoStatus TarvoApiContext::StreamingCommand(uint32_t command, uint32_t argument)
{
    return Send(*this, TARVO_IOCTL_STREAMING_COMMAND, TarvoStreamingCommandRecord{command, argument});
}

TarvoStatus TarvoApiContext::SelectSampleRate(uint32_t rate)
{
    return Send(*this, TARVO_IOCTL_SELECT_SAMPLE_RATE, TarvoSampleRateRecord{rate});
}

TarvoStatus TarvoApiContext::SetSampleRate(uint32_t rate)
{
    return Send(*this, TARVO_IOCTL_SET_SAMPLE_RATE, TarvoSampleRateRecord{rate});
}

TarvoStatus TarvoApiContext::SetBufferSizes(const TarvoBufferSizeSettings& settings)
{
    return Send(*this, TARVO_IOCTL_SET_BUFFER_SIZES, settings);
}

TarvoStatus TarvoApiContext::SetPolicy(const TarvoPolicy& policy)
{
    return Send(*this, TARVO_IOCTL_SET_POLICY, policy);
}

TarvoStatus TarvoApiContext::SetStreamingDevice(const TarvoStreamingDeviceRecord& record)
{
    return Send(*this, TARVO_IOCTL_SET_STREAMING_DEVICE, record);
}

TarvoStatus TarvoApiContext::GetSpdifStatus(uint32_t inputNumber, TarvoSpdifStatus& record)
{
    const TarvoSpdifStatus request = {inputNumber, 0, 0, 0};
    TarvoSpdifStatus result = request;
    const TarvoStatus status =
        DeviceControl(TARVO_IOCTL_GET_SPDIF_STATUS, &request, sizeof request, &result, sizeof result);
    if (status == TARVO_STATUS_SUCCESS)
        record = result;
    return status;
}

TarvoStatus TarvoApiContext::SetSpdifPassThrough(uint32_t selector1, uint32_t selector2, bool on)
{
    return Send(*this, TARVO_IOCTL_SET_SPDIF_PASS_THROUGH, TarvoSpdifPassThroughRecord{selector1, selector2, on ? 1u : 0u});
}

TarvoStatus TarvoApiContext::GetSpdifPassThrough(uint32_t selector1, uint32_t selector2, bool& on)
{
    const TarvoSpdifPassThroughRecord request = {selector1, selector2, 0};
    TarvoSpdifPassThroughRecord result = request;
    const TarvoStatus status =
        DeviceControl(TARVO_IOCTL_GET_SPDIF_PASS_THROUGH, &request, sizeof request, &result, sizeof result);
    if (status == TARVO_STATUS_SUCCESS)
        on = result.value != 0;
    return status;
}

TarvoStatus TarvoApiContext::SetVolumeBypass(uint8_t on)
{
    return Send(*this, TARVO_IOCTL_SET_VOLUME_BYPASS, on);
}

TarvoStatus TarvoApiContext::GetVolumeBypass(uint8_t& state)
{
    state = 0;
    return Fetch(*this, TARVO_IOCTL_GET_VOLUME_BYPASS, nullptr, 0, state);
}

TarvoStatus TarvoApiContext::SetMuteBypass(uint8_t on)
{
    return Send(*this, TARVO_IOCTL_SET_MUTE_BYPASS, on);
}

TarvoStatus TarvoApiContext::GetMuteBypass(uint8_t& state)
{
    state = 0;
    return Fetch(*this, TARVO_IOCTL_GET_MUTE_BYPASS, nullptr, 0, state);
}

TarvoStatus TarvoApiContext::GetMixerPins(uint32_t selector, TarvoPin* pins, uint32_t capacity, uint32_t& count)
{
    uint32_t bytes = 0;
    const TarvoStatus status = DeviceControl(TARVO_IOCTL_GET_MIXER_PINS, &selector, sizeof selector, pins,
                                             capacity * static_cast<uint32_t>(sizeof(TarvoPin)), &bytes);
    count = bytes / sizeof(TarvoPin);  // stored whatever the status
    return status;
}

namespace {

template <class Entry>
TarvoStatus InPlace(TarvoApiContext& context, uint32_t code, Entry* entries, uint32_t n)
{
    const uint32_t size = n * static_cast<uint32_t>(sizeof(Entry));
    return context.DeviceControl(code, entries, size, entries, size);
}

}  // namespace

TarvoStatus TarvoApiContext::GetInputLevels(TarvoLevelEntry* entries, uint32_t n)
{
    return InPlace(*this, TARVO_IOCTL_GET_INPUT_LEVELS, entries, n);
}

TarvoStatus TarvoApiContext::GetOutputLevels(TarvoLevelEntry* entries, uint32_t n)
{
    return InPlace(*this, TARVO_IOCTL_GET_OUTPUT_LEVELS, entries, n);
}

TarvoStatus TarvoApiContext::GetVolumes(TarvoVolumeEntry* entries, uint32_t n)
{
    return InPlace(*this, TARVO_IOCTL_GET_VOLUMES, entries, n);
}

TarvoStatus TarvoApiContext::SetVolumes(TarvoVolumeEntry* entries, uint32_t n)
{
    return InPlace(*this, TARVO_IOCTL_SET_VOLUMES, entries, n);
}

TarvoStatus TarvoApiContext::GetWeights(TarvoWeightEntry* entries, uint32_t n)
{
    return InPlace(*this, TARVO_IOCTL_GET_WEIGHTS, entries, n);
}

TarvoStatus TarvoApiContext::SetWeights(TarvoWeightEntry* entries, uint32_t n)
{
    return InPlace(*this, TARVO_IOCTL_SET_WEIGHTS, entries, n);
}

TarvoStatus TarvoApiContext::GetStoredVolumes(uint32_t table, uint32_t index, TarvoStoredVolumes& out)
{
    TarvoStoredVolumes request;
    memset(&request, 0, sizeof request);
    request.table = table;
    request.index = index;
    TarvoStoredVolumes result = request;
    const TarvoStatus status =
        DeviceControl(TARVO_IOCTL_GET_STORED_VOLUMES, &request, sizeof request, &result, sizeof result);
    if (status == TARVO_STATUS_SUCCESS)
        out = result;
    return status;
}

TarvoStatus TarvoApiContext::SetStoredVolumes(const TarvoStoredVolumes& record)
{
    return Send(*this, TARVO_IOCTL_SET_STORED_VOLUMES, record);
}

TarvoStatus TarvoApiContext::GetPluginParameters(TarvoPluginParameters& block, uint32_t size)
{
    if (size > sizeof block)
        return TARVO_STATUS_INVALID_LENGTH;
    return DeviceControl(TARVO_IOCTL_GET_PLUGIN_PARAMETERS, &block, size, &block, size);
}

TarvoStatus TarvoApiContext::SetPluginParameters(const TarvoPluginParameters& block, uint32_t size)
{
    if (size > sizeof block)
        return TARVO_STATUS_INVALID_LENGTH;
    return DeviceControl(TARVO_IOCTL_SET_PLUGIN_PARAMETERS, &block, size, nullptr, 0);
}

TarvoStatus TarvoApiContext::GetChannelGroups(TarvoChannelGroups& out)
{
    return Fetch(*this, TARVO_IOCTL_GET_CHANNEL_GROUPS, nullptr, 0, out);
}

TarvoStatus TarvoApiContext::SetRouting(const TarvoRoutingRecord& record)
{
    return Send(*this, TARVO_IOCTL_SET_ROUTING, record);
}

TarvoStatus TarvoApiContext::SetWdmChannels(const TarvoWdmChannels& record)
{
    return Send(*this, TARVO_IOCTL_SET_WDM_CHANNELS, record);
}

TarvoStatus TarvoApiContext::SetWdmPins(const TarvoWdmPins& record)
{
    return Send(*this, TARVO_IOCTL_SET_WDM_PINS, record);
}

TarvoStatus TarvoApiContext::SendC22(uint32_t group, uint32_t value)
{
    return Send(*this, TARVO_IOCTL_C22, TarvoGroupValueRecord{group, value});
}

TarvoStatus TarvoApiContext::SendC20(uint32_t group, uint32_t value)
{
    return Send(*this, TARVO_IOCTL_C20, TarvoGroupValueRecord{group, value});
}
