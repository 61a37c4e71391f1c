# The installed package as an integrator gets it. Installs the build into a
# scratch directory twice, whole and as the library's components alone, and
# checks what each holds; then builds the example host against the whole
# install, once with find_package and once with pkg-config and a plain compiler
# call, runs both and compares their output with examples/host.expected.
# The whole install is moved after installing, so that the CMake package must
# find its prefix from where it lies (the .pc files name the prefix installed
# to, which pkg-config is told again). With PROGRAMS, the programs' files too:
# the units verified by systemd-analyze, the man pages checked by groff.
# Arguments: -DBUILD=<build dir> -DEXAMPLE=<examples/> -DSCRATCH=<dir>
#   -DLIBDIR=<CMAKE_INSTALL_LIBDIR> -DCC=<C compiler> -DPKG_CONFIG=<pkg-config>
#   -DWARNINGS=<compiler warning flags, space-separated>
#   -DPROGRAMS=<ON with the chassis> -DINSTALL_PREFIX=<CMAKE_INSTALL_PREFIX>
cmake_minimum_required(VERSION 3.22)

include(${CMAKE_CURRENT_LIST_DIR}/script_checks.cmake)

# The names directly in a directory, sorted.
function(names_in dir out_var)
  file(GLOB names RELATIVE ${dir} ${dir}/*)
  list(SORT names)
  set(${out_var} "${names}" PARENT_SCOPE)
endfunction()

function(expect_names dir)
  set(expected ${ARGN})
  list(SORT expected)
  names_in(${dir} names)
  if(NOT names STREQUAL expected)
    fail("${dir} holds: ${names}\nexpected: ${expected}")
  endif()
endfunction()

file(REMOVE_RECURSE ${SCRATCH})
set(prefix ${SCRATCH}/prefix)
set(lib_only ${SCRATCH}/library-only)
check("install" out ${CMAKE_COMMAND} --install ${BUILD} --prefix ${SCRATCH}/staging)
file(RENAME ${SCRATCH}/staging ${prefix})
foreach(component library library_dev)
  check("install of the ${component} component" out
        ${CMAKE_COMMAND} --install ${BUILD} --prefix ${lib_only} --component ${component})
endforeach()

# ---- What each install holds -----------------------------------------------
# A consumer's include path is include/, so nothing may lie beside acl_tcam/.
set(library_headers acl_tcam_flow_stats.h acl_tcam_flow_stats_compat.h acl_tcam_flow_wire.h)
set(platform_headers platform_sim.h avl.h card.h mtrack.h vexa.h vexa_msg.h)
expect_names(${prefix}/include acl_tcam)
expect_names(${prefix}/include/acl_tcam ${library_headers} ${platform_headers})
expect_names(${lib_only}/include acl_tcam)
expect_names(${lib_only}/include/acl_tcam ${library_headers})
expect_names(${lib_only}/${LIBDIR}/pkgconfig acl_tcam_flow_stats.pc)
file(GLOB_RECURSE stand_ins ${lib_only}/*platform_sim*)
if(stand_ins)
  fail("the library component installs the stand-ins' files: ${stand_ins}")
endif()
file(GLOB libraries RELATIVE ${prefix}/${LIBDIR} ${prefix}/${LIBDIR}/*.so.*)
foreach(name libacl_tcam_flow_stats.so.1 libacl_tcam_platform_sim.so.1)
  if(NOT name IN_LIST libraries)
    fail("${prefix}/${LIBDIR} lacks ${name}: ${libraries}")
  endif()
endforeach()

# The .pc files name plain paths under the prefix installed to.
file(READ ${prefix}/${LIBDIR}/pkgconfig/acl_tcam_flow_stats.pc pc)
if(NOT pc MATCHES "^prefix=${SCRATCH}/staging\nlibdir=\\\${prefix}/${LIBDIR}\nincludedir=\\\${prefix}/include\n"
   OR pc MATCHES "\\.\\.")
  fail("acl_tcam_flow_stats.pc:\n${pc}")
endif()

# The package of the library alone gives acl_tcam::flow_stats, and refuses
# COMPONENTS platform_sim, naming it.
set(probe ${SCRATCH}/probe)
file(WRITE ${probe}/CMakeLists.txt [[
cmake_minimum_required(VERSION 3.22)
project(probe LANGUAGES NONE)
find_package(acl_tcam_flow_stats REQUIRED)
if(NOT TARGET acl_tcam::flow_stats OR TARGET acl_tcam::platform_sim)
  message(FATAL_ERROR "library alone: wrong targets")
endif()
find_package(acl_tcam_flow_stats QUIET COMPONENTS platform_sim)
if(acl_tcam_flow_stats_FOUND)
  message(FATAL_ERROR "library alone: found with COMPONENTS platform_sim")
endif()
]])
check("find_package in the library-only install" out
      ${CMAKE_COMMAND} -S ${probe} -B ${probe}/build -DCMAKE_PREFIX_PATH=${lib_only})
file(WRITE ${probe}/CMakeLists.txt [[
cmake_minimum_required(VERSION 3.22)
project(probe LANGUAGES NONE)
find_package(acl_tcam_flow_stats REQUIRED COMPONENTS platform_sim)
]])
execute_process(COMMAND ${CMAKE_COMMAND} -S ${probe} -B ${probe}/build-required
                -DCMAKE_PREFIX_PATH=${lib_only} RESULT_VARIABLE rc OUTPUT_VARIABLE out
                ERROR_VARIABLE err)
string(REGEX REPLACE "[ \n]+" " " err "${err}") # CMake wraps its messages
if(rc EQUAL 0 OR NOT err MATCHES "lacks component\\(s\\): platform_sim ")
  fail("find_package(... REQUIRED COMPONENTS platform_sim) without it: exit ${rc}\n${err}")
endif()

# ---- The example host, built both ways ----------------------------------------
separate_arguments(warnings UNIX_COMMAND "${WARNINGS}")
string(JOIN " " c_flags ${warnings})
set(cmake_build ${SCRATCH}/example-cmake)
check("configuring examples/ with find_package" out
      ${CMAKE_COMMAND} -S ${EXAMPLE} -B ${cmake_build} -DCMAKE_PREFIX_PATH=${prefix}
      -DCMAKE_C_COMPILER=${CC} "-DCMAKE_C_FLAGS=${c_flags}")
check("building examples/ with find_package" out ${CMAKE_COMMAND} --build ${cmake_build})

# pkg-config sees this install only, where it now lies.
set(pkg_config ${CMAKE_COMMAND} -E env PKG_CONFIG_LIBDIR=${prefix}/${LIBDIR}/pkgconfig
    PKG_CONFIG_PATH= ${PKG_CONFIG} --define-variable=prefix=${prefix})
check("pkg-config" flags ${pkg_config} --cflags --libs acl_tcam_flow_stats acl_tcam_platform_sim)
separate_arguments(flags UNIX_COMMAND "${flags}")
set(rpath -Wl,-rpath,${prefix}/${LIBDIR})
set(c_build ${CC} -std=c11 ${warnings} ${EXAMPLE}/host.c ${flags} ${rpath})
check("building examples/host.c with pkg-config" out ${c_build} -rdynamic -o ${SCRATCH}/host)

file(READ ${EXAMPLE}/host.expected expected)
foreach(host ${cmake_build}/acl_tcam_example_host ${SCRATCH}/host)
  execute_process(COMMAND ${host} RESULT_VARIABLE rc OUTPUT_VARIABLE out ERROR_VARIABLE err)
  if(NOT rc EQUAL 0 OR NOT err STREQUAL "" OR NOT out STREQUAL expected)
    file(WRITE ${host}.out "${out}")
    fail("${host}: exit ${rc}, standard error:\n${err}\noutput (${host}.out) against "
         "${EXAMPLE}/host.expected:\n${out}")
  endif()
endforeach()

# ---- Mistakes an integrator can make, and what stops them -------------------
# Without -rdynamic the library cannot see the callbacks: the host says so.
check("building examples/host.c without -rdynamic" out ${c_build} -o ${SCRATCH}/host-hidden)
execute_process(COMMAND ${SCRATCH}/host-hidden RESULT_VARIABLE rc OUTPUT_VARIABLE out
                ERROR_VARIABLE err)
if(NOT rc EQUAL 2 OR NOT err MATCHES "link with -rdynamic")
  fail("a host without -rdynamic: exit ${rc}, standard error:\n${err}")
endif()

# Without a platform the link fails, naming the platform's symbols the library
# needs, rather than the load.
file(WRITE ${SCRATCH}/no_platform.c [[
#include <acl_tcam/acl_tcam_flow_stats.h>
int main(void) { return acl_tcam_flow_is_initialized(); }
]])
check("pkg-config" flags ${pkg_config} --cflags --libs acl_tcam_flow_stats)
separate_arguments(flags UNIX_COMMAND "${flags}")
execute_process(COMMAND ${CC} ${SCRATCH}/no_platform.c ${flags} -o ${SCRATCH}/no_platform
                RESULT_VARIABLE rc OUTPUT_VARIABLE out ERROR_VARIABLE err)
if(rc EQUAL 0 OR NOT err MATCHES "(vexa|avl|mtrack|card)_[a-z_]+")
  fail("linking the library without a platform: exit ${rc}\n${out}${err}")
endif()

# ---- The programs --------------------------------------------------------------
if(NOT PROGRAMS)
  return()
endif()
expect_names(${prefix}/bin flowctl linecard-serve linecard-sim)
expect_names(${prefix}/sbin flow-supervisor)
expect_names(${prefix}/share/man/man1 flowctl.1 linecard-sim.1)
expect_names(${prefix}/share/man/man8 flow-supervisor.8)
expect_names(${prefix}/share/bash-completion/completions flowctl)
expect_names(${prefix}/lib/systemd/system flow-supervisor.service linecard-sim@.service)
expect_names(${prefix}/lib/sysusers.d flow-supervisor.conf)
expect_names(${prefix}/etc/flow-supervisor flow-supervisor.conf)
# They find our libraries beside them, moved as they are.
check("the installed flowctl" out ${prefix}/bin/flowctl --version)

find_program(GROFF groff)
if(GROFF)
  foreach(page man1/flowctl.1 man1/linecard-sim.1 man8/flow-supervisor.8)
    execute_process(COMMAND ${GROFF} -t -man -z -ww ${prefix}/share/man/${page}
                    RESULT_VARIABLE rc ERROR_VARIABLE warnings)
    if(NOT rc EQUAL 0 OR NOT warnings STREQUAL "")
      fail("groff on ${page}: exit ${rc}\n${warnings}")
    endif()
  endforeach()
endif()

# The units as installed, their programs' paths moved to where they lie here.
find_program(SYSTEMD_ANALYZE systemd-analyze)
if(SYSTEMD_ANALYZE)
  set(units ${SCRATCH}/units)
  file(MAKE_DIRECTORY ${units})
  foreach(unit flow-supervisor.service linecard-sim@.service)
    file(READ ${prefix}/lib/systemd/system/${unit} text)
    string(REPLACE "=${INSTALL_PREFIX}/" "=${prefix}/" text "${text}")
    file(WRITE ${units}/${unit} "${text}")
  endforeach()
  execute_process(COMMAND ${SYSTEMD_ANALYZE} verify --man=no ${units}/flow-supervisor.service
                          ${units}/linecard-sim@3.service
                  RESULT_VARIABLE rc OUTPUT_VARIABLE out ERROR_VARIABLE err)
  # An unknown key is only a warning: any word on standard error fails. Where
  # systemd-analyze cannot work at all (no systemd of its own), skipped.
  if(err MATCHES "(Failed to (initialize|connect)|System has not been booted)")
    message(STATUS "systemd-analyze verify skipped: ${err}")
  elseif(NOT rc EQUAL 0 OR NOT err STREQUAL "")
    fail("systemd-analyze verify: exit ${rc}\n${out}${err}")
  endif()
endif()
