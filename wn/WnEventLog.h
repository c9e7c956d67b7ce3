// Writing to the Windows event log: an owning wrapper of an event source handle with one
// operation per event type, and the registration of an event source in the registry.
// Operations return Win32 error codes (0 = success) and never throw.
//
// A program names itself as the source's message file and links the message table
// (target wn_eventmessages, built from WnEventMessages.mc), so the event viewer can show
// the texts.
#pragma once

#include <windows.h>
#include <cstdint>

// Message ids of the table: customer bit, facility 7, severities informational, warning
// and error. Each message is "%1\r\n", the event's one insertion string.
constexpr uint32_t WN_EVENT_MSG_INFO = 0x60070001;
constexpr uint32_t WN_EVENT_MSG_WARNING = 0xA0070002;
constexpr uint32_t WN_EVENT_MSG_ERROR = 0xE0070003;

// Characters of an information event's text, the terminator included: longer texts are cut.
constexpr size_t WN_EVENT_TEXT_CHARS = 4096;

class WnEventLogHandle {
public:
    WnEventLogHandle() = default;
    virtual ~WnEventLogHandle() = default;
    virtual uint32_t Close() = 0;

    WnEventLogHandle(const WnEventLogHandle&) = delete;
    WnEventLogHandle& operator=(const WnEventLogHandle&) = delete;

    HANDLE Get() const { return handle; }

protected:
    HANDLE handle = nullptr;
};

class WnEventLogWriter : public WnEventLogHandle {
public:
    ~WnEventLogWriter() override;
    // Deregisters a held source; 0 when none is held.
    uint32_t Close() override;

    // Registers the source on the local machine, closing a source held from before.
    uint32_t Open(const wchar_t* sourceName);
    // Formats printf-style into WN_EVENT_TEXT_CHARS characters (a longer text is cut and
    // written all the same) and writes an information event with it.
    uint32_t WriteInfo(const wchar_t* format, ...);
    // Writes an error event with the text as it is.
    uint32_t WriteError(const wchar_t* text);

private:
    uint32_t Write(WORD type, uint32_t eventId, const wchar_t* text);
};

// Creates or updates the registry key of an event source below HKEY_LOCAL_MACHINE:
// "EventMessageFile" (REG_EXPAND_SZ) = messageFile, "TypesSupported" = 7. Returns the
// status of the first step that fails.
uint32_t InstallEventSource(const wchar_t* logName, const wchar_t* sourceName, const wchar_t* messageFile);
// Deletes the source's key. Only the log's key has to open: a missing source is success.
uint32_t RemoveEventSource(const wchar_t* logName, const wchar_t* sourceName);
