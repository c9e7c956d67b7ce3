// A small server for the message channel tests: opens the driver as server (role 0) and
// answers requests with the fixed behaviour of MessageTestProtocol.h until a stop request
// comes or the process that started it ends.
//   velkano_test_server.exe <parent process id>
#include <windows.h>

#include <cstdio>
#include <cwchar>

#include "MessageTestProtocol.h"
#include "TarvoServer.h"
#include "WnHandle.h"

namespace {

class ProcessHandle : public WnHandle {
public:
    explicit ProcessHandle(HANDLE h) { Adopt(h); }
};

class TestServer : public TarvoServer {
protected:
    TarvoStatus HandleRequest(const TarvoMessage& request, TarvoMessage& reply) override
    {
        uint32_t word = 0;
        uint32_t words[4] = {};
        TarvoStatus status;
        switch (request.code) {
        case TARVO_REQ_SET_SAMPLE_RATE:
            if ((status = request.Read4(word)) != TARVO_STATUS_SUCCESS)
                return status;
            if (word == 0)
                return TARVO_STATUS_INVALID_SAMPLE_RATE;
            if (word == MESSAGE_TEST_BUSY_RATE)
                return TARVO_STATUS_SOUND_DEVICE_IN_USE;
            (void)PostNotification(TARVO_NOTIFY_SAMPLE_RATE_CHANGED);
            return TARVO_STATUS_SUCCESS;
        case TARVO_REQ_SET_BUFFER_SIZES:
        case TARVO_REQ_SELECT_STREAMING_DEVICE: {
            uint32_t three[3];
            return request.Read12(three);
        }
        case TARVO_REQ_SET_POLICY:
            return request.Read4(word);
        case TARVO_REQ_SET_SOUND_DEVICE_CONFIG:
            if ((status = request.Read16(words)) != TARVO_STATUS_SUCCESS)
                return status;
            return Remember(words);
        case TARVO_REQ_GET_SOUND_DEVICE_CONFIG:
            if ((status = request.Read16(words)) != TARVO_STATUS_SUCCESS)
                return status;
            for (uint32_t i = 0; i < keyCount; ++i) {
                if (keys[i][0] == words[0] && keys[i][1] == words[1]) {
                    reply.code = TARVO_REPLY_SOUND_DEVICE_CONFIG;
                    (void)reply.SetPayload(keys[i], sizeof keys[i]);
                    return TARVO_STATUS_SUCCESS;
                }
            }
            return TARVO_STATUS_OBJECT_NOT_FOUND;
        case MESSAGE_TEST_ECHO:
            return reply.SetPayload(request.payload, request.payloadSize);
        case MESSAGE_TEST_STOP:
            closePending = true;
            return TARVO_STATUS_SUCCESS;
        default:
            return TarvoServer::HandleRequest(request, reply);
        }
    }

private:
    TarvoStatus Remember(const uint32_t (&words)[4])
    {
        uint32_t i = 0;
        while (i < keyCount && !(keys[i][0] == words[0] && keys[i][1] == words[1]))
            ++i;
        if (i == keyCount) {
            if (keyCount == MESSAGE_TEST_MAX_KEYS)
                return TARVO_STATUS_NO_RESOURCES;
            ++keyCount;
        }
        for (uint32_t w = 0; w < 4; ++w)
            keys[i][w] = words[w];
        return TARVO_STATUS_SUCCESS;
    }

    uint32_t keys[MESSAGE_TEST_MAX_KEYS][4] = {};
    uint32_t keyCount = 0;
};

}  // namespace

int wmain(int argc, wchar_t** argv)
{
    const ProcessHandle parent(
        argc >= 2 ? OpenProcess(SYNCHRONIZE, FALSE, static_cast<DWORD>(wcstoul(argv[1], nullptr, 10))) : nullptr);
    if (parent.Get() == nullptr) {
        std::fprintf(stderr, "usage: velkano_test_server <running parent process id>\n");
        return 2;
    }
    TestServer server;
    const TarvoStatus status = server.OpenAsServer(TARVO_DEVICE_OBJECT_NAME);
    if (status != TARVO_STATUS_SUCCESS) {
        std::fprintf(stderr, "OpenAsServer failed: %s (0x%08X)\n", TarvoStatusName(status), status);
        return 1;
    }
    int exitCode = 0;
    const HANDLE waits[3] = {parent.Get(), server.GetMessageEvent(), server.GetNotificationEvent()};
    while (!server.closePending) {
        const DWORD waited = WaitForMultipleObjects(3, waits, FALSE, INFINITE);
        if (waited == WAIT_OBJECT_0 + 1) {
            server.ProcessMessages();
        } else if (waited == WAIT_OBJECT_0 + 2) {
            server.ProcessNotifications();  // drained so its queue never fills
        } else {
            exitCode = 3;  // the test that started it is gone
            break;
        }
    }
    server.Detach();
    return exitCode;
}
