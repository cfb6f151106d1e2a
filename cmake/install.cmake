# What `cmake --install` puts under the prefix: the library with its SONAME,
# the public headers, a CMake package (find_package(nivex CONFIG) gives
# nivex::nivex), nivex.pc for pkg-config, the udev rule that gives the logged-in
# user the camera, the nivex tool, and the simulator library in a private
# folder where the tool's --sim finds it.
include(CMakePackageConfigHelpers)

set(nivex_cmake_dir ${CMAKE_INSTALL_LIBDIR}/cmake/nivex)

install(TARGETS nivex EXPORT nivexTargets
        LIBRARY DESTINATION ${CMAKE_INSTALL_LIBDIR}
        INCLUDES DESTINATION ${CMAKE_INSTALL_INCLUDEDIR})
install(FILES ${CMAKE_SOURCE_DIR}/include/nivex.h ${CMAKE_SOURCE_DIR}/include/nivex_epc.h
              ${CMAKE_SOURCE_DIR}/include/nivex_sensorlib.h
        DESTINATION ${CMAKE_INSTALL_INCLUDEDIR})
install(EXPORT nivexTargets NAMESPACE nivex:: DESTINATION ${nivex_cmake_dir})

configure_package_config_file(${CMAKE_SOURCE_DIR}/packaging/nivexConfig.cmake.in
                              ${CMAKE_BINARY_DIR}/packaging/nivexConfig.cmake
                              INSTALL_DESTINATION ${nivex_cmake_dir})
write_basic_package_version_file(${CMAKE_BINARY_DIR}/packaging/nivexConfigVersion.cmake
                                 COMPATIBILITY SameMajorVersion)
install(FILES ${CMAKE_BINARY_DIR}/packaging/nivexConfig.cmake
              ${CMAKE_BINARY_DIR}/packaging/nivexConfigVersion.cmake
        DESTINATION ${nivex_cmake_dir})

# pkg-config: paths relative to the .pc file, so the tree may be moved.
file(RELATIVE_PATH nivex_pc_prefix ${CMAKE_INSTALL_FULL_LIBDIR}/pkgconfig ${CMAKE_INSTALL_PREFIX})
configure_file(${CMAKE_SOURCE_DIR}/packaging/nivex.pc.in ${CMAKE_BINARY_DIR}/packaging/nivex.pc
               @ONLY)
install(FILES ${CMAKE_BINARY_DIR}/packaging/nivex.pc
        DESTINATION ${CMAKE_INSTALL_LIBDIR}/pkgconfig)

install(FILES ${CMAKE_SOURCE_DIR}/packaging/60-nivex.rules DESTINATION lib/udev/rules.d)

if(TARGET nivex_camsim)
  install(TARGETS nivex_camsim LIBRARY DESTINATION ${NIVEX_INSTALL_PRIVATE_LIBDIR})
endif()
