# Assembles a devkit-shaped folder from the stand-in (include/maya/*.h and
# lib/libOpenMaya.so), optionally with the quirks of older or newer devkits,
# builds the plug-in against it with the README's command (the release preset
# with MAYA_LOCATION), and checks that the build used that folder, as system
# headers, and that the plug-in exports exactly its entry points and the
# devkit's own data symbols.
#   cmake -DROOT=<source> -DWORK=<dir> -DOPENMAYA=<libOpenMaya.so> -DNM=<nm>
#         -DCC=<compiler> -DCXX=<compiler> [-DVARIANT=2008|2024] -P devkit_build.cmake
#
# VARIANT:
#   (none)  the stand-in as it is, shaped like the 2016 and 2017 devkits.
#   2008    MTypes.h picks its 64-bit integer type under `#if defined(linux)`
#           and stops with #error elsewhere; the headers warn under our flags;
#           PLUGIN_EXPORT is defined as nothing outside Windows (the devkit
#           relied on default visibility), so the plug-in must make its entry
#           points and MApiVersion visible itself.
#   2024    the API in the versioned namespace Autodesk::Maya::OpenMaya20240000
#           (MApiNamespace.h and a using-directive, as from 2018), setMPSafe
#           deprecated (from 2019), and MApiVersion.h exporting
#           ADSK_PLUGIN_SIGNATURE beside MApiVersion (from 2022).
include(${CMAKE_CURRENT_LIST_DIR}/../common/sdk_build.cmake)

set(devkit "${WORK}/maya")
set(maya "${devkit}/include/maya")
file(REMOVE_RECURSE "${WORK}")
file(COPY "${ROOT}/hosts/maya/include/maya" DESTINATION "${devkit}/include")
file(COPY "${OPENMAYA}" DESTINATION "${devkit}/lib")
set(entry_points _Z16initializePlugin7MObject _Z18uninitializePlugin7MObject)
set(data_symbols MApiVersion)

if(VARIANT STREQUAL "2008")
  sdk_edit("${maya}/MTypes.h" "typedef long long MInt64;\n" [=[
#if defined(linux)
typedef long long MInt64;
#elif defined(_WIN32)
typedef __int64 MInt64;
#else
#error "MTypes.h: no 64-bit integer type for this platform"
#endif
// Written before 64-bit builds were common: narrows under -Wconversion.
inline int MStandinLegacyLength(MInt64 length) { return length; }
]=])
  sdk_edit("${maya}/MTypes.h" "#ifndef PLUGIN_EXPORT\n#define PLUGIN_EXPORT DLL_PUBLIC\n#endif\n"
    "#define PLUGIN_EXPORT\n")
  sdk_expect_refusal("the empty export macro"
    "#include <maya/MTypes.h>\nstatic_assert(sizeof(MAYA_STRINGIFY(PLUGIN_EXPORT)) > 1, \"PLUGIN_EXPORT is empty\");"
    "PLUGIN_EXPORT is empty" -I${devkit}/include -Dlinux)
  sdk_expect_refusal("the linux requirement" "#include <maya/MTypes.h>"
    "no 64-bit integer type" -I${devkit}/include)
  sdk_expect_refusal("warnings in the headers" "#include <maya/MTypes.h>"
    "conversion" -I${devkit}/include -Dlinux -Wconversion -Werror)
elseif(VARIANT STREQUAL "2024")
  set(namespace OpenMaya20240000)
  file(WRITE "${maya}/MApiNamespace.h" "\
// The versioned namespace of the API: every class lives in it, and a
// using-directive lets plug-ins name them unqualified.
#pragma once
#define OPENMAYA_MAJOR_NAMESPACE ${namespace}
#define OPENMAYA_MAJOR_NAMESPACE_OPEN \\
  namespace Autodesk { namespace Maya { namespace ${namespace} {
#define OPENMAYA_NAMESPACE_CLOSE } } }
OPENMAYA_MAJOR_NAMESPACE_OPEN
OPENMAYA_NAMESPACE_CLOSE
using namespace Autodesk::Maya::OPENMAYA_MAJOR_NAMESPACE;
")
  # Each header's declarations go into the namespace: everything after its
  # leading #include lines, up to the global entry-point declarations of
  # MFnPlugin.h. MApiVersion.h (C data) and MIOStream.h (std names) stay as
  # they are.
  file(GLOB headers "${maya}/*.h")
  foreach(header ${headers})
    get_filename_component(name "${header}" NAME)
    if(name MATCHES "^(MApiNamespace|MApiVersion|MIOStream)\\.h$")
      continue()
    endif()
    file(READ "${header}" text)
    string(REGEX MATCH "^.*#pragma once\n([ \t]*\n|#include[^\n]*\n)*" prologue "${text}")
    if(NOT prologue)
      message(FATAL_ERROR "${header}: no #pragma once to put the namespace after")
    endif()
    string(LENGTH "${prologue}" at)
    string(SUBSTRING "${text}" ${at} -1 body)
    set(tail "")
    string(FIND "${body}" "\nPLUGIN_EXPORT" cut)
    if(NOT cut EQUAL -1)
      string(SUBSTRING "${body}" ${cut} -1 tail)
      string(SUBSTRING "${body}" 0 ${cut} body)
    endif()
    string(REPLACE "#pragma once\n" "#pragma once\n#include <maya/MApiNamespace.h>\n"
      prologue "${prologue}")
    file(WRITE "${header}"
      "${prologue}OPENMAYA_MAJOR_NAMESPACE_OPEN\n${body}\nOPENMAYA_NAMESPACE_CLOSE\n${tail}")
  endforeach()
  sdk_edit("${maya}/MTypes.h" "#define MAYA_API_VERSION 200800" "#define MAYA_API_VERSION 20240200")
  sdk_edit("${maya}/MPxNode.h" "  virtual void setMPSafe(bool flag);" [=[
  [[deprecated("Override schedulingType() to set thread safety instead")]]
  virtual void setMPSafe(bool flag);]=])
  sdk_edit("${maya}/MApiVersion.h"
    "PLUGIN_EXPORT char MApiVersion[] = MAYA_STRINGIFY(MAYA_API_VERSION);" [=[
PLUGIN_EXPORT char MApiVersion[] = MAYA_STRINGIFY(MAYA_API_VERSION);
// Needed to load the plug-in in the reduced product.
PLUGIN_EXPORT char ADSK_PLUGIN_SIGNATURE[] = "glintWeave stand-in signature";]=])
  string(LENGTH "${namespace}" length)
  set(entry_points _Z16initializePluginN8Autodesk4Maya${length}${namespace}7MObjectE
                   _Z18uninitializePluginN8Autodesk4Maya${length}${namespace}7MObjectE)
  list(APPEND data_symbols ADSK_PLUGIN_SIGNATURE)
  sdk_expect_refusal("the deprecated setMPSafe"
    "#include <maya/MPxNode.h>\nstruct Node : MPxNode { void f() { setMPSafe(true); } };"
    "deprecated" -isystem ${devkit}/include -Dlinux -Werror)
elseif(VARIANT)
  message(FATAL_ERROR "unknown devkit variant ${VARIANT}")
endif()

set(build "${WORK}/build")
sdk_release_build("${build}" glintWeave "-DMAYA_LOCATION=${devkit}")

set(plugin "${build}/plugSource/glintWeave.so")
if(NOT EXISTS "${plugin}")
  message(FATAL_ERROR "no ${plugin}")
endif()
# The devkit's folder as a system folder (its warnings are not ours); nothing
# of the stand-in's.
sdk_compile_command("${build}" glintWeavePlugMain.cpp command)
string(FIND "${command}" "-isystem ${devkit}/include" at)
if(at EQUAL -1)
  message(FATAL_ERROR "the plug-in was not compiled against ${devkit}/include as a system "
                      "folder:\n${command}")
endif()
if(command MATCHES "hosts/maya/include")
  message(FATAL_ERROR "the stand-in's headers leaked into the devkit build:\n${command}")
endif()
if(namespace)
  # The library in the folder is the stand-in's, whose API has no namespace,
  # so the plug-in cannot bind to it; it must call the versioned API that a
  # real library of this devkit defines, and nothing outside it: every name
  # that starts with an API class (not a constructor's or destructor's name
  # after its class) must be in the namespace.
  execute_process(COMMAND ${NM} -D -C --undefined-only "${plugin}" OUTPUT_VARIABLE undefined)
  string(REPLACE "::${namespace}::M" "::${namespace}::@" marked "${undefined}")
  if(NOT marked MATCHES "@" OR marked MATCHES "(^|[^A-Za-z0-9_@~:])M[A-Z][a-z]")
    message(FATAL_ERROR "the plug-in calls the API outside ${namespace}:\n${undefined}")
  endif()
else()
  file(GET_RUNTIME_DEPENDENCIES LIBRARIES "${plugin}" RESOLVED_DEPENDENCIES_VAR deps
    UNRESOLVED_DEPENDENCIES_VAR missing DIRECTORIES "${devkit}/lib"
    PRE_EXCLUDE_REGEXES "^lib(c|m|gcc_s|stdc\\+\\+|asan|tsan|ubsan)\\.so")
  if(NOT deps MATCHES "${devkit}/lib/libOpenMaya.so")
    message(FATAL_ERROR "the plug-in does not link the devkit's OpenMaya: ${deps} ${missing}")
  endif()
endif()

# Maya finds the entry points by their C++ names, namespace included.
set(LIBRARY "${plugin}")
set(EXPECTED ${entry_points} ${data_symbols})
include(${CMAKE_CURRENT_LIST_DIR}/symbols.cmake)
message(STATUS "built ${plugin} against ${devkit}")
