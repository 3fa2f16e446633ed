// The x86-64 BMI2 kernel: a decryption loop built on shrx and shlx, with
// the portable encryption loop (which has no variable shifts to gain).
#include "kernels.h"

#if defined(CPROTECTION_X86_64)

#include <cstdint>

namespace cprotection {

namespace {
// shrx and shlx take their count from any register and leave the flags
// alone.
struct Bmi2Shifts {
    static CPROTECTION_ALWAYS_INLINE std::uint64_t left(std::uint64_t x, std::uint64_t count)
    {
        return shlx(x, count);
    }
    static CPROTECTION_ALWAYS_INLINE std::uint64_t right(std::uint64_t x, std::uint64_t count)
    {
        return shrx(x, count);
    }
};
}  // namespace

CPROTECTION_TARGET("bmi,bmi2") std::ptrdiff_t
decrypt_bmi2(unsigned char vector[8], std::ptrdiff_t index, const unsigned char *src,
             unsigned char *dst, std::ptrdiff_t n)
{
    return decrypt_loop<Bmi2Shifts>(vector, index, src, dst, n);
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
