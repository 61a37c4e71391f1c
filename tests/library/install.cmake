# The installed package as an integrator gets it. Installs the build into a
# scratch directory twice, whole and as the library component alone, and
# checks what each holds; then builds the example host against the whole
# install, once with find_package and once with pkg-config and a plain compiler
# call, runs both and compares their output with examples/host.expected.
# The whole install is moved after installing, so that both the CMake package
# and the .pc files must find their prefix from where they lie.
# Arguments: -DBUILD=<build dir> -DEXAMPLE=<examples/> -DSCRATCH=<dir>
#   -DLIBDIR=<CMAKE_INSTALL_LIBDIR> -DCC=<C compiler> -DPKG_CONFIG=<pkg-config>
#   -DWARNINGS=<compiler warning flags, space-separated>
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
check("install of the library component" out
      ${CMAKE_COMMAND} --install ${BUILD} --prefix ${lib_only} --component library)

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

# The package of the library alone gives acl_tcam::flow_stats, and refuses
# COMPONENTS platform_sim.
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

# ---- The example host, built both ways ----------------------------------------
separate_arguments(warnings UNIX_COMMAND "${WARNINGS}")
string(JOIN " " c_flags ${warnings})
set(cmake_build ${SCRATCH}/example-cmake)
check("configuring examples/ with find_package" out
      ${CMAKE_COMMAND} -S ${EXAMPLE} -B ${cmake_build} -DCMAKE_PREFIX_PATH=${prefix}
      -DCMAKE_C_COMPILER=${CC} "-DCMAKE_C_FLAGS=${c_flags}")
check("building examples/ with find_package" out ${CMAKE_COMMAND} --build ${cmake_build})

# pkg-config sees this install only.
set(pkg_config ${CMAKE_COMMAND} -E env PKG_CONFIG_LIBDIR=${prefix}/${LIBDIR}/pkgconfig
    PKG_CONFIG_PATH= ${PKG_CONFIG})
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
