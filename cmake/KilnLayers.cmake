# Layers that the build enforces.
#
# Sources include "layer/file.h" from the repository root. No layer target has
# the root on its include path: each gets a folder in the build tree holding
# links to the folders (or single headers) it may use and nothing else, so an
# include of anything above it is "file not found". Generated headers stay
# reachable through the build folder itself.

# kiln_layer_view(<name> <entry>...): build/layers/<name> with a link per entry
# ("core", or one header such as "core/host_services.h").
function(kiln_layer_view name)
  set(dir ${CMAKE_BINARY_DIR}/layers/${name})
  file(REMOVE_RECURSE ${dir})
  file(MAKE_DIRECTORY ${dir})
  foreach(entry ${ARGN})
    get_filename_component(parent ${dir}/${entry} DIRECTORY)
    file(MAKE_DIRECTORY ${parent})
    file(CREATE_LINK ${PROJECT_SOURCE_DIR}/${entry} ${dir}/${entry} SYMBOLIC)
  endforeach()
endfunction()

# What each layer may see. The subsystems see the frame's shared headers, not
# its internals (worker, hook, entry points).
set(KILN_FRAME_SHARED plugin/plugin.h plugin/settings.h
  plugin/shared_state.h plugin/curl_api.h plugin/preview.h
  plugin/playback_flags.h plugin/template_lines.h plugin/quit_signal.h plugin/timers.h
  plugin/subsystems.h plugin/playing_title.h plugin/rules.h)
set(KILN_SUBSYSTEM_BASE core platform resources ${KILN_FRAME_SHARED})
set(KILN_VIEW_core core)
set(KILN_VIEW_platform core platform)
# The Linux backends of windows and dialogs serve through the host's table.
set(KILN_VIEW_platform_host core platform)
set(KILN_VIEW_resources core resources)
set(KILN_VIEW_services core services)
set(KILN_VIEW_outputs ${KILN_SUBSYSTEM_BASE} outputs)
set(KILN_VIEW_scrobbler ${KILN_SUBSYSTEM_BASE} scrobbler)
set(KILN_VIEW_presence ${KILN_SUBSYSTEM_BASE} presence presence_ipc)
set(KILN_VIEW_presence_ipc core platform presence_ipc)
set(KILN_VIEW_classic core platform resources services classic)
set(KILN_VIEW_plugin core platform resources plugin)
set(KILN_VIEW_exports core platform resources plugin outputs scrobbler presence presence_ipc classic
  exports)
foreach(_layer core platform platform_host resources services outputs scrobbler presence presence_ipc
    classic plugin exports)
  kiln_layer_view(${_layer} ${KILN_VIEW_${_layer}})
endforeach()

# The layer a plug-in source belongs to, from its folder.
function(_kiln_layer_of source out)
  cmake_path(RELATIVE_PATH source BASE_DIRECTORY ${PROJECT_SOURCE_DIR} OUTPUT_VARIABLE rel)
  string(REGEX MATCH "^[^/]+" folder "${rel}")
  if(rel MATCHES "^platform/posix/(window|folder_dialog)\\.cpp$")
    set(folder platform_host)
  endif()
  if(NOT folder MATCHES "^(platform|platform_host|resources|outputs|scrobbler|presence|presence_ipc|classic|exports)$")
    set(folder plugin)
  endif()
  set(${out} ${folder} PARENT_SCOPE)
endfunction()

# The flags every plug-in object is built with. Of curl only the headers: the
# plug-in loads libcurl itself on first use.
function(kiln_plugin_object_flags target view)
  kiln_target_flags(${target})
  target_include_directories(${target} PRIVATE ${CMAKE_BINARY_DIR}/layers/${view} ${CMAKE_BINARY_DIR})
  target_include_directories(${target} SYSTEM PRIVATE ${RAPIDJSON_INCLUDE_DIR} ${CURL_INCLUDE_DIR})
  target_compile_definitions(${target} PRIVATE RAPIDJSON_HAS_STDSTRING=1)
  target_compile_options(${target} PRIVATE -fvisibility=hidden -fvisibility-inlines-hidden)
endfunction()

# After every folder added its sources to kiln_core: each layer's sources move
# into an object library of their own with that layer's view; kiln_core keeps
# the frame's. gen_kiln and kiln_core_static are made of all of them.
function(kiln_split_layers)
  get_target_property(sources kiln_core SOURCES)
  get_target_property(libraries kiln_core LINK_LIBRARIES)
  get_target_property(dependencies kiln_core MANUALLY_ADDED_DEPENDENCIES)
  set(frame)
  set(layers)
  foreach(source ${sources})
    if(NOT IS_ABSOLUTE ${source})
      set(source ${PROJECT_SOURCE_DIR}/${source})
    endif()
    _kiln_layer_of(${source} layer)
    if(layer STREQUAL "plugin")
      list(APPEND frame ${source})
    else()
      list(APPEND layer_${layer} ${source})
      list(APPEND layers ${layer})
    endif()
  endforeach()
  list(REMOVE_DUPLICATES layers)
  set_property(TARGET kiln_core PROPERTY SOURCES ${frame})
  foreach(layer ${layers})
    add_library(kiln_layer_${layer} OBJECT ${layer_${layer}})
    kiln_plugin_object_flags(kiln_layer_${layer} ${layer})
    if(libraries)
      target_link_libraries(kiln_layer_${layer} PRIVATE ${libraries})
    endif()
    if(dependencies)
      add_dependencies(kiln_layer_${layer} ${dependencies})
    endif()
    target_sources(gen_kiln PRIVATE $<TARGET_OBJECTS:kiln_layer_${layer}>)
    target_sources(kiln_core_static PRIVATE $<TARGET_OBJECTS:kiln_layer_${layer}>)
  endforeach()
endfunction()

# Every header of a layer compiles alone in that layer's view, so an upward
# include in a header fails the build even where no source of the layer
# includes the header (platform/window.h is used only by the Windows backend
# and the layers above).
function(kiln_header_check layer)
  file(GLOB headers CONFIGURE_DEPENDS ${PROJECT_SOURCE_DIR}/${layer}/*.h)
  set(sources)
  foreach(header ${headers})
    get_filename_component(name ${header} NAME_WE)
    set(unit ${CMAKE_BINARY_DIR}/layers/checks/${layer}_${name}.cpp)
    file(CONFIGURE OUTPUT ${unit} CONTENT "#include \"${layer}/${name}.h\"\n")
    list(APPEND sources ${unit})
  endforeach()
  add_library(kiln_header_check_${layer} OBJECT ${sources})
  kiln_plugin_object_flags(kiln_header_check_${layer} ${layer})
endfunction()
kiln_header_check(core)
kiln_header_check(platform)
