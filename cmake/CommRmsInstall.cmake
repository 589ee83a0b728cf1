# Install rules, the CMake package (find_package(comm_rms CONFIG)) and the
# pkg-config file. Everything installed refers to its neighbours by relative
# paths, so the tree works from whatever prefix it is installed or copied to.
include(CMakePackageConfigHelpers)

set(COMM_RMS_CMAKE_DIR ${CMAKE_INSTALL_LIBDIR}/cmake/comm_rms)

# Imported names: comm_rms::comm_rms, the platform declarations it carries,
# comm_rms::platform_headers, and on the host comm_rms::platform_host. A
# device's platform library is the device's to install.
set_target_properties(comm_rms_platform_headers PROPERTIES EXPORT_NAME platform_headers)
set(comm_rms_installed comm_rms comm_rms_platform_headers)
if(TARGET comm_rms_platform_host)
  set_target_properties(comm_rms_platform_host PROPERTIES EXPORT_NAME platform_host)
  list(APPEND comm_rms_installed comm_rms_platform_host)
  set(COMM_RMS_PC_PLATFORM -lcomm_rms_platform_host)
elseif(IS_ABSOLUTE "${COMM_RMS_PLATFORM}")
  set(COMM_RMS_PC_PLATFORM ${COMM_RMS_PLATFORM})
else()
  set(COMM_RMS_PC_PLATFORM -l${COMM_RMS_PLATFORM})
endif()

install(TARGETS ${comm_rms_installed}
  EXPORT comm_rms_targets
  LIBRARY DESTINATION ${CMAKE_INSTALL_LIBDIR}
  ARCHIVE DESTINATION ${CMAKE_INSTALL_LIBDIR}
  RUNTIME DESTINATION ${CMAKE_INSTALL_BINDIR})
install(DIRECTORY include/comm_rms DESTINATION ${CMAKE_INSTALL_INCLUDEDIR})
install(DIRECTORY platform/vantorel DESTINATION ${CMAKE_INSTALL_INCLUDEDIR})

install(EXPORT comm_rms_targets
  NAMESPACE comm_rms::
  FILE comm_rmsTargets.cmake
  DESTINATION ${COMM_RMS_CMAKE_DIR})
configure_package_config_file(
  ${CMAKE_CURRENT_LIST_DIR}/comm_rmsConfig.cmake.in
  ${CMAKE_CURRENT_BINARY_DIR}/comm_rmsConfig.cmake
  INSTALL_DESTINATION ${COMM_RMS_CMAKE_DIR})
write_basic_package_version_file(
  ${CMAKE_CURRENT_BINARY_DIR}/comm_rmsConfigVersion.cmake
  COMPATIBILITY SameMajorVersion)
install(FILES
  ${CMAKE_CURRENT_BINARY_DIR}/comm_rmsConfig.cmake
  ${CMAKE_CURRENT_BINARY_DIR}/comm_rmsConfigVersion.cmake
  DESTINATION ${COMM_RMS_CMAKE_DIR})

# pkg-config: the prefix is found from the .pc file's own place.
file(RELATIVE_PATH COMM_RMS_PC_TO_PREFIX
  /${CMAKE_INSTALL_LIBDIR}/pkgconfig /)
string(REGEX REPLACE "/$" "" COMM_RMS_PC_TO_PREFIX "${COMM_RMS_PC_TO_PREFIX}")
configure_file(${CMAKE_CURRENT_LIST_DIR}/comm_rms.pc.in
  ${CMAKE_CURRENT_BINARY_DIR}/comm_rms.pc @ONLY)
install(FILES ${CMAKE_CURRENT_BINARY_DIR}/comm_rms.pc
  DESTINATION ${CMAKE_INSTALL_LIBDIR}/pkgconfig)
