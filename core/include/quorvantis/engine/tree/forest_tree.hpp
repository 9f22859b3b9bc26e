// A fitted tree of the general engine, stored flat: 8-byte nodes, children of
// a split side by side, and leaves that keep sufficient statistics of their
// estimation rows instead of row lists.
#pragma once

#include <cstddef>
#include <algorithm>
#include <bit>
#include <cstdint>
#include <vector>

#include "quorvantis/base/cpu_features.hpp"

#if defined(__x86_64__) && defined(__GNUC__)
#include <immintrin.h>
#define QUORVANTIS_WIDE_WALK 1
#endif

namespace quorvantis::engine {

struct TreeNode {
    std::uint32_t next = 0;  // split: the left child (the right one follows); leaf: its row in the leaf table
    std::uint16_t feature = 0;
    std::uint8_t bin = 0;  // a coded value goes left when it is at most `bin`
    std::uint8_t flags = 0;
};

inline constexpr std::uint8_t kLeafNode = 1;
inline constexpr std::uint8_t kMissingLeft = 2;
// A split of a categorical feature: the codes in its set go left (the
// missing code among them when missing values do); `bin` is unused.
inline constexpr std::uint8_t kCategorical = 4;

// 256 bits, one per code.
struct CategorySet {
    std::uint64_t bits[4] = {0, 0, 0, 0};

    bool has(std::uint8_t c) const noexcept { return (bits[c >> 6] >> (c & 63)) & 1; }
    void add(std::uint8_t c) noexcept { bits[c >> 6] |= std::uint64_t{1} << (c & 63); }
    friend bool operator==(const CategorySet&, const CategorySet&) = default;
};

// Means over a causal leaf's estimation rows of W~, Y~, W~Y~ and W~^2.
struct CausalLeaf {
    double n = 0.0, w = 0.0, y = 0.0, wy = 0.0, ww = 0.0;
};

// A regression leaf's count and mean response.
struct RegressionLeaf {
    double n = 0.0, y = 0.0;
};

template <class Leaf>
struct ForestTree {
    std::vector<Leaf> leaves;

    // The tree is kept as its walk table, in which a step is one add and one
    // compare: a split adds `shift` to the row's code (mod 256) and goes right
    // when the sum is above `bin`. A split that sends missing values left has
    // the shift that turns the missing code, the largest, into 0 and keeps the
    // order of the others. A leaf's step leads, with a bin no sum exceeds, to
    // its row in the leaf table tagged with kDone: the walk's index itself
    // says it has ended (so the walks need no compare with the step before),
    // and the leaf's row needs no table of its own. A walk takes at most
    // `depth` + 1 steps.
    static constexpr std::uint32_t kDone = std::uint32_t{1} << 31;
    struct Step {
        std::uint32_t next = 0;
        std::uint16_t feature = 0;
        std::uint8_t bin = 0;
        std::uint8_t shift = 0;
    };
    std::vector<Step> walk;
    std::uint32_t depth = 0;
    // The vector walk's table where a step fits 32 bits, as for trees on tens
    // of features: a split as bin | missing-left << 8 | feature << 9 | next <<
    // (9 + feature_bits), a leaf as its tagged row. Half the bytes of `walk`
    // and one gather a step for the node instead of two. Empty for trees with
    // categorical splits or children beyond the bits left.
    std::vector<std::uint32_t> packed;
    std::uint32_t feature_bits = 0;
    std::uint8_t missing_shift = 0;
    static constexpr std::uint32_t kMissingBit = 1u << 8;
    static constexpr int kFeatureAt = 9;
    // Categorical splits: their nodes, ascending, and their sets. A tree with
    // any walks by `left`, per node the codes that go left (all of them at a
    // leaf), instead of the add-and-compare steps.
    std::vector<std::uint32_t> set_node;
    std::vector<CategorySet> sets;
    std::vector<CategorySet> left;

    // From nodes as the builder gives them (leaf `next` = row in `leaves`),
    // for codes whose missing code is `missing`; split bins lie below it.
    // `category_sets` holds the sets of the categorical splits in node order.
    void set_nodes(const std::vector<TreeNode>& nodes, std::uint8_t missing,
                   const std::vector<CategorySet>& category_sets = {}) {
        walk.resize(nodes.size());
        set_node.clear();
        sets = category_sets;
        left.clear();
        // Leaves and splits alternate at random: a leaf's step and its level
        // are chosen, not branched to; a leaf writes its children's levels to
        // two spare slots at the end.
        const auto size = static_cast<std::uint32_t>(nodes.size());
        std::vector<std::uint32_t> level(nodes.size() + 2, 0);
        depth = 0;
        const auto to_zero = static_cast<std::uint8_t>(256 - missing);
        for (std::uint32_t i = 0; i < size; ++i) {
            const TreeNode& n = nodes[i];
            const bool leaf = (n.flags & kLeafNode) != 0;
            if (!leaf && (n.flags & kCategorical)) {
                set_node.push_back(i);
                walk[i] = Step{n.next, n.feature, 0, 0};
            } else {
                const std::uint8_t shift = (n.flags & kMissingLeft) ? to_zero : 0;
                const Step split{n.next, n.feature, static_cast<std::uint8_t>(n.bin + shift), shift};
                const Step end{kDone | n.next, 0, 0xff, 0};
                // Masks rather than ?:, which the compiler turns back into branches.
                const std::uint64_t pick = 0 - static_cast<std::uint64_t>(leaf);
                walk[i] = std::bit_cast<Step>((std::bit_cast<std::uint64_t>(end) & pick) |
                                              (std::bit_cast<std::uint64_t>(split) & ~pick));
            }
            const std::uint32_t pick = 0u - static_cast<std::uint32_t>(leaf);
            const std::uint32_t child = (size & pick) | (n.next & ~pick);
            level[child] = level[child + 1] = level[i] + 1;
            depth = std::max(depth, level[i] & pick);
        }
        pack(to_zero);
        if (set_node.empty()) return;
        left.resize(nodes.size());
        for (std::uint32_t i = 0; i < nodes.size(); ++i) {
            CategorySet& m = left[i];
            const Step& w = walk[i];
            for (std::size_t c = 0; c < 256; ++c)
                if ((w.next & kDone) != 0 || static_cast<std::uint8_t>(c + w.shift) <= w.bin)
                    m.add(static_cast<std::uint8_t>(c));
        }
        for (std::size_t k = 0; k < set_node.size() && k < sets.size(); ++k) left[set_node[k]] = sets[k];
    }

    void pack([[maybe_unused]] std::uint8_t to_zero) {
        packed.clear();
#ifdef QUORVANTIS_WIDE_WALK
        if (!set_node.empty() || !wide_walks()) return;
        std::uint32_t top = 0, far = 0;
        for (const Step& w : walk) {
            const std::uint32_t split = (w.next >> 31) - 1;  // all ones at a split
            top = std::max<std::uint32_t>(top, w.feature & split);
            far = std::max(far, (w.next + 1) & split);
        }
        const auto bits = static_cast<std::uint32_t>(std::bit_width(top));
        if (static_cast<int>(std::bit_width(far)) > 31 - kFeatureAt - static_cast<int>(bits)) return;
        feature_bits = bits;
        missing_shift = to_zero;
        packed.resize(walk.size());
        for (std::size_t i = 0; i < walk.size(); ++i) {
            const Step& w = walk[i];
            packed[i] = (w.next & kDone) != 0 ? w.next
                                              : w.next << (kFeatureAt + bits) | std::uint32_t{w.feature} << kFeatureAt |
                                                    (w.shift != 0 ? kMissingBit : 0u) | w.bin;
        }
#endif
    }

    // The nodes back in the builder's form.
    std::vector<TreeNode> nodes() const {
        std::vector<TreeNode> out(walk.size());
        for (std::uint32_t i = 0; i < out.size(); ++i) {
            const Step& w = walk[i];
            out[i] = (w.next & kDone) != 0 ? TreeNode{w.next & ~kDone, 0, 0, kLeafNode}
                                           : TreeNode{w.next, w.feature, static_cast<std::uint8_t>(w.bin - w.shift),
                                                      static_cast<std::uint8_t>(w.shift != 0 ? kMissingLeft : 0)};
        }
        for (const std::uint32_t i : set_node) out[i] = TreeNode{walk[i].next, walk[i].feature, 0, kCategorical};
        return out;
    }

    // A walk's node for its next step: an ended walk reads the root, whose
    // lines are at hand, and keeps its index.
    static std::uint32_t reads(std::uint32_t at) noexcept {
        return at & ~static_cast<std::uint32_t>(static_cast<std::int32_t>(at) >> 31);
    }

    // The leaves `count` rows reach, eight walks at a time in registers so
    // that their dependent loads overlap. Every step is branch-free; every
    // fourth step checks whether all eight are done. rows[j] are the rows'
    // codes.
    void leaves_of(const std::uint8_t* const* rows, std::size_t count, std::uint32_t* out) const noexcept {
        if (!left.empty()) return leaves_by_sets(rows, count, out);
        const Step* nd = walk.data();
        constexpr std::size_t kLanes = 8;
        auto step = [nd](std::uint32_t at, const std::uint8_t* row) {
            const Step n = nd[reads(at)];
            const auto c = static_cast<std::uint8_t>(row[n.feature] + n.shift);
            const std::uint32_t to = n.next + static_cast<std::uint32_t>(c > n.bin);
            return (at & kDone) != 0 ? at : to;
        };
        std::size_t j = 0;
        for (; j + kLanes <= count; j += kLanes) {
            std::uint32_t at[kLanes] = {};
            const std::uint8_t* r[kLanes];
            for (std::size_t k = 0; k < kLanes; ++k) r[k] = rows[j + k];
            for (std::uint32_t d = 0; d <= depth; d += 4) {
                for (int s = 0; s < 4; ++s) {
#pragma GCC unroll 8
                    for (std::size_t k = 0; k < kLanes; ++k) at[k] = step(at[k], r[k]);
                }
                std::uint32_t all = kDone;
#pragma GCC unroll 8
                for (std::size_t k = 0; k < kLanes; ++k) all &= at[k];
                if (all != 0) break;
            }
            for (std::size_t k = 0; k < kLanes; ++k) out[j + k] = at[k] & ~kDone;
        }
        for (; j < count; ++j) {
            std::uint32_t at = 0;
            while ((at & kDone) == 0) at = step(at, rows[j]);
            out[j] = at & ~kDone;
        }
    }

    // Words of codes a row of `cols` codes keeps in registers when walked
    // through leaves_wide with them (0: none, the codes are gathered).
    static constexpr std::size_t held_words(std::size_t cols) noexcept {
        return cols >= 1 && cols <= 32 ? (cols + 3) / 4 : 0;
    }
    // The scratch entries leaves_wide needs for `count` rows of `cols` codes.
    static constexpr std::size_t wide_scratch(std::size_t count, std::size_t cols) noexcept {
        return 2 * count + 32 + held_words(cols) * count;
    }

#ifdef QUORVANTIS_WIDE_WALK
    // Whether leaves_wide can run on this processor.
    static bool wide_walks() noexcept { return cpu::features().avx512f && cpu::features().bmi2; }

    // The leaves of rows base + offset[i], i < count, of a tree without
    // categorical splits: leaves_of's steps, sixteen walks to a vector and
    // several vectors in flight, each step one gather of the node (two
    // without the packed table) for the lanes still walking. A walk that
    // reaches its leaf hands its lane to the next row, so lanes idle only at
    // the end. Rows of at most 32 codes (`cols`, 0 when unknown) hold their
    // codes in registers, and a step picks its code from there; wider rows
    // gather a code a step. The held words come from `held` (held_words(cols)
    // runs of held_stride entries, word k of the row at offset[i] at
    // held[k * held_stride + i]) or are gathered into `scratch` here.
    // Codes are read four bytes at a time: three bytes past each row's last
    // feature must be readable. `scratch` holds wide_scratch(count, cols) entries.
    __attribute__((target("avx512f,bmi2"))) void leaves_wide(const std::uint8_t* base, const std::uint32_t* offset,
                                                             std::size_t count, std::uint32_t* out,
                                                             std::uint32_t* scratch, std::size_t cols = 0,
                                                             const std::uint32_t* held = nullptr,
                                                             std::size_t held_stride = 0) const noexcept {
        if (count == 0) return;
        const std::size_t words = held_words(cols);
        if (words == 0) {
            if (packed.empty()) return wide_walk<false, 0>(base, offset, count, out, scratch);
            return wide_walk<true, 0>(base, offset, count, out, scratch);
        }
        if (held == nullptr) {
            std::uint32_t* into = scratch + 2 * count + 32;
            hold_words(base, offset, count, words, into, count);
            held = into;
            held_stride = count;
        }
        if (packed.empty()) {
            if (words <= 2) return wide_walk<false, 2>(base, offset, count, out, scratch, words, held, held_stride);
            if (words <= 4) return wide_walk<false, 4>(base, offset, count, out, scratch, words, held, held_stride);
            if (words <= 6) return wide_walk<false, 6>(base, offset, count, out, scratch, words, held, held_stride);
            return wide_walk<false, 8>(base, offset, count, out, scratch, words, held, held_stride);
        }
        if (words <= 2) return wide_walk<true, 2>(base, offset, count, out, scratch, words, held, held_stride);
        if (words <= 4) return wide_walk<true, 4>(base, offset, count, out, scratch, words, held, held_stride);
        if (words <= 6) return wide_walk<true, 6>(base, offset, count, out, scratch, words, held, held_stride);
        wide_walk<true, 8>(base, offset, count, out, scratch, words, held, held_stride);
    }

    // Words 0 .. words - 1 of rows base + offset[i], i < count, to
    // into[k * stride + i], sixteen rows to a gather: a lane that takes a
    // row then loads its words with one expanding read each, where gathers
    // for the few lanes a walk frees cost as much as for all sixteen.
    __attribute__((target("avx512f"))) static void hold_words(const std::uint8_t* base, const std::uint32_t* offset,
                                                              std::size_t count, std::size_t words, std::uint32_t* into,
                                                              std::size_t stride) noexcept {
        for (std::size_t i = 0; i < count; i += 16) {
            const auto live = static_cast<__mmask16>(count - i >= 16 ? 0xffff : (1u << (count - i)) - 1);
            const __m512i off = _mm512_maskz_loadu_epi32(live, offset + i);
            for (std::size_t k = 0; k < words; ++k)
                _mm512_mask_storeu_epi32(
                    into + k * stride + i, live,
                    _mm512_mask_i32gather_epi32(_mm512_setzero_si512(), live, off, base + 4 * k, 1));
        }
    }

    // kWords > 0: a row's codes sit in `words` registers, codes 4k to 4k + 3
    // in word k, of which the first `used` come from `held`; a step picks
    // its word by the feature's bits.
    template <bool kPacked, int kWords>
    __attribute__((target("avx512f,bmi2"))) void wide_walk(
        const std::uint8_t* base, const std::uint32_t* offset, std::size_t count, std::uint32_t* out,
        std::uint32_t* scratch, [[maybe_unused]] std::size_t used = 0,
        [[maybe_unused]] const std::uint32_t* held = nullptr,
        [[maybe_unused]] std::size_t held_stride = 0) const noexcept {
        constexpr bool kInRegisters = kWords > 0;
        // Eight words a walk spill with four vectors in flight: three are faster.
        constexpr int kVectors = kWords > 6 ? 3 : 4;
        constexpr int kHeld = kInRegisters ? kWords : 1;
        // A step as two 32-bit words: next, then feature | bin << 16 | shift << 24.
        static_assert(sizeof(Step) == 8 && offsetof(Step, feature) == 4 && offsetof(Step, bin) == 6 &&
                      offsetof(Step, shift) == 7);
        const int* nd = reinterpret_cast<const int*>(walk.data());
        const __m512i iota = _mm512_setr_epi32(0, 1, 2, 3, 4, 5, 6, 7, 8, 9, 10, 11, 12, 13, 14, 15);
        const __m512i byte = _mm512_set1_epi32(0xff), word = _mm512_set1_epi32(0xffff), one = _mm512_set1_epi32(1);
        const __m512i mark = _mm512_set1_epi32(static_cast<int>(~kDone));
        // Finished walks as (row, leaf) pairs, written compressed.
        std::uint32_t* done_row = scratch;
        std::uint32_t* done_at = scratch + count + 16;
        std::size_t done = 0, next = 0;
        __m512i at[kVectors], row[kVectors], off[kVectors], words[kVectors][kHeld];
        __mmask16 live[kVectors];
        const __m512i three = _mm512_set1_epi32(3);
        // Lanes `free` of vector v take the next rows, as many as are left.
        auto refill = [&](int v, __mmask16 free) __attribute__((always_inline, target("avx512f,bmi2"))) {
            const std::size_t left = count - next;
            const auto want = static_cast<std::size_t>(__builtin_popcount(free));
            const auto take = static_cast<__mmask16>(want <= left ? free : _pdep_u32((1u << left) - 1, free));
            row[v] = _mm512_mask_expand_epi32(row[v], take,
                                              _mm512_add_epi32(_mm512_set1_epi32(static_cast<int>(next)), iota));
            at[v] = _mm512_mask_mov_epi32(at[v], take, _mm512_setzero_si512());
            if constexpr (!kInRegisters) off[v] = _mm512_mask_expandloadu_epi32(off[v], take, offset + next);
            if constexpr (kInRegisters) {
#pragma GCC unroll 8
                for (int k = 0; k < kWords; ++k)
                    if (static_cast<std::size_t>(k) < used)
                        words[v][k] = _mm512_mask_expandloadu_epi32(words[v][k], take, held + k * held_stride + next);
            }
            next += static_cast<std::size_t>(__builtin_popcount(take));
            return take;
        };
        for (int v = 0; v < kVectors; ++v) {
            // Lanes without a row walk the first one and are never read.
            at[v] = row[v] = _mm512_setzero_si512();
            for (int k = 0; k < kHeld; ++k) words[v][k] = _mm512_setzero_si512();
            off[v] = _mm512_set1_epi32(static_cast<int>(offset[0]));
            live[v] = refill(v, 0xffff);
        }
        // Full-mask forms: the plain intrinsics start from undefined vectors,
        // which some compilers report as used uninitialised.
        const __m512i zero = _mm512_setzero_si512();
        const int* pk = reinterpret_cast<const int*>(packed.data());
        const __m512i features = _mm512_set1_epi32(static_cast<int>((1u << feature_bits) - 1));
        const __m512i missing = _mm512_set1_epi32(kMissingBit), to_zero = _mm512_set1_epi32(missing_shift);
        const __m128i next_at = _mm_cvtsi32_si128(kFeatureAt + static_cast<int>(feature_bits));
        // The code of each walking lane's row at its feature.
        auto code_of = [&](int v, __mmask16 on,
                           __m512i feature) __attribute__((always_inline, target("avx512f,bmi2"))) {
            if constexpr (kInRegisters) {
                // Halves by the word index's bits, lowest first; the
                // code's byte moved to the bottom, the bytes above it
                // dropped with the shift's carry below, as a gather's are.
                __m512i pick[kHeld];
                for (int k = 0; k < kHeld; ++k) pick[k] = words[v][k];
                for (int width = kHeld, bit = 4; width > 1; width = (width + 1) / 2, bit *= 2) {
                    const __mmask16 upper = _mm512_test_epi32_mask(feature, _mm512_set1_epi32(bit));
                    for (int k = 0; k < width / 2; ++k)
                        pick[k] = _mm512_mask_blend_epi32(upper, pick[2 * k], pick[2 * k + 1]);
                    if (width % 2 != 0) pick[width / 2] = pick[width - 1];
                }
                const __m512i bits = _mm512_maskz_slli_epi32(0xffff, _mm512_and_si512(feature, three), 3);
                return _mm512_maskz_srlv_epi32(0xffff, pick[0], bits);
            } else {
                return _mm512_mask_i32gather_epi32(zero, on, _mm512_add_epi32(off[v], feature), base, 1);
            }
        };
        auto step = [&](int v) __attribute__((always_inline, target("avx512f,bmi2"))) {
            const __mmask16 on = _mm512_cmpge_epi32_mask(at[v], zero);
            if constexpr (kPacked) {
                const __m512i w = _mm512_mask_i32gather_epi32(zero, on, at[v], pk, 4);
                const __m512i code =
                    code_of(v, on, _mm512_and_si512(_mm512_maskz_srli_epi32(0xffff, w, kFeatureAt), features));
                const __m512i c = _mm512_and_si512(
                    _mm512_mask_add_epi32(code, _mm512_test_epi32_mask(w, missing), code, to_zero), byte);
                const __m512i to = _mm512_maskz_srl_epi32(0xffff, w, next_at);
                __m512i moved =
                    _mm512_mask_add_epi32(to, _mm512_cmpgt_epu32_mask(c, _mm512_and_si512(w, byte)), to, one);
                // A leaf's word is its tagged row.
                moved = _mm512_mask_mov_epi32(moved, _mm512_cmplt_epi32_mask(w, zero), w);
                at[v] = _mm512_mask_mov_epi32(at[v], on, moved);
                return;
            }
            const __m512i to = _mm512_mask_i32gather_epi32(zero, on, at[v], nd, 8);
            const __m512i meta = _mm512_mask_i32gather_epi32(zero, on, at[v], nd + 1, 8);
            const __m512i code = code_of(v, on, _mm512_and_si512(meta, word));
            const __m512i c = _mm512_and_si512(_mm512_add_epi32(code, _mm512_maskz_srli_epi32(0xffff, meta, 24)), byte);
            const __m512i bin = _mm512_and_si512(_mm512_maskz_srli_epi32(0xffff, meta, 16), byte);
            at[v] =
                _mm512_mask_mov_epi32(at[v], on, _mm512_mask_add_epi32(to, _mm512_cmpgt_epu32_mask(c, bin), to, one));
        };
        auto walking = [&] {
            unsigned any = 0;
            for (int v = 0; v < kVectors; ++v) any |= live[v];
            return any != 0;
        };
        while (walking()) {
            // Three steps per check: checking after every step or every
            // second costs more than the steps finished walks idle.
            for (int s = 0; s < 3; ++s)
                for (int v = 0; v < kVectors; ++v) step(v);
            for (int v = 0; v < kVectors; ++v) {
                const __mmask16 end = _mm512_mask_cmplt_epi32_mask(live[v], at[v], zero);
                if (end == 0) continue;
                _mm512_storeu_si512(done_row + done, _mm512_maskz_compress_epi32(end, row[v]));
                _mm512_storeu_si512(done_at + done, _mm512_maskz_compress_epi32(end, _mm512_and_si512(at[v], mark)));
                done += static_cast<std::size_t>(__builtin_popcount(end));
                live[v] = static_cast<__mmask16>((live[v] & ~end) | refill(v, end));
            }
        }
        for (std::size_t i = 0; i < done; ++i) out[done_row[i]] = done_at[i];
    }
#endif

    // The walk of a tree with categorical splits: a bit test per step, eight
    // walks at a time as in leaves_of.
    void leaves_by_sets(const std::uint8_t* const* rows, std::size_t count, std::uint32_t* out) const noexcept {
        const Step* nd = walk.data();
        const CategorySet* go = left.data();
        constexpr std::size_t kLanes = 8;
        auto step = [nd, go](std::uint32_t at, const std::uint8_t* row) {
            const std::uint32_t i = reads(at);
            const std::uint8_t c = row[nd[i].feature];
            const std::uint32_t to =
                nd[i].next + static_cast<std::uint32_t>(((go[i].bits[c >> 6] >> (c & 63)) & 1) ^ 1);
            return (at & kDone) != 0 ? at : to;
        };
        std::size_t j = 0;
        for (; j + kLanes <= count; j += kLanes) {
            std::uint32_t at[kLanes] = {};
            for (std::uint32_t d = 0; d <= depth; d += 4) {
                for (int s = 0; s < 4; ++s)
                    for (std::size_t k = 0; k < kLanes; ++k) at[k] = step(at[k], rows[j + k]);
                std::uint32_t all = kDone;
                for (std::size_t k = 0; k < kLanes; ++k) all &= at[k];
                if (all != 0) break;
            }
            for (std::size_t k = 0; k < kLanes; ++k) out[j + k] = at[k] & ~kDone;
        }
        for (; j < count; ++j) {
            std::uint32_t at = 0;
            while ((at & kDone) == 0) at = step(at, rows[j]);
            out[j] = at & ~kDone;
        }
    }

    // Asks for the tree's tables ahead of its walks: a walk's loads depend on
    // each other, so a table that arrives line by line during them stalls
    // every step, while requested together the lines stream in.
    void prefetch() const noexcept {
        auto ask = [](const void* data, std::size_t size) {
            const char* p = static_cast<const char*>(data);
            for (std::size_t at = 0; at < size; at += 64) __builtin_prefetch(p + at, 0, 3);
        };
        ask(walk.data(), walk.size() * sizeof(Step));
        ask(packed.data(), packed.size() * sizeof(std::uint32_t));
        ask(leaves.data(), leaves.size() * sizeof(Leaf));
    }

    std::size_t bytes() const noexcept {
        return leaves.size() * sizeof(Leaf) + walk.size() * sizeof(Step) + packed.size() * sizeof(std::uint32_t) +
               (left.size() + sets.size()) * sizeof(CategorySet) + set_node.size() * sizeof(std::uint32_t);
    }
};

}  // namespace quorvantis::engine
