// An owning wrapper of one registry key. Every Open and Create first releases a key held
// from before, so one wrapper can walk down a path by reopening itself. Statuses are the
// registry's Win32 codes, returned unchanged.
#pragma once

#include <windows.h>
#include <cstdint>

class WnRegistryKey {
public:
    WnRegistryKey() = default;
    ~WnRegistryKey() { Close(); }

    WnRegistryKey(const WnRegistryKey&) = delete;
    WnRegistryKey& operator=(const WnRegistryKey&) = delete;

    uint32_t Open(HKEY parent, const wchar_t* subkey, REGSAM access);
    // Creates the key when it is missing.
    uint32_t Create(HKEY parent, const wchar_t* subkey, REGSAM access);
    uint32_t Close();
    HKEY Get() const { return key; }

    // ERROR_BAD_FORMAT (11) for a value that is not a 4-byte REG_DWORD; value is written
    // only on success.
    uint32_t ReadDword(const wchar_t* name, uint32_t& value) const;
    uint32_t WriteDword(const wchar_t* name, uint32_t value) const;
    // Only REG_SZ and REG_EXPAND_SZ; another type gives ERROR_BAD_FORMAT and writes nothing.
    uint32_t WriteString(const wchar_t* name, const wchar_t* text, DWORD type) const;
    uint32_t DeleteSubKey(const wchar_t* subkey) const;

private:
    HKEY key = nullptr;
};
