# Checks the import and export tables of a Windows PE file (.exe, .dll, .mll)
# as objdump prints them. Script mode:
#   cmake -DOBJDUMP=<objdump> -DFILE=<pe file> -DALLOWED_IMPORTS=<dll;...>
#         [-DEXPORTS=<name;...>] -P CheckPeTables.cmake
# Every DLL the file imports from must be in ALLOWED_IMPORTS (case-insensitive,
# as Windows compares module names). With EXPORTS, the file must export exactly
# those names, no more and no fewer.
cmake_policy(VERSION 3.25)
include(${CMAKE_CURRENT_LIST_DIR}/SymbolTables.cmake)

foreach(var OBJDUMP FILE ALLOWED_IMPORTS)
  if(NOT DEFINED ${var})
    message(FATAL_ERROR "CheckPeTables: ${var} not given")
  endif()
endforeach()

execute_process(COMMAND ${OBJDUMP} -p ${FILE} OUTPUT_VARIABLE dump RESULT_VARIABLE rc)
if(NOT rc EQUAL 0)
  message(FATAL_ERROR "${OBJDUMP} -p ${FILE} failed (${rc})")
endif()
string(REPLACE "\n" ";" lines "${dump}")

set(imports)
set(exports)
set(in_names FALSE)
foreach(line IN LISTS lines)
  if(line MATCHES "^[ \t]*DLL Name: (.+)$")
    list(APPEND imports "${CMAKE_MATCH_1}")
  elseif(line MATCHES "^\\[Ordinal/Name Pointer\\] Table")
    set(in_names TRUE)
  elseif(in_names)
    if(line MATCHES "^[ \t]+\\[ *[0-9]+\\] (.+)$")
      list(APPEND exports "${CMAKE_MATCH_1}")
    else()
      set(in_names FALSE)
    endif()
  endif()
endforeach()

# A dump in which no import is found is not a clean file but a dump this
# script failed to read.
if(NOT imports)
  message(FATAL_ERROR "${FILE}: no import table found in objdump's output")
endif()
string(TOLOWER "${ALLOWED_IMPORTS}" allowed)
set(unexpected)
foreach(dll IN LISTS imports)
  string(TOLOWER "${dll}" lower)
  if(NOT lower IN_LIST allowed)
    list(APPEND unexpected "${dll}")
  endif()
endforeach()
if(unexpected)
  message(FATAL_ERROR "${FILE} needs DLLs outside the allowed set: ${unexpected} "
                      "(allowed: ${ALLOWED_IMPORTS})")
endif()

if(DEFINED EXPORTS)
  set(expected ${EXPORTS})
  expect_same_names("${FILE} exports" exports expected)
endif()
message(STATUS "${FILE}: imports [${imports}], exports [${exports}]")
