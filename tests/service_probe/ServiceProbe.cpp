// velkano_service_probe: what the script tests of the service program ask of the driver
// while the program runs. Exit code 0 when the condition was met, 1 when not, 2 for usage.
//   wait-server <ms>     until a server answers a sample rate request (the current rate)
//   wait-no-server <ms>  until the driver has no server
//   hold-server <ms>     take the server role and keep it that long
#include <windows.h>

#include <cstdio>
#include <cstdlib>
#include <cwchar>

#include "TarvoClient.h"
#include "TarvoServer.h"

namespace {

const wchar_t* const kName = TARVO_DEVICE_OBJECT_NAME;

// The server's answer to a request that changes nothing, or why none came.
TarvoStatus AskServer(TarvoClient& client)
{
    TarvoStreamingStatus status = {};
    TarvoStatus result = client.GetStreamingStatus(status);
    if (result != TARVO_STATUS_SUCCESS)
        return result;
    return client.RequestSampleRate(status.sampleRate, 5000);
}

int WaitForServer(uint32_t timeoutMs, bool wanted)
{
    TarvoClient client;
    const DWORD start = GetTickCount();
    TarvoStatus last = TARVO_STATUS_NOT_OPENED;
    for (;;) {
        if (!client.IsOpen())
            last = client.OpenAsClient(kName);
        if (client.IsOpen())
            last = AskServer(client);
        const bool served = last == TARVO_STATUS_SUCCESS;
        if (served == wanted)
            return 0;
        if (GetTickCount() - start > timeoutMs)
            break;
        Sleep(100);
    }
    std::fprintf(stderr, "velkano_service_probe: %s after %u ms, last status %s\n",
                 wanted ? "no server answered" : "a server still answers", timeoutMs, TarvoStatusName(last));
    return 1;
}

int HoldServer(uint32_t ms)
{
    TarvoServer server;
    const TarvoStatus status = server.OpenAsServer(kName);
    if (status != TARVO_STATUS_SUCCESS) {
        std::fprintf(stderr, "velkano_service_probe: server role refused: %s\n", TarvoStatusName(status));
        return 1;
    }
    std::printf("holding the server role\n");
    std::fflush(stdout);
    Sleep(ms);
    return 0;
}

}  // namespace

int wmain(int argc, wchar_t** argv)
{
    if (argc != 3)
        return 2;
    const uint32_t ms = static_cast<uint32_t>(std::wcstoul(argv[2], nullptr, 10));
    if (wcscmp(argv[1], L"wait-server") == 0)
        return WaitForServer(ms, true);
    if (wcscmp(argv[1], L"wait-no-server") == 0)
        return WaitForServer(ms, false);
    if (wcscmp(argv[1], L"hold-server") == 0)
        return HoldServer(ms);
    return 2;
}
