// The channel and sound device tables the service sends each device.
#include <gtest/gtest.h>

#include <string>

#include "SoundDeviceTables.h"

namespace {

std::wstring Name(const wchar_t* field, size_t chars)
{
    return std::wstring(field, wcsnlen(field, chars));
}

TEST(ChannelTableTest, FreshDeviceHasSixteenOutputsAndEighteenInputs)
{
    TarvoWdmChannels table;
    BuildChannelTable(false, false, table);
    ASSERT_EQ(16u, table.outputCount);
    ASSERT_EQ(18u, table.inputCount);
    for (uint32_t c = 0; c < 16; ++c) {
        EXPECT_EQ(L"VKN Out " + std::to_wstring(c + 1), Name(table.outputs[c].name, TARVO_WDM_NAME_CHARS));
        EXPECT_EQ(L"VKN Analog In " + std::to_wstring(c + 1), Name(table.inputs[c].name, TARVO_WDM_NAME_CHARS));
        EXPECT_EQ(TARVO_WDM_KIND_HARDWARE, table.outputs[c].kind);
        EXPECT_EQ(c / 2, table.outputs[c].pairNumber);
        EXPECT_EQ(c % 2, table.inputs[c].side);
    }
    for (uint32_t c = 0; c < 2; ++c) {
        const TarvoWdmChannelEntry& entry = table.inputs[16 + c];
        EXPECT_EQ(L"VKN Virtual In " + std::to_wstring(c + 1), Name(entry.name, TARVO_WDM_NAME_CHARS));
        EXPECT_EQ(TARVO_WDM_KIND_VIRTUAL, entry.kind);
        EXPECT_EQ(0u, entry.pairNumber);
        EXPECT_EQ(c, entry.side);
        EXPECT_EQ(0u, entry.zero);
    }
    // Nothing beyond the filled entries: the rest of the record stays zero.
    EXPECT_EQ(0u, table.outputs[16].kind);
    EXPECT_EQ(0u, table.inputs[18].kind);
}

TEST(ChannelTableTest, WithoutHardwareChannelsOnlyTheVirtualInputsRemain)
{
    const struct {
        bool withoutOutputs;
        bool withoutInputs;
        uint32_t outputs;
        uint32_t inputs;
    } cases[] = {{true, true, 0, 2}, {true, false, 0, 18}, {false, true, 16, 2}};
    for (const auto& c : cases) {
        TarvoWdmChannels table;
        BuildChannelTable(c.withoutOutputs, c.withoutInputs, table);
        EXPECT_EQ(c.outputs, table.outputCount);
        ASSERT_EQ(c.inputs, table.inputCount);
        EXPECT_EQ(L"VKN Virtual In 1", Name(table.inputs[c.inputs - 2].name, TARVO_WDM_NAME_CHARS));
    }
}

TEST(SoundDeviceTableTest, BothConfigurationsZeroGiveEightRenderAndNineCaptureDevices)
{
    TarvoWdmPins table;
    BuildSoundDeviceTable(0, 0, table);
    ASSERT_EQ(8u, table.renderCount);
    ASSERT_EQ(9u, table.captureCount);
    for (uint32_t p = 0; p < 8; ++p) {
        const std::wstring pair = std::to_wstring(2 * p + 1) + L"/" + std::to_wstring(2 * p + 2);
        for (const TarvoWdmPinEntry* entry : {&table.render[p], &table.capture[p]}) {
            EXPECT_EQ(TARVO_WDM_KIND_HARDWARE, entry->kind);
            EXPECT_EQ(1u, entry->pairCount);
            EXPECT_EQ(p, entry->pairs[0]);
            EXPECT_EQ(0u, entry->stateWord);
            EXPECT_EQ(3u, entry->hardwareWord);
            EXPECT_EQ(p, entry->index);
            EXPECT_EQ(0xFF800000u, entry->levelWord);
            EXPECT_EQ(0u, entry->zeroTail);
        }
        EXPECT_EQ(L"VKN Out " + pair, Name(table.render[p].name, TARVO_WDM_NAME_CHARS));
        EXPECT_EQ(L"VKN Analog In " + pair, Name(table.capture[p].name, TARVO_WDM_NAME_CHARS));
    }
    const TarvoWdmPinEntry& virtualPair = table.capture[8];
    EXPECT_EQ(L"VKN Virtual In 1/2", Name(virtualPair.name, TARVO_WDM_NAME_CHARS));
    EXPECT_EQ(TARVO_WDM_KIND_VIRTUAL, virtualPair.kind);
    EXPECT_EQ(8u, virtualPair.index);
    EXPECT_EQ(0u, virtualPair.hardwareWord);
    EXPECT_EQ(0u, virtualPair.levelWord);
}

TEST(SoundDeviceTableTest, NonZeroConfigurationsEmptyTheirSide)
{
    TarvoWdmPins table;
    BuildSoundDeviceTable(1, 0, table);
    EXPECT_EQ(0u, table.renderCount);
    EXPECT_EQ(9u, table.captureCount);

    BuildSoundDeviceTable(7, 0xFFFFFFFF, table);
    EXPECT_EQ(0u, table.renderCount);
    ASSERT_EQ(1u, table.captureCount);
    EXPECT_EQ(L"VKN Virtual In 1/2", Name(table.capture[0].name, TARVO_WDM_NAME_CHARS));
    EXPECT_EQ(0u, table.capture[0].index);
}

TEST(SoundDeviceTableTest, RebuildingReplacesThePreviousTable)
{
    TarvoWdmPins table;
    BuildSoundDeviceTable(0, 0, table);
    BuildSoundDeviceTable(1, 1, table);
    EXPECT_EQ(0u, table.render[0].kind);  // no entry of the earlier build survives
    EXPECT_EQ(0u, table.capture[1].kind);
}

}  // namespace
