# Runs linecard-sim once and checks its exit status and the message it prints
# (cmake -P). Lists come joined with '|', since a ';' would not survive CTest.
#   SIM     the program, behind the cross-build emulator if there is one
#   ARGS    its arguments
#   STREAM  stdout or stderr: where MATCH must be found
#   MATCH   a regular expression
#   EXIT    the exit status expected (plain runs)
#   MODE    plain; killed: stdout into a file and the run stopped by a CPU
#           time limit, then the file must match and stderr stay empty;
#           tty: stderr on a terminal (script(1)), stdout discarded, the run
#           stopped the same way, then the terminal must match
#   SCRATCH a directory of the test's own
string(REPLACE "|" ";" sim "${SIM}")
string(REPLACE "|" ";" args "${ARGS}")
file(REMOVE_RECURSE "${SCRATCH}")
file(MAKE_DIRECTORY "${SCRATCH}")
# One CPU second is ample for the first lines and for a progress line, and
# bounds the run on a loaded machine, where wall-clock time would not.
set(limit "ulimit -c 0; ulimit -t 1")

if(MODE STREQUAL "killed")
  execute_process(COMMAND sh -c "${limit}; exec \"$@\" > \"$0\"" "${SCRATCH}/stdout" ${sim} ${args}
                  INPUT_FILE /dev/null ERROR_VARIABLE stderr RESULT_VARIABLE status
                  WORKING_DIRECTORY "${SCRATCH}" TIMEOUT 120)
  file(READ "${SCRATCH}/stdout" stdout)
  if(status STREQUAL "0" OR NOT stderr STREQUAL "")
    message(FATAL_ERROR "not stopped part way, or wrote to a non-terminal stderr: "
                        "status ${status}, stderr:\n${stderr}")
  endif()
elseif(MODE STREQUAL "tty")
  set(command "${limit}; exec")
  foreach(word IN LISTS sim args)
    string(APPEND command " '${word}'")
  endforeach()
  execute_process(COMMAND script -qec "${command} > /dev/null" /dev/null
                  INPUT_FILE /dev/null OUTPUT_VARIABLE stderr RESULT_VARIABLE status
                  WORKING_DIRECTORY "${SCRATCH}" TIMEOUT 120)
else()
  execute_process(COMMAND ${sim} ${args} INPUT_FILE /dev/null OUTPUT_VARIABLE stdout
                  ERROR_VARIABLE stderr RESULT_VARIABLE status
                  WORKING_DIRECTORY "${SCRATCH}" TIMEOUT 120)
  if(NOT status STREQUAL EXIT)
    message(FATAL_ERROR "exit status ${status}, expected ${EXIT}\nstdout:\n${stdout}\n"
                        "stderr:\n${stderr}")
  endif()
endif()

if(NOT "${${STREAM}}" MATCHES "${MATCH}")
  message(FATAL_ERROR "${STREAM} does not match '${MATCH}':\n${${STREAM}}")
endif()
file(REMOVE_RECURSE "${SCRATCH}")
