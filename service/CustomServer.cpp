#include "CustomServer.h"

#include "CustomDevice.h"

std::unique_ptr<TarvoDevice> CustomServer::CreateDevice()
{
    return std::make_unique<CustomDevice>(GetRegistryRoot());
}

TarvoStatus CustomServer::HandleCustomRequest(const TarvoMessage& request, TarvoMessage& reply)
{
    switch (request.code) {
    case TARVO_REQ_SET_SOUND_DEVICE_CONFIG:
        return OnSetSoundDeviceConfiguration(request);
    case TARVO_REQ_GET_SOUND_DEVICE_CONFIG:
        return OnGetSoundDeviceConfiguration(request, reply);
    default:
        return TARVO_STATUS_INVALID_COMMAND;
    }
}

TarvoStatus CustomServer::OnSetSoundDeviceConfiguration(const TarvoMessage& request)
{
    uint32_t record[4] = {};
    TarvoStatus status = request.Read16(record);
    if (status != TARVO_STATUS_SUCCESS)
        return status;
    CustomDevice* device = dynamic_cast<CustomDevice*>(FindDevice(record[0], record[1]));
    if (device == nullptr)
        return TARVO_STATUS_OBJECT_NOT_FOUND;
    // Configuration 0 is the only layout built.
    if (record[2] != 0 || record[3] != 0)
        return TARVO_STATUS_INVALID_PARAMETER;
    TarvoStreamingStatus stream = {};
    status = GetStreamingStatus(stream);
    if (status != TARVO_STATUS_SUCCESS)
        return status;
    if (stream.userCount2 != 0)
        return TARVO_STATUS_SOUND_DEVICE_IN_USE;
    status = GoStopped(0);
    if (status != TARVO_STATUS_SUCCESS)
        return status;
    // The stream is brought back up either way; a table the driver refused is still the
    // client's answer, as its sound devices are not what it asked for.
    status = device->SetSoundDeviceConfiguration(record);
    const TarvoStatus restarted = GoRunning(0);
    return status != TARVO_STATUS_SUCCESS ? status : restarted;
}

TarvoStatus CustomServer::OnGetSoundDeviceConfiguration(const TarvoMessage& request, TarvoMessage& reply)
{
    uint32_t record[4] = {};
    const TarvoStatus status = request.Read16(record);
    if (status != TARVO_STATUS_SUCCESS)
        return status;
    const CustomDevice* device = dynamic_cast<CustomDevice*>(FindDevice(record[0], record[1]));
    if (device == nullptr)
        return TARVO_STATUS_OBJECT_NOT_FOUND;
    record[2] = device->GetRenderConfiguration();
    record[3] = device->GetCaptureConfiguration();
    reply.code = TARVO_REPLY_SOUND_DEVICE_CONFIG;
    return reply.SetPayload(record, sizeof record);
}
