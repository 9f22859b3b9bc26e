#include "quorvantis/base/heap.hpp"

#if defined(__GLIBC__)
#include <malloc.h>
#endif

namespace quorvantis {

void return_free_heap() noexcept {
#if defined(__GLIBC__)
    // Also releases whole free pages inside every arena, not only at the top.
    malloc_trim(0);
#endif
}

}  // namespace quorvantis
