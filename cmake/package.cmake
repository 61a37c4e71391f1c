# `make package`: Debian packages, one per group of install components
# (cmake/install.cmake):
#   libacl-tcam-flow-stats1      library         the run-time library
#   libacl-tcam-platform-sim1    platform_sim    the in-process stand-ins
#   libacl-tcam-flow-stats-dev   library_dev, platform_sim_dev
#   flow-supervisor              programs        daemons, flowctl, units, man
#                                                pages, completion, conffile
# Configured with the prefix /usr (preset package), so that the programs'
# defaults and the units agree with where the packages put them.
set(CPACK_GENERATOR DEB)
set(CPACK_PACKAGE_NAME acl-tcam-flow-stats)
set(CPACK_PACKAGE_VENDOR "ACL TCAM Flow Stats developers")
set(CPACK_PACKAGE_CONTACT "ACL TCAM Flow Stats developers <flow-stats@localhost>")
set(CPACK_PACKAGE_VERSION ${PROJECT_VERSION})
set(CPACK_PACKAGE_DESCRIPTION_SUMMARY ${PROJECT_DESCRIPTION})
set(CPACK_PACKAGING_INSTALL_PREFIX ${CMAKE_INSTALL_PREFIX})
set(CPACK_DEB_COMPONENT_INSTALL ON)
set(CPACK_COMPONENTS_GROUPING ONE_PER_GROUP)
set(CPACK_DEBIAN_FILE_NAME DEB-DEFAULT)
set(CPACK_STRIP_FILES ON)
set(CPACK_DEBIAN_PACKAGE_SECTION libs)
# dpkg-shlibdeps finds the system's libraries; our own are named below.
set(CPACK_DEBIAN_PACKAGE_SHLIBDEPS ON)
set(CPACK_DEBIAN_PACKAGE_SHLIBDEPS_PRIVATE_DIRS
    ${PROJECT_BINARY_DIR}/lib)
# A shlibs file in each library package: a host built against this version
# needs this one or a later one of the same SONAME (the export map only ever
# adds version nodes).
set(CPACK_DEBIAN_PACKAGE_GENERATE_SHLIBS ON)
set(CPACK_DEBIAN_PACKAGE_GENERATE_SHLIBS_POLICY ">=")

set(deb_version "${PROJECT_VERSION}")
set(CPACK_DEBIAN_LIBRARY_PACKAGE_NAME libacl-tcam-flow-stats${PROJECT_VERSION_MAJOR})
set(CPACK_DEBIAN_PLATFORM_SIM_PACKAGE_NAME libacl-tcam-platform-sim${PROJECT_VERSION_MAJOR})
set(CPACK_DEBIAN_DEV_PACKAGE_NAME libacl-tcam-flow-stats-dev)
set(CPACK_DEBIAN_DEV_PACKAGE_SECTION libdevel)
set(CPACK_DEBIAN_DEV_PACKAGE_DEPENDS
    "${CPACK_DEBIAN_LIBRARY_PACKAGE_NAME} (= ${deb_version}), ${CPACK_DEBIAN_PLATFORM_SIM_PACKAGE_NAME} (= ${deb_version})")
set(CPACK_DEBIAN_PROGRAMS_PACKAGE_NAME flow-supervisor)
set(CPACK_DEBIAN_PROGRAMS_PACKAGE_SECTION net)
set(CPACK_DEBIAN_PROGRAMS_PACKAGE_DEPENDS
    "${CPACK_DEBIAN_LIBRARY_PACKAGE_NAME} (= ${deb_version}), ${CPACK_DEBIAN_PLATFORM_SIM_PACKAGE_NAME} (= ${deb_version})")
# The configuration file is a conffile; the user comes from sysusers.d.
set(CPACK_DEBIAN_PROGRAMS_PACKAGE_CONTROL_EXTRA
    ${PROJECT_BINARY_DIR}/dist/deb/conffiles ${PROJECT_SOURCE_DIR}/dist/deb/postinst)
set(CPACK_DEBIAN_PROGRAMS_PACKAGE_CONTROL_STRICT_PERMISSION ON)
file(WRITE ${PROJECT_BINARY_DIR}/dist/deb/conffiles
     "${PROGRAM_CONFIG_DIR}/flow-supervisor.conf\n")

set(CPACK_COMPONENTS_ALL library platform_sim library_dev platform_sim_dev)
if(ACL_TCAM_BUILD_CHASSIS)
  list(APPEND CPACK_COMPONENTS_ALL programs)
endif()
include(CPack)
cpack_add_component_group(library DESCRIPTION "${PROJECT_DESCRIPTION}: the run-time library")
cpack_add_component_group(platform_sim
  DESCRIPTION "In-process stand-ins of the platform services, for tests and example hosts")
cpack_add_component_group(dev
  DESCRIPTION "${PROJECT_DESCRIPTION}: headers, pkg-config and CMake files")
cpack_add_component_group(programs
  DESCRIPTION "Flow supervisor, flowctl and the simulated line card, with systemd units")
cpack_add_component(library GROUP library)
cpack_add_component(platform_sim GROUP platform_sim)
cpack_add_component(library_dev GROUP dev)
cpack_add_component(platform_sim_dev GROUP dev)
cpack_add_component(programs GROUP programs)
