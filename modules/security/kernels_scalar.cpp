// The portable kernel: plain C++ loops for any CPU and compiler.
#include "kernels.h"

#include <cstdint>

namespace cprotection {

// Encrypting byte p at position k: out = v[k] ^ p, then v[k] = p.  The
// loop reads and writes the vector's bytes in place: its only serial chain
// is the position (k ^= p), and a load that meets the store of the byte
// before is served from the store buffer, so bytes overlap where a vector
// held in a register would chain two operations per byte.  Eight bytes a
// step keep the loop's own bookkeeping out of the way.
std::ptrdiff_t encrypt_scalar(unsigned char vector[8], std::ptrdiff_t index,
                              const unsigned char *src, unsigned char *dst, std::ptrdiff_t n)
{
    std::uint64_t position = static_cast<std::uint64_t>(index);
    auto step = [&](std::ptrdiff_t i) {
        std::uint64_t plain = src[i];
        unsigned char *entry = vector + (position & 7);
        dst[i] = static_cast<unsigned char>(*entry ^ plain);
        *entry = static_cast<unsigned char>(plain);
        position ^= plain;
    };
    std::ptrdiff_t i = 0;
    for (; i + 8 <= n; i += 8) {
        step(i); step(i + 1); step(i + 2); step(i + 3);
        step(i + 4); step(i + 5); step(i + 6); step(i + 7);
    }
    for (; i < n; ++i) step(i);
    return static_cast<std::ptrdiff_t>(position & 7);
}

namespace {
struct PlainShifts {
    static std::uint64_t left(std::uint64_t x, std::uint64_t count) { return x << (count & 63); }
    static std::uint64_t right(std::uint64_t x, std::uint64_t count) { return x >> (count & 63); }
};
}  // namespace

// Counts are masked with 63, which x86-64 and AArch64 shifts do
// themselves, so each shift is one instruction.
std::ptrdiff_t decrypt_scalar(unsigned char vector[8], std::ptrdiff_t index,
                              const unsigned char *src, unsigned char *dst, std::ptrdiff_t n)
{
    return decrypt_loop<PlainShifts>(vector, index, src, dst, n);
}

namespace {
bool runs_everywhere() { return true; }
}  // namespace

const Kernel kScalarKernel = {"scalar", encrypt_scalar, decrypt_scalar, runs_everywhere, "nothing",
                             false};

}  // namespace cprotection
