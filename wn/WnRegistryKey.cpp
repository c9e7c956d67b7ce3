#include "WnRegistryKey.h"

#include <cwchar>

uint32_t WnRegistryKey::Open(HKEY parent, const wchar_t* subkey, REGSAM access)
{
    Close();
    HKEY opened = nullptr;
    const LSTATUS status = RegOpenKeyExW(parent, subkey, 0, access, &opened);
    if (status == ERROR_SUCCESS)
        key = opened;
    return static_cast<uint32_t>(status);
}

uint32_t WnRegistryKey::Create(HKEY parent, const wchar_t* subkey, REGSAM access)
{
    Close();
    HKEY created = nullptr;
    const LSTATUS status =
        RegCreateKeyExW(parent, subkey, 0, nullptr, 0, access, nullptr, &created, nullptr);
    if (status == ERROR_SUCCESS)
        key = created;
    return static_cast<uint32_t>(status);
}

uint32_t WnRegistryKey::Close()
{
    if (key == nullptr)
        return 0;
    const LSTATUS status = RegCloseKey(key);
    key = nullptr;
    return static_cast<uint32_t>(status);
}

uint32_t WnRegistryKey::ReadDword(const wchar_t* name, uint32_t& value) const
{
    DWORD type = REG_NONE;
    BYTE data[sizeof(DWORD)] = {};
    DWORD size = sizeof data;
    const LSTATUS status = RegQueryValueExW(key, name, nullptr, &type, data, &size);
    if (status != ERROR_SUCCESS)
        return static_cast<uint32_t>(status);
    if (type != REG_DWORD || size != sizeof(DWORD))
        return ERROR_BAD_FORMAT;
    DWORD result;
    memcpy(&result, data, sizeof result);
    value = result;
    return 0;
}

uint32_t WnRegistryKey::WriteDword(const wchar_t* name, uint32_t value) const
{
    const DWORD data = value;
    return static_cast<uint32_t>(
        RegSetValueExW(key, name, 0, REG_DWORD, reinterpret_cast<const BYTE*>(&data), sizeof data));
}

uint32_t WnRegistryKey::WriteString(const wchar_t* name, const wchar_t* text, DWORD type) const
{
    if (type != REG_SZ && type != REG_EXPAND_SZ)
        return ERROR_BAD_FORMAT;
    const DWORD size = static_cast<DWORD>((wcslen(text) + 1) * sizeof(wchar_t));
    return static_cast<uint32_t>(RegSetValueExW(key, name, 0, type, reinterpret_cast<const BYTE*>(text), size));
}

uint32_t WnRegistryKey::DeleteSubKey(const wchar_t* subkey) const
{
    return static_cast<uint32_t>(RegDeleteKeyW(key, subkey));
}
