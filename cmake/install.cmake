# Installs the header, both libraries, a CMake package config
# (find_package(acl_tcam_flow_stats)) and a pkg-config file.
include(CMakePackageConfigHelpers)

install(TARGETS acl_tcam_flow_stats acl_tcam_platform
  EXPORT acl_tcam_flow_stats_targets
  LIBRARY DESTINATION ${CMAKE_INSTALL_LIBDIR}
  PUBLIC_HEADER DESTINATION ${CMAKE_INSTALL_INCLUDEDIR}/acl_tcam)
install(FILES
  platform/include/vexa.h platform/include/avl.h platform/include/mtrack.h
  platform/include/card.h platform/include/platform_sim.h
  DESTINATION ${CMAKE_INSTALL_INCLUDEDIR}/acl_tcam)

set(config_dir ${CMAKE_INSTALL_LIBDIR}/cmake/acl_tcam_flow_stats)
install(EXPORT acl_tcam_flow_stats_targets NAMESPACE acl_tcam:: DESTINATION ${config_dir})
configure_package_config_file(cmake/acl_tcam_flow_stats-config.cmake.in
  ${PROJECT_BINARY_DIR}/acl_tcam_flow_stats-config.cmake INSTALL_DESTINATION ${config_dir})
write_basic_package_version_file(${PROJECT_BINARY_DIR}/acl_tcam_flow_stats-config-version.cmake
  COMPATIBILITY SameMajorVersion)
install(FILES
  ${PROJECT_BINARY_DIR}/acl_tcam_flow_stats-config.cmake
  ${PROJECT_BINARY_DIR}/acl_tcam_flow_stats-config-version.cmake
  DESTINATION ${config_dir})

# Relocatable: the prefix is found from where the .pc file lies.
file(RELATIVE_PATH pc_to_prefix "/${CMAKE_INSTALL_LIBDIR}/pkgconfig" "/")
configure_file(cmake/acl_tcam_flow_stats.pc.in ${PROJECT_BINARY_DIR}/acl_tcam_flow_stats.pc @ONLY)
install(FILES ${PROJECT_BINARY_DIR}/acl_tcam_flow_stats.pc
  DESTINATION ${CMAKE_INSTALL_LIBDIR}/pkgconfig)
