// velkanosim: command-line control of the simulated driver. Every command is one row of
// the command table; each prints its result on standard output, or a message on standard
// error and returns non-zero on failure.
#include <windows.h>

#include <cstdio>
#include <cstdlib>
#include <cstring>

#include "SimControl.h"
#include "TarvoStatus.h"

namespace {

constexpr int kExitOk = 0;
constexpr int kExitFailed = 1;
constexpr int kExitUsage = 2;

struct Command {
    const char* name;
    const char* arguments;
    const char* description;
    int minArgs;
    int maxArgs;
    int (*run)(int argc, char** argv);  // argv[0] is the first argument after the command name
};

extern const Command kCommands[];
extern const size_t kCommandCount;

int Fail(const char* what, uint32_t error)
{
    const char* name = TarvoStatusName(error);
    if (std::strcmp(name, "???") != 0)
        std::fprintf(stderr, "velkanosim: %s failed: %s (0x%08X)\n", what, name, error);
    else
        std::fprintf(stderr, "velkanosim: %s failed: error %u (0x%08X)\n", what, error, error);
    return kExitFailed;
}

// Hex with 0x, otherwise decimal; the whole text must be a number that fits in 32 bits.
bool ParseNumber(const char* text, uint32_t& value)
{
    int base = 10;
    if (text[0] == '0' && (text[1] == 'x' || text[1] == 'X')) {
        base = 16;
        text += 2;
    }
    if (*text == '\0' || *text == '-' || *text == '+')
        return false;
    char* end = nullptr;
    const unsigned long long parsed = std::strtoull(text, &end, base);
    if (*end != '\0' || parsed > 0xFFFFFFFFULL)
        return false;
    value = static_cast<uint32_t>(parsed);
    return true;
}

#define SIM_STATUS_VALUE_ENTRY(name, value) {#name, value},
struct StatusValue {
    const char* name;
    TarvoStatus value;
};
constexpr StatusValue kStatusValues[] = {TARVO_STATUS_TABLE(SIM_STATUS_VALUE_ENTRY)};
#undef SIM_STATUS_VALUE_ENTRY

// A number, or a status name with or without its TARVO_STATUS_ prefix.
bool ParseStatus(const char* text, uint32_t& value)
{
    if (ParseNumber(text, value))
        return true;
    const char* prefix = "TARVO_STATUS_";
    const size_t prefixLength = std::strlen(prefix);
    for (const StatusValue& entry : kStatusValues) {
        if (std::strcmp(entry.name, text) == 0 || std::strcmp(entry.name + prefixLength, text) == 0) {
            value = entry.value;
            return true;
        }
    }
    return false;
}

bool ParseArgument(const char* what, const char* text, uint32_t& value, bool status = false)
{
    if (status ? ParseStatus(text, value) : ParseNumber(text, value))
        return true;
    std::fprintf(stderr, "velkanosim: %s \"%s\" is not a %s\n", what, text,
                 status ? "number or TARVO_STATUS_ name" : "number (decimal or 0x hex)");
    return false;
}

// Opens the control connection; prints why not.
bool OpenControl(SimControl& control)
{
    const uint32_t error = control.Open();
    if (error == 0)
        return true;
    Fail("opening the simulated driver (is it started?)", error);
    return false;
}

const char* StateName(uint32_t state)
{
    switch (state) {
    case SERVICE_STOPPED: return "stopped";
    case SERVICE_START_PENDING: return "starting";
    case SERVICE_STOP_PENDING: return "stopping";
    case SERVICE_RUNNING: return "running";
    case SERVICE_CONTINUE_PENDING: return "continuing";
    case SERVICE_PAUSE_PENDING: return "pausing";
    case SERVICE_PAUSED: return "paused";
    default: return "unknown";
    }
}

// ---- commands ----

int RunHelp(int, char**)
{
    std::printf("usage: velkanosim <command> [arguments]\n\ncommands:\n");
    for (size_t i = 0; i < kCommandCount; ++i) {
        char head[80];
        std::snprintf(head, sizeof(head), "%s %s", kCommands[i].name, kCommands[i].arguments);
        std::printf("  %-46s %s\n", head, kCommands[i].description);
    }
    std::printf("\nNumbers are decimal or 0x hex; a status may also be a TARVO_STATUS_ name.\n"
                "counts prints \"total code 0x<code> count <n>\" lines first, then\n"
                "\"connection <id> code 0x<code> count <n>\" lines; only non-zero counts.\n"
                "connections prints one line per open connection:\n"
                "\"connection <id> process <pid> role <role|none> events <held bits> set-events <n>"
                " message 0x<handle> notification 0x<handle>\".\n"
                "Exit code 0 on success, 1 when a request fails, 2 on wrong usage.\n");
    return kExitOk;
}

int RunInstall(int argc, char** argv)
{
    wchar_t path[MAX_PATH * 2];
    const wchar_t* given = nullptr;
    if (argc > 0) {
        if (MultiByteToWideChar(CP_ACP, 0, argv[0], -1, path, MAX_PATH * 2) == 0)
            return Fail("reading the path", GetLastError());
        given = path;
    }
    const uint32_t error = SimDriverService::Install(given);
    if (error != 0)
        return Fail("install", error);
    std::printf("installed service %ls\n", SIM_DRIVER_SERVICE_NAME);
    return kExitOk;
}

int RunUninstall(int, char**)
{
    const uint32_t error = SimDriverService::Uninstall();
    if (error != 0)
        return Fail("uninstall", error);
    std::printf("uninstalled service %ls\n", SIM_DRIVER_SERVICE_NAME);
    return kExitOk;
}

int RunStart(int, char**)
{
    const uint32_t error = SimDriverService::Start();
    if (error != 0)
        return Fail("start", error);
    std::printf("started\n");
    return kExitOk;
}

int RunStop(int, char**)
{
    const uint32_t error = SimDriverService::Stop();
    if (error != 0)
        return Fail("stop", error);
    std::printf("stopped\n");
    return kExitOk;
}

int RunReset(int, char**)
{
    SimControl control;
    if (!OpenControl(control))
        return kExitFailed;
    const TarvoStatus status = control.Reset();
    if (status != TARVO_STATUS_SUCCESS)
        return Fail("reset", status);
    std::printf("reset\n");
    return kExitOk;
}

int RunStatus(int, char**)
{
    uint32_t error = 0;
    const uint32_t state = SimDriverService::QueryState(&error);
    if (state == 0) {
        if (error == ERROR_SERVICE_DOES_NOT_EXIST) {
            std::printf("service: not installed\n");
            return kExitOk;
        }
        return Fail("querying the service", error);
    }
    std::printf("service: installed, %s\n", StateName(state));
    if (state != SERVICE_RUNNING)
        return kExitOk;
    SimControl control;
    if (!OpenControl(control))
        return kExitFailed;
    TarvoDriverInfo info = {};
    uint32_t bytes = 0;
    const TarvoStatus status =
        control.Request(TARVO_IOCTL_GET_DRIVER_INFO, nullptr, 0, &info, sizeof(info), &bytes);
    if (status != TARVO_STATUS_SUCCESS)
        return Fail("GET_DRIVER_INFO", status);
    std::printf("interface version: %u.%u\n", info.interfaceMajor, info.interfaceMinor);
    std::printf("driver version: %u.%u.%u\n", info.driverMajor, info.driverMinor, info.driverBuild);
    std::printf("build flags: 0x%X%s\n", info.buildFlags, (info.buildFlags & TARVO_BUILD_FLAG_DEBUG) ? " (debug)" : "");
    return kExitOk;
}

int RunVersion(int argc, char** argv)
{
    uint32_t values[6] = {0, 0, 0, 0, 0, 0};
    static const char* const kNames[6] = {"ifMajor", "ifMinor", "drvMajor", "drvMinor", "drvBuild", "flags"};
    for (int i = 0; i < argc; ++i)
        if (!ParseArgument(kNames[i], argv[i], values[i]))
            return kExitUsage;
    const TarvoDriverInfo info = {values[0], values[1], values[2], values[3], values[4], values[5]};
    SimControl control;
    if (!OpenControl(control))
        return kExitFailed;
    const TarvoStatus status = control.SetDriverInfo(info);
    if (status != TARVO_STATUS_SUCCESS)
        return Fail("version", status);
    std::printf("driver info set: interface %u.%u, driver %u.%u.%u, build flags 0x%X\n", info.interfaceMajor,
                info.interfaceMinor, info.driverMajor, info.driverMinor, info.driverBuild, info.buildFlags);
    return kExitOk;
}

int RunFail(int argc, char** argv)
{
    uint32_t code = 0;
    uint32_t status = 0;
    if (!ParseArgument("code", argv[0], code) || !ParseArgument("status", argv[1], status, true))
        return kExitUsage;
    uint32_t mode = SIM_FAULT_PERSISTENT;
    const char* modeName = argc > 2 ? argv[2] : "always";
    if (std::strcmp(modeName, "once") == 0)
        mode = SIM_FAULT_ONCE;
    else if (std::strcmp(modeName, "always") == 0)
        mode = SIM_FAULT_PERSISTENT;
    else if (std::strcmp(modeName, "clear") == 0)
        mode = SIM_FAULT_CLEAR;
    else {
        std::fprintf(stderr, "velkanosim: mode \"%s\" is not once, always or clear\n", modeName);
        return kExitUsage;
    }
    SimControl control;
    if (!OpenControl(control))
        return kExitFailed;
    const TarvoStatus result = control.SetFault(code, status, mode);
    if (result != TARVO_STATUS_SUCCESS)
        return Fail("fail", result);
    if (mode == SIM_FAULT_CLEAR)
        std::printf("code 0x%08X no longer fails\n", code);
    else
        std::printf("code 0x%08X fails with %s (0x%08X) %s\n", code, TarvoStatusName(status), status,
                    mode == SIM_FAULT_ONCE ? "once" : "until cleared");
    return kExitOk;
}

int RunDelay(int, char** argv)
{
    uint32_t code = 0;
    uint32_t ms = 0;
    if (!ParseArgument("code", argv[0], code) || !ParseArgument("ms", argv[1], ms))
        return kExitUsage;
    SimControl control;
    if (!OpenControl(control))
        return kExitFailed;
    const TarvoStatus status = control.SetDelay(code, ms);
    if (status != TARVO_STATUS_SUCCESS)
        return Fail("delay", status);
    if (ms == 0)
        std::printf("code 0x%08X completes at once\n", code);
    else
        std::printf("code 0x%08X completes %u ms late\n", code, ms);
    return kExitOk;
}

int RunCounts(int, char**)
{
    SimControl control;
    if (!OpenControl(control))
        return kExitFailed;
    static SimCountList list;  // 3 KiB; off the stack
    const TarvoStatus status = control.GetCounts(list);
    if (status != TARVO_STATUS_SUCCESS)
        return Fail("counts", status);
    const uint32_t used = list.count < SIM_MAX_COUNT_ENTRIES ? list.count : SIM_MAX_COUNT_ENTRIES;
    for (uint32_t i = 0; i < used; ++i) {
        const SimCodeCount& entry = list.entries[i];
        if (entry.connectionId == SIM_TOTAL_CONNECTION_ID)
            std::printf("total code 0x%08X count %u\n", entry.code, entry.count);
        else
            std::printf("connection %u code 0x%08X count %u\n", entry.connectionId, entry.code, entry.count);
    }
    return kExitOk;
}

int RunConnections(int, char**)
{
    SimControl control;
    if (!OpenControl(control))
        return kExitFailed;
    static SimConnectionList list;
    const TarvoStatus status = control.GetConnections(list);
    if (status != TARVO_STATUS_SUCCESS)
        return Fail("connections", status);
    const uint32_t used = list.count < SIM_MAX_CONNECTIONS ? list.count : SIM_MAX_CONNECTIONS;
    for (uint32_t i = 0; i < used; ++i) {
        const SimConnectionInfo& info = list.connections[i];
        char role[16];
        if (info.role == SIM_NO_ROLE)
            std::snprintf(role, sizeof(role), "none");
        else
            std::snprintf(role, sizeof(role), "%u", info.role);
        std::printf("connection %u process %u role %s events 0x%X set-events %u message 0x%llX notification 0x%llX\n",
                    info.connectionId, info.processId, role, info.eventsHeld, info.setEventsCount,
                    static_cast<unsigned long long>(info.events.messageEvent),
                    static_cast<unsigned long long>(info.events.notificationEvent));
    }
    return kExitOk;
}

}  // namespace

namespace {
const Command kCommands[] = {
    {"help", "", "list the commands", 0, 0, RunHelp},
    {"install", "[path-to-sys]", "create or repoint the driver service (default: velkanosim.sys beside this program)",
     0, 1, RunInstall},
    {"uninstall", "", "stop and delete the driver service", 0, 0, RunUninstall},
    {"start", "", "load the driver", 0, 0, RunStart},
    {"stop", "", "unload the driver", 0, 0, RunStop},
    {"reset", "", "default versions, no faults or delays, counts zero", 0, 0, RunReset},
    {"status", "", "service state and what GET_DRIVER_INFO reports", 0, 0, RunStatus},
    {"version", "<ifMajor> <ifMinor> <drvMajor> <drvMinor> <drvBuild> [flags]",
     "set what GET_DRIVER_INFO reports", 5, 6, RunVersion},
    {"fail", "<code> <status> [once|always|clear]", "fail requests with the code (default: always)", 2, 3, RunFail},
    {"delay", "<code> <ms>", "complete requests with the code late (0 clears)", 2, 2, RunDelay},
    {"counts", "", "request counts in total and per connection", 0, 0, RunCounts},
    {"connections", "", "one line per open connection", 0, 0, RunConnections},
};
const size_t kCommandCount = sizeof(kCommands) / sizeof(kCommands[0]);
}  // namespace

int main(int argc, char** argv)
{
    if (argc < 2) {
        RunHelp(0, nullptr);
        return kExitUsage;
    }
    for (size_t i = 0; i < kCommandCount; ++i) {
        const Command& command = kCommands[i];
        if (std::strcmp(command.name, argv[1]) != 0)
            continue;
        const int args = argc - 2;
        if (args < command.minArgs || args > command.maxArgs) {
            std::fprintf(stderr, "velkanosim: usage: velkanosim %s %s\n", command.name, command.arguments);
            return kExitUsage;
        }
        return command.run(args, argv + 2);
    }
    std::fprintf(stderr, "velkanosim: unknown command \"%s\" (see velkanosim help)\n", argv[1]);
    return kExitUsage;
}
