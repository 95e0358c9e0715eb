# Reading and checking a built library's symbol tables, for the script-mode
# checks of what the deliverables and hosts export and import.
#   symbol_table(<nm> <library> DEFINED|UNDEFINED <out-var>)
#     the names of the library's dynamic symbols (ELF, as nm -D prints them)
#     that it defines or that it imports, without their version suffix.
#   expect_same_names(<what> <found-var> <expected-var>)
#     fails unless the two lists hold the same names, in any order.

function(symbol_table nm library which out)
  if(which STREQUAL "DEFINED")
    set(only --defined-only)
  elseif(which STREQUAL "UNDEFINED")
    set(only --undefined-only)
  else()
    message(FATAL_ERROR "symbol_table: DEFINED or UNDEFINED, not ${which}")
  endif()
  execute_process(COMMAND ${nm} -D ${only} ${library} OUTPUT_VARIABLE listing
    RESULT_VARIABLE rc)
  if(NOT rc EQUAL 0)
    message(FATAL_ERROR "${nm} failed on ${library}")
  endif()
  string(REGEX MATCHALL "[^\n]+" lines "${listing}")
  set(names)
  foreach(line IN LISTS lines)
    # "address type name" or "type name"; an import may carry "@VERSION".
    string(REGEX REPLACE "^.* " "" name "${line}")
    string(REGEX REPLACE "@.*$" "" name "${name}")
    list(APPEND names ${name})
  endforeach()
  set(${out} ${names} PARENT_SCOPE)
endfunction()

function(expect_same_names what found_var expected_var)
  set(found ${${found_var}})
  set(expected ${${expected_var}})
  list(SORT found)
  list(SORT expected)
  if(NOT found STREQUAL expected)
    message(FATAL_ERROR "${what}: [${found}], expected exactly [${expected}]")
  endif()
endfunction()
