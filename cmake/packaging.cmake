# Debian packages, made by CPack in the build folder with `cpack -G DEB`: one
# package per install component, versions from the project's version.
#
#   component     package          holds
#   runtime       libspweth3       the shared library under its soname
#   development   libspweth-dev    headers, the linker name, spweth.pc, the CMake package, spweth(3)
#   tools         spweth-tools     spweth-demo, spweth-bridge-emu, spweth-gateway (with its
#                                  systemd unit and /etc/default file), their pages, the
#                                  Wireshark dissector
#   python        python3-spweth   the Python package, made only when the build installs one
#
# Every package also carries the copyright file and changelog that Debian asks
# for under /usr/share/doc/PACKAGE; they are installed for packaging only, not
# by a plain `cmake --install`.

# The library folder that Debian's own packages use (lib/x86_64-linux-gnu),
# for every install prefix: Debian searches /usr/local/lib/<triplet> too, and
# pkg-config's cross-compilation wrappers look only there. Included before
# GNUInstallDirs, which keeps a value set here.
if(CMAKE_LIBRARY_ARCHITECTURE AND EXISTS /etc/debian_version)
  set(CMAKE_INSTALL_LIBDIR lib/${CMAKE_LIBRARY_ARCHITECTURE} CACHE PATH "Object code libraries (LIBDIR)")
endif()

set(SPWETH_DEB_MAINTAINER "spweth developers <spweth@example.org>" CACHE STRING
  "Maintainer field of the Debian packages")

set(CPACK_PACKAGE_NAME spweth)
set(CPACK_PACKAGE_VERSION ${PROJECT_VERSION})
set(CPACK_PACKAGE_CONTACT "${SPWETH_DEB_MAINTAINER}")
set(CPACK_PACKAGE_DIRECTORY ${PROJECT_BINARY_DIR}/packages)
set(CPACK_PACKAGING_INSTALL_PREFIX /usr)
set(CPACK_STRIP_FILES ON)
set(CPACK_DEB_COMPONENT_INSTALL ON)
set(CPACK_DEBIAN_FILE_NAME DEB-DEFAULT)
set(CPACK_DEBIAN_PACKAGE_PRIORITY optional)
# The programs' dependencies on system libraries come from dpkg-shlibdeps; it
# finds libspweth.so.3 in the build folder, and the dependency on the library's
# own package is declared below with its exact version.
set(CPACK_DEBIAN_PACKAGE_SHLIBDEPS ON)
set(CPACK_DEBIAN_PACKAGE_SHLIBDEPS_PRIVATE_DIRS ${PROJECT_BINARY_DIR})
set(CPACK_DEBIAN_PACKAGE_GENERATE_SHLIBS ON)
set(CPACK_DEBIAN_PACKAGE_GENERATE_SHLIBS_POLICY ">=")
# dpkg runs ldconfig once after all packages through this trigger. CPack also
# writes postinst and postrm scripts that call ldconfig, which it cannot be
# told to leave out (README: Debian packages).
set(CPACK_DEBIAN_RUNTIME_PACKAGE_CONTROL_EXTRA ${CMAKE_CURRENT_LIST_DIR}/debian/triggers)
# The gateway's options file in /etc/default is the user's to edit.
set(CPACK_DEBIAN_TOOLS_PACKAGE_CONTROL_EXTRA ${CMAKE_CURRENT_LIST_DIR}/debian/tools/conffiles)
set(CPACK_DEBIAN_PACKAGE_CONTROL_STRICT_PERMISSION ON)  # 0644, whatever the checkout's umask

find_program(SPWETH_GZIP gzip REQUIRED)
# Compresses a file as Debian wants it: best compression, no name or time stamp.
function(spweth_gzip source output)
  add_custom_command(OUTPUT ${output}
    COMMAND sh -c "\"$0\" -9nc \"$1\" > \"$2\"" ${SPWETH_GZIP} ${source} ${output}
    DEPENDS ${source} VERBATIM)
endfunction()

set(spweth_deb_same_version "libspweth3 (= ${PROJECT_VERSION})")
set(spweth_deb_changelog ${PROJECT_BINARY_DIR}/debian/changelog)
string(TIMESTAMP spweth_deb_date "%a, %d %b %Y 00:00:00 +0000" UTC)
configure_file(${CMAKE_CURRENT_LIST_DIR}/debian/changelog.in ${spweth_deb_changelog} @ONLY)
spweth_gzip(${spweth_deb_changelog} ${spweth_deb_changelog}.gz)
add_custom_target(deb_changelog ALL DEPENDS ${spweth_deb_changelog}.gz)

# One package: its component, name, section, dependencies and description
# (the first line is the summary).
function(spweth_deb_package component name section depends description)
  string(TOUPPER ${component} upper)
  set(CPACK_DEBIAN_${upper}_PACKAGE_NAME ${name} PARENT_SCOPE)
  set(CPACK_DEBIAN_${upper}_PACKAGE_SECTION ${section} PARENT_SCOPE)
  set(CPACK_DEBIAN_${upper}_PACKAGE_DEPENDS "${depends}" PARENT_SCOPE)
  set(CPACK_DEBIAN_${upper}_DESCRIPTION "${description}" PARENT_SCOPE)
endfunction()

spweth_deb_package(runtime libspweth3 libs ""
  "host-side SDK for SpaceWire-Ethernet bridges
The spweth library lets a Linux application exchange SpaceWire packets,
control codes, configuration and status with a SpaceWire-Ethernet bridge
over raw Ethernet II frames of EtherType 0x06AB, sent and captured with
libpcap. It reassembles packets, paces sending by the bridge's credits and
implements an RMAP initiator.")
spweth_deb_package(development libspweth-dev libdevel "${spweth_deb_same_version}, libpcap-dev"
  "host-side SDK for SpaceWire-Ethernet bridges - development files
Headers (spweth.h, spweth_rmap.h), the linker name, the pkg-config file, the
CMake package (find_package(spweth)) and the spweth(3) manual page of the
spweth library.")
# The gateway's web view serves Chart.js from where libjs-chart.js installs it.
spweth_deb_package(tools spweth-tools net "${spweth_deb_same_version}, libjs-chart.js"
  "SpaceWire-Ethernet bridge demo program, gateway and software bridge
spweth-demo lists adapters, sends and receives packets and control codes,
configures a bridge, prints its status and runs loopback tests, from the
command line or an interactive menu. spweth-gateway serves a bridge to TCP
clients in the SSDTP2 framing, as a systemd service per adapter, with an
optional read-only web view of both links.
spweth-bridge-emu is a software bridge for tests. The package also holds a
Wireshark dissector for the bridge's frames.")
spweth_deb_package(python python3-spweth python "${spweth_deb_same_version}, python3"
  "host-side SDK for SpaceWire-Ethernet bridges - Python 3 package
The spweth Python package gives Python 3 programs the calls of the spweth
library.")

# The pytest plugin spweth.testing runs the bridge emulator on a veth pair.
set(CPACK_DEBIAN_PYTHON_PACKAGE_SUGGESTS "python3-pytest, spweth-tools, iproute2")

# Python sources without compiled code make a package for every architecture.
file(GLOB_RECURSE spweth_python_compiled ${PROJECT_SOURCE_DIR}/python/*.c ${PROJECT_SOURCE_DIR}/python/*.cpp)
if(NOT spweth_python_compiled)
  set(CPACK_DEBIAN_PYTHON_PACKAGE_ARCHITECTURE all)
  set(CPACK_DEBIAN_PYTHON_PACKAGE_SHLIBDEPS OFF)
endif()

# CPack is set up once every folder has added its install rules, wherever it
# was included: the packages are those of the components that have rules, and
# a rule outside the four components is reported, since no package holds it.
function(spweth_deb_finish)
  get_cmake_property(installed COMPONENTS)
  set(CPACK_COMPONENTS_ALL)
  foreach(component IN LISTS installed)
    if(component MATCHES "^(runtime|development|tools|python)$")
      list(APPEND CPACK_COMPONENTS_ALL ${component})
      string(TOUPPER ${component} upper)
      install(FILES ${CMAKE_CURRENT_FUNCTION_LIST_DIR}/debian/copyright ${spweth_deb_changelog}.gz
        DESTINATION ${CMAKE_INSTALL_DATAROOTDIR}/doc/${CPACK_DEBIAN_${upper}_PACKAGE_NAME}
        COMPONENT ${component} EXCLUDE_FROM_ALL)
    else()
      message(WARNING "Install component '${component}' is in no Debian package; "
                      "give its install rules one of runtime, development, tools, python.")
    endif()
  endforeach()
  include(CPack)
endfunction()
cmake_language(DEFER DIRECTORY ${PROJECT_SOURCE_DIR} CALL spweth_deb_finish)
