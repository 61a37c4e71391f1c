# The library exports exactly the symbols of the committed list, of the kinds
# and in the version nodes listed (name@@node; the nodes themselves show as
# absolute symbols, kind A), and the version script names the same ones. What it leaves undefined
# is exactly the functions the platform headers declare (resolved at load time
# from whatever platform the process has) plus the C runtime's.
# Arguments: -DLIB=<the library> -DMAP=<exports.map> -DSYMBOLS=<the list>
# -DPLATFORM_INCLUDE=<directory of vexa.h, avl.h, mtrack.h, card.h>
# [-DNM=<the target's nm>] [-DINSTRUMENTED=ON in a sanitizer build]
cmake_policy(SET CMP0007 NEW)
if(NOT NM)
  set(NM nm)
endif()
execute_process(COMMAND ${NM} -D --defined-only ${LIB} OUTPUT_VARIABLE defined COMMAND_ERROR_IS_FATAL ANY)
execute_process(COMMAND ${NM} -D --undefined-only ${LIB} OUTPUT_VARIABLE undefined COMMAND_ERROR_IS_FATAL ANY)
# "<address> <kind> <name>[@@<node>]" lines become "<kind> <name>[@@<node>]".
string(REGEX MATCHALL "[A-Za-z] [A-Za-z_0-9.]+(@@?[A-Za-z_0-9.]+)?\n" exported "${defined}")
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
list(FILTER listed EXCLUDE REGEX "^A ")
list(TRANSFORM listed REPLACE "^. ([^@]+).*" "\\1")
list(SORT listed)
if(NOT in_map STREQUAL listed)
  message(FATAL_ERROR "${MAP} names: ${in_map}\nlisted: ${listed}")
endif()

# What the library leaves undefined: the platform's functions, each declared
# in its headers, and the C runtime's, which carry a version
# (memcpy@GLIBC_2.14), are weak (__gmon_start__) or are the sanitizers' __
# hooks. In an instrumented build the sanitizer runtime, which comes first,
# defines many C functions unversioned: there only the platform's are checked.
set(declared "")
foreach(header vexa.h avl.h mtrack.h card.h)
  file(STRINGS ${PLATFORM_INCLUDE}/${header} lines
       REGEX "^[A-Za-z_][A-Za-z_0-9 ]*[ *](vexa|avl|mtrack|card)_[a-z_]+\\(")
  foreach(line ${lines})
    string(REGEX MATCH "(vexa|avl|mtrack|card)_[a-z_]+\\(" name "${line}")
    string(REPLACE "(" "" name "${name}")
    if(name) # a line holding a ";" comes in pieces
      list(APPEND declared ${name})
    endif()
  endforeach()
endforeach()
list(SORT declared)
string(REGEX MATCHALL "[A-Za-z] [^ \n]+\n" undefined_lines "${undefined}")
set(platform_undefined "")
set(unexpected "")
foreach(line ${undefined_lines})
  string(STRIP "${line}" line)
  string(REGEX REPLACE "^. " "" name "${line}")
  if(name MATCHES "^(vexa|avl|mtrack|card)_")
    list(APPEND platform_undefined ${name})
  elseif(NOT (line MATCHES "^[wv] " OR name MATCHES "@" OR name MATCHES "^__" OR INSTRUMENTED))
    list(APPEND unexpected ${name})
  endif()
endforeach()
list(SORT platform_undefined)
if(NOT declared OR NOT platform_undefined STREQUAL declared OR unexpected)
  message(FATAL_ERROR "the library's undefined symbols are not the platform's declared "
                      "functions and the C runtime's\nplatform, undefined: ${platform_undefined}\n"
                      "declared: ${declared}\nneither: ${unexpected}")
endif()
