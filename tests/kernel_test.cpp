// Checks every transform kernel this CPU runs against the byte-by-byte
// rules: output, final vector and final index, for every length up to
// 5000 and for 1 MiB, in place and out of place at odd offsets, on random
// input, input whose low bits are all zero, and input that keeps naming
// one position; a stream fed to the kernel in random cuts; and, for the
// kernels that encrypt eight bytes a group, every group.
//
//     kernel_test [--quick]
//
// --quick checks fewer lengths and groups, for runs under an emulator.
// Prints which kernels ran and which were skipped and why; exits 1 on the
// first mismatch, naming the case.
#include "kernels.h"

#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <random>
#include <algorithm>
#include <vector>

using cprotection::Kernel;
using cprotection::KernelFunction;

namespace {

struct Direction {
    unsigned char vector[8];
    std::ptrdiff_t index;
};

// The rules themselves, one byte at a time.  The direction is a template
// argument so that encryption's positions do not wait for the vector.
template <bool encrypt>
void reference_rules(Direction &state, const unsigned char *src, unsigned char *dst, std::size_t n)
{
    state.index &= 7;
    for (std::size_t i = 0; i < n; ++i) {
        unsigned char in = src[i];
        unsigned char out = static_cast<unsigned char>(state.vector[state.index] ^ in);
        unsigned char plain = encrypt ? in : out;
        state.vector[state.index] = plain;
        state.index ^= plain & 7;
        dst[i] = out;
    }
}

void reference_transform(bool encrypt, Direction &state, const unsigned char *src,
                         unsigned char *dst, std::size_t n)
{
    if (encrypt) {
        reference_rules<true>(state, src, dst, n);
    } else {
        reference_rules<false>(state, src, dst, n);
    }
}

enum class Pattern { random, low_bits_zero, one_position, count };

const char *pattern_name(Pattern pattern)
{
    switch (pattern) {
    case Pattern::random: return "random";
    case Pattern::low_bits_zero: return "low bits zero";
    case Pattern::one_position: return "one position";
    default: return "?";
    }
}

// Random high bits; low bits random, all zero (the position never moves)
// or all naming one position (it moves back and forth between two).  For
// decryption the pattern is the plaintext's: see check_call.
std::vector<unsigned char> make_input(Pattern pattern, std::size_t n, std::mt19937_64 &rng)
{
    auto low_bits = static_cast<unsigned char>(1 + rng() % 7);
    std::vector<unsigned char> data(n);
    for (auto &byte : data) {
        auto value = static_cast<unsigned char>(rng());
        switch (pattern) {
        case Pattern::random: byte = value; break;
        case Pattern::low_bits_zero: byte = static_cast<unsigned char>(value & 0xf8); break;
        case Pattern::one_position: byte = static_cast<unsigned char>((value & 0xf8) | low_bits); break;
        default: break;
        }
    }
    return data;
}

Direction random_state(std::mt19937_64 &rng)
{
    Direction state;
    for (auto &entry : state.vector) entry = static_cast<unsigned char>(rng());
    // Only the low three bits count; the kernel must ignore the rest.
    state.index = static_cast<std::ptrdiff_t>(rng() % 64);
    return state;
}

int failures = 0;

bool same(const Direction &a, const Direction &b)
{
    return std::memcmp(a.vector, b.vector, 8) == 0 && (a.index & 7) == (b.index & 7);
}

void report(const Kernel &kernel, bool encrypt, const char *mode, std::size_t n, Pattern pattern,
            const char *what)
{
    if (failures++ < 10) {
        std::printf("FAIL %s %s: %s, length %zu, %s input: %s differs\n", kernel.name,
                    encrypt ? "encrypt" : "decrypt", mode, n, pattern_name(pattern), what);
    }
}

// One call of the kernel on n bytes against the rules, in place or from a
// separate buffer, with source and destination at the given offsets.
void check_call(const Kernel &kernel, bool encrypt, std::size_t n, Pattern pattern, bool in_place,
                std::size_t offset, std::mt19937_64 &rng)
{
    KernelFunction transform = encrypt ? kernel.encrypt : kernel.decrypt;
    std::vector<unsigned char> input = make_input(pattern, n, rng);
    Direction start = random_state(rng);

    Direction expected_state = start;
    std::vector<unsigned char> expected(n);
    reference_transform(encrypt, expected_state, input.data(), expected.data(), n);
    if (!encrypt && pattern != Pattern::random) {
        // Make the plaintext follow the pattern: encrypt it with the rules
        // first, then check decryption of that ciphertext.
        Direction encoder = start;
        std::vector<unsigned char> cipher(n);
        reference_transform(true, encoder, input.data(), cipher.data(), n);
        expected = input;
        input = cipher;
        expected_state = start;
        std::vector<unsigned char> scratch(n);
        reference_transform(false, expected_state, input.data(), scratch.data(), n);
    }

    // Guard bytes around the output catch writes past either end.
    constexpr std::size_t kGuard = 64;
    std::vector<unsigned char> buffer(n + offset + 2 * kGuard, 0xa5);
    std::vector<unsigned char> source(n + offset + 1);
    unsigned char *dst = buffer.data() + kGuard + offset;
    const unsigned char *src;
    if (in_place) {
        std::copy_n(input.begin(), n, dst);
        src = dst;
    } else {
        std::copy_n(input.begin(), n, source.begin() + static_cast<std::ptrdiff_t>(offset) + 1);
        src = source.data() + offset + 1;
    }
    Direction state = start;
    state.index = transform(state.vector, start.index, src, dst, static_cast<std::ptrdiff_t>(n));
    const char *mode = in_place ? "in place" : "out of place";
    if (!std::equal(expected.begin(), expected.end(), dst)) report(kernel, encrypt, mode, n, pattern, "output");
    if (!same(state, expected_state) || state.index < 0 || state.index > 7) {
        report(kernel, encrypt, mode, n, pattern, "final vector or index");
    }
    for (std::size_t i = 0; i < kGuard + offset; ++i) {
        if (buffer[i] != 0xa5 || buffer[buffer.size() - 1 - i % kGuard] != 0xa5) {
            report(kernel, encrypt, mode, n, pattern, "memory outside the output");
            break;
        }
    }
}

// A long stream cut into calls of random lengths gives the same bytes and
// state as one call of the rules.
void check_stream(const Kernel &kernel, bool encrypt, std::mt19937_64 &rng)
{
    KernelFunction transform = encrypt ? kernel.encrypt : kernel.decrypt;
    std::size_t n = 200000;
    std::vector<unsigned char> input = make_input(Pattern::random, n, rng);
    Direction start = random_state(rng);
    Direction expected_state = start;
    std::vector<unsigned char> expected(n), output(n);
    reference_transform(encrypt, expected_state, input.data(), expected.data(), n);
    Direction state = start;
    for (std::size_t done = 0; done < n;) {
        std::size_t cut = std::min<std::size_t>(n - done, rng() % 3 ? rng() % 80 : rng() % 5000);
        state.index = transform(state.vector, state.index, input.data() + done, output.data() + done,
                                static_cast<std::ptrdiff_t>(cut));
        done += cut;
    }
    if (output != expected || !same(state, expected_state)) {
        report(kernel, encrypt, "random cuts", n, Pattern::random, "stream");
    }
}

// In the kernels that encrypt eight bytes a group, a group's bookkeeping
// depends only on the low three bits of its bytes, the index it starts at,
// and where in the kernel's step of up to four groups it falls.  Each run
// feeds every low-bit pattern (random high bits), one group after the
// other, from one starting index, after 0 to 3 groups that move the
// patterns to another place in the step.  As a group's start is the run's
// start XOR what the groups before it did, eight runs of one such shift
// give every pattern every start.  --quick takes one shift per start and
// 2^20 random patterns a run instead.
void check_every_group(const Kernel &kernel, bool quick)
{
    constexpr std::size_t kPatterns = std::size_t{1} << 24;
    constexpr std::size_t kGroupsPerCall = std::size_t{1} << 14;
    constexpr std::size_t kStepGroups = 4;
    std::size_t runs = quick ? 8 : 8 * kStepGroups;
    std::size_t groups = quick ? std::size_t{1} << 20 : kPatterns;
    std::size_t n = kGroupsPerCall * 8;
    std::vector<unsigned char> input(n), output(n), expected(n);
    // Twelve bits of a pattern spread over the low bits of four bytes.
    std::vector<std::uint32_t> spread(4096);
    for (std::uint32_t bits = 0; bits < 4096; ++bits) {
        for (std::uint32_t i = 0; i < 4; ++i) spread[bits] |= ((bits >> (3 * i)) & 7) << (8 * i);
    }
    std::uint64_t random = 0x67726f757073;
    auto next_random = [&random] {
        // splitmix64: cheap, and plenty for high bits and sampled patterns.
        std::uint64_t z = (random += 0x9e3779b97f4a7c15);
        z = (z ^ (z >> 30)) * 0xbf58476d1ce4e5b9;
        z = (z ^ (z >> 27)) * 0x94d049bb133111eb;
        return z ^ (z >> 31);
    };
    for (std::size_t run = 0; run < runs; ++run) {
        Direction state;
        for (auto &entry : state.vector) entry = static_cast<unsigned char>(next_random());
        state.index = static_cast<std::ptrdiff_t>(run % 8);
        Direction reference = state;
        std::size_t shift = run / 8 + (quick ? run % kStepGroups : 0);
        for (std::size_t first = 0; first < groups + shift; first += kGroupsPerCall) {
            std::size_t count = std::min(kGroupsPerCall, groups + shift - first);
            for (std::size_t group = 0; group < count; ++group) {
                std::uint64_t high = next_random();
                std::uint64_t low = quick ? high >> 40 : first + group - shift;
                std::uint64_t low_bits = spread[low & 0xfff] | std::uint64_t{spread[(low >> 12) & 0xfff]} << 32;
                // In the host's byte order: any order covers every pattern.
                std::uint64_t bytes = (high & 0xf8f8f8f8f8f8f8f8) | low_bits;
                std::memcpy(&input[group * 8], &bytes, 8);
            }
            std::size_t length = count * 8;
            reference_transform(true, reference, input.data(), expected.data(), length);
            state.index = kernel.encrypt(state.vector, state.index, input.data(), output.data(),
                                         static_cast<std::ptrdiff_t>(length));
            if (!std::equal(expected.begin(), expected.begin() + static_cast<std::ptrdiff_t>(length),
                            output.begin()) || !same(state, reference)) {
                report(kernel, true, "every group", length, Pattern::random, "a group's output or state");
                return;
            }
        }
    }
}

void check_kernel(const Kernel &kernel, bool quick)
{
    std::mt19937_64 rng(0x6b65726e656cULL);
    std::size_t longest = quick ? 600 : 5000;
    for (bool encrypt : {true, false}) {
        for (std::size_t n = 0; n <= longest; ++n) {
            auto pattern = static_cast<Pattern>(n % static_cast<std::size_t>(Pattern::count));
            check_call(kernel, encrypt, n, pattern, true, n % 7, rng);
            check_call(kernel, encrypt, n, pattern, false, n % 5, rng);
        }
        for (std::size_t n : {std::size_t{1} << 20, longest * 3 + 1}) {
            for (int p = 0; p < static_cast<int>(Pattern::count); ++p) {
                check_call(kernel, encrypt, n, static_cast<Pattern>(p), true, 3, rng);
                check_call(kernel, encrypt, n, static_cast<Pattern>(p), false, 1, rng);
            }
        }
        check_stream(kernel, encrypt, rng);
    }
    if (kernel.encrypt != cprotection::encrypt_scalar) check_every_group(kernel, quick);
}

}  // namespace

int main(int argc, char **argv)
{
    bool quick = argc > 1 && std::strcmp(argv[1], "--quick") == 0;
    int ran = 0;
    for (const Kernel *kernel : cprotection::built_kernels()) {
        if (!kernel->cpu_runs()) {
            std::printf("skipped %s: this CPU or its OS lacks %s\n", kernel->name, kernel->needs);
            continue;
        }
        int before = failures;
        check_kernel(*kernel, quick);
        std::printf("%s %s\n", failures == before ? "passed" : "FAILED", kernel->name);
        ++ran;
    }
    std::printf("best kernel here: %s\n", cprotection::best_kernel().name);
    if (ran == 0) {
        std::printf("no kernel ran\n");
        return 1;
    }
    return failures == 0 ? 0 : 1;
}
