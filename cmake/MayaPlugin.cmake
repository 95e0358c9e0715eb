# maya_plugin(target): a Maya plug-in has no "lib" prefix and the host's
# suffix (.mll on Windows, .bundle on macOS, .so elsewhere).
function(maya_plugin target)
  set(suffix ".so")
  if(WIN32)
    set(suffix ".mll")
    if(MSVC)
      target_link_options(${target} PRIVATE /export:initializePlugin /export:uninitializePlugin)
    else()
      # MinGW's linker takes the same undecorated exports from a
      # module-definition file, as aliases of the C++ entry points.
      target_sources(${target} PRIVATE ${CMAKE_CURRENT_FUNCTION_LIST_DIR}/mayaPluginEntries.def)
    endif()
  elseif(APPLE)
    set(suffix ".bundle")
  endif()
  set_target_properties(${target} PROPERTIES PREFIX "" SUFFIX "${suffix}")
endfunction()

# maya_platform(var): sets `var` to the name a Maya module file gives this
# platform (win64, mac or linux).
function(maya_platform var)
  if(WIN32)
    set(${var} win64 PARENT_SCOPE)
  elseif(APPLE)
    set(${var} mac PARENT_SCOPE)
  else()
    set(${var} linux PARENT_SCOPE)
  endif()
endfunction()
