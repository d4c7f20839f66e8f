# The Linux programs' packages, made by CPack from one set of install rules:
#   cmake --build --preset linux --target package
# writes orvane-updater_<version>_<arch>.deb and, where rpmbuild is installed (Debian's rpm),
# orvane-updater-<version>-1.<arch>.rpm into the build folder. Both hold orvane-updater and
# orvane-m1-sim with their manual pages, the desktop entry, the theme icon at every size, the
# AppStream metadata, the copyright file and the changelog. The version is the one the about
# box shows. The dependencies are the shared libraries the packaging tool finds in the
# programs (dpkg-shlibdeps; rpm's ELF dependency generator, which also carries the symbol
# versions and so the floors of glibc, libstdc++ and Qt), plus the Qt platform plugins, which
# Qt loads at run time and no linker sees.
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

# The RPM, for the distributions where firewalld is on by default (Fedora, RHEL and its
# rebuilds, openSUSE): the same name, version, summary and files as the .deb.
find_program(ORVANE_RPMBUILD rpmbuild)
if(ORVANE_RPMBUILD)
  list(APPEND CPACK_GENERATOR RPM)
else()
  message(STATUS "rpmbuild not found (Debian: rpm): the package target writes the .deb only")
endif()
# Signing the RPM with the company's GPG key, for whoever holds it. These cache variables, each
# taking the environment variable of the same name when left empty, name it; nothing of the
# key is in the repository:
#   ORVANE_RPM_SIGN_KEY              the key's id, fingerprint or user id in the keyring
#   ORVANE_RPM_SIGN_GNUPGHOME        the keyring's folder (default: gpg's own, ~/.gnupg)
#   ORVANE_RPM_SIGN_PASSPHRASE_FILE  a file holding the key's passphrase (none: no passphrase,
#                                    or gpg-agent has it)
# With a key, CPack runs cmake/sign_rpm.cmake once it has made the RPM: it signs, verifies and
# fails the package target, leaving no RPM, if either fails. Without one the RPM is unsigned.
set(ORVANE_RPM_SIGN_KEY "" CACHE STRING "GPG key (id, fingerprint or user id) that signs the RPM")
set(ORVANE_RPM_SIGN_GNUPGHOME "" CACHE STRING "GnuPG folder holding that key; empty: gpg's own")
set(ORVANE_RPM_SIGN_PASSPHRASE_FILE "" CACHE STRING "File holding the passphrase of that key")
foreach(_name KEY GNUPGHOME PASSPHRASE_FILE)
  if(ORVANE_RPM_SIGN_${_name} STREQUAL "" AND NOT "$ENV{ORVANE_RPM_SIGN_${_name}}" STREQUAL "")
    set(ORVANE_RPM_SIGN_${_name} "$ENV{ORVANE_RPM_SIGN_${_name}}")
  endif()
  if(ORVANE_RPM_SIGN_${_name} AND NOT _name STREQUAL "KEY"
     AND NOT (IS_ABSOLUTE "${ORVANE_RPM_SIGN_${_name}}" AND EXISTS "${ORVANE_RPM_SIGN_${_name}}"))
    message(FATAL_ERROR "Packaging: ORVANE_RPM_SIGN_${_name} must name an existing file or folder by its "
                        "absolute path, not ${ORVANE_RPM_SIGN_${_name}}")
  endif()
  set(CPACK_ORVANE_RPM_SIGN_${_name} "${ORVANE_RPM_SIGN_${_name}}")
endforeach()
if(ORVANE_RPM_SIGN_KEY)
  find_program(ORVANE_RPMSIGN rpmsign)
  find_program(ORVANE_GPG NAMES gpg gpg2)
  if(NOT ORVANE_RPMBUILD OR NOT ORVANE_RPMSIGN OR NOT ORVANE_GPG)
    message(FATAL_ERROR "Packaging: signing the RPM needs rpmbuild and rpmsign (Debian: rpm) and gpg")
  endif()
  set(CPACK_ORVANE_GPG ${ORVANE_GPG})
  set(CPACK_POST_BUILD_SCRIPTS ${CMAKE_CURRENT_LIST_DIR}/sign_rpm.cmake)
  message(STATUS "Signing the RPM with the GPG key ${ORVANE_RPM_SIGN_KEY}")
endif()
set(CPACK_RPM_FILE_NAME RPM-DEFAULT)
set(CPACK_RPM_PACKAGE_RELEASE 1)
set(CPACK_RPM_PACKAGE_LICENSE "LicenseRef-proprietary AND CC0-1.0")
set(CPACK_RPM_PACKAGE_GROUP "Applications/System")
set(CPACK_RPM_COMPRESSION_TYPE xz)
# Installed where the .deb installs, not moved elsewhere with rpm --prefix.
set(CPACK_PACKAGE_RELOCATABLE OFF)
# The .deb's synopsis and long description, split where the first line ends.
string(FIND "${CPACK_DEBIAN_PACKAGE_DESCRIPTION}" "\n" _eol)
string(SUBSTRING "${CPACK_DEBIAN_PACKAGE_DESCRIPTION}" 0 ${_eol} CPACK_RPM_PACKAGE_SUMMARY)
math(EXPR _eol "${_eol} + 1")
string(SUBSTRING "${CPACK_DEBIAN_PACKAGE_DESCRIPTION}" ${_eol} -1 CPACK_RPM_PACKAGE_DESCRIPTION)
# Requirements: the libraries come from rpm's own ELF generator, which names each with the
# symbol versions the programs use: libc.so.6(GLIBC_2.34)(64bit), libstdc++.so.6(GLIBCXX_...)
# and libQt6Core.so.6(Qt_6.4)(64bit) are the floors of glibc, libstdc++ and Qt, whatever the
# distribution calls its packages. The platform plugins, which no linker sees, are required by
# file: Fedora and openSUSE give the packages different names but install Qt 6's plugins in
# the same folder. X11 and Wayland both, as the desktop may be either.
if(CMAKE_SIZEOF_VOID_P EQUAL 8)
  set(_rpm_qt_platforms /usr/lib64/qt6/plugins/platforms)
else()
  set(_rpm_qt_platforms /usr/lib/qt6/plugins/platforms)
endif()
set(CPACK_RPM_PACKAGE_REQUIRES "${_rpm_qt_platforms}/libqxcb.so, ${_rpm_qt_platforms}/libqwayland-generic.so")
# The package owns its files and its documentation folder, not the folders the system and the
# icon theme own.
set(CPACK_RPM_EXCLUDE_FROM_AUTO_FILELIST_ADDITION
    /usr/share/applications /usr/share/metainfo /usr/share/man /usr/share/man/man1 /usr/share/icons
    /usr/share/icons/hicolor)
foreach(size IN LISTS ORVANE_ICON_SIZES)
  list(APPEND CPACK_RPM_EXCLUDE_FROM_AUTO_FILELIST_ADDITION /usr/share/icons/hicolor/${size}x${size}
       /usr/share/icons/hicolor/${size}x${size}/apps)
endforeach()
# No /usr/lib/.build-id links (files the .deb does not have); the contact as the Packager.
set(CPACK_RPM_SPEC_MORE_DEFINE "%define _build_id_links none\n%define packager ${CPACK_PACKAGE_CONTACT}")
# The changelog, from the Debian one: "pkg (version) ...", "  * item" with continuation lines,
# " -- Name <mail>  Day, DD Mon YYYY ..." become "* Day Mon DD YYYY Name <mail> - version-1"
# and "- item".
set_property(DIRECTORY APPEND PROPERTY CMAKE_CONFIGURE_DEPENDS ${_linux}/changelog)
file(READ ${_linux}/changelog _debian_changelog)
string(REPLACE ";" "<semicolon>" _debian_changelog "${_debian_changelog}")
string(REPLACE "\n" ";" _debian_changelog "${_debian_changelog}")
set(_rpm_changelog "")
set(_entry "")
foreach(line IN LISTS _debian_changelog)
  if(line MATCHES "^[a-z0-9.+-]+ \\(([^)]+)\\)")
    set(_entry_version ${CMAKE_MATCH_1})
    set(_entry "")
  elseif(line MATCHES "^  \\* (.*)$")
    string(APPEND _entry "- ${CMAKE_MATCH_1}\n")
  elseif(line MATCHES "^    +(.*)$")
    string(APPEND _entry "  ${CMAKE_MATCH_1}\n")
  elseif(line MATCHES "^ -- (.+)  ([A-Z][a-z][a-z]), ([0-9]+) ([A-Z][a-z][a-z]) ([0-9]+) ")
    string(APPEND _rpm_changelog "* ${CMAKE_MATCH_2} ${CMAKE_MATCH_4} ${CMAKE_MATCH_3} ${CMAKE_MATCH_5} "
                                 "${CMAKE_MATCH_1} - ${_entry_version}-${CPACK_RPM_PACKAGE_RELEASE}\n${_entry}\n")
  endif()
endforeach()
if(NOT _rpm_changelog)
  message(FATAL_ERROR "Packaging: no entry found in ${_linux}/changelog")
endif()
string(REPLACE "<semicolon>" ";" _rpm_changelog "${_rpm_changelog}")
string(STRIP "${_rpm_changelog}" _rpm_changelog)
file(WRITE ${_out}/rpm-changelog "${_rpm_changelog}\n")
set(CPACK_RPM_CHANGELOG_FILE ${_out}/rpm-changelog)
include(CPack)

# The package's checks (tests/package/check_package.sh): validators, the file list and the
# unpacked program's start. They look at the package the last package build made, and skip
# when there is none or when it is older than the program.
if(ORVANE_BUILD_TESTS AND NOT ORVANE_SANITIZE)
  add_test(NAME package_check
           COMMAND bash ${ORVANE_SOURCE_ROOT}/tests/package/check_package.sh ${CMAKE_BINARY_DIR} ${ORVANE_SOURCE_ROOT})
  set_tests_properties(package_check PROPERTIES SKIP_RETURN_CODE 77 TIMEOUT 300 LABELS package)
  # The RPM beside it (tests/package/check_rpm.sh): requirements, the .deb's files, rpmlint.
  add_test(NAME package_rpm_check
           COMMAND bash ${ORVANE_SOURCE_ROOT}/tests/package/check_rpm.sh ${CMAKE_BINARY_DIR} ${ORVANE_SOURCE_ROOT})
  set_tests_properties(package_rpm_check PROPERTIES SKIP_RETURN_CODE 77 TIMEOUT 300 LABELS package)
  # The program natively on Wayland, under weston's headless back-end (tests/package/run_wayland.sh).
  add_test(NAME package_wayland COMMAND bash ${ORVANE_SOURCE_ROOT}/tests/package/run_wayland.sh ${CMAKE_BINARY_DIR}
                                        ${ORVANE_SOURCE_ROOT} $<TARGET_FILE:qt_backend_test>)
  set_tests_properties(package_wayland PROPERTIES SKIP_RETURN_CODE 77 TIMEOUT 180 LABELS package)
endif()
