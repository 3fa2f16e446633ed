// The x86-64 AVX-512 kernel: encryption 64 bytes at a time with byte
// compress and expand (AVX-512 VBMI2), and the BMI2 decryption loop.
#include "kernels.h"

#if defined(CPROTECTION_X86_64)

CPROTECTION_QUIET_INTRINSIC_HEADERS
#include <immintrin.h>

#include <cstdint>

namespace cprotection {

namespace {

// Prefix XOR of a lane mask: bit i of the carry-less product with all ones
// is the XOR of bits 0..i.
CPROTECTION_TARGET("pclmul,sse4.1") CPROTECTION_ALWAYS_INLINE std::uint64_t prefix_xor(std::uint64_t mask)
{
    __m128i product = _mm_clmulepi64_si128(_mm_cvtsi64_si128(static_cast<long long>(mask)),
                                           _mm_set1_epi64x(-1), 0x00);
    return static_cast<std::uint64_t>(_mm_cvtsi128_si64(product));
}

// Encryption's index sequence depends on the input alone, so 64 bytes are
// done at once.  Lane i's index is the starting index XOR the low three
// bits of every earlier byte: an exclusive prefix XOR, computed on three
// 64-bit lane masks, one per bit.  Each output byte is the input XOR the
// previous input that used the same vector position, or the vector's entry
// when none did.
// Per position, compressing its lanes' inputs and expanding them into its
// lanes but the first moves every input to the next lane of that position;
// the first lanes keep the vector's entries, laid out by one permute.  An
// entry then becomes the last input at its position.
// The kernel's limit is the one port that runs the compresses, expands and
// moves into mask registers, so position masks are built in general
// registers and each enters a mask register once.
constexpr std::ptrdiff_t kBlock = 64;

#define CPROTECTION_AVX512_TARGET \
    CPROTECTION_TARGET("avx512f,avx512bw,avx512vbmi,avx512vbmi2,bmi,bmi2,lzcnt,pclmul")

// One block, or with `tail` set the last `length` (< 64) bytes.
template <bool tail>
CPROTECTION_AVX512_TARGET CPROTECTION_ALWAYS_INLINE void
encrypt_block(std::uint64_t &word, std::uint64_t &start, const unsigned char *src, unsigned char *dst,
              std::ptrdiff_t length)
{
    __mmask64 valid = tail ? _bzhi_u64(~std::uint64_t{0}, static_cast<unsigned>(length)) : ~std::uint64_t{0};
    __m512i plain = tail ? _mm512_maskz_loadu_epi8(valid, src) : _mm512_loadu_si512(src);
    // Inclusive prefix XOR of each low bit.  Lanes past a tail load as zero,
    // so lane 63 holds the block's share of the next starting index.
    std::uint64_t sum0 = prefix_xor(_mm512_test_epi8_mask(plain, _mm512_set1_epi8(1)));
    std::uint64_t sum1 = prefix_xor(_mm512_test_epi8_mask(plain, _mm512_set1_epi8(2)));
    std::uint64_t sum2 = prefix_xor(_mm512_test_epi8_mask(plain, _mm512_set1_epi8(4)));
    // Lanes whose index has bit b set.
    std::uint64_t index0 = (sum0 << 1) ^ (0 - (start & 1));
    std::uint64_t index1 = (sum1 << 1) ^ (0 - ((start >> 1) & 1));
    std::uint64_t index2 = (sum2 << 1) ^ (0 - ((start >> 2) & 1));
    start ^= (sum0 >> 63) | (sum1 >> 63) << 1 | (sum2 >> 63) << 2;

    __m512i positions = _mm512_maskz_mov_epi8(index0, _mm512_set1_epi8(1));
    positions = _mm512_mask_add_epi8(positions, index1, positions, _mm512_set1_epi8(2));
    positions = _mm512_mask_add_epi8(positions, index2, positions, _mm512_set1_epi8(4));
    __m512i previous = _mm512_permutexvar_epi8(positions, _mm512_set1_epi64(static_cast<long long>(word)));

    // The lanes of position k are pairs[k & 3] with bit 2 as k says.
    std::uint64_t pairs[4] = {~(index0 | index1), index0 & ~index1, ~index0 & index1, index0 & index1};
    std::uint64_t high = index2 & valid, low = ~index2 & valid;
    auto lanes_of = [&](int k) { return pairs[k & 3] & (k & 4 ? high : low); };
    std::uint64_t first_lanes = 0, leading_zeros = 0;
    for (int k = 0; k < 8; ++k) {
        std::uint64_t lanes = lanes_of(k);
        first_lanes |= _blsi_u64(lanes);
        leading_zeros |= _lzcnt_u64(lanes) << (8 * k);  // 64 when k is unused
    }
    __mmask64 later_lanes = _cvtu64_mask64(~first_lanes);
    for (int k = 0; k < 8; ++k) {
        __mmask64 lanes = _cvtu64_mask64(lanes_of(k));
        previous = _mm512_mask_expand_epi8(previous, _kand_mask64(lanes, later_lanes),
                                           _mm512_maskz_compress_epi8(lanes, plain));
    }
    // Entry k becomes the input at the last lane of position k, 63 minus
    // its leading zeros; unused positions keep their entries.
    std::uint64_t unused = ((leading_zeros >> 6) & 0x0101010101010101) * 0xff;
    std::uint64_t last = 0;
    // Full blocks read the entries back from the input with plain loads,
    // which keeps the work off the port the compresses and expands need; a
    // tail may only read its valid lanes, so it permutes the loaded block.
    if (tail) {
        __m128i lanes = _mm_cvtsi64_si128(static_cast<long long>(leading_zeros ^ 0x3f3f3f3f3f3f3f3f));
        last = static_cast<std::uint64_t>(_mm_cvtsi128_si64(_mm512_castsi512_si128(
            _mm512_permutexvar_epi8(_mm512_castsi128_si512(lanes), plain))));
    } else {
        // Unused positions read lane 63, which exists; the result is masked.
        for (int k = 0; k < 8; ++k) {
            last |= std::uint64_t{src[63 ^ ((leading_zeros >> (8 * k)) & 63)]} << (8 * k);
        }
    }
    word = (last & ~unused) | (word & unused);

    // Stored last: the source may be the destination.
    __m512i cipher = _mm512_xor_si512(plain, previous);
    if (tail) {
        _mm512_mask_storeu_epi8(dst, valid, cipher);
    } else {
        _mm512_storeu_si512(dst, cipher);
    }
}

CPROTECTION_AVX512_TARGET CPROTECTION_NOINLINE std::ptrdiff_t
encrypt_avx512_blocks(unsigned char vector[8], std::ptrdiff_t index, const unsigned char *src,
                      unsigned char *dst, std::ptrdiff_t n)
{
    std::uint64_t word = load_vector(vector);
    std::uint64_t start = static_cast<std::uint64_t>(index & 7);
    std::ptrdiff_t offset = 0;
    for (; n - offset >= kBlock; offset += kBlock) {
        encrypt_block<false>(word, start, src + offset, dst + offset, kBlock);
    }
    if (offset < n) encrypt_block<true>(word, start, src + offset, dst + offset, n - offset);
    store_vector(vector, word);
    return static_cast<std::ptrdiff_t>(start);
}

// Below one block the byte loop is faster, and spares short calls the
// block kernel's heavier entry.
std::ptrdiff_t encrypt_avx512(unsigned char vector[8], std::ptrdiff_t index, const unsigned char *src,
                          unsigned char *dst, std::ptrdiff_t n)
{
    if (n < kBlock) return encrypt_scalar(vector, index, src, dst, n);
    return encrypt_avx512_blocks(vector, index, src, dst, n);
}
bool cpu_has_avx512()
{
    X86Features features = detect_x86_features();
    return features.avx512 && features.bmi1 && features.bmi2 && features.lzcnt && features.pclmul &&
           features.sse41;
}

}  // namespace

const Kernel kAvx512Kernel = {"avx512", encrypt_avx512, decrypt_bmi2, cpu_has_avx512,
                             "AVX-512 F, BW, VBMI and VBMI2 (with OS support), BMI2, LZCNT and PCLMUL",
                             true};

}  // namespace cprotection

#endif
