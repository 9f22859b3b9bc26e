#include "quorvantis/base/cpu_features.hpp"

namespace quorvantis::cpu {

const Features& features() noexcept {
    static const Features found = [] {
        Features f;
#if defined(__x86_64__) && defined(__GNUC__)
        // Also safe during static initialisation, before libgcc's own call.
        __builtin_cpu_init();
        f.avx2 = __builtin_cpu_supports("avx2");
        f.bmi2 = __builtin_cpu_supports("bmi2");
        f.avx512f = __builtin_cpu_supports("avx512f");
        f.avx512vl = __builtin_cpu_supports("avx512vl");
        f.avx512bw = __builtin_cpu_supports("avx512bw");
        f.avx512vbmi2 = __builtin_cpu_supports("avx512vbmi2");
#endif
        return f;
    }();
    return found;
}

}  // namespace quorvantis::cpu
