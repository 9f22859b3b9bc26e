// Every random choice a fixed-forest tree makes, behind one interface, and
// the production scheme that derives them all from the tree's seed. Choices
// are keyed by what they decide (a node by its path from the root), never by
// which thread asks, so a fit is a pure function of its seeds; tests inject
// their own choices to grow two implementations on the same ones.
#pragma once

#include <cstddef>
#include <cstdint>
#include <vector>

namespace quorvantis::fixed {

class TreeChoices {
public:
    virtual ~TreeChoices() = default;
    // Bit r set: row r is an estimation row; floor(n/2) bits stay clear.
    virtual std::vector<std::uint64_t> estimation_rows(std::size_t n) const = 0;
    virtual std::uint64_t root_key() const = 0;
    virtual std::uint64_t child_key(std::uint64_t key, bool right) const = 0;
    // The node's candidate features, in candidate order, distinct and below p.
    virtual std::vector<std::uint64_t> candidates(std::uint64_t key, std::uint64_t p) const = 0;
    // `count` ranks, each uniform in [0, n), for the candidate at `position`:
    // threshold j is the value of the node's split row of rank ranks[j].
    virtual void draws(std::uint64_t key, std::size_t position, std::size_t count, std::uint64_t n,
                       std::uint64_t* ranks) const = 0;
};

// The choices of the tree grown from `seed`.
class KeyedChoices final : public TreeChoices {
public:
    explicit KeyedChoices(std::uint64_t seed) noexcept : seed_(seed) {}

    std::vector<std::uint64_t> estimation_rows(std::size_t n) const override;
    std::uint64_t root_key() const override;
    std::uint64_t child_key(std::uint64_t key, bool right) const override;
    std::vector<std::uint64_t> candidates(std::uint64_t key, std::uint64_t p) const override;
    void draws(std::uint64_t key, std::size_t position, std::size_t count, std::uint64_t n,
               std::uint64_t* ranks) const override;

private:
    std::uint64_t seed_;
};

}  // namespace quorvantis::fixed
