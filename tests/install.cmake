# Installs the build into a scratch prefix, then builds and runs a project that
# finds it with find_package, and checks the pkg-config file's flags.
# Arguments: -DBUILD=<build dir> -DSOURCE=<consumer source dir> -DSCRATCH=<dir>
file(REMOVE_RECURSE ${SCRATCH})
execute_process(COMMAND ${CMAKE_COMMAND} --install ${BUILD} --prefix ${SCRATCH}/prefix
                OUTPUT_QUIET COMMAND_ERROR_IS_FATAL ANY)
execute_process(COMMAND ${CMAKE_COMMAND} -S ${SOURCE} -B ${SCRATCH}/consumer
                -DCMAKE_PREFIX_PATH=${SCRATCH}/prefix OUTPUT_QUIET COMMAND_ERROR_IS_FATAL ANY)
execute_process(COMMAND ${CMAKE_COMMAND} --build ${SCRATCH}/consumer OUTPUT_QUIET
                COMMAND_ERROR_IS_FATAL ANY)
execute_process(COMMAND ${SCRATCH}/consumer/consumer COMMAND_ERROR_IS_FATAL ANY)

file(GLOB_RECURSE pc ${SCRATCH}/prefix/*/acl_tcam_flow_stats.pc)
file(READ ${pc} pc_text)
if(NOT pc_text MATCHES "prefix=\\$\\{pcfiledir\\}" OR NOT pc_text MATCHES "-lacl_tcam_flow_stats")
  message(FATAL_ERROR "unexpected pkg-config file:\n${pc_text}")
endif()
