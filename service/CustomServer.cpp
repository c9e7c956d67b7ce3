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
    status = ReadStatusForChange(stream, false);
    if (status != TARVO_STATUS_SUCCESS)
        return status;
    // A table the driver refused is the client's answer, as its sound devices are not
    // what it asked for; the stream is brought back up either way.
    return WithStreamStopped(0, [&] { return device->SetSoundDeviceConfiguration(record); });
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
