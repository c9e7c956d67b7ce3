// Running the process's service objects: on threads of their own in console mode (stopped
// by Ctrl+C or Ctrl+Break), or under the service control dispatcher in service mode.
#pragma once

#include <vector>

#include "ServiceBase.h"

// The process's service objects, in order; the entry point appends them.
std::vector<ServiceBase*>& ServiceList();

// Console mode: installs the console control handler, runs every object's RunConsole on
// its own thread and waits for all. Service mode: hands the objects to the dispatcher,
// which returns when every service has stopped. false when the handler cannot be
// installed or the dispatcher cannot start (the program was not started as a service).
bool RunServices(std::vector<ServiceBase*>& services, bool consoleMode);

// Ctrl+C and Ctrl+Break stop every service of the list (TRUE: the process is not ended
// by the default handler); any other event is left to the default handling.
BOOL WINAPI ConsoleCtrlHandler(DWORD controlType);
