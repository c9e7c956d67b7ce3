// The service program velkanosvc.exe itself, run as a child process and as a service of
// the prefix's service control manager: its options, messages and exit codes, its
// registration (from a path with spaces), its status sequence, its event log texts (read
// from Wine's trace of the prefix's services, which `./velkano test` writes to the file
// named by VELKANO_SERVICES_LOG), the instance lock and a second server; and, in this
// process, the control handler's device events, which Wine does not deliver to services.
#include <gtest/gtest.h>

#include <windows.h>
#include <dbt.h>

#include <cstdlib>
#include <cstring>
#include <fstream>
#include <string>
#include <vector>

#include "ServiceTestSupport.h"
#include "TarvoService.h"
#include "TestRegistry.h"
#include "WineEventTrace.h"
#include "WnRegistryKey.h"
#include "WnServiceCtrl.h"
#include "WnText.h"

namespace {

const wchar_t* const kName = TARVO_DEVICE_OBJECT_NAME;
const wchar_t* const kServiceName = L"velkanosvc";
const wchar_t* const kSpacedFolder = L"C:\\Program Files\\Velkano Test";
const wchar_t* const kSpacedProgram = L"C:\\Program Files\\Velkano Test\\velkanosvc.exe";

std::wstring ProgramNextToThis()
{
    wchar_t path[MAX_PATH];
    GetModuleFileNameW(nullptr, path, MAX_PATH);
    std::wstring folder(path);
    return folder.substr(0, folder.find_last_of(L'\\') + 1) + L"velkanosvc.exe";
}

struct Outcome {
    DWORD exitCode = 0xDEADBEEF;
    std::string output;  // standard output, line ends as LF
};

// Runs the program with the arguments, standard output into a file, and waits for it.
Outcome RunProgram(const std::wstring& program, const std::wstring& arguments, DWORD timeoutMs = 60000)
{
    Outcome outcome;
    wchar_t folder[MAX_PATH];
    GetTempPathW(MAX_PATH, folder);
    wchar_t file[MAX_PATH];
    GetTempFileNameW(folder, L"svc", 0, file);
    SECURITY_ATTRIBUTES inherit = {sizeof inherit, nullptr, TRUE};
    HANDLE out = CreateFileW(file, GENERIC_WRITE, FILE_SHARE_READ, &inherit, CREATE_ALWAYS, 0, nullptr);
    HANDLE in = CreateFileW(L"NUL", GENERIC_READ, 0, &inherit, OPEN_EXISTING, 0, nullptr);
    STARTUPINFOW startup = {};
    startup.cb = sizeof startup;
    startup.dwFlags = STARTF_USESTDHANDLES;
    startup.hStdInput = in;
    startup.hStdOutput = out;
    startup.hStdError = out;
    std::wstring commandLine = L"\"" + program + L"\"" + (arguments.empty() ? L"" : L" " + arguments);
    PROCESS_INFORMATION process = {};
    if (CreateProcessW(program.c_str(), &commandLine[0], nullptr, nullptr, TRUE, 0, nullptr, nullptr, &startup,
                       &process)) {
        if (WaitForSingleObject(process.hProcess, timeoutMs) == WAIT_OBJECT_0)
            GetExitCodeProcess(process.hProcess, &outcome.exitCode);
        else
            TerminateProcess(process.hProcess, 0xDEAD);
        CloseHandle(process.hThread);
        CloseHandle(process.hProcess);
    }
    CloseHandle(out);
    CloseHandle(in);
    std::ifstream text(file, std::ios::binary);
    for (char c; text.get(c);)
        if (c != '\r')
            outcome.output += c;
    text.close();
    DeleteFileW(file);
    return outcome;
}

// A console instance left running; ended with TerminateProcess.
class ConsoleInstance {
public:
    bool Start(const std::wstring& program)
    {
        std::wstring commandLine = L"\"" + program + L"\" -console";
        STARTUPINFOW startup = {};
        startup.cb = sizeof startup;
        return CreateProcessW(program.c_str(), &commandLine[0], nullptr, nullptr, FALSE, CREATE_NO_WINDOW, nullptr,
                              nullptr, &startup, &process) != FALSE;
    }
    ~ConsoleInstance()
    {
        if (process.hProcess != nullptr) {
            TerminateProcess(process.hProcess, 0);
            WaitForSingleObject(process.hProcess, 10000);
            CloseHandle(process.hThread);
            CloseHandle(process.hProcess);
        }
    }

private:
    PROCESS_INFORMATION process = {};
};

// The trace file of the prefix's services as a Windows path, or empty when not given.
std::string ServicesLog()
{
    const char* unixPath = std::getenv("VELKANO_SERVICES_LOG");
    if (unixPath == nullptr || unixPath[0] != '/')
        return std::string();
    std::string path = "Z:";
    for (const char* c = unixPath; *c != '\0'; ++c)
        path += *c == '/' ? '\\' : *c;
    return path;
}

std::streamoff FileSize(const std::string& path)
{
    std::ifstream file(path, std::ios::binary | std::ios::ate);
    return file ? static_cast<std::streamoff>(file.tellg()) : 0;
}

// The service's state and exit codes as the manager reports them.
bool QueryService(SERVICE_STATUS& status, DWORD& error)
{
    WnServiceCtrlMgr manager;
    WnServiceCtrl service;
    error = manager.Open(nullptr, SERVICES_ACTIVE_DATABASEW, SC_MANAGER_CONNECT);
    if (error == 0)
        error = service.Open(manager, kServiceName, SERVICE_QUERY_STATUS);
    if (error == 0)
        error = service.QueryStatus(status);
    return error == 0;
}

bool WaitForState(DWORD state, SERVICE_STATUS& status, DWORD timeoutMs = 15000)
{
    DWORD error = 0;
    return Eventually([&] { return QueryService(status, error) && status.dwCurrentState == state; }, timeoutMs);
}

// A client's question that a running server answers and nobody else.
TarvoStatus AskServer()
{
    TarvoClient client;
    TarvoStatus status = client.OpenAsClient(kName);
    TarvoStreamingStatus stream = {};
    if (status == TARVO_STATUS_SUCCESS)
        status = client.GetStreamingStatus(stream);
    if (status == TARVO_STATUS_SUCCESS)
        status = client.RequestSampleRate(stream.sampleRate, 5000);
    return status;
}

std::string Narrow(const std::wstring& text)
{
    return std::string(text.begin(), text.end());
}

const char* const kHelp =
    "\nvelkanosvc V1.37\nVelkano control Service\n\nSupported command line options:\n"
    " -install    Install the service.\n -uninstall  Uninstall the service.\n -start      Start the service.\n"
    " -stop       Stop the service.\n -console    Start service in console mode.\n"
    " -h, -?      Print this help message.\n\n";

class ServiceProgramTest : public testing::Test {
protected:
    void SetUp() override
    {
        ASSERT_EQ(0u, sim.Open());
        ASSERT_EQ(TARVO_STATUS_SUCCESS, sim.Reset());
        RemoveService();
        log = ServicesLog();
        logStart = log.empty() ? 0 : FileSize(log);
    }
    void TearDown() override
    {
        RemoveService();
        (void)sim.Reset();
    }

    // Stops and deletes the service if it is there, the way -uninstall does.
    void RemoveService() { (void)RunProgram(program, L"-uninstall"); }

    // The events the service reported since the test began.
    std::vector<TracedEvent> ServiceEvents()
    {
        std::string problem;
        EXPECT_FALSE(log.empty()) << "VELKANO_SERVICES_LOG names no file: run the tests with ./velkano test";
        std::vector<TracedEvent> events = ReadTrace(log.c_str(), logStart, problem);
        EXPECT_EQ("", problem);
        return events;
    }

    SimControl sim;
    std::wstring program = ProgramNextToThis();
    std::string log;
    std::streamoff logStart = 0;
};

TEST_F(ServiceProgramTest, OptionsTheirMessagesAndExitCodes)
{
    struct Case {
        const wchar_t* arguments;
        const char* output;
        DWORD exitCode;
    };
    const Case cases[] = {
        {L"", "No arguments given, use -h.\n", 1},
        {L"-INSTALL", "Unknown argument -INSTALL, use -h.\n", 1},
        {L"install", "Unknown argument install, use -h.\n", 1},
        {L"-console2 -console", "Unknown argument -console2, use -h.\n", 1},
        {L"-h", kHelp, 0},
        {L"-? -install", kHelp, 0},
        {L"-service", "", 0xFFFFFFFF},  // not started by the service control manager
        {L"-stop", "Error stopping service.\n", ERROR_SERVICE_DOES_NOT_EXIST},
        {L"-start", "Error starting service.\n", ERROR_SERVICE_DOES_NOT_EXIST},
        {L"-uninstall", "Error uninstalling service.\n", ERROR_SERVICE_DOES_NOT_EXIST},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(Narrow(c.arguments));
        const Outcome outcome = RunProgram(program, c.arguments);
        EXPECT_EQ(c.output, outcome.output);
        EXPECT_EQ(c.exitCode, outcome.exitCode);
    }
}

TEST(ServiceProgramResourcesTest, VersionInformationAndManifest)
{
    const std::wstring program = ProgramNextToThis();
    DWORD ignored = 0;
    const DWORD size = GetFileVersionInfoSizeW(program.c_str(), &ignored);
    ASSERT_NE(0u, size);
    std::vector<uint8_t> data(size);
    ASSERT_TRUE(GetFileVersionInfoW(program.c_str(), 0, size, data.data()));
    VS_FIXEDFILEINFO* fixed = nullptr;
    UINT length = 0;
    ASSERT_TRUE(VerQueryValueW(data.data(), L"\\", reinterpret_cast<void**>(&fixed), &length));
    EXPECT_EQ(MAKELONG(37, 1), fixed->dwFileVersionMS);
    EXPECT_EQ(MAKELONG(0, 10), fixed->dwFileVersionLS);
    EXPECT_EQ(MAKELONG(37, 1), fixed->dwProductVersionMS);
    EXPECT_EQ(MAKELONG(0, 10), fixed->dwProductVersionLS);
    struct Entry {
        const wchar_t* name;
        const wchar_t* value;
    };
    const Entry entries[] = {
        {L"FileDescription", L"Velkano Device Control Service"}, {L"ProductName", L"Velkano Device Driver"},
        {L"InternalName", L"velkanosvc"},                        {L"OriginalFilename", L"velkanosvc.exe"},
        {L"CompanyName", L"Dravlin"},                             {L"FileVersion", L"1.37.10.0"},
    };
    for (const Entry& entry : entries) {
        SCOPED_TRACE(Narrow(entry.name));
        wchar_t* value = nullptr;
        ASSERT_TRUE(VerQueryValueW(data.data(), (std::wstring(L"\\StringFileInfo\\040904B0\\") + entry.name).c_str(),
                                   reinterpret_cast<void**>(&value), &length));
        EXPECT_EQ(std::wstring(entry.value), value);
    }

    HMODULE module = LoadLibraryExW(program.c_str(), nullptr, LOAD_LIBRARY_AS_DATAFILE);
    ASSERT_NE(nullptr, module);
    HRSRC found = FindResourceW(module, MAKEINTRESOURCEW(1), MAKEINTRESOURCEW(24));
    ASSERT_NE(nullptr, found);
    const char* manifest = static_cast<const char*>(LockResource(LoadResource(module, found)));
    const std::string text(manifest, SizeofResource(module, found));
    EXPECT_NE(std::string::npos, text.find("<requestedExecutionLevel level=\"requireAdministrator\" uiAccess=\"false\"/>"));
    FreeLibrary(module);
}

TEST_F(ServiceProgramTest, InstalledFromAPathWithSpacesRunsStopsAndIsRemoved)
{
    ASSERT_TRUE(CreateDirectoryW(kSpacedFolder, nullptr) || GetLastError() == ERROR_ALREADY_EXISTS);
    ASSERT_TRUE(CopyFileW(program.c_str(), kSpacedProgram, FALSE));
    ASSERT_EQ(TARVO_STATUS_SUCCESS, sim.Plug(SimControl::PlugRecord(L"SVC1")));

    Outcome outcome = RunProgram(kSpacedProgram, L"-install");
    EXPECT_EQ("Service installed successfully.\n", outcome.output);
    ASSERT_EQ(0u, outcome.exitCode);

    {  // the registration, read back from the manager and the registry
        WnServiceCtrlMgr manager;
        ASSERT_EQ(0u, manager.Open(nullptr, SERVICES_ACTIVE_DATABASEW, SC_MANAGER_CONNECT));
        WnServiceCtrl service;
        ASSERT_EQ(0u, service.Open(manager, kServiceName, SERVICE_QUERY_CONFIG));
        static uint8_t buffer[8192];
        DWORD needed = 0;
        ASSERT_TRUE(QueryServiceConfigW(service.Get(), reinterpret_cast<QUERY_SERVICE_CONFIGW*>(buffer), sizeof buffer,
                                        &needed));
        const QUERY_SERVICE_CONFIGW& config = *reinterpret_cast<QUERY_SERVICE_CONFIGW*>(buffer);
        EXPECT_EQ(std::wstring(L"\"") + kSpacedProgram + L"\" -service", config.lpBinaryPathName);
        EXPECT_EQ(static_cast<DWORD>(SERVICE_WIN32_OWN_PROCESS), config.dwServiceType);
        EXPECT_EQ(static_cast<DWORD>(SERVICE_AUTO_START), config.dwStartType);
        EXPECT_EQ(static_cast<DWORD>(SERVICE_ERROR_NORMAL), config.dwErrorControl);
        EXPECT_EQ(std::wstring(L"PlugPlay"), config.lpLoadOrderGroup);
        EXPECT_EQ(std::wstring(L"Velkano control"), config.lpDisplayName);
        EXPECT_EQ(std::wstring(L"LocalSystem"), config.lpServiceStartName);
        ASSERT_TRUE(QueryServiceConfig2W(service.Get(), SERVICE_CONFIG_DESCRIPTION, buffer, sizeof buffer, &needed));
        EXPECT_EQ(std::wstring(L"Velkano control service"),
                  reinterpret_cast<SERVICE_DESCRIPTIONW*>(buffer)->lpDescription);

        WnRegistryKey key;
        ASSERT_EQ(0u, key.Open(HKEY_LOCAL_MACHINE, L"System\\CurrentControlSet\\Services\\velkanosvc", KEY_READ));
        RegistryValue stored;
        ASSERT_EQ(0u, ReadRegistryValue(key.Get(), L"DependOnService", stored));
        EXPECT_EQ(static_cast<DWORD>(REG_MULTI_SZ), stored.type);
        EXPECT_EQ(std::wstring(L"eventlog\0PlugPlay\0", 19), stored.data);  // both terminators

        WnRegistryKey source;
        ASSERT_EQ(0u, source.Open(HKEY_LOCAL_MACHINE,
                                  L"System\\CurrentControlSet\\Services\\EventLog\\Application\\velkanosvc", KEY_READ));
        ASSERT_EQ(0u, ReadRegistryValue(source.Get(), L"EventMessageFile", stored));
        EXPECT_EQ(std::wstring(kSpacedProgram) + L'\0', stored.data);
        uint32_t types = 0;
        EXPECT_EQ(0u, source.ReadDword(L"TypesSupported", types));
        EXPECT_EQ(7u, types);
    }

    outcome = RunProgram(kSpacedProgram, L"-stop");  // installed, not running
    EXPECT_EQ("Error stopping service.\n", outcome.output);
    EXPECT_EQ(static_cast<DWORD>(ERROR_SERVICE_NOT_ACTIVE), outcome.exitCode);

    outcome = RunProgram(kSpacedProgram, L"-start these words are ignored");
    EXPECT_EQ("Service started successfully.\n", outcome.output);
    EXPECT_EQ(0u, outcome.exitCode);
    SERVICE_STATUS status = {};
    ASSERT_TRUE(WaitForState(SERVICE_RUNNING, status));
    EXPECT_EQ(static_cast<DWORD>(SERVICE_ACCEPT_STOP | SERVICE_ACCEPT_SHUTDOWN), status.dwControlsAccepted);
    EXPECT_TRUE(Eventually([] { return AskServer() == TARVO_STATUS_SUCCESS; }, 10000)) << "the service serves";

    // Installing over the running service stops and replaces it.
    outcome = RunProgram(kSpacedProgram, L"-install");
    EXPECT_EQ("Service installed successfully.\n", outcome.output);
    EXPECT_EQ(0u, outcome.exitCode);
    ASSERT_TRUE(WaitForState(SERVICE_STOPPED, status, 1000));
    EXPECT_EQ(TARVO_STATUS_NO_SERVER, AskServer());

    outcome = RunProgram(kSpacedProgram, L"-start");
    EXPECT_EQ(0u, outcome.exitCode);
    ASSERT_TRUE(WaitForState(SERVICE_RUNNING, status));
    outcome = RunProgram(kSpacedProgram, L"-stop");
    EXPECT_EQ("Service stopped successfully.\n", outcome.output);
    EXPECT_EQ(0u, outcome.exitCode);
    ASSERT_TRUE(QueryService(status, outcome.exitCode));
    EXPECT_EQ(static_cast<DWORD>(SERVICE_STOPPED), status.dwCurrentState);
    EXPECT_EQ(0u, status.dwWin32ExitCode);

    // Two runs, each with its start and its terminating event.
    const std::wstring started = std::wstring(L"velkanosvc started\r\nExePath: ") + kSpacedProgram +
                                 L"\r\nVersion 1.37.10\r\nInterface Version 2.0";
    const std::vector<TracedEvent> events = ServiceEvents();
    ASSERT_EQ(4u, events.size());
    for (size_t i = 0; i < 4; ++i) {
        SCOPED_TRACE(i);
        EXPECT_EQ(i % 2 == 0 ? started : std::wstring(L"velkanosvc terminating."), events[i].text);
        EXPECT_EQ(static_cast<unsigned>(EVENTLOG_INFORMATION_TYPE), events[i].type);
        EXPECT_EQ(0x60070001u, events[i].id);
    }

    outcome = RunProgram(kSpacedProgram, L"-uninstall");
    EXPECT_EQ("Service uninstalled successfully.\n", outcome.output);
    EXPECT_EQ(0u, outcome.exitCode);
    DWORD error = 0;
    EXPECT_FALSE(QueryService(status, error));
    EXPECT_EQ(static_cast<DWORD>(ERROR_SERVICE_DOES_NOT_EXIST), error);
    WnRegistryKey source;
    EXPECT_EQ(static_cast<uint32_t>(ERROR_FILE_NOT_FOUND),
              source.Open(HKEY_LOCAL_MACHINE, L"System\\CurrentControlSet\\Services\\EventLog\\Application\\velkanosvc",
                          KEY_READ));
    DeleteFileW(kSpacedProgram);
    RemoveDirectoryW(kSpacedFolder);
}

TEST_F(ServiceProgramTest, ServiceBesideARunningConsoleInstanceStopsWith183)
{
    ASSERT_EQ(TARVO_STATUS_SUCCESS, sim.Plug(SimControl::PlugRecord(L"SVC1")));
    ASSERT_EQ(0u, RunProgram(program, L"-install").exitCode);
    ConsoleInstance console;
    ASSERT_TRUE(console.Start(program));
    ASSERT_TRUE(Eventually([] { return AskServer() == TARVO_STATUS_SUCCESS; }, 15000));

    ASSERT_EQ(0u, RunProgram(program, L"-start").exitCode);
    SERVICE_STATUS status = {};
    ASSERT_TRUE(WaitForState(SERVICE_STOPPED, status));
    EXPECT_EQ(static_cast<DWORD>(ERROR_ALREADY_EXISTS), status.dwWin32ExitCode);
    EXPECT_EQ(static_cast<DWORD>(ERROR_ALREADY_EXISTS), status.dwServiceSpecificExitCode);
    const std::vector<TracedEvent> events = ServiceEvents();
    ASSERT_EQ(2u, events.size());
    EXPECT_EQ(0, events[0].text.compare(0, 19, L"velkanosvc started\r"));
    EXPECT_EQ(L"Unable to start because another instance is already running.", events[1].text);
    EXPECT_EQ(static_cast<unsigned>(EVENTLOG_ERROR_TYPE), events[1].type);
    EXPECT_EQ(0xE0070003u, events[1].id);
    EXPECT_EQ("err", events[1].channelClass);
    EXPECT_EQ(TARVO_STATUS_SUCCESS, AskServer());  // the console instance is not disturbed
}

TEST_F(ServiceProgramTest, ServiceEndsAtOnceWhenAnotherServerHoldsTheDriver)
{
    ASSERT_EQ(TARVO_STATUS_SUCCESS, sim.Plug(SimControl::PlugRecord(L"SVC1")));
    ASSERT_EQ(0u, RunProgram(program, L"-install").exitCode);
    TarvoServer other;
    ASSERT_EQ(TARVO_STATUS_SUCCESS, other.OpenAsServer(kName));
    ASSERT_EQ(0u, RunProgram(program, L"-start").exitCode);
    SERVICE_STATUS status = {};
    ASSERT_TRUE(WaitForState(SERVICE_STOPPED, status));
    EXPECT_EQ(0u, status.dwWin32ExitCode);
    const std::vector<TracedEvent> events = ServiceEvents();
    ASSERT_EQ(2u, events.size());
    EXPECT_EQ(0, events[0].text.compare(0, 19, L"velkanosvc started\r"));
    EXPECT_EQ(L"velkanosvc terminating.", events[1].text);
}

// ---- the control handler, called as the manager would (Wine never sends device events
// to services) ----

DEV_BROADCAST_DEVICEINTERFACE_W InterfaceBroadcast()
{
    DEV_BROADCAST_DEVICEINTERFACE_W broadcast = {};
    broadcast.dbcc_size = sizeof broadcast;
    broadcast.dbcc_devicetype = DBT_DEVTYP_DEVICEINTERFACE;
    broadcast.dbcc_classguid = {0x7BEDFC26, 0xBEC9, 0x474C, {0xB1, 0x64, 0x79, 0x14, 0x05, 0x57, 0x3A, 0x9A}};
    return broadcast;
}

TEST(ServiceControlHandlerTest, ControlsReachTheServiceThroughItsContext)
{
    TarvoService service;
    DEV_BROADCAST_DEVICEINTERFACE_W broadcast = InterfaceBroadcast();
    void* context = service.GetControlContext();
    struct Case {
        DWORD control;
        DWORD eventType;
        bool arrival;
        bool stop;
    };
    const Case cases[] = {
        {SERVICE_CONTROL_INTERROGATE, 0, false, false},
        {SERVICE_CONTROL_PARAMCHANGE, 0, false, false},
        {SERVICE_CONTROL_DEVICEEVENT, DBT_DEVICEREMOVECOMPLETE, false, false},
        {SERVICE_CONTROL_DEVICEEVENT, DBT_DEVICEARRIVAL, true, false},
        {SERVICE_CONTROL_STOP, 0, false, true},
        {SERVICE_CONTROL_SHUTDOWN, 0, false, true},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(testing::Message() << "control " << c.control << " event " << c.eventType);
        EXPECT_EQ(static_cast<DWORD>(NO_ERROR), ServiceBase::HandlerEx(c.control, c.eventType, &broadcast, context));
        EXPECT_EQ(c.arrival ? WAIT_OBJECT_0 : WAIT_TIMEOUT, WaitForSingleObject(service.GetArrivalEvent(), 0));
        EXPECT_EQ(c.stop ? WAIT_OBJECT_0 : WAIT_TIMEOUT, WaitForSingleObject(service.GetStopEvent(), 0));
    }
    // Several arrivals before the server wakes are one.
    for (int i = 0; i < 3; ++i)
        ServiceBase::HandlerEx(SERVICE_CONTROL_DEVICEEVENT, DBT_DEVICEARRIVAL, &broadcast, context);
    EXPECT_EQ(WAIT_OBJECT_0, WaitForSingleObject(service.GetArrivalEvent(), 0));
    EXPECT_EQ(static_cast<DWORD>(WAIT_TIMEOUT), WaitForSingleObject(service.GetArrivalEvent(), 0));
}

// The service's server thread, run as the service routine runs it.
class ServiceServerThread {
public:
    explicit ServiceServerThread(TarvoService& service) : service(service)
    {
        forwarder.object = this;
        forwarder.function = &ServiceServerThread::Body;
    }
    uint32_t Start() { return thread.Start(&forwarder); }
    void Stop()
    {
        service.StopAll();
        (void)thread.Wait(INFINITE);
    }

private:
    uint32_t Body()
    {
        service.RunServer();
        return 0;
    }
    TarvoService& service;
    WnThread thread;
    WnThreadCallbackForwarderT<ServiceServerThread> forwarder;
};

TEST(ServiceControlHandlerTest, DeviceArrivalThroughTheHandlerReconnectsTheServer)
{
    SimControl sim;
    ASSERT_EQ(0u, sim.Open());
    ASSERT_EQ(TARVO_STATUS_SUCCESS, sim.Reset());
    TarvoService service;
    ServiceServerThread thread(service);
    ASSERT_EQ(0u, thread.Start());
    // No device: the server lets go of the driver after its first wake-up.
    ASSERT_TRUE(Eventually([] { return AskServer() == TARVO_STATUS_NO_SERVER; }));
    Sleep(500);
    ASSERT_EQ(TARVO_STATUS_NO_SERVER, AskServer());
    ASSERT_EQ(TARVO_STATUS_SUCCESS, sim.Plug(SimControl::PlugRecord(L"SVC2")));
    Sleep(500);
    EXPECT_EQ(TARVO_STATUS_NO_SERVER, AskServer()) << "nothing but an arrival brings the server back";

    DEV_BROADCAST_DEVICEINTERFACE_W broadcast = InterfaceBroadcast();
    EXPECT_EQ(static_cast<DWORD>(NO_ERROR), ServiceBase::HandlerEx(SERVICE_CONTROL_DEVICEEVENT, DBT_DEVICEARRIVAL,
                                                                  &broadcast, service.GetControlContext()));
    EXPECT_TRUE(Eventually([] { return AskServer() == TARVO_STATUS_SUCCESS; }));
    thread.Stop();  // returns once the loop has ended
    (void)sim.Reset();
}

// A service object for the test service program, which can be told to ignore a stop.
class TestServiceObject : public ServiceBase {
public:
    TestServiceObject()
    {
        // A name of its own per run: a service of an earlier run may still be on its way out.
        (void)FormatText(name, 64, L"velkano_ignoring_service_%lu", GetTickCount());
    }
    const wchar_t* GetServiceName() const override { return name; }
    const wchar_t* GetDisplayName() const override { return L"Velkano ignoring test service"; }
    const wchar_t* GetDescription() const override { return L""; }
    LPSERVICE_MAIN_FUNCTIONW GetServiceMain() const override { return nullptr; }
    int RunConsole() override { return 0; }

protected:
    uint32_t AcquireInstanceLock() override { return 0; }
    void ReleaseInstanceLock() override {}
    void GetInterfaceGuid(GUID& interfaceClass) const override { interfaceClass = GUID(); }
    void RunServer() override {}

private:
    wchar_t name[64];
};

TEST(ServiceStopTest, StopOfAServiceThatIgnoresItEndsWith1460AfterFiveSeconds)
{
    TestServiceObject object;
    const std::wstring testService = ProgramNextToThis().substr(0, ProgramNextToThis().size() - 14) +
                                     L"velkano_test_service.exe";
    const std::wstring binaryPath =
        L"\"" + testService + L"\" " + object.GetServiceName() + L" ignore-first-stop";
    {
        WnServiceCtrlMgr manager;
        ASSERT_EQ(0u, manager.Open(nullptr, SERVICES_ACTIVE_DATABASEW, SC_MANAGER_ALL_ACCESS));
        WnServiceCtrl service;
        if (service.Open(manager, object.GetServiceName(), DELETE) == 0)
            (void)service.Delete();
        service.Close();
        ASSERT_EQ(0u, service.Create(manager, object.GetServiceName(), object.GetDisplayName(), SERVICE_ALL_ACCESS,
                                     SERVICE_WIN32_OWN_PROCESS, SERVICE_DEMAND_START, SERVICE_ERROR_NORMAL,
                                     binaryPath.c_str(), nullptr, nullptr, nullptr, nullptr, nullptr));
    }
    ASSERT_EQ(0u, object.Start());
    EXPECT_EQ(static_cast<uint32_t>(ERROR_SERVICE_ALREADY_RUNNING), object.Start());
    const DWORD start = GetTickCount();
    EXPECT_EQ(static_cast<uint32_t>(ERROR_TIMEOUT), object.Stop());
    const DWORD elapsed = GetTickCount() - start;
    EXPECT_GE(elapsed, 4500u);
    EXPECT_LT(elapsed, 10000u);

    // The service is still running; end its process, then it can go.
    {
        WnServiceCtrlMgr manager;
        ASSERT_EQ(0u, manager.Open(nullptr, SERVICES_ACTIVE_DATABASEW, SC_MANAGER_ALL_ACCESS));
        WnServiceCtrl service;
        ASSERT_EQ(0u, service.Open(manager, object.GetServiceName(), SERVICE_QUERY_STATUS));
        SERVICE_STATUS_PROCESS status = {};
        DWORD needed = 0;
        ASSERT_TRUE(QueryServiceStatusEx(service.Get(), SC_STATUS_PROCESS_INFO, reinterpret_cast<BYTE*>(&status),
                                         sizeof status, &needed));
        EXPECT_NE(static_cast<DWORD>(SERVICE_STOPPED), status.dwCurrentState);
        HANDLE process = OpenProcess(PROCESS_TERMINATE | SYNCHRONIZE, FALSE, status.dwProcessId);
        ASSERT_NE(nullptr, process);
        TerminateProcess(process, 0);
        WaitForSingleObject(process, 10000);
        CloseHandle(process);
    }
    // Deleting does not wait for the manager to notice the process has gone.
    EXPECT_EQ(0u, object.Uninstall());
}

TEST(ServiceInstanceLockTest, TheLockIsNamedAfterServiceAndDriverAndTakenOnce)
{
    TarvoService first;
    TarvoService second;
    ASSERT_EQ(0u, first.AcquireInstanceLock());
    HANDLE opened = OpenMutexW(SYNCHRONIZE, FALSE, L"velkanosvc-{7BEDFC26-BEC9-474c-B164-791405573A9A}");
    EXPECT_NE(nullptr, opened);
    if (opened != nullptr)
        CloseHandle(opened);
    EXPECT_EQ(static_cast<uint32_t>(ERROR_ALREADY_EXISTS), second.AcquireInstanceLock());
    first.ReleaseInstanceLock();
    second.ReleaseInstanceLock();
    EXPECT_EQ(0u, second.AcquireInstanceLock());
}

}  // namespace
