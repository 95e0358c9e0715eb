# One warnings target, linked by every target of the project.
add_library(glintweave_warnings INTERFACE)
target_compile_options(glintweave_warnings INTERFACE
  $<$<COMPILE_LANG_AND_ID:CXX,GNU,Clang>:-Wall -Wextra -Wpedantic -Wshadow -Wconversion -Wno-sign-conversion -Wnon-virtual-dtor -Woverloaded-virtual>
  $<$<COMPILE_LANG_AND_ID:C,GNU,Clang>:-Wall -Wextra -Wpedantic -Wshadow -Wconversion>
  # Shading results are compared bit for bit between builds: never fuse a
  # multiply and an add behind the source's back.
  $<$<COMPILE_LANG_AND_ID:CXX,GNU,Clang>:-ffp-contract=off>
  $<$<COMPILE_LANG_AND_ID:C,GNU,Clang>:-ffp-contract=off>)
if(GLINTWEAVE_WERROR)
  target_compile_options(glintweave_warnings INTERFACE -Werror)
endif()
