# Checks that a library exports exactly the given dynamic symbols.
#   cmake -DNM=<nm> -DLIBRARY=<path> -DEXPECTED=<a;b;c> -P symbols.cmake
cmake_policy(VERSION 3.25)
include(${CMAKE_CURRENT_LIST_DIR}/../../cmake/SymbolTables.cmake)
symbol_table(${NM} ${LIBRARY} DEFINED exported)
set(want ${EXPECTED})
expect_same_names("${LIBRARY} exports" exported want)
message(STATUS "exports exactly: ${exported}")
