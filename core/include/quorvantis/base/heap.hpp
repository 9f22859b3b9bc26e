// Freed heap memory stays resident in the allocator's per-thread arenas. A
// fit that drops a large structure before growing the next one returns those
// pages first, so that the next one does not stack on top of them.
#pragma once

namespace quorvantis {

// Best effort; a no-op where the allocator offers no way to do it.
void return_free_heap() noexcept;

}  // namespace quorvantis
