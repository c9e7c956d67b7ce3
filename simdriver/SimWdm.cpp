// The kernel glue of the simulated driver: the device object and its link, the IRP
// dispatch that feeds requests to SimLogic under one lock, the caller's events, the
// worker thread that completes delayed requests, and the plug-and-play device interface
// that is enabled while at least one simulated device is plugged.
// The kernel headers define two interlocked helpers that the intrinsics header already
// defines, which C++ refuses: the intrinsics come first and the kernel headers' copies are
// renamed out of the way.
#include <intrin.h>
#define InterlockedBitTestAndSet SimDdkInterlockedBitTestAndSet
#define InterlockedBitTestAndReset SimDdkInterlockedBitTestAndReset
#include <ntifs.h>
#undef InterlockedBitTestAndSet
#undef InterlockedBitTestAndReset

#include "SimLogic.h"

namespace {

constexpr ULONG kPoolTag = 0x6D734B56;  // "VKsm" in pool dumps

SimLogic g_logic;            // zero-initialised; DriverEntry sets it up
KMUTEX g_logicLock;          // a wait-type lock: SET_EVENTS opens the caller's process under it
PDEVICE_OBJECT g_device;
UNICODE_STRING g_linkName;   // points at static text

// Delayed requests: pended IRPs linked through Tail.Overlay.ListEntry, their due time in
// DriverContext[0] and their connection in DriverContext[1]. The spin lock also covers
// the cancel routine.
KSPIN_LOCK g_pendingLock;
LIST_ENTRY g_pending;
KEVENT g_workerWake;
HANDLE g_workerThread;
volatile LONG g_workerStop;
LONGLONG g_counterFrequency;

// The device interface of the contract's interface class, registered once per load on the
// driver's own device object. Enabled while devices are plugged; the lock orders the
// enable and disable calls of concurrent requests.
UNICODE_STRING g_interfaceLink;  // from IoRegisterDeviceInterface; Buffer null if it failed
KMUTEX g_interfaceLock;
bool g_interfaceEnabled;         // written under g_interfaceLock
volatile LONG g_interfaceWanted; // devices plugged, as seen after the last request
ULONG g_instanceNumber;          // the device instance id answered to IRP_MN_QUERY_ID

void CompleteIrp(PIRP irp, NTSTATUS status, ULONG_PTR information)
{
    irp->IoStatus.Status = status;
    irp->IoStatus.Information = information;
    IoCompleteRequest(irp, IO_NO_INCREMENT);
}

void LockLogic()
{
    KeWaitForSingleObject(&g_logicLock, Executive, KernelMode, FALSE, nullptr);
}

void UnlockLogic()
{
    KeReleaseMutex(&g_logicLock, FALSE);
}

LONGLONG Now()
{
    return KeQueryPerformanceCounter(nullptr).QuadPart;
}

// ---- the caller's events ----

// Runs in the caller's request, so the current process is the caller. Opening it and
// duplicating the handle gives the driver a handle of its own (referencing the caller's
// handle directly is not available on every host).
TarvoStatus CaptureEvent(uint64_t callerHandle, void** held)
{
    CLIENT_ID client = {};
    client.UniqueProcess = PsGetCurrentProcessId();
    OBJECT_ATTRIBUTES attributes;
    InitializeObjectAttributes(&attributes, nullptr, OBJ_KERNEL_HANDLE, nullptr, nullptr);
    HANDLE process = nullptr;
    NTSTATUS status = ZwOpenProcess(&process, PROCESS_DUP_HANDLE, &attributes, &client);
    if (!NT_SUCCESS(status))
        return TARVO_STATUS_INTERNAL_ERROR;
    HANDLE duplicate = nullptr;
    status = ZwDuplicateObject(process, reinterpret_cast<HANDLE>(static_cast<ULONG_PTR>(callerHandle)),
                               NtCurrentProcess(), &duplicate, 0, 0, DUPLICATE_SAME_ACCESS);
    ZwClose(process);
    if (!NT_SUCCESS(status))
        return TARVO_STATUS_INVALID_PARAMETER;  // not a handle of the caller
    *held = duplicate;
    return TARVO_STATUS_SUCCESS;
}

void ReleaseEvent(void* held)
{
    ZwClose(static_cast<HANDLE>(held));
}

void SignalEvent(void* held)
{
    ZwSetEvent(static_cast<HANDLE>(held), nullptr);
}

// ---- delayed completion ----

// Cancellation (CancelIo, or the caller's thread ending) takes the IRP off the list at once.
void CancelPending(PDEVICE_OBJECT, PIRP irp)
{
    IoReleaseCancelSpinLock(irp->CancelIrql);
    KIRQL irql;
    KeAcquireSpinLock(&g_pendingLock, &irql);
    RemoveEntryList(&irp->Tail.Overlay.ListEntry);
    KeReleaseSpinLock(&g_pendingLock, irql);
    CompleteIrp(irp, STATUS_CANCELLED, 0);
}

NTSTATUS PendIrp(PIRP irp, NTSTATUS status, ULONG_PTR information, uint32_t delayMs, SimConnection* connection)
{
    irp->IoStatus.Status = status;
    irp->IoStatus.Information = information;
    irp->Tail.Overlay.DriverContext[0] =
        reinterpret_cast<PVOID>(Now() + static_cast<LONGLONG>(delayMs) * g_counterFrequency / 1000);
    irp->Tail.Overlay.DriverContext[1] = connection;
    IoMarkIrpPending(irp);

    KIRQL irql;
    KeAcquireSpinLock(&g_pendingLock, &irql);
    IoSetCancelRoutine(irp, CancelPending);
    if (irp->Cancel && IoSetCancelRoutine(irp, nullptr) != nullptr) {
        // Cancelled before it was queued, and the cancel routine will not run.
        KeReleaseSpinLock(&g_pendingLock, irql);
        CompleteIrp(irp, STATUS_CANCELLED, 0);
        return STATUS_PENDING;
    }
    InsertTailList(&g_pending, &irp->Tail.Overlay.ListEntry);
    KeReleaseSpinLock(&g_pendingLock, irql);
    KeSetEvent(&g_workerWake, IO_NO_INCREMENT, FALSE);
    return STATUS_PENDING;
}

// Takes off the list every IRP that `take` selects and whose cancel routine can still be
// withdrawn (an IRP being cancelled is left to the cancel routine), then completes them
// outside the lock: with the prepared result, or cancelled.
template <typename Select>
void CompleteSelected(Select take, bool cancel)
{
    LIST_ENTRY done;
    InitializeListHead(&done);
    KIRQL irql;
    KeAcquireSpinLock(&g_pendingLock, &irql);
    for (PLIST_ENTRY link = g_pending.Flink; link != &g_pending;) {
        PIRP irp = CONTAINING_RECORD(link, IRP, Tail.Overlay.ListEntry);
        link = link->Flink;
        if (!take(irp) || IoSetCancelRoutine(irp, nullptr) == nullptr)
            continue;
        RemoveEntryList(&irp->Tail.Overlay.ListEntry);
        InsertTailList(&done, &irp->Tail.Overlay.ListEntry);
    }
    KeReleaseSpinLock(&g_pendingLock, irql);
    while (!IsListEmpty(&done)) {
        PIRP irp = CONTAINING_RECORD(RemoveHeadList(&done), IRP, Tail.Overlay.ListEntry);
        if (cancel)
            CompleteIrp(irp, STATUS_CANCELLED, 0);
        else
            IoCompleteRequest(irp, IO_NO_INCREMENT);
    }
}

// The earliest due time of the pending IRPs, or 0 when none waits.
LONGLONG EarliestDue()
{
    LONGLONG earliest = 0;
    KIRQL irql;
    KeAcquireSpinLock(&g_pendingLock, &irql);
    for (PLIST_ENTRY link = g_pending.Flink; link != &g_pending; link = link->Flink) {
        PIRP irp = CONTAINING_RECORD(link, IRP, Tail.Overlay.ListEntry);
        const LONGLONG due = reinterpret_cast<LONGLONG>(irp->Tail.Overlay.DriverContext[0]);
        if (earliest == 0 || due < earliest)
            earliest = due;
    }
    KeReleaseSpinLock(&g_pendingLock, irql);
    return earliest;
}

void WorkerThread(PVOID)
{
    while (g_workerStop == 0) {
        const LONGLONG due = EarliestDue();
        LARGE_INTEGER timeout;
        PLARGE_INTEGER wait = nullptr;
        if (due != 0) {
            LONGLONG remaining = due - Now();
            if (remaining < 0)
                remaining = 0;
            // Relative time in 100 ns units, rounded up so the request is never early.
            timeout.QuadPart = -((remaining * 10000000 + g_counterFrequency - 1) / g_counterFrequency);
            wait = &timeout;
        }
        KeWaitForSingleObject(&g_workerWake, Executive, KernelMode, FALSE, wait);
        const LONGLONG now = Now();
        CompleteSelected(
            [now](PIRP irp) { return reinterpret_cast<LONGLONG>(irp->Tail.Overlay.DriverContext[0]) <= now; },
            false);
    }
    PsTerminateSystemThread(STATUS_SUCCESS);
}

// ---- plug-and-play device interface ----

constexpr wchar_t kPnpDeviceId[] = L"ROOT\\VELKANOSIM";
// Value of the driver's service key that counts loads, so every load answers a device
// instance id of its own: the host keeps the device instance of an earlier load, and
// registering an interface for the same instance id again fails.
constexpr wchar_t kInstanceValueName[] = L"PnpInstance";
constexpr ULONG kInstanceTries = 32;  // instance ids tried when earlier ones are taken

// A copy of text in pool memory, as IRP_MN_QUERY_ID hands it to its sender (who frees it).
// chars counts every character to copy, terminators included.
wchar_t* PoolText(const wchar_t* text, size_t chars)
{
    auto* copy = static_cast<wchar_t*>(ExAllocatePool(PagedPool, chars * sizeof(wchar_t)));
    if (copy != nullptr)
        for (size_t i = 0; i < chars; ++i)
            copy[i] = text[i];
    return copy;
}

// The host asks the device object for its ids when an interface is registered on it, as
// it would ask a bus driver's physical device object. Other PnP requests keep the status
// they came with.
NTSTATUS DispatchPnp(PDEVICE_OBJECT, PIRP irp)
{
    PIO_STACK_LOCATION stack = IoGetCurrentIrpStackLocation(irp);
    if (stack->MinorFunction != IRP_MN_QUERY_ID) {
        const NTSTATUS status = irp->IoStatus.Status;
        IoCompleteRequest(irp, IO_NO_INCREMENT);
        return status;
    }
    wchar_t* answer = nullptr;
    switch (stack->Parameters.QueryId.IdType) {
    case BusQueryDeviceID:
        answer = PoolText(kPnpDeviceId, sizeof(kPnpDeviceId) / sizeof(wchar_t));
        break;
    case BusQueryHardwareIDs: {
        // A list: the one id, then the list's own terminator.
        wchar_t list[sizeof(kPnpDeviceId) / sizeof(wchar_t) + 1];
        for (size_t i = 0; i < sizeof(kPnpDeviceId) / sizeof(wchar_t); ++i)
            list[i] = kPnpDeviceId[i];
        list[sizeof(list) / sizeof(wchar_t) - 1] = L'\0';
        answer = PoolText(list, sizeof(list) / sizeof(wchar_t));
        break;
    }
    case BusQueryInstanceID: {
        wchar_t digits[16];
        UNICODE_STRING text = {0, sizeof(digits), digits};
        if (NT_SUCCESS(RtlIntegerToUnicodeString(g_instanceNumber, 10, &text)))
            answer = PoolText(digits, text.Length / sizeof(wchar_t) + 1);  // terminated by the call
        break;
    }
    default: {
        const NTSTATUS status = irp->IoStatus.Status;
        IoCompleteRequest(irp, IO_NO_INCREMENT);
        return status;
    }
    }
    const NTSTATUS status = answer != nullptr ? STATUS_SUCCESS : STATUS_INSUFFICIENT_RESOURCES;
    CompleteIrp(irp, status, reinterpret_cast<ULONG_PTR>(answer));
    return status;
}

// Registers the interface under a fresh instance id: the load counter in the service key
// goes up by one per load, and past ids that are taken (a counter lost with its service
// key) are skipped. Without a registration the driver works as before, announcing nothing.
void RegisterInterface(PUNICODE_STRING registryPath)
{
    GUID interfaceClass;
    UNICODE_STRING guidText;
    RtlInitUnicodeString(&guidText, TARVO_DEVICE_OBJECT_NAME);
    if (!NT_SUCCESS(RtlGUIDFromString(&guidText, &interfaceClass)))
        return;

    OBJECT_ATTRIBUTES attributes;
    InitializeObjectAttributes(&attributes, registryPath, OBJ_KERNEL_HANDLE | OBJ_CASE_INSENSITIVE, nullptr, nullptr);
    HANDLE key = nullptr;
    if (!NT_SUCCESS(ZwOpenKey(&key, KEY_QUERY_VALUE | KEY_SET_VALUE, &attributes)))
        key = nullptr;
    UNICODE_STRING valueName;
    RtlInitUnicodeString(&valueName, kInstanceValueName);
    ULONG counter = 0;
    if (key != nullptr) {
        union {
            KEY_VALUE_PARTIAL_INFORMATION info;
            UCHAR bytes[sizeof(KEY_VALUE_PARTIAL_INFORMATION) + sizeof(ULONG)];
        } value;
        ULONG length = 0;
        if (NT_SUCCESS(ZwQueryValueKey(key, &valueName, KeyValuePartialInformation, &value, sizeof(value), &length)) &&
            value.info.Type == REG_DWORD && value.info.DataLength == sizeof(ULONG))
            counter = *reinterpret_cast<const ULONG*>(value.info.Data);
    }
    for (ULONG attempt = 0; attempt < kInstanceTries; ++attempt) {
        g_instanceNumber = ++counter;
        if (NT_SUCCESS(IoRegisterDeviceInterface(g_device, &interfaceClass, nullptr, &g_interfaceLink)))
            break;
        g_interfaceLink.Buffer = nullptr;
    }
    if (key != nullptr) {
        ZwSetValueKey(key, &valueName, 0, REG_DWORD, &counter, sizeof(counter));
        ZwClose(key);
    }
}

// Brings the interface's state in line with the devices plugged now. Announcing and
// withdrawing run outside the logic lock, under their own lock, so they follow the last
// change whatever order concurrent requests finish in.
void SyncInterface()
{
    KeWaitForSingleObject(&g_interfaceLock, Executive, KernelMode, FALSE, nullptr);
    LockLogic();
    const bool plugged = g_logic.HasDevices();
    UnlockLogic();
    if (g_interfaceLink.Buffer != nullptr && plugged != g_interfaceEnabled) {
        IoSetDeviceInterfaceState(&g_interfaceLink, plugged);
        g_interfaceEnabled = plugged;  // a failed change is not retried on every request
    }
    KeReleaseMutex(&g_interfaceLock, FALSE);
}

void ReleaseInterface()
{
    if (g_interfaceLink.Buffer == nullptr)
        return;
    if (g_interfaceEnabled)
        IoSetDeviceInterfaceState(&g_interfaceLink, FALSE);
    g_interfaceEnabled = false;
    RtlFreeUnicodeString(&g_interfaceLink);
    g_interfaceLink.Buffer = nullptr;
}

// ---- dispatch ----

SimConnection* ConnectionOf(PIRP irp)
{
    PFILE_OBJECT file = IoGetCurrentIrpStackLocation(irp)->FileObject;
    return file != nullptr ? static_cast<SimConnection*>(file->FsContext) : nullptr;
}

NTSTATUS DispatchCreate(PDEVICE_OBJECT, PIRP irp)
{
    PFILE_OBJECT file = IoGetCurrentIrpStackLocation(irp)->FileObject;
    auto* connection = static_cast<SimConnection*>(ExAllocatePoolWithTag(NonPagedPool, sizeof(SimConnection), kPoolTag));
    if (file == nullptr || connection == nullptr) {
        if (connection != nullptr)
            ExFreePoolWithTag(connection, kPoolTag);
        CompleteIrp(irp, TARVO_STATUS_NO_RESOURCES, 0);
        return TARVO_STATUS_NO_RESOURCES;
    }
    LockLogic();
    const bool opened =
        g_logic.Open(*connection, static_cast<uint32_t>(reinterpret_cast<ULONG_PTR>(PsGetCurrentProcessId())));
    UnlockLogic();
    if (!opened) {
        ExFreePoolWithTag(connection, kPoolTag);
        CompleteIrp(irp, TARVO_STATUS_NO_RESOURCES, 0);
        return TARVO_STATUS_NO_RESOURCES;
    }
    file->FsContext = connection;
    CompleteIrp(irp, STATUS_SUCCESS, 0);
    return STATUS_SUCCESS;
}

// The last handle is gone: the connection gives up its role and events, and its delayed
// requests are cancelled.
void EndConnection(SimConnection* connection)
{
    LockLogic();
    g_logic.Cleanup(*connection);
    UnlockLogic();
    CompleteSelected([connection](PIRP irp) { return irp->Tail.Overlay.DriverContext[1] == connection; }, true);
}

NTSTATUS DispatchCleanup(PDEVICE_OBJECT, PIRP irp)
{
    SimConnection* connection = ConnectionOf(irp);
    if (connection != nullptr)
        EndConnection(connection);
    CompleteIrp(irp, STATUS_SUCCESS, 0);
    return STATUS_SUCCESS;
}

NTSTATUS DispatchClose(PDEVICE_OBJECT, PIRP irp)
{
    SimConnection* connection = ConnectionOf(irp);
    if (connection != nullptr) {
        EndConnection(connection);  // in case no cleanup came first
        IoGetCurrentIrpStackLocation(irp)->FileObject->FsContext = nullptr;
        ExFreePoolWithTag(connection, kPoolTag);
    }
    CompleteIrp(irp, STATUS_SUCCESS, 0);
    return STATUS_SUCCESS;
}

NTSTATUS DispatchDeviceControl(PDEVICE_OBJECT, PIRP irp)
{
    PIO_STACK_LOCATION stack = IoGetCurrentIrpStackLocation(irp);
    SimConnection* connection = ConnectionOf(irp);
    if (connection == nullptr) {
        CompleteIrp(irp, TARVO_STATUS_NOT_OPENED, 0);
        return TARVO_STATUS_NOT_OPENED;
    }
    const ULONG code = stack->Parameters.DeviceIoControl.IoControlCode;
    // Only METHOD_BUFFERED codes are in the request table, so the system buffer is the one
    // buffer a known request uses; other codes are refused before any buffer is touched.
    void* buffer = (code & 3) == METHOD_BUFFERED ? irp->AssociatedIrp.SystemBuffer : nullptr;
    LockLogic();
    const SimRequestResult result =
        g_logic.Dispatch(*connection, code, buffer, stack->Parameters.DeviceIoControl.InputBufferLength,
                         stack->Parameters.DeviceIoControl.OutputBufferLength);
    const LONG plugged = g_logic.HasDevices() ? 1 : 0;
    UnlockLogic();
    if (InterlockedExchange(&g_interfaceWanted, plugged) != plugged)
        SyncInterface();
    if (result.delayMs != 0)
        return PendIrp(irp, static_cast<NTSTATUS>(result.status), result.bytesWritten, result.delayMs, connection);
    CompleteIrp(irp, static_cast<NTSTATUS>(result.status), result.bytesWritten);
    return static_cast<NTSTATUS>(result.status);
}

void DriverUnload(PDRIVER_OBJECT)
{
    InterlockedExchange(&g_workerStop, 1);
    KeSetEvent(&g_workerWake, IO_NO_INCREMENT, FALSE);
    if (g_workerThread != nullptr) {
        ZwWaitForSingleObject(g_workerThread, FALSE, nullptr);
        ZwClose(g_workerThread);
        g_workerThread = nullptr;
    }
    CompleteSelected([](PIRP) { return true; }, true);
    LockLogic();
    g_logic.ReleaseAll();
    UnlockLogic();
    ReleaseInterface();
    IoDeleteSymbolicLink(&g_linkName);
    if (g_device != nullptr)
        IoDeleteDevice(g_device);
    g_device = nullptr;
}

}  // namespace

extern "C" NTSTATUS DriverEntry(PDRIVER_OBJECT driver, PUNICODE_STRING registryPath)
{
    static const SimEventOps kEventOps = {CaptureEvent, ReleaseEvent, SignalEvent};
    g_logic.Init(kEventOps);
    KeInitializeMutex(&g_logicLock, 0);
    KeInitializeSpinLock(&g_pendingLock);
    InitializeListHead(&g_pending);
    KeInitializeEvent(&g_workerWake, SynchronizationEvent, FALSE);
    g_workerStop = 0;
    KeInitializeMutex(&g_interfaceLock, 0);
    g_interfaceEnabled = false;
    g_interfaceWanted = 0;
    g_interfaceLink.Buffer = nullptr;
    LARGE_INTEGER frequency;
    KeQueryPerformanceCounter(&frequency);
    g_counterFrequency = frequency.QuadPart > 0 ? frequency.QuadPart : 10000000;

    UNICODE_STRING deviceName;
    RtlInitUnicodeString(&deviceName, L"\\Device\\" TARVO_DEVICE_OBJECT_NAME);
    RtlInitUnicodeString(&g_linkName, L"\\DosDevices\\" TARVO_DEVICE_OBJECT_NAME);
    NTSTATUS status = IoCreateDevice(driver, 0, &deviceName, FILE_DEVICE_UNKNOWN, 0, FALSE, &g_device);
    if (!NT_SUCCESS(status))
        return status;
    g_device->Flags |= DO_BUFFERED_IO;
    status = IoCreateSymbolicLink(&g_linkName, &deviceName);
    if (!NT_SUCCESS(status)) {
        IoDeleteDevice(g_device);
        g_device = nullptr;
        return status;
    }
    status = PsCreateSystemThread(&g_workerThread, THREAD_ALL_ACCESS, nullptr, nullptr, nullptr, WorkerThread,
                                  nullptr);
    if (!NT_SUCCESS(status)) {
        g_workerThread = nullptr;
        IoDeleteSymbolicLink(&g_linkName);
        IoDeleteDevice(g_device);
        g_device = nullptr;
        return status;
    }

    driver->MajorFunction[IRP_MJ_CREATE] = DispatchCreate;
    driver->MajorFunction[IRP_MJ_CLEANUP] = DispatchCleanup;
    driver->MajorFunction[IRP_MJ_CLOSE] = DispatchClose;
    driver->MajorFunction[IRP_MJ_DEVICE_CONTROL] = DispatchDeviceControl;
    driver->MajorFunction[IRP_MJ_PNP] = DispatchPnp;
    driver->DriverUnload = DriverUnload;
    g_device->Flags &= ~DO_DEVICE_INITIALIZING;
    // Registering asks the device object for its ids, so the PnP dispatch is in place first.
    RegisterInterface(registryPath);
    return STATUS_SUCCESS;
}
