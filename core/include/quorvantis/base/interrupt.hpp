// The callback a caller blocked on a long computation polls.
#pragma once

#include <functional>

namespace quorvantis {

// Returning true asks the computation to stop early (it then reports
// Halt::Interrupted and changes nothing).
using Interrupt = std::function<bool()>;

}  // namespace quorvantis
