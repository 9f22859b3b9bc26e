#include "quorvantis/serialize.hpp"

#include <algorithm>
#include <bit>
#include <cstring>
#include <tuple>
#include <utility>

#include "quorvantis/siphash.hpp"

namespace quorvantis {
namespace {

constexpr unsigned char kMagic[8] = {0x89, 'Q', 'V', 'M', '\r', '\n', 0x1a, '\n'};
constexpr unsigned char kForest = 1;
constexpr unsigned char kLinear = 2;
constexpr unsigned char kLeafTag = 0;
constexpr unsigned char kSplitTag = 1;
constexpr std::size_t kLeafBytes = 1 + 8 + 8;
constexpr std::size_t kSplitBytes = 1 + 8 + 8 + 4 + 4;

class Writer {
public:
    void bytes(const unsigned char* p, std::size_t n) { out.insert(out.end(), p, p + n); }
    void u8(unsigned char v) { out.push_back(v); }
    void u16(std::uint16_t v) { little(v, 2); }
    void u32(std::uint32_t v) { little(v, 4); }
    void u64(std::uint64_t v) { little(v, 8); }
    void f64(double v) { u64(std::bit_cast<std::uint64_t>(v)); }

    std::vector<unsigned char> out;

private:
    void little(std::uint64_t v, int n) {
        for (int i = 0; i < n; ++i) out.push_back(static_cast<unsigned char>(v >> (8 * i)));
    }
};

// Bounds-checked reads; the first failed read sets `failed` and every later
// read returns zero, so callers check once per record.
class Reader {
public:
    explicit Reader(std::span<const unsigned char> data) : data_(data) {}

    std::size_t remaining() const noexcept { return data_.size() - pos_; }
    bool failed = false;

    unsigned char u8() { return static_cast<unsigned char>(little(1)); }
    std::uint16_t u16() { return static_cast<std::uint16_t>(little(2)); }
    std::uint32_t u32() { return static_cast<std::uint32_t>(little(4)); }
    std::uint64_t u64() { return little(8); }
    double f64() { return std::bit_cast<double>(u64()); }

private:
    std::uint64_t little(std::size_t n) {
        if (failed || remaining() < n) {
            failed = true;
            return 0;
        }
        std::uint64_t v = 0;
        for (std::size_t i = 0; i < n; ++i) v |= std::uint64_t{data_[pos_ + i]} << (8 * i);
        pos_ += n;
        return v;
    }

    std::span<const unsigned char> data_;
    std::size_t pos_ = 0;
};

void write_forest(Writer& w, const CausalForest& forest) {
    w.u64(forest.n_trees);
    w.u64(forest.max_depth);
    w.u64(forest.min_samples_leaf);
    w.u64(forest.n_features);
    w.u64(forest.trees.size());
    for (const CausalTree& tree : forest.trees) {
        for (const double v : tree.feature_importance) w.f64(v);
        w.u64(tree.nodes().size());
        for (const Node& node : tree.nodes()) {
            if (const auto* s = std::get_if<Split>(&node)) {
                w.u8(kSplitTag);
                w.u64(s->feature);
                w.f64(s->threshold);
                w.u32(s->left);
                w.u32(s->right);
            } else {
                const Leaf& leaf = std::get<Leaf>(node);
                w.u8(kLeafTag);
                w.f64(leaf.effect);
                w.u64(leaf.n_samples);
            }
        }
    }
}

Decoded refuse(std::string why) {
    return {nullptr, std::move(why)};
}

Decoded read_forest(Reader& r) {
    CausalForest forest;
    forest.n_trees = r.u64();
    forest.max_depth = r.u64();
    forest.min_samples_leaf = r.u64();
    forest.n_features = r.u64();
    const std::uint64_t count = r.u64();
    if (r.failed) return refuse("forest header is truncated");
    // Every fit uses the same settings, and a later refit (validate) reuses
    // the decoded ones: anything else would let the bytes order arbitrary work.
    const CausalForest fitted;
    for (const auto& [name, value, expected] :
         {std::tuple{"n_trees", forest.n_trees, fitted.n_trees},
          std::tuple{"max_depth", forest.max_depth, fitted.max_depth},
          std::tuple{"min_samples_leaf", forest.min_samples_leaf, fitted.min_samples_leaf}}) {
        if (value != expected)
            return refuse(std::string(name) + " is " + std::to_string(value) + ", expected " +
                          std::to_string(expected));
    }
    // Only what a fit leaves behind: exactly n_trees trees. With trees
    // present every count below is bounded by the bytes.
    if (count == 0) return refuse("forest has no trees (not fitted)");
    if (count != forest.n_trees)
        return refuse("forest has " + std::to_string(count) + " trees but n_trees is " +
                      std::to_string(forest.n_trees));
    // Each tree needs its importances and at least one leaf.
    if (r.remaining() < 8 + kLeafBytes || forest.n_features > (r.remaining() - 8 - kLeafBytes) / 8)
        return refuse("n_features " + std::to_string(forest.n_features) + " exceeds the data present");
    const std::size_t per_tree = static_cast<std::size_t>(forest.n_features) * 8 + 8 + kLeafBytes;
    if (count > r.remaining() / per_tree)
        return refuse("tree count " + std::to_string(count) + " exceeds the data present");
    forest.trees.reserve(static_cast<std::size_t>(count));
    for (std::uint64_t t = 0; t < count; ++t) {
        const std::string where = "tree " + std::to_string(t) + ": ";
        std::vector<double> importance(static_cast<std::size_t>(forest.n_features));
        for (double& v : importance) v = r.f64();
        const std::uint64_t n_nodes = r.u64();
        if (r.failed) return refuse(where + "truncated");
        if (n_nodes == 0) return refuse(where + "has no nodes");
        if (n_nodes > r.remaining() / kLeafBytes) return refuse(where + "node count exceeds the data present");
        std::vector<Node> nodes;
        nodes.reserve(static_cast<std::size_t>(n_nodes));
        for (std::uint64_t i = 0; i < n_nodes; ++i) {
            const unsigned char tag = r.u8();
            if (tag == kLeafTag) {
                Leaf leaf;
                leaf.effect = r.f64();
                leaf.n_samples = r.u64();
                nodes.emplace_back(leaf);
            } else if (tag == kSplitTag) {
                Split split;
                split.feature = r.u64();
                split.threshold = r.f64();
                split.left = r.u32();
                split.right = r.u32();
                nodes.emplace_back(split);
            } else if (!r.failed) {
                return refuse(where + "node " + std::to_string(i) + " has unknown tag " + std::to_string(tag));
            }
            if (r.failed) return refuse(where + "truncated in node " + std::to_string(i));
        }
        Result<CausalTree> tree = CausalTree::from_nodes(std::move(nodes), std::move(importance));
        if (!tree) return refuse(where + tree.error().text());
        if (tree.value().depth() > forest.max_depth)
            return refuse(where + "depth " + std::to_string(tree.value().depth()) + " exceeds max_depth " +
                          std::to_string(forest.max_depth));
        forest.trees.push_back(std::move(tree).value());
    }
    return {std::make_unique<Estimator>(std::in_place_type<CausalForest>, std::move(forest)), {}};
}

Decoded read_linear(Reader& r) {
    LinearCausalModel linear;
    linear.effect = r.f64();
    if (r.failed) return refuse("linear payload is truncated");
    return {std::make_unique<Estimator>(std::in_place_type<LinearCausalModel>, linear), {}};
}

}  // namespace

std::vector<unsigned char> serialize(const Estimator& estimator) {
    Writer payload;
    unsigned char kind = 0;
    if (const auto* forest = std::get_if<CausalForest>(&estimator)) {
        kind = kForest;
        write_forest(payload, *forest);
    } else {
        kind = kLinear;
        payload.f64(std::get<LinearCausalModel>(estimator).effect);
    }
    Writer w;
    w.out.reserve(kSerialHeader + payload.out.size() + kSerialTrailer);
    w.bytes(kMagic, sizeof kMagic);
    w.u16(kSerialVersion);
    w.u8(kind);
    w.u8(0);
    w.u64(payload.out.size());
    w.bytes(payload.out.data(), payload.out.size());
    w.u64(siphash13(std::span<const unsigned char>(w.out), kSerialKey[0], kSerialKey[1]));
    return std::move(w.out);
}

Decoded deserialize(std::span<const unsigned char> bytes) {
    const std::size_t frame = kSerialHeader + kSerialTrailer;
    const std::size_t head = std::min(bytes.size(), sizeof kMagic);
    if (head > 0 && std::memcmp(bytes.data(), kMagic, head) != 0)
        return refuse("not a serialised Quorvantis model (bad magic bytes)");
    if (bytes.size() < frame)
        return refuse("truncated: " + std::to_string(bytes.size()) + " bytes, the frame alone needs " +
                      std::to_string(frame));
    Reader header(bytes.subspan(sizeof kMagic, kSerialHeader - sizeof kMagic));
    const std::uint16_t version = header.u16();
    const unsigned char kind = header.u8();
    const unsigned char reserved = header.u8();
    const std::uint64_t length = header.u64();
    if (version != kSerialVersion)
        return refuse("unsupported format version " + std::to_string(version) + " (this build reads " +
                      std::to_string(kSerialVersion) + ")");
    const std::size_t present = bytes.size() - frame;
    if (length > present)
        return refuse("truncated: payload of " + std::to_string(length) + " bytes, " + std::to_string(present) +
                      " present");
    if (length < present) return refuse(std::to_string(present - length) + " trailing bytes");
    const auto signed_part = bytes.first(kSerialHeader + present);
    Reader trailer(bytes.subspan(kSerialHeader + present));
    if (trailer.u64() != siphash13(signed_part, kSerialKey[0], kSerialKey[1]))
        return refuse("checksum mismatch (the bytes were altered or damaged)");
    if (reserved != 0) return refuse("reserved header byte is " + std::to_string(reserved));

    Reader r(bytes.subspan(kSerialHeader, present));
    if (kind != kForest && kind != kLinear) return refuse("unknown estimator kind " + std::to_string(kind));
    Decoded out = kind == kForest ? read_forest(r) : read_linear(r);
    if (out.estimator && r.remaining() != 0)
        return refuse(std::to_string(r.remaining()) + " bytes left over after the estimator");
    return out;
}

}  // namespace quorvantis
