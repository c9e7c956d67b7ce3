#include <gtest/gtest.h>

#include <cstring>
#include <set>
#include <string>

#include "TarvoStatus.h"

namespace {

struct NameCase {
    TarvoStatus value;
    const char* name;
};

TEST(TarvoStatusNameTest, NamesListedValuesAndQuestionMarksTheRest)
{
    const NameCase cases[] = {
        {0x00000000, "TARVO_STATUS_SUCCESS"},
        {0xE0000013, "TARVO_STATUS_NOT_OPENED"},
        {0xE0000100, "TARVO_STATUS_PENDING"},
        {0xE0000090, "TARVO_STATUS_SOUND_DEVICE_IN_USE"},
        {0xE000003A, "TARVO_STATUS_INVALID_STATE"},
        {0xE0000009, "TARVO_STATUS_NO_FIRMWARE"},
        {0xE000000A, "???"},  // unassigned, right after NO_FIRMWARE
        {5, "???"},           // ERROR_ACCESS_DENIED from CreateFileW is not a driver status
        {0xE0000101, "???"},
        {0xFFFFFFFF, "???"},
    };
    for (const NameCase& c : cases)
        EXPECT_STREQ(c.name, TarvoStatusName(c.value)) << std::hex << c.value;
}

TEST(TarvoStatusNameTest, EveryNamedValueIsDistinctAndNamesItself)
{
    std::set<TarvoStatus> values;
#define CHECK_STATUS_ENTRY(name, value)                 \
    EXPECT_TRUE(values.insert(value).second) << #name;  \
    EXPECT_STREQ(#name, TarvoStatusName(value));        \
    EXPECT_TRUE((value) == 0 || ((value) & 0xE0000000u) == 0xE0000000u) << #name;
    TARVO_STATUS_TABLE(CHECK_STATUS_ENTRY)
#undef CHECK_STATUS_ENTRY
    EXPECT_EQ(58u, values.size());
}

}  // namespace
