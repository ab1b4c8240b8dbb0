# Installs the build into a fresh prefix, checks what landed, runs the
# installed preview tool (which must find the installed plugin by itself) and
# builds and runs a consumer of the installed cellular package.
# -DBUILD_DIR -DCONSUMER_DIR -DWORK_DIR -DCXX -DCXX_FLAGS -DGENERATOR -DLIBDIR, and
# -DPYTHON -DPYTHON_DIR when the Python module is built: the installed package
# must import from PYTHON_DIR under the prefix.
# (the consumer is built with the same compiler and flags, sanitizers included)
function(run)
  execute_process(COMMAND ${ARGN} RESULT_VARIABLE status OUTPUT_VARIABLE out ERROR_VARIABLE out)
  if(NOT status EQUAL 0)
    message(FATAL_ERROR "failed (${status}): ${ARGN}\n${out}")
  endif()
endfunction()

set(prefix ${WORK_DIR}/prefix)
file(REMOVE_RECURSE ${WORK_DIR})
run(${CMAKE_COMMAND} --install ${BUILD_DIR} --prefix ${prefix})

foreach(file ${LIBDIR}/tulo_cellulartexture.so bin/cellular-preview ${LIBDIR}/libcellular.a
        include/cellular/cellular_basis.h include/cellular/cellular_batch.h include/cellular/dist_type.h
        include/cellular/vector3.h
        ${LIBDIR}/cmake/TuloCellular/TuloCellularConfig.cmake)
  if(NOT EXISTS ${prefix}/${file})
    message(FATAL_ERROR "not installed: ${file}")
  endif()
endforeach()

run(${prefix}/bin/cellular-preview --size 8x8 --quiet -o ${WORK_DIR}/loads.png)

if(PYTHON)
  set(package ${prefix}/${PYTHON_DIR})
  if(IS_ABSOLUTE ${PYTHON_DIR})
    set(package ${PYTHON_DIR})
  endif()
  foreach(file __init__.py __init__.pyi py.typed)
    if(NOT EXISTS ${package}/tulo_cellular/${file})
      message(FATAL_ERROR "not installed: ${package}/tulo_cellular/${file}")
    endif()
  endforeach()
  run(${CMAKE_COMMAND} -E env PYTHONPATH=${package} ${PYTHON} -c
      "import tulo_cellular as tc; assert tc.__file__.startswith('${package}'); assert tc.basis([[0, 0, 0]]).shape == (1, 2)")
endif()

run(${CMAKE_COMMAND} -S ${CONSUMER_DIR} -B ${WORK_DIR}/consumer -G ${GENERATOR}
    -DCMAKE_CXX_COMPILER=${CXX} "-DCMAKE_CXX_FLAGS=${CXX_FLAGS}" -DCMAKE_PREFIX_PATH=${prefix}
    -DCMAKE_BUILD_TYPE=Release)
run(${CMAKE_COMMAND} --build ${WORK_DIR}/consumer)
run(${WORK_DIR}/consumer/consumer)
file(REMOVE_RECURSE ${WORK_DIR})
message(STATUS "installed, found and used")
