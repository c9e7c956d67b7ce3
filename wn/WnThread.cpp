#include "WnThread.h"

#include <process.h>

uint32_t WnThread::Start(WnThreadCallbackInterface* callback, uint32_t stackSize, uint32_t creationFlags)
{
    if (handle != nullptr)
        return ERROR_ALREADY_EXISTS;
    unsigned id = 0;
    const uintptr_t h = _beginthreadex(nullptr, stackSize, &ThreadRoutine, callback, creationFlags, &id);
    if (h == 0) {
        threadId = 0;
        const DWORD error = GetLastError();
        return error != 0 ? error : ERROR_NOT_ENOUGH_MEMORY;
    }
    Adopt(reinterpret_cast<HANDLE>(h));
    threadId = id;
    return 0;
}

unsigned __stdcall WnThread::ThreadRoutine(void* argument)
{
    return static_cast<WnThreadCallbackInterface*>(argument)->Run();
}

uint32_t WnThread::Wait(uint32_t timeoutMs)
{
    if (handle == nullptr)
        return 0;
    const DWORD result = WaitForSingleObject(handle, timeoutMs);
    if (result != WAIT_OBJECT_0)
        return result;
    Close();
    threadId = 0;
    return 0;
}

WnWaitableTimer::~WnWaitableTimer()
{
    Cancel();
}

uint32_t WnWaitableTimer::Create(bool manualReset, SECURITY_ATTRIBUTES* security, const wchar_t* name)
{
    Cancel();
    Close();
    HANDLE h = CreateWaitableTimerW(security, manualReset, name);
    if (h == nullptr)
        return GetLastError();
    Adopt(h);
    return 0;
}

uint32_t WnWaitableTimer::Set(int32_t periodMs, WnWaitableTimerCallbackInterface* callback, bool resume)
{
    if (periodMs <= 0)
        return ERROR_INVALID_PARAMETER;
    LARGE_INTEGER dueTime;
    dueTime.QuadPart = -static_cast<LONGLONG>(periodMs);  // relative, in 100 ns units
    const BOOL ok = SetWaitableTimer(handle, &dueTime, periodMs, callback ? &CompletionRoutine : nullptr,
                                     callback, resume);
    return ok ? 0 : GetLastError();
}

uint32_t WnWaitableTimer::Cancel()
{
    if (handle == nullptr)
        return 0;
    return CancelWaitableTimer(handle) ? 0 : GetLastError();
}

void CALLBACK WnWaitableTimer::CompletionRoutine(void* argument, DWORD lowDateTime, DWORD highDateTime)
{
    static_cast<WnWaitableTimerCallbackInterface*>(argument)->OnTimer(lowDateTime, highDateTime);
}
