// Bounded wide-text helpers: they never write past the buffer and always terminate the
// result. Capacities count characters, the terminator included. Format strings are
// always the program's own, never text that came from the driver or the registry.
#pragma once

#include <cstdarg>
#include <cstdint>
#include <cstddef>

// Copies at most capacity - 1 characters and terminates; returns the number copied.
size_t CopyText(wchar_t* destination, const wchar_t* source, size_t capacity);
// Appends while the length stays below capacity - 1, then terminates; returns the new length.
size_t AppendText(wchar_t* destination, const wchar_t* source, size_t capacity);
// printf-style formatting into a fixed buffer. 0: the whole text fitted;
// ERROR_BUFFER_OVERFLOW (111): the text was cut (the cut text is terminated);
// ERROR_INVALID_PARAMETER (87): capacity 0 or an invalid format or argument.
uint32_t FormatText(wchar_t* buffer, size_t capacity, const wchar_t* format, ...);
uint32_t FormatTextV(wchar_t* buffer, size_t capacity, const wchar_t* format, va_list arguments);
