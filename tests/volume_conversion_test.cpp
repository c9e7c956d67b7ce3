#include <gtest/gtest.h>

#include "VolumeConversion.h"

namespace {

TEST(VolumeConversionTest, ToFixedPointTruncatesTowardZero)
{
    const struct {
        int16_t hundredths;
        int32_t fixed;
    } cases[] = {
        {0, 0},         {100, 65536},       {-100, -65536},     {1, 655},  // 655.36
        {-1, -655},     {-6000, -3932160},  {600, 393216},      {32767, 21474181},
        {-32768, -21474836},
    };
    for (const auto& c : cases)
        EXPECT_EQ(c.fixed, ToFixedPoint(c.hundredths)) << c.hundredths;
}

TEST(VolumeConversionTest, ToHundredthsTruncatesAndLimits)
{
    const struct {
        int32_t fixed;
        int16_t hundredths;
    } cases[] = {
        {INT32_MIN, -9000},        // minus infinity
        {100 * 65536, 9000},       // +100 dB is limited to +90 dB
        {-100 * 65536, -9000},
        {INT32_MAX, 9000},
        {INT32_MIN + 1, -9000},
        {-3932160, -6000},         // -60 dB
        {65536, 100},
        {-1, 0},                   // -0.0015 hundredths truncates to 0
        {655, 0},                  // 0.9994 hundredths truncates to 0
        {656, 1},
        {-656, -1},
        {90 * 65536, 9000},
    };
    for (const auto& c : cases)
        EXPECT_EQ(c.hundredths, ToHundredths(c.fixed)) << c.fixed;
}

TEST(VolumeConversionTest, RoundTripOfMixerVolumesLosesAtMostOneHundredth)
{
    for (int v = -6000; v <= 600; ++v) {
        const int16_t back = ToHundredths(ToFixedPoint(static_cast<int16_t>(v)));
        EXPECT_LE(v - back, 1) << v;
        EXPECT_GE(v - back, -1) << v;
    }
}

}  // namespace
