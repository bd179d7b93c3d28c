# Install rules, desktop integration and the Debian package.
#
# Included by the top-level CMakeLists once the zavokeyer and zavokeyer-sim
# targets exist. `cmake --install` lays out a normal FHS tree under the
# prefix; `cpack -G DEB` (or `cpack --config <build>/CPackConfig.cmake`)
# turns the same tree into zavokeyer_<version>_<arch>.deb.
include(GNUInstallDirs)

# One reverse-DNS name for the desktop entry, the AppStream component and
# the themed icon, so that menus and software centres tie them together.
set(ZAVO_APP_ID "org.example.zavokeyer")
# The fourth number of the project version is the one that moves between
# releases; packages are numbered major.minor.tweak (1.0.0.7 -> 1.0.7).
set(ZAVO_PACKAGE_VERSION
    "${PROJECT_VERSION_MAJOR}.${PROJECT_VERSION_MINOR}.${PROJECT_VERSION_TWEAK}")
set(ZAVO_HOMEPAGE "https://zavokeyer.example.org")
set(ZAVO_MAINTAINER "Vardel <zavokeyer@example.org>")

# The program opens <exe dir>/../share/doc/zavokeyer/zavokeyer.html, so the
# manual must sit exactly there relative to bin, whatever the prefix; the
# GNUInstallDirs DOCDIR would be named after the CMake project instead.
set(ZAVO_INSTALL_DOCDIR "${CMAKE_INSTALL_DATAROOTDIR}/doc/zavokeyer")
set(ZAVO_PACKAGING_DIR "${CMAKE_CURRENT_LIST_DIR}")
set(ZAVO_GENERATED_DIR "${CMAKE_BINARY_DIR}/packaging")

# ------------------------------------------------------------- build tree

# A build run from its own folder looks for the manual beside the executable
# before anywhere else, so it finds the current one without an install.
get_target_property(_zavo_exe_dir zavokeyer RUNTIME_OUTPUT_DIRECTORY)
if(NOT _zavo_exe_dir)
    set(_zavo_exe_dir "${CMAKE_BINARY_DIR}")
endif()
configure_file("${PROJECT_SOURCE_DIR}/docs/manual.html" "${_zavo_exe_dir}/zavokeyer.html" COPYONLY)

# Debian wants man pages and changelogs gzipped without a time stamp (so
# that two builds of the same sources give the same package).
set(_zavo_gzipped)
foreach(_src IN ITEMS zavokeyer.1 zavokeyer-sim.1 changelog)
    set(_out "${ZAVO_GENERATED_DIR}/${_src}.gz")
    add_custom_command(OUTPUT "${_out}"
        COMMAND ${CMAKE_COMMAND} -DIN=${ZAVO_PACKAGING_DIR}/${_src} -DOUT=${_out}
                -P ${ZAVO_PACKAGING_DIR}/gzip.cmake
        DEPENDS "${ZAVO_PACKAGING_DIR}/${_src}" "${ZAVO_PACKAGING_DIR}/gzip.cmake"
        COMMENT "Compressing ${_src}"
        VERBATIM)
    list(APPEND _zavo_gzipped "${_out}")
endforeach()
add_custom_target(zavo_packaging_files ALL DEPENDS ${_zavo_gzipped})

# ------------------------------------------------------------- install

install(TARGETS zavokeyer zavokeyer-sim RUNTIME DESTINATION ${CMAKE_INSTALL_BINDIR})
# Full RELRO, as Debian's bindnow hardening gives: symbols are bound at
# start, so the relocation tables can be made read-only before main() runs.
if(CMAKE_SYSTEM_NAME STREQUAL "Linux")
    target_link_options(zavokeyer PRIVATE "LINKER:-z,relro,-z,now")
    target_link_options(zavokeyer-sim PRIVATE "LINKER:-z,relro,-z,now")
endif()

install(FILES "${PROJECT_SOURCE_DIR}/docs/manual.html"
        DESTINATION ${ZAVO_INSTALL_DOCDIR} RENAME zavokeyer.html)
install(FILES "${ZAVO_PACKAGING_DIR}/copyright" "${ZAVO_GENERATED_DIR}/changelog.gz"
        DESTINATION ${ZAVO_INSTALL_DOCDIR})
# Registers the manual with Debian's documentation index (dhelp, doc-central);
# its paths are those of the package, so it is of no use under another prefix.
install(FILES "${ZAVO_PACKAGING_DIR}/zavokeyer.doc-base"
        DESTINATION ${CMAKE_INSTALL_DATAROOTDIR}/doc-base RENAME zavokeyer)

install(FILES "${ZAVO_GENERATED_DIR}/zavokeyer.1.gz" "${ZAVO_GENERATED_DIR}/zavokeyer-sim.1.gz"
        DESTINATION ${CMAKE_INSTALL_MANDIR}/man1)

install(FILES "${ZAVO_PACKAGING_DIR}/${ZAVO_APP_ID}.desktop"
        DESTINATION ${CMAKE_INSTALL_DATAROOTDIR}/applications)
install(FILES "${ZAVO_PACKAGING_DIR}/${ZAVO_APP_ID}.metainfo.xml"
        DESTINATION ${CMAKE_INSTALL_DATAROOTDIR}/metainfo)

# The window and the About box show the same picture from the resources.
set(_zavo_icondir "${CMAKE_INSTALL_DATAROOTDIR}/icons/hicolor")
install(FILES "${PROJECT_SOURCE_DIR}/app/icons/zavokeyer-32.png"
        DESTINATION ${_zavo_icondir}/32x32/apps RENAME ${ZAVO_APP_ID}.png)
install(FILES "${PROJECT_SOURCE_DIR}/app/icons/zavokeyer-64.png"
        DESTINATION ${_zavo_icondir}/64x64/apps RENAME ${ZAVO_APP_ID}.png)
install(FILES "${PROJECT_SOURCE_DIR}/app/icons/zavokeyer.svg"
        DESTINATION ${_zavo_icondir}/scalable/apps RENAME ${ZAVO_APP_ID}.svg)

# ------------------------------------------------------------- Debian package

set(CPACK_GENERATOR "DEB")
set(CPACK_PACKAGE_NAME "zavokeyer")
set(CPACK_PACKAGE_VENDOR "Vardel")
set(CPACK_PACKAGE_VERSION "${ZAVO_PACKAGE_VERSION}")
set(CPACK_PACKAGE_CONTACT "${ZAVO_MAINTAINER}")
set(CPACK_PACKAGE_DESCRIPTION_SUMMARY "simple memory keyer for the WinKey Morse keyer chip")
set(CPACK_PACKAGE_HOMEPAGE_URL "${ZAVO_HOMEPAGE}")
set(CPACK_PACKAGING_INSTALL_PREFIX "/usr")
set(CPACK_STRIP_FILES ON)
# Directories a umask of 027 or 077 would create otherwise end up unreadable
# for everyone but root once installed.
set(CPACK_INSTALL_DEFAULT_DIRECTORY_PERMISSIONS
    OWNER_READ OWNER_WRITE OWNER_EXECUTE GROUP_READ GROUP_EXECUTE WORLD_READ WORLD_EXECUTE)

set(CPACK_DEBIAN_PACKAGE_NAME "zavokeyer")
set(CPACK_DEBIAN_FILE_NAME DEB-DEFAULT)
set(CPACK_DEBIAN_PACKAGE_MAINTAINER "${ZAVO_MAINTAINER}")
set(CPACK_DEBIAN_PACKAGE_SECTION "hamradio")
set(CPACK_DEBIAN_PACKAGE_PRIORITY "optional")
set(CPACK_DEBIAN_PACKAGE_HOMEPAGE "${ZAVO_HOMEPAGE}")
# dpkg-shlibdeps finds the libraries the two programs link; the Qt platform
# plugin they load at run time comes with libqt6gui6, which it finds too.
set(CPACK_DEBIAN_PACKAGE_SHLIBDEPS ON)
# The fixed-size windows ask for Liberation Sans when the classic dialog face
# is missing; without it fontconfig picks another face and captions may clip.
set(CPACK_DEBIAN_PACKAGE_RECOMMENDS "fonts-liberation")
set(CPACK_DEBIAN_PACKAGE_CONTROL_STRICT_PERMISSION ON)
# CPack puts the summary above this as the synopsis line.
set(CPACK_DEBIAN_PACKAGE_DESCRIPTION
"Zavo Keyer is a small desktop front end for the WinKey CW keyer chip on a
serial port (or a USB serial adapter). It holds five stored messages and
sends them with the function keys or its buttons, keys the transmitter for
tuning, and shows the chip's state and the speed set on its knob. Loggers
such as tlf, cqrlog and xlog can key through it over UDP, as through cwdaemon.
.
The package also contains zavokeyer-sim, a simulator of the chip on a
pseudo-terminal, for trying the program without the hardware.")

include(CPack)
