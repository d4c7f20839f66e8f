# The Debian package of the Linux programs, made by CPack:
#   cmake --build --preset linux --target package
# writes orvane-updater_<version>_<arch>.deb into the build folder. It holds orvane-updater
# and orvane-m1-sim with their manual pages, the desktop entry, the theme icon at every size,
# the AppStream metadata, the copyright file and the changelog. The version is the one the
# about box shows; the dependencies are the shared libraries dpkg-shlibdeps finds, plus the Qt
# platform plugins, which Qt loads at run time and no linker sees.
include(GNUInstallDirs)

# The version the user sees in the about box, from the catalogue.
file(STRINGS ${ORVANE_SOURCE_ROOT}/res/catalogue/catalogue.h _about_line
     REGEX "^constexpr const char\\* ABOUT_VERSION = \"[0-9.]+\";")
string(REGEX REPLACE ".*\"([0-9.]+)\".*" "\\1" ORVANE_PACKAGE_VERSION "${_about_line}")
if(NOT ORVANE_PACKAGE_VERSION MATCHES "^[0-9]+(\\.[0-9]+)+$")
  message(FATAL_ERROR "Packaging: no ABOUT_VERSION found in res/catalogue/catalogue.h")
endif()

set(_linux ${ORVANE_SOURCE_ROOT}/res/linux)
set(_out ${CMAKE_BINARY_DIR}/package-files)

# Manual pages and the changelog go compressed to the utmost, without a name or time stamp in
# the gzip header, so that the same sources give the same package.
find_program(ORVANE_GZIP gzip REQUIRED)
set(_compressed "")
foreach(file orvane-updater.1 orvane-m1-sim.1 changelog)
  add_custom_command(
    OUTPUT ${_out}/${file}.gz
    COMMAND ${CMAKE_COMMAND} -E make_directory ${_out}
    COMMAND ${CMAKE_COMMAND} -E copy ${_linux}/${file} ${_out}/${file}
    COMMAND ${ORVANE_GZIP} -9nf ${_out}/${file}
    DEPENDS ${_linux}/${file}
    VERBATIM)
  list(APPEND _compressed ${_out}/${file}.gz)
endforeach()
add_custom_target(orvane_package_files ALL DEPENDS ${_compressed} orvane_icon)

# Directories in the package as Debian expects them, whatever the umask of the build.
set(CMAKE_INSTALL_DEFAULT_DIRECTORY_PERMISSIONS
    OWNER_READ OWNER_WRITE OWNER_EXECUTE GROUP_READ GROUP_EXECUTE WORLD_READ WORLD_EXECUTE)
install(TARGETS orvane-updater orvane-m1-sim RUNTIME DESTINATION ${CMAKE_INSTALL_BINDIR})
install(FILES ${_out}/orvane-updater.1.gz ${_out}/orvane-m1-sim.1.gz
        DESTINATION ${CMAKE_INSTALL_MANDIR}/man1)
install(FILES ${_linux}/${ORVANE_APP_ID}.desktop DESTINATION ${CMAKE_INSTALL_DATADIR}/applications)
install(FILES ${_linux}/${ORVANE_APP_ID}.metainfo.xml DESTINATION ${CMAKE_INSTALL_DATADIR}/metainfo)
foreach(size IN LISTS ORVANE_ICON_SIZES)
  install(FILES ${ORVANE_ICON_THEME_DIR}/${size}x${size}/apps/${ORVANE_APP_ID}.png
          DESTINATION ${CMAKE_INSTALL_DATADIR}/icons/hicolor/${size}x${size}/apps)
endforeach()
install(FILES ${_linux}/copyright ${_out}/changelog.gz
        DESTINATION ${CMAKE_INSTALL_DATADIR}/doc/orvane-updater)

set(CPACK_GENERATOR DEB)
set(CPACK_PACKAGE_NAME orvane-updater)
set(CPACK_PACKAGE_VERSION ${ORVANE_PACKAGE_VERSION})
set(CPACK_PACKAGE_VENDOR Orvane)
set(CPACK_PACKAGE_CONTACT "Orvane <support@orvane.example>")
set(CPACK_PACKAGING_INSTALL_PREFIX /usr)
set(CPACK_STRIP_FILES ON)
set(CPACK_DEBIAN_FILE_NAME DEB-DEFAULT)
set(CPACK_DEBIAN_PACKAGE_SECTION utils)
set(CPACK_DEBIAN_PACKAGE_PRIORITY optional)
set(CPACK_DEBIAN_PACKAGE_SHLIBDEPS ON)
# Qt loads its platform plugin at run time: xcb (qt6-qpa-plugins) for X11 sessions and wayland
# (qt6-wayland) for Wayland sessions, where without it the program runs only through XWayland,
# or not at all (exit code 134) where there is none or QT_QPA_PLATFORM=wayland is set. Both
# are small, and a program that aborts in the user's session is worse than either: Depends.
set(CPACK_DEBIAN_PACKAGE_DEPENDS "qt6-qpa-plugins, qt6-wayland")
set(CPACK_DEBIAN_PACKAGE_SUGGESTS "fonts-ipafont-gothic | fonts-noto-cjk")
set(CPACK_DEBIAN_COMPRESSION_TYPE xz)
# The synopsis, then the long description; CPack indents the lines and marks the blank one.
set(CPACK_DEBIAN_PACKAGE_DESCRIPTION
    "firmware updater for the Orvane M1 network media receiver
Brings the firmware of an Orvane M1 network media receiver up to date over
the local network. The firmware is carried inside the program; the receiver
finds the updater by itself, fetches the firmware and writes it while a
progress window shows how far it has got.

The package also carries orvane-m1-sim, which plays a receiver against the
updater so that support staff can tell a problem of the PC from a problem of
the device.")
include(CPack)

# The package's checks (tests/package/check_package.sh): validators, the file list and the
# unpacked program's start. They look at the package the last package build made, and skip
# when there is none or when it is older than the program.
if(ORVANE_BUILD_TESTS AND NOT ORVANE_SANITIZE)
  add_test(NAME package_check
           COMMAND bash ${ORVANE_SOURCE_ROOT}/tests/package/check_package.sh ${CMAKE_BINARY_DIR} ${ORVANE_SOURCE_ROOT})
  set_tests_properties(package_check PROPERTIES SKIP_RETURN_CODE 77 TIMEOUT 300 LABELS package)
  # The program natively on Wayland, under weston's headless back-end (tests/package/run_wayland.sh).
  add_test(NAME package_wayland COMMAND bash ${ORVANE_SOURCE_ROOT}/tests/package/run_wayland.sh ${CMAKE_BINARY_DIR}
                                        ${ORVANE_SOURCE_ROOT} $<TARGET_FILE:qt_backend_test>)
  set_tests_properties(package_wayland PROPERTIES SKIP_RETURN_CODE 77 TIMEOUT 180 LABELS package)
endif()
