// SipHash-1-3: one compression round per block, three finalisation rounds,
// 64-bit output.
#pragma once

#include <cstdint>
#include <span>
#include <string_view>

namespace quorvantis {

std::uint64_t siphash13(std::span<const unsigned char> message, std::uint64_t k0 = 0, std::uint64_t k1 = 0) noexcept;

std::uint64_t siphash13(std::string_view message, std::uint64_t k0 = 0, std::uint64_t k1 = 0) noexcept;

}  // namespace quorvantis
