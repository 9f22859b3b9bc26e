// The module's own writer on file descriptor 1.
#pragma once

#include <string_view>

namespace quorvantis::py {

// Flushes Python's sys.stdout first, so earlier prints appear before our
// text; then writes all of `text` to fd 1. Returns false with OSError set.
bool write_stdout(std::string_view text);

}  // namespace quorvantis::py
