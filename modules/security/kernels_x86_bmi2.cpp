// The x86-64 BMI2 kernel: a decryption loop built on shrx and shlx, with
// the portable encryption loop (which has no variable shifts to gain).
#include "kernels.h"

#if defined(CPROTECTION_X86_64)

#include <cstdint>

namespace cprotection {

// Decryption's chain is serial: the next index needs the byte just
// computed.  Beside the vector word, a second word keeps only each entry's
// low three bits, already moved to bits 3..5 of its byte, so the next bit
// offset is one shrx and two xors away.  shrx and shlx use only the
// count's low six bits, which spares masking `shift` on the chain.
CPROTECTION_TARGET("bmi,bmi2") std::ptrdiff_t
decrypt_bmi2(unsigned char vector[8], std::ptrdiff_t index, const unsigned char *src,
             unsigned char *dst, std::ptrdiff_t n)
{
    std::uint64_t word = load_vector(vector);
    std::uint64_t steps = (word & 0x0707070707070707) << 3;
    std::uint64_t shift = static_cast<std::uint64_t>(index & 7) << 3;
    for (std::ptrdiff_t i = 0; i < n; ++i) {
        std::uint64_t cipher = src[i];
        std::uint64_t cipher_step = (cipher & 7) << 3;
        std::uint64_t lane = shrx(word, shift);
        std::uint64_t lane_step = shrx(steps, shift);
        dst[i] = static_cast<unsigned char>(lane ^ cipher);
        word ^= shlx(cipher, shift);
        steps ^= shlx(cipher_step, shift);
        std::uint64_t next = shift ^ cipher_step;
        CPROTECTION_KEEP_ORDER(next);
        shift = next ^ lane_step;
    }
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
