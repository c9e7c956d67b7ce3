#include "WnPnPNotificator.h"

#include <new>

#include "WnText.h"

namespace {

constexpr size_t kNameChars = 80;
constexpr DWORD kReadyTimeoutMs = 10000;

static_assert(sizeof(DEV_BROADCAST_DEVICEINTERFACE_W) == 32, "interface filter");
static_assert(sizeof(WNDCLASSEXW) == (sizeof(void*) == 8 ? 80 : 48), "window class record");

// Leaves a critical section on every way out of a scope.
class Locked {
public:
    explicit Locked(CRITICAL_SECTION& section) : section(section) { EnterCriticalSection(&section); }
    ~Locked() { LeaveCriticalSection(&section); }
    Locked(const Locked&) = delete;
    Locked& operator=(const Locked&) = delete;

private:
    CRITICAL_SECTION& section;
};

}  // namespace

// ---- WnDeviceNotificationList ----

WnDeviceNotificationList::WnDeviceNotificationList()
{
    InitializeCriticalSection(&lock);
}

WnDeviceNotificationList::~WnDeviceNotificationList()
{
    UnregisterAll();
    DeleteCriticalSection(&lock);
}

uint32_t WnDeviceNotificationList::Register(HANDLE recipient, const GUID& interfaceClass, DWORD flags)
{
    Node* node = new (std::nothrow) Node{nullptr, nullptr, interfaceClass, nullptr};
    if (node == nullptr)
        return ERROR_NOT_ENOUGH_MEMORY;
    DEV_BROADCAST_DEVICEINTERFACE_W filter = {};
    filter.dbcc_size = sizeof(filter);
    filter.dbcc_devicetype = DBT_DEVTYP_DEVICEINTERFACE;
    filter.dbcc_classguid = interfaceClass;
    node->notification = RegisterDeviceNotificationW(recipient, &filter, flags);
    if (node->notification == nullptr) {
        const uint32_t error = GetLastError();
        delete node;
        return error;
    }
    Locked locked(lock);
    node->previous = last;
    if (last != nullptr)
        last->next = node;
    else
        first = node;
    last = node;
    return 0;
}

void WnDeviceNotificationList::UnregisterAll()
{
    Locked locked(lock);
    while (first != nullptr) {
        Node* node = first;
        first = node->next;
        if (node->notification != nullptr)
            UnregisterDeviceNotification(node->notification);
        delete node;
    }
    last = nullptr;
}

// ---- WnPnPNotificator ----

WnPnPNotificator::WnPnPNotificator()
{
    InitializeCriticalSection(&lock);
}

WnPnPNotificator::~WnPnPNotificator()
{
    Stop(INFINITE);
    notifications.UnregisterAll();
    readyEvent.Close();
    thread.Close();
    DeleteCriticalSection(&lock);
}

uint32_t WnPnPNotificator::Start(WnPnPNotificatorCallbackInterface* newCallback, HINSTANCE newModule)
{
    if (newCallback == nullptr)
        return ERROR_INVALID_PARAMETER;
    if (newModule == nullptr)
        newModule = GetModuleHandleW(nullptr);

    Locked locked(lock);
    if (started)
        return ERROR_ALREADY_INITIALIZED;
    module = newModule;
    callback = newCallback;
    uint32_t error = readyEvent.Create(true, false);
    if (error != 0)
        return error;
    error = thread.Start(this);
    if (error != 0)
        return error;
    if (WaitForSingleObject(readyEvent.Get(), kReadyTimeoutMs) != WAIT_OBJECT_0)
        return ERROR_TIMEOUT;
    if (windowResult == 0) {
        started = true;
        return 0;
    }
    thread.Wait(INFINITE);
    return windowResult;
}

uint32_t WnPnPNotificator::Stop(uint32_t timeoutMs)
{
    Locked locked(lock);
    uint32_t result = 0;
    if (started) {
        const HWND current = window;
        if (current != nullptr)
            PostMessageW(current, WM_CLOSE, 0, 0);  // its default handling destroys the window
        result = thread.Wait(timeoutMs);
        if (result == 0) {
            started = false;
            module = nullptr;
            callback = nullptr;
        }
    }
    notifications.UnregisterAll();
    return result;
}

uint32_t WnPnPNotificator::RegisterDeviceInterface(const GUID& interfaceClass)
{
    Locked locked(lock);
    const HWND current = window;
    if (!started || current == nullptr)
        return ERROR_INVALID_DATA;
    return notifications.Register(current, interfaceClass, DEVICE_NOTIFY_WINDOW_HANDLE);
}

bool WnPnPNotificator::IsStarted()
{
    Locked locked(lock);
    return started;
}

uint32_t WnPnPNotificator::Run()
{
    wchar_t className[kNameChars];
    wchar_t windowName[kNameChars];
    FormatText(className, kNameChars, L"PnPNotificatorWndCls_%u_%u", GetCurrentProcessId(), GetCurrentThreadId());
    FormatText(windowName, kNameChars, L"PnPNotificator_HiddenWindow_%u_%u", GetCurrentProcessId(),
               GetCurrentThreadId());

    WNDCLASSEXW windowClass = {};
    windowClass.cbSize = sizeof(windowClass);
    windowClass.lpfnWndProc = &WindowProcedure;
    windowClass.hInstance = module;
    windowClass.lpszClassName = className;
    if (RegisterClassExW(&windowClass) == 0) {
        windowResult = GetLastError();
    } else {
        // Never shown: it exists only to receive messages.
        const HWND created = CreateWindowExW(0, className, windowName, WS_OVERLAPPEDWINDOW, CW_USEDEFAULT,
                                             CW_USEDEFAULT, CW_USEDEFAULT, CW_USEDEFAULT, nullptr, nullptr, module,
                                             nullptr);
        if (created != nullptr) {
            window = created;
            SetWindowLongPtrW(created, GWLP_USERDATA, reinterpret_cast<LONG_PTR>(this));
            windowResult = 0;
        } else {
            windowResult = GetLastError();
            UnregisterClassW(className, module);
        }
    }
    readyEvent.Set();
    if (windowResult != 0)
        return 0;

    MSG message;
    for (;;) {
        const BOOL got = GetMessageW(&message, nullptr, 0, 0);
        if (got == 0 || got == -1)
            break;
        TranslateMessage(&message);
        DispatchMessageW(&message);
    }
    window = nullptr;
    UnregisterClassW(className, module);
    return 0;
}

LRESULT CALLBACK WnPnPNotificator::WindowProcedure(HWND hwnd, UINT message, WPARAM wParam, LPARAM lParam)
{
    // Not set yet for the messages of the window's creation.
    auto* self = reinterpret_cast<WnPnPNotificator*>(GetWindowLongPtrW(hwnd, GWLP_USERDATA));
    if (self == nullptr)
        return DefWindowProcW(hwnd, message, wParam, lParam);
    return self->HandleMessage(hwnd, message, wParam, lParam);
}

LRESULT WnPnPNotificator::HandleMessage(HWND hwnd, UINT message, WPARAM wParam, LPARAM lParam)
{
    switch (message) {
    case WM_DESTROY:
        PostQuitMessage(0);
        return 0;
    case WM_DEVICECHANGE:
        // lParam is a broadcast only for these two events (null for DBT_DEVNODES_CHANGED).
        if (wParam == DBT_DEVICEARRIVAL || wParam == DBT_DEVICEREMOVECOMPLETE) {
            auto* header = reinterpret_cast<DEV_BROADCAST_HDR*>(lParam);
            if (header != nullptr && header->dbch_devicetype == DBT_DEVTYP_DEVICEINTERFACE && callback != nullptr)
                callback->OnDeviceChange(static_cast<uint32_t>(wParam), header);
        }
        return 0;
    default:
        return DefWindowProcW(hwnd, message, wParam, lParam);
    }
}
