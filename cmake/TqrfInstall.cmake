# What `cmake --install` puts where, in three components (the Debian packages follow them):
#   runtime      the shared library with its SONAME link
#   development  headers, the library's development link, the CMake package
#                (tq_RWD_DLL::tq_RWD_DLL, tq_RWD_DLL::image, component sim = tq_RWD_DLL::sim),
#                tq_RWD_DLL.pc, the card image library and the simulator's static libraries
#   tools        tqrf and tqrf-sim (installed from their own directories), their man pages
include(CMakePackageConfigHelpers)

set(TQRF_CMAKE_DIR ${CMAKE_INSTALL_LIBDIR}/cmake/tq_RWD_DLL)

install(TARGETS tq_RWD_DLL EXPORT tq_RWD_DLLTargets
        RUNTIME DESTINATION ${CMAKE_INSTALL_BINDIR} COMPONENT runtime
        LIBRARY DESTINATION ${CMAKE_INSTALL_LIBDIR} COMPONENT runtime
                NAMELINK_COMPONENT development
        ARCHIVE DESTINATION ${CMAKE_INSTALL_LIBDIR} COMPONENT development)
install(FILES include/tq_RWD_DLL.h include/tq_RWD_DLL.hpp include/tq_RWD_DLL_mifare.hpp
              ${TQRF_GENERATED_INCLUDE}/tq_RWD_DLL_version.h
        DESTINATION ${CMAKE_INSTALL_INCLUDEDIR} COMPONENT development)
# The card image library: a static library with its one header, in the same CMake package.
if(TARGET tqrf_image)
  install(TARGETS tqrf_image EXPORT tq_RWD_DLLTargets
          ARCHIVE DESTINATION ${CMAKE_INSTALL_LIBDIR} COMPONENT development)
  install(FILES include/tq_RWD_DLL_image.hpp DESTINATION ${CMAKE_INSTALL_INCLUDEDIR}
          COMPONENT development)
endif()
install(EXPORT tq_RWD_DLLTargets NAMESPACE tq_RWD_DLL:: DESTINATION ${TQRF_CMAKE_DIR}
        COMPONENT development)

if(TARGET tqrf_sim)
  set_target_properties(tqrf_sim PROPERTIES EXPORT_NAME sim)
  install(TARGETS tqrf_sim EXPORT tq_RWD_DLLSimTargets
          ARCHIVE DESTINATION ${CMAKE_INSTALL_LIBDIR} COMPONENT development)
  install(DIRECTORY sim/include/tqrf_sim DESTINATION ${CMAKE_INSTALL_INCLUDEDIR}
          COMPONENT development FILES_MATCHING PATTERN "*.h")
  install(EXPORT tq_RWD_DLLSimTargets NAMESPACE tq_RWD_DLL:: DESTINATION ${TQRF_CMAKE_DIR}
          COMPONENT development)
endif()

configure_package_config_file(cmake/tq_RWD_DLLConfig.cmake.in
                              ${PROJECT_BINARY_DIR}/tq_RWD_DLLConfig.cmake
                              INSTALL_DESTINATION ${TQRF_CMAKE_DIR})
write_basic_package_version_file(${PROJECT_BINARY_DIR}/tq_RWD_DLLConfigVersion.cmake
                                 COMPATIBILITY SameMajorVersion)
install(FILES ${PROJECT_BINARY_DIR}/tq_RWD_DLLConfig.cmake
              ${PROJECT_BINARY_DIR}/tq_RWD_DLLConfigVersion.cmake
        DESTINATION ${TQRF_CMAKE_DIR} COMPONENT development)

# tq_RWD_DLL.pc names the prefix it is installed under, which is known only when installing
# (cmake --install --prefix, or the packager's prefix): it is written then.
set(TQRF_PC_PREFIX "@TQRF_PC_PREFIX@")
configure_file(cmake/tq_RWD_DLL.pc.in ${PROJECT_BINARY_DIR}/pkgconfig/tq_RWD_DLL.pc.in @ONLY)
install(CODE "
  set(TQRF_PC_PREFIX \"\${CMAKE_INSTALL_PREFIX}\")
  configure_file(\"${PROJECT_BINARY_DIR}/pkgconfig/tq_RWD_DLL.pc.in\"
                 \"${PROJECT_BINARY_DIR}/pkgconfig/tq_RWD_DLL.pc\" @ONLY)"
        COMPONENT development)
install(FILES ${PROJECT_BINARY_DIR}/pkgconfig/tq_RWD_DLL.pc
        DESTINATION ${CMAKE_INSTALL_LIBDIR}/pkgconfig COMPONENT development)

# Man pages of the two programs, made from their --help when help2man is there.
if(TARGET tqrf-sim AND NOT CMAKE_CROSSCOMPILING)
  find_program(TQRF_HELP2MAN help2man)
  if(TQRF_HELP2MAN)
    set(TQRF_MAN_PAGES)
    set(TQRF_MAN_tqrf "command-line tool for the MF RC500 contactless reader/writer")
    set(TQRF_MAN_tqrf-sim "simulated MF RC500 reader on a pseudo-terminal")
    foreach(program tqrf tqrf-sim)
      if(TARGET ${program})
        set(page ${PROJECT_BINARY_DIR}/man/${program}.1.gz)
        add_custom_command(
          OUTPUT ${page}
          COMMAND ${CMAKE_COMMAND} -E make_directory ${PROJECT_BINARY_DIR}/man
          COMMAND sh -c "\"$1\" -N --no-info --version-string=\"$2\" --name=\"$3\" \"$4\" | gzip -9n >\"$5\""
                  man ${TQRF_HELP2MAN} ${PROJECT_VERSION} "${TQRF_MAN_${program}}"
                  $<TARGET_FILE:${program}> ${page}
          DEPENDS ${program}
          COMMENT "Man page of ${program}"
          VERBATIM)
        list(APPEND TQRF_MAN_PAGES ${page})
      endif()
    endforeach()
    add_custom_target(tqrf_man_pages ALL DEPENDS ${TQRF_MAN_PAGES})
    install(FILES ${TQRF_MAN_PAGES} DESTINATION ${CMAKE_INSTALL_MANDIR}/man1 COMPONENT tools)
  else()
    message(STATUS "tq_RWD_DLL: help2man not found (Debian: help2man): no man pages")
  endif()
endif()
