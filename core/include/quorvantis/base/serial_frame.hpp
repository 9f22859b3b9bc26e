// Byte-level pieces every serialised model shares: little-endian writers and
// bounds-checked readers, and the checksummed frame around a payload.
//
//   offset  size  field
//   0       8     magic 89 51 56 4D 0D 0A 1A 0A ("\x89QVM\r\n\x1a\n")
//   8       2     format version
//   10      1     kind of the payload
//   11      1     reserved, 0
//   12      8     payload length L
//   20      L     payload
//   20+L    8     SipHash-1-3 (kSerialKey) of bytes [0, 20+L)
//
// The checksum detects damage, not forgery: serialised models are trusted input.
#pragma once

#include <bit>
#include <cstddef>
#include <cstdint>
#include <cstring>
#include <span>
#include <string>
#include <vector>

namespace quorvantis {

inline constexpr std::uint64_t kSerialKey[2] = {0x51756f7276616e74ULL, 0x6d6f64656c2d7631ULL};
inline constexpr std::size_t kSerialHeader = 20;
inline constexpr std::size_t kSerialTrailer = 8;

class ByteWriter {
public:
    void bytes(const unsigned char* p, std::size_t n) { out.insert(out.end(), p, p + n); }
    void u8(unsigned char v) { out.push_back(v); }
    void u16(std::uint16_t v) { little(v, 2); }
    void u32(std::uint32_t v) { little(v, 4); }
    void u64(std::uint64_t v) { little(v, 8); }
    void f64(double v) { u64(std::bit_cast<std::uint64_t>(v)); }
    void f64s(std::span<const double> v) {
        if constexpr (std::endian::native == std::endian::little) {
            bytes(reinterpret_cast<const unsigned char*>(v.data()), v.size() * sizeof(double));
        } else {
            for (const double x : v) f64(x);
        }
    }

    std::vector<unsigned char> out;

private:
    void little(std::uint64_t v, std::size_t n) {
        const std::size_t at = out.size();
        out.resize(at + n);
        for (std::size_t i = 0; i < n; ++i) out[at + i] = static_cast<unsigned char>(v >> (8 * i));
    }
};

// The first failed read sets `failed` and every later read returns zero, so
// callers check once per record.
class ByteReader {
public:
    explicit ByteReader(std::span<const unsigned char> data) : data_(data) {}

    std::size_t remaining() const noexcept { return data_.size() - pos_; }
    bool failed = false;

    unsigned char u8() { return static_cast<unsigned char>(little(1)); }
    std::uint16_t u16() { return static_cast<std::uint16_t>(little(2)); }
    std::uint32_t u32() { return static_cast<std::uint32_t>(little(4)); }
    std::uint64_t u64() { return little(8); }
    double f64() { return std::bit_cast<double>(u64()); }
    // False (and failed) when fewer bytes remain than asked for.
    bool bytes(unsigned char* to, std::size_t n) {
        if (failed || remaining() < n) {
            failed = true;
            return false;
        }
        if (n > 0) std::memcpy(to, data_.data() + pos_, n);
        pos_ += n;
        return true;
    }
    bool f64s(std::span<double> to) {
        if constexpr (std::endian::native == std::endian::little) {
            return bytes(reinterpret_cast<unsigned char*>(to.data()), to.size() * sizeof(double));
        } else {
            for (double& x : to) x = f64();
            return !failed;
        }
    }

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

// The payload in its frame.
std::vector<unsigned char> seal(std::uint16_t version, unsigned char kind, const std::vector<unsigned char>& payload);
// The same frame around a payload written after kSerialHeader bytes left free
// at the start of `framed`, without copying it.
std::vector<unsigned char> seal_in_place(std::uint16_t version, unsigned char kind, std::vector<unsigned char> framed);

struct Unsealed {
    unsigned char kind = 0;
    std::span<const unsigned char> payload;
    std::string error;  // empty when the frame is sound
    std::uint16_t version = 0;
};

// Checks magic, version, length and checksum; the payload is a view into `bytes`.
Unsealed unseal(std::span<const unsigned char> bytes, std::uint16_t version);
// The same for any version in [oldest, newest], which `version` then tells.
Unsealed unseal(std::span<const unsigned char> bytes, std::uint16_t oldest, std::uint16_t newest);

}  // namespace quorvantis
