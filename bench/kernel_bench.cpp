// Times every transform kernel this CPU runs, both directions, at a few
// sizes, and prints a Markdown table of MB/s with the ratio to the
// portable kernel.
//
//     kernel_bench [ROUNDS]
//
// Shared machines drift from one second to the next, so every figure is
// timed once per round, rounds interleave all of them, and each keeps its
// best round: figures in one table are taken under the same conditions.
#include "kernels.h"

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <random>
#include <string>
#include <vector>

using cprotection::Kernel;
using cprotection::KernelFunction;

namespace {

constexpr std::size_t kSizes[] = {1500, 64 * 1024, 1024 * 1024};
constexpr double kBatchSeconds = 0.02;

struct Figure {
    const Kernel *kernel;
    bool encrypt;
    std::size_t size;
    std::size_t calls;  // per batch, so that a batch takes about kBatchSeconds
    double best = 1e30;  // seconds per call
};

double time_batch(const Figure &figure, std::vector<unsigned char> &buffer)
{
    KernelFunction transform = figure.encrypt ? figure.kernel->encrypt : figure.kernel->decrypt;
    unsigned char vector[8] = {1, 2, 3, 4, 5, 6, 7, 8};
    std::ptrdiff_t index = 0;
    auto n = static_cast<std::ptrdiff_t>(figure.size);
    auto start = std::chrono::steady_clock::now();
    // In place, as the module runs the byte loops on long inputs; the data
    // stays random-looking whichever way it is transformed.
    for (std::size_t call = 0; call < figure.calls; ++call) {
        index = transform(vector, index, buffer.data(), buffer.data(), n);
    }
    std::chrono::duration<double> elapsed = std::chrono::steady_clock::now() - start;
    if (index == 8) std::abort();  // keeps the result alive
    return elapsed.count() / static_cast<double>(figure.calls);
}

}  // namespace

int main(int argc, char **argv)
{
    int rounds = argc > 1 ? std::atoi(argv[1]) : 15;
    std::vector<unsigned char> buffer(kSizes[std::size(kSizes) - 1]);
    std::mt19937_64 rng(42);
    for (auto &byte : buffer) byte = static_cast<unsigned char>(rng());

    std::vector<const Kernel *> kernels;
    for (const Kernel *kernel : cprotection::built_kernels()) {
        if (kernel->cpu_runs()) kernels.push_back(kernel);
    }
    std::vector<Figure> figures;
    for (bool encrypt : {true, false}) {
        for (const Kernel *kernel : kernels) {
            for (std::size_t size : kSizes) {
                Figure figure{kernel, encrypt, size, 1};
                double once = time_batch(figure, buffer);
                figure.calls = std::max<std::size_t>(1, static_cast<std::size_t>(kBatchSeconds / once));
                figures.push_back(figure);
            }
        }
    }
    for (int round = 0; round < rounds; ++round) {
        for (auto &figure : figures) figure.best = std::min(figure.best, time_batch(figure, buffer));
    }

    auto scalar_best = [&](const Figure &of) {
        for (const auto &figure : figures) {
            if (figure.kernel == &cprotection::kScalarKernel && figure.encrypt == of.encrypt &&
                figure.size == of.size) {
                return figure.best;
            }
        }
        return of.best;
    };
    std::printf("| kernel | direction | 1500 B | 64 KiB | 1 MiB |\n|---|---|---:|---:|---:|\n");
    for (const auto &figure : figures) {
        if (figure.size == kSizes[0]) {
            std::printf("| %s | %s |", figure.kernel->name, figure.encrypt ? "encrypt" : "decrypt");
        }
        double megabytes_per_second = static_cast<double>(figure.size) / figure.best / 1e6;
        std::printf(" %.0f MB/s (%.2fx) |", megabytes_per_second, scalar_best(figure) / figure.best);
        if (figure.size == kSizes[std::size(kSizes) - 1]) std::printf("\n");
    }
    std::printf("\nBest of %d interleaved rounds; ratios are to the scalar kernel.  The module\n"
                "uses the %s kernel on this CPU.\n",
                rounds, cprotection::best_kernel().name);
    return 0;
}
