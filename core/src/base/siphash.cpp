#include "quorvantis/base/siphash.hpp"

#include <bit>
#include <cstddef>

namespace quorvantis {
namespace {

struct State {
    std::uint64_t v0, v1, v2, v3;

    void round() noexcept {
        v0 += v1;
        v1 = std::rotl(v1, 13);
        v1 ^= v0;
        v0 = std::rotl(v0, 32);
        v2 += v3;
        v3 = std::rotl(v3, 16);
        v3 ^= v2;
        v0 += v3;
        v3 = std::rotl(v3, 21);
        v3 ^= v0;
        v2 += v1;
        v1 = std::rotl(v1, 17);
        v1 ^= v2;
        v2 = std::rotl(v2, 32);
    }

    void compress(std::uint64_t m) noexcept {
        v3 ^= m;
        round();
        v0 ^= m;
    }
};

// Little-endian load of up to eight bytes, independent of host byte order.
std::uint64_t load_le(const unsigned char* p, std::size_t n) noexcept {
    std::uint64_t m = 0;
    for (std::size_t i = 0; i < n; ++i) m |= std::uint64_t{p[i]} << (8 * i);
    return m;
}

}  // namespace

std::uint64_t siphash13(std::span<const unsigned char> message, std::uint64_t k0, std::uint64_t k1) noexcept {
    State s{k0 ^ 0x736f6d6570736575ULL, k1 ^ 0x646f72616e646f6dULL, k0 ^ 0x6c7967656e657261ULL,
            k1 ^ 0x7465646279746573ULL};
    const std::size_t n = message.size();
    const std::size_t full = n - n % 8;
    for (std::size_t i = 0; i < full; i += 8) s.compress(load_le(message.data() + i, 8));
    // Last block: remaining bytes, length modulo 256 in the top byte.
    s.compress(load_le(message.data() + full, n - full) | (std::uint64_t{n & 0xff} << 56));
    s.v2 ^= 0xff;
    s.round();
    s.round();
    s.round();
    return s.v0 ^ s.v1 ^ s.v2 ^ s.v3;
}

std::uint64_t siphash13(std::string_view message, std::uint64_t k0, std::uint64_t k1) noexcept {
    return siphash13({reinterpret_cast<const unsigned char*>(message.data()), message.size()}, k0, k1);
}

}  // namespace quorvantis
