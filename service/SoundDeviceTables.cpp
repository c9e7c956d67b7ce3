#include "SoundDeviceTables.h"

#include <cstring>

#include "WnText.h"

namespace {

bool AnyType2(const TarvoChannelGroupItem (&items)[TARVO_CHANNEL_GROUP_ITEMS])
{
    for (const TarvoChannelGroupItem& item : items)
        if (item.type == 2)
            return true;
    return false;
}

void AppendChannel(uint32_t& count, TarvoWdmChannelEntry* entries, uint32_t kind, uint32_t channel,
                   const wchar_t* format)
{
    if (count >= TARVO_WDM_TABLE_ENTRIES)
        return;
    TarvoWdmChannelEntry& entry = entries[count++];
    entry.kind = kind;
    entry.pairNumber = channel / 2;
    entry.side = channel % 2;
    (void)FormatText(entry.name, TARVO_WDM_NAME_CHARS, format, channel + 1);
}

void AppendPair(uint32_t& count, TarvoWdmPinEntry* entries, uint32_t kind, uint32_t pair, const wchar_t* format)
{
    if (count >= TARVO_WDM_TABLE_ENTRIES)
        return;
    TarvoWdmPinEntry& entry = entries[count];
    entry.kind = kind;
    entry.pairCount = 1;
    entry.pairs[0] = pair;
    entry.stateWord = 0;
    const bool hardware = kind == TARVO_WDM_KIND_HARDWARE;
    entry.hardwareWord = hardware ? VKN_HARDWARE_ENTRY_WORD : 0;
    (void)FormatText(entry.name, TARVO_WDM_NAME_CHARS, format, 2 * pair + 1, 2 * pair + 2);
    entry.index = count;
    entry.levelWord = hardware ? VKN_LEVEL_WORD_HARDWARE : 0;
    ++count;
}

}  // namespace

bool HasChannelGroupType2(TarvoApiContext& device)
{
    TarvoChannelGroups groups;
    memset(&groups, 0, sizeof groups);
    if (device.GetChannelGroups(groups) != TARVO_STATUS_SUCCESS)
        return false;
    const uint32_t count = groups.count < TARVO_MAX_CHANNEL_GROUPS ? groups.count : TARVO_MAX_CHANNEL_GROUPS;
    for (uint32_t i = 0; i < count; ++i)
        if (AnyType2(groups.groups[i].firstItems) || AnyType2(groups.groups[i].secondItems))
            return true;
    return false;
}

void BuildChannelTable(bool withoutHardwareOutputs, bool withoutHardwareInputs, TarvoWdmChannels& table)
{
    memset(&table, 0, sizeof table);
    if (!withoutHardwareOutputs)
        for (uint32_t c = 0; c < VKN_HARDWARE_CHANNELS; ++c)
            AppendChannel(table.outputCount, table.outputs, TARVO_WDM_KIND_HARDWARE, c, L"VKN Out %u");
    if (!withoutHardwareInputs)
        for (uint32_t c = 0; c < VKN_HARDWARE_CHANNELS; ++c)
            AppendChannel(table.inputCount, table.inputs, TARVO_WDM_KIND_HARDWARE, c, L"VKN Analog In %u");
    for (uint32_t c = 0; c < 2; ++c)
        AppendChannel(table.inputCount, table.inputs, TARVO_WDM_KIND_VIRTUAL, c, L"VKN Virtual In %u");
}

void BuildSoundDeviceTable(uint32_t renderConfiguration, uint32_t captureConfiguration, TarvoWdmPins& table)
{
    memset(&table, 0, sizeof table);
    if (renderConfiguration == 0)
        for (uint32_t p = 0; p < VKN_HARDWARE_PAIRS; ++p)
            AppendPair(table.renderCount, table.render, TARVO_WDM_KIND_HARDWARE, p, L"VKN Out %u/%u");
    if (captureConfiguration == 0)
        for (uint32_t p = 0; p < VKN_HARDWARE_PAIRS; ++p)
            AppendPair(table.captureCount, table.capture, TARVO_WDM_KIND_HARDWARE, p, L"VKN Analog In %u/%u");
    AppendPair(table.captureCount, table.capture, TARVO_WDM_KIND_VIRTUAL, 0, L"VKN Virtual In %u/%u");
}

TarvoStatus SendChannelTable(TarvoApiContext& device)
{
    // Asked once per direction, as the driver's answer may change between the two.
    const bool withoutOutputs = HasChannelGroupType2(device);
    const bool withoutInputs = HasChannelGroupType2(device);
    TarvoWdmChannels table;
    BuildChannelTable(withoutOutputs, withoutInputs, table);
    return device.SetWdmChannels(table);
}

TarvoStatus SendSoundDeviceTable(TarvoApiContext& device, uint32_t renderConfiguration,
                                 uint32_t captureConfiguration, TarvoWdmPins& table)
{
    BuildSoundDeviceTable(renderConfiguration, captureConfiguration, table);
    return device.SetWdmPins(table);
}
