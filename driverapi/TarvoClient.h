// The client side of the message channel: the control panel's connection (role 2, both
// events). It sends requests to the service through the driver and waits for each reply,
// and fetches the notifications the driver and the service post.
#pragma once

#include "TarvoDriver.h"
#include "TarvoMessage.h"

class TarvoClient : public TarvoDriver {
public:
    TarvoClient() = default;
    ~TarvoClient() override = default;

    // Sends a prepared request under the next sequence number and waits for its reply,
    // holding the connection's lock throughout, so other requests on this connection
    // wait until the transaction ends. Each wait for the message event lasts up to
    // timeoutMs (TARVO_STATUS_TIMEOUT); replies to earlier requests and records of other
    // types are dropped on the way. The reply is complete in reply on success.
    [[nodiscard]] TarvoStatus Transact(TarvoMessage& request, TarvoMessage& reply, uint32_t timeoutMs);

    // The requests of the control panel; each returns the service's status for it, or why
    // no matching 2001 reply came (TARVO_STATUS_UNEXPECTED_MSG_CODE for another code).
    [[nodiscard]] TarvoStatus RequestSampleRate(uint32_t rate, uint32_t timeoutMs = TARVO_REQUEST_TIMEOUT_MS);
    [[nodiscard]] TarvoStatus RequestBufferSizes(const TarvoBufferSizeSettings& settings);
    [[nodiscard]] TarvoStatus RequestStreamingDevice(uint32_t key0, uint32_t key1, bool allDevices);
    [[nodiscard]] TarvoStatus RequestPolicy(const TarvoPolicy& policy, uint32_t timeoutMs = TARVO_REQUEST_TIMEOUT_MS);

    // The next notification (type 3); records of other types are dropped. Fails with the
    // status of the fetch, normally TARVO_STATUS_NO_MORE_ITEMS.
    [[nodiscard]] TarvoStatus GetNotification(TarvoMessage& record);

    uint32_t GetLastSequence() const { return lastSequence; }

protected:
    // Sends a request whose answer is a 2001 reply and returns the reply's status.
    TarvoStatus RequestWithStatusReply(uint32_t code, const void* payload, uint32_t size, uint32_t timeoutMs);

    // Sequence number of the last request sent; 0 at construction and never used, it
    // survives Detach and reopening.
    uint32_t lastSequence = 0;
};

// The control panel's connection: adds the two sound device configuration requests.
class TarvoCplClient : public TarvoClient {
public:
    [[nodiscard]] TarvoStatus SetSoundDeviceConfiguration(uint32_t key0, uint32_t key1, uint32_t render,
                                                          uint32_t capture);
    // render and capture are written only on success.
    [[nodiscard]] TarvoStatus GetSoundDeviceConfiguration(uint32_t key0, uint32_t key1, uint32_t& render,
                                                          uint32_t& capture);
};
