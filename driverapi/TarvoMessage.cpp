#include "TarvoMessage.h"

#include <cstring>

void TarvoMessage::Init(uint32_t messageType, uint32_t messageCode)
{
    memset(this, 0, sizeof(*this));
    headerSize = TARVO_MSG_HEADER_SIZE;
    type = messageType;
    code = messageCode;
}

void TarvoMessage::InitReply(const TarvoMessage& request, TarvoStatus result)
{
    // Copied first: request and reply may be the same record.
    const uint32_t requestSequence = request.sequence;
    const uint32_t requestEcho0 = request.echo0;
    const uint32_t requestEcho1 = request.echo1;
    Init(TARVO_MSG_REPLY, TARVO_REPLY_STATUS);
    status = result;
    sequence = requestSequence;
    echo0 = requestEcho0;
    echo1 = requestEcho1;
}

TarvoStatus TarvoMessage::SetPayload(const void* data, uint32_t size)
{
    if (size > TARVO_MSG_MAX_PAYLOAD)
        return TARVO_STATUS_INVALID_LENGTH;
    if (size != 0)
        memmove(payload, data, size);
    payloadSize = size;
    return TARVO_STATUS_SUCCESS;
}

TarvoStatus TarvoMessage::GetPayload(void* buffer, uint32_t& size) const
{
    // A received payloadSize above 512 cannot be honoured: the record holds no more.
    if (size < payloadSize || payloadSize > TARVO_MSG_MAX_PAYLOAD)
        return TARVO_STATUS_INVALID_LENGTH;
    if (payloadSize != 0)
        memcpy(buffer, payload, payloadSize);
    size = payloadSize;
    return TARVO_STATUS_SUCCESS;
}

TarvoStatus TarvoMessage::ReadFixed(void* buffer, uint32_t size) const
{
    uint8_t copy[TARVO_MSG_MAX_PAYLOAD];
    uint32_t got = size <= sizeof(copy) ? size : static_cast<uint32_t>(sizeof(copy));
    const TarvoStatus status = GetPayload(copy, got);
    if (status != TARVO_STATUS_SUCCESS)
        return status;
    if (got != size)
        return TARVO_STATUS_INVALID_MSG_SIZE;
    memcpy(buffer, copy, size);
    return TARVO_STATUS_SUCCESS;
}
