#include "VolumeConversion.h"

int32_t ToFixedPoint(int16_t hundredths)
{
    return static_cast<int32_t>(static_cast<int64_t>(hundredths) * 65536 / 100);  // C++ division truncates toward zero
}

int16_t ToHundredths(int32_t fixedPoint)
{
    if (fixedPoint == VKN_FIXED_MINUS_INFINITY)
        return -VKN_HUNDREDTHS_LIMIT;
    int64_t value = static_cast<int64_t>(fixedPoint) * 100 / 65536;
    if (value > VKN_HUNDREDTHS_LIMIT)
        value = VKN_HUNDREDTHS_LIMIT;
    if (value < -VKN_HUNDREDTHS_LIMIT)
        value = -VKN_HUNDREDTHS_LIMIT;
    return static_cast<int16_t>(value);
}
