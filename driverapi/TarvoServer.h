// The server side of the message channel: the service's connection (role 0). It fetches
// the requests the driver relays, hands each to HandleRequest and answers it, and hands
// notifications to HandleNotification. The service derives its own server and overrides
// the handlers; the defaults here answer nothing and ignore everything.
#pragma once

#include "TarvoDriver.h"
#include "TarvoMessage.h"

class TarvoServer : public TarvoDriver {
public:
    TarvoServer() = default;
    ~TarvoServer() override = default;

    // Posts a notification with the code and no payload (a 32-byte record).
    [[nodiscard]] TarvoStatus PostNotification(uint32_t code);

    // Drains the message queue: every request (type 1) is answered with a 2001 reply
    // that HandleRequest may change, unless it returns TARVO_STATUS_PENDING (then it owes
    // the reply itself); records of other types are dropped. Called on the server thread
    // whenever the message event is signalled; one signal may stand for several records.
    void ProcessMessages();
    // Drains the notification queue, handing every type-3 record to HandleNotification.
    void ProcessNotifications();

    // Set by the service when the connection is to be closed after the current wake-up.
    bool closePending = false;

protected:
    // The dispatch of one request. reply arrives as a 2001 reply carrying
    // TARVO_STATUS_INVALID_COMMAND; the handler may change its code and payload. The
    // returned status goes into the reply. Default: nobody handles the code.
    virtual TarvoStatus HandleRequest(const TarvoMessage& request, TarvoMessage& reply);
    // Default: nothing.
    virtual void HandleNotification(const TarvoMessage& notification);
};
