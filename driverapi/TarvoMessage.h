// The message record the driver relays between user-mode parties (requests, replies and
// notifications), with every message code and its payload. The record is the same for
// every direction and is posted with its exact length: 32 header bytes and payloadSize
// payload bytes. Plain layout without constructors, so the simulated driver shares it.
#pragma once

#include <cstddef>
#include <cstdint>

#include "TarvoStatus.h"

constexpr uint32_t TARVO_MSG_HEADER_SIZE = 32;
constexpr uint32_t TARVO_MSG_MAX_PAYLOAD = 512;
constexpr uint32_t TARVO_MSG_RECORD_SIZE = TARVO_MSG_HEADER_SIZE + TARVO_MSG_MAX_PAYLOAD;

// Message types; a record prepared for fetching carries type 0.
constexpr uint32_t TARVO_MSG_NONE = 0;
constexpr uint32_t TARVO_MSG_REQUEST = 1;
constexpr uint32_t TARVO_MSG_REPLY = 2;
constexpr uint32_t TARVO_MSG_NOTIFICATION = 3;

// Requests (type 1), answered by the service. Payload sizes in bytes.
constexpr uint32_t TARVO_REQ_SET_SAMPLE_RATE = 1001;          // 4: rate in Hz
constexpr uint32_t TARVO_REQ_SET_BUFFER_SIZES = 1002;         // 12: TarvoBufferSizeSettings
constexpr uint32_t TARVO_REQ_SELECT_STREAMING_DEVICE = 1003;  // 12: allDevices, key0, key1
constexpr uint32_t TARVO_REQ_DEVICE_BYTE = 1004;              // 1: value for every device object
constexpr uint32_t TARVO_REQ_SET_POLICY = 1005;               // 4: policy flags
constexpr uint32_t TARVO_REQ_SET_SOUND_DEVICE_CONFIG = 11001; // 16: key0, key1, render, capture
constexpr uint32_t TARVO_REQ_GET_SOUND_DEVICE_CONFIG = 11002; // 16: key0, key1, 0, 0

// Replies (type 2).
constexpr uint32_t TARVO_REPLY_STATUS = 2001;               // no payload; the result in status
constexpr uint32_t TARVO_REPLY_SOUND_DEVICE_CONFIG = 12001; // 16: key0, key1, render, capture

// Notifications (type 3).
constexpr uint32_t TARVO_NOTIFY_STREAM_SETTINGS_CHANGED = 3001;   // none
constexpr uint32_t TARVO_NOTIFY_STREAM_WANTED = 3003;             // none
constexpr uint32_t TARVO_NOTIFY_STREAM_RELEASED = 3004;           // none
constexpr uint32_t TARVO_NOTIFY_DEVICES_CHANGED = 3005;           // none
constexpr uint32_t TARVO_NOTIFY_STREAM_RESTART = 3006;            // none
constexpr uint32_t TARVO_NOTIFY_STREAM_RECONFIGURED = 3010;       // none
constexpr uint32_t TARVO_NOTIFY_SAMPLE_RATE_CHANGED = 3011;       // none
constexpr uint32_t TARVO_NOTIFY_DEVICE_STREAM_WANTED = 3015;      // 8: key0, key1
constexpr uint32_t TARVO_NOTIFY_DEVICE_STREAM_RELEASED = 3016;    // 8: key0, key1
constexpr uint32_t TARVO_NOTIFY_LIST_REQUEST = 3020;              // none
constexpr uint32_t TARVO_NOTIFY_IGNORED = 3021;                   // none
constexpr uint32_t TARVO_NOTIFY_DEVICE_LIST_CHANGED = 3030;       // none
constexpr uint32_t TARVO_NOTIFY_DEVICE_SETTINGS_CHANGED = 3040;   // 8: key0, key1
constexpr uint32_t TARVO_NOTIFY_MIXER_CHANGED = 3050;             // 8: key0, key1
constexpr uint32_t TARVO_NOTIFY_VOLUMES_CHANGED = 3051;           // 8: key0, key1
constexpr uint32_t TARVO_NOTIFY_WEIGHTS_CHANGED = 3052;           // 8: key0, key1
constexpr uint32_t TARVO_NOTIFY_SOUND_DEVICE_EVENT = 3060;        // 16: key0, key1, table, entry index

// Time-out of the control panel's requests to the service.
constexpr uint32_t TARVO_REQUEST_TIMEOUT_MS = 30000;

// One record, little-endian, 544 bytes. None of the operations allocates.
struct TarvoMessage {
    uint32_t headerSize;   // always 32
    uint32_t payloadSize;  // valid payload bytes, 0..512
    uint32_t type;         // TARVO_MSG_*
    uint32_t code;
    uint32_t sequence;     // chosen by the client, copied into the reply
    uint32_t echo0;        // the driver's; copied from the request into the reply
    uint32_t echo1;
    uint32_t status;       // a reply's result
    uint8_t payload[TARVO_MSG_MAX_PAYLOAD];

    // Header 32, no payload, the given type and code, every other field and the payload 0.
    void Init(uint32_t type, uint32_t code);
    // A 2001 reply to the request: sequence and echo words copied, the given status.
    void InitReply(const TarvoMessage& request, TarvoStatus status);
    // More than 512 bytes: TARVO_STATUS_INVALID_LENGTH and the record is unchanged.
    [[nodiscard]] TarvoStatus SetPayload(const void* data, uint32_t size);
    // size in: the buffer's capacity; out: payloadSize. A capacity below payloadSize gives
    // TARVO_STATUS_INVALID_LENGTH and copies nothing.
    [[nodiscard]] TarvoStatus GetPayload(void* buffer, uint32_t& size) const;
    // Reads a payload of exactly size bytes: longer gives TARVO_STATUS_INVALID_LENGTH,
    // shorter TARVO_STATUS_INVALID_MSG_SIZE. The buffer is written only on success.
    [[nodiscard]] TarvoStatus ReadFixed(void* buffer, uint32_t size) const;
    [[nodiscard]] TarvoStatus Read1(uint8_t& value) const { return ReadFixed(&value, 1); }
    [[nodiscard]] TarvoStatus Read4(uint32_t& value) const { return ReadFixed(&value, 4); }
    [[nodiscard]] TarvoStatus Read8(uint32_t (&words)[2]) const { return ReadFixed(words, 8); }
    [[nodiscard]] TarvoStatus Read12(uint32_t (&words)[3]) const { return ReadFixed(words, 12); }
    [[nodiscard]] TarvoStatus Read16(uint32_t (&words)[4]) const { return ReadFixed(words, 16); }

    // Bytes a post of this record sends: the header and the valid payload.
    uint32_t PostedSize() const { return TARVO_MSG_HEADER_SIZE + payloadSize; }
};

static_assert(sizeof(TarvoMessage) == 544, "message record");
static_assert(offsetof(TarvoMessage, payloadSize) == 4, "message record");
static_assert(offsetof(TarvoMessage, type) == 8, "message record");
static_assert(offsetof(TarvoMessage, code) == 12, "message record");
static_assert(offsetof(TarvoMessage, sequence) == 16, "message record");
static_assert(offsetof(TarvoMessage, echo0) == 20, "message record");
static_assert(offsetof(TarvoMessage, echo1) == 24, "message record");
static_assert(offsetof(TarvoMessage, status) == 28, "message record");
static_assert(offsetof(TarvoMessage, payload) == TARVO_MSG_HEADER_SIZE, "message record");
