# The built-in NNUE network. Its bytes are placed in the program by an assembler .incbin, in
# a library of its own (orvane_net) that the engine, the tests and the benchmarks link. The
# core library stays free of them, so that orvane-gen-pst-net, which links only the core,
# can produce the network without a cycle.
#
# The network that reproduces the hand-written piece-square evaluation is always generated:
# the tests compare it with the evaluation it reproduces, and it is the baseline of every
# trained network.
set(PST_NET_FILE "${PROJECT_BINARY_DIR}/pst-reproduction.nnue")
add_custom_command(OUTPUT "${PST_NET_FILE}"
    COMMAND orvane-gen-pst-net "${PST_NET_FILE}"
    DEPENDS orvane-gen-pst-net
    COMMENT "Generating the piece-square reproduction network"
    VERBATIM)
add_custom_target(orvane_pst_net DEPENDS "${PST_NET_FILE}")

# ORVANE_NET_FILE names the network file to embed; when it is empty the build embeds the
# piece-square reproduction.
set(DEFAULT_NET_FILE "networks/gen8.nnue")
set(ORVANE_NET_FILE "${DEFAULT_NET_FILE}" CACHE FILEPATH
    "NNUE network file to embed in the program (empty: the piece-square reproduction)")
# A cached value outlives the default it came from: a build folder configured before a new
# network was built in would go on embedding the old one. A value that is still the default
# of its day follows the new default; one chosen by hand stays.
if(DEFINED CACHE{ORVANE_NET_FILE_DEFAULT} AND ORVANE_NET_FILE STREQUAL ORVANE_NET_FILE_DEFAULT
   AND NOT ORVANE_NET_FILE STREQUAL DEFAULT_NET_FILE)
    message(STATUS "Orvane: the default network is now ${DEFAULT_NET_FILE} (was ${ORVANE_NET_FILE})")
    set_property(CACHE ORVANE_NET_FILE PROPERTY VALUE "${DEFAULT_NET_FILE}")
endif()
set(ORVANE_NET_FILE_DEFAULT "${DEFAULT_NET_FILE}" CACHE INTERNAL "the default network when last configured")

if(ORVANE_NET_FILE)
    get_filename_component(NET_FILE "${ORVANE_NET_FILE}" ABSOLUTE BASE_DIR "${PROJECT_SOURCE_DIR}")
    if(NOT EXISTS "${NET_FILE}")
        message(FATAL_ERROR "ORVANE_NET_FILE ${NET_FILE} does not exist")
    endif()
else()
    set(NET_FILE "${PST_NET_FILE}")
endif()
message(STATUS "Orvane embedded network: ${NET_FILE}")

configure_file(src/core/eval/nnue/default_net.S.in "${PROJECT_BINARY_DIR}/default_net.S" @ONLY)
set_source_files_properties("${PROJECT_BINARY_DIR}/default_net.S" PROPERTIES
    OBJECT_DEPENDS "${NET_FILE}")

# default_net.cpp needs the embedded bytes, so it moves from the core library to this one.
get_target_property(_core_sources orvane_core SOURCES)
list(FILTER _core_sources EXCLUDE REGEX "/src/core/eval/nnue/default_net\\.cpp$")
set_property(TARGET orvane_core PROPERTY SOURCES ${_core_sources})

add_library(orvane_net STATIC
    "${PROJECT_BINARY_DIR}/default_net.S"
    src/core/eval/nnue/default_net.cpp
    "${NET_FILE}")
target_link_libraries(orvane_net PUBLIC orvane_core)
