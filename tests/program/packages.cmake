# The Debian packages of `make package`: cpack on this build into a scratch
# directory, then each package's name, files (dpkg-deb -c), dependencies on
# its siblings and conffiles against what it must hold.
# Arguments: -DBUILD=<build dir> -DSCRATCH=<dir> -DPREFIX=<CMAKE_INSTALL_PREFIX>
#   -DLIBDIR=<CMAKE_INSTALL_LIBDIR> -DCONF=<the configuration file as installed>
#   -DSOURCE=<source dir>
cmake_minimum_required(VERSION 3.22)
include(${SOURCE}/tests/library/script_checks.cmake)

file(REMOVE_RECURSE ${SCRATCH})
check("cpack" out cpack --config ${BUILD}/CPackConfig.cmake -B ${SCRATCH})
file(GLOB debs RELATIVE ${SCRATCH} ${SCRATCH}/*.deb)

string(REGEX REPLACE "^/" "" p "${PREFIX}")
string(REGEX REPLACE "^/" "" conf "${CONF}")
set(lib ${p}/${LIBDIR})
set(inc ${p}/include/acl_tcam)
set(cmake ${lib}/cmake/acl_tcam_flow_stats)
# Each package: its name, then the files (and links) it holds.
set(expected_libacl-tcam-flow-stats1
    ${lib}/libacl_tcam_flow_stats.so.1 ${lib}/libacl_tcam_flow_stats.so.@V@)
set(expected_libacl-tcam-platform-sim1
    ${lib}/libacl_tcam_platform_sim.so.1 ${lib}/libacl_tcam_platform_sim.so.@V@)
set(expected_libacl-tcam-flow-stats-dev
    ${lib}/libacl_tcam_flow_stats.so ${lib}/libacl_tcam_platform_sim.so
    ${inc}/acl_tcam_flow_stats.h ${inc}/acl_tcam_flow_stats_compat.h ${inc}/acl_tcam_flow_wire.h
    ${inc}/platform_sim.h ${inc}/avl.h ${inc}/card.h ${inc}/mtrack.h ${inc}/vexa.h
    ${inc}/vexa_msg.h
    ${lib}/pkgconfig/acl_tcam_flow_stats.pc ${lib}/pkgconfig/acl_tcam_platform_sim.pc
    ${cmake}/acl_tcam_flow_stats-config.cmake ${cmake}/acl_tcam_flow_stats-config-version.cmake
    ${cmake}/acl_tcam_flow_stats_targets.cmake ${cmake}/acl_tcam_flow_stats_targets-@BT@.cmake
    ${cmake}/acl_tcam_platform_sim_targets.cmake ${cmake}/acl_tcam_platform_sim_targets-@BT@.cmake)
set(expected_flow-supervisor
    ${p}/sbin/flow-supervisor ${p}/bin/flowctl ${p}/bin/linecard-sim ${p}/bin/linecard-serve
    ${lib}/libacl_tcam_platform_socket.so.1 ${lib}/libacl_tcam_platform_socket.so.@V@
    ${p}/share/man/man1/flowctl.1 ${p}/share/man/man1/linecard-sim.1
    ${p}/share/man/man8/flow-supervisor.8
    ${p}/share/bash-completion/completions/flowctl
    ${p}/lib/systemd/system/flow-supervisor.service ${p}/lib/systemd/system/linecard-sim@.service
    ${p}/lib/sysusers.d/flow-supervisor.conf ${conf})

set(seen "")
foreach(deb ${debs})
  check("dpkg-deb -f ${deb}" name dpkg-deb -f ${SCRATCH}/${deb} Package)
  check("dpkg-deb -f ${deb}" version dpkg-deb -f ${SCRATCH}/${deb} Version)
  check("dpkg-deb -f ${deb}" depends dpkg-deb -f ${SCRATCH}/${deb} Depends)
  string(STRIP "${name}" name)
  string(STRIP "${version}" version)
  list(APPEND seen ${name})
  if(NOT DEFINED expected_${name})
    fail("${deb}: an unexpected package ${name}")
  endif()
  set(want ${expected_${name}})
  string(REPLACE "@V@" "${version}" want "${want}")
  list(TRANSFORM want REPLACE "@BT@" "[a-z]+")
  check("dpkg-deb -c ${deb}" listing dpkg-deb -c ${SCRATCH}/${deb})
  # "mode owner size date time ./path[ -> target]", directories left out.
  string(REGEX REPLACE "[^\n]*[ \t]\\./([^\n]*)" "\\1" files "${listing}")
  string(REGEX REPLACE " -> [^\n]*" "" files "${files}")
  string(REPLACE "\n" ";" files "${files}")
  list(FILTER files EXCLUDE REGEX "/$|^$")
  list(SORT files)
  list(SORT want)
  list(LENGTH files n_files)
  list(LENGTH want n_want)
  set(i 0)
  set(ok TRUE)
  if(NOT n_files EQUAL n_want)
    set(ok FALSE)
  else()
    foreach(pattern ${want})
      list(GET files ${i} file)
      if(NOT file MATCHES "^${pattern}$")
        set(ok FALSE)
      endif()
      math(EXPR i "${i} + 1")
    endforeach()
  endif()
  if(NOT ok)
    string(JOIN "\n  " files ${files})
    string(JOIN "\n  " want ${want})
    fail("${name} holds:\n  ${files}\nexpected:\n  ${want}")
  endif()
  # The programs and the development files need the libraries of this version.
  if(name MATCHES "dev$|^flow-supervisor$" AND
     NOT depends MATCHES "libacl-tcam-flow-stats1 \\(= ${version}\\)")
    fail("${name} depends on: ${depends}")
  endif()
endforeach()
list(SORT seen)
if(NOT seen STREQUAL "flow-supervisor;libacl-tcam-flow-stats-dev;libacl-tcam-flow-stats1;libacl-tcam-platform-sim1")
  fail("packages: ${seen}")
endif()

# The library's package tells dpkg-shlibdeps what a host built on it needs.
file(GLOB library_deb ${SCRATCH}/libacl-tcam-flow-stats1_*.deb)
check("dpkg-deb -e" out dpkg-deb -e ${library_deb} ${SCRATCH}/library-control)
file(READ ${SCRATCH}/library-control/shlibs shlibs)
if(NOT shlibs MATCHES "^libacl_tcam_flow_stats 1 libacl-tcam-flow-stats1 \\(>= ${version}\\)")
  fail("shlibs: ${shlibs}")
endif()

# The configuration file is a conffile, kept over upgrades.
file(GLOB programs_deb ${SCRATCH}/flow-supervisor_*.deb)
check("dpkg-deb -e" out dpkg-deb -e ${programs_deb} ${SCRATCH}/control)
file(READ ${SCRATCH}/control/conffiles conffiles)
if(NOT conffiles STREQUAL "${CONF}\n")
  fail("conffiles: ${conffiles}")
endif()
