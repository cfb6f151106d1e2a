// Table-driven arctangent and fast square roots for per-pixel decoding.
//
// Angles are in units of 1/30000 turn: pi is 15000, results lie in 0..29999.
#pragma once

#include <cstdint>

#include "nivex.h"

extern "C" {

// Four-quadrant arctangent of y/x on the compiled-in table; (0, 0) gives 0.
// Accurate to about 1.7 units for 12-bit inputs.
NIVEX_API int nx_math_atan2_i32(int32_t y, int32_t x);
// The same on the run-time table filled by atan2lut_Init.
NIVEX_API int atan2_lut(int32_t y, int32_t x);
NIVEX_API int atan2lut_Init(void);
// Square root of a non-negative float: bit-pattern guess and two Heron steps.
NIVEX_API float nx_math_sqrtf(float x);
// 1/sqrt(x) of a positive float: bit-pattern guess and one Newton step.
NIVEX_API float nx_math_inv_sqrtf(float x);
// Prints the arctangent table for n entries as source text on standard output.
NIVEX_API void nx_math_lut_print_arctan2(int n);
}
