// The service control wrappers against the prefix's real service control manager, with a
// service program of the tests' own (test_service/) installed, started, stopped and
// deleted. Every test works on a service named after its process, removed afterwards.
#include <gtest/gtest.h>

#include <cwchar>
#include <vector>

#include "TestRegistry.h"
#include "WnRegistryKey.h"
#include "WnServiceCtrl.h"
#include "WnText.h"

namespace {

constexpr DWORD kMagicError = 0x12345678;
constexpr DWORD kStateTimeoutMs = 10000;

class ServiceCtrlTest : public testing::Test {
protected:
    void SetUp() override
    {
        FormatText(name, 64, L"VelkanoWnTest%u", GetCurrentProcessId());
        ASSERT_EQ(0u, manager.Open(nullptr, SERVICES_ACTIVE_DATABASEW, SC_MANAGER_ALL_ACCESS));
        wchar_t program[MAX_PATH];
        const DWORD length = GetModuleFileNameW(nullptr, program, MAX_PATH);
        ASSERT_TRUE(length > 0 && length < MAX_PATH);
        *(std::wcsrchr(program, L'\\') + 1) = L'\0';
        FormatText(binaryPath, 400, L"\"%svelkano_test_service.exe\" %s", program, name);
    }
    void TearDown() override
    {
        WnServiceCtrl leftover;
        if (leftover.Open(manager, name, SERVICE_ALL_ACCESS) != 0)
            return;
        SERVICE_STATUS status;
        if (leftover.Control(SERVICE_CONTROL_STOP, status) == 0)
            WaitForState(leftover, SERVICE_STOPPED);
        leftover.Delete();
    }

    uint32_t CreatePlain(WnServiceCtrl& service)
    {
        return service.Create(manager, name, L"Velkano wrapper test", SERVICE_ALL_ACCESS, SERVICE_WIN32_OWN_PROCESS,
                              SERVICE_DEMAND_START, SERVICE_ERROR_NORMAL, binaryPath, nullptr, nullptr, nullptr,
                              nullptr, nullptr);
    }
    // The state reached, or the last one seen when it did not come in time.
    static DWORD WaitForState(WnServiceCtrl& service, DWORD wanted)
    {
        const DWORD start = GetTickCount();
        SERVICE_STATUS status = {};
        while (service.QueryStatus(status) == 0 && status.dwCurrentState != wanted &&
               GetTickCount() - start < kStateTimeoutMs)
            Sleep(50);
        return status.dwCurrentState;
    }

    wchar_t name[64];
    wchar_t binaryPath[400];
    WnServiceCtrlMgr manager;
};

TEST_F(ServiceCtrlTest, OpeningAMissingServiceGives1060AndReleasesTheHandleHeld)
{
    WnServiceCtrl service;
    ASSERT_EQ(0u, CreatePlain(service));
    ASSERT_NE(nullptr, service.Get());
    ASSERT_EQ(0u, service.Open(manager, name, SERVICE_QUERY_STATUS));
    EXPECT_NE(nullptr, service.Get());
    EXPECT_EQ(static_cast<uint32_t>(ERROR_SERVICE_DOES_NOT_EXIST),
              service.Open(manager, L"VelkanoNoSuchService", SERVICE_QUERY_STATUS));
    EXPECT_EQ(nullptr, service.Get());
    // An empty wrapper's operations report the system's error for a missing handle.
    SERVICE_STATUS status;
    EXPECT_EQ(static_cast<uint32_t>(ERROR_INVALID_HANDLE), service.QueryStatus(status));
}

TEST_F(ServiceCtrlTest, CreateStoresExactlyTheArgumentsGiven)
{
    WnServiceCtrl service;
    ASSERT_EQ(0u, service.Create(manager, name, L"Velkano control (test)", SERVICE_ALL_ACCESS,
                                 SERVICE_WIN32_OWN_PROCESS, SERVICE_AUTO_START, SERVICE_ERROR_NORMAL, binaryPath,
                                 L"PlugPlay", nullptr, L"eventlog\0PlugPlay\0", nullptr, nullptr));
    EXPECT_EQ(0u, service.SetDescription(L"Velkano control service (test)"));

    std::vector<BYTE> buffer(8192);
    auto* config = reinterpret_cast<QUERY_SERVICE_CONFIGW*>(buffer.data());
    DWORD needed = 0;
    ASSERT_TRUE(QueryServiceConfigW(service.Get(), config, static_cast<DWORD>(buffer.size()), &needed))
        << GetLastError();
    EXPECT_EQ(static_cast<DWORD>(SERVICE_WIN32_OWN_PROCESS), config->dwServiceType);
    EXPECT_EQ(static_cast<DWORD>(SERVICE_AUTO_START), config->dwStartType);
    EXPECT_EQ(static_cast<DWORD>(SERVICE_ERROR_NORMAL), config->dwErrorControl);
    EXPECT_STREQ(binaryPath, config->lpBinaryPathName);
    EXPECT_STREQ(L"PlugPlay", config->lpLoadOrderGroup);
    EXPECT_STREQ(L"Velkano control (test)", config->lpDisplayName);
    // Wine's QueryServiceConfigW reports no dependencies; the registration holds them.
    wchar_t keyPath[128];
    FormatText(keyPath, 128, L"SYSTEM\\CurrentControlSet\\Services\\%s", name);
    WnRegistryKey key;
    ASSERT_EQ(0u, key.Open(HKEY_LOCAL_MACHINE, keyPath, KEY_READ));
    RegistryValue dependencies;
    ASSERT_EQ(0u, ReadRegistryValue(key.Get(), L"DependOnService", dependencies));
    EXPECT_EQ(static_cast<DWORD>(REG_MULTI_SZ), dependencies.type);
    EXPECT_EQ(std::wstring(L"eventlog\0PlugPlay\0", 19), dependencies.data);  // both terminators

    std::vector<BYTE> descriptionBuffer(1024);
    ASSERT_TRUE(QueryServiceConfig2W(service.Get(), SERVICE_CONFIG_DESCRIPTION, descriptionBuffer.data(),
                                     static_cast<DWORD>(descriptionBuffer.size()), &needed))
        << GetLastError();
    EXPECT_STREQ(L"Velkano control service (test)",
                 reinterpret_cast<SERVICE_DESCRIPTIONW*>(descriptionBuffer.data())->lpDescription);

    WnServiceCtrl second;
    EXPECT_EQ(static_cast<uint32_t>(ERROR_SERVICE_EXISTS), CreatePlain(second));
    EXPECT_EQ(nullptr, second.Get());
}

TEST_F(ServiceCtrlTest, StartControlQueryAndDeleteFollowTheServiceThroughItsLife)
{
    WnServiceCtrl service;
    ASSERT_EQ(0u, CreatePlain(service));
    SERVICE_STATUS status = {};
    ASSERT_EQ(0u, service.QueryStatus(status));
    EXPECT_EQ(static_cast<DWORD>(SERVICE_STOPPED), status.dwCurrentState);
    EXPECT_EQ(static_cast<uint32_t>(ERROR_SERVICE_NOT_ACTIVE), service.Control(SERVICE_CONTROL_STOP, status));

    ASSERT_EQ(0u, service.Start());
    ASSERT_EQ(static_cast<DWORD>(SERVICE_RUNNING), WaitForState(service, SERVICE_RUNNING));
    EXPECT_EQ(static_cast<uint32_t>(ERROR_SERVICE_ALREADY_RUNNING), service.Start());
    status = {};
    EXPECT_EQ(0u, service.Control(SERVICE_CONTROL_INTERROGATE, status));
    EXPECT_EQ(static_cast<DWORD>(SERVICE_RUNNING), status.dwCurrentState);
    EXPECT_EQ(static_cast<DWORD>(SERVICE_ACCEPT_STOP), status.dwControlsAccepted);

    EXPECT_EQ(0u, service.Control(SERVICE_CONTROL_STOP, status));
    EXPECT_EQ(static_cast<DWORD>(SERVICE_STOPPED), WaitForState(service, SERVICE_STOPPED));
    EXPECT_EQ(static_cast<uint32_t>(ERROR_SERVICE_NOT_ACTIVE), service.Control(SERVICE_CONTROL_STOP, status));

    EXPECT_EQ(0u, service.Delete());
    service.Close();
    WnServiceCtrl reopened;
    EXPECT_EQ(static_cast<uint32_t>(ERROR_SERVICE_DOES_NOT_EXIST), reopened.Open(manager, name, SERVICE_QUERY_STATUS));
}

TEST_F(ServiceCtrlTest, DestroyingAWrapperClosesItsHandleAndCloseKeepsTheLastError)
{
    {
        WnServiceCtrl neverOpened;  // destroying empty wrappers does nothing
        WnServiceCtrlMgr neverConnected;
        SetLastError(kMagicError);
        neverOpened.Close();
        EXPECT_EQ(kMagicError, GetLastError());
    }
    {
        // A deleted service goes away when its last handle is closed: until then it is still
        // there (Wine opens it; Windows answers ERROR_SERVICE_MARKED_FOR_DELETE).
        WnServiceCtrl service;
        ASSERT_EQ(0u, CreatePlain(service));
        ASSERT_EQ(0u, service.Delete());
        WnServiceCtrl meanwhile;
        EXPECT_NE(static_cast<uint32_t>(ERROR_SERVICE_DOES_NOT_EXIST),
                  meanwhile.Open(manager, name, SERVICE_QUERY_STATUS));
    }
    WnServiceCtrl check;
    EXPECT_EQ(static_cast<uint32_t>(ERROR_SERVICE_DOES_NOT_EXIST), check.Open(manager, name, SERVICE_QUERY_STATUS));

    WnServiceCtrl service;
    ASSERT_EQ(0u, CreatePlain(service));
    ASSERT_EQ(0u, service.Delete());
    SetLastError(kMagicError);
    service.Close();
    EXPECT_EQ(kMagicError, GetLastError());
    EXPECT_EQ(nullptr, service.Get());
    EXPECT_EQ(static_cast<uint32_t>(ERROR_SERVICE_DOES_NOT_EXIST), check.Open(manager, name, SERVICE_QUERY_STATUS));
}

}  // namespace
