#include "quorvantis/base/random.hpp"

#include <sys/random.h>

#include <cerrno>
#include <chrono>
#include <random>

namespace quorvantis {

std::uint64_t entropy_seed() {
    std::uint64_t seed = 0;
    auto* out = reinterpret_cast<unsigned char*>(&seed);
    std::size_t got = 0;
    while (got < sizeof seed) {
        const ssize_t r = ::getrandom(out + got, sizeof seed - got, 0);
        if (r > 0) {
            got += static_cast<std::size_t>(r);
        } else if (r < 0 && errno == EINTR) {
            continue;
        } else {
            break;
        }
    }
    if (got == sizeof seed) return seed;
    // Kernels without getrandom: random_device, stirred with the clock in case
    // it is a deterministic implementation.
    std::random_device device;
    seed = (static_cast<std::uint64_t>(device()) << 32) ^ device();
    return mix64(seed ^
                 static_cast<std::uint64_t>(std::chrono::high_resolution_clock::now().time_since_epoch().count()));
}

}  // namespace quorvantis
