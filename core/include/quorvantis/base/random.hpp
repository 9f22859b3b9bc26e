// Small fast random generator (xoshiro256++) with seeding from OS entropy and
// cheap derivation of independent streams, so that every random choice of a
// fit can be keyed by what it decides rather than by which thread runs it.
#pragma once

#include <cstddef>
#include <cstdint>
#include <span>
#include <utility>

namespace quorvantis {

// splitmix64 finaliser: a bijection that scrambles nearby inputs apart.
constexpr std::uint64_t mix64(std::uint64_t x) noexcept {
    x += 0x9e3779b97f4a7c15ULL;
    x = (x ^ (x >> 30)) * 0xbf58476d1ce4e5b9ULL;
    x = (x ^ (x >> 27)) * 0x94d049bb133111ebULL;
    return x ^ (x >> 31);
}

// Seed of the sub-stream `id` of `seed`; distinct ids give unrelated seeds.
constexpr std::uint64_t derive_seed(std::uint64_t seed, std::uint64_t id) noexcept {
    return mix64(mix64(seed) ^ mix64(id ^ 0x6a09e667f3bcc909ULL));
}

// 64 bits from the operating system (getrandom, falling back to random_device).
std::uint64_t entropy_seed();

class Rng {
public:
    using result_type = std::uint64_t;

    explicit Rng(std::uint64_t seed) noexcept {
        for (auto& word : s_) {
            seed += 0x9e3779b97f4a7c15ULL;
            word = mix64(seed);
        }
    }
    // Generator of sub-stream `id` of `seed`.
    static Rng stream(std::uint64_t seed, std::uint64_t id) noexcept { return Rng(derive_seed(seed, id)); }

    static constexpr result_type min() noexcept { return 0; }
    static constexpr result_type max() noexcept { return ~result_type{0}; }
    result_type operator()() noexcept { return next(); }

    std::uint64_t next() noexcept {
        const std::uint64_t result = rotl(s_[0] + s_[3], 23) + s_[0];
        const std::uint64_t t = s_[1] << 17;
        s_[2] ^= s_[0];
        s_[3] ^= s_[1];
        s_[1] ^= s_[2];
        s_[0] ^= s_[3];
        s_[2] ^= t;
        s_[3] = rotl(s_[3], 45);
        return result;
    }

    // Uniform in [0, bound), bound > 0, without modulo bias: multiply-shift with
    // rejection of the few low products that would over-represent some values.
    std::uint64_t bounded(std::uint64_t bound) noexcept {
        __extension__ using u128 = unsigned __int128;
        u128 product = static_cast<u128>(next()) * bound;
        auto low = static_cast<std::uint64_t>(product);
        if (low < bound) {
            const std::uint64_t floor = (0 - bound) % bound;
            while (low < floor) {
                product = static_cast<u128>(next()) * bound;
                low = static_cast<std::uint64_t>(product);
            }
        }
        return static_cast<std::uint64_t>(product >> 64);
    }

    // Uniform in [0, 1) with 53 random bits.
    double uniform() noexcept { return static_cast<double>(next() >> 11) * 0x1.0p-53; }

    // Fisher-Yates: for i from n-1 down to 1 swap position i with a uniform
    // position in [0, i].
    template <class T>
    void shuffle(std::span<T> values) noexcept {
        for (std::size_t i = values.size(); i > 1; --i) {
            const std::size_t j = static_cast<std::size_t>(bounded(i));
            std::swap(values[i - 1], values[j]);
        }
    }

private:
    static constexpr std::uint64_t rotl(std::uint64_t x, int k) noexcept { return (x << k) | (x >> (64 - k)); }

    std::uint64_t s_[4];
};

}  // namespace quorvantis
