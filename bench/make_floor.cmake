# Runs PROGRAM on the worked-example input INPUT and writes OUTPUT, the C source of a
# plain program that writes the same bytes (from TEMPLATE).
#   cmake -DPROGRAM=... -DINPUT=... -DTEMPLATE=... -DOUTPUT=... -P make_floor.cmake
execute_process(COMMAND ${PROGRAM} INPUT_FILE ${INPUT} OUTPUT_FILE ${OUTPUT}.out
                RESULT_VARIABLE status)
if(NOT status EQUAL 0)
  message(FATAL_ERROR "${PROGRAM} on ${INPUT} ended with status ${status}")
endif()
file(READ ${OUTPUT}.out hex HEX)
if(hex STREQUAL "")
  message(FATAL_ERROR "${PROGRAM} on ${INPUT} wrote nothing")
endif()
string(REGEX REPLACE "([0-9a-f][0-9a-f])" "0x\\1," BYTES "${hex}")
get_filename_component(PROGRAM_NAME ${PROGRAM} NAME)
set(PROGRAM ${PROGRAM_NAME})
configure_file(${TEMPLATE} ${OUTPUT} @ONLY)
