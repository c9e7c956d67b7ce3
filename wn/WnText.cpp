#include "WnText.h"

#include <windows.h>

#include <cwchar>

size_t CopyText(wchar_t* destination, const wchar_t* source, size_t capacity)
{
    if (capacity == 0)
        return 0;
    size_t length = 0;
    if (source != nullptr)
        while (length + 1 < capacity && source[length] != L'\0') {
            destination[length] = source[length];
            ++length;
        }
    destination[length] = L'\0';
    return length;
}

size_t AppendText(wchar_t* destination, const wchar_t* source, size_t capacity)
{
    if (capacity == 0)
        return 0;
    size_t length = 0;
    while (length + 1 < capacity && destination[length] != L'\0')
        ++length;
    return length + CopyText(destination + length, source, capacity - length);
}

uint32_t FormatTextV(wchar_t* buffer, size_t capacity, const wchar_t* format, va_list arguments)
{
    if (capacity == 0 || buffer == nullptr || format == nullptr)
        return ERROR_INVALID_PARAMETER;
    // Measure first: the standard vswprintf only says "did not fit or bad format" with
    // one negative result, and the two must be told apart.
    va_list measure;
    va_copy(measure, arguments);
    const int needed = _vscwprintf(format, measure);
    va_end(measure);
    if (needed < 0) {
        buffer[0] = L'\0';
        return ERROR_INVALID_PARAMETER;
    }
    const int written = _vsnwprintf(buffer, capacity - 1, format, arguments);
    buffer[capacity - 1] = L'\0';
    if (written < 0 || static_cast<size_t>(needed) >= capacity) {
        buffer[capacity - 1] = L'\0';
        return ERROR_BUFFER_OVERFLOW;
    }
    buffer[written] = L'\0';
    return 0;
}

uint32_t FormatText(wchar_t* buffer, size_t capacity, const wchar_t* format, ...)
{
    va_list arguments;
    va_start(arguments, format);
    const uint32_t result = FormatTextV(buffer, capacity, format, arguments);
    va_end(arguments);
    return result;
}
