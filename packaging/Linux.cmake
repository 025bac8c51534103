# What `cmake --install` and the Debian package carry: the shared library with its soname, the
# headers a client includes, the quellar tool, a CMake package (Quellar::quellar) and quellar.pc;
# nothing of the library's internals. Targets with install rules of their own (the Python
# module) land in the same package.
include(GNUInstallDirs)
include(CMakePackageConfigHelpers)

set(quellar_cmake_dir ${CMAKE_INSTALL_LIBDIR}/cmake/Quellar)
set_target_properties(quellar_library PROPERTIES EXPORT_NAME quellar)
install(TARGETS quellar_library EXPORT QuellarTargets
  LIBRARY DESTINATION ${CMAKE_INSTALL_LIBDIR}
  FILE_SET HEADERS DESTINATION ${CMAKE_INSTALL_INCLUDEDIR}/quellar
  INCLUDES DESTINATION ${CMAKE_INSTALL_INCLUDEDIR}/quellar)
if(TARGET quellar)
  install(TARGETS quellar RUNTIME DESTINATION ${CMAKE_INSTALL_BINDIR})
endif()

install(EXPORT QuellarTargets NAMESPACE Quellar:: DESTINATION ${quellar_cmake_dir})
configure_package_config_file(${CMAKE_CURRENT_LIST_DIR}/QuellarConfig.cmake.in
  ${PROJECT_BINARY_DIR}/packaging/QuellarConfig.cmake INSTALL_DESTINATION ${quellar_cmake_dir})
write_basic_package_version_file(${PROJECT_BINARY_DIR}/packaging/QuellarConfigVersion.cmake
  COMPATIBILITY SameMajorVersion)
install(FILES ${PROJECT_BINARY_DIR}/packaging/QuellarConfig.cmake
  ${PROJECT_BINARY_DIR}/packaging/QuellarConfigVersion.cmake DESTINATION ${quellar_cmake_dir})

# quellar.pc finds the prefix from its own place, so one file serves any install prefix.
set(quellar_pc_dir ${CMAKE_INSTALL_LIBDIR}/pkgconfig)
string(REGEX REPLACE "[^/]+" ".." quellar_pc_to_prefix ${quellar_pc_dir})
configure_file(${CMAKE_CURRENT_LIST_DIR}/quellar.pc.in ${PROJECT_BINARY_DIR}/packaging/quellar.pc
  @ONLY)
install(FILES ${PROJECT_BINARY_DIR}/packaging/quellar.pc DESTINATION ${quellar_pc_dir})

# The Debian package: `cpack -G DEB` in the build folder gives quellar_<version>_amd64.deb.
set(CPACK_GENERATOR DEB)
set(CPACK_PACKAGE_NAME quellar)
set(CPACK_PACKAGE_VENDOR Quellar)
set(CPACK_PACKAGE_CONTACT "Quellar maintainers <maintainers@quellar.invalid>")
set(CPACK_PACKAGE_DESCRIPTION_SUMMARY "control library for the Quellar pulsed NMR analyzer")
set(CPACK_PACKAGE_DESCRIPTION [=[An in-process automation library that opens the analyzer on a serial line,
compiles impulse programs into the analyzer's byte code, runs averaged analyses,
tunes the analyzer and offers arrays, Fourier transforms and least-squares fits.

This package holds the shared library, the headers with the CMake and pkg-config
files for building clients, and the quellar command-line tool.]=])
set(CPACK_DEBIAN_PACKAGE_SECTION science)
set(CPACK_DEBIAN_FILE_NAME DEB-DEFAULT)
set(CPACK_PACKAGING_INSTALL_PREFIX /usr)
set(CPACK_STRIP_FILES ON)
# Dependencies from the binaries' own needs (dpkg-shlibdeps), a shlibs file for the library
# and the ldconfig trigger that comes with it.
set(CPACK_DEBIAN_PACKAGE_SHLIBDEPS ON)
set(CPACK_DEBIAN_PACKAGE_GENERATE_SHLIBS ON)
# Same soname, same interface: later releases of this major version satisfy the clients.
set(CPACK_DEBIAN_PACKAGE_GENERATE_SHLIBS_POLICY ">=")
# A Python extension module needs the interpreter it was built for, which no library names,
# and the package imports numpy; matplotlib only for its plots.
if(TARGET quellar_python)
  find_package(Python3 REQUIRED COMPONENTS Interpreter)
  math(EXPR next_minor "${Python3_VERSION_MINOR} + 1")
  set(CPACK_DEBIAN_PACKAGE_DEPENDS
      "python3 (>= 3.${Python3_VERSION_MINOR}), python3 (<< 3.${next_minor}), python3-numpy")
  set(CPACK_DEBIAN_PACKAGE_RECOMMENDS python3-matplotlib)
endif()
include(CPack)
