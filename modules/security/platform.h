// What differs between compilers and CPUs, in one place: attribute
// spellings, the target architecture, CPU feature tests and byte order.
// Includes nothing from Python, like the kernels that use it.
#ifndef KOVRIN_CPROTECTION_PLATFORM_H
#define KOVRIN_CPROTECTION_PLATFORM_H

#include <cstdint>

#if defined(__x86_64__) || defined(_M_X64)
#define CPROTECTION_X86_64 1
#elif (defined(__aarch64__) && !defined(__AARCH64EB__)) || defined(_M_ARM64)
// Little-endian only: the NEON kernel shifts bytes within 64-bit lanes.
#define CPROTECTION_AARCH64 1
#endif

#if defined(_MSC_VER) && !defined(__clang__)
// MSVC lets any function use any instruction set's intrinsics, so it needs
// no per-function target.
#define CPROTECTION_ALWAYS_INLINE __forceinline
#define CPROTECTION_NOINLINE __declspec(noinline)
#define CPROTECTION_TARGET(features)
#else
#define CPROTECTION_ALWAYS_INLINE __attribute__((always_inline)) inline
#define CPROTECTION_NOINLINE __attribute__((noinline))
#define CPROTECTION_TARGET(features) __attribute__((target(features)))
#endif

#if defined(CPROTECTION_X86_64)
#if defined(_MSC_VER)
#include <intrin.h>
#else
#include <cpuid.h>
#endif
#endif

namespace cprotection {

// A direction's vector as one word, entry k at bits 8k.  Written byte by
// byte so that it means the same on hosts of either byte order; compilers
// turn it into one load or store (with a byte swap on big-endian hosts).
inline std::uint64_t load_vector(const unsigned char vector[8])
{
    std::uint64_t word = 0;
    for (int k = 0; k < 8; ++k) word |= std::uint64_t{vector[k]} << (8 * k);
    return word;
}

inline void store_vector(unsigned char vector[8], std::uint64_t word)
{
    for (int k = 0; k < 8; ++k) vector[k] = static_cast<unsigned char>(word >> (8 * k));
}

#if defined(CPROTECTION_X86_64)
struct CpuidRegisters {
    std::uint32_t eax, ebx, ecx, edx;
};

inline CpuidRegisters cpuid(std::uint32_t leaf, std::uint32_t subleaf)
{
    CpuidRegisters r{};
#if defined(_MSC_VER)
    int out[4];
    __cpuidex(out, static_cast<int>(leaf), static_cast<int>(subleaf));
    r = {static_cast<std::uint32_t>(out[0]), static_cast<std::uint32_t>(out[1]),
         static_cast<std::uint32_t>(out[2]), static_cast<std::uint32_t>(out[3])};
#else
    __cpuid_count(leaf, subleaf, r.eax, r.ebx, r.ecx, r.edx);
#endif
    return r;
}

// The register states the operating system saves across context switches;
// only meaningful once cpuid reports OSXSAVE.
inline std::uint64_t xgetbv0()
{
#if defined(_MSC_VER)
    return _xgetbv(0);
#else
    std::uint32_t low, high;
    __asm__ volatile("xgetbv" : "=a"(low), "=d"(high) : "c"(0));
    return (std::uint64_t{high} << 32) | low;
#endif
}

// x >> (count & 63) and x << (count & 63) as one shrx or shlx each, for
// code compiled for BMI2.  GCC and Clang get the instruction spelt out, so
// no masking of the count lands on a serial chain; MSVC, which emits no
// BMI2 instruction for a plain shift, gets its intrinsic (the instruction
// masks the count itself).
CPROTECTION_ALWAYS_INLINE std::uint64_t shrx(std::uint64_t x, std::uint64_t count)
{
#if defined(_MSC_VER)
    return _shrx_u64(x, static_cast<unsigned int>(count));
#else
    std::uint64_t result;
    __asm__("shrx %2, %1, %0" : "=r"(result) : "r"(x), "r"(count));
    return result;
#endif
}

CPROTECTION_ALWAYS_INLINE std::uint64_t shlx(std::uint64_t x, std::uint64_t count)
{
#if defined(_MSC_VER)
    return _shlx_u64(x, static_cast<unsigned int>(count));
#else
    std::uint64_t result;
    __asm__("shlx %2, %1, %0" : "=r"(result) : "r"(x), "r"(count));
    return result;
#endif
}

// What the transform kernels need to know of an x86-64 CPU and its OS.
struct X86Features {
    bool bmi1 = false, bmi2 = false;
    bool avx2 = false;  // with the OS saving the 256-bit registers
};

inline X86Features detect_x86_features()
{
    X86Features f;
    // Leaf 7 holds the feature bits; a CPU without it has none of them.  AVX2
    // also needs the OS to save the 256-bit registers on a context switch.
    if (cpuid(0, 0).eax < 7) return f;
    bool osxsave = cpuid(1, 0).ecx & (1u << 27);
    bool os_ymm = osxsave && (xgetbv0() & 0x6) == 0x6;  // SSE and AVX state
    CpuidRegisters extended = cpuid(7, 0);
    f.bmi1 = extended.ebx & (1u << 3);
    f.bmi2 = extended.ebx & (1u << 8);
    f.avx2 = os_ymm && (extended.ebx & (1u << 5));
    return f;
}

#endif

}  // namespace cprotection

#endif  // KOVRIN_CPROTECTION_PLATFORM_H
