#include "quorvantis/base/serial_frame.hpp"

#include <algorithm>
#include <cstring>

#include "quorvantis/base/siphash.hpp"

namespace quorvantis {
namespace {

constexpr unsigned char kMagic[8] = {0x89, 'Q', 'V', 'M', '\r', '\n', 0x1a, '\n'};

Unsealed refuse(std::string why) {
    Unsealed u;
    u.error = std::move(why);
    return u;
}

}  // namespace

std::vector<unsigned char> seal(std::uint16_t version, unsigned char kind, const std::vector<unsigned char>& payload) {
    ByteWriter w;
    w.out.reserve(kSerialHeader + payload.size() + kSerialTrailer);
    w.bytes(kMagic, sizeof kMagic);
    w.u16(version);
    w.u8(kind);
    w.u8(0);
    w.u64(payload.size());
    w.bytes(payload.data(), payload.size());
    w.u64(siphash13(std::span<const unsigned char>(w.out), kSerialKey[0], kSerialKey[1]));
    return std::move(w.out);
}

std::vector<unsigned char> seal_in_place(std::uint16_t version, unsigned char kind, std::vector<unsigned char> framed) {
    ByteWriter header;
    header.bytes(kMagic, sizeof kMagic);
    header.u16(version);
    header.u8(kind);
    header.u8(0);
    header.u64(framed.size() - kSerialHeader);
    std::copy(header.out.begin(), header.out.end(), framed.begin());
    ByteWriter w;
    w.out = std::move(framed);
    w.u64(siphash13(std::span<const unsigned char>(w.out), kSerialKey[0], kSerialKey[1]));
    return std::move(w.out);
}

Unsealed unseal(std::span<const unsigned char> bytes, std::uint16_t expected_version) {
    return unseal(bytes, expected_version, expected_version);
}

Unsealed unseal(std::span<const unsigned char> bytes, std::uint16_t oldest, std::uint16_t newest) {
    const std::size_t frame = kSerialHeader + kSerialTrailer;
    const std::size_t head = std::min(bytes.size(), sizeof kMagic);
    if (head > 0 && std::memcmp(bytes.data(), kMagic, head) != 0)
        return refuse("not a serialised Quorvantis model (bad magic bytes)");
    if (bytes.size() < frame)
        return refuse("truncated: " + std::to_string(bytes.size()) + " bytes, the frame alone needs " +
                      std::to_string(frame));
    ByteReader header(bytes.subspan(sizeof kMagic, kSerialHeader - sizeof kMagic));
    const std::uint16_t version = header.u16();
    const unsigned char kind = header.u8();
    const unsigned char reserved = header.u8();
    const std::uint64_t length = header.u64();
    if (version < oldest || version > newest)
        return refuse(
            "unsupported format version " + std::to_string(version) + " (this build reads " +
            (oldest == newest ? std::to_string(newest) : std::to_string(oldest) + " to " + std::to_string(newest)) +
            ")");
    const std::size_t present = bytes.size() - frame;
    if (length > present)
        return refuse("truncated: payload of " + std::to_string(length) + " bytes, " + std::to_string(present) +
                      " present");
    if (length < present) return refuse(std::to_string(present - length) + " trailing bytes");
    ByteReader trailer(bytes.subspan(kSerialHeader + present));
    if (trailer.u64() != siphash13(bytes.first(kSerialHeader + present), kSerialKey[0], kSerialKey[1]))
        return refuse("checksum mismatch (the bytes were altered or damaged)");
    if (reserved != 0) return refuse("reserved header byte is " + std::to_string(reserved));
    Unsealed u;
    u.kind = kind;
    u.version = version;
    u.payload = bytes.subspan(kSerialHeader, present);
    return u;
}

}  // namespace quorvantis
