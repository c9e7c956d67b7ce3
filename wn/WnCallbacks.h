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

// A control request of the service control manager (HandlerEx): control, event type and
// event data as the manager passes them; the result is the handler's answer.
class WnServiceCallbackInterface {
public:
    virtual uint32_t OnServiceControl(uint32_t control, uint32_t eventType, void* eventData) = 0;
protected:
    ~WnServiceCallbackInterface() = default;
};

template <class T>
class WnServiceCallbackForwarderT : public WnServiceCallbackInterface {
public:
    using Function = uint32_t (T::*)(uint32_t, uint32_t, void*);
    uint32_t OnServiceControl(uint32_t control, uint32_t eventType, void* eventData) override
    {
        return (object->*function)(control, eventType, eventData);
    }

    T* object = nullptr;
    Function function = nullptr;
};
