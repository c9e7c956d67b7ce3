// The device notification list and the PnP notificator with real windows and messages:
// its hidden window and names, its error codes, the messages that reach the callback, and
// the simulated driver's device interface arriving and leaving as devices are plugged and
// unplugged through the test interface.
#include <gtest/gtest.h>

#include <objbase.h>

#include <condition_variable>
#include <cwchar>
#include <mutex>
#include <string>
#include <vector>

#include "SimControl.h"
#include "WnPnPNotificator.h"
#include "WnText.h"

namespace {

constexpr DWORD kArrivalTimeoutMs = 10000;

GUID DriverInterfaceClass()
{
    GUID guid = {};
    IIDFromString(TARVO_DEVICE_OBJECT_NAME, &guid);  // the device object name is the class
    return guid;
}

// What reached a callback, copied out of the broadcast while it was valid.
struct Notification {
    uint32_t eventType;
    uint32_t deviceType;
    const DEV_BROADCAST_HDR* header;
    GUID classGuid;
    std::wstring name;
};

class Recorder {
public:
    Recorder()
    {
        forwarder.object = this;
        forwarder.function = &Recorder::OnDeviceChange;
    }

    void OnDeviceChange(uint32_t eventType, DEV_BROADCAST_HDR* header)
    {
        Notification n = {eventType, header->dbch_devicetype, header, {}, L""};
        if (header->dbch_devicetype == DBT_DEVTYP_DEVICEINTERFACE) {
            const auto* broadcast = reinterpret_cast<const DEV_BROADCAST_DEVICEINTERFACE_W*>(header);
            n.classGuid = broadcast->dbcc_classguid;
            n.name = broadcast->dbcc_name;
        }
        std::unique_lock<std::mutex> lock(mutex);
        seen.push_back(n);
        changed.notify_all();
        // A test may hold the notificator's thread here.
        changed.wait(lock, [this] { return !holding; });
    }

    // Waits until count notifications have come; false on time-out.
    bool WaitFor(size_t count, DWORD timeoutMs = kArrivalTimeoutMs)
    {
        std::unique_lock<std::mutex> lock(mutex);
        return changed.wait_for(lock, std::chrono::milliseconds(timeoutMs), [&] { return seen.size() >= count; });
    }
    std::vector<Notification> Seen()
    {
        std::lock_guard<std::mutex> lock(mutex);
        return seen;
    }
    void Hold(bool on)
    {
        std::lock_guard<std::mutex> lock(mutex);
        holding = on;
        changed.notify_all();
    }

    WnPnPNotificatorCallbackForwarderT<Recorder> forwarder;

private:
    std::mutex mutex;
    std::condition_variable changed;
    std::vector<Notification> seen;
    bool holding = false;
};

// The hidden windows of this process, found by their class name's prefix.
struct FoundWindow {
    HWND hwnd;
    std::wstring className;
    std::wstring title;
    DWORD threadId;
};

std::vector<FoundWindow> NotificatorWindows()
{
    std::vector<FoundWindow> found;
    EnumWindows(
        [](HWND hwnd, LPARAM context) -> BOOL {
            DWORD processId = 0;
            const DWORD threadId = GetWindowThreadProcessId(hwnd, &processId);
            wchar_t className[128] = {};
            GetClassNameW(hwnd, className, 128);
            if (processId == GetCurrentProcessId() && std::wcsncmp(className, L"PnPNotificatorWndCls_", 21) == 0) {
                wchar_t title[128] = {};
                GetWindowTextW(hwnd, title, 128);
                reinterpret_cast<std::vector<FoundWindow>*>(context)->push_back({hwnd, className, title, threadId});
            }
            return TRUE;
        },
        reinterpret_cast<LPARAM>(&found));
    return found;
}

DEV_BROADCAST_DEVICEINTERFACE_W InterfaceBroadcast(const GUID& guid)
{
    DEV_BROADCAST_DEVICEINTERFACE_W broadcast = {};
    broadcast.dbcc_size = sizeof(broadcast);
    broadcast.dbcc_devicetype = DBT_DEVTYP_DEVICEINTERFACE;
    broadcast.dbcc_classguid = guid;
    return broadcast;
}

// ---- lifecycle and error codes ----

TEST(PnPNotificatorTest, ErrorCodesOfStartStopAndRegisterAcrossTheLifecycle)
{
    Recorder recorder;
    WnPnPNotificator notificator;
    const GUID guid = DriverInterfaceClass();
    EXPECT_EQ(static_cast<uint32_t>(ERROR_INVALID_PARAMETER), notificator.Start(nullptr, nullptr));
    EXPECT_FALSE(notificator.IsStarted());
    EXPECT_EQ(static_cast<uint32_t>(ERROR_INVALID_DATA), notificator.RegisterDeviceInterface(guid));
    EXPECT_EQ(0u, notificator.Stop(INFINITE));  // not started
    EXPECT_TRUE(NotificatorWindows().empty());

    ASSERT_EQ(0u, notificator.Start(&recorder.forwarder, nullptr));
    EXPECT_TRUE(notificator.IsStarted());
    const std::vector<FoundWindow> before = NotificatorWindows();
    ASSERT_EQ(1u, before.size());
    EXPECT_EQ(static_cast<uint32_t>(ERROR_ALREADY_INITIALIZED), notificator.Start(&recorder.forwarder, nullptr));
    const std::vector<FoundWindow> after = NotificatorWindows();
    ASSERT_EQ(1u, after.size());
    EXPECT_EQ(before[0].hwnd, after[0].hwnd);  // the second Start changed nothing
    EXPECT_EQ(0u, notificator.RegisterDeviceInterface(guid));

    EXPECT_EQ(0u, notificator.Stop(INFINITE));
    EXPECT_FALSE(notificator.IsStarted());
    EXPECT_TRUE(NotificatorWindows().empty());
    EXPECT_FALSE(IsWindow(before[0].hwnd));
    WNDCLASSEXW windowClass = {};
    windowClass.cbSize = sizeof(windowClass);
    EXPECT_FALSE(GetClassInfoExW(GetModuleHandleW(nullptr), before[0].className.c_str(), &windowClass));
    EXPECT_EQ(static_cast<uint32_t>(ERROR_INVALID_DATA), notificator.RegisterDeviceInterface(guid));

    // Stopped, it starts again with a new thread and window.
    ASSERT_EQ(0u, notificator.Start(&recorder.forwarder, nullptr));
    const std::vector<FoundWindow> again = NotificatorWindows();
    ASSERT_EQ(1u, again.size());
    EXPECT_NE(before[0].threadId, again[0].threadId);
    EXPECT_EQ(0u, notificator.RegisterDeviceInterface(guid));
}

TEST(PnPNotificatorTest, TwoNotificatorsOfOneThreadHaveHiddenWindowsNamedByTheirOwnThreads)
{
    Recorder recorder;
    WnPnPNotificator first;
    WnPnPNotificator second;
    ASSERT_EQ(0u, first.Start(&recorder.forwarder, nullptr));
    ASSERT_EQ(0u, second.Start(&recorder.forwarder, nullptr));
    const std::vector<FoundWindow> windows = NotificatorWindows();
    ASSERT_EQ(2u, windows.size());
    EXPECT_NE(windows[0].threadId, windows[1].threadId);
    for (const FoundWindow& w : windows) {
        wchar_t className[80];
        wchar_t title[80];
        FormatText(className, 80, L"PnPNotificatorWndCls_%u_%u", GetCurrentProcessId(), w.threadId);
        FormatText(title, 80, L"PnPNotificator_HiddenWindow_%u_%u", GetCurrentProcessId(), w.threadId);
        EXPECT_EQ(std::wstring(className), w.className);
        EXPECT_EQ(std::wstring(title), w.title);
        EXPECT_NE(GetCurrentThreadId(), w.threadId);
        EXPECT_FALSE(IsWindowVisible(w.hwnd));
        EXPECT_EQ(static_cast<LONG_PTR>(WS_OVERLAPPEDWINDOW),
                  GetWindowLongPtrW(w.hwnd, GWL_STYLE) & static_cast<LONG_PTR>(WS_OVERLAPPEDWINDOW));
    }
    EXPECT_EQ(0u, first.Stop(INFINITE));
    ASSERT_EQ(1u, NotificatorWindows().size());
    EXPECT_EQ(0u, second.Stop(INFINITE));
}

// ---- what reaches the callback ----

TEST(PnPNotificatorTest, OnlyInterfaceArrivalsAndRemovalsReachTheCallback)
{
    Recorder recorder;
    WnPnPNotificator notificator;
    ASSERT_EQ(0u, notificator.Start(&recorder.forwarder, nullptr));
    const std::vector<FoundWindow> windows = NotificatorWindows();
    ASSERT_EQ(1u, windows.size());
    const HWND hwnd = windows[0].hwnd;

    DEV_BROADCAST_DEVICEINTERFACE_W ifaceBroadcast = InterfaceBroadcast(DriverInterfaceClass());
    DEV_BROADCAST_VOLUME volume = {};
    volume.dbcv_size = sizeof(volume);
    volume.dbcv_devicetype = DBT_DEVTYP_VOLUME;
    DEV_BROADCAST_PORT_W port = {};
    port.dbcp_size = sizeof(port);
    port.dbcp_devicetype = DBT_DEVTYP_PORT;
    const struct {
        WPARAM event;
        void* broadcast;
        bool reaches;
    } cases[] = {
        {DBT_DEVNODES_CHANGED, nullptr, false},   // lParam null, never read
        {DBT_DEVICEARRIVAL, &volume, false},      // another kind of device
        {DBT_DEVICEREMOVECOMPLETE, &port, false},
        {DBT_DEVICEQUERYREMOVE, &ifaceBroadcast, false},  // other events of an interface
        {DBT_DEVICEREMOVEPENDING, &ifaceBroadcast, false},
        {DBT_DEVICEARRIVAL, &ifaceBroadcast, true},
        {DBT_DEVICEREMOVECOMPLETE, &ifaceBroadcast, true},
    };
    size_t expected = 0;
    for (const auto& c : cases) {
        SCOPED_TRACE(c.event);
        // Sent, so the callback (on the notificator's thread) has run when the call returns.
        EXPECT_EQ(0, SendMessageW(hwnd, WM_DEVICECHANGE, c.event, reinterpret_cast<LPARAM>(c.broadcast)));
        const std::vector<Notification> seen = recorder.Seen();
        if (c.reaches) {
            ++expected;
            ASSERT_EQ(expected, seen.size());
            EXPECT_EQ(c.event, seen.back().eventType);
            EXPECT_EQ(c.broadcast, seen.back().header);  // the message's own broadcast
        }
        EXPECT_EQ(expected, seen.size());
    }
    // Other messages get the default handling.
    EXPECT_EQ(DefWindowProcW(hwnd, WM_GETTEXTLENGTH, 0, 0), SendMessageW(hwnd, WM_GETTEXTLENGTH, 0, 0));
    EXPECT_EQ(0u, notificator.Stop(INFINITE));
}

TEST(PnPNotificatorTest, AnUnboundForwarderDoesNothing)
{
    WnPnPNotificatorCallbackForwarderT<Recorder> unbound;
    WnPnPNotificator notificator;
    ASSERT_EQ(0u, notificator.Start(&unbound, nullptr));
    const std::vector<FoundWindow> windows = NotificatorWindows();
    ASSERT_EQ(1u, windows.size());
    DEV_BROADCAST_DEVICEINTERFACE_W ifaceBroadcast = InterfaceBroadcast(DriverInterfaceClass());
    EXPECT_EQ(0, SendMessageW(windows[0].hwnd, WM_DEVICECHANGE, DBT_DEVICEARRIVAL, reinterpret_cast<LPARAM>(&ifaceBroadcast)));
    EXPECT_EQ(0u, notificator.Stop(INFINITE));
}

struct SendArgs {
    HWND hwnd;
    DEV_BROADCAST_DEVICEINTERFACE_W* broadcast;
};

TEST(PnPNotificatorTest, StopThatTimesOutLeavesTheNotificatorStarted)
{
    Recorder recorder;
    WnPnPNotificator notificator;
    ASSERT_EQ(0u, notificator.Start(&recorder.forwarder, nullptr));
    const std::vector<FoundWindow> windows = NotificatorWindows();
    ASSERT_EQ(1u, windows.size());
    ASSERT_EQ(0u, notificator.RegisterDeviceInterface(DriverInterfaceClass()));

    // Hold the notificator's thread inside the callback, so it cannot end yet.
    recorder.Hold(true);
    DEV_BROADCAST_DEVICEINTERFACE_W ifaceBroadcast = InterfaceBroadcast(DriverInterfaceClass());
    SendArgs args = {windows[0].hwnd, &ifaceBroadcast};
    HANDLE sender = CreateThread(
        nullptr, 0,
        [](void* p) -> DWORD {
            auto* a = static_cast<SendArgs*>(p);
            SendMessageW(a->hwnd, WM_DEVICECHANGE, DBT_DEVICEARRIVAL, reinterpret_cast<LPARAM>(a->broadcast));
            return 0;
        },
        &args, 0, nullptr);
    ASSERT_NE(nullptr, sender);
    ASSERT_TRUE(recorder.WaitFor(1));

    EXPECT_EQ(static_cast<uint32_t>(WAIT_TIMEOUT), notificator.Stop(0));
    EXPECT_TRUE(notificator.IsStarted());
    EXPECT_EQ(static_cast<uint32_t>(WAIT_TIMEOUT), notificator.Stop(50));

    recorder.Hold(false);
    EXPECT_EQ(WAIT_OBJECT_0, WaitForSingleObject(sender, kArrivalTimeoutMs));
    CloseHandle(sender);
    EXPECT_EQ(0u, notificator.Stop(INFINITE));  // the window closed by the first Stop ends the thread
    EXPECT_FALSE(notificator.IsStarted());
    EXPECT_TRUE(NotificatorWindows().empty());
}

// ---- the simulated driver's ifaceBroadcast, end to end ----

class PnPArrivalTest : public testing::Test {
protected:
    void SetUp() override
    {
        ASSERT_EQ(0u, control.Open());
        ASSERT_EQ(TARVO_STATUS_SUCCESS, control.UnplugAll());
    }
    void TearDown() override { control.UnplugAll(); }

    SimControl control;
};

TEST_F(PnPArrivalTest, FirstPlugAnnouncesTheDriversInterfaceAndLastUnplugWithdrawsIt)
{
    const GUID guid = DriverInterfaceClass();
    const GUID otherClass = {0x5A1D0C3E, 0x77B2, 0x4E1F, {0x9C, 0x10, 0x2B, 0x5A, 0x01, 0x01, 0xAB, 0xCD}};
    Recorder registered;
    Recorder elsewhere;
    WnPnPNotificator notificator;
    WnPnPNotificator other;
    ASSERT_EQ(0u, notificator.Start(&registered.forwarder, nullptr));
    ASSERT_EQ(0u, other.Start(&elsewhere.forwarder, nullptr));
    ASSERT_EQ(0u, notificator.RegisterDeviceInterface(guid));
    ASSERT_EQ(0u, other.RegisterDeviceInterface(otherClass));

    ASSERT_EQ(TARVO_STATUS_SUCCESS, control.Plug(SimControl::PlugRecord(L"PNP1")));
    ASSERT_TRUE(registered.WaitFor(1)) << "no arrival";
    ASSERT_EQ(TARVO_STATUS_SUCCESS, control.Plug(SimControl::PlugRecord(L"PNP2")));  // not the first
    ASSERT_EQ(TARVO_STATUS_SUCCESS, control.Unplug(L"PNP2"));                        // not the last
    ASSERT_EQ(TARVO_STATUS_SUCCESS, control.Unplug(L"PNP1"));
    ASSERT_TRUE(registered.WaitFor(2)) << "no removal";

    const std::vector<Notification> seen = registered.Seen();
    ASSERT_EQ(2u, seen.size());
    EXPECT_EQ(static_cast<uint32_t>(DBT_DEVICEARRIVAL), seen[0].eventType);
    EXPECT_EQ(static_cast<uint32_t>(DBT_DEVICEREMOVECOMPLETE), seen[1].eventType);
    for (const Notification& n : seen) {
        EXPECT_EQ(static_cast<uint32_t>(DBT_DEVTYP_DEVICEINTERFACE), n.deviceType);
        EXPECT_TRUE(IsEqualGUID(guid, n.classGuid));
    }
    // The ifaceBroadcast's name: "\\?\" and the driver's instance, ending in the class GUID.
    const std::wstring& name = seen[0].name;
    EXPECT_EQ(name, seen[1].name);
    EXPECT_EQ(0u, name.find(L"\\\\?\\")) << name;
    EXPECT_EQ(0, _wcsnicmp(name.c_str() + name.size() - 38, TARVO_DEVICE_OBJECT_NAME, 38)) << name;
    std::wstring lower = name;
    for (wchar_t& c : lower)
        c = static_cast<wchar_t>(towlower(c));
    EXPECT_NE(std::wstring::npos, lower.find(L"#velkanosim#")) << name;

    // A window registered for another class heard nothing of it.
    EXPECT_TRUE(elsewhere.Seen().empty());

    // Registrations belong to the window: after a restart nothing is registered, until
    // the class is registered again.
    ASSERT_EQ(0u, notificator.Stop(INFINITE));
    ASSERT_EQ(0u, notificator.Start(&registered.forwarder, nullptr));
    ASSERT_EQ(0u, other.RegisterDeviceInterface(guid));
    ASSERT_EQ(TARVO_STATUS_SUCCESS, control.Plug(SimControl::PlugRecord(L"PNP3")));
    ASSERT_TRUE(elsewhere.WaitFor(1)) << "no arrival";
    EXPECT_EQ(2u, registered.Seen().size());
}

}  // namespace
