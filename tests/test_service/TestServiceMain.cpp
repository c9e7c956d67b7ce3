// A service program for the service control tests: run by the service control manager as
// "velkano_test_service.exe <service name> [ignore-first-stop]", it reports itself running
// and stops when it is told to (with ignore-first-stop: the second time it is told; the
// service control manager may refuse to pass on a second stop, so the test ends it).
#include <windows.h>

namespace {

SERVICE_STATUS_HANDLE g_status;
HANDLE g_stop;
wchar_t* g_name;
LONG g_stopsToIgnore;

void Report(DWORD state)
{
    SERVICE_STATUS status = {};
    status.dwServiceType = SERVICE_WIN32_OWN_PROCESS;
    status.dwCurrentState = state;
    status.dwControlsAccepted = state == SERVICE_RUNNING ? SERVICE_ACCEPT_STOP : 0;
    SetServiceStatus(g_status, &status);
}

DWORD WINAPI Handler(DWORD control, DWORD, void*, void*)
{
    if (control != SERVICE_CONTROL_STOP)
        return NO_ERROR;
    if (InterlockedDecrement(&g_stopsToIgnore) < 0)
        SetEvent(g_stop);
    return NO_ERROR;
}

void WINAPI ServiceMain(DWORD, wchar_t**)
{
    g_status = RegisterServiceCtrlHandlerExW(g_name, Handler, nullptr);
    if (g_status == nullptr)
        return;
    Report(SERVICE_RUNNING);
    WaitForSingleObject(g_stop, INFINITE);
    Report(SERVICE_STOPPED);
}

}  // namespace

int wmain(int argc, wchar_t** argv)
{
    if (argc < 2)
        return 1;
    g_name = argv[1];
    g_stopsToIgnore = argc > 2 && wcscmp(argv[2], L"ignore-first-stop") == 0 ? 1 : 0;
    g_stop = CreateEventW(nullptr, TRUE, FALSE, nullptr);
    SERVICE_TABLE_ENTRYW table[] = {{g_name, ServiceMain}, {nullptr, nullptr}};
    return StartServiceCtrlDispatcherW(table) ? 0 : 2;
}
