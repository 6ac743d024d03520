# Debian packages, one per install component (cpack -G DEB in the build directory):
#   libtq-rwd-dll1     runtime      the shared library
#   libtq-rwd-dll-dev  development  headers, CMake package, tq_RWD_DLL.pc, the image and simulator
#                                   libraries
#   tqrf-tools         tools        tqrf, tqrf-sim, their man pages, the serial port note
#   python3-tqrf       python       the Python package, for the system's Python 3
#   libtq-rwd-dll-cil  dotnet       the .NET assembly with its Mono map, XML docs and source
#                                   (when mono-mcs made it)
#   tqrf-gateway       gateway      tqrf-gateway, its systemd unit, /etc/tqrf/gateway.toml (a
#                                   conffile), the maintainer scripts of packaging/debian/tqrf-gateway
#                                   (when the gateway is built)
# Configure with -DCMAKE_INSTALL_PREFIX=/usr for Debian's multiarch library directory.
if(WIN32 OR APPLE)
  return()
endif()

set(TQRF_PACKAGE_CONTACT "tq_RWD_DLL developers <tq-rwd-dll@example.org>"
    CACHE STRING "Maintainer field of the Debian packages")
set(TQRF_DEB_DOC ${PROJECT_SOURCE_DIR}/packaging/debian)
set(TQRF_DEB_NAME_runtime libtq-rwd-dll1)
set(TQRF_DEB_NAME_development libtq-rwd-dll-dev)
set(TQRF_DEB_NAME_tools tqrf-tools)
set(TQRF_DEB_NAME_python python3-tqrf)
set(TQRF_DEB_NAME_dotnet libtq-rwd-dll-cil)
set(TQRF_DEB_NAME_gateway tqrf-gateway)
set(TQRF_DEB_COMPONENTS runtime development tools python)
if(TQRF_BUILD_DOTNET)
  list(APPEND TQRF_DEB_COMPONENTS dotnet)
endif()
if(TARGET tqrf-gateway)
  list(APPEND TQRF_DEB_COMPONENTS gateway)
endif()

# Each package carries its copyright file and the changelog in /usr/share/doc/<package>.
# They are installed only into packages (component installs), not by a plain cmake --install.
set(TQRF_DEB_CHANGELOG ${PROJECT_BINARY_DIR}/packaging/changelog.gz)
set_property(DIRECTORY APPEND PROPERTY CMAKE_CONFIGURE_DEPENDS ${TQRF_DEB_DOC}/changelog)
file(MAKE_DIRECTORY ${PROJECT_BINARY_DIR}/packaging)
execute_process(COMMAND gzip -9n -c ${TQRF_DEB_DOC}/changelog OUTPUT_FILE ${TQRF_DEB_CHANGELOG}
                RESULT_VARIABLE TQRF_GZIP_RESULT)
if(NOT TQRF_GZIP_RESULT EQUAL 0)
  message(NOTICE "tq_RWD_DLL: gzip failed: the packages carry no changelog")
endif()
foreach(component ${TQRF_DEB_COMPONENTS})
  install(FILES ${TQRF_DEB_DOC}/copyright ${TQRF_DEB_CHANGELOG}
          DESTINATION ${CMAKE_INSTALL_DATAROOTDIR}/doc/${TQRF_DEB_NAME_${component}}
          COMPONENT ${component} EXCLUDE_FROM_ALL)
endforeach()
# Using a real reader: the serial port's group, and a udev rule for a stable device name.
install(FILES ${TQRF_DEB_DOC}/README.Debian
        DESTINATION ${CMAKE_INSTALL_DATAROOTDIR}/doc/tqrf-tools COMPONENT tools EXCLUDE_FROM_ALL)
install(FILES ${TQRF_DEB_DOC}/60-tqrf-reader.rules
        DESTINATION ${CMAKE_INSTALL_DATAROOTDIR}/doc/tqrf-tools/examples COMPONENT tools
        EXCLUDE_FROM_ALL)
# The gateway as a service: the unit and the configuration at their absolute places, in the
# package only (a plain cmake --install into a prefix leaves /etc and /lib alone).
if(TARGET tqrf-gateway)
  set(TQRF_GATEWAY_UNIT ${PROJECT_SOURCE_DIR}/packaging/systemd/tqrf-gateway.service)
  get_target_property(TQRF_GATEWAY_NOTIFIES tqrf-gateway TQRF_NOTIFIES)
  if(NOT TQRF_GATEWAY_NOTIFIES)
    # Built without libsystemd: a gateway that never says READY=1 nor pings the watchdog.
    file(READ ${TQRF_GATEWAY_UNIT} unit)
    string(REPLACE "Type=notify\n" "Type=simple\n" unit "${unit}")
    string(REGEX REPLACE "\nWatchdogSec=[^\n]*" "" unit "${unit}")
    set(TQRF_GATEWAY_UNIT ${PROJECT_BINARY_DIR}/packaging/tqrf-gateway.service)
    file(WRITE ${TQRF_GATEWAY_UNIT} "${unit}")
  endif()
  install(FILES ${TQRF_GATEWAY_UNIT} DESTINATION /lib/systemd/system COMPONENT gateway
          EXCLUDE_FROM_ALL)
  install(FILES ${PROJECT_SOURCE_DIR}/gateway/gateway.toml DESTINATION /etc/tqrf
          COMPONENT gateway EXCLUDE_FROM_ALL)
endif()

set(CPACK_GENERATOR DEB)
set(CPACK_PACKAGE_NAME tq-rwd-dll)
set(CPACK_PACKAGE_VENDOR "tq_RWD_DLL developers")
set(CPACK_PACKAGE_VERSION ${PROJECT_VERSION})
set(CPACK_PACKAGE_CONTACT ${TQRF_PACKAGE_CONTACT})
set(CPACK_PACKAGING_INSTALL_PREFIX /usr)
set(CPACK_STRIP_FILES ON)
set(CPACK_DEB_COMPONENT_INSTALL ON)
set(CPACK_COMPONENTS_ALL ${TQRF_DEB_COMPONENTS})
set(CPACK_DEBIAN_FILE_NAME DEB-DEFAULT)
set(CPACK_DEBIAN_PACKAGE_CONTROL_STRICT_PERMISSION ON)
set(CPACK_DEBIAN_PACKAGE_PRIORITY optional)
set(CPACK_DEBIAN_ENABLE_COMPONENT_DEPENDS ON)
set(CPACK_COMPONENT_DEVELOPMENT_DEPENDS runtime)
set(CPACK_COMPONENT_TOOLS_DEPENDS runtime)
set(CPACK_COMPONENT_PYTHON_DEPENDS runtime)
set(CPACK_COMPONENT_DOTNET_DEPENDS runtime)
set(CPACK_COMPONENT_GATEWAY_DEPENDS runtime)
# Dependencies on system libraries from dpkg-shlibdeps; the library's own package gets a shlibs
# file, so that packages built against it depend on it.
set(CPACK_DEBIAN_PACKAGE_SHLIBDEPS ON)
set(CPACK_DEBIAN_PACKAGE_SHLIBDEPS_PRIVATE_DIRS ${PROJECT_BINARY_DIR})
set(CPACK_DEBIAN_PACKAGE_GENERATE_SHLIBS ON)
set(CPACK_DEBIAN_PACKAGE_GENERATE_SHLIBS_POLICY ">=")

# Each description's first line is the package's summary. (CPack puts its package summary in
# front of a description unless that summary is its own default, so it is left at that.)
set(CPACK_PACKAGE_DESCRIPTION_SUMMARY "${CMAKE_PROJECT_NAME} built using CMake")
set(CPACK_DEBIAN_RUNTIME_PACKAGE_NAME ${TQRF_DEB_NAME_runtime})
set(CPACK_DEBIAN_RUNTIME_PACKAGE_SECTION libs)
set(CPACK_DEBIAN_RUNTIME_DESCRIPTION
    "driver library for MF RC500 contactless card readers on a serial port
The library drives an MF RC500-based reader/writer for Mifare Classic-class
cards on a serial port: finding and selecting cards, authenticating sectors,
reading and writing blocks, value-block operations and the reader's own
functions, as plain C functions.
.
This package holds the shared library.")
# The dynamic linker's cache is refreshed by dpkg's ldconfig trigger.
set(CPACK_DEBIAN_RUNTIME_PACKAGE_CONTROL_EXTRA ${TQRF_DEB_DOC}/triggers)

set(CPACK_DEBIAN_DEVELOPMENT_PACKAGE_NAME ${TQRF_DEB_NAME_development})
set(CPACK_DEBIAN_DEVELOPMENT_PACKAGE_SECTION libdevel)
set(CPACK_DEBIAN_DEVELOPMENT_DESCRIPTION
    "driver library for MF RC500 card readers - development files
The library drives an MF RC500-based reader/writer for Mifare Classic-class
cards on a serial port.
.
This package holds the C and C++ headers, the CMake package
(tq_RWD_DLL::tq_RWD_DLL, tq_RWD_DLL::image for card image files, and
tq_RWD_DLL::sim for the simulated reader), the pkg-config file, the static
card image library (raw, .eml, Proxmark3 JSON, Flipper .nfc and MIFARE
Classic Tool .mct dumps) and the static simulator library for testing
programs without a reader.")

set(CPACK_DEBIAN_TOOLS_PACKAGE_NAME ${TQRF_DEB_NAME_tools})
set(CPACK_DEBIAN_TOOLS_PACKAGE_SECTION utils)
set(CPACK_DEBIAN_TOOLS_DESCRIPTION
    "command-line tool and simulator for MF RC500 card readers
tqrf reads, writes, dumps and restores Mifare Classic cards and manages the
reader through an MF RC500-based reader/writer on a serial port. tqrf-sim is
a simulated reader on a pseudo-terminal with cards in its field, for trying
programs without hardware.")

set(CPACK_DEBIAN_PYTHON_PACKAGE_NAME ${TQRF_DEB_NAME_python})
set(CPACK_DEBIAN_PYTHON_PACKAGE_SECTION python)
set(CPACK_DEBIAN_PYTHON_PACKAGE_ARCHITECTURE all)
set(CPACK_DEBIAN_PYTHON_PACKAGE_DEPENDS "python3 (>= 3.8)")
set(CPACK_DEBIAN_PYTHON_DESCRIPTION
    "Python binding of the MF RC500 card reader library
The tqrf package drives an MF RC500-based reader/writer for Mifare Classic
class cards on a serial port from Python: pure Python over ctypes, using the
shared library of libtq-rwd-dll1. tqrf.sim runs the simulated reader of
tqrf-tools.")

set(CPACK_DEBIAN_DOTNET_PACKAGE_NAME ${TQRF_DEB_NAME_dotnet})
set(CPACK_DEBIAN_DOTNET_PACKAGE_SECTION cli-mono)
set(CPACK_DEBIAN_DOTNET_PACKAGE_ARCHITECTURE all)
set(CPACK_DEBIAN_DOTNET_PACKAGE_RECOMMENDS "mono-runtime")
set(CPACK_DEBIAN_DOTNET_DESCRIPTION
    "CLI binding of the MF RC500 card reader library
TqRwdDll.dll drives an MF RC500-based reader/writer for Mifare Classic-class
cards on a serial port from Mono and .NET programs, using the shared library of
libtq-rwd-dll1. It is installed in /usr/share/tq_RWD_DLL/dotnet with its
configuration (the library's file name for Mono), its XML documentation and
its C# source: copy the assembly and its .config beside the program.")

set(TQRF_DEB_GATEWAY ${TQRF_DEB_DOC}/tqrf-gateway)
set(CPACK_DEBIAN_GATEWAY_PACKAGE_NAME ${TQRF_DEB_NAME_gateway})
set(CPACK_DEBIAN_GATEWAY_PACKAGE_SECTION net)
# adduser makes the system user in postinst; deb-systemd-helper (init-system-helpers) is essential.
set(CPACK_DEBIAN_GATEWAY_PACKAGE_DEPENDS "adduser")
set(CPACK_DEBIAN_GATEWAY_PACKAGE_SUGGESTS "mosquitto, mosquitto-clients")
set(CPACK_DEBIAN_GATEWAY_PACKAGE_CONTROL_EXTRA
    ${TQRF_DEB_GATEWAY}/conffiles ${TQRF_DEB_GATEWAY}/postinst ${TQRF_DEB_GATEWAY}/prerm
    ${TQRF_DEB_GATEWAY}/postrm)
set(CPACK_DEBIAN_GATEWAY_DESCRIPTION
    "MQTT gateway for MF RC500 card readers
tqrf-gateway puts the MF RC500-based card readers on the serial ports of a
Linux host on an MQTT broker: every Mifare Classic card that arrives or
leaves is published as a JSON event, the state of each reader as a retained
status message, and requests on the broker (read a block, beep, write where
the configuration allows it) are carried out. Messages are kept on disk while
the broker is unreachable.
.
This package runs it as a systemd service (tqrf-gateway.service) under its
own system user, configured in /etc/tqrf/gateway.toml. The service is neither
enabled nor started on installation: edit the configuration first.")

include(CPack)
