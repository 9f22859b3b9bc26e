#include "quorvantis/fixed/tree_keys.hpp"

#include "quorvantis/fixed/honest_sampling.hpp"
#include "quorvantis/base/random.hpp"

namespace quorvantis::fixed {
namespace {

constexpr std::uint64_t kHalvesStream = 0x68616c766573ULL;
constexpr std::uint64_t kFeatureStream = 0;  // candidate c draws from stream 1 + c

}  // namespace

std::vector<std::uint64_t> KeyedChoices::estimation_rows(std::size_t n) const {
    Rng rng = Rng::stream(seed_, kHalvesStream);
    return estimation_bits(n, rng);
}

std::uint64_t KeyedChoices::root_key() const {
    return mix64(seed_ ^ 0x243f6a8885a308d3ULL);
}

std::uint64_t KeyedChoices::child_key(std::uint64_t key, bool right) const {
    return mix64(key ^ (right ? 0x13198a2e03707344ULL : 0xa4093822299f31d0ULL));
}

std::vector<std::uint64_t> KeyedChoices::candidates(std::uint64_t key, std::uint64_t p) const {
    Rng rng = Rng::stream(key, kFeatureStream);
    return random_candidates(p, rng);
}

void KeyedChoices::draws(std::uint64_t key, std::size_t position, std::size_t count, std::uint64_t n,
                         std::uint64_t* ranks) const {
    Rng rng = Rng::stream(key, 1 + position);
    for (std::size_t j = 0; j < count; ++j) ranks[j] = rng.bounded(n);
}

}  // namespace quorvantis::fixed
