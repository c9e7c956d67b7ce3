// The simulated driver's message relay: requests go to the server's message queue, a
// reply to the message queue of the client whose request it answers, notifications to
// the notification queue of every connection with a notification event. Queues are
// bounded rings inside each connection; nothing here allocates.
#include "SimBytes.h"
#include "SimLogic.h"

namespace {

constexpr uint32_t kMessageEvent = 0;       // index in SimConnection::heldEvents
constexpr uint32_t kNotificationEvent = 1;

// Stores the first length bytes (at most 544) of the record and zeroes the rest, so a
// fetch returns no bytes of an earlier record. False when the queue is full.
bool PushBytes(SimMessageQueue& queue, const TarvoMessage& record, uint32_t length)
{
    if (queue.count >= SIM_MESSAGE_QUEUE_RECORDS)
        return false;
    TarvoMessage& slot = queue.records[(queue.head + queue.count) % SIM_MESSAGE_QUEUE_RECORDS];
    ZeroBytes(&slot, sizeof(slot));
    CopyBytes(&slot, &record, length);
    ++queue.count;
    return true;
}

// A checked record: its header and valid payload.
bool Push(SimMessageQueue& queue, const TarvoMessage& record)
{
    return PushBytes(queue, record, TARVO_MSG_HEADER_SIZE + record.payloadSize);
}

bool Pop(SimMessageQueue& queue, uint8_t* out)
{
    if (queue.count == 0)
        return false;
    CopyBytes(out, &queue.records[queue.head], sizeof(TarvoMessage));
    queue.head = (queue.head + 1) % SIM_MESSAGE_QUEUE_RECORDS;
    --queue.count;
    return true;
}

void EmptyQueue(SimMessageQueue& queue)
{
    queue.head = 0;
    queue.count = 0;
}

}  // namespace

TarvoStatus SimLogic::OnPostMessage(Request& request)
{
    // The table admits 1..544 bytes; the header must be complete and agree with the length.
    if (request.inSize < TARVO_MSG_HEADER_SIZE)
        return TARVO_STATUS_INVALID_HD_SIZE;
    TarvoMessage record;
    ZeroBytes(&record, sizeof(record));
    CopyBytes(&record, request.in, request.inSize);
    if (record.headerSize != TARVO_MSG_HEADER_SIZE)
        return TARVO_STATUS_INVALID_HD_SIZE;
    if (record.payloadSize > TARVO_MSG_MAX_PAYLOAD || TARVO_MSG_HEADER_SIZE + record.payloadSize != request.inSize)
        return TARVO_STATUS_INVALID_MSG_SIZE;
    switch (record.type) {
    case TARVO_MSG_REQUEST:
        return RelayRequest(request.connection, record);
    case TARVO_MSG_REPLY:
        // Only the server answers requests: a reply from anyone else could pose as the
        // answer another client waits for.
        if (server != &request.connection)
            return TARVO_STATUS_NOT_ALLOWED;
        return RelayReply(record);
    case TARVO_MSG_NOTIFICATION:
        return Broadcast(record, false);
    default:
        return TARVO_STATUS_INVALID_MSG_TYPE;
    }
}

// The request reaches the server with echo0 = the poster's connection id and echo1 = a
// ticket of the driver; the poster remembers (sequence, ticket) until the reply comes.
TarvoStatus SimLogic::RelayRequest(SimConnection& poster, TarvoMessage& record)
{
    if (server == nullptr)
        return TARVO_STATUS_NO_SERVER;
    if (server->mailbox.messages.count >= SIM_MESSAGE_QUEUE_RECORDS)
        return TARVO_STATUS_NO_RESOURCES;

    // A free slot, else the oldest outstanding request (its client gave up long ago).
    SimOutstanding* slot = &poster.mailbox.outstanding[0];
    for (SimOutstanding& candidate : poster.mailbox.outstanding) {
        if (candidate.ticket == 0) {
            slot = &candidate;
            break;
        }
        if (candidate.ticket < slot->ticket)
            slot = &candidate;
    }
    if (nextMessageTicket == 0)
        nextMessageTicket = 1;
    const uint32_t ticket = nextMessageTicket++;
    slot->sequence = record.sequence;
    slot->ticket = ticket;

    record.echo0 = poster.id;
    record.echo1 = ticket;
    Push(server->mailbox.messages, record);  // room was checked above
    if (server->heldEvents[kMessageEvent] != nullptr)
        eventOps.signal(server->heldEvents[kMessageEvent]);
    return TARVO_STATUS_SUCCESS;
}

// Routed by the echo words the request carried (InitReply copies them) and checked
// against the sequence, so a reply reaches only the client that asked, and only once.
TarvoStatus SimLogic::RelayReply(TarvoMessage& record)
{
    SimConnection* client = FindConnection(record.echo0);
    if (client == nullptr)
        return TARVO_STATUS_INITIATOR_NOT_FOUND;  // unknown, or closed since it asked
    SimOutstanding* slot = nullptr;
    for (SimOutstanding& candidate : client->mailbox.outstanding)
        if (candidate.ticket != 0 && candidate.ticket == record.echo1 && candidate.sequence == record.sequence)
            slot = &candidate;
    if (slot == nullptr)
        return TARVO_STATUS_INITIATOR_NOT_FOUND;  // answered already, or never asked
    // A full queue refuses the reply and keeps the request outstanding: the server may
    // post the same reply again once the client has fetched.
    if (!Push(client->mailbox.messages, record))
        return TARVO_STATUS_NO_RESOURCES;
    slot->ticket = 0;
    if (client->heldEvents[kMessageEvent] != nullptr)
        eventOps.signal(client->heldEvents[kMessageEvent]);
    return TARVO_STATUS_SUCCESS;
}

// Every connection with a notification event gets the record, the poster included. A
// full queue does not hold back the others: they get it, and the post answers
// TARVO_STATUS_NO_RESOURCES so the poster learns that someone missed it.
TarvoStatus SimLogic::Broadcast(const TarvoMessage& record, bool fromDriver)
{
    bool missed = false;
    for (uint32_t i = 0; i < connectionCount; ++i) {
        SimConnection& target = *connections[i];
        if (target.heldEvents[kNotificationEvent] == nullptr)
            continue;
        if (!Push(target.mailbox.notifications, record)) {
            missed = true;
            if (fromDriver)
                ++target.mailbox.missedNotifications;
            continue;
        }
        eventOps.signal(target.heldEvents[kNotificationEvent]);
    }
    return missed ? TARVO_STATUS_NO_RESOURCES : TARVO_STATUS_SUCCESS;
}

void SimLogic::PostDriverNotification(uint32_t code, const void* payload, uint32_t size)
{
    if (size > TARVO_MSG_MAX_PAYLOAD || (size != 0 && payload == nullptr))
        return;  // no notification of the contract is that large
    TarvoMessage record;
    ZeroBytes(&record, sizeof(record));
    record.headerSize = TARVO_MSG_HEADER_SIZE;
    record.payloadSize = size;
    record.type = TARVO_MSG_NOTIFICATION;
    record.code = code;
    if (size != 0)
        CopyBytes(record.payload, payload, size);
    (void)Broadcast(record, true);  // nobody to tell; a full queue counts a missed one
}

TarvoStatus SimLogic::OnGetMessage(Request& request)
{
    if (!Pop(request.connection.mailbox.messages, request.out))
        return TARVO_STATUS_NO_MORE_ITEMS;
    request.written = sizeof(TarvoMessage);
    return TARVO_STATUS_SUCCESS;
}

TarvoStatus SimLogic::OnGetNotification(Request& request)
{
    if (!Pop(request.connection.mailbox.notifications, request.out))
        return TARVO_STATUS_NO_MORE_ITEMS;
    request.written = sizeof(TarvoMessage);
    return TARVO_STATUS_SUCCESS;
}

// Test interface: the record goes in as given, bypassing every check and route of a post,
// so a receiver can be shown what the relay never queues. Only the request itself is
// checked; the queue's bound holds as for any record.
TarvoStatus SimLogic::OnInjectRecord(Request& request)
{
    const SimInjectRecord inject = ReadRecord<SimInjectRecord>(request.in);
    if (inject.queue != SIM_QUEUE_MESSAGE && inject.queue != SIM_QUEUE_NOTIFICATION)
        return TARVO_STATUS_INVALID_PARAMETER;
    if (inject.length < TARVO_MSG_HEADER_SIZE || inject.length > TARVO_MSG_RECORD_SIZE)
        return TARVO_STATUS_INVALID_PARAMETER;
    SimConnection* target = FindConnection(inject.connectionId);
    if (target == nullptr)
        return TARVO_STATUS_OBJECT_NOT_FOUND;
    const bool toMessages = inject.queue == SIM_QUEUE_MESSAGE;
    SimMessageQueue& queue = toMessages ? target->mailbox.messages : target->mailbox.notifications;
    if (!PushBytes(queue, inject.record, inject.length))
        return TARVO_STATUS_NO_RESOURCES;
    void* event = target->heldEvents[toMessages ? kMessageEvent : kNotificationEvent];
    if (event != nullptr)
        eventOps.signal(event);
    return TARVO_STATUS_SUCCESS;
}

void SimLogic::ClearMailbox(SimConnection& connection)
{
    EmptyQueue(connection.mailbox.messages);
    EmptyQueue(connection.mailbox.notifications);
    for (SimOutstanding& slot : connection.mailbox.outstanding)
        slot.ticket = 0;
}
