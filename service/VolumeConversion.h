// Conversions between the mixer's volumes (signed hundredths of a dB) and the driver's
// stored volumes (signed 16.16 fixed point dB).
#pragma once

#include <cstdint>

constexpr int32_t VKN_FIXED_MINUS_INFINITY = INT32_MIN;  // a stored volume of minus infinity
constexpr int16_t VKN_HUNDREDTHS_LIMIT = 9000;           // +-90.00 dB

// value * 65536 / 100, truncated toward zero.
int32_t ToFixedPoint(int16_t hundredths);
// Minus infinity gives -9000; otherwise value * 100 / 65536 truncated toward zero and
// limited to -9000..9000.
int16_t ToHundredths(int32_t fixedPoint);
