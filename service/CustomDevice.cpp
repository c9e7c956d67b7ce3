#include "CustomDevice.h"

#include <cstring>

#include "SoundDeviceTables.h"
#include "VolumeConversion.h"
#include "WnText.h"

namespace {

constexpr REGSAM kKeyAccess = KEY_READ | KEY_WRITE;
constexpr uint32_t kMaxPairsPerEntry = 8;  // 16 channels: what a stored volume record holds
constexpr uint32_t kSkippedStateWord = 2;

// The driver's pins of a render entry's channels: kind 0 for hardware entries, else 1.
void FillVolumePins(const TarvoWdmPinEntry& entry, uint32_t pairCount, TarvoVolumeEntry* volumes)
{
    const uint8_t kind = entry.kind == TARVO_WDM_KIND_HARDWARE ? 0 : 1;
    for (uint32_t p = 0; p < pairCount; ++p)
        for (uint32_t side = 0; side < 2; ++side) {
            TarvoVolumeEntry& volume = volumes[2 * p + side];
            memset(&volume, 0, sizeof volume);
            volume.pin.kind = kind;
            volume.pin.channel = static_cast<uint8_t>(2 * entry.pairs[p] + side);
        }
}

uint32_t PairsOf(const TarvoWdmPinEntry& entry)
{
    return entry.pairCount < kMaxPairsPerEntry ? entry.pairCount : kMaxPairsPerEntry;
}

uint32_t RenderCountOf(const TarvoWdmPins& table)
{
    return table.renderCount < TARVO_WDM_TABLE_ENTRIES ? table.renderCount : TARVO_WDM_TABLE_ENTRIES;
}

}  // namespace

CustomDevice::CustomDevice(const wchar_t* root, int32_t periodMs) : registryRoot(root), timerPeriodMs(periodMs)
{
    memset(&soundDeviceTable, 0, sizeof soundDeviceTable);
    timerForwarder.object = this;
    timerForwarder.function = &CustomDevice::OnTimer;
}

CustomDevice::~CustomDevice()
{
    // The timer's routine must not run once the object is gone; cancelling also drops a
    // routine already queued to the server thread.
    (void)timer.Cancel();
    timer.Close();
}

TarvoStatus CustomDevice::OnOpen()
{
    (void)LoadConfiguration();  // without the registry the configuration stays 0
    TarvoStatus status = SetupLoopback();
    if (status == TARVO_STATUS_SUCCESS)
        status = SendChannelTable();
    if (status == TARVO_STATUS_SUCCESS)
        status = SendSoundDeviceTable();
    if (status == TARVO_STATUS_SUCCESS)
        status = ApplyDeviceSettings();
    if (status != TARVO_STATUS_SUCCESS)
        return status;
    if (timer.Create(false) != 0 || timer.Set(timerPeriodMs, &timerForwarder, false) != 0)
        return TARVO_STATUS_FAILED;
    return TARVO_STATUS_SUCCESS;
}

// ---- registry ----

uint32_t CustomDevice::OpenRegistryKey(WnRegistryKey& deviceKey) const
{
    // The serial number names a key of its own: an empty one or one with a path
    // separator would name the "Devices" key itself or a key of another device.
    wchar_t name[TARVO_SERIAL_CHARS + 1];
    CopyText(name, GetRegistryKeyName(), TARVO_SERIAL_CHARS + 1);
    if (name[0] == L'\0' || wcschr(name, L'\\') != nullptr)
        return ERROR_INVALID_NAME;
    WnRegistryKey root;
    uint32_t error = root.Create(HKEY_LOCAL_MACHINE, registryRoot, kKeyAccess);
    if (error != 0)
        return error;
    WnRegistryKey devices;
    error = devices.Create(root.Get(), L"Devices", kKeyAccess);
    if (error != 0)
        return error;
    return deviceKey.Create(devices.Get(), name, kKeyAccess);
}

TarvoStatus CustomDevice::LoadConfiguration()
{
    WnRegistryKey key;
    const uint32_t error = OpenRegistryKey(key);
    if (error != 0)
        return error;
    // A missing or malformed value leaves its configuration as it is.
    (void)key.ReadDword(VKN_RENDER_CONFIGURATION_VALUE, renderConfiguration);
    (void)key.ReadDword(VKN_CAPTURE_CONFIGURATION_VALUE, captureConfiguration);
    return TARVO_STATUS_SUCCESS;
}

TarvoStatus CustomDevice::SaveConfiguration()
{
    WnRegistryKey key;
    const uint32_t error = OpenRegistryKey(key);
    if (error != 0)
        return error;
    (void)key.WriteDword(VKN_RENDER_CONFIGURATION_VALUE, renderConfiguration);
    (void)key.WriteDword(VKN_CAPTURE_CONFIGURATION_VALUE, captureConfiguration);
    return TARVO_STATUS_SUCCESS;
}

// ---- configuration sent at open ----

TarvoStatus CustomDevice::SetupLoopback()
{
    TarvoRoutingRecord routing;
    memset(&routing, 0, sizeof routing);
    routing.preset = 1;
    routing.value = 40;
    TarvoStatus status = SetRouting(routing);
    if (status != TARVO_STATUS_SUCCESS)
        return status;
    // The first software output pair goes at unity gain into the virtual input pair.
    TarvoWeightEntry weights[2];
    memset(weights, 0, sizeof weights);
    for (uint8_t k = 0; k < 2; ++k) {
        weights[k].outputPin.kind = TARVO_PIN_VIRTUAL;
        weights[k].outputPin.channel = k;
        weights[k].inputPin.kind = TARVO_PIN_OUT;
        weights[k].inputPin.channel = k;
        weights[k].weight = 0;
        weights[k].flags = TARVO_WEIGHT_FLAG_ON;
    }
    return SetWeights(weights, 2);
}

TarvoStatus CustomDevice::SendChannelTable()
{
    return ::SendChannelTable(*this);
}

TarvoStatus CustomDevice::SendSoundDeviceTable()
{
    return ::SendSoundDeviceTable(*this, renderConfiguration, captureConfiguration, soundDeviceTable);
}

TarvoStatus CustomDevice::ApplyDeviceSettings()
{
    TarvoStatus result = TARVO_STATUS_SUCCESS;
    const uint32_t groups[] = {0, 2};
    for (const uint32_t group : groups) {
        TarvoStatus status = SendC22(group, 0);
        if (status == TARVO_STATUS_SUCCESS)
            status = SendC20(group, 8);
        if (result == TARVO_STATUS_SUCCESS)
            result = status;
    }
    return result;
}

TarvoStatus CustomDevice::SetSoundDeviceConfiguration(const uint32_t (&record)[4])
{
    if (record[2] != 0 || record[3] != 0)
        return TARVO_STATUS_INVALID_PARAMETER;
    renderConfiguration = 0;
    captureConfiguration = 0;
    (void)SaveConfiguration();
    return SendSoundDeviceTable();
}

void CustomDevice::OnTimer(uint32_t, uint32_t)
{
}

// ---- streaming steps ----

TarvoStatus CustomDevice::BeforeTransition(uint32_t from, uint32_t to, uint32_t)
{
    uint32_t value = 0;
    if (to == TARVO_STREAM_READY && (from == TARVO_STREAM_PREPARED || from == TARVO_STREAM_RUNNING))
        value = 0;
    else if (to == TARVO_STREAM_RUNNING)
        value = 1;
    else
        return TARVO_STATUS_SUCCESS;
    // Both groups are always told; the first failure is the result.
    const TarvoStatus first = SendC22(0, value);
    const TarvoStatus second = SendC22(2, value);
    return first != TARVO_STATUS_SUCCESS ? first : second;
}

// ---- volumes ----

void CustomDevice::SaveVolumes()
{
    const uint32_t count = RenderCountOf(soundDeviceTable);
    for (uint32_t i = 0; i < count; ++i) {
        const TarvoWdmPinEntry& entry = soundDeviceTable.render[i];
        const uint32_t pairs = PairsOf(entry);
        if (entry.stateWord == kSkippedStateWord || pairs == 0)
            continue;
        TarvoVolumeEntry volumes[2 * kMaxPairsPerEntry];
        FillVolumePins(entry, pairs, volumes);
        if (GetVolumes(volumes, 2 * pairs) != TARVO_STATUS_SUCCESS)
            return;
        TarvoStoredVolumes stored;
        memset(&stored, 0, sizeof stored);
        stored.table = TARVO_STORED_VOLUMES_RENDER_TABLE;
        stored.index = entry.index;
        for (uint32_t c = 0; c < 2 * pairs; ++c) {
            stored.volumes[c] = ToFixedPoint(volumes[c].volume);
            stored.flags[c] = volumes[c].flags & TARVO_VOLUME_FLAG_MUTED;
        }
        if (SetStoredVolumes(stored) != TARVO_STATUS_SUCCESS)
            return;
    }
}

void CustomDevice::OnRenderVolumeChanged(uint32_t index)
{
    if (index >= RenderCountOf(soundDeviceTable))
        return;
    const TarvoWdmPinEntry& entry = soundDeviceTable.render[index];
    const uint32_t pairs = PairsOf(entry);
    if (pairs == 0)
        return;
    TarvoStoredVolumes stored;
    memset(&stored, 0, sizeof stored);
    if (GetStoredVolumes(TARVO_STORED_VOLUMES_RENDER_TABLE, index, stored) != TARVO_STATUS_SUCCESS)
        return;
    TarvoVolumeEntry volumes[2 * kMaxPairsPerEntry];
    FillVolumePins(entry, pairs, volumes);
    for (uint32_t c = 0; c < 2 * pairs; ++c) {
        volumes[c].flags = static_cast<uint8_t>(stored.flags[c] & TARVO_VOLUME_FLAG_MUTED);
        volumes[c].volume = ToHundredths(stored.volumes[c]);
    }
    (void)SetVolumes(volumes, 2 * pairs);
}
