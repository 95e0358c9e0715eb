# Fails when LIBRARY's dynamic symbol table defines SYMBOL.
# Usage: cmake -DNM=nm -DLIBRARY=lib.so -DSYMBOL=name -P symbol_absent.cmake
execute_process(COMMAND ${NM} -D --defined-only ${LIBRARY}
  OUTPUT_VARIABLE symbols RESULT_VARIABLE status)
if(NOT status EQUAL 0)
  message(FATAL_ERROR "${NM} failed on ${LIBRARY}")
endif()
string(REGEX MATCH "[ \t]${SYMBOL}\n" found "${symbols}")
if(found)
  message(FATAL_ERROR "${LIBRARY} defines ${SYMBOL}")
endif()
message(STATUS "${LIBRARY} does not define ${SYMBOL}")
