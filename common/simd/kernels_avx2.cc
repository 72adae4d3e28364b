// The kernels built for the avx2 instruction set.
#define SIMD_LEVEL 2
#define SIMD_NAMESPACE avx2
#define SIMD_SET_NAME "avx2"
#include "kernels_impl.h"
