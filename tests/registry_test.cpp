// The registry key wrapper against the prefix's real registry. Each test works below a
// private key that is removed afterwards.
#include <gtest/gtest.h>

#include <string>

#include "TestRegistry.h"
#include "WnRegistryKey.h"
#include "WnText.h"

namespace {

class RegistryKeyTest : public testing::Test {
protected:
    void SetUp() override
    {
        FormatText(path, 128, L"Software\\VelkanoTests\\Registry%u", GetCurrentProcessId());
        ASSERT_EQ(0u, key.Create(HKEY_CURRENT_USER, path, KEY_ALL_ACCESS));
    }
    void TearDown() override
    {
        key.Close();
        RegDeleteTreeW(HKEY_CURRENT_USER, path);
    }
    void WriteRaw(const wchar_t* name, DWORD type, const void* data, DWORD size)
    {
        ASSERT_EQ(ERROR_SUCCESS, RegSetValueExW(key.Get(), name, 0, type, static_cast<const BYTE*>(data), size));
    }

    wchar_t path[128];
    WnRegistryKey key;
};

TEST_F(RegistryKeyTest, DwordRoundTripAndMissingValue)
{
    EXPECT_EQ(0u, key.WriteDword(L"Render", 0xDEADBEEF));
    uint32_t value = 0;
    EXPECT_EQ(0u, key.ReadDword(L"Render", value));
    EXPECT_EQ(0xDEADBEEFu, value);
    value = 7;
    EXPECT_EQ(static_cast<uint32_t>(ERROR_FILE_NOT_FOUND), key.ReadDword(L"Missing", value));
    EXPECT_EQ(7u, value);
}

TEST_F(RegistryKeyTest, ValuesOfAnotherTypeOrSizeAreBadFormatAndLeaveTheOutput)
{
    const uint32_t four = 1;
    const uint64_t eight = 1;
    WriteRaw(L"Text", REG_SZ, L"1", 4);
    WriteRaw(L"Binary4", REG_BINARY, &four, 4);
    WriteRaw(L"Qword", REG_QWORD, &eight, 8);
    WriteRaw(L"ShortDword", REG_DWORD, &four, 2);
    // The type is checked, not only the size; a value longer than the 4-byte buffer is
    // already refused by the query, and that status is returned.
    const struct {
        const wchar_t* name;
        uint32_t status;
    } cases[] = {{L"Text", ERROR_BAD_FORMAT},
                 {L"Binary4", ERROR_BAD_FORMAT},
                 {L"ShortDword", ERROR_BAD_FORMAT},
                 {L"Qword", ERROR_MORE_DATA}};
    for (const auto& c : cases) {
        uint32_t value = 55;
        EXPECT_EQ(c.status, key.ReadDword(c.name, value)) << c.status;
        EXPECT_EQ(55u, value);
    }
}

TEST_F(RegistryKeyTest, WriteStringStoresTerminatorAndRefusesOtherTypes)
{
    EXPECT_EQ(0u, key.WriteString(L"Name", L"velkano", REG_SZ));
    RegistryValue stored;
    ASSERT_EQ(0u, ReadRegistryValue(key.Get(), L"Name", stored));
    EXPECT_EQ(static_cast<DWORD>(REG_SZ), stored.type);
    EXPECT_EQ(std::wstring(L"velkano", 8), stored.data);  // terminator included

    EXPECT_EQ(0u, key.WriteString(L"Expand", L"%SystemRoot%", REG_EXPAND_SZ));
    EXPECT_EQ(static_cast<uint32_t>(ERROR_BAD_FORMAT), key.WriteString(L"Wrong", L"x", REG_DWORD));
    EXPECT_EQ(static_cast<uint32_t>(ERROR_FILE_NOT_FOUND), ReadRegistryValue(key.Get(), L"Wrong", stored));
}

TEST_F(RegistryKeyTest, CreateLevelByLevelOpenAndDelete)
{
    WnRegistryKey level;
    ASSERT_EQ(0u, level.Create(key.Get(), L"Devices", KEY_ALL_ACCESS));
    WnRegistryKey device;
    ASSERT_EQ(0u, device.Create(level.Get(), L"SN0001", KEY_ALL_ACCESS));
    EXPECT_EQ(0u, device.WriteDword(L"Render", 1));
    device.Close();
    EXPECT_EQ(0u, device.Close());  // harmless when closed

    WnRegistryKey reader;
    ASSERT_EQ(0u, reader.Open(level.Get(), L"SN0001", KEY_READ));
    uint32_t value = 0;
    EXPECT_EQ(0u, reader.ReadDword(L"Render", value));
    EXPECT_EQ(1u, value);
    // Reopening releases the key held before; a failed open leaves the wrapper closed.
    EXPECT_EQ(static_cast<uint32_t>(ERROR_FILE_NOT_FOUND), reader.Open(level.Get(), L"Missing", KEY_READ));
    EXPECT_EQ(nullptr, reader.Get());

    EXPECT_EQ(0u, level.DeleteSubKey(L"SN0001"));
    EXPECT_EQ(static_cast<uint32_t>(ERROR_FILE_NOT_FOUND), reader.Open(level.Get(), L"SN0001", KEY_READ));
}

}  // namespace
