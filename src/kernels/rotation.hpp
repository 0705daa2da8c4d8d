// Planar rotations of point sets and 2 x 2 matrices, one angle per set.
//
// The arithmetic mirrors numpy's einsum formulation term by term: every
// output element starts from +0.0 and accumulates its products in index
// order, in the element type of the array being written.  Starting from +0.0
// matters: it turns a sum of two negative zeros into +0.0, as einsum does.
#pragma once

#include "kernels/strided.hpp"
#include "kernels/vector_math.hpp"

#include <cmath>
#include <type_traits>

namespace halvex::kernels {

// numpy evaluates cos/sin of float32 angles in float32 and of float64 and
// integer angles in float64; the rotation stack then has that type.  The
// values come from the vector functions, a block of angles per call (float32
// ones evaluated in double and rounded once).
template <class Angle>
using trig_type = std::conditional_t<std::is_same_v<Angle, float>, float, double>;

// points[k, i] <- R(angle k) . points[k, i] for a stack of shape (R, P, 2).
template <class T, class Angle>
void rotate_points(const Strided<T, 3>& points, const Strided<const Angle, 1>& angles) {
    const std::ptrdiff_t rotations = points.size(0), per_rotation = points.size(1);
    const auto angle_of = [&](std::ptrdiff_t k) { return static_cast<trig_type<Angle>>(angles(k)); };
    for_each_cos_sin<trig_type<Angle>>(rotations, angle_of, [&](std::ptrdiff_t k, auto cos_value, auto sin_value) {
        const T c = static_cast<T>(cos_value), s = static_cast<T>(sin_value), minus_s = static_cast<T>(-sin_value);
        for (std::ptrdiff_t i = 0; i < per_rotation; ++i) {
            T& x = points(k, i, 0);
            T& y = points(k, i, 1);
            const T x0 = x, y0 = y;
            x = (T(0) + c * x0) + minus_s * y0;
            y = (T(0) + s * x0) + c * y0;
        }
    });
}

// matrices[k] <- R(angle k) . matrices[k] . R(angle k)^T for a stack (R, 2, 2).
template <class T, class Angle>
void rotate_matrices(const Strided<T, 3>& matrices, const Strided<const Angle, 1>& angles) {
    const std::ptrdiff_t rotations = matrices.size(0);
    const auto angle_of = [&](std::ptrdiff_t k) { return static_cast<trig_type<Angle>>(angles(k)); };
    for_each_cos_sin<trig_type<Angle>>(rotations, angle_of, [&](std::ptrdiff_t k, auto cos_value, auto sin_value) {
        const T c = static_cast<T>(cos_value), s = static_cast<T>(sin_value);
        const T rotation[2][2] = {{c, static_cast<T>(-sin_value)}, {s, c}};
        const T m[2][2] = {{matrices(k, 0, 0), matrices(k, 0, 1)}, {matrices(k, 1, 0), matrices(k, 1, 1)}};
        for (int t = 0; t < 2; ++t) {
            for (int u = 0; u < 2; ++u) {
                T sum = T(0);
                for (int a = 0; a < 2; ++a)
                    for (int b = 0; b < 2; ++b) sum += rotation[t][a] * m[a][b] * rotation[u][b];
                matrices(k, t, u) = sum;
            }
        }
    });
}

}  // namespace halvex::kernels
