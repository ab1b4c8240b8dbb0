# Fails unless the shipped plugin loads on the oldest systems we deploy to.
# Run with -DOBJDUMP=<objdump> -DLIBRARY=<path> and -DFORMAT=elf or pe.
#
# ELF (Linux): every symbol version the plugin asks for must exist in
# glibc 2.28 and in the C++ runtime of GCC 8, the way a manylinux_2_28 audit
# reads them. powf must stay the GLIBC_2.27 one: the older powf@GLIBC_2.2.5
# rounds differently, so binding to it would change the pattern. The loader
# functions are bound to their GLIBC_2.2.5 versions, which glibc before 2.34
# defines in libdl.so.2, so that file must be needed.
#
# PE (Windows): the DLL may import only from KERNEL32 and the C runtime that
# every Windows has (msvcrt).
cmake_policy(VERSION 3.20)
set(glibc_floor 2.28)
set(glibcxx_floor 3.4.25)   # libstdc++ of GCC 8
set(cxxabi_floor 1.3.11)    # libstdc++ of GCC 8
set(libgcc_floor 7.0.0)     # libgcc_s of GCC 8

execute_process(COMMAND ${OBJDUMP} -p ${LIBRARY} OUTPUT_VARIABLE headers RESULT_VARIABLE status)
if(NOT status EQUAL 0)
  message(FATAL_ERROR "could not read the headers of ${LIBRARY}")
endif()

if(FORMAT STREQUAL "pe")
  string(REGEX MATCHALL "DLL Name: [^\n]+" rows "${headers}")
  set(imports "")
  foreach(row IN LISTS rows)
    string(REGEX REPLACE "^DLL Name: " "" dll "${row}")
    string(TOLOWER "${dll}" dll)
    list(APPEND imports "${dll}")
  endforeach()
  message(STATUS "imports: ${imports}")
  if(NOT "kernel32.dll" IN_LIST imports)
    message(FATAL_ERROR "no import table found in ${LIBRARY}")
  endif()
  foreach(dll IN LISTS imports)
    if(NOT dll MATCHES "^(kernel32|msvcrt)\\.dll$")
      message(FATAL_ERROR "${LIBRARY} imports from ${dll}: only KERNEL32 and msvcrt are on every Windows")
    endif()
  endforeach()
  return()
endif()

execute_process(COMMAND ${OBJDUMP} -T ${LIBRARY} OUTPUT_VARIABLE symbols RESULT_VARIABLE status)
if(NOT status EQUAL 0)
  message(FATAL_ERROR "could not list the dynamic symbols of ${LIBRARY}")
endif()

# Undefined symbols with their versions: "... *UND* ... (VERSION) name".
string(REGEX MATCHALL "\\*UND\\*[^\n]*\\(([A-Za-z_]+)_([0-9.]+)\\)[ \t]+[^\n]+" rows "${symbols}")
set(problems "")
set(powf_version "")
set(uses_loader FALSE)
foreach(row IN LISTS rows)
  string(REGEX MATCH "\\(([A-Za-z_]+)_([0-9.]+)\\)[ \t]+([^ \t]+)$" _ "${row}")
  set(family "${CMAKE_MATCH_1}")
  set(version "${CMAKE_MATCH_2}")
  set(name "${CMAKE_MATCH_3}")
  if(family STREQUAL "GLIBC")
    set(floor ${glibc_floor})
  elseif(family STREQUAL "GLIBCXX")
    set(floor ${glibcxx_floor})
  elseif(family STREQUAL "CXXABI")
    set(floor ${cxxabi_floor})
  elseif(family STREQUAL "GCC")
    set(floor ${libgcc_floor})
  else()
    list(APPEND problems "${name} needs ${family}_${version}, a library outside the C and C++ runtimes")
    continue()
  endif()
  if(version VERSION_GREATER floor)
    list(APPEND problems "${name} needs ${family}_${version} (floor ${family}_${floor})")
  endif()
  if(name STREQUAL "powf")
    set(powf_version "${family}_${version}")
  endif()
  if(name MATCHES "^dl(open|sym|error)$")
    set(uses_loader TRUE)
    if(NOT version STREQUAL "2.2.5")
      list(APPEND problems "${name} is bound to ${family}_${version}, not to GLIBC_2.2.5")
    endif()
  endif()
endforeach()

list(LENGTH rows versioned)
if(versioned EQUAL 0)
  message(FATAL_ERROR "no versioned symbols found in ${LIBRARY}: cannot audit it")
endif()
if(NOT powf_version STREQUAL "GLIBC_2.27")
  list(APPEND problems "powf is bound to '${powf_version}', not to GLIBC_2.27 (other bits)")
endif()
if(uses_loader AND NOT headers MATCHES "NEEDED[ \t]+libdl\\.so\\.2")
  list(APPEND problems "libdl.so.2 is not needed: glibc before 2.34 defines the loader functions there")
endif()

if(problems)
  string(REPLACE ";" "\n  " listed "${problems}")
  message(FATAL_ERROR "${LIBRARY} would not load on the deployment floor:\n  ${listed}")
endif()
message(STATUS "${versioned} versioned references, all within glibc ${glibc_floor} and GCC 8's C++ runtime")
