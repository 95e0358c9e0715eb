# OpenEXR is optional: a target that reads or writes .exr files links it when
# it is installed and compiles its EXR code under `definition`; without it
# that code is left out and, when a third argument is given, the configure
# step says what is missing ("<target>: OpenEXR not found, <third argument>").
function(glintweave_optional_openexr target definition)
  find_package(OpenEXR CONFIG QUIET)
  if(OpenEXR_FOUND)
    target_link_libraries(${target} PRIVATE OpenEXR::OpenEXR)
    target_compile_definitions(${target} PRIVATE ${definition})
  elseif(ARGC GREATER 2)
    message(STATUS "${target}: OpenEXR not found, ${ARGV2}")
  endif()
endfunction()
