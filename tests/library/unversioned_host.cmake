# Binaries linked against the library before its export map had version
# nodes still load and run against the versioned one. OLD_LIB is the library
# as released up to 1.1.0 (no nodes), OLD_HOST the example host linked against
# it; NEW_LIB the library as built now. Checks that the two export the same
# names, the old one unversioned and the new one each in a node; that the old
# host asks for no version; that it runs right against each library in turn
# (the loader's own trace names the one it took); and that a host linked
# against the new library (NEW_HOST) asks for ACL_TCAM_FS_1.0.
# Arguments: -DOBJDUMP= -DREADELF= -DOLD_LIB= -DNEW_LIB= -DPLATFORM_LIB=
#   -DOLD_HOST= -DNEW_HOST= -DEXPECTED=<examples/host.expected>
cmake_minimum_required(VERSION 3.22)

set(first_node ACL_TCAM_FS_1.0)
set(nodes ACL_TCAM_FS_1.0 ACL_TCAM_FS_1.1)

include(${CMAKE_CURRENT_LIST_DIR}/script_checks.cmake)

# The defined dynamic symbols of a library as "<version> <name>", sorted;
# objdump -T shows an unversioned one as "Base", a version node's own symbol
# with its name twice.
function(exports lib out_var)
  check("objdump -T ${lib}" table ${OBJDUMP} -T ${lib})
  string(REGEX MATCHALL "\n[0-9a-f]+ [^\n]*" lines "${table}")
  set(result "")
  foreach(line ${lines})
    if(line MATCHES "\\*UND\\*")
      continue()
    endif()
    # "<address> <flags> <section>\t<size>  <version> <name>"
    if(line MATCHES "[ \t][0-9a-f]+ +(\\(?[A-Za-z_0-9.]+\\)?) +([A-Za-z_0-9.]+)$")
      list(APPEND result "${CMAKE_MATCH_1} ${CMAKE_MATCH_2}")
    endif()
  endforeach()
  list(SORT result)
  set(${out_var} "${result}" PARENT_SCOPE)
endfunction()

exports(${OLD_LIB} old)
exports(${NEW_LIB} new)
set(old_names "")
foreach(entry ${old})
  if(NOT entry MATCHES "^Base ")
    fail("${OLD_LIB} exports ${entry}: the old library must have no version node")
  endif()
  string(REGEX REPLACE "^Base " "" name "${entry}")
  list(APPEND old_names ${name})
endforeach()
set(new_names "")
foreach(entry ${new})
  string(REGEX REPLACE " .*" "" node "${entry}")
  string(REGEX REPLACE "^[^ ]+ " "" name "${entry}")
  if(name IN_LIST nodes AND node STREQUAL name)
    list(REMOVE_ITEM nodes ${name})
  elseif(node STREQUAL first_node)
    list(APPEND new_names ${name})
  else()
    fail("${NEW_LIB} exports ${name} in ${node}, not in ${first_node}")
  endif()
endforeach()
if(nodes)
  fail("${NEW_LIB} defines no version node ${nodes}")
endif()
if(NOT old_names OR NOT old_names STREQUAL new_names)
  fail("the two libraries export different names\nold: ${old_names}\nnew: ${new_names}")
endif()

# What a binary asks of its libraries' versions.
check("readelf -V ${OLD_HOST}" needs ${READELF} -V ${OLD_HOST})
if(needs MATCHES "ACL_TCAM_FS_")
  fail("${OLD_HOST} asks for a version node; it must be linked unversioned:\n${needs}")
endif()
check("readelf -V ${NEW_HOST}" needs ${READELF} -V ${NEW_HOST})
if(NOT needs MATCHES "Name: ${first_node}")
  fail("${NEW_HOST}, linked against the versioned library, does not ask for ${first_node}")
endif()

# The old host against each library; the loader's trace shows which one.
get_filename_component(old_dir ${OLD_LIB} DIRECTORY)
get_filename_component(new_dir ${NEW_LIB} DIRECTORY)
get_filename_component(platform_dir ${PLATFORM_LIB} DIRECTORY)
get_filename_component(soname_file ${NEW_LIB} NAME)
string(REGEX REPLACE "(\\.so\\.[0-9]+).*" "\\1" soname "${soname_file}")
file(READ ${EXPECTED} expected)
foreach(dir ${old_dir} ${new_dir})
  set(env ${CMAKE_COMMAND} -E env LD_LIBRARY_PATH=${dir}:${platform_dir})
  check("tracing ${OLD_HOST}" trace ${env} LD_TRACE_LOADED_OBJECTS=1 ${OLD_HOST})
  if(NOT trace MATCHES "${soname} => ${dir}/${soname} ")
    fail("with LD_LIBRARY_PATH=${dir} the loader takes another library:\n${trace}")
  endif()
  execute_process(COMMAND ${env} ${OLD_HOST} RESULT_VARIABLE rc OUTPUT_VARIABLE out
                  ERROR_VARIABLE err)
  if(NOT rc EQUAL 0 OR NOT err STREQUAL "" OR NOT out STREQUAL expected)
    fail("${OLD_HOST} against ${dir}/${soname}: exit ${rc}, standard error:\n${err}\n"
         "output against ${EXPECTED}:\n${out}")
  endif()
endforeach()
