# Runs the generator into a scratch file and compares it with the committed one.
execute_process(COMMAND "${GENERATOR}" --out "${OUTPUT}" RESULT_VARIABLE _result)
if(NOT _result EQUAL 0)
  message(FATAL_ERROR "tarn-demogen failed (${_result})")
endif()
execute_process(COMMAND "${CMAKE_COMMAND}" -E compare_files "${OUTPUT}" "${EXPECTED}" RESULT_VARIABLE _differs)
if(_differs)
  message(FATAL_ERROR "${EXPECTED} is out of date: run tarn-demogen --out ${EXPECTED}")
endif()
