# The layers, enforced by what a target can include. Sources include headers by their path from
# the source root ("common/locks.h"), but no target gets the source root itself: each library
# has an include root in the build tree that holds links to its own folders only, and hands it
# on to whoever links it. Linking halvaro_avboard thus gives "avboard/..." and, through its
# PUBLIC link, "common/...", while "service/..." fails to compile.
#
#   halvaro_include_root(<target> <PUBLIC|INTERFACE|PRIVATE> <path>...)
#
# Each path is a folder or a single header, from the source root. A library names its own
# folder PUBLIC (INTERFACE for a header-only library); a program names its own folder PRIVATE.
function(halvaro_include_root target scope)
  set(root ${CMAKE_BINARY_DIR}/include/${target})
  foreach(path ${ARGN})
    if(NOT EXISTS ${CMAKE_SOURCE_DIR}/${path})
      message(FATAL_ERROR "halvaro_include_root(${target}): no ${path} in the source tree")
    endif()
    get_filename_component(parent ${root}/${path} DIRECTORY)
    file(MAKE_DIRECTORY ${parent})
    file(CREATE_LINK ${CMAKE_SOURCE_DIR}/${path} ${root}/${path} SYMBOLIC)
  endforeach()
  target_include_directories(${target} ${scope} ${root})
endfunction()
