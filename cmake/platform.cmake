# What differs between the operating systems and processors Orvane is built for: where the
# Syzygy probing library comes from, static linking, and the few POSIX calls Windows lacks.
#
# Fathom: a native Debian build links Debian's libfathom. A cross build compiles the library
# from Debian's own source package (unpacked by scripts/fathom-source.sh, outside the
# repository) for its target, with the settings Debian builds it with; ORVANE_FATHOM_SOURCE
# names the folder that holds tbprobe.c.
set(ORVANE_FATHOM_SOURCE "" CACHE PATH
    "Folder with Fathom's tbprobe.c, compiled into the program (empty: link Debian's libfathom)")
if(ORVANE_FATHOM_SOURCE)
    if(NOT EXISTS "${ORVANE_FATHOM_SOURCE}/tbprobe.c")
        message(FATAL_ERROR "ORVANE_FATHOM_SOURCE: no tbprobe.c in ${ORVANE_FATHOM_SOURCE}")
    endif()
    enable_language(C)
    add_library(orvane_fathom STATIC "${ORVANE_FATHOM_SOURCE}/tbprobe.c")
    target_include_directories(orvane_fathom SYSTEM PUBLIC "${ORVANE_FATHOM_SOURCE}")
    # The engine serialises every call into Fathom itself, as with Debian's library.
    target_compile_definitions(orvane_fathom PRIVATE TB_NO_THREADS TB_NO_HW_POP_COUNT)
    set_target_properties(orvane_fathom PROPERTIES C_STANDARD 99 C_EXTENSIONS ON)
    target_compile_options(orvane_fathom PRIVATE -w)  # another project's code, as it is
    set(ORVANE_FATHOM_LIBRARY orvane_fathom)
else()
    set(ORVANE_FATHOM_LIBRARY fathom)
endif()

# A cross-built program links everything statically: the Windows program then needs no DLL
# beside it and the ARM64 one runs on any distribution's C library.
option(ORVANE_STATIC "Link the programs statically" ${CMAKE_CROSSCOMPILING})
if(ORVANE_STATIC)
    add_link_options(-static)
endif()

if(WIN32)
    # Stand-ins for <sys/mman.h> and the POSIX open flags, found before the system headers.
    include_directories(BEFORE "${PROJECT_SOURCE_DIR}/src/compat/windows")
    # The main thread runs searches too (bench, genfens): it gets the 8 MB stack Linux gives
    # it, not Windows' 2 MB. (Search threads set their own size.)
    add_link_options(-Wl,--stack,8388608)
endif()
