// The transforms' byte loops ("kernels"), one set per instruction set.
// Nothing here depends on Python, so a plain C++ program can check every
// kernel against the byte-by-byte rules and time it.
//
// The rules, for one direction's eight-byte vector v and position k:
//   encrypt  p -> c = v[k] ^ p,  then v[k] = p, k ^= p & 7
//   decrypt  c -> p = v[k] ^ c,  then v[k] = p, k ^= p & 7
#ifndef KOVRIN_CPROTECTION_KERNELS_H
#define KOVRIN_CPROTECTION_KERNELS_H

#include <cstddef>
#include <cstdint>
#include <span>

#include "platform.h"

namespace cprotection {

// Transforms n bytes from src into dst, which may be the same buffer (but
// must not otherwise overlap it), advancing `vector` in place.  Only the
// low three bits of `index` are read; returns the new position, 0..7.
using KernelFunction = std::ptrdiff_t (*)(unsigned char vector[8], std::ptrdiff_t index,
                                          const unsigned char *src, unsigned char *dst,
                                          std::ptrdiff_t n);

struct Kernel {
    const char *name;
    KernelFunction encrypt;
    KernelFunction decrypt;
    // Whether this CPU, and its operating system, run every instruction the
    // kernel uses.
    bool (*cpu_runs)();
    const char *needs;  // what cpu_runs() looks for, for people
    // The encrypt function loads a whole block before storing it, so it is
    // as fast writing into a separate buffer as in place: long inputs need
    // no copy into the result first.
    bool encrypt_out_of_place;
};

// Decryption keeps, beside the vector word v, a word m whose byte j holds
// j ^ (v[j] & 7) at bits 3..5: the next position from j before the
// ciphertext's share, already as a bit offset.  A byte c's share, (c & 7)
// << 3, XORed into every byte of m, leaves byte k holding the next bit
// offset, so one right shift of m ^ kDecryptSteps.every_byte[c] by the
// current offset yields the next one (in the low six bits, which are all a
// shift's count uses).  m itself changes by step[c] at byte k.
struct DecryptSteps {
    std::uint64_t every_byte[256];
    unsigned char step[256];
};

constexpr DecryptSteps build_decrypt_steps()
{
    DecryptSteps steps{};
    for (unsigned c = 0; c < 256; ++c) {
        steps.step[c] = static_cast<unsigned char>((c & 7) << 3);
        steps.every_byte[c] = steps.step[c] * std::uint64_t{0x0101010101010101};
    }
    return steps;
}

inline constexpr DecryptSteps kDecryptSteps = build_decrypt_steps();

// m for the vector word v.
constexpr std::uint64_t decrypt_moves(std::uint64_t word)
{
    return ((word & 0x0707070707070707) ^ 0x0706050403020100) << 3;
}

// Decrypting byte c at position k: p = v[k] ^ c, then v[k] = p, which is
// v ^= c << 8k, so the output is byte k of the updated vector.  The serial
// chain is the bit offset 8k: a shift of m (see DecryptSteps) and, from the
// byte before, its update of m.  Shifts::left and Shifts::right shift by
// their count's low six bits, so the offset's higher bits never need
// clearing.
template <typename Shifts>
CPROTECTION_ALWAYS_INLINE std::ptrdiff_t decrypt_loop(unsigned char vector[8], std::ptrdiff_t index,
                                                      const unsigned char *src, unsigned char *dst,
                                                      std::ptrdiff_t n)
{
    std::uint64_t word = load_vector(vector);
    std::uint64_t moves = decrypt_moves(word);
    std::uint64_t shift = static_cast<std::uint64_t>(index & 7) << 3;
    auto step = [&](std::ptrdiff_t i) {
        std::uint64_t cipher = src[i];
        std::uint64_t query = moves ^ kDecryptSteps.every_byte[cipher];
        word ^= Shifts::left(cipher, shift);
        dst[i] = static_cast<unsigned char>(Shifts::right(word, shift));
        moves ^= Shifts::left(kDecryptSteps.step[cipher], shift);
        shift = Shifts::right(query, shift);
    };
    std::ptrdiff_t i = 0;
    for (; i + 4 <= n; i += 4) {
        step(i); step(i + 1); step(i + 2); step(i + 3);
    }
    for (; i < n; ++i) step(i);
    store_vector(vector, word);
    return static_cast<std::ptrdiff_t>((shift >> 3) & 7);
}

// The portable loops: every kernel falls back to them for short inputs.
std::ptrdiff_t encrypt_scalar(unsigned char vector[8], std::ptrdiff_t index,
                              const unsigned char *src, unsigned char *dst, std::ptrdiff_t n);
std::ptrdiff_t decrypt_scalar(unsigned char vector[8], std::ptrdiff_t index,
                              const unsigned char *src, unsigned char *dst, std::ptrdiff_t n);

extern const Kernel kScalarKernel;
#if defined(CPROTECTION_X86_64)
std::ptrdiff_t decrypt_bmi2(unsigned char vector[8], std::ptrdiff_t index,
                            const unsigned char *src, unsigned char *dst, std::ptrdiff_t n);
extern const Kernel kBmi2Kernel;
extern const Kernel kAvx2Kernel;
#elif defined(CPROTECTION_AARCH64)
extern const Kernel kNeonKernel;
#endif

// Every kernel built for this target, fastest first; the last one, the
// portable kernel, runs everywhere.
inline std::span<const Kernel *const> built_kernels()
{
    static constexpr const Kernel *kernels[] = {
#if defined(CPROTECTION_X86_64)
        &kAvx2Kernel,
        &kBmi2Kernel,
#elif defined(CPROTECTION_AARCH64)
        &kNeonKernel,
#endif
        &kScalarKernel,
    };
    return kernels;
}

// The first kernel of the list that this CPU runs.
// The scalar kernel runs everywhere, so the last return is never reached.
inline const Kernel &best_kernel()
{
    for (const Kernel *kernel : built_kernels()) {
        if (kernel->cpu_runs()) return *kernel;
    }
    return kScalarKernel;
}

}  // namespace cprotection

#endif  // KOVRIN_CPROTECTION_KERNELS_H
