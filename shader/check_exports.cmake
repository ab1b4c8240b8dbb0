# Fails unless the library's defined dynamic symbols are exactly its three
# entry points. Run with -DNM=<nm> -DLIBRARY=<path>.
execute_process(COMMAND ${NM} -D --defined-only ${LIBRARY}
  OUTPUT_VARIABLE listing RESULT_VARIABLE status)
if(NOT status EQUAL 0)
  message(FATAL_ERROR "nm failed on ${LIBRARY}")
endif()
string(REGEX MATCHALL "[^\n]+" lines "${listing}")
set(names "")
foreach(line IN LISTS lines)
  string(REGEX REPLACE "^.* " "" name "${line}")
  list(APPEND names "${name}")
endforeach()
list(SORT names)
set(expected miSetModuleHandle tulo_cellulartexture tulo_cellulartexture_version)
if(NOT names STREQUAL expected)
  message(FATAL_ERROR "exported symbols are [${names}], expected [${expected}]")
endif()
message(STATUS "exports: ${names}")
