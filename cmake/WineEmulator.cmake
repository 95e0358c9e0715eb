# Runs the Windows executables of a cross build under Wine: CTest, and anything
# else that honours CROSSCOMPILING_EMULATOR, starts them through the script
# written here. Wine runs headless (no display needed) in a throwaway prefix
# inside the build tree, so a run never touches ~/.wine and deleting the build
# tree removes every trace of it.
if(CMAKE_CROSSCOMPILING_EMULATOR OR NOT CMAKE_CROSSCOMPILING OR NOT WIN32)
  return()
endif()

# Debian's wine64 installs its loader outside PATH; the `wine` package adds a
# wrapper in PATH.
find_program(GLINTWEAVE_WINE NAMES wine64 wine PATHS /usr/lib/wine NO_CMAKE_FIND_ROOT_PATH
             DOC "Wine loader that runs the cross-built tests")
if(NOT GLINTWEAVE_WINE)
  message(STATUS "Wine not found: the Windows executables can be built but not run here")
  return()
endif()

set(GLINTWEAVE_WINEPREFIX "${CMAKE_BINARY_DIR}/wineprefix")
set(GLINTWEAVE_WINE_RUN "${CMAKE_BINARY_DIR}/wine-run")
configure_file(${CMAKE_CURRENT_LIST_DIR}/wine-run.in ${GLINTWEAVE_WINE_RUN}
               FILE_PERMISSIONS OWNER_READ OWNER_WRITE OWNER_EXECUTE GROUP_READ GROUP_EXECUTE
                                WORLD_READ WORLD_EXECUTE @ONLY)
set(CMAKE_CROSSCOMPILING_EMULATOR ${GLINTWEAVE_WINE_RUN})
message(STATUS "Windows executables run under ${GLINTWEAVE_WINE} (prefix ${GLINTWEAVE_WINEPREFIX})")

