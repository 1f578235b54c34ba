# Fails when any source includes a folder of ours that its own folder may not
# use. The build's per-layer include views already refuse such includes where
# a layer's objects are compiled; this check reads every source and header
# alone, so a header no source of its layer includes, or a view that grew an
# upward entry, is caught too.
#
#   cmake -DROOT=<repository> -P cmake/CheckLayers.cmake
cmake_minimum_required(VERSION 3.25)

# What each folder may include besides itself. Dependencies point one way:
# core, then platform and resources, then the frame (plugin), then the
# subsystems, with the host side (services, classic, host) beside them and the
# exports above everything.
set(uses_core "")
set(uses_platform core)
set(uses_resources core)
set(uses_services core)
set(uses_plugin core platform resources)
set(uses_presence_ipc core platform)
set(uses_outputs core platform resources plugin)
set(uses_scrobbler core platform resources plugin)
set(uses_presence core platform resources plugin presence_ipc)
set(uses_classic core platform resources services)
set(uses_host core resources services)
set(uses_exports core platform resources plugin outputs scrobbler presence presence_ipc classic)
set(layers core platform resources services plugin presence_ipc outputs scrobbler presence classic
  host exports)

set(failures 0)
foreach(layer ${layers})
  file(GLOB_RECURSE files ${ROOT}/${layer}/*.h ${ROOT}/${layer}/*.cpp ${ROOT}/${layer}/*.c)
  foreach(file ${files})
    file(STRINGS ${file} includes REGEX "^[ \t]*#[ \t]*include[ \t]+\"[a-z_]+/")
    foreach(line ${includes})
      string(REGEX REPLACE "^[ \t]*#[ \t]*include[ \t]+\"([a-z_]+)/.*" "\\1" target "${line}")
      if(target STREQUAL layer OR NOT target IN_LIST layers)
        continue()
      endif()
      if(NOT target IN_LIST uses_${layer})
        file(RELATIVE_PATH shown ${ROOT} ${file})
        message(SEND_ERROR "${shown}: ${layer}/ may not include ${target}/ (${line})")
        math(EXPR failures "${failures} + 1")
      endif()
    endforeach()
  endforeach()
endforeach()
if(failures GREATER 0)
  message(FATAL_ERROR "${failures} include(s) against the layers")
endif()
message(STATUS "every include follows the layers")
