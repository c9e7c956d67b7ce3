// Per-connection storage of the simulated message relay: a bounded message queue, a
// bounded notification queue and the requests this connection posted that still wait
// for their reply. It lives inside SimConnection, so it is allocated, zeroed and freed
// with the connection and the logic never allocates.
#pragma once

#include <cstdint>

#include "TarvoMessage.h"

// Records one queue holds; a post that would exceed it is refused with
// TARVO_STATUS_NO_RESOURCES.
constexpr uint32_t SIM_MESSAGE_QUEUE_RECORDS = 64;
// Outstanding requests remembered per client. Larger than the server's queue, so only a
// client that keeps posting while its requests go unanswered loses the oldest one.
constexpr uint32_t SIM_MAX_OUTSTANDING = 2 * SIM_MESSAGE_QUEUE_RECORDS;

// A ring of records, each stored with its full 544 bytes (payload beyond payloadSize zero).
struct SimMessageQueue {
    uint32_t head;   // index of the oldest record
    uint32_t count;
    TarvoMessage records[SIM_MESSAGE_QUEUE_RECORDS];
};

// A request relayed to the server: its sequence and the ticket the driver stamped into
// echo1 (echo0 carries the poster's connection id), so that equal sequence numbers of
// different clients never meet.
struct SimOutstanding {
    uint32_t sequence;
    uint32_t ticket;  // 0: free slot; grows with every request, so the smallest is the oldest
};

struct SimMailbox {
    SimMessageQueue messages;
    SimMessageQueue notifications;
    SimOutstanding outstanding[SIM_MAX_OUTSTANDING];
    uint32_t missedNotifications;  // driver notifications that found this queue full
};
