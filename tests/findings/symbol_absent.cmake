# Fails when LIBRARY's dynamic symbol table defines SYMBOL.
# Usage: cmake -DNM=nm -DLIBRARY=lib.so -DSYMBOL=name -P symbol_absent.cmake
cmake_policy(VERSION 3.25)
include(${CMAKE_CURRENT_LIST_DIR}/../../cmake/SymbolTables.cmake)
symbol_table(${NM} ${LIBRARY} DEFINED defined)
if(SYMBOL IN_LIST defined)
  message(FATAL_ERROR "${LIBRARY} defines ${SYMBOL}")
endif()
message(STATUS "${LIBRARY} does not define ${SYMBOL}")
