# Fails unless the library exports exactly its three entry points under
# their plain names. Run with -DLIBRARY=<path> and either -DNM=<nm> (ELF:
# defined dynamic symbols) or -DOBJDUMP=<objdump> (PE: the export table).
if(DEFINED OBJDUMP)
  execute_process(COMMAND ${OBJDUMP} -p ${LIBRARY} OUTPUT_VARIABLE listing RESULT_VARIABLE status)
  # The name pointer table: rows "\t[   0] name" after its heading, up to
  # the first blank line.
  string(REGEX MATCH "\\[Ordinal/Name Pointer\\] Table\n([^\n]+\n)*" table "${listing}")
  string(REGEX MATCHALL "\\[ *[0-9]+\\] [^\n]+" rows "${table}")
else()
  execute_process(COMMAND ${NM} -D --defined-only ${LIBRARY} OUTPUT_VARIABLE listing RESULT_VARIABLE status)
  string(REGEX MATCHALL "[^\n]+" rows "${listing}")
endif()
# The symbol name is the last word of each row.
set(names "")
foreach(row IN LISTS rows)
  string(REGEX REPLACE "^.* " "" name "${row}")
  list(APPEND names "${name}")
endforeach()
if(NOT status EQUAL 0)
  message(FATAL_ERROR "could not list the exports of ${LIBRARY}")
endif()
list(SORT names)
set(expected miSetModuleHandle tulo_cellulartexture tulo_cellulartexture_version)
if(NOT names STREQUAL expected)
  message(FATAL_ERROR "exported symbols are [${names}], expected [${expected}]")
endif()
message(STATUS "exports: ${names}")
