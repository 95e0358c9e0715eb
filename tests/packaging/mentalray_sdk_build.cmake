# Assembles a renderer include folder (shader.h, as mental ray ships it) from
# the stand-in, optionally with the quirks of real headers, builds the shader
# library against it with the README's command (the release preset with
# MENTALRAY_INCLUDE_DIR), and checks that the build searched that folder after
# the system folders. The library built here then goes through the shader
# library's tests (tests/packaging/CMakeLists.txt).
#   cmake -DROOT=<source> -DWORK=<dir> -DCC=<compiler> -DCXX=<compiler>
#         -DCXX_ID=<GNU|Clang> [-DVARIANT=3.6|3.8] -P mentalray_sdk_build.cmake
#
# VARIANT:
#   (none)  the stand-in as it is, a 3.5 header.
#   3.6     RAY35 and RAY36 defined; struct mi_lock declared beside the
#           function mi_lock, as in every version (C++'s -Wshadow reports it).
#   3.8     as 3.6, with RAY37 and RAY38; mi_trace_reflection and
#           mi_trace_environment take `const miVector *` under RAY38; the
#           record's byte 109 is has_connections and miPARAMTAG is defined;
#           the folder holds its own math.h and base.h beside shader.h, and
#           shader.h includes <math.h>.
include(${CMAKE_CURRENT_LIST_DIR}/../common/sdk_build.cmake)

set(sdk "${WORK}/mentalray/include")
set(header "${sdk}/shader.h")
file(REMOVE_RECURSE "${WORK}")
file(COPY "${ROOT}/hosts/mentalray/include/shader.h" DESTINATION "${sdk}")

if(VARIANT MATCHES "^3\\.[68]$")
  sdk_edit("${header}" "} miLock;\n" [=[} miLock;

struct mi_lock {
  int opaque;
};
void mi_lock(const miLock lock);
void mi_unlock(const miLock lock);
]=])
  if(CXX_ID STREQUAL "GNU")  # clang's -Wshadow does not report it
    sdk_expect_refusal("mi_lock beside struct mi_lock" "#include <shader.h>"
      "hides constructor" -I${sdk} -DBIT64 -Wshadow -Werror)
  endif()
endif()
if(VARIANT STREQUAL "3.6")
  sdk_edit("${header}" "#define MI_STATE_VERSION 2\n"
    "#define MI_STATE_VERSION 2\n#define RAY35\n#define RAY36\n")
elseif(VARIANT STREQUAL "3.8")
  sdk_edit("${header}" "#define MI_STATE_VERSION 2\n"
    "#define MI_STATE_VERSION 2\n#define RAY35\n#define RAY36\n#define RAY37\n#define RAY38\n")
  sdk_edit("${header}" "#include <stddef.h>\n"
    "#include <stddef.h>\n#include <math.h>\n\n#include \"base.h\"\n")
  file(WRITE "${sdk}/base.h" "/* The renderer's base definitions. */\n#define MI_BASE_H 1\n")
  file(WRITE "${sdk}/math.h" [=[
/* The renderer's own vector maths, named like the C library's <math.h>. */
#error "the renderer's math.h stood in for the C library's <math.h>"
]=])
  sdk_edit("${header}" "#define miNULLTAG 0\n"
    "#define miNULLTAG 0\n#define miPARAMTAG ((miTag)~1) /* parameter set directly */\n")
  sdk_edit("${header}" "  miCBoolean spare2[3];\n"
    "  miCBoolean has_connections; /* a parameter has a ghost tag of a shader */\n  miCBoolean spare2[2];\n")
  sdk_edit("${header}" [=[
miBoolean mi_trace_reflection(miColor* result, miState* state, miVector* direction);
miBoolean mi_trace_environment(miColor* result, miState* state, miVector* direction);
]=] [=[
#ifdef RAY38
miBoolean mi_trace_reflection(miColor* result, miState* state, const miVector* direction);
miBoolean mi_trace_environment(miColor* result, miState* state, const miVector* direction);
#else
miBoolean mi_trace_reflection(miColor* result, miState* state, miVector* direction);
miBoolean mi_trace_environment(miColor* result, miState* state, miVector* direction);
#endif
]=])
  sdk_expect_refusal("the folder's own math.h" "#include <shader.h>"
    "stood in for the C library" -I${sdk} -DBIT64)
  sdk_expect_refusal("the const trace signatures"
    "#include <shader.h>\nextern \"C\" miBoolean mi_trace_reflection(miColor*, miState*, miVector* d) { return d != 0; }"
    "mi_trace_reflection" -idirafter${sdk} -DBIT64)
elseif(VARIANT)
  message(FATAL_ERROR "unknown renderer header variant ${VARIANT}")
endif()

set(build "${WORK}/build")
sdk_release_build("${build}" kl4v_glintWeave "-DMENTALRAY_INCLUDE_DIR=${sdk}")
file(GLOB library "${build}/mentalray/kl4v_glintWeave.*")
if(NOT library)
  message(FATAL_ERROR "no shader library built in ${build}/mentalray")
endif()
foreach(source entryBinding.cpp glintWeaveShader.cpp)
  sdk_compile_command("${build}" ${source} command)
  string(FIND "${command}" "-idirafter${sdk}" at)
  if(at EQUAL -1)
    message(FATAL_ERROR "${source} was not compiled with ${sdk} after the system "
                        "folders:\n${command}")
  endif()
  if(command MATCHES "hosts/mentalray/include")
    message(FATAL_ERROR "the stand-in's shader.h leaked into the build against ${sdk}:\n${command}")
  endif()
endforeach()

# A folder without shader.h is refused at configure time with a clear message.
if(NOT VARIANT)
  file(MAKE_DIRECTORY "${WORK}/empty")
  set(ENV{CC} "${CC}")
  set(ENV{CXX} "${CXX}")
  execute_process(
    COMMAND ${CMAKE_COMMAND} --preset release -B "${WORK}/build-empty"
      "-DMENTALRAY_INCLUDE_DIR=${WORK}/empty"
    WORKING_DIRECTORY "${ROOT}" RESULT_VARIABLE rc OUTPUT_VARIABLE out ERROR_VARIABLE out)
  if(rc EQUAL 0 OR NOT out MATCHES "holds no shader.h")
    message(FATAL_ERROR "an include folder without shader.h was not refused:\n${out}")
  endif()
endif()
message(STATUS "built ${library} against ${sdk}")
