#pragma once

#include "WnCallbacks.h"
#include "WnHandle.h"

// A thread started through the C runtime. The destructor only closes the handle: it
// neither waits for nor stops the thread, so the owner waits before letting go.
class WnThread : public WnHandle {
public:
    ~WnThread() override = default;

    // ERROR_ALREADY_EXISTS (183) while a handle is held; nothing is started then.
    uint32_t Start(WnThreadCallbackInterface* callback, uint32_t stackSize = 0, uint32_t creationFlags = 0);
    // 0 when there is no thread or it has ended (the handle is closed then, and the object
    // can start again); otherwise the wait result unchanged (WAIT_TIMEOUT, WAIT_FAILED).
    uint32_t Wait(uint32_t timeoutMs);
    uint32_t GetThreadId() const { return threadId; }

private:
    static unsigned __stdcall ThreadRoutine(void* argument);

    uint32_t threadId = 0;
};

// A waitable timer whose completion routine runs as an APC on the thread that called
// Set, during that thread's alertable waits.
class WnWaitableTimer : public WnHandle {
public:
    ~WnWaitableTimer() override;  // cancels, then closes

    uint32_t Create(bool manualReset, SECURITY_ATTRIBUTES* security = nullptr, const wchar_t* name = nullptr);
    // periodMs <= 0: ERROR_INVALID_PARAMETER (87), nothing armed. The first expiry comes
    // periodMs x 100 ns after the call, then one every periodMs milliseconds.
    uint32_t Set(int32_t periodMs, WnWaitableTimerCallbackInterface* callback, bool resume);
    uint32_t Cancel();

private:
    static void CALLBACK CompletionRoutine(void* argument, DWORD lowDateTime, DWORD highDateTime);
};
