# Writes one shell's completion script as talvex_composite prints it, and
# nothing when the command fails, so that no half-written script is installed.
#   cmake -DPROGRAM=talvex_composite -DSHELL_NAME=bash -DOUTPUT=file -P write_completion.cmake
cmake_path(GET OUTPUT PARENT_PATH folder)
file(MAKE_DIRECTORY ${folder})
execute_process(COMMAND ${PROGRAM} completion ${SHELL_NAME}
  OUTPUT_FILE ${OUTPUT}.part
  RESULT_VARIABLE status)
if(NOT status EQUAL 0)
  file(REMOVE ${OUTPUT}.part)
  message(FATAL_ERROR "${PROGRAM} completion ${SHELL_NAME} failed: ${status}")
endif()
file(RENAME ${OUTPUT}.part ${OUTPUT})
