# The processor family and instruction-set level of the binary: one level per binary, chosen
# when the build is configured.
#
# x86-64: x86-64-v4 (AVX-512) where the building processor has every v4 feature, else
# x86-64-v3 (AVX2, BMI2). A cross build (Windows) cannot look at the processor it will run on
# and defaults to x86-64-v3.
# aarch64: armv8-a, whose Advanced SIMD (NEON) every 64-bit ARM processor has.
#
# Sets ORVANE_ARCH (x86-64 or aarch64) and the cache variable ORVANE_LEVEL, the -march value.
if(CMAKE_SYSTEM_PROCESSOR MATCHES "^(x86_64|AMD64|amd64)$")
    set(ORVANE_ARCH x86-64)
elseif(CMAKE_SYSTEM_PROCESSOR MATCHES "^(aarch64|arm64|ARM64)$")
    set(ORVANE_ARCH aarch64)
else()
    message(FATAL_ERROR "Orvane builds for x86-64 and aarch64, not ${CMAKE_SYSTEM_PROCESSOR}")
endif()

if(ORVANE_ARCH STREQUAL "x86-64")
    set(_v3_flags avx avx2 bmi1 bmi2 fma abm movbe)
    set(_v4_flags avx512f avx512bw avx512vl avx512dq avx512cd)
    set(_default_level x86-64-v3)
    # Ask the processor (CPUID) first: some kernels and hypervisors leave flags out of
    # /proc/cpuinfo (`abm`, which stands for LZCNT, on some AMD virtual machines) although the
    # processor runs the instructions. The flag list is the fallback for compilers that do not
    # know the level names.
    set(_level_seen "")
    if(NOT CMAKE_CROSSCOMPILING)
        try_run(_level_ran _level_built ${CMAKE_BINARY_DIR}/cpu-level
                ${CMAKE_CURRENT_LIST_DIR}/cpu_level.cpp RUN_OUTPUT_VARIABLE _level_seen)
        string(STRIP "${_level_seen}" _level_seen)
        if(NOT _level_built OR NOT _level_ran EQUAL 0 OR NOT _level_seen MATCHES "^x86-64-v[34]$")
            set(_level_seen "")
        endif()
    endif()
    if(_level_seen)
        set(_default_level ${_level_seen})
    elseif(NOT CMAKE_CROSSCOMPILING AND EXISTS /proc/cpuinfo)
        file(STRINGS /proc/cpuinfo _cpu_flags_line REGEX "^flags" LIMIT_COUNT 1)
        string(REPLACE " " ";" _cpu_flags "${_cpu_flags_line}")
        set(_has_v4 TRUE)
        foreach(f IN LISTS _v3_flags _v4_flags)
            if(NOT f IN_LIST _cpu_flags)
                set(_has_v4 FALSE)
            endif()
        endforeach()
        if(_has_v4)
            set(_default_level x86-64-v4)
        endif()
    endif()
    set(ORVANE_LEVEL ${_default_level} CACHE STRING "x86-64 level of the binary (x86-64-v3 or x86-64-v4)")
    set_property(CACHE ORVANE_LEVEL PROPERTY STRINGS x86-64-v3 x86-64-v4)
    if(NOT ORVANE_LEVEL MATCHES "^x86-64-v[34]$")
        message(FATAL_ERROR "ORVANE_LEVEL must be x86-64-v3 or x86-64-v4, not ${ORVANE_LEVEL}")
    endif()
else()
    set(ORVANE_LEVEL armv8-a CACHE STRING "ARM architecture level of the binary (armv8-a or later)")
    if(NOT ORVANE_LEVEL MATCHES "^armv[89]")
        message(FATAL_ERROR "ORVANE_LEVEL must be an ARMv8 or later level, not ${ORVANE_LEVEL}")
    endif()
endif()
message(STATUS "Orvane build level: ${ORVANE_LEVEL} (${ORVANE_ARCH}, ${CMAKE_SYSTEM_NAME})")
