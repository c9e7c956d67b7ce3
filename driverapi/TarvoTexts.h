// The texts that show the driver's common streaming state. One place for each format,
// so the status bar, the pages and the tools show the same words.
#pragma once

#include <cstddef>
#include <cstdint>

// "Streaming state: Down" ... and "Streaming not supported on USB 1.1 port." for state 6;
// null for a value outside 0..6 (the caller keeps what it showed).
const wchar_t* TarvoStreamingStateText(uint32_t state);
// Names of the buffer size classes; "unknown" for a value outside the table.
const wchar_t* TarvoStreamingBufferClassName(uint32_t bufferClass);
const wchar_t* TarvoAsioBufferClassName(uint32_t bufferClass);
// True for the two rates that denote the DSD modes.
bool TarvoIsDsdRate(uint32_t rate);

// Each writes a terminated, possibly cut text and returns the FormatText result.
// "Current sampling rate: 44.100 kHz"
uint32_t FormatSampleRateText(wchar_t* buffer, size_t capacity, uint32_t rate);
// "5.3 millisecs\n": milliseconds with one decimal, cut rather than rounded.
uint32_t FormatStreamingLatencyText(wchar_t* buffer, size_t capacity, uint32_t latencyUs);
// "2.6 millisecs\n128 samples"
uint32_t FormatAsioLatencyText(wchar_t* buffer, size_t capacity, uint32_t latencyUs, uint32_t samples);
