# The public headers against language standards: each row compiles a file
# that includes one header, with one language and standard, and expects
# either a clean compile (warnings are errors) or a failure whose first error
# is the header's own message, not one from deep inside it.
# Arguments: -DCC=<C compiler> -DCXX=<C++ compiler> -DINCLUDE=<directory
#   holding acl_tcam/> -DSCRATCH=<dir>
cmake_minimum_required(VERSION 3.22)

# header | compiler | flags (comma-separated) | "ok" or the expected message
set(cases
  "acl_tcam_flow_stats.h|CC|-std=c11|ok"
  "acl_tcam_flow_stats_compat.h|CC|-std=c11|ok"
  "acl_tcam_flow_stats.h|CXX|-std=c++11|ok"
  "acl_tcam_flow_stats_compat.h|CXX|-std=c++20|ok"
  "acl_tcam_flow_stats.h|CC|-std=c99|needs C11 or later: compile with -std=c11"
  "acl_tcam_flow_stats.h|CC|-std=c89|needs C11 or later: compile with -std=c11"
  "acl_tcam_flow_stats_compat.h|CC|-std=gnu99|needs C11 or later: compile with -std=c11"
  "acl_tcam_flow_stats.h|CXX|-std=c++98|needs C\\+\\+11 or later")

file(REMOVE_RECURSE ${SCRATCH})
set(failures "")
set(n 0)
foreach(case ${cases})
  string(REPLACE "|" ";" fields "${case}")
  list(GET fields 0 header)
  list(GET fields 1 compiler)
  list(GET fields 2 flags)
  list(GET fields 3 expect)
  string(REPLACE "," ";" flags "${flags}")
  math(EXPR n "${n} + 1")
  if(compiler STREQUAL "CXX")
    set(source ${SCRATCH}/case${n}.cpp)
  else()
    set(source ${SCRATCH}/case${n}.c)
  endif()
  file(WRITE ${source} "#include <acl_tcam/${header}>\nint case_${n}(void) { return (int)sizeof(flow_t); }\n")
  execute_process(COMMAND ${${compiler}} ${flags} -Wall -Wextra -Wpedantic -Werror -fsyntax-only
                          -I${INCLUDE} ${source}
                  RESULT_VARIABLE rc OUTPUT_VARIABLE out ERROR_VARIABLE err)
  if(expect STREQUAL "ok")
    if(NOT rc EQUAL 0)
      list(APPEND failures "${header} ${flags}: expected to compile, got:\n${err}")
    endif()
  else()
    # The first diagnostic must be the header's #error.
    string(REGEX MATCH "error: [^\n]*" first "${err}")
    if(rc EQUAL 0 OR NOT first MATCHES "${expect}")
      list(APPEND failures "${header} ${flags}: expected \"${expect}\" first, got "
                           "(exit ${rc}):\n${err}")
    endif()
  endif()
endforeach()
if(failures)
  string(JOIN "\n" text ${failures})
  message(FATAL_ERROR "${text}")
endif()
