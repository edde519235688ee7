# How the results leave this tree.
#
# Two install components, filled by the install rules beside each target:
#   Development  the framework's headers, static libraries and its CMake package
#                (find_package(Nimbra) -> Nimbra::nimbra)
#   Runtime      the programs, libostrel_os.so, libwinhttp.so, the desktop entry and icon
# `cmake --install` puts both under the prefix; the Debian package (`make package`) holds the
# Runtime component only.

include(CMakePackageConfigHelpers)

set(NIMBRA_INSTALL_CMAKEDIR ${CMAKE_INSTALL_LIBDIR}/cmake/Nimbra)

install(EXPORT NimbraTargets
  NAMESPACE Nimbra::
  DESTINATION ${NIMBRA_INSTALL_CMAKEDIR}
  COMPONENT Development)

configure_package_config_file(${CMAKE_CURRENT_LIST_DIR}/NimbraConfig.cmake.in
  ${CMAKE_BINARY_DIR}/NimbraConfig.cmake
  INSTALL_DESTINATION ${NIMBRA_INSTALL_CMAKEDIR})
# Before 1.0 a minor version may change the interface: only the same major.minor matches.
write_basic_package_version_file(${CMAKE_BINARY_DIR}/NimbraConfigVersion.cmake
  VERSION ${PROJECT_VERSION}
  COMPATIBILITY SameMinorVersion)
install(FILES ${CMAKE_BINARY_DIR}/NimbraConfig.cmake ${CMAKE_BINARY_DIR}/NimbraConfigVersion.cmake
  DESTINATION ${NIMBRA_INSTALL_CMAKEDIR}
  COMPONENT Development)

# The tool's Debian package: `cpack -G DEB` in the build folder, or `make package`.
set(CPACK_GENERATOR DEB)
set(CPACK_PACKAGE_NAME ostrel)
set(CPACK_PACKAGE_VERSION ${PROJECT_VERSION})
set(CPACK_PACKAGE_VENDOR "Ostrel developers")
set(CPACK_PACKAGE_CONTACT "Ostrel developers <ostrel@localhost>")
set(CPACK_PACKAGE_DESCRIPTION_SUMMARY "Sends one HTTP GET through two HTTP stacks side by side")
# One string: set() with several would join them with semicolons.
string(CONCAT CPACK_PACKAGE_DESCRIPTION
    "Ostrel takes a URL and sends one HTTP GET through Qt's own client or through Nimbra, a "
    "C++ HTTP client framework with a WinHTTP engine (here on libcurl), and tells whether the "
    "server answered 200. Its terminal mode, ostrel-cli, sends each URL through both stacks, "
    "times each phase and says where they differ.")
set(CPACK_PACKAGING_INSTALL_PREFIX /usr)
set(CPACK_STRIP_FILES ON)

# One package of the Runtime component alone.
set(CPACK_INSTALL_CMAKE_PROJECTS "${CMAKE_BINARY_DIR};${PROJECT_NAME};Runtime;/")
set(CPACK_DEBIAN_PACKAGE_NAME ostrel)
set(CPACK_DEBIAN_FILE_NAME DEB-DEFAULT)
set(CPACK_DEBIAN_PACKAGE_SECTION web)
# The Debian packages of the libraries the programs link (Qt 6 base, libcurl, zlib, ICU,
# OpenSSL) are read from the binaries by dpkg-shlibdeps, so their names fit the release the
# package is built on; the package's own libostrel_os.so is found through the run paths. Qt's
# platform plugins are loaded at run time, so no binary names them: the window needs them.
set(CPACK_DEBIAN_PACKAGE_SHLIBDEPS ON)
set(CPACK_DEBIAN_PACKAGE_DEPENDS "qt6-qpa-plugins")
set(CPACK_DEBIAN_COMPRESSION_TYPE gzip)

include(CPack)
