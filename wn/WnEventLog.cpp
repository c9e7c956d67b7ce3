#include "WnEventLog.h"

#include "WnRegistryKey.h"
#include "WnText.h"

namespace {

constexpr size_t kKeyPathChars = 260;
constexpr uint32_t kTypesSupported = EVENTLOG_ERROR_TYPE | EVENTLOG_WARNING_TYPE | EVENTLOG_INFORMATION_TYPE;

}  // namespace

WnEventLogWriter::~WnEventLogWriter()
{
    Close();
}

uint32_t WnEventLogWriter::Close()
{
    if (handle == nullptr)
        return 0;
    const BOOL ok = DeregisterEventSource(handle);
    handle = nullptr;
    return ok ? 0 : GetLastError();
}

uint32_t WnEventLogWriter::Open(const wchar_t* sourceName)
{
    Close();
    HANDLE h = RegisterEventSourceW(nullptr, sourceName);
    if (h == nullptr)
        return GetLastError();
    handle = h;
    return 0;
}

uint32_t WnEventLogWriter::WriteInfo(const wchar_t* format, ...)
{
    wchar_t text[WN_EVENT_TEXT_CHARS];
    va_list arguments;
    va_start(arguments, format);
    // A cut text (ERROR_BUFFER_OVERFLOW) is still written; so is what a bad format left.
    FormatTextV(text, WN_EVENT_TEXT_CHARS, format, arguments);
    va_end(arguments);
    return Write(EVENTLOG_INFORMATION_TYPE, WN_EVENT_MSG_INFO, text);
}

uint32_t WnEventLogWriter::WriteError(const wchar_t* text)
{
    return Write(EVENTLOG_ERROR_TYPE, WN_EVENT_MSG_ERROR, text);
}

uint32_t WnEventLogWriter::Write(WORD type, uint32_t eventId, const wchar_t* text)
{
    const wchar_t* strings[1] = {text};
    return ReportEventW(handle, type, 0, eventId, nullptr, 1, 0, strings, nullptr) ? 0 : GetLastError();
}

uint32_t InstallEventSource(const wchar_t* logName, const wchar_t* sourceName, const wchar_t* messageFile)
{
    wchar_t path[kKeyPathChars];
    const uint32_t formatted =
        FormatText(path, kKeyPathChars, L"SYSTEM\\CurrentControlSet\\Services\\EventLog\\%s\\%s", logName, sourceName);
    if (formatted != 0)
        return formatted;  // a cut path would name another key
    WnRegistryKey key;
    uint32_t status = key.Create(HKEY_LOCAL_MACHINE, path, KEY_READ | KEY_WRITE);
    if (status == 0)
        status = key.WriteString(L"EventMessageFile", messageFile, REG_EXPAND_SZ);
    if (status == 0)
        status = key.WriteDword(L"TypesSupported", kTypesSupported);
    const uint32_t closed = key.Close();
    return status != 0 ? status : closed;
}

uint32_t RemoveEventSource(const wchar_t* logName, const wchar_t* sourceName)
{
    wchar_t path[kKeyPathChars];
    const uint32_t formatted =
        FormatText(path, kKeyPathChars, L"SYSTEM\\CurrentControlSet\\Services\\EventLog\\%s", logName);
    if (formatted != 0)
        return formatted;
    WnRegistryKey key;
    const uint32_t status = key.Open(HKEY_LOCAL_MACHINE, path, KEY_WRITE);
    if (status != 0)
        return status;
    key.DeleteSubKey(sourceName);  // a source that is not there is not an error
    key.Close();
    return 0;
}
