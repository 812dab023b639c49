// The processor check of 64-bit ARM builds. The network's vector path needs Advanced SIMD
// (NEON), which the architecture makes mandatory; the check still asks the kernel, so that
// an odd emulator or virtual machine gets a message rather than an illegal instruction.
#include "uci/cpu_check.h"

#if defined(__aarch64__)
#if defined(__linux__)
#include <asm/hwcap.h>
#include <sys/auxv.h>
#endif

namespace orvane::cpu {

std::string startup_problem() {
#if defined(__linux__)
    if (!(getauxval(AT_HWCAP) & HWCAP_ASIMD))
        return "This copy of Orvane is the " + std::string(BUILD_LEVEL)
               + " build, but this processor lacks: asimd (NEON).";
#endif
    return {};
}

}  // namespace orvane::cpu
#endif
