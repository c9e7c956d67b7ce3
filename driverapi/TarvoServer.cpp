#include "TarvoServer.h"

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

TarvoStatus TarvoServer::HandleRequest(const TarvoMessage&, TarvoMessage&)
{
    return TARVO_STATUS_INVALID_COMMAND;
}

void TarvoServer::HandleNotification(const TarvoMessage&)
{
}
