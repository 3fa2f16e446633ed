// The AArch64 NEON kernel: encryption eight bytes a group with TBL as the
// byte shuffle (group_tables.h explains the shape), and the portable
// decryption loop.  NEON is part of every AArch64 CPU.
#include "kernels.h"

#if defined(CPROTECTION_AARCH64)

#include <arm_neon.h>

#include <cstdint>

#include "group_tables.h"

namespace cprotection {

namespace {

constexpr GroupTables kTables = build_group_tables();

// Two groups a step; the byte loop below that.
constexpr std::ptrdiff_t kStep = 16;

// TBL gives zero for an out-of-range index.
constexpr unsigned char z = 0xff;

struct GroupConstants {
    // For a group at bytes 0..7 of `frames` and `whole`, then at 8..15:
    // [0 x4 | x4 x4 | x8 x8] and [0 x8 | x4' x8].
    unsigned char select_all[2][16];
    unsigned char select_second[2][16];
    // Bytes 0..3 read the first half's own codes, bytes 4..7 (s_i from the
    // second table, ^ x4) the last first-half byte at their position, bytes
    // 8..15 that at the next frame's position r ^ x8.
    unsigned char first_view[16];
    unsigned char second_positions[16];  // where first_view takes the second table's bytes
    // Bytes 4..7 read the second half's own hits, bytes 8..15 its last byte
    // at the next frame's position, r ^ x4' in byte 4's frame.
    unsigned char second_view[16];
    // Entry m of the vector is working entry m ^ k, the working vector in
    // bytes 8..15.
    unsigned char identity[16];
};

alignas(16) constexpr GroupConstants kConstants = {
    {{z, z, z, z, 3, 3, 3, 3, 7, 7, 7, 7, 7, 7, 7, 7},
     {z, z, z, z, 11, 11, 11, 11, 15, 15, 15, 15, 15, 15, 15, 15}},
    {{z, z, z, z, z, z, z, z, 7, 7, 7, 7, 7, 7, 7, 7},
     {z, z, z, z, z, z, z, z, 15, 15, 15, 15, 15, 15, 15, 15}},
    {8, 9, 10, 11, 0, 0, 0, 0, 0, 1, 2, 3, 4, 5, 6, 7},
    {0, 0, 0, 0, 0xff, 0xff, 0xff, 0xff, 0, 0, 0, 0, 0, 0, 0, 0},
    {z, z, z, z, 0, 1, 2, 3, 8, 9, 10, 11, 12, 13, 14, 15},
    {0, 1, 2, 3, 4, 5, 6, 7, 0, 1, 2, 3, 4, 5, 6, 7},
};

// Table indices of bytes 0..2 and bytes 4..6 of the group in `word`, as
// l0 | l1 << 3 | l2 << 6 each: pairs of bytes' low bits packed into six
// bits, then pairs of those into twelve.
inline void table_indices(std::uint64_t word, unsigned &first, unsigned &second)
{
    std::uint64_t low = word & 0x0707070707070707;
    low = (low | low >> 5) & 0x003f003f003f003f;
    low |= low >> 10;
    first = static_cast<unsigned>(low & 0x1ff);
    second = static_cast<unsigned>((low >> 32) & 0x1ff);
}

// The sixteen codes of group `half` (0 or 1) of the step.
template <int half>
uint8x16_t group_codes(std::uint64_t word, uint8x16_t frames, uint8x16_t whole)
{
    unsigned first_index, second_index;
    table_indices(word, first_index, second_index);
    uint8x16_t first = vld1q_u8(kTables.first_half[first_index]);
    uint8x16_t second = vld1q_u8(kTables.second_half[second_index]);
    uint8x16_t shift_all = vqtbl1q_u8(whole, vld1q_u8(kConstants.select_all[half]));
    uint8x16_t shift_second = vqtbl1q_u8(frames, vld1q_u8(kConstants.select_second[half]));
    uint8x16_t first_view =
        vbslq_u8(vld1q_u8(kConstants.second_positions), second, vld1q_u8(kConstants.first_view));
    uint8x16_t from_first = vqtbl1q_u8(first, veorq_u8(shift_all, first_view));
    uint8x16_t from_second = vqtbl1q_u8(second, veorq_u8(shift_second, vld1q_u8(kConstants.second_view)));
    return vmaxq_u8(from_first, from_second);
}

std::ptrdiff_t encrypt_neon(unsigned char vector[8], std::ptrdiff_t index, const unsigned char *src,
                            unsigned char *dst, std::ptrdiff_t n)
{
    if (n < kStep) return encrypt_scalar(vector, index, src, dst, n);
    const uint8x16_t identity = vld1q_u8(kConstants.identity);
    // The working vector lives in bytes 8..15 of `shuffled`.
    uint8x16_t entries = vcombine_u8(vdup_n_u8(0), vld1_u8(vector));
    uint8x16_t shuffled = vqtbl1q_u8(
        entries, vaddq_u8(veorq_u8(identity, vdupq_n_u8(static_cast<std::uint8_t>(index & 7))), vdupq_n_u8(8)));
    uint8x16_t all_low = vdupq_n_u8(0);
    std::ptrdiff_t offset = 0;
    for (; n - offset >= kStep; offset += kStep) {
        uint8x16_t plain = vld1q_u8(src + offset);
        uint8x16_t low = vandq_u8(plain, vdupq_n_u8(7));
        all_low = veorq_u8(all_low, low);
        uint64x2_t frames = vreinterpretq_u64_u8(low);
        frames = veorq_u64(frames, vshlq_n_u64(frames, 8));
        frames = veorq_u64(frames, vshlq_n_u64(frames, 16));
        uint64x2_t whole = veorq_u64(frames, vshlq_n_u64(frames, 32));
        uint8x16_t codes0 = group_codes<0>(load_vector(src + offset), vreinterpretq_u8_u64(frames),
                                           vreinterpretq_u8_u64(whole));
        uint8x16_t codes1 = group_codes<1>(load_vector(src + offset + 8), vreinterpretq_u8_u64(frames),
                                           vreinterpretq_u8_u64(whole));
        // S = [working vector | group bytes]; its shuffle by the codes holds
        // the output partners low and the next working vector high.
        uint8x16_t result0 = vqtbl1q_u8(vextq_u8(shuffled, plain, 8), codes0);
        uint8x16_t result1 = vqtbl1q_u8(
            vreinterpretq_u8_u64(vzip2q_u64(vreinterpretq_u64_u8(result0), vreinterpretq_u64_u8(plain))), codes1);
        shuffled = result1;
        uint8x16_t partners =
            vreinterpretq_u8_u64(vzip1q_u64(vreinterpretq_u64_u8(result0), vreinterpretq_u64_u8(result1)));
        vst1q_u8(dst + offset, veorq_u8(plain, partners));
    }
    std::uint64_t folded = vgetq_lane_u64(vreinterpretq_u64_u8(all_low), 0) ^
                           vgetq_lane_u64(vreinterpretq_u64_u8(all_low), 1);
    folded ^= folded >> 32;
    folded ^= folded >> 16;
    folded ^= folded >> 8;
    auto end = static_cast<std::uint8_t>((static_cast<std::uint64_t>(index) ^ folded) & 7);
    // Back from the last frame: entry m is working entry m ^ end.
    uint8x16_t restored =
        vqtbl1q_u8(shuffled, vaddq_u8(veorq_u8(identity, vdupq_n_u8(end)), vdupq_n_u8(8)));
    vst1_u8(vector, vget_low_u8(restored));
    return encrypt_scalar(vector, end, src + offset, dst + offset, n - offset);
}

bool runs_on_every_aarch64() { return true; }

}  // namespace

const Kernel kNeonKernel = {"neon", encrypt_neon, decrypt_scalar, runs_on_every_aarch64,
                           "nothing beyond AArch64", true};

}  // namespace cprotection

#endif
