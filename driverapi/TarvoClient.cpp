#include "TarvoClient.h"

namespace {

// Leaves the connection's lock on every way out of a transaction.
class LockHold {
public:
    explicit LockHold(CRITICAL_SECTION& section) : held(section) { EnterCriticalSection(&held); }
    ~LockHold() { LeaveCriticalSection(&held); }
    LockHold(const LockHold&) = delete;
    LockHold& operator=(const LockHold&) = delete;

private:
    CRITICAL_SECTION& held;
};

}  // namespace

TarvoStatus TarvoClient::Transact(TarvoMessage& request, TarvoMessage& reply, uint32_t timeoutMs)
{
    LockHold hold(lock);
    uint32_t sequence = lastSequence + 1;
    if (sequence == 0)
        sequence = 1;  // 0 marks records that are not part of a transaction
    lastSequence = sequence;
    request.sequence = sequence;

    TarvoStatus status = PostMessage(request);
    if (status != TARVO_STATUS_SUCCESS)
        return status;
    for (;;) {
        const DWORD waited = WaitForSingleObject(messageEvent.Get(), timeoutMs);
        if (waited == WAIT_TIMEOUT)
            return TARVO_STATUS_TIMEOUT;
        if (waited != WAIT_OBJECT_0)
            return TARVO_STATUS_FAILED;
        // Fetch until the queue is empty before waiting again: one signal of the
        // auto-reset event may stand for a late reply and the awaited one together.
        while ((status = GetMessage(reply)) == TARVO_STATUS_SUCCESS) {
            if (reply.type == TARVO_MSG_REPLY && reply.sequence == sequence)
                return TARVO_STATUS_SUCCESS;
            // Another type, or the reply to a request whose caller gave up: dropped.
        }
        if (status != TARVO_STATUS_NO_MORE_ITEMS)
            return status;
    }
}

TarvoStatus TarvoClient::RequestWithStatusReply(uint32_t code, const void* payload, uint32_t size,
                                                uint32_t timeoutMs)
{
    TarvoMessage request;
    request.Init(TARVO_MSG_REQUEST, code);
    TarvoStatus status = request.SetPayload(payload, size);
    if (status != TARVO_STATUS_SUCCESS)
        return status;
    TarvoMessage reply;
    reply.Init(TARVO_MSG_NONE, 0);
    status = Transact(request, reply, timeoutMs);
    if (status != TARVO_STATUS_SUCCESS)
        return status;
    return reply.code == TARVO_REPLY_STATUS ? reply.status : TARVO_STATUS_UNEXPECTED_MSG_CODE;
}

TarvoStatus TarvoClient::RequestSampleRate(uint32_t rate, uint32_t timeoutMs)
{
    return RequestWithStatusReply(TARVO_REQ_SET_SAMPLE_RATE, &rate, sizeof rate, timeoutMs);
}

TarvoStatus TarvoClient::RequestBufferSizes(const TarvoBufferSizeSettings& settings)
{
    return RequestWithStatusReply(TARVO_REQ_SET_BUFFER_SIZES, &settings, sizeof settings, TARVO_REQUEST_TIMEOUT_MS);
}

TarvoStatus TarvoClient::RequestStreamingDevice(uint32_t key0, uint32_t key1, bool allDevices)
{
    const uint32_t words[3] = {allDevices ? 1u : 0u, key0, key1};
    return RequestWithStatusReply(TARVO_REQ_SELECT_STREAMING_DEVICE, words, sizeof words, TARVO_REQUEST_TIMEOUT_MS);
}

TarvoStatus TarvoClient::RequestPolicy(const TarvoPolicy& policy, uint32_t timeoutMs)
{
    return RequestWithStatusReply(TARVO_REQ_SET_POLICY, &policy, sizeof policy, timeoutMs);
}

TarvoStatus TarvoClient::GetNotification(TarvoMessage& record)
{
    TarvoStatus status;
    while ((status = TarvoDriver::GetNotification(record)) == TARVO_STATUS_SUCCESS)
        if (record.type == TARVO_MSG_NOTIFICATION)
            return TARVO_STATUS_SUCCESS;
    return status;
}

TarvoStatus TarvoCplClient::SetSoundDeviceConfiguration(uint32_t key0, uint32_t key1, uint32_t render,
                                                        uint32_t capture)
{
    const uint32_t words[4] = {key0, key1, render, capture};
    return RequestWithStatusReply(TARVO_REQ_SET_SOUND_DEVICE_CONFIG, words, sizeof words, TARVO_REQUEST_TIMEOUT_MS);
}

TarvoStatus TarvoCplClient::GetSoundDeviceConfiguration(uint32_t key0, uint32_t key1, uint32_t& render,
                                                        uint32_t& capture)
{
    TarvoMessage request;
    request.Init(TARVO_MSG_REQUEST, TARVO_REQ_GET_SOUND_DEVICE_CONFIG);
    const uint32_t words[4] = {key0, key1, 0, 0};
    (void)request.SetPayload(words, sizeof words);  // 16 bytes always fit
    TarvoMessage reply;
    reply.Init(TARVO_MSG_NONE, 0);
    TarvoStatus status = Transact(request, reply, TARVO_REQUEST_TIMEOUT_MS);
    if (status != TARVO_STATUS_SUCCESS)
        return status;
    // A refused request comes back as a 2001 reply, which lands here too.
    if (reply.code != TARVO_REPLY_SOUND_DEVICE_CONFIG)
        return TARVO_STATUS_UNEXPECTED_MSG_CODE;
    if (reply.status != TARVO_STATUS_SUCCESS)
        return reply.status;
    uint32_t answer[4];
    status = reply.Read16(answer);
    if (status != TARVO_STATUS_SUCCESS)
        return status;
    render = answer[2];
    capture = answer[3];
    return TARVO_STATUS_SUCCESS;
}
