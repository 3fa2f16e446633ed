// The x86-64 BMI2 kernel: a decryption loop built on shrx and shlx, with
// the portable encryption loop (which has no variable shifts to gain).
#include "kernels.h"

#if defined(CPROTECTION_X86_64)

#include <cstdint>

namespace cprotection {

// The portable loop with shrx and shlx, which take their count from any
// register and leave the flags alone.
CPROTECTION_TARGET("bmi,bmi2") std::ptrdiff_t
decrypt_bmi2(unsigned char vector[8], std::ptrdiff_t index, const unsigned char *src,
             unsigned char *dst, std::ptrdiff_t n)
{
    std::uint64_t word = load_vector(vector);
    std::uint64_t moves = decrypt_moves(word);
    std::uint64_t shift = static_cast<std::uint64_t>(index & 7) << 3;
    auto step = [&](std::ptrdiff_t i) {
        std::uint64_t cipher = src[i];
        std::uint64_t query = moves ^ kDecryptSteps.every_byte[cipher];
        word ^= shlx(cipher, shift);
        dst[i] = static_cast<unsigned char>(shrx(word, shift));
        moves ^= shlx(kDecryptSteps.step[cipher], shift);
        shift = shrx(query, shift);
    };
    std::ptrdiff_t i = 0;
    for (; i + 4 <= n; i += 4) {
        step(i); step(i + 1); step(i + 2); step(i + 3);
    }
    for (; i < n; ++i) step(i);
    store_vector(vector, word);
    return static_cast<std::ptrdiff_t>((shift >> 3) & 7);
}

namespace {
bool cpu_has_bmi2()
{
    X86Features features = detect_x86_features();
    return features.bmi1 && features.bmi2;
}
}  // namespace

const Kernel kBmi2Kernel = {"bmi2", encrypt_scalar, decrypt_bmi2, cpu_has_bmi2, "BMI1 and BMI2",
                           false};

}  // namespace cprotection

#endif
