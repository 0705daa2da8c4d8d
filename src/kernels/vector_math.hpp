// Element-wise math over arrays from a vector library, chosen by the processor.
//
// On x86-64 with glibc 2.35 or later (CMake defines HALVEX_HAS_LIBMVEC when it
// links libmvec), the loops call glibc's vector variants through the vector
// function ABI: AVX-512 (8 lanes) where the processor and the system have it,
// AVX2 (4 lanes) where they have that, SSE2 (2 lanes) otherwise.  They are
// accurate to a few ulp, like the scalar functions (tools/
// vector_math_accuracy.cpp measures it).  Everywhere else the scalar
// functions.
//
// Every element goes through a full vector: the elements left over at the end
// are padded to one, so an element's result depends on its value and the
// processor only, never on its position in the array or on the array's
// length.
//
// float arguments are evaluated in double and rounded once: that is within
// about half an ulp of the exact value, closer than glibc's float variants
// (up to a few ulp) and than numpy's own float32 sin and cos.
#pragma once

#include "kernels/processor.hpp"

#include <algorithm>
#include <cmath>
#include <cstddef>
#include <type_traits>

#if defined(HALVEX_HAS_LIBMVEC) && defined(__x86_64__) && defined(__GNUC__)
#define HALVEX_LIBMVEC 1
#include <immintrin.h>
extern "C" __m128d _ZGVbN2vv_atan2(__m128d, __m128d);
extern "C" __m256d _ZGVdN4vv_atan2(__m256d, __m256d);
extern "C" __m512d _ZGVeN8vv_atan2(__m512d, __m512d);
extern "C" __m128d _ZGVbN2v_cos(__m128d);
extern "C" __m256d _ZGVdN4v_cos(__m256d);
extern "C" __m512d _ZGVeN8v_cos(__m512d);
extern "C" __m128d _ZGVbN2v_sin(__m128d);
extern "C" __m256d _ZGVdN4v_sin(__m256d);
extern "C" __m512d _ZGVeN8v_sin(__m512d);
#endif

namespace halvex::kernels {

namespace vector_math {

// The variants, widest last.
enum class Path { scalar, sse2, avx2, avx512 };

inline const char* name_of(Path path) {
    switch (path) {
        case Path::sse2: return "sse2";
        case Path::avx2: return "avx2";
        case Path::avx512: return "avx512";
        default: return "scalar";
    }
}

// The variant the loops take on this processor.
inline Path path() {
#ifdef HALVEX_LIBMVEC
    static const Path chosen = processor_has_avx512() ? Path::avx512 : processor_has_avx2() ? Path::avx2 : Path::sse2;
    return chosen;
#else
    return Path::scalar;
#endif
}

inline const char* path_name() { return name_of(path()); }

// One variant: functions over a whole number of vectors (`count` a multiple
// of `lanes`).
struct Variant {
    std::ptrdiff_t lanes;
    void (*cos_sin)(const double* angles, double* cosines, double* sines, std::ptrdiff_t count);
    void (*atan2)(const double* y, const double* x, double* angles, std::ptrdiff_t count);
};

inline void cos_sin_scalar(const double* angles, double* cosines, double* sines, std::ptrdiff_t count) {
    for (std::ptrdiff_t i = 0; i < count; ++i) {
        cosines[i] = std::cos(angles[i]);
        sines[i] = std::sin(angles[i]);
    }
}
inline void atan2_scalar(const double* y, const double* x, double* angles, std::ptrdiff_t count) {
    for (std::ptrdiff_t i = 0; i < count; ++i) angles[i] = std::atan2(y[i], x[i]);
}

#ifdef HALVEX_LIBMVEC
inline void cos_sin_sse2(const double* angles, double* cosines, double* sines, std::ptrdiff_t count) {
    for (std::ptrdiff_t i = 0; i < count; i += 2) {
        const __m128d angle = _mm_loadu_pd(angles + i);
        _mm_storeu_pd(cosines + i, _ZGVbN2v_cos(angle));
        _mm_storeu_pd(sines + i, _ZGVbN2v_sin(angle));
    }
}
inline void atan2_sse2(const double* y, const double* x, double* angles, std::ptrdiff_t count) {
    for (std::ptrdiff_t i = 0; i < count; i += 2)
        _mm_storeu_pd(angles + i, _ZGVbN2vv_atan2(_mm_loadu_pd(y + i), _mm_loadu_pd(x + i)));
}

HALVEX_FOR_AVX2 inline void cos_sin_avx2(const double* angles, double* cosines, double* sines, std::ptrdiff_t count) {
    for (std::ptrdiff_t i = 0; i < count; i += 4) {
        const __m256d angle = _mm256_loadu_pd(angles + i);
        _mm256_storeu_pd(cosines + i, _ZGVdN4v_cos(angle));
        _mm256_storeu_pd(sines + i, _ZGVdN4v_sin(angle));
    }
}
HALVEX_FOR_AVX2 inline void atan2_avx2(const double* y, const double* x, double* angles, std::ptrdiff_t count) {
    for (std::ptrdiff_t i = 0; i < count; i += 4)
        _mm256_storeu_pd(angles + i, _ZGVdN4vv_atan2(_mm256_loadu_pd(y + i), _mm256_loadu_pd(x + i)));
}

HALVEX_FOR_AVX512 inline void cos_sin_avx512(const double* angles, double* cosines, double* sines,
                                             std::ptrdiff_t count) {
    for (std::ptrdiff_t i = 0; i < count; i += 8) {
        const __m512d angle = _mm512_loadu_pd(angles + i);
        _mm512_storeu_pd(cosines + i, _ZGVeN8v_cos(angle));
        _mm512_storeu_pd(sines + i, _ZGVeN8v_sin(angle));
    }
}
HALVEX_FOR_AVX512 inline void atan2_avx512(const double* y, const double* x, double* angles, std::ptrdiff_t count) {
    for (std::ptrdiff_t i = 0; i < count; i += 8)
        _mm512_storeu_pd(angles + i, _ZGVeN8vv_atan2(_mm512_loadu_pd(y + i), _mm512_loadu_pd(x + i)));
}
#endif

inline Variant variant(Path path) {
    switch (path) {
#ifdef HALVEX_LIBMVEC
        case Path::sse2: return {2, cos_sin_sse2, atan2_sse2};
        case Path::avx2: return {4, cos_sin_avx2, atan2_avx2};
        case Path::avx512: return {8, cos_sin_avx512, atan2_avx512};
#endif
        default: return {1, cos_sin_scalar, atan2_scalar};
    }
}

// Whether this build and this processor can run `path`.
inline bool can_run(Path path) {
#ifdef HALVEX_LIBMVEC
    return path <= vector_math::path();
#else
    return path == Path::scalar;
#endif
}

constexpr std::ptrdiff_t widest_lanes = 8;

// cosines[i] = cos(angles[i]), sines[i] = sin(angles[i]) for i < count, on
// the given variant (which the processor must be able to run).
inline void cos_sin_on(Path path, const double* angles, double* cosines, double* sines, std::ptrdiff_t count) {
    const Variant chosen = variant(path);
    const std::ptrdiff_t whole = count - count % chosen.lanes;
    chosen.cos_sin(angles, cosines, sines, whole);
    if (whole == count) return;
    double last_angles[widest_lanes] = {}, last_cosines[widest_lanes], last_sines[widest_lanes];
    std::copy(angles + whole, angles + count, last_angles);
    chosen.cos_sin(last_angles, last_cosines, last_sines, chosen.lanes);
    std::copy(last_cosines, last_cosines + (count - whole), cosines + whole);
    std::copy(last_sines, last_sines + (count - whole), sines + whole);
}

// angles[i] = atan2(y[i], x[i]) for i < count; `angles` may be `x` or `y`.
inline void atan2_on(Path path, const double* y, const double* x, double* angles, std::ptrdiff_t count) {
    const Variant chosen = variant(path);
    const std::ptrdiff_t whole = count - count % chosen.lanes;
    chosen.atan2(y, x, angles, whole);
    if (whole == count) return;
    double last_y[widest_lanes] = {}, last_x[widest_lanes] = {}, last[widest_lanes];
    std::copy(y + whole, y + count, last_y);
    std::copy(x + whole, x + count, last_x);
    chosen.atan2(last_y, last_x, last, chosen.lanes);
    std::copy(last, last + (count - whole), angles + whole);
}

}  // namespace vector_math

// angles[i] = atan2(y[i], x[i]) for i < count; `angles` may be `x` or `y`.
inline void atan2_of(const double* y, const double* x, double* angles, std::ptrdiff_t count) {
    vector_math::atan2_on(vector_math::path(), y, x, angles, count);
}

// cosines[i] = cos(angles[i]), sines[i] = sin(angles[i]) for i < count.
inline void cos_sin_of(const double* angles, double* cosines, double* sines, std::ptrdiff_t count) {
    vector_math::cos_sin_on(vector_math::path(), angles, cosines, sines, count);
}

// ---------------------------------------------------------------------------
// Element-wise trigonometry inside a kernel's loop
// ---------------------------------------------------------------------------
//
// A kernel that needs cos and sin (or atan2) of one value per element hands
// over how to get element i's value and what to do with the result; the
// values are gathered a block at a time, evaluated by one vector call per
// block, and handed back element by element, in index order.  `Trig` is the
// dtype the result is wanted in (float or double; see the note on float
// above).  All values of a block are read before the first result is used.

inline constexpr std::ptrdiff_t trig_block = 256;

// use(i, cos(angle_of(i)), sin(angle_of(i))) for i in [0, count).
template <class Trig, class AngleOf, class Use>
void for_each_cos_sin(std::ptrdiff_t count, AngleOf&& angle_of, Use&& use) {
    static_assert(std::is_floating_point_v<Trig>);
    double angles[trig_block], cosines[trig_block], sines[trig_block];
    for (std::ptrdiff_t first = 0; first < count; first += trig_block) {
        const std::ptrdiff_t in_block = std::min(trig_block, count - first);
        for (std::ptrdiff_t k = 0; k < in_block; ++k) angles[k] = static_cast<double>(Trig(angle_of(first + k)));
        cos_sin_of(angles, cosines, sines, in_block);
        for (std::ptrdiff_t k = 0; k < in_block; ++k)
            use(first + k, static_cast<Trig>(cosines[k]), static_cast<Trig>(sines[k]));
    }
}

// use(i, atan2(y, x)) for i in [0, count), where (y, x) = y_x_of(i).
template <class Trig, class YXOf, class Use>
void for_each_atan2(std::ptrdiff_t count, YXOf&& y_x_of, Use&& use) {
    static_assert(std::is_floating_point_v<Trig>);
    double y[trig_block], x[trig_block];
    for (std::ptrdiff_t first = 0; first < count; first += trig_block) {
        const std::ptrdiff_t in_block = std::min(trig_block, count - first);
        for (std::ptrdiff_t k = 0; k < in_block; ++k) {
            const auto [y_value, x_value] = y_x_of(first + k);
            y[k] = static_cast<double>(Trig(y_value));
            x[k] = static_cast<double>(Trig(x_value));
        }
        atan2_of(y, x, y, in_block);
        for (std::ptrdiff_t k = 0; k < in_block; ++k) use(first + k, static_cast<Trig>(y[k]));
    }
}

}  // namespace halvex::kernels
