// SimControl requests of the simulated devices and the common streaming state.
#include <cstring>
#include <cwchar>

#include "SimControl.h"
#include "WnText.h"

SimPlugRecord SimControl::PlugRecord(const wchar_t* serialNumber, const wchar_t* deviceName)
{
    SimPlugRecord record;
    std::memset(&record, 0, sizeof(record));
    if (serialNumber != nullptr)
        CopyText(record.serialNumber, serialNumber, TARVO_SERIAL_CHARS);
    if (deviceName != nullptr)
        CopyText(record.deviceName, deviceName, TARVO_DEVICE_NAME_CHARS);
    return record;
}

TarvoStatus SimControl::Plug(const SimPlugRecord& record, TarvoDeviceKey* key)
{
    TarvoDeviceKey given = {};
    const TarvoStatus status = Request(SIM_IOCTL_PLUG, &record, sizeof(record), &given, sizeof(given));
    if (status == TARVO_STATUS_SUCCESS && key != nullptr)
        *key = given;
    return status;
}

TarvoStatus SimControl::Unplug(const wchar_t* serialNumber)
{
    SimSerialRecord record;
    std::memset(&record, 0, sizeof(record));
    CopyText(record.serialNumber, serialNumber != nullptr ? serialNumber : L"", TARVO_SERIAL_CHARS);
    return Request(SIM_IOCTL_UNPLUG, &record, sizeof(record), nullptr, 0);
}

TarvoStatus SimControl::UnplugAll()
{
    return Request(SIM_IOCTL_UNPLUG_ALL, nullptr, 0, nullptr, 0);
}

TarvoStatus SimControl::Rekey(const wchar_t* serialNumber, uint32_t flags)
{
    SimRekeyRecord record;
    std::memset(&record, 0, sizeof(record));
    CopyText(record.serialNumber, serialNumber != nullptr ? serialNumber : L"", TARVO_SERIAL_CHARS);
    record.flags = flags;
    return Request(SIM_IOCTL_REKEY, &record, sizeof(record), nullptr, 0);
}

TarvoStatus SimControl::SetUsers(const SimUsersRecord& users)
{
    return Request(SIM_IOCTL_SET_USERS, &users, sizeof(users), nullptr, 0);
}

TarvoStatus SimControl::SetDeviceUsers(const wchar_t* serialNumber, uint32_t users)
{
    SimDeviceUsersRecord record;
    std::memset(&record, 0, sizeof(record));
    CopyText(record.serialNumber, serialNumber != nullptr ? serialNumber : L"", TARVO_SERIAL_CHARS);
    record.users = users;
    return Request(SIM_IOCTL_SET_DEVICE_USERS, &record, sizeof(record), nullptr, 0);
}

TarvoStatus SimControl::SetPins(const wchar_t* serialNumber, uint32_t selector, uint32_t count)
{
    SimPinsRecord record;
    std::memset(&record, 0, sizeof(record));
    CopyText(record.serialNumber, serialNumber != nullptr ? serialNumber : L"", TARVO_SERIAL_CHARS);
    record.selector = selector;
    record.count = count;
    return Request(SIM_IOCTL_SET_PINS, &record, sizeof(record), nullptr, 0);
}

TarvoStatus SimControl::SoundDeviceEvent(const wchar_t* serialNumber, uint32_t table, uint32_t index)
{
    SimSoundDeviceEventRecord record;
    std::memset(&record, 0, sizeof(record));
    CopyText(record.serialNumber, serialNumber != nullptr ? serialNumber : L"", TARVO_SERIAL_CHARS);
    record.table = table;
    record.index = index;
    return Request(SIM_IOCTL_SOUND_DEVICE_EVENT, &record, sizeof(record), nullptr, 0);
}

TarvoStatus SimControl::RaiseErrors(const TarvoErrorCounters& add)
{
    return Request(SIM_IOCTL_RAISE_ERRORS, &add, sizeof(add), nullptr, 0);
}

TarvoStatus SimControl::GetState(SimStateRecord& state)
{
    return Request(SIM_IOCTL_GET_STATE, nullptr, 0, &state, sizeof(state));
}

TarvoStatus SimControl::GetDeviceSent(uint32_t index, SimDeviceSentRecord& sent)
{
    return Request(SIM_IOCTL_GET_DEVICE_SENT, &index, sizeof(index), &sent, sizeof(sent));
}

TarvoStatus SimControl::GetLog(SimLogRecord& log)
{
    return Request(SIM_IOCTL_GET_LOG, nullptr, 0, &log, sizeof(log));
}
