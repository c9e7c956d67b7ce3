#include "ServiceTestSupport.h"

#include <cstdio>
#include <cstring>

#include "WnRegistryKey.h"
#include "WnText.h"

void DeleteDeviceKey(const wchar_t* serialNumber)
{
    WnRegistryKey devices;
    if (devices.Open(HKEY_LOCAL_MACHINE, VKN_TEST_DEVICES_KEY, KEY_READ | KEY_WRITE) == 0)
        (void)devices.DeleteSubKey(serialNumber);
}

void WriteDeviceValue(const wchar_t* serialNumber, const wchar_t* name, DWORD type, const void* data, DWORD size)
{
    wchar_t path[200];
    (void)FormatText(path, 200, L"%s\\%s", VKN_TEST_DEVICES_KEY, serialNumber);
    WnRegistryKey key;
    if (key.Create(HKEY_LOCAL_MACHINE, path, KEY_READ | KEY_WRITE) == 0)
        RegSetValueExW(key.Get(), name, 0, type, static_cast<const BYTE*>(data), size);
}

bool ReadDeviceDword(const wchar_t* serialNumber, const wchar_t* name, uint32_t& value)
{
    wchar_t path[200];
    (void)FormatText(path, 200, L"%s\\%s", VKN_TEST_DEVICES_KEY, serialNumber);
    WnRegistryKey key;
    return key.Open(HKEY_LOCAL_MACHINE, path, KEY_READ) == 0 && key.ReadDword(name, value) == 0;
}

bool Eventually(const std::function<bool()>& condition, uint32_t timeoutMs)
{
    const DWORD start = GetTickCount();
    while (!condition()) {
        if (GetTickCount() - start > timeoutMs)
            return condition();
        Sleep(5);
    }
    return true;
}

namespace {

// How many leading input words a description shows; other requests show their name alone.
struct CodeWords {
    uint32_t code;
    int words;
};

const CodeWords kShownWords[] = {
    {TARVO_IOCTL_SET_SAMPLE_RATE, 1},
    {TARVO_IOCTL_SELECT_SAMPLE_RATE, 1},
    {TARVO_IOCTL_SET_BUFFER_SIZES, 3},
    {TARVO_IOCTL_SET_POLICY, 1},
    {TARVO_IOCTL_SET_STREAMING_DEVICE, 3},
    {TARVO_IOCTL_SET_ROUTING, 2},
    {TARVO_IOCTL_SET_STORED_VOLUMES, 2},
    {TARVO_IOCTL_C20, 2},
    {TARVO_IOCTL_C22, 2},
};

int ShownWords(uint32_t code)
{
    for (const CodeWords& known : kShownWords)
        if (known.code == code)
            return known.words;
    return 0;
}

const char* const kCommandNames[] = {"?", "RECOVER", "POWER_UP", "POWER_DOWN", "PREPARE", "RUN", "HALT"};

uint32_t Word(const SimLogEntry& entry, int index)
{
    uint32_t word = 0;
    memcpy(&word, entry.data + 4 * index, 4);
    return word;
}

}  // namespace

std::string DescribeLogEntry(const SimLogEntry& entry)
{
    char text[120];
    if (entry.code == TARVO_IOCTL_STREAMING_COMMAND) {
        const uint32_t command = Word(entry, 0);
        const char* name = command < 7 ? kCommandNames[command] : "COMMAND?";
        std::snprintf(text, sizeof text, "%s %u", name, Word(entry, 1));
        // Only POWER_UP and POWER_DOWN carry an argument that matters.
        if (command != TARVO_STREAM_CMD_POWER_UP && command != TARVO_STREAM_CMD_POWER_DOWN)
            std::snprintf(text, sizeof text, "%s", name);
        return text;
    }
    const char* name = SimRequestName(entry.code);
    if (name == nullptr) {
        std::snprintf(text, sizeof text, "0x%08X", entry.code);
        return text;
    }
    std::string line = name;
    for (int i = 0; i < ShownWords(entry.code); ++i)
        line += " " + std::to_string(Word(entry, i));
    return line;
}

std::vector<SimLogEntry> LogAfter(SimControl& sim, uint32_t sequence)
{
    static SimLogRecord log;  // 3 KB; the tests run on one thread
    std::vector<SimLogEntry> entries;
    if (sim.GetLog(log) != TARVO_STATUS_SUCCESS)
        return entries;
    for (uint32_t i = 0; i < log.count && i < SIM_MAX_LOG_ENTRIES; ++i)
        if (log.entries[i].sequence > sequence)
            entries.push_back(log.entries[i]);
    return entries;
}

std::vector<std::string> DescribeLogAfter(SimControl& sim, uint32_t sequence)
{
    std::vector<std::string> lines;
    for (const SimLogEntry& entry : LogAfter(sim, sequence))
        lines.push_back(DescribeLogEntry(entry));
    return lines;
}

uint32_t LastLogSequence(SimControl& sim)
{
    const std::vector<SimLogEntry> entries = LogAfter(sim, 0);
    return entries.empty() ? 0 : entries.back().sequence;
}

// ---- ServerThread ----

uint32_t ServerThread::Start()
{
    uint32_t error = stop.Create(true, false);
    if (error == 0)
        error = arrival.Create(false, false);
    if (error != 0)
        return error;
    forwarder.object = this;
    forwarder.function = &ServerThread::Body;
    error = thread.Start(&forwarder);
    started = error == 0;
    return error;
}

uint32_t ServerThread::Body()
{
    result = server.Run(stop.Get(), arrival.Get());
    return 0;
}

TarvoStatus ServerThread::Stop()
{
    if (!started)
        return result;
    (void)stop.Set();
    (void)thread.Wait(INFINITE);
    started = false;
    return result;
}

bool ServerThread::Ended(uint32_t timeoutMs)
{
    if (!started)
        return true;
    if (thread.Wait(timeoutMs) != 0)
        return false;
    started = false;
    return true;
}

// ---- ListeningClient ----

void ListeningClient::Drain()
{
    TarvoMessage record;
    while (TarvoClient::GetNotification(record) == TARVO_STATUS_SUCCESS)
        codes.push_back(record.code);
}

bool ListeningClient::WaitFor(uint32_t code, uint32_t timeoutMs)
{
    const DWORD start = GetTickCount();
    for (;;) {
        Drain();
        for (size_t i = matched; i < codes.size(); ++i)
            if (codes[i] == code) {
                matched = i + 1;
                return true;
            }
        const DWORD elapsed = GetTickCount() - start;
        if (elapsed >= timeoutMs)
            return false;
        WaitForSingleObject(GetNotificationEvent(), timeoutMs - elapsed);
    }
}

std::vector<uint32_t> ListeningClient::TakeCodes()
{
    Drain();
    std::vector<uint32_t> taken;
    taken.swap(codes);
    matched = 0;
    return taken;
}
