#include <atomic>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <iterator>

#include "kernels.h"

namespace simd {

namespace scalar {
extern const Kernels kernels;
}
#if defined(__x86_64__)
namespace sse2 {
extern const Kernels kernels;
}
namespace avx2 {
extern const Kernels kernels;
}
namespace avx512 {
extern const Kernels kernels;
}
namespace avx512vbmi2 {
extern const Kernels kernels;
}
#endif

namespace {

const Kernels* best() {
    for (int i = static_cast<int>(std::size(allSets)) - 1; i > 0; --i)
        if (supported(allSets[i])) return &kernelsFor(allSets[i]);
    return &scalar::kernels;
}

// Set once, by the first call or by useKernels; threads may race to set it
// to the same kernels.
std::atomic<const Kernels*> active{nullptr};

}  // namespace

const char* setName(Set set) {
    switch (set) {
        case Set::Sse2:
            return "sse2";
        case Set::Avx2:
            return "avx2";
        case Set::Avx512:
            return "avx512";
        case Set::Avx512Vbmi2:
            return "avx512vbmi2";
        default:
            return "scalar";
    }
}

bool supported(Set set) {
#if defined(__x86_64__)
    __builtin_cpu_init();
    switch (set) {
        case Set::Scalar:
        case Set::Sse2:
            return true;
        case Set::Avx2:
            return __builtin_cpu_supports("avx2");
        case Set::Avx512:
            return __builtin_cpu_supports("avx512bw");
        case Set::Avx512Vbmi2:
            return __builtin_cpu_supports("avx512bw") && __builtin_cpu_supports("avx512vbmi") &&
                   __builtin_cpu_supports("avx512vbmi2");
    }
    return false;
#else
    return set == Set::Scalar;
#endif
}

const Kernels& kernelsFor(Set set) {
#if defined(__x86_64__)
    switch (set) {
        case Set::Sse2:
            return sse2::kernels;
        case Set::Avx2:
            return avx2::kernels;
        case Set::Avx512:
            return avx512::kernels;
        case Set::Avx512Vbmi2:
            return avx512vbmi2::kernels;
        default:
            break;
    }
#else
    (void)set;
#endif
    return scalar::kernels;
}

const Kernels& kernels() {
    const Kernels* k = active.load(std::memory_order_acquire);
    if (!k) {
        k = best();
        active.store(k, std::memory_order_release);
    }
    return *k;
}

void useKernels(Set set) {
    active.store(&kernelsFor(set), std::memory_order_release);
}

const char* selectFromEnvironment() {
    static char message[160];
    const char* wanted = std::getenv("KMERTOOLS_SIMD");
    if (!wanted || !*wanted) return nullptr;
    for (Set set : allSets) {
        if (std::strcmp(wanted, setName(set)) != 0) continue;
        if (!supported(set)) {
            std::snprintf(message, sizeof message,
                          "KMERTOOLS_SIMD=%s: this CPU or build does not support %s", wanted,
                          wanted);
            return message;
        }
        useKernels(set);
        return nullptr;
    }
    std::snprintf(message, sizeof message,
                  "KMERTOOLS_SIMD=%.40s: unknown instruction set (scalar, sse2, avx2, avx512, "
                  "avx512vbmi2)",
                  wanted);
    return message;
}

}  // namespace simd
