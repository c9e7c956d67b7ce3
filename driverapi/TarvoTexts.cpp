#include "TarvoTexts.h"

#include "TarvoIoctl.h"
#include "WnText.h"

namespace {

template <size_t N>
const wchar_t* NameOf(const wchar_t* const (&names)[N], uint32_t index)
{
    return index < N ? names[index] : L"unknown";
}

}  // namespace

const wchar_t* TarvoStreamingStateText(uint32_t state)
{
    static const wchar_t* const texts[] = {
        L"Streaming state: Undefined", L"Streaming state: Down",    L"Streaming state: Ready",
        L"Streaming state: Prepared",  L"Streaming state: Running", L"Streaming state: Error",
        L"Streaming not supported on USB 1.1 port.",
    };
    return state < sizeof texts / sizeof texts[0] ? texts[state] : nullptr;
}

const wchar_t* TarvoStreamingBufferClassName(uint32_t bufferClass)
{
    static const wchar_t* const names[] = {L"Minimum", L"ExtraSmall", L"Small", L"Large", L"ExtraLarge", L"Safe"};
    return NameOf(names, bufferClass);
}

const wchar_t* TarvoAsioBufferClassName(uint32_t bufferClass)
{
    static const wchar_t* const names[] = {L"Minimum", L"Small", L"Large", L"Maximum"};
    return NameOf(names, bufferClass);
}

bool TarvoIsDsdRate(uint32_t rate)
{
    return rate == TARVO_RATE_DSD64 || rate == TARVO_RATE_DSD128;
}

uint32_t FormatSampleRateText(wchar_t* buffer, size_t capacity, uint32_t rate)
{
    return FormatText(buffer, capacity, L"Current sampling rate: %u.%03u kHz", rate / 1000, rate % 1000);
}

uint32_t FormatStreamingLatencyText(wchar_t* buffer, size_t capacity, uint32_t latencyUs)
{
    return FormatText(buffer, capacity, L"%u.%1u millisecs\n", latencyUs / 1000, (latencyUs % 1000) / 100);
}

uint32_t FormatAsioLatencyText(wchar_t* buffer, size_t capacity, uint32_t latencyUs, uint32_t samples)
{
    return FormatText(buffer, capacity, L"%u.%1u millisecs\n%u samples", latencyUs / 1000, (latencyUs % 1000) / 100,
                      samples);
}
