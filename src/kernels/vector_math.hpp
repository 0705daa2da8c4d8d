// Element-wise math over arrays from a vector library, chosen by the processor.
//
// On x86-64 with glibc 2.35 or later (CMake defines HALVEX_HAS_LIBMVEC when it
// links libmvec), the loops call glibc's vector variants through the vector
// function ABI: AVX2 where the processor has it, SSE2 otherwise.  They are
// accurate to a few ulp, like the scalar functions.  Everywhere else the
// scalar function.
#pragma once

#include <cmath>
#include <cstddef>

#if defined(HALVEX_HAS_LIBMVEC) && defined(__x86_64__) && defined(__GNUC__)
#define HALVEX_LIBMVEC 1
#include <immintrin.h>
extern "C" __m128d _ZGVbN2vv_atan2(__m128d, __m128d);
extern "C" __m256d _ZGVdN4vv_atan2(__m256d, __m256d);
extern "C" __m128d _ZGVbN2v_cos(__m128d);
extern "C" __m256d _ZGVdN4v_cos(__m256d);
extern "C" __m128d _ZGVbN2v_sin(__m128d);
extern "C" __m256d _ZGVdN4v_sin(__m256d);
#endif

namespace halvex::kernels {

namespace vector_math {

#if defined(__x86_64__) && defined(__GNUC__)
inline bool processor_has_avx2() {
    static const bool available = __builtin_cpu_supports("avx2");
    return available;
}
#define HALVEX_FOR_AVX2 [[gnu::target("avx2")]]
#else
inline bool processor_has_avx2() { return false; }
#define HALVEX_FOR_AVX2
#endif

#ifdef HALVEX_LIBMVEC
// The elements left over go through the same vector function, padded, so
// that an element's result does not depend on where in the array it is.
HALVEX_FOR_AVX2 inline void atan2_avx2(const double* y, const double* x, double* angles, std::ptrdiff_t count) {
    std::ptrdiff_t i = 0;
    for (; i + 4 <= count; i += 4)
        _mm256_storeu_pd(angles + i, _ZGVdN4vv_atan2(_mm256_loadu_pd(y + i), _mm256_loadu_pd(x + i)));
    if (i == count) return;
    double last_y[4] = {}, last_x[4] = {}, last[4];
    for (std::ptrdiff_t k = 0; k < count - i; ++k) {
        last_y[k] = y[i + k];
        last_x[k] = x[i + k];
    }
    _mm256_storeu_pd(last, _ZGVdN4vv_atan2(_mm256_loadu_pd(last_y), _mm256_loadu_pd(last_x)));
    for (std::ptrdiff_t k = 0; k < count - i; ++k) angles[i + k] = last[k];
}
inline void atan2_sse2(const double* y, const double* x, double* angles, std::ptrdiff_t count) {
    std::ptrdiff_t i = 0;
    for (; i + 2 <= count; i += 2) _mm_storeu_pd(angles + i, _ZGVbN2vv_atan2(_mm_loadu_pd(y + i), _mm_loadu_pd(x + i)));
    if (i == count) return;
    double last[2];
    _mm_storeu_pd(last, _ZGVbN2vv_atan2(_mm_set_pd(0.0, y[i]), _mm_set_pd(0.0, x[i])));
    angles[i] = last[0];
}

HALVEX_FOR_AVX2 inline void cos_sin_avx2(const double* angles, double* cosines, double* sines, std::ptrdiff_t count) {
    std::ptrdiff_t i = 0;
    for (; i + 4 <= count; i += 4) {
        const __m256d angle = _mm256_loadu_pd(angles + i);
        _mm256_storeu_pd(cosines + i, _ZGVdN4v_cos(angle));
        _mm256_storeu_pd(sines + i, _ZGVdN4v_sin(angle));
    }
    if (i == count) return;
    double last_angles[4] = {}, last_cosines[4], last_sines[4];
    for (std::ptrdiff_t k = 0; k < count - i; ++k) last_angles[k] = angles[i + k];
    const __m256d angle = _mm256_loadu_pd(last_angles);
    _mm256_storeu_pd(last_cosines, _ZGVdN4v_cos(angle));
    _mm256_storeu_pd(last_sines, _ZGVdN4v_sin(angle));
    for (std::ptrdiff_t k = 0; k < count - i; ++k) {
        cosines[i + k] = last_cosines[k];
        sines[i + k] = last_sines[k];
    }
}
inline void cos_sin_sse2(const double* angles, double* cosines, double* sines, std::ptrdiff_t count) {
    std::ptrdiff_t i = 0;
    for (; i + 2 <= count; i += 2) {
        const __m128d angle = _mm_loadu_pd(angles + i);
        _mm_storeu_pd(cosines + i, _ZGVbN2v_cos(angle));
        _mm_storeu_pd(sines + i, _ZGVbN2v_sin(angle));
    }
    if (i == count) return;
    const __m128d angle = _mm_set_pd(0.0, angles[i]);
    double last[2];
    _mm_storeu_pd(last, _ZGVbN2v_cos(angle));
    cosines[i] = last[0];
    _mm_storeu_pd(last, _ZGVbN2v_sin(angle));
    sines[i] = last[0];
}
#endif

}  // namespace vector_math

// angles[i] = atan2(y[i], x[i]) for i < count; `angles` may be `x` or `y`.
inline void atan2_of(const double* y, const double* x, double* angles, std::ptrdiff_t count) {
#ifdef HALVEX_LIBMVEC
    if (vector_math::processor_has_avx2())
        vector_math::atan2_avx2(y, x, angles, count);
    else
        vector_math::atan2_sse2(y, x, angles, count);
#else
    for (std::ptrdiff_t i = 0; i < count; ++i) angles[i] = std::atan2(y[i], x[i]);
#endif
}

}  // namespace halvex::kernels

namespace halvex::kernels {

// cosines[i] = cos(angles[i]), sines[i] = sin(angles[i]) for i < count.
inline void cos_sin_of(const double* angles, double* cosines, double* sines, std::ptrdiff_t count) {
#ifdef HALVEX_LIBMVEC
    if (vector_math::processor_has_avx2())
        vector_math::cos_sin_avx2(angles, cosines, sines, count);
    else
        vector_math::cos_sin_sse2(angles, cosines, sines, count);
#else
    for (std::ptrdiff_t i = 0; i < count; ++i) {
        cosines[i] = std::cos(angles[i]);
        sines[i] = std::sin(angles[i]);
    }
#endif
}

}  // namespace halvex::kernels
