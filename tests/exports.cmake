# The library exports exactly the symbols of the committed list, of the kinds
# listed, the version script names the same ones, and the platform's symbols
# stay undefined, to be resolved at load time.
# Arguments: -DLIB=<the library> -DMAP=<exports.map> -DSYMBOLS=<the list>
# [-DNM=<the target's nm>]
cmake_policy(SET CMP0007 NEW)
if(NOT NM)
  set(NM nm)
endif()
execute_process(COMMAND ${NM} -D --defined-only ${LIB} OUTPUT_VARIABLE defined COMMAND_ERROR_IS_FATAL ANY)
execute_process(COMMAND ${NM} -D --undefined-only ${LIB} OUTPUT_VARIABLE undefined COMMAND_ERROR_IS_FATAL ANY)
# "<address> <kind> <name>" lines become "<kind> <name>".
string(REGEX MATCHALL "[A-Za-z] [A-Za-z_0-9]+\n" exported "${defined}")
string(REGEX REPLACE "\n" "" exported "${exported}")
list(SORT exported)

file(STRINGS ${SYMBOLS} listed REGEX "^[A-Za-z] ")
list(SORT listed)
if(NOT exported STREQUAL listed)
  set(extra ${exported})
  list(REMOVE_ITEM extra ${listed})
  set(missing ${listed})
  list(REMOVE_ITEM missing ${exported})
  message(FATAL_ERROR "exported symbols differ from ${SYMBOLS}\n"
                      "not listed: ${extra}\nlisted, not exported as such: ${missing}")
endif()

file(READ ${MAP} map)
string(REGEX MATCH "global:(.*)local:" globals "${map}")
string(REGEX MATCHALL "[A-Za-z_0-9]+;" in_map "${CMAKE_MATCH_1}")
string(REPLACE ";;" ";" in_map "${in_map}")
list(TRANSFORM in_map REPLACE ";" "")
list(FILTER in_map EXCLUDE REGEX "^$")
list(SORT in_map)
list(TRANSFORM listed REPLACE "^. " "")
list(SORT listed)
if(NOT in_map STREQUAL listed)
  message(FATAL_ERROR "${MAP} names: ${in_map}\nlisted: ${listed}")
endif()

foreach(sym vexa_send avl_create mtrack_alloc card_get_slot_num)
  if(NOT undefined MATCHES " U ${sym}\n")
    message(FATAL_ERROR "${sym} should be undefined in the library")
  endif()
endforeach()
