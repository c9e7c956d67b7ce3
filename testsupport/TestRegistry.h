// Raw reads of registry values, for tests that check what a program registered: the
// type and every byte as stored, terminators included.
#pragma once

#include <windows.h>
#include <cstdint>
#include <string>

struct RegistryValue {
    DWORD type = REG_NONE;
    std::wstring data;  // the stored bytes as wide characters
};

// Reads the named value of an open key; the Win32 error of the read (0 = read).
uint32_t ReadRegistryValue(HKEY key, const wchar_t* name, RegistryValue& value);
