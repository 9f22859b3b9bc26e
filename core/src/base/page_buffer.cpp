#include "quorvantis/base/page_buffer.hpp"

#include <pthread.h>
#include <sys/mman.h>

#include <mutex>
#include <vector>

namespace quorvantis::page_cache {
namespace {

constexpr std::size_t kCacheBytes = std::size_t{48} << 20;
constexpr std::size_t kHuge = std::size_t{2} << 20;

struct Entry {
    void* p;
    std::size_t capacity;
};

std::mutex g_mu;
std::vector<Entry>* g_entries = nullptr;  // never freed: used from atfork and exit paths
std::size_t g_bytes = 0;

std::vector<Entry>& entries() {
    static const bool registered = [] {
        pthread_atfork([] { g_mu.lock(); }, [] { g_mu.unlock(); }, [] { g_mu.unlock(); });
        return true;
    }();
    (void)registered;
    if (g_entries == nullptr) g_entries = new std::vector<Entry>();
    return *g_entries;
}

std::size_t round_up(std::size_t bytes) {
    const std::size_t unit = bytes >= kHuge ? kHuge : 4096;
    return (bytes + unit - 1) / unit * unit;
}

}  // namespace

void* take(std::size_t bytes, std::size_t& capacity, bool zeroed) {
    const std::size_t want = round_up(bytes);
    {
        std::lock_guard lock(g_mu);
        auto& list = entries();
        // The smallest cached mapping that fits and wastes at most half of it.
        std::size_t best = list.size();
        for (std::size_t i = 0; i < list.size(); ++i)
            if (list[i].capacity >= want && list[i].capacity <= 2 * want &&
                (best == list.size() || list[i].capacity < list[best].capacity))
                best = i;
        if (best < list.size()) {
            const Entry e = list[best];
            list.erase(list.begin() + static_cast<std::ptrdiff_t>(best));
            g_bytes -= e.capacity;
            capacity = e.capacity;
            if (zeroed) std::memset(e.p, 0, bytes);
            return e.p;
        }
    }
    void* p = ::mmap(nullptr, want, PROT_READ | PROT_WRITE, MAP_PRIVATE | MAP_ANONYMOUS, -1, 0);  // zeroed
    if (p == MAP_FAILED) throw std::bad_alloc();
    // Fewer faults on big arrays where transparent huge pages are on request.
    if (want >= kHuge) (void)::madvise(p, want, MADV_HUGEPAGE);
    capacity = want;
    return p;
}

void give_back(void* p, std::size_t capacity) noexcept {
    {
        std::lock_guard lock(g_mu);
        if (g_bytes + capacity <= kCacheBytes) {
            try {
                entries().push_back({p, capacity});
                g_bytes += capacity;
                return;
            } catch (...) {
            }
        }
    }
    ::munmap(p, capacity);
}

std::size_t cached_bytes() noexcept {
    std::lock_guard lock(g_mu);
    return g_bytes;
}

}  // namespace quorvantis::page_cache
