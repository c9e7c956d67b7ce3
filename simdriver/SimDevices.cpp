// The simulated devices: plugging and unplugging through the test interface, the device
// list, binding a handle to a device, the channel lists, and every per-device request with
// the state it keeps. What the simulator chooses where the contract leaves it free is
// written down in README.md ("Devices").
#include "SimLogic.h"

#include "SimBytes.h"

namespace {

constexpr uint16_t kDefaultVendorId = 0x2B5A;
constexpr uint16_t kDefaultProductId = 0x0101;
constexpr uint32_t kKey1Base = 0x564B0000;
constexpr uint32_t kDefaultPinCounts[3] = {12, 10, 8};
constexpr uint32_t kDefaultChannels = 8;
constexpr uint32_t kDefaultGroups = 2;
constexpr uint32_t kDirectionInput = 1;
constexpr uint32_t kDirectionOutput = 2;
constexpr uint32_t kPluginMaxAmplification = 10000;
constexpr int16_t kSilence = -6000;

uint16_t PinKey(const TarvoPin& pin)
{
    return static_cast<uint16_t>(pin.kind << 8 | pin.channel);
}

// Mixer pins of one list: analog channels, the last two SPDIF on lists of four or more;
// the software outputs mixer's inputs are playback channels.
void MakePins(TarvoPin* pins, uint32_t selector, uint32_t count)
{
    for (uint32_t i = 0; i < count; ++i) {
        uint8_t kind = TARVO_PIN_ANALOG;
        if (selector == TARVO_PINS_SOFTWARE_OUTPUTS)
            kind = TARVO_PIN_OUT;
        else if (count >= 4 && i >= count - 2)
            kind = TARVO_PIN_SPDIF;
        pins[i].kind = kind;
        pins[i].channel = static_cast<uint8_t>(i);
        pins[i].extra[0] = static_cast<uint8_t>(selector);
        pins[i].extra[1] = 0;
    }
}

// A level that rises and falls between -60.00 dB and 0 dB, each pin in its own phase.
int16_t MovingLevel(uint32_t tick, const TarvoPin& pin, uint32_t side)
{
    const uint32_t phase = pin.channel * 700u + pin.kind * 1300u + side * 2900u;
    const uint32_t v = (tick * 250u + phase) % 12000u;
    const uint32_t x = v < 6000u ? v : 12000u - v;
    return static_cast<int16_t>(kSilence + static_cast<int32_t>(x));
}

}  // namespace

// ---- bookkeeping ----

void SimLogic::ResetDevices()
{
    deviceCount = 0;
    ZeroBytes(devices, sizeof(devices));
    if (nextPlugId == 0)
        nextPlugId = 1;
}

// The one place where the driver's notifications leave the device and streaming code
// (save 3060, whose payload carries more than the key).
void SimLogic::NotifyDriverChange(uint32_t code, const SimDevice* device)
{
    if (device != nullptr) {
        const TarvoDeviceKey key = {device->summary.entry.key0, device->summary.entry.key1};
        PostDriverNotification(code, &key, sizeof(key));
    } else {
        PostDriverNotification(code, nullptr, 0);
    }
}

SimDevice* SimLogic::FindDeviceByPlugId(uint32_t plugId)
{
    for (uint32_t i = 0; i < deviceCount; ++i)
        if (devices[i].plugId == plugId)
            return &devices[i];
    return nullptr;
}

SimDevice* SimLogic::FindDeviceByKey(uint32_t key0, uint32_t key1)
{
    for (uint32_t i = 0; i < deviceCount; ++i)
        if (devices[i].summary.entry.key0 == key0 && devices[i].summary.entry.key1 == key1)
            return &devices[i];
    return nullptr;
}

// The first listed device with the serial number, or null.
SimDevice* SimLogic::FindDeviceBySerial(const wchar_t* serialNumber)
{
    for (uint32_t i = 0; i < deviceCount; ++i)
        if (SameWide(devices[i].summary.entry.serialNumber, serialNumber, TARVO_SERIAL_CHARS))
            return &devices[i];
    return nullptr;
}

// The device a device request addresses: NO_DEVICE on a handle never bound,
// DEVICE_REMOVED when its device has been unplugged since.
TarvoStatus SimLogic::BoundDevice(Request& request, SimDevice*& device)
{
    device = nullptr;
    if (request.connection.boundDevice == 0)
        return TARVO_STATUS_NO_DEVICE;
    device = FindDeviceByPlugId(request.connection.boundDevice);
    return device != nullptr ? TARVO_STATUS_SUCCESS : TARVO_STATUS_DEVICE_REMOVED;
}

// ---- test interface ----

TarvoStatus SimLogic::OnSimPlug(Request& request)
{
    const SimPlugRecord record = ReadRecord<SimPlugRecord>(request.in);
    if (deviceCount >= TARVO_MAX_DEVICES)
        return TARVO_STATUS_NO_RESOURCES;
    uint32_t pinCounts[3] = {kDefaultPinCounts[0], kDefaultPinCounts[1], kDefaultPinCounts[2]};
    if (record.options & SIM_PLUG_PINS_GIVEN)
        for (uint32_t s = 0; s < 3; ++s)
            pinCounts[s] = record.pinCounts[s];
    uint32_t inputs = kDefaultChannels, outputs = kDefaultChannels;
    if (record.options & SIM_PLUG_CHANNELS_GIVEN) {
        inputs = record.inputChannels;
        outputs = record.outputChannels;
    }
    uint32_t groupCount = kDefaultGroups, type2Array = 1, type2Group = 0;
    if (record.options & SIM_PLUG_GROUPS_GIVEN) {
        groupCount = record.groupCount;
        type2Array = record.type2Array;
        type2Group = record.type2Group;
    }
    if (pinCounts[0] > SIM_MAX_PINS || pinCounts[1] > SIM_MAX_PINS || pinCounts[2] > SIM_MAX_PINS ||
        inputs > SIM_MAX_DEVICE_CHANNELS || outputs > SIM_MAX_DEVICE_CHANNELS ||
        groupCount > TARVO_MAX_CHANNEL_GROUPS || type2Array > 2 || (type2Array != 0 && type2Group >= groupCount))
        return TARVO_STATUS_INVALID_PARAMETER;

    SimDevice& device = devices[deviceCount];
    ZeroBytes(&device, sizeof(device));
    device.plugId = nextPlugId++;
    TarvoDeviceEntry& entry = device.summary.entry;
    entry.key0 = device.plugId;
    entry.key1 = kKey1Base + device.plugId;
    entry.vendorId = record.vendorId != 0 ? record.vendorId : kDefaultVendorId;
    entry.productId = record.productId != 0 ? record.productId : kDefaultProductId;
    if (record.serialNumber[0] != 0) {
        CopyWide(entry.serialNumber, record.serialNumber, TARVO_SERIAL_CHARS);
    } else {
        CopyWide(entry.serialNumber, L"SIM", TARVO_SERIAL_CHARS);
        AppendNumber(entry.serialNumber, device.plugId, TARVO_SERIAL_CHARS);
    }
    if (record.deviceName[0] != 0) {
        CopyWide(entry.deviceName, record.deviceName, TARVO_DEVICE_NAME_CHARS);
    } else {
        CopyWide(entry.deviceName, L"Velkano Sim ", TARVO_DEVICE_NAME_CHARS);
        AppendNumber(entry.deviceName, device.plugId, TARVO_DEVICE_NAME_CHARS);
    }
    entry.flags = (record.options & SIM_PLUG_FLAGS_GIVEN) ? record.flags : TARVO_DEVICE_FLAG_HIGH_SPEED;
    device.summary.options = record.options;
    for (uint32_t s = 0; s < 3; ++s) {
        device.summary.pinCounts[s] = pinCounts[s];
        MakePins(device.pins[s], s, pinCounts[s]);
    }
    device.summary.inputChannels = inputs;
    device.summary.outputChannels = outputs;
    device.groups.count = groupCount;
    for (uint32_t g = 0; g < groupCount; ++g) {
        device.groups.groups[g].firstItems[0] = {1, g};
        device.groups.groups[g].secondItems[0] = {3, g};
    }
    if (type2Array == 1)
        device.groups.groups[type2Group].firstItems[1] = {2, type2Group};
    else if (type2Array == 2)
        device.groups.groups[type2Group].secondItems[1] = {2, type2Group};
    for (uint32_t c = 0; c < SIM_PLUGIN_CHANNELS; ++c)
        device.pluginAmplification[c] = 1000;
    ++deviceCount;
    RefreshStreamingFlags();

    const TarvoDeviceKey key = {entry.key0, entry.key1};
    WriteRecord(request.out, key);
    request.written = sizeof(key);
    NotifyDriverChange(TARVO_NOTIFY_DEVICES_CHANGED, nullptr);
    return TARVO_STATUS_SUCCESS;
}

TarvoStatus SimLogic::OnSimUnplug(Request& request)
{
    const SimSerialRecord record = ReadRecord<SimSerialRecord>(request.in);
    uint32_t kept = 0;
    for (uint32_t i = 0; i < deviceCount; ++i) {
        if (SameWide(devices[i].summary.entry.serialNumber, record.serialNumber, TARVO_SERIAL_CHARS))
            continue;
        if (kept != i)
            CopyBytes(&devices[kept], &devices[i], sizeof(SimDevice));
        ++kept;
    }
    if (kept == deviceCount)
        return TARVO_STATUS_OBJECT_NOT_FOUND;
    deviceCount = kept;
    RefreshStreamingFlags();
    NotifyDriverChange(TARVO_NOTIFY_DEVICES_CHANGED, nullptr);
    return TARVO_STATUS_SUCCESS;
}

TarvoStatus SimLogic::OnSimUnplugAll(Request&)
{
    const bool had = deviceCount != 0;
    ResetDevices();
    RefreshStreamingFlags();
    if (had)
        NotifyDriverChange(TARVO_NOTIFY_DEVICES_CHANGED, nullptr);
    return TARVO_STATUS_SUCCESS;
}

TarvoStatus SimLogic::OnSimRekey(Request& request)
{
    const SimRekeyRecord record = ReadRecord<SimRekeyRecord>(request.in);
    SimDevice* device = FindDeviceBySerial(record.serialNumber);
    if (device == nullptr)
        return TARVO_STATUS_OBJECT_NOT_FOUND;
    TarvoDeviceEntry& entry = device->summary.entry;
    const bool wasStreamingDevice = streaming.streamingKey0 == entry.key0 && streaming.streamingKey1 == entry.key1;
    // A device that streams while the stream is up was re-enumerated under it: the stream
    // has to be set up again with the device's new key and speed.
    const uint32_t state = streaming.status.state;
    const bool restart = (entry.flags & TARVO_DEVICE_FLAG_STREAMING) != 0 &&
                         (state == TARVO_STREAM_READY || state == TARVO_STREAM_PREPARED || state == TARVO_STREAM_RUNNING);
    entry.key0 = nextPlugId++;  // one counter for plug ids and keys: a key is never reused
    entry.key1 = kKey1Base + entry.key0;
    entry.flags = record.flags;
    if (wasStreamingDevice) {
        streaming.streamingKey0 = entry.key0;
        streaming.streamingKey1 = entry.key1;
    }
    RefreshStreamingFlags();
    NotifyDriverChange(TARVO_NOTIFY_DEVICES_CHANGED, nullptr);
    if (restart)
        NotifyDriverChange(TARVO_NOTIFY_STREAM_RESTART, nullptr);
    return TARVO_STATUS_SUCCESS;
}

TarvoStatus SimLogic::OnSimSetDeviceUsers(Request& request)
{
    const SimDeviceUsersRecord record = ReadRecord<SimDeviceUsersRecord>(request.in);
    SimDevice* device = FindDeviceBySerial(record.serialNumber);
    if (device == nullptr)
        return TARVO_STATUS_OBJECT_NOT_FOUND;
    const bool hadUsers = device->users != 0;
    device->users = record.users;
    if (!hadUsers && record.users != 0)
        NotifyDriverChange(TARVO_NOTIFY_DEVICE_STREAM_WANTED, device);
    else if (hadUsers && record.users == 0)
        NotifyDriverChange(TARVO_NOTIFY_DEVICE_STREAM_RELEASED, device);
    return TARVO_STATUS_SUCCESS;
}

// The pins of a list are generated from its length, so an equal length is no change.
TarvoStatus SimLogic::OnSimSetPins(Request& request)
{
    const SimPinsRecord record = ReadRecord<SimPinsRecord>(request.in);
    if (record.selector > TARVO_PINS_SOFTWARE_OUTPUTS || record.count > SIM_MAX_PINS)
        return TARVO_STATUS_INVALID_PARAMETER;
    SimDevice* device = FindDeviceBySerial(record.serialNumber);
    if (device == nullptr)
        return TARVO_STATUS_OBJECT_NOT_FOUND;
    if (device->summary.pinCounts[record.selector] == record.count)
        return TARVO_STATUS_SUCCESS;
    ZeroBytes(device->pins[record.selector], sizeof(device->pins[record.selector]));
    device->summary.pinCounts[record.selector] = record.count;
    MakePins(device->pins[record.selector], record.selector, record.count);
    NotifyDriverChange(TARVO_NOTIFY_MIXER_CHANGED, device);
    return TARVO_STATUS_SUCCESS;
}

// Only a sound device the service announced with SET_WDM_PINS can be opened.
TarvoStatus SimLogic::OnSimSoundDeviceEvent(Request& request)
{
    const SimSoundDeviceEventRecord record = ReadRecord<SimSoundDeviceEventRecord>(request.in);
    if (record.table != SIM_SOUND_TABLE_CAPTURE && record.table != SIM_SOUND_TABLE_RENDER)
        return TARVO_STATUS_INVALID_PARAMETER;
    SimDevice* device = FindDeviceBySerial(record.serialNumber);
    if (device == nullptr)
        return TARVO_STATUS_OBJECT_NOT_FOUND;
    const TarvoWdmPins& pins = device->sent.wdmPins;
    if (record.index >= (record.table == SIM_SOUND_TABLE_CAPTURE ? pins.captureCount : pins.renderCount))
        return TARVO_STATUS_OBJECT_NOT_FOUND;
    const uint32_t payload[4] = {device->summary.entry.key0, device->summary.entry.key1, record.table, record.index};
    PostDriverNotification(TARVO_NOTIFY_SOUND_DEVICE_EVENT, payload, sizeof(payload));
    return TARVO_STATUS_SUCCESS;
}

TarvoStatus SimLogic::OnSimGetState(Request& request)
{
    SimStateRecord* state = reinterpret_cast<SimStateRecord*>(request.out);  // packed
    ZeroBytes(state, sizeof(SimStateRecord));
    state->status = streaming.status;
    Request self = {request.connection, nullptr, reinterpret_cast<uint8_t*>(&state->bufferSizes), 0, 0,
                    sizeof(TarvoBufferSizes)};
    (void)OnGetBufferSizes(self);
    state->errors = streaming.errors;
    state->policy = streaming.policy;
    state->selectedRate = streaming.selectedRate;
    state->streamingKey0 = streaming.streamingKey0;
    state->streamingKey1 = streaming.streamingKey1;
    state->deviceCount = deviceCount;
    for (uint32_t i = 0; i < deviceCount; ++i) {
        SimDeviceSummary summary = devices[i].summary;
        summary.boundConnections = 0;
        for (uint32_t c = 0; c < connectionCount; ++c)
            if (connections[c]->boundDevice == devices[i].plugId)
                ++summary.boundConnections;
        summary.volumeCount = devices[i].volumeCount;
        summary.weightCount = devices[i].weightCount;
        state->devices[i] = summary;
    }
    request.written = sizeof(SimStateRecord);
    return TARVO_STATUS_SUCCESS;
}

TarvoStatus SimLogic::OnSimGetDeviceSent(Request& request)
{
    const uint32_t index = ReadRecord<uint32_t>(request.in);
    if (index >= deviceCount)
        return TARVO_STATUS_OBJECT_NOT_FOUND;
    SimDeviceSentRecord& sent = devices[index].sent;
    sent.index = index;
    CopyBytes(request.out, &sent, sizeof(sent));
    request.written = sizeof(sent);
    return TARVO_STATUS_SUCCESS;
}

// ---- device list and binding ----

TarvoStatus SimLogic::OnGetDeviceList(Request& request)
{
    TarvoDeviceList* list = reinterpret_cast<TarvoDeviceList*>(request.out);
    ZeroBytes(list, sizeof(TarvoDeviceList));
    list->count = deviceCount;
    for (uint32_t i = 0; i < deviceCount; ++i)
        list->entries[i] = devices[i].summary.entry;
    request.written = sizeof(TarvoDeviceList);
    return TARVO_STATUS_SUCCESS;
}

TarvoStatus SimLogic::OnOpenDevice(Request& request)
{
    const TarvoDeviceKey key = ReadRecord<TarvoDeviceKey>(request.in);
    SimDevice* device = FindDeviceByKey(key.key0, key.key1);
    if (device == nullptr)
        return TARVO_STATUS_NO_DEVICE;
    request.connection.boundDevice = device->plugId;  // a second bind moves the handle
    return TARVO_STATUS_SUCCESS;
}

// ---- channel lists ----

namespace {

void FillChannelList(TarvoChannelList* list, const SimDevice* devices, uint32_t deviceCount, uint32_t direction)
{
    ZeroBytes(list, sizeof(TarvoChannelList));
    uint32_t used = 0;
    for (uint32_t d = 0; d < deviceCount; ++d) {
        const uint32_t count =
            direction == kDirectionInput ? devices[d].summary.inputChannels : devices[d].summary.outputChannels;
        for (uint32_t c = 0; c < count && used < TARVO_MAX_CHANNELS; ++c, ++used)
            list->channels[used] = {devices[d].plugId, direction << 16 | c};
    }
    list->count = used;  // more than 96 channels are not listed
}

}  // namespace

TarvoStatus SimLogic::OnGetInputChannels(Request& request)
{
    FillChannelList(reinterpret_cast<TarvoChannelList*>(request.out), devices, deviceCount, kDirectionInput);
    request.written = sizeof(TarvoChannelList);
    return TARVO_STATUS_SUCCESS;
}

TarvoStatus SimLogic::OnGetOutputChannels(Request& request)
{
    FillChannelList(reinterpret_cast<TarvoChannelList*>(request.out), devices, deviceCount, kDirectionOutput);
    request.written = sizeof(TarvoChannelList);
    return TARVO_STATUS_SUCCESS;
}

TarvoStatus SimLogic::OnGetChannelInfo(Request& request)
{
    const TarvoChannelId id = ReadRecord<TarvoChannelId>(request.in);
    const SimDevice* device = FindDeviceByPlugId(id.word0);
    const uint32_t direction = id.word1 >> 16;
    const uint32_t channel = id.word1 & 0xFFFF;
    if (device == nullptr || (direction != kDirectionInput && direction != kDirectionOutput))
        return TARVO_STATUS_OBJECT_NOT_FOUND;
    const uint32_t count =
        direction == kDirectionInput ? device->summary.inputChannels : device->summary.outputChannels;
    if (channel >= count)
        return TARVO_STATUS_OBJECT_NOT_FOUND;
    TarvoChannelInfo info;
    ZeroBytes(&info, sizeof(info));
    info.reserved0[0] = id.word0;
    info.reserved0[1] = id.word1;
    info.key0 = device->summary.entry.key0;
    info.key1 = device->summary.entry.key1;
    info.reserved1[0] = direction;
    info.reserved1[1] = channel;
    CopyWide(info.name, direction == kDirectionInput ? L"Analog In " : L"Analog Out ", TARVO_CHANNEL_NAME_CHARS);
    AppendNumber(info.name, channel + 1, TARVO_CHANNEL_NAME_CHARS);
    WriteRecord(request.out, info);
    request.written = sizeof(info);
    return TARVO_STATUS_SUCCESS;
}

// ---- device controls ----

TarvoStatus SimLogic::OnGetSpdifStatus(Request& request)
{
    SimDevice* device = nullptr;
    const TarvoStatus bound = BoundDevice(request, device);
    if (bound != TARVO_STATUS_SUCCESS)
        return bound;
    TarvoSpdifStatus record = ReadRecord<TarvoSpdifStatus>(request.in);
    if ((device->summary.options & SIM_PLUG_NO_SPDIF) || record.inputNumber != 0)
        return TARVO_STATUS_OBJECT_NOT_FOUND;
    const uint32_t state = streaming.status.state;
    record.format = 0;
    record.sampleRate = 0;
    if (state == TARVO_STREAM_RUNNING) {
        const uint32_t rate = streaming.status.sampleRate;
        record.state = 3;
        record.format = rate == TARVO_RATE_DSD64 || rate == TARVO_RATE_DSD128 ? 2 : 1;
        record.sampleRate = rate;
    } else {
        record.state = state == TARVO_STREAM_READY || state == TARVO_STREAM_PREPARED ? 1 : 0;
    }
    WriteRecord(request.out, record);
    request.written = sizeof(record);
    return TARVO_STATUS_SUCCESS;
}

TarvoStatus SimLogic::OnSetSpdifPassThrough(Request& request)
{
    SimDevice* device = nullptr;
    TarvoStatus status = BoundDevice(request, device);
    if (status == TARVO_STATUS_SUCCESS) {
        const TarvoSpdifPassThroughRecord record = ReadRecord<TarvoSpdifPassThroughRecord>(request.in);
        if (record.value > 1) {
            status = TARVO_STATUS_INVALID_PARAMETER;
        } else {
            device->summary.spdifPassThrough = record.value != 0 ? 2 : 0;  // "on" reads back as 2
            NotifyDriverChange(TARVO_NOTIFY_DEVICE_SETTINGS_CHANGED, device);
        }
    }
    return Logged(request, TARVO_IOCTL_SET_SPDIF_PASS_THROUGH, status);
}

TarvoStatus SimLogic::OnGetSpdifPassThrough(Request& request)
{
    SimDevice* device = nullptr;
    const TarvoStatus bound = BoundDevice(request, device);
    if (bound != TARVO_STATUS_SUCCESS)
        return bound;
    TarvoSpdifPassThroughRecord record = ReadRecord<TarvoSpdifPassThroughRecord>(request.in);
    record.value = device->summary.spdifPassThrough;
    WriteRecord(request.out, record);
    request.written = sizeof(record);
    return TARVO_STATUS_SUCCESS;
}

namespace {

TarvoStatus SetSwitch(const uint8_t* in, uint8_t& state)
{
    if (in[0] > 1)
        return TARVO_STATUS_INVALID_PARAMETER;
    state = in[0];
    return TARVO_STATUS_SUCCESS;
}

}  // namespace

TarvoStatus SimLogic::OnSetVolumeBypass(Request& request)
{
    SimDevice* device = nullptr;
    TarvoStatus status = BoundDevice(request, device);
    if (status == TARVO_STATUS_SUCCESS && (status = SetSwitch(request.in, device->summary.volumeBypass)) == 0)
        NotifyDriverChange(TARVO_NOTIFY_DEVICE_SETTINGS_CHANGED, device);
    return Logged(request, TARVO_IOCTL_SET_VOLUME_BYPASS, status);
}

TarvoStatus SimLogic::OnGetVolumeBypass(Request& request)
{
    SimDevice* device = nullptr;
    const TarvoStatus bound = BoundDevice(request, device);
    if (bound != TARVO_STATUS_SUCCESS)
        return bound;
    request.out[0] = device->summary.volumeBypass;
    request.written = 1;
    return TARVO_STATUS_SUCCESS;
}

TarvoStatus SimLogic::OnSetMuteBypass(Request& request)
{
    SimDevice* device = nullptr;
    TarvoStatus status = BoundDevice(request, device);
    if (status == TARVO_STATUS_SUCCESS && (status = SetSwitch(request.in, device->summary.muteBypass)) == 0)
        NotifyDriverChange(TARVO_NOTIFY_DEVICE_SETTINGS_CHANGED, device);
    return Logged(request, TARVO_IOCTL_SET_MUTE_BYPASS, status);
}

TarvoStatus SimLogic::OnGetMuteBypass(Request& request)
{
    SimDevice* device = nullptr;
    const TarvoStatus bound = BoundDevice(request, device);
    if (bound != TARVO_STATUS_SUCCESS)
        return bound;
    request.out[0] = device->summary.muteBypass;
    request.written = 1;
    return TARVO_STATUS_SUCCESS;
}

// Delivers as many pins as the output buffer holds.
TarvoStatus SimLogic::OnGetMixerPins(Request& request)
{
    SimDevice* device = nullptr;
    const TarvoStatus bound = BoundDevice(request, device);
    if (bound != TARVO_STATUS_SUCCESS)
        return bound;
    const uint32_t selector = ReadRecord<uint32_t>(request.in);
    if (selector > TARVO_PINS_SOFTWARE_OUTPUTS)
        return TARVO_STATUS_INVALID_PARAMETER;
    const uint32_t capacity = request.outSize / sizeof(TarvoPin);
    const uint32_t available = device->summary.pinCounts[selector];
    const uint32_t count = available < capacity ? available : capacity;
    CopyBytes(request.out, device->pins[selector], count * sizeof(TarvoPin));
    request.written = count * sizeof(TarvoPin);
    return TARVO_STATUS_SUCCESS;
}

namespace {

// The volume a pin was set to, or null.
SimVolume* FindVolume(SimDevice& device, uint16_t pin)
{
    for (uint32_t i = 0; i < device.volumeCount; ++i)
        if (device.volumes[i].pin == pin)
            return &device.volumes[i];
    return nullptr;
}

SimWeight* FindWeight(SimDevice& device, uint16_t outputPin, uint16_t inputPin)
{
    for (uint32_t i = 0; i < device.weightCount; ++i)
        if (device.weights[i].outputPin == outputPin && device.weights[i].inputPin == inputPin)
            return &device.weights[i];
    return nullptr;
}

}  // namespace

TarvoStatus SimLogic::OnGetInputLevels(Request& request)
{
    SimDevice* device = nullptr;
    const TarvoStatus bound = BoundDevice(request, device);
    if (bound != TARVO_STATUS_SUCCESS)
        return bound;
    const uint32_t tick = ++streaming.levelTick;
    const uint32_t n = request.inSize / sizeof(TarvoLevelEntry);
    for (uint32_t i = 0; i < n; ++i) {
        TarvoLevelEntry entry = ReadRecord<TarvoLevelEntry>(request.in + i * sizeof(TarvoLevelEntry));
        entry.level = MovingLevel(tick, entry.pin, 0);
        WriteRecord(request.out + i * sizeof(TarvoLevelEntry), entry);
    }
    request.written = request.inSize;
    return TARVO_STATUS_SUCCESS;
}

// Output levels follow the signal with the pin's volume applied; a muted pin is silent.
TarvoStatus SimLogic::OnGetOutputLevels(Request& request)
{
    SimDevice* device = nullptr;
    const TarvoStatus bound = BoundDevice(request, device);
    if (bound != TARVO_STATUS_SUCCESS)
        return bound;
    const uint32_t tick = ++streaming.levelTick;
    const uint32_t n = request.inSize / sizeof(TarvoLevelEntry);
    for (uint32_t i = 0; i < n; ++i) {
        TarvoLevelEntry entry = ReadRecord<TarvoLevelEntry>(request.in + i * sizeof(TarvoLevelEntry));
        int32_t level = MovingLevel(tick, entry.pin, 1);
        const SimVolume* volume = FindVolume(*device, PinKey(entry.pin));
        if (volume != nullptr) {
            level = (volume->flags & TARVO_VOLUME_FLAG_MUTED) ? kSilence : level + volume->volume;
            if (level < kSilence)
                level = kSilence;
            if (level > 600)
                level = 600;
        }
        entry.level = static_cast<int16_t>(level);
        WriteRecord(request.out + i * sizeof(TarvoLevelEntry), entry);
    }
    request.written = request.inSize;
    return TARVO_STATUS_SUCCESS;
}

TarvoStatus SimLogic::OnGetVolumes(Request& request)
{
    SimDevice* device = nullptr;
    const TarvoStatus bound = BoundDevice(request, device);
    if (bound != TARVO_STATUS_SUCCESS)
        return bound;
    const uint32_t n = request.inSize / sizeof(TarvoVolumeEntry);
    for (uint32_t i = 0; i < n; ++i) {
        TarvoVolumeEntry entry = ReadRecord<TarvoVolumeEntry>(request.in + i * sizeof(TarvoVolumeEntry));
        const SimVolume* volume = FindVolume(*device, PinKey(entry.pin));
        entry.zero = 0;
        entry.flags = volume != nullptr ? volume->flags : 0;
        entry.volume = volume != nullptr ? volume->volume : 0;
        WriteRecord(request.out + i * sizeof(TarvoVolumeEntry), entry);
    }
    request.written = request.inSize;
    return TARVO_STATUS_SUCCESS;
}

// All or nothing: a request that would overflow the table changes no volume.
TarvoStatus SimLogic::OnSetVolumes(Request& request)
{
    SimDevice* device = nullptr;
    TarvoStatus status = BoundDevice(request, device);
    if (status == TARVO_STATUS_SUCCESS) {
        const uint32_t n = request.inSize / sizeof(TarvoVolumeEntry);
        uint32_t added = 0;
        for (uint32_t i = 0; i < n; ++i) {
            const TarvoVolumeEntry entry = ReadRecord<TarvoVolumeEntry>(request.in + i * sizeof(TarvoVolumeEntry));
            if (FindVolume(*device, PinKey(entry.pin)) == nullptr)
                ++added;  // a pin listed twice is counted twice: harmless over-estimate
        }
        if (device->volumeCount + added > SIM_MAX_VOLUMES) {
            status = TARVO_STATUS_NO_RESOURCES;
        } else {
            for (uint32_t i = 0; i < n; ++i) {
                const TarvoVolumeEntry entry =
                    ReadRecord<TarvoVolumeEntry>(request.in + i * sizeof(TarvoVolumeEntry));
                SimVolume* volume = FindVolume(*device, PinKey(entry.pin));
                if (volume == nullptr) {
                    volume = &device->volumes[device->volumeCount++];
                    volume->pin = PinKey(entry.pin);
                }
                volume->flags = entry.flags & TARVO_VOLUME_FLAG_MUTED;
                volume->volume = entry.volume;
            }
            request.written = request.inSize;  // the same array, in place
            NotifyDriverChange(TARVO_NOTIFY_VOLUMES_CHANGED, device);
        }
    }
    return Logged(request, TARVO_IOCTL_SET_VOLUMES, status);
}

TarvoStatus SimLogic::OnGetWeights(Request& request)
{
    SimDevice* device = nullptr;
    const TarvoStatus bound = BoundDevice(request, device);
    if (bound != TARVO_STATUS_SUCCESS)
        return bound;
    const uint32_t n = request.inSize / sizeof(TarvoWeightEntry);
    for (uint32_t i = 0; i < n; ++i) {
        TarvoWeightEntry entry = ReadRecord<TarvoWeightEntry>(request.in + i * sizeof(TarvoWeightEntry));
        const SimWeight* weight = FindWeight(*device, PinKey(entry.outputPin), PinKey(entry.inputPin));
        entry.weight = weight != nullptr ? weight->weight : kSilence;
        entry.flags = weight != nullptr ? weight->flags : 0;
        WriteRecord(request.out + i * sizeof(TarvoWeightEntry), entry);
    }
    request.written = request.inSize;
    return TARVO_STATUS_SUCCESS;
}

TarvoStatus SimLogic::OnSetWeights(Request& request)
{
    SimDevice* device = nullptr;
    TarvoStatus status = BoundDevice(request, device);
    if (status == TARVO_STATUS_SUCCESS) {
        const uint32_t n = request.inSize / sizeof(TarvoWeightEntry);
        uint32_t added = 0;
        for (uint32_t i = 0; i < n; ++i) {
            const TarvoWeightEntry entry = ReadRecord<TarvoWeightEntry>(request.in + i * sizeof(TarvoWeightEntry));
            if (FindWeight(*device, PinKey(entry.outputPin), PinKey(entry.inputPin)) == nullptr)
                ++added;
        }
        if (device->weightCount + added > SIM_MAX_WEIGHTS) {
            status = TARVO_STATUS_NO_RESOURCES;
        } else {
            for (uint32_t i = 0; i < n; ++i) {
                const TarvoWeightEntry entry =
                    ReadRecord<TarvoWeightEntry>(request.in + i * sizeof(TarvoWeightEntry));
                SimWeight* weight = FindWeight(*device, PinKey(entry.outputPin), PinKey(entry.inputPin));
                if (weight == nullptr) {
                    weight = &device->weights[device->weightCount++];
                    weight->outputPin = PinKey(entry.outputPin);
                    weight->inputPin = PinKey(entry.inputPin);
                }
                weight->weight = entry.weight;
                weight->flags = entry.flags & TARVO_WEIGHT_FLAG_ON;
            }
            request.written = request.inSize;
            NotifyDriverChange(TARVO_NOTIFY_WEIGHTS_CHANGED, device);
        }
    }
    return Logged(request, TARVO_IOCTL_SET_WEIGHTS, status);
}

namespace {

TarvoStoredVolumes* FindStored(SimDeviceSentRecord& sent, uint32_t index)
{
    for (uint32_t i = 0; i < sent.storedCount; ++i)
        if (sent.stored[i].index == index)
            return &sent.stored[i];
    return nullptr;
}

}  // namespace

// Only the render table is held; an index never set reads as all zero.
TarvoStatus SimLogic::OnGetStoredVolumes(Request& request)
{
    SimDevice* device = nullptr;
    const TarvoStatus bound = BoundDevice(request, device);
    if (bound != TARVO_STATUS_SUCCESS)
        return bound;
    TarvoStoredVolumes record = ReadRecord<TarvoStoredVolumes>(request.in);
    if (record.table != TARVO_STORED_VOLUMES_RENDER_TABLE || record.index >= TARVO_WDM_TABLE_ENTRIES)
        return TARVO_STATUS_INVALID_PARAMETER;
    const TarvoStoredVolumes* stored = FindStored(device->sent, record.index);
    if (stored != nullptr) {
        record = *stored;
    } else {
        ZeroBytes(record.volumes, sizeof(record.volumes));
        ZeroBytes(record.flags, sizeof(record.flags));
    }
    WriteRecord(request.out, record);
    request.written = sizeof(record);
    return TARVO_STATUS_SUCCESS;
}

TarvoStatus SimLogic::OnSetStoredVolumes(Request& request)
{
    SimDevice* device = nullptr;
    TarvoStatus status = BoundDevice(request, device);
    if (status == TARVO_STATUS_SUCCESS) {
        const TarvoStoredVolumes record = ReadRecord<TarvoStoredVolumes>(request.in);
        TarvoStoredVolumes* stored = FindStored(device->sent, record.index);
        if (record.table != TARVO_STORED_VOLUMES_RENDER_TABLE || record.index >= TARVO_WDM_TABLE_ENTRIES)
            status = TARVO_STATUS_INVALID_PARAMETER;
        else if (stored == nullptr && device->sent.storedCount >= SIM_MAX_STORED_VOLUMES)
            status = TARVO_STATUS_NO_RESOURCES;
        else
            *(stored != nullptr ? stored : &device->sent.stored[device->sent.storedCount++]) = record;
    }
    return Logged(request, TARVO_IOCTL_SET_STORED_VOLUMES, status);
}

TarvoStatus SimLogic::OnGetPluginParameters(Request& request)
{
    SimDevice* device = nullptr;
    const TarvoStatus bound = BoundDevice(request, device);
    if (bound != TARVO_STATUS_SUCCESS)
        return bound;
    if ((device->summary.entry.flags & TARVO_DEVICE_FLAG_PLUGIN) == 0)
        return TARVO_STATUS_NOT_SUPPORTED;
    TarvoPluginParameters block = ReadRecord<TarvoPluginParameters>(request.in);
    switch (block.id) {
    case TARVO_PLUGIN_CHANNEL_COUNT:
        block.value = SIM_PLUGIN_CHANNELS;
        break;
    case TARVO_PLUGIN_MAX_DELAY:
        block.value = SIM_PLUGIN_MAX_DELAY_MS;
        break;
    case TARVO_PLUGIN_DELAY:
    case TARVO_PLUGIN_AMPLIFICATION:
        if (block.value != 1 || block.pairs[0].channel >= SIM_PLUGIN_CHANNELS)
            return TARVO_STATUS_INVALID_PARAMETER;
        block.pairs[0].value = block.id == TARVO_PLUGIN_DELAY ? device->pluginDelay[block.pairs[0].channel]
                                                              : device->pluginAmplification[block.pairs[0].channel];
        break;
    default:
        return TARVO_STATUS_INVALID_PARAMETER;
    }
    WriteRecord(request.out, block);
    request.written = sizeof(block);
    return TARVO_STATUS_SUCCESS;
}

// Checks every pair before it changes any.
TarvoStatus SimLogic::OnSetPluginParameters(Request& request)
{
    SimDevice* device = nullptr;
    TarvoStatus status = BoundDevice(request, device);
    if (status == TARVO_STATUS_SUCCESS) {
        const TarvoPluginParameters block = ReadRecord<TarvoPluginParameters>(request.in);
        const uint32_t limit = block.id == TARVO_PLUGIN_DELAY ? SIM_PLUGIN_MAX_DELAY_MS : kPluginMaxAmplification;
        if ((device->summary.entry.flags & TARVO_DEVICE_FLAG_PLUGIN) == 0)
            status = TARVO_STATUS_NOT_SUPPORTED;
        else if ((block.id != TARVO_PLUGIN_DELAY && block.id != TARVO_PLUGIN_AMPLIFICATION) ||
                 block.value > TARVO_PLUGIN_MAX_PAIRS)
            status = TARVO_STATUS_INVALID_PARAMETER;
        for (uint32_t i = 0; status == TARVO_STATUS_SUCCESS && i < block.value; ++i)
            if (block.pairs[i].channel >= SIM_PLUGIN_CHANNELS || block.pairs[i].value > limit)
                status = TARVO_STATUS_INVALID_PARAMETER;
        for (uint32_t i = 0; status == TARVO_STATUS_SUCCESS && i < block.value; ++i) {
            uint32_t* values = block.id == TARVO_PLUGIN_DELAY ? device->pluginDelay : device->pluginAmplification;
            values[block.pairs[i].channel] = block.pairs[i].value;
        }
        if (status == TARVO_STATUS_SUCCESS)
            NotifyDriverChange(TARVO_NOTIFY_DEVICE_SETTINGS_CHANGED, device);
    }
    return Logged(request, TARVO_IOCTL_SET_PLUGIN_PARAMETERS, status);
}

// ---- device configuration ----

TarvoStatus SimLogic::OnGetChannelGroups(Request& request)
{
    SimDevice* device = nullptr;
    const TarvoStatus bound = BoundDevice(request, device);
    if (bound != TARVO_STATUS_SUCCESS)
        return bound;
    CopyBytes(request.out, &device->groups, sizeof(TarvoChannelGroups));
    request.written = sizeof(TarvoChannelGroups);
    return TARVO_STATUS_SUCCESS;
}

TarvoStatus SimLogic::OnSetRouting(Request& request)
{
    SimDevice* device = nullptr;
    TarvoStatus status = BoundDevice(request, device);
    if (status == TARVO_STATUS_SUCCESS) {
        CopyBytes(&device->sent.routing, request.in, sizeof(TarvoRoutingRecord));
        ++device->summary.routingCount;
    }
    return Logged(request, TARVO_IOCTL_SET_ROUTING, status);
}

TarvoStatus SimLogic::OnSetWdmChannels(Request& request)
{
    SimDevice* device = nullptr;
    TarvoStatus status = BoundDevice(request, device);
    if (status == TARVO_STATUS_SUCCESS) {
        const TarvoWdmChannels* record = reinterpret_cast<const TarvoWdmChannels*>(request.in);
        if (record->inputCount > TARVO_WDM_TABLE_ENTRIES || record->outputCount > TARVO_WDM_TABLE_ENTRIES) {
            status = TARVO_STATUS_INVALID_PARAMETER;
        } else {
            CopyBytes(&device->sent.wdmChannels, request.in, sizeof(TarvoWdmChannels));
            ++device->summary.wdmChannelsCount;
        }
    }
    return Logged(request, TARVO_IOCTL_SET_WDM_CHANNELS, status);
}

TarvoStatus SimLogic::OnSetWdmPins(Request& request)
{
    SimDevice* device = nullptr;
    TarvoStatus status = BoundDevice(request, device);
    if (status == TARVO_STATUS_SUCCESS) {
        const TarvoWdmPins* record = reinterpret_cast<const TarvoWdmPins*>(request.in);
        if (record->captureCount > TARVO_WDM_TABLE_ENTRIES || record->renderCount > TARVO_WDM_TABLE_ENTRIES) {
            status = TARVO_STATUS_INVALID_PARAMETER;
        } else {
            CopyBytes(&device->sent.wdmPins, request.in, sizeof(TarvoWdmPins));
            ++device->summary.wdmPinsCount;
        }
    }
    return Logged(request, TARVO_IOCTL_SET_WDM_PINS, status);
}

namespace {

TarvoStatus SetGroupValue(const uint8_t* in, uint32_t& mask, uint32_t* values)
{
    const TarvoGroupValueRecord record = ReadRecord<TarvoGroupValueRecord>(in);
    if (record.group >= SIM_MAX_GROUP_VALUES)
        return TARVO_STATUS_INVALID_PARAMETER;
    mask |= 1u << record.group;
    values[record.group] = record.value;
    return TARVO_STATUS_SUCCESS;
}

}  // namespace

TarvoStatus SimLogic::OnC20(Request& request)
{
    SimDevice* device = nullptr;
    TarvoStatus status = BoundDevice(request, device);
    if (status == TARVO_STATUS_SUCCESS)
        status = SetGroupValue(request.in, device->summary.c20Mask, device->summary.c20Values);
    return Logged(request, TARVO_IOCTL_C20, status);
}

TarvoStatus SimLogic::OnC22(Request& request)
{
    SimDevice* device = nullptr;
    TarvoStatus status = BoundDevice(request, device);
    if (status == TARVO_STATUS_SUCCESS)
        status = SetGroupValue(request.in, device->summary.c22Mask, device->summary.c22Values);
    return Logged(request, TARVO_IOCTL_C22, status);
}
