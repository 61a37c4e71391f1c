# The installed package, in two components:
#  - library: libacl_tcam_flow_stats.so, its headers <acl_tcam/acl_tcam_flow_stats.h>
#    (with acl_tcam_flow_stats_compat.h, which it includes) and
#    <acl_tcam/acl_tcam_flow_wire.h>, the CMake package
#    (find_package(acl_tcam_flow_stats), target acl_tcam::flow_stats) and
#    acl_tcam_flow_stats.pc;
#  - platform_sim: the in-process platform stand-ins libacl_tcam_platform_sim.so,
#    <acl_tcam/platform_sim.h> with the platform declarations it includes,
#    target acl_tcam::platform_sim and acl_tcam_platform_sim.pc.
# A plain install has both; `--component library` the library alone, for a
# card whose platform is a real one. Headers go to include/acl_tcam/, and
# consumers get include/ on their path, so that the platform's vexa.h, avl.h,
# mtrack.h and card.h never shadow (or are shadowed by) a real platform's.
# The socket message service stays in the tree.
include(CMakePackageConfigHelpers)

set(config_dir ${CMAKE_INSTALL_LIBDIR}/cmake/acl_tcam_flow_stats)
set(header_dir ${CMAKE_INSTALL_INCLUDEDIR}/acl_tcam)
set(pc_dir ${CMAKE_INSTALL_LIBDIR}/pkgconfig)

install(TARGETS acl_tcam_flow_stats EXPORT acl_tcam_flow_stats_targets
  LIBRARY DESTINATION ${CMAKE_INSTALL_LIBDIR} COMPONENT library NAMELINK_COMPONENT library)
list(TRANSFORM public_headers PREPEND lib_flow_stats/include/)
install(FILES ${public_headers} DESTINATION ${header_dir} COMPONENT library)
install(EXPORT acl_tcam_flow_stats_targets NAMESPACE acl_tcam:: DESTINATION ${config_dir}
  COMPONENT library)

install(TARGETS acl_tcam_platform_sim EXPORT acl_tcam_platform_sim_targets
  LIBRARY DESTINATION ${CMAKE_INSTALL_LIBDIR} COMPONENT platform_sim
  NAMELINK_COMPONENT platform_sim)
list(TRANSFORM platform_sim_headers PREPEND platform/include/)
install(FILES ${platform_sim_headers} DESTINATION ${header_dir} COMPONENT platform_sim)
install(EXPORT acl_tcam_platform_sim_targets NAMESPACE acl_tcam:: DESTINATION ${config_dir}
  COMPONENT platform_sim)

configure_package_config_file(cmake/acl_tcam_flow_stats-config.cmake.in
  ${PROJECT_BINARY_DIR}/acl_tcam_flow_stats-config.cmake INSTALL_DESTINATION ${config_dir})
write_basic_package_version_file(${PROJECT_BINARY_DIR}/acl_tcam_flow_stats-config-version.cmake
  COMPATIBILITY SameMajorVersion)
install(FILES
  ${PROJECT_BINARY_DIR}/acl_tcam_flow_stats-config.cmake
  ${PROJECT_BINARY_DIR}/acl_tcam_flow_stats-config-version.cmake
  DESTINATION ${config_dir} COMPONENT library)

# Relocatable: the prefix is found from where the .pc file lies. The wire
# helper's callback self-check calls dlopen/dlsym in the host itself.
file(RELATIVE_PATH pc_to_prefix "/${pc_dir}" "/")
set(pc_dl_libs "")
foreach(lib ${CMAKE_DL_LIBS})
  string(APPEND pc_dl_libs " -l${lib}")
endforeach()
foreach(pc acl_tcam_flow_stats acl_tcam_platform_sim)
  configure_file(cmake/${pc}.pc.in ${PROJECT_BINARY_DIR}/${pc}.pc @ONLY)
endforeach()
install(FILES ${PROJECT_BINARY_DIR}/acl_tcam_flow_stats.pc DESTINATION ${pc_dir}
  COMPONENT library)
install(FILES ${PROJECT_BINARY_DIR}/acl_tcam_platform_sim.pc DESTINATION ${pc_dir}
  COMPONENT platform_sim)
