// The kernels built for the sse2 instruction set.
#define SIMD_LEVEL 1
#define SIMD_NAMESPACE sse2
#define SIMD_SET_NAME "sse2"
#include "kernels_impl.h"
