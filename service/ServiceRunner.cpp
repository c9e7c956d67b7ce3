#include "ServiceRunner.h"

#include <memory>

#include "WnThread.h"

namespace {

// One service object's console thread.
struct ConsoleRun {
    WnThread thread;
    WnThreadCallbackForwarderT<ConsoleRun> forwarder;
    ServiceBase* service = nullptr;
    uint32_t Body() { return static_cast<uint32_t>(service->RunConsole()); }
};

bool RunConsoleServices(std::vector<ServiceBase*>& services)
{
    if (!SetConsoleCtrlHandler(&ConsoleCtrlHandler, TRUE))
        return false;
    std::vector<std::unique_ptr<ConsoleRun>> runs;
    for (ServiceBase* service : services) {
        auto run = std::make_unique<ConsoleRun>();
        run->service = service;
        run->forwarder.object = run.get();
        run->forwarder.function = &ConsoleRun::Body;
        (void)run->thread.Start(&run->forwarder);  // a thread that does not start counts as ended
        runs.push_back(std::move(run));
    }
    for (auto& run : runs)
        (void)run->thread.Wait(INFINITE);
    return true;
}

bool RunDispatchedServices(std::vector<ServiceBase*>& services)
{
    std::vector<SERVICE_TABLE_ENTRYW> table;
    for (ServiceBase* service : services)
        table.push_back({const_cast<wchar_t*>(service->GetServiceName()), service->GetServiceMain()});
    table.push_back({nullptr, nullptr});
    return StartServiceCtrlDispatcherW(table.data()) != FALSE;
}

}  // namespace

std::vector<ServiceBase*>& ServiceList()
{
    // Never destroyed: after the last StopAll lets wmain return, the console control
    // handler's thread may still be stepping through the list while the static
    // destructors run.
    static std::vector<ServiceBase*>& services = *new std::vector<ServiceBase*>;
    return services;
}

bool RunServices(std::vector<ServiceBase*>& services, bool consoleMode)
{
    return consoleMode ? RunConsoleServices(services) : RunDispatchedServices(services);
}

BOOL WINAPI ConsoleCtrlHandler(DWORD controlType)
{
    if (controlType != CTRL_C_EVENT && controlType != CTRL_BREAK_EVENT)
        return FALSE;
    for (ServiceBase* service : ServiceList())
        service->StopAll();
    return TRUE;
}
