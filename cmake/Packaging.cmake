# SPDX-License-Identifier: MIT
# SPDX-FileCopyrightText: 2026 lanbeacon developers
# Debian packages with `cpack -G DEB` in a configured build tree: the program, the
# runtime library (named after its SOVERSION) and the development files. Build the tree
# with -DCMAKE_INSTALL_PREFIX=/usr for packages: the libraries then go to the multiarch
# directory, and the packages install where the tree was configured to.
set(CPACK_PACKAGE_NAME lanbeacon)
set(CPACK_PACKAGE_VENDOR "lanbeacon developers")
set(CPACK_PACKAGE_CONTACT "lanbeacon developers <lanbeacon@example.org>")
# No CPACK_PACKAGE_DESCRIPTION_SUMMARY: CPack would put that one line before every
# package's own description (CPACK_DEBIAN_<COMPONENT>_DESCRIPTION, below), as the
# synopsis of all five.
set(CPACK_PACKAGING_INSTALL_PREFIX ${CMAKE_INSTALL_PREFIX})
# The unit and /etc/default/lanbeacon lie outside the prefix: every path is staged under
# DESTDIR, never written to this host.
set(CPACK_SET_DESTDIR ON)
set(CPACK_STRIP_FILES ON)

set(CPACK_DEB_COMPONENT_INSTALL ON)
set(CPACK_COMPONENTS_ALL program runtime dev)
# The libraries that the component loads at run time where they are of use come as
# packages of their own, so that a device takes QtDBus or ldns only if it wants them.
if(LANBEACON_DAEMON_BACKEND)
    list(APPEND CPACK_COMPONENTS_ALL daemon)
endif()
if(LANBEACON_WIDE_AREA)
    list(APPEND CPACK_COMPONENTS_ALL widearea)
endif()
set(CPACK_COMPONENTS_GROUPING IGNORE)
set(CPACK_COMPONENT_PROGRAM_DEPENDS runtime)
set(CPACK_COMPONENT_DEV_DEPENDS runtime)
set(CPACK_COMPONENT_DAEMON_DEPENDS runtime)
set(CPACK_COMPONENT_WIDEAREA_DEPENDS runtime)
set(CPACK_DEBIAN_ENABLE_COMPONENT_DEPENDS ON)
set(CPACK_DEBIAN_FILE_NAME DEB-DEFAULT)

# Depends of the program and the library come from the ELF files themselves; the
# program finds the library it needs in this build tree.
set(CPACK_DEBIAN_PACKAGE_SHLIBDEPS ON)
set(CPACK_DEBIAN_PACKAGE_SHLIBDEPS_PRIVATE_DIRS ${CMAKE_BINARY_DIR}/zeroConfig)
# ...and programs built later against the library get theirs from its shlibs file.
set(CPACK_DEBIAN_PACKAGE_GENERATE_SHLIBS ON)
set(CPACK_DEBIAN_PACKAGE_GENERATE_SHLIBS_POLICY ">=")

set(CPACK_DEBIAN_PROGRAM_PACKAGE_NAME lanbeacon)
set(CPACK_DEBIAN_PROGRAM_PACKAGE_SECTION net)
set(CPACK_DEBIAN_PROGRAM_PACKAGE_CONTROL_EXTRA ${LANBEACON_PROGRAM_CONFFILES})
# The first line is the synopsis; the lines after it, each under 80 columns, the
# extended description.
set(CPACK_DEBIAN_PROGRAM_DESCRIPTION "Announces a printer on the local network over mDNS/DNS-SD
Publishes one printer service with its TXT entries and keeps it announced
while it runs. A systemd unit runs it with the values that
/etc/default/lanbeacon gives.")

# Debian package names are lower case.
set(CPACK_DEBIAN_RUNTIME_PACKAGE_NAME libqtzeroconf1)
set(CPACK_DEBIAN_RUNTIME_PACKAGE_SECTION libs)
set(CPACK_DEBIAN_RUNTIME_DESCRIPTION "Qt component publishing and browsing DNS-SD services over mDNS
libQtZeroConf.so.1, driven by the Qt event loop, with an embedded mDNS
responder.")
# ldconfig runs from dpkg's trigger, as Debian asks of every shared library package.
file(WRITE ${CMAKE_BINARY_DIR}/runtime-triggers/triggers "activate-noawait ldconfig\n")
set(CPACK_DEBIAN_RUNTIME_PACKAGE_CONTROL_EXTRA ${CMAKE_BINARY_DIR}/runtime-triggers/triggers)

set(CPACK_DEBIAN_DAEMON_PACKAGE_NAME libqtzeroconf1-daemon)
set(CPACK_DEBIAN_DAEMON_PACKAGE_SECTION libs)
set(CPACK_DEBIAN_DAEMON_DESCRIPTION "libQtZeroConf: publishing and browsing through avahi-daemon
Loaded by libQtZeroConf where a system bus exists; talks to avahi-daemon
over QtDBus.")
set(CPACK_DEBIAN_WIDEAREA_PACKAGE_NAME libqtzeroconf1-widearea)
set(CPACK_DEBIAN_WIDEAREA_PACKAGE_SECTION libs)
set(CPACK_DEBIAN_WIDEAREA_DESCRIPTION "libQtZeroConf: registration in the site's DNS
Loaded by libQtZeroConf where a registration domain may exist; signed DNS
UPDATE with ldns.")

set(CPACK_DEBIAN_DEV_PACKAGE_NAME libqtzeroconf-dev)
set(CPACK_DEBIAN_DEV_PACKAGE_SECTION libdevel)
# Headers and the CMake package need Qt's own development files; nothing here is an
# ELF file that dpkg-shlibdeps could read this from.
if(QT_VERSION_MAJOR EQUAL 5)
    set(CPACK_DEBIAN_DEV_PACKAGE_DEPENDS qtbase5-dev)
else()
    set(CPACK_DEBIAN_DEV_PACKAGE_DEPENDS qt6-base-dev)
endif()
set(CPACK_DEBIAN_DEV_DESCRIPTION "Development files for libQtZeroConf
Headers, the CMake package QtZeroConf and the pkg-config file QtZeroConf.pc.")

# A cross build packages for its target: dpkg-shlibdeps then has to read ARM objects
# (the target's objdump) and look up the target's packages, which it does for the
# architecture in DEB_HOST_ARCH.
if(CMAKE_CROSSCOMPILING AND CMAKE_LIBRARY_ARCHITECTURE)
    execute_process(COMMAND dpkg-architecture -t${CMAKE_LIBRARY_ARCHITECTURE} -qDEB_HOST_ARCH
        OUTPUT_VARIABLE LANBEACON_DEB_ARCH OUTPUT_STRIP_TRAILING_WHITESPACE
        ERROR_QUIET)
    if(LANBEACON_DEB_ARCH)
        set(CPACK_DEBIAN_PACKAGE_ARCHITECTURE ${LANBEACON_DEB_ARCH})
        configure_file(${PROJECT_SOURCE_DIR}/cmake/CPackCross.cmake.in
            ${CMAKE_BINARY_DIR}/CPackCross.cmake @ONLY)
        set(CPACK_PROJECT_CONFIG_FILE ${CMAKE_BINARY_DIR}/CPackCross.cmake)
    endif()
endif()

include(CPack)
