# Makes docs/protocol.md's tables from the code into GENERATED and fails when
# the committed file COMMITTED differs; BUILD names the build folder for the
# command that mends it. cmake -DPROGRAM=... -DCOMMITTED=... -DGENERATED=... -DBUILD=... -P
execute_process(COMMAND ${PROGRAM} ${COMMITTED} ${GENERATED} RESULT_VARIABLE made ERROR_VARIABLE why)
if(NOT made EQUAL 0)
  message(FATAL_ERROR "cannot make the protocol tables: ${why}")
endif()
execute_process(COMMAND ${CMAKE_COMMAND} -E compare_files ${COMMITTED} ${GENERATED} RESULT_VARIABLE differs)
if(NOT differs EQUAL 0)
  execute_process(COMMAND diff -u ${COMMITTED} ${GENERATED} OUTPUT_VARIABLE changes)
  message(FATAL_ERROR "${COMMITTED} differs from the tables the code defines:\n${changes}\n"
    "Write them into it with `cmake --build ${BUILD} --target protocol_doc` and commit the file.")
endif()
