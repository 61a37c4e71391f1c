# The installed package, each part a run-time component and a development one
# (the Debian packages of cmake/package.cmake follow them):
#  - library: libacl_tcam_flow_stats.so.1; library_dev: the .so link, its
#    headers <acl_tcam/acl_tcam_flow_stats.h> (with acl_tcam_flow_stats_compat.h,
#    which it includes) and <acl_tcam/acl_tcam_flow_wire.h>, the CMake package
#    (find_package(acl_tcam_flow_stats), target acl_tcam::flow_stats) and
#    acl_tcam_flow_stats.pc;
#  - platform_sim: the in-process platform stand-ins libacl_tcam_platform_sim.so.1;
#    platform_sim_dev: <acl_tcam/platform_sim.h> with the platform declarations
#    it includes, target acl_tcam::platform_sim and acl_tcam_platform_sim.pc;
#  - programs (with the chassis): the daemons, flowctl, linecard-sim, the
#    socket message service they load, man pages, completion, systemd units
#    and the supervisor's configuration file.
# A plain install has all; library and library_dev alone suit a card whose
# platform is a real one. Headers go to include/acl_tcam/, and
# consumers get include/ on their path, so that the platform's vexa.h, avl.h,
# mtrack.h and card.h never shadow (or are shadowed by) a real platform's.
# The socket message service comes with the programs only, without headers.
include(CMakePackageConfigHelpers)

set(config_dir ${CMAKE_INSTALL_LIBDIR}/cmake/acl_tcam_flow_stats)
set(header_dir ${CMAKE_INSTALL_INCLUDEDIR}/acl_tcam)
set(pc_dir ${CMAKE_INSTALL_LIBDIR}/pkgconfig)

install(TARGETS acl_tcam_flow_stats EXPORT acl_tcam_flow_stats_targets
  LIBRARY DESTINATION ${CMAKE_INSTALL_LIBDIR} COMPONENT library NAMELINK_COMPONENT library_dev)
list(TRANSFORM public_headers PREPEND lib_flow_stats/include/)
install(FILES ${public_headers} DESTINATION ${header_dir} COMPONENT library_dev)
install(EXPORT acl_tcam_flow_stats_targets NAMESPACE acl_tcam:: DESTINATION ${config_dir}
  COMPONENT library_dev)

install(TARGETS acl_tcam_platform_sim EXPORT acl_tcam_platform_sim_targets
  LIBRARY DESTINATION ${CMAKE_INSTALL_LIBDIR} COMPONENT platform_sim
  NAMELINK_COMPONENT platform_sim_dev)
list(TRANSFORM platform_sim_headers PREPEND platform/include/)
install(FILES ${platform_sim_headers} DESTINATION ${header_dir} COMPONENT platform_sim_dev)
install(EXPORT acl_tcam_platform_sim_targets NAMESPACE acl_tcam:: DESTINATION ${config_dir}
  COMPONENT platform_sim_dev)

configure_package_config_file(cmake/acl_tcam_flow_stats-config.cmake.in
  ${PROJECT_BINARY_DIR}/acl_tcam_flow_stats-config.cmake INSTALL_DESTINATION ${config_dir})
write_basic_package_version_file(${PROJECT_BINARY_DIR}/acl_tcam_flow_stats-config-version.cmake
  COMPATIBILITY SameMajorVersion)
install(FILES
  ${PROJECT_BINARY_DIR}/acl_tcam_flow_stats-config.cmake
  ${PROJECT_BINARY_DIR}/acl_tcam_flow_stats-config-version.cmake
  DESTINATION ${config_dir} COMPONENT library_dev)

# The .pc files name plain paths (-I/usr/include, not
# -I/usr/lib/pkgconfig/../../include): written at install time, when the
# prefix is known (`cmake --install --prefix`, a package's /usr). A moved tree
# is used with pkg-config --define-variable=prefix=DIR. The wire helper's
# callback self-check calls dlopen/dlsym in the host itself.
set(pc_dl_libs "")
foreach(lib ${CMAKE_DL_LIBS})
  string(APPEND pc_dl_libs " -l${lib}")
endforeach()
foreach(pc acl_tcam_flow_stats acl_tcam_platform_sim)
  # The template with the build's values in, the prefix left to install time.
  set(pc_prefix "@pc_prefix@")
  set(pc_libdir "@pc_libdir@")
  set(pc_includedir "@pc_includedir@")
  configure_file(cmake/${pc}.pc.in ${PROJECT_BINARY_DIR}/${pc}.pc.in @ONLY)
endforeach()
foreach(part flow_stats:library_dev platform_sim:platform_sim_dev)
  string(REPLACE ":" ";" part ${part})
  list(GET part 0 name)
  list(GET part 1 component)
  install(CODE "
    set(PC_TEMPLATE \"${PROJECT_BINARY_DIR}/acl_tcam_${name}.pc.in\")
    set(PC_NAME acl_tcam_${name}.pc)
    set(PC_DIR \"${pc_dir}\")
    set(LIBDIR \"${CMAKE_INSTALL_LIBDIR}\")
    set(INCLUDEDIR \"${CMAKE_INSTALL_INCLUDEDIR}\")
    include(\"${PROJECT_SOURCE_DIR}/cmake/install_pc.cmake\")" COMPONENT ${component})
endforeach()

# ---- The programs -----------------------------------------------------------
# The daemons and tools with what a system installs them with. They find our
# libraries beside them (relative, so that a staged or moved tree works);
# an installed program's default paths are the units' directories
# (program/program_paths.h).
set(program_targets linecard-sim)
if(ACL_TCAM_BUILD_CHASSIS)
  list(APPEND program_targets linecard-serve flowctl)
endif()
set_target_properties(${program_targets} PROPERTIES
  INSTALL_RPATH "$ORIGIN/../${CMAKE_INSTALL_LIBDIR}")
# linecard-sim serve runs linecard-serve from its own directory.
install(TARGETS ${program_targets} RUNTIME DESTINATION ${CMAKE_INSTALL_BINDIR}
  COMPONENT programs)
install(FILES docs/man/linecard-sim.1 DESTINATION ${CMAKE_INSTALL_MANDIR}/man1
  COMPONENT programs)
if(ACL_TCAM_BUILD_CHASSIS)
  set_target_properties(flow-supervisor PROPERTIES
    INSTALL_RPATH "$ORIGIN/../${CMAKE_INSTALL_LIBDIR}")
  install(TARGETS flow-supervisor RUNTIME DESTINATION ${CMAKE_INSTALL_SBINDIR}
    COMPONENT programs)
  # The socket message service: the programs' own, no headers.
  install(TARGETS acl_tcam_platform_socket LIBRARY DESTINATION ${CMAKE_INSTALL_LIBDIR}
    COMPONENT programs NAMELINK_SKIP)
  install(FILES docs/man/flowctl.1 DESTINATION ${CMAKE_INSTALL_MANDIR}/man1 COMPONENT programs)
  install(FILES docs/man/flow-supervisor.8 DESTINATION ${CMAKE_INSTALL_MANDIR}/man8
    COMPONENT programs)
  install(FILES dist/bash-completion/flowctl
    DESTINATION ${CMAKE_INSTALL_DATADIR}/bash-completion/completions COMPONENT programs)

  # systemd's own places, under the prefix (/usr/lib/systemd/system for /usr).
  foreach(unit flow-supervisor.service linecard-sim@.service)
    configure_file(dist/systemd/${unit}.in ${PROJECT_BINARY_DIR}/dist/${unit} @ONLY)
    install(FILES ${PROJECT_BINARY_DIR}/dist/${unit} DESTINATION lib/systemd/system
      COMPONENT programs)
  endforeach()
  install(FILES dist/sysusers-flow-supervisor.conf DESTINATION lib/sysusers.d
    RENAME flow-supervisor.conf COMPONENT programs)
  configure_file(dist/flow-supervisor.conf.in ${PROJECT_BINARY_DIR}/dist/flow-supervisor.conf @ONLY)
  # /etc for /usr (a package), PREFIX/etc otherwise, as the programs expect.
  if(CMAKE_INSTALL_PREFIX STREQUAL "/usr")
    set(config_install_dir ${PROGRAM_CONFIG_DIR})
  else()
    set(config_install_dir ${CMAKE_INSTALL_SYSCONFDIR}/flow-supervisor)
  endif()
  install(FILES ${PROJECT_BINARY_DIR}/dist/flow-supervisor.conf DESTINATION ${config_install_dir}
    COMPONENT programs)
endif()

include(cmake/package.cmake)
