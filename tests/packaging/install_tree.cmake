# Installs the build into a fresh prefix and checks the Maya module it makes.
#   cmake -DBUILD=<build dir> -DPREFIX=<dir> -DPLUGIN=<file name>
#         -DSHADER=<file name> -DPLATFORM=<linux|win64|mac> -P install_tree.cmake
file(REMOVE_RECURSE "${PREFIX}")
execute_process(COMMAND ${CMAKE_COMMAND} --install "${BUILD}" --prefix "${PREFIX}"
  RESULT_VARIABLE rc OUTPUT_VARIABLE out ERROR_VARIABLE out)
if(NOT rc EQUAL 0)
  message(FATAL_ERROR "install failed:\n${out}")
endif()

set(expected
  "README"
  "glintWeave.mod"
  "mentalray/include/kl4v_glintWeave.mi"
  "mentalray/lib/${SHADER}"
  "plug-ins/${PLUGIN}"
  "scripts/AEglintWeaveTemplate.mel")
file(GLOB_RECURSE installed RELATIVE "${PREFIX}" "${PREFIX}/*")
list(SORT installed)
list(SORT expected)
if(NOT installed STREQUAL expected)
  message(FATAL_ERROR "the module holds\n  ${installed}\nexpected\n  ${expected}")
endif()

# The module file: one entry for this platform, relative to the .mod, and
# the two mental ray search paths.
file(STRINGS "${PREFIX}/glintWeave.mod" lines REGEX "^[^#]")
set(want
  "+ PLATFORM:${PLATFORM} glintWeave ${VERSION} ."
  "MI_CUSTOM_SHADER_PATH+:=mentalray/include"
  "MI_LIBRARY_PATH+:=mentalray/lib")
if(NOT lines STREQUAL want)
  message(FATAL_ERROR "glintWeave.mod lines:\n  ${lines}\nexpected\n  ${want}")
endif()

file(READ "${PREFIX}/README" readme)
foreach(needle "MAYA_MODULE_PATH" "loadPlugin" "plug-ins/${PLUGIN}" "mentalray/lib/${SHADER}")
  string(FIND "${readme}" "${needle}" at)
  if(at EQUAL -1)
    message(FATAL_ERROR "the module README does not mention ${needle}")
  endif()
endforeach()
message(STATUS "module installed in ${PREFIX}")
