// velkanosvc: the device control service. One option selects what the program does:
// administer its registration, print its help, or run the service in the foreground
// ("-console") or under the service control manager ("-service").
#include <windows.h>

#include <cstdio>
#include <cwchar>

#include "ServiceRunner.h"
#include "TarvoService.h"
#include "WnText.h"

namespace {

// The program's one service object, alive from before wmain until after it returns.
TarvoService theService;

void Print(const wchar_t* format, ...)
{
    wchar_t text[1024];
    va_list arguments;
    va_start(arguments, format);
    (void)FormatTextV(text, 1024, format, arguments);
    va_end(arguments);
    std::fputws(text, stdout);
    std::fflush(stdout);
}

// Prints the outcome of an administrative operation; its error code is the exit code.
int Report(uint32_t error, const wchar_t* success, const wchar_t* failure)
{
    Print(L"%s", error == 0 ? success : failure);
    return static_cast<int>(error);
}

int RunAsService(bool consoleMode)
{
    ServiceList().push_back(&theService);
    return RunServices(ServiceList(), consoleMode) ? 0 : -1;
}

}  // namespace

int wmain(int argc, wchar_t** argv)
{
    theService.MakeProcessService();
    if (argc < 2) {
        Print(L"No arguments given, use -h.\n");
        return 1;
    }
    const wchar_t* option = argv[1];
    if (wcscmp(option, L"-install") == 0) {
        (void)theService.Stop();
        (void)theService.Uninstall();
        return Report(theService.Install(), L"Service installed successfully.\n", L"Error installing service.\n");
    }
    if (wcscmp(option, L"-uninstall") == 0) {
        (void)theService.Stop();
        return Report(theService.Uninstall(), L"Service uninstalled successfully.\n",
                      L"Error uninstalling service.\n");
    }
    if (wcscmp(option, L"-start") == 0)
        return Report(theService.Start(), L"Service started successfully.\n", L"Error starting service.\n");
    if (wcscmp(option, L"-stop") == 0)
        return Report(theService.Stop(), L"Service stopped successfully.\n", L"Error stopping service.\n");
    if (wcscmp(option, L"-h") == 0 || wcscmp(option, L"-?") == 0) {
        Print(L"\n%s V%d.%02d\n%s Service\n\nSupported command line options:\n"
              L" -install    Install the service.\n"
              L" -uninstall  Uninstall the service.\n"
              L" -start      Start the service.\n"
              L" -stop       Stop the service.\n"
              L" -console    Start service in console mode.\n"
              L" -h, -?      Print this help message.\n\n",
              theService.GetServiceName(), 1, 37, theService.GetDisplayName());
        return 0;
    }
    if (wcscmp(option, L"-console") == 0)
        return RunAsService(true);
    if (wcscmp(option, L"-service") == 0)
        return RunAsService(false);
    Print(L"Unknown argument %s, use -h.\n", option);
    return 1;
}
