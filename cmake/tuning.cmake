# The tuning build: every search tune record is also a UCI spin option read at run time, and
# the `spsa` command prints the records for OpenBench (src/core/search/tune.h). The normal
# build keeps the records compile-time constants.
option(ORVANE_TUNING "Search tune records as UCI options and the spsa command" OFF)
if(ORVANE_TUNING)
    add_compile_definitions(ORVANE_TUNING=1)
    message(STATUS "Orvane tuning build: the search's tune records are UCI options")
endif()
