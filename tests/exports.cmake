# The library exports exactly the names of its version script and leaves the
# platform's symbols to be resolved at load time.
# Arguments: -DLIB=<path of the library> -DMAP=<path of exports.map>
# [-DNM=<the target's nm>]
cmake_policy(SET CMP0007 NEW)
if(NOT NM)
  set(NM nm)
endif()
execute_process(COMMAND ${NM} -D --defined-only ${LIB} OUTPUT_VARIABLE defined COMMAND_ERROR_IS_FATAL ANY)
execute_process(COMMAND ${NM} -D --undefined-only ${LIB} OUTPUT_VARIABLE undefined COMMAND_ERROR_IS_FATAL ANY)
string(REGEX MATCHALL "[A-Za-z_0-9]+\n" defined_names "${defined}")
string(REGEX REPLACE "\n" "" defined_names "${defined_names}")
list(SORT defined_names)

file(READ ${MAP} map)
string(REGEX MATCH "global:(.*)local:" globals "${map}")
string(REGEX MATCHALL "[A-Za-z_0-9]+;" wanted "${CMAKE_MATCH_1}")
string(REPLACE ";;" ";" wanted "${wanted}")
list(TRANSFORM wanted REPLACE ";" "")
list(FILTER wanted EXCLUDE REGEX "^$")
list(SORT wanted)

if(NOT defined_names STREQUAL wanted)
  message(FATAL_ERROR "exported: ${defined_names}\nexpected: ${wanted}")
endif()
foreach(sym vexa_send avl_create mtrack_alloc card_get_slot_num)
  if(NOT undefined MATCHES " U ${sym}\n")
    message(FATAL_ERROR "${sym} should be undefined in the library")
  endif()
endforeach()
