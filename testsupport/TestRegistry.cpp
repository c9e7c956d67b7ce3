#include "TestRegistry.h"

#include <vector>

uint32_t ReadRegistryValue(HKEY key, const wchar_t* name, RegistryValue& value)
{
    DWORD size = 0;
    LSTATUS status = RegQueryValueExW(key, name, nullptr, &value.type, nullptr, &size);
    if (status != ERROR_SUCCESS)
        return static_cast<uint32_t>(status);
    std::vector<BYTE> bytes(size + sizeof(wchar_t));
    status = RegQueryValueExW(key, name, nullptr, &value.type, bytes.data(), &size);
    if (status != ERROR_SUCCESS)
        return static_cast<uint32_t>(status);
    value.data.assign(reinterpret_cast<const wchar_t*>(bytes.data()), size / sizeof(wchar_t));
    return 0;
}
