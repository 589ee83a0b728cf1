# Install rules and the CMake/pkg-config package.
install(TARGETS comm_rms comm_rms_platform_host comm_rms_platform_headers
  EXPORT comm_rms_targets
  LIBRARY DESTINATION ${CMAKE_INSTALL_LIBDIR}
  ARCHIVE DESTINATION ${CMAKE_INSTALL_LIBDIR}
  RUNTIME DESTINATION ${CMAKE_INSTALL_BINDIR})
install(DIRECTORY include/comm_rms DESTINATION ${CMAKE_INSTALL_INCLUDEDIR})
install(DIRECTORY platform/vantorel DESTINATION ${CMAKE_INSTALL_INCLUDEDIR})
