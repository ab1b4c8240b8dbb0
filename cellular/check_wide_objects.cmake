# The ELF objects compiled for wide instruction sets (cellular/kernels/avx2
# and avx512) must not define a function the linker could merge with a
# baseline copy of the same name: no weak or unique symbol ('W', 'V', 'u'),
# which is how compilers emit inline functions they did not inline
# (docs/search.md, invariant 16). The shared constant tables and the
# unwinder's pointer to the personality routine (DW.ref.*, with exceptions
# on) and type information (_ZTI*, _ZTS*: what UndefinedBehaviorSanitizer's
# checks of virtual calls read) are data, not instructions, and the only
# such symbols allowed.
# -DNM -DOBJECTS (a ;-list; the wide kernels' objects among them are checked)
set(checked 0)
foreach(object ${OBJECTS})
  if(NOT object MATCHES "kernels/avx(2|512)/")
    continue()
  endif()
  math(EXPR checked "${checked} + 1")
  execute_process(COMMAND ${NM} --defined-only ${object} OUTPUT_VARIABLE symbols RESULT_VARIABLE status)
  if(NOT status EQUAL 0)
    message(FATAL_ERROR "${NM} failed on ${object}")
  endif()
  # nm marks weak and unique symbols alike for code and data; the constant
  # tables the kernels share are the only ones allowed.
  string(REPLACE "\n" ";" lines "${symbols}")
  foreach(line ${lines})
    if(line MATCHES "^[0-9a-fA-F]+ ([WVu]) (.+)$")
      set(kind ${CMAKE_MATCH_1})
      set(name ${CMAKE_MATCH_2})
      if(NOT name MATCHES "(cube_point_counts|kLaneTables|kBoundTerms|kNearFirstBoundTerms)" AND NOT name MATCHES "^(DW\\.ref\\.|_ZT[IS])")
        message(FATAL_ERROR "${object} defines '${name}' with vague linkage (${kind}): a baseline caller could be given this wide-instruction copy")
      endif()
    endif()
  endforeach()
endforeach()
if(checked EQUAL 0)
  message(FATAL_ERROR "no wide-instruction objects among ${OBJECTS}")
endif()
message(STATUS "${checked} wide-instruction objects define no function with vague linkage")
