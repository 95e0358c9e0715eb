# Assembles a devkit-shaped folder from the stand-in (include/maya/*.h and
# lib/libOpenMaya.so), builds the plug-in against it through MAYA_LOCATION,
# and checks that the build used that folder and nothing of the stand-in's.
#   cmake -DROOT=<source> -DWORK=<dir> -DOPENMAYA=<libOpenMaya.so>
#         -DGENERATOR=<name> -DCXX=<compiler> -P devkit_build.cmake
set(devkit "${WORK}/maya")
file(REMOVE_RECURSE "${WORK}")
file(COPY "${ROOT}/hosts/maya/include/maya" DESTINATION "${devkit}/include")
file(COPY "${OPENMAYA}" DESTINATION "${devkit}/lib")

execute_process(
  COMMAND ${CMAKE_COMMAND} -S "${ROOT}/tests/maya/devkit" -B "${WORK}/build" -G "${GENERATOR}"
    -DCMAKE_CXX_COMPILER=${CXX} -DCMAKE_BUILD_TYPE=Release
    -DGLINTWEAVE_ROOT=${ROOT} -DMAYA_LOCATION=${devkit}
  RESULT_VARIABLE rc OUTPUT_VARIABLE out ERROR_VARIABLE out)
if(NOT rc EQUAL 0)
  message(FATAL_ERROR "configure against the devkit failed:\n${out}")
endif()
execute_process(COMMAND ${CMAKE_COMMAND} --build "${WORK}/build" --target glintWeave -j 2
  RESULT_VARIABLE rc OUTPUT_VARIABLE out ERROR_VARIABLE out)
if(NOT rc EQUAL 0)
  message(FATAL_ERROR "build against the devkit failed:\n${out}")
endif()

set(plugin "${WORK}/build/plugSource/glintWeave.so")
if(NOT EXISTS "${plugin}")
  message(FATAL_ERROR "no ${plugin}")
endif()
file(READ "${WORK}/build/compile_commands.json" commands)
string(FIND "${commands}" "${devkit}/include" at)
if(at EQUAL -1)
  message(FATAL_ERROR "the plug-in was not compiled against ${devkit}/include")
endif()
if(commands MATCHES "hosts/maya/include")
  message(FATAL_ERROR "the stand-in's headers leaked into the devkit build")
endif()
file(GET_RUNTIME_DEPENDENCIES LIBRARIES "${plugin}" RESOLVED_DEPENDENCIES_VAR deps
  UNRESOLVED_DEPENDENCIES_VAR missing DIRECTORIES "${devkit}/lib"
  PRE_EXCLUDE_REGEXES "^lib(c|m|gcc_s|stdc\\+\\+|asan|tsan|ubsan)\\.so")
if(NOT deps MATCHES "${devkit}/lib/libOpenMaya.so")
  message(FATAL_ERROR "the plug-in does not link the devkit's OpenMaya: ${deps} ${missing}")
endif()
message(STATUS "built ${plugin} against ${devkit}")
