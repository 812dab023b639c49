# Installing: the engine and its manual page, both stamped with the project's version.
# `make install PREFIX=...` puts the engine in PREFIX/bin; the Debian package puts it in
# /usr/games, where Debian's chess engines live (ORVANE_INSTALL_BINDIR=games).
include(GNUInstallDirs)
set(ORVANE_INSTALL_BINDIR ${CMAKE_INSTALL_BINDIR} CACHE STRING
    "Folder under the install prefix for the engine (bin, or games as in Debian's packages)")

string(TIMESTAMP ORVANE_MAN_DATE "%Y-%m-%d" UTC)
configure_file(man/orvane.6.in "${PROJECT_BINARY_DIR}/orvane.6" @ONLY)

install(TARGETS orvane RUNTIME DESTINATION ${ORVANE_INSTALL_BINDIR})
install(FILES "${PROJECT_BINARY_DIR}/orvane.6" DESTINATION ${CMAKE_INSTALL_MANDIR}/man6)

# `cmake --build <dir> --target deb`: orvane_<version>_<arch>.deb in the build folder, made by
# dpkg-deb from an install into a staging folder (scripts/make-deb.sh).
if(CMAKE_SYSTEM_NAME STREQUAL "Linux")
    add_custom_target(deb
        COMMAND "${PROJECT_SOURCE_DIR}/scripts/make-deb.sh" "${PROJECT_BINARY_DIR}"
                "${PROJECT_VERSION}" "${PROJECT_SOURCE_DIR}/packaging" "${ORVANE_FATHOM_SOURCE}"
        DEPENDS orvane
        WORKING_DIRECTORY "${PROJECT_BINARY_DIR}"
        COMMENT "Packaging orvane ${PROJECT_VERSION}"
        VERBATIM)
endif()
