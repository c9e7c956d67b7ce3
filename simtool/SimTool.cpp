// velkanosim: command-line control of the simulated driver. Every command is one row of
// the command table; each prints its result on standard output, or a message on standard
// error and returns non-zero on failure.
#include <windows.h>

#include <cstdio>
#include <cstdlib>
#include <cstring>

#include "SimControl.h"
#include "TarvoStatus.h"
#include "TarvoTexts.h"

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
    else if (std::strcmp(modeName, "ignore") == 0)
        mode = SIM_FAULT_IGNORE;
    else if (std::strncmp(modeName, "after", 5) == 0) {
        uint32_t passes = 0;
        if (!ParseArgument("passes", modeName + 5, passes) || passes > SIM_FAULT_MAX_PASSES)
            return kExitUsage;
        mode = SIM_FAULT_ONCE_AFTER + passes;
    } else {
        std::fprintf(stderr, "velkanosim: mode \"%s\" is not once, always, clear, ignore or after<n>\n", modeName);
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
    else if (mode == SIM_FAULT_IGNORE)
        std::printf("code 0x%08X is accepted and not carried out until cleared\n", code);
    else
        std::printf("code 0x%08X fails with %s (0x%08X) %s\n", code, TarvoStatusName(status), status,
                    mode == SIM_FAULT_PERSISTENT ? "until cleared" : "once");
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

// ---- simulated devices and the streaming state ----

// Text of the command line as a bounded wide text.
bool WideArgument(const char* text, wchar_t* out, int capacity)
{
    if (MultiByteToWideChar(CP_ACP, 0, text, -1, out, capacity) != 0)
        return true;
    std::fprintf(stderr, "velkanosim: \"%s\" is too long (at most %d characters)\n", text, capacity - 1);
    return false;
}

int RunPlug(int argc, char** argv)
{
    SimPlugRecord record = SimControl::PlugRecord();
    if (argc > 0 && !WideArgument(argv[0], record.serialNumber, TARVO_SERIAL_CHARS))
        return kExitUsage;
    if (argc > 1 && !WideArgument(argv[1], record.deviceName, TARVO_DEVICE_NAME_CHARS))
        return kExitUsage;
    uint32_t vid = 0, pid = 0, flags = 0;
    if ((argc > 2 && !ParseArgument("vid", argv[2], vid)) || (argc > 3 && !ParseArgument("pid", argv[3], pid)) ||
        (argc > 4 && !ParseArgument("flags", argv[4], flags)))
        return kExitUsage;
    if (vid > 0xFFFF || pid > 0xFFFF) {
        std::fprintf(stderr, "velkanosim: vid and pid are 16-bit numbers\n");
        return kExitUsage;
    }
    record.vendorId = static_cast<uint16_t>(vid);
    record.productId = static_cast<uint16_t>(pid);
    if (argc > 4) {
        record.options |= SIM_PLUG_FLAGS_GIVEN;
        record.flags = flags;
    }
    SimControl control;
    if (!OpenControl(control))
        return kExitFailed;
    TarvoDeviceKey key = {};
    const TarvoStatus status = control.Plug(record, &key);
    if (status != TARVO_STATUS_SUCCESS)
        return Fail("plug", status);
    std::printf("plugged device key 0x%08X:0x%08X\n", key.key0, key.key1);
    return kExitOk;
}

int RunUnplug(int, char** argv)
{
    SimControl control;
    if (!OpenControl(control))
        return kExitFailed;
    if (std::strcmp(argv[0], "all") == 0) {
        const TarvoStatus status = control.UnplugAll();
        if (status != TARVO_STATUS_SUCCESS)
            return Fail("unplug all", status);
        std::printf("unplugged all devices\n");
        return kExitOk;
    }
    wchar_t serial[TARVO_SERIAL_CHARS];
    if (!WideArgument(argv[0], serial, TARVO_SERIAL_CHARS))
        return kExitUsage;
    const TarvoStatus status = control.Unplug(serial);
    if (status != TARVO_STATUS_SUCCESS)
        return Fail("unplug", status);
    std::printf("unplugged %ls\n", serial);
    return kExitOk;
}

void PrintDevice(const TarvoDeviceEntry& entry)
{
    std::printf("key 0x%08X:0x%08X vid 0x%04X pid 0x%04X serial %ls name \"%ls\" flags 0x%08X\n", entry.key0,
                entry.key1, entry.vendorId, entry.productId, entry.serialNumber, entry.deviceName, entry.flags);
}

int RunList(int, char**)
{
    SimControl control;
    if (!OpenControl(control))
        return kExitFailed;
    TarvoDeviceList list = {};
    const TarvoStatus status =
        control.Request(TARVO_IOCTL_GET_DEVICE_LIST, nullptr, 0, &list, sizeof(list));
    if (status != TARVO_STATUS_SUCCESS)
        return Fail("GET_DEVICE_LIST", status);
    const uint32_t count = list.count < TARVO_MAX_DEVICES ? list.count : TARVO_MAX_DEVICES;
    for (uint32_t i = 0; i < count; ++i)
        PrintDevice(list.entries[i]);
    return kExitOk;
}

int RunUsers(int, char** argv)
{
    SimUsersRecord users = {};
    static const char* const kNames[5] = {"n1", "n2", "n3", "n4", "n5"};
    for (int i = 0; i < 5; ++i)
        if (!ParseArgument(kNames[i], argv[i], users.counts[i]))
            return kExitUsage;
    SimControl control;
    if (!OpenControl(control))
        return kExitFailed;
    const TarvoStatus status = control.SetUsers(users);
    if (status != TARVO_STATUS_SUCCESS)
        return Fail("users", status);
    std::printf("users %u %u %u %u %u\n", users.counts[0], users.counts[1], users.counts[2], users.counts[3],
                users.counts[4]);
    return kExitOk;
}

// "<serial> <number>..." of the per-device commands; false on wrong usage.
bool SerialAndNumbers(char** argv, wchar_t* serial, const char* const* names, uint32_t* values, int count)
{
    if (!WideArgument(argv[0], serial, TARVO_SERIAL_CHARS))
        return false;
    for (int i = 0; i < count; ++i)
        if (!ParseArgument(names[i], argv[1 + i], values[i]))
            return false;
    return true;
}

int RunDeviceUsers(int, char** argv)
{
    wchar_t serial[TARVO_SERIAL_CHARS];
    static const char* const kNames[1] = {"n"};
    uint32_t users = 0;
    if (!SerialAndNumbers(argv, serial, kNames, &users, 1))
        return kExitUsage;
    SimControl control;
    if (!OpenControl(control))
        return kExitFailed;
    const TarvoStatus status = control.SetDeviceUsers(serial, users);
    if (status != TARVO_STATUS_SUCCESS)
        return Fail("device-users", status);
    std::printf("device %ls users %u\n", serial, users);
    return kExitOk;
}

int RunPins(int, char** argv)
{
    wchar_t serial[TARVO_SERIAL_CHARS];
    static const char* const kNames[2] = {"selector", "count"};
    uint32_t values[2] = {};
    if (!SerialAndNumbers(argv, serial, kNames, values, 2))
        return kExitUsage;
    SimControl control;
    if (!OpenControl(control))
        return kExitFailed;
    const TarvoStatus status = control.SetPins(serial, values[0], values[1]);
    if (status != TARVO_STATUS_SUCCESS)
        return Fail("pins", status);
    std::printf("device %ls pin list %u has %u pins\n", serial, values[0], values[1]);
    return kExitOk;
}

int RunSoundDeviceEvent(int, char** argv)
{
    wchar_t serial[TARVO_SERIAL_CHARS];
    static const char* const kNames[2] = {"table", "index"};
    uint32_t values[2] = {};
    if (!SerialAndNumbers(argv, serial, kNames, values, 2))
        return kExitUsage;
    SimControl control;
    if (!OpenControl(control))
        return kExitFailed;
    const TarvoStatus status = control.SoundDeviceEvent(serial, values[0], values[1]);
    if (status != TARVO_STATUS_SUCCESS)
        return Fail("sound-device-event", status);
    std::printf("device %ls sound device table %u entry %u opened\n", serial, values[0], values[1]);
    return kExitOk;
}

int RunErrors(int, char** argv)
{
    uint32_t add[5] = {};
    static const char* const kNames[5] = {"streaming", "fifo", "asio", "wdm", "midi"};
    for (int i = 0; i < 5; ++i)
        if (!ParseArgument(kNames[i], argv[i], add[i]))
            return kExitUsage;
    SimControl control;
    if (!OpenControl(control))
        return kExitFailed;
    const TarvoStatus status = control.RaiseErrors(TarvoErrorCounters{add[0], add[1], add[2], add[3], add[4]});
    if (status != TARVO_STATUS_SUCCESS)
        return Fail("errors", status);
    std::printf("error counters raised\n");
    return kExitOk;
}

const char* StreamStateName(uint32_t state)
{
    static const char* const kNames[] = {"Undefined", "Down", "Ready", "Prepared", "Running", "Error", "NotSupported"};
    return state < sizeof(kNames) / sizeof(kNames[0]) ? kNames[state] : "invalid";
}

const char* RequestName(uint32_t code)
{
    const char* name = SimRequestName(code);
    return name != nullptr ? name : "?";
}

int RunState(int, char**)
{
    SimControl control;
    if (!OpenControl(control))
        return kExitFailed;
    static SimStateRecord state;
    TarvoStatus status = control.GetState(state);
    if (status != TARVO_STATUS_SUCCESS)
        return Fail("state", status);
    const TarvoStreamingStatus& s = state.status;
    const TarvoBufferSizes& b = state.bufferSizes;
    std::printf("state %s (%u)\nmode %u\nrate %u\nusers %u %u %u %u %u\n", StreamStateName(s.state), s.state, s.mode,
                s.sampleRate, s.userCount1, s.userCount2, s.userCount3, s.userCount4, s.userCount5);
    std::printf("buffers streaming %ls (%u) asio %ls (%u) third %u; latency %u us, asio %u us, %u samples\n",
                TarvoStreamingBufferClassName(b.settings.streamingClass), b.settings.streamingClass,
                TarvoAsioBufferClassName(b.settings.asioClass), b.settings.asioClass, b.settings.thirdSetting,
                b.streamingLatencyUs, b.asioLatencyUs, b.asioLengthSamples);
    std::printf("policy 0x%08X\nselected rate %u\nstreaming device 0x%08X:0x%08X\n", state.policy, state.selectedRate,
                state.streamingKey0, state.streamingKey1);
    std::printf("errors %u %u %u %u %u\n", state.errors.streaming, state.errors.fifo, state.errors.asio,
                state.errors.wdmAudio, state.errors.wdmMidi);
    const uint32_t count = state.deviceCount < TARVO_MAX_DEVICES ? state.deviceCount : TARVO_MAX_DEVICES;
    for (uint32_t i = 0; i < count; ++i) {
        const SimDeviceSummary& d = state.devices[i];
        std::printf("device %u: ", i);
        PrintDevice(d.entry);
        static SimDeviceSentRecord sent;
        status = control.GetDeviceSent(i, sent);
        if (status != TARVO_STATUS_SUCCESS)
            return Fail("device state", status);
        std::printf("  bound handles %u, pass-through %u, volume bypass %u, mute bypass %u, volumes %u, weights %u\n",
                    d.boundConnections, d.spdifPassThrough, d.volumeBypass, d.muteBypass, d.volumeCount,
                    d.weightCount);
        std::printf("  routing %u %u (received %u)\n", sent.routing.preset, sent.routing.value, d.routingCount);
        for (uint32_t g = 0; g < SIM_MAX_GROUP_VALUES; ++g) {
            if (d.c22Mask & (1u << g))
                std::printf("  C22 group %u value %u\n", g, d.c22Values[g]);
            if (d.c20Mask & (1u << g))
                std::printf("  C20 group %u value %u\n", g, d.c20Values[g]);
        }
        const TarvoWdmChannels& ch = sent.wdmChannels;
        for (uint32_t k = 0; k < ch.inputCount && k < TARVO_WDM_TABLE_ENTRIES; ++k)
            std::printf("  WDM input channel %u: %ls\n", k, ch.inputs[k].name);
        for (uint32_t k = 0; k < ch.outputCount && k < TARVO_WDM_TABLE_ENTRIES; ++k)
            std::printf("  WDM output channel %u: %ls\n", k, ch.outputs[k].name);
        const TarvoWdmPins& pins = sent.wdmPins;
        for (uint32_t k = 0; k < pins.captureCount && k < TARVO_WDM_TABLE_ENTRIES; ++k)
            std::printf("  WDM capture device %u: %ls\n", k, pins.capture[k].name);
        for (uint32_t k = 0; k < pins.renderCount && k < TARVO_WDM_TABLE_ENTRIES; ++k)
            std::printf("  WDM render device %u: %ls\n", k, pins.render[k].name);
    }
    return kExitOk;
}

int RunCommands(int, char**)
{
    SimControl control;
    if (!OpenControl(control))
        return kExitFailed;
    static SimLogRecord log;
    const TarvoStatus status = control.GetLog(log);
    if (status != TARVO_STATUS_SUCCESS)
        return Fail("commands", status);
    if (log.dropped != 0)
        std::printf("(%u older entries dropped)\n", log.dropped);
    const uint32_t count = log.count < SIM_MAX_LOG_ENTRIES ? log.count : SIM_MAX_LOG_ENTRIES;
    for (uint32_t i = 0; i < count; ++i) {
        const SimLogEntry& e = log.entries[i];
        std::printf("%u %s connection %u device 0x%08X status %s bytes %u:", e.sequence, RequestName(e.code),
                    e.connectionId, e.deviceKey0, TarvoStatusName(e.status), e.inSize);
        const uint32_t shown = e.inSize < SIM_LOG_DATA_BYTES ? e.inSize : SIM_LOG_DATA_BYTES;
        for (uint32_t k = 0; k < shown; ++k)
            std::printf(" %02X", e.data[k]);
        std::printf("\n");
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
    {"fail", "<code> <status> [once|always|clear|ignore|after<n>]",
     "fail requests with the code (default: always; ignore: status 0, accepted but not done; after<n>: once after n passes)",
     2, 3, RunFail},
    {"delay", "<code> <ms>", "complete requests with the code late (0 clears)", 2, 2, RunDelay},
    {"counts", "", "request counts in total and per connection", 0, 0, RunCounts},
    {"connections", "", "one line per open connection", 0, 0, RunConnections},
    {"plug", "[serial] [name] [vid] [pid] [flags]", "plug a simulated device (defaults for what is left out)", 0, 5,
     RunPlug},
    {"unplug", "<serial>|all", "unplug the devices with the serial number, or all", 1, 1, RunUnplug},
    {"list", "", "one line per plugged device: key, ids, serial, name, flags", 0, 0, RunList},
    {"users", "<n1> <n2> <n3> <n4> <n5>", "set the five user counters of the stream", 5, 5, RunUsers},
    {"device-users", "<serial> <n>", "set the users of one device (posts 3015 / 3016)", 2, 2, RunDeviceUsers},
    {"pins", "<serial> <selector> <count>", "give a mixer pin list a new length (posts 3050)", 3, 3, RunPins},
    {"sound-device-event", "<serial> <table> <index>",
     "the system opens a WDM sound device, table 1 capture / 2 render (posts 3060)", 3, 3, RunSoundDeviceEvent},
    {"errors", "<streaming> <fifo> <asio> <wdm> <midi>", "add to the error counters", 5, 5, RunErrors},
    {"state", "", "streaming state, and per device what it was sent", 0, 0, RunState},
    {"commands", "", "streaming commands and set requests received, in order", 0, 0, RunCommands},
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
