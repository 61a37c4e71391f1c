# A shared library has no dynamic initialiser of its own: nm lists none of the
# functions the compiler makes for one (_GLOBAL__sub_I_<file>). Those with a
# priority number (_GLOBAL__sub_I_00099_...) are a sanitizer's registration
# of the file's globals, not our initialisation.
# Arguments: -DLIB=<the library> [-DNM=<the target's nm>]
if(NOT NM)
  set(NM nm)
endif()
execute_process(COMMAND ${NM} ${LIB} OUTPUT_VARIABLE symbols COMMAND_ERROR_IS_FATAL ANY)
string(REGEX MATCHALL "_GLOBAL__sub_I_[^0-9\n][^\n]*" initialisers "${symbols}")
if(initialisers)
  message(FATAL_ERROR "${LIB} has dynamic initialisers: ${initialisers}")
endif()
if(NOT symbols MATCHES " T vexa_send\n")
  message(FATAL_ERROR "${LIB}: no symbol table to check")
endif()
