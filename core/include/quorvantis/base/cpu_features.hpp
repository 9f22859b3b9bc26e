// The instruction sets beyond plain x86-64 that the wide paths (split scores,
// code lists, prediction walks and sums) may use, asked of the processor once.
#pragma once

namespace quorvantis::cpu {

struct Features {
    bool avx2 = false, bmi2 = false, avx512f = false, avx512vl = false, avx512bw = false, avx512vbmi2 = false;
};

// All false where the processor is not x86-64 or the compiler cannot ask.
const Features& features() noexcept;

}  // namespace quorvantis::cpu
