# The hash_suffix command on a scratch file: it appends the bytes that give
# the file the fingerprint asked for, appends nothing once the file has it,
# and refuses unreachable fingerprints and bad arguments.
#   cmake -DCOMMAND=<hash_suffix> [-DEMULATOR=<runner;arguments>] -DWORK=<folder> -P hash_suffix_command_test.cmake
file(REMOVE_RECURSE "${WORK}")
file(MAKE_DIRECTORY "${WORK}")
file(WRITE "${WORK}/archive.bin" "some archive content\n")

# Runs the command in WORK (so that the file's name needs no translation
# under Wine) and checks its exit status and output.
function(expect status pattern)
  execute_process(COMMAND ${EMULATOR} "${COMMAND}" ${ARGN} WORKING_DIRECTORY "${WORK}"
                  RESULT_VARIABLE result OUTPUT_VARIABLE output ERROR_VARIABLE error)
  if(NOT result STREQUAL "${status}" OR NOT "${output}${error}" MATCHES "${pattern}")
    message(FATAL_ERROR "hash_suffix ${ARGN}: status ${result}, expected ${status}; output:\n${output}${error}")
  endif()
endfunction()

file(SIZE "${WORK}/archive.bin" before)
expect(0 "appended [1-9][0-9]* bytes; fingerprint DEDE0353B57306CE" archive.bin dede0353b57306ce)
file(SIZE "${WORK}/archive.bin" after)
math(EXPR limit "${before} + 128")
if(NOT after GREATER before OR after GREATER limit)
  message(FATAL_ERROR "the file grew from ${before} to ${after} bytes")
endif()
expect(0 "appended 0 bytes; fingerprint DEDE0353B57306CE" archive.bin DEDE0353B57306CE)

expect(1 "cannot follow" archive.bin DEDE0353B57306CF)
expect(1 "cannot open" missing.bin DEDE0353B57306CE)
expect(2 "usage" archive.bin)
expect(2 "usage" archive.bin DEDE0353B57306C)
file(SIZE "${WORK}/archive.bin" last)
if(NOT last EQUAL after)
  message(FATAL_ERROR "a refused run changed the file")
endif()
file(REMOVE_RECURSE "${WORK}")
