// The cipher: keying from a key list and the two stream transforms, with
// their Python-facing methods and native entries.
#define CPROTECTION_BUILDING_MODULE
#include "cprotection.h"

#include <stdint.h>
#include <stdlib.h>
#include <string.h>

#if defined(__x86_64__)
#include <immintrin.h>
#endif

namespace cprotection {

namespace {

// Keying constants.  Both peers must use the same values, and stored
// pickles carry vectors derived from them, so they never change.
// Entry i is XORed with base to give position i of the plain vector.
constexpr unsigned char kPositionOffsets[8] = {0x3d, 0x81, 0xc6, 0x1f, 0x57, 0xa2, 0xe9, 0x64};
// XORed into every byte of the masked vector, so that the two directions
// of one instance never share a vector.
constexpr unsigned char kDirectionMask = 0x5b;

constexpr int kActivateFoldLine = 37;
constexpr int kDecryptCopyLine = 66;
constexpr int kEncryptCopyLine = 96;

const char *const kActivateParams[] = {"keys"};
const char *const kDecryptParams[] = {"encrypted_data"};
const char *const kEncryptParams[] = {"raw_data"};

// Attribute names an override is looked up under.
PyObject *str_activate = nullptr;
PyObject *str_decrypt = nullptr;
PyObject *str_encrypt = nullptr;

inline uint64_t load_vector(const unsigned char vector[8])
{
    uint64_t word;
    memcpy(&word, vector, 8);  // byte k at bits 8k on little-endian hosts
#if __BYTE_ORDER__ == __ORDER_BIG_ENDIAN__
    word = __builtin_bswap64(word);
#endif
    return word;
}

inline void store_vector(unsigned char vector[8], uint64_t word)
{
#if __BYTE_ORDER__ == __ORDER_BIG_ENDIAN__
    word = __builtin_bswap64(word);
#endif
    memcpy(vector, &word, 8);
}

// Keeps the compiler from re-associating an expression across this point.
#define KEEP_ORDER(value) __asm__("" : "+r"(value))

// Encrypting byte p at position k: out = v[k] ^ p, then v[k] = p.  The
// loop reads and writes the vector's bytes in place: its only serial chain
// is the position (k ^= p), and a load that meets the store of the byte
// before is served from the store buffer, so bytes overlap where a vector
// held in a register would chain two operations per byte.  Eight bytes a
// step keep the loop's own bookkeeping out of the way.
__attribute__((always_inline)) inline Py_ssize_t
encrypt_scalar_body(unsigned char vector[8], Py_ssize_t index, const unsigned char *src,
                    unsigned char *dst, Py_ssize_t n)
{
    uint64_t position = static_cast<uint64_t>(index);
    auto step = [&](Py_ssize_t i) {
        uint64_t plain = src[i];
        unsigned char *entry = vector + (position & 7);
        dst[i] = static_cast<unsigned char>(*entry ^ plain);
        *entry = static_cast<unsigned char>(plain);
        position ^= plain;
    };
    Py_ssize_t i = 0;
    for (; i + 8 <= n; i += 8) {
        step(i); step(i + 1); step(i + 2); step(i + 3);
        step(i + 4); step(i + 5); step(i + 6); step(i + 7);
    }
    for (; i < n; ++i) step(i);
    return static_cast<Py_ssize_t>(position & 7);
}

// The decryption loop holds the vector in a 64-bit word, byte k at bits 8k,
// and the index as a bit offset.  Only the low six bits of `shift` are ever
// used (shifts mask their count), so the index step needs no masking:
// shift ^ (byte << 3) moves it by (byte & 7) * 8.
//
// Decrypting byte c at position k: p = v[k] ^ c, then v[k] = p, which is
// v ^= c << 8k.  The next index needs p; taking c's share of it before the
// vector read keeps the serial chain at shift, or, xor.
__attribute__((always_inline)) inline Py_ssize_t
decrypt_scalar_body(unsigned char vector[8], Py_ssize_t index, const unsigned char *src,
                    unsigned char *dst, Py_ssize_t n)
{
    uint64_t word = load_vector(vector);
    uint64_t shift = static_cast<uint64_t>(index & 7) << 3;
    for (Py_ssize_t i = 0; i < n; ++i) {
        uint64_t cipher = src[i];
        uint64_t bits = shift & 63;
        uint64_t lane = word >> bits;
        dst[i] = static_cast<unsigned char>(lane ^ cipher);
        word ^= cipher << bits;
        uint64_t next = shift ^ (cipher << 3);
        KEEP_ORDER(next);
        shift = next ^ (lane << 3);
    }
    store_vector(vector, word);
    return static_cast<Py_ssize_t>((shift >> 3) & 7);
}

Py_ssize_t encrypt_scalar(unsigned char vector[8], Py_ssize_t index, const unsigned char *src,
                          unsigned char *dst, Py_ssize_t n)
{
    return encrypt_scalar_body(vector, index, src, dst, n);
}

Py_ssize_t decrypt_scalar(unsigned char vector[8], Py_ssize_t index, const unsigned char *src,
                          unsigned char *dst, Py_ssize_t n)
{
    return decrypt_scalar_body(vector, index, src, dst, n);
}

#if defined(__x86_64__)
#define CPROTECTION_X86_KERNELS 1

// Decryption's chain is serial: the next index needs the byte just
// computed.  Beside the vector word, a second word keeps only each entry's
// low three bits, already moved to bits 3..5 of its byte, so the next bit
// offset is one shrx and two xors away.  The shifts are written out because
// shrx and shlx use only the count's low six bits, which spares masking
// `shift` on the chain.
__attribute__((target("bmi,bmi2"))) Py_ssize_t
decrypt_bmi2(unsigned char vector[8], Py_ssize_t index, const unsigned char *src,
             unsigned char *dst, Py_ssize_t n)
{
    uint64_t word = load_vector(vector);
    uint64_t steps = (word & 0x0707070707070707) << 3;
    uint64_t shift = static_cast<uint64_t>(index & 7) << 3;
    for (Py_ssize_t i = 0; i < n; ++i) {
        uint64_t cipher = src[i];
        uint64_t cipher_step = (cipher & 7) << 3;
        uint64_t lane, lane_step, added, added_step;
        __asm__("shrx %2, %1, %0" : "=r"(lane) : "r"(word), "r"(shift));
        __asm__("shrx %2, %1, %0" : "=r"(lane_step) : "r"(steps), "r"(shift));
        __asm__("shlx %2, %1, %0" : "=r"(added) : "r"(cipher), "r"(shift));
        __asm__("shlx %2, %1, %0" : "=r"(added_step) : "r"(cipher_step), "r"(shift));
        dst[i] = static_cast<unsigned char>(lane ^ cipher);
        word ^= added;
        steps ^= added_step;
        uint64_t next = shift ^ cipher_step;
        KEEP_ORDER(next);
        shift = next ^ lane_step;
    }
    store_vector(vector, word);
    return static_cast<Py_ssize_t>((shift >> 3) & 7);
}

// Prefix XOR of a lane mask: bit i of the carry-less product with all ones
// is the XOR of bits 0..i.
__attribute__((target("pclmul,sse4.1"), always_inline)) inline uint64_t prefix_xor(uint64_t mask)
{
    __m128i product = _mm_clmulepi64_si128(_mm_cvtsi64_si128(static_cast<long long>(mask)),
                                           _mm_set1_epi64x(-1), 0x00);
    return static_cast<uint64_t>(_mm_cvtsi128_si64(product));
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
constexpr Py_ssize_t kBlock = 64;

#define CPROTECTION_AVX512_TARGET \
    __attribute__((target("avx512f,avx512bw,avx512vbmi,avx512vbmi2,bmi,bmi2,lzcnt,pclmul")))

// One block, or with `tail` set the last `length` (< 64) bytes.
template <bool tail>
CPROTECTION_AVX512_TARGET __attribute__((always_inline)) inline void
encrypt_block(uint64_t &word, uint64_t &start, const unsigned char *src, unsigned char *dst,
              Py_ssize_t length)
{
    __mmask64 valid = tail ? _bzhi_u64(~uint64_t{0}, static_cast<unsigned>(length)) : ~uint64_t{0};
    __m512i plain = tail ? _mm512_maskz_loadu_epi8(valid, src) : _mm512_loadu_si512(src);
    // Inclusive prefix XOR of each low bit.  Lanes past a tail load as zero,
    // so lane 63 holds the block's share of the next starting index.
    uint64_t sum0 = prefix_xor(_mm512_test_epi8_mask(plain, _mm512_set1_epi8(1)));
    uint64_t sum1 = prefix_xor(_mm512_test_epi8_mask(plain, _mm512_set1_epi8(2)));
    uint64_t sum2 = prefix_xor(_mm512_test_epi8_mask(plain, _mm512_set1_epi8(4)));
    // Lanes whose index has bit b set.
    uint64_t index0 = (sum0 << 1) ^ (0 - (start & 1));
    uint64_t index1 = (sum1 << 1) ^ (0 - ((start >> 1) & 1));
    uint64_t index2 = (sum2 << 1) ^ (0 - ((start >> 2) & 1));
    start ^= (sum0 >> 63) | (sum1 >> 63) << 1 | (sum2 >> 63) << 2;

    __m512i positions = _mm512_maskz_mov_epi8(index0, _mm512_set1_epi8(1));
    positions = _mm512_mask_add_epi8(positions, index1, positions, _mm512_set1_epi8(2));
    positions = _mm512_mask_add_epi8(positions, index2, positions, _mm512_set1_epi8(4));
    __m512i previous = _mm512_permutexvar_epi8(positions, _mm512_set1_epi64(static_cast<long long>(word)));

    // The lanes of position k are pairs[k & 3] with bit 2 as k says.
    uint64_t pairs[4] = {~(index0 | index1), index0 & ~index1, ~index0 & index1, index0 & index1};
    uint64_t high = index2 & valid, low = ~index2 & valid;
    auto lanes_of = [&](int k) { return pairs[k & 3] & (k & 4 ? high : low); };
    uint64_t first_lanes = 0, leading_zeros = 0;
    for (int k = 0; k < 8; ++k) {
        uint64_t lanes = lanes_of(k);
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
    uint64_t unused = ((leading_zeros >> 6) & 0x0101010101010101) * 0xff;
    uint64_t last = 0;
    // Full blocks read the entries back from the input with plain loads,
    // which keeps the work off the port the compresses and expands need; a
    // tail may only read its valid lanes, so it permutes the loaded block.
    if (tail) {
        __m128i lanes = _mm_cvtsi64_si128(static_cast<long long>(leading_zeros ^ 0x3f3f3f3f3f3f3f3f));
        last = static_cast<uint64_t>(_mm_cvtsi128_si64(_mm512_castsi512_si128(
            _mm512_permutexvar_epi8(_mm512_castsi128_si512(lanes), plain))));
    } else {
        // Unused positions read lane 63, which exists; the result is masked.
        for (int k = 0; k < 8; ++k) {
            last |= uint64_t{src[63 ^ ((leading_zeros >> (8 * k)) & 63)]} << (8 * k);
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

CPROTECTION_AVX512_TARGET __attribute__((noinline)) Py_ssize_t
encrypt_avx512_blocks(unsigned char vector[8], Py_ssize_t index, const unsigned char *src,
                      unsigned char *dst, Py_ssize_t n)
{
    uint64_t word = load_vector(vector);
    uint64_t start = static_cast<uint64_t>(index & 7);
    Py_ssize_t offset = 0;
    for (; n - offset >= kBlock; offset += kBlock) {
        encrypt_block<false>(word, start, src + offset, dst + offset, kBlock);
    }
    if (offset < n) encrypt_block<true>(word, start, src + offset, dst + offset, n - offset);
    store_vector(vector, word);
    return static_cast<Py_ssize_t>(start);
}

// Below one block the byte loop is faster, and spares short calls the
// block kernel's heavier entry.
Py_ssize_t encrypt_avx512(unsigned char vector[8], Py_ssize_t index, const unsigned char *src,
                          unsigned char *dst, Py_ssize_t n)
{
    if (n < kBlock) return encrypt_scalar_body(vector, index, src, dst, n);
    return encrypt_avx512_blocks(vector, index, src, dst, n);
}
#endif

using Transform = Py_ssize_t (*)(unsigned char *, Py_ssize_t, const unsigned char *,
                                 unsigned char *, Py_ssize_t);

// Chosen once at import from the CPU's features.  CPROTECTION_KERNEL
// ("scalar", "bmi2" or "avx512") narrows the choice, so that tests can run
// each kernel the CPU supports; an unsupported name falls back to scalar.
Transform encrypt_bytes = encrypt_scalar;
Transform decrypt_bytes = decrypt_scalar;
// Set for a kernel that loads whole blocks before storing them: it writes
// straight into an uninitialised result and spares copying the argument.
bool encrypt_writes_separately = false;

void select_kernels(void)
{
#ifdef CPROTECTION_X86_KERNELS
    const char *wanted = getenv("CPROTECTION_KERNEL");
    auto allowed = [wanted](const char *name) { return wanted == nullptr || strcmp(wanted, name) == 0; };
    __builtin_cpu_init();
    bool bmi2 = __builtin_cpu_supports("bmi") && __builtin_cpu_supports("bmi2");
    bool avx512 = bmi2 && __builtin_cpu_supports("avx512f") && __builtin_cpu_supports("avx512bw") &&
                  __builtin_cpu_supports("avx512vbmi") && __builtin_cpu_supports("avx512vbmi2") &&
                  __builtin_cpu_supports("pclmul") && __builtin_cpu_supports("lzcnt");
    if (avx512 && allowed("avx512")) {
        encrypt_bytes = encrypt_avx512;
        encrypt_writes_separately = true;
        decrypt_bytes = decrypt_bmi2;
    } else if (bmi2 && allowed("bmi2")) {
        // Encryption's loop has no variable shifts to gain from BMI2.
        decrypt_bytes = decrypt_bmi2;
    }
#endif
}

// Up to this many bytes the byte loops write straight into the result.
constexpr Py_ssize_t kShortInput = 1024;

// The body of both data entries: the override dispatch, the pass-through
// before keying, then one direction into a new bytearray.  Longer byte
// loops run in place on a copy of the argument: reading and writing one
// buffer keeps them clear of the stalls that two page-aligned buffers (as
// large allocations are) cause when loads and stores fall 4 KiB apart.
// Short inputs, and kernels that load whole blocks before storing them,
// write straight into an uninitialised result instead.  Anything but an
// exact bytearray (None included) is copied by calling the bytearray type,
// so its errors are the interpreter's own.
PyObject *data_entry(CProtectionObject *self, PyObject *data, int skip_dispatch, PyObject *name,
                     const CallableSpec *spec, unsigned char *vector, Py_ssize_t *index,
                     Transform transform, bool always_separate, int copy_line)
{
    PyObject *result = nullptr;
    if (!skip_dispatch) {
        switch (dispatch_override(self, name, data, spec, true, &result)) {
        case Dispatch::overridden: return result;
        case Dispatch::failed: return nullptr;
        case Dispatch::run_operation: break;
        }
    }
    if (!self->active) return Py_NewRef(data);
    bool exact = PyByteArray_CheckExact(data);
    bool separate = exact && (always_separate || PyByteArray_GET_SIZE(data) <= kShortInput);
    if (separate) {
        result = PyByteArray_FromStringAndSize(nullptr, PyByteArray_GET_SIZE(data));
    } else if (exact) {
        result = PyByteArray_FromStringAndSize(PyByteArray_AS_STRING(data), PyByteArray_GET_SIZE(data));
    } else {
        result = PyObject_CallOneArg(reinterpret_cast<PyObject *>(&PyByteArray_Type), data);
    }
    if (result == nullptr) {
        add_entry(spec, copy_line);
        return nullptr;
    }
    auto *out = reinterpret_cast<unsigned char *>(PyByteArray_AS_STRING(result));
    const auto *in = separate ? reinterpret_cast<const unsigned char *>(PyByteArray_AS_STRING(data)) : out;
    *index = transform(vector, *index, in, out, PyByteArray_GET_SIZE(result));
    return result;
}

// ---------------------------------------------------------------------------
// Python-facing methods

// The three Python-facing cipher methods: bind the one argument (one
// positional argument needs no binding), test its exact type, then run the
// native entry without override dispatch.
PyObject *single_argument_method(const CallableSpec *spec, CProtectionEntry entry,
                                 PyTypeObject *expected, bool none_allowed, bool annotated,
                                 PyObject *self, PyObject *const *args, Py_ssize_t nargs,
                                 PyObject *kwnames)
{
    PyObject *argument;
    if (nargs == 1 && kwnames == nullptr) {
        argument = args[0];
    } else if (bind_arguments(spec, args, nargs, kwnames, &argument) < 0) {
        add_entry(spec, spec->first_line);
        return nullptr;
    }
    if (check_exact_type(argument, expected, spec->param_names[0], none_allowed, annotated) < 0) {
        return nullptr;
    }
    PyObject *result = entry(reinterpret_cast<CProtectionObject *>(self), argument, 1);
    if (result == nullptr) add_entry(spec, spec->first_line);
    return result;
}

PyObject *activate_method(PyObject *self, PyObject *const *args, Py_ssize_t nargs, PyObject *kwnames)
{
    return single_argument_method(&activate_spec, cipher_activate, &PyList_Type, false, true, self,
                                  args, nargs, kwnames);
}

PyObject *decrypt_method(PyObject *self, PyObject *const *args, Py_ssize_t nargs, PyObject *kwnames)
{
    return single_argument_method(&decrypt_spec, cipher_decrypt, &PyByteArray_Type, true, false,
                                  self, args, nargs, kwnames);
}

PyObject *encrypt_method(PyObject *self, PyObject *const *args, Py_ssize_t nargs, PyObject *kwnames)
{
    return single_argument_method(&encrypt_spec, cipher_encrypt, &PyByteArray_Type, true, false,
                                  self, args, nargs, kwnames);
}

}  // namespace

CallableSpec activate_spec = {
    "activate", "CProtection.activate",
    "kovrin.modules.security.cprotection.CProtection.activate", kModuleSource, 27,
    "\n        Activate protection using a list of bytes.\n"
    "        Computes a base by XOR-ing each key, then fills the encryption/decryption vectors.\n"
    "        ",
    true, 1, 1, kActivateParams, activate_method, {}, nullptr,
};

CallableSpec decrypt_spec = {
    "decrypt", "CProtection.decrypt",
    "kovrin.modules.security.cprotection.CProtection.decrypt", kModuleSource, 53,
    "\n        Decrypt the encrypted_data using the internal decryption vector.\n"
    "        This method does not modify encrypted_data, but returns a new bytearray.\n"
    "        ",
    true, 1, 1, kDecryptParams, decrypt_method, {}, nullptr,
};

CallableSpec encrypt_spec = {
    "encrypt", "CProtection.encrypt",
    "kovrin.modules.security.cprotection.CProtection.encrypt", kModuleSource, 84,
    "\n        Encrypt the raw_data using the internal encryption vector.\n"
    "        Returns a new bytearray with the encrypted data.\n"
    "        ",
    true, 1, 1, kEncryptParams, encrypt_method, {}, nullptr,
};

// ---------------------------------------------------------------------------
// Native entries

PyObject *cipher_activate(CProtectionObject *self, PyObject *keys, int skip_dispatch)
{
    PyObject *result = nullptr;
    if (!skip_dispatch) {
        switch (dispatch_override(self, str_activate, keys, &activate_spec, false, &result)) {
        case Dispatch::overridden: return result;
        case Dispatch::failed: return nullptr;
        case Dispatch::run_operation: break;
        }
    }
    // Compiled callers reach this entry without the method's exact-type
    // test; anything but a list would be read as one.
    if (!PyList_Check(keys)) {
        raise_argument_type(keys, &PyList_Type, "keys");
        return nullptr;
    }
    // Fold into a local: a key that fails to convert leaves the record
    // exactly as it was, so a retry starts from the same base.
    unsigned char base = self->base;
    Py_INCREF(keys);
    // Read the length again each step: an __int__ may have changed the list.
    for (Py_ssize_t i = 0; i < PyList_GET_SIZE(keys); ++i) {
        PyObject *item = Py_NewRef(PyList_GET_ITEM(keys, i));
        int key;
        int status = convert_int32(item, &key);
        Py_DECREF(item);
        if (status < 0) {
            add_entry(&activate_spec, kActivateFoldLine);
            Py_DECREF(keys);
            return nullptr;
        }
        base ^= static_cast<unsigned char>(key & 0xff);
    }
    Py_DECREF(keys);

    unsigned char plain[8], masked[8];
    for (int i = 0; i < 8; ++i) {
        plain[i] = base ^ kPositionOffsets[i];
        masked[i] = plain[i] ^ kDirectionMask;
    }
    self->base = base;
    memcpy(self->decryption_vector, self->flip_direction ? masked : plain, 8);
    memcpy(self->encryption_vector, self->flip_direction ? plain : masked, 8);
    self->active = 1;
    Py_RETURN_NONE;
}

PyObject *cipher_decrypt(CProtectionObject *self, PyObject *data, int skip_dispatch)
{
    return data_entry(self, data, skip_dispatch, str_decrypt, &decrypt_spec, self->decryption_vector,
                      &self->decryption_index, decrypt_bytes, false, kDecryptCopyLine);
}

PyObject *cipher_encrypt(CProtectionObject *self, PyObject *data, int skip_dispatch)
{
    return data_entry(self, data, skip_dispatch, str_encrypt, &encrypt_spec, self->encryption_vector,
                      &self->encryption_index, encrypt_bytes, encrypt_writes_separately,
                      kEncryptCopyLine);
}

int init_cipher(void)
{
    select_kernels();
    if (intern_once(&str_activate, "activate") < 0 || intern_once(&str_decrypt, "decrypt") < 0 ||
        intern_once(&str_encrypt, "encrypt") < 0) {
        return -1;
    }
    return 0;
}

}  // namespace cprotection
