// The cost of a tree walk's step when it is nothing but its dependent loads,
// over a node table that stays in the core's own caches (64 KiB, about one
// tree grown on 100,000 rows): eight scalar walks interleaved, each step a
// load of the node and one of the code; and sixteen walks to an AVX-512
// vector, four vectors in flight, with one gather a step (the node, the code
// held in registers) or two (the node, then the code). No walk can step
// faster than the best of these; multiplied by rows, trees and steps per
// walk, that bounds what prediction can reach on this machine.
//   walk_floor [steps]      (built with the other benchmarks: -DQUORVANTIS_BENCH=ON)
#include <immintrin.h>

#include <chrono>
#include <cstdio>
#include <cstdint>
#include <cstdlib>
#include <random>
#include <vector>

namespace {

constexpr int kVectors = 4;

struct Step {
    std::uint32_t next;
    std::uint16_t feature;
    std::uint8_t bin;
};

// Nanoseconds per step, kWalks scalar walks interleaved.
template <int kWalks>
__attribute__((noinline)) double scalar_walk(const std::vector<Step>& nodes, const std::vector<std::uint8_t>& codes,
                                             long steps) {
    const auto mask = static_cast<std::uint32_t>(nodes.size() - 1);
    std::uint32_t at[kWalks];
    const std::uint8_t* row[kWalks];
    for (int k = 0; k < kWalks; ++k) {
        at[k] = static_cast<std::uint32_t>(97 * k) & mask;
        row[k] = codes.data() + 32 * k;
    }
    const auto start = std::chrono::steady_clock::now();
    for (long s = 0; s < steps; ++s)
#pragma GCC unroll 16
        for (int k = 0; k < kWalks; ++k) {
            const Step n = nodes[at[k]];
            at[k] = (n.next + (row[k][n.feature] > n.bin ? 1u : 0u)) & mask;
        }
    const double ns = std::chrono::duration<double, std::nano>(std::chrono::steady_clock::now() - start).count();
    std::uint32_t sink = 0;
    for (const std::uint32_t a : at) sink ^= a;
    if (sink == 0x5eed) std::puts("");  // keeps the walks from being optimised away
    return ns / (static_cast<double>(steps) * kWalks);
}

// Nanoseconds per lane and step.
template <int kGathers>
__attribute__((target("avx512f"), noinline)) double walk(const std::vector<int>& table, const std::vector<int>& codes,
                                                         long steps) {
    const __m512i iota = _mm512_setr_epi32(0, 1, 2, 3, 4, 5, 6, 7, 8, 9, 10, 11, 12, 13, 14, 15);
    const __m512i mask = _mm512_set1_epi32(static_cast<int>(table.size()) - 1);
    const __m512i byte = _mm512_set1_epi32(0xff), one = _mm512_set1_epi32(1), zero = _mm512_setzero_si512();
    // Full-mask forms: GCC 12's plain ones start from undefined vectors and warn.
    constexpr __mmask16 all = 0xffff;
    __m512i at[kVectors];
    for (int v = 0; v < kVectors; ++v) at[v] = _mm512_add_epi32(iota, _mm512_set1_epi32(97 * v));
    const auto start = std::chrono::steady_clock::now();
    for (long s = 0; s < steps; ++s)
        for (int v = 0; v < kVectors; ++v) {
            // A node: next << 8 | bin; the step goes right when the code is above the bin.
            const __m512i node = _mm512_mask_i32gather_epi32(zero, all, at[v], table.data(), 4);
            __m512i code = _mm512_and_si512(_mm512_maskz_srli_epi32(all, node, 3), byte);
            if constexpr (kGathers == 2)
                code = _mm512_and_si512(
                    _mm512_mask_i32gather_epi32(zero, all, _mm512_maskz_srli_epi32(all, node, 20), codes.data(), 1),
                    byte);
            const __m512i to = _mm512_maskz_srli_epi32(all, node, 8);
            const __mmask16 right = _mm512_cmpgt_epu32_mask(code, _mm512_and_si512(node, byte));
            at[v] = _mm512_and_si512(_mm512_mask_add_epi32(to, right, to, one), mask);
        }
    const double ns = std::chrono::duration<double, std::nano>(std::chrono::steady_clock::now() - start).count();
    alignas(64) int lanes[16];
    int sink = 0;
    for (int v = 0; v < kVectors; ++v) {
        _mm512_store_si512(lanes, at[v]);
        for (const int l : lanes) sink ^= l;
    }
    if (sink == 0x5eed) std::puts("");  // keeps the walks from being optimised away
    return ns / (static_cast<double>(steps) * kVectors * 16);
}

}  // namespace

int main(int argc, char** argv) {
    const long steps = argc > 1 ? std::atol(argv[1]) : 2000000;
    std::mt19937 gen(1);
    std::vector<Step> nodes(1 << 13);
    for (Step& n : nodes)
        n = Step{static_cast<std::uint32_t>(gen() % nodes.size()), static_cast<std::uint16_t>(gen() % 20),
                 static_cast<std::uint8_t>(gen())};
    std::vector<std::uint8_t> bytes(1 << 12);
    for (std::uint8_t& b : bytes) b = static_cast<std::uint8_t>(gen());
    std::printf("%-38s %s\n", "walk", "ns per walk and step (3 runs)");
    std::printf("%-38s", "scalar, 8 interleaved, 2 loads");
    for (int r = 0; r < 3; ++r) std::printf(" %.3f", scalar_walk<8>(nodes, bytes, 2 * steps));
    std::printf("\n");
    if (!__builtin_cpu_supports("avx512f")) return 0;
    std::vector<int> table(1 << 14), codes(1 << 12);
    for (int& t : table) t = static_cast<int>(((gen() % table.size()) << 8 | (gen() & 0xff)) & 0x7fffffff);
    for (int& c : codes) c = static_cast<int>(gen());
    for (const int g : {1, 2}) {
        std::printf("%-38s", g == 1 ? "AVX-512, 16 x 4 in flight, 1 gather" : "AVX-512, 16 x 4 in flight, 2 gathers");
        for (int r = 0; r < 3; ++r)
            std::printf(" %.3f", g == 1 ? walk<1>(table, codes, steps) : walk<2>(table, codes, steps));
        std::printf("\n");
    }
}
