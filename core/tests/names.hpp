// `q::` in the tests names the base, the fixed system and the report code alike.
#pragma once

namespace quorvantis::fixed {}
namespace quorvantis::report {}
namespace q {
using namespace quorvantis;
using namespace quorvantis::fixed;
using namespace quorvantis::report;
}  // namespace q
