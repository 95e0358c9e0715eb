# maya_plugin(target): a Maya plug-in has no "lib" prefix and the host's
# suffix (.mll on Windows, .bundle on macOS, .so elsewhere).
function(maya_plugin target)
  set(suffix ".so")
  if(WIN32)
    set(suffix ".mll")
    target_link_options(${target} PRIVATE /export:initializePlugin /export:uninitializePlugin)
  elseif(APPLE)
    set(suffix ".bundle")
  endif()
  set_target_properties(${target} PROPERTIES PREFIX "" SUFFIX "${suffix}")
endfunction()
