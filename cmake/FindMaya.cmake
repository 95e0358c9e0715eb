# Finds a Maya devkit and makes the imported target Maya::Maya.
#
# Looks in MAYA_LOCATION or DEVKIT_LOCATION (CMake variables first, then the
# environment variables of those names) for include/maya/MFn.h (or
# devkit/include/...) and the OpenMaya library in lib/ (or
# Maya.app/Contents/MacOS). Foundation and OpenMayaRender are linked when
# present.
#
# Sets Maya_FOUND, MAYA_INCLUDE_DIR, MAYA_LIBRARIES; see MayaPlugin.cmake for
# maya_plugin(target).
include(${CMAKE_CURRENT_LIST_DIR}/MayaPlugin.cmake)
set(_maya_hints)
foreach(_var MAYA_LOCATION DEVKIT_LOCATION)
  if(${_var})
    list(APPEND _maya_hints "${${_var}}")
  elseif(DEFINED ENV{${_var}})
    list(APPEND _maya_hints "$ENV{${_var}}")
  endif()
endforeach()

find_path(MAYA_INCLUDE_DIR maya/MFn.h
  HINTS ${_maya_hints} PATH_SUFFIXES include devkit/include NO_DEFAULT_PATH)
find_library(MAYA_OpenMaya_LIBRARY OpenMaya
  HINTS ${_maya_hints} PATH_SUFFIXES lib Maya.app/Contents/MacOS NO_DEFAULT_PATH)
foreach(_lib Foundation OpenMayaRender)
  find_library(MAYA_${_lib}_LIBRARY ${_lib}
    HINTS ${_maya_hints} PATH_SUFFIXES lib Maya.app/Contents/MacOS NO_DEFAULT_PATH)
endforeach()

include(FindPackageHandleStandardArgs)
find_package_handle_standard_args(Maya REQUIRED_VARS MAYA_INCLUDE_DIR MAYA_OpenMaya_LIBRARY)

if(Maya_FOUND AND NOT TARGET Maya::Maya)
  set(MAYA_LIBRARIES ${MAYA_OpenMaya_LIBRARY})
  foreach(_lib Foundation OpenMayaRender)
    if(MAYA_${_lib}_LIBRARY)
      list(APPEND MAYA_LIBRARIES ${MAYA_${_lib}_LIBRARY})
    endif()
  endforeach()
  # An imported target's include folders are system folders for whoever
  # links it: the devkit's headers may warn as they like under our warning
  # flags and -Werror, while our own sources stay fully checked.
  #
  # `linux` as well as LINUX: older devkits (2008) choose their 64-bit integer
  # types under `#if defined(linux)` and stop with an #error otherwise, and
  # the compiler predefines `linux` only in its GNU dialects, not under the
  # -std=c++17 that CMAKE_CXX_EXTENSIONS OFF gives.
  add_library(Maya::Maya INTERFACE IMPORTED)
  set_target_properties(Maya::Maya PROPERTIES
    INTERFACE_INCLUDE_DIRECTORIES "${MAYA_INCLUDE_DIR}"
    INTERFACE_LINK_LIBRARIES "${MAYA_LIBRARIES}"
    INTERFACE_COMPILE_DEFINITIONS
      "REQUIRE_IOSTREAM;_BOOL;$<$<PLATFORM_ID:Linux>:LINUX>;$<$<PLATFORM_ID:Linux>:linux>;$<$<PLATFORM_ID:Darwin>:OSMac_>;$<$<PLATFORM_ID:Windows>:NT_PLUGIN>")
endif()


mark_as_advanced(MAYA_INCLUDE_DIR MAYA_OpenMaya_LIBRARY MAYA_Foundation_LIBRARY
  MAYA_OpenMayaRender_LIBRARY)
