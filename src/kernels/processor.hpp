// What the processor offers, asked once, and the attributes that compile a
// function for it.  Loops compiled twice (plainly and for a wider vector
// unit) pick their version with these at run time.
#pragma once

namespace halvex::kernels {

#if defined(__x86_64__) && defined(__GNUC__)
inline bool processor_has_avx2() {
    static const bool available = __builtin_cpu_supports("avx2");
    return available;
}
// GCC's check includes the operating system's support for the 512-bit state.
inline bool processor_has_avx512() {
    static const bool available = __builtin_cpu_supports("avx512f");
    return available;
}
#define HALVEX_FOR_AVX2 [[gnu::target("avx2")]]
#define HALVEX_FOR_AVX512 [[gnu::target("avx512f")]]
#else
inline bool processor_has_avx2() { return false; }
inline bool processor_has_avx512() { return false; }
#define HALVEX_FOR_AVX2
#define HALVEX_FOR_AVX512
#endif

}  // namespace halvex::kernels
