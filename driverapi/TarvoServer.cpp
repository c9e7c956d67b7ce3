#include "TarvoServer.h"

#include <cstring>

namespace {

// {7BEDFC26-BEC9-474C-B164-791405573A9A}
constexpr GUID kInterfaceGuid = {0x7BEDFC26, 0xBEC9, 0x474C, {0xB1, 0x64, 0x79, 0x14, 0x05, 0x57, 0x3A, 0x9A}};

// POWER_UP and POWER_DOWN say whether the stream is run by every device together; the
// service asks for that on systems before Windows Vista, and elsewhere when the policy
// forbids sample rate changes.
uint32_t SampleRateChangeMode(TarvoServer& server)
{
    OSVERSIONINFOW version;
    memset(&version, 0, sizeof version);
    version.dwOSVersionInfoSize = sizeof version;
#pragma GCC diagnostic push
#pragma GCC diagnostic ignored "-Wdeprecated-declarations"
    const BOOL known = GetVersionExW(&version);
#pragma GCC diagnostic pop
    if (known && version.dwMajorVersion < 6)
        return 1;
    TarvoPolicy policy = {};
    return server.GetPolicy(policy) == TARVO_STATUS_SUCCESS && (policy.flags & 1) != 0 ? 1 : 0;
}

}  // namespace

// ---- identity ----

const wchar_t* TarvoServer::GetServiceName() const
{
    return L"velkanosvc";
}

const wchar_t* TarvoServer::GetDisplayName() const
{
    return L"Velkano control";
}

const wchar_t* TarvoServer::GetDescription() const
{
    return L"Velkano control service";
}

void TarvoServer::GetInterfaceGuid(GUID& guid) const
{
    guid = kInterfaceGuid;
}

const wchar_t* TarvoServer::GetDriverName() const
{
    return TARVO_DEVICE_OBJECT_NAME;
}

const wchar_t* TarvoServer::GetRegistryRoot() const
{
    return L"Software\\DRAVLIN\\velkano";
}

std::unique_ptr<TarvoDevice> TarvoServer::CreateDevice()
{
    return std::make_unique<TarvoDeviceCtrl>();
}

// ---- the loop ----

bool TarvoServer::Connect()
{
    if (!IsOpen()) {
        const TarvoStatus status = OpenAsServer(GetDriverName());
        if (status == TARVO_STATUS_ALREADY_DONE)
            return false;
        if (status != TARVO_STATUS_SUCCESS)
            return true;  // no driver yet: wait for an arrival
    }
    bool changed = false;
    (void)UpdateDeviceList(changed);  // a failed update leaves the list empty
    OnDevicesChanged();
    return true;
}

TarvoStatus TarvoServer::Reconnect()
{
    return OpenAsServer(GetDriverName());  // success at once while open
}

TarvoStatus TarvoServer::Run(HANDLE stopEvent, HANDLE arrivalEvent)
{
    SetThreadPriority(GetCurrentThread(), THREAD_PRIORITY_TIME_CRITICAL);
    if (!Connect())
        return TARVO_STATUS_ALREADY_DONE;

    TarvoStatus result = TARVO_STATUS_SUCCESS;
    for (bool running = true; running;) {
        HANDLE handles[4] = {stopEvent, arrivalEvent, nullptr, nullptr};
        DWORD count = 2;
        if (IsOpen()) {
            handles[count++] = messageEvent.Get();
            handles[count++] = notificationEvent.Get();
        }
        const DWORD wait = WaitForMultipleObjectsEx(count, handles, FALSE, INFINITE, TRUE);
        switch (wait) {
        case WAIT_OBJECT_0:
            running = false;
            break;
        case WAIT_OBJECT_0 + 1:
            if (!IsOpen())
                (void)Reconnect();
            if (IsOpen()) {
                bool changed = false;
                (void)UpdateDeviceList(changed);
                if (changed)
                    OnDevicesChanged();
            }
            break;
        case WAIT_OBJECT_0 + 2:
            ProcessMessages();
            break;
        case WAIT_OBJECT_0 + 3:
            ProcessNotifications();
            break;
        case WAIT_IO_COMPLETION:
            break;  // a device object's timer routine has run
        case WAIT_FAILED:
            (void)GetLastError();  // nothing to do but wait again
            break;
        default:  // an abandoned wait
            result = TARVO_STATUS_FAILED;
            running = false;
            break;
        }
        if (closePending) {
            closePending = false;
            Detach();
        }
    }
    return result;
}

void TarvoServer::OnDevicesChanged()
{
    // A list that has become empty closes the connection at the end of this wake-up; one
    // that has filled again before then keeps it open, or the server would detach from a
    // driver with devices and hear of them only at the next arrival.
    closePending = GetDeviceCount() == 0;
    if (!closePending)
        (void)GoRunning(1);
    (void)PostNotification(TARVO_NOTIFY_STREAM_RECONFIGURED);
    (void)PostNotification(TARVO_NOTIFY_DEVICE_LIST_CHANGED);
}

// ---- stepping the stream ----

TarvoStatus TarvoServer::ReadKnownState(TarvoStreamingStatus& stream)
{
    const TarvoStatus status = GetStreamingStatus(stream);
    if (status != TARVO_STATUS_SUCCESS)
        return status;
    if (stream.state < TARVO_STREAM_DOWN || stream.state > TARVO_STREAM_NOT_SUPPORTED)
        return TARVO_STATUS_INVALID_STATE;
    return TARVO_STATUS_SUCCESS;
}

TarvoStatus TarvoServer::StepStream(uint32_t from, uint32_t to, uint32_t sampleRate, uint32_t command,
                                    uint32_t argument)
{
    const TarvoStatus status = StreamingCommand(command, argument);
    if (status != TARVO_STATUS_SUCCESS) {
        // The device objects hear of a refused PREPARE, RUN or HALT, not of a refused
        // power change.
        if (command != TARVO_STREAM_CMD_POWER_UP && command != TARVO_STREAM_CMD_POWER_DOWN)
            TransitionFailed(from, to, status);
        return status;
    }
    AfterTransition(from, to, sampleRate);
    return TARVO_STATUS_SUCCESS;
}

TarvoStatus TarvoServer::GoRunning(uint32_t mode)
{
    TarvoStatus status = PrepareStart();
    if (status != TARVO_STATUS_SUCCESS)
        return status;
    for (uint32_t commands = 0;; ++commands) {
        TarvoStreamingStatus stream = {};
        status = ReadKnownState(stream);
        if (status != TARVO_STATUS_SUCCESS)
            return status;
        const uint32_t state = stream.state;
        if (state == TARVO_STREAM_RUNNING || (state == TARVO_STREAM_READY && !HasStreamUsers(stream)))
            return TARVO_STATUS_SUCCESS;
        if (commands == TARVO_MAX_STREAMING_STEPS)
            return TARVO_STATUS_INVALID_STATE;
        if (state == TARVO_STREAM_ERROR || state == TARVO_STREAM_NOT_SUPPORTED) {
            status = StreamingCommand(TARVO_STREAM_CMD_RECOVER, 0);
            if (status != TARVO_STATUS_SUCCESS)
                return status;
            continue;
        }
        const uint32_t target = state + 1;
        status = BeforeTransition(state, target, stream.sampleRate);
        if (status != TARVO_STATUS_SUCCESS)
            return status;
        if (state == TARVO_STREAM_DOWN)
            status = StepStream(state, target, stream.sampleRate, TARVO_STREAM_CMD_POWER_UP, mode);
        else
            status = StepStream(state, target, stream.sampleRate,
                                state == TARVO_STREAM_READY ? TARVO_STREAM_CMD_PREPARE : TARVO_STREAM_CMD_RUN, 0);
        if (status != TARVO_STATUS_SUCCESS)
            return status;
    }
}

TarvoStatus TarvoServer::GoStopped(uint32_t mode)
{
    for (uint32_t commands = 0;; ++commands) {
        TarvoStreamingStatus stream = {};
        TarvoStatus status = ReadKnownState(stream);
        if (status != TARVO_STATUS_SUCCESS)
            return status;
        const uint32_t state = stream.state;
        if (state == TARVO_STREAM_DOWN)
            return TARVO_STATUS_SUCCESS;
        if (commands == TARVO_MAX_STREAMING_STEPS)
            return TARVO_STATUS_INVALID_STATE;
        if (state == TARVO_STREAM_ERROR || state == TARVO_STREAM_NOT_SUPPORTED) {
            status = StreamingCommand(TARVO_STREAM_CMD_RECOVER, 0);
        } else if (state == TARVO_STREAM_READY) {
            (void)BeforeTransition(state, TARVO_STREAM_DOWN, stream.sampleRate);  // stepping down cannot be vetoed
            status = StepStream(state, TARVO_STREAM_DOWN, stream.sampleRate, TARVO_STREAM_CMD_POWER_DOWN, mode);
        } else {
            (void)BeforeTransition(state, TARVO_STREAM_READY, stream.sampleRate);
            status = StepStream(state, TARVO_STREAM_READY, stream.sampleRate, TARVO_STREAM_CMD_HALT, 0);
        }
        if (status != TARVO_STATUS_SUCCESS)
            return status;
    }
}

TarvoStatus TarvoServer::GoIdle()
{
    TarvoStreamingStatus stream = {};
    const TarvoStatus status = GetStreamingStatus(stream);
    if (status != TARVO_STATUS_SUCCESS)
        return status;
    const uint32_t state = stream.state;
    if ((state != TARVO_STREAM_PREPARED && state != TARVO_STREAM_RUNNING) || HasStreamUsers(stream))
        return TARVO_STATUS_SUCCESS;
    (void)BeforeTransition(state, TARVO_STREAM_READY, stream.sampleRate);
    return StepStream(state, TARVO_STREAM_READY, stream.sampleRate, TARVO_STREAM_CMD_HALT, 0);
}

bool TarvoServer::HasStreamUsers(const TarvoStreamingStatus& status)
{
    return status.userCount1 != 0 || status.userCount2 != 0 || status.userCount4 != 0 || status.userCount5 != 0;
}

TarvoDeviceCtrl* TarvoServer::GetDeviceCtrl(uint32_t index) const
{
    return dynamic_cast<TarvoDeviceCtrl*>(GetDevice(index));
}

TarvoDeviceCtrl* TarvoServer::FindDeviceCtrl(uint32_t key0, uint32_t key1) const
{
    return dynamic_cast<TarvoDeviceCtrl*>(FindDevice(key0, key1));
}

TarvoStatus TarvoServer::BeforeTransition(uint32_t from, uint32_t to, uint32_t sampleRate)
{
    for (uint32_t i = 0; i < GetDeviceCount(); ++i)
        if (TarvoDeviceCtrl* device = GetDeviceCtrl(i)) {
            const TarvoStatus status = device->BeforeTransition(from, to, sampleRate);
            if (status != TARVO_STATUS_SUCCESS)
                return status;
        }
    return TARVO_STATUS_SUCCESS;
}

void TarvoServer::AfterTransition(uint32_t from, uint32_t to, uint32_t sampleRate)
{
    for (uint32_t i = 0; i < GetDeviceCount(); ++i)
        if (TarvoDeviceCtrl* device = GetDeviceCtrl(i))
            device->AfterTransition(from, to, sampleRate);
}

void TarvoServer::TransitionFailed(uint32_t from, uint32_t to, TarvoStatus status)
{
    for (uint32_t i = 0; i < GetDeviceCount(); ++i)
        if (TarvoDeviceCtrl* device = GetDeviceCtrl(i))
            device->TransitionFailed(from, to, status);
}

TarvoStatus TarvoServer::PrepareStart()
{
    for (uint32_t i = 0; i < GetDeviceCount(); ++i)
        if (TarvoDeviceCtrl* device = GetDeviceCtrl(i)) {
            const TarvoStatus status = device->PrepareStart();
            if (status != TARVO_STATUS_SUCCESS)
                return status;
        }
    return TARVO_STATUS_SUCCESS;
}

// ---- messages ----

TarvoStatus TarvoServer::PostNotification(uint32_t code)
{
    TarvoMessage record;
    record.Init(TARVO_MSG_NOTIFICATION, code);
    return PostMessage(record);
}

void TarvoServer::ProcessMessages()
{
    // Both records live on the server thread's stack: fetching and answering allocate nothing.
    TarvoMessage request;
    request.Init(TARVO_MSG_NONE, 0);
    TarvoMessage reply;
    while (GetMessage(request) == TARVO_STATUS_SUCCESS) {
        if (request.type != TARVO_MSG_REQUEST)
            continue;
        reply.Init(TARVO_MSG_NONE, 0);
        reply.InitReply(request, TARVO_STATUS_INVALID_COMMAND);
        const TarvoStatus status = HandleRequest(request, reply);
        if (status == TARVO_STATUS_PENDING)
            continue;
        reply.status = status;
        (void)PostMessage(reply);  // a lost reply shows as the client's time-out
    }
}

void TarvoServer::ProcessNotifications()
{
    TarvoMessage notification;
    notification.Init(TARVO_MSG_NONE, 0);
    while (GetNotification(notification) == TARVO_STATUS_SUCCESS)
        if (notification.type == TARVO_MSG_NOTIFICATION)
            HandleNotification(notification);
}

// ---- requests ----

TarvoStatus TarvoServer::HandleRequest(const TarvoMessage& request, TarvoMessage& reply)
{
    TarvoStatus status = TARVO_STATUS_SUCCESS;
    switch (request.code) {
    case TARVO_REQ_SET_SAMPLE_RATE: {
        uint32_t rate = 0;
        status = request.Read4(rate);
        return status != TARVO_STATUS_SUCCESS ? status : OnSetSampleRate(rate);
    }
    case TARVO_REQ_SET_BUFFER_SIZES: {
        TarvoBufferSizeSettings settings = {};
        status = request.ReadFixed(&settings, sizeof settings);
        return status != TARVO_STATUS_SUCCESS ? status : OnSetBufferSizes(settings);
    }
    case TARVO_REQ_SELECT_STREAMING_DEVICE: {
        TarvoStreamingDeviceRecord record = {};
        status = request.ReadFixed(&record, sizeof record);
        return status != TARVO_STATUS_SUCCESS ? status : OnSetStreamingDevice(record);
    }
    case TARVO_REQ_DEVICE_BYTE: {
        uint8_t value = 0;
        status = request.Read1(value);
        return status != TARVO_STATUS_SUCCESS ? status : OnDeviceRequest(value);
    }
    case TARVO_REQ_SET_POLICY: {
        uint32_t policy = 0;
        status = request.Read4(policy);
        return status != TARVO_STATUS_SUCCESS ? status : OnSetPolicy(policy);
    }
    default:
        return HandleCustomRequest(request, reply);
    }
}

TarvoStatus TarvoServer::HandleCustomRequest(const TarvoMessage&, TarvoMessage&)
{
    return TARVO_STATUS_INVALID_COMMAND;
}

TarvoStatus TarvoServer::ReadStatusForChange(TarvoStreamingStatus& status, bool lockedByCounter3)
{
    TarvoStatus result = GetStreamingStatus(status);
    if (result == TARVO_STATUS_SUCCESS && (status.userCount2 != 0 || (lockedByCounter3 && status.userCount3 != 0)))
        result = TARVO_STATUS_SOUND_DEVICE_IN_USE;
    return result;
}

TarvoStatus TarvoServer::OnSetSampleRate(uint32_t rate)
{
    TarvoStreamingStatus stream = {};
    TarvoStatus status = GetStreamingStatus(stream);
    if (status != TARVO_STATUS_SUCCESS)
        return status;
    if (rate == stream.sampleRate)
        return TARVO_STATUS_SUCCESS;
    if (stream.userCount2 != 0 || stream.userCount3 != 0)
        return TARVO_STATUS_SOUND_DEVICE_IN_USE;
    (void)SelectSampleRate(rate);
    const uint32_t mode = SampleRateChangeMode(*this);
    bool stopped = false;
    status = WithStreamStopped(mode, [&] {
        stopped = true;
        return SetSampleRate(rate);
    });
    (void)PostNotification(TARVO_NOTIFY_STREAM_RECONFIGURED);
    if (stopped)  // the rate can only have changed with the stream down
        (void)PostNotification(TARVO_NOTIFY_SAMPLE_RATE_CHANGED);
    return status;
}

TarvoStatus TarvoServer::OnSetBufferSizes(const TarvoBufferSizeSettings& settings)
{
    return ChangeLockedConfiguration(0, [&] { return SetBufferSizes(settings); });
}

TarvoStatus TarvoServer::OnSetStreamingDevice(const TarvoStreamingDeviceRecord& record)
{
    return ChangeLockedConfiguration(1, [&] { return SetStreamingDevice(record); });
}

TarvoStatus TarvoServer::OnDeviceRequest(uint8_t value)
{
    for (uint32_t i = 0; i < GetDeviceCount(); ++i)
        if (TarvoDeviceCtrl* device = GetDeviceCtrl(i)) {
            const TarvoStatus status = device->OnDeviceRequest(value);
            if (status != TARVO_STATUS_SUCCESS)
                return status;
        }
    return TARVO_STATUS_SUCCESS;
}

TarvoStatus TarvoServer::OnSetPolicy(uint32_t policy)
{
    TarvoPolicy current = {};
    TarvoStatus status = GetPolicy(current);
    if (status != TARVO_STATUS_SUCCESS)
        return status;
    if (current.flags == policy)
        return TARVO_STATUS_SUCCESS;
    TarvoStreamingStatus stream = {};
    status = ReadStatusForChange(stream, false);
    if (status != TARVO_STATUS_SUCCESS)
        return status;
    // The driver's answer goes back to the client: a refused policy must not show as set.
    const TarvoPolicy wanted = {policy};
    return SetPolicy(wanted);
}

// ---- notifications ----

void TarvoServer::HandleNotification(const TarvoMessage& notification)
{
    uint32_t key[2] = {};
    uint32_t record[4] = {};
    switch (notification.code) {
    case TARVO_NOTIFY_STREAM_WANTED:
        (void)OnStreamWanted();
        break;
    case TARVO_NOTIFY_STREAM_RELEASED:
        (void)OnStreamReleased();
        break;
    case TARVO_NOTIFY_DEVICES_CHANGED:
        OnDeviceListChange();
        break;
    case TARVO_NOTIFY_STREAM_RESTART:
        (void)OnStreamRestart();
        break;
    case TARVO_NOTIFY_DEVICE_STREAM_WANTED:
        if (notification.Read8(key) == TARVO_STATUS_SUCCESS)
            (void)OnDeviceStreamWanted(key[0], key[1]);
        break;
    case TARVO_NOTIFY_DEVICE_STREAM_RELEASED:
        if (notification.Read8(key) == TARVO_STATUS_SUCCESS)
            (void)OnDeviceStreamReleased(key[0], key[1]);
        break;
    case TARVO_NOTIFY_LIST_REQUEST:
        (void)OnListRequest();
        break;
    case TARVO_NOTIFY_VOLUMES_CHANGED:
        if (notification.Read8(key) == TARVO_STATUS_SUCCESS)
            OnVolumesChanged(key[0], key[1]);
        break;
    case TARVO_NOTIFY_SOUND_DEVICE_EVENT:
        if (notification.Read16(record) == TARVO_STATUS_SUCCESS)
            OnSoundDeviceEvent(record);
        break;
    case TARVO_NOTIFY_IGNORED:
        break;
    default:
        HandleCustomNotification(notification);
        break;
    }
}

void TarvoServer::HandleCustomNotification(const TarvoMessage&)
{
}

TarvoStatus TarvoServer::OnStreamWanted()
{
    return GoRunning(0);
}

TarvoStatus TarvoServer::OnStreamReleased()
{
    return GoIdle();
}

TarvoStatus TarvoServer::OnStreamRestart()
{
    return GoRunning(1);
}

void TarvoServer::OnDeviceListChange()
{
    bool changed = false;
    (void)UpdateDeviceList(changed);
    OnDevicesChanged();
}

TarvoStatus TarvoServer::OnDeviceStreamWanted(uint32_t, uint32_t)
{
    return GoRunning(0);
}

TarvoStatus TarvoServer::OnDeviceStreamReleased(uint32_t, uint32_t)
{
    return GoIdle();
}

TarvoStatus TarvoServer::OnListRequest()
{
    return PostNotification(TARVO_NOTIFY_DEVICE_LIST_CHANGED);
}

void TarvoServer::OnVolumesChanged(uint32_t key0, uint32_t key1)
{
    if (TarvoDeviceCtrl* device = FindDeviceCtrl(key0, key1))
        device->SaveVolumes();
}

void TarvoServer::OnSoundDeviceEvent(const uint32_t (&record)[4])
{
    TarvoDeviceCtrl* device = FindDeviceCtrl(record[0], record[1]);
    if (device == nullptr)
        return;
    if (record[2] == 1)
        device->OnCaptureVolumeChanged(record[3]);
    else if (record[2] == 2)
        device->OnRenderVolumeChanged(record[3]);
}
