// The x86-64 AVX2 kernel: encryption eight bytes a group with byte
// shuffles (group_tables.h explains the shape), the codes of two groups
// per 256-bit instruction and the chain from group to group in 128-bit
// ones; and the BMI2 decryption loop.  Nothing in this unit may use
// AVX-512: a test checks its object file.  Every exit of code here that
// uses a 256-bit register clears their upper halves: a test checks the
// built extension.
#include "kernels.h"

#if defined(CPROTECTION_X86_64)

#include <immintrin.h>

#include <cstdint>

#include "group_tables.h"

namespace cprotection {

namespace {

constexpr GroupTables kTables = build_group_tables();

// Four groups a step; a last step of two, then the byte loop below that.
constexpr std::ptrdiff_t kStep = 32;
constexpr std::ptrdiff_t kHalfStep = 16;

#define CPROTECTION_AVX2_TARGET CPROTECTION_TARGET("avx2,bmi,bmi2")

// The table entry at a byte offset, index * 16.
inline __m128i table_entry(const unsigned char (&table)[512][16], std::uint32_t offset)
{
    return _mm_load_si128(reinterpret_cast<const __m128i *>(&table[0][0] + offset));
}

// Two groups' entries of a table, one per 128-bit half, at the offsets in
// the low 32 bits of `low` and `high`.
CPROTECTION_AVX2_TARGET CPROTECTION_ALWAYS_INLINE __m256i
table_entries(const unsigned char (&table)[512][16], std::uint64_t low, std::uint64_t high)
{
    return _mm256_inserti128_si256(_mm256_castsi128_si256(table_entry(table, static_cast<std::uint32_t>(low))),
                                   table_entry(table, static_cast<std::uint32_t>(high)), 1);
}

// A byte vector of two 16-byte halves with the same content.
CPROTECTION_AVX2_TARGET CPROTECTION_ALWAYS_INLINE __m256i
twice(char b0, char b1, char b2, char b3, char b4, char b5, char b6, char b7, char b8, char b9,
      char b10, char b11, char b12, char b13, char b14, char b15)
{
    return _mm256_setr_epi8(b0, b1, b2, b3, b4, b5, b6, b7, b8, b9, b10, b11, b12, b13, b14, b15, b0,
                            b1, b2, b3, b4, b5, b6, b7, b8, b9, b10, b11, b12, b13, b14, b15);
}

// The table offsets of two groups: of the entries for bytes 0..2 in the
// low 32 bits, for bytes 4..6 in the high 32 bits.
struct GroupOffsets {
    std::uint64_t low_group, high_group;
};

// The codes of two groups, one per 128-bit half; their bytes start at
// byte `low_at` of the low half of `frames` and `whole`, and at `high_at`
// of the high half.  `frames` holds the prefix XOR of the low bits within
// each half-group (byte 3: x4, byte 7: x4'), `whole` that over each group
// (byte 7: x8).
template <char low_at, char high_at>
CPROTECTION_AVX2_TARGET CPROTECTION_ALWAYS_INLINE __m256i
group_codes(__m256i frames, __m256i whole, GroupOffsets offsets)
{
    constexpr char z = static_cast<char>(0x80), l3 = low_at + 3, l7 = low_at + 7, h3 = high_at + 3,
                   h7 = high_at + 7;
    // [0 x4 | x4 x4 | x8 x8] and [0 x8 | x4' x8].
    const __m256i select_all = _mm256_setr_epi8(z, z, z, z, l3, l3, l3, l3, l7, l7, l7, l7, l7, l7, l7, l7,
                                                z, z, z, z, h3, h3, h3, h3, h7, h7, h7, h7, h7, h7, h7, h7);
    const __m256i select_second = _mm256_setr_epi8(z, z, z, z, z, z, z, z, l7, l7, l7, l7, l7, l7, l7, l7,
                                                   z, z, z, z, z, z, z, z, h7, h7, h7, h7, h7, h7, h7, h7);
    // First-half view: bytes 0..3 read the first half's own codes, bytes
    // 4..7 (s_i from the second table, ^ x4) the last first-half byte at
    // their position, bytes 8..15 that at the next frame's position r ^ x8.
    const __m256i first_view = twice(8, 9, 10, 11, 0, 0, 0, 0, 0, 1, 2, 3, 4, 5, 6, 7);
    // Second-half view: bytes 4..7 its own hits, bytes 8..15 its last byte
    // at the next frame's position, r ^ x4' in byte 4's frame.
    const __m256i second_view = twice(z, z, z, z, 0, 1, 2, 3, 8, 9, 10, 11, 12, 13, 14, 15);

    __m256i first = table_entries(kTables.first_half, offsets.low_group, offsets.high_group);
    __m256i second = table_entries(kTables.second_half, offsets.low_group >> 32, offsets.high_group >> 32);
    __m256i first_index = _mm256_xor_si256(_mm256_shuffle_epi8(whole, select_all),
                                           _mm256_blend_epi32(first_view, second, 0x22));
    __m256i second_index = _mm256_xor_si256(_mm256_shuffle_epi8(frames, select_second), second_view);
    return _mm256_max_epu8(_mm256_shuffle_epi8(first, first_index), _mm256_shuffle_epi8(second, second_index));
}

// The low bits of 16 or 32 bytes, and their prefix XORs within each
// half-group and each group.
struct LowBits {
    __m256i low, frames, whole;
};

CPROTECTION_AVX2_TARGET CPROTECTION_ALWAYS_INLINE LowBits low_bits_of(__m256i bytes)
{
    LowBits bits;
    bits.low = _mm256_and_si256(bytes, _mm256_set1_epi8(7));
    bits.frames = _mm256_xor_si256(bits.low, _mm256_slli_epi64(bits.low, 8));
    bits.frames = _mm256_xor_si256(bits.frames, _mm256_slli_epi64(bits.frames, 16));
    bits.whole = _mm256_xor_si256(bits.frames, _mm256_slli_epi64(bits.frames, 32));
    return bits;
}

// Table offsets (index * 16) of bytes 0..2 and bytes 4..6 of each group,
// one per 32-bit lane.
CPROTECTION_AVX2_TARGET CPROTECTION_ALWAYS_INLINE __m256i table_offsets(__m256i low)
{
    __m256i pairs = _mm256_maddubs_epi16(low, twice(1, 8, 1, 0, 1, 8, 1, 0, 1, 8, 1, 0, 1, 8, 1, 0));
    return _mm256_madd_epi16(pairs, _mm256_setr_epi16(16, 1024, 16, 1024, 16, 1024, 16, 1024, 16, 1024, 16,
                                                      1024, 16, 1024, 16, 1024));
}

CPROTECTION_AVX2_TARGET CPROTECTION_ALWAYS_INLINE std::uint64_t first_word(__m128i words)
{
    return static_cast<std::uint64_t>(_mm_cvtsi128_si64(words));
}

CPROTECTION_AVX2_TARGET CPROTECTION_ALWAYS_INLINE std::uint64_t second_word(__m128i words)
{
    return static_cast<std::uint64_t>(_mm_extract_epi64(words, 1));
}

// Two groups through the chain: S = [working vector | group bytes]; its
// shuffle by a group's codes holds the output partners low and the next
// working vector high.
CPROTECTION_AVX2_TARGET CPROTECTION_ALWAYS_INLINE void
encrypt_two_groups(__m128i &shuffled, __m128i plain, __m128i codes0, __m128i codes1, unsigned char *dst)
{
    __m128i result0 = _mm_shuffle_epi8(_mm_alignr_epi8(plain, shuffled, 8), codes0);
    __m128i result1 = _mm_shuffle_epi8(_mm_unpackhi_epi64(result0, plain), codes1);
    shuffled = result1;
    __m128i partners = _mm_unpacklo_epi64(result0, result1);
    _mm_storeu_si128(reinterpret_cast<__m128i *>(dst), _mm_xor_si128(plain, partners));
}

CPROTECTION_AVX2_TARGET CPROTECTION_NOINLINE std::ptrdiff_t
encrypt_avx2_groups(unsigned char vector[8], std::ptrdiff_t index, const unsigned char *src,
                    unsigned char *dst, std::ptrdiff_t n)
{
    const char z = static_cast<char>(0x80);
    const __m128i identity = _mm_setr_epi8(0, 1, 2, 3, 4, 5, 6, 7, 0, 1, 2, 3, 4, 5, 6, 7);
    auto start = static_cast<char>(index & 7);
    // The working vector lives in the high half of `shuffled`.
    __m128i entries = _mm_loadl_epi64(reinterpret_cast<const __m128i *>(vector));
    __m128i shuffled = _mm_shuffle_epi8(
        entries, _mm_or_si128(_mm_xor_si128(identity, _mm_set1_epi8(start)),
                              _mm_setr_epi8(z, z, z, z, z, z, z, z, 0, 0, 0, 0, 0, 0, 0, 0)));
    __m256i all_low = _mm256_setzero_si256();
    std::ptrdiff_t offset = 0;
    for (; n - offset >= kStep; offset += kStep) {
        __m256i plain = _mm256_loadu_si256(reinterpret_cast<const __m256i *>(src + offset));
        LowBits bits = low_bits_of(plain);
        all_low = _mm256_xor_si256(all_low, bits.low);
        __m256i offsets = table_offsets(bits.low);
        __m128i offsets_low = _mm256_castsi256_si128(offsets), offsets_high = _mm256_extracti128_si256(offsets, 1);
        // Groups 0 and 2 are at bytes 0..7 of their half, 1 and 3 at 8..15.
        __m256i codes02 = group_codes<0, 0>(bits.frames, bits.whole,
                                            {first_word(offsets_low), first_word(offsets_high)});
        __m256i codes13 = group_codes<8, 8>(bits.frames, bits.whole,
                                            {second_word(offsets_low), second_word(offsets_high)});
        encrypt_two_groups(shuffled, _mm256_castsi256_si128(plain), _mm256_castsi256_si128(codes02),
                           _mm256_castsi256_si128(codes13), dst + offset);
        encrypt_two_groups(shuffled, _mm256_extracti128_si256(plain, 1), _mm256_extracti128_si256(codes02, 1),
                           _mm256_extracti128_si256(codes13, 1), dst + offset + kHalfStep);
    }
    if (n - offset >= kHalfStep) {
        // The two groups' bytes in both halves: the low half works on the
        // first group, the high half on the second.
        __m128i bytes = _mm_loadu_si128(reinterpret_cast<const __m128i *>(src + offset));
        __m256i plain = _mm256_broadcastsi128_si256(bytes);
        LowBits bits = low_bits_of(plain);
        all_low = _mm256_xor_si256(all_low, _mm256_and_si256(bits.low, _mm256_setr_epi64x(-1, -1, 0, 0)));
        __m128i offsets = _mm256_castsi256_si128(table_offsets(bits.low));
        __m256i codes = group_codes<0, 8>(bits.frames, bits.whole, {first_word(offsets), second_word(offsets)});
        encrypt_two_groups(shuffled, _mm256_castsi256_si128(plain), _mm256_castsi256_si128(codes),
                           _mm256_extracti128_si256(codes, 1), dst + offset);
        offset += kHalfStep;
    }
    __m128i low_sum = _mm_xor_si128(_mm256_castsi256_si128(all_low), _mm256_extracti128_si256(all_low, 1));
    std::uint64_t folded = first_word(low_sum) ^ second_word(low_sum);
    folded ^= folded >> 32;
    folded ^= folded >> 16;
    folded ^= folded >> 8;
    auto end = static_cast<char>((index ^ folded) & 7);
    // Back from the last frame: entry m is working entry m ^ end.
    __m128i restored = _mm_shuffle_epi8(
        shuffled, _mm_add_epi8(_mm_xor_si128(identity, _mm_set1_epi8(end)), _mm_set1_epi8(8)));
    _mm_storel_epi64(reinterpret_cast<__m128i *>(vector), restored);
    // The upper halves of the vector registers are cleared before the jump
    // into the byte loop, this function's only exit: left dirty, they slow
    // every SSE instruction run afterwards on CPUs that track their state
    // (Intel since Haswell, AMD Zen 3), doubling a 16-byte encrypt's cost.
    // The clear is written out because the compiler's own is lost: GCC
    // drops the vzeroupper it puts before a call into a function it knows
    // leaves the vector registers alone (-fipa-ra), which encrypt_scalar
    // is in the link-time optimised build with hidden visibility.  A
    // destructor would clear too late, after the byte loop.  Where the
    // compiler keeps its own, the two stand side by side, at a cycle's cost.
    // A test checks the built extension's disassembly (tests/test_kernels.py).
    _mm256_zeroupper();
    return encrypt_scalar(vector, end, src + offset, dst + offset, n - offset);
}

std::ptrdiff_t encrypt_avx2(unsigned char vector[8], std::ptrdiff_t index, const unsigned char *src,
                            unsigned char *dst, std::ptrdiff_t n)
{
    // Not compiled for AVX2, so this short path touches no 256-bit register
    // and needs no clear.
    if (n < kHalfStep) return encrypt_scalar(vector, index, src, dst, n);
    return encrypt_avx2_groups(vector, index, src, dst, n);
}

bool cpu_has_avx2()
{
    X86Features features = detect_x86_features();
    return features.avx2 && features.bmi1 && features.bmi2;
}

}  // namespace

const Kernel kAvx2Kernel = {"avx2", encrypt_avx2, decrypt_bmi2, cpu_has_avx2,
                           "AVX2 (with OS support), BMI1 and BMI2", true};

}  // namespace cprotection

#endif
