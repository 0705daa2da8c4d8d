// Conversions between the three forms of a rotated box: five numbers (center
// x, center y, width, height, rotation), four corners, and three keypoints
// (center, midpoint of the top edge, midpoint of the right edge).
//
// Every kernel reproduces, value for value, what the numpy formulation of the
// same conversion computes: the same intermediate dtypes (float32 stays
// float32 where numpy keeps it so, integers are widened where numpy widens
// them), the same operation order, and the same treatment of signed zeros.
// Only cos, sin and atan2 may differ from numpy by a few ulp: they come from
// the vector functions of vector_math.hpp, a block of boxes per call, and
// numpy ships its own vectorised versions of them.  Build with
// -ffp-contract=off so that no multiply-add gets fused.
//
// Kernels write into views the caller allocated; inputs are read through
// views of const elements.  Each kernel reads every input of a box before it
// writes any output of that box, so an output may alias the input of the same
// box (keypoints_to_orva relies on this for its documented in-place write).
#pragma once

#include <cmath>
#include <cstddef>
#include <cstdint>
#include <type_traits>
#include <utility>

#include "strided.hpp"
#include "vector_math.hpp"

namespace halvex::kernels {

// ---------------------------------------------------------------------------
// numpy's dtype rules, as far as these conversions need them
// ---------------------------------------------------------------------------

template <class T>
inline constexpr bool is_integer_element_v = std::is_integral_v<T> && !std::is_same_v<T, bool>;

// dtype of `array / 2` and of `array / -1` (true division by a Python int):
// float32 stays float32 (a Python scalar does not widen an array under numpy 2
// promotion), every integer dtype becomes float64.
template <class T>
using true_division_t = std::conditional_t<std::is_same_v<T, float>, float, double>;

// dtype of np.cos / np.sin / np.arctan2 on an array of T: float32 for float32
// and 16-bit integers, float64 for float64 and 32/64-bit integers.  8-bit
// integers would compute in float16, which has no native counterpart here;
// callers send those through numpy.
template <class T>
struct trigonometry_dtype {
    static_assert(std::is_floating_point_v<T> || (is_integer_element_v<T> && sizeof(T) >= 2),
                  "numpy evaluates trigonometry of 8-bit integers in float16");
    using type =
        std::conditional_t<std::is_same_v<T, float> || (is_integer_element_v<T> && sizeof(T) == 2), float, double>;
};
template <class T>
using trigonometry_t = typename trigonometry_dtype<T>::type;

// dtype of `array + np.pi` and of `array % (2 * np.pi)`: a Python float keeps
// float32 as float32 and turns integers into float64.
template <class T>
using python_float_arithmetic_t = std::conditional_t<std::is_same_v<T, float>, float, double>;

// dtype of `box_corners.mean(axis=1)`: numpy sums integers in float64 and
// floats in their own dtype.
template <class T>
using mean_t = std::conditional_t<std::is_same_v<T, float>, float, double>;

// numpy's integer arithmetic wraps around silently; C++ signed overflow is
// undefined, so integers go through their unsigned counterpart.
template <class T>
constexpr T wrapping_add(T left, T right) {
    if constexpr (is_integer_element_v<T>) {
        using Unsigned = std::make_unsigned_t<T>;
        return static_cast<T>(static_cast<Unsigned>(static_cast<Unsigned>(left) + static_cast<Unsigned>(right)));
    } else {
        return left + right;
    }
}
template <class T>
constexpr T wrapping_subtract(T left, T right) {
    if constexpr (is_integer_element_v<T>) {
        using Unsigned = std::make_unsigned_t<T>;
        return static_cast<T>(static_cast<Unsigned>(static_cast<Unsigned>(left) - static_cast<Unsigned>(right)));
    } else {
        return left - right;
    }
}
template <class T>
constexpr T wrapping_negate(T value) {
    if constexpr (is_integer_element_v<T>) {
        return wrapping_subtract(T{0}, value);
    } else {
        return -value;
    }
}

// `a % b` of numpy for floating point: fmod, then moved into the sign of the
// divisor; an exact zero takes the sign of the divisor as well.
template <class F>
F numpy_float_remainder(F dividend, F divisor) {
    F remainder = std::fmod(dividend, divisor);
    if (divisor == F{0}) return remainder;
    if (remainder != F{0}) {
        if ((divisor < F{0}) != (remainder < F{0})) remainder += divisor;
    } else {
        remainder = std::copysign(F{0}, divisor);
    }
    return remainder;
}

template <class F>
bool is_nan(F value) {
    return value != value;
}

// One 2 x 2 rotation by angle θ in the form numpy's einsum evaluates
// "rcR,Rxc->Rxr": the output starts as +0 and the two products are added in
// turn, so a sum of two negative zeros comes out as +0.  Entries are the
// cos/sin values in the dtype numpy computed them in, widened to the
// computation dtype C only afterwards.
template <class C>
struct PlanarRotation {
    C cos_angle;
    C negative_sin_angle;
    C sin_angle;

    template <class Trigonometry>
    static PlanarRotation of(Trigonometry cosine, Trigonometry sine) {
        return {static_cast<C>(cosine), static_cast<C>(-sine), static_cast<C>(sine)};
    }

    void apply(C& x, C& y) const {
        const C rotated_x = (C{0} + cos_angle * x) + negative_sin_angle * y;
        const C rotated_y = (C{0} + sin_angle * x) + cos_angle * y;
        x = rotated_x;
        y = rotated_y;
    }
};

// Corner offsets from the box tuples (top and right half-axis vectors), in the
// order top-left, top-right, bottom-right, bottom-left:
// top - right, top + right, right - top, -right - top.
template <class T>
struct CornerOffsets {
    T x[4];
    T y[4];

    static CornerOffsets from_box_tuple(T top_x, T top_y, T right_x, T right_y) {
        return {{wrapping_subtract(top_x, right_x), wrapping_add(top_x, right_x), wrapping_subtract(right_x, top_x),
                 wrapping_subtract(wrapping_negate(right_x), top_x)},
                {wrapping_subtract(top_y, right_y), wrapping_add(top_y, right_y), wrapping_subtract(right_y, top_y),
                 wrapping_subtract(wrapping_negate(right_y), top_y)}};
    }
};

// ---------------------------------------------------------------------------
// orva_to_box_corners
// ---------------------------------------------------------------------------
//
// orva_boxes: n x 5 of T (float32, float64, or a signed integer of 16 to 64
// bits).  box_corners: n x 4 x 2 float64, caller-allocated.
//
// dtype rules: the half sizes are `orva_boxes[:, 2:4] / 2` in
// true_division_t<T>; multiplying them by the int64 arrays [±1, ±1] widens to
// float64 (so float32 input still gives float64 corners, and a zero half size
// turns into -0.0 where it is multiplied by -1).  The angle is
// `rotations * -1` in T itself (integers wrap), cos/sin in trigonometry_t<T>,
// the rotation in float64.  The centers are added after widening to float64.
//
// Returns true when a rotated corner offset is NaN: numpy's check
// `np.all(result == box)` after the rotation then fails, and the caller
// raises AssertionError while assertions are enabled.
template <class T>
bool orva_to_box_corners(Strided<const T, 2> orva_boxes, Strided<double, 3> box_corners) {
    using Half = true_division_t<T>;
    using Trigonometry = trigonometry_t<T>;
    static_assert(std::is_floating_point_v<T> || (is_integer_element_v<T> && std::is_signed_v<T>),
                  "numpy rejects `unsigned * -1` with OverflowError");
    static constexpr double corner_sign_x[4] = {-1.0, -1.0, 1.0, 1.0};
    static constexpr double corner_sign_y[4] = {-1.0, 1.0, 1.0, -1.0};

    bool rotated_offset_is_nan = false;
    const auto angle_of = [&](std::ptrdiff_t i) {
        return static_cast<Trigonometry>(wrapping_negate(orva_boxes(i, 4)));
    };
    for_each_cos_sin<Trigonometry>(
        orva_boxes.size(0), angle_of, [&](std::ptrdiff_t i, Trigonometry cosine, Trigonometry sine) {
            const T center_x = orva_boxes(i, 0);
            const T center_y = orva_boxes(i, 1);
            const double half_width = static_cast<double>(static_cast<Half>(orva_boxes(i, 2)) / Half{2});
            const double half_height = static_cast<double>(static_cast<Half>(orva_boxes(i, 3)) / Half{2});
            const auto rotation = PlanarRotation<double>::of(cosine, sine);

            for (int corner = 0; corner < 4; ++corner) {
                double x = half_width * corner_sign_x[corner];
                double y = half_height * corner_sign_y[corner];
                rotation.apply(x, y);
                rotated_offset_is_nan |= is_nan(x) || is_nan(y);
                box_corners(i, corner, 0) = x + static_cast<double>(center_x);
                box_corners(i, corner, 1) = y + static_cast<double>(center_y);
            }
        });
    return rotated_offset_is_nan;
}

// ---------------------------------------------------------------------------
// box_corners_to_orva
// ---------------------------------------------------------------------------
//
// box_corners: n x 4 x 2 of Corner (float32, float64 or any integer);
// rotations: n of Angle (float32, float64 or an integer of 16 to 64 bits).
//
// dtype rules: the centers are `mean(axis=1)` in mean_t<Corner>, summed from
// +0 in corner order (((0 + c0) + c1) + c2) + c3 whatever the memory layout,
// then divided by 4 in the same dtype.  Offsets `box_corners - centers` stay
// in mean_t<Corner>.  The angle `-rotations` is negated in Angle (integers
// wrap), cos/sin in trigonometry_t<Angle>, the rotation in mean_t<Corner>.
// The einsum stores its result under the safe casting rule: float32 corners
// with an angle whose trigonometry is float64 (float64 or 32/64-bit integer
// rotations) make numpy raise TypeError, and the caller must not call this
// kernel then (the static_assert below refuses such an instantiation).
// The rotation column is `rotations / -1` in true_division_t<Angle>.  The
// result dtype is the promotion of mean_t<Corner> and true_division_t<Angle>:
// float32 only when both are float32.  Only corners 1 and 3 enter the sizes.
template <class Corner, class Angle>
using box_corners_to_orva_result_t =
    std::conditional_t<std::is_same_v<mean_t<Corner>, float> && std::is_same_v<true_division_t<Angle>, float>, float,
                       double>;

template <class Corner, class Angle, class Result>
void box_corners_to_orva(Strided<const Corner, 3> box_corners, Strided<const Angle, 1> rotations,
                         Strided<Result, 2> boxes_orva) {
    using Mean = mean_t<Corner>;
    using Trigonometry = trigonometry_t<Angle>;
    using Quotient = true_division_t<Angle>;
    static_assert(sizeof(Trigonometry) <= sizeof(Mean),
                  "numpy refuses to store a float64 rotation into float32 corners (safe casting)");
    static_assert(std::is_same_v<Result, box_corners_to_orva_result_t<Corner, Angle>>,
                  "the result dtype is numpy's promotion of the centers and the rotations");

    const auto angle_of = [&](std::ptrdiff_t i) { return static_cast<Trigonometry>(wrapping_negate(rotations(i))); };
    for_each_cos_sin<Trigonometry>(
        box_corners.size(0), angle_of, [&](std::ptrdiff_t i, Trigonometry cosine, Trigonometry sine) {
            Mean sum_x = Mean{0};
            Mean sum_y = Mean{0};
            for (int corner = 0; corner < 4; ++corner) {
                sum_x = sum_x + static_cast<Mean>(box_corners(i, corner, 0));
                sum_y = sum_y + static_cast<Mean>(box_corners(i, corner, 1));
            }
            const Mean center_x = sum_x / Mean{4};
            const Mean center_y = sum_y / Mean{4};

            const Angle rotation = rotations(i);
            const auto turn_back = PlanarRotation<Mean>::of(cosine, sine);
            Mean x1 = static_cast<Mean>(box_corners(i, 1, 0)) - center_x;
            Mean y1 = static_cast<Mean>(box_corners(i, 1, 1)) - center_y;
            Mean x3 = static_cast<Mean>(box_corners(i, 3, 0)) - center_x;
            Mean y3 = static_cast<Mean>(box_corners(i, 3, 1)) - center_y;
            turn_back.apply(x1, y1);
            turn_back.apply(x3, y3);

            const Quotient returned_rotation = static_cast<Quotient>(rotation) / Quotient{-1};
            boxes_orva(i, 0) = static_cast<Result>(center_x);
            boxes_orva(i, 1) = static_cast<Result>(center_y);
            boxes_orva(i, 2) = static_cast<Result>(std::abs(x1 - x3));
            boxes_orva(i, 3) = static_cast<Result>(std::abs(y1 - y3));
            boxes_orva(i, 4) = static_cast<Result>(returned_rotation);
        });
}

// ---------------------------------------------------------------------------
// orva_to_keypoints
// ---------------------------------------------------------------------------
//
// orva_boxes: n x 5 of T (float32, float64, or a signed integer of 16 to 64
// bits).  keypoints: (3n) x 2 float64, caller-allocated; rows 3i, 3i + 1,
// 3i + 2 receive center, top and right of box i.
//
// dtype rules: half sizes `/ 2` in true_division_t<T>; the angle
// `(r * -1 + np.pi) % (2 * np.pi) - np.pi` is negated in T (integers wrap)
// and then evaluated in python_float_arithmetic_t<T>, with np.pi and
// 2 * np.pi rounded to float32 for float32 boxes, and numpy's floor
// remainder (the result may equal +π after rounding).  cos/sin in that same
// dtype.  Multiplying the half sizes by the int64 arrays [0, 1] and [1, 0]
// widens to float64; the zero factors are real products (0 * inf is NaN,
// 0 * negative is -0).  The rotation runs in float64; the centers are widened
// to float64 before the subtraction / addition and in the output.
//
// Returns true when a rotated half-axis is NaN (numpy's in-place check with
// the message about __tmp fails then, while assertions are enabled).
template <class T>
bool orva_to_keypoints(Strided<const T, 2> orva_boxes, Strided<double, 2> keypoints) {
    using Half = true_division_t<T>;
    using Angle = python_float_arithmetic_t<T>;
    static_assert(std::is_floating_point_v<T> || (is_integer_element_v<T> && std::is_signed_v<T>),
                  "numpy rejects `unsigned * -1` with OverflowError");
    constexpr double pi = 3.141592653589793;
    const Angle angle_pi = static_cast<Angle>(pi);
    const Angle angle_two_pi = static_cast<Angle>(2 * pi);

    bool rotated_half_axis_is_nan = false;
    const auto angle_of = [&](std::ptrdiff_t i) {
        const Angle shifted = static_cast<Angle>(wrapping_negate(orva_boxes(i, 4))) + angle_pi;
        return numpy_float_remainder(shifted, angle_two_pi) - angle_pi;
    };
    for_each_cos_sin<Angle>(orva_boxes.size(0), angle_of, [&](std::ptrdiff_t i, Angle cosine, Angle sine) {
        const double center_x = static_cast<double>(orva_boxes(i, 0));
        const double center_y = static_cast<double>(orva_boxes(i, 1));
        const double half_width = static_cast<double>(static_cast<Half>(orva_boxes(i, 2)) / Half{2});
        const double half_height = static_cast<double>(static_cast<Half>(orva_boxes(i, 3)) / Half{2});
        const auto rotation = PlanarRotation<double>::of(cosine, sine);

        double top_x = half_width * 0.0;
        double top_y = half_height;
        double right_x = half_width;
        double right_y = half_height * 0.0;
        rotation.apply(top_x, top_y);
        rotation.apply(right_x, right_y);
        rotated_half_axis_is_nan |= is_nan(top_x) || is_nan(top_y) || is_nan(right_x) || is_nan(right_y);

        keypoints(3 * i, 0) = center_x;
        keypoints(3 * i, 1) = center_y;
        keypoints(3 * i + 1, 0) = center_x - top_x;
        keypoints(3 * i + 1, 1) = center_y - top_y;
        keypoints(3 * i + 2, 0) = center_x + right_x;
        keypoints(3 * i + 2, 1) = center_y + right_y;
    });
    return rotated_half_axis_is_nan;
}

// ---------------------------------------------------------------------------
// keypoints_to_orva
// ---------------------------------------------------------------------------
//
// keypoints: n x 3 x 2 of T (float32, float64, or an integer of 16 to 64
// bits), writable: rows 1 and 2 of every box become top - center and
// right - center, in T (integers wrap).  boxes_orva: n x 5 float32,
// caller-allocated, must not overlap keypoints.
//
// dtype rules: the centers are cast to float32 on assignment.  The norms are
// np.linalg.norm(axis=2): integers are converted to float64 first, floats
// stay in their dtype; the squares are summed from +0 and the square root and
// `* 2` happen in that dtype before the float32 store.  The angle is
// np.arctan2 in trigonometry_t<T>, plus np.pi / 2 rounded to that dtype, then
// negated and stored as float32.
template <class T>
void keypoints_to_orva(Strided<T, 3> keypoints, Strided<float, 2> boxes_orva) {
    using Norm = std::conditional_t<std::is_same_v<T, float>, float, double>;
    using Trigonometry = trigonometry_t<T>;
    const Trigonometry quarter_turn = static_cast<Trigonometry>(3.141592653589793 / 2);

    // The top half-axis of every box of a block is read before the block is
    // written; then, box by box, the half-axes are read again and replaced.
    const auto top_half_axis = [&](std::ptrdiff_t i) {
        return std::pair{static_cast<Trigonometry>(wrapping_subtract(keypoints(i, 1, 1), keypoints(i, 0, 1))),
                         static_cast<Trigonometry>(wrapping_subtract(keypoints(i, 1, 0), keypoints(i, 0, 0)))};
    };
    for_each_atan2<Trigonometry>(keypoints.size(0), top_half_axis, [&](std::ptrdiff_t i, Trigonometry top_angle) {
        const T center_x = keypoints(i, 0, 0);
        const T center_y = keypoints(i, 0, 1);
        const T top_x = wrapping_subtract(keypoints(i, 1, 0), center_x);
        const T top_y = wrapping_subtract(keypoints(i, 1, 1), center_y);
        const T right_x = wrapping_subtract(keypoints(i, 2, 0), center_x);
        const T right_y = wrapping_subtract(keypoints(i, 2, 1), center_y);
        keypoints(i, 1, 0) = top_x;
        keypoints(i, 1, 1) = top_y;
        keypoints(i, 2, 0) = right_x;
        keypoints(i, 2, 1) = right_y;

        const auto doubled_norm = [](T x, T y) {
            const Norm wide_x = static_cast<Norm>(x);
            const Norm wide_y = static_cast<Norm>(y);
            return std::sqrt((Norm{0} + wide_x * wide_x) + wide_y * wide_y) * Norm{2};
        };

        boxes_orva(i, 0) = static_cast<float>(center_x);
        boxes_orva(i, 1) = static_cast<float>(center_y);
        boxes_orva(i, 2) = static_cast<float>(doubled_norm(right_x, right_y));
        boxes_orva(i, 3) = static_cast<float>(doubled_norm(top_x, top_y));
        boxes_orva(i, 4) = static_cast<float>(-(top_angle + quarter_turn));
    });
}

// ---------------------------------------------------------------------------
// get_corner_points_from_box_tuples
// ---------------------------------------------------------------------------
//
// box_tuples: n x 2 x 2 of T (top half-axis, right half-axis), any float or
// integer dtype except bool (numpy refuses to negate booleans).
// box_corners: n x 4 x 2 of T, caller-allocated.  Everything stays in T;
// integers wrap.  May alias box_tuples only box by box (each box is read
// before it is written), never shifted.
template <class T>
void get_corner_points_from_box_tuples(Strided<const T, 3> box_tuples, Strided<T, 3> box_corners) {
    static_assert(!std::is_same_v<T, bool>, "numpy refuses to negate booleans");
    const std::ptrdiff_t number_of_boxes = box_tuples.size(0);
    for (std::ptrdiff_t i = 0; i < number_of_boxes; ++i) {
        const auto offsets = CornerOffsets<T>::from_box_tuple(box_tuples(i, 0, 0), box_tuples(i, 0, 1),
                                                              box_tuples(i, 1, 0), box_tuples(i, 1, 1));
        for (int corner = 0; corner < 4; ++corner) {
            box_corners(i, corner, 0) = offsets.x[corner];
            box_corners(i, corner, 1) = offsets.y[corner];
        }
    }
}

// ---------------------------------------------------------------------------
// keypoints_to_box_corners
// ---------------------------------------------------------------------------
//
// keypoints: n x 3 x 2 of T (center, top, right), any float or integer dtype
// except bool.  box_corners: n x 4 x 2 of T, caller-allocated.  The half-axes
// `keypoints[:, 1:3] - center`, the corner offsets and the final `+ center`
// all stay in T; integers wrap.
template <class T>
void keypoints_to_box_corners(Strided<const T, 3> keypoints, Strided<T, 3> box_corners) {
    static_assert(!std::is_same_v<T, bool>, "numpy refuses to negate booleans");
    const std::ptrdiff_t number_of_parallelograms = keypoints.size(0);
    for (std::ptrdiff_t i = 0; i < number_of_parallelograms; ++i) {
        const T center_x = keypoints(i, 0, 0);
        const T center_y = keypoints(i, 0, 1);
        const auto offsets = CornerOffsets<T>::from_box_tuple(
            wrapping_subtract(keypoints(i, 1, 0), center_x), wrapping_subtract(keypoints(i, 1, 1), center_y),
            wrapping_subtract(keypoints(i, 2, 0), center_x), wrapping_subtract(keypoints(i, 2, 1), center_y));
        for (int corner = 0; corner < 4; ++corner) {
            box_corners(i, corner, 0) = wrapping_add(offsets.x[corner], center_x);
            box_corners(i, corner, 1) = wrapping_add(offsets.y[corner], center_y);
        }
    }
}

}  // namespace halvex::kernels
