# The bindings as the build ships them (parts TQRF_BUILD_WHEEL and TQRF_BUILD_DOTNET, see
# TqrfParts.cmake):
#   python_wheel  BUILD/dist/tqrf-<version>-py3-none-linux_<machine>.whl: the package with
#                 the shared library and tqrf-sim inside (the Windows wheels come with the
#                 Windows bundles, packaging/windows/bundle.sh)
#   dotnet        BUILD/dotnet/TqRwdDll.dll, its .config (Mono's map to libtq_RWD_DLL.so.1)
#                 and its XML documentation
# and what the installs carry of them:
#   python        component: the package for Debian's Python (the python3-tqrf package)
#   dotnet        component: the assembly, its .config, XML docs and source under
#                 share/tq_RWD_DLL/dotnet (the libtq-rwd-dll-cil package)
file(GLOB TQRF_PY_SOURCES CONFIGURE_DEPENDS ${PROJECT_SOURCE_DIR}/bindings/python/src/tqrf/*.py)
list(FILTER TQRF_PY_SOURCES EXCLUDE REGEX "/_version\\.py$")
list(APPEND TQRF_PY_SOURCES ${PROJECT_SOURCE_DIR}/bindings/python/src/tqrf/py.typed)
set(TQRF_PY_VERSION_FILE ${PROJECT_BINARY_DIR}/bindings/python/_version.py)
file(WRITE ${TQRF_PY_VERSION_FILE}.in
     "\"\"\"The project's version, written when the package was built.\"\"\"\n\n__version__ = \"@PROJECT_VERSION@\"\n")
configure_file(${TQRF_PY_VERSION_FILE}.in ${TQRF_PY_VERSION_FILE} @ONLY)

if(TQRF_BUILD_WHEEL)
  string(TOLOWER "linux_${CMAKE_SYSTEM_PROCESSOR}" TQRF_WHEEL_PLATFORM)
  set(TQRF_WHEEL ${PROJECT_BINARY_DIR}/dist/tqrf-${PROJECT_VERSION}-py3-none-${TQRF_WHEEL_PLATFORM}.whl)
  set(TQRF_WHEEL_FILES --add $<TARGET_FILE:tq_RWD_DLL>:libtq_RWD_DLL.so)
  set(TQRF_WHEEL_DEPENDS tq_RWD_DLL)
  if(TARGET tqrf-sim)
    list(APPEND TQRF_WHEEL_FILES --add $<TARGET_FILE:tqrf-sim>:tqrf-sim)
    list(APPEND TQRF_WHEEL_DEPENDS tqrf-sim)
  endif()
  add_custom_command(
    OUTPUT ${TQRF_WHEEL}
    COMMAND ${Python3_EXECUTABLE} ${PROJECT_SOURCE_DIR}/bindings/python/make_wheel.py
            --version ${PROJECT_VERSION} --platform ${TQRF_WHEEL_PLATFORM}
            --out ${PROJECT_BINARY_DIR}/dist --strip "${CMAKE_STRIP}" ${TQRF_WHEEL_FILES}
    DEPENDS ${TQRF_WHEEL_DEPENDS} ${TQRF_PY_SOURCES} ${PROJECT_SOURCE_DIR}/bindings/python/make_wheel.py
            ${PROJECT_SOURCE_DIR}/bindings/python/README.md
    COMMENT "Python wheel ${TQRF_WHEEL}"
    VERBATIM)
  add_custom_target(python_wheel ALL DEPENDS ${TQRF_WHEEL})
endif()

if(TQRF_BUILD_DOTNET)
  # Every C# source of the binding: one type (or one family of types) each, and
  # NativeMethods.g.cs, written from the header by scripts/gen-lists.py.
  file(GLOB TQRF_DOTNET_SOURCES CONFIGURE_DEPENDS ${PROJECT_SOURCE_DIR}/bindings/dotnet/*.cs)
  set(TQRF_DOTNET_DIR ${PROJECT_BINARY_DIR}/dotnet)
  configure_file(${PROJECT_SOURCE_DIR}/bindings/dotnet/AssemblyInfo.cs.in
                 ${PROJECT_BINARY_DIR}/bindings/dotnet/AssemblyInfo.cs @ONLY)
  set(TQRF_DOTNET_OUTPUTS ${TQRF_DOTNET_DIR}/TqRwdDll.dll ${TQRF_DOTNET_DIR}/TqRwdDll.dll.config
                          ${TQRF_DOTNET_DIR}/TqRwdDll.xml)
  add_custom_command(
    OUTPUT ${TQRF_DOTNET_OUTPUTS}
    COMMAND ${CMAKE_COMMAND} -E make_directory ${TQRF_DOTNET_DIR}
    COMMAND ${TQRF_MCS} -target:library -optimize+ -warn:4 -warnaserror+ -nowarn:1591 -nologo
            # (members without an XML comment are allowed: the file documents the public API)
            -out:${TQRF_DOTNET_DIR}/TqRwdDll.dll -doc:${TQRF_DOTNET_DIR}/TqRwdDll.xml
            ${TQRF_DOTNET_SOURCES} ${PROJECT_BINARY_DIR}/bindings/dotnet/AssemblyInfo.cs
    COMMAND ${CMAKE_COMMAND} -E copy ${PROJECT_SOURCE_DIR}/bindings/dotnet/TqRwdDll.dll.config
            ${TQRF_DOTNET_DIR}/TqRwdDll.dll.config
    DEPENDS ${TQRF_DOTNET_SOURCES} ${PROJECT_BINARY_DIR}/bindings/dotnet/AssemblyInfo.cs
            ${PROJECT_SOURCE_DIR}/bindings/dotnet/TqRwdDll.dll.config
    COMMENT "The .NET assembly ${TQRF_DOTNET_DIR}/TqRwdDll.dll"
    VERBATIM)
  add_custom_target(dotnet ALL DEPENDS ${TQRF_DOTNET_OUTPUTS})
endif()

if(TQRF_INSTALL AND NOT WIN32)
  # The package for the system's Python 3 (Debian: /usr/lib/python3/dist-packages): it uses
  # the system's library. Installed only into the python3-tqrf package, not by cmake --install.
  set(TQRF_PYTHON_DIR lib/python3/dist-packages CACHE STRING
      "Where the python component installs the tqrf package (relative to the prefix)")
  install(FILES ${TQRF_PY_SOURCES} ${TQRF_PY_VERSION_FILE} DESTINATION ${TQRF_PYTHON_DIR}/tqrf
          COMPONENT python EXCLUDE_FROM_ALL)
endif()
if(TQRF_INSTALL AND TQRF_BUILD_DOTNET)
  install(FILES ${TQRF_DOTNET_OUTPUTS} ${TQRF_DOTNET_SOURCES}
          DESTINATION ${CMAKE_INSTALL_DATAROOTDIR}/tq_RWD_DLL/dotnet COMPONENT dotnet)
endif()

# One version everywhere: the tool, the wheel, the assembly, the Debian packages.
if(TQRF_BUILD_TESTS AND NOT WIN32)
  add_test(NAME version_everywhere
           COMMAND ${PROJECT_SOURCE_DIR}/tests/package/version-test.sh ${PROJECT_BINARY_DIR})
endif()

# A part left out says so in one line, with the package that brings it; the cache records it.
if(TQRF_BUILD_TESTS AND NOT WIN32)
  add_test(NAME parts_left_out_say_so
           COMMAND ${PROJECT_SOURCE_DIR}/tests/package/parts-test.sh ${PROJECT_SOURCE_DIR}
                   ${PROJECT_BINARY_DIR}/parts-test)
endif()
