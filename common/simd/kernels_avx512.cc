// The kernels built for the avx512 instruction set.
// GCC 12 takes the undefined lanes that some AVX-512 intrinsics start from
// (_mm512_undefined_epi32) for uninitialised reads.
#if defined(__GNUC__) && !defined(__clang__)
#pragma GCC diagnostic ignored "-Wmaybe-uninitialized"
#pragma GCC diagnostic ignored "-Wuninitialized"
#endif
#define SIMD_LEVEL 3
#define SIMD_NAMESPACE avx512
#define SIMD_SET_NAME "avx512"
#include "kernels_impl.h"
