// 3x3 matrix inverse by cofactors.
#include "imgproc/mat3.h"

#include <cmath>

namespace nx {

void mat3_set(Mat3 &a, const std::array<double, 9> &values) {
    a.m = values;
}

Mat3 mat3_identity() {
    Mat3 a;
    a(0, 0) = a(1, 1) = a(2, 2) = 1.0;
    return a;
}

bool mat3_inverse(const Mat3 &a, Mat3 &inv) {
    // Cofactor (i, j) from the 2x2 minor without row i and column j; the
    // cyclic index order gives the sign.
    auto cofactor = [&](int i, int j) {
        int r0 = (i + 1) % 3, r1 = (i + 2) % 3, c0 = (j + 1) % 3, c1 = (j + 2) % 3;
        return a(r0, c0) * a(r1, c1) - a(r0, c1) * a(r1, c0);
    };
    double det = a(0, 0) * cofactor(0, 0) + a(0, 1) * cofactor(0, 1) + a(0, 2) * cofactor(0, 2);
    if (det == 0.0 || !std::isfinite(det)) return false;
    Mat3 out;
    for (int i = 0; i < 3; ++i)
        for (int j = 0; j < 3; ++j)
            out(j, i) = cofactor(i, j) / det;
    inv = out;
    return true;
}

}  // namespace nx
