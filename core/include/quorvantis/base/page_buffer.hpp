// Working arrays of a fit. Large ones are mapped from the system, not taken
// from the heap: heap memory freed by a worker thread stays in that thread's
// allocator arena, so fits would leave their buffers behind. Freed mappings
// go to a small process-wide cache that the next buffer reuses (fresh
// mappings cost a page fault per page); the rest is unmapped at once.
#pragma once

#include <cstddef>
#include <cstring>
#include <new>
#include <type_traits>
#include <utility>

namespace quorvantis {

namespace page_cache {
// A zeroed mapping of at least `bytes`; its capacity in `capacity`. Throws std::bad_alloc.
void* take(std::size_t bytes, std::size_t& capacity, bool zeroed);
void give_back(void* p, std::size_t capacity) noexcept;
// Bytes the cache holds now, for tests and benchmarks.
std::size_t cached_bytes() noexcept;
}  // namespace page_cache

template <class T>
class PageBuffer {
    static_assert(std::is_trivially_copyable_v<T> && std::is_trivially_destructible_v<T>);

public:
    static constexpr std::size_t kMapFrom = std::size_t{256} << 10;  // bytes

    PageBuffer() noexcept = default;
    // `n` zeroed elements; throws std::bad_alloc.
    explicit PageBuffer(std::size_t n) { allocate(n); }
    PageBuffer(std::size_t n, const T& fill) {
        allocate(n);
        for (std::size_t i = 0; i < n; ++i) data_[i] = fill;
    }
    PageBuffer(const PageBuffer&) = delete;
    PageBuffer& operator=(const PageBuffer&) = delete;
    PageBuffer(PageBuffer&& o) noexcept
        : data_(std::exchange(o.data_, nullptr)),
          size_(std::exchange(o.size_, 0)),
          capacity_(std::exchange(o.capacity_, 0)) {}
    PageBuffer& operator=(PageBuffer&& o) noexcept {
        if (this != &o) {
            release();
            data_ = std::exchange(o.data_, nullptr);
            size_ = std::exchange(o.size_, 0);
            capacity_ = std::exchange(o.capacity_, 0);
        }
        return *this;
    }
    ~PageBuffer() { release(); }

    T* data() noexcept { return data_; }
    const T* data() const noexcept { return data_; }
    std::size_t size() const noexcept { return size_; }
    bool empty() const noexcept { return size_ == 0; }
    T& operator[](std::size_t i) noexcept { return data_[i]; }
    const T& operator[](std::size_t i) const noexcept { return data_[i]; }
    T* begin() noexcept { return data_; }
    T* end() noexcept { return data_ + size_; }
    const T* begin() const noexcept { return data_; }
    const T* end() const noexcept { return data_ + size_; }

private:
    void allocate(std::size_t n) {
        if (n == 0) return;
        if (n > static_cast<std::size_t>(-1) / sizeof(T)) throw std::bad_alloc();
        const std::size_t bytes = n * sizeof(T);
        void* p = nullptr;
        if (bytes >= kMapFrom) {
            p = page_cache::take(bytes, capacity_, true);
        } else {
            p = ::operator new(bytes, std::align_val_t{alignof(T) > 16 ? alignof(T) : 16});
            std::memset(p, 0, bytes);
        }
        data_ = static_cast<T*>(p);
        size_ = n;
    }
    void release() noexcept {
        if (data_ == nullptr) return;
        if (capacity_ > 0) {
            page_cache::give_back(data_, capacity_);
            capacity_ = 0;
        } else {
            ::operator delete(data_, std::align_val_t{alignof(T) > 16 ? alignof(T) : 16});
        }
        data_ = nullptr;
        size_ = 0;
    }

    T* data_ = nullptr;
    std::size_t size_ = 0;
    std::size_t capacity_ = 0;  // bytes of the mapping; 0 when on the heap
};

}  // namespace quorvantis
