// 3x3 matrices of doubles, the small linear algebra the lens maps need.
#pragma once

#include <array>
#include <cstddef>

namespace nx {

// Row-major; a default-constructed matrix is all zeros.
struct Mat3 {
    std::array<double, 9> m{};

    double operator()(int row, int col) const { return m[static_cast<size_t>(row * 3 + col)]; }
    double &operator()(int row, int col) { return m[static_cast<size_t>(row * 3 + col)]; }
};

// Copies nine values, row by row.
void mat3_set(Mat3 &a, const std::array<double, 9> &values);
Mat3 mat3_identity();
// The inverse of a; false (inv untouched) when a is singular or not finite.
bool mat3_inverse(const Mat3 &a, Mat3 &inv);

}  // namespace nx
