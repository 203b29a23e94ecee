# What `cmake --install` puts under the prefix for programs that use the library: the shared
# library and its header, a CMake package and a pkg-config file.  Both describe the installed
# tree relative to where they are, so a tree moved elsewhere (or installed with --prefix) still
# builds.  They form the install component "library": `cmake --install BUILD --component library`
# puts them alone, without mdk.
include(CMakePackageConfigHelpers)

set(MDNIO_CMAKE_DIR ${CMAKE_INSTALL_LIBDIR}/cmake/mdnio)

install(TARGETS mdnio EXPORT mdnioTargets
        LIBRARY DESTINATION ${CMAKE_INSTALL_LIBDIR} COMPONENT library
        INCLUDES DESTINATION ${CMAKE_INSTALL_INCLUDEDIR})
install(FILES ${CMAKE_SOURCE_DIR}/include/mdnio.h DESTINATION ${CMAKE_INSTALL_INCLUDEDIR}
        COMPONENT library)

# find_package(mdnio) gives the imported target mdnio::mdnio.
install(EXPORT mdnioTargets NAMESPACE mdnio:: DESTINATION ${MDNIO_CMAKE_DIR} COMPONENT library)
configure_package_config_file(${CMAKE_CURRENT_LIST_DIR}/mdnioConfig.cmake.in
                              ${CMAKE_BINARY_DIR}/mdnioConfig.cmake
                              INSTALL_DESTINATION ${MDNIO_CMAKE_DIR})
# A program built for 4.x runs with any later 4.x: the SONAME changes with the major version.
write_basic_package_version_file(${CMAKE_BINARY_DIR}/mdnioConfigVersion.cmake
                                 VERSION ${PROJECT_VERSION} COMPATIBILITY SameMajorVersion)
install(FILES ${CMAKE_BINARY_DIR}/mdnioConfig.cmake ${CMAKE_BINARY_DIR}/mdnioConfigVersion.cmake
        DESTINATION ${MDNIO_CMAKE_DIR} COMPONENT library)

# mdnio.pc names its prefix from its own place (${pcfiledir}), not from the configured prefix.
set(MDNIO_PC_DIR ${CMAKE_INSTALL_LIBDIR}/pkgconfig)
file(RELATIVE_PATH MDNIO_PC_TO_PREFIX ${CMAKE_INSTALL_FULL_LIBDIR}/pkgconfig ${CMAKE_INSTALL_PREFIX})
file(RELATIVE_PATH MDNIO_PC_LIBDIR ${CMAKE_INSTALL_PREFIX} ${CMAKE_INSTALL_FULL_LIBDIR})
file(RELATIVE_PATH MDNIO_PC_INCLUDEDIR ${CMAKE_INSTALL_PREFIX} ${CMAKE_INSTALL_FULL_INCLUDEDIR})
string(REGEX REPLACE "/$" "" MDNIO_PC_TO_PREFIX "${MDNIO_PC_TO_PREFIX}")
configure_file(${CMAKE_CURRENT_LIST_DIR}/mdnio.pc.in ${CMAKE_BINARY_DIR}/mdnio.pc @ONLY)
install(FILES ${CMAKE_BINARY_DIR}/mdnio.pc DESTINATION ${MDNIO_PC_DIR} COMPONENT library)
