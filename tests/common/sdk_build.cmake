# Shared by the SDK-folder build tests (tests/maya/devkit_build.cmake and
# tests/packaging/mentalray_sdk_build.cmake), in script mode. Each copies a
# stand-in's headers into a folder shaped like the vendor's SDK, turns on the
# quirks of real releases with small text edits, checks that the quirks bite,
# and builds the deliverable against the folder with the README's command.
# Expects ROOT (the source tree), CC and CXX (the compilers to build with).

# sdk_edit(<file> <text> <replacement>): replaces <text> in a copied header.
# Text that is no longer there means the stand-in changed under the variant:
# stop, rather than build a folder that lacks the quirk.
function(sdk_edit file text replacement)
  file(READ "${file}" content)
  string(FIND "${content}" "${text}" at)
  if(at EQUAL -1)
    message(FATAL_ERROR "${file} holds no \"${text}\": the stand-in changed, update the variant")
  endif()
  string(REPLACE "${text}" "${replacement}" content "${content}")
  file(WRITE "${file}" "${content}")
endfunction()

# sdk_expect_refusal(<quirk> <source> <output regex> <compiler flags>...):
# compiles <source> against the variant as a build without the matching fix
# would, and requires that to fail with output matching <output regex>. A
# variant whose quirk does not bite proves nothing by building.
function(sdk_expect_refusal quirk source regex)
  set(probe "${WORK}/probe.cpp")
  file(WRITE "${probe}" "${source}\n")
  execute_process(COMMAND ${CXX} -std=c++17 -fsyntax-only ${ARGN} "${probe}"
    RESULT_VARIABLE rc OUTPUT_VARIABLE out ERROR_VARIABLE out)
  if(rc EQUAL 0 OR NOT out MATCHES "${regex}")
    message(FATAL_ERROR "the variant does not reproduce ${quirk}: "
                        "${CXX} ${ARGN} accepted or failed otherwise:\n${out}")
  endif()
endfunction()

# sdk_release_build(<build dir> <target> <cache arguments>...): the README's
# command for a real SDK, `cmake --preset release <cache arguments>`, with the
# binary folder moved to <build dir> (build/release stays untouched); then
# builds <target>, the one target compiled against the SDK's headers.
function(sdk_release_build dir target)
  file(REMOVE_RECURSE "${dir}")
  set(ENV{CC} "${CC}")
  set(ENV{CXX} "${CXX}")
  execute_process(COMMAND ${CMAKE_COMMAND} --preset release -B "${dir}" ${ARGN}
    WORKING_DIRECTORY "${ROOT}" RESULT_VARIABLE rc OUTPUT_VARIABLE out ERROR_VARIABLE out)
  if(NOT rc EQUAL 0)
    message(FATAL_ERROR "cmake --preset release ${ARGN} failed:\n${out}")
  endif()
  execute_process(COMMAND ${CMAKE_COMMAND} --build "${dir}" --target ${target} -j 2
    RESULT_VARIABLE rc OUTPUT_VARIABLE out ERROR_VARIABLE out)
  if(NOT rc EQUAL 0)
    message(FATAL_ERROR "building ${target} against the SDK folder failed:\n${out}")
  endif()
endfunction()

# sdk_compile_command(<build dir> <source file name> <variable>): the command
# that compiled the source of that name, from compile_commands.json.
function(sdk_compile_command dir source variable)
  file(READ "${dir}/compile_commands.json" json)
  string(JSON count LENGTH "${json}")
  math(EXPR last "${count} - 1")
  foreach(i RANGE ${last})
    string(JSON file GET "${json}" ${i} file)
    get_filename_component(name "${file}" NAME)
    if(name STREQUAL source)
      string(JSON command GET "${json}" ${i} command)
      set(${variable} "${command}" PARENT_SCOPE)
      return()
    endif()
  endforeach()
  message(FATAL_ERROR "nothing compiled ${source} in ${dir}")
endfunction()
