# Installs the build into a fresh prefix, checks what landed, runs the
# installed preview tool (which must find the installed plugin by itself) and
# builds and runs a consumer of the installed cellular package.
# Also configures the project afresh, which must print no warning.
# -DSOURCE_DIR -DBUILD_DIR -DCONSUMER_DIR -DWORK_DIR -DCXX -DCXX_FLAGS -DGENERATOR -DLIBDIR -DVERSION -DREADME, and
# -DPYTHON -DPYTHON_DIR when the Python module is built: the installed package
# must import from PYTHON_DIR under the prefix.
# (the consumer is built with the same compiler and flags, sanitizers included)
function(run)
  execute_process(COMMAND ${ARGN} RESULT_VARIABLE status OUTPUT_VARIABLE out ERROR_VARIABLE out)
  if(NOT status EQUAL 0)
    message(FATAL_ERROR "failed (${status}): ${ARGN}\n${out}")
  endif()
  set(run_output "${out}" PARENT_SCOPE)
endfunction()

# A configure that says something is wrong reads as a failure even when it
# is not: no CMake warning, and no imported file reported missing (the
# block Debian's Imath package prints when its Python part is absent).
function(expect_quiet_configure what)
  if(run_output MATCHES "CMake (Deprecation )?Warning|does not exist")
    message(FATAL_ERROR "configuring ${what} printed a warning:\n${run_output}")
  endif()
endfunction()

set(prefix ${WORK_DIR}/prefix)
file(REMOVE_RECURSE ${WORK_DIR})

run(${CMAKE_COMMAND} -S ${SOURCE_DIR} -B ${WORK_DIR}/fresh -G ${GENERATOR} -DCMAKE_CXX_COMPILER=${CXX}
    "-DCMAKE_CXX_FLAGS=${CXX_FLAGS}")
expect_quiet_configure("the project")
run(${CMAKE_COMMAND} --install ${BUILD_DIR} --prefix ${prefix})

# Everything under names of its own: nothing generic in a shared prefix.
foreach(file ${LIBDIR}/tulo_cellulartexture.so bin/cellular-preview ${LIBDIR}/libtulo_cellular.a
        include/tulo/cellular/cellular_basis.h include/tulo/cellular/cellular_batch.h include/tulo/cellular/dist_type.h
        include/tulo/cellular/vector3.h include/tulo/tulo_cellulartexture.h include/tulo/export.h
        ${LIBDIR}/cmake/TuloCellular/TuloCellularConfig.cmake ${LIBDIR}/pkgconfig/tulo-cellular.pc)
  if(NOT EXISTS ${prefix}/${file})
    message(FATAL_ERROR "not installed: ${file}")
  endif()
endforeach()
foreach(file include/cellular ${LIBDIR}/libcellular.a include/shader)
  if(EXISTS ${prefix}/${file})
    message(FATAL_ERROR "installed under a generic name: ${file}")
  endif()
endforeach()

# One version: the package's, the tool's and pkg-config's.
run(${prefix}/bin/cellular-preview --version)
execute_process(COMMAND ${prefix}/bin/cellular-preview --version OUTPUT_VARIABLE tool_version)
if(NOT tool_version MATCHES "cellular-preview ${VERSION}\n")
  message(FATAL_ERROR "the preview says\n${tool_version}\nthe package is ${VERSION}")
endif()
file(READ ${prefix}/${LIBDIR}/cmake/TuloCellular/TuloCellularConfigVersion.cmake config_version)
if(NOT config_version MATCHES "PACKAGE_VERSION \"${VERSION}\"")
  message(FATAL_ERROR "the CMake package version file does not say ${VERSION}")
endif()

run(${prefix}/bin/cellular-preview --size 8x8 --quiet -o ${WORK_DIR}/loads.png)

if(PYTHON)
  set(package ${prefix}/${PYTHON_DIR})
  if(IS_ABSOLUTE ${PYTHON_DIR})
    set(package ${PYTHON_DIR})
  endif()
  foreach(file __init__.py __init__.pyi py.typed bake.py _bake.py _export.py)
    if(NOT EXISTS ${package}/tulo_cellular/${file})
      message(FATAL_ERROR "not installed: ${package}/tulo_cellular/${file}")
    endif()
  endforeach()
  run(${CMAKE_COMMAND} -E env PYTHONPATH=${package} ${PYTHON} -c
      "import tulo_cellular as tc; assert tc.__file__.startswith('${package}'); assert tc.basis([[0, 0, 0]]).shape == (1, 2)")
  # The installed bake command finds the installed package from its own
  # folder, and says the package's version.
  execute_process(COMMAND ${prefix}/bin/cellular-bake --version OUTPUT_VARIABLE bake_version)
  if(NOT bake_version STREQUAL "cellular-bake ${VERSION}\n")
    message(FATAL_ERROR "cellular-bake --version says\n${bake_version}\nthe package is ${VERSION}")
  endif()
  run(${prefix}/bin/cellular-bake ${WORK_DIR}/installed.zarr --shape 2,3 --quiet)
endif()

run(${CMAKE_COMMAND} -S ${CONSUMER_DIR} -B ${WORK_DIR}/consumer -G ${GENERATOR}
    -DCMAKE_CXX_COMPILER=${CXX} "-DCMAKE_CXX_FLAGS=${CXX_FLAGS}" -DCMAKE_PREFIX_PATH=${prefix}
    -DCMAKE_BUILD_TYPE=Release)
expect_quiet_configure("a consumer")
run(${CMAKE_COMMAND} --build ${WORK_DIR}/consumer)
run(${WORK_DIR}/consumer/consumer)

# The same program built with pkg-config alone, and a program that includes
# the plugin's header.
set(ENV{PKG_CONFIG_PATH} ${prefix}/${LIBDIR}/pkgconfig)
execute_process(COMMAND pkg-config --modversion tulo-cellular OUTPUT_VARIABLE pc_version OUTPUT_STRIP_TRAILING_WHITESPACE)
if(NOT pc_version STREQUAL VERSION)
  message(FATAL_ERROR "pkg-config says '${pc_version}', the package is ${VERSION}")
endif()
execute_process(COMMAND pkg-config --cflags --libs tulo-cellular OUTPUT_VARIABLE pc_flags OUTPUT_STRIP_TRAILING_WHITESPACE)
separate_arguments(pc_flags UNIX_COMMAND "${pc_flags}")
separate_arguments(cxx_flags UNIX_COMMAND "${CXX_FLAGS}")
run(${CXX} -std=c++17 ${cxx_flags} ${CONSUMER_DIR}/main.cpp ${pc_flags} -o ${WORK_DIR}/pc_consumer)
run(${WORK_DIR}/pc_consumer)
# The same program with nothing but the installed root on the include path,
# naming the headers from there: they must find each other by themselves.
file(READ ${CONSUMER_DIR}/main.cpp consumer_source)
string(REPLACE "#include \"cellular/" "#include \"tulo/cellular/" consumer_source "${consumer_source}")
file(WRITE ${WORK_DIR}/root_consumer.cpp "${consumer_source}")
run(${CXX} -std=c++17 ${cxx_flags} -ffp-contract=off -I${prefix}/include ${WORK_DIR}/root_consumer.cpp
    ${prefix}/${LIBDIR}/libtulo_cellular.a -pthread -o ${WORK_DIR}/root_consumer)
run(${WORK_DIR}/root_consumer)
# The README's own example program, as printed there.
file(READ ${README} readme)
string(REGEX MATCH "```cpp\n(.*int main\\(\\) {[^`]*)```" example "${readme}")
if(NOT CMAKE_MATCH_1)
  message(FATAL_ERROR "no ```cpp example program found in ${README}")
endif()
file(WRITE ${WORK_DIR}/readme_example.cpp "${CMAKE_MATCH_1}")
run(${CXX} -std=c++17 ${cxx_flags} ${WORK_DIR}/readme_example.cpp ${pc_flags} -o ${WORK_DIR}/readme_example)
run(${WORK_DIR}/readme_example)
file(WRITE ${WORK_DIR}/plugin_header.cpp "#include \"tulo/tulo_cellulartexture.h\"\nint main() { tulo::CellularTextureParams p{}; return p.octaves; }\n")
run(${CXX} -std=c++17 -fsyntax-only -I${prefix}/include ${WORK_DIR}/plugin_header.cpp)
file(REMOVE_RECURSE ${WORK_DIR})
message(STATUS "installed, found and used")
