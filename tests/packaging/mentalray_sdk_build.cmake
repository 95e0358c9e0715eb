# Assembles a renderer include folder (shader.h alone, as mental ray ships it)
# from the stand-in, builds the shader library against it through
# MENTALRAY_INCLUDE_DIR, and checks that the build used that folder.
#   cmake -DROOT=<source> -DWORK=<dir> -DGENERATOR=<name> -DCXX=<compiler>
#         -DCC=<compiler> -P mentalray_sdk_build.cmake
set(sdk "${WORK}/mentalray/include")
file(REMOVE_RECURSE "${WORK}")
file(COPY "${ROOT}/hosts/mentalray/include/shader.h" DESTINATION "${sdk}")

execute_process(
  COMMAND ${CMAKE_COMMAND} -S "${ROOT}/tests/packaging/mentalray_sdk" -B "${WORK}/build"
    -G "${GENERATOR}" -DCMAKE_CXX_COMPILER=${CXX} -DCMAKE_C_COMPILER=${CC}
    -DCMAKE_BUILD_TYPE=Release -DGLINTWEAVE_ROOT=${ROOT} -DMENTALRAY_INCLUDE_DIR=${sdk}
  RESULT_VARIABLE rc OUTPUT_VARIABLE out ERROR_VARIABLE out)
if(NOT rc EQUAL 0)
  message(FATAL_ERROR "configure against ${sdk} failed:\n${out}")
endif()
execute_process(COMMAND ${CMAKE_COMMAND} --build "${WORK}/build" --target kl4v_glintWeave -j 2
  RESULT_VARIABLE rc OUTPUT_VARIABLE out ERROR_VARIABLE out)
if(NOT rc EQUAL 0)
  message(FATAL_ERROR "build against ${sdk} failed:\n${out}")
endif()
file(GLOB library "${WORK}/build/mentalray/kl4v_glintWeave.*")
if(NOT library)
  message(FATAL_ERROR "no shader library built in ${WORK}/build/mentalray")
endif()
file(READ "${WORK}/build/compile_commands.json" commands)
string(FIND "${commands}" "-I${sdk}" at)
if(at EQUAL -1)
  message(FATAL_ERROR "the shader library was not compiled against ${sdk}")
endif()
if(commands MATCHES "hosts/mentalray/include")
  message(FATAL_ERROR "the stand-in's shader.h leaked into the build against ${sdk}")
endif()

# A folder without shader.h is refused at configure time with a clear message.
file(MAKE_DIRECTORY "${WORK}/empty")
execute_process(
  COMMAND ${CMAKE_COMMAND} -S "${ROOT}/tests/packaging/mentalray_sdk" -B "${WORK}/build-empty"
    -G "${GENERATOR}" -DCMAKE_CXX_COMPILER=${CXX} -DCMAKE_C_COMPILER=${CC}
    -DGLINTWEAVE_ROOT=${ROOT} -DMENTALRAY_INCLUDE_DIR=${WORK}/empty
  RESULT_VARIABLE rc OUTPUT_VARIABLE out ERROR_VARIABLE out)
if(rc EQUAL 0 OR NOT out MATCHES "holds no shader.h")
  message(FATAL_ERROR "an include folder without shader.h was not refused:\n${out}")
endif()
message(STATUS "built ${library} against ${sdk}")
