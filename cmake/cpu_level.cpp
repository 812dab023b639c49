// Configure-time check: prints the highest x86-64 level that this processor and its operating
// system run, as CPUID and XGETBV report them.
#include <cstdio>

int main() {
    __builtin_cpu_init();
    if (__builtin_cpu_supports("x86-64-v4"))
        std::puts("x86-64-v4");
    else if (__builtin_cpu_supports("x86-64-v3"))
        std::puts("x86-64-v3");
    return 0;
}
