// One-operation callback interfaces, and forwarders that bind one to a member function
// of an owner, so an owner can serve several callbacks without deriving from each.
#pragma once

#include <cstdint>

class WnThreadCallbackInterface {
public:
    virtual uint32_t Run() = 0;  // the thread's exit code
protected:
    ~WnThreadCallbackInterface() = default;
};

class WnWaitableTimerCallbackInterface {
public:
    virtual void OnTimer(uint32_t lowDateTime, uint32_t highDateTime) = 0;
protected:
    ~WnWaitableTimerCallbackInterface() = default;
};

// The owner fills in object and function before handing the forwarder out, and keeps it
// alive and unchanged while the thread or timer that calls it can run.
template <class T>
class WnThreadCallbackForwarderT : public WnThreadCallbackInterface {
public:
    using Function = uint32_t (T::*)();
    uint32_t Run() override { return (object->*function)(); }

    T* object = nullptr;
    Function function = nullptr;
};

template <class T>
class WnWaitableTimerCallbackForwarderT : public WnWaitableTimerCallbackInterface {
public:
    using Function = void (T::*)(uint32_t, uint32_t);
    void OnTimer(uint32_t lowDateTime, uint32_t highDateTime) override
    {
        (object->*function)(lowDateTime, highDateTime);
    }

    T* object = nullptr;
    Function function = nullptr;
};
