// Byte copies and record access for the simulated driver, without the C runtime (the
// compiler may still turn the loops into the kernel's memcpy/memset, which it exports).
#pragma once

#include <cstdint>

inline void CopyBytes(void* to, const void* from, uint32_t size)
{
    uint8_t* d = static_cast<uint8_t*>(to);
    const uint8_t* s = static_cast<const uint8_t*>(from);
    for (uint32_t i = 0; i < size; ++i)
        d[i] = s[i];
}

inline void ZeroBytes(void* to, uint32_t size)
{
    uint8_t* d = static_cast<uint8_t*>(to);
    for (uint32_t i = 0; i < size; ++i)
        d[i] = 0;
}

template <typename T>
T ReadRecord(const uint8_t* in)
{
    T record;
    CopyBytes(&record, in, sizeof(T));
    return record;
}

template <typename T>
void WriteRecord(uint8_t* out, const T& record)
{
    CopyBytes(out, &record, sizeof(T));
}

// Bounded wide texts of the records: at most capacity - 1 characters, always terminated,
// the rest of the field zero.
inline void CopyWide(wchar_t* to, const wchar_t* from, uint32_t capacity)
{
    uint32_t i = 0;
    for (; i + 1 < capacity && from[i] != 0; ++i)
        to[i] = from[i];
    for (; i < capacity; ++i)
        to[i] = 0;
}

// Appends the decimal number behind the text already in the field.
inline void AppendNumber(wchar_t* to, uint32_t value, uint32_t capacity)
{
    uint32_t length = 0;
    while (length < capacity && to[length] != 0)
        ++length;
    wchar_t digits[10];
    uint32_t count = 0;
    do {
        digits[count++] = static_cast<wchar_t>(L'0' + value % 10);
        value /= 10;
    } while (value != 0);
    while (count != 0 && length + 1 < capacity)
        to[length++] = digits[--count];
    if (length < capacity)
        to[length] = 0;
}

inline bool SameWide(const wchar_t* a, const wchar_t* b, uint32_t capacity)
{
    for (uint32_t i = 0; i < capacity; ++i) {
        if (a[i] != b[i])
            return false;
        if (a[i] == 0)
            return true;
    }
    return true;
}
